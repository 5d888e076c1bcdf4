#!/usr/bin/env python3
"""The rehearsal kit as a setup author gets it: unpacked from the release's zip (which the release
test left in OUT), its runner run against the NSIS example's test build made with the kit's
stand-ins, on a table of the example's own cases mixed with cases the runner must survive: one
past its time limit, one with a question nobody expected, one whose program cannot start. Each
such case must fail alone, the next one pass, the whole run end within its bound, and nothing be
left running; the JUnit report must say what was printed. The runner ended from outside during a
case must leave a report that says so. Then the kit's ARM64 path: its runner, through the kit's
own wrapper, runs the release's ARM64 image as the program under the arm64 Wine of the root that
the win-arm64 preset's tests made (against Wine's own services: the cases check statuses, not
the stand-ins). Last, the kit's container image, when its inputs changed since it last passed
here: made twice to the same bytes, loaded with podman, and the example's cases rehearsed in it
by the very commands of the CI examples. Prints one line per failed check and 'N passed,
N failed'.

    kit_test.py OUT"""
import contextlib
import filecmp
import glob
import hashlib
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET
import zipfile

from release_test import SOURCE, ZIP, check, closing, results, run, version

EXAMPLE = os.path.join(SOURCE, "examples", "nsis", "cases.json")
# The per-user cache, as the project's scripts find it.
CACHE = run("bash", "-c", ". kit/deps.sh && cache_folder", cwd=SOURCE).stdout.strip()
# The most the whole run may take: two new prefixes' worth, on a slow machine.
BOUND = 300
ARM64_ROOT = os.path.join(SOURCE, "build", "arm64-root")
# A program that does not end by itself: a case that runs it is still running at any bound.
NOTEPAD = "C:\\windows\\system32\\notepad.exe"


def example(name):
    with open(EXAMPLE, encoding="utf-8") as f:
        return next(c for c in json.load(f)["cases"] if c["name"] == name)


# Each case of a table, and the one line the runner must print for it (None: it passes).
CASES = [
    ({"name": "too slow", "run": NOTEPAD, "args": [], "status": 0, "timeout": 1},
     "FAIL too slow (win64): still running after 1 s"),
    (example("silent install works"), None),
    ({"name": "unexpected question", "args": ["/D={folder}"], "install": "2", "status": 3},
     "FAIL unexpected question (win64): a question that was not expected"),
    (example("interactive failure answered Yes goes on"), None),
    ({"name": "cannot start", "run": "C:\\no such program.exe", "args": [], "status": 0},
     "FAIL cannot start (win64): status 53, expected 0; did not start: wine: failed to open"),
    (example("interactive failure answered No stops"), None),
    (example("silent: Varnholt cannot start without DIFxAPI.dll"), None),
]


# The ARM64 image itself stands for the setup, with the kit's ARM64 stand-ins beside it.
ARM64_CASES = [
    ({"name": "ARM64 install", "args": ["-i", "C:\\pkg.inf"], "install": "ok", "status": 0,
      "calls": ['DiInstallDriverW parent=NULL inf="C:\\\\pkg.inf" flags=0x00000000 reboot=NULL']},
     None),
    ({"name": "ARM64 unexpected question", "args": ["-o", "C:\\pkg.inf"], "install": "2",
      "status": 1}, "FAIL ARM64 unexpected question (win64): a question that was not expected"),
    ({"name": "ARM64 forced after Yes", "args": ["-o", "C:\\pkg.inf"], "install": "259,ok",
      "answers": ["yes"], "status": 0}, None),
    ({"name": "ARM64 cannot start", "run": "C:\\no such program.exe", "args": [], "status": 0},
     "FAIL ARM64 cannot start (win64): status 53, expected 0; did not start: wine: failed to open"),
    ({"name": "ARM64 removal", "args": ["-u", "C:\\pkg.inf"], "uninstall": "0", "status": 0,
      "calls": ['DriverPackageUninstallW inf="C:\\\\pkg.inf" flags=0x00000000 installer=NULL '
                'reboot=FALSE']}, None),
]


