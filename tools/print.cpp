// Output for people: the table of disks, one disk in full, a hexdump.
#include "internal.h"

#include <algorithm>
#include <cstdio>

namespace tavdisk {

namespace {

std::string Shown(const std::optional<std::string> &bytes) { return bytes ? EscapeBytes(*bytes) : "-"; }

} // namespace

void PrintTable(const std::vector<DiskReport> &disks, std::ostream &out) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back(
        {"#", "DEVICE", "BUS", "MODEL", "SERIAL", "REV", "SIZE", "SECTORS", "SCSI", "MOUNTS", "SYS", "CONTROLLER"});
    for (const DiskReport &d : disks) {
        std::string path = d.path ? EscapeText(*d.path) : "-";
        std::string controller = d.controller ? EscapeText(*d.controller) : "-";
        if (!d.accessible) {
            rows.push_back({std::to_string(d.number), path, "-", d.vanished ? "(gone)" : "(cannot open)", "-", "-", "-",
                            "-", "-", "-", "", controller});
            continue;
        }
        Capacity capacity = CapacityOf(d);
        std::string mounts = LetterList(d.driveLetters);
        for (const std::string &mount : d.mountPoints)
            mounts += (mounts.empty() ? "" : ", ") + EscapeText(mount);
        rows.push_back({std::to_string(d.number), path, BusName(d.bus), Shown(ModelOf(d)), Shown(SerialOf(d)),
                        Shown(RevisionOf(d)), capacity.bytes ? HumanBytes(*capacity.bytes) : "-",
                        d.sectors ? std::to_string(d.sectors) : "-", ScsiAddressText(d), mounts.empty() ? "-" : mounts,
                        d.systemVolume ? "*" : "", controller});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    }
}

void PrintDisk(const DiskReport &d, std::ostream &out) {
    auto line = [&out](const std::string &label, const std::string &value) {
        out << "  " << label << std::string(label.size() < 34 ? 34 - label.size() : 1, ' ') << value << "\n";
    };
    auto number = [](uint64_t value) { return std::to_string(value); };
    out << "Disk " << d.number << "\n";
    line("Device path", d.path ? EscapeText(*d.path) : "-");
    line("Device instance", number(d.deviceInstance));
    line("Parent instance", number(d.parentInstance));
    line("Controller", d.controller ? EscapeText(*d.controller) : "-");
    if (d.vanished) {
        out << "  The disk went away while it was being read\n";
        return;
    }
    if (!d.accessible) {
        out << "  The device could not be opened" << Because(d.openError, d.openRequest) << AccessAdvice() << "\n";
        return;
    }
    line("Access", d.access == Drive::AccessFull ? "full (read and write)"
                                                 : "query only (no ATA or SCSI identity, no sector transfers)");
    line("Device number", d.numberKnown ? number(d.deviceNumber) : "- (the device does not tell it)");
    line("Bus", BusName(d.bus) + " (" + number(d.bus) + ")");
    line("Model", Shown(ModelOf(d)));
    line("Serial", Shown(SerialOf(d)));
    line("Revision", Shown(RevisionOf(d)));
    Capacity capacity = CapacityOf(d);
    line("Capacity", capacity.bytes
                         ? number(*capacity.bytes) + " bytes (" + HumanBytes(*capacity.bytes) + ", from the " +
                               (std::string(capacity.source) == "sectors" ? "sector count" : "geometry") + ")"
                         : "-");
    line("Sectors", d.sectors ? number(d.sectors) : "-");
    out << "Storage descriptor\n";
    line("Vendor", Shown(d.vendor));
    line("Product", Shown(d.product));
    line("Revision", Shown(d.revision));
    line("Serial", Shown(d.serial));
    if (d.ata) {
        out << "ATA identity\n";
        line("Model", Shown(d.ata->model));
        line("Serial", Shown(d.ata->serial));
        line("Firmware revision", Shown(d.ata->firmware));
        line("Controller / disk number", number(d.ata->controllerNumber) + " / " + number(d.ata->diskNumber));
        line("48-bit addressing", d.ata->lba48 ? "supported" : "not supported");
        line("Security feature set", d.ata->security ? "supported" : "not supported");
        line("Security erase time", number(d.ata->eraseMinutes) + " min");
        line("Enhanced security erase time", number(d.ata->enhancedEraseMinutes) + " min");
    } else {
        out << "ATA identity                        (not an ATA disk)\n";
    }
    out << "SCSI identity\n";
    if (!d.ata) {
        line("Vendor", Shown(d.scsiVendor));
        line("Product", Shown(d.scsiProduct));
        line("Revision", Shown(d.scsiRevision));
    }
    line("Address (port:bus:target:lun)", ScsiAddressText(d));
    out << "Geometry\n";
    line("Cylinders", std::to_string(d.cylinders));
    line("Tracks per cylinder", number(d.tracksPerCylinder));
    line("Sectors per track", number(d.sectorsPerTrack));
    line("Bytes per sector", number(d.bytesPerSector));
    line("Capacity", number(d.geometryCapacity) + " bytes (" + HumanBytes(d.geometryCapacity) + ")");
    out << "Volumes\n";
    if (!d.numberKnown) {
        line("Drive letters", "- (unknown without the device number)");
        return;
    }
    line("Drive letters", d.driveLetters.empty() ? "-" : LetterList(d.driveLetters));
    if (d.mountPoints.empty())
        line("Mount points", "-");
    for (size_t i = 0; i < d.mountPoints.size(); ++i)
        line(i == 0 ? "Mount points" : "", EscapeText(d.mountPoints[i]));
    line("Holds the system volume", d.systemVolume ? "yes" : "no");
}

void HexDump(const std::vector<unsigned char> &data, std::ostream &out) {
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        char text[96];
        int length = std::snprintf(text, sizeof text, "%08llx ", static_cast<unsigned long long>(offset));
        std::string line(text, static_cast<size_t>(length));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8)
                line += ' ';
            if (offset + i < data.size()) {
                unsigned char b = data[offset + i];
                std::snprintf(text, sizeof text, " %02x", b);
                line += text;
                ascii += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
            } else {
                line += "   ";
            }
        }
        out << line << "  |" << ascii << "|\n";
    }
}

} // namespace tavdisk
