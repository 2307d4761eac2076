#!/usr/bin/env python3
"""Nothing in src/ is written and then used nowhere: no function that no
code or test calls (cppcheck's unused-function report over src/ and every
place that may call into it), and no #define that nothing else names.

    check_unused.py SOURCE_DIR [-I DIR]...
"""
import glob
import os
import re
import subprocess
import sys

# Named for the record format itself: the types of Intel HEX records, which
# the conversion passes over without naming them.
KEPT_DEFINES = {
    "INTEL_HEX_RECORD_EOF",
    "INTEL_HEX_RECORD_EXTENDED_SEGMENT_ADDRESS",
    "INTEL_HEX_RECORD_START_SEGMENT_ADDRESS",
    "INTEL_HEX_RECORD_START_LINEAR_ADDRESS",
}


def unused_defines(top):
    files = glob.glob(os.path.join(top, "src", "**", "*.[ch]*"), recursive=True)
    texts = {path: open(path, encoding="latin-1").read() for path in files}
    everything = "".join(texts.values())
    found = []
    for path, text in texts.items():
        for match in re.finditer(r"^\s*#\s*define\s+([A-Za-z_]\w*)", text, re.M):
            name = match.group(1)
            if name.endswith("_H") or name in KEPT_DEFINES:
                continue  # include guards
            if len(re.findall(rf"\b{name}\b", everything)) < 2:
                found.append(f"{os.path.relpath(path, top)}: #define {name} is used nowhere")
    return found


def unused_functions(top, includes):
    places = [os.path.join(top, p) for p in ("src", "src/platform", "testing", "tests", "tools/images", "fuzz")]
    command = ["cppcheck", "--quiet", "--library=googletest", "--enable=unusedFunction", "--std=c++17",
               "-DFWUPG_STANDIN_IMAGES=1", "-D__linux__", "-I", os.path.join(top, "src"),
               "-I", os.path.join(top, "testing"), "-I", os.path.join(top, "tests")]  # fmt: skip
    for directory in includes:
        command += ["-I", directory]
    report = subprocess.run(command + places, capture_output=True, text=True, check=False).stderr
    src = os.path.join(top, "src") + os.sep
    return [line for line in report.splitlines() if "[unusedFunction]" in line and line.startswith(src)]


def main():
    top, includes = sys.argv[1], sys.argv[3::2]
    problems = unused_defines(top) + unused_functions(top, includes)
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
