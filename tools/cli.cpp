// SPDX-License-Identifier: MIT
// tavdisk: lists the physical disks of the machine and everything TavDiskLib
// knows about each, shows one disk in full, and reads or writes one sector.
//
// Only the library's public API is used (Drive, Adapter and, away from
// Windows, SetupDiDestroyDeviceInfoList), so the program behaves the same
// over every backend the library is built with. This file holds the command
// line and hands each command to its own file; tools/README.md maps them.
#include "cli.h"
#include "commands.h"
#include "messages.h"
#include "print.h"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>

#ifndef TAVDISK_VERSION
#define TAVDISK_VERSION "unknown"
#endif

namespace tavdisk {

namespace {

// TAVDISK_DEBUG=1 for the guard's life when `on`; the variable is then
// restored as it was.
class DebugSwitch {
public:
    explicit DebugSwitch(bool on) : on_(on) {
        if (!on_)
            return;
        if (const char *old = std::getenv(Variable))
            old_ = old;
        Set("1");
    }
    ~DebugSwitch() {
        if (on_)
            Set(old_ ? old_->c_str() : nullptr);
    }
    DebugSwitch(const DebugSwitch &) = delete;
    DebugSwitch &operator=(const DebugSwitch &) = delete;

private:
    static constexpr const char *Variable = "TAVDISK_DEBUG";
    static void Set(const char *value) {
#if defined(_WIN32)
        _putenv_s(Variable, value ? value : "");
#else
        if (value)
            setenv(Variable, value, 1);
        else
            unsetenv(Variable);
#endif
    }
    bool on_;
    std::optional<std::string> old_;
};

} // namespace

int TavdiskMain(int argc, char **argv, std::ostream &out, std::ostream &err) {
    CLI::App app{"Lists the physical disks of this machine and what each one is; reads and writes single "
                 "sectors.\nFull answers need root (administrator rights on Windows).",
                 "tavdisk"};
    app.set_version_flag("-V,--version", "tavdisk " TAVDISK_VERSION);
    app.require_subcommand(0, 1);
    ListOptions listing;
    bool &json = listing.json;
    bool listColumns = false;
    WriteRequest w;
    std::string disk, sector;
    bool raw = false;
    bool verbose = false;
    const char *verboseHelp = "Print each platform request that fails on stderr (sets TAVDISK_DEBUG=1)";
    app.add_flag("--verbose", verbose, verboseHelp);

    const char *diskHelp = "Disk number as 'tavdisk list' shows it, kernel name (sda) or device path";
    CLI::App *list = app.add_subcommand("list", "A table of every disk (the default command)");
    list->add_flag("--verbose", verbose, verboseHelp);
    // The listing's options, with no command as after `list`.
    for (CLI::App *where : {&app, list}) {
        where->add_flag("--json", json, "Every field of every disk as JSON");
        where
            ->add_option("-o,--output", listing.columns,
                         "Columns to show, comma-separated; +LIST adds to the default ones (see --list-columns)")
            ->type_name("LIST");
        where->add_flag("-b,--bytes", listing.bytes, "Sizes in bytes");
        where->add_flag("--health", listing.health, "Ask each disk its health (the HEALTH column; health in JSON)");
        where->add_flag("-n,--noheadings", listing.noHeadings, "No header line");
        where
            ->add_option("-e,--exclude", listing.exclude,
                         "Leave out disks of these kinds or major numbers, comma-separated (loop,7)")
            ->type_name("LIST");
        where->add_option("-I,--include", listing.include, "Show only disks of these kinds or major numbers")
            ->type_name("LIST");
        where->add_flag("--list-columns", listColumns, "Print the columns -o takes and exit");
    }

    CLI::App *show = app.add_subcommand("show", "Every field of one disk");
    show->add_flag("--verbose", verbose, verboseHelp);
    show->add_option("DISK", disk, diskHelp)->required()->type_name("NUMBER|NAME|PATH");
    show->add_flag("--json", json, "As JSON (the document of 'list --json' with this disk only)");

    CLI::App *read = app.add_subcommand("read", "Hexdump of one sector");
    read->add_flag("--verbose", verbose, verboseHelp);
    read->add_option("DISK", disk, diskHelp)->required()->type_name("NUMBER|NAME|PATH");
    read->add_option("SECTOR", sector, "Sector number, from 0")->required()->type_name("NUMBER");
    read->add_flag("--raw", raw, "Write the sector's bytes as they are instead of a hexdump");

    CLI::App *write =
        app.add_subcommand("write", "Write one sector from a file of exactly one sector's size (needs --yes)");
    write->add_flag("--verbose", verbose, verboseHelp);
    write->add_option("DISK", w.disk, diskHelp)->required()->type_name("NUMBER|NAME|PATH");
    write->add_option("SECTOR", w.sector, "Sector number, from 0")->required()->type_name("NUMBER");
    write->add_option("FILE", w.file, "File holding the sector's new bytes")->required()->type_name("PATH");
    write->add_flag("--yes,-y", w.yes, "Really write: the sector's old content is lost");
    write
        ->add_option("--device", w.device, "The device path the disk number must name (required when DISK is a number)")
        ->type_name("PATH");
    write->add_flag("--allow-mounted", w.allowMounted, "Write even into a sector of a mounted volume");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return Finish(ExitOk, out, err);
    } catch (const CLI::CallForAllHelp &) {
        out << app.help("", CLI::AppFormatMode::All);
        return Finish(ExitOk, out, err);
    } catch (const CLI::CallForVersion &e) {
        out << e.what() << "\n";
        return Finish(ExitOk, out, err);
    } catch (const CLI::ParseError &e) {
        // The parser's message may quote what was typed: escaped, on one line.
        return Fail(err, ExitUsage, EscapeBytes(e.what()) + " (see 'tavdisk --help')");
    }

    if (listColumns) {
        PrintColumns(out);
        return Finish(ExitOk, out, err);
    }
    DebugSwitch debug(verbose);
    try {
        if (show->parsed())
            return RunShow(disk, json, out, err);
        if (read->parsed())
            return RunRead(disk, sector, raw, out, err);
        if (write->parsed())
            return RunWrite(w, out, err);
        return RunList(listing, out, err);
    } catch (const std::exception &e) {
        return Fail(err, ExitFailure, "unexpected failure: " + EscapeBytes(e.what()));
    }
}

} // namespace tavdisk
