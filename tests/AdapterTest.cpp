// SPDX-License-Identifier: MIT
// The controller a disk hangs on, described through an Adapter.
#include "TestSupport.h"

#include <cstring>
#include <vector>
#include <new>

using namespace TavTest;
using TavSim::Op;

class Adapters : public MachineTest {};

TEST_F(Adapters, DescribesTheParentOfADisk) {
    machine.AddDisk(AtaDisk(0));
    DrivePtr d = Get(0);
    ULONG parent = d->GetDeviceParentInstance();
    EXPECT_EQ(parent, controller);
    machine.ClearLog();
    Adapter adapter(Set(), parent);

    const std::vector<Step> construction = {
        {Op::CM_Get_Device_ID_Size, 0},
        {Op::CM_Get_Device_IDW, 0},
        {Op::SetupDiOpenDeviceInfoW, 0},
        {Op::SetupDiOpenDeviceInterfaceW, 0},
    };
    EXPECT_EQ(Sequence(machine), construction);
    auto open = Requests(machine, Op::SetupDiOpenDeviceInfoW);
    EXPECT_EQ(open[0].path, L"PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA");

    const std::wstring expected = L"Standard SATA AHCI Controller";
    const ULONG bytes = static_cast<ULONG>((expected.size() + 1) * sizeof(wchar_t));

    // Size only.
    ULONG required = 0;
    adapter.GetDescription(nullptr, 0, &required);
    EXPECT_EQ(required, bytes);

    // Too small: no description, the size needed.
    std::vector<wchar_t> buffer(64, L'#');
    required = 0;
    adapter.GetDescription(buffer.data(), bytes - 1, &required);
    EXPECT_EQ(required, bytes);

    required = 0;
    adapter.GetDescription(buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(wchar_t)), &required);
    EXPECT_EQ(std::wstring(buffer.data()), expected);
    EXPECT_EQ(required, bytes);
    auto property = Requests(machine, Op::SetupDiGetDeviceRegistryPropertyW);
    EXPECT_EQ(property.back().index, SPDRP_DEVICEDESC);

    // The required-size pointer may be null.
    adapter.GetDescription(buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(wchar_t)), nullptr);
}

TEST_F(Adapters, ANodeThatDoesNotExistLeavesTheBufferAlone) {
    Adapter adapter(Set(), 0xBADBAD);
    std::vector<wchar_t> buffer(16, L'#');
    ULONG required = 12345;
    adapter.GetDescription(buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(wchar_t)), &required);
    EXPECT_EQ(buffer[0], L'#');
    // The identifier was empty: both opens received an empty text.
    auto open = Requests(machine, Op::SetupDiOpenDeviceInfoW);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].path, L"");
}

TEST_F(Adapters, DestructionAndCopyReleaseEachRecordOnce) {
    DEVINST node = machine.AddNode(L"USB\\VID_1234&PID_5678\\0001", L"USB Mass Storage Device");
    Set();
    size_t setBlocks = machine.LiveBlocks();
    {
        Adapter a(Set(), node);
        EXPECT_EQ(machine.LiveBlocks(), setBlocks + 2);
    }
    EXPECT_EQ(machine.LiveBlocks(), setBlocks);

    // Copies and moves are independent values, each destroyed on its own.
    auto description = [](Adapter &a) {
        std::vector<wchar_t> buffer(64, 0);
        a.GetDescription(buffer.data(), 128, nullptr);
        return std::wstring(buffer.data());
    };
    {
        std::vector<Adapter> adapters;
        Adapter a(Set(), node);
        adapters.push_back(a);
        adapters.emplace_back(Set(), controller);
        adapters.push_back(std::move(adapters.back()));
        adapters[1] = adapters[0];
        adapters[2] = *&adapters[2];
        adapters[0] = Adapter(Set(), controller);
        EXPECT_EQ(description(a), L"USB Mass Storage Device");
        EXPECT_EQ(description(adapters[0]), L"Standard SATA AHCI Controller");
        EXPECT_EQ(description(adapters[1]), L"USB Mass Storage Device");
        EXPECT_EQ(description(adapters[2]), L"Standard SATA AHCI Controller");
    }
    EXPECT_EQ(machine.LiveBlocks(), setBlocks);
    EXPECT_EQ(machine.BadReleases(), 0u);
}

TEST_F(Adapters, MemoryExhaustionDuringConstruction) {
    Set();
    size_t setBlocks = machine.LiveBlocks();
    for (long nth = 0; nth < 4; ++nth) {
        machine.FailAllocation(nth);
        {
            Adapter a(Set(), controller);
            machine.FailAllocation(-1);
            std::vector<wchar_t> buffer(64, L'#');
            ULONG required = 0;
            a.GetDescription(buffer.data(), 128, &required);
        }
        EXPECT_EQ(machine.LiveBlocks(), setBlocks) << nth;
    }
    EXPECT_EQ(machine.BadReleases(), 0u);
}
