"""Wine's programs for one prefix: their environment and folder, their commands on this machine
or inside an arm64 root, and the prefix's server, ended within bounds."""
import os
import subprocess
import sys
import tempfile

from .files import WINE32, WINE64, WINESERVER, beside, in_tmp, machine

# Beside the runner, in the project and in the kit: what runs a command inside an arm64 root,
# and what spares Wine's x86 programs a slow start under qemu-i386.
ARM64_RUN = beside("arm64-run.sh")
RESERVE_SOURCE, RESERVE_BUILT = beside("wine32-reserve.c"), beside("$LIB/wine32-reserve.so")


class Wine:
    """The programs of one Wine prefix, in a folder of their own that holds the prefix."""

    def __init__(self, winearch="win64", root=None):
        self.winearch = winearch
        # Inside an arm64 root every Wine program runs through the wrapper, which shows it this
        # machine's /tmp: the session's folder, the case folders and the display's socket.
        self.root = os.path.abspath(root) if root else "/"
        self.wrap = ["bash", ARM64_RUN, self.root] if root else []
        self.folder = tempfile.mkdtemp(prefix="varnholt-wine-", dir=self.scratch())
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.folder,
            "LANG": "C.UTF-8", "WINEPREFIX": os.path.join(self.folder, "prefix"),
            "WINEARCH": winearch, "WINEDLLOVERRIDES": "mscoree=d;mshtml=d", "WINEDEBUG": "-all",
        }
        if not root:
            # Where the kernel cannot run 32-bit code, Wine's x86 loader runs under qemu-i386.
            # A guest address space just over 2 GiB: the larger qemu's default, the longer
            # each of its searches for a free block (a minute a start). Wine's reservation of
            # what lies beyond is cut short by the preloaded wine32-reserve.so, which does
            # nothing where 32-bit programs run natively.
            self.env["QEMU_RESERVED_VA"] = "0x81000000"
            self.env.update(reserve_preload(self.folder))

    def tool(self, path):
        """The command of one of Wine's programs, inside the root when there is one."""
        return [*self.wrap, path]

    def loader(self, exe=None):
        """The loader's command for an image: the 64-bit loader runs x64 and ARM64 images."""
        # A program that is not there is Wine's to report, whichever loader is given it.
        wide = self.winearch == "win64" and (
            exe is None or not os.path.isfile(exe) or machine(exe) != "x86")
        return self.tool(WINE64 if wide or self.wrap else WINE32)

    def quiet(self, *command, timeout=120, check=True):
        # Wine's background processes keep any pipe they inherit open: none is given to them.
        subprocess.run(command, env=self.env, cwd=self.folder, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout,
                       check=check)

    def kill(self):
        """Ends every process of the prefix, the server too: Wine starts a program's Windows
        children in sessions of their own, out of reach of a signal to the parent's group."""
        self.quiet(*self.tool(WINESERVER), "-k", timeout=60, check=False)

    def wait_ended(self):
        """Waits, within a bound, for the prefix's server to end."""
        try:
            self.quiet(*self.tool(WINESERVER), "-w", timeout=30, check=False)
        except subprocess.TimeoutExpired:
            pass

    def scratch(self):
        """Where folders Wine must see go: in a root, the temporary folder only if it is in
        /tmp, which is all the root sees of this machine."""
        if not self.wrap:
            return None
        temp = os.path.realpath(tempfile.gettempdir())
        return temp if in_tmp(temp) else "/tmp"


def failed(error):
    """How one of Wine's programs failed: past its bound, or with a status."""
    command = " ".join(map(str, error.cmd))
    if isinstance(error, subprocess.TimeoutExpired):
        return f"{command} ran past its bound of {error.timeout:.0f} s"
    return f"{command} ended with status {error.returncode}"


def reserve_preload(folder):
    """LD_PRELOAD naming wine32-reserve.so: the kit's, built beside the runner, or else one built
    into the folder. Through $LIB, 32-bit programs load it and 64-bit ones an empty twin, not a
    complaint on stderr."""
    if os.path.isfile(RESERVE_BUILT.replace("$LIB", "lib/i386-linux-gnu")):
        return {"LD_PRELOAD": RESERVE_BUILT}
    folder = os.path.join(folder, "preload")
    builds = {"i386-linux-gnu": ["-m32", RESERVE_SOURCE],
              "x86_64-linux-gnu": ["-m64", "-x", "c", os.devnull]}
    for lib, args in builds.items():
        os.makedirs(os.path.join(folder, "lib", lib))
        out = os.path.join(folder, "lib", lib, "wine32-reserve.so")
        try:
            subprocess.run(["cc", "-O2", "-fPIC", "-shared", "-nostdlib", "-o", out, *args],
                           capture_output=True, check=True, timeout=60)
        except (OSError, subprocess.SubprocessError) as error:
            print(f"note: wine32-reserve.so could not be built ({error}); under "
                  "qemu-i386, every x86 program starts about 2 s slower", file=sys.stderr)
            return {}
    return {"LD_PRELOAD": os.path.join(folder, "$LIB", "wine32-reserve.so")}
