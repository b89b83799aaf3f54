// SPDX-License-Identifier: MIT
// Output for people: the table of disks, one disk in full, a hexdump.
#include "print.h"
#include "cli.h"
#include "collect.h"
#include "derived.h"
#include "messages.h"
#include "text.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace tavdisk {

namespace {

std::string Shown(const std::optional<std::string> &bytes) { return bytes ? EscapeBytes(*bytes) : "-"; }

} // namespace

std::string SizeText(uint64_t bytes, bool inBytes) { return inBytes ? std::to_string(bytes) : HumanBytes(bytes); }

namespace {

// The HEALTH cell: a failing disk stands out.
std::string HealthVerdictText(const DriveHealth &h) {
    return h.Verdict == DriveHealth::VerdictFailing ? "FAILING" : HealthVerdictName(h.Verdict);
}

// The Health section of show: the verdict (with why, when unknown) and each
// value the disk gave.
template <class Line> void PrintHealth(const DriveHealth &h, Line line) {
    std::string verdict = HealthVerdictText(h) + " (" + HealthProtocolName(h.Protocol) + ")";
    if (h.Verdict == DriveHealth::VerdictUnknown)
        verdict += ": " + ErrorText(h.Reason);
    line("Verdict", verdict);
    const auto value = [&h, &line](unsigned bit, const char *label, const std::string &text) {
        if (h.Present & bit)
            line(label, text);
    };
    value(DriveHealth::HasTemperature, "Temperature", std::to_string(h.TemperatureCelsius) + " C");
    value(DriveHealth::HasPowerOnHours, "Power-on hours", std::to_string(h.PowerOnHours));
    value(DriveHealth::HasReallocatedSectors, "Reallocated sectors", std::to_string(h.ReallocatedSectors));
    value(DriveHealth::HasPendingSectors, "Pending sectors", std::to_string(h.PendingSectors));
    value(DriveHealth::HasOfflineUncorrectable, "Offline uncorrectable", std::to_string(h.OfflineUncorrectable));
    value(DriveHealth::HasPercentageUsed, "Percentage used", std::to_string(h.PercentageUsed) + "%");
    value(DriveHealth::HasAvailableSpare, "Available spare", std::to_string(h.AvailableSpare) + "%");
    value(DriveHealth::HasMediaErrors, "Media errors", std::to_string(h.MediaErrors));
    if (h.Protocol == DriveHealth::ProtocolNvme && h.Verdict != DriveHealth::VerdictUnknown)
        line("Critical warning", std::to_string(h.CriticalWarning));
    char codes[16];
    std::snprintf(codes, sizeof codes, "%02Xh/%02Xh", h.ExceptionAsc, h.ExceptionAscq);
    value(DriveHealth::HasInformationalExceptions, "Exception", h.ExceptionAsc ? codes : "none");
}

// A disk that answers nothing: what its MODEL cell says instead.
std::string Unanswered(const DiskFacts &d) { return d.vanished ? "(gone)" : "(cannot open)"; }

std::string MountsText(const DiskFacts &d) {
    std::string mounts = LetterList(d.driveLetters);
    for (const std::string &mount : d.mountPoints)
        mounts += (mounts.empty() ? "" : ", ") + EscapeText(mount);
    return mounts.empty() ? "-" : mounts;
}

// The columns of the table, in the order `--list-columns` shows them. A
// cell of a disk that could not be opened is "-" unless `always` says the
// column is known without opening the disk.
struct Column {
    const char *id;     // for -o
    const char *header; // the table's heading
    bool byDefault;
    bool always;
    const char *help;
    std::string (*cell)(const DiskFacts &d, const ListOptions &options);
};

const Column Columns[] = {
    {"NUM", "#", true, true, "disk number (the N of show, read, write)",
     [](const DiskFacts &d, const ListOptions &) { return std::to_string(d.number); }},
    {"DEVICE", "DEVICE", true, true, "device path",
     [](const DiskFacts &d, const ListOptions &) { return d.path ? EscapeText(*d.path) : std::string("-"); }},
    {"NAME", "NAME", false, true, "kernel name (sda, nvme0n1, loop3)",
     [](const DiskFacts &d, const ListOptions &) { return d.name.empty() ? std::string("-") : EscapeText(d.name); }},
    {"KIND", "KIND", false, true, "kind of disk: loop, dm, md, nvme, virtio, ... else the bus (sata, usb, scsi, ...)",
     [](const DiskFacts &d, const ListOptions &) { return d.kind; }},
    {"MAJ:MIN", "MAJ:MIN", false, true, "major and minor device numbers",
     [](const DiskFacts &d, const ListOptions &) {
         return d.major && d.minor ? std::to_string(*d.major) + ":" + std::to_string(*d.minor) : std::string("-");
     }},
    {"BUS", "BUS", true, false, "the adapter's bus type",
     [](const DiskFacts &d, const ListOptions &) { return BusName(d.bus); }},
    {"MODEL", "MODEL", true, true, "IDENTIFY model, else INQUIRY vendor and product, else the descriptor's",
     [](const DiskFacts &d, const ListOptions &) { return d.accessible ? Shown(ModelOf(d)) : Unanswered(d); }},
    {"SERIAL", "SERIAL", true, false, "serial number",
     [](const DiskFacts &d, const ListOptions &) { return Shown(SerialOf(d)); }},
    {"REV", "REV", true, false, "firmware or product revision",
     [](const DiskFacts &d, const ListOptions &) { return Shown(RevisionOf(d)); }},
    {"SIZE", "SIZE", true, false, "capacity (in bytes with -b)",
     [](const DiskFacts &d, const ListOptions &o) {
         Capacity capacity = CapacityOf(d);
         return capacity.bytes ? SizeText(*capacity.bytes, o.bytes) : std::string("-");
     }},
    {"SECTORS", "SECTORS", true, false, "sector count",
     [](const DiskFacts &d, const ListOptions &) { return d.sectors ? std::to_string(d.sectors) : std::string("-"); }},
    {"SECTOR-SIZE", "SECTOR-SIZE", false, false, "bytes per sector",
     [](const DiskFacts &d, const ListOptions &) {
         return d.bytesPerSector ? std::to_string(d.bytesPerSector) : std::string("-");
     }},
    {"SCSI", "SCSI", true, false, "SCSI address port:bus:target:lun",
     [](const DiskFacts &d, const ListOptions &) { return ScsiAddressText(d); }},
    {"MOUNTS", "MOUNTS", true, false, "drive letters, then mount points",
     [](const DiskFacts &d, const ListOptions &) { return MountsText(d); }},
    {"SYS", "SYS", true, true, "* when the disk holds the system volume",
     [](const DiskFacts &d, const ListOptions &) { return std::string(d.accessible && d.systemVolume ? "*" : ""); }},
    {"WWN", "WWN", false, false, "world-wide name, as the kernel writes a wwid (naa., eui., t10.)",
     [](const DiskFacts &d, const ListOptions &) { return d.wwn ? EscapeText(*d.wwn) : std::string("-"); }},
    {"HEALTH", "HEALTH", false, false, "passed, FAILING or unknown, as the disk tells (asks each disk; --health)",
     [](const DiskFacts &d, const ListOptions &) {
         return d.health ? HealthVerdictText(*d.health) : std::string("-");
     }},
    {"CONTROLLER", "CONTROLLER", true, true, "description of the disk's controller",
     [](const DiskFacts &d, const ListOptions &) {
         return d.controller ? EscapeText(*d.controller) : std::string("-");
     }},
};
constexpr size_t ColumnCount = sizeof Columns / sizeof Columns[0];

} // namespace

