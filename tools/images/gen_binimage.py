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
import intelhex
from build_output import write_if_changed
from make_standin_images import STANDIN_MARKER

FILE_PATH_FIELD = 70  # char filePath[70], zero-terminated
MAX_DATA_BYTES = 43  # the conversion's line store: 100 chars with ":" and CR LF
END_OF_FILE = b":00000001FF\r\n"
LITERAL_PIECE = 480  # characters of image text per source line of the array

# The tool passes over every record but data and extended linear address.
# A start linear address (the release's microcontroller image has one) names
# the entry point, which the unit takes from the image itself, so nothing is
# lost. Segment addresses belong to 16-bit segmented images: an extended
# segment address moves the data after it, which the tool would place
# elsewhere, and a start segment address has no meaning for the unit's linear
# images; a file with either was made for another device and is refused.
SEGMENT_RECORDS = (intelhex.EXTENDED_SEGMENT_ADDRESS, intelhex.START_SEGMENT_ADDRESS)


class ImageError(Exception):
    def __init__(self, line, what):
        super().__init__(what)
        self.line = line
        self.what = what


def check_record(number, line, state):
    """One line without its LF, applied to state["image"] (an
    intelhex.FlatImage) as the tool applies it."""
    if not line.endswith(b"\r"):
        raise ImageError(number, "the line does not end with CR LF")
    try:
        record = intelhex.parse_record(line[:-1])
    except intelhex.RecordError as error:
        raise ImageError(number, str(error))
    if len(record.data) > MAX_DATA_BYTES:
        raise ImageError(number, "%d data bytes; the tool takes at most %d per record"
                         % (len(record.data), MAX_DATA_BYTES))
    if record.type not in intelhex.TYPE_NAMES:
        raise ImageError(number, "unknown record type 0x%02X" % record.type)
    name = intelhex.TYPE_NAMES[record.type]
    if state["end of file"] is not None:
        # The tool reads on past the end-of-file record and would still place it.
        raise ImageError(number, "%s record after the end-of-file record of line %d"
                         % (name, state["end of file"]))
    if record.type in SEGMENT_RECORDS:
        raise ImageError(number, "%s record: the tool takes linear addresses only and passes over it"
                         % name)
    if record.type == intelhex.END_OF_FILE:
        state["end of file"] = number
    try:
        span = state["image"].apply(record)
    except intelhex.RecordError as error:
        raise ImageError(number, str(error))
    if span is not None:
        state["records"].append((span[0], span[1], number))
        if state["first data"] is None:
            state["first data"] = record.data


def check_layout(records):
    """The image the tool makes is the one the text describes.

    The tool ends the image at the end of the last data record of the text and
    lets a later record overwrite an earlier one: a record that ends beyond
    the last one would be cut off, and overlapping records would mix.
    """
    if not records:
        return
    _, last_end, last_line = records[-1]
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
    state = {"image": intelhex.FlatImage(), "records": [], "first data": None, "end of file": None}
    for number, line in enumerate(lines, 1):
        check_record(number, line, state)
    if not text.endswith(END_OF_FILE):
        raise ImageError(len(lines), "the text does not end with the end-of-file record "
                         "':00000001FF' and CR LF")
    check_layout(state["records"])
    image = state["image"].image()
    first = state["first data"] or b""
    return {"length": len(image), "checksum": intelhex.checksum(image),
            "stand-in": first.startswith(STANDIN_MARKER)}


# C++ keywords and alternative tokens: no array can be named so.
CXX_KEYWORDS = frozenset("""
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char char8_t char16_t
    char32_t class compl concept const consteval constexpr constinit const_cast continue co_await
    co_return co_yield decltype default delete do double dynamic_cast else enum explicit export
    extern false float for friend goto if inline int long mutable namespace new noexcept not
    not_eq nullptr operator or or_eq private protected public register reinterpret_cast requires
    return short signed sizeof static static_assert static_cast struct switch template this
    thread_local throw true try typedef typeid typename union unsigned using virtual void
    volatile wchar_t while xor xor_eq""".split())


def array_names(files):
    """The name of each file's array, in catalogue order: the file name with
    every "." and "-" as "_" (MCU_6G-SDI_61_R1_09.hex gives
    MCU_6G_SDI_61_R1_09_hex). Where that would be no name of its own (not an
    identifier, a keyword, a name reserved to the compiler: "__" anywhere, the
    generated names' own prefix "autogen" in any case, or another file's name
    too, as T-1.mcs and T.1.mcs both give T_1_mcs) the array of entry k is
    autogen_image_k, which no name of its own can be."""
    derived = [name.replace(".", "_").replace("-", "_") for name in files]

    def own(name):
        return (re.fullmatch(r"[A-Za-z][A-Za-z0-9_]*", name) is not None and name not in CXX_KEYWORDS
                and "__" not in name and not name.lower().startswith("autogen")
                and derived.count(name) == 1)

    return [name if own(name) else "autogen_image_%d" % k for k, name in enumerate(derived)]


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


def read_image(name, array, path, errors):
    """(name, array, text, figures) of one checked image file, or None after
    adding the reason to errors."""
    if len(name) >= FILE_PATH_FIELD:
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
    images = [read_image(name, array, by_name[name], errors)
              for name, array in zip(catalogue.files, array_names(catalogue.files)) if name in by_name]
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
