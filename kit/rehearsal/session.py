"""One Wine session: a prefix and an Xvfb display for a whole run, with Wine's services and
desktop started by the session itself, so that every other process of the prefix belongs to a
case. The session alone starts them again, when they were lost before a case or a case's
processes would not die."""
import os
import shutil
import subprocess
import sys

from . import prefix
from .desktop import Desktop, Display
from .files import WINESERVER
from .processes import kill_case, processes, survivors, wait_for
from .wine import Wine, failed


class WineSession(Wine):
    """A Wine whose prefix, display and desktop last for a whole run, all removed afterwards."""

    def __init__(self, winearch="win64", root=None):
        super().__init__(winearch, root)
        self.display, self.desktop = Display(), Desktop(self)
        self.cases = 0

    def __enter__(self):
        loader = self.loader()
        where = f"the root {self.root}" if self.wrap else "this machine"
        tools = [shutil.which("Xvfb"), shutil.which("xdotool")]
        tools += [shutil.which("unshare")] if self.wrap else [loader[-1], WINESERVER]
        missing = [t for t in tools if not t or not os.access(t, os.X_OK)]
        version = None if missing else subprocess.run(
            [*loader, "--version"], capture_output=True, text=True, cwd=self.folder)
        if missing or version.returncode:
            shutil.rmtree(self.folder)
            needs = "an arm64 root with wine64 (arm64-root.sh)" if self.wrap else \
                "wine, wine32:i386, wine64"
            raise SystemExit(f"Wine cannot run in {where} ({' '.join(loader)}): it needs "
                             f"{needs}, xvfb and xdotool")
        try:
            prefix.prepare(self, loader, version.stdout.strip())
            self.display.start()
            self.env["DISPLAY"] = self.display.name
            self.desktop.serve(loader)
        except BaseException as error:
            self.__exit__()
            if isinstance(error, subprocess.SubprocessError):
                raise SystemExit(f"Wine did not start: {failed(error)}") from None
            raise
        return self

    def restart(self):
        """Ends every process of the prefix and starts the server and desktop again."""
        self.desktop.end()
        self.desktop.serve()

    def next_case(self):
        """The next case's number, once what the session started is there for it. Were Wine's
        services or a held desktop gone, the case would start them anew under its mark, and
        leave them running or, on a loaded machine, not finish starting them in time."""
        self.cases += 1
        lost = self.desktop.lost()
        if lost:
            print(f"note: {lost} had ended before case {self.cases}; Wine was started again",
                  file=sys.stderr, flush=True)
            self.restart()
        return self.cases

    def end_case(self, process, case):
        """Ends what is left of a case, and if any of it would not die, the prefix's server and
        all. Returns what would not die."""
        if not kill_case(self, process, case):
            self.restart()
            wait_for(lambda: not processes(self, case), 5)
        return survivors(self, process, case)

    def __exit__(self, *exc):
        self.desktop.close()
        self.display.close()
        shutil.rmtree(self.folder, ignore_errors=True)
