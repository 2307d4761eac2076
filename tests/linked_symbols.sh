#!/bin/sh
# linked_symbols.sh NM PROGRAM PRESENT FORBIDDEN
#
# What a program linked from the static libraries: fails when no symbol of
# PROGRAM matches PRESENT (the check would see nothing), or when any symbol
# it defines or refers to matches FORBIDDEN. Both are extended regular
# expressions matched at the start of a demangled symbol name.
set -u
nm_tool=$1
program=$2
present=$3
forbidden=$4

if ! symbols=$("$nm_tool" -C -P "$program"); then
  echo "cannot read the symbols of $program" >&2
  exit 2
fi
if ! printf '%s\n' "$symbols" | grep -Eq "^($present)"; then
  echo "$program has no symbol matching ^($present): nothing to check" >&2
  exit 1
fi
found=$(printf '%s\n' "$symbols" | grep -E "^($forbidden)")
if [ -n "$found" ]; then
  echo "$program links what it must not:"
  printf '%s\n' "$found"
  exit 1
fi
echo "$program: nothing matches ^($forbidden)"
