# Sourced by tools/dev/run_tests.sh and tools/dev/setup.sh: reads their arguments
# (--skip LEG, any number of times) and the SKIP_LEGS variable into $skip, a
# list of leg names with a blank on either side of each.
read_skipped_legs() {
  skip=" ${SKIP_LEGS:-} "
  while (($#)); do
    case "$1" in
      --skip) skip+=" ${2:?--skip needs a leg name} "; shift 2 ;;
      *) echo "${0##*/}: unknown argument '$1' (usage: ${0##*/} [--skip LEG]...)" >&2; exit 2 ;;
    esac
  done
}
