// SPDX-License-Identifier: MIT
// Sequential ReadSector and WriteSector on a real block device against bare
// single-sector loops on the same device (the baselines), through the Linux
// backend, and their ratios from the same run: ReadSector against pread,
// WriteSector (which returns once the device has the data) against pwrite
// followed by fdatasync, and, to choose how a write is made durable, pwrite
// on a descriptor opened O_DSYNC against pwrite + fdatasync.
//
//   TAVDISK_BENCH_DISK=/dev/loop0 build/default/bench/tavdisk_bench_linux
//   bench/read-vs-pread.sh          # the same on a loop disk of its own
//
// Needs read-write access to the device (root); a loop device over a file is
// the intended target: the write loops overwrite its first 4096 sectors.
// Both read loops read the same 4096 sectors in order, so both are served
// from the page cache after the first pass.
#include "TavDiskLib/TavDiskLib.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using TavDiskLib::ULONG;

constexpr ULONG SectorsRead = 4096;

const char *DiskPath() {
    const char *path = std::getenv("TAVDISK_BENCH_DISK");
    return path ? path : "";
}

// The disk at TAVDISK_BENCH_DISK as a Drive of its own set; null after
// marking the benchmark skipped.
struct OpenDrive {
    void *set = nullptr;
    Drive *drive = nullptr;
    explicit OpenDrive(benchmark::State &state) : set(Drive::GetDeviceInfoSet()) {
        std::wstring wanted(DiskPath(), DiskPath() + std::string(DiskPath()).size());
        for (ULONG i = 0; !drive; ++i) {
            Drive *d = Drive::GetDrive(set, i);
            if (!d)
                break;
            wchar_t path[256];
            ULONG length = 0;
            if (d->GetDevicePath(path, 256, &length) && wanted == path)
                drive = d;
            else
                delete d;
        }
        if (drive && drive->GetBytesPerSector() == 0) {
            delete drive;
            drive = nullptr;
        }
        if (!drive)
            state.SkipWithError("set TAVDISK_BENCH_DISK to a block device the library can open (as root)");
    }
    ~OpenDrive() {
        delete drive;
        SetupDiDestroyDeviceInfoList(set);
    }
    OpenDrive(const OpenDrive &) = delete;
    OpenDrive &operator=(const OpenDrive &) = delete;
};

