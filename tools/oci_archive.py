#!/usr/bin/env python3
"""Writes an image archive that `podman load` and `docker load` take (an OCI layout, with Docker's
manifest.json beside it), the same bytes from the same inputs: a base layer given as a gzipped
tar with the sha256 of the tar, then a layer made here of FOLDER's files, which stand at the same
paths in the image, in name order, owned by root, each with the given time. No entry point and
no user: CI systems set their own.

    oci_archive.py OUT.tar NAME:TAG SECONDS BASE.tar.gz BASE_TAR_SHA256 FOLDER [LABEL=VALUE...]"""
import gzip
import hashlib
import io
import json
import os
import sys
import tarfile
import time


def layer(folder, seconds):
    """FOLDER as a tar, and the same gzipped."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as tar:
        paths = []
        for root, dirs, files in os.walk(folder):
            paths += [os.path.join(root, name) for name in dirs + files]
        for path in sorted(paths):
            info = tar.gettarinfo(path, os.path.relpath(path, folder))
            info.mtime, info.uid, info.gid, info.uname, info.gname = seconds, 0, 0, "", ""
            info.mode = 0o755 if info.isdir() or info.mode & 0o100 else 0o644
            with open(path, "rb") if info.isfile() else io.BytesIO() as f:
                tar.addfile(info, f if info.isfile() else None)
    packed = io.BytesIO()
    with gzip.GzipFile(fileobj=packed, mode="wb", mtime=0) as z:
        z.write(raw.getvalue())
    return raw.getvalue(), packed.getvalue()


def canonical(thing):
    return json.dumps(thing, sort_keys=True, separators=(",", ":")).encode()


def main(out, name, seconds, base, base_sha256, folder, *labels):
    seconds = int(seconds)
    created = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(seconds))
    kit_tar, kit_gz = layer(folder, seconds)
    blobs = {}  # digest: bytes, or the path of a file

    def blob(data):
        digest = "sha256:" + hashlib.sha256(data).hexdigest()
        blobs[digest] = data
        return digest

    digest = hashlib.sha256()
    with open(base, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            digest.update(chunk)
    base_digest = "sha256:" + digest.hexdigest()
    blobs[base_digest] = base
    layers = [{"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip", "digest": base_digest,
               "size": os.path.getsize(base)},
              {"mediaType": "application/vnd.oci.image.layer.v1.tar+gzip", "digest": blob(kit_gz),
               "size": len(kit_gz)}]
    config = canonical({
        "architecture": "amd64", "os": "linux", "created": created,
        "config": {"Env": ["PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
                           "LANG=C.UTF-8"],
                   "Cmd": ["/bin/bash"], "WorkingDir": "/",
                   "Labels": dict(label.split("=", 1) for label in labels)},
        "rootfs": {"type": "layers",
                   "diff_ids": ["sha256:" + base_sha256,
                                "sha256:" + hashlib.sha256(kit_tar).hexdigest()]},
        "history": [{"created": created, "created_by": "Debian packages (mmdebstrap)"},
                    {"created": created, "created_by": "the rehearsal kit"}]})
    config_digest = blob(config)
    manifest = canonical({
        "schemaVersion": 2, "mediaType": "application/vnd.oci.image.manifest.v1+json",
        "config": {"mediaType": "application/vnd.oci.image.config.v1+json",
                   "digest": config_digest, "size": len(config)},
        "layers": layers})
    manifest_digest = blob(manifest)
    files = {
        "oci-layout": canonical({"imageLayoutVersion": "1.0.0"}),
        "index.json": canonical({
            "schemaVersion": 2, "mediaType": "application/vnd.oci.image.index.v1+json",
            "manifests": [{"mediaType": "application/vnd.oci.image.manifest.v1+json",
                           "digest": manifest_digest, "size": len(manifest),
                           "annotations": {"org.opencontainers.image.ref.name": name}}]}),
        "manifest.json": canonical([{
            "Config": "blobs/sha256/" + config_digest[7:], "RepoTags": [name],
            "Layers": ["blobs/sha256/" + layer["digest"][7:] for layer in layers]}]),
    }
    for digest, data in blobs.items():
        files["blobs/sha256/" + digest[7:]] = data
    # Written aside and renamed: a run that fails leaves no archive to be taken for a whole one.
    with tarfile.open(out + ".part", "w", format=tarfile.PAX_FORMAT) as tar:
        for folder in ("blobs", "blobs/sha256"):
            info = tarfile.TarInfo(folder)
            info.type, info.mode, info.mtime = tarfile.DIRTYPE, 0o755, seconds
            tar.addfile(info)
        for path in sorted(files):
            data = files[path]
            info = tarfile.TarInfo(path)
            info.mode, info.mtime = 0o644, seconds
            if isinstance(data, bytes):
                info.size = len(data)
                tar.addfile(info, io.BytesIO(data))
            else:
                info.size = os.path.getsize(data)
                with open(data, "rb") as f:
                    tar.addfile(info, f)
    os.replace(out + ".part", out)
    print(f"{out}: {name}, manifest {manifest_digest}, image ID {config_digest[7:19]}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 7 or not sys.argv[3].isdigit():
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
