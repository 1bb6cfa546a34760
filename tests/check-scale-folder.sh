#!/usr/bin/env bash
# Runs examples/scale-folder.sh (the README's way to scale a folder of grids
# on all cores) with the built tool on PATH: every good grid's output must be
# the one a single run gives, and every grid that fails must be named with
# its status, its partial output removed, and the script must end with 1.
#   check-scale-folder.sh SCRIPT TOOL_FOLDER EXAMPLES_FOLDER
set -euo pipefail
script=$1 tool_folder=$2 examples=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$tool_folder:$PATH"

mkdir "$work/in"
cp "$examples"/elevation.asc "$examples"/elevation.dbl "$examples"/elevation.sgl "$work/in/"
head -c 1500 "$examples/elevation.asc" > "$work/in/cut.asc"
echo "no grid" > "$work/in/notes.txt"

status=0
bash "$script" 2 "$work/in" "$work/out" -f:d 2> "$work/errors" || status=$?
fail() { echo "check-scale-folder: $*" >&2; cat "$work/errors" >&2; exit 1; }
[ "$status" -eq 1 ] || fail "the script ended with $status, not 1"
grep -qx "cellscale failed on $work/in/cut.asc with status 5: .*error reading from $work/in/cut.asc in row 8 (15 values read)" \
  "$work/errors" || fail "the cut grid is not reported"
grep -qx "cellscale failed on $work/in/notes.txt with status 98: could not recognise file format .*" "$work/errors" ||
  fail "the file that is no grid is not reported"
[ "$(wc -l < "$work/errors")" -eq 2 ] || fail "more failures than the two expected"
[ ! -e "$work/out/cut.asc" ] && [ ! -e "$work/out/notes.txt" ] || fail "a failed run left an output"
for grid in elevation.asc elevation.dbl elevation.sgl; do
  printf '\n2\n' | cellscale "$work/in/$grid" "$work/single.out" -f:d > /dev/null
  cmp -s "$work/single.out" "$work/out/$grid" || fail "$grid differs from a single run"
done
echo "check-scale-folder: every good grid scaled, both bad ones reported"
