"""The release's image catalogue, firmware/catalogue.json: the one place that
names the release version, the image files in table order, the
microcontroller image and which logic image serves which logic-device codes
for which unit role.

    {"version": "1.0.9",
     "images": [{"file": "NAME.hex", "microcontroller": true},
                {"file": "NAME.mcs", "device_code": 4, "unit": "TX"},
                {"file": "NAME.mcs", "device_codes": [1, 3], "unit": "RX",
                 "only_for_this_unit": [3]}, ...]}

A logic image serves one code ("device_code") or several ("device_codes"),
all for the role of "unit". The logic-device codes are those the tool knows,
the DEVICE_* constants of src/UnitUpdate.h. A code is served for both roles
unless an image lists it in "only_for_this_unit": a unit of the other role
that reports it is then refused as an unknown product.

Every reader goes through this module: the Python tools and tests with
load(), the build through the CMake include that `catalogue.py cmake` writes
(so each rule, and its refusal, is written here only).
"""

import argparse
import json
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir))
DEFAULT_PATH = os.path.join(ROOT, "firmware", "catalogue.json")
DEVICE_HEADER = os.path.join(ROOT, "src", "UnitUpdate.h")
UNITS = ("TX", "RX")
IMAGE_FIELDS = {"file", "microcontroller", "device_code", "device_codes", "unit", "only_for_this_unit"}


class CatalogueError(Exception):
    pass


def read_device_codes(path=DEVICE_HEADER):
    """The logic-device codes by name, as src/UnitUpdate.h defines them
    ("#define DEVICE_XC7A35_484 0x01" gives "XC7A35_484": 1)."""
    with open(path, encoding="utf-8") as header:
        found = re.findall(r"^#define DEVICE_(\w+) (0x[0-9A-Fa-f]+|[0-9]+)\s*$", header.read(), re.M)
    return {name: int(value, 0) for name, value in found}


# The logic-device codes the tool knows, by name, and the names by code.
DEVICE_CODES = read_device_codes()
DEVICE_NAMES = {code: name for name, code in DEVICE_CODES.items()}
# A unit without a logic device reports DEVICE_NONE: no image can serve it.
SERVABLE_CODES = sorted(code for name, code in DEVICE_CODES.items() if name != "NONE")


class Catalogue:
    def __init__(self, version, files, microcontroller, images):
        self.version = version
        self.files = files  # the image file names in table order
        self.microcontroller = microcontroller  # table index of the microcontroller image
        # Per logic image, in table order: (table index, its codes, unit, its one-role codes).
        self.images = images
        # (table index, device code, unit) per code an image serves, in table order.
        self.logic = [(index, code, unit) for index, codes, unit, _ in images for code in codes]

    def text(self):
        """The catalogue as a catalogue file holds it."""
        images = [{"file": name} for name in self.files]
        images[self.microcontroller]["microcontroller"] = True
        for index, codes, unit, one_role in self.images:
            image = images[index]
            if len(codes) == 1:
                image["device_code"] = codes[0]
            else:
                image["device_codes"] = list(codes)
            image["unit"] = unit
            if one_role:
                image["only_for_this_unit"] = list(one_role)
        # One image a line, as firmware/catalogue.json is laid out.
        lines = ",\n".join("    " + json.dumps(image) for image in images)
        return f'{{\n  "version": {json.dumps(self.version)},\n  "images": [\n{lines}\n  ]\n}}\n'


    def logic_entry(self, device_code, unit):
        """The table index of the logic image for this device code and unit, or None."""
        for index, code, role in self.logic:
            if code == device_code and role == unit:
                return index
        return None


def _codes(value):
    """A list of whole numbers as a tuple, or None."""
    if not isinstance(value, list) or not value:
        return None
    if not all(isinstance(code, int) and not isinstance(code, bool) for code in value):
        return None
    return tuple(value)


