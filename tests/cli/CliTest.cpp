// SPDX-License-Identifier: MIT
// tavdisk over a simulated machine: the table, the JSON document, show,
// read, write and every refusal, with exit codes and what the program leaves
// held on the machine.
#include "cli.h"
#include "../TextLines.h"

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

using nlohmann::json;
using TavSim::ByteString;
using TavSim::Op;

namespace {

constexpr uint64_t SectorSize = 512;
const char *const Path0 = "\\\\?\\ide#disk0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char *const Path1 = "\\\\?\\scsi#disk1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";

struct Outcome {
    int code = -1;
    std::string out, err;
};

using TavTest::Lines;

DISK_GEOMETRY Geometry(int64_t cylinders, DWORD tracks, DWORD sectors, DWORD bytes) {
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = cylinders;
    g.MediaType = FixedMedia;
    g.TracksPerCylinder = tracks;
    g.SectorsPerTrack = sectors;
    g.BytesPerSector = bytes;
    return g;
}

SCSI_ADDRESS Address(UCHAR port, UCHAR path, UCHAR target, UCHAR lun) {
    SCSI_ADDRESS a{};
    a.Length = sizeof(SCSI_ADDRESS);
    a.PortNumber = port;
    a.PathId = path;
    a.TargetId = target;
    a.Lun = lun;
    return a;
}

class Tavdisk : public ::testing::Test {
protected:
    TavSim::Machine machine;
    DEVINST controller = 0;
    std::vector<std::filesystem::path> files;

    void SetUp() override {
        machine.Install();
        controller = machine.AddNode(L"PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA", L"Standard SATA AHCI Controller");
    }

    void TearDown() override {
        // Whatever the command did, it released every Drive, Adapter and set.
        EXPECT_EQ(machine.OpenHandles(), 0u);
        EXPECT_EQ(machine.OpenSets(), 0u);
        EXPECT_EQ(machine.LiveBlocks(), 0u);
        EXPECT_EQ(machine.BadReleases(), 0u);
        TavSim::Machine::Uninstall();
        for (const auto &f : files)
            std::filesystem::remove(f);
    }

    // An ATA disk of 2048 sectors with the system volume (C:) on it.
    TavSim::Disk AtaDisk(DWORD number) {
        TavSim::Disk d;
        d.devicePath = L"\\\\?\\ide#disk" + std::to_wstring(number) + L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        d.devInst = machine.AddNode(L"IDE\\DISKTAV\\" + std::to_wstring(number), L"Disk drive", controller);
        d.deviceNumber = number;
        d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSata);
        d.deviceDescriptor = TavSim::MakeDeviceDescriptor(nullptr, "TAV MODEL 1000", "FW01", "SN0001", BusTypeSata);
        d.ata = true;
        d.identify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 2048, false);
        TavSim::SetIdentifyWord(d.identify, 82, 0x0002); // security feature set
        TavSim::SetIdentifyWord(d.identify, 89, 0x001E);
        DISK_CONTROLLER_NUMBER cn{};
        cn.ControllerNumber = 1;
        cn.DiskNumber = 0;
        d.controllerNumber = cn;
        d.scsiAddress = Address(1, 0, 0, 0);
        d.geometry = Geometry(1, 64, 32, 512);
        d.sizeBytes = 2048 * SectorSize;
        return d;
    }

    // A SAS disk of 4096 sectors, identified by INQUIRY.
    TavSim::Disk ScsiDisk(DWORD number) {
        TavSim::Disk d;
        d.devicePath = L"\\\\?\\scsi#disk" + std::to_wstring(number) + L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        d.devInst = machine.AddNode(L"SCSI\\DISKTAV\\" + std::to_wstring(number), L"Disk drive", controller);
        d.deviceNumber = number;
        d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas);
        d.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "ARRAY DISK", "0001", "ABC123", BusTypeSas);
        d.inquiry = TavSim::MakeInquiry("TAV", "ARRAY DISK", "0001");
        d.scsiAddress = Address(2, 0, 5, 1);
        d.lastLba = 4095;
        d.geometry = Geometry(1, 128, 32, 512);
        d.sizeBytes = 4096 * SectorSize;
        return d;
    }

    // Disk 0 (ATA, C: and a folder mount) and disk 1 (SAS, E: and a path with spaces).
    void TwoDisks() {
        machine.AddDisk(AtaDisk(0));
        machine.AddDisk(ScsiDisk(1));
        machine.AddVolume({{0, 1 << 20, 1 << 19}}, {L"C:\\", L"C:\\mnt\\data\\"});
        machine.AddVolume({{1, 1 << 20, 1 << 20}}, {L"E:\\", L"C:\\mnt\\with space\\", L"C:\\mnt\\b;c\\"});
        machine.windowsDirectory = L"C:\\Windows";
        machine.systemDirectory = L"C:\\Windows\\system32";
    }

    Outcome Tav(std::vector<std::string> args) {
        args.insert(args.begin(), "tavdisk");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::ostringstream out, err;
        Outcome r;
        r.code = tavdisk::TavdiskMain(static_cast<int>(args.size()), argv.data(), out, err);
        r.out = out.str();
        r.err = err.str();
        return r;
    }

    json Json(std::vector<std::string> args) {
        Outcome r = Tav(std::move(args));
        EXPECT_EQ(r.code, 0) << r.err;
        return json::parse(r.out);
    }

    std::string File(const std::string &name, const ByteString &content) {
        auto path = std::filesystem::temp_directory_path() /
                    (std::string("tavdisk_test_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                     "_" + name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(content.data()), static_cast<std::streamsize>(content.size()));
        files.push_back(path);
        return path.string();
    }

    // A usage or runtime error: the given code, nothing on stdout, one line on stderr.
    void ExpectError(const Outcome &r, int code, const std::string &part) {
        EXPECT_EQ(r.code, code) << r.err;
        EXPECT_EQ(r.out, "");
        auto lines = Lines(r.err);
        ASSERT_EQ(lines.size(), 1u) << r.err;
        EXPECT_EQ(lines[0].rfind("tavdisk: ", 0), 0u) << lines[0];
        EXPECT_NE(lines[0].find(part), std::string::npos) << lines[0];
    }
};

ByteString Pattern(size_t size, uint8_t seed) {
    ByteString b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

// The SCSI address request of one disk fails with a device error.
TavSim::Fault AddressFault(int disk) {
    TavSim::Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_SCSI_GET_ADDRESS;
    f.disk = disk;
    f.error = ERROR_IO_DEVICE;
    return f;
}

bool RunningAsRoot() {
#if defined(_WIN32)
    return false;
#else
    return ::geteuid() == 0;
#endif
}

} // namespace

// ---------------------------------------------------------------------------
// list

TEST_F(Tavdisk, TableHasOneRowPerDiskWithTheDerivedFields) {
    TwoDisks();
    Outcome r = Tav({});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("#  DEVICE", 0), 0u) << lines[0];

    // ATA: IDENTIFY model/serial/firmware, size from the sector count, letter, system mark.
    for (const char *part : {"\\\\?\\ide#disk0#", "SATA", "TAV MODEL 1000", "SN0001", "FW01", "1.0 MiB", "2048",
                             "1:0:0:0", "C:, C:\\mnt\\data\\", "*", "Standard SATA AHCI Controller"})
        EXPECT_NE(lines[1].find(part), std::string::npos) << part << " in " << lines[1];
    // SAS: INQUIRY vendor + product, descriptor serial, READ CAPACITY sectors.
    for (const char *part : {"SAS", "TAV ARRAY DISK", "ABC123", "0001", "2.0 MiB", "4096", "2:0:5:1",
                             "E:, C:\\mnt\\with space\\, C:\\mnt\\b;c\\"})
        EXPECT_NE(lines[2].find(part), std::string::npos) << part << " in " << lines[2];
    EXPECT_EQ(lines[2].find('*'), std::string::npos);

    // Columns line up: the model column starts at the same place in every row.
    size_t column = lines[0].find("MODEL");
    EXPECT_EQ(lines[1].find("TAV MODEL"), column);
    EXPECT_EQ(lines[2].find("TAV ARRAY"), column);

    Outcome list = Tav({"list"});
    EXPECT_EQ(list.code, 0);
    EXPECT_EQ(list.out, r.out);
}