def ended(kit, setup, prefixes):
    """The runner ended from outside while a case runs: it ends within its bound, with 143 and
    nothing left running, its report written, saying which case passed, which was running and
    which did not run."""
    names = ["silent install works", "runs on", "interactive failure answered No stops"]
    table = table_of(setup, [example(names[0]),
                             {"name": names[1], "run": NOTEPAD, "args": [], "status": 0},
                             example(names[2])])
    report, output = table + ".xml", table + ".out"
    with open(output, "wb") as out:
        runner = subprocess.Popen(["/usr/bin/python3", os.path.join(kit, "rehearse.pyz"), setup,
                                   table, "--junit", report], stdout=out, stderr=out,
                                  env=dict(os.environ, TMPDIR=prefixes))
    deadline = time.monotonic() + BOUND
    while time.monotonic() < deadline and runner.poll() is None and \
            junit(report)[:1] != [(names[0], "passed", None)]:
        time.sleep(0.5)
    time.sleep(3)  # into the case that runs on
    runner.terminate()
    try:
        status = runner.wait(timeout=60)
    except subprocess.TimeoutExpired:
        runner.kill()
        status = runner.wait()
    with open(output, errors="replace") as f:
        printed = f.read()
    check("ended from outside: the runner's status is 143", status == 143, printed)
    why = "the runner was ended from outside"
    check("ended from outside: the report says what ran, what was running and what did not",
          junit(report) == [(names[0], "passed", None),
                            (names[1], f"error: ended while running: {why}", None),
                            (names[2], f"error: not run: {why}", None)], junit(report))
    check("ended from outside: nothing left running", not leftovers(prefixes), leftovers(prefixes))


# What the image's test depends on, besides the kit's zip and the Debian packages that make and
# run the image: when none changed since it passed on this machine, it is not run again.
IMAGE_INPUTS = ["tools/kit-image.sh", "tools/oci_archive.py", "kit/ci/github-actions.yml",
                "kit/ci/gitlab-ci.yml", "tests/kit_test.py", "examples/nsis/cases.json"]
# podman's settings for this machine, in a file of the test's own: runc (crun refuses a hybrid
# cgroup layout), cgroupfs, no network, and limits no higher than the machine allows.
CONTAINERS_CONF = """[containers]
netns = "none"
default_ulimits = ["nofile={files}:{files}", "nproc=4096:4096"]
[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "file"
"""


# The GitLab example runs a part of the example's table, with a 32-bit case among it.
GITLAB_CASES = ["interactive install forced after Yes", "silent: Varnholt cannot start without "
                "DIFxAPI.dll", "32-bit Windows: interactive install forced after Yes"]


