// SPDX-License-Identifier: MIT
// The simulated machine's test API: building, installing, failure rules, the
// request log, accounting, the sector store and the record builders.
#include "SimState.h"

#include "../../protocol/Scsi.h"

#include <algorithm>
#include <cstring>

namespace TavSim {

Globals &G() {
    // Never destroyed: blocks and machines may outlive static destruction order.
    static Globals *globals = new Globals;
    return *globals;
}

const char *OpName(Op op) {
    switch (op) {
    case Op::LocalAlloc: return "LocalAlloc";
    case Op::LocalFree: return "LocalFree";
    case Op::LocalSize: return "LocalSize";
    case Op::CreateFileW: return "CreateFileW";
    case Op::CloseHandle: return "CloseHandle";
    case Op::DuplicateHandle: return "DuplicateHandle";
    case Op::DeviceIoControl: return "DeviceIoControl";
    case Op::SetFilePointerEx: return "SetFilePointerEx";
    case Op::ReadFile: return "ReadFile";
    case Op::WriteFile: return "WriteFile";
    case Op::FindFirstVolumeW: return "FindFirstVolumeW";
    case Op::FindNextVolumeW: return "FindNextVolumeW";
    case Op::FindVolumeClose: return "FindVolumeClose";
    case Op::GetVolumePathNamesForVolumeNameW: return "GetVolumePathNamesForVolumeNameW";
    case Op::GetWindowsDirectoryW: return "GetWindowsDirectoryW";
    case Op::GetSystemDirectoryW: return "GetSystemDirectoryW";
    case Op::GetVolumePathNameW: return "GetVolumePathNameW";
    case Op::GetVolumeNameForVolumeMountPointW: return "GetVolumeNameForVolumeMountPointW";
    case Op::GetStorageDependencyInformation: return "GetStorageDependencyInformation";
    case Op::SetupDiGetClassDevsExW: return "SetupDiGetClassDevsExW";
    case Op::SetupDiDestroyDeviceInfoList: return "SetupDiDestroyDeviceInfoList";
    case Op::SetupDiEnumDeviceInterfaces: return "SetupDiEnumDeviceInterfaces";
    case Op::SetupDiGetDeviceInterfaceDetailW: return "SetupDiGetDeviceInterfaceDetailW";
    case Op::SetupDiOpenDeviceInfoW: return "SetupDiOpenDeviceInfoW";
    case Op::SetupDiOpenDeviceInterfaceW: return "SetupDiOpenDeviceInterfaceW";
    case Op::SetupDiGetDeviceRegistryPropertyW: return "SetupDiGetDeviceRegistryPropertyW";
    case Op::CM_Get_Parent: return "CM_Get_Parent";
    case Op::CM_Get_Device_ID_Size: return "CM_Get_Device_ID_Size";
    case Op::CM_Get_Device_IDW: return "CM_Get_Device_IDW";
    case Op::FlushFileBuffers: return "FlushFileBuffers";
    }
    return "?";
}

// ---------------------------------------------------------------------------
// Machine lifetime and installation.

Machine::Machine() : state(new State) {
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    state->id = g.nextMachineId++;
    g.machines[state->id] = state;
}

Machine::~Machine() {
    Globals &g = G();
    {
        std::lock_guard<std::mutex> lock(g.mu);
        if (g.current == this)
            g.current = nullptr;
        // Blocks allocated under this machine stay valid; freeing them later
        // no longer finds an owner to account to.
        g.machines.erase(state->id);
    }
    delete state;
}

Machine *Machine::Current() {
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    return g.current;
}

void Machine::Install() {
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    g.current = this;
}

void Machine::Uninstall() {
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    g.current = nullptr;
}

// ---------------------------------------------------------------------------
// Building.

DEVINST Machine::AddNode(const std::wstring &instanceId, const std::wstring &description, DEVINST parent) {
    DEVINST next = 0x100;
    for (const DeviceNode &n : nodes)
        next = std::max<DEVINST>(next, n.devInst + 1);
    DeviceNode node;
    node.devInst = next;
    node.instanceId = instanceId;
    node.description = description;
    node.parent = parent;
    nodes.push_back(node);
    return next;
}

namespace {

std::wstring Hex(uint64_t value, int digits) {
    static const wchar_t digitChars[] = L"0123456789abcdef";
    std::wstring s(static_cast<size_t>(digits), L'0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        s[static_cast<size_t>(i)] = digitChars[value & 0xF];
    return s;
}

} // namespace

int Machine::AddDisk(const Disk &d) {
    const size_t index = disks.size();
    auto used = [this](const std::wstring &path) {
        for (const Disk &other : disks)
            if (other.devicePath == path)
                return true;
        return false;
    };
    Disk added = d;
    if (added.devicePath.empty()) {
        added.devicePath = L"\\\\?\\scsi#disk&ven_sim&prod_disk#4&2a8c3f0&0&" + Hex(index, 6) +
                           L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    }
    // A device path names one device: a path already taken gets the disk's
    // index appended to its instance part (before the class suffix).
    const std::wstring base = added.devicePath;
    for (uint64_t n = index; used(added.devicePath); ++n) {
        std::wstring path = base;
        const size_t classPart = path.rfind(L"#{");
        path.insert(classPart == std::wstring::npos ? path.size() : classPart, L"&" + Hex(n, 4));
        added.devicePath = path;
    }
    disks.push_back(std::move(added));
    return static_cast<int>(index);
}

int Machine::AddVolume(std::vector<Volume::Extent> extents, std::vector<std::wstring> pathNames) {
    const uint64_t index = volumes.size();
    Volume v;
    // \\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\ : 49 characters.
    v.name = L"\\\\?\\Volume{" + Hex(0x6f1d0000u + index, 8) + L"-b5a1-11e0-8a2c-" + Hex(index + 1, 12) + L"}\\";
    v.extents = std::move(extents);
    v.pathNames = std::move(pathNames);
    volumes.push_back(std::move(v));
    return static_cast<int>(index);
}

// ---------------------------------------------------------------------------
// Sector store.

void StoreRead(const Disk &d, uint64_t offset, uint8_t *dst, size_t count) {
    while (count > 0) {
        const uint64_t page = offset / Disk::PageSize;
        const size_t within = static_cast<size_t>(offset % Disk::PageSize);
        const size_t k = std::min<size_t>(count, static_cast<size_t>(Disk::PageSize) - within);
        size_t have = 0;
        auto it = d.pages.find(page);
        if (it != d.pages.end() && it->second.size() > within) {
            have = std::min(k, it->second.size() - within);
            std::memcpy(dst, it->second.data() + within, have);
        }
        if (have < k)
            std::memset(dst + have, d.fill, k - have);
        dst += k;
        offset += k;
        count -= k;
    }
}

void StoreWrite(Disk &d, uint64_t offset, const uint8_t *src, size_t count) {
    while (count > 0) {
        const uint64_t page = offset / Disk::PageSize;
        const size_t within = static_cast<size_t>(offset % Disk::PageSize);
        const size_t k = std::min<size_t>(count, static_cast<size_t>(Disk::PageSize) - within);
        ByteString &p = d.pages[page];
        if (p.size() < Disk::PageSize)
            p.resize(Disk::PageSize, d.fill);
        std::memcpy(p.data() + within, src, k);
        src += k;
        offset += k;
        count -= k;
    }
}

ByteString Machine::ReadBytes(int disk, uint64_t offset, size_t count) const {
    if (disk < 0 || static_cast<size_t>(disk) >= disks.size())
        return {};
    ByteString out(count);
    StoreRead(disks[static_cast<size_t>(disk)], offset, out.data(), count);
    return out;
}

void Machine::WriteBytes(int disk, uint64_t offset, const ByteString &data) {
    if (disk < 0 || static_cast<size_t>(disk) >= disks.size())
        return;
    StoreWrite(disks[static_cast<size_t>(disk)], offset, data.data(), data.size());
}

// ---------------------------------------------------------------------------
// Failure injection, log and accounting.

void Machine::AddFault(const Fault &f) {
    std::lock_guard<std::mutex> lock(G().mu);
    FaultRule rule;
    rule.fault = f;
    state->faults.push_back(rule);
}

void Machine::ClearFaults() {
    std::lock_guard<std::mutex> lock(G().mu);
    state->faults.clear();
}

void Machine::FailAllocation(long nth) {
    std::lock_guard<std::mutex> lock(G().mu);
    state->failOneAt = nth < 0 ? -1 : state->allocCalls + nth;
}

void Machine::FailAllocationsFrom(long nth) {
    std::lock_guard<std::mutex> lock(G().mu);
    state->failFromAt = nth < 0 ? -1 : state->allocCalls + nth;
}

const std::vector<Request> &Machine::Log() const { return state->log; }

void Machine::ClearLog() {
    std::lock_guard<std::mutex> lock(G().mu);
    state->log.clear();
}

size_t Machine::Count(Op op, DWORD ioctl) const {
    std::lock_guard<std::mutex> lock(G().mu);
    size_t n = 0;
    for (const Request &r : state->log)
        if (r.op == op && (ioctl == 0 || r.ioctl == ioctl))
            ++n;
    return n;
}

size_t Machine::OpenHandles() const { return state->openHandles; }
size_t Machine::OpenSets() const { return state->openSets; }
size_t Machine::LiveBlocks() const { return state->liveBlocks; }
size_t Machine::BadReleases() const { return state->badReleases; }
size_t Machine::BlocksAllocated() const { return state->blocksAllocated; }

// ---------------------------------------------------------------------------
// Record builders.

namespace {

template <class T> ByteString AsBytes(const T &record) {
    ByteString b(sizeof(T));
    std::memcpy(b.data(), &record, sizeof(T));
    return b;
}

void PutDword(ByteString &b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

} // namespace

ByteString MakeAdapterDescriptor(STORAGE_BUS_TYPE bus, DWORD alignmentMask) {
    STORAGE_ADAPTER_DESCRIPTOR d;
    std::memset(&d, 0, sizeof d);
    d.Version = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
    d.Size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
    d.MaximumTransferLength = 0x20000;
    d.MaximumPhysicalPages = 0x21;
    d.AlignmentMask = alignmentMask;
    d.AdapterUsesPio = 0;
    d.AdapterScansDown = 0;
    d.CommandQueueing = 1;
    d.AcceleratedTransfer = 1;
    d.BusType = static_cast<BYTE>(bus);
    d.BusMajorVersion = 1;
    d.BusMinorVersion = 0;
    return AsBytes(d);
}

ByteString MakeDeviceDescriptor(const char *vendor, const char *product, const char *revision, const char *serial,
                                STORAGE_BUS_TYPE bus, bool serialAllOnes) {
    STORAGE_DEVICE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof d);
    d.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    d.BusType = bus;
    ByteString b = AsBytes(d);
    // The strings follow the fixed part, each with its terminator.
    auto append = [&b](const char *text) -> uint32_t {
        if (!text)
            return 0;
        const uint32_t at = static_cast<uint32_t>(b.size());
        b.insert(b.end(), text, text + std::strlen(text));
        b.push_back(0);
        return at;
    };
    PutDword(b, offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), append(vendor));
    PutDword(b, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset), append(product));
    PutDword(b, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset), append(revision));
    PutDword(b, offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset), serialAllOnes ? 0xFFFFFFFFu : append(serial));
    PutDword(b, offsetof(STORAGE_DEVICE_DESCRIPTOR, Size), static_cast<uint32_t>(b.size()));
    return b;
}