bool ShowsHealth(const std::vector<size_t> &selected) {
    return std::any_of(selected.begin(), selected.end(),
                       [](size_t c) { return std::string(Columns[c].id) == "HEALTH"; });
}

std::optional<std::vector<size_t>> SelectColumns(const std::string &columns, std::ostream &err) {
    std::vector<size_t> selected;
    std::string list = columns;
    if (list.empty() || list[0] == '+') {
        for (size_t c = 0; c < ColumnCount; ++c)
            if (Columns[c].byDefault)
                selected.push_back(c);
        if (!list.empty())
            list.erase(0, 1);
    }
    size_t start = 0;
    while (!list.empty() && start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos)
            end = list.size();
        std::string id = list.substr(start, end - start);
        start = end + 1;
        for (char &c : id)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        size_t c = 0;
        while (c < ColumnCount && id != Columns[c].id && !(id == "#" && c == 0))
            ++c;
        if (c == ColumnCount) {
            Fail(err, ExitUsage, "unknown column " + Quoted(id) + " (see 'tavdisk --list-columns')");
            return std::nullopt;
        }
        selected.push_back(c);
    }
    return selected;
}

void PrintColumns(std::ostream &out) {
    for (const Column &c : Columns)
        out << c.id << std::string(14 - std::string(c.id).size(), ' ') << c.help << (c.byDefault ? " (default)" : "")
            << "\n";
}