def container(top, zipped, setup):
    """The kit's container image, made twice from the release's kit to the same bytes, loaded
    with podman, and the NSIS example's table rehearsed in it by the very commands of the CI
    examples, with a JUnit report; once for each change of its inputs."""
    key = hashlib.sha256()
    for path in [zipped] + [os.path.join(SOURCE, p) for p in IMAGE_INPUTS]:
        with open(path, "rb") as f:
            key.update(hashlib.sha256(f.read()).digest())
    key.update(run("dpkg-query", "-W", "mmdebstrap", "podman", "runc").stdout.encode())
    key = key.hexdigest()
    passed = os.path.join(CACHE, "kit-image-passed", key[:16])
    if os.path.exists(passed):
        print(f"kit image: its inputs are those with which it passed here ({passed})")
        return
    failures = results.count(False)
    tars = [os.path.join(top, f"image-{n}.tar") for n in (1, 2)]
    for tar in tars:
        started = time.monotonic()
        made = run(os.path.join(SOURCE, "tools", "kit-image.sh"), zipped, tar, cwd=SOURCE)
        if not check("the kit's image made", made.returncode == 0, made.stdout + made.stderr):
            return
        print(f"kit image: {os.path.getsize(tar)} bytes, made in "
              f"{time.monotonic() - started:.0f} s: {made.stdout.strip()}")
    check("the image made twice is the same", filecmp.cmp(*tars, shallow=False))
    check("the image's archive is at most 380 MB", os.path.getsize(tars[0]) <= 380e6,
          os.path.getsize(tars[0]))
    name = f"varnholt-rehearsal:{version()}"
    shims = os.path.join(top, "shims")
    os.mkdir(shims)
    with open(os.path.join(top, "containers.conf"), "w") as f:
        f.write(CONTAINERS_CONF.format(files=min(resource.getrlimit(resource.RLIMIT_NOFILE)[1],
                                                 1 << 16)))
    with open(os.path.join(shims, "docker"), "w") as f:
        f.write('#!/bin/sh\nexec podman "$@"\n')
    os.chmod(os.path.join(shims, "docker"), 0o755)
    env = dict(os.environ, CONTAINERS_CONF=os.path.join(top, "containers.conf"),
               PATH=shims + os.pathsep + os.environ["PATH"])
    # podman's own words on what it lacks (it needs /sys and /run, which a bare chroot has not)
    # say more than each of the commands below failing in turn.
    info = run("podman", "info", env=env)
    if not check("podman runs here", info.returncode == 0,
                 f"podman info: {info.stderr.strip()} (podman needs /proc, /sys and /dev)"):
        return
    run("podman", "rmi", "-f", name, env=env)
    kept = os.path.join(CACHE, "kit-image-prefixes", key[:16])
    for other in glob.glob(os.path.join(os.path.dirname(kept), "*")):
        if other != kept:
            shutil.rmtree(other)
    github(top, tars[0], name, setup, env, kept)
    gitlab(top, name, setup, env, kept)
    inspected = run("podman", "image", "inspect", name, env=env)
    images = json.loads(inspected.stdout or "[]") if inspected.returncode == 0 else []
    if not check("the image was loaded", bool(images), inspected.stderr):
        return
    print(f"kit image: {images[0].get('Size')} bytes loaded")
    check("the image loaded is at most 1.2 GB", images[0].get("Size", 2e9) <= 1.2e9,
          images[0].get("Size"))
    config = images[0].get("Config", {})
    labels = config.get("Labels") or {}
    check("the image has no entry point and no user",
          not config.get("Entrypoint") and not config.get("User"), config)
    check("the image's labels", labels.get("org.opencontainers.image.version") == version() and
          labels.get("org.opencontainers.image.revision") ==
          run("git", "rev-parse", "HEAD", cwd=SOURCE).stdout.strip(), labels)
    run("podman", "rmi", "-f", name, env=env)
    if results.count(False) == failures:
        os.makedirs(os.path.dirname(passed), exist_ok=True)
        open(passed, "w").close()


@contextlib.contextmanager
def kept_prefixes(folder, kept):
    """The prefixes that the image's Wine keeps, in a job's folder for the job, as a CI cache
    restores and saves them: kept in the per-user cache between tests, in a folder of the image's
    (as the examples' caches are the image version's)."""
    if os.path.isdir(kept):
        shutil.move(kept, folder)
    try:
        yield
    finally:
        if os.path.isdir(folder):
            os.makedirs(os.path.dirname(kept), exist_ok=True)
            shutil.rmtree(kept, ignore_errors=True)
            shutil.move(folder, kept)


def example_commands(name):
    import yaml
    with open(os.path.join(SOURCE, "kit", "ci", name)) as f:
        return yaml.safe_load(f)


def workspace(top, name, setup, cases):
    """A CI job's workspace: the setup's test builds (version 1, and 2 beside it) and a table."""
    work = os.path.join(top, name)
    os.makedirs(os.path.join(work, "build"))
    os.makedirs(os.path.join(work, "ci"))
    for built in ("driver-setup-rehearsal.exe", "driver-setup-v2-rehearsal.exe"):
        shutil.copy(os.path.join(os.path.dirname(setup), built), os.path.join(work, "build", built))
    with open(os.path.join(work, "ci", "driver-cases.json"), "w") as f:
        json.dump({"cases": cases}, f)
    return work


