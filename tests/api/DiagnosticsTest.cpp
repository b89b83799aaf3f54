// SPDX-License-Identifier: MIT
// Reports of failed platform requests (TAVDISK_DEBUG and the failure
// handler of the C interface), and the C interface's answers at its edges:
// null handles, buffers too small for a sector, failed enumeration and
// allocation. Over the simulated machine.
#include "TestSupport.h"
#include "../TextLines.h"

#include "TavDiskLib/tavdisk.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using TavSim::Op;
using TavTest::DrivePtr;

namespace {

struct Seen {
    std::string request, target, name, line;
    uint32_t error = 0;
};

void TAVDISK_CALL Collect(const tavdisk_failure *failure, void *context) {
    static_cast<std::vector<Seen> *>(context)->push_back(
        {failure->request, failure->target, failure->error_name, failure->line, failure->error});
}

// Installs Collect on the calling thread for the guard's life.
class Handler {
public:
    Handler() { tavdisk_set_failure_handler(&Collect, &seen); }
    ~Handler() { tavdisk_set_failure_handler(nullptr, nullptr); }
    Handler(const Handler &) = delete;
    Handler &operator=(const Handler &) = delete;
    std::vector<Seen> seen;
};

// TAVDISK_DEBUG set to `value` for the guard's life.
class DebugVariable {
public:
    explicit DebugVariable(const char *value) { setenv("TAVDISK_DEBUG", value, 1); }
    ~DebugVariable() { unsetenv("TAVDISK_DEBUG"); }
    DebugVariable(const DebugVariable &) = delete;
    DebugVariable &operator=(const DebugVariable &) = delete;
};

using TavTest::Lines;

class Diagnostics : public TavTest::MachineTest {};

TEST_F(Diagnostics, EachFailedRequestIsToldWithItsTargetAndCode) {
    TavSim::Disk closed = ScsiDisk(0);
    closed.openable = false;
    machine.AddDisk(closed);
    Handler handler;
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);

    ASSERT_GE(handler.seen.size(), 2u);
    const Seen &open = handler.seen[0];
    EXPECT_EQ(open.request, "CreateFileW");
    EXPECT_EQ(open.target, "\\\\?\\scsi#disk&ven_tav&prod_array#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(open.error, ERROR_ACCESS_DENIED);
    EXPECT_EQ(open.name, "ERROR_ACCESS_DENIED");
    EXPECT_EQ(open.line, "TavDiskLib: CreateFileW on " + open.target + " failed with error 5 (ERROR_ACCESS_DENIED)");
    // So does the open for queries only that follows it, and every probe
    // after that fails on the handle that is none.
    EXPECT_EQ(handler.seen[1].request, "CreateFileW");
    EXPECT_EQ(handler.seen[1].target, open.target);
    for (size_t i = 2; i < handler.seen.size(); ++i) {
        EXPECT_EQ(handler.seen[i].request.rfind("DeviceIoControl ", 0), 0u) << handler.seen[i].request;
        EXPECT_EQ(handler.seen[i].target, "INVALID_HANDLE_VALUE");
        EXPECT_EQ(handler.seen[i].error, ERROR_INVALID_HANDLE);
    }
    size_t probes = machine.Count(Op::DeviceIoControl);
    EXPECT_EQ(handler.seen.size(), 2 + probes);

    // A request on a device node: its CONFIGRET, named.
    handler.seen.clear();
    EXPECT_EQ(d->GetDeviceParentInstance(), controller);
    ASSERT_TRUE(handler.seen.empty());
    machine.nodes.clear();
    d->GetDeviceParentInstance();
    ASSERT_EQ(handler.seen.size(), 1u);
    EXPECT_EQ(handler.seen[0].line, "TavDiskLib: CM_Get_Parent on device node " +
                                        std::to_string(machine.disks[0].devInst) +
                                        " failed with CONFIGRET 13 (CR_NO_SUCH_DEVNODE)");
}

TEST_F(Diagnostics, WalkingListsAndLearningSizesAreNoFailures) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(AtaDisk(1));
    machine.AddVolume({{0, 1 << 20, 1 << 20}}, {L"C:\\", L"C:\\mnt\\x\\"});
    machine.AddVolume({{1, 1 << 20, 1 << 20}}, {});
    machine.windowsDirectory = L"C:\\Windows";
    Handler handler;
    for (ULONG i = 0;; ++i) {
        DrivePtr d = Get(i);
        if (!d)
            break; // ERROR_NO_MORE_ITEMS
        wchar_t letters[4];
        ULONG length = 0;
        d->GetDriveLetters(nullptr, 0, &length); // the size only
        d->GetDriveLetters(letters, 4, &length);
        d->ContainsWindowsBootPartition();
        d->GetSectors();
    }
    for (const Seen &s : handler.seen)
        ADD_FAILURE() << s.line;
    EXPECT_GT(machine.Count(Op::FindNextVolumeW), 0u);
}

