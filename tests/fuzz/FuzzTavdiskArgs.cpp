// SPDX-License-Identifier: MIT
// tavdisk's command line: the input is up to 8 arguments separated by zero
// bytes ("@F" stands for a file of one 512-byte sector, "@S" for a shorter
// one), run over the simulated machine of the tavdisk tests.
//
// Checked: the exit code is 0, 1 or 2; every line on stderr starts with
// "tavdisk: "; neither stream carries a control character other than the
// line end (arguments are echoed escaped; stdout of `read --raw` is the
// sector's bytes); a sector is written only by a
// `write` with --yes, and only the one sector named; nothing stays open.
#include "cli.h"

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

[[noreturn]] void Finding(const std::string &what, const std::vector<std::string> &args) {
    std::fprintf(stderr, "finding: %s; arguments:", what.c_str());
    for (const auto &a : args)
        std::fprintf(stderr, " [%s]", a.c_str());
    std::fprintf(stderr, "\n");
    std::abort();
}

std::string SectorFile(const char *name, size_t size) {
    fs::path p = fs::temp_directory_path() / (std::string("tavdisk-fuzz-") + std::to_string(getpid()) + name);
    if (!fs::exists(p))
        std::ofstream(p, std::ios::binary) << std::string(size, '\x5A');
    return p.string();
}

TavSim::Disk Disk(TavSim::Machine &m, DEVINST controller, DWORD number, bool ata) {
    TavSim::Disk d;
    d.devicePath = std::wstring(ata ? L"\\\\?\\ide#disk" : L"\\\\?\\scsi#disk") + std::to_wstring(number) +
                   L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    d.devInst = m.AddNode(L"DISK\\" + std::to_wstring(number), L"Disk drive", controller);
    d.deviceNumber = number;
    d.adapterDescriptor = TavSim::MakeAdapterDescriptor(ata ? BusTypeSata : BusTypeSas);
    d.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "MODEL", "0001", "SN1", ata ? BusTypeSata : BusTypeSas);
    d.ata = ata;
    if (ata) {
        d.identify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 2048, false);
        DISK_CONTROLLER_NUMBER cn{};
        d.controllerNumber = cn;
    } else {
        d.inquiry = TavSim::MakeInquiry("TAV", "ARRAY DISK", "0001");
        d.lastLba = 2047;
    }
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    d.scsiAddress = a;
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = 1;
    g.MediaType = FixedMedia;
    g.TracksPerCylinder = 64;
    g.SectorsPerTrack = 32;
    g.BytesPerSector = 512;
    d.geometry = g;
    d.sizeBytes = 2048 * 512;
    return d;
}

bool HasControl(const std::string &text) {
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && b != '\n') || b == 0x7F)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < 8; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else if (current.size() < 128) {
            current += static_cast<char>(data[i]);
        }
    }
    if (!current.empty() && args.size() < 8)
        args.push_back(current);
    static const std::string good = SectorFile("-sector", 512), shorter = SectorFile("-short", 100);
    bool write = false, yes = false, raw = false;
    for (auto &a : args) {
        if (a == "@F")
            a = good;
        else if (a == "@S")
            a = shorter;
        write = write || a == "write";
        raw = raw || a == "--raw";
        yes = yes || (a.size() >= 2 && a[0] == '-' && a.find('y') != std::string::npos);
    }

    TavSim::Machine m;
    m.logging = false;
    DEVINST controller = m.AddNode(L"PCI\\VEN_8086&DEV_2922", L"Standard SATA AHCI Controller");
    m.AddDisk(Disk(m, controller, 0, true));
    m.AddDisk(Disk(m, controller, 1, false));
    m.AddVolume({{0, 1 << 20, 1 << 19}}, {L"C:\\", L"C:\\mnt\\data\\"});
    m.AddVolume({{1, 1 << 20, 1 << 19}}, {L"C:\\mnt\\a; b\\", L"C:\\mnt\\\x1b[0m\\"});
    m.windowsDirectory = L"C:\\Windows";
    m.systemDirectory = L"C:\\Windows\\system32";
    m.Install();

    std::vector<std::string> argvStore = args;
    argvStore.insert(argvStore.begin(), "tavdisk");
    std::vector<char *> argv;
    for (auto &a : argvStore)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    int code = tavdisk::TavdiskMain(static_cast<int>(argvStore.size()), argv.data(), out, err);

    if (code < 0 || code > 2)
        Finding("exit code " + std::to_string(code), args);
    std::istringstream lines(err.str());
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("tavdisk: ", 0) != 0)
            Finding("stderr line without the program's name: " + line, args);
    if ((!raw && HasControl(out.str())) || HasControl(err.str()))
        Finding("a control character reached the terminal", args);

    size_t written = 0;
    for (const auto &d : m.disks)
        written += d.pages.size();
    if (written != 0 && !(write && yes))
        Finding("a sector was written without write --yes", args);
    if (m.OpenHandles() != 0 || m.OpenSets() != 0 || m.LiveBlocks() != 0 || m.BadReleases() != 0)
        Finding("something was left open or released twice", args);
    TavSim::Machine::Uninstall();
    return 0;
}
