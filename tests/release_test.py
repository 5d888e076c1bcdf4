#!/usr/bin/env python3
"""The release of the committed HEAD, made from fresh clones: its images built once and packed
again and again, the same zips from a whole release in another folder, time zone and umask (and,
as root, by another user); sums that verify; images that pass the image check; signing with PEM
files, on a SoftHSM token and with a timestamp from a local RFC 3161 responder; and the refusals.
Copies the unsigned zips into OUT for the kit's test. Prints one line per failed check and
'N passed, N failed'.

    release_test.py OUT"""
import hashlib
import http.server
import os
import pwd
import shutil
import subprocess
import sys
import tempfile
import threading
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
ZIP = "dist/varnholt-{}-{}.zip"
SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"
ARCHES = ("x86", "x64", "arm64")
# The ARM64 image runs under the arm64 Wine of the root that the win-arm64 preset's tests made.
ARM64_ROOT = os.path.join(SOURCE, "build", "arm64-root")
results = []


def check(what, ok, detail=""):
    results.append(ok)
    if not ok:
        print(f"FAIL {what}" + (f": {detail}" if detail else ""), flush=True)
    return ok


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def version():
    with open(os.path.join(SOURCE, "VERSION")) as f:
        return f.readline().strip()


def clone(folder, owner=None):
    tree = os.path.join(folder, "tree")
    run("git", "clone", "-q", "--no-hardlinks", SOURCE, tree, check=True)
    if owner:
        shutil.chown(folder, owner.pw_uid, owner.pw_gid)
        for root, dirs, files in os.walk(folder):
            for name in dirs + files:
                os.lchown(os.path.join(root, name), owner.pw_uid, owner.pw_gid)
    return tree


def toolchain(folder):
    """The ARM64 toolchain that the win-arm64 preset set up, not one built again for each
    release: its runtime and tools, copied next to the releases' folders, where another user
    can read them."""
    copy = os.path.join(os.path.dirname(folder), "toolchain-arm64")
    if not os.path.isdir(copy):
        built = os.path.join(SOURCE, "build", "toolchain-arm64")
        shutil.copytree(built, copy, symlinks=True,
                        ignore=lambda where, names: ["source", "runtime"] if where == built else [])
    return copy


def release(folder, *stage, tz="UTC", umask=0o022, owner=None, **signing):
    """Clones into folder and makes the release there, or one stage of it (("pack", images));
    returns (status, output, tree)."""
    tree = clone(folder, owner)
    env = {k: v for k, v in os.environ.items() if not k.startswith("VARNHOLT_SIGN_")}
    env.update(TZ=tz, VARNHOLT_ARM64_TOOLCHAIN=toolchain(folder), **signing)
    user = {}
    if owner:
        env["HOME"] = folder
        user = {"user": owner.pw_uid, "group": owner.pw_gid, "extra_groups": []}
    old = os.umask(umask)
    try:
        result = run(os.path.join(tree, "tools", "release.sh"), *stage, cwd=tree, env=env, **user)
    finally:
        os.umask(old)
    return result.returncode, result.stdout + result.stderr, tree


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def unpack(tree, name, folder):
    with zipfile.ZipFile(os.path.join(tree, ZIP.format(version(), name))) as z:
        z.extractall(folder)
        return z.namelist()


def make_pki(folder):
    """A throwaway CA with a code-signing certificate and a time-stamping one, and another CA."""
    def openssl(*args):
        run("openssl", *args, cwd=folder, check=True)

    for ca in ("ca", "other-ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{ca}.key",
                "-out", f"{ca}.pem", "-days", "3650", "-subj", f"/CN=Varnholt test {ca}",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, usage in (("signer", "codeSigning"), ("tsa", "critical,timeStamping"),
                        ("stranger", "codeSigning")):
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                f"{name}.csr", "-subj", f"/CN=Varnholt test {name}")
        with open(os.path.join(folder, f"{name}.ext"), "w") as f:
            f.write(f"basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                    f"extendedKeyUsage={usage}\n")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", "3650", "-extfile", f"{name}.ext", "-out",
                f"{name}.crt")
    for name in ("signer", "tsa"):
        with open(os.path.join(folder, f"{name}-chain.pem"), "w") as out:
            for part in (f"{name}.crt", "ca.pem"):
                with open(os.path.join(folder, part)) as f:
                    out.write(f.read())


