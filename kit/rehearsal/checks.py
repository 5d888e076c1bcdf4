"""What a case checks once its last run ended: one row per key of the table's cases, each a
function of the key's value and of what the runs left, returning the problems found."""
import os
import re
from collections import Counter

from . import staging, store
from .files import machine

# A logged call's INF path, backslashes escaped; a full one starts with a drive or a UNC server.
INF = re.compile(r'^(\w+) .*?inf="((?:[^"\\]|\\.)*)"')
FULL = re.compile(r"[A-Za-z]:\\\\|\\\\\\\\")
# How the stand-ins note each start of Varnholt.
START = re.compile(r'^start show=(\w+) option="((?:[^"\\]|\\.)*)"')
SW_HIDE = "0"


def unescaped(text):
    """A text as the stand-ins' logs quote it, backslash escapes undone."""
    return re.sub(r"\\(.)", r"\1", text)


class After:
    """What a case's runs left: the session's prefix, the calls its last run logged, and the
    case's folder, {folder} in its paths."""

    def __init__(self, session, calls, fill):
        self.session, self.calls, self.fill = session, calls, fill

    def drive_c(self, path):
        return staging.drive_c(self.session, self.fill(path))


def present(paths, after):
    return [f"{after.fill(p)} is missing" for p in paths if not os.path.exists(after.drive_c(p))]


def absent(paths, after):
    return [f"{after.fill(p)} was left" for p in paths if os.path.exists(after.drive_c(p))]


def machines(images, after):
    return [f"{after.fill(path)} is not an {want} image" for path, want in images.items()
            if not os.path.isfile(after.drive_c(path)) or machine(after.drive_c(path)) != want]


def calls(expected, after):
    # The log escapes backslashes, so {folder} stands there for the escaped path.
    escaped = after.fill("{folder}").replace("\\", "\\\\")
    return [] if after.calls == [c.replace("{folder}", escaped) for c in expected] else \
        [f"calls {after.calls!r}"]


def relative_infs(meant, after):
    """Problems for the calls given an INF path that is not fully qualified: Windows' calls
    take only a full path, though Wine and the stand-ins accept a relative one."""
    problems = []
    for found in filter(None, map(INF.match, after.calls if not meant else [])):
        function, path = found[1], unescaped(found[2])
        if not FULL.match(found[2]):
            problems.append(f'{function} was given the INF path "{path}", which is not fully '
                            'qualified: Windows takes only a full path (a case that means it '
                            'says "relative_inf": true)')
    return problems


def packages(expected, after):
    """The store must hold exactly the packages listed, by INF name and version."""
    try:
        there = store.read(after.session.env["WINEPREFIX"])
    except store.StoreError as error:
        return [f"store: {error}"]
    want, have = Counter(e.lower() for e in expected), Counter(e.lower() for e in there)
    if want == have:
        return []
    missing, extra = list((want - have).elements()), list((have - want).elements())
    return [f"store holds {there!r}, expected {list(expected)!r}" +
            (f"; not there: {', '.join(missing)}" if missing else "") +
            (f"; not expected: {', '.join(extra)}" if extra else "")]


def hidden_questions(starts):
    """Problems for the starts of Varnholt that asked for SW_HIDE with -o or -iis: Windows gives
    that state to the program's first window, its question, which then never shows."""
    problems = []
    for found in filter(None, map(START.match, starts)):
        option = unescaped(found[2])
        if found[1] == SW_HIDE and option.lower() in ("-o", "-iis"):
            problems.append(f"Varnholt was started hidden (SW_HIDE) with {option}: on Windows "
                            "its questions would not show, and the setup would wait for ever")
    return problems


# Each key a case may check after its last run, its function, and the value it has when the case
# does not give one (None: not checked).
CHECKS = {
    "present": (present, None),
    "absent": (absent, None),
    "machines": (machines, None),
    "calls": (calls, None),
    "relative_inf": (relative_infs, False),
    "store": (packages, None),
}


def check(case, after):
    """Every problem the case's checks find."""
    problems = []
    for key, (function, default) in CHECKS.items():
        value = case.get(key, default)
        if value is not None:
            problems += function(value, after)
    return problems
