// SPDX-License-Identifier: MIT
// The Linux backend under recordings that are damaged, change while they
// are read, or are read from several threads at once.
#include "LinuxTestSupport.h"
#include "TavDiskLib/platform/linux/Looks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

using namespace TavLinuxTest;
namespace fs = std::filesystem;
namespace P = TavPlatform;

namespace {

// Every answer the API gives about every disk, with its volumes; the
// values are not checked, only that asking is safe.
void AskEverything(void *set) {
    for (auto &d : AllDrives(set)) {
        for (TextGetter g :
             {&Drive::GetVendorId, &Drive::GetProductId, &Drive::GetProductRevision, &Drive::GetSerialNumber,
              &Drive::GetIdeDriveModelNo, &Drive::GetIdeDriveSerialNo, &Drive::GetIdeDriveFirmwareRevision,
              &Drive::GetScsiVendorId, &Drive::GetScsiProductId, &Drive::GetScsiProductRevision})
            Text(*d, g);
        d->GetBusType();
        d->GetDriveNumber();
        d->GetSectors();
        d->GetCapacity();
        d->GetIdeSecurityEraseUnitTime();
        MountPoints(*d);
        AdapterDescription(set, d->GetDeviceParentInstance());
        unsigned char sector[4096];
        if (d->GetBytesPerSector() <= sizeof sector)
            d->ReadSector(0, sector);
    }
}

std::string Junk(std::mt19937 &random) {
    static const std::vector<std::string> shapes = {"",
                                                    "\n",
                                                    "-1\n",
                                                    "0\n",
                                                    "18446744073709551615\n",
                                                    "99999999999999999999999\n",
                                                    "0x\n",
                                                    "abc\n",
                                                    std::string(4096, 'x'),
                                                    std::string("\0\0\0\0", 4),
                                                    "1 2 3\n",
                                                    "\xff\xfe\x00\x80",
                                                    "   \n"};
    std::string s = shapes[random() % shapes.size()];
    if (random() % 3 == 0) {
        s.resize(random() % 700);
        for (auto &c : s)
            c = static_cast<char>(random());
    }
    return s;
}

} // namespace

TEST(ReplayRobustness, GarbledRecordingsAreAnsweredWithoutHarm) {
    for (const char *machine : {"workstation", "server", "vm"}) {
        for (unsigned seed = 1; seed <= 4; ++seed) {
            Machine m(machine);
            std::mt19937 random(seed);
            // Replace about a third of the regular files of sysfs and the
            // recorded answers (not the device contents) by junk.
            std::vector<fs::path> files;
            for (const auto &top : {"sys", "ioctl", "proc"}) {
                if (!fs::exists(m.tree.Path(top)))
                    continue;
                for (auto it = fs::recursive_directory_iterator(m.tree.Path(top)); it != fs::end(it); ++it)
                    if (it->is_regular_file() && !it->is_symlink())
                        files.push_back(it->path());
            }
            for (const auto &f : files)
                if (random() % 3 == 0) {
                    std::string junk = Junk(random);
                    FILE *out = std::fopen(f.c_str(), "wb");
                    ASSERT_NE(out, nullptr);
                    std::fwrite(junk.data(), 1, junk.size(), out);
                    std::fclose(out);
                }
            Set set;
            AskEverything(set.handle);
        }
    }
    SUCCEED();
}

TEST(ReplayRobustness, OpenSearchAnswersFromItsSnapshot) {
    Machine m("workstation");
    wchar_t name[51];
    HANDLE search = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    // Find the volume of the USB disk's partition.
    std::wstring usb;
    do {
        wchar_t list[256];
        DWORD length = 0;
        if (P::GetVolumePathNamesForVolumeNameW(name, list, 256, &length) &&
            std::wstring(list) == L"/media/user/My Passport")
            usb = name;
    } while (usb.empty() && P::FindNextVolumeW(search, name, 51));
    ASSERT_FALSE(usb.empty());

    // The disk is unmounted while the search is open: the search's view holds.
    std::string mountinfo = m.tree.Read("proc/self/mountinfo");
    size_t line = mountinfo.find("My\\040Passport");
    ASSERT_NE(line, std::string::npos);
    size_t start = mountinfo.rfind('\n', line) + 1, end = mountinfo.find('\n', line) + 1;
    m.tree.Write("proc/self/mountinfo", mountinfo.erase(start, end - start));
    wchar_t list[256];
    DWORD length = 0;
    ASSERT_TRUE(P::GetVolumePathNamesForVolumeNameW(usb.c_str(), list, 256, &length));
    EXPECT_STREQ(list, L"/media/user/My Passport");

    // Once the search is closed, the system is asked again.
    P::FindVolumeClose(search);
    ASSERT_TRUE(P::GetVolumePathNamesForVolumeNameW(usb.c_str(), list, 256, &length));
    EXPECT_EQ(length, 2u);
    EXPECT_EQ(list[0], L'\0');
}

