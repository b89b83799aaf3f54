// SPDX-License-Identifier: MIT
// Expectations every backend of the platform requests meets (the contract
// written in TavDiskLib/platform/platform.h), run against each of them: the
// simulated machine (tests/SeamTest.cpp), the Linux backend over a recorded
// machine (tests/linux/ReplaySeamTest.cpp) and over a loop disk of its own
// (tests/linux/LiveSeamTest.cpp), and the Windows backend under Wine
// (tests/windows/SeamWineTest.cpp). The cases are the requests the library
// sends, at their edges: short and null buffers, short input records, part
// sectors, the end of the disk, handles for queries only and closed ones.
// A backend that cannot answer a case says why beside it; nothing is
// skipped without that reason.
#ifndef TAVDISKLIB_TESTS_PLATFORM_SEAMCASES_H
#define TAVDISKLIB_TESTS_PLATFORM_SEAMCASES_H

#include "TavDiskLib/platform/DeviceIds.h"
#include "TavDiskLib/platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace TavSeam {

namespace P = TavPlatform;

// What a request answered: its result and, when it failed, the thread's code.
struct Outcome {
    bool ok;
    DWORD error;
};
inline const Outcome Success{true, ERROR_SUCCESS};
inline Outcome Failure(DWORD error) { return {false, error}; }

// A code no backend answers: a request that succeeded or failed as expected
// but whose answer was not the one expected.
constexpr DWORD Unexpected = 0xFFFFFFFFu;

inline Outcome Ask(BOOL ok) { return {ok != FALSE, ok ? ERROR_SUCCESS : P::GetLastError()}; }

// One expectation: what is asked, how, and the answer every backend gives.
// `skip` (when set) is why this backend cannot answer it.
struct Case {
    Case(const char *w, std::function<Outcome()> a, Outcome e, std::string s = std::string())
        : what(w), ask(std::move(a)), expected(e), skip(std::move(s)) {}
    const char *what;
    std::function<Outcome()> ask;
    Outcome expected;
    std::string skip;
};

// Cases a backend cannot answer, by their `what`, each with the reason.
using Skips = std::map<std::string, std::string>;

inline void Check(const std::vector<Case> &cases, const Skips &skips) {
    for (const auto &c : cases) {
        auto listed = skips.find(c.what);
        const std::string &skip = listed != skips.end() ? listed->second : c.skip;
        if (!skip.empty()) {
            std::printf("[ SKIPPED  ] %s: %s\n", c.what, skip.c_str());
            continue;
        }
        P::SetLastError(0);
        const Outcome got = c.ask();
        EXPECT_EQ(got.ok, c.expected.ok) << c.what;
        EXPECT_EQ(got.error, c.expected.error) << c.what;
    }
}

// A disk of one backend, and what that disk is.
struct DiskUnderTest {
    std::function<HANDLE(DWORD access)> open;
    bool ata = true;          // takes SMART; sits at a SCSI address with a controller number
    bool writable = true;     // a sector may be written back as it was read
    std::string inUse;        // why the disk cannot be locked here (empty: it can)
    bool virtualDisk = false; // its content lies in a file or on another device
    DWORD sectorBytes = 512;
    // Tells its alignment, seek penalty and TRIM (a recording made before
    // those were recorded does not: ERROR_NOT_SUPPORTED).
    bool physicalFacts = true;
    // Tells identifiers (the device-id property); without: ERROR_NOT_SUPPORTED.
    bool deviceIds = true;
};