TEST_F(Tavdisk, HealthIsAskedOnlyWhenShown) {
    TwoDisks();
    machine.disks[0].smartData = TavSim::MakeSmartBlock({{194, 70, 0, 33}}, false);
    machine.disks[0].smartThresholds = TavSim::MakeSmartBlock({{194, 70, 0, 33}}, true);
    machine.disks[0].smartStatus = std::make_pair(uint8_t{0xF4}, uint8_t{0x2C});
    machine.ClearLog();
    Outcome plain = Tav({"list"});
    EXPECT_EQ(plain.out.find("HEALTH"), std::string::npos);
    EXPECT_EQ(machine.Count(TavSim::Op::DeviceIoControl, SMART_SEND_DRIVE_COMMAND), 0u);

    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"list", "--health"}, std::vector<std::string>{"list", "-o", "NUM,HEALTH"},
          std::vector<std::string>{"list", "-o", "NUM,HEALTH", "--health"}}) {
        machine.ClearLog();
        Outcome r = Tav(args);
        ASSERT_EQ(r.code, 0) << r.err;
        auto lines = Lines(r.out);
        ASSERT_EQ(lines.size(), 3u) << r.out;
        EXPECT_NE(lines[0].find("HEALTH"), std::string::npos) << lines[0];
        EXPECT_EQ(lines[0].find("HEALTH"), lines[0].rfind("HEALTH")) << lines[0]; // one column
        EXPECT_NE(lines[1].find("FAILING"), std::string::npos) << lines[1];
        EXPECT_NE(lines[2].find("unknown"), std::string::npos) << lines[2]; // no log pages: never passed
        // One request per disk and page: three SMART commands, two log pages.
        EXPECT_EQ(machine.Count(TavSim::Op::DeviceIoControl, SMART_RCV_DRIVE_DATA), 2u + 1u); // + IDENTIFY
        EXPECT_EQ(machine.Count(TavSim::Op::DeviceIoControl, SMART_SEND_DRIVE_COMMAND), 1u);
    }
    json doc = Json({"show", "0", "--json"});
    EXPECT_EQ(doc["disks"][0]["health"]["verdict"], "failing");
    EXPECT_EQ(doc["disks"][0]["health"]["temperature_celsius"], 33);
    EXPECT_TRUE(doc["disks"][0]["health"]["power_on_hours"].is_null());
    Outcome shown = Tav({"show", "0"});
    EXPECT_NE(shown.out.find("FAILING (ata)"), std::string::npos) << shown.out;
}