template <bool Write> void SectorsThroughTheLibrary(benchmark::State &state) {
    OpenDrive open(state);
    if (!open.drive)
        return;
    std::vector<unsigned char> buffer(open.drive->GetBytesPerSector(), 0x5A);
    ULONG sector = 0;
    for (auto _ : state) {
        if (!(Write ? open.drive->WriteSector(sector, buffer.data()) : open.drive->ReadSector(sector, buffer.data()))) {
            state.SkipWithError(Write ? "WriteSector failed" : "ReadSector failed");
            break;
        }
        sector = (sector + 1) % SectorsRead;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
}

void BM_ReadSectorSequential(benchmark::State &state) { SectorsThroughTheLibrary<false>(state); }
BENCHMARK(BM_ReadSectorSequential);

void BM_WriteSectorSequential(benchmark::State &state) { SectorsThroughTheLibrary<true>(state); }
BENCHMARK(BM_WriteSectorSequential);

// Bare durable writes: pwrite then fdatasync, or pwrite on an O_DSYNC
// descriptor.
template <bool Dsync> void BareDurableWrites(benchmark::State &state) {
    int fd = ::open(DiskPath(), O_RDWR | (Dsync ? O_DSYNC : 0));
    if (fd < 0) {
        state.SkipWithError("set TAVDISK_BENCH_DISK to a writable block device");
        return;
    }
    const int sectorSize = 512; // a loop device's logical sector size unless set up otherwise
    std::vector<unsigned char> buffer(sectorSize, 0x5A);
    ULONG sector = 0;
    for (auto _ : state) {
        if (::pwrite(fd, buffer.data(), sectorSize, static_cast<off_t>(sector) * sectorSize) != sectorSize ||
            (!Dsync && ::fdatasync(fd) != 0)) {
            state.SkipWithError("write failed");
            break;
        }
        sector = (sector + 1) % SectorsRead;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sectorSize);
    ::close(fd);
}

void BM_PwriteFdatasyncBaseline(benchmark::State &state) { BareDurableWrites<false>(state); }
BENCHMARK(BM_PwriteFdatasyncBaseline);

void BM_PwriteDsyncBaseline(benchmark::State &state) { BareDurableWrites<true>(state); }
BENCHMARK(BM_PwriteDsyncBaseline);

void BM_PreadBaseline(benchmark::State &state) {
    int fd = ::open(DiskPath(), O_RDONLY);
    if (fd < 0) {
        state.SkipWithError("set TAVDISK_BENCH_DISK to a readable block device");
        return;
    }
    int sectorSize = 512; // a loop device's logical sector size unless set up otherwise
    std::vector<unsigned char> buffer(4096);
    ULONG sector = 0;
    for (auto _ : state) {
        if (::pread(fd, buffer.data(), static_cast<size_t>(sectorSize), static_cast<off_t>(sector) * sectorSize) !=
            sectorSize) {
            state.SkipWithError("pread failed");
            break;
        }
        sector = (sector + 1) % SectorsRead;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * sectorSize);
    ::close(fd);
}
BENCHMARK(BM_PreadBaseline);

// The same two read loops measured in alternating blocks of a few dozen
// sectors, each block timed on its own: a change of load on the machine
// then weighs on both alike, where separate runs seconds apart see
// different machines. "ratio" is the bare loop's time over the library's
// (1.0: as fast).
void BM_ReadSectorPairedWithPread(benchmark::State &state) {
    OpenDrive open(state);
    if (!open.drive)
        return;
    int fd = ::open(DiskPath(), O_RDONLY);
    if (fd < 0) {
        state.SkipWithError("set TAVDISK_BENCH_DISK to a readable block device");
        return;
    }
    const ULONG size = open.drive->GetBytesPerSector();
    std::vector<unsigned char> buffer(size);
    constexpr ULONG Block = 64;
    using Clock = std::chrono::steady_clock;
    Clock::duration bare{}, library{};
    ULONG sector = 0;
    bool bareFirst = true;
    for (auto _ : state) {
        for (int half = 0; half < 2; ++half) {
            const bool doBare = (half == 0) == bareFirst;
            const auto start = Clock::now();
            for (ULONG i = 0; i < Block; ++i) {
                const ULONG s = (sector + i) % SectorsRead;
                bool ok = doBare ? ::pread(fd, buffer.data(), size, static_cast<off_t>(s) * size) ==
                                       static_cast<ssize_t>(size)
                                 : open.drive->ReadSector(s, buffer.data()) != 0;
                if (!ok) {
                    state.SkipWithError("read failed");
                    ::close(fd);
                    return;
                }
            }
            (doBare ? bare : library) += Clock::now() - start;
        }
        sector = (sector + Block) % SectorsRead;
        bareFirst = !bareFirst;
    }
    ::close(fd);
    if (library.count() > 0)
        state.counters["ratio"] = static_cast<double>(bare.count()) / static_cast<double>(library.count());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * Block * size);
}
BENCHMARK(BM_ReadSectorPairedWithPread);

// Prints the runs as usual, then each library loop's speed as a share of its
// bare loop's (1.0: as fast).
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        // The median of repetitions where there are several, else the run.
        for (const Run &r : runs) {
            if (r.error_occurred)
                continue;
            bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (median || (r.run_type == Run::RT_Iteration && !medians.count(r.run_name.function_name)))
                perRead[r.run_name.function_name] = {r.GetAdjustedRealTime(), r.GetAdjustedCPUTime()};
            if (median)
                medians.insert(r.run_name.function_name);
            if (median && r.run_name.function_name == "BM_ReadSectorPairedWithPread") {
                auto ratio = r.counters.find("ratio");
                if (ratio != r.counters.end())
                    pairedRatio = ratio->second.value;
            }
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        Ratio("ReadSector throughput / bare pread throughput", "BM_ReadSectorSequential", "BM_PreadBaseline");
        if (pairedRatio > 0)
            std::printf("ReadSector throughput / bare pread throughput, in alternating blocks: %.2f\n", pairedRatio);
        Ratio("WriteSector throughput / bare pwrite + fdatasync throughput", "BM_WriteSectorSequential",
              "BM_PwriteFdatasyncBaseline");
        Ratio("pwrite on O_DSYNC throughput / pwrite + fdatasync throughput", "BM_PwriteDsyncBaseline",
              "BM_PwriteFdatasyncBaseline");
    }

private:
    // Prints how fast `measured` runs as a share of `baseline` (1.0: as fast).
    void Ratio(const char *what, const char *measured, const char *baseline) const {
        auto m = perRead.find(measured), b = perRead.find(baseline);
        if (m != perRead.end() && b != perRead.end() && m->second.first > 0 && m->second.second > 0)
            std::printf("%s: %.2f (wall), %.2f (cpu)\n", what, b->second.first / m->second.first,
                        b->second.second / m->second.second);
    }

    std::map<std::string, std::pair<double, double>> perRead; // wall, cpu per transfer
    std::set<std::string> medians;
    double pairedRatio = 0;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
