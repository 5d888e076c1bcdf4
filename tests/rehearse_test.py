#!/usr/bin/env python3
"""The rehearsal runner's check of a setup's table, which must name every error with its case
before anything runs; its copy of a kept prefix, whose user folders must lead to the new
session's home, and its refusal of a kept prefix that is not whole; and the cache's entries
(tools/deps.sh), made whole or not at all, each once. Needs no Wine. Prints one line per failed
row and 'N passed, N failed'."""
import os
import subprocess
import sys
import tempfile
import types

TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
sys.path.insert(0, TOOLS)
from rehearse import WineSession, table_errors  # noqa: E402

GOOD = {"name": "ok", "args": ["/S"], "status": 0}

# Each row: the cases of a table, and every error the runner must report for them, in order.
ROWS = [
    ([GOOD, dict(GOOD, name="all keys", run="C:\\x.exe", prepare=["/S"], winearch="win32",
                 install="ok,259,0x103,0XE0000235", uninstall="4294967295", missing=["newdev.dll"],
                 answers=["yes", "no"], present=["C:\\a"], absent=["C:\\b"],
                 machines={"C:\\v.exe": "x86"}, calls=[], timeout=0.5)], []),
    ([{"name": "typo", "args": ["/S"], "status": 0, "answer": ["yes"]}],
     ["case 'typo': unknown key 'answer'"]),
    ([{"name": "bad answer", "args": [], "status": 0, "answers": ["maybe"],
       "uninstall": "0x100000000"}],
     ["case 'bad answer': uninstall must be an error code, not '0x100000000'",
      "case 'bad answer': answers must be yes or no each, not ['maybe']"]),
    ([{"name": "bad outcome", "args": [], "status": "0", "install": "ok,,5"}],
     ["case 'bad outcome': status must be a number",
      "case 'bad outcome': install must be ok or error codes, comma-separated, not 'ok,,5'"]),
    ([{"args": []}], ["case 1: name is missing", "case 1: status is missing"]),
    ([GOOD, GOOD], ["case 'ok': a second case of that name"]),
    (["not a case"], ["case 1: not an object"]),
    ([dict(GOOD, status=True)], ["case 'ok': status must be a number"]),
    ([dict(GOOD, args=["/S", 3])], ["case 'ok': args must list strings"]),
    ([dict(GOOD, winearch="win16")], ["case 'ok': winearch must be win32 or win64, not 'win16'"]),
    ([dict(GOOD, install="-1")],
     ["case 'ok': install must be ok or error codes, comma-separated, not '-1'"]),
    ([dict(GOOD, uninstall="0x")], ["case 'ok': uninstall must be an error code, not '0x'"]),
    ([dict(GOOD, missing=["kernel32.dll"])],
     ["case 'ok': missing must be newdev.dll or DIFxAPI.dll each, not ['kernel32.dll']"]),
    ([dict(GOOD, machines={"C:\\v.exe": "arm64", "C:\\w.exe": "x64"})], []),
    ([dict(GOOD, machines={"C:\\v.exe": "ia64"})],
     ["case 'ok': machines must be x86, x64 or arm64 for each path, not {'C:\\\\v.exe': 'ia64'}"]),
    ([dict(GOOD, timeout=0)], ["case 'ok': timeout must be more than 0 seconds, not 0"]),
    ([dict(GOOD, timeout="5")], ["case 'ok': timeout must be a number"]),
]

# Each row: a link in a kept prefix and where it leads, then where its copy must lead. {old} is
# the home of the session that kept the prefix, {new} the home of the session copying it.
LINKS = [
    ("drive_c/users/u/Desktop", "{old}", "{new}"),
    ("drive_c/users/u/AppData/Templates", "{old}/Templates", "{new}/Templates"),
    ("drive_c/users/u/Music", "{old}-other/Music", "{old}-other/Music"),
    ("dosdevices/c:", "../drive_c", "../drive_c"),
    ("dosdevices/z:", "/", "/"),
    ("dosdevices/com1", "/dev/ttyS0", "/dev/ttyS0"),
]


# Each row: the files of a kept prefix, and whether the runner may copy it.
KEPT = [
    (["home", "prefix/system.reg", "prefix/user.reg"], True),
    (["prefix/system.reg", "prefix/user.reg"], False),
    (["home", "prefix/user.reg"], False),
    (["home", "prefix/system.reg"], False),
    ([], False),
]

