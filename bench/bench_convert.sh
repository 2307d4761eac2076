#!/usr/bin/env bash
# Times the tool's Intel HEX conversion (hexconv) against objcopy and srec_cat
# on the largest logic image, and checks that all three give the same bytes.
#
# usage: bench/bench_convert.sh HEXCONV BUILD_DIR [RUNS]
#   HEXCONV    the built hexconv program (target hexconv)
#   BUILD_DIR  the build directory; the largest logic image of the catalogue
#              (firmware/catalogue.json) in its standin-images/ is converted
#              unless IMAGE is set to another Intel HEX file
#   RUNS       runs per converter (default 21); the medians are compared
#
# Builds nothing itself. Logic images only: they start at address 0, where
# all three converters start their output; the microcontroller image starts
# at 0x8000 and objcopy would cut the leading fill.
set -euo pipefail

if [ $# -lt 2 ]; then
  sed -n '5,10p' "$0" >&2
  exit 2
fi
hexconv=$1
build_dir=$2
runs=${3:-21}
if [ -z "${IMAGE:-}" ]; then
  images=$build_dir/standin-images
  IMAGE=$(python3 "$(dirname "$0")/../tools/images/catalogue.py" logic-files | while read -r name; do
    [ ! -f "$images/$name" ] || echo "$(stat -c %s "$images/$name") $images/$name"
  done | sort -n | tail -n 1 | cut -d' ' -f2-)
fi
image=$IMAGE

for tool in objcopy srec_cat; do
  if ! command -v "$tool" > /dev/null; then
    echo "bench_convert: $tool is not installed (packages binutils, srecord)" >&2
    exit 2
  fi
done
[ -x "$hexconv" ] || { echo "bench_convert: $hexconv is not a program" >&2; exit 2; }
[ -f "$image" ] || { echo "bench_convert: $image not found" >&2; exit 2; }

exec python3 "$(dirname "$0")/bench_convert.py" "$hexconv" "$image" "$runs"