def image_report(what, work, cases, result):
    """Checks a CI example's run: its status, and a report in which every case passed."""
    output = result.stdout + result.stderr
    check(f"{what}: status 0", result.returncode == 0, output)
    got = [(name, outcome) for name, outcome, _ in junit(os.path.join(work, "rehearsal.xml"))]
    check(f"{what}: the report's cases all passed",
          got == [(c["name"], "passed") for c in cases], got or output)


def github(top, tar, name, setup, env, kept):
    """The GitHub example's step, run as written, with podman for docker, its container watched
    for zombies; the prefixes it keeps, and the time from podman run to a one-case table's
    result with them."""
    job = example_commands("github-actions.yml")["jobs"]["rehearse"]
    check("the GitHub example names this version's image",
          job["env"]["VARNHOLT_IMAGE"] == name and version() in job["env"]["VARNHOLT_IMAGE_TAR"])
    step = next(s for s in job["steps"] if s.get("name") == "Rehearse")
    with open(EXAMPLE) as f:
        cases = json.load(f)["cases"]
    work = workspace(top, "github", setup, cases)
    with open(os.path.join(work, "ci", "one-case.json"), "w") as f:
        json.dump({"cases": cases[:1]}, f)
    os.makedirs(os.path.dirname(os.path.join(work, job["env"]["VARNHOLT_IMAGE_TAR"])),
                exist_ok=True)
    shutil.copy(tar, os.path.join(work, job["env"]["VARNHOLT_IMAGE_TAR"]))
    started = time.monotonic()
    prefixes = os.path.join(work, ".varnholt-prefixes")
    with kept_prefixes(prefixes, kept):
        with open(os.path.join(top, "github.out"), "w+") as out, \
                open(os.path.join(top, "github.err"), "w+") as err:
            step_run = subprocess.Popen(["bash", "-eo", "pipefail", "-c", step["run"]], cwd=work,
                                        env=dict(env, **job["env"]), stdout=out, stderr=err,
                                        text=True)
            most, lasting = watch_zombies(step_run, name, env, started + 1800)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(step_run.args, step_run.returncode, out.read(),
                                                 err.read())
        print(f"kit image: the GitHub example's step took {time.monotonic() - started:.0f} s; "
              f"at most {most} zombies at once in its container")
        check("the GitHub example's container holds no orphan left unreaped", not lasting,
              f"zombies of its first process, each still one 10 s later: {sorted(lasting)}")
        size = sum(os.path.getsize(os.path.join(folder, n)) for folder, _, names in
                   os.walk(prefixes) for n in names if not os.path.islink(os.path.join(folder, n)))
        print(f"kit image: the prefixes kept, {size} bytes")
        check("the prefixes a CI job keeps are at most 300 MB", size <= 300e6, size)
        started = time.monotonic()
        one = run("podman", "run", "--rm", "-v", f"{work}:/work", "-w", "/work", "-e",
                  "VARNHOLT_WINE_PREFIXES=/work/.varnholt-prefixes", name, "varnholt-rehearse",
                  job["env"]["SETUP"], "ci/one-case.json", env=env, timeout=600)
        print(f"kit image: a one-case table's result {time.monotonic() - started:.0f} s after "
              "podman run, with the kept prefixes")
        check("a one-case table in the image", one.returncode == 0, one.stdout + one.stderr)
    image_report("the GitHub example", work, cases, result)


# Prints each zombie in the container, and its parent.
ZOMBIES = """import os
for pid in filter(str.isdigit, os.listdir("/proc")):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state, parent = f.read().rsplit(")", 1)[1].split()[:2]
    except OSError:
        continue
    if state == "Z":
        print(pid, parent)
"""