# Each row: what the cache holds before (an entry's stamp, or None for no stamp file), what the
# maker does with its folder, and what must follow: the status, the report's words, the entry's
# file f. The key is "k"; the maker writes "new" when it runs.
MAKE = 'echo new >"$1/f"'
ENTRIES = [
    ("new entry", [], MAKE, 0, ["made"], "new"),
    ("kept entry", ["k"], MAKE, 0, ["reused"], "old"),
    ("another key's entry", ["other"], MAKE, 0, ["made"], "new"),
    ("entry without a stamp", [None], MAKE, 0, ["made"], "new"),
    ("maker fails", [], 'echo part >"$1/f"; return 3', 1, [], None),
    ("maker ends the script", [], 'echo part >"$1/f"; exit 4', 4, [], None),
    ("two runs at once", [], MAKE + "; sleep 1", 0, ["made", "reused"], "new"),
]


def entry_faults(row):
    """What went wrong with one row of ENTRIES, as text; empty when nothing did."""
    name, before, maker, status, words, content = row
    with tempfile.TemporaryDirectory() as top:
        cache, report = os.path.join(top, "cache"), os.path.join(top, "report")
        entry = os.path.join(cache, "piece", "8254c329a92850f6")  # sha256("k"), cut
        for stamp in before:
            os.makedirs(entry)
            with open(os.path.join(entry, "f"), "w") as f:
                f.write("old\n")
            if stamp is not None:
                with open(os.path.join(entry, "stamp"), "w") as f:
                    f.write(stamp)
        runs = 2 if len(words) == 2 else 1
        script = (f'umask 077; . "{TOOLS}/deps.sh"; make() {{ {maker}; }}; '
                  + " & ".join(['(cache_entry piece k make && [ "$cache_made" = "$0" ])'] * runs)
                  + "; wait")
        result = subprocess.run(["bash", "-euc", script, entry], capture_output=True, text=True,
                                env=dict(os.environ, VARNHOLT_CACHE=cache,
                                         VARNHOLT_CACHE_REPORT=report))
        faults = []
        if result.returncode != status:
            faults.append(f"status {result.returncode}, expected {status}: {result.stderr!r}")
        got = open(report).read().split() if os.path.exists(report) else []
        if sorted(got[0::2]) != words or any(e != entry for e in got[1::2]):
            faults.append(f"reported {got!r}, expected {words!r} of {entry}")
        left = sorted(os.listdir(os.path.dirname(entry))) if os.path.isdir(cache) else []
        if left != ([os.path.basename(entry)] if content else []):
            faults.append(f"left {left!r} in the cache")
        elif content:
            with open(os.path.join(entry, "f")) as f:
                if f.read() != content + "\n":
                    faults.append(f"the entry does not hold {content!r}")
            if os.stat(os.path.join(entry, "f")).st_mode & 0o044 != 0o044:
                faults.append("the entry is not readable by all")
        return "; ".join(faults)


def copied_links():
    """The rows of LINKS that a kept prefix's copy gets wrong."""
    with tempfile.TemporaryDirectory() as top:
        old, new, kept = (os.path.join(top, name) for name in ("old", "new", "kept"))
        for row in LINKS:
            link = os.path.join(kept, "prefix", row[0])
            os.makedirs(os.path.dirname(link), exist_ok=True)
            os.symlink(row[1].format(old=old), link)
        with open(os.path.join(kept, "home"), "w") as f:
            f.write(old)
        session = types.SimpleNamespace(folder=new, env={"WINEPREFIX": os.path.join(new, "p")})
        WineSession.copy_prefix(session, kept)
        return [(row, os.readlink(os.path.join(new, "p", row[0])).replace(new, "{new}"))
                for row in LINKS
                if os.readlink(os.path.join(new, "p", row[0])) != row[2].format(old=old, new=new)]


def main():
    failed = 0
    for cases, expected in ROWS:
        got = table_errors(cases)
        if got != expected:
            failed += 1
            print(f"FAIL {cases!r}\n  expected {expected!r}\n  got      {got!r}")
    wrong = copied_links()
    for (name, _, expected), got in wrong:
        print(f"FAIL the copy of {name}\n  expected {expected!r}\n  got      {got!r}")
    failed += len(wrong)
    for files, whole in KEPT:
        with tempfile.TemporaryDirectory() as kept:
            for name in files:
                os.makedirs(os.path.dirname(os.path.join(kept, name)), exist_ok=True)
                open(os.path.join(kept, name), "w").close()
            if WineSession.whole(kept) != whole:
                failed += 1
                print(f"FAIL a kept prefix of {files!r} taken for {'not ' * whole}whole")
    for row in ENTRIES:
        fault = entry_faults(row)
        if fault:
            failed += 1
            print(f"FAIL cache, {row[0]}: {fault}")
    rows = len(ROWS) + len(LINKS) + len(KEPT) + len(ENTRIES)
    print(f"table check: {rows - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
