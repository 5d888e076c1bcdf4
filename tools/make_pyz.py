#!/usr/bin/env python3
"""Writes the rehearsal runner as one zip application, the same bytes from the same files: the
entry (rehearse.py) as __main__.py and the package rehearsal/, in name order, each with the
given time and mode 0644, stored as they are. zipapp would take the files' own times and modes
and the folder's order.

    make_pyz.py KIT OUT.pyz SECONDS      (KIT: the folder holding rehearse.py and rehearsal/;
                                          SECONDS: the time, since 1970, UTC)"""
import os
import sys
import time
import zipfile


def main(kit, out, seconds):
    files = {"__main__.py": os.path.join(kit, "rehearse.py")}
    package = os.path.join(kit, "rehearsal")
    for name in os.listdir(package):
        if name.endswith(".py"):
            files[f"rehearsal/{name}"] = os.path.join(package, name)
    when = time.gmtime(int(seconds))[:6]
    with open(out, "wb") as f:
        f.write(b"#!/usr/bin/env python3\n")
        with zipfile.ZipFile(f, "w", zipfile.ZIP_STORED) as z:
            for name in sorted(files):
                entry = zipfile.ZipInfo(name, when)
                entry.external_attr = 0o100644 << 16
                with open(files[name], "rb") as source:
                    z.writestr(entry, source.read())
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or not sys.argv[3].isdigit():
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