def make_token(folder):
    """A SoftHSM token holding the signer's key; returns its environment and key URI."""
    tokens = os.path.join(folder, "tokens")
    os.mkdir(tokens)
    conf = os.path.join(folder, "softhsm2.conf")
    with open(conf, "w") as f:
        f.write(f"directories.tokendir = {tokens}\nobjectstore.backend = file\n")
    env = dict(os.environ, SOFTHSM2_CONF=conf)
    run("softhsm2-util", "--init-token", "--free", "--label", "varnholt", "--pin", "1234",
        "--so-pin", "5678", env=env, check=True)
    for label, key, ident in (("signer", "signer.key", "01"), ("stranger", "stranger.key", "02")):
        run("openssl", "pkcs8", "-topk8", "-nocrypt", "-in", key, "-out", f"{label}.p8",
            cwd=folder, check=True)
        run("softhsm2-util", "--import", os.path.join(folder, f"{label}.p8"), "--token",
            "varnholt", "--label", label, "--id", ident, "--pin", "1234", env=env, check=True)
    return conf, "pkcs11:token=varnholt;object={};type=private;pin-value=1234"


class Responder(http.server.BaseHTTPRequestHandler):
    """An RFC 3161 time-stamping server on 127.0.0.1: openssl ts -reply behind HTTP."""
    folder = None

    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        with tempfile.TemporaryDirectory() as work:
            with open(os.path.join(work, "query.tsq"), "wb") as f:
                f.write(query)
            result = subprocess.run(["openssl", "ts", "-reply", "-config",
                                     os.path.join(self.folder, "tsa.cnf"), "-queryfile",
                                     os.path.join(work, "query.tsq"), "-out",
                                     os.path.join(work, "reply.tsr")], capture_output=True)
            with open(os.path.join(work, "reply.tsr"), "rb") as f:
                reply = f.read() if result.returncode == 0 else b""
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def log_message(self, *args):
        pass


def start_responder(folder):
    with open(os.path.join(folder, "tsa.cnf"), "w") as f:
        f.write(f"""[ tsa ]
default_tsa = tsa_config
[ tsa_config ]
serial = {folder}/tsa.serial
crypto_device = builtin
signer_cert = {folder}/tsa.crt
certs = {folder}/tsa-chain.pem
signer_key = {folder}/tsa.key
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
accuracy = secs:1
ess_cert_id_chain = no
ess_cert_id_alg = sha256
""")
    with open(os.path.join(folder, "tsa.serial"), "w") as f:
        f.write("01\n")
    Responder.folder = folder
    server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def verify(image, ca, tsa_ca=None):
    command = ["osslsigncode", "verify", "-CAfile", ca, "-in", image]
    if tsa_ca:
        command[2:2] = ["-TSA-CAfile", tsa_ca]
    return run(*command).returncode == 0


def images_check(folder, signed, label):
    for arch in ARCHES:
        result = run("/usr/bin/python3", os.path.join(HERE, "image_check.py"),
                     os.path.join(folder, arch, "varnholt.exe"), arch,
                     *(["--signed"] if signed else []))
        check(f"{label}: the {arch} image passes the image check", result.returncode == 0,
              result.stdout)


def wine_cases(folder, kit, label):
    """A representative part of the table of cases, on the bundled images under Wine."""
    for arch in ARCHES:
        standins = tempfile.mkdtemp(prefix="varnholt-standins-")
        os.symlink(os.path.join(kit, arch), os.path.join(standins, "standins"))
        root = ["--arm64-root", ARM64_ROOT] if arch == "arm64" else []
        result = run("/usr/bin/python3", os.path.join(HERE, "run_cases.py"),
                     os.path.join(folder, arch, "varnholt.exe"), "--wine", arch,
                     "--standins", standins, "-k", "-o forced", *root)
        shutil.rmtree(standins)
        check(f"{label}: {arch} image under Wine", result.returncode == 0,
              result.stdout + result.stderr)


