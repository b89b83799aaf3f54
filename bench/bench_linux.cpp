// SPDX-License-Identifier: MIT
// Sequential ReadSector on a real block device against a bare single-sector
// pread loop on the same device (the baseline), through the Linux backend,
// and their ratio from the same run.
//
//   TAVDISK_BENCH_DISK=/dev/loop0 build/default/bench/tavdisk_bench_linux
//   bench/read-vs-pread.sh          # the same on a loop disk of its own
//
// Needs read-write access to the device (root); a loop device over a file is
// the intended target. Both loops read the same 4096 sectors in order, so
// both are served from the page cache after the first pass.
#include "TavDiskLib/TavDiskLib.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

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

void BM_ReadSectorSequential(benchmark::State &state) {
    void *set = Drive::GetDeviceInfoSet();
    Drive *found = nullptr;
    std::wstring wanted(DiskPath(), DiskPath() + std::string(DiskPath()).size());
    for (ULONG i = 0; !found; ++i) {
        Drive *d = Drive::GetDrive(set, i);
        if (!d)
            break;
        wchar_t path[256];
        ULONG length = 0;
        if (d->GetDevicePath(path, 256, &length) && wanted == path)
            found = d;
        else
            delete d;
    }
    if (!found || found->GetBytesPerSector() == 0) {
        state.SkipWithError("set TAVDISK_BENCH_DISK to a block device the library can open (as root)");
        delete found;
        SetupDiDestroyDeviceInfoList(set);
        return;
    }
    std::vector<unsigned char> buffer(found->GetBytesPerSector());
    ULONG sector = 0;
    for (auto _ : state) {
        if (!found->ReadSector(sector, buffer.data())) {
            state.SkipWithError("ReadSector failed");
            break;
        }
        sector = (sector + 1) % SectorsRead;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buffer.size()));
    delete found;
    SetupDiDestroyDeviceInfoList(set);
}
BENCHMARK(BM_ReadSectorSequential);

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

// Prints the runs as usual, then ReadSector's speed as a share of the bare
// pread loop's (1.0: as fast).
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
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        auto library = perRead.find("BM_ReadSectorSequential"), bare = perRead.find("BM_PreadBaseline");
        if (library != perRead.end() && bare != perRead.end() && library->second.first > 0 &&
            library->second.second > 0)
            std::printf("ReadSector throughput / bare pread throughput: %.2f (wall), %.2f (cpu)\n",
                        bare->second.first / library->second.first, bare->second.second / library->second.second);
    }

private:
    std::map<std::string, std::pair<double, double>> perRead; // wall, cpu per read
    std::set<std::string> medians;
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
