#!/usr/bin/env python3
"""Generates the embedded image catalogue BinImage.h / BinImage.cpp.

usage: gen_binimage.py --out-dir DIR [--catalogue FILE] [--manifest FILE [--standin]] IMAGE...

The catalogue file (default firmware/catalogue.json, see tools/images/catalogue.py)
gives the release version, the image files in table order, the
microcontroller image and the logic image for each device code and unit
role. IMAGE... are the image files, given in any order; the table lists them
in the catalogue's order. The header carries the release version, the
microcontroller entry and the device/role table that start-up and the update
sequence use. Each file is checked before anything is written: a file the
tool could not convert, or would convert into something else than the image
the file describes, stops the build with "FILE:LINE: what is wrong" on
standard error and a non-zero exit status.

With --manifest it also writes the release manifest IMAGES.txt: the release
version, whether the images are the release's or stand-ins (--standin, or
stand-in images recognised by their first data bytes wherever they were
copied), and for each catalogue entry its file name, text size, SHA-256 of
the text, flat image length and the checksum announced to the unit. The
header carries the same figures, so that the tool can show and log them.

Each image becomes one constant char array initialised by string literals,
which compilers take in seconds even for megabytes of text. An output file is
only rewritten when its content changes.
"""

import argparse
import hashlib
import os
import re
import sys

import catalogue as image_catalogue
from build_output import write_if_changed

FILE_PATH_FIELD = 70  # char filePath[70], zero-terminated
IMAGE_AREA = 4 * 1024 * 1024  # CONCAT_BUFFER_SIZE: every offset must fall below it
MAX_DATA_BYTES = 43  # the conversion's line store: 100 chars with ":" and CR LF
RECORD_TYPES = {0: "data", 1: "end of file", 2: "extended segment address",
                3: "start segment address", 4: "extended linear address",
                5: "start linear address"}
END_OF_FILE = b":00000001FF\r\n"
LITERAL_PIECE = 480  # characters of image text per source line of the array

# The first data bytes of every stand-in image (tools/make_standin_images.py),
# so that a build or a package made from them is known as such wherever the
# files were copied.
STANDIN_MARKER = b"STAND-IN/NO UNIT"

HEX_LINE = re.compile(rb"[0-9A-F]*")


class ImageError(Exception):
    def __init__(self, line, what):
        super().__init__(what)
        self.line = line
        self.what = what


def check_record(number, line, state):
    """One line without its LF. state holds the upper offset of the ELA in force."""
    if not line.endswith(b"\r"):
        raise ImageError(number, "the line does not end with CR LF")
    line = line[:-1]
    if not line.startswith(b":"):
        raise ImageError(number, "not a record line: it does not start with ':'")
    digits = line[1:]
    match = HEX_LINE.match(digits)
    if match.end() != len(digits):
        bad = digits[match.end():match.end() + 1]
        raise ImageError(number, "character %r in column %d is not an upper-case hex digit"
                         % (bad.decode("latin-1"), match.end() + 2))
    if len(digits) % 2:
        raise ImageError(number, "odd number of hex digits (%d)" % len(digits))
    if len(digits) < 10:
        raise ImageError(number, "record too short: %d hex digits, at least 10 needed"
                         % len(digits))
    record = bytes.fromhex(digits.decode("ascii"))
    count, address, record_type = record[0], (record[1] << 8) | record[2], record[3]
    if len(record) != count + 5:
        raise ImageError(number, "byte count %d does not match the line, which holds %d data bytes"
                         % (count, len(record) - 5))
    if count > MAX_DATA_BYTES:
        raise ImageError(number, "%d data bytes; the tool takes at most %d per record"
                         % (count, MAX_DATA_BYTES))
    if sum(record) & 0xFF:
        raise ImageError(number, "wrong checksum 0x%02X, the record needs 0x%02X"
                         % (record[-1], (record[-1] - sum(record)) & 0xFF))
    if record_type not in RECORD_TYPES:
        raise ImageError(number, "unknown record type 0x%02X" % record_type)
    if record_type == 4:
        if count != 2:
            raise ImageError(number, "extended linear address record with %d data byte%s, "
                             "needs exactly 2" % (count, "" if count == 1 else "s"))
        # Only the low byte of the upper address selects the image window.
        state["upper"] = record[5] << 16
        if state["upper"] >= IMAGE_AREA:
            raise ImageError(number, "extended linear address 0x%02X%02X puts data at offset "
                             "0x%X, beyond the 4 MiB image area" % (record[4], record[5],
                                                                     state["upper"]))
    elif record_type == 0:
        start = state["upper"] + address
        end = start + count
        if end > IMAGE_AREA:
            raise ImageError(number, "data at offsets 0x%X to 0x%X runs past the 4 MiB image area"
                             % (start, end - 1))
        data = record[4:-1]
        state["records"].append((start, end, number, sum(data)))
        if state["first data"] is None:
            state["first data"] = data


