"""What a case's program needs where its Wine sees it: the program itself, its C: paths, and
the environment in which Wine takes the stand-in services beside it over its own."""
import os
import re
import shutil

from .files import in_tmp


def visible(session, program):
    """The program's path as the session's Wine sees it: outside /tmp, copied into the
    session's folder when that Wine runs in a root."""
    if not session.wrap or in_tmp(program):
        return program
    os.makedirs(os.path.join(session.folder, "programs"), exist_ok=True)
    return shutil.copy(program, os.path.join(session.folder, "programs"))


def drive_c(session, path):
    """The Linux path of a C: path inside the prefix."""
    rest = re.sub(r"^[Cc]:\\", "", path).replace("\\", "/")
    return os.path.join(session.env["WINEPREFIX"], "drive_c", rest)


def native_services(session, missing=()):
    """The environment in which Wine takes the newdev.dll and DIFxAPI.dll found beside a
    program over its own, and in which those named in `missing` cannot be loaded at all."""
    state = {"newdev": "n", "difxapi": "n"}
    for dll in missing:
        state[dll.lower().removesuffix(".dll")] = ""
    overrides = ";".join(f"{dll}={how}" for dll, how in state.items())
    return dict(session.env, WINEDLLOVERRIDES=session.env["WINEDLLOVERRIDES"] + ";" + overrides)

