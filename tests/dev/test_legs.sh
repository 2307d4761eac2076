#!/usr/bin/env bash
# The test command's reading of the legs to leave out and its last line
# (tools/dev/legs.sh), on a table of inputs, without running a leg.
#
#   tests/dev/test_legs.sh SOURCE_DIR
set -uo pipefail
source "$1/tools/dev/legs.sh"
failures=0
check() {  # what, expected, actual
  if [[ "$2" != "$3" ]]; then
    printf 'FAILED %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
    failures=$((failures + 1))
  fi
}

# A folder with files, so that a pattern that got expanded would show.
cd "$(mktemp -d)" && touch windows fuzz && trap 'rm -rf "$PWD"' EXIT

# SKIP_LEGS | arguments (split at blanks) | [the legs left out], or "exit 2: <the message>"
while IFS='|' read -r skip_legs args expected; do
  read -r -a argv <<< "$args"
  actual=$(
    SKIP_LEGS=$skip_legs
    read_skipped_legs "${argv[@]}" 2>&1 && echo "[$skip]"
  )
  status=$?
  ((status == 0)) || actual="exit $status: $actual"
  check "SKIP_LEGS='$skip_legs' arguments '$args'" "$expected" "$actual"
done << 'EOF'
||[ ]
|--skip windows|[ windows ]
windows fuzz|--skip asan|[ windows fuzz asan ]
|--skip core|exit 2: test_legs.sh: the core leg cannot be left out: every other leg needs its build (legs that can be left out: windows memcheck asan fuzz)
core||exit 2: test_legs.sh: the core leg cannot be left out: every other leg needs its build (legs that can be left out: windows memcheck asan fuzz)
*||exit 2: test_legs.sh: no test leg named '*' (legs that can be left out: windows memcheck asan fuzz)
|--skip win*|exit 2: test_legs.sh: no test leg named 'win*' (legs that can be left out: windows memcheck asan fuzz)
|--skip wine|exit 2: test_legs.sh: no test leg named 'wine' (legs that can be left out: windows memcheck asan fuzz)
|--skip|exit 2: test_legs.sh: --skip needs a leg name (legs that can be left out: windows memcheck asan fuzz)
|windows|exit 2: test_legs.sh: unknown argument 'windows' (usage: test_legs.sh [--skip LEG]...)
EOF

# exit code | legs passed | leg running at the end | legs left out | the last line after "test_legs.sh: "
while IFS='|' read -r status passed running skip expected; do
  read -r -a legs_passed <<< "$passed"
  # shellcheck disable=SC2034  # read by legs_summary
  leg_running=$running
  check "summary of '$status|$passed|$running|$skip'" "test_legs.sh: $expected" "$(legs_summary "$status")"
done << 'EOF'
0|core windows memcheck asan fuzz|| |passed; passed: core windows memcheck asan fuzz; failed: none; skipped: none; not reached: none
0|core memcheck asan|| windows fuzz |passed; passed: core memcheck asan; failed: none; skipped: windows fuzz; not reached: none
8||core| |FAILED (exit 8); passed: none; failed: core; skipped: none; not reached: windows memcheck asan fuzz
8|core|memcheck| windows |FAILED (exit 8); passed: core; failed: memcheck; skipped: windows; not reached: asan fuzz
1||| fuzz |FAILED (exit 1) before the first leg; passed: none; failed: none; skipped: fuzz; not reached: core windows memcheck asan
EOF

if ((failures)); then
  echo "$failures failed"
  exit 1
fi
echo "legs: every case passed"
