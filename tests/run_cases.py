#!/usr/bin/env python3
"""Runs the table in cases.json against a built Varnholt and compares stdout bytes, exit status,
the simulated services' call log and stderr. Prints one line per failed case and a closing
'N passed, N failed' line; exits 1 if any case failed."""
import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

FORCE_QUESTION = ("Driver installation failed because a different driver is already installed.\n"
                  "Select Yes to force installation of the drivers on CD.")
CONTINUE_QUESTION = ("Driver installation failed.\n"
                     "It is recommended to continue the software installation.\n"
                     "After installation has finished contact the vendor's support staff.\n"
                     "Select Yes to continue installation of the software.")
BOXES = {"box:force": FORCE_QUESTION, "box:continue": CONTINUE_QUESTION}
BOX_LOG_LINES = {
    "box:force": 'MessageBoxW owner=NULL caption="Error" text="Driver installation failed because a'
                 ' different driver is already installed.\\nSelect Yes to force installation of the'
                 ' drivers on CD." style=0x00000004',
    "box:continue": 'MessageBoxW owner=NULL caption="Error" text="Driver installation failed.\\nIt is'
                    ' recommended to continue the software installation.\\nAfter installation has'
                    ' finished contact the vendor\'s support staff.\\nSelect Yes to continue'
                    ' installation of the software." style=0x00000004',
}
SETTINGS = {"install": "VARNHOLT_SIM_INSTALL", "uninstall": "VARNHOLT_SIM_UNINSTALL",
            "answers": "VARNHOLT_SIM_ANSWERS"}


def load_cases(path=os.path.join(HERE, "cases.json")):
    with open(path, encoding="utf-8") as f:
        groups = json.load(f)["groups"]
    return [(group, case) for group, cases in groups.items() for case in cases]


def fs(text):
    """Bytes of a path or argument; lone surrogates in the table stand for raw bytes."""
    return os.fsencode(text)


def make_files(folder, case):
    for name in case.get("files", []):
        path = os.path.join(os.fsencode(folder), fs(name))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        open(path, "wb").close()


def case_env(case, folder):
    env = {k: v for k, v in os.environ.items() if not k.startswith("VARNHOLT_SIM_")}
    env = {os.fsencode(k): os.fsencode(v) for k, v in env.items()}
    for key, name in SETTINGS.items():
        if key in case:
            env[name.encode()] = case[key].encode()
    env[b"VARNHOLT_SIM_LOG"] = os.path.join(os.fsencode(folder), b"calls.log")
    return env


def read_log(folder):
    try:
        with open(os.path.join(folder, "calls.log"), "rb") as f:
            return f.read().decode("utf-8", "surrogateescape").splitlines()
    except FileNotFoundError:
        return []


class Host:
    name = "host"

    def __init__(self, exe):
        self.exe = os.path.abspath(exe)

    def expected_calls(self, case):
        return [BOX_LOG_LINES.get(call, call) for call in case["calls"]]

    def run(self, case, folder):
        # A new session has no controlling terminal, so a question beyond the listed answers
        # fails at once instead of waiting on the terminal running the tests.
        result = subprocess.run([fs(self.exe)] + [fs(a) for a in case["args"]], cwd=folder,
                                env=case_env(case, folder), stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=30, start_new_session=True)
        return {"status": result.returncode, "stdout": result.stdout,
                "stderr": result.stderr.decode("utf-8", "replace"), "calls": read_log(folder)}

    def expected(self, case):
        return {"status": case["status"], "stdout": case["stdout"].encode(),
                "stderr": case.get("stderr", ""), "calls": self.expected_calls(case)}


def run_table(target, pattern=None):
    passed = failed = skipped = 0
    for group, case in load_cases():
        title = f"{group}: {case['name']}"
        if pattern and pattern not in title:
            continue
        if target.name not in case.get("only", [target.name]):
            skipped += 1
            continue
        with tempfile.TemporaryDirectory(prefix="varnholt-case-") as folder:
            make_files(folder, case)
            try:
                got = target.run(case, folder)
            except Exception as error:  # a hung or missing run fails its case, not the table
                got = {"error": f"{type(error).__name__}: {error}"}
        want = target.expected(case)
        wrong = [k for k in want if got.get(k) != want[k]]
        if "error" in got:
            wrong = ["error"]
        if wrong:
            failed += 1
            print(f"FAIL {title}")
            for key in wrong:
                print(f"  {key}: expected {want.get(key)!r}\n  {' ' * len(key)}  got      {got.get(key)!r}")
        else:
            passed += 1
    closing = f"{passed} passed, {failed} failed"
    print(f"{target.name}: {closing}" + (f", {skipped} skipped" if skipped else ""))
    return failed == 0 and passed > 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("exe", help="the built program")
    parser.add_argument("-k", dest="pattern", help="run only cases whose group: name contains this")
    args = parser.parse_args()
    return 0 if run_table(Host(args.exe), args.pattern) else 1


if __name__ == "__main__":
    sys.exit(main())
