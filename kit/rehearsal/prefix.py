"""The session's Wine prefix: made without a display, or copied from one kept earlier. A folder
named by VARNHOLT_WINE_PREFIXES keeps one made prefix per Wine, kind of prefix, user and recipe,
an entry of the cache's (cache.py), copied for every later session: making one takes 10 to 35 s,
copying it 3."""
import os
import shutil
import subprocess
import sys

from . import cache
from .files import WINESERVER

# Raise the recipe's number whenever make() changes what a prefix holds.
KEPT_PREFIXES, PREFIX_RECIPE = "VARNHOLT_WINE_PREFIXES", 3


def prepare(wine, loader, version):
    """Gives the session its prefix: a kept one's copy, or a new one, kept when told to."""
    folder = os.environ.get(KEPT_PREFIXES)
    key = kind(wine, version)
    kept = folder and cache.find(os.path.abspath(folder), key)
    if kept:
        copy(kept, wine.env["WINEPREFIX"], wine.folder)
    elif make(wine, loader) and folder:
        keep(wine.env["WINEPREFIX"], wine.folder, os.path.abspath(folder), key)


def make(wine, loader):
    """Makes the session's prefix; returns whether its first start ended on its own."""
    # The prefix is made without a display, so that no first-run dialog waits on it.
    os.mkdir(wine.env["WINEPREFIX"])
    wine.quiet(*loader, "wineboot", "-i", timeout=600)
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


def kind(wine, version):
    """What a kept prefix is for: the Wine and kind of prefix, the user, and the recipe."""
    return (f"{'arm64-root' if wine.wrap else 'host'} {wine.winearch} {version} "
            f"{os.getuid()} recipe {PREFIX_RECIPE}")


def keep(prefix, home, folder, key):
    """Keeps a copy of a newly made prefix, with the home its user folders lead to."""
    making = None
    try:
        making = cache.begin(folder)
        shutil.copytree(prefix, os.path.join(making, "prefix"), symlinks=True)
        with open(os.path.join(making, "home"), "w") as f:
            f.write(home)
        cache.finish(making, folder, key)
    except OSError as error:
        print(f"note: the prefix was not kept in {folder} ({error})", file=sys.stderr)
        if making:
            shutil.rmtree(making, ignore_errors=True)


def copy(kept, prefix, home):
    """Copies a kept prefix to prefix, and leads its user folders to home."""
    shutil.copytree(os.path.join(kept, "prefix"), prefix, symlinks=True)
    with open(os.path.join(kept, "home")) as f:
        old = f.read()
    for folder, names, files in os.walk(prefix):
        for name in names + files:
            path = os.path.join(folder, name)
            target = os.readlink(path) if os.path.islink(path) else ""
            if target == old or target.startswith(old + "/"):
                os.remove(path)
                os.symlink(home + target[len(old):], path)
