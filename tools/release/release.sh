#!/usr/bin/env bash
# Makes the release packages from the release images, in one command:
#
#   tools/release/release.sh [OPTIONS] IMAGE_DIR
#
# IMAGE_DIR holds the image files that firmware/catalogue.json names. From a
# clean work tree (a release is made from a commit) and a fresh build folder,
# build/release-<version>, it
#   1. checks the images (every catalogue file there, each one convertible,
#      none a stand-in);
#   2. builds the Linux tool with them (static, runs on any x86-64
#      distribution) and its web upload package FwToUpload.bin, and
#      cross-builds the Windows tool (mingw-w64);
#   3. checks the operator's guide's transfer times against the images;
#   4. signs the Windows executable with Authenticode when given a key, and
#      checks that removing the signature gives back the built executable;
#   5. makes the Windows ZIP and the Linux tar.gz (tool, operator's guide,
#      FwToUpload.bin, IMAGES.txt, SHA256SUMS), unpacks both and checks their
#      SHA256SUMS;
#   6. runs the unpacked tools against the simulated unit: one whole TX and
#      one whole RX update under Wine and the same natively, the images the
#      unit receives compared byte for byte with an independent conversion
#      of IMAGE_DIR (about 4 minutes, the unit's reboot wait; all four run
#      side by side).
# Its last lines say whether the Windows executable is signed, then name each
# package with its SHA-256.
#
# Options (each signing option also read from the environment variable named):
#   --build-dir DIR           the release build folder (default
#                             build/release-<version>); a folder this command
#                             made is emptied first, any other must be new or empty
#   --native-build DIR        the native build whose unitsim and hexconv the
#                             updates use (default build/default, built if
#                             they are missing)
#   --sign-pkcs12 FILE        FWUPG_SIGN_PKCS12: code-signing key and certificate
#   --sign-key FILE           FWUPG_SIGN_KEY: code-signing key (PEM), with
#   --sign-cert FILE          FWUPG_SIGN_CERT: its certificate and chain (PEM)
#   --sign-password-file FILE FWUPG_SIGN_PASSWORD_FILE: the key's password;
#                             FWUPG_SIGN_PASSWORD may hold the password itself
#   --timestamp URL           FWUPG_TIMESTAMP_URL: RFC 3161 time-stamp server
#                             (without one the signature carries no time-stamp)
# The certificate must be valid today and allow code signing (extended key
# usage codeSigning). Without a key the release is made unsigned, and says so;
# a password or a time-stamp server without a key is refused.
# For the tests only, never for a release:
#   --test-allow-standin-images  take a folder of stand-in copies, and package
#                                them (the packages are named -STANDIN-TEST)
#   --test-allow-dirty-tree      release from a work tree with changes
#   --test-skip-updates          no updates against the simulated unit (stand-in
#                                copies only)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
# The release scripts share the image tools' catalogue reader; the Wine
# runner imports the test harness and the end-to-end cases as well.
export PYTHONPATH="$root/tools/images:$root/tests/harness:$root/tests/e2e${PYTHONPATH:+:$PYTHONPATH}"
usage() {
  sed -n '2,/^set -euo/{/^set -euo/d;p}' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}
refuse() {
  echo "Refusing to release: $*" >&2
  exit 1
}
say() { echo "release: $*"; }
# A build step's output goes to its log, shown only when it fails.
logged() {
  local log=$1
  shift
  "$@" > "$log" 2>&1 || {
    tail -50 "$log" >&2
    exit 1
  }
}

build_dir="" native_build="" allow_standins=0 allow_dirty=0 skip_updates=0 image_dir=""
sign_pkcs12=${FWUPG_SIGN_PKCS12:-} sign_key=${FWUPG_SIGN_KEY:-} sign_cert=${FWUPG_SIGN_CERT:-}
password_file=${FWUPG_SIGN_PASSWORD_FILE:-} timestamp=${FWUPG_TIMESTAMP_URL:-}
while (($#)); do
  case $1 in
    --build-dir) build_dir=${2:?}; shift 2 ;;
    --native-build) native_build=${2:?}; shift 2 ;;
    --sign-pkcs12) sign_pkcs12=${2:?}; shift 2 ;;
    --sign-key) sign_key=${2:?}; shift 2 ;;
    --sign-cert) sign_cert=${2:?}; shift 2 ;;
    --sign-password-file) password_file=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --test-allow-standin-images) allow_standins=1; shift ;;
    --test-allow-dirty-tree) allow_dirty=1; shift ;;
    --test-skip-updates) skip_updates=1; shift ;;
    -h | --help) usage ;;
    -*) echo "release.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$image_dir" ] || usage; image_dir=$1; shift ;;
  esac
