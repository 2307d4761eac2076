#!/usr/bin/env bash
# A whole update without hardware: builds the tool and the unit simulator,
# puts a simulated TX unit (XC7A35 logic device, console at 57600 baud) on a
# pseudo-terminal reachable as COM3, and runs the real update tool against
# it. About three minutes, most of it the unit's fixed reboot wait.
#
# The tool runs from a temporary directory holding a copy of it and a
# "dosdevices" folder, its whole port map there, so no port of this machine
# is touched. Everything is removed again on every way out.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset default
# Only what the demo runs: the tool and the unit simulator.
cmake --build --preset default --target TessaronFwUpgrade unitsim

build=build/default
work=""
sim_pid=""
tool_pid=""
# shellcheck disable=SC2317  # called by the traps below
cleanup() {
  if [ -n "$tool_pid" ]; then
    kill "$tool_pid" 2>/dev/null || true
    wait "$tool_pid" 2>/dev/null || true
  fi
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  if [ -n "$work" ]; then
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

work=$(mktemp -d "${TMPDIR:-/tmp}/fwupgrade-demo.XXXXXX")
cp "$build/TessaronFwUpgrade" "$work/"
mkdir "$work/dosdevices"

"$build/testing/unitsim" --dir "$work" --com 3 --role tx --device-code 1 --baud 57600 \
  --record "$work/received" >"$work/unitsim.out" &
sim_pid=$!
for _ in $(seq 1 100); do
  if grep -q '^unitsim: com3 -> ' "$work/unitsim.out"; then
    break
  fi
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    echo "demo: the unit simulator did not start" >&2
    exit 1
  fi
  sleep 0.1
done
if ! grep -q '^unitsim: com3 -> ' "$work/unitsim.out"; then
  echo "demo: the unit simulator did not start" >&2
  exit 1
fi
cat "$work/unitsim.out"
echo "demo: running TessaronFwUpgrade (about 3 minutes)"
echo

# Standard input is empty so that the final "Press any key" returns at once.
# The tool runs in the background so that a signal reaches the traps at once
# rather than after the update.
status=0
"$work/TessaronFwUpgrade" </dev/null &
tool_pid=$!
wait "$tool_pid" || status=$?
tool_pid=""
echo
echo
echo "demo: TessaronFwUpgrade exited with $status"

# Stop the unit so that it writes down what it received.
kill "$sim_pid"
wait "$sim_pid" || true
sim_pid=""
for meta in "$work"/received/image*.meta; do
  [ -e "$meta" ] || continue
  echo "demo: the unit received $(basename "$meta" .meta): $(tr '\n' ' ' <"$meta")"
done
exit "$status"
