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
# out only when asked for with --skip or SKIP_LEGS (any leg but core, which
# every other needs). The last line says which legs passed, which failed,
# which were skipped and which were not reached.
set -euo pipefail
cd "$(dirname "$0")/../.."

source tools/dev/legs.sh
read_skipped_legs "$@"
export SKIP_LEGS="$skip"
legs_passed=()
leg_running=""
trap 'legs_summary $?' EXIT
wants() { [[ "$skip" != *" $1 "* ]]; }
# Marks the start of a leg, and the end of the one before it.
leg() {
  [ -z "$leg_running" ] || legs_passed+=("$leg_running")
  leg_running=$1
}

bash tools/dev/setup.sh

# Each leg runs its own tests: the Wine and memcheck tests are labelled and
# left to their legs.
leg core
cmake --preset default
cmake --build --preset default
ctest --preset default -LE 'wine|valgrind'

if wants windows; then
  # The Wine tests take the executable from build/mingw.
  leg windows
  cmake --preset mingw
  cmake --build --preset mingw
  ctest --preset default -L wine
fi

if wants memcheck; then
  leg memcheck
  ctest --preset default -L valgrind
fi

if wants asan; then
  leg asan
  cmake --preset asan
  cmake --build --preset asan
  ctest --preset asan
fi

# Fuzzing (clang, libFuzzer): the seeds and the regression inputs replayed,
# then every target for FUZZ_SECONDS from its seeds; any finding fails the run
# and is kept in fuzz/regressions/.
if wants fuzz; then
  leg fuzz
  cmake --preset fuzz
  cmake --build --preset fuzz
  ctest --preset fuzz
  bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-60}"
fi
leg ""
