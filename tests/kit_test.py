#!/usr/bin/env python3
"""The rehearsal kit as a setup author gets it: unpacked from the release's zip (which the release
test left in OUT), its runner run against the NSIS example's test build made with the kit's
stand-ins, on a table of the example's own cases mixed with cases the runner must survive: one
past its time limit, one with a question nobody expected, one whose program cannot start. Each
such case must fail alone, the next one pass, the whole run end within its bound, and nothing be
left running; the JUnit report must say what was printed. The runner ended from outside during a
case must leave a report that says so. Then the kit's ARM64 path: its runner, through the kit's own wrapper, runs the
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
import xml.etree.ElementTree as ET
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


def ended(kit, setup, prefixes):
    """The runner ended from outside while a case runs: it ends within its bound, with 143 and
    nothing left running, its report written, saying which case passed, which was running and
    which did not run."""
    names = ["silent install works", "runs on", "interactive failure answered No stops"]
    table = table_of(setup, [example(names[0]), {"name": names[1], "args": [], "status": 0,
                                                 "run": "C:\\windows\\system32\\notepad.exe"},
                             example(names[2])])
    report, output = table + ".xml", table + ".out"
    with open(output, "wb") as out:
        runner = subprocess.Popen(["/usr/bin/python3", os.path.join(kit, "rehearse.pyz"), setup,
                                   table, "--junit", report], stdout=out, stderr=out,
                                  env=dict(os.environ, TMPDIR=prefixes))
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline and runner.poll() is None and \
            junit(report)[:1] != [(names[0], "passed", None)]:
        time.sleep(0.5)
    time.sleep(3)  # into the case that runs on
    runner.terminate()
    try:
        status = runner.wait(timeout=60)
    except subprocess.TimeoutExpired:
        runner.kill()
        status = runner.wait()
    with open(output, errors="replace") as f:
        printed = f.read()
    check("ended from outside: the runner's status is 143", status == 143, printed)
    why = "the runner was ended from outside"
    check("ended from outside: the report says what ran, what was running and what did not",
          junit(report) == [(names[0], "passed", None),
                            (names[1], f"error: ended while running: {why}", None),
                            (names[2], f"error: not run: {why}", None)], junit(report))
    check("ended from outside: nothing left running", not leftovers(prefixes), leftovers(prefixes))


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
    ended(kit, os.path.join(top, "driver-setup-rehearsal.exe"), prefixes)
    image = os.path.join(top, "arm64", "varnholt.exe")
    with zipfile.ZipFile(os.path.join(out, os.path.basename(ZIP.format(version(), "windows")))) as z:
        z.extract("arm64/varnholt.exe", top)
    for dll in ("newdev.dll", "DIFxAPI.dll"):
        shutil.copy(os.path.join(kit, "arm64", dll), os.path.dirname(image))
    rehearse(kit, image, ARM64_CASES, prefixes, ["--arm64-root", ARM64_ROOT])
    return closing("kit")


def junit(path):
    """Each test case of a JUnit report: its name, "passed" or its failure's or error's text,
    and its system-err."""
    try:
        cases = ET.parse(path).getroot().iter("testcase")
    except (ET.ParseError, OSError):
        return []
    return [(case.get("name"),
             next((f"{e.tag}: {e.text}" for e in case if e.tag != "system-err"), "passed"),
             case.findtext("system-err")) for case in cases]


def table_of(setup, cases):
    table = os.path.join(os.path.dirname(setup), "table.json")
    with open(table, "w") as f:
        json.dump({"cases": cases}, f)
    return table


def rehearse(kit, setup, cases, prefixes, options):
    """Runs the kit's runner on a table of cases and checks its lines, status, bound and JUnit
    report."""
    table = table_of(setup, [case for case, _ in cases])
    report = table + ".xml"
    started = time.monotonic()
    try:
        result = run("/usr/bin/python3", os.path.join(kit, "rehearse.pyz"), setup, table,
                     *options, "--junit", report, env=dict(os.environ, TMPDIR=prefixes),
                     timeout=BOUND)
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
    got = junit(report)
    check("the report has each case", [n for n, _, _ in got] == [c["name"] for c, _ in cases], got)
    for (case, line), (_, outcome, err) in zip(cases, got):
        printed = next((f for f in failures if f.startswith(f"FAIL {case['name']} ")), None)
        check(f"{case['name']}: the report says what was printed",
              outcome == ("passed" if printed is None else f"failure: {printed}"), outcome)
        if line and "did not start: " in line:
            check(f"{case['name']}: Wine's lines in the report",
                  line.split("did not start: ")[1] in (err or ""), err)
    check(f"the run ended within {BOUND} s", took < BOUND, f"{took:.0f} s")
    check("nothing left running", not leftovers(prefixes), leftovers(prefixes))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
