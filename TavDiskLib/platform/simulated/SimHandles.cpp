// SPDX-License-Identifier: MIT
// The simulated machine's handle table (device handles, volume searches,
// device information sets) and finding them by name.
#include "SimCall.h"

#include <cwchar>

namespace TavSim {
namespace {

// The generation fills the bits above the slot index and the two tag bits.
constexpr uintptr_t GenMask = std::numeric_limits<uintptr_t>::max() >> (SlotBits + 2);

} // namespace

HANDLE NewHandle(State &s, HandleKind kind, int target, DWORD access) {
    uint32_t index;
    if (!s.freeSlots.empty()) {
        index = s.freeSlots.back();
        s.freeSlots.pop_back();
    } else {
        if (s.slots.size() > SlotMask)
            return INVALID_HANDLE_VALUE;
        index = static_cast<uint32_t>(s.slots.size());
        s.slots.emplace_back();
    }
    Globals &g = G();
    uintptr_t gen = g.nextGen++ & GenMask;
    if (gen == 0)
        gen = g.nextGen++ & GenMask;
    Slot &slot = s.slots[index];
    slot.gen = gen;
    slot.kind = kind;
    slot.target = target;
    slot.access = access;
    slot.position = 0;
    slot.locked = false;
    slot.diskInterfaces = false;
    slot.serial = 0;
    slot.opened.clear();
    if (kind == HandleKind::Set)
        ++s.openSets;
    else
        ++s.openHandles;
    // Low bits 10: never null, never INVALID_HANDLE_VALUE.
    return reinterpret_cast<HANDLE>((gen << (SlotBits + 2)) | (uintptr_t{index} << 2) | 2u);
}

void FreeSlot(State &s, Slot &slot) {
    if (slot.kind == HandleKind::Set)
        --s.openSets;
    else
        --s.openHandles;
    slot.kind = HandleKind::Free;
    slot.opened.clear();
    s.freeSlots.push_back(static_cast<uint32_t>(&slot - s.slots.data()));
}

ULONG_PTR InterfaceTag(const Slot &set, int disk) {
    return (ULONG_PTR{set.serial} << 16) | static_cast<ULONG_PTR>(disk + 1);
}

int DiskOfTag(const Slot &set, ULONG_PTR tag) {
    if ((tag >> 16) != set.serial || (tag & 0xFFFF) == 0)
        return -1;
    return static_cast<int>(tag & 0xFFFF) - 1;
}

// ---------------------------------------------------------------------------
// Finding by name. Tests may edit the machine's vectors directly, so a hash hit
// is checked against the name, and a miss falls back to a linear search.

namespace {

uint64_t HashName(const wchar_t *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<uint32_t>(p[i])) * 1099511628211ull;
    return h;
}

bool SameName(const std::wstring &a, size_t aLength, const wchar_t *b, size_t bLength) {
    return aLength == bLength && aLength <= a.size() && std::wmemcmp(a.data(), b, aLength) == 0;
}

// Index of the first item whose key (the first keyLength(item) characters of
// name(item)) equals `text`, or -1.
template <class Items, class Name, class KeyLength> int FindByName(std::unordered_map<uint64_t, int> &index,
                                                                   size_t &indexedSize, const Items &items, Name name,
                                                                   KeyLength keyLength, const wchar_t *text) {
    const size_t n = std::wcslen(text);
    const uint64_t h = HashName(text, n);
    if (indexedSize != items.size()) {
        index.clear();
        for (size_t i = 0; i < items.size(); ++i) {
            const std::wstring &key = name(items[i]);
            if (keyLength(key) <= key.size())
                index.emplace(HashName(key.data(), keyLength(key)), static_cast<int>(i));
        }
        indexedSize = items.size();
    }
    auto it = index.find(h);
    if (it != index.end() && static_cast<size_t>(it->second) < items.size()) {
        const std::wstring &key = name(items[static_cast<size_t>(it->second)]);
        if (SameName(key, keyLength(key), text, n))
            return it->second;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const std::wstring &key = name(items[i]);
        if (SameName(key, keyLength(key), text, n)) {
            index[h] = static_cast<int>(i);
            return static_cast<int>(i);
        }
    }
    return -1;
}

size_t WholeName(const std::wstring &key) { return key.size(); }
// A volume's device name: its name without the trailing backslash (none when
// the name does not end in one).
size_t DeviceName(const std::wstring &key) {
    return !key.empty() && key.back() == L'\\' ? key.size() - 1 : std::wstring::npos;
}

} // namespace

int FindDisk(State &s, const Machine &m, const wchar_t *path) {
    return FindByName(
        s.diskByPath, s.indexedDisks, m.disks, [](const Disk &d) -> const std::wstring & { return d.devicePath; },
        WholeName, path);
}

int FindVolume(State &s, const Machine &m, const wchar_t *name, bool device) {
    auto volumeName = [](const Volume &v) -> const std::wstring & { return v.name; };
    // Both indexes follow the volumes vector; each keeps its own size mark.
    size_t &mark = device ? s.indexedVolumes : s.indexedVolumesByName;
    return device ? FindByName(s.volumeByDevice, mark, m.volumes, volumeName, DeviceName, name)
                  : FindByName(s.volumeByName, mark, m.volumes, volumeName, WholeName, name);
}

} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

DWORD ReleaseBackendState() {
    // Not a request of the machine: neither logged nor subject to faults.
    // The machine is the test's; the backend keeps nothing beside it, and
    // refuses as the others do while the machine has handles or sets open.
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    if (g.current && (g.current->OpenHandles() != 0 || g.current->OpenSets() != 0))
        return ERROR_BUSY;
    return ERROR_SUCCESS;
}

std::wstring HandleTarget(HANDLE hObject) {
    // Not a request of the machine: neither logged nor subject to faults.
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    if (!g.current)
        return std::wstring();
    Machine &m = *g.current;
    State &s = Backend::Of(m);
    // The name a disk or volume handle was opened by.
    auto nameOf = [](const auto &items, int index, auto name) -> std::wstring {
        return index >= 0 && static_cast<size_t>(index) < items.size() ? items[static_cast<size_t>(index)].*name
                                                                       : std::wstring();
    };
    if (Slot *slot = FindSlot(s, hObject, HandleKind::Disk))
        return nameOf(m.disks, slot->target, &Disk::devicePath);
    if (Slot *slot = FindSlot(s, hObject, HandleKind::Volume))
        return nameOf(m.volumes, slot->target, &Volume::name);
    if (FindSlot(s, hObject, HandleKind::VolumeSearch))
        return L"a volume search";
    return std::wstring();
}

} // namespace TavPlatform