// Refusals that answer the question asked are no failures; the same
// requests failing otherwise are.
TEST_F(Diagnostics, RefusalsThatAreTheAnswerAreNoFailures) {
    machine.AddDisk(ScsiDisk(0));
    machine.AddVolume({{0, 1 << 20, 1 << 20}}, {L"C:\\"});
    const struct {
        Op op;
        DWORD ioctl, error;
        bool told;
    } cases[] = {
        {Op::DeviceIoControl, SMART_GET_VERSION, ERROR_INVALID_FUNCTION, false},
        {Op::DeviceIoControl, SMART_GET_VERSION, ERROR_NOT_SUPPORTED, false},
        {Op::DeviceIoControl, SMART_GET_VERSION, ERROR_IO_DEVICE, true},
        {Op::DeviceIoControl, IOCTL_SCSI_GET_ADDRESS, ERROR_INVALID_FUNCTION, false},
        {Op::DeviceIoControl, IOCTL_SCSI_GET_ADDRESS, ERROR_ACCESS_DENIED, true},
        {Op::GetWindowsDirectoryW, 0, ERROR_PATH_NOT_FOUND, false},
        {Op::GetWindowsDirectoryW, 0, ERROR_ACCESS_DENIED, true},
        {Op::SetupDiOpenDeviceInterfaceW, 0, ERROR_NO_SUCH_DEVICE_INTERFACE, false},
        {Op::SetupDiOpenDeviceInterfaceW, 0, ERROR_INVALID_PARAMETER, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(TavSim::OpName(c.op)) + " " + std::to_string(c.ioctl) + " " + std::to_string(c.error));
        machine.ClearFaults();
        TavSim::Fault fault;
        fault.op = c.op;
        fault.ioctl = c.ioctl;
        fault.error = c.error;
        machine.AddFault(fault);
        Handler handler;
        DrivePtr d = Get(0);
        d->ContainsWindowsBootPartition();
        Adapter adapter(Set(), d->GetDeviceParentInstance());
        EXPECT_EQ(handler.seen.size(), c.told ? 1u : 0u);
    }
}

TEST_F(Diagnostics, ReportingChangesNoRequestResultOrErrorCode) {
    machine.AddDisk(AtaDisk(0));
    TavSim::Disk closed = ScsiDisk(1);
    closed.openable = false;
    machine.AddDisk(closed);
    // A read that fails with a code the logic leaves to the caller.
    TavSim::Fault fault;
    fault.op = Op::ReadFile;
    fault.error = ERROR_CRC;
    machine.AddFault(fault);

    Set();
    machine.ClearLog();
    auto run = [this] {
        std::vector<ULONG> results;
        for (ULONG i = 0; i < 2; ++i) {
            DrivePtr d = Get(i);
            unsigned char sector[512];
            results.push_back(static_cast<ULONG>(d->ReadSector(0, sector)));
            results.push_back(TavPlatform::GetLastError());
            results.push_back(static_cast<ULONG>(d->GetBusType()));
        }
        return results;
    };
    std::vector<ULONG> quiet = run();
    auto quietSequence = TavTest::Sequence(machine);
    machine.ClearLog();

    std::vector<ULONG> told;
    {
        DebugVariable debug("1");
        Handler handler;
        ::testing::internal::CaptureStderr();
        told = run();
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_FALSE(handler.seen.empty());
        EXPECT_EQ(Lines(printed).size(), handler.seen.size());
    }
    EXPECT_EQ(told, quiet);
    EXPECT_EQ(quiet[1], ERROR_CRC);
    EXPECT_EQ(TavTest::Sequence(machine), quietSequence);
}

