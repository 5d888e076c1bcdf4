#!/usr/bin/env python3
"""The build's step that fills the load-configuration directory, run on copies of a built image
and its link map with one thing changed per row: it must fill an empty entry, accept its own, and
refuse, leaving the image as it was, whatever would point the loader at the wrong bytes.

    load_config_test.py IMAGE LINK-MAP"""
import os
import re
import struct
import subprocess
import sys
import tempfile

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
FILL = os.path.join(os.path.dirname(HERE), "cmake", "fill_load_config.py")
SYMBOL = "_load_config_used"


def main(image, link_map):
    with open(image, "rb") as f:
        built = f.read()
    with open(link_map) as f:
        mapped = f.read()
    pe = pefile.PE(data=built)
    base, entry = pe.OPTIONAL_HEADER.ImageBase, pe.OPTIONAL_HEADER.DATA_DIRECTORY[10]
    rva, size = entry.VirtualAddress, entry.Size
    directory = entry.get_file_offset()
    struct_at = pe.get_offset_from_rva(rva)
    writable = next(s for s in pe.sections if s.Characteristics & 0x80000000)
    # GNU ld's map line gives the address, lld's the relative address.
    gnu = re.compile(rf"^(\s+0x)([0-9a-f]+)(\s+{SYMBOL})$", re.MULTILINE)
    lld = re.compile(rf"^([0-9a-f]{{8}})( [0-9a-f]{{8}} +\d+ +{SYMBOL})$", re.MULTILINE)

    def at(relative):
        def change(text):
            text = gnu.sub(lambda m: f"{m[1]}{base + relative:0{len(m[2])}x}{m[3]}", text)
            return lld.sub(lambda m: f"{relative:08x}{m[2]}", text)
        return change

    def poke(offset, form, *values):
        def change(raw):
            raw = bytearray(raw)
            struct.pack_into(form, raw, offset, *values)
            return bytes(raw)
        return change

    same = lambda x: x  # noqa: E731
    # Each row: what it shows, the change to the map, the change to the image, and the error
    # (None: it must succeed and leave the entry pointing at the structure).
    rows = [
        ("an empty entry is filled", same, poke(directory, "<II", 0, 0), None),
        ("its own entry is accepted", same, same, None),
        ("a symbol the map lacks", lambda t: t.replace(SYMBOL, "_other_symbol"), same,
         f"the link map names {SYMBOL} 0 times, not once"),
        ("a misaligned structure", at(rva + 2), same, "is not aligned"),
        ("a structure in a writable section", at(writable.VirtualAddress), same,
         "is not in a read-only data section"),
        ("an address in no section", at(0x7FF00000), same, "is in no section"),
        ("a Size that is not the layout's", same, poke(struct_at, "<I", size + 8),
         f"gives Size {size + 8:#x}"),
        ("a Size past its section", same, poke(struct_at, "<I", 0x10000), "gives Size 0x10000"),
        ("an entry that points elsewhere", same, poke(directory, "<II", rva + 8, size),
         "the directory points elsewhere already"),
    ]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="varnholt-load-config-") as folder:
        for what, change_map, change_image, error in rows:
            copy, copy_map = os.path.join(folder, "image.exe"), os.path.join(folder, "link.map")
            given = change_image(built)
            with open(copy, "wb") as f:
                f.write(given)
            with open(copy_map, "w") as f:
                f.write(change_map(mapped))
            result = subprocess.run([sys.executable, FILL, copy, copy_map, SYMBOL],
                                    capture_output=True, text=True)
            with open(copy, "rb") as f:
                after = f.read()
            if error is None:
                ok = result.returncode == 0 and after == built
            else:
                ok = result.returncode != 0 and error in result.stderr and after == given
            if not ok:
                failed += 1
                print(f"FAIL {what}: status {result.returncode}, {result.stderr.strip()!r}")
    print(f"load configuration step: {len(rows) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
