"""The session's Wine prefix: made without a display, or copied from one kept earlier. A folder
named by VARNHOLT_WINE_PREFIXES keeps one made prefix per Wine, kind of prefix, user and recipe,
copied for every later session: making one takes 10 to 35 s, copying it 3."""
import os
import re
import shutil
import subprocess
import sys
import tempfile

from .files import WINESERVER

# Raise the recipe's number whenever make() changes what a prefix holds.
KEPT_PREFIXES, PREFIX_RECIPE = "VARNHOLT_WINE_PREFIXES", 2
# Where tools/check.sh gathers a line for each cached piece it used.
CACHE_REPORT = "VARNHOLT_CACHE_REPORT"


def prepare(session, loader, version):
    """Gives the session its prefix: a kept one's copy, or a new one, kept when told to."""
    kept = kept_folder(session, version)
    if kept and os.path.lexists(kept) and not whole(kept):
        aside = tempfile.mkdtemp(prefix=".set-aside-", dir=os.path.dirname(kept))
        os.rename(kept, os.path.join(aside, "prefix"))
        shutil.rmtree(aside, ignore_errors=True)
        print(f"note: the kept prefix {kept} was incomplete; set aside, made again",
              file=sys.stderr)
    if kept and os.path.isdir(kept):
        copy(kept, session.env["WINEPREFIX"], session.folder)
        report("reused", kept)
    elif make(session, loader) and kept:
        keep(session.env["WINEPREFIX"], session.folder, kept)


def make(session, loader):
    """Makes the session's prefix; returns whether its first start ended on its own."""
    # The prefix is made without a display, so that no first-run dialog waits on it.
    os.mkdir(session.env["WINEPREFIX"])
    session.quiet(*loader, "wineboot", "-i", timeout=600)
    # What the first start leaves running ends on its own within seconds, but on a loaded
    # machine it was once seen to run on for minutes: the prefix is made by then, so it is
    # ended.
    try:
        session.quiet(*session.tool(WINESERVER), "-w", timeout=60)
        ended = True
    except subprocess.TimeoutExpired:
        session.end_everything()
        ended = False
    # Windows that no window manager manages: with none running, Wine waits 2 s for one
    # at every window it hides, and a question takes keys once it has the input focus.
    with open(os.path.join(session.env["WINEPREFIX"], "user.reg"), "a") as f:
        f.write('\n[Software\\\\Wine\\\\X11 Driver]\n"Managed"="N"\n')
    return ended


def kept_folder(session, version):
    """Where a prefix of the session's kind is kept, if the runner is told to keep them."""
    folder = os.environ.get(KEPT_PREFIXES)
    if not folder:
        return None
    kind = (f"{'arm64-root' if session.wrap else 'host'} {session.winearch} {version} "
            f"{os.getuid()} recipe {PREFIX_RECIPE}")
    return os.path.join(os.path.abspath(folder), re.sub(r"[^A-Za-z0-9.]+", "-", kind))


def whole(kept):
    """Whether a kept prefix has all that keep() writes: the prefix and its home."""
    return all(os.path.isfile(os.path.join(kept, part))
               for part in ("home", os.path.join("prefix", "system.reg"),
                            os.path.join("prefix", "user.reg")))


def keep(prefix, home, kept):
    """Keeps a copy of a newly made prefix, with the home its user folders lead to. Another run
    may keep one at the same time: the first one renamed into place stays."""
    os.makedirs(os.path.dirname(kept), exist_ok=True)
    making = tempfile.mkdtemp(prefix=".making-", dir=os.path.dirname(kept))
    try:
        shutil.copytree(prefix, os.path.join(making, "prefix"), symlinks=True)
        with open(os.path.join(making, "home"), "w") as f:
            f.write(home)
        os.rename(making, kept)
        report("made", kept)
    except OSError as error:
        if not os.path.isdir(kept):
            print(f"note: the prefix was not kept in {kept} ({error})", file=sys.stderr)
    finally:
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


def report(what, kept):
    """A kept prefix "made" or "reused", in the account of the cache that tools/check.sh keeps."""
    if os.environ.get(CACHE_REPORT):
        with open(os.environ[CACHE_REPORT], "a") as f:
            print(f"{what}\t{kept}", file=f)
