#!/usr/bin/env bash
# Makes the release package from the release images, in one command:
#
#   tools/release/release.sh IMAGE_DIR
#
# IMAGE_DIR holds the image files that firmware/catalogue.json names. From a
# clean work tree (a release is made from a commit) and a fresh build folder,
# build/release-<version>, it
#   1. checks the images (every catalogue file there, each one convertible,
#      none a stand-in);
#   2. cross-builds the Windows tool with them (mingw-w64);
#   3. checks the operator's guide's transfer times against the images;
#   4. runs that executable under Wine against the simulated unit: one whole
#      TX and one whole RX update, the images the unit receives compared byte
#      for byte with an independent conversion of IMAGE_DIR (about 4 minutes,
#      the unit's reboot wait; the two run side by side);
#   5. makes the ZIP (tool, operator's guide, IMAGES.txt, SHA256SUMS).
# Its last line names the ZIP and its SHA-256.
#
# Options:
#   --build-dir DIR     the release build folder (default build/release-<version>);
#                       emptied first
#   --native-build DIR  the native build whose unitsim and hexconv the Wine run
#                       uses (default build/default, built if they are missing)
# For the tests only, never for a release:
#   --test-allow-standin-images  take a folder of stand-in copies, and package
#                                them (the package is named -STANDIN-TEST)
#   --test-allow-dirty-tree      release from a work tree with changes
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
# The release scripts share the image tools' catalogue reader; the Wine
# runner imports the test harness and the end-to-end cases as well.
export PYTHONPATH="$root/tools/images:$root/tests/harness:$root/tests/e2e${PYTHONPATH:+:$PYTHONPATH}"
usage() {
  sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
refuse() {
  echo "Refusing to release: $*" >&2
  exit 1
}
say() { echo "release: $*"; }

build_dir="" native_build="" allow_standins=0 allow_dirty=0 image_dir=""
while (($#)); do
  case $1 in
    --build-dir) build_dir=${2:?}; shift 2 ;;
    --native-build) native_build=${2:?}; shift 2 ;;
    --test-allow-standin-images) allow_standins=1; shift ;;
    --test-allow-dirty-tree) allow_dirty=1; shift ;;
    -h | --help) usage ;;
    -*) echo "release.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$image_dir" ] || usage; image_dir=$1; shift ;;
  esac
done
[ -n "$image_dir" ] || usage

# --- what is released, and from what -----------------------------------------
catalogue=$root/firmware/catalogue.json
version=$(python3 "$root/tools/images/catalogue.py" --catalogue "$catalogue" version)
mapfile -t files < <(python3 "$root/tools/images/catalogue.py" --catalogue "$catalogue" files)

if ((!allow_dirty)); then
  changes=$(git -C "$root" status --porcelain) || refuse "$root is not a git work tree"
  [ -z "$changes" ] || refuse "the work tree $root has changes; a release is made from a commit:
$changes"
fi
commit=$(git -C "$root" rev-parse --short HEAD 2> /dev/null || echo unknown)

[ -d "$image_dir" ] || refuse "$image_dir is not a folder"
image_dir=$(cd "$image_dir" && pwd)
for name in "${files[@]}"; do
  [ -f "$image_dir/$name" ] || refuse "$image_dir lacks $name, an image of release $version ($catalogue)"
done

# The generator's own check of every image, and its verdict on stand-ins.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
if ! python3 "$root/tools/images/gen_binimage.py" --catalogue "$catalogue" --out-dir "$scratch" \
  --manifest "$scratch/IMAGES.txt" "${files[@]/#/$image_dir/}" 2> "$scratch/errors"; then
  cat "$scratch/errors" >&2
  refuse "the images in $image_dir do not pass the check above"
fi
if grep -qx 'images: stand-in' "$scratch/IMAGES.txt" && ((!allow_standins)); then
  refuse "$image_dir holds stand-in images made for tests, not the release images"
