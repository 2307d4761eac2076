#!/usr/bin/env python3
"""Writes the stand-in firmware images into OUTDIR, one for each image file
of the catalogue (firmware/catalogue.json unless --catalogue names another).

usage: make_standin_images.py [--catalogue FILE] OUTDIR

The real release images are not part of this repository. These stand-ins have
exactly the shape of the release files: the catalogue's names, text lengths, record
counts, extended linear address records, short last records, the one gap of
the microcontroller image and the same image lengths after conversion. Their
data bytes open with a marker that says what they are and are pseudo-random
from a fixed seed per file after it, so every run writes the same bytes.
Programs built with them must never be used on a real unit.

A file is only rewritten when its content changes, so that the build does
not regenerate the catalogue for nothing.
"""

import argparse
import hashlib
import os
import sys

import catalogue as image_catalogue
import intelhex
from build_output import write_if_changed

# The first data bytes of every stand-in, by which the catalogue generator
# knows a stand-in wherever it was copied (tools/images/gen_binimage.py).
STANDIN_MARKER = b"STAND-IN/NO UNIT"


def data_bytes(name, count):
    """The marker, then pseudo-random bytes, the same for the same file name on every run."""
    random = hashlib.shake_256(("stand-in image " + name).encode("ascii")).digest(count)
    return (STANDIN_MARKER + random[len(STANDIN_MARKER):])[:count]


def image_text(name, upper_first, data_start, data_end, gaps=(), start_linear_address=None):
    """The Intel HEX text of one image.

    Data covers the image offsets data_start .. data_end - 1 except the gaps
    (pairs of start, end), in records of 16 bytes aligned on 16; a record cut
    short by the end of the data or by the start of a gap is shorter. An
    extended linear address record opens each 64 KiB window that holds data;
    its upper address is upper_first + window number, and only the low byte of
    the upper address selects the image window.
    """
    payload = data_bytes(name, data_end - data_start)
    runs = []
    start = data_start
    for gap_start, gap_end in list(gaps) + [(data_end, data_end)]:
        runs.append((start, gap_start))
        start = gap_end
    lines = []
    window = None
    for run_start, run_end in runs:
        offset = run_start
        while offset < run_end:
            if offset // intelhex.WINDOW != window:
                window = offset // intelhex.WINDOW
                upper = upper_first + window
                lines.append(intelhex.record_line(intelhex.EXTENDED_LINEAR_ADDRESS, 0, upper.to_bytes(2, "big")))
            end = min((offset // 16 + 1) * 16, run_end, (window + 1) * intelhex.WINDOW)
            chunk = payload[offset - data_start : end - data_start]
            lines.append(intelhex.record_line(intelhex.DATA, offset % intelhex.WINDOW, chunk))
            offset = end
    if start_linear_address is not None:
        lines.append(intelhex.record_line(intelhex.START_LINEAR_ADDRESS, 0, start_linear_address.to_bytes(4, "big")))
    lines.append(intelhex.record_line(intelhex.END_OF_FILE, 0))
    return b"".join(lines)


# The shape of the release image at each catalogue position: first upper
# address, first data offset, end of data, gaps, start linear address.
SHAPES = [
    (0x8000, 0x8000, 0x1E430, [(0x1AEFC, 0x1B000)], 0x800081C1),  # microcontroller
    (0x0000, 0, 1047876, [], None),
    (0x0000, 0, 1215196, [], None),
    (0x0000, 0, 808152, [], None),
    (0x0000, 0, 1073288, [], None),
]


def main(argv):
    parser = argparse.ArgumentParser(description="Write the stand-in firmware images.")
    parser.add_argument("--catalogue", help="the catalogue file (default firmware/catalogue.json)")
    parser.add_argument("out_dir", metavar="OUTDIR")
    args = parser.parse_args(argv[1:])
    try:
        files = image_catalogue.load(args.catalogue).files
    except image_catalogue.CatalogueError as error:
        sys.stderr.write("make_standin_images.py: %s\n" % error)
        return 1
    if len(files) > len(SHAPES):
        sys.stderr.write("make_standin_images.py: the catalogue lists %d images, stand-ins come in "
                         "%d shapes\n" % (len(files), len(SHAPES)))
        return 1
    os.makedirs(args.out_dir, exist_ok=True)
    for name, (upper_first, start, end, gaps, start_address) in zip(files, SHAPES):
        text = image_text(name, upper_first, start, end, gaps, start_address)
        write_if_changed(os.path.join(args.out_dir, name), text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
