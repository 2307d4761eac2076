#!/usr/bin/env python3
"""The release command tools/release/release.sh and a release named by its catalogue
file alone, from copies of this build's stand-in images.

  stand_in_copy          the whole release on a copy of the stand-ins (Windows
                         build, two Wine updates, ZIP), stand-in refusal and
                         clean-tree check switched off; about 5 minutes
  new_release_catalogue  a 1.1.0 catalogue naming renamed copies, given as
                         FIRMWARE_CATALOGUE, builds a tool that announces
                         1.1.0 and sends the renamed image
  refusals               stand-ins, a missing image, a tree with changes

    run_release.py --list
    run_release.py --source DIR --build DIR --unitsim EXE --hexconv EXE --case NAME [--keep]

--build is the native build with the stand-ins, unitsim and hexconv. Exit
code 77 means "skipped" (no mingw-w64 or Wine). Every tool built here runs
beside a port map (dosdevices) holding only simulated units.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
import zipfile

import catalogue
import fwharness as harness

HERE = os.path.dirname(os.path.abspath(__file__))

PACKAGE_FILES = ["IMAGES.txt", "README.txt", "SHA256SUMS", "TessaronFwUpgrade.exe"]


def run(command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def manifest_rows(path):
    """(version, [(file, image length)]) of an IMAGES.txt."""
    version, rows = None, []
    with open(path) as f:
        for line in f:
            if line.startswith("version: "):
                version = line.split(": ", 1)[1].strip()
            elif line.strip() and not line.startswith(("#", "images: ")):
                fields = line.split()
                rows.append((fields[0], int(fields[3])))
    return version, rows


def copy_images(args, directory, leave_out=None):
    images = os.path.join(directory, "images")
    os.makedirs(images)
    for name in harness.IMAGE_FILES:
        if name != leave_out:
            shutil.copy(os.path.join(args.build, "standin-images", name), images)
    return images


def case_new_release_catalogue(args, directory):
    release = catalogue.load(catalogue.DEFAULT_PATH)
    images = os.path.join(directory, "images")
    os.makedirs(images)
    # Every file renamed, as a new release names its images.
    files = [f"NEXT_R1_10_IMAGE_{k}{os.path.splitext(name)[1]}" for k, name in enumerate(release.files)]
    for old, name in zip(release.files, files):
        shutil.copy(os.path.join(args.build, "standin-images", old), os.path.join(images, name))
    release.version, release.files = "1.1.0", files
    catalogue_file = os.path.join(directory, "catalogue.json")
    with open(catalogue_file, "w") as f:
        f.write(release.text())

    folder = os.path.join(directory, "build")
    configure = ["cmake", "-S", args.source, "-B", folder, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DFWUPG_BUILD_TESTS=OFF", f"-DFIRMWARE_CATALOGUE={catalogue_file}", f"-DFIRMWARE_IMAGE_DIR={images}"]
    for command in (configure, ["cmake", "--build", folder, "--target", "TessaronFwUpgrade"]):
        result = run(command)
        if result.returncode != 0:
            raise harness.Failure(f"{' '.join(command)} failed:\n{result.stdout[-2000:]}{result.stderr[-2000:]}")

    problems = []
    version, rows = manifest_rows(os.path.join(folder, "IMAGES.txt"))
    _, old_rows = manifest_rows(os.path.join(args.build, "IMAGES.txt"))
    expected = [(name, length) for name, (_, length) in zip(release.files, old_rows)]
    if (version, rows) != ("1.1.0", expected):
        problems.append(f"IMAGES.txt gives {version} {rows}, expected 1.1.0 {expected}")
    # The new tool, with the end-to-end runner reading the same catalogue: its
    # banner, and the renamed TX logic image announced, then refused.
    result = run([sys.executable, os.path.join(HERE, os.pardir, "e2e", "run_e2e.py"),
                  "--tool", os.path.join(folder, "TessaronFwUpgrade"),
                  "--unitsim", args.unitsim, "--hexconv", args.hexconv,
                  "--images", images, "--case", "missing_ready"],
                 env=dict(os.environ, FWUPG_CATALOGUE=catalogue_file), timeout=120)
    if result.returncode != 0:
        problems.append(f"the 1.1.0 tool's run:\n{result.stdout}{result.stderr}")
    if problems:
        raise harness.Failure("\n".join(problems))
    return "the 1.1.0 tool announced 1.1.0 and sent the renamed image"


def release(args, images, *options, source=None):
    script = os.path.join(source or args.source, "tools", "release", "release.sh")
    return run(["bash", script, *options, images], timeout=1500)


def case_refusals(args, directory):
    problems = []
    build = os.path.join(directory, "release-build")

    def expect_refusal(what, result, message):
        if result.returncode == 0 or f"Refusing to release: {message}" not in result.stderr:
            problems.append(f"{what}: exit {result.returncode}, standard error {result.stderr!r}")
        if os.path.exists(build):
            problems.append(f"{what}: the release build folder was made")

    standins = copy_images(args, directory)
    expect_refusal("stand-in images", release(args, standins, "--test-allow-dirty-tree", "--build-dir", build),
                   f"{standins} holds stand-in images")
    missing = harness.IMAGE_FILES[-1]
    partial = copy_images(args, os.path.join(directory, "partial"), leave_out=missing)
    expect_refusal("a missing image",
                   release(args, partial, "--test-allow-dirty-tree", "--test-allow-standin-images", "--build-dir",
                           build), f"{partial} lacks {missing}")

    # A work tree of its own: the source's files, committed, then one more.
    tree = os.path.join(directory, "tree")
    listed = run(["git", "-C", args.source, "ls-files", "-co", "--exclude-standard", "-z"], check=True)
    for name in filter(None, listed.stdout.split("\0")):
        if os.path.isfile(os.path.join(args.source, name)):
            os.makedirs(os.path.dirname(os.path.join(tree, name)), exist_ok=True)
            shutil.copy2(os.path.join(args.source, name), os.path.join(tree, name))
    git = ["git", "-C", tree, "-c", "user.name=release test", "-c", "user.email=release@test.invalid"]
    for command in (["init", "-q"], ["add", "-A"], ["commit", "-q", "-m", "tree"]):
        run(git + command, check=True)
    # Clean, it gets past the check to the image folder.
    nowhere = os.path.join(directory, "no-such-folder")
    expect_refusal("a clean tree", release(args, nowhere, "--build-dir", build, source=tree),
                   f"{nowhere} is not a folder")
    with open(os.path.join(tree, "stray.txt"), "w") as f:
        f.write("not committed\n")
    expect_refusal("a tree with changes",
                   release(args, standins, "--test-allow-standin-images", "--build-dir", build, source=tree),
                   f"the work tree {tree} has changes")
    if problems:
        raise harness.Failure("\n".join(problems))
    return "stand-ins, a missing image and a tree with changes refused"


def case_stand_in_copy(args, directory):
    for tool, why in (("x86_64-w64-mingw32-g++", "mingw-w64"), ("wine", "Wine")):
        if not shutil.which(tool):
            raise harness.Skip(f"{why} not installed")
    images = copy_images(args, directory)
    build = os.path.join(directory, "release-build")
    result = release(args, images, "--test-allow-standin-images", "--test-allow-dirty-tree", "--build-dir", build,
                     "--native-build", args.build)
    print(result.stdout, end="")
    if result.returncode != 0:
        raise harness.Failure(f"release.sh ended with {result.returncode}:\n{result.stderr}")
    last = result.stdout.rstrip("\n").split("\n")[-1]
    match = re.fullmatch(r"(\S+\.zip) SHA-256 ([0-9a-f]{64})", last)
    if not match:
        raise harness.Failure(f"the last line does not name the ZIP and its SHA-256: {last!r}")
    zip_path, sha256 = match.groups()
    problems = []
    if os.path.dirname(zip_path) != os.path.join(build, "package") or not zip_path.endswith("-STANDIN-TEST.zip"):
        problems.append(f"the ZIP is {zip_path}")
    with open(zip_path, "rb") as f:
        if hashlib.sha256(f.read()).hexdigest() != sha256:
            problems.append("the SHA-256 on the last line is not the ZIP's")
    with zipfile.ZipFile(zip_path) as archive:
        names = [name.split("/", 1)[1] for name in archive.namelist()]
    if names != PACKAGE_FILES:
        problems.append(f"the ZIP holds {names}")
    if result.stdout.count(": passed;") != 2:
        problems.append("release.sh did not report two passed Wine updates")
    if problems:
        raise harness.Failure("\n".join(problems))
    return f"ZIP SHA-256 {sha256}"


CASES = [
    ("stand_in_copy", case_stand_in_copy, 1500),
    ("new_release_catalogue", case_new_release_catalogue, 600),
    ("refusals", case_refusals, 120),
]


def main():
    args = harness.command_line(__doc__, CASES, ("source", "build", "unitsim", "hexconv"))
    function = next(f for n, f, _ in CASES if n == args.case)
    return harness.run_reported("release", args.case, args.keep, lambda d: function(args, d))


if __name__ == "__main__":
    sys.exit(main())
