#!/usr/bin/env python3
"""The rehearsal runner's check of a setup's table, which must name every error with its case
before anything runs; its displays, one of its own for each session, even beside a server it
did not start; its copy of a kept prefix, whose user folders must lead to the new session's
home, and its refusal of a kept prefix not stamped for its kind; the cache's entries (kit/deps.sh
through kit/rehearsal/cache.py), made whole or not at all, each once; the driver store the
stand-ins keep, as the runner reads it; and the starts of Varnholt it must refuse. Needs no Wine,
but Xvfb. Prints one line per failed row and 'N passed, N failed'."""
import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import types
import xml.etree.ElementTree as ET

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
KIT = os.path.join(SOURCE, "kit")
sys.path.insert(0, KIT)
from rehearsal import cache, desktop, prefix, processes, report, store  # noqa: E402
from rehearsal.checks import hidden_questions, relative_infs  # noqa: E402
from rehearsal.run import said  # noqa: E402
from rehearsal.table import table_errors  # noqa: E402

GOOD = {"name": "ok", "args": ["/S"], "status": 0}

# Each row: the cases of a table, and every error the runner must report for them, in order.
ROWS = [
    ([GOOD, dict(GOOD, name="all keys", run="C:\\x.exe", prepare=["/S"], winearch="win32",
                 install="ok,259,0x103,0XE0000235", uninstall="4294967295", missing=["newdev.dll"],
                 answers=["yes", "no"], present=["C:\\a"], absent=["C:\\b"],
                 machines={"C:\\v.exe": "x86"}, calls=[], timeout=0.5, relative_inf=True,
                 cleanup=["/x", "{setup}"], setup="x86.msi")], []),
    ([dict(GOOD, relative_inf="yes", cleanup=["/x", 1])],
     ["case 'ok': relative_inf must be true or false", "case 'ok': cleanup must list strings"]),
    ([dict(GOOD, relative_inf=1)], ["case 'ok': relative_inf must be true or false"]),
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
    ([dict(GOOD, install="4294967295,0x0FFFFFFFF,ok", uninstall="007")], []),
    ([dict(GOOD, uninstall="4294967296")],
     ["case 'ok': uninstall must be an error code, not '4294967296'"]),
    ([dict(GOOD, missing=["kernel32.dll"])],
     ["case 'ok': missing must be newdev.dll or DIFxAPI.dll each, not ['kernel32.dll']"]),
    ([dict(GOOD, machines={"C:\\v.exe": "arm64", "C:\\w.exe": "x64"})], []),
    ([dict(GOOD, machines={"C:\\v.exe": "ia64"})],
     ["case 'ok': machines must be x86, x64 or arm64 for each path, not {'C:\\\\v.exe': 'ia64'}"]),
    ([dict(GOOD, timeout=0)], ["case 'ok': timeout must be more than 0 seconds, not 0"]),
    ([dict(GOOD, timeout="5")], ["case 'ok': timeout must be a number"]),
    ([dict(GOOD, before=[{"args": ["/S"], "status": 0, "setup": "v2.exe", "answers": ["yes"],
                          "run": "C:\\u.exe", "install": "ok", "uninstall": "5"}],
           store=["demo.inf 2.0.0.0", "DEMO.INF 1", "a b.inf 1.2.3"])], []),
    ([dict(GOOD, store=[])], []),
    ([dict(GOOD, after=[{"args": ["/x"], "status": 0, "setup": "v2.msi"},
                        {"run": "C:\\windows\\system32\\reg.exe", "args": [], "status": 0}])], []),
    ([dict(GOOD, after={"args": []}), dict(GOOD, name="b", after=[{"args": ["/x"]}, "x",
                                                                  {"args": [], "status": 0,
                                                                   "store": []}])],
     ["case 'ok': after must be a list", "case 'b': after run 1: status is missing",
      "case 'b': after run 2: not an object", "case 'b': after run 3: unknown key 'store'"]),
    ([dict(GOOD, store=["demo.inf"], before={"args": []})],
     ["case 'ok': before must be a list",
      "case 'ok': store must be packages each written \"NAME.inf VERSION\", as "
      "\"demo.inf 1.0.0.0\", not ['demo.inf']"]),
    ([dict(GOOD, store=["demo.inf 1.0.0.0.0"]), dict(GOOD, name="b", store=["oem3.inf v1"]),
      dict(GOOD, name="c", store=["C:\\demo.inf 1"]), dict(GOOD, name="d", store=[1])],
     ["case 'ok': store must be packages each written \"NAME.inf VERSION\", as "
      "\"demo.inf 1.0.0.0\", not ['demo.inf 1.0.0.0.0']",
      "case 'b': store must be packages each written \"NAME.inf VERSION\", as "
      "\"demo.inf 1.0.0.0\", not ['oem3.inf v1']",
      "case 'c': store must be packages each written \"NAME.inf VERSION\", as "
      "\"demo.inf 1.0.0.0\", not ['C:\\\\demo.inf 1']",
      "case 'd': store must list strings"]),
    ([dict(GOOD, before=[{"args": ["/S"]}, "x", {"args": [], "status": 0,
                                                 "missing": ["newdev.dll"], "answers": ["maybe"]},
                         {"args": [1], "status": "0", "setup": 3}])],
     ["case 'ok': before run 1: status is missing", "case 'ok': before run 2: not an object",
      "case 'ok': before run 3: unknown key 'missing'",
      "case 'ok': before run 3: answers must be yes or no each, not ['maybe']",
      "case 'ok': before run 4: args must list strings",
      "case 'ok': before run 4: status must be a number",
      "case 'ok': before run 4: setup must be a string"]),
]