TEST_F(Diagnostics, TheDebugVariablePrintsOneLinePerFailure) {
    TavSim::Disk closed = ScsiDisk(0);
    closed.openable = false;
    machine.AddDisk(closed);
    for (const char *value : {"1", "yes"}) {
        DebugVariable debug(value);
        Handler handler;
        ::testing::internal::CaptureStderr();
        DrivePtr d = Get(0);
        std::string printed = ::testing::internal::GetCapturedStderr();
        std::vector<std::string> lines = Lines(printed);
        ASSERT_EQ(lines.size(), handler.seen.size()) << printed;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i], handler.seen[i].line);
    }
    for (const char *value : {"0", ""}) {
        DebugVariable debug(value);
        ::testing::internal::CaptureStderr();
        DrivePtr d = Get(0);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "TAVDISK_DEBUG=" << value;
    }
}

TEST_F(Diagnostics, HandlersBelongToTheirThread) {
    TavSim::Disk closed = ScsiDisk(0);
    closed.openable = false;
    machine.AddDisk(closed);
    void *set = Set();
    Handler mine;
    std::vector<Seen> theirs;
    std::thread other([&] {
        // Nothing installed on this thread yet: nothing told to anyone.
        delete Drive::GetDrive(set, 0);
        tavdisk_set_failure_handler(&Collect, &theirs);
        delete Drive::GetDrive(set, 0);
        tavdisk_set_failure_handler(nullptr, nullptr);
    });
    other.join();
    EXPECT_TRUE(mine.seen.empty());
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(theirs[0].request, "CreateFileW");
}

// A handler that asks the library something is not told of the failures of
// its own requests (no endless recursion).
std::vector<std::string> nestedLines;
void TAVDISK_CALL AskAgain(const tavdisk_failure *failure, void *set) {
    nestedLines.push_back(failure->line);
    delete Drive::GetDrive(set, 0);
}

TEST_F(Diagnostics, AHandlerIsNotToldOfItsOwnRequests) {
    TavSim::Disk closed = ScsiDisk(0);
    closed.openable = false;
    machine.AddDisk(closed);
    size_t perDrive = 0;
    {
        Handler handler;
        DrivePtr d = Get(0);
        perDrive = handler.seen.size();
    }
    nestedLines.clear();
    tavdisk_set_failure_handler(&AskAgain, Set());
    DrivePtr d = Get(0);
    tavdisk_set_failure_handler(nullptr, nullptr);
    EXPECT_EQ(nestedLines.size(), perDrive);
}

// A handler that asks the disk whose volume scan failed for its mount points
// runs a whole scan inside that one: one answer is kept, nothing leaks.
struct Reentry {
    tavdisk_drive *drive = nullptr;
    std::wstring inner;
};
void TAVDISK_CALL AskForMountPoints(const tavdisk_failure *, void *context) {
    auto *r = static_cast<Reentry *>(context);
    wchar_t text[64] = {};
    uint32_t length = 0;
    tavdisk_drive_get_mount_points(r->drive, text, 64, &length);
    r->inner = text;
}

TEST_F(Diagnostics, AHandlerMayAskTheScanningDiskForItsMountPoints) {
    machine.AddDisk(ScsiDisk(0));
    machine.AddVolume({{0, 0, 1 << 20}}, {L"/mnt/one"});
    int refused = machine.AddVolume({{0, 1 << 20, 1 << 20}}, {L"/mnt/two"});
    machine.AddVolume({{0, 2 << 20, 1 << 20}}, {L"/mnt/three; four"});
    machine.volumes[static_cast<size_t>(refused)].openable = false;
    tavdisk_set *set = tavdisk_set_new();
    const size_t before = machine.LiveBlocks();
    Reentry r;
    r.drive = tavdisk_drive_new(set, 0);
    tavdisk_set_failure_handler(&AskForMountPoints, &r);
    wchar_t text[64] = {};
    uint32_t length = 0;
    EXPECT_EQ(tavdisk_drive_get_mount_points(r.drive, text, 64, &length), 1);
    tavdisk_set_failure_handler(nullptr, nullptr);
    EXPECT_EQ(std::wstring(text), L"/mnt/one; /mnt/three; four");
    EXPECT_EQ(r.inner, text);
    tavdisk_drive_free(r.drive);
    EXPECT_EQ(machine.LiveBlocks(), before);
    EXPECT_EQ(machine.BadReleases(), 0u);
    tavdisk_set_free(set);
}

