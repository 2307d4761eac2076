# Sourced by tools/dev/run_tests.sh and tools/dev/setup.sh: the test legs,
# the reading of the legs to leave out, and the last line of a run.

# The legs in the order they run. core builds what every other leg uses, so
# it is never left out.
LEGS=(core windows memcheck asan fuzz)

# Reads the arguments (--skip LEG, any number of times) and the SKIP_LEGS
# variable (leg names separated by blanks) into $skip: the legs to leave out,
# with a blank on either side of each. Anything but the name of a leg that
# can be left out ends the script with exit code 2 and the list.
read_skipped_legs() {
  local requested=() name
  # read -a splits on blanks without expanding a pattern such as "*".
  read -r -a requested <<< "${SKIP_LEGS:-}"
  while (($#)); do
    case "$1" in
      --skip)
        if (($# < 2)); then
          echo "${0##*/}: --skip needs a leg name (legs that can be left out: ${LEGS[*]:1})" >&2
          exit 2
        fi
        requested+=("$2")
        shift 2
        ;;
      *)
        echo "${0##*/}: unknown argument '$1' (usage: ${0##*/} [--skip LEG]...)" >&2
        exit 2
        ;;
    esac
  done
  skip=" "
  for name in "${requested[@]}"; do
    if [[ "$name" == "${LEGS[0]}" ]]; then
      echo "${0##*/}: the $name leg cannot be left out: every other leg needs its build" \
        "(legs that can be left out: ${LEGS[*]:1})" >&2
      exit 2
    fi
    if [[ " ${LEGS[*]:1} " != *" $name "* ]]; then
      echo "${0##*/}: no test leg named '$name' (legs that can be left out: ${LEGS[*]:1})" >&2
      exit 2
    fi
    skip+="$name "
  done
}

# The last line of a run that ended with exit code $1: which legs passed
# (those in $legs_passed), which one failed (the leg in $leg_running when the
# run failed), which were left out on request ($skip) and which were never
# reached.
legs_summary() {
  local status=$1 leg passed=() failed=() skipped=() unreached=()
  for leg in "${LEGS[@]}"; do
    if [[ " ${legs_passed[*]} " == *" $leg "* ]]; then
      passed+=("$leg")
    elif [[ "$skip" == *" $leg "* ]]; then
      skipped+=("$leg")
    elif ((status != 0)) && [[ "$leg" == "${leg_running:-}" ]]; then
      failed+=("$leg")
    else
      unreached+=("$leg")
    fi
  done
  local verdict=passed
  if ((status != 0)); then
    verdict="FAILED (exit $status)"
    [ -n "${leg_running:-}" ] || verdict+=" before the first leg"
  fi
  echo "${0##*/}: $verdict; passed: ${passed[*]:-none}; failed: ${failed[*]:-none};" \
    "skipped: ${skipped[*]:-none}; not reached: ${unreached[*]:-none}"
}