# Each row: the starts of Varnholt the stand-ins noted in a case, and the problems the runner
# must report: a prompted install started hidden (show state 0) fails, whatever else is hidden.
HIDDEN = "on Windows its questions would not show, and the setup would wait for ever"
STARTS = [
    (['start show=0 option="-i" command="v -i a.inf"',
      'start show=0 option="-u" command="v -u a.inf"',
      'start show=0 option="-f" command="v -f a.inf"',
      'start show=1 option="-o" command="v -o a.inf"',
      'start show=default option="-iis" command="v -iis a.inf"',
      'start show=7 option="-o" command="v -o a.inf"'], []),
    (['start show=0 option="-o" command="\\"C:\\\\v.exe\\" -o a.inf"'],
     [f"Varnholt was started hidden (SW_HIDE) with -o: {HIDDEN}"]),
    (['start show=default option="-i" command="v -i a.inf"',
      'start show=0 option="-IIS" command="v -IIS a.inf"'],
     [f"Varnholt was started hidden (SW_HIDE) with -IIS: {HIDDEN}"]),
    (['start show=0 option="" command="v"', 'start show=0 option="-o\\"" command="v"'], []),
]

# Each row: the files of a prefix's Windows folder (path: content, ANSI or UTF-16 bytes), and
# what the runner must read of its driver store, or the start of the error it must report.
DEMO = b"[Version]\r\nCatalogFile=demo.cat\r\nDriverVer = 12/08/2026,1.0.0.0 ; first\r\n"
DEMO2 = DEMO.replace(b"1.0.0.0", b"2.0.0.0")
ENTRY = "system32/DriverStore/FileRepository/demo.inf_amd64_0123456789abcdef"
STORES = [
    ({}, []),
    ({f"{ENTRY}/demo.inf": DEMO, "inf/oem0.inf": DEMO}, ["demo.inf 1.0.0.0"]),
    ({f"{ENTRY}/DEMO.INF": DEMO, f"{ENTRY[:-1]}0/demo.inf": DEMO2, "inf/oem7.inf": DEMO,
      "INF/oem3.inf": DEMO2}, ["demo.inf 1.0.0.0", "demo.inf 2.0.0.0"]),
    ({"system32/driverstore/filerepository/x.inf_arm64_0123456789abcdef/x.inf":
      "\ufeff[version]\r\ndriverver=1/1/2026,3.1\r\n".encode("utf-16-le"),
      "inf/oem1.inf": b"x", "inf/other.inf": b"x"},
     ["oem1.inf (published, of no package)", "x.inf 3.1"]),
    ({f"{ENTRY}/demo.inf": b"[Version]\r\nCatalogFile=demo.cat\r\n", "inf/oem0.inf": b""},
     ["demo.inf without a DriverVer", "oem0.inf (published, of no package)"]),
    ({f"{ENTRY}/other.inf": DEMO}, "demo.inf_amd64_0123456789abcdef in the store is not a package"),
    ({"system32/DriverStore/FileRepository/notes.txt": b""}, "notes.txt in the store is not"),
    ({f"{ENTRY}/demo.inf": b"\xff\xfe[\x00V"}, "the store cannot be read"),
]