def check_layout(records):
    """The image the tool makes is the one the text describes.

    The tool ends the image at the end of the last data record of the text and
    lets a later record overwrite an earlier one: a record that ends beyond
    the last one would be cut off, and overlapping records would mix.
    """
    if not records:
        return
    last_start, last_end, last_line, _ = records[-1]
    beyond = max(records, key=lambda r: (r[1], -r[2]))
    if beyond[1] > last_end:
        raise ImageError(beyond[2], "data record ends at offset 0x%X, beyond the end 0x%X of the "
                         "last data record (line %d): the image would be cut short"
                         % (beyond[1], last_end, last_line))
    reach = None  # the record that reaches furthest among those that start before
    for record in sorted((r for r in records if r[1] > r[0]), key=lambda r: (r[0], r[2])):
        if reach is not None and record[0] < reach[1]:
            first, second = sorted((reach, record), key=lambda r: r[2])
            raise ImageError(second[2], "data at offsets 0x%X to 0x%X overlaps that of line %d "
                             "(0x%X to 0x%X): one record would overwrite the other"
                             % (second[0], second[1] - 1, first[2], first[0], first[1] - 1))
        if reach is None or record[1] > reach[1]:
            reach = record


def check_image(text):
    if not text:
        raise ImageError(1, "empty image file")
    if not text.startswith(b":"):
        raise ImageError(1, "the text does not start with the start code ':'")
    lines = text.split(b"\n")
    if lines[-1]:
        raise ImageError(len(lines), "the text does not end with a line end")
    lines.pop()
    state = {"upper": 0, "records": [], "first data": None}
    for number, line in enumerate(lines, 1):
        check_record(number, line, state)
    if not text.endswith(END_OF_FILE):
        raise ImageError(len(lines), "the text does not end with the end-of-file record "
                         "':00000001FF' and CR LF")
    records = state["records"]
    check_layout(records)
    # The flat image: 0xFF up to the end of the last record but where data
    # lands; the unit is told 0 minus the 32-bit sum of its bytes.
    length = records[-1][1] if records else 0
    covered = sum(end - start for start, end, _, _ in records)
    total = sum(data_sum for _, _, _, data_sum in records) + 0xFF * (length - covered)
    first = state["first data"] or b""
    return {"length": length, "checksum": -total & 0xFFFFFFFF,
            "stand-in": first.startswith(STANDIN_MARKER)}


def array_name(file_name):
    name = file_name.replace(".", "_").replace("-", "_")
    if not re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]*", name):
        return None
    return name


def literal_lines(text):
    """The text as string literal pieces, one source line each, cut at record ends."""
    escaped = text.decode("ascii").replace("\r", "\\r").replace("\n", "\\n")
    pieces = []
    start = 0
    while start < len(escaped):
        end = start + LITERAL_PIECE
        if end < len(escaped):
            cut = escaped.find("\\n", end)
            end = len(escaped) if cut < 0 else cut + 2
        pieces.append('    "' + escaped[start:end] + '"')
        start = end
    return pieces


