#!/usr/bin/env python3
"""Builds the image of one preset twice from copies of the source in two different folders and
checks that the two images are byte-identical."""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile


def build(source, folder, preset):
    tree = os.path.join(folder, "src")
    shutil.copytree(source, tree, ignore=shutil.ignore_patterns("build", ".git"))
    for step in (["cmake", "--preset", preset], ["cmake", "--build", "--preset", preset]):
        subprocess.run(step, cwd=tree, check=True, stdout=subprocess.DEVNULL)
    with open(os.path.join(tree, "build", preset, "varnholt.exe"), "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main(source, preset):
    with tempfile.TemporaryDirectory(prefix="varnholt-a-") as a, \
            tempfile.TemporaryDirectory(prefix="varnholt-second-build-") as b:
        first, second = build(source, a, preset), build(source, b, preset)
    same = first == second
    print(f"{preset}: {first} {'==' if same else '!='} {second}")
    print(f"reproducible {preset}: {int(same)} passed, {int(not same)} failed")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