def without_signature(image, unsigned, label):
    stripped = image + ".stripped"
    run("osslsigncode", "remove-signature", "-in", image, "-out", stripped, check=True)
    check(f"{label} without its signature is the unsigned image",
          digest(stripped) == digest(unsigned))


def closing(name):
    failed = results.count(False)
    print(f"{name}: {len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


def refused(label, status, output, tree, expected):
    check(f"refusal, {label}: a non-zero status", status != 0, output)
    check(f"refusal, {label}: says why", expected in output, output)
    check(f"refusal, {label}: no zip", not os.path.exists(os.path.join(tree, "dist")), output)


def main(out):
    top = tempfile.mkdtemp(prefix="varnholt-release-")
    os.chmod(top, 0o755)  # for the other user's release
    try:
        return test(top, out)
    finally:
        shutil.rmtree(top, ignore_errors=True)


def test(top, out):
    folders = {n: os.path.join(top, n) for n in
               ("build", "a", "second-folder", "pki", "pem-a", "pem-b", "token", "stamped",
                "unpacked", "kit", "signed", "dirty", "stale", "nokey", "mismatch",
                "tokenmismatch")}
    for folder in folders.values():
        os.mkdir(folder)
    v = version()
    images = os.path.join(top, "images")

    # The images, built once, are packed by every release below but one.
    status, output, _ = release(folders["build"], "build", images)
    if not check("images built", status == 0 and os.path.isfile(os.path.join(images, "COMMIT")),
                 output):
        return closing("release")
    pack = ("pack", images)

    # Unsigned, twice: packed, and made whole in another folder, time zone, umask and (as root)
    # by another user.
    other = pwd.getpwnam("nobody") if os.getuid() == 0 else None
    status, output, a = release(folders["a"], *pack, tz="UTC", umask=0o022)
    check("unsigned release made", status == 0 and "unsigned" in output, output)
    status, output, b = release(folders["second-folder"], tz="Pacific/Chatham", umask=0o077,
                                owner=other)
    check("unsigned release made whole" + (" by another user" if other else ""), status == 0,
          output)
    for name in ("windows", "rehearsal"):
        first, second = (digest(os.path.join(t, ZIP.format(v, name))) for t in (a, b))
        print(f"{name} zip: {first} (both folders)" if first == second else
              f"{name} zip: {first} != {second}")
        check(f"the {name} zip is the same from both", first == second)
    names = unpack(a, "windows", folders["unpacked"])
    check("the zip holds the images, the includes, README.md and SHA256SUMS", sorted(names) ==
          ["README.md", "SHA256SUMS", "arm64/varnholt.exe", "include/varnholt.iss",
           "include/varnholt.nsh", "include/varnholt.wxi", "x64/varnholt.exe",
           "x86/varnholt.exe"], names)
    sums = run("sha256sum", "-c", "SHA256SUMS", cwd=folders["unpacked"])
    check("the unpacked sums verify", sums.returncode == 0 and sums.stdout.count(": OK") == 6,
          sums.stdout + sums.stderr)
    with open(os.path.join(folders["unpacked"], "README.md")) as f:
        readme = f.read()
    for words in ("`arm64/varnholt.exe`", "Exit statuses", "Verifying this release",
                  "`include/varnholt.nsh`", "`include/varnholt.iss`", "`include/varnholt.wxi`"):
        check(f"the zip's README is the shippers' ({words})", words in readme)
    check("the zip's README leaves the maintainers' matters out", "tools/check.sh" not in readme)
    images_check(folders["unpacked"], False, "unsigned")
    kit_names = unpack(a, "rehearsal", folders["kit"])
    check("the kit holds the stand-ins of the three images and the runner's files",
          sorted(kit_names) == sorted(
              [f"{arch}/{dll}" for arch in ARCHES for dll in ("DIFxAPI.dll", "newdev.dll")] +
              ["SHA256SUMS", "arm64-root.sh", "arm64-run.sh", "cases.schema.json", "deps.sh",
               "ci/github-actions.yml", "ci/gitlab-ci.yml", "hold-desktop.cpp",
               "hold-desktop.exe", "rehearsal.md", "rehearse.pyz", "wine32-reserve.c",
               "lib/i386-linux-gnu/wine32-reserve.so", "lib/x86_64-linux-gnu/wine32-reserve.so"] +
              [f"examples/{family}/{name}" for family, name in (
                  ("nsis", "driver-setup.nsi"), ("nsis", "cases.json"), ("msi", "driver-setup.wxs"),
                  ("msi", "cases.json"), ("inno", "driver-setup.iss"), ("inno", "cases.json"),
                  ("include", "varnholt.nsh"), ("include", "varnholt.iss"),
                  ("include", "varnholt.wxi"))]), kit_names)
    kit_sums = run("sha256sum", "-c", "SHA256SUMS", cwd=folders["kit"])
    check("the kit's sums verify", kit_sums.returncode == 0 and kit_sums.stdout.count(": OK") == 28,
          kit_sums.stdout + kit_sums.stderr)
    # The preload goes into Wine's 32-bit programs, its twin into the 64-bit ones: ELF shared
    # objects for i386 (3) and x86-64 (62).
    for lib, machine in (("i386-linux-gnu", 3), ("x86_64-linux-gnu", 62)):
        with open(os.path.join(folders["kit"], "lib", lib, "wine32-reserve.so"), "rb") as f:
            elf = f.read(20)
        check(f"the kit's {lib} preload is a shared object for its machine",
              elf[:4] == b"\x7fELF" and elf[16:18] == b"\x03\x00" and
              int.from_bytes(elf[18:20], "little") == machine, elf.hex())
    with zipfile.ZipFile(os.path.join(folders["kit"], "rehearse.pyz")) as pyz:
        staging = pyz.read("rehearsal/staging.py").decode()
    check("the kit's runner leaves out what only the project's tests use",
          "def stage(" not in staging and "def visible(" in staging)
    with open(os.path.join(folders["kit"], "hold-desktop.exe"), "rb") as f:
        head = f.read(4096)
    pe = int.from_bytes(head[0x3C:0x40], "little")
    # PE32 for x86 (0x14c), Windows GUI subsystem (2): it must run in both kinds of prefix.
    check("the kit's desktop holder is an x86 Windows program",
          head[pe:pe + 6] == b"PE\0\0\x4c\x01" and head[pe + 92:pe + 94] == b"\x02\x00",
          head[pe:pe + 96].hex())

    # Signed with PEM files, twice, then on a token: all the same bytes.
    pki = folders["pki"]
    make_pki(pki)
    pem = {"VARNHOLT_SIGN_CERT": os.path.join(pki, "signer-chain.pem"),
           "VARNHOLT_SIGN_KEY": os.path.join(pki, "signer.key")}
    signed = {}
    for label, tz, umask in (("pem-a", "Europe/Berlin", 0o022), ("pem-b", "Asia/Kolkata", 0o027)):
        status, output, signed[label] = release(folders[label], *pack, tz=tz, umask=umask, **pem)
        check(f"signed release ({label}) made", status == 0, output)
    conf, uri = make_token(pki)
    status, output, signed["token"] = release(
        folders["token"], *pack, SOFTHSM2_CONF=conf, VARNHOLT_SIGN_CERT=pem["VARNHOLT_SIGN_CERT"],
        VARNHOLT_SIGN_KEY=uri.format("signer"), VARNHOLT_SIGN_PKCS11_MODULE=SOFTHSM)
    check("release signed on the token made", status == 0, output)
    zips = {label: digest(os.path.join(t, ZIP.format(v, "windows"))) for label, t in signed.items()}
    check("two signed releases are the same", zips["pem-a"] == zips["pem-b"], zips)
    check("signed on the token or with PEM files, the same", zips["pem-a"] == zips["token"], zips)
    for label in ("pem-a", "token"):
        folder = os.path.join(folders["signed"], label)
        unpack(signed[label], "windows", folder)
        sums = run("sha256sum", "-c", "SHA256SUMS", cwd=folder)
        check(f"{label}: the signed sums verify", sums.returncode == 0, sums.stdout)
        for arch in ARCHES:
            image = os.path.join(folder, arch, "varnholt.exe")
            check(f"{label}: {arch} verifies against its CA", verify(image, f"{pki}/ca.pem"))
            check(f"{label}: {arch} fails against another CA",
                  not verify(image, f"{pki}/other-ca.pem"))
            without_signature(image, os.path.join(folders["unpacked"], arch, "varnholt.exe"),
                              f"{label}: {arch}")
        images_check(folder, True, label)
    signed_folder = os.path.join(folders["signed"], "pem-a")
    size = {arch: (os.path.getsize(os.path.join(signed_folder, arch, "varnholt.exe")) -
                   os.path.getsize(os.path.join(folders["unpacked"], arch, "varnholt.exe")))
            for arch in ARCHES}
    print("signing adds " + ", ".join(f"{size[arch]} bytes ({arch})" for arch in ARCHES))
    wine_cases(signed_folder, folders["kit"], "signed")

    # Timestamped by a responder on this machine: not the same bytes, but the same image below.
    server = start_responder(pki)
    status, output, stamped = release(
        folders["stamped"], *pack, VARNHOLT_SIGN_TIMESTAMP_URL=f"http://127.0.0.1:{server.server_port}/",
        **pem)
    server.shutdown()
    check("timestamped release made", status == 0 and "timestamped" in output, output)
    if status == 0:
        folder = os.path.join(folders["stamped"], "unpacked")
        unpack(stamped, "windows", folder)
        for arch in ARCHES:
            image = os.path.join(folder, arch, "varnholt.exe")
            check(f"timestamped {arch} verifies", verify(image, f"{pki}/ca.pem", f"{pki}/ca.pem"))
            without_signature(image, os.path.join(folders["unpacked"], arch, "varnholt.exe"),
                              f"timestamped {arch}")

    # Refusals: each with a clear message, a non-zero status and no zip.
    tree = clone(folders["dirty"])
    with open(os.path.join(tree, "README.md"), "a") as f:
        f.write("a change\n")
    result = run(os.path.join(tree, "tools", "release.sh"), cwd=tree)
    refused("a dirty tree", result.returncode, result.stdout + result.stderr, tree,
            "release: tracked files have uncommitted changes")
    status, output, tree = release(folders["nokey"], *pack,
                                   VARNHOLT_SIGN_CERT=pem["VARNHOLT_SIGN_CERT"],
                                   VARNHOLT_SIGN_KEY=os.path.join(pki, "missing.key"))
    refused("a missing key file", status, output, tree, "missing.key does not exist")
    status, output, tree = release(folders["mismatch"], *pack,
                                   VARNHOLT_SIGN_CERT=pem["VARNHOLT_SIGN_CERT"],
                                   VARNHOLT_SIGN_KEY=os.path.join(pki, "stranger.key"))
    refused("a key that does not match", status, output, tree, "does not match the certificate")
    status, output, tree = release(
        folders["tokenmismatch"], *pack, SOFTHSM2_CONF=conf, VARNHOLT_SIGN_CERT=pem["VARNHOLT_SIGN_CERT"],
        VARNHOLT_SIGN_KEY=uri.format("stranger"), VARNHOLT_SIGN_PKCS11_MODULE=SOFTHSM)
    refused("a token key that does not match", status, output, tree, "signing the x86 image failed")
    stale = os.path.join(folders["stale"], "images")
    shutil.copytree(images, stale)
    with open(os.path.join(stale, "COMMIT"), "w") as f:
        f.write("0" * 40 + "\n")
    status, output, tree = release(folders["stale"], "pack", stale)
    refused("images of another commit", status, output, tree, "holds no images of")

    os.makedirs(out, exist_ok=True)
    for name in ("windows", "rehearsal"):
        shutil.copy(os.path.join(a, ZIP.format(v, name)), out)
    return closing("release")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