# Each row: a logged call, and the problem the runner must report for its INF path, if any. The
# log escapes backslashes and quotes.
INF_PATHS = [
    ('DiInstallDriverW parent=NULL inf="C:\\\\cases\\\\1\\\\demo.inf" flags=0x00000000 reboot=NULL',
     None),
    ('DriverPackageUninstallW inf="\\\\\\\\server\\\\share\\\\demo.inf" flags=0x00000000 '
     'installer=NULL reboot=FALSE', None),
    ('DiInstallDriverW parent=NULL inf="demo.inf" flags=0x00000000 reboot=NULL', "DiInstallDriverW"
     ' was given the INF path "demo.inf", which is not fully qualified'),
    ('DriverPackageUninstallW inf="C:demo.inf" flags=0x00000000 installer=NULL reboot=FALSE',
     'DriverPackageUninstallW was given the INF path "C:demo.inf", which is not fully qualified'),
    ('DiInstallDriverW parent=NULL inf="\\\\pkg\\\\a \\"b\\".inf" flags=0x00000000 reboot=NULL',
     'DiInstallDriverW was given the INF path "\\pkg\\a "b".inf", which is not fully qualified'),
    ('DiInstallDriverW parent=NULL inf="..\\\\C:\\\\demo.inf" flags=0x00000000 reboot=NULL',
     'DiInstallDriverW was given the INF path "..\\C:\\demo.inf", which is not fully qualified'),
]

