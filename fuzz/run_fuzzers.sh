#!/usr/bin/env bash
# Runs every fuzz target for a bounded time and fails on any finding.
#
#   fuzz/run_fuzzers.sh [SECONDS]     # per target; default $FUZZ_SECONDS or 60
#
# Needs the preset "fuzz" built (cmake --preset fuzz && cmake --build --preset
# fuzz). Each target starts from its checked-in seeds (fuzz/corpus/<target>)
# and the regression inputs (fuzz/regressions/<target>), and grows a working
# corpus in build/fuzz/fuzz-work/<target>/corpus that later runs go on from.
# An input that crashes, leaks, times out or breaks a check is copied to
# fuzz/regressions/<target>/, where ctest --preset fuzz replays it from then
# on; commit it with the fix.
set -uo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET="${1:-${FUZZ_SECONDS:-60}}"
if ! [[ "$SECONDS_PER_TARGET" =~ ^[1-9][0-9]*$ ]]; then
  echo "run_fuzzers.sh: seconds per target must be a positive whole number, not '$SECONDS_PER_TARGET'" >&2
  exit 2
fi
BUILD="${FUZZ_BUILD_DIR:-build/fuzz}"
TARGETS=(intel_hex_line str_split validate_fw base64 version_reply)
declare -A DICTIONARY=([intel_hex_line]=fuzz/intel_hex.dict [validate_fw]=fuzz/intel_hex.dict)

passed_count=0
failed_count=0
summary=()
for target in "${TARGETS[@]}"; do
  binary="$BUILD/fuzz/fuzz_$target"
  if [[ ! -x "$binary" ]]; then
    echo "run_fuzzers.sh: $binary is missing; build the preset 'fuzz' first" >&2
    exit 2
  fi
  work="$BUILD/fuzz-work/$target"
  mkdir -p "$work/corpus" "$work/artifacts"
  rm -f "$work/artifacts"/*
  inputs=("$work/corpus" "fuzz/corpus/$target")
  [[ -d "fuzz/regressions/$target" ]] && inputs+=("fuzz/regressions/$target")
  options=(-max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048
           -print_final_stats=1 -artifact_prefix="$work/artifacts/")
  [[ -n "${DICTIONARY[$target]:-}" ]] && options+=(-dict="${DICTIONARY[$target]}")

  echo "== fuzz_$target for ${SECONDS_PER_TARGET} s"
  "$binary" "${options[@]}" "${inputs[@]}" > "$work/log" 2>&1
  status=$?

  # The last status line holds the coverage reached; the final statistics
  # hold the execution rate over the whole run.
  last=$(grep -E '^#[0-9]+[[:space:]]+(DONE|NEW|REDUCE|pulse|INITED)' "$work/log" | tail -1)
  cov=$(sed -nE 's/.* cov: ([0-9]+).*/\1/p' <<<"$last")
  ft=$(sed -nE 's/.* ft: ([0-9]+).*/\1/p' <<<"$last")
  corp=$(sed -nE 's/.* corp: ([0-9]+)\/.*/\1/p' <<<"$last")
  runs=$(sed -nE 's/^stat::number_of_executed_units: ([0-9]+)/\1/p' "$work/log")
  rate=$(sed -nE 's/^stat::average_exec_per_sec: +([0-9]+)/\1/p' "$work/log")

  findings=("$work"/artifacts/*)
  verdict=ok
  if [[ $status -ne 0 || -e "${findings[0]}" ]]; then
    verdict=FINDING
    mkdir -p "fuzz/regressions/$target"
    for f in "${findings[@]}"; do
      [[ -e "$f" ]] && cp "$f" "fuzz/regressions/$target/"
    done
    echo "!! fuzz_$target: finding (exit $status); inputs copied to fuzz/regressions/$target/"
    grep -E 'ERROR|SUMMARY|check failed|runtime error' "$work/log" | head -20
    failed_count=$((failed_count + 1))
  else
    passed_count=$((passed_count + 1))
  fi
  summary+=("$(printf '%-16s %-8s runs %-10s exec/s %-8s cov %-5s ft %-6s corpus %s' "$target" \
    "$verdict" "${runs:-?}" "${rate:-?}" "${cov:-?}" "${ft:-?}" "${corp:-?}")")
done

echo "== fuzzing summary (${SECONDS_PER_TARGET} s per target)"
printf '%s\n' "${summary[@]}"
echo "fuzz: $passed_count passed, $failed_count failed"
if [[ $failed_count -ne 0 ]]; then
  echo "fuzzing found faults: see fuzz/regressions/ and the logs in $BUILD/fuzz-work/"
  exit 1
fi