fi
say "$version from commit $commit, images of $image_dir"

# --- the Windows release build ------------------------------------------------
build_dir=${build_dir:-$root/build/release-$version}
# Emptied first, but only when it is a build folder (or empty): never a
# folder of other files given by mistake.
if [ -d "$build_dir" ] && [ -n "$(ls -A "$build_dir")" ] && [ ! -f "$build_dir/CMakeCache.txt" ]; then
  refuse "$build_dir holds files and is no build folder; give an empty or new folder"
fi
rm -rf "$build_dir"
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
configure=(cmake -S "$root" -B "$build_dir" -G Ninja
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake"
  -DCMAKE_BUILD_TYPE=Release -DFWUPG_BUILD_TESTS=OFF -DFIRMWARE_IMAGE_DIR="$image_dir")
((allow_standins)) && configure+=(-DFWUPG_TEST_PACKAGE_FROM_STANDINS=ON)
say "building the Windows tool in $build_dir"
"${configure[@]}" > "$build_dir/configure.log" 2>&1 || {
  cat "$build_dir/configure.log" >&2
  exit 1
}
cmake --build "$build_dir" --target TessaronFwUpgrade > "$build_dir/build.log" 2>&1 || {
  tail -50 "$build_dir/build.log" >&2
  exit 1
}

# --- the operator's guide -----------------------------------------------------
python3 "$root/tools/release/guide_durations.py" --catalogue "$catalogue" "$build_dir/IMAGES.txt" \
  "$root/docs/OPERATOR.md" || refuse "docs/OPERATOR.md gives other transfer times than these images"

# --- the executable under Wine against the simulated unit ---------------------
native_build=${native_build:-$root/build/default}
if [ ! -x "$native_build/testing/unitsim" ] || [ ! -x "$native_build/tools/hexconv" ]; then
  say "building unitsim and hexconv in $native_build"
  if [ "$native_build" = "$root/build/default" ]; then
    (cd "$root" && cmake --preset default > /dev/null)
  fi
  cmake --build "$native_build" --target unitsim hexconv > "$build_dir/native.log" 2>&1 || {
    tail -50 "$build_dir/native.log" >&2
    exit 1
  }
fi
say "two whole updates under Wine (TX and RX), about 4 minutes"
pids=()
cases=(full_tx_xc7a35 full_rx_pelmaroth_v1)
for case in "${cases[@]}"; do
  python3 "$root/tests/wine/run_wine.py" --exe "$build_dir/TessaronFwUpgrade.exe" \
    --unitsim "$native_build/testing/unitsim" --hexconv "$native_build/tools/hexconv" \
    --images "$image_dir" --case "$case" > "$build_dir/wine-$case.log" 2>&1 &
  pids+=($!)
done
failed=0
for k in "${!cases[@]}"; do
  status=0
  wait "${pids[$k]}" || status=$?
  log=$build_dir/wine-${cases[$k]}.log
  if ((status == 0)); then
    say "$(grep -m1 ': passed' "$log")"
  else
    # 77 is a skip (no Wine): a release is never made unchecked.
    cat "$log" >&2
    failed=1
  fi
done
((!failed)) || refuse "the Windows tool did not update the simulated units as it must"

# --- the package ---------------------------------------------------------------
cmake --build "$build_dir" --target release_package > "$build_dir/package.log" 2>&1 || {
  cat "$build_dir/package.log" >&2
  exit 1
}
zip=$(find "$build_dir/package" -maxdepth 1 -name '*.zip' -print -quit)
[ -n "$zip" ] || refuse "the package was not made"
sha256=$(sha256sum "$zip" | cut -d' ' -f1)
say "package contents:"
python3 -c 'import sys, zipfile
for i in zipfile.ZipFile(sys.argv[1]).infolist(): print(f"  {i.file_size:>10}  {i.filename}")' "$zip"
echo "$zip SHA-256 $sha256"
