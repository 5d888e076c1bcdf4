#!/usr/bin/env python3
"""Reads a built Windows image with pefile and checks the properties a setup program relies on:
machine, subsystem and versions, base and relocations, security flags, stripped symbols, exactly
the load-time imports, the manifest as the only resource, byte for byte, and the size. With
--signed the image must carry a certificate table (an Authenticode signature), else none.

    image_check.py IMAGE x86|x64 [--signed]"""
import sys

import pefile

MANIFEST = (
    b'\xef\xbb\xbf<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\r\n'
    b'<assembly manifestVersion="1.0" xmlns="urn:schemas-microsoft-com:asm.v1"'
    b' xmlns:asmv3="urn:schemas-microsoft-com:asm.v3">'
    b'<assemblyIdentity type="win32" name="Kestrune.Install.Varnholt" version="1.0.0.0"'
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
            "large_address_aware": False, "high_entropy": False, "max_size": 19 * 1024},
    "x64": {"machine": 0x8664, "magic": 0x20B, "base": 0x140000000, "manifest": b"amd64",
            "large_address_aware": True, "high_entropy": True, "max_size": 19 * 1024},
}

IMPORTS = {
    "newdev.dll": {"DiInstallDriverW"},
    "difxapi.dll": {"DriverPackageUninstallW"},
    "user32.dll": {"MessageBoxW"},
}
DLLS = {"kernel32.dll", "user32.dll", "newdev.dll", "difxapi.dll", "msvcrt.dll"}

RELOCS_STRIPPED, LARGE_ADDRESS_AWARE = 0x0001, 0x0020
HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT, TERMINAL_SERVER_AWARE = 0x0020, 0x0040, 0x0100, 0x8000
DIR_SECURITY, DIR_BASERELOC, DIR_DEBUG = 4, 5, 6


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
    yield "imported DLLs", sorted(imports), sorted(DLLS)
    for dll, names in IMPORTS.items():
        yield f"functions from {dll}", imports.get(dll), names
    yield "wide console start-up", "__wgetmainargs" in imports.get("msvcrt.dll", ()), True
    yield "runtime printf, not MinGW's", ("printf" in imports.get("msvcrt.dll", ()),
                                          b"__mingw_pformat" in raw), (True, False)
    yield "nothing delay-loaded", hasattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT"), False
    yield "only the manifest as a resource", [r[:3] for r in resources(pe)], [(24, 1, 1033)]
    yield "manifest bytes", [r[3] for r in resources(pe)], [MANIFEST % want["manifest"]]
    # A signature is appended as the certificate table, which the size leaves out.
    table = oh.DATA_DIRECTORY[DIR_SECURITY]
    yield "certificate table", table.Size > 0, signed
    yield f"smaller than {want['max_size']} bytes", len(raw) - table.Size < want["max_size"], True


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