void PrintTable(const std::vector<DiskFacts> &disks, const std::vector<size_t> &selected, const ListOptions &options,
                std::ostream &out) {
    std::vector<std::vector<std::string>> rows;
    if (!options.noHeadings) {
        rows.emplace_back();
        for (size_t c : selected)
            rows.back().push_back(Columns[c].header);
    }
    for (const DiskFacts &d : disks) {
        rows.emplace_back();
        for (size_t c : selected)
            rows.back().push_back(d.accessible || Columns[c].always ? Columns[c].cell(d, options) : "-");
    }
    std::vector<size_t> widths(selected.size(), 0);
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

void PrintDisk(const DiskFacts &d, std::ostream &out) {
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
    out << "Physical\n";
    const auto yesNo = [](const std::optional<bool> &value) { return value ? (*value ? "yes" : "no") : "-"; };
    line("Physical sector", d.physicalSectorBytes ? number(*d.physicalSectorBytes) + " bytes" : "-");
    line("Alignment offset", d.alignmentOffset ? number(*d.alignmentOffset) + " bytes" : "-");
    line("Rotational", yesNo(d.rotational));
    line("TRIM", yesNo(d.trim));
    line("Read-only", yesNo(d.readOnly));
    line("Removable media", yesNo(d.removable));
    line("World-wide name", d.wwn ? EscapeText(*d.wwn) : "-");
    if (d.health) {
        out << "Health\n";
        PrintHealth(*d.health, line);
    }
    out << "Partitions\n";
    static const char *const styles[] = {"MBR", "GPT", "none", "unknown"};
    const bool told = d.partitionStyle && *d.partitionStyle >= 0 && *d.partitionStyle <= 3;
    line("Table",
         !told ? "-"
               : styles[*d.partitionStyle] + (d.partitionTableId.empty() ? std::string() : " " + d.partitionTableId));
    for (const PartitionFacts &p : d.partitions) {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02x", unsigned(p.entry.MbrType));
        std::string text = number(p.entry.StartingOffset) + " + " + number(p.entry.Length) + " bytes (" +
                           HumanBytes(p.entry.Length) + "), type " +
                           (*d.partitionStyle == 1 ? std::string(p.entry.TypeGuid) : type);
        if (p.entry.Active)
            text += ", active";
        if (!p.name.empty())
            text += ", \"" + EscapeText(p.name) + "\"";
        for (const std::string &mount : p.mountPoints)
            text += ", " + EscapeText(mount);
        line("Partition " + number(p.entry.Number), text);
    }
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
