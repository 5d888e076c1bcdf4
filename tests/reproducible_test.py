#!/usr/bin/env python3
"""Builds the image of one preset again from a copy of the source in another folder and checks
that it is byte-identical with the image the preset built in the source tree. The ARM64 image's
second build takes a C runtime built from its source a second time, in a folder of its own: the
cache keeps it apart from the first, as another build, never the first one read again."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def build(source, folder, preset):
    tree = os.path.join(folder, "src")
    shutil.copytree(source, tree, ignore=shutil.ignore_patterns("build", ".git"))
    env = dict(os.environ)
    if preset == "win-arm64":
        env["VARNHOLT_ARM64_TOOLCHAIN"] = os.path.join(source, "build", "toolchain-arm64-second")
        env["VARNHOLT_ARM64_RUNTIME_BUILD"] = "second"
    for step in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
        subprocess.run(step, cwd=tree, env=env, check=True, stdout=subprocess.DEVNULL)
    return digest(os.path.join(tree, "build", preset, "varnholt.exe"))


def main(source, preset):
    first = digest(os.path.join(source, "build", preset, "varnholt.exe"))
    with tempfile.TemporaryDirectory(prefix="varnholt-second-build-") as folder:
        second = build(source, folder, preset)
    same = first == second
    print(f"{preset}: {first} {'==' if same else '!='} {second}")
    print(f"reproducible {preset}: {int(same)} passed, {int(not same)} failed")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