TEST_F(Tavdisk, JsonCarriesEveryFieldOfEveryDisk) {
    TwoDisks();
    json doc = Json({"list", "--json"});
    EXPECT_EQ(doc["schema_version"], tavdisk::JsonSchemaVersion);
    EXPECT_TRUE(doc["notes"].is_array() && doc["notes"].empty());
    ASSERT_EQ(doc["disks"].size(), 2u);

    const json &ata = doc["disks"][0];
    EXPECT_EQ(ata["number"], 0);
    EXPECT_EQ(ata["accessible"], true);
    EXPECT_EQ(ata["device_path"], "\\\\?\\ide#disk0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_EQ(ata["device_number"], 0);
    EXPECT_EQ(ata["controller"], "Standard SATA AHCI Controller");
    EXPECT_EQ(ata["bus"], (json{{"type", 11}, {"name", "SATA"}}));
    EXPECT_EQ(ata["model"], "TAV MODEL 1000");
    EXPECT_EQ(ata["serial"], "SN0001");
    EXPECT_EQ(ata["revision"], "FW01");
    EXPECT_EQ(ata["sectors"], 2048);
    EXPECT_EQ(ata["capacity"]["bytes"], 2048 * SectorSize);
    EXPECT_EQ(ata["capacity"]["source"], "sectors");
    EXPECT_EQ(ata["capacity"]["human"], "1.0 MiB");
    EXPECT_TRUE(ata["descriptor"]["vendor"].is_null()); // the descriptor holds none
    EXPECT_EQ(ata["descriptor"]["product"], "TAV MODEL 1000");
    EXPECT_EQ(ata["descriptor"]["serial"], "SN0001");
    EXPECT_EQ(ata["ata"]["model"], "TAV MODEL 1000");
    EXPECT_EQ(ata["ata"]["firmware_revision"], "FW01");
    EXPECT_EQ(ata["ata"]["controller_number"], 1);
    EXPECT_EQ(ata["ata"]["supports_48bit_addressing"], false);
    EXPECT_EQ(ata["ata"]["supports_security"], true);
    EXPECT_EQ(ata["ata"]["security_erase_unit_minutes"], 60);
    EXPECT_TRUE(ata["scsi"]["vendor"].is_null()); // INQUIRY getters do not apply to ATA
    EXPECT_EQ(ata["scsi"]["address"], (json{{"port", 1}, {"bus", 0}, {"target", 0}, {"lun", 0}}));
    EXPECT_EQ(ata["geometry"]["bytes_per_sector"], 512);
    EXPECT_EQ(ata["geometry"]["capacity_bytes"], 64 * 32 * 512);
    EXPECT_EQ(ata["volumes"]["drive_letters"], json::array({"C"}));
    EXPECT_EQ(ata["volumes"]["mount_points"], json::array({"C:\\mnt\\data\\"}));
    EXPECT_EQ(ata["volumes"]["system_volume"], true);

    const json &sas = doc["disks"][1];
    EXPECT_TRUE(sas["ata"].is_null());
    EXPECT_EQ(sas["bus"]["name"], "SAS");
    EXPECT_EQ(sas["model"], "TAV ARRAY DISK");
    EXPECT_EQ(sas["scsi"]["vendor"], "TAV");
    EXPECT_EQ(sas["scsi"]["product"], "ARRAY DISK");
    EXPECT_EQ(sas["scsi"]["revision"], "0001");
    EXPECT_EQ(sas["scsi"]["address"]["target"], 5);
    EXPECT_EQ(sas["sectors"], 4096);
    EXPECT_EQ(sas["volumes"]["drive_letters"], json::array({"E"}));
    EXPECT_EQ(sas["volumes"]["mount_points"], json::array({"C:\\mnt\\with space\\", "C:\\mnt\\b;c\\"}));
    EXPECT_EQ(sas["volumes"]["mount_points_text"], "C:\\mnt\\with space\\; C:\\mnt\\b;c\\");
    EXPECT_EQ(sas["volumes"]["system_volume"], false);

    // Every disk carries the same keys, whatever applies to it.
    std::vector<std::string> keys0, keys1;
    for (const auto &item : ata.items())
        keys0.push_back(item.key());
    for (const auto &item : sas.items())
        keys1.push_back(item.key());
    EXPECT_EQ(keys0, keys1);

    EXPECT_EQ(Json({"--json"}), doc);
}

TEST_F(Tavdisk, CapacityFallsBackToTheGeometryWhenTheSectorCountIsUnknown) {
    machine.AddDisk(ScsiDisk(0));
    TavSim::Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    f.skip = 1; // the INQUIRY passes, READ CAPACITY fails
    machine.AddFault(f);
    json d = Json({"list", "--json"})["disks"][0];
    EXPECT_TRUE(d["sectors"].is_null());
    EXPECT_EQ(d["capacity"]["source"], "geometry");
    EXPECT_EQ(d["capacity"]["bytes"], 128 * 32 * 512);
}

TEST_F(Tavdisk, DeviceBytesAreEscapedInTheTableAndValidUtf8InJson) {
    TavSim::Disk d = ScsiDisk(0);
    d.inquiry = TavSim::MakeInquiry("T\xE9V", "A\x01Z\\", "0001");
    d.deviceDescriptor = TavSim::MakeDeviceDescriptor("T\xE9V", "A\x01Z\\", "0001", "S\xFF\x7F", BusTypeSas);
    machine.AddDisk(d);

    Outcome r = Tav({});
    ASSERT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("T\\xe9V A\\x01Z\\\\"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("S\\xff\\x7f"), std::string::npos) << r.out;

    json disk = Json({"list", "--json"})["disks"][0];
    EXPECT_EQ(disk["scsi"]["vendor"], "T\xC3\xA9V"); // byte 0xE9 is U+00E9
    EXPECT_EQ(disk["scsi"]["product"], std::string("A\x01Z\\"));
    EXPECT_EQ(disk["descriptor"]["serial"], "S\xC3\xBF\x7F");
}

TEST_F(Tavdisk, ADiskThatCannotBeOpenedIsListedWithANote) {
    TwoDisks();
    TavSim::Disk closed = ScsiDisk(2);
    closed.openable = false;
    machine.AddDisk(closed);

    machine.ClearLog();
    Outcome r = Tav({});
    ASSERT_EQ(r.code, 0);
    // Access denied is no sign of a disk gone: no second look is taken.
    EXPECT_EQ(machine.Count(Op::SetupDiGetClassDevsExW), 1u);
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[3].find("(cannot open)"), std::string::npos) << lines[3];
    EXPECT_NE(lines[3].find("\\\\?\\scsi#disk2#"), std::string::npos) << lines[3];
    // The unopened disk is not credited with the volumes of device number 0.
    EXPECT_EQ(lines[3].find("C:"), std::string::npos) << lines[3];
    // A summary, then which request failed for each disk that could not be opened.
    auto notes = Lines(r.err);
    ASSERT_EQ(notes.size(), 2u) << r.err;
    EXPECT_NE(notes[0].find("tavdisk: note: 1 of 3 disks could not be opened"), std::string::npos);
    EXPECT_EQ(notes[0].find("full answers need ") != std::string::npos, !RunningAsRoot()) << notes[0];
    EXPECT_EQ(notes[1], "tavdisk: note: disk 2 (\\\\?\\scsi#disk2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}) could not be "
                        "opened: CreateFileW failed: access denied (error 5)");

    json doc = Json({"list", "--json"});
    const json &d = doc["disks"][2];
    EXPECT_EQ(d["accessible"], false);
    EXPECT_EQ(d["device_path"], "\\\\?\\scsi#disk2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    EXPECT_TRUE(d["bus"].is_null());
    EXPECT_TRUE(d["volumes"].is_null());
    EXPECT_EQ(doc["notes"].size(), 2u);
    EXPECT_EQ(doc["disks"][0]["accessible"], true);

    EXPECT_EQ(d["vanished"], false);
    EXPECT_EQ(d["error"], "access denied (error 5)");
    EXPECT_TRUE(doc["disks"][0]["error"].is_null());

    Outcome read = Tav({"read", "2", "0"});
    ExpectError(read, 1,
                "cannot open disk 2 (\\\\?\\scsi#disk2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}): CreateFileW failed: "
                "access denied (error 5)");
    EXPECT_EQ(machine.Count(Op::ReadFile), 0u);

    // show prints what it knows, and exits 1: the command was not carried out.
    Outcome show = Tav({"show", "2"});
    EXPECT_EQ(show.code, 1);
    EXPECT_NE(show.out.find("could not be opened: CreateFileW failed: access denied (error 5)"), std::string::npos)
        << show.out;
    EXPECT_NE(show.err.find("tavdisk: disk 2"), std::string::npos) << show.err;
    EXPECT_EQ(Tav({"show", "2", "--json"}).code, 1);

    // A disk that opens but fails later requests gives no such note.
    machine.ClearFaults();
    machine.disks[2].openable = true;
    machine.AddFault(AddressFault(2));
    EXPECT_EQ(Tav({}).err, "");
}

// --verbose sets TAVDISK_DEBUG for the command: the library prints each
// failed request on the process's standard error, and the variable is as
// before afterwards.
TEST_F(Tavdisk, VerbosePrintsEachFailedRequest) {
    TwoDisks();
    machine.AddFault(AddressFault(1));
    ASSERT_EQ(std::getenv("TAVDISK_DEBUG"), nullptr);

    ::testing::internal::CaptureStderr();
    Outcome quiet = Tav({"list"});
    std::string quietLines = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quietLines, "");

    for (std::vector<std::string> args :
         {std::vector<std::string>{"--verbose"}, {"list", "--verbose"}, {"show", "1", "--verbose"}}) {
        ::testing::internal::CaptureStderr();
        Outcome r = Tav(args);
        std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(r.code, 0) << args[0];
        EXPECT_NE(printed.find("TavDiskLib: DeviceIoControl IOCTL_SCSI_GET_ADDRESS on "
                               "\\\\?\\scsi#disk1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} failed with error 1117 "
                               "(ERROR_IO_DEVICE)\n"),
                  std::string::npos)
            << printed;
        for (const std::string &line : Lines(printed))
            EXPECT_EQ(line.rfind("TavDiskLib: ", 0), 0u) << line;
        EXPECT_EQ(std::getenv("TAVDISK_DEBUG"), nullptr);
    }
}

