#!/usr/bin/env bash
# Every test of the project, in legs:
#   core      the normal build: unit, simulated-platform and end-to-end tests
#   windows   the cross-built Windows executable under Wine
#   memcheck  the tool and the simulated-platform tests under valgrind
#   asan      the unit tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   fuzz      the fuzz targets, for FUZZ_SECONDS (default 60) each
#
#   tools/dev/run_tests.sh [--skip LEG]...
#
# First it makes sure the packages of every leg are installed (tools/dev/setup.sh:
# as root it installs them, otherwise it says how and stops); a leg is left
# out only when asked for with --skip or SKIP_LEGS. The last line names every
# leg that did not run.
set -euo pipefail
cd "$(dirname "$0")/../.."

source tools/dev/legs.sh
read_skipped_legs "$@"
export SKIP_LEGS="$skip"
bash tools/dev/setup.sh

all_legs=(core windows memcheck asan fuzz)
ran=()
summary() {
  local status=$? not_run=()
  for leg in "${all_legs[@]}"; do
    [[ " ${ran[*]} " == *" $leg "* ]] && continue
    if [[ "$skip" == *" $leg "* ]]; then
      not_run+=("$leg (skipped on request)")
    else
      not_run+=("$leg")
    fi
  done
  local verdict=passed
  ((status == 0)) || verdict="FAILED (exit $status)"
  if ((${#not_run[@]} == 0)); then
    echo "run_tests.sh: $verdict; every leg ran (${all_legs[*]})"
  else
    local IFS=,
    echo "run_tests.sh: $verdict; legs that did not run:${not_run[*]/#/ }"
  fi
}
trap summary EXIT
wants() { [[ "$skip" != *" $1 "* ]]; }

# Tests of a leg that is left out are not run by the core leg either.
excluded=()
wants windows || excluded+=(wine)
wants memcheck || excluded+=(valgrind)
label_filter=()
if ((${#excluded[@]})); then
  label_filter=(-LE "$(IFS='|'; echo "${excluded[*]}")")
fi

cmake --preset default
cmake --build --preset default
if wants windows; then
  # The Wine tests of the core run take the executable from build/mingw.
  cmake --preset mingw
  cmake --build --preset mingw
fi
ctest --preset default "${label_filter[@]}"
ran+=(core)
wants windows && ran+=(windows)
wants memcheck && ran+=(memcheck)

if wants asan; then
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
  ran+=(asan)
fi

# Fuzzing (clang, libFuzzer): the seeds and the regression inputs replayed,
# then every target for FUZZ_SECONDS from its seeds; any finding fails the run
# and is kept in fuzz/regressions/.
if wants fuzz; then
  cmake --preset fuzz
  cmake --build --preset fuzz
  ctest --preset fuzz
  bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-60}"
  ran+=(fuzz)
fi
