// SPDX-License-Identifier: MIT
// Opening the disk a command names (open.cpp).
#ifndef TAVDISK_TOOLS_OPEN_H
#define TAVDISK_TOOLS_OPEN_H

#include "arguments.h"
#include "library.h"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace tavdisk {

// The disk a command names, opened, with the last-error code its open left
// and the request that failed first while it was opened.
struct Opened {
    std::unique_ptr<Drive> drive;
    ULONG number = 0;
    DWORD openError = ERROR_SUCCESS;
    std::string openRequest;
    std::vector<std::string> failedRequests; // every request that failed while it was opened
};
// Member `index` of the set; no drive past the last one.
Opened OpenMember(void *set, ULONG index);
// The disk `name` names in the set; no drive after saying why on err, with
// the exit code in `code`.
Opened OpenDisk(const DeviceSet &set, const DiskArg &name, std::ostream &err, int &code);

} // namespace tavdisk

#endif
