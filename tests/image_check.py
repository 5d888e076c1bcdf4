#!/usr/bin/env python3
"""Reads a built Windows image with pefile and checks the properties a setup program relies on:
machine, subsystem and versions, base and relocations, security flags, stripped symbols, exactly
the load-time imports, the manifest as the only resource, byte for byte, the load configuration
(read again by llvm-readobj) and the size. With --signed the image must carry a certificate table
(an Authenticode signature), else none.

    image_check.py IMAGE x86|x64|arm64 [--signed]"""
import os
import re
import subprocess
import sys

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))

MANIFEST = (
    b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
    b'<assembly manifestVersion="1.0" xmlns="urn:schemas-microsoft-com:asm.v1"'
    b' xmlns:asmv3="urn:schemas-microsoft-com:asm.v3">'
    b'<assemblyIdentity type="win32" name="Kestrune.Install.Varnholt" version="%s"'
    b' processorArchitecture="%s"></assemblyIdentity>'
    b'<description> Varnholt </description>'
    b'<trustInfo xmlns="urn:schemas-microsoft-com:asm.v3"><security><requestedPrivileges>'
    b'<requestedExecutionLevel level="asInvoker" uiAccess="false"></requestedExecutionLevel>'
    b'</requestedPrivileges></security></trustInfo>'
    b'<compatibility xmlns="urn:schemas-microsoft-com:compatibility.v1"><application>'
    b'<supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"></supportedOS>'
    b'<supportedOS Id="{1f676c76-80e1-4239-95bb-83d0f6d0da78}"></supportedOS>'
    b'<supportedOS Id="{e2011457-1546-43c5-a5fe-008deee3d3f0}"></supportedOS>'
    b'<supportedOS Id="{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"></supportedOS>'
    b'<supportedOS Id="{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"></supportedOS>'
    b'</application></compatibility></assembly>')

ARCHES = {
    "x86": {"machine": 0x014C, "magic": 0x10B, "base": 0x00400000, "manifest": b"x86",
            "large_address_aware": False, "high_entropy": False, "max_size": 18944,
            "load_config": 0xBC, "flags_at": 0x36, "align": 4},
    "x64": {"machine": 0x8664, "magic": 0x20B, "base": 0x140000000, "manifest": b"amd64",
            "large_address_aware": True, "high_entropy": True, "max_size": 18944,
            "load_config": 0x138, "flags_at": 0x4E, "align": 8},
    "arm64": {"machine": 0xAA64, "magic": 0x20B, "base": 0x140000000, "manifest": b"arm64",
              "large_address_aware": True, "high_entropy": True, "max_size": 18944,
              "load_config": 0x138, "flags_at": 0x4E, "align": 8},
}

IMPORTS = {
    "newdev.dll": {"DiInstallDriverW"},
    "difxapi.dll": {"DriverPackageUninstallW"},
    "user32.dll": {"MessageBoxW"},
}
DLLS = {"kernel32.dll", "user32.dll", "newdev.dll", "difxapi.dll", "msvcrt.dll"}

RELOCS_STRIPPED, LARGE_ADDRESS_AWARE = 0x0001, 0x0020
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x0020, 0x0040, 0x0100, 0x8000
DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG, DIR_LOAD_CONFIG = 4, 5, 6, 10
SCN_MEM_WRITE = 0x80000000
# DependentLoadFlags: load-time imports from System32 only (LOAD_LIBRARY_SEARCH_SYSTEM32).
SYSTEM32_ONLY = 0x800


def resources(pe):
    found = []
    if not hasattr(pe, "DIRECTORY_ENTRY_RESOURCE"):
        return found
    for rtype in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for rid in rtype.directory.entries:
            for lang in rid.directory.entries:
                data = lang.data.struct
                found.append((rtype.id, rid.id, lang.id,
                              pe.get_data(data.OffsetToData, data.Size)))
    return found


def version():
    with open(os.path.join(os.path.dirname(HERE), "VERSION")) as f:
        return f.readline().strip().encode()


def load_config(pe, want):
    """The load configuration as pefile reads it (it names DependentLoadFlags Reserved1)."""
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[DIR_LOAD_CONFIG]
    section = pe.get_section_by_rva(entry.VirtualAddress) if entry.Size else None
    yield "load configuration directory Size", entry.Size, want["load_config"]
    yield "load configuration in a read-only section", \
        bool(section) and not section.Characteristics & SCN_MEM_WRITE, True
    yield "load configuration aligned", entry.VirtualAddress % want["align"], 0
    config = getattr(pe, "DIRECTORY_ENTRY_LOAD_CONFIG", None)
    names = [n for n in config.struct.dump_dict() if n != "Structure"] if config else []
    fields = {name: getattr(config.struct, name) for name in names}
    yield "load configuration's own Size", fields.get("Size"), entry.Size
    yield "DependentLoadFlags", fields.get("Reserved1"), SYSTEM32_ONLY
    others = {name: value for name, value in fields.items()
              if name not in ("Size", "Reserved1") and value}
    yield "every other load configuration field zero (pefile)", others, {}
    # pefile's layout ends before the newest fields: the bytes after the flag must all be zero.
    data = pe.get_data(entry.VirtualAddress, entry.Size) if config else b""
    yield "load configuration bytes after the flag zero", \
        data[want["flags_at"] + 2:].count(0), entry.Size - want["flags_at"] - 2


