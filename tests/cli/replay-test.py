#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""tavdisk over the recorded Linux machines of tests/linux/data, as a user
runs it: lsblk's habits (filters, columns, bytes, kernel names) and every
JSON document checked against the shipped schema.

Usage: replay-test.py REPLAY TAVDISK SCHEMA
(REPLAY is the build's tavdisk_replay, which runs a command over a tree.)
Exit status 77 when python3-jsonschema is missing (ctest: skipped).
"""
import json
import os
import subprocess
import sys

try:
    import jsonschema
except ImportError:
    print("python3-jsonschema is not installed: skipped")
    sys.exit(77)

replay, tavdisk, schema_path = sys.argv[1:4]
with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
validator = jsonschema.Draft7Validator(schema)
TREES = ["qemu-ide", "qemu-lsi4k", "qemu-nvme", "qemu-sata", "qemu-scsi", "qemu-span", "qemu-usb", "qemu-virtio",
         "server", "vm", "workstation"]

failed = passed = 0


def run(tree, *args):
    p = subprocess.run([replay, tree, tavdisk, *args], capture_output=True)
    return p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace")


def expect(ok, what, detail=""):
    global failed, passed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {what}\n{detail}")


# Every document validates: the listing of every tree, one disk shown.
for tree in TREES:
    for args in (["--json"], ["show", "0", "--json"]):
        code, out, err = run(tree, *args)
        errors = []
        try:
            errors = [f"{list(e.path)}: {e.message}" for e in validator.iter_errors(json.loads(out))]
        except ValueError as e:
            errors = [f"not JSON: {e}"]
        expect(code == 0 and not errors, f"{tree}: tavdisk {' '.join(args)} against the schema",
               f"exit {code}\n{err}" + "\n".join(errors[:10]))

# (tree, arguments, exit code, lines the output must hold, texts it must not hold)
CASES = [
    ("vm", ["-e", "loop", "-o", "NAME", "-n"], 0, ["vda", "zram0"], ["loop"]),
    ("vm", ["-I", "loop,zram", "-o", "NAME,KIND,MODEL", "-n"],
     0, ["loop0  loop  -", "loop1  loop  -", "zram0  zram  -"], ["Loop Device", "vda"]),
    ("workstation", ["-o", "NAME,SIZE,MODEL,SERIAL"],
     0, ["NAME     SIZE       MODEL                  SERIAL", "sda      931.5 GiB  WDC WD10EZEX-08WN4A0   WD-WCC6Y1234567"],
     ["CONTROLLER"]),
    ("workstation", ["-b", "-o", "NAME,SIZE", "-n"], 0, ["sda      1000204886016"], ["GiB"]),
    ("workstation", ["-e", "nvme,dm,mmc,sata", "-o", "NAME", "-n"], 0, [], ["nvme", "dm-0", "sda"]),
    ("workstation", ["show", "sda"], 0, ["  Device path                       /dev/sda"], []),
    ("workstation", ["show", "sda1"], 1, [], []),
    ("qemu-virtio", ["-o", "NAME,SCSI", "-n"], 0, ["vda  -"], ["0:0:0:0"]),
    ("qemu-sata", ["-o", "NAME,KIND", "-n"], 0, ["sdb  sata", "sdc  sata"], []),
    ("qemu-usb", ["-I", "usb", "-o", "NAME", "-n"], 0, ["sdg", "sdh"], []),
]
for tree, args, want_code, lines, absent in CASES:
    code, out, err = run(tree, *args)
    got = out.splitlines()
    ok = code == want_code and all(line in got for line in lines) and not any(text in out for text in absent)
    expect(ok, f"{tree}: tavdisk {' '.join(args)}", f"exit {code} (expected {want_code})\n{out}{err}")

# A partition named where a disk is expected names its disk.
code, out, err = run("workstation", "show", "sda1")
expect("'sda1' is a partition of disk 0 (/dev/sda)" in err, "workstation: show sda1 names the disk", err)
# The same disk by its number and by its kernel name.
expect(run("workstation", "show", "sda")[1] == run("workstation", "show", "0")[1], "workstation: show sda = show 0")

# A recorded machine that is not there is said so, never listed as a machine without disks.
for args in (["list"], ["show", "0"]):
    p = subprocess.run([tavdisk, *args], capture_output=True, env=dict(os.environ, TAVDISK_ROOT="/nonexistent"))
    err = p.stderr.decode("utf-8", "replace")
    expect(p.returncode == 1 and "cannot enumerate the disks of this machine" in err and "(error 3)" in err,
           f"TAVDISK_ROOT=/nonexistent tavdisk {' '.join(args)} fails", f"exit {p.returncode}\n{err}")

print(f"{passed} passed, {failed} failed")
sys.exit(1 if failed else 0)
