#!/usr/bin/env bash
# Makes sure the packages of every test leg that will run are installed.
#
#   tools/dev/setup.sh [--skip LEG]...
#
# The package lists live in tools/dev/packages.txt. Run as root, the missing
# packages are installed with apt-get; run as another user, the one command
# that installs them is printed and the script fails, so that a leg is never
# left out without anyone noticing. A leg named with --skip (or in the
# SKIP_LEGS variable) is not checked.
set -euo pipefail
cd "$(dirname "$0")/../.."

source tools/dev/legs.sh
read_skipped_legs "$@"

wanted=()
while read -r leg packages; do
  [[ -z "$leg" || "$leg" == \#* ]] && continue
  [[ "$skip" == *" $leg "* ]] && continue
  # shellcheck disable=SC2206
  wanted+=($packages)
done < tools/dev/packages.txt

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "setup.sh: not a Debian or Ubuntu machine; install the equivalents of these packages by hand:" >&2
  echo "  ${wanted[*]}" >&2
  exit 0
fi

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
  [[ "$status" == installed ]] || missing+=("$package")
done
if ((${#missing[@]} == 0)); then
  echo "setup.sh: every package the tests need is installed"
  exit 0
fi

if [[ $(id -u) -eq 0 ]]; then
  echo "setup.sh: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
  exit 0
fi

echo "setup.sh: the tests need packages that are not installed. Install them with" >&2
echo "  sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
echo "or leave legs out explicitly, e.g. tools/dev/run_tests.sh --skip windows" >&2
exit 1