inline void ExpectDiskConformance(const DiskUnderTest &t) {
    const DWORD full = GENERIC_READ | GENERIC_WRITE;
    HANDLE disk = t.open(full), query = t.open(0);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    const DWORD sector = t.sectorBytes;
    alignas(16) static unsigned char buffer[8192];
    DWORD returned = 0;
    auto control = [&](HANDLE h, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize) {
        return Ask(P::DeviceIoControl(h, code, const_cast<void *>(in), inSize, out, outSize, &returned, nullptr));
    };
    auto query0 = [&](HANDLE h, DWORD code, DWORD outSize) { return control(h, code, nullptr, 0, buffer, outSize); };
    auto propertyOf = [&](HANDLE h, DWORD id, DWORD type, DWORD inSize, DWORD outSize) {
        unsigned char q[sizeof(STORAGE_PROPERTY_QUERY)] = {};
        std::memcpy(q + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), &id, sizeof id);
        std::memcpy(q + offsetof(STORAGE_PROPERTY_QUERY, QueryType), &type, sizeof type);
        return control(h, IOCTL_STORAGE_QUERY_PROPERTY, q, inSize, buffer, outSize);
    };
    auto property = [&](DWORD id, DWORD type, DWORD inSize, DWORD outSize) {
        return propertyOf(disk, id, type, inSize, outSize);
    };
    const Outcome fact = t.physicalFacts ? Success : Failure(ERROR_NOT_SUPPORTED);
    const Outcome ids = t.deviceIds ? Success : Failure(ERROR_NOT_SUPPORTED);
    // The identifiers in `outSize` bytes: a cut answer fills the buffer.
    auto deviceIds = [&](HANDLE h, DWORD outSize) {
        Outcome o = propertyOf(h, StorageDeviceIdProperty, PropertyStandardQuery, 12, outSize);
        return o.ok && outSize < 64 && returned != outSize ? Failure(Unexpected) : o;
    };
    auto identify = [&](DWORD inSize, DWORD outSize) {
        SENDCMDINPARAMS in{};
        in.cBufferSize = IDENTIFY_BUFFER_SIZE;
        in.irDriveRegs.bCommandReg = ID_CMD;
        return control(disk, SMART_RCV_DRIVE_DATA, &in, inSize, buffer, outSize);
    };
    // A SMART command through either request, with the registers given.
    auto smart = [&](HANDLE h, DWORD code, UCHAR feature, DWORD outSize) {
        SENDCMDINPARAMS in{};
        in.cBufferSize = 512;
        in.irDriveRegs.bFeaturesReg = feature;
        in.irDriveRegs.bCylLowReg = SMART_CYL_LOW;
        in.irDriveRegs.bCylHighReg = SMART_CYL_HI;
        in.irDriveRegs.bCommandReg = SMART_CMD;
        return control(h, code, &in, sizeof in, buffer, outSize);
    };
    // The NVMe health log through the protocol-specific property.
    auto nvmeLog = [&](HANDLE h, DWORD inSize) {
        unsigned char q[8 + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)] = {};
        const DWORD id = StorageDeviceProtocolSpecificProperty;
        std::memcpy(q, &id, sizeof id);
        STORAGE_PROTOCOL_SPECIFIC_DATA d{};
        d.ProtocolType = ProtocolTypeNvme;
        d.DataType = NVMeDataTypeLogPage;
        d.ProtocolDataRequestValue = 2;
        d.ProtocolDataOffset = sizeof d;
        d.ProtocolDataLength = 512;
        std::memcpy(q + 8, &d, sizeof d);
        return control(h, IOCTL_STORAGE_QUERY_PROPERTY, q, inSize, buffer, 1024);
    };
    // INQUIRY of 36 bytes through the carrier, with the block length given.
    auto inquiry = [&](HANDLE h, UCHAR cdbLength, DWORD recordSize) {
        SCSI_PASS_THROUGH_DIRECT s{};
        s.Length = sizeof s;
        s.CdbLength = cdbLength;
        s.Cdb[0] = 0x12;
        s.Cdb[4] = 36;
        s.DataIn = SCSI_IOCTL_DATA_IN;
        s.TimeOutValue = 2;
        s.DataBuffer = buffer + 4096;
        s.DataTransferLength = 36;
        return control(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &s, recordSize, &s, recordSize);
    };
    auto position = [&](HANDLE h, LONGLONG at, DWORD method) {
        LARGE_INTEGER to;
        to.QuadPart = at;
        return Ask(P::SetFilePointerEx(h, to, nullptr, method));
    };
    DWORD moved = 0;
    auto readInto = [&](HANDLE h, LONGLONG at, DWORD count, void *into) {
        position(h, at, FILE_BEGIN);
        P::SetLastError(0);
        return Ask(P::ReadFile(h, into, count, &moved, nullptr));
    };
    auto read = [&](HANDLE h, LONGLONG at, DWORD count) { return readInto(h, at, count, buffer); };
    // Writes back what the read before it left in the buffer.
    auto write = [&](HANDLE h, LONGLONG at, DWORD count) {
        position(h, at, FILE_BEGIN);
        P::SetLastError(0);
        return Ask(P::WriteFile(h, buffer, count, &moved, nullptr));
    };
    LARGE_INTEGER end{};
    {
        LARGE_INTEGER zero{};
        ASSERT_TRUE(P::SetFilePointerEx(disk, zero, &end, FILE_END));
    }
    const LONGLONG last = end.QuadPart - sector;
    const Outcome ataOnly = t.ata ? Success : Failure(ERROR_INVALID_FUNCTION);
    auto ataShort = [&](DWORD error) { return t.ata ? Failure(error) : Failure(ERROR_INVALID_FUNCTION); };
    const std::string notWritable = t.writable ? "" : "this disk is not to be written";

    HANDLE closed = INVALID_HANDLE_VALUE;
    const std::vector<Case> cases = {
        // Property queries: the header, the adapter, cut answers, bad queries.
        {"property: the device descriptor's header",
         [&] { return property(StorageDeviceProperty, PropertyStandardQuery, 12, 8); }, Success},
        {"property: the adapter descriptor",
         [&] { return property(StorageAdapterProperty, PropertyStandardQuery, 12, 32); }, Success},
        {"property: an output shorter than a header",
         [&] { return property(StorageDeviceProperty, PropertyStandardQuery, 12, 7); },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"property: a query record cut short",
         [&] { return property(StorageDeviceProperty, PropertyStandardQuery, 11, 8); },
         Failure(ERROR_INVALID_PARAMETER)},
        {"property: a property no disk has", [&] { return property(161, PropertyStandardQuery, 12, 8); },
         Failure(ERROR_NOT_SUPPORTED)},
        {"property: a query type that is none", [&] { return property(StorageDeviceProperty, 161, 12, 8); },
         Failure(ERROR_INVALID_PARAMETER)},
        {"property: whether the device descriptor exists",
         [&] { return property(StorageDeviceProperty, PropertyExistsQuery, 12, 0); }, Success},
        // Physical facts: whole, cut to the header, and on a handle for queries only.
        {"property: alignment",
         [&] {
             return property(StorageAccessAlignmentProperty, PropertyStandardQuery, 12,
                             sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR));
         },
         fact},
        {"property: alignment, its header only",
         [&] { return property(StorageAccessAlignmentProperty, PropertyStandardQuery, 12, 8); }, fact},
        {"property: seek penalty",
         [&] {
             return property(StorageDeviceSeekPenaltyProperty, PropertyStandardQuery, 12,
                             sizeof(DEVICE_SEEK_PENALTY_DESCRIPTOR));
         },
         fact},
        {"property: TRIM",
         [&] { return property(StorageDeviceTrimProperty, PropertyStandardQuery, 12, sizeof(DEVICE_TRIM_DESCRIPTOR)); },
         fact},
        {"query-only: alignment",
         [&] {
             return propertyOf(query, StorageAccessAlignmentProperty, PropertyStandardQuery, 12,
                               sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR));
         },
         fact},
        {"property: identifiers", [&] { return deviceIds(disk, sizeof buffer); }, ids},
        {"property: identifiers, in less than they take", [&] { return deviceIds(disk, 12); }, ids},
        {"property: identifiers, their header only", [&] { return deviceIds(disk, 8); }, ids},
        {"property: identifiers, in less than a header", [&] { return deviceIds(disk, 7); },
         t.deviceIds ? Failure(ERROR_INSUFFICIENT_BUFFER) : ids},
        {"query-only: identifiers", [&] { return deviceIds(query, sizeof buffer); }, ids},
        {"writable", [&] { return query0(disk, IOCTL_DISK_IS_WRITABLE, 0); }, Success},
        {"query-only: writable", [&] { return query0(query, IOCTL_DISK_IS_WRITABLE, 0); }, Success},
        // The partition table: whole, in less than its record, and on a handle for queries only.
        {"drive layout", [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, sizeof buffer); }, Success},
        {"drive layout, short",
         [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, sizeof(DRIVE_LAYOUT_INFORMATION_EX) - 1); },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"query-only: drive layout", [&] { return query0(query, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, sizeof buffer); },
         Success},
        // Fixed-size answers, whole and one byte short.
        {"device number", [&] { return query0(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, 12); }, Success},
        {"device number, short", [&] { return query0(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, 11); },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"SMART version", [&] { return query0(disk, SMART_GET_VERSION, 24); }, ataOnly},
        {"SMART version, short", [&] { return query0(disk, SMART_GET_VERSION, 23); },
         ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"IDENTIFY", [&] { return identify(sizeof(SENDCMDINPARAMS), 528); }, ataOnly},
        {"IDENTIFY, an answer buffer one byte short", [&] { return identify(sizeof(SENDCMDINPARAMS), 527); },
         ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"IDENTIFY, a command record cut short", [&] { return identify(16, 528); }, ataShort(ERROR_INVALID_PARAMETER)},
        // Health: only commands that read reach the drive.
        {"SMART: READ ATTRIBUTES, an answer buffer one byte short",
         [&] { return smart(disk, SMART_RCV_DRIVE_DATA, READ_ATTRIBUTES, 527); }, ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"SMART: RETURN STATUS, an answer buffer one byte short",
         [&] { return smart(disk, SMART_SEND_DRIVE_COMMAND, RETURN_SMART_STATUS, 23); },
         ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"SMART: ENABLE OPERATIONS is refused", [&] { return smart(disk, SMART_SEND_DRIVE_COMMAND, 0xD8, 528); },
         ataShort(ERROR_INVALID_PARAMETER)},
        {"SMART: a self-test is refused", [&] { return smart(disk, SMART_RCV_DRIVE_DATA, 0xD4, 528); },
         ataShort(ERROR_INVALID_PARAMETER)},
        {"SMART: RETURN STATUS asked for data is refused",
         [&] { return smart(disk, SMART_RCV_DRIVE_DATA, RETURN_SMART_STATUS, 528); },
         ataShort(ERROR_INVALID_PARAMETER)},
        {"NVMe health log of a disk that is not NVMe",
         [&] { return nvmeLog(disk, 8 + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)); }, Failure(ERROR_NOT_SUPPORTED)},
        {"NVMe health log, a request record cut short",
         [&] { return nvmeLog(disk, 8 + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) - 1); },
         Failure(ERROR_INVALID_PARAMETER)},
        {"query-only: NVMe health log", [&] { return nvmeLog(query, 8 + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA)); },
         Failure(ERROR_ACCESS_DENIED)},
        {"controller number", [&] { return query0(disk, IOCTL_DISK_CONTROLLER_NUMBER, 8); }, ataOnly},
        {"controller number, short", [&] { return query0(disk, IOCTL_DISK_CONTROLLER_NUMBER, 7); },
         ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"SCSI address", [&] { return query0(disk, IOCTL_SCSI_GET_ADDRESS, 8); }, ataOnly},
        {"SCSI address, short", [&] { return query0(disk, IOCTL_SCSI_GET_ADDRESS, 7); },
         ataShort(ERROR_INSUFFICIENT_BUFFER)},
        {"geometry", [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, 24); }, Success},
        {"geometry, short", [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, 23); },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"an output buffer that is null but has a size",
         [&] { return control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, nullptr, 24); },
         Failure(ERROR_INVALID_USER_BUFFER)},
        {"geometry with the size", [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 32); }, Success},
        {"geometry with the size, short", [&] { return query0(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 31); },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"a volume's extents asked of a disk", [&] { return query0(disk, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 32); },
         Failure(ERROR_INVALID_FUNCTION)},
        // The SCSI carrier.
        {"pass-through: INQUIRY",
         [&] { return inquiry(disk, 6, static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT))); }, Success},
        {"pass-through: an empty command block",
         [&] { return inquiry(disk, 0, static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT))); },
         Failure(ERROR_INVALID_PARAMETER)},
        {"pass-through: a record cut short",
         [&] { return inquiry(disk, 6, static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT) - 1)); },
         Failure(ERROR_INVALID_PARAMETER)},
        // The lock, twice, and the unlock, twice.
        {"lock", [&] { return query0(disk, FSCTL_LOCK_VOLUME, 0); }, Success, t.inUse},
        {"lock again on the same handle", [&] { return query0(disk, FSCTL_LOCK_VOLUME, 0); }, Success, t.inUse},
        {"unlock", [&] { return query0(disk, FSCTL_UNLOCK_VOLUME, 0); }, Success, t.inUse},
        {"unlock a handle that holds no lock", [&] { return query0(disk, FSCTL_UNLOCK_VOLUME, 0); },
         Failure(ERROR_NOT_LOCKED), t.inUse},
        // A handle for queries only.
        {"query-only: the device number", [&] { return query0(query, IOCTL_STORAGE_GET_DEVICE_NUMBER, 12); }, Success},
        {"query-only: the geometry", [&] { return query0(query, IOCTL_DISK_GET_DRIVE_GEOMETRY, 24); }, Success},
        {"query-only: SMART", [&] { return query0(query, SMART_GET_VERSION, 24); }, Failure(ERROR_ACCESS_DENIED)},
        {"query-only: pass-through",
         [&] { return inquiry(query, 6, static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT))); },
         Failure(ERROR_ACCESS_DENIED)},
        {"query-only: positioning", [&] { return position(query, sector, FILE_BEGIN); }, Success},
        {"query-only: a read", [&] { return read(query, 0, sector); }, Failure(ERROR_ACCESS_DENIED)},
        {"query-only: a write", [&] { return write(query, 0, sector); }, Failure(ERROR_ACCESS_DENIED)},
        {"query-only: a flush", [&] { return Ask(P::FlushFileBuffers(query)); }, Failure(ERROR_ACCESS_DENIED)},
        // Positioning and transfers.
        {"position past the end", [&] { return position(disk, end.QuadPart + 8 * sector, FILE_BEGIN); }, Success},
        {"position before the start", [&] { return position(disk, -1, FILE_BEGIN); }, Failure(ERROR_NEGATIVE_SEEK)},
        {"position by a method that is none", [&] { return position(disk, 0, 7); }, Failure(ERROR_INVALID_PARAMETER)},
        {"read a whole sector", [&] { return read(disk, 0, sector); }, Success},
        {"write it back", [&] { return write(disk, 0, sector); }, Success, notWritable},
        {"flush", [&] { return Ask(P::FlushFileBuffers(disk)); }, Success, notWritable},
        {"read the last sector", [&] { return read(disk, last, sector); }, Success},
        {"read part of a sector", [&] { return read(disk, 0, 100); }, Failure(ERROR_INVALID_PARAMETER)},
        {"read a sector from inside another", [&] { return read(disk, 100, sector); },
         Failure(ERROR_INVALID_PARAMETER)},
        {"write part of a sector", [&] { return write(disk, 0, 100); }, Failure(ERROR_INVALID_PARAMETER), notWritable},
        {"read at the end", [&] { return read(disk, end.QuadPart, sector); }, Failure(ERROR_SECTOR_NOT_FOUND)},
        {"read across the end: the sectors before it move",
         [&] {
             Outcome o = read(disk, last, 2 * sector);
             return o.ok && moved != sector ? Failure(Unexpected) : o;
         },
         Success},
        {"read into a null buffer", [&] { return readInto(disk, 0, sector, nullptr); },
         Failure(ERROR_INVALID_USER_BUFFER)},
        // Handles: a second one, a closed one.
        {"a second handle reads as the first",
         [&] {
             HANDLE h = INVALID_HANDLE_VALUE;
             if (!P::DuplicateHandle(P::GetCurrentProcess(), disk, P::GetCurrentProcess(), &h, 0, FALSE,
                                     DUPLICATE_SAME_ACCESS))
                 return Ask(FALSE);
             Outcome o = read(h, 0, sector);
             P::CloseHandle(h);
             closed = h;
             return o;
         },
         Success},
        {"close a closed handle", [&] { return Ask(P::CloseHandle(closed)); }, Failure(ERROR_INVALID_HANDLE)},
        {"a request on a closed handle", [&] { return query0(closed, IOCTL_DISK_GET_DRIVE_GEOMETRY, 24); },
         Failure(ERROR_INVALID_HANDLE)},
    };
    Check(cases, {});

    // What the answers hold: an ATA disk is no packet device; the geometry
    // agrees with the size and the sector size.
    if (t.ata) {
        GETVERSIONINPARAMS version{};
        ASSERT_TRUE(control(disk, SMART_GET_VERSION, nullptr, 0, &version, sizeof version).ok);
        EXPECT_EQ(version.fCapabilities & 0x7u, 0x5u);
    }
    DISK_GEOMETRY_EX g{};
    ASSERT_TRUE(control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &g, 32).ok);
    EXPECT_EQ(g.Geometry.BytesPerSector, sector);
    EXPECT_EQ(g.DiskSize.QuadPart, end.QuadPart);
    // The alignment's logical sector is the one transfers move, and a
    // physical sector holds whole logical ones.
    if (t.physicalFacts) {
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a{};
        ASSERT_TRUE(propertyOf(disk, StorageAccessAlignmentProperty, PropertyStandardQuery, 12, sizeof a).ok);
        std::memcpy(&a, buffer, sizeof a);
        EXPECT_EQ(a.Size, sizeof a);
        EXPECT_EQ(a.BytesPerLogicalSector, sector);
        EXPECT_TRUE(a.BytesPerPhysicalSector >= sector && a.BytesPerPhysicalSector % sector == 0)
            << a.BytesPerPhysicalSector;
    }

    // The identifiers' header tells the size of the whole answer, which
    // holds at least one identifier and walks within itself.
    if (t.deviceIds) {
        ASSERT_TRUE(deviceIds(disk, 8).ok);
        STORAGE_DESCRIPTOR_HEADER h;
        std::memcpy(&h, buffer, sizeof h);
        ASSERT_TRUE(h.Size >= TavPlatform::DeviceIdHeaderBytes && h.Size <= sizeof buffer) << h.Size;
        ASSERT_TRUE(deviceIds(disk, sizeof buffer).ok);
        EXPECT_EQ(returned, h.Size);
        std::vector<TavPlatform::DeviceIdentifier> found;
        EXPECT_TRUE(TavPlatform::ReadDeviceIdDescriptor(buffer, returned, found));
        EXPECT_FALSE(found.empty());
    }

    // The layout's entries fill its answer; a partition lies at a sector
    // boundary. (Not necessarily inside the disk: a kernel may still list a
    // partition of the content a reused loop disk had before.)
    {
        ASSERT_TRUE(query0(disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, sizeof buffer).ok);
        DRIVE_LAYOUT_INFORMATION_EX h;
        const size_t header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
        std::memcpy(&h, buffer, header);
        EXPECT_LE(h.PartitionStyle, TavPlatform::PartitionStyleUnknown);
        ASSERT_EQ(returned, header + h.PartitionCount * sizeof(PARTITION_INFORMATION_EX));
        for (DWORD i = 0; i < h.PartitionCount; ++i) {
            PARTITION_INFORMATION_EX e;
            std::memcpy(&e, buffer + header + i * sizeof e, sizeof e);
            EXPECT_EQ(e.StartingOffset.QuadPart % 512, 0) << i;
        }
    }

    // A disk on no virtual disk has nothing holding it; no answer fits in
    // the header alone (the record has room for one entry). A version the request does not
    // know is refused, read as a number, and so are a missing size and a
    // buffer below the answer's header.
    alignas(8) static unsigned char answer[4096];
    ULONG used = 0;
    auto dependencies = [&](ULONG asked, ULONG size, bool withUsed) {
        std::memset(answer, 0, sizeof answer);
        std::memcpy(answer, &asked, sizeof asked);
        used = 0;
        return P::GetStorageDependencyInformation(
            disk,
            static_cast<GET_STORAGE_DEPENDENCY_FLAG>(GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES |
                                                     GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE),
            size, reinterpret_cast<STORAGE_DEPENDENCY_INFO *>(answer), withUsed ? &used : nullptr);
    };
    EXPECT_EQ(dependencies(STORAGE_DEPENDENCY_INFO_VERSION_2, sizeof answer, true), ERROR_SUCCESS);
    const ULONG hosts = reinterpret_cast<STORAGE_DEPENDENCY_INFO *>(answer)->NumberEntries;
    if (!t.virtualDisk) {
        EXPECT_EQ(hosts, 0u);
    }
    EXPECT_EQ(dependencies(STORAGE_DEPENDENCY_INFO_VERSION_2, 8, true), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GE(used, sizeof(STORAGE_DEPENDENCY_INFO));
    EXPECT_EQ(dependencies(161, sizeof answer, true), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(dependencies(STORAGE_DEPENDENCY_INFO_VERSION_2, sizeof answer, false), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(dependencies(STORAGE_DEPENDENCY_INFO_VERSION_2, 7, true), ERROR_INVALID_PARAMETER);

    P::CloseHandle(disk);
    P::CloseHandle(query);
}

// The requests that need no disk: memory, the last-error code, the
// directories, the set of disk interfaces and device nodes.
struct MachineUnderTest {
    std::wstring missing;           // a device path that names nothing
    std::string noDisk;             // why the set holds no disk here (empty: it holds one)
    std::string noWindowsDirectory; // why GetWindowsDirectoryW fails here (empty: it answers)
    Skips skips;                    // the cases this backend cannot answer, and why
};

inline void ExpectMachineConformance(const MachineUnderTest &t) {
    HLOCAL block = P::LocalAlloc(LMEM_ZEROINIT, 100);
    ASSERT_NE(block, nullptr);
    EXPECT_GE(P::LocalSize(block), 100u);
    EXPECT_EQ(std::memcmp(block, std::vector<unsigned char>(100, 0).data(), 100), 0);
    EXPECT_EQ(P::LocalFree(block), nullptr);
    EXPECT_EQ(P::LocalFree(nullptr), nullptr);

    HDEVINFO set = P::SetupDiGetClassDevsExW(&P::DiskInterfaceClass, nullptr, nullptr,
                                             DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr, nullptr, nullptr);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA member{};
    member.cbSize = sizeof member;
    SP_DEVINFO_DATA node{};
    node.cbSize = sizeof node;
    DWORD required = 0;
    UINT length = 0;
    ULONG idLength = 0;
    alignas(8) unsigned char detail[4096];
    WCHAR text[MAX_PATH], root[MAX_PATH] = {}, volume[MAX_PATH] = {};
    const std::string windows = t.noWindowsDirectory;
    const std::vector<Case> cases = {
        {"the last-error code is the thread's",
         [&] {
             P::SetLastError(ERROR_NOT_LOCKED);
             return Ask(FALSE);
         },
         Failure(ERROR_NOT_LOCKED)},
        {"open a device that is not there",
         [&] {
             HANDLE h = P::CreateFileW(t.missing.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       0, nullptr);
             return h == INVALID_HANDLE_VALUE ? Ask(FALSE) : (P::CloseHandle(h), Success);
         },
         Failure(ERROR_FILE_NOT_FOUND)},
        {"the Windows directory: the size needed with no buffer",
         [&] {
             length = P::GetWindowsDirectoryW(nullptr, 0);
             return length > 1 ? Success : Ask(FALSE);
         },
         Success, windows},
        {"the system directory: the size needed, then the text",
         [&] {
             length = P::GetSystemDirectoryW(nullptr, 0);
             if (length < 2 || length > MAX_PATH)
                 return Ask(FALSE);
             return P::GetSystemDirectoryW(text, MAX_PATH) == length - 1 ? Success : Failure(Unexpected);
         },
         Success},
        {"the path of the volume that holds the system directory",
         [&] { return Ask(P::GetVolumePathNameW(text, root, MAX_PATH)); }, Success},
        {"the name of the volume mounted there",
         [&] { return Ask(P::GetVolumeNameForVolumeMountPointW(root, volume, MAX_PATH)); }, Success},
        {"a volume name that names no volume",
         [&] {
             DWORD needed = 0;
             return Ask(P::GetVolumePathNamesForVolumeNameW(L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\",
                                                            text, MAX_PATH, &needed));
         },
         Failure(ERROR_FILE_NOT_FOUND)},
        // The machine's volumes: the search, the first volume's path names
        // and extents.
        {"the first volume's name in a buffer too small",
         [&] {
             HANDLE search = P::FindFirstVolumeW(volume, 4);
             return search == INVALID_HANDLE_VALUE ? Ask(FALSE) : (P::FindVolumeClose(search), Success);
         },
         Failure(ERROR_FILENAME_EXCED_RANGE)},
        {"the volumes one by one, to the end",
         [&] {
             HANDLE search = P::FindFirstVolumeW(volume, MAX_PATH);
             if (search == INVALID_HANDLE_VALUE)
                 return Ask(FALSE);
             WCHAR next[MAX_PATH];
             while (P::FindNextVolumeW(search, next, MAX_PATH)) {
             }
             const Outcome end = Ask(FALSE);
             return P::FindVolumeClose(search) ? end : Failure(Unexpected);
         },
         Failure(ERROR_NO_MORE_FILES)},
        {"the first volume's path names in a buffer too small",
         [&] {
             DWORD needed = 0;
             const Outcome o = Ask(P::GetVolumePathNamesForVolumeNameW(volume, text, 1, &needed));
             return !o.ok && needed < 2 ? Failure(Unexpected) : o;
         },
         Failure(ERROR_MORE_DATA)},
        {"the first volume's extents: the record, then one byte short",
         [&] {
             std::wstring name(volume);
             name.pop_back(); // the volume itself, not its root directory
             HANDLE h = P::CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
             if (h == INVALID_HANDLE_VALUE)
                 return Ask(FALSE);
             alignas(8) unsigned char extents[sizeof(VOLUME_DISK_EXTENTS)];
             DWORD returned = 0;
             const bool whole = P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents,
                                                   sizeof extents, &returned, nullptr) ||
                                P::GetLastError() == ERROR_MORE_DATA;
             const Outcome cut = Ask(P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents,
                                                        sizeof extents - 1, &returned, nullptr));
             P::CloseHandle(h);
             return whole ? cut : Failure(Unexpected);
         },
         Failure(ERROR_INSUFFICIENT_BUFFER)},
        {"a set member with a record of the wrong size",
         [&] {
             SP_DEVICE_INTERFACE_DATA wrong{};
             wrong.cbSize = 1;
             return Ask(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 0, &wrong));
         },
         Failure(ERROR_INVALID_USER_BUFFER)},
        {"a member past the last",
         [&] { return Ask(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 9999, &member)); },
         Failure(ERROR_NO_MORE_ITEMS)},
        {"the first member",
         [&] { return Ask(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 0, &member)); }, Success,
         t.noDisk},
        {"its detail: the size needed",
         [&] {
             Outcome o = Ask(P::SetupDiGetDeviceInterfaceDetailW(set, &member, nullptr, 0, &required, nullptr));
             return !o.ok && required <= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ? Failure(Unexpected) : o;
         },
         Failure(ERROR_INSUFFICIENT_BUFFER), t.noDisk},
        {"its detail in a record of the wrong size",
         [&] {
             std::memset(detail, 0, sizeof detail);
             reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail)->cbSize = 1;
             return Ask(P::SetupDiGetDeviceInterfaceDetailW(
                 set, &member, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail), required, nullptr,
                 nullptr));
         },
         Failure(ERROR_INVALID_USER_BUFFER), t.noDisk},
        {"its detail with its node",
         [&] {
             reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail)->cbSize =
                 sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
             return Ask(P::SetupDiGetDeviceInterfaceDetailW(
                 set, &member, reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(detail), required, nullptr,
                 &node));
         },
         Success, t.noDisk},
        {"the node's description in a buffer too small",
         [&] {
             DWORD type = 0;
             BYTE two[2];
             return Ask(
                 P::SetupDiGetDeviceRegistryPropertyW(set, &node, SPDRP_DEVICEDESC, &type, two, sizeof two, &required));
         },
         Failure(ERROR_INSUFFICIENT_BUFFER), t.noDisk},
        {"the node's parent",
         [&] {
             DEVINST parent = 0;
             return P::CM_Get_Parent(&parent, node.DevInst, 0) == CR_SUCCESS ? Success : Ask(FALSE);
         },
         Success, t.noDisk},
        {"the node's ID: in a buffer one short, then without room for the terminator",
         [&] {
             if (P::CM_Get_Device_ID_Size(&idLength, node.DevInst, 0) != CR_SUCCESS || idLength < 2)
                 return Ask(FALSE);
             const bool shortRefused = P::CM_Get_Device_IDW(node.DevInst, text, idLength - 1, 0) == CR_BUFFER_SMALL;
             return shortRefused && P::CM_Get_Device_IDW(node.DevInst, text, idLength, 0) == CR_SUCCESS
                        ? Success
                        : Failure(Unexpected);
         },
         Success, t.noDisk},
        {"node 0",
         [&] {
             DEVINST parent = 0;
             return Failure(P::CM_Get_Parent(&parent, 0, 0)); // the CONFIGRET as the code
         },
         Failure(CR_INVALID_DEVNODE)},
        {"a node by an ID no node has",
         [&] {
             SP_DEVINFO_DATA other{};
             other.cbSize = sizeof other;
             return Ask(P::SetupDiOpenDeviceInfoW(set, L"TAV\\NO_SUCH_NODE\\0", nullptr, 0, &other));
         },
         Failure(ERROR_NO_SUCH_DEVINST)},
        {"an interface by a path no interface has",
         [&] {
             SP_DEVICE_INTERFACE_DATA other{};
             other.cbSize = sizeof other;
             return Ask(P::SetupDiOpenDeviceInterfaceW(
                 set, L"\\\\?\\tav#no_such_interface#0#{00000000-0000-0000-0000-000000000000}", 0, &other));
         },
         Failure(ERROR_NO_SUCH_DEVICE_INTERFACE)},
    };
    Check(cases, t.skips);
    for (const auto &listed : t.skips)
        EXPECT_TRUE(std::any_of(cases.begin(), cases.end(), [&](const Case &c) { return listed.first == c.what; }))
            << "no case is named " << listed.first;
    EXPECT_TRUE(P::SetupDiDestroyDeviceInfoList(set));
}

} // namespace TavSeam

#endif
