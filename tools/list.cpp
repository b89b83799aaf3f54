// SPDX-License-Identifier: MIT
// The commands that tell about disks: list (table or JSON) and show.
#include "commands.h"
#include "arguments.h"
#include "cli.h"
#include "collect.h"
#include "json.h"
#include "kinds.h"
#include "messages.h"
#include "open.h"
#include "print.h"
#include "text.h"

#include <algorithm>
#include <limits>

namespace tavdisk {

int RunList(const ListOptions &options, std::ostream &out, std::ostream &err) {
    std::optional<DiskFilter> filter;
    if (!options.exclude.empty() && !options.include.empty())
        return Fail(err, ExitUsage, "--exclude and --include cannot be given together");
    if (!options.exclude.empty() || !options.include.empty()) {
        bool include = !options.include.empty();
        filter = ParseFilter(include ? options.include : options.exclude, include, err);
        if (!filter)
            return ExitUsage;
    }
    std::optional<std::vector<size_t>> columns = SelectColumns(options.columns, err);
    if (!columns)
        return ExitUsage;
    // --health adds the HEALTH column to those asked for, where they lack it.
    if (options.health && !ShowsHealth(*columns))
        columns = SelectColumns(options.columns.empty() ? "+HEALTH" : options.columns + ",HEALTH", err);
    // Health is asked of the disks only when it is shown.
    const bool health = options.json ? options.health : ShowsHealth(*columns);
    DeviceSet set;
    if (!set.Valid())
        return Fail(err, ExitFailure, "cannot enumerate the disks of this machine" + Because(set.Error()));
    std::vector<DiskFacts> disks;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        Opened o = OpenMember(set.Get(), i);
        if (!o.drive)
            break;
        disks.push_back(Collect(o, set.Get(), true));
        if (health)
            CollectHealth(o, disks.back());
    }
    MarkVanished(disks);
    if (filter)
        disks.erase(std::remove_if(disks.begin(), disks.end(), [&](const DiskFacts &d) { return !filter->Passes(d); }),
                    disks.end());

    std::vector<std::string> notes;
    size_t gone =
        static_cast<size_t>(std::count_if(disks.begin(), disks.end(), [](const DiskFacts &d) { return d.vanished; }));
    size_t closed = static_cast<size_t>(
        std::count_if(disks.begin(), disks.end(), [](const DiskFacts &d) { return !d.accessible && !d.vanished; }));
    if (gone != 0)
        notes.push_back(std::to_string(gone) + " of " + std::to_string(disks.size()) +
                        " disks went away while they were listed");
    if (closed != 0) {
        std::string right = MissingRight();
        notes.push_back(std::to_string(closed) + " of " + std::to_string(disks.size()) + " disks could not be opened" +
                        (right.empty() ? "" : "; full answers need " + right));
    }
    for (const DiskFacts &d : disks) {
        if (!d.accessible && !d.vanished && !d.openRequest.empty())
            notes.push_back(DiskName(d) + " could not be opened" + Because(d.openError, d.openRequest));
        if (d.accessible && !d.numberKnown)
            notes.push_back(DiskName(d) + " does not tell its device number; its volumes are not shown");
        if (d.mountsTooLong)
            notes.push_back("the mount points of " + DiskName(d) + " are not shown: their list has " +
                            std::to_string(d.mountsTooLong) + " characters, more than " +
                            std::to_string(MaxWideLength));
    }
    if (options.json) {
        WriteJson(disks, notes, out);
    } else if (disks.empty()) {
        out << "No disks found.\n";
    } else {
        PrintTable(disks, *columns, options, out);
    }
    for (const std::string &note : notes)
        err << "tavdisk: note: " << EscapeText(note) << "\n";
    return Finish(ExitOk, out, err);
}

int RunShow(const std::string &diskText, bool json, std::ostream &out, std::ostream &err) {
    std::optional<DiskArg> name = ParseDisk(diskText, err);
    if (!name)
        return ExitUsage;
    DeviceSet set;
    int code = ExitOk;
    Opened o = OpenDisk(set, *name, err, code);
    if (!o.drive)
        return code;
    std::vector<DiskFacts> one{Collect(o, set.Get(), true, true)};
    CollectHealth(o, one[0]);
    MarkVanished(one);
    const DiskFacts &d = one[0];
    std::vector<std::string> notes;
    if (d.vanished)
        notes.push_back(DiskName(d) + " went away while it was read");
    else if (!d.accessible)
        notes.push_back(DiskName(d) + " could not be opened" + Because(d.openError, d.openRequest) + AccessAdvice());
    if (json)
        WriteJson(one, notes, out);
    else
        PrintDisk(d, out);
    for (const std::string &note : notes)
        err << "tavdisk: " << (json ? "note: " : "") << EscapeText(note) << "\n";
    // A disk that could not be opened, or went away, is not shown in full:
    // the command was not carried out.
    return Finish(d.accessible ? ExitOk : ExitFailure, out, err);
}

} // namespace tavdisk
