// SPDX-License-Identifier: MIT
// Messages, rights and the end of a command (messages.cpp).
#ifndef TAVDISK_TOOLS_MESSAGES_H
#define TAVDISK_TOOLS_MESSAGES_H

#include "library.h"

#include <optional>
#include <ostream>
#include <string>

namespace tavdisk {

struct DiskFacts;

// Writes "tavdisk: <message>" on err and returns `code`.
int Fail(std::ostream &err, int code, const std::string &message);
// Ends a command: the output must have reached its destination. A write
// error (a full disk, a closed pipe when SIGPIPE is ignored) fails the
// command, whatever it did.
int Finish(int code, std::ostream &out, std::ostream &err);
// Running as root; nullopt where that is not known (Windows).
std::optional<bool> Privileged();
// The right that opening a disk needs and this process lacks, or empty.
std::string MissingRight();
// Appended to a message about a disk that could not be opened or moved.
std::string AccessAdvice();
// The last-error code in words, for messages: "access denied (error 5)".
std::string ErrorText(DWORD code);
// ": <reason>" for a failure whose last-error code is known, else nothing;
// ": <request> failed: <reason>" when the request is known as well.
std::string Because(std::optional<DWORD> code, const std::string &request = std::string());
// "disk 1 (/dev/sdb)"
std::string DiskName(const DiskFacts &d);

} // namespace tavdisk

#endif