TEST_F(Tavdisk, NoDisksAndNoEnumeration) {
    Outcome r = Tav({});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "No disks found.\n");
    EXPECT_EQ(Json({"--json"})["disks"], json::array());

    machine.AddDisk(AtaDisk(0));
    machine.interfacesEnumerable = false;
    ExpectError(Tav({}), 1, "cannot enumerate");
    ExpectError(Tav({"read", "0", "0"}), 1, "cannot enumerate");
}

TEST_F(Tavdisk, ControllerDescriptionOfAnyLengthOrNone) {
    std::wstring longName(300, L'x');
    longName += L"\u00e9\U0001F600";
    TavSim::Disk a = AtaDisk(0);
    a.devInst = machine.AddNode(L"IDE\\DISKTAV\\A", L"Disk drive", machine.AddNode(L"PCI\\LONG", longName));
    machine.AddDisk(a);
    TavSim::Disk b = ScsiDisk(1);
    b.devInst = machine.AddNode(L"SCSI\\DISKTAV\\B", L"Disk drive", machine.AddNode(L"PCI\\NONE", L""));
    machine.AddDisk(b);

    json doc = Json({"--json"});
    EXPECT_EQ(doc["disks"][0]["controller"], std::string(300, 'x') + "\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_TRUE(doc["disks"][1]["controller"].is_null());
}

// ---------------------------------------------------------------------------
// show

TEST_F(Tavdisk, ShowGivesEveryFieldOfOneDisk) {
    TwoDisks();
    Outcome r = Tav({"show", "1"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char *part : {"Disk 1", "SAS (10)", "TAV ARRAY DISK", "ABC123", "Storage descriptor", "ARRAY DISK",
                             "(not an ATA disk)", "2:0:5:1", "Bytes per sector", "4096", "E:", "C:\\mnt\\with space\\",
                             "C:\\mnt\\b;c\\", "Holds the system volume", "no", "Standard SATA AHCI Controller"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part;

    Outcome ata = Tav({"show", "0"});
    for (const char *part : {"ATA identity", "Firmware revision", "FW01", "1 / 0", "60 min", "yes"})
        EXPECT_NE(ata.out.find(part), std::string::npos) << part;

    json doc = Json({"show", "1", "--json"});
    EXPECT_EQ(doc["schema_version"], tavdisk::JsonSchemaVersion);
    ASSERT_EQ(doc["disks"].size(), 1u);
    // show asks the disk its health, as list does with --health.
    EXPECT_EQ(doc["disks"][0], Json({"--json", "--health"})["disks"][1]);
    EXPECT_TRUE(Json({"--json"})["disks"][1]["health"].is_null());

    ExpectError(Tav({"show", "2"}), 1, "no disk 2");
    ExpectError(Tav({"show", "0x"}), 2, "'0x' is not a number");
    ExpectError(Tav({"show", "4294967296"}), 2, "not a number from 0 to 4294967295");
}

// ---------------------------------------------------------------------------
// read

TEST_F(Tavdisk, ReadDumpsOneSector) {
    TwoDisks();
    ByteString content = {'H', 'e', 'l', 'l', 'o', 0xFF, 0x00, 0x7F, 'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 'I'};
    machine.WriteBytes(0, 3 * SectorSize, content);
    Outcome r = Tav({"read", "0", "3"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), SectorSize / 16);
    EXPECT_EQ(lines[0], "00000000  48 65 6c 6c 6f ff 00 7f  41 42 43 44 45 46 47 48  |Hello...ABCDEFGH|");
    EXPECT_EQ(lines[1], "00000010  49 00 00 00 00 00 00 00  00 00 00 00 00 00 00 00  |I...............|");
    EXPECT_EQ(lines.back().substr(0, 10), "000001f0  ");
    EXPECT_EQ(machine.Count(Op::ReadFile), 1u);
    EXPECT_EQ(machine.Count(Op::WriteFile), 0u);

    // Hexadecimal sector numbers are taken too; the last sector is readable.
    EXPECT_EQ(Tav({"read", "0", "0x3"}).out, r.out);
    EXPECT_EQ(Tav({"read", "0", "2047"}).code, 0);
}

TEST_F(Tavdisk, ReadRefusesSectorsPastTheEndAndReportsFailures) {
    TwoDisks();
    machine.ClearLog();
    ExpectError(Tav({"read", "0", "2048"}), 1, "sector 2048 is past the end of disk 0");
    ExpectError(Tav({"read", "1", "99999999999"}), 1, "past the end of disk 1");
    EXPECT_EQ(machine.Count(Op::ReadFile), 0u);
    ExpectError(Tav({"read", "7", "0"}), 1, "no disk 7");
    ExpectError(Tav({"read", "0", "-1"}), 2, "");
    ExpectError(Tav({"read", "0", "12x"}), 2, "sector '12x' is not a non-negative number");
    ExpectError(Tav({"read", "0", "1f"}), 2, "sector '1f'");
    ExpectError(Tav({"read", "0x", "0"}), 2, "disk number '0x'");

    TavSim::Fault f;
    f.op = Op::ReadFile;
    f.error = ERROR_IO_DEVICE;
    machine.AddFault(f);
    ExpectError(Tav({"read", "0", "1"}), 1,
                "reading sector 1 of disk 0 (" + std::string(Path0) + ") failed: I/O error (error 1117)");
}

TEST_F(Tavdisk, SectorNumbersBeyondThe32BitRangeAreRefusedWhenTheCountIsUnknown) {
    machine.AddDisk(ScsiDisk(0));
    TavSim::Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    f.skip = 1;
    machine.AddFault(f);
    ExpectError(Tav({"read", "0", "4294967296"}), 1, "beyond 4294967295");
    EXPECT_EQ(machine.Count(Op::ReadFile), 0u);
}

// ---------------------------------------------------------------------------
// write

TEST_F(Tavdisk, WriteReplacesExactlyOneSector) {
    TwoDisks();
    ByteString data = Pattern(SectorSize, 9);
    std::string file = File("good", data);
    machine.ClearLog();
    Outcome r = Tav({"write", "0", "5", file, "--yes", "--device", Path0});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.out.find("wrote sector 5 of disk 0"), std::string::npos) << r.out;
    EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), data);
    EXPECT_EQ(machine.ReadBytes(0, 4 * SectorSize, SectorSize), ByteString(SectorSize, 0));
    EXPECT_EQ(machine.ReadBytes(0, 6 * SectorSize, SectorSize), ByteString(SectorSize, 0));
    EXPECT_EQ(machine.Count(Op::WriteFile), 1u);

    // Read back through the program.
    Outcome back = Tav({"read", "0", "5"});
    EXPECT_EQ(Lines(back.out)[0].substr(10, 2), "09");
    // By device path, no --device needed. Sector 4095 of disk 1 lies in E:,
    // a mounted volume: refused unless the user insists.
    ExpectError(Tav({"write", Path1, "4095", file, "-y"}), 1,
                "sector 4095 of disk 1 (" + std::string(Path1) + ") belongs to the volume mounted at E:\\");
    EXPECT_EQ(machine.ReadBytes(1, 4095 * SectorSize, SectorSize), ByteString(SectorSize, 0));
    Outcome forced = Tav({"write", Path1, "4095", file, "-y", "--allow-mounted"});
    EXPECT_EQ(forced.code, 0);
    EXPECT_NE(forced.err.find("tavdisk: note: sector 4095 of disk 1"), std::string::npos) << forced.err;
    EXPECT_NE(forced.err.find("writing anyway (--allow-mounted)"), std::string::npos) << forced.err;
    EXPECT_EQ(machine.ReadBytes(1, 4095 * SectorSize, SectorSize), data);
}

// A write into storage in use that no mount point shows, or whose volumes
// cannot all be examined, is refused with the reason (exit 1); only
// --allow-mounted writes there.
TEST_F(Tavdisk, WriteRefusesStorageInUseOrThatCannotBeExamined) {
    TwoDisks();
    std::string file = File("good", Pattern(SectorSize, 7));
    const std::string disk0 = "sector 5 of disk 0 (" + std::string(Path0) + ")";
    TavSim::Fault unreadable;
    unreadable.op = Op::DeviceIoControl;
    unreadable.ioctl = IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS;
    unreadable.error = ERROR_IO_DEVICE;
    struct Case {
        const char *what;
        std::function<void()> arrange;
        std::string refusal;
    } cases[] = {
        {"a volume that cannot be examined", [&] { machine.AddFault(unreadable); },
         "cannot tell whether " + disk0 + " belongs to a mounted volume: I/O error (error 1117)"},
        {"the disk held by another program", [&] { machine.disks[0].inUse = true; }, disk0 + " lies in storage in use"},
    };
    for (const Case &c : cases) {
        machine.ClearFaults();
        machine.disks[0].inUse = false;
        machine.WriteBytes(0, 5 * SectorSize, ByteString(SectorSize, 0));
        c.arrange();
        ExpectError(Tav({"write", Path0, "5", file, "--yes"}), 1, c.refusal);
        EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), ByteString(SectorSize, 0)) << c.what;
        Outcome forced = Tav({"write", Path0, "5", file, "--yes", "--allow-mounted"});
        EXPECT_EQ(forced.code, 0) << c.what << forced.err;
        EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), Pattern(SectorSize, 7)) << c.what;
    }
}

