// SPDX-License-Identifier: MIT
// The disk's partition table: its kind, its identifier and its partitions,
// from the drive layout the platform answers.
#include "TavDiskLib.h"
#include "Diagnostics.h"
#include "Records.h"
#include "Requests.h"
#include "protocol/Guid.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

using namespace TavRecords;
namespace P = TavRequests;

namespace {

constexpr size_t LayoutHeader = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
// Room for the usual 128 GPT entries at the first try; a layout beyond
// 8192 entries is an absurd answer.
constexpr DWORD FirstEntries = 128;
constexpr DWORD MostEntries = 8192;

// A layout the platform answered whole, in a block of its own.
class Layout {
public:
    Layout() = default;
    Layout(const Layout &) = delete;
    Layout &operator=(const Layout &) = delete;
    ~Layout() { Release(block); }

    // Asks for the layout, growing the buffer while the platform says it is
    // short. 1 with the layout held, 0 (last-error set) when the request
    // failed or its answer is not a layout.
    int Read(HANDLE device) {
        for (DWORD entries = FirstEntries;; entries *= 8) {
            const DWORD bytes = static_cast<DWORD>(LayoutHeader + size_t{entries} * sizeof(PARTITION_INFORMATION_EX));
            block = Alloc<unsigned char>(bytes);
            if (!block) {
                P::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                return 0;
            }
            DWORD returned = 0;
            if (P::DeviceIoControl(device, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, block, bytes, &returned,
                                   nullptr))
                return Check(returned);
            const DWORD error = P::GetLastError();
            Release(block);
            block = nullptr;
            if (error != ERROR_INSUFFICIENT_BUFFER || entries >= MostEntries) {
                P::Report::FailedOn("DeviceIoControl", TavDiagnostics::ControlCodeName(IOCTL_DISK_GET_DRIVE_LAYOUT_EX),
                                    device);
                P::SetLastError(error);
                return 0;
            }
        }
    }

    DWORD Style() const { return header.PartitionStyle; }
    const DRIVE_LAYOUT_INFORMATION_EX &Header() const { return header; }

    // The partitions: every entry but an MBR table's unused slots.
    DWORD Count() const {
        DWORD n = 0;
        for (DWORD i = 0; i < header.PartitionCount; ++i)
            n += Used(Entry(i));
        return n;
    }
    // Partition `index` of those; false past the last.
    bool Partition(DWORD index, PARTITION_INFORMATION_EX *out) const {
        for (DWORD i = 0; i < header.PartitionCount; ++i) {
            const PARTITION_INFORMATION_EX e = Entry(i);
            if (Used(e) && index-- == 0) {
                *out = e;
                return true;
            }
        }
        return false;
    }

private:
    int Check(DWORD returned) {
        if (returned >= LayoutHeader && returned <= HeldBytes(block)) {
            std::memcpy(&header, block, LayoutHeader);
            const bool known = header.PartitionStyle <= TavPlatform::PartitionStyleUnknown;
            if (known && header.PartitionCount <= (returned - LayoutHeader) / sizeof(PARTITION_INFORMATION_EX))
                return 1;
        }
        P::SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    PARTITION_INFORMATION_EX Entry(DWORD i) const {
        PARTITION_INFORMATION_EX e;
        std::memcpy(&e, block + LayoutHeader + size_t{i} * sizeof e, sizeof e);
        return e;
    }
    bool Used(const PARTITION_INFORMATION_EX &e) const {
        return header.PartitionStyle != PARTITION_STYLE_MBR || e.Mbr.PartitionType != 0;
    }

    unsigned char *block = nullptr;
    DRIVE_LAYOUT_INFORMATION_EX header{};
};

void CopyText(const std::string &text, char (&into)[37]) {
    const size_t n = text.size() < sizeof into - 1 ? text.size() : sizeof into - 1;
    std::memcpy(into, text.data(), n);
    into[n] = 0;
}

} // namespace

int Drive::GetPartitionStyle(int *Style) {
    Layout layout;
    if (!Style || !layout.Read(DeviceHandle))
        return 0;
    *Style = static_cast<int>(layout.Style());
    return 1;
}

int Drive::GetPartitionTableId(char *Buffer, ULONG Capacity, ULONG *Length) {
    ULONG ignored = 0;
    if (!Length)
        Length = &ignored;
    *Length = 0;
    Layout layout;
    if (!layout.Read(DeviceHandle))
        return 0;
    std::string id;
    if (layout.Style() == PARTITION_STYLE_GPT) {
        id = TavProtocol::GuidText(layout.Header().Gpt.DiskId);
    } else if (layout.Style() == PARTITION_STYLE_MBR) {
        char text[11];
        std::snprintf(text, sizeof text, "0x%08x", unsigned(layout.Header().Mbr.Signature));
        id = text;
    }
    *Length = static_cast<ULONG>(id.size() + 1);
    if (!Buffer || Capacity < *Length)
        return 0;
    std::memcpy(Buffer, id.c_str(), id.size() + 1);
    return 1;
}

int Drive::GetPartitionCount(ULONG *Count) {
    Layout layout;
    if (!Count || !layout.Read(DeviceHandle))
        return 0;
    *Count = layout.Count();
    return 1;
}

int Drive::GetPartition(ULONG Index, TavPartition *Partition) {
    Layout layout;
    if (!Partition || !layout.Read(DeviceHandle))
        return 0;
    PARTITION_INFORMATION_EX e;
    if (!layout.Partition(Index, &e)) {
        P::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    TavPartition p{};
    p.Number = e.PartitionNumber;
    p.StartingOffset = static_cast<unsigned long long>(e.StartingOffset.QuadPart);
    p.Length = static_cast<unsigned long long>(e.PartitionLength.QuadPart);
    if (layout.Style() == PARTITION_STYLE_MBR) {
        p.MbrType = e.Mbr.PartitionType;
        p.Active = e.Mbr.BootIndicator ? 1 : 0;
    } else if (layout.Style() == PARTITION_STYLE_GPT) {
        CopyText(TavProtocol::GuidText(e.Gpt.PartitionType), p.TypeGuid);
        CopyText(TavProtocol::GuidText(e.Gpt.PartitionId), p.PartitionGuid);
        for (size_t i = 0; i < 36 && e.Gpt.Name[i]; ++i)
            p.Name[i] = static_cast<wchar_t>(e.Gpt.Name[i]);
    }
    *Partition = p;
    return 1;
}

int Drive::GetPartitionMountPoints(ULONG Index, wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    ULONG ignored = 0;
    if (!Length)
        Length = &ignored;
    *Length = 0;
    TavPartition p;
    if (!GetPartition(Index, &p))
        return -1;
    return VolumePathsAt(p.StartingOffset, 1, true, Buffer, Capacity, Length);
}
