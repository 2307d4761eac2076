"""The release's image catalogue, firmware/catalogue.json: the one place that
names the release version, the image files in table order, the
microcontroller image and the logic images by device code and unit role.

    {"version": "1.0.9",
     "images": [{"file": "NAME.hex", "microcontroller": true},
                {"file": "NAME.mcs", "device_code": 4, "unit": "TX"}, ...]}

Every Python tool and test reads it through this module; CMake reads it once,
in cmake/Catalogue.cmake, with the same rules for what it uses there (the
version and the file names).
"""

import argparse
import json
import os
import re
import sys

DEFAULT_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "firmware",
                            "catalogue.json")
UNITS = ("TX", "RX")


class CatalogueError(Exception):
    pass


class Catalogue:
    def __init__(self, version, files, microcontroller, logic):
        self.version = version
        self.files = files  # the image file names in table order
        self.microcontroller = microcontroller  # table index of the microcontroller image
        self.logic = logic  # [(table index, device code, unit)] in table order

    def text(self):
        """The catalogue as a catalogue file holds it."""
        images = []
        for index, name in enumerate(self.files):
            if index == self.microcontroller:
                images.append({"file": name, "microcontroller": True})
            else:
                _, code, unit = next(entry for entry in self.logic if entry[0] == index)
                images.append({"file": name, "device_code": code, "unit": unit})
        return json.dumps({"version": self.version, "images": images}, indent=2) + "\n"

    def logic_entry(self, device_code, unit):
        """The table index of the logic image for this device code and unit, or None."""
        for index, code, role in self.logic:
            if code == device_code and role == unit:
                return index
        return None


def load(path=None):
    path = path or os.environ.get("FWUPG_CATALOGUE") or DEFAULT_PATH
    try:
        with open(path, encoding="utf-8") as f:
            data = json.load(f)
    except (OSError, ValueError) as error:
        raise CatalogueError(f"{path}: {error}") from error

    def fail(what):
        raise CatalogueError(f"{path}: {what}")

    version = data.get("version") if isinstance(data, dict) else None
    # [0-9], not \d: a digit of another script would pass \d.
    if not isinstance(version, str) or not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        fail('"version" must be ASCII digits and dots of the form 1.0.9')
    images = data.get("images")
    if not isinstance(images, list) or not images:
        fail('"images" must be a non-empty list')
    files, microcontroller, logic = [], [], []
    for index, image in enumerate(images):
        name = image.get("file") if isinstance(image, dict) else None
        if not isinstance(name, str) or not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]{0,68}", name):
            fail(f"image {index}: \"file\" must be a plain file name of at most 69 characters "
                 "(ASCII letters, digits, '_', '-' and '.', not starting with '.', '_' or '-')")
        if name in files:
            fail(f"image {index}: \"file\" {name} is listed twice")
        files.append(name)
        if image.get("microcontroller") is True:
            microcontroller.append(index)
            continue
        code, unit = image.get("device_code"), image.get("unit")
        if not isinstance(code, int) or isinstance(code, bool) or not 0 < code < 256:
            fail(f"image {index} ({name}): \"device_code\" must be a whole number from 1 to 255")
        if unit not in UNITS:
            fail(f"image {index} ({name}): \"unit\" must be \"TX\" or \"RX\"")
        if any(c == code and u == unit for _, c, u in logic):
            fail(f"image {index} ({name}): a second image for device code {code}, {unit}")
        logic.append((index, code, unit))
    if len(microcontroller) != 1:
        fail('exactly one image must be marked "microcontroller": true')
    if not logic:
        fail("no logic image")
    # A unit's role is known only after its device code has been accepted,
    # so a device code is served for both roles or not at all.
    for _, code, unit in logic:
        other = UNITS[1 - UNITS.index(unit)]
        if not any(c == code and u == other for _, c, u in logic):
            fail(f"device code {code} has a {unit} image but no {other} image")
    return Catalogue(version, files, microcontroller[0], logic)


def main(argv):
    """catalogue.py [--catalogue FILE] version|files|logic-files: one fact per
    line, for scripts (the image files in table order; the logic images')."""
    parser = argparse.ArgumentParser(description="Print a fact of the image catalogue.")
    parser.add_argument("--catalogue", help="the catalogue file (default firmware/catalogue.json)")
    parser.add_argument("fact", choices=("version", "files", "logic-files"))
    args = parser.parse_args(argv[1:])
    try:
        catalogue = load(args.catalogue)
    except CatalogueError as error:
        sys.stderr.write(f"catalogue.py: {error}\n")
        return 1
    if args.fact == "version":
        print(catalogue.version)
    elif args.fact == "files":
        print("\n".join(catalogue.files))
    else:
        print("\n".join(catalogue.files[entry] for entry, _, _ in catalogue.logic))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
