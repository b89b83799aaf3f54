// SPDX-License-Identifier: MIT
// World-wide names from VPD page 83h, IDENTIFY DEVICE and NVMe Identify
// data, against the names the Linux kernel gave the same QEMU disks
// (tests/linux/data) and at the edges of the layouts.
#include "TavDiskLib/protocol/Identifiers.h"
#include "HexBytes.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using namespace TavProtocol;

namespace {

// Page 83h of QEMU's SATA disk behind libata, and its wwid in sysfs
// (qemu-sata.tree); the LSI disk's page holds a vendor-specific designator
// only, and the kernel gave it no wwid (qemu-lsi4k.tree).
const ByteList SataPage =
    Hex("00 83 00 60 02 00 00 14 54 41 56 53 41 54 41 30 30 30 31 20 20 20 20 20 20 20 20 20 02 01 00 44 41 54 41 20 "
        "20 20 20 20 54 41 56 20 53 41 54 41 20 44 49 53 4b 20 4f 4e 45 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 "
        "20 20 20 20 20 20 20 20 54 41 56 53 41 54 41 30 30 30 31 20 20 20 20 20 20 20 20 20");
const std::string SataWwid = "t10.ATA     TAV SATA DISK ONE                       TAVSATA0001         ";
const ByteList LsiPage = Hex("00 83 00 0e 02 00 00 0a 54 41 56 4c 53 49 34 4b 30 31");

TEST(IdentifiersProtocol, DeviceIdentificationPage) {
    EXPECT_EQ(DecodeDeviceIdentification(SataPage.data(), SataPage.size()), SataWwid);
    EXPECT_EQ(DecodeDeviceIdentification(LsiPage.data(), LsiPage.size()), "");

    // Longer designators win whatever their order; a port's are not the
    // unit's; a designator cut by the page or by what arrived is not read.
    const ByteList naa8 = {0x01, 0x03, 0, 8, 0x50, 0, 0xc5, 0, 0x15, 0xea, 0x71, 0xad};
    const ByteList naa16 = {0x01, 0x03, 0, 16, 0x60, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const ByteList portNaa16 = {0x01, 0x13, 0, 16, 0x60, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    const ByteList t10 = {0x02, 0x01, 0, 4, 'A', 'T', 'A', ' '};
    auto page = [](std::vector<ByteList> designators) {
        ByteList p = {0x00, 0x83, 0, 0};
        for (const ByteList &d : designators)
            p.insert(p.end(), d.begin(), d.end());
        p[3] = static_cast<uint8_t>(p.size() - 4);
        return p;
    };
    struct Case {
        ByteList page;
        size_t cut; // bytes taken off the end
        std::string name;
    };
    for (const Case &c :
         {Case{page({t10, naa8}), 0, "naa.5000c50015ea71ad"},
          Case{page({naa8, portNaa16, naa16}), 0,
               "naa.60010203040506070809"
               "0a0b0c0d0e0f"},
          Case{page({t10, naa16}), 1, "t10.ATA "}, Case{page({portNaa16}), 0, ""}, Case{page({t10}), 5, ""}}) {
        ByteList p = c.page;
        p.resize(p.size() - c.cut);
        EXPECT_EQ(DecodeDeviceIdentification(p.data(), p.size()), c.name);
    }
    ByteList lying = page({naa8});
    lying[3] = 0xF0; // a page length beyond what arrived
    lying[7] = 0x40; // a designator longer than the page
    EXPECT_EQ(DecodeDeviceIdentification(lying.data(), lying.size()), "");
    EXPECT_EQ(DecodeDeviceIdentification(SataPage.data(), 3), "");
}

TEST(IdentifiersProtocol, AtaAndNvmeNames) {
    ByteList identify(IdentifyLength, 0);
    const uint16_t wwn[4] = {0x5000, 0xc500, 0x15ea, 0x71ad};
    for (unsigned i = 0; i < 4; ++i)
        SetIdentifyWord(identify.data(), IdentifyWorldWideNameWord + i, wwn[i]);
    EXPECT_EQ(IdentifyWorldWideName(identify.data()), ""); // words 84 and 87 do not vouch for it
    SetIdentifyWord(identify.data(), IdentifyCommandSetsDefaultWord, 0x4100);
    EXPECT_EQ(IdentifyWorldWideName(identify.data()), "naa.5000c50015ea71ad");
    SetIdentifyWord(identify.data(), IdentifyCommandSetsDefaultWord, 0xC100); // word not valid
    EXPECT_EQ(IdentifyWorldWideName(identify.data()), "");

    ByteList ns(4096, 0);
    EXPECT_EQ(NvmeNamespaceName(ns.data(), ns.size()), "");
    ns[NvmeEui64Offset + 7] = 0x2a;
    EXPECT_EQ(NvmeNamespaceName(ns.data(), ns.size()), "eui.000000000000002a");
    ns[NvmeNguidOffset] = 0x01;
    EXPECT_EQ(NvmeNamespaceName(ns.data(), ns.size()), "eui.01000000000000000000000000000000");
    EXPECT_EQ(NvmeNamespaceName(ns.data(), NvmeIdentifyIdsEnd - 1), "");

    // QEMU's NVMe namespace has neither; the kernel's name (qemu-nvme.tree).
    EXPECT_EQ(NvmeFallbackName(0x1b36, "TAVNVME0001         ", std::string("QEMU NVMe Ctrl") + std::string(26, ' '), 1),
              "nvme.1b36-5441564e564d4530303031-51454d55204e564d65204374726c-00000001");
}

} // namespace
