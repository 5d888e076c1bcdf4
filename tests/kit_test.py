#!/usr/bin/env python3
"""The rehearsal kit as a setup author gets it: unpacked from the release's zip, its runner run
against the NSIS example's test build (made with the kit's stand-ins) on part of the example's
own table, and on tables that must fail: an error in the table, a question nobody expected, a run
past its time limit. Needs the win-x86 and win-x64 presets built. Prints one line per failed
check and 'N passed, N failed'."""
import json
import os
import sys
import tempfile

from release_test import SOURCE, ZIP, check, closing, release, run, unpack, version

TABLE = os.path.join(SOURCE, "examples", "nsis", "cases.json")

# Each row: what it shows, the table (the example's, or cases of its own), the runner's options,
# its exit status, and texts its output must hold.
ROWS = [
    ("the example's cases, through the kit", TABLE,
     ["-k", "silent install works", "-k", "interactive failure answered Yes goes on",
      "-k", "interactive failure answered No stops", "-k", "silent: Varnholt cannot start"],
     0, ["4 passed, 0 failed"]),
    ("a table with errors is refused before any run",
     [{"name": "typo", "args": ["/S"], "status": 0, "answer": ["yes"]},
      {"name": "bad answer", "args": [], "status": 0, "answers": ["maybe"],
       "uninstall": "0x100000000"},
      {"name": "bad outcome", "args": [], "status": "0", "install": "ok,,5"},
      {"args": []}],
     [], 2, ["case 'typo': unknown key 'answer'",
             "case 'bad answer': answers must be yes or no each, not ['maybe']",
             "case 'bad answer': uninstall must be an error code, not '0x100000000'",
             "case 'bad outcome': status must be a number",
             "case 'bad outcome': install must be ok or error codes, comma-separated",
             "case 4: name is missing", "case 4: status is missing"]),
    ("a question the table did not expect fails its case, answered No",
     [{"name": "unexpected question", "args": ["/D={folder}"], "install": "2", "status": 3}],
     [], 1, ["FAIL unexpected question (win64): a question that was not expected",
             "0 passed, 1 failed"]),
    ("a run past its time limit fails and leaves nothing running",
     [{"name": "too slow", "args": ["/D={folder}"], "install": "259", "answers": ["no", "no"],
       "status": 3}],
     ["--timeout", "0.5"], 1, ["FAIL too slow (win64): still running after 0.5 s",
                               "0 passed, 1 failed"]),
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


def main():
    with tempfile.TemporaryDirectory(prefix="varnholt-kit-") as top:
        return test(top)


def test(top):
    status, output, tree = release(top)
    if not check("release made", status == 0, output):
        return 1
    kit = os.path.join(top, "kit")
    unpack(tree, "rehearsal", kit)
    unpacked = sum(os.path.getsize(os.path.join(root, name))
                   for root, _, names in os.walk(kit) for name in names)
    zipped = os.path.getsize(os.path.join(tree, ZIP.format(version(), "rehearsal")))
    print(f"kit: {zipped} bytes zipped, {unpacked} bytes unpacked")
    sums = run("sha256sum", "-c", "SHA256SUMS", cwd=kit)
    check("the kit's sums verify", sums.returncode == 0, sums.stdout + sums.stderr)

    build = run("makensis", "-WX", f"-DOUTDIR={top}", f"-DSTANDINS_x86={kit}/x86",
                f"-DSTANDINS_x64={kit}/x64", os.path.join(SOURCE, "examples", "nsis",
                                                           "driver-setup.nsi"))
    if not check("the example's test build made", build.returncode == 0, build.stdout):
        return 1
    setup = os.path.join(top, "driver-setup-rehearsal.exe")
    prefixes = os.path.join(top, "prefixes")
    os.mkdir(prefixes)

    for what, table, options, status, texts in ROWS:
        if not isinstance(table, str):
            path = os.path.join(top, "table.json")
            with open(path, "w") as f:
                json.dump({"cases": table}, f)
            table = path
        result = run("/usr/bin/python3", os.path.join(kit, "rehearse.py"), setup, table, *options,
                     env=dict(os.environ, TMPDIR=prefixes))
        output = result.stdout + result.stderr
        check(f"{what}: status {status}", result.returncode == status, output)
        for text in texts:
            check(f"{what}: says {text!r}", text in output, output)
        if status == 2:
            check(f"{what}: nothing ran", "passed" not in output, output)
        check(f"{what}: nothing left running", not leftovers(prefixes), leftovers(prefixes))

    return closing("kit")


if __name__ == "__main__":
    sys.exit(main())
