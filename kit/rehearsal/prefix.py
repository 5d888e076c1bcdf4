"""The session's Wine prefix: made without a display, or copied from one kept earlier. A folder
named by VARNHOLT_WINE_PREFIXES keeps one made prefix per Wine, kind of prefix, user and recipe,
an entry of the cache's (cache.py), copied for every later session: making one takes 10 to 35 s,
copying it 3. Most of a prefix is copies of Wine's own DLLs and programs, which Wine holds
already: a kept prefix names them instead of holding them, and its copy takes them from Wine."""
import filecmp
import glob
import os
import shutil
import subprocess
import sys

from . import cache
from .files import WINESERVER
from .processes import kill_found, prefix_processes
from .wine import failed

# Raise the recipe's number whenever make() changes what a prefix holds.
KEPT_PREFIXES, PREFIX_RECIPE = "VARNHOLT_WINE_PREFIXES", 4
# How long a prefix's first start may take: one or two minutes were seen under
# qemu-i386 on a loaded machine.
MAKE_BOUND = 600
# Where Wine keeps its Windows files (x86_64-windows, i386-windows, aarch64-windows), from its
# root; and the list, in a kept prefix, of the files it takes from there.
WINE_FILES, FROM_WINE = "usr/lib/*/wine/*-windows", "from-wine"


def prepare(wine, loader, version):
    """Gives the session its prefix: a kept one's copy, or a new one, kept when told to."""
    folder = os.environ.get(KEPT_PREFIXES)
    key = kind(wine, version)
    kept = folder and cache.find(os.path.abspath(folder), key)
    if kept:
        copy(kept, wine.env["WINEPREFIX"], wine.folder, wine.root)
    elif make(wine, loader) and folder:
        keep(wine.env["WINEPREFIX"], wine.folder, os.path.abspath(folder), key, wine.root)


def make(wine, loader):
    """Makes the session's prefix; returns whether its first start ended on its own. A first
    start that hangs is ended, and the prefix made once more."""
    for attempt in (1, 2):
        # The prefix is made without a display, so that no first-run dialog waits on it.
        os.mkdir(wine.env["WINEPREFIX"])
        try:
            wine.quiet(*loader, "wineboot", "-i", timeout=MAKE_BOUND)
            break
        except subprocess.TimeoutExpired as error:
            # Seen once in a 32-bit prefix under qemu-i386: Wine's programs waiting, and
            # the prefix's server gone. What was left is said, to find the cause by.
            found = prefix_processes(wine).values()
            left = sorted({c.split("\\")[-1] for c in found if "wineserver" not in c})
            server = "running" if any("wineserver" in c for c in found) else "gone"
            end_all(wine)
            shutil.rmtree(wine.env["WINEPREFIX"])
            print(f"note: the {wine.winearch} prefix's first start hung ({failed(error)}; its "
                  f"server {server}, left running: {', '.join(left) or 'nothing'})" +
                  ("; it is made again" if attempt == 1 else ""), file=sys.stderr, flush=True)
            if attempt == 2:
                raise
    # What the first start leaves running ends on its own within seconds, but on a loaded
    # machine it was once seen to run on for minutes: the prefix is made by then, so it is
    # ended.
    try:
        wine.quiet(*wine.tool(WINESERVER), "-w", timeout=60)
        ended = True
    except subprocess.TimeoutExpired:
        wine.kill()
        wine.wait_ended()
        ended = False
    # Windows that no window manager manages: with none running, Wine waits 2 s for one
    # at every window it hides, and a question takes keys once it has the input focus.
    with open(os.path.join(wine.env["WINEPREFIX"], "user.reg"), "a") as f:
        f.write('\n[Software\\\\Wine\\\\X11 Driver]\n"Managed"="N"\n')
    return ended


def end_all(wine):
    """Ends every process of the prefix, whether or not its server still answers."""
    kill_found(wine)
    wine.kill()
    wine.wait_ended()


def kind(wine, version):
    """What a kept prefix is for: the Wine and kind of prefix, the user, and the recipe."""
    return (f"{'arm64-root' if wine.wrap else 'host'} {wine.winearch} {version} "
            f"{os.getuid()} recipe {PREFIX_RECIPE}")


def keep(prefix, home, folder, key, root):
    """Keeps a copy of a newly made prefix, with the home its user folders lead to, but not the
    files that are Wine's own, byte for byte: it names them, as found in the root's Wine."""
    making = None
    try:
        making = cache.begin(folder)
        kept = os.path.join(making, "prefix")
        own = wine_files(root)
        named = []

        def copy_unless_own(source, target):
            found = next((path for path in own.get(wine_file_key(source), ())
                          if filecmp.cmp(source, os.path.join(root, path), shallow=False)), None)
            if found:
                named.append(f"{os.path.relpath(target, kept)}\t{found}\n")
            else:
                shutil.copy2(source, target)

        shutil.copytree(prefix, kept, symlinks=True, copy_function=copy_unless_own)
        with open(os.path.join(making, FROM_WINE), "w") as f:
            f.writelines(sorted(named))
        with open(os.path.join(making, "home"), "w") as f:
            f.write(home)
        cache.finish(making, folder, key)
    except OSError as error:
        print(f"note: the prefix was not kept in {folder} ({error})", file=sys.stderr)
        if making:
            shutil.rmtree(making, ignore_errors=True)


def wine_files(root):
    """Wine's Windows files in a root, by name and size, each as its path from the root."""
    found = {}
    for folder in glob.glob(os.path.join(root, WINE_FILES)):
        for name in os.listdir(folder):
            path = os.path.join(folder, name)
            if os.path.isfile(path) and not os.path.islink(path):
                found.setdefault(wine_file_key(path), []).append(os.path.relpath(path, root))
    return found


def wine_file_key(path):
    return os.path.basename(path).lower(), os.path.getsize(path)


def copy(kept, prefix, home, root):
    """Copies a kept prefix to prefix, with the files it names from the root's Wine, and leads
    its user folders to home."""
    shutil.copytree(os.path.join(kept, "prefix"), prefix, symlinks=True)
    with open(os.path.join(kept, FROM_WINE)) as f:
        for line in f:
            path, own = line.rstrip("\n").split("\t")
            shutil.copyfile(os.path.join(root, own), os.path.join(prefix, path))
    with open(os.path.join(kept, "home")) as f:
        old = f.read()
    for folder, names, files in os.walk(prefix):
        for name in names + files:
            path = os.path.join(folder, name)
            target = os.readlink(path) if os.path.islink(path) else ""
            if target == old or target.startswith(old + "/"):
                os.remove(path)
                os.symlink(home + target[len(old):], path)