def watch_zombies(process, image, env, deadline):
    """Looks into the container of the image every 2 s while process runs (ended at the
    deadline): the most zombies seen at once, and the orphans (zombies of the first process)
    still zombies 10 s or more after they were first seen, which a first process that reaps
    would have reaped long before."""
    first_seen, most, lasting = {}, 0, set()
    while process.poll() is None:
        if time.monotonic() > deadline:
            process.kill()
            break
        ids = run("podman", "ps", "-q", "--filter", f"ancestor=localhost/{image}",
                  env=env).stdout.split()
        probe = ids and run("podman", "exec", ids[0], "python3", "-c", ZOMBIES, env=env,
                            timeout=60)
        if probe and probe.returncode == 0:
            zombies = [line.split() for line in probe.stdout.splitlines()]
            most = max(most, len(zombies))
            now = time.monotonic()
            for pid, parent in zombies:
                if parent == "1" and now - first_seen.setdefault(pid, now) >= 10:
                    lasting.add(int(pid))
        time.sleep(2)
    process.wait()
    return most, lasting


def gitlab(top, name, setup, env, kept):
    """The GitLab example's script, run as written in its image, as GitLab would."""
    job = example_commands("gitlab-ci.yml")["rehearse-driver-setup"]
    check("the GitLab example names this version's image",
          job["image"]["name"] == f"$CI_REGISTRY_IMAGE/{name}" and
          job["image"]["entrypoint"] == [""])
    with open(EXAMPLE) as f:
        cases = [c for c in json.load(f)["cases"] if c["name"] in GITLAB_CASES]
    work = workspace(top, "gitlab", setup, cases)
    variables = {k: v.replace("$CI_PROJECT_DIR", "/builds/project")
                 for k, v in job["variables"].items()}
    options = [f"--env={k}={v}" for k, v in variables.items()]
    with kept_prefixes(os.path.join(work, job["cache"]["paths"][0]), kept):
        result = run("podman", "run", "--rm", f"--volume={work}:/builds/project",
                     "--workdir=/builds/project", "--env=CI_PROJECT_DIR=/builds/project",
                     *options, f"localhost/{name}", "sh", "-ec", "\n".join(job["script"]),
                     env=env, timeout=1800)
    image_report("the GitLab example", work, cases, result)


