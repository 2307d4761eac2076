#!/usr/bin/env python3
"""The operator's guide's table of transfer times, from the images themselves.

usage: guide_durations.py [--catalogue FILE] MANIFEST GUIDE

MANIFEST is a build's IMAGES.txt (the flat image lengths the tool sends),
GUIDE the operator's guide (docs/OPERATOR.md). The tool streams every image
at 115200 baud, 10 bits a byte on the line (start bit, 8 data bits, stop
bit), so an image of n bytes takes n * 10 / 115200 seconds. The guide's table
rows must be exactly the rows computed here, in the same order: the logic
images in catalogue order, then the firmware. Exit status 0 when they are;
otherwise 1, with the rows the guide should hold.
"""

import argparse
import os
import sys

import catalogue as image_catalogue

LINE_RATE = 115200
BITS_PER_BYTE = 10
INDENT = "    "


def seconds(length):
    return round(length * BITS_PER_BYTE / LINE_RATE)


def image_lengths(manifest_path):
    """{file name: flat image length} from IMAGES.txt."""
    lengths = {}
    with open(manifest_path, encoding="ascii") as f:
        for line in f:
            fields = line.split()
            if len(fields) == 5 and not line.startswith("#"):
                lengths[fields[0]] = int(fields[3])
    return lengths


def expected_rows(catalogue, lengths):
    def row(what, name):
        if name not in lengths:
            raise KeyError(f"{name} is not in the manifest")
        return f"{INDENT}{what:<36}{lengths[name]:>11,}{seconds(lengths[name]):>8} s"

    rows = [row(f"Programmable logic, {unit}, device:{code}", catalogue.files[entry])
            for entry, code, unit in catalogue.logic]
    rows.append(row("Firmware (microcontroller)", catalogue.files[catalogue.microcontroller]))
    return rows


def guide_rows(guide_text):
    """The table's rows: the indented lines that follow its heading line."""
    lines = guide_text.splitlines()
    for k, line in enumerate(lines):
        if line.strip().startswith("Image sent") and "Bytes" in line:
            rows = []
            for row in lines[k + 1:]:
                if not row.strip():
                    break
                rows.append(row.rstrip())
            return rows
    return None


def main(argv):
    parser = argparse.ArgumentParser(description="Check the guide's transfer times.")
    parser.add_argument("--catalogue", help="the catalogue file (default firmware/catalogue.json)")
    parser.add_argument("manifest")
    parser.add_argument("guide")
    args = parser.parse_args(argv[1:])
    try:
        expected = expected_rows(image_catalogue.load(args.catalogue), image_lengths(args.manifest))
    except (image_catalogue.CatalogueError, OSError, KeyError, ValueError) as error:
        sys.stderr.write(f"guide_durations.py: {error}\n")
        return 1
    with open(args.guide, encoding="utf-8") as f:
        actual = guide_rows(f.read())
    if actual == expected:
        return 0
    where = os.path.basename(args.guide)
    if actual is None:
        sys.stderr.write(f"{where}: no table headed \"Image sent ... Bytes ...\"\n")
    else:
        sys.stderr.write(f"{where}: the transfer times do not match the images of {args.manifest}\n")
        sys.stderr.write("".join(f"  guide: {row}\n" for row in actual))
    sys.stderr.write("The table's rows should read:\n" + "".join(row + "\n" for row in expected))
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
