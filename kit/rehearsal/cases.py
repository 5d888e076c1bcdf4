"""A table's cases, run per kind of prefix in one session: each case's runs, the ones before its
own first, in a store emptied for it, each run's status checked, then the case's checks, then
the runs after it, which undo what the case left."""
import os
import tempfile

from . import staging, store
from .table import RUN_KEYS, setups as named_setups
from .checks import After, check, hidden_questions
from .files import read_log, windows_path
from .run import command, did_not_start, run_answering, said
from .session import WineSession

def runs(case):
    """A case's runs in order, each (title, run, setup): the keys of one run, and the setup it
    names (None: the table's). "preparing" stands for one silent run of the case's setup before
    the others, "before run N" for each run the case lists before its own, None for its own."""
    listed = [("preparing", {"args": case["prepare"], "status": 0}, case.get("setup"))] \
        if "prepare" in case else []
    listed += [(f"before run {n}", run, run.get("setup"))
               for n, run in enumerate(case.get("before", []), 1)]
    own = {k: case[k] for k in RUN_KEYS if k in case}
    return listed + [(None, dict(own, missing=case.get("missing", ())), case.get("setup"))]


def other_setup(setup, name):
    """The other setup a case or run names, in the given setup's folder."""
    return os.path.join(os.path.dirname(setup), name)


def run_case(session, setups, case, number, timeout):
    """The problems of one case, and Wine's own lines from its runs. setups: each setup the case
    names, and the table's (None), where the session's Wine sees them."""
    folder = f"C:\\cases\\{number}"
    timeout = case.get("timeout", timeout)

    def fill(text):
        return text.replace("{folder}", folder)

    wine_lines = []
    store.empty(session.env["WINEPREFIX"])
    with tempfile.TemporaryDirectory(prefix="varnholt-rehearse-", dir=session.scratch()) as work:
        log, starts = os.path.join(work, "calls.log"), os.path.join(work, "starts.log")

        def start(run, setup):
            """One run: its program started with the stand-ins' outcomes set, and its questions
            answered."""
            env = dict(staging.native_services(session, run.get("missing", ())),
                       VARNHOLT_SIM_LOG=windows_path(log), VARNHOLT_SIM_STARTS=windows_path(starts))
            for key in ("install", "uninstall"):
                if key in run:
                    env[f"VARNHOLT_SIM_{key.upper()}"] = run[key]
            program = staging.drive_c(session, fill(run["run"])) if "run" in run else setup
            args = [fill(a).replace("{setup}", windows_path(setup)) for a in run["args"]]
            got = run_answering(session, command(session, program, args), work, env,
                                run.get("answers", []), timeout)
            wine_lines.extend(got["wine_errors"])
            return got

        def problems_of(run, setup):
            """A run's problems, and what it gave."""
            got = start(run, setups[setup])
            problems = got["problems"]
            unused = len(run.get("answers", [])) - len(got["questions"])
            if unused > 0:
                problems.append(f"{unused} answer(s) unused")
            if got["status"] != run["status"]:
                problems += [f"status {got['status']}, expected {run['status']}",
                             *did_not_start(got)]
            return problems, got

        for title, run, setup in runs(case):
            # The calls checked are those of the case's own run.
            if os.path.exists(log):
                os.remove(log)
            problems, got = problems_of(run, setup)
            if title and problems:
                return [f"{title}: {'; '.join(problems)}", said(got)], wine_lines
        problems += check(case, After(session, read_log(log), fill))
        problems += hidden_questions(read_log(starts))
        if problems and got["questions"]:
            problems.append(f"questions shown {got['questions']!r}")
        # What the case left installed or changed is undone, so that the next case starts afresh.
        for n, run in enumerate(case.get("after", []), 1):
            undone, got = problems_of(run, run.get("setup"))
            if undone:
                problems += [f"after run {n}: {'; '.join(undone)}", said(got)]
        if "cleanup" in case:
            got = start({"args": case["cleanup"]}, setups[case.get("setup")])
            problems += [f"cleaning up: {p}" for p in got["problems"]]
    return problems, wine_lines


def rehearse(setup, chosen, timeout, root, report):
    """Runs the chosen cases, (number, case) each, the 64-bit ones first, into the report."""
    for winearch in ("win64", "win32"):
        group = [(n, c) for n, c in chosen if c.get("winearch", "win64") == winearch]
        if not group:
            continue
        with WineSession(winearch, root) as session:
            # The root sees this machine's /tmp only: the setups go into the session's folder.
            table_setup = staging.visible(session, setup)
            for number, case in group:
                report.start(case["name"])
                try:
                    setups = {None: table_setup}
                    for name in named_setups(case):
                        setups[name] = staging.visible(session, other_setup(setup, name))
                    problems, wine_lines = run_case(session, setups, case, number, timeout)
                except Exception as error:  # a run that breaks fails its case, not the table
                    problems, wine_lines = [f"{type(error).__name__}: {error}"], []
                report.finish(winearch, problems, wine_lines)
