"""Paths and images: where the runner's companions are, what machine an image is for, and how a
Linux path looks to Wine and to an arm64 root."""
import os

WINE32, WINE64 = "/usr/lib/wine/wine", "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MACHINES = {b"\x4c\x01": "x86", b"\x64\x86": "x64", b"\x64\xaa": "arm64"}


def beside(name):
    """A file that comes with the runner: in the folder of the package, or of the zip
    application that holds it."""
    folder = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if os.path.isfile(folder):
        folder = os.path.dirname(folder)
    return os.path.join(folder, name)


def desktop_holder():
    """The program that holds a 32-bit prefix's desktop: where VARNHOLT_DESKTOP_HOLDER names it
    (the project's x86 build), or beside the runner (the kit). Wine starts it from the session's
    folder, so a relative name is taken from where the runner was started."""
    return os.path.abspath(os.environ.get("VARNHOLT_DESKTOP_HOLDER") or beside("hold-desktop.exe"))


def machine(path):
    """'x86', 'x64' or 'arm64': the machine of a PE image."""
    with open(path, "rb") as f:
        head = f.read(4096)
    offset = int.from_bytes(head[0x3C:0x40], "little")
    return MACHINES.get(head[offset + 4:offset + 6], "x86")


def in_tmp(path):
    """Whether a path lies in /tmp, the one folder of this machine that an arm64 root sees."""
    return os.path.realpath(path).startswith("/tmp/")


def windows_path(path):
    """The Wine path of a Linux path, through drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def read_log(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "surrogateescape").splitlines()
    except FileNotFoundError:
        return []
