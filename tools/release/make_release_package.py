#!/usr/bin/env python3
"""Makes a release package: the update tool, the operator's guide as
README.txt, the web upload package FwToUpload.bin when one is given, the
image manifest IMAGES.txt and SHA256SUMS of all of these.

usage: make_release_package.py --out-dir DIR --system NAME --manifest IMAGES.txt
                               --tool PROGRAM --guide FILE [--web-package FILE]
                               [--signature TEXT] [--standin-build]
                               [--allow-standin-images-for-test]

The package is TessaronFwUpgrade-<version>-<system> in DIR, a ZIP for win64
and a tar.gz for every other system, holding one folder of that name. The
same inputs always give the same bytes: the entries are in a fixed order with
a fixed date, fixed permissions and owner root, and the gzip stream carries
no name and no time, so a package can be checked by building it again. The
last line printed is the package's SHA-256 and path.

The package's IMAGES.txt is the build's with two lines added: what signed the
tool ("signature: none", or what --signature says), and the web package's
size and SHA-256 when there is one.

A tool that carries stand-in images would write made-up firmware into a real
unit, so the package is refused for a build that made stand-ins
(--standin-build) and for one whose manifest says its images are stand-ins
(copied stand-ins given as the release images). Only the tests pass
--allow-standin-images-for-test, for the second case, to check that packages
are reproducible; their package is named -STANDIN-TEST. A Linux or other ELF
tool that needs a dynamic loader is refused as well: the package must run on
a machine that has none of the build machine's libraries.
"""

import argparse
import gzip
import hashlib
import io
import os
import struct
import sys
import tarfile
import zipfile

from build_output import write_if_changed

PROGRAM = "TessaronFwUpgrade"
WEB_PACKAGE = "FwToUpload.bin"
# 1980-01-01 00:00, the earliest date a ZIP entry can carry; the tar entries
# carry the same date.
FIXED_DATE = (1980, 1, 1, 0, 0, 0)
FIXED_TIME = 315532800
# ELF program header types of a program that is loaded with shared libraries.
PT_DYNAMIC, PT_INTERP = 2, 3


def refuse(why):
    sys.stderr.write("Refusing to package: %s\n" % why)
    return 1


def manifest_value(manifest, key):
    for line in manifest.decode("ascii", "replace").splitlines():
        if line.startswith(key + ": "):
            return line[len(key) + 2:].strip()
    return None


def dynamically_linked(program):
    """Whether an ELF program has a dynamic section or asks for a loader."""
    if program[:4] != b"\x7fELF":
        return False
    order = "<" if program[5] == 1 else ">"
    if program[4] == 2:  # 64-bit
        (table,) = struct.unpack_from(order + "Q", program, 0x20)
        size, count = struct.unpack_from(order + "HH", program, 0x36)
    else:
        (table,) = struct.unpack_from(order + "I", program, 0x1C)
        size, count = struct.unpack_from(order + "HH", program, 0x2A)
    return any(struct.unpack_from(order + "I", program, table + k * size)[0] in (PT_DYNAMIC, PT_INTERP)
               for k in range(count))


def zip_bytes(top, files):
    """files: (name, bytes, executable) in the order they go into the archive."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data, executable in files:
            entry = zipfile.ZipInfo(top + "/" + name, date_time=FIXED_DATE)
            entry.create_system = 3  # Unix, so that the permissions below are read
            entry.external_attr = (0o755 if executable else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    return buffer.getvalue()


def tar_entry(name, kind, mode, size=0):
    entry = tarfile.TarInfo(name)
    entry.type, entry.mode, entry.size, entry.mtime = kind, mode, size, FIXED_TIME
    entry.uid = entry.gid = 0
    entry.uname = entry.gname = "root"
    return entry


def tar_gz_bytes(top, files):
    """files as for zip_bytes; the folder comes first."""
    buffer = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", fileobj=buffer, compresslevel=9, mtime=0) as stream:
        with tarfile.open(fileobj=stream, mode="w", format=tarfile.USTAR_FORMAT) as archive:
            archive.addfile(tar_entry(top, tarfile.DIRTYPE, 0o755))
            for name, data, executable in files:
                entry = tar_entry(top + "/" + name, tarfile.REGTYPE, 0o755 if executable else 0o644, len(data))
                archive.addfile(entry, io.BytesIO(data))
    return buffer.getvalue()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def main(argv):
    parser = argparse.ArgumentParser(description="Make a release package.")
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--system", required=True, help="win64, linux-x86_64, ...")
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--guide", required=True)
    parser.add_argument("--web-package")
    parser.add_argument("--signature", default="none")
    parser.add_argument("--standin-build", action="store_true")
    parser.add_argument("--allow-standin-images-for-test", action="store_true")
    args = parser.parse_args(argv[1:])

    if args.standin_build:
        return refuse("this build embeds STAND-IN firmware images (FIRMWARE_IMAGE_DIR was not "
                      "set). Reconfigure with -DFIRMWARE_IMAGE_DIR=<dir with the five release "
                      "images> and rebuild.")
    manifest = read(args.manifest)
    kind = manifest_value(manifest, "images")
    if kind != "release" and not (kind == "stand-in" and args.allow_standin_images_for_test):
        return refuse("%s says the images are %s, not the release images. FIRMWARE_IMAGE_DIR "
                      "must hold the five release images." % (args.manifest, kind or "unknown"))
    tool = read(args.tool)
    if dynamically_linked(tool):
        return refuse("%s is linked with shared libraries; a release build links it statically "
                      "(-DFWUPG_STATIC_RELEASE=ON)." % args.tool)

    files = {os.path.basename(args.tool): tool, "README.txt": read(args.guide)}
    manifest += ("signature: %s\n" % args.signature).encode("utf-8")
    if args.web_package:
        files[WEB_PACKAGE] = read(args.web_package)
        manifest += ("web package: %s %d %s\n" % (WEB_PACKAGE, len(files[WEB_PACKAGE]),
                                                   hashlib.sha256(files[WEB_PACKAGE]).hexdigest())).encode("ascii")
    files["IMAGES.txt"] = manifest
    files["SHA256SUMS"] = "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                                  for name in sorted(files)).encode("ascii")

    name = "%s-%s-%s" % (PROGRAM, manifest_value(manifest, "version"), args.system)
    if kind == "stand-in":
        name += "-STANDIN-TEST"
    entries = [(entry, files[entry], entry == os.path.basename(args.tool)) for entry in sorted(files)]
    if args.system == "win64":
        out, data = os.path.join(args.out_dir, name + ".zip"), zip_bytes(name, entries)
    else:
        out, data = os.path.join(args.out_dir, name + ".tar.gz"), tar_gz_bytes(name, entries)
    os.makedirs(args.out_dir, exist_ok=True)
    write_if_changed(out, data)
    print("%s  %s" % (hashlib.sha256(data).hexdigest(), os.path.abspath(out)))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
