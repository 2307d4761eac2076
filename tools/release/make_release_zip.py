#!/usr/bin/env python3
"""Makes the release package: a ZIP of the update tool, the operator's guide,
the image manifest IMAGES.txt and SHA256SUMS of those three.

usage: make_release_zip.py --out ZIP --top DIR --manifest IMAGES.txt
                           --file SOURCE=NAME... [--standin-build]
                           [--allow-standin-images-for-test]

The same inputs always give the same bytes: the entries are in a fixed order
under the folder DIR, with a fixed date and fixed permissions, so a package
can be checked by building it again.

A tool that carries stand-in images would write made-up firmware into a real
unit, so the package is refused for a build that made stand-ins
(--standin-build) and for one whose manifest says its images are stand-ins
(copied stand-ins given as the release images). Only the tests pass
--allow-standin-images-for-test, for the second case, to check that packages
are reproducible; their package is named as such by the build.
"""

import argparse
import hashlib
import io
import os
import sys
import zipfile

from build_output import write_if_changed

# 1980-01-01 00:00, the earliest date a ZIP entry can carry.
FIXED_DATE = (1980, 1, 1, 0, 0, 0)


def refuse(why):
    sys.stderr.write("Refusing to package: %s\n" % why)
    return 1


def images_kind(manifest):
    for line in manifest.decode("ascii", "replace").splitlines():
        if line.startswith("images: "):
            return line[len("images: "):].strip()
    return None


def zip_bytes(top, files):
    """files: (name, bytes) in the order they go into the archive."""
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(top + "/" + name, date_time=FIXED_DATE)
            entry.create_system = 3  # Unix, so that the permissions below are read
            entry.external_attr = (0o755 if name.endswith(".exe") else 0o644) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)
    return buffer.getvalue()


def main(argv):
    parser = argparse.ArgumentParser(description="Make the release package.")
    parser.add_argument("--out", required=True)
    parser.add_argument("--top", required=True)
    parser.add_argument("--manifest", required=True)
    parser.add_argument("--file", action="append", default=[], metavar="SOURCE=NAME")
    parser.add_argument("--standin-build", action="store_true")
    parser.add_argument("--allow-standin-images-for-test", action="store_true")
    args = parser.parse_args(argv[1:])

    if args.standin_build:
        return refuse("this build embeds STAND-IN firmware images (FIRMWARE_IMAGE_DIR was not "
                      "set). Reconfigure with -DFIRMWARE_IMAGE_DIR=<dir with the five release "
                      "images> and rebuild.")
    with open(args.manifest, "rb") as f:
        manifest = f.read()
    kind = images_kind(manifest)
    if kind != "release" and not (kind == "stand-in" and args.allow_standin_images_for_test):
        return refuse("%s says the images are %s, not the release images. FIRMWARE_IMAGE_DIR "
                      "must hold the five release images." % (args.manifest, kind or "unknown"))

    files = {"IMAGES.txt": manifest}
    for item in args.file:
        source, _, name = item.partition("=")
        with open(source, "rb") as f:
            files[name or os.path.basename(source)] = f.read()
    sums = "".join("%s  %s\n" % (hashlib.sha256(files[name]).hexdigest(), name)
                   for name in sorted(files))
    files["SHA256SUMS"] = sums.encode("ascii")

    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    write_if_changed(args.out, zip_bytes(args.top, [(name, files[name]) for name in sorted(files)]))
    print("%s  %s" % (hashlib.sha256(open(args.out, "rb").read()).hexdigest(), args.out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