TEST_F(Tavdisk, WriteRefusesAndTouchesNothing) {
    TwoDisks();
    ByteString before = Pattern(SectorSize, 1);
    machine.WriteBytes(0, 5 * SectorSize, before);
    std::string good = File("good", Pattern(SectorSize, 9));
    std::string shorter = File("short", Pattern(SectorSize - 1, 9));
    std::string longer = File("long", Pattern(SectorSize + 1, 9));
    std::string empty = File("empty", {});
    machine.ClearLog();

    // Refusals made before any disk is enumerated or opened.
    ExpectError(Tav({"write", "0", "5", good}), 2, "without --yes");
    ExpectError(Tav({"write", Path0, "5", empty, "--yes"}), 1, "has 0 bytes");
    ExpectError(Tav({"write", Path0, "5", good + ".missing", "--yes"}), 1, "no such file");
    ExpectError(Tav({"write", Path0, "5", std::filesystem::temp_directory_path().string(), "--yes"}), 1,
                "not a regular file");
    EXPECT_EQ(machine.Count(Op::SetupDiGetClassDevsExW), 0u);
    EXPECT_EQ(machine.Count(Op::CreateFileW), 0u);

    ExpectError(Tav({"write", "0", "5", good, "--yes"}), 2, "needs --device PATH");
    EXPECT_EQ(machine.Count(Op::SetupDiGetClassDevsExW), 0u);

    // Refusals that need the disk's sector size or sector count.
    ExpectError(Tav({"write", Path0, "5", shorter, "--yes"}), 1, "has 511 bytes but a sector of disk 0");
    ExpectError(Tav({"write", Path0, "5", longer, "--yes"}), 1, "has 513 bytes");
    ExpectError(Tav({"write", Path0, "2048", good, "--yes"}), 1, "past the end");
    ExpectError(Tav({"write", "9", "5", good, "--yes", "--device", Path0}), 1, "no disk 9");
    ExpectError(Tav({"write", "0", "5", "--yes"}), 2, "FILE");

    EXPECT_EQ(machine.Count(Op::WriteFile), 0u);
    EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), before);

    // A write the device fails is reported.
    TavSim::Fault f;
    f.op = Op::WriteFile;
    f.error = ERROR_WRITE_PROTECT;
    machine.AddFault(f);
    ExpectError(Tav({"write", Path0, "5", good, "--yes"}), 1,
                "writing sector 5 of disk 0 (" + std::string(Path0) +
                    ") failed: read-only (write-protected) (error 19)");
    EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), before);
}

