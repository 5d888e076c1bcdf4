#!/usr/bin/env python3
"""The rehearsal kit as a setup author gets it: unpacked from the release's zip (which the release
test left in OUT), its runner run against the NSIS example's test build made with the kit's
stand-ins, on a table of the example's own cases mixed with cases the runner must survive: one
past its time limit, one with a question nobody expected, one whose program cannot start. Each
such case must fail alone, the next one pass, the whole run end within its bound, and nothing be
left running. Then the kit's ARM64 path: its runner, through the kit's own wrapper, runs the
release's ARM64 image as the program under the arm64 Wine of the root that the win-arm64 preset's
tests made (against Wine's own services: the cases check statuses, not the stand-ins). Prints one
line per failed check and 'N passed, N failed'.

    kit_test.py OUT"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

from release_test import SOURCE, ZIP, check, closing, run, version

EXAMPLE = os.path.join(SOURCE, "examples", "nsis", "cases.json")
# The most the whole run may take: two new prefixes' worth, on a slow machine.
BOUND = 300
ARM64_ROOT = os.path.join(SOURCE, "build", "arm64-root")


def example(name):
    with open(EXAMPLE, encoding="utf-8") as f:
        return next(c for c in json.load(f)["cases"] if c["name"] == name)


# Each case of a table, and the one line the runner must print for it (None: it passes).
CASES = [
    ({"name": "too slow", "args": ["/D={folder}"], "install": "259", "answers": ["no", "no"],
      "status": 3, "timeout": 1},
     "FAIL too slow (win64): still running after 1 s"),
    (example("silent install works"), None),
    ({"name": "unexpected question", "args": ["/D={folder}"], "install": "2", "status": 3},
     "FAIL unexpected question (win64): a question that was not expected"),
    (example("interactive failure answered Yes goes on"), None),
    ({"name": "cannot start", "run": "C:\\no such program.exe", "args": [], "status": 0},
     "FAIL cannot start (win64): status 53, expected 0; did not start: wine: failed to open"),
    (example("interactive failure answered No stops"), None),
    (example("silent: Varnholt cannot start without DIFxAPI.dll"), None),
]


# The ARM64 image itself stands for the setup, with the kit's ARM64 stand-ins beside it.
ARM64_CASES = [
    ({"name": "ARM64 install", "args": ["-i", "C:\\pkg.inf"], "install": "ok", "status": 0,
      "calls": ['DiInstallDriverW parent=NULL inf="C:\\\\pkg.inf" flags=0x00000000 reboot=NULL']},
     None),
    ({"name": "ARM64 unexpected question", "args": ["-o", "C:\\pkg.inf"], "install": "2",
      "status": 1}, "FAIL ARM64 unexpected question (win64): a question that was not expected"),
    ({"name": "ARM64 forced after Yes", "args": ["-o", "C:\\pkg.inf"], "install": "259,ok",
      "answers": ["yes"], "status": 0}, None),
    ({"name": "ARM64 cannot start", "run": "C:\\no such program.exe", "args": [], "status": 0},
     "FAIL ARM64 cannot start (win64): status 53, expected 0; did not start: wine: failed to open"),
    ({"name": "ARM64 removal", "args": ["-u", "C:\\pkg.inf"], "uninstall": "0", "status": 0,
      "calls": ['DriverPackageUninstallW inf="C:\\\\pkg.inf" flags=0x00000000 installer=NULL '
                'reboot=FALSE']}, None),
]


def leftovers(folder):
    """The processes whose environment names folder: the runner's Wine prefixes lie in it."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if folder.encode() in f.read():
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        found.append(f.read().replace(b"\0", b" ").decode(errors="replace"))
        except OSError:
            pass
    return found


def main(out):
    # In /tmp: the arm64 root sees no other folder of this machine.
    with tempfile.TemporaryDirectory(prefix="varnholt-kit-", dir="/tmp") as top:
        return test(top, out)


def test(top, out):
    kit = os.path.join(top, "kit")
    zipped = os.path.join(out, os.path.basename(ZIP.format(version(), "rehearsal")))
    with zipfile.ZipFile(zipped) as z:
        z.extractall(kit)
    unpacked = sum(os.path.getsize(os.path.join(root, name))
                   for root, _, names in os.walk(kit) for name in names)
    print(f"kit: {os.path.getsize(zipped)} bytes zipped, {unpacked} bytes unpacked")
    sums = run("sha256sum", "-c", "SHA256SUMS", cwd=kit)
    check("the kit's sums verify", sums.returncode == 0, sums.stdout + sums.stderr)

    build = run("makensis", "-WX", f"-DOUTDIR={top}", f"-DSTANDINS_x86={kit}/x86",
                f"-DSTANDINS_x64={kit}/x64", f"-DSTANDINS_arm64={kit}/arm64",
                os.path.join(SOURCE, "examples", "nsis", "driver-setup.nsi"))
    if not check("the example's test build made", build.returncode == 0, build.stdout):
        return closing("kit")
    prefixes = os.path.join(top, "prefixes")
    os.mkdir(prefixes)
    rehearse(kit, os.path.join(top, "driver-setup-rehearsal.exe"), CASES, prefixes, [])
    image = os.path.join(top, "arm64", "varnholt.exe")
    with zipfile.ZipFile(os.path.join(out, os.path.basename(ZIP.format(version(), "windows")))) as z:
        z.extract("arm64/varnholt.exe", top)
    for dll in ("newdev.dll", "DIFxAPI.dll"):
        shutil.copy(os.path.join(kit, "arm64", dll), os.path.dirname(image))
    rehearse(kit, image, ARM64_CASES, prefixes, ["--arm64-root", ARM64_ROOT])
    return closing("kit")


def rehearse(kit, setup, cases, prefixes, options):
    """Runs the kit's runner on a table of cases and checks its lines, status and bound."""
    table = os.path.join(os.path.dirname(setup), "table.json")
    with open(table, "w") as f:
        json.dump({"cases": [case for case, _ in cases]}, f)
    started = time.monotonic()
    try:
        result = run("/usr/bin/python3", os.path.join(kit, "rehearse.py"), setup, table, *options,
                     env=dict(os.environ, TMPDIR=prefixes), timeout=BOUND)
        output, status = result.stdout + result.stderr, result.returncode
    except subprocess.TimeoutExpired as expired:
        output, status = f"no end after {BOUND} s: {expired.stdout!r}", None
    took = time.monotonic() - started
    print(f"kit: the runner{' ' + ' '.join(options) if options else ''} took {took:.0f} s")
    lines = output.splitlines()
    failures = [line for line in lines if line.startswith("FAIL")]
    faulty = sum(line is not None for _, line in cases)
    check("the runner's status is 1", status == 1, output)
    check("only the faulty cases fail", len(failures) == faulty, output)
    for case, line in cases:
        if line is None:
            check(f"{case['name']}: passes after a faulty case",
                  not any(f.startswith(f"FAIL {case['name']} ") for f in failures), output)
        else:
            check(f"{case['name']}: says {line!r}", any(f.startswith(line) for f in lines), output)
    check("the closing line", f"{len(cases) - faulty} passed, {faulty} failed" in lines, output)
    check(f"the run ended within {BOUND} s", took < BOUND, f"{took:.0f} s")
    check("nothing left running", not leftovers(prefixes), leftovers(prefixes))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