def manifest_line(name, text, figures):
    """One image's line of IMAGES.txt: file, text bytes, text SHA-256, image bytes, checksum."""
    return "%s %d %s %d %d" % (name, len(text), hashlib.sha256(text).hexdigest(),
                               figures["length"], figures["checksum"])


def generate(catalogue, images, standin):
    names = ", ".join(name for name, _, _, _ in images)
    banner = "// Generated by tools/images/gen_binimage.py from %s. Do not edit.\n" % names
    header = [banner,
              "// The update images carried inside the tool, as Intel HEX text.\n",
              "#ifndef _AUTOGEN_BINIMAGE_H_\n",
              "#define _AUTOGEN_BINIMAGE_H_\n\n",
              "// The release the images belong to.\n",
              '#define AUTOGEN_RELEASE_VERSION "%s"\n\n' % catalogue.version,
              "typedef struct autogen_files {\n",
              "  char filePath[%d];\n" % FILE_PATH_FIELD,
              "  char filePathLength;\n",
              "  // The image text, zero-terminated; read-only, the conversion is\n",
              "  // given a writable copy.\n",
              "  const char *fileData;\n",
              "  int fileDataLength;\n",
              "} autogen_files;\n\n"]
    for name, array, text, _ in images:
        header.append("extern const char %s[%d];\n" % (array, len(text) + 1))
    header += ["\n#define AUTOGEN_FILE_COUNT %d\n" % len(images),
               "extern const autogen_files AUTOGEN_FILES[AUTOGEN_FILE_COUNT];\n\n",
               "// The entry of AUTOGEN_FILES that start-up sends as the firmware.\n",
               "#define AUTOGEN_MICROCONTROLLER_ENTRY %d\n\n" % catalogue.microcontroller,
               "// The programmable-logic image for a logic-device code and unit role.\n",
               "typedef struct autogen_logic_image {\n",
               "  int deviceCode;  // as the unit reports it in its version reply\n",
               "  int isTx;        // 1 for a transmitter, 0 for a receiver\n",
               "  int entry;       // in AUTOGEN_FILES\n",
               "} autogen_logic_image;\n\n",
               "#define AUTOGEN_LOGIC_IMAGE_COUNT %d\n" % len(catalogue.logic),
               "extern const autogen_logic_image AUTOGEN_LOGIC_IMAGES[AUTOGEN_LOGIC_IMAGE_COUNT];\n\n",
               "// What IMAGES.txt says of the images, for the tool's version text and\n",
               "// run log: whether they are the release's or stand-ins, and per entry\n",
               "// its line there (file, text bytes, text SHA-256, image bytes, checksum).\n",
               '#define AUTOGEN_IMAGES_KIND "%s"\n' % ("stand-in" if standin else "release"),
               "extern const char *const AUTOGEN_IMAGE_FIGURES[AUTOGEN_FILE_COUNT];\n\n",
               "#endif\n"]

    source = [banner, '#include "BinImage.h"\n']
    for name, array, text, _ in images:
        source.append("\n// %s, %d bytes of text.\n" % (name, len(text)))
        source.append("const char %s[%d] =\n" % (array, len(text) + 1))
        source.append("\n".join(literal_lines(text)))
        source.append(";\n")
    source.append("\nconst autogen_files AUTOGEN_FILES[AUTOGEN_FILE_COUNT] = {\n")
    for name, array, text, _ in images:
        source.append('    {"%s", %d, %s, %d},\n' % (name, len(name), array, len(text)))
    source.append("};\n")
    source.append("\nconst char *const AUTOGEN_IMAGE_FIGURES[AUTOGEN_FILE_COUNT] = {\n")
    for name, _, text, figures in images:
        source.append('    "%s",\n' % manifest_line(name, text, figures))
    source.append("};\n")
    source.append("\nconst autogen_logic_image AUTOGEN_LOGIC_IMAGES[AUTOGEN_LOGIC_IMAGE_COUNT] = {\n")
    for entry, code, unit in catalogue.logic:
        source.append("    {%d, %d, %d},  // %s\n" % (code, unit == "TX", entry, images[entry][0]))
    source.append("};\n")
    return "".join(header), "".join(source)


