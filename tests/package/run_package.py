#!/usr/bin/env python3
"""Release builds and the release package, each made from a copy of the
stand-in images given as FIRMWARE_IMAGE_DIR, in build folders of their own.

  release_from_standin_copy  a native release build: neither program warns
                             on standard error, its IMAGES.txt still knows the
                             images for stand-ins, and packaging refuses it
  reproducible_package       two Windows release builds in two folders, with
                             packaging of stand-ins let through for the test:
                             the two ZIPs are the same bytes, the executable
                             carries no link time, and IMAGES.txt and
                             SHA256SUMS in the ZIP agree with its files

    run_package.py --list
    run_package.py --source DIR --images DIR --case NAME [--keep]

Exit code 77 means "skipped" (no mingw-w64 cross compiler for the second).
No program built here is ever given a serial port: the update tool runs
beside an empty dosdevices folder, which is its whole port map.
"""

import hashlib
import io
import os
import shutil
import struct
import subprocess
import sys
import zipfile

import fwharness as harness

PACKAGE_FILES = ["IMAGES.txt", "README.txt", "SHA256SUMS", "TessaronFwUpgrade.exe"]


def run(command, cwd=None, **kwargs):
    return subprocess.run(command, cwd=cwd, capture_output=True, **kwargs)


def build(args, directory, name, extra, targets):
    """Configures and builds `targets` in directory/name from the copied images."""
    images = os.path.join(directory, "images")
    if not os.path.isdir(images):
        shutil.copytree(args.images, images)
    folder = os.path.join(directory, name)
    configure = ["cmake", "-S", args.source, "-B", folder, "-G", "Ninja",
                 "-DCMAKE_BUILD_TYPE=Release", "-DFWUPG_BUILD_TESTS=OFF",
                 f"-DFIRMWARE_IMAGE_DIR={images}"] + extra
    for command in (configure, ["cmake", "--build", folder, "--target"] + targets):
        result = run(command)
        if result.returncode != 0:
            raise harness.Failure(f"{' '.join(command)} failed:\n{result.stdout.decode()[-2000:]}"
                              f"{result.stderr.decode()[-2000:]}")
    return folder


def manifest_kind(text):
    return next((line.split(": ", 1)[1] for line in text.splitlines() if line.startswith("images: ")), None)


def case_release_from_standin_copy(args, directory):
    folder = build(args, directory, "release", [], ["TessaronFwUpgrade", "WriteWebUploadPackage"])
    problems = []
    work = os.path.join(directory, "run")
    os.mkdir(work)
    tool = harness.place_tool(os.path.join(folder, "TessaronFwUpgrade"), work)
    runs = {
        "WriteWebUploadPackage": run([os.path.join(folder, "WriteWebUploadPackage")], cwd=work,
                                     stdin=subprocess.DEVNULL, timeout=60),
        # Nothing answers in the empty port map; COM1 is not in it either.
        "TessaronFwUpgrade": run([tool], cwd=work, input=b"1\n", timeout=120),
    }
    for program, result in runs.items():
        # The tool gives the reason why COM1 could not be opened, and no more.
        if harness.STANDIN_WARNING in result.stderr:
            problems.append(f"{program} warned of stand-in images: {result.stderr!r}")
        expected = 0 if program == "WriteWebUploadPackage" else 255
        if result.returncode != expected:
            problems.append(f"{program} ended with {result.returncode}, expected {expected}: "
                            f"{result.stdout[-300:]!r}")
    with open(os.path.join(folder, "IMAGES.txt")) as f:
        kind = manifest_kind(f.read())
    if kind != "stand-in":
        problems.append(f"IMAGES.txt says the images are {kind!r}, not 'stand-in'")
    refused = run(["cmake", "--build", folder, "--target", "release_package"])
    if refused.returncode == 0 or b"Refusing to package" not in refused.stdout + refused.stderr:
        problems.append(f"packaging did not refuse the copied stand-ins: {refused.stdout[-500:]!r}")
    if problems:
        raise harness.Failure("\n".join(problems))
    return "no warning from a release build, its package refused"


def pe_time_stamp(exe):
    """TimeDateStamp of the executable's COFF header."""
    offset = struct.unpack_from("<I", exe, 0x3C)[0]
    if exe[offset:offset + 4] != b"PE\0\0":
        raise harness.Failure("the executable is not a PE image")
    return struct.unpack_from("<I", exe, offset + 8)[0]


def check_package(data):
    """The ZIP's entries, their sums and its manifest."""
    with zipfile.ZipFile(io.BytesIO(data)) as archive:
        names = archive.namelist()
        top = names[0].split("/")[0]
        if names != [f"{top}/{name}" for name in PACKAGE_FILES] or not top.endswith("-STANDIN-TEST"):
            raise harness.Failure(f"the package holds {names}")
        files = {name.split("/", 1)[1]: archive.read(name) for name in names}
    sums = "".join(f"{hashlib.sha256(files[name]).hexdigest()}  {name}\n"
                   for name in PACKAGE_FILES if name != "SHA256SUMS")
    if files["SHA256SUMS"].decode() != sums:
        raise harness.Failure(f"SHA256SUMS is {files['SHA256SUMS']!r}, the files give {sums!r}")
    if manifest_kind(files["IMAGES.txt"].decode()) != "stand-in":
        raise harness.Failure("the test package's IMAGES.txt does not say 'stand-in'")
    stamp = pe_time_stamp(files["TessaronFwUpgrade.exe"])
    if stamp != 0:
        raise harness.Failure(f"the executable carries the link time {stamp}")


def case_reproducible_package(args, directory):
    if not shutil.which("x86_64-w64-mingw32-g++"):
        raise harness.Skip("x86_64-w64-mingw32-g++ not installed")
    toolchain = os.path.join(args.source, "cmake", "toolchain-mingw64.cmake")
    extra = [f"-DCMAKE_TOOLCHAIN_FILE={toolchain}", "-DFWUPG_TEST_PACKAGE_FROM_STANDINS=ON"]
    packages = []
    # Two folders of different names and depths: nothing of the path may stay.
    for name in ("first", os.path.join("second", "build")):
        folder = build(args, directory, name, extra, ["release_package"])
        found = [f for f in os.listdir(os.path.join(folder, "package")) if f.endswith(".zip")]
        with open(os.path.join(folder, "package", found[0]), "rb") as f:
            packages.append(f.read())
        with open(os.path.join(folder, "IMAGES.txt"), "rb") as f:
            manifest = f.read()
        check_package(packages[-1])
        with zipfile.ZipFile(io.BytesIO(packages[-1])) as archive:
            # The build's, and that the package maker was given no signature.
            if archive.read(archive.namelist()[PACKAGE_FILES.index("IMAGES.txt")]) != manifest + b"signature: none\n":
                raise harness.Failure("the package's IMAGES.txt is not the build's with \"signature: none\"")
    sums = [hashlib.sha256(p).hexdigest() for p in packages]
    if sums[0] != sums[1]:
        raise harness.Failure(f"the two packages differ: SHA-256 {sums[0]} and {sums[1]}")
    return f"both packages SHA-256 {sums[0]} ({len(packages[0])} bytes)"


CASES = [
    ("release_from_standin_copy", case_release_from_standin_copy, 900),
    ("reproducible_package", case_reproducible_package, 1800),
]


def main():
    args = harness.command_line(__doc__, CASES, ("source", "images"))
    function = next(f for n, f, _ in CASES if n == args.case)
    return harness.run_reported("package", args.case, args.keep, lambda d: function(args, d))


if __name__ == "__main__":
    sys.exit(main())
