// SPDX-License-Identifier: MIT
// Names of PCI vendors and devices, as lspci words them.
#ifndef TAVDISKLIB_PLATFORM_LINUX_PCI_NAMES_H
#define TAVDISKLIB_PLATFORM_LINUX_PCI_NAMES_H

#include <optional>
#include <string>

namespace TavLinux {

struct Root;

// "<vendor> <device>" (no device: "<vendor>") from the PCI ID database, as
// lspci words it; nullopt when no database can be read.
std::optional<std::string> PciName(const Root &root, unsigned vendor, std::optional<unsigned> device);

} // namespace TavLinux

#endif