def load(path=None):
    path = path or os.environ.get("FWUPG_CATALOGUE") or DEFAULT_PATH
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except OSError as error:
        raise CatalogueError(f"{path}: cannot read the image catalogue: {error.strerror}") from error
    except ValueError as error:
        raise CatalogueError(f"{path}: {error}") from error

    def fail(what):
        raise CatalogueError(f"{path}: {what}")

    def only_fields(record, allowed, where):
        # A misspelt field would otherwise be passed over without a word.
        unknown = sorted(set(record) - allowed)
        if unknown:
            fail(f"{where}unknown field \"{unknown[0]}\"")

    version = data.get("version") if isinstance(data, dict) else None
    # [0-9], not \d: a digit of another script would pass \d.
    if not isinstance(version, str) or not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        fail('"version" must be ASCII digits and dots of the form 1.0.9')
    images = data.get("images")
    if not isinstance(images, list) or not images:
        fail('"images" must be a non-empty list')
    only_fields(data, {"version", "images"}, "")
    known = ", ".join(str(code) for code in SERVABLE_CODES)
    files, microcontroller, logic = [], [], []
    served = {}  # (code, unit): the table index that serves it
    for index, image in enumerate(images):
        name = image.get("file") if isinstance(image, dict) else None
        if not isinstance(name, str) or not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,68}", name):
            fail(f"image {index}: \"file\" must be a plain file name of at most 69 characters "
                 "(ASCII letters, digits, '_', '-' and '.', not starting with '.', '_' or '-')")
        if name in files:
            fail(f"image {index}: \"file\" {name} is listed twice")
        files.append(name)
        which = f"image {index} ({name})"
        only_fields(image, IMAGE_FIELDS, f"{which}: ")
        if image.get("microcontroller") is True:
            if set(image) != {"file", "microcontroller"}:
                fail(f"{which}: the microcontroller image takes no logic-device field")
            microcontroller.append(index)
            continue
        if ("device_code" in image) == ("device_codes" in image):
            fail(f"{which}: give either \"device_code\" or \"device_codes\"")
        codes = _codes([image["device_code"]] if "device_code" in image else image["device_codes"])
        if codes is None or not all(code in SERVABLE_CODES for code in codes):
            fail(f"{which}: \"device_code\" and \"device_codes\" take logic-device codes the tool "
                 f"knows (DEVICE_* of src/UnitUpdate.h: {known})")
        unit = image.get("unit")
        if unit not in UNITS:
            fail(f"{which}: \"unit\" must be \"TX\" or \"RX\"")
        for code in codes:
            if (code, unit) in served:
                fail(f"{which}: a second image for device code {code}, {unit}")
            served[code, unit] = index
        one_role = ()
        if "only_for_this_unit" in image:
            one_role = _codes(image["only_for_this_unit"])
            if one_role is None or not set(one_role) <= set(codes):
                fail(f"{which}: \"only_for_this_unit\" must list codes of the image's own "
                     "\"device_code\" or \"device_codes\"")
        logic.append((index, codes, unit, one_role))
    if len(microcontroller) != 1:
        fail('exactly one image must be marked "microcontroller": true')
    if not logic:
        fail("no logic image")
    # A code with an image for one role only is a slip unless the catalogue
    # says so: a unit of the other role would be refused after it has been
    # identified.
    for index, codes, unit, one_role in logic:
        other = UNITS[1 - UNITS.index(unit)]
        for code in codes:
            if (code, other) in served and code in one_role:
                fail(f"image {index} ({files[index]}): device code {code} is \"only_for_this_unit\" "
                     f"but image {served[code, other]} serves it for {other}")
            if (code, other) not in served and code not in one_role:
                fail(f"device code {code} has a {unit} image but no {other} image (image {index} "
                     f"lists it in \"only_for_this_unit\" when {other} units of that code are to be refused)")
    return Catalogue(version, files, microcontroller[0], logic)


def _cmake_list(values):
    return '"' + ";".join(str(value) for value in values) + '"'


def cmake_include(catalogue, path):
    """The facts the build uses, as a CMake include (see cmake/Catalogue.cmake)."""
    entries, codes, units = zip(*catalogue.logic)
    return "".join([
        f"# Written by tools/images/catalogue.py from {path}. Do not edit.\n",
        f"set(FWUPG_RELEASE_VERSION \"{catalogue.version}\")\n",
        f"set(FWUPG_IMAGE_NAMES {_cmake_list(catalogue.files)})\n",
        f"set(FWUPG_MICROCONTROLLER_ENTRY {catalogue.microcontroller})\n",
        f"set(FWUPG_LOGIC_ENTRIES {_cmake_list(entries)})\n",
        f"set(FWUPG_LOGIC_CODES {_cmake_list(codes)})\n",
        f"set(FWUPG_LOGIC_UNITS {_cmake_list(units)})\n",
    ])


def main(argv):
    """catalogue.py [--catalogue FILE] version|files|logic-files|cmake: one
    fact per line, for scripts (the image files in table order; the logic
    images'), or the build's CMake include. A catalogue that breaks a rule
    gives "FILE: what is wrong" on standard error and exit status 1."""
    parser = argparse.ArgumentParser(description="Print a fact of the image catalogue.")
    parser.add_argument("--catalogue", help="the catalogue file (default firmware/catalogue.json)")
    parser.add_argument("fact", choices=("version", "files", "logic-files", "cmake"))
    args = parser.parse_args(argv[1:])
    try:
        catalogue = load(args.catalogue)
    except CatalogueError as error:
        sys.stderr.write(f"{error}\n")
        return 1
    if args.fact == "version":
        print(catalogue.version)
    elif args.fact == "files":
        print("\n".join(catalogue.files))
    elif args.fact == "logic-files":
        print("\n".join(catalogue.files[index] for index, _, _, _ in catalogue.images))
    else:
        sys.stdout.write(cmake_include(catalogue, args.catalogue or DEFAULT_PATH))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
