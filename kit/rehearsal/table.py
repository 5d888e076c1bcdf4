"""The table of a setup's cases, and its check: every error, each naming its case, found before
anything runs."""
import json
import re

from .files import MACHINES
from .store import ENTRY

CASE_KEYS = {
    "name": str, "args": list, "run": str, "prepare": list, "winearch": str,
    "install": str, "uninstall": str, "missing": list, "answers": list, "status": int,
    "present": list, "absent": list, "machines": dict, "calls": list, "timeout": (int, float),
    "relative_inf": bool, "cleanup": list, "setup": str, "before": list, "store": list,
    "after": list,
}
# The keys of a run before or after a case's own, and those it must have.
RUN_KEYS = ("setup", "run", "args", "status", "install", "uninstall", "answers")
RUN_NEEDS = ("args", "status")
KINDS = {str: "a string", list: "a list", int: "a number", dict: "an object",
         (int, float): "a number", bool: "true or false"}


def is_code(text):
    """A code as the stand-ins take it: decimal or 0x-hex, 0 to 0xFFFFFFFF."""
    hexadecimal = text[:2] in ("0x", "0X")
    digits = text[2:] if hexadecimal else text
    valid = re.fullmatch("[0-9a-fA-F]+" if hexadecimal else "[0-9]+", digits)
    return bool(valid) and int(digits, 16 if hexadecimal else 10) <= 0xFFFFFFFF


# Each key whose value must also be valid: the test, and what it must be.
VALID = {
    "winearch": (lambda v: v in ("win32", "win64"), "win32 or win64"),
    "install": (lambda v: all(i == "ok" or is_code(i) for i in v.split(",")),
                "ok or error codes, comma-separated"),
    "uninstall": (is_code, "an error code"),
    "answers": (lambda v: all(a in ("yes", "no") for a in v), "yes or no each"),
    "missing": (lambda v: all(d in ("newdev.dll", "DIFxAPI.dll") for d in v),
                "newdev.dll or DIFxAPI.dll each"),
    "machines": (lambda v: all(m in MACHINES.values() for m in v.values()),
                 "x86, x64 or arm64 for each path"),
    "timeout": (lambda v: v > 0, "more than 0 seconds"),
    "store": (lambda v: all(ENTRY.match(e) for e in v),
              'packages each written "NAME.inf VERSION", as "demo.inf 1.0.0.0"'),
}


def object_errors(title, item, keys, needs):
    """The errors of a case, or of a run before or after it: of its keys, their values and
    those it needs."""
    errors = []
    for key, value in item.items():
        if key not in keys:
            errors.append(f"{title}: unknown key {key!r}")
        elif not isinstance(value, CASE_KEYS[key]) or (
                isinstance(value, bool) and CASE_KEYS[key] is not bool):
            errors.append(f"{title}: {key} must be {KINDS[CASE_KEYS[key]]}")
        elif key in ("before", "after"):
            for n, run in enumerate(value, 1):
                errors += [f"{title}: {key} run {n}: not an object"] if not isinstance(
                    run, dict) else object_errors(f"{title}: {key} run {n}", run, RUN_KEYS,
                                                  RUN_NEEDS)
        elif isinstance(value, list) and not all(isinstance(v, str) for v in value):
            errors.append(f"{title}: {key} must list strings")
    errors += [f"{title}: {key} is missing" for key in needs if key not in item]
    for key, (valid, what) in VALID.items():
        value = item.get(key)
        if key in keys and isinstance(value, CASE_KEYS[key]) and \
                (not isinstance(value, list) or all(isinstance(v, str) for v in value)) and \
                not valid(value):
            errors.append(f"{title}: {key} must be {what}, not {value!r}")
    return errors


def table_errors(cases):
    """Every error of the table, each naming its case."""
    errors, names = [], set()
    for index, case in enumerate(cases):
        name = case.get("name") if isinstance(case, dict) else None
        title = f"case {name!r}" if isinstance(name, str) else f"case {index + 1}"
        if not isinstance(case, dict):
            errors.append(f"{title}: not an object")
            continue
        errors += object_errors(title, case, CASE_KEYS, ("name", "args", "status"))
        if isinstance(name, str) and name in names:
            errors.append(f"{title}: a second case of that name")
        names.add(str(name))
    return errors


def setups(case):
    """The other setups a case names: its own, and those of the runs before and after it."""
    return [run["setup"] for run in [case, *case.get("before", []), *case.get("after", [])]
            if "setup" in run]


def load(path):
    """The cases of a table file, and its errors."""
    try:
        with open(path, encoding="utf-8") as f:
            cases = json.load(f)["cases"]
    except (OSError, ValueError, KeyError, TypeError) as error:
        return None, [f"not a table of cases ({error})"]
    return cases, table_errors(cases) if isinstance(cases, list) else ["cases must be a list"]