void SetIdentifyWord(ByteString &identify, unsigned word, uint16_t value) {
    const size_t at = 2u * static_cast<size_t>(word);
    if (identify.size() < at + 2)
        identify.resize(at + 2, 0);
    TavProtocol::SetIdentifyWord(identify.data(), word, value);
}

ByteString MakeIdentify(const char *model, const char *serial, const char *firmware, uint64_t sectors, bool lba48) {
    using namespace TavProtocol;
    ByteString id(IdentifyLength, 0);
    uint8_t *words = id.data();
    auto set = [words](unsigned word, uint16_t value) { TavProtocol::SetIdentifyWord(words, word, value); };
    set(IdentifyConfigurationWord, 0x0040); // fixed device
    PutAtaString(words, IdentifySerialWord, IdentifySerialWords, serial ? serial : "");
    PutAtaString(words, IdentifyFirmwareWord, IdentifyFirmwareWords, firmware ? firmware : "");
    PutAtaString(words, IdentifyModelWord, IdentifyModelWords, model ? model : "");
    set(IdentifyCapabilitiesWord, 1u << IdentifyLbaBit);
    const uint32_t lba28 = static_cast<uint32_t>(std::min<uint64_t>(sectors, 0x0FFFFFFF));
    set(IdentifyLba28SectorsWord, static_cast<uint16_t>(lba28 & 0xFFFF));
    set(IdentifyLba28SectorsWord + 1, static_cast<uint16_t>(lba28 >> 16));
    // Words 83 and 84 are valid when bit 14 is set and bit 15 clear.
    const uint16_t lba48Bit = 1u << IdentifyLba48Bit;
    set(IdentifyCommandSets2Word, static_cast<uint16_t>(0x4000 | (lba48 ? lba48Bit : 0)));
    set(IdentifyCommandSetsExtWord, 0x4000);
    if (lba48) {
        set(IdentifyCommandSets2EnabledWord, lba48Bit);
        for (unsigned i = 0; i < 4; ++i)
            set(IdentifyLba48SectorsWord + i, static_cast<uint16_t>(sectors >> (16 * i)));
    }
    return id;
}

