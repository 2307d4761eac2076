#!/usr/bin/env python3
"""Median wall time of three Intel HEX to binary converters on one image.

usage: bench_convert.py HEXCONV IMAGE RUNS   (see bench_convert.sh)
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time


def converters(hexconv, image, out_dir):
    return [
        ("hexconv", [hexconv, image, os.path.join(out_dir, "hexconv.bin")]),
        ("objcopy", ["objcopy", "-I", "ihex", "-O", "binary", image,
                     os.path.join(out_dir, "objcopy.bin")]),
        ("srec_cat", ["srec_cat", image, "-Intel", "-o", os.path.join(out_dir, "srec_cat.bin"),
                      "-Binary"]),
    ]


def main(argv):
    hexconv, image, runs = argv[1], argv[2], int(argv[3])
    with tempfile.TemporaryDirectory(prefix="bench-convert-") as out_dir:
        tools = converters(hexconv, image, out_dir)
        times = {name: [] for name, _ in tools}
        # One warm-up run each, then the runs interleaved so that a busy
        # moment of the machine touches all three alike.
        for name, command in tools:
            subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
        for _ in range(runs):
            for name, command in tools:
                start = time.perf_counter()
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
                times[name].append(time.perf_counter() - start)

        outputs = {}
        for name, command in tools:
            with open(command[-1] if name != "srec_cat" else command[-2], "rb") as f:
                outputs[name] = f.read()
        size = len(outputs["hexconv"])
        identical = all(data == outputs["hexconv"] for data in outputs.values())

    print("image: %s (%d bytes of text, %d bytes of image)"
          % (os.path.basename(image), os.path.getsize(image), size))
    print("runs:  %d per converter" % runs)
    medians = {name: statistics.median(values) for name, values in times.items()}
    for name in times:
        print("  %-9s median %7.2f ms   min %7.2f ms" % (name, medians[name] * 1000,
                                                        min(times[name]) * 1000))
    print("ratio: objcopy / hexconv  = %.2f" % (medians["objcopy"] / medians["hexconv"]))
    print("ratio: srec_cat / hexconv = %.2f" % (medians["srec_cat"] / medians["hexconv"]))
    print("outputs byte-identical: %s" % ("yes" if identical else "NO"))
    return 0 if identical else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
