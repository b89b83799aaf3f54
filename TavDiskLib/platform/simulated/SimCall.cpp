// SPDX-License-Identifier: MIT
// The call every platform operation of the simulated machine makes: the
// failure rules, the thread's last-error code, and the name searches the
// operations share.
#include "SimCall.h"

namespace TavSim {
namespace {

thread_local DWORD t_lastError = 0;

} // namespace

// In a Windows build the system's own code follows the thread's code, so that
// a caller that reads the system's GetLastError after a library call (as
// tavdisk does) sees what the simulated machine answered.
void SetCode(DWORD code) {
    t_lastError = code;
#if defined(_WIN32)
    ::SetLastError(code);
#endif
}

bool EqualNoCase(const std::wstring &a, const wchar_t *b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (y == 0)
            return false;
        if (x >= L'A' && x <= L'Z')
            x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y)
            return false;
    }
    return b[i] == 0;
}

bool CallBase::MatchFaults() {
    for (FaultRule &r : s->faults) {
        const Fault &f = r.fault;
        if (f.op != req.op || (f.ioctl != 0 && f.ioctl != req.ioctl) || (f.disk != -1 && f.disk != req.disk) ||
            (f.volume != -1 && f.volume != req.volume))
            continue;
        if (r.seen++ < f.skip || (f.times >= 0 && r.applied >= f.times))
            continue;
        ++r.applied;
        if (!f.shortBytes && !f.succeedWithError) {
            faultError = f.error;
            return true;
        }
        if (f.shortBytes)
            limit = *f.shortBytes;
        if (f.succeedWithError) {
            errorOnSuccess = true;
            successError = f.error;
        }
        return false;
    }
    return false;
}

int CallBase::DiskOfDevInst(DEVINST dn) const {
    for (size_t i = 0; i < m->disks.size(); ++i)
        if (m->disks[i].devInst == dn)
            return static_cast<int>(i);
    return -1;
}

const DeviceNode *CallBase::Node(DEVINST dn) const {
    for (const DeviceNode &n : m->nodes)
        if (n.devInst == dn)
            return &n;
    return nullptr;
}

BOOL Release(Call<BOOL> &c, Slot *slot) {
    if (!slot) {
        ++c.s->badReleases;
        return c.Fail(ERROR_INVALID_HANDLE);
    }
    FreeSlot(*c.s, *slot);
    return c.Ok(TRUE);
}

} // namespace TavSim

namespace TavPlatform {

DWORD GetLastError() { return TavSim::t_lastError; }

void SetLastError(DWORD dwErrCode) { TavSim::SetCode(dwErrCode); }

} // namespace TavPlatform