ByteString MakeSmartBlock(const std::vector<SmartEntry> &entries, bool thresholds) {
    ByteString block(512, 0);
    block[0] = 0x10;
    for (size_t i = 0; i < entries.size() && i < 30; ++i) {
        uint8_t *e = block.data() + 2 + i * 12;
        e[0] = entries[i].id;
        if (thresholds) {
            e[1] = entries[i].threshold;
            continue;
        }
        e[1] = 0x03; // pre-failure, updated online
        e[3] = entries[i].value;
        e[4] = entries[i].value;
        for (int b = 0; b < 6; ++b)
            e[5 + b] = static_cast<uint8_t>(entries[i].raw >> (8 * b));
    }
    uint8_t sum = 0;
    for (size_t i = 0; i + 1 < block.size(); ++i)
        sum = static_cast<uint8_t>(sum + block[i]);
    block.back() = static_cast<uint8_t>(0x100 - sum);
    return block;
}

ByteString MakeInquiry(const char *vendor, const char *product, const char *revision, size_t length) {
    // A direct-access device, connected, not removable, SPC-3, response data format 2.
    TavProtocol::InquiryFields fields;
    fields.vendor = vendor ? vendor : "";
    fields.product = product ? product : "";
    fields.revision = revision ? revision : "";
    ByteString b(length, 0);
    TavProtocol::EncodeInquiry(fields, b.data(), length);
    return b;
}

} // namespace TavSim