def llvm_load_config(path, want):
    """The load configuration as llvm-readobj reads it, independently of pefile."""
    output = subprocess.run(["llvm-readobj", "--coff-load-config", path], capture_output=True,
                            text=True).stdout
    block = re.search(r"^LoadConfig \[\n(.*?)^\]", output, re.MULTILINE | re.DOTALL)
    fields = dict(re.findall(r"^\s+(\w+): (.*)$", block[1], re.MULTILINE)) if block else {}
    yield "llvm-readobj: Size", fields.get("Size"), f"0x{want['load_config']:X}"
    yield "llvm-readobj: DependentLoadFlags", fields.get("DependentLoadFlags"), "0x800"
    yield "llvm-readobj: SafeSEH table and count", \
        (fields.get("SEHandlerTable"), fields.get("SEHandlerCount")), ("0x0", "0")
    zero = ("0", "0x0", "1970-01-01 00:00:00 (0x0)")
    others = {k: v for k, v in fields.items()
              if k not in ("Size", "DependentLoadFlags") and v not in zero}
    yield "llvm-readobj: every other field zero", others, {}


def checks(path, arch, signed):
    want = ARCHES[arch]
    with open(path, "rb") as f:
        raw = f.read()
    pe = pefile.PE(data=raw)
    fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    imports = {e.dll.decode().lower(): {i.name.decode() for i in e.imports if i.name}
               for e in pe.DIRECTORY_ENTRY_IMPORT}
    yield "machine", fh.Machine, want["machine"]
    yield "optional header magic", oh.Magic, want["magic"]
    yield "console subsystem", oh.Subsystem, 3
    yield "operating-system version", (oh.MajorOperatingSystemVersion,
                                       oh.MinorOperatingSystemVersion), (6, 0)
    yield "subsystem version", (oh.MajorSubsystemVersion, oh.MinorSubsystemVersion), (6, 0)
    yield "image base", oh.ImageBase, want["base"]
    yield "relocations kept", bool(fh.Characteristics & RELOCS_STRIPPED), False
    yield "base-relocation table present", oh.DATA_DIRECTORY[DIR_BASERELOC].Size > 0, True
    yield "dynamic base", bool(oh.DllCharacteristics & DYNAMIC_BASE), True
    yield "NX compatible", bool(oh.DllCharacteristics & NX_COMPAT), True
    yield "terminal-server aware", bool(oh.DllCharacteristics & TERMINAL_SERVER_AWARE), True
    yield "high-entropy address space", bool(oh.DllCharacteristics & HIGH_ENTROPY_VA), \
        want["high_entropy"]
    yield "large-address-aware", bool(fh.Characteristics & LARGE_ADDRESS_AWARE), \
        want["large_address_aware"]
    yield "no symbol table", (fh.PointerToSymbolTable, fh.NumberOfSymbols), (0, 0)
    yield "no debug directory", oh.DATA_DIRECTORY[DIR_DEBUG].Size, 0
    yield "no link timestamp", fh.TimeDateStamp, 0
    yield "checksum of the image as it is", oh.CheckSum, pe.generate_checksum()
    yield "imported DLLs", sorted(imports), sorted(DLLS)
    for dll, names in IMPORTS.items():
        yield f"functions from {dll}", imports.get(dll), names
    yield "wide console start-up", "__wgetmainargs" in imports.get("msvcrt.dll", ()), True
    yield "runtime printf, not MinGW's", ("printf" in imports.get("msvcrt.dll", ()),
                                          b"__mingw_pformat" in raw), (True, False)
    yield "nothing delay-loaded", hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), False
    yield "only the manifest as a resource", [r[:3] for r in resources(pe)], [(24, 1, 1033)]
    yield "manifest bytes", [r[3] for r in resources(pe)], \
        [MANIFEST % (version(), want["manifest"])]
    yield from load_config(pe, want)
    yield from llvm_load_config(path, want)
    # A signature is appended as the certificate table, which the size leaves out.
    table = oh.DATA_DIRECTORY[DIR_SECURITY]
    yield "certificate table", table.Size > 0, signed
    yield f"at most {want['max_size']} bytes", len(raw) - table.Size <= want["max_size"], True


def main(path, arch, signed=""):
    failed = 0
    results = list(checks(path, arch, signed == "--signed"))
    for what, got, want in results:
        if got != want:
            failed += 1
            print(f"FAIL {arch} {what}: expected {want!r}, got {got!r}")
    print(f"image {arch} ({len(open(path, 'rb').read())} bytes): "
          f"{len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
