// SPDX-License-Identifier: MIT
// Costs of the library's work over the simulated machine: enumeration and
// construction per disk, the volume scan against the number of volumes, and
// a sector read against the bare platform calls it makes.
//
//   build/default/bench/tavdisk_bench
#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using TavSim::Machine;

TavSim::Disk MakeDisk(Machine &m, DWORD number, DEVINST controller) {
    TavSim::Disk d;
    d.devicePath = L"\\\\?\\scsi#disk&ven_tav&prod_bench#" + std::to_wstring(number);
    d.devInst = m.AddNode(L"SCSI\\DISK&VEN_TAV\\" + std::to_wstring(number), L"Disk drive", controller);
    d.deviceNumber = number;
    d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas);
    d.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "BENCH DISK", "0001", "SERIAL", BusTypeSas);
    d.inquiry = TavSim::MakeInquiry("TAV", "BENCH DISK", "0001");
    d.lastLba = (1ull << 21) - 1;
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = 130;
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
    g.BytesPerSector = 512;
    d.geometry = g;
    d.sizeBytes = 1ull << 30;
    return d;
}

void BuildMachine(Machine &m, int disks, int volumes) {
    m.logging = false;
    DEVINST controller = m.AddNode(L"PCI\\VEN_1000&DEV_0097\\1", L"SAS controller");
    for (int i = 0; i < disks; ++i)
        m.AddDisk(MakeDisk(m, static_cast<DWORD>(i), controller));
    // Volumes spread over the disks; every fourth on disk 0.
    for (int v = 0; v < volumes; ++v) {
        DWORD disk = v % 4 == 0 ? 0 : static_cast<DWORD>(v % (disks > 1 ? disks : 1));
        m.AddVolume({{disk, uint64_t(v) << 20, 1u << 20}}, {L"C:\\mnt\\v" + std::to_wstring(v) + L"\\"});
    }
}

// (a) Enumerate the set and construct every Drive; the figure is per disk.
void BM_EnumerateAndConstruct(benchmark::State &state) {
    Machine m;
    BuildMachine(m, static_cast<int>(state.range(0)), 0);
    TavSim::ScopedMachine installed(m);
    for (auto _ : state) {
        void *set = Drive::GetDeviceInfoSet();
        for (ULONG i = 0;; ++i) {
            Drive *d = Drive::GetDrive(set, i);
            if (!d)
                break;
            benchmark::DoNotOptimize(d);
            delete d;
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["per_disk"] = benchmark::Counter(static_cast<double>(state.iterations() * state.range(0)),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_EnumerateAndConstruct)->Arg(1)->Arg(16)->Arg(256);

// (b) The volume scan of one Drive, against the number of volumes. Also
// counts the platform requests of the scan and of every later call.
void BM_VolumeScan(benchmark::State &state) {
    Machine m;
    BuildMachine(m, 4, static_cast<int>(state.range(0)));
    TavSim::ScopedMachine installed(m);
    void *set = Drive::GetDeviceInfoSet();
    for (auto _ : state) {
        state.PauseTiming();
        Drive *d = Drive::GetDrive(set, 0);
        state.ResumeTiming();
        ULONG length = 0;
        d->GetDriveLetters(nullptr, 0, &length);
        benchmark::DoNotOptimize(length);
        state.PauseTiming();
        delete d;
        state.ResumeTiming();
    }
    // Requests, counted once outside the timed loop.
    m.logging = true;
    Drive *d = Drive::GetDrive(set, 0);
    m.ClearLog();
    ULONG length = 0;
    d->GetDriveLetters(nullptr, 0, &length);
    size_t scan = 0;
    for (const auto &r : m.Log())
        scan += r.op != TavSim::Op::LocalAlloc && r.op != TavSim::Op::LocalFree && r.op != TavSim::Op::LocalSize;
    m.ClearLog();
    for (int i = 0; i < 10; ++i) {
        d->GetDriveLetters(nullptr, 0, &length);
        d->GetMountPoints(nullptr, 0, &length);
    }
    state.counters["requests_first_call"] = static_cast<double>(scan);
    state.counters["requests_later_calls"] = static_cast<double>(m.Log().size());
    delete d;
    SetupDiDestroyDeviceInfoList(set);
    state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_VolumeScan)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

// (c) ReadSector against the bare platform calls it makes (the baseline).
void BM_ReadSector(benchmark::State &state) {
    Machine m;
    BuildMachine(m, 1, 0);
    TavSim::ScopedMachine installed(m);
    void *set = Drive::GetDeviceInfoSet();
    Drive *d = Drive::GetDrive(set, 0);
    unsigned char buffer[512];
    ULONG sector = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(d->ReadSector(sector, buffer));
        sector = (sector + 1) & 1023;
    }
    state.SetBytesProcessed(state.iterations() * 512);
    delete d;
    SetupDiDestroyDeviceInfoList(set);
}
BENCHMARK(BM_ReadSector);

void BM_ReadSectorBaseline(benchmark::State &state) {
    Machine m;
    BuildMachine(m, 1, 0);
    TavSim::ScopedMachine installed(m);
    HANDLE h = TavPlatform::CreateFileW(m.disks[0].devicePath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    unsigned char buffer[512];
    ULONG sector = 0;
    for (auto _ : state) {
        LARGE_INTEGER position, reached;
        position.QuadPart = static_cast<LONGLONG>(uint64_t{sector} * 512);
        TavPlatform::SetFilePointerEx(h, position, &reached, FILE_BEGIN);
        DWORD moved = 0;
        benchmark::DoNotOptimize(TavPlatform::ReadFile(h, buffer, 512, &moved, nullptr));
        sector = (sector + 1) & 1023;
    }
    state.SetBytesProcessed(state.iterations() * 512);
    TavPlatform::CloseHandle(h);
}
BENCHMARK(BM_ReadSectorBaseline);

} // namespace

BENCHMARK_MAIN();