def leftovers(folder):
    """The processes whose environment names folder: the runner's Wine prefixes lie in it."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if folder.encode() in f.read():
                    with open(f"/proc/{pid}/cmdline", "rb") as f:
                        found.append(f.read().replace(b"\0", b" ").decode(errors="replace"))
        except OSError:
            pass
    return found


def main(out):
    # In /tmp: the arm64 root sees no other folder of this machine.
    with tempfile.TemporaryDirectory(prefix="varnholt-kit-", dir="/tmp") as top:
        return test(top, out)


def test(top, out):
    kit = os.path.join(top, "kit")
    zipped = os.path.join(out, os.path.basename(ZIP.format(version(), "rehearsal")))
    with zipfile.ZipFile(zipped) as z:
        z.extractall(kit)
    unpacked = sum(os.path.getsize(os.path.join(root, name))
                   for root, _, names in os.walk(kit) for name in names)
    print(f"kit: {os.path.getsize(zipped)} bytes zipped, {unpacked} bytes unpacked")
    sums = run("sha256sum", "-c", "SHA256SUMS", cwd=kit)
    check("the kit's sums verify", sums.returncode == 0, sums.stdout + sums.stderr)

    # The example's test builds with the kit's stand-ins, version 1 and the version 2 that its
    # table's upgrade cases run.
    package = os.path.join(top, "demo-package-v2")
    made = run("cmake", "-D", f"FROM={SOURCE}/examples/demo-package", "-D", f"TO={package}",
               "-P", os.path.join(SOURCE, "examples", "demo-package-v2.cmake"))
    if not check("the example's version 2 package made", made.returncode == 0,
                 made.stdout + made.stderr):
        return closing("kit")
    for defines in ([], ["-DVERSION=2.0.0", "-DTAG=-v2", f"-DPACKAGE={package}"]):
        build = run(
            "makensis", "-WX", f"-DOUTDIR={top}", f"-DSTANDINS_x86={kit}/x86",
            f"-DSTANDINS_x64={kit}/x64", f"-DSTANDINS_arm64={kit}/arm64", *defines,
            os.path.join(SOURCE, "examples", "nsis", "driver-setup.nsi"))
        if not check(f"the example's test build made {' '.join(defines)}",
                     build.returncode == 0, build.stdout + build.stderr):
            return closing("kit")
    prefixes = os.path.join(top, "prefixes")
    os.mkdir(prefixes)
    rehearse(kit, os.path.join(top, "driver-setup-rehearsal.exe"), CASES, prefixes, [])
    ended(kit, os.path.join(top, "driver-setup-rehearsal.exe"), prefixes)
    image = os.path.join(top, "arm64", "varnholt.exe")
    with zipfile.ZipFile(os.path.join(out, os.path.basename(ZIP.format(version(), "windows")))) as z:
        z.extract("arm64/varnholt.exe", top)
    for dll in ("newdev.dll", "DIFxAPI.dll"):
        shutil.copy(os.path.join(kit, "arm64", dll), os.path.dirname(image))
    rehearse(kit, image, ARM64_CASES, prefixes, ["--arm64-root", ARM64_ROOT])
    container(top, zipped, os.path.join(top, "driver-setup-rehearsal.exe"))
    return closing("kit")


def junit(path):
    """Each test case of a JUnit report: its name, "passed" or its failure's or error's text,
    and its system-err."""
    try:
        cases = ET.parse(path).getroot().iter("testcase")
    except (ET.ParseError, OSError):
        return []
    return [(case.get("name"),
             next((f"{e.tag}: {e.text}" for e in case if e.tag != "system-err"), "passed"),
             case.findtext("system-err")) for case in cases]


def table_of(setup, cases):
    table = os.path.join(os.path.dirname(setup), "table.json")
    with open(table, "w") as f:
        json.dump({"cases": cases}, f)
    return table


def rehearse(kit, setup, cases, prefixes, options):
    """Runs the kit's runner on a table of cases and checks its lines, status, bound and JUnit
    report."""
    table = table_of(setup, [case for case, _ in cases])
    report = table + ".xml"
    started = time.monotonic()
    try:
        result = run("/usr/bin/python3", os.path.join(kit, "rehearse.pyz"), setup, table,
                     *options, "--junit", report, env=dict(os.environ, TMPDIR=prefixes),
                     timeout=BOUND)
        output, status = result.stdout + result.stderr, result.returncode
    except subprocess.TimeoutExpired as expired:
        output, status = f"no end after {BOUND} s: {expired.stdout!r}", None
    took = time.monotonic() - started
    print(f"kit: the runner{' ' + ' '.join(options) if options else ''} took {took:.0f} s")
    lines = output.splitlines()
    failures = [line for line in lines if line.startswith("FAIL")]
    faulty = sum(line is not None for _, line in cases)
    check("the runner's status is 1", status == 1, output)
    check("only the faulty cases fail", len(failures) == faulty, output)
    for case, line in cases:
        if line is None:
            check(f"{case['name']}: passes after a faulty case",
                  not any(f.startswith(f"FAIL {case['name']} ") for f in failures), output)
        else:
            check(f"{case['name']}: says {line!r}", any(f.startswith(line) for f in lines), output)
    check("the closing line", f"{len(cases) - faulty} passed, {faulty} failed" in lines, output)
    got = junit(report)
    check("the report has each case", [n for n, _, _ in got] == [c["name"] for c, _ in cases], got)
    for (case, line), (_, outcome, err) in zip(cases, got):
        printed = next((f for f in failures if f.startswith(f"FAIL {case['name']} ")), None)
        check(f"{case['name']}: the report says what was printed",
              outcome == ("passed" if printed is None else f"failure: {printed}"), outcome)
        if line and "did not start: " in line:
            check(f"{case['name']}: Wine's lines in the report",
                  line.split("did not start: ")[1] in (err or ""), err)
    check(f"the run ended within {BOUND} s", took < BOUND, f"{took:.0f} s")
    check("nothing left running", not leftovers(prefixes), leftovers(prefixes))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