# Each row: what a failed run printed on stdout and stderr, Wine's own lines, and the note the
# runner must give of it.
SAID = [
    (b"", "", [], "printed nothing"),
    (b"", "wine client error:2c: write: Bad file descriptor\n", ["0024:err:msi:ITERATE_Actions x"],
     "said: wine client error:2c: write: Bad file descriptor | 0024:err:msi:ITERATE_Actions x"),
    (b"one\r\n\r\ntwo\r\nthree\r\nfour\r\nfive\r\n", "  \n", [],
     "said: two | three | four | five"),
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


# Each row: a file of a newly made prefix, its bytes, and whether a kept prefix holds it: not
# when Wine holds the same file (WINE_OWN), which the kept prefix's copy takes from Wine.
WINE_OWN = {"usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll": b"K64",
            "usr/lib/x86_64-linux-gnu/wine/x86_64-windows/user32.dll": b"u64",
            "usr/lib/x86_64-linux-gnu/wine/x86_64-windows/comctl32.dll": b"C64",
            "usr/lib/x86_64-linux-gnu/wine/x86_64-windows/gdi32.dll": b"G64",
            "usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll": b"K32"}
PREFIX_FILES = [
    ("drive_c/windows/system32/kernel32.dll", b"K64", False),
    ("drive_c/windows/syswow64/kernel32.dll", b"K32", False),
    ("drive_c/windows/winsxs/amd64_common-controls/comctl32.dll", b"C64", False),
    ("drive_c/windows/system32/user32.dll", b"U64", True),
    ("drive_c/windows/system32/gdi32.dll", b"G64 of a setup", True),
    ("drive_c/users/u/kernel32.txt", b"K64", True),
    ("system.reg", b"WINE REGISTRY Version 2", True),
]


# Each row: the stamp of a kept prefix's entry (None: no stamp file), and whether the runner may
# copy it for KIND; an entry it may not copy is set aside, leaving nothing behind.
KIND = "host win64 wine-8.0 0 recipe 3"
KEPT = [
    (KIND, True),
    (None, False),
    ("host win64 wine-8.0 0 recipe 2", False),
    (KIND + "\n", False),
    ("", False),
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


# Each row: what happens in a run of cases a, b and c (finish: its problems and Wine's lines;
# close: why the run ended early, or None), what it prints, and each test case in the report:
# passed, or the failure's or error's text, and the case's system-err.
ENDED = "the runner was ended from outside"
REPORTS = [
    ([("start", "a"), ("finish", [], []), ("start", "b"),
      ("finish", ["status 1, expected 0", "calls []"], ["0024:err:x \x01 <&>"]),
      ("start", "c"), ("finish", [], ["wine: a line of a case that passed"]), ("close", None)],
     "FAIL b (win64): status 1, expected 0; calls []\n2 passed, 1 failed\n",
     [("a", "passed", None), ("b", "failure: FAIL b (win64): status 1, expected 0; calls []",
                              "0024:err:x \ufffd <&>\n"),
      ("c", "passed", "wine: a line of a case that passed\n")]),
    ([("start", "a"), ("finish", [], []), ("start", "b"), ("close", ENDED)], "",
     [("a", "passed", None), ("b", f"error: ended while running: {ENDED}", None),
      ("c", f"error: not run: {ENDED}", None)]),
    ([("start", "a"), ("finish", [], [])], "",
     [("a", "passed", None), ("b", "error: not run: the run ended before it", None),
      ("c", "error: not run: the run ended before it", None)]),
    ([], "", [(n, "error: not run: the run ended before it", None) for n in "abc"]),
]


def report_faults(events, printed, expected):
    """What differs from a row of REPORTS in the report written, as text."""
    with tempfile.TemporaryDirectory() as top:
        path = os.path.join(top, "report.xml")
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            r = report.Report("tables/t.json", [{"name": n} for n in "abc"], path)
            for event, *args in events:
                getattr(r, event)(*(["win64"] if event == "finish" else []), *args)
        try:
            root = ET.parse(path).getroot()
        except (ET.ParseError, OSError) as error:
            return f"no report to read ({error})"
        got = []
        for case in root.iter("testcase"):
            outcome = next((f"{e.tag}: {e.text}" for e in case if e.tag != "system-err"), "passed")
            err = case.find("system-err")
            got.append((case.get("name"), outcome, None if err is None else err.text))
        suite = root.find("testsuite")
        counts = [suite.get(k) for k in ("name", "tests", "failures", "errors")]
        want = ["tables/t", "3", str(sum(o.startswith("failure") for _, o, _ in expected)),
                str(sum(o.startswith("error") for _, o, _ in expected))]
        faults = [f"printed {out.getvalue()!r}"] if out.getvalue() != printed else []
        faults += [f"cases {got!r}"] if got != expected else []
        faults += [f"counts {counts!r}, expected {want!r}"] if counts != want else []
        return "; ".join(faults)


# Each row: the runner's arguments after the setup ({top}: a folder of the test's own, holding
# table.json, a good table), what it must print, and its status; none of them starts Wine.
COMMANDS = [
    (["{top}/other.json"], "{top}/other.json: case 'x86': setup {top}/none.msi: no such file\n"
     "{top}/other.json: case 'v2': setup {top}/v2.exe: no such file\n"
     "{top}/other.json: case 'undo': setup {top}/undo.exe: no such file\n", 2),
    (["{top}/table.json", "--junit", "{top}/no folder/r.xml"],
     "{top}/no folder/r.xml: the report cannot be written (No such file or directory)\n", 2),
    (["{top}/none.json", "--junit", "{top}/r.xml"], "{top}/none.json: not a table of cases "
     "([Errno 2] No such file or directory: '{top}/none.json')\n", 2),
]


# Each row: what is checked, what the runner's process does as the first process of a PID
# namespace, as a container's is, once it has forked to reap orphans; what it prints and its
# status.
AS_INIT = [
    ("a process left by a child that ended, reparented to the first process, is reaped",
     'orphan = int(subprocess.run(["sh", "-c", "sleep 0.1 >/dev/null & echo $!"],'
     ' capture_output=True, text=True).stdout)\n'
     'for _ in range(300):\n'
     '    try:\n'
     '        state = open(f"/proc/{orphan}/stat").read().rsplit(")", 1)[1].split()[0]\n'
     '    except FileNotFoundError:\n'
     '        print("reaped")\n'
     '        sys.exit(7)\n'
     '    time.sleep(0.1)\n'
     'print("a zombie" if state == "Z" else state)\n'
     'sys.exit(7)', "reaped\n", 7),
    ("the engine's ending signal, sent to the first process, ends the run",
     "os.kill(1, signal.SIGTERM)\ntime.sleep(60)\nprint('not ended')", "", 143),
]
INIT_START = ("import os, signal, subprocess, sys, time\nsys.path.insert(0, {kit!r})\n"
              "from rehearsal.cli import reap_orphans\nreap_orphans()\n")


def as_init_faults(code, printed, status):
    result = subprocess.run(["unshare", "--pid", "--fork", "--mount-proc", "/usr/bin/python3",
                             "-c", INIT_START.format(kit=KIT) + code],
                            capture_output=True, text=True, timeout=90)
    faults = [f"status {result.returncode}"] if result.returncode != status else []
    if result.stdout + result.stderr != printed:
        faults.append(f"printed {result.stdout + result.stderr!r}")
    return "; ".join(faults)


# Each row: what each first start of a prefix does (a stand-in for Wine's, that hangs, leaving a
# process of the prefix behind, or ends), what the runner says on stderr ({loader}: the
# stand-in), and whether the prefix is made; nothing of the prefix may be left running.
FIRST_STARTS = [
    (["ends"], "", True),
    (["hangs", "ends"], "note: the win64 prefix's first start hung (sh {loader} wineboot -i ran "
     "past its bound of 1 s; its server gone, left running: sleep 60); it is made again\n", True),
    (["hangs", "hangs"], "note: the win64 prefix's first start hung (sh {loader} wineboot -i ran "
     "past its bound of 1 s; its server gone, left running: sleep 60); it is made again\n"
     "note: the win64 prefix's first start hung (sh {loader} wineboot -i ran past its bound of "
     "1 s; its server gone, left running: sleep 60)\n", False),
]
FIRST_START = """n=$(cat "$WINEPREFIX/../count" 2>/dev/null || echo 0)
echo $((n + 1)) >"$WINEPREFIX/../count"
if [ "$(sed -n "$((n + 1))p" "$WINEPREFIX/../plan")" = hangs ]; then
    sleep 60 >/dev/null 2>&1 &
    exec sleep 60
fi
touch "$WINEPREFIX/system.reg"
"""


class StandInWine:
    """The little of a Wine that making a prefix uses, with a stand-in for its first start."""
    winearch = "win64"

    def __init__(self, folder):
        self.folder = folder
        self.env = {"WINEPREFIX": os.path.join(folder, "prefix"), "PATH": os.environ["PATH"]}

    def quiet(self, *command, timeout=120, check=True):
        subprocess.run(command, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=timeout, check=check)

    def tool(self, path):
        return ["true"]

    def kill(self):
        pass

    def wait_ended(self):
        pass


def first_start_faults(plan, said, made):
    with tempfile.TemporaryDirectory() as top:
        loader = os.path.join(top, "first-start.sh")
        with open(loader, "w") as f:
            f.write(FIRST_START)
        with open(os.path.join(top, "plan"), "w") as f:
            f.write("\n".join(plan) + "\n")
        wine, bound, stderr = StandInWine(top), prefix.MAKE_BOUND, io.StringIO()
        prefix.MAKE_BOUND = 1
        try:
            with contextlib.redirect_stderr(stderr):
                prefix.make(wine, ["sh", loader])
            outcome = True
        except subprocess.TimeoutExpired:
            outcome = False
        finally:
            prefix.MAKE_BOUND = bound
        faults = [] if outcome == made else ["made" if outcome else "not made"]
        if stderr.getvalue() != said.format(loader=loader):
            faults.append(f"said {stderr.getvalue()!r}")
        if made and not os.path.exists(os.path.join(top, "prefix", "system.reg")):
            faults.append("the prefix is not there")
        left = processes.processes(wine)
        for pid in left:
            os.kill(pid, signal.SIGKILL)
        return "; ".join(faults + ([f"left running: {sorted(left.values())}"] if left else []))


def schema_faults():
    """The tables on which the table's JSON Schema and the runner's check disagree: every row of
    ROWS, the NSIS example's table and the kit test's tables."""
    import jsonschema
    from kit_test import ARM64_CASES, CASES, EXAMPLE
    with open(os.path.join(SOURCE, "kit", "cases.schema.json")) as f:
        schema = jsonschema.Draft202012Validator(json.load(f))
    tables = []
    for family in (EXAMPLE, *(os.path.join(SOURCE, "examples", f, "cases.json")
                              for f in ("msi", "inno"))):
        with open(family) as f:
            tables.append((json.load(f), []))
    tables += [({"cases": [c for c, _ in t]}, []) for t in (CASES, ARM64_CASES)]
    tables += [({"cases": cases}, errors) for cases, errors in ROWS]
    return [(table, errors) for table, errors in tables
            if bool(list(schema.iter_errors(table))) != bool(errors) or
            bool(table_errors(table["cases"])) != bool(errors)]


def command_faults(args, printed, status):
    with tempfile.TemporaryDirectory() as top:
        with open(os.path.join(top, "table.json"), "w") as f:
            f.write('{"cases": [{"name": "ok", "args": [], "status": 0}]}')
        with open(os.path.join(top, "other.json"), "w") as f:
            f.write('{"cases": [{"name": "x86", "args": [], "status": 0, "setup": "none.msi"}, '
                    '{"name": "v2", "args": [], "status": 0, "before": [{"args": [], "status": 0},'
                    ' {"setup": "v2.exe", "args": [], "status": 0}]}, {"name": "undo", "args": [], '
                    '"status": 0, "after": [{"setup": "undo.exe", "args": [], "status": 0}]}]}')
        result = subprocess.run(["/usr/bin/python3", os.path.join(KIT, "rehearse.py"),
                                 os.path.join(top, "table.json"),
                                 *(a.format(top=top) for a in args)],
                                capture_output=True, text=True, timeout=60)
        faults = [f"status {result.returncode}"] if result.returncode != status else []
        if result.stdout + result.stderr != printed.format(top=top):
            faults.append(f"printed {result.stdout + result.stderr!r}")
        if os.path.exists(os.path.join(top, "r.xml")):
            faults.append("a report was written")
        return "; ".join(faults)


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
        script = (f'umask 077; . "{KIT}/deps.sh"; make() {{ {maker}; }}; '
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


def display_faults():
    """What is wrong with the displays of two sessions started while a server the runner did not
    start has a display of its own: each must get a number of its own, and all three run on."""
    def socket(number):
        return f"/tmp/.X11-unix/X{number}"

    taken = next(n for n in range(100) if not os.path.lexists(socket(n)))
    other = subprocess.Popen(["Xvfb", f":{taken}", "-nolisten", "tcp", "-nolisten", "local"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    displays = [desktop.Display(), desktop.Display()]
    try:
        desktop.wait_for(lambda: os.path.lexists(socket(taken)), 30)
        for display in displays:
            display.start()
        numbers = [taken] + [int(d.name[1:]) for d in displays]
        time.sleep(1)
        faults = [f"two displays numbered :{n}" for n in set(numbers) if numbers.count(n) > 1]
        faults += [f"the server of :{n} ended" for n, server in
                   zip(numbers, [other] + [d.xvfb for d in displays]) if server.poll() is not None]
        return faults
    finally:
        other.terminate()
        other.wait(timeout=30)
        for display in displays:
            display.close()


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
        open(os.path.join(kept, prefix.FROM_WINE), "w").close()
        prefix.copy(kept, os.path.join(new, "p"), new, "/")
        return [(row, os.readlink(os.path.join(new, "p", row[0])).replace(new, "{new}"))
                for row in LINKS
                if os.readlink(os.path.join(new, "p", row[0])) != row[2].format(old=old, new=new)]


def kept_files_faults():
    """What a prefix kept without Wine's own files, then copied, gets wrong of PREFIX_FILES."""
    faults = []
    with tempfile.TemporaryDirectory() as top:
        root, made, kept, new = (os.path.join(top, name) for name in ("root", "made", "k", "new"))
        for folder, files in ((root, WINE_OWN.items()), (made, [r[:2] for r in PREFIX_FILES])):
            for path, content in files:
                os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
                with open(os.path.join(folder, path), "wb") as f:
                    f.write(content)
        with quiet_cache():
            prefix.keep(made, top, kept, KIND, root)
            entry = cache.find(kept, KIND)
        if not entry:
            return ["the prefix was not kept"]
        prefix.copy(entry, new, top, root)
        for path, content, held in PREFIX_FILES:
            if os.path.exists(os.path.join(entry, "prefix", path)) != held:
                faults.append(f"{path} {'not ' if held else ''}held by the kept prefix")
            with open(os.path.join(new, path), "rb") as f:
                if f.read() != content:
                    faults.append(f"{path} copied wrong")
    return faults


@contextlib.contextmanager
def quiet_cache():
    """The cache's uses, left out of the account of tools/check.sh, which may be running this
    test."""
    report = os.environ.pop(cache.CACHE_REPORT, None)
    try:
        with contextlib.redirect_stderr(io.StringIO()):
            yield
    finally:
        if report is not None:
            os.environ[cache.CACHE_REPORT] = report


def store_faults(files, expected):
    """What differs from a row of STORES in what the runner reads of the store, and whether
    emptying it leaves none."""
    with tempfile.TemporaryDirectory() as top:
        windows = os.path.join(top, "drive_c", "windows")
        for path, content in files.items():
            os.makedirs(os.path.dirname(os.path.join(windows, path)), exist_ok=True)
            with open(os.path.join(windows, path), "wb") as f:
                f.write(content)
        try:
            got = store.read(top)
        except store.StoreError as error:
            got = str(error)
        if isinstance(expected, str) and not (isinstance(got, str) and got.startswith(expected)):
            return f"read {got!r}"
        if isinstance(expected, list) and got != expected:
            return f"read {got!r}"
        store.empty(top)
        left = store.read(top)
        return f"emptied, it holds {left!r}" if left else ""


def faulty(rows, function, title):
    """How many rows the function finds a fault in, each printed under the title, which takes
    the row's first field."""
    failed = 0
    for row in rows:
        fault = function(*row)
        if fault:
            failed += 1
            print(f"FAIL {title.format(row[0])}: {fault}")
    return failed


def mismatches(rows, function, title):
    """How many rows of (input, expected) the function gets wrong, each printed."""
    failed = 0
    for given, expected in rows:
        got = function(given)
        if got != expected:
            failed += 1
            print(f"FAIL {title}{given!r}\n  expected {expected!r}\n  got      {got!r}")
    return failed


def main():
    failed = mismatches(ROWS, table_errors, "")
    for call, expected in INF_PATHS:
        got = relative_infs(False, types.SimpleNamespace(calls=[call]))
        if [p[:len(expected)] for p in got] != ([expected] if expected else []):
            failed += 1
            print(f"FAIL the INF path of {call!r}\n  expected {expected!r}\n  got      {got!r}")
    for stdout, stderr, wine, expected in SAID:
        got = said({"stdout": stdout, "stderr": stderr, "wine_errors": wine})
        if got != expected:
            failed += 1
            print(f"FAIL what {stdout!r} {stderr!r} {wine!r} said\n  expected {expected!r}\n"
                  f"  got      {got!r}")
    failed += mismatches(STARTS, hidden_questions, "the starts ")
    for files, expected in STORES:
        fault = store_faults(files, expected)
        if fault:
            failed += 1
            print(f"FAIL the store of {sorted(files)!r}: {fault}")
    wrong = copied_links()
    for (name, _, expected), got in wrong:
        print(f"FAIL the copy of {name}\n  expected {expected!r}\n  got      {got!r}")
    failed += len(wrong)
    faults = kept_files_faults()
    for fault in faults:
        print(f"FAIL a prefix kept without Wine's own files: {fault}")
    failed += len(faults)
    for stamp, whole in KEPT:
        with tempfile.TemporaryDirectory() as top:
            entry = cache.entry_of(top, KIND)
            os.makedirs(os.path.join(entry, "prefix"))
            if stamp is not None:
                with open(os.path.join(entry, "stamp"), "w") as f:
                    f.write(stamp)
            with quiet_cache():
                found = cache.find(top, KIND)
            left = sorted(os.listdir(top))
            if found != (entry if whole else None) or left != [os.path.basename(entry)] * whole:
                failed += 1
                print(f"FAIL a kept prefix stamped {stamp!r}: found {found!r}, left {left!r}")
    failed += faulty(ENTRIES, lambda *row: entry_faults(row), "cache, {}")
    failed += faulty(REPORTS, report_faults, "report of {!r}")
    failed += faulty(COMMANDS, command_faults, "the runner with {!r}")
    failed += faulty(AS_INIT, lambda _, *row: as_init_faults(*row),
                     "the runner as a container's first process: {}")
    failed += faulty(FIRST_STARTS, first_start_faults, "a prefix whose first starts {!r}")
    displays = display_faults()
    for fault in displays:
        print(f"FAIL displays: {fault}")
    failed += len(displays)
    disagreements = schema_faults()
    for table, errors in disagreements:
        print(f"FAIL the schema and the runner disagree on {table!r} (the runner: {errors!r})")
    failed += len(disagreements)
    rows = len(ROWS) + len(INF_PATHS) + len(SAID) + len(LINKS) + len(KEPT) + len(ENTRIES)
    rows += len(PREFIX_FILES)
    rows += len(STARTS) + len(STORES)
    rows += len(REPORTS) + len(COMMANDS) + len(AS_INIT) + len(FIRST_STARTS)
    rows += len(ROWS) + 5  # the tables the schema is held to
    rows += 3  # the three displays
    print(f"table check: {rows - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