// ---------------------------------------------------------------------------
// naming the disk, and the target of a write

TEST_F(Tavdisk, DisksAreNamedByNumberOrDevicePath) {
    TwoDisks();
    EXPECT_EQ(Tav({"show", Path1}).out, Tav({"show", "1"}).out);
    EXPECT_EQ(Tav({"read", Path0, "3"}).out, Tav({"read", "0", "3"}).out);
    ExpectError(Tav({"show", "\\\\?\\nothing"}), 1, "no disk '\\\\\\\\?\\\\nothing' on this machine");
#if !defined(_WIN32)
    ExpectError(Tav({"show", "zero"}), 1, "no disk 'zero' on this machine"); // a kernel name
#endif
    ExpectError(Tav({"show", "Zero!"}), 2, "'Zero!' is neither a disk number, a kernel name nor a device path");
}

TEST_F(Tavdisk, WriteByNumberRefusesWhenTheNumberNamesAnotherDevice) {
    TwoDisks();
    std::string file = File("good", Pattern(SectorSize, 3));
    machine.ClearLog();
    // Disk 0 is not disk 1's device: the listing moved under the user.
    ExpectError(Tav({"write", "0", "5", file, "--yes", "--device", Path1}), 1,
                "disk 0 (" + std::string(Path0) + ") is not '" + tavdisk::EscapeBytes(Path1) +
                    "' as --device says; nothing written");
    ExpectError(Tav({"write", Path0, "5", file, "--yes", "--device", Path1}), 1, "as --device says");
    EXPECT_EQ(machine.Count(Op::WriteFile), 0u);

    // The target is looked at once more right before the write: when the
    // number no longer names the disk (here: the fresh listing loses it),
    // nothing is written.
    TavSim::Fault f;
    f.op = Op::SetupDiEnumDeviceInterfaces;
    f.skip = 1; // the command's own lookup passes, the last look fails
    machine.AddFault(f);
    ExpectError(Tav({"write", "0", "5", file, "--yes", "--device", Path0}), 1,
                "disk 0 changed while the write was prepared (it is gone now); nothing written");
    machine.ClearFaults();

    // ... and when the disk itself stops answering through its handle.
    TavSim::Fault gone;
    gone.op = Op::DeviceIoControl;
    gone.ioctl = IOCTL_STORAGE_GET_DEVICE_NUMBER;
    gone.error = ERROR_DEV_NOT_EXIST;
    machine.AddFault(gone);
    ExpectError(Tav({"write", "0", "5", file, "--yes", "--device", Path0}), 1,
                "went away: the device no longer exists (error 55); nothing written");
    EXPECT_EQ(machine.Count(Op::WriteFile), 0u);
    EXPECT_EQ(machine.ReadBytes(0, 5 * SectorSize, SectorSize), ByteString(SectorSize, 0));
}