done
[ -n "$image_dir" ] || usage

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# --- who signs ------------------------------------------------------------------
signing=0
if [ -n "$sign_pkcs12" ] && [ -n "$sign_key$sign_cert" ]; then
  refuse "give either a PKCS#12 file or a key and its certificate, not both"
elif [ -n "$sign_key" ] && [ -z "$sign_cert" ] || { [ -z "$sign_key" ] && [ -n "$sign_cert" ]; }; then
  refuse "a code-signing key needs its certificate, and a certificate its key"
elif [ -n "$sign_pkcs12$sign_key" ]; then
  signing=1
  for file in "$sign_pkcs12" "$sign_key" "$sign_cert" "$password_file"; do
    [ -z "$file" ] || { [ -f "$file" ] && [ -r "$file" ]; } || refuse "cannot read $file"
  done
  if [ -z "$password_file" ] && [ -n "${FWUPG_SIGN_PASSWORD:-}" ]; then
    password_file=$scratch/password
    (umask 077 && printf '%s\n' "$FWUPG_SIGN_PASSWORD" > "$password_file")
  fi
  passin=pass:
  [ -z "$password_file" ] || passin=file:$password_file
  # The signer's certificate, read now: a wrong password or a key that is not
  # the certificate's stops the release before anything is built.
  certificate=$scratch/signer.pem
  if [ -n "$sign_pkcs12" ]; then
    openssl pkcs12 -in "$sign_pkcs12" -clcerts -nokeys -passin "$passin" -out "$certificate" 2> "$scratch/errors" ||
      openssl pkcs12 -legacy -in "$sign_pkcs12" -clcerts -nokeys -passin "$passin" -out "$certificate" 2> /dev/null ||
      refuse "cannot read $sign_pkcs12 with the password given: $(head -1 "$scratch/errors")"
  else
    cp "$sign_cert" "$certificate"
    key_public=$(openssl pkey -in "$sign_key" -passin "$passin" -pubout 2> /dev/null) ||
      refuse "cannot read the key $sign_key with the password given"
    [ "$key_public" = "$(openssl x509 -in "$sign_cert" -noout -pubkey 2> /dev/null)" ] ||
      refuse "$sign_key is not the key of the certificate $sign_cert"
  fi
  subject=$(openssl x509 -in "$certificate" -noout -subject -nameopt RFC2253) ||
    refuse "no certificate in ${sign_pkcs12:-$sign_cert}"
  # Only a certificate that can sign today makes a signature that Windows
  # takes: osslsigncode signs with any, and an expired one would give a tool
  # reported as signed that warns of an unknown publisher.
  holder="the certificate ${subject#subject=} in ${sign_pkcs12:-$sign_cert}"
  not_before=$(openssl x509 -in "$certificate" -noout -startdate) && not_before=${not_before#notBefore=} &&
    not_after=$(openssl x509 -in "$certificate" -noout -enddate) && not_after=${not_after#notAfter=} &&
    starts=$(date -u -d "$not_before" +%s) || refuse "cannot read the validity of $holder"
  ((starts <= $(date -u +%s))) || refuse "$holder is not yet valid: valid from $not_before"
  openssl x509 -in "$certificate" -noout -checkend 0 > /dev/null ||
    refuse "$holder has expired: valid until $not_after"
  usages=$(openssl x509 -in "$certificate" -noout -ext extendedKeyUsage 2> /dev/null) || usages=""
  [[ $usages == *"Code Signing"* ]] ||
    refuse "$holder lacks the code-signing extended key usage (extendedKeyUsage = codeSigning)"
  command -v osslsigncode > /dev/null || refuse "osslsigncode is not installed (apt-get install osslsigncode)"
  fingerprint=$(openssl x509 -in "$certificate" -noout -fingerprint -sha256)
  fingerprint=${fingerprint#*=}
  fingerprint=$(echo "${fingerprint//:/}" | tr 'A-F' 'a-f')
  signature="authenticode ${subject#subject=} (certificate SHA-256 $fingerprint)"
elif [ -n "$timestamp" ]; then
  refuse "a time-stamp server is given but no code-signing key"
elif [ -n "$password_file" ] || [ -n "${FWUPG_SIGN_PASSWORD:-}" ]; then
  # Most likely the key's option was lost on the way: never an unsigned
  # release in its place.
  refuse "a signing password is given but no code-signing key"
else
  signature=none
fi

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
if ! python3 "$root/tools/images/gen_binimage.py" --catalogue "$catalogue" --out-dir "$scratch" \
  --manifest "$scratch/IMAGES.txt" "${files[@]/#/$image_dir/}" 2> "$scratch/errors"; then
  cat "$scratch/errors" >&2
  refuse "the images in $image_dir do not pass the check above"
fi
if grep -qx 'images: stand-in' "$scratch/IMAGES.txt"; then
  ((allow_standins)) || refuse "$image_dir holds stand-in images made for tests, not the release images"
elif ((skip_updates)); then
  refuse "--test-skip-updates is for tests on stand-in copies only"
fi
say "$version from commit $commit, images of $image_dir"

# --- the release build folder -------------------------------------------------
# Emptied only when this command made it (the marker file says so): never a
# file or a folder of other files given by mistake.
build_dir=${build_dir:-$root/build/release-$version}
marker=.made-by-release.sh
if [ -e "$build_dir" ] || [ -L "$build_dir" ]; then
  [ -d "$build_dir" ] || refuse "$build_dir is not a folder; give a new or empty folder as --build-dir"
  [ -f "$build_dir/$marker" ] || [ -z "$(ls -A "$build_dir")" ] ||
    refuse "$build_dir holds files and was not made by this command; give a new or empty folder"
  find "$build_dir/" -mindepth 1 -delete
fi
mkdir -p "$build_dir"
build_dir=$(cd "$build_dir" && pwd)
echo "Made by tools/release/release.sh, which empties this folder at its next run." > "$build_dir/$marker"

# --- the builds ------------------------------------------------------------------
configure=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DFWUPG_BUILD_TESTS=OFF -DFIRMWARE_IMAGE_DIR="$image_dir")
((allow_standins)) && configure+=(-DFWUPG_TEST_PACKAGE_FROM_STANDINS=ON)
linux=$build_dir/linux windows=$build_dir/windows
say "building the Linux tool and its package in $linux"
logged "$build_dir/linux-configure.log" cmake -S "$root" -B "$linux" "${configure[@]}" -DFWUPG_STATIC_RELEASE=ON
logged "$build_dir/linux-build.log" cmake --build "$linux" --target release_package
say "building the Windows tool in $windows"
logged "$build_dir/windows-configure.log" cmake -S "$root" -B "$windows" "${configure[@]}" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake"
logged "$build_dir/windows-build.log" cmake --build "$windows" --target TessaronFwUpgrade
cmp -s "$linux/IMAGES.txt" "$windows/IMAGES.txt" || refuse "the Linux and Windows builds carry different images"

# --- the operator's guide -----------------------------------------------------
python3 "$root/tools/release/guide_durations.py" --catalogue "$catalogue" "$windows/IMAGES.txt" \
  "$root/docs/OPERATOR.md" || refuse "docs/OPERATOR.md gives other transfer times than these images"

# --- the signature ------------------------------------------------------------------
exe=$windows/TessaronFwUpgrade.exe
if ((signing)); then
  say "signing the Windows tool: $signature"
  sign=(osslsigncode sign -h sha256 -n "TessaronFwUpgrade $version")
  if [ -n "$sign_pkcs12" ]; then sign+=(-pkcs12 "$sign_pkcs12"); else sign+=(-certs "$sign_cert" -key "$sign_key"); fi
  [ -z "$password_file" ] || sign+=(-readpass "$password_file")
  [ -z "$timestamp" ] || sign+=(-ts "$timestamp")
  mkdir "$build_dir/signed"
  logged "$build_dir/sign.log" "${sign[@]}" -in "$exe" -out "$build_dir/signed/TessaronFwUpgrade.exe"
  # The signature is all that was added: removing it gives back the
  # reproducible build, as an auditor checks it.
  logged "$build_dir/unsign.log" osslsigncode remove-signature -in "$build_dir/signed/TessaronFwUpgrade.exe" \
    -out "$scratch/unsigned.exe"
  cmp -s "$scratch/unsigned.exe" "$exe" || refuse "the signed executable differs from the build by more than its signature"
  exe=$build_dir/signed/TessaronFwUpgrade.exe
fi

# --- the packages, unpacked and checked ---------------------------------------------
staging=$build_dir/staging
package_options=(--allow-standin-images-for-test)
((allow_standins)) || package_options=()
logged "$build_dir/package.log" python3 "$root/tools/release/make_release_package.py" --out-dir "$staging" \
  --system win64 --manifest "$windows/IMAGES.txt" --tool "$exe" --guide "$root/docs/OPERATOR.md" \
  --web-package "$linux/web/FwToUpload.bin" --signature "$signature" "${package_options[@]}"
cp "$linux"/package/*.tar.gz "$staging"
mapfile -t packages < <(find "$staging" -maxdepth 1 -type f | sort)
((${#packages[@]} == 2)) || refuse "expected the ZIP and the tar.gz in $staging, found: ${packages[*]}"
unpacked=$build_dir/unpacked
mkdir "$unpacked"
python3 -m zipfile -e "$staging"/*.zip "$unpacked"
tar -xzf "$staging"/*.tar.gz -C "$unpacked"
for folder in "$unpacked"/*/; do
  (cd "$folder" && sha256sum --quiet -c SHA256SUMS) || refuse "the files of ${folder%/} are not those of its SHA256SUMS"
done

# --- the unpacked tools against the simulated unit ------------------------------
native_build=${native_build:-$root/build/default}
if ((skip_updates)); then
  say "no updates against the simulated unit (--test-skip-updates)"
else
  if [ ! -x "$native_build/testing/unitsim" ] || [ ! -x "$native_build/tools/hexconv" ]; then
    say "building unitsim and hexconv in $native_build"
    if [ "$native_build" = "$root/build/default" ]; then
      (cd "$root" && cmake --preset default > /dev/null)
    fi
    logged "$build_dir/native.log" cmake --build "$native_build" --target unitsim hexconv
  fi
  simulated=(--unitsim "$native_build/testing/unitsim" --hexconv "$native_build/tools/hexconv" --images "$image_dir")
  say "two whole updates under Wine and two natively (TX and RX), about 4 minutes"
  runs=() pids=()
  windows_tool=("$unpacked"/*/TessaronFwUpgrade.exe) linux_tool=("$unpacked"/*/TessaronFwUpgrade)
  for case in full_tx_xc7a35 full_rx_pelmaroth_v1; do
    python3 "$root/tests/wine/run_wine.py" --exe "${windows_tool[0]}" "${simulated[@]}" \
      --case "$case" > "$build_dir/wine-$case.log" 2>&1 &
    runs+=("wine-$case") pids+=($!)
    python3 "$root/tests/e2e/run_e2e.py" --tool "${linux_tool[0]}" "${simulated[@]}" \
      --case "$case" > "$build_dir/linux-$case.log" 2>&1 &
    runs+=("linux-$case") pids+=($!)
  done
  failed=0
  for k in "${!runs[@]}"; do
    status=0
    wait "${pids[$k]}" || status=$?
    log=$build_dir/${runs[$k]}.log
    if ((status == 0)); then
      say "$(grep -m1 ': passed' "$log")"
    else
      # 77 is a skip (no Wine): a release is never made unchecked.
      cat "$log" >&2
      failed=1
    fi
  done
  ((!failed)) || refuse "the packaged tools did not update the simulated units as they must"
fi

# --- the release ---------------------------------------------------------------------
mkdir "$build_dir/package"
mv "${packages[@]}" "$build_dir/package"
rmdir "$staging"
say "package contents:"
python3 -c 'import sys, tarfile, zipfile
for path in sys.argv[1:]:
    print("  " + path.rsplit("/", 1)[1])
    if path.endswith(".zip"):
        entries = [(i.file_size, i.filename) for i in zipfile.ZipFile(path).infolist()]
    else:
        entries = [(i.size, i.name) for i in tarfile.open(path) if i.isfile()]
    for size, name in entries: print(f"    {size:>10}  {name}")' "$build_dir"/package/*
if ((signing)); then
  say "the Windows tool is signed: $signature"
else
  say "UNSIGNED: no code-signing key was given; Windows warns of an unknown publisher, and IMAGES.txt says \"signature: none\""
fi
for package in "$build_dir"/package/*; do
  echo "$package SHA-256 $(sha256sum "$package" | cut -d' ' -f1)"
done