// ---------------------------------------------------------------------------
// The C interface at its edges

class CInterface : public TavTest::MachineTest {};

TEST_F(CInterface, NoSetNoDriveAndNoMemoryGiveNull) {
    machine.AddDisk(AtaDisk(0));
    machine.interfacesEnumerable = false;
    EXPECT_EQ(tavdisk_set_new(), nullptr);
    machine.interfacesEnumerable = true;

    tavdisk_set *set = tavdisk_set_new();
    ASSERT_NE(set, nullptr);
    machine.FailAllocation(0);
    EXPECT_EQ(tavdisk_drive_new(set, 0), nullptr);
    EXPECT_EQ(machine.LiveBlocks(), 0u);
    machine.FailAllocation(-1);
    tavdisk_set_free(set);
    EXPECT_EQ(machine.OpenSets(), 0u);
}

TEST_F(CInterface, NullHandlesAndNullOutputsAreSafe) {
    machine.AddDisk(ScsiDisk(0));
    tavdisk_set *set = tavdisk_set_new();
    tavdisk_drive *d = tavdisk_drive_new(set, 0);
    ASSERT_NE(d, nullptr);
    char text[16];
    // No count pointer: the text is still delivered.
    EXPECT_EQ(tavdisk_drive_get_scsi_vendor_id(d, text, sizeof text, nullptr), 1);
    EXPECT_STREQ(text, "TAV");
    EXPECT_EQ(tavdisk_drive_get_device_path(d, nullptr, 100, nullptr), 0);
    wchar_t wide[8] = L"keep";
    uint32_t length = 3;
    EXPECT_EQ(tavdisk_drive_get_drive_letters(nullptr, wide, 8, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_STREQ(wide, L"keep");
    tavdisk_adapter_get_description(nullptr, wide, sizeof wide, &length);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(tavdisk_drive_write_sector(nullptr, 0, text, sizeof text), 0);
    tavdisk_drive_free(d);
    tavdisk_set_free(set);
}

TEST_F(CInterface, ASectorThatDoesNotFitTheBufferIsNotMoved) {
    TavSim::Disk big = ScsiDisk(0);
    big.geometry = TavTest::Geometry(7, 255, 63, 4096);
    big.blockLength = 4096;
    machine.AddDisk(big);
    tavdisk_set *set = tavdisk_set_new();
    tavdisk_drive *d = tavdisk_drive_new(set, 0);
    std::vector<unsigned char> buffer(4096, 0xAB);
    machine.ClearLog();
    EXPECT_EQ(tavdisk_drive_write_sector(d, 1, buffer.data(), 512), 0);
    EXPECT_EQ(tavdisk_drive_read_sector(d, 1, buffer.data(), 4095), 0);
    EXPECT_EQ(machine.Count(Op::WriteFile) + machine.Count(Op::ReadFile), 0u);
    EXPECT_EQ(tavdisk_drive_write_sector(d, 1, buffer.data(), 4096), 1);
    EXPECT_EQ(machine.ReadBytes(0, 4096, 1)[0], 0xAB);
    EXPECT_EQ(machine.ReadBytes(0, 8192, 1)[0], 0);
    tavdisk_drive_free(d);
    tavdisk_set_free(set);
}

TEST(CInterfaceVersion, NumberAndTextAgree) {
    uint32_t v = tavdisk_version();
    std::string text = std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
    EXPECT_EQ(text, tavdisk_version_string());
    EXPECT_EQ(text, TAVDISK_TEST_VERSION);
}

} // namespace
