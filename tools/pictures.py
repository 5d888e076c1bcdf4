#!/usr/bin/env python3
"""Takes the pictures of the two questions in the README: runs the x86 image under Wine on Xvfb
with -o and stand-in services that report another driver and then refuse the forced install,
and saves the force question and the continue question as PNG files in docs/."""
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "kit"))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from rehearsal.questions import xdotool  # noqa: E402
from rehearsal.session import WineSession  # noqa: E402
from run_cases import stage  # noqa: E402


def wait_for(session, name):
    for _ in range(600):
        windows = xdotool(session, "search", "--name", name)
        if windows:
            return windows[0]
        time.sleep(0.1)
    raise SystemExit(f"no window {name} appeared")


def main():
    build = os.path.join(ROOT, "build", "win-x86")
    with tempfile.TemporaryDirectory(prefix="varnholt-pictures-") as folder:
        take_pictures(build, folder)


def take_pictures(build, folder):
    open(os.path.join(folder, "pkg.inf"), "w").close()
    with WineSession() as session:
        image = os.path.join(build, "varnholt.exe")
        env = stage(session, image, os.path.join(build, "standins"), folder)
        env["VARNHOLT_SIM_INSTALL"] = "259,5"
        # A Wine desktop window of its own, so that Wine draws the boxes' title bars.
        program = subprocess.Popen([*session.loader(image), "explorer", "/desktop=Varnholt,520x200",
                                    "varnholt.exe", "-o", "pkg.inf"], cwd=folder, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        desktop = wait_for(session, "^Varnholt - Wine desktop$")
        # Wine's desktop takes no typed keys from xdotool, so the answers are clicks on the
        # buttons, where each box shows them in a 520x200 desktop: Yes to force, No to go on.
        for name, button in (("force-question", ("225", "132")), ("continue-question", ("296", "152"))):
            time.sleep(8)  # the box appears and finishes drawing
            out = os.path.join(ROOT, "docs", name + ".png")
            subprocess.run(["import", "-window", desktop, out], env=session.env, check=True)
            print("saved", os.path.relpath(out, ROOT))
            xdotool(session, "mousemove", "--window", desktop, *button, "click", "1")
        program.wait(timeout=120)


if __name__ == "__main__":
    main()
