#!/usr/bin/env python3
"""Points a linked PE image's load-configuration directory at the structure the link placed at a
symbol, as the link map gives it: GNU ld before binutils 2.45 leaves the directory empty. lld
fills it itself; the step then checks what lld wrote and sets the image checksum, which lld leaves
at zero.

    fill_load_config.py IMAGE LINK-MAP SYMBOL

Fails, changing nothing, when the map has no such symbol, or the structure is misaligned, outside
a read-only data section, or gives a Size that is not its layout's or does not fit its section."""
import re
import struct
import sys

LOAD_CONFIG = 10
# Machine: optional header magic, where the image base and the directories are in that header,
# pointer size, and the Size of the layout the program defines.
MACHINES = {
    0x014C: {"magic": 0x10B, "base": (28, "<I"), "directories": 96, "align": 4, "size": 0xBC},
    0x8664: {"magic": 0x20B, "base": (24, "<Q"), "directories": 112, "align": 8, "size": 0x138},
    0xAA64: {"magic": 0x20B, "base": (24, "<Q"), "directories": 112, "align": 8, "size": 0x138},
}
SCN_INITIALIZED_DATA, SCN_MEM_WRITE = 0x00000040, 0x80000000


def fill(image, map_file, symbol):
    def fail(why):
        raise SystemExit(f"fill_load_config: {image}: {why}")

    with open(image, "rb") as f:
        raw = bytearray(f.read())
    pe = struct.unpack_from("<I", raw, 0x3C)[0]
    machine, sections = struct.unpack_from("<HH", raw, pe + 4)
    optional_size = struct.unpack_from("<H", raw, pe + 20)[0]
    optional = pe + 24
    kind = MACHINES.get(machine)
    if raw[pe:pe + 4] != b"PE\0\0" or not kind:
        fail("not an x86, x64 or ARM64 PE image")
    if struct.unpack_from("<H", raw, optional)[0] != kind["magic"]:
        fail("an optional header of the wrong kind")
    directories = optional + kind["directories"]
    if struct.unpack_from("<I", raw, directories - 4)[0] <= LOAD_CONFIG:
        fail("no load-configuration directory entry")
    offset, form = kind["base"]
    base = struct.unpack_from(form, raw, optional + offset)[0]

    # GNU ld's map gives addresses, lld's relative ones, at the start of the line.
    with open(map_file) as f:
        text = f.read()
    name = re.escape(symbol)
    found = [int(a, 16) - base for a in re.findall(rf"^\s+0x([0-9a-f]+)\s+{name}$", text, re.M)]
    found += [int(a, 16) for a in re.findall(rf"^([0-9a-f]{{8}}) [0-9a-f]{{8}} +\d+ +{name}$",
                                              text, re.M)]
    if len(found) != 1:
        fail(f"the link map names {symbol} {len(found)} times, not once")
    rva = found[0]
    headers = [struct.unpack_from("<8xIIII12xI", raw, optional + optional_size + 40 * i)
               for i in range(sections)]
    within = [h for h in headers if h[1] <= rva < h[1] + h[0]]
    if not within:
        fail(f"{symbol} at {rva:#x} is in no section")
    size_in_memory, section_rva, raw_size, raw_offset, flags = within[0]
    if flags & SCN_MEM_WRITE or not flags & SCN_INITIALIZED_DATA:
        fail(f"{symbol} is not in a read-only data section")
    if rva % kind["align"]:
        fail(f"{symbol} at {rva:#x} is not aligned to {kind['align']} bytes")
    inside = rva - section_rva
    size = struct.unpack_from("<I", raw, raw_offset + inside)[0]
    if size != kind["size"] or inside + size > min(size_in_memory, raw_size):
        fail(f"{symbol} gives Size {size:#x}; its layout's is {kind['size']:#x}, within its section")

    entry = directories + 8 * LOAD_CONFIG
    present = struct.unpack_from("<II", raw, entry)
    if present not in ((0, 0), (rva, size)):
        fail(f"the directory points elsewhere already: {present[0]:#x}, {present[1]:#x}")
    struct.pack_into("<II", raw, entry, rva, size)
    # The linker wrote the image's checksum; it must cover the changed entry.
    struct.pack_into("<I", raw, optional + 64, checksum(raw, optional + 64))
    with open(image, "r+b") as f:
        f.write(raw)


def checksum(raw, field):
    """The PE image checksum: 16-bit one's-complement sum of the file less the checksum field,
    plus the file's length."""
    data = bytes(raw[:field]) + b"\0\0\0\0" + bytes(raw[field + 4:]) + b"\0" * (len(raw) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", data):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return total + len(raw)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        raise SystemExit(__doc__)
    fill(*sys.argv[1:])
