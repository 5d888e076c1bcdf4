"""The driver store that the stand-ins keep in the prefix, where Windows keeps its own: a folder
FileRepository\\<inf name>_<arch>_<hash> per package, with the package's files, and a published
copy of its INF, INF\\oemNN.inf. Read as "NAME.inf VERSION" entries, and emptied before a case."""
import glob
import os
import re
import shutil

# A package as a case names it: its INF's name and its DriverVer version.
ENTRY = re.compile(r"^[^\\/]+\.inf [0-9]+(\.[0-9]+){0,3}$", re.IGNORECASE)
ENTRY_FOLDER = re.compile(r"^(.+\.inf)_(x86|amd64|arm64)_[0-9a-f]{16}$", re.IGNORECASE)


class StoreError(Exception):
    """A store the runner cannot read."""


def folder(windows, *parts):
    """A folder of the prefix's Windows folder, found without regard to case, as Windows does;
    None when it is not there."""
    path = windows
    for part in parts:
        names = os.listdir(path) if os.path.isdir(path) else []
        path = next((os.path.join(path, n) for n in names if n.lower() == part.lower()), None)
        if path is None:
            return None
    return path


def windows_folder(prefix):
    return os.path.join(prefix, "drive_c", "windows")


def repository(windows):
    """The folder of the packages' folders, if there is one."""
    return folder(windows, "system32", "DriverStore", "FileRepository")


def published(windows):
    """The published INFs, oem*.inf."""
    infs = folder(windows, "inf")
    return sorted(glob.glob(os.path.join(glob.escape(infs), "[oO][eE][mM]*.[iI][nN][fF]"))) \
        if infs else []


def version(path):
    """The DriverVer version of an INF, ANSI or UTF-16: its [Version] section's DriverVer,
    "date,version"."""
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode("utf-16") if data[:2] in (b"\xff\xfe", b"\xfe\xff") else \
        data.decode("latin-1")
    section = None
    for line in text.splitlines():
        line = line.split(";", 1)[0].strip()
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].strip().lower()
        elif section == "version" and "=" in line:
            key, value = (p.strip() for p in line.split("=", 1))
            if key.lower() == "driverver" and "," in value:
                return value.split(",", 1)[1].strip().strip('"')
    return None


def read(prefix):
    """The store's packages, sorted, each "NAME.inf VERSION" (or "NAME.inf without a
    DriverVer"), and each published INF that has no package. Raises StoreError when an entry
    lacks its INF or a file of it cannot be read."""
    windows = windows_folder(prefix)
    packages = repository(windows)
    entries, infs = [], []
    try:
        for name in sorted(os.listdir(packages)) if packages else []:
            found = ENTRY_FOLDER.match(name)
            inf = found and folder(os.path.join(packages, name), found[1])
            if not inf:
                raise StoreError(f"{name} in the store is not a package folder with its INF")
            given = version(inf)
            entries.append(f"{found[1]} {given}" if given else f"{found[1]} without a DriverVer")
            with open(inf, "rb") as f:
                infs.append(f.read())
        for path in published(windows):
            with open(path, "rb") as f:
                content = f.read()
            if content in infs:
                infs.remove(content)
            else:
                entries.append(f"{os.path.basename(path)} (published, of no package)")
    except (OSError, UnicodeError) as error:
        raise StoreError(f"the store cannot be read ({error})") from None
    return sorted(entries, key=str.lower)


def empty(prefix):
    """Removes every package from the store, so that a case starts with none."""
    windows = windows_folder(prefix)
    if repository(windows):
        shutil.rmtree(repository(windows))
    for path in published(windows):
        os.remove(path)
        pnf = path[:-4] + ".pnf"
        if os.path.exists(pnf):
            os.remove(pnf)
