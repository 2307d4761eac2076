#!/usr/bin/env bash
# Every test of the project: the normal build (unit, simulated-platform and
# end-to-end tests, the Windows executable under Wine), then the same unit
# tests under AddressSanitizer and UndefinedBehaviorSanitizer, then the fuzz
# targets for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default
# The Windows executable, which the default run's Wine tests take from
# build/mingw; without the cross compiler (or without Wine) they are skipped.
if command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  cmake --preset mingw
  cmake --build --preset mingw
else
  echo "x86_64-w64-mingw32-g++ not found: Windows executable not built, its Wine tests will be skipped"
fi
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan

# Fuzzing (clang, libFuzzer): the seeds and the regression inputs replayed,
# then every target for FUZZ_SECONDS (default 60) from its seeds; any finding
# fails the run and is kept in fuzz/regressions/.
cmake --preset fuzz
cmake --build --preset fuzz
ctest --preset fuzz
bash fuzz/run_fuzzers.sh "${FUZZ_SECONDS:-60}"
