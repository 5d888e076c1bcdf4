"""Rehearses a setup program's driver paths under Wine, with the stand-in driver services that
its test build bundles beside varnholt.exe.

    rehearse.pyz SETUP.exe CASES.json [-k TEXT]... [--timeout SECONDS] [--arm64-root DIR]
                 [--junit FILE]

(kit/rehearse.py in the project).

Each case of the table runs the setup (or, with "run", another program it installed) in a Wine
prefix without a display of its own, on an Xvfb display, with the stand-ins' outcomes set and
Varnholt's questions answered in order. An ARM64 setup runs under the arm64 Wine of a root
that arm64-root.sh made (--arm64-root). Prints one line per failed case and a closing
'N passed, N failed' line, and with --junit writes the same as JUnit XML, kept up to date after
every case; exits 0 when all passed, 1 when any failed or Wine cannot run here,
2 when the table has an error (found before anything runs)."""
import argparse
import contextlib
import os
import signal
import sys

from . import table
from .cases import other_setup, rehearse
from .report import Report


def main():
    reap_orphans()
    # Ended from outside, the runner still ends its prefix's processes and removes its display.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("setup", help="the setup program's test build")
    parser.add_argument("table", help="the JSON table of cases")
    parser.add_argument("-k", dest="patterns", action="append",
                        help="run only the cases whose name contains this (may be repeated)")
    parser.add_argument("--timeout", type=float, default=120,
                        help="seconds one run may take, unless its case says")
    parser.add_argument("--arm64-root", metavar="DIR",
                        help="run under the arm64 Wine of this root (made by arm64-root.sh)")
    parser.add_argument("--junit", metavar="FILE",
                        help="also write the results as JUnit XML, for CI systems to show")
    args = parser.parse_args()
    cases, errors = table.load(args.table)
    if cases is not None and not os.path.isfile(args.setup):
        errors.append(f"{args.setup}: no such file")
    elif not errors:
        others = [(c["name"], other_setup(args.setup, s))
                  for c in cases for s in table.setups(c)]
        errors += [f"case {name!r}: setup {path}: no such file"
                   for name, path in others if not os.path.isfile(path)]
    for error in errors:
        print(f"{args.table}: {error}")
    if errors:
        return 2
    chosen = [(n, c) for n, c in enumerate(cases, 1)
              if not args.patterns or any(p in c["name"] for p in args.patterns)]
    try:
        report = Report(args.table, [c for _, c in chosen], args.junit)
    except OSError as error:
        print(f"{args.junit}: the report cannot be written ({error.strerror})")
        return 2
    try:
        rehearse(os.path.abspath(args.setup), chosen, args.timeout, args.arm64_root, report)
    except SystemExit as stop:
        report.close("the runner was ended from outside" if stop.code == 143 else str(stop.code))
        raise
    except KeyboardInterrupt:
        report.close("the runner was interrupted")
        raise
    return 0 if report.close() else 1


# The signals a container's engine or a terminal sends to end its first process.
ENDING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGQUIT)


def reap_orphans():
    """As a container's first process (docker run IMAGE varnholt-rehearse ...), the runner is
    the parent of every orphan in it, Wine's among them, and must reap them or leave zombies.
    So it forks: the child returns and runs the table, and this process reaps every child it
    gets, passes the ending signals on, and exits as the child did."""
    if os.getpid() != 1:
        return
    sys.stdout.flush()
    child = os.fork()
    if child == 0:
        return

    def pass_on(number, _):
        with contextlib.suppress(ProcessLookupError):
            os.kill(child, number)

    for number in ENDING:
        signal.signal(number, pass_on)
    while True:
        pid, status = os.waitpid(-1, 0)
        if pid == child:
            code = os.waitstatus_to_exitcode(status)
            os._exit(code if code >= 0 else 128 - code)
