"""The per-user cache's entries, one protocol for all that is cached: the build's pieces
(kit/deps.sh, through this file's command) and the runner's kept prefixes. An entry is a folder
per piece and key, named by the key's hash and stamped with the key; it is made aside and renamed
into place whole, so that of two makers at once the first one's stays. Once made it is only read;
one without the stamp of its key is set aside and made again. Each use is reported, made or
reused.

    python3 -m rehearsal.cache find BASE KEY   the entry's folder, if it is there (status 1 if not)
    python3 -m rehearsal.cache begin BASE      a new folder in which to make an entry
    python3 -m rehearsal.cache finish MAKING BASE KEY
                                               puts what was made in place: the entry's folder
"""
import hashlib
import os
import shutil
import sys
import tempfile

# Where tools/check.sh gathers a line for each entry a run used. Without it, the command says
# each use on stderr; the runner says nothing.
CACHE_REPORT = "VARNHOLT_CACHE_REPORT"
aloud = False


def entry_of(base, key):
    return os.path.join(base, hashlib.sha256(key.encode()).hexdigest()[:16])


def stamp(entry):
    try:
        with open(os.path.join(entry, "stamp"), encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeError):
        return None


def find(base, key):
    """The entry of the key, reported reused, or None; an entry not stamped with the key is set
    aside first."""
    entry = entry_of(base, key)
    if os.path.lexists(entry) and stamp(entry) != key:
        aside = tempfile.mkdtemp(prefix=".set-aside-", dir=base)
        os.rename(entry, os.path.join(aside, "entry"))
        shutil.rmtree(aside, ignore_errors=True)
        print(f"cache: {entry} was incomplete or not made for its key; set aside, made again",
              file=sys.stderr)
    if not os.path.isdir(entry):
        return None
    report("reused", entry)
    return entry


def begin(base):
    """A new folder beside the entries, in which to make one."""
    os.makedirs(base, exist_ok=True)
    for folder in (os.path.dirname(base), base):
        os.chmod(folder, os.stat(folder).st_mode | 0o555)
    return tempfile.mkdtemp(prefix=".making-", dir=base)


def finish(making, base, key):
    """Stamps what was made with its key, readable by all, and renames it into place; another
    maker's entry already there stays. Returns the entry."""
    entry = entry_of(base, key)
    with open(os.path.join(making, "stamp"), "w", encoding="utf-8") as f:
        f.write(key)
    for folder, names, files in os.walk(making):
        for path in [folder] + [os.path.join(folder, n) for n in files]:
            if not os.path.islink(path):
                mode = os.stat(path).st_mode
                os.chmod(path, (mode | 0o444 | (0o111 if mode & 0o100 else 0)) & ~0o022)
    try:
        os.rename(making, entry)
        report("made", entry)
    except OSError:
        shutil.rmtree(making, ignore_errors=True)
        report("reused", entry)
    return entry


def report(what, entry):
    """"made" or "reused", and the entry: a line of tools/check.sh's account of the cache,
    gathered in VARNHOLT_CACHE_REPORT, or else said at once."""
    if os.environ.get(CACHE_REPORT):
        with open(os.environ[CACHE_REPORT], "a") as f:
            print(f"{what}\t{entry}", file=f)
    elif aloud:
        print(f"cache: {what} {entry}", file=sys.stderr)


def main(args):
    global aloud
    aloud = True
    if args[:1] == ["find"] and len(args) == 3:
        entry = find(*args[1:])
        print(entry or "")
        return 0 if entry else 1
    if args[:1] == ["begin"] and len(args) == 2:
        print(begin(args[1]))
        return 0
    if args[:1] == ["finish"] and len(args) == 4:
        print(finish(*args[1:]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
