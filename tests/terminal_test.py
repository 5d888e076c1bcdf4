#!/usr/bin/env python3
"""On a terminal, each piece of output shows before the question after it, labels without a line
break included, and the simulated question is answered on the controlling terminal."""
import os
import pty
import select
import sys
import tempfile

ROWS = [
    # (setting of install outcomes, replies typed at each prompt, text expected after the last reply, status)
    ("259,ok", ["y"], b"Force DiInstallDriver...Success\r\nForce Install Success\r\n", 0),
    ("259", ["NO", "Yes"], b"", 0),
    ("2", ["n"], b"", 1),
]
PROMPT = b"[y/n] "
# The longest the program may stay silent: a bound against a hang, with room for a slow machine.
SILENCE = 60


def read(fd):
    if not select.select([fd], [], [], SILENCE)[0]:
        raise AssertionError(f"nothing printed for {SILENCE} s")
    return os.read(fd, 4096)


def read_until(fd, marker, seen):
    while not seen.endswith(marker):
        chunk = read(fd)
        if not chunk:
            raise AssertionError(f"ended before {marker!r}; output so far {bytes(seen)!r}")
        seen += chunk
    return seen


def run(exe, install, replies):
    with tempfile.TemporaryDirectory() as folder:
        log = os.path.join(folder, "calls.log")
        pid, fd = pty.fork()
        if pid == 0:
            env = {"PATH": "/usr/bin:/bin", "VARNHOLT_SIM_INSTALL": install, "VARNHOLT_SIM_LOG": log}
            os.execve(exe, [exe, "-o", "pkg.inf"], env)
        seen = bytearray()
        questions = []
        for reply in replies:
            before = len(seen)
            read_until(fd, PROMPT, seen)
            questions.append(bytes(seen[before:]))
            os.write(fd, reply.encode() + b"\n")
        rest = bytearray()
        try:
            while chunk := read(fd):
                rest += chunk
        except OSError:  # the terminal closes with the program
            pass
        _, code = os.waitpid(pid, 0)
        with open(log) as f:
            boxes = sum(line.startswith("MessageBoxW") for line in f)
    return questions, bytes(rest), os.waitstatus_to_exitcode(code), boxes


def main(exe):
    failed = 0
    for install, replies, tail, status in ROWS:
        questions, rest, got_status, boxes = run(os.path.abspath(exe), install, replies)
        first = questions[0]
        label = b"DiInstallDriver...Failure = " + install.split(",")[0].encode() + b"\r\n"
        checks = {
            "the label and failure line show before the first question": first.startswith(label),
            "the question shows its caption and text": b"[Error]\r\nDriver installation failed" in first,
            "a message without a line break shows before the question": install.startswith("2") or
                b"Another driver is already installed\r\n[Error]" in first,
            "each reply answers one question": boxes == len(replies),
            "the output after the last reply": rest.endswith(tail),
            "the exit status": got_status == status,
        }
        wrong = [what for what, ok in checks.items() if not ok]
        if wrong:
            failed += 1
            print(f"FAIL install={install} replies={replies}: {', '.join(wrong)}\n"
                  f"  questions {questions!r}\n  rest {rest!r}\n  status {got_status}")
    print(f"terminal: {len(ROWS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