def manifest(version, standin, images):
    lines = ["# The images carried by TessaronFwUpgrade and WriteWebUploadPackage.",
             "version: %s" % version,
             "images: %s" % ("stand-in" if standin else "release"),
             "# file text-bytes text-sha256 image-bytes checksum"]
    for name, _, text, figures in images:
        lines.append(manifest_line(name, text, figures))
    return ("\n".join(lines) + "\n").encode("ascii")


def files_by_name(paths, files, errors):
    """The given image paths by catalogue file name; what is missing, foreign
    or given twice goes to errors."""
    by_name = {}
    for path in paths:
        name = os.path.basename(path)
        if name not in files:
            errors.append("%s:0: not an image of the catalogue (expected one of %s)"
                          % (path, ", ".join(files)))
        elif name in by_name:
            errors.append("%s:0: given twice (also as %s)" % (path, by_name[name]))
        else:
            by_name[name] = path
    for name in files:
        if name not in by_name:
            errors.append("%s:0: no file given for this catalogue entry" % name)
    return by_name


def read_image(name, path, errors):
    """(name, array, text, figures) of one checked image file, or None after
    adding the reason to errors."""
    array = array_name(name)
    if array is None or len(name) >= FILE_PATH_FIELD or len(name) > 127:
        errors.append("%s:0: the file name cannot name a catalogue entry" % path)
        return None
    try:
        with open(path, "rb") as image:
            text = image.read()
    except OSError as error:
        errors.append("%s:0: cannot read the image file: %s" % (path, error.strerror))
        return None
    try:
        figures = check_image(text)
    except ImageError as error:
        errors.append("%s:%d: %s" % (path, error.line, error.what))
        return None
    if len(text) > 0x7FFFFFFF - 1:
        errors.append("%s:0: too large for the catalogue" % path)
        return None
    return name, array, text, figures


def main(argv):
    parser = argparse.ArgumentParser(description="Generate the embedded image catalogue.")
    parser.add_argument("--out-dir", required=True)
    parser.add_argument("--catalogue", help="the catalogue file (default firmware/catalogue.json)")
    parser.add_argument("--manifest", help="where to write IMAGES.txt")
    parser.add_argument("--standin", action="store_true", help="the build made stand-in images")
    parser.add_argument("files", nargs="+", metavar="FILE")
    args = parser.parse_args(argv[1:])
    try:
        catalogue = image_catalogue.load(args.catalogue)
    except image_catalogue.CatalogueError as error:
        sys.stderr.write("%s\ngen_binimage.py: catalogue not generated\n" % error)
        return 1

    errors = []
    by_name = files_by_name(args.files, catalogue.files, errors)
    images = [read_image(name, by_name[name], errors) for name in catalogue.files if name in by_name]
    if errors:
        for error in errors:
            sys.stderr.write(error + "\n")
        sys.stderr.write("gen_binimage.py: catalogue not generated\n")
        return 1

    standin = args.standin or any(figures["stand-in"] for _, _, _, figures in images)
    header, source = generate(catalogue, images, standin)
    os.makedirs(args.out_dir, exist_ok=True)
    write_if_changed(os.path.join(args.out_dir, "BinImage.h"), header.encode("ascii"))
    write_if_changed(os.path.join(args.out_dir, "BinImage.cpp"), source.encode("ascii"))
    if args.manifest:
        write_if_changed(args.manifest, manifest(catalogue.version, standin, images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
