// SPDX-License-Identifier: MIT
// Device answers: a simulated machine built from the input (one to three
// disks with any descriptors, IDENTIFY, INQUIRY, READ CAPACITY, geometry,
// volumes with any extents and path names, requests that fail or answer
// short, an allocation that fails), then every member of Drive and Adapter
// with small and odd capacities.
//
// Checked on every call: nothing is written at or past the capacity the
// caller gave, counts and lengths stay within what was delivered, results
// are 0 or 1, a refusing getter leaves buffer and count alone, a sector
// transfer moves exactly one sector and a write changes nothing but its
// sector; and at the end nothing is left allocated or open.
#include "DriveChecks.h"
#include "SimInput.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

using namespace TavFuzz;

// Everything outside [offset, offset + size) of a disk reads the same
// before and after a write.
void CheckWriteConfined(const TavSim::Disk &before, const TavSim::Disk &after, uint64_t offset, uint64_t size) {
    for (const auto &page : after.pages) {
        uint64_t start = page.first * TavSim::Disk::PageSize;
        auto old = before.pages.find(page.first);
        for (uint64_t i = 0; i < TavSim::Disk::PageSize; ++i) {
            uint64_t at = start + i;
            if (at >= offset && at - offset < size)
                continue;
            uint8_t was = old == before.pages.end() ? before.fill : old->second[i];
            Require(page.second[i] == was, "a write changed bytes outside its sector", "WriteSector");
        }
    }
}

void Exercise(Drive &d, TavSim::Machine &m, void *set, const MachinePlan &plan) {
    ULONG parent = ExerciseReading(d, plan.sector);
    ULONG bytes = d.GetBytesPerSector();
    if (bytes <= MaxSector) {
        std::vector<TavSim::Disk> before = m.disks;
        std::vector<unsigned char> data(bytes + Slack, 0x3C);
        int result = d.WriteSector(plan.sector, data.data());
        if (result && bytes == 0)
            Fault("reported a transfer of nothing as a success", "WriteSector", bytes);
        for (size_t i = 0; i < m.disks.size() && i < before.size(); ++i)
            CheckWriteConfined(before[i], m.disks[i], uint64_t{plan.sector} * bytes, bytes);
    }
    ExerciseAdapter(set, parent);
}

} // namespace
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    TavFuzz::Reader reader(data, size);
    MachinePlan plan = TavFuzz::Decode(reader);

    if (std::getenv("TAVFUZZ_DUMP")) {
        // What an input makes, for reading a finding.
        std::fprintf(stderr, "disks %zu volumes %zu faults %zu failAllocation %u sector %u\n", plan.disks.size(),
                     plan.volumes.size(), plan.faults.size(), plan.failAllocation, plan.sector);
        for (const auto &f : plan.faults)
            std::fprintf(stderr, "  fault op %s ioctl 0x%x disk %d error %u short %d skip %u times %d\n",
                         TavSim::OpName(FaultOps()[f.op % FaultOps().size()]),
                         FaultIoctls()[f.ioctl % FaultIoctls().size()], f.disk, f.error,
                         f.shortBytes ? int{*f.shortBytes} : -1, f.skip, f.times);
    }

    TavSim::Machine m;
    m.logging = false;
    TavFuzz::Build(plan, m);
    m.Install();
    if (plan.failAllocation)
        m.FailAllocation(plan.failAllocation - 1);

    void *set = Drive::GetDeviceInfoSet();
    for (ULONG i = 0; i < 4; ++i) {
        std::unique_ptr<Drive> drive(Drive::GetDrive(set, i));
        if (!drive)
            break;
        Exercise(*drive, m, set, plan);
    }
    if (set != INVALID_HANDLE_VALUE && set != nullptr)
        SetupDiDestroyDeviceInfoList(set);

    Require(m.OpenHandles() == 0, "handles left open", "Drive");
    Require(m.OpenSets() == 0, "sets left open", "Drive");
    Require(m.LiveBlocks() == 0, "blocks left allocated", "Drive");
    Require(m.BadReleases() == 0, "released something twice or never allocated", "Drive");
    TavSim::Machine::Uninstall();
    return 0;
}