TEST(ReplayRobustness, VolumesAnswerWithoutTheirDeviceFiles) {
    Machine m("workstation");
    m.tree.Remove("dev");
    wchar_t name[51];
    HANDLE search = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    int withExtents = 0;
    do {
        std::wstring bare(name, 48);
        HANDLE v = P::CreateFileW(bare.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(v, INVALID_HANDLE_VALUE);
        VOLUME_DISK_EXTENTS e{};
        DWORD returned = 0;
        P::DeviceIoControl(v, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &e, sizeof e, &returned, nullptr);
        withExtents += e.NumberOfDiskExtents > 0;
        unsigned char sector[512];
        EXPECT_FALSE(P::ReadFile(v, sector, 512, &returned, nullptr)); // no device to read
        P::CloseHandle(v);
    } while (P::FindNextVolumeW(search, name, 51));
    P::FindVolumeClose(search);
    EXPECT_EQ(withExtents, 7);
}

TEST(ReplayRobustness, OneSetUsedFromSeveralThreads) {
    Machine m("workstation");
    Set set;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&set] { AskEverything(set.handle); });
    for (auto &t : threads)
        t.join();
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(MountPoints(*d), "/boot/efi; /");
}

// fanotify's events as a read gives them: a file's identity is taken only
// from a record that holds it whole, and a cut or unknown layout reads as
// lost events (a new look), never as a file.
TEST(ReplayRobustness, FanotifyEventsAreReadWithinTheirBytes) {
    auto event = [](uint8_t version, uint32_t handleBytes, size_t keep) {
        std::string bytes(24 + 12 + 8 + 8, '\0');
        auto put32 = [&](size_t at, uint32_t v) { std::memcpy(&bytes[at], &v, 4); };
        put32(0, static_cast<uint32_t>(bytes.size())); // event_len
        bytes[4] = static_cast<char>(version);
        bytes[6] = 24;          // metadata_len
        bytes[8] = 0x08;        // FAN_CLOSE_WRITE
        put32(16, 0xFFFFFFFFu); // fd: none
        bytes[24] = 1;          // FAN_EVENT_INFO_TYPE_FID
        bytes[26] = 12 + 8 + 8; // the record's length
        put32(36, handleBytes);
        put32(40, 1); // handle type
        return bytes.substr(0, keep);
    };
    struct Case {
        const char *what;
        std::string bytes;
        size_t events;
        bool key;
        bool lost;
    } cases[] = {
        {"whole", event(3, 8, 52), 1, true, false},
        {"handle longer than its record", event(3, 9, 52), 1, false, false},
        {"cut inside the record", event(3, 8, 40), 1, false, true},
        {"unknown version", event(9, 8, 52), 1, false, true},
        {"shorter than a header", event(3, 8, 20), 0, false, false},
        {"two in a row", event(3, 8, 52) + event(3, 8, 52), 2, true, false},
    };
    for (const Case &c : cases) {
        auto events = TavLinux::MarkEventsIn(c.bytes.data(), c.bytes.size());
        ASSERT_EQ(events.size(), c.events) << c.what;
        if (c.events == 0)
            continue;
        EXPECT_EQ(events[0].key.has_value(), c.key) << c.what;
        EXPECT_EQ((events[0].mask & 0x4000) != 0, c.lost) << c.what; // FAN_Q_OVERFLOW
        EXPECT_EQ(events[0].fd, -1) << c.what;
    }
}
