#!/usr/bin/env bash
# Every test of the project: the normal build (unit, simulated-platform and
# end-to-end tests), then the same unit tests under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --preset default
cmake --build --preset default
ctest --preset default

cmake --preset asan
cmake --build --preset asan
ctest --preset asan