TEST_F(Tavdisk, ADiskThatWentAwayMidListingIsMarkedNotGivenANumber) {
    TwoDisks();
    // Disk 1 no longer answers its device-number request, and the look that
    // follows does not list it any more.
    TavSim::Fault number;
    number.op = Op::DeviceIoControl;
    number.ioctl = IOCTL_STORAGE_GET_DEVICE_NUMBER;
    number.disk = 1;
    number.error = ERROR_DEV_NOT_EXIST;
    machine.AddFault(number);
    TavSim::Fault unlisted;
    unlisted.op = Op::SetupDiEnumDeviceInterfaces;
    unlisted.skip = 4; // members 0, 1 and the end of the listing, then member 0 of the next look
    unlisted.times = 1;
    machine.AddFault(unlisted);

    Outcome r = Tav({"list", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    json doc = json::parse(r.out);
    const json &d = doc["disks"][1];
    EXPECT_EQ(d["vanished"], true);
    EXPECT_EQ(d["accessible"], false);
    EXPECT_TRUE(d["device_number"].is_null());
    EXPECT_TRUE(d["volumes"].is_null());
    EXPECT_EQ(doc["disks"][0]["device_number"], 0);
    EXPECT_NE(r.err.find("1 of 2 disks went away while they were listed"), std::string::npos) << r.err;

    // A disk whose open finds no device, and that the next look does not
    // list, went away too.
    machine.ClearFaults();
    machine.disks[1].openable = false;
    machine.disks[1].openError = ERROR_DEV_NOT_EXIST;
    machine.AddFault(unlisted);
    json gone = json::parse(Tav({"list", "--json"}).out)["disks"][1];
    EXPECT_EQ(gone["vanished"], true);
    EXPECT_EQ(gone["error"], "the device no longer exists (error 55)");
    machine.disks[1].openable = true;

    // Still listed but without a number: no number and no volumes, and a note.
    machine.ClearFaults();
    machine.AddFault(number);
    Outcome still = Tav({"list", "--json"});
    json d2 = json::parse(still.out)["disks"][1];
    EXPECT_EQ(d2["vanished"], false);
    EXPECT_EQ(d2["accessible"], true);
    EXPECT_TRUE(d2["device_number"].is_null());
    EXPECT_TRUE(d2["volumes"].is_null());
    EXPECT_NE(still.err.find("does not tell its device number"), std::string::npos) << still.err;
    Outcome table = Tav({});
    EXPECT_EQ(Lines(table.out)[2].find("E:"), std::string::npos) << table.out;
}

TEST_F(Tavdisk, MountPathsHoldingTheSeparatorStayWhole) {
    machine.AddDisk(AtaDisk(0));
    machine.AddVolume({{0, 1 << 20, 1 << 19}}, {L"/mnt/a; b", L"/mnt/c", L"C:\\x; y\\"});
    json v = Json({"--json"})["disks"][0]["volumes"];
    EXPECT_EQ(v["mount_points"], json::array({"/mnt/a; b", "/mnt/c", "C:\\x; y\\"}));
    EXPECT_EQ(v["mount_points_text"], "/mnt/a; b; /mnt/c; C:\\x; y\\");
    Outcome show = Tav({"show", "0"});
    EXPECT_NE(show.out.find("/mnt/a; b\n"), std::string::npos) << show.out;
}

// ---------------------------------------------------------------------------
// output and messages

namespace {

// A stream whose every write fails, as stdout on a full disk does.
class FailingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
    std::streamsize xsputn(const char *, std::streamsize) override { return 0; }
};

} // namespace

TEST_F(Tavdisk, OutputThatCannotBeWrittenFailsTheCommand) {
    TwoDisks();
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{}, {"--json"}, {"show", "0"}, {"read", "0", "0"}, {"--help"}}) {
        args.insert(args.begin(), "tavdisk");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        FailingBuffer failing;
        std::ostream out(&failing);
        std::ostringstream err;
        EXPECT_EQ(tavdisk::TavdiskMain(static_cast<int>(argv.size()), argv.data(), out, err), 1) << args.back();
        EXPECT_NE(err.str().find("tavdisk: cannot write the output"), std::string::npos) << err.str();
    }
#if !defined(_WIN32)
    // The program's own output buffer keeps the system's reason, however late
    // the failure is seen.
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{}, {"read", "0", "0", "--raw"}}) {
        args.insert(args.begin(), "tavdisk");
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(a.data());
        int fd = ::open("/dev/full", O_WRONLY);
        ASSERT_GE(fd, 0);
        std::ostringstream err;
        {
            tavdisk::FdOutput full(fd);
            std::ostream out(&full);
            EXPECT_EQ(tavdisk::TavdiskMain(static_cast<int>(argv.size()), argv.data(), out, err), 1);
        }
        ::close(fd);
        EXPECT_NE(err.str().find("cannot write the output: " + std::string(std::strerror(ENOSPC))), std::string::npos)
            << err.str();
    }
#endif
}

TEST_F(Tavdisk, ControlCharactersInArgumentsAreEscaped) {
    TwoDisks();
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"show", "\\dev\\\x1b]0;owned\x07"},
                                               {"--bogus\x1b[2J"},
                                               {"read", "0", "1\x1b"},
                                               {"write", "0", "1", "missing\x1b[31m", "--yes", "--device", "x"}}) {
        Outcome r = Tav(args);
        EXPECT_NE(r.code, 0);
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find('\x07'), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("\\x1b"), std::string::npos) << r.err;
    }
}

// ---------------------------------------------------------------------------
// arguments

TEST_F(Tavdisk, BadArgumentsAreUsageErrors) {
    TwoDisks();
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{{"frobnicate"},
                                                                               {"--bogus"},
                                                                               {"list", "extra"},
                                                                               {"show"},
                                                                               {"show", "1", "2"},
                                                                               {"read", "0"},
                                                                               {"read", "0", "0", "--json"},
                                                                               {"write", "0", "0"},
                                                                               {"read", "zero!", "0"},
                                                                               {"-o", "NAME,BOGUS"},
                                                                               {"-e", "floppy"},
                                                                               {"-e", "loop", "-I", "usb"}}) {
        Outcome r = Tav(args);
        std::string joined;
        for (auto &a : args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        ExpectError(r, 2, "");
    }
    EXPECT_EQ(machine.Count(Op::SetupDiGetClassDevsExW), 0u);

    Outcome help = Tav({"--help"});
    EXPECT_EQ(help.code, 0);
    EXPECT_NE(help.out.find("read"), std::string::npos);
    EXPECT_NE(help.out.find("root"), std::string::npos);
    Outcome writeHelp = Tav({"write", "--help"});
    EXPECT_EQ(writeHelp.code, 0);
    EXPECT_NE(writeHelp.out.find("--yes"), std::string::npos);
}

// ---------------------------------------------------------------------------
// lsblk's habits: kinds, filters, columns, kernel names, absent facts

TEST_F(Tavdisk, ListingOptionsFilterAndShapeTheTable) {
    TwoDisks();
    // A loop disk as the Linux backend presents it: the kernel's stand-in
    // strings, no SCSI address.
    TavSim::Disk loop = ScsiDisk(2);
    loop.devicePath = L"/dev/loop3";
    loop.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeFileBackedVirtual);
    loop.deviceDescriptor =
        TavSim::MakeDeviceDescriptor("Linux", "Loop Device", nullptr, nullptr, BusTypeFileBackedVirtual);
    loop.inquiry = TavSim::MakeInquiry("Linux", "Loop Device", "");
    loop.scsiAddress.reset();
    machine.AddDisk(loop);
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> lines; // each output line starts with this
    } cases[] = {
        {{"-o", "NUM,KIND,MODEL,SCSI"},
         {"#  KIND  MODEL           SCSI", "0  sata  TAV MODEL 1000  1:0:0:0", "1  sas   TAV ARRAY DISK  2:0:5:1",
          "2  loop  -               -"}},
        {{"list", "-e", "loop", "-o", "NUM"}, {"#", "0", "1"}},
        {{"-e", "SATA,sas", "-o", "NAME,DEVICE"}, {"NAME   DEVICE", "loop3  /dev/loop3"}},
        {{"-I", "loop", "-n", "-o", "name"}, {"loop3"}},
        {{"-I", "sas", "-b", "-o", "SIZE,SECTORS"}, {"SIZE     SECTORS", "2097152  4096"}},
        {{"-I", "sas", "-o", "SIZE"}, {"SIZE", "2.0 MiB"}},
        {{"-I", "sata", "-o", "+KIND", "-n"}, {"0  \\\\?\\ide#disk0#"}},
    };
    for (const auto &c : cases) {
        std::string joined;
        for (const auto &a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        Outcome r = Tav(c.args);
        ASSERT_EQ(r.code, 0) << r.err;
        auto lines = Lines(r.out);
        ASSERT_EQ(lines.size(), c.lines.size()) << r.out;
        for (size_t i = 0; i < lines.size(); ++i)
            EXPECT_EQ(lines[i].rfind(c.lines[i], 0), 0u) << lines[i];
    }
    EXPECT_NE(Tav({"-I", "sata", "-o", "+KIND", "-n"}).out.find("sata"), std::string::npos);

    // JSON: the kind, the kernel name, absent facts as null; the library's
    // own strings stay where they are its answers.
    json doc = Json({"--json", "-I", "loop"});
    ASSERT_EQ(doc["disks"].size(), 1u);
    const json &d = doc["disks"][0];
    EXPECT_EQ(d["name"], "loop3");
    EXPECT_EQ(d["kind"], "loop");
    EXPECT_TRUE(d["model"].is_null());
    EXPECT_TRUE(d["scsi"]["address"].is_null());
    EXPECT_TRUE(d["scsi"]["revision"].is_null()); // blank, not ""
    EXPECT_EQ(d["descriptor"]["product"], "Loop Device");
    EXPECT_TRUE(Json({"--json"})["disks"][0]["name"].is_null()); // no kernel name in a Windows path

    Outcome columns = Tav({"--list-columns"});
    EXPECT_EQ(columns.code, 0);
    EXPECT_EQ(columns.out.rfind("NUM ", 0), 0u);
    EXPECT_NE(columns.out.find("\nMAJ:MIN "), std::string::npos);
}

#if !defined(_WIN32) // kernel names are /dev/NAME
TEST_F(Tavdisk, KernelNamesNameDisksAndAPartitionNamesItsDisk) {
    TavSim::Disk sda = AtaDisk(0);
    sda.devicePath = L"/dev/sda";
    machine.AddDisk(sda);
    TavSim::Disk nvme = ScsiDisk(1);
    nvme.devicePath = L"/dev/nvme0n1";
    machine.AddDisk(nvme);
    EXPECT_EQ(Tav({"show", "sda"}).out, Tav({"show", "0"}).out);
    EXPECT_EQ(Tav({"show", "nvme0n1"}).out, Tav({"show", "/dev/nvme0n1"}).out);
    EXPECT_EQ(Tav({"read", "sda", "1"}).out, Tav({"read", "0", "1"}).out);
    ExpectError(Tav({"show", "sda2"}), 1, "'sda2' is a partition of disk 0 (/dev/sda), not a disk");
    ExpectError(Tav({"read", "/dev/nvme0n1p1", "0"}), 1, "is a partition of disk 1 (/dev/nvme0n1)");
    ExpectError(Tav({"show", "sdb"}), 1, "no disk 'sdb' on this machine");
    ExpectError(Tav({"show", "nvme0n12"}), 1, "no disk"); // not nvme0n1's: that would be nvme0n1p2
}
#endif

TEST_F(Tavdisk, RawReadWritesTheSectorsBytes) {
    TavSim::Disk disk = AtaDisk(0);
    ByteString page = Pattern(TavSim::Disk::PageSize, 9);
    disk.pages[0] = page;
    machine.AddDisk(disk);
    Outcome r = Tav({"read", "0", "3", "--raw"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, std::string(page.begin() + 3 * SectorSize, page.begin() + 4 * SectorSize));
    EXPECT_EQ(Tav({"-V"}).out, Tav({"--version"}).out);
}

// ---------------------------------------------------------------------------
// text conversions

TEST(TavdiskText, WideTextBecomesUtf8AndIllFormedUnitsAreReplaced) {
    using tavdisk::WideToUtf8;
    std::wstring plain = L"/mnt/caf\u00e9 \u20ac";
    EXPECT_EQ(WideToUtf8(plain.data(), plain.size()), "/mnt/caf\xC3\xA9 \xE2\x82\xAC");
    std::wstring astral = L"\U0001F600";
    EXPECT_EQ(WideToUtf8(astral.data(), astral.size()), "\xF0\x9F\x98\x80");
    if constexpr (sizeof(wchar_t) == 4) {
        const wchar_t bad[] = {static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000), L'a'};
        EXPECT_EQ(WideToUtf8(bad, 3), "\xEF\xBF\xBD\xEF\xBF\xBD"
                                      "a");
    } else {
        const wchar_t lone[] = {static_cast<wchar_t>(0xD83D), L'a', static_cast<wchar_t>(0xDE00)};
        EXPECT_EQ(WideToUtf8(lone, 3), "\xEF\xBF\xBD"
                                       "a\xEF\xBF\xBD");
    }
    EXPECT_EQ(WideToUtf8(nullptr, 0), "");
}

TEST(TavdiskText, DeviceBytesAndSizes) {
    EXPECT_EQ(tavdisk::EscapeBytes(std::string("A\0\x1f\\\x80 z", 7)), "A\\x00\\x1f\\\\\\x80 z");
    EXPECT_EQ(tavdisk::BytesToUtf8(std::string("a\0\xff", 3)), std::string("a\0\xC3\xBF", 4));
    EXPECT_EQ(tavdisk::HumanBytes(0), "0 B");
    EXPECT_EQ(tavdisk::HumanBytes(1023), "1023 B");
    EXPECT_EQ(tavdisk::HumanBytes(1024), "1.0 KiB");
    EXPECT_EQ(tavdisk::HumanBytes(500107862016ull), "465.8 GiB");
    EXPECT_EQ(tavdisk::HumanBytes(UINT64_MAX), "16.0 EiB");
}
