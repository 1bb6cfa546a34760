#!/usr/bin/env bash
# Runs examples/scale-tiles.sh (the README's GNU parallel recipe for many
# tiles on many machines) on this machine alone (--sshlogin :) with the built
# tool on PATH, over the example tiles with their .prj files, the binary
# example grids, a tile cut short and a file that is no grid, in a folder
# whose name holds a space: every good tile's output must be the bytes a
# single run of the tool gives, with its .prj beside it; every failure must be
# named with the tool's message, listed, and leave no output; the recipe must
# end with 1, and with 0 once only good tiles are left.
#   check-scale-tiles.sh SCRIPT TOOL_FOLDER EXAMPLES_FOLDER
set -euo pipefail
script=$(realpath "$1") tool_folder=$(realpath "$2") examples=$(realpath "$3")
if ! command -v parallel >/dev/null 2>&1; then
  echo "skipped: GNU parallel not found"
  exit 0
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export PATH="$tool_folder:$PATH"
cd "$work"
fail() {
  echo "check-scale-tiles: $*" >&2
  [ ! -e errors ] || cat errors >&2
  exit 1
}

mkdir "my tiles"
cp "$examples"/dem/north.asc "$examples"/dem/north.prj "$examples"/dem/south.asc "$examples"/dem/south.prj \
  "$examples"/elevation.dbl "$examples"/elevation.sgl "my tiles/"
head -c 1000 "$examples/dem/north.asc" >"my tiles/cut tile.asc"
echo "no grid" >"my tiles/notes.txt"

status=0
bash "$script" 2 "my tiles" "out put" : 2>errors || status=$?
[ "$status" -eq 1 ] || fail "the recipe ended with $status, not 1"
printf 'my tiles/cut tile.asc\nmy tiles/notes.txt\n' | cmp -s - "out put/failed.txt" ||
  fail "failed.txt lists: $(cat "out put/failed.txt")"
printf '%s\n' "my tiles/cut tile.asc	error reading from my tiles/cut tile.asc in row 6 (0 values read)" \
  "my tiles/notes.txt	cellscale: my tiles/notes.txt is text that does not begin with \"ncols\" in lower case, as a text grid does" \
  "my tiles/notes.txt	could not recognise file format (ascii, single or double) for my tiles/notes.txt" \
  "scale-tiles: 2 of 6 tiles failed, listed in out put/failed.txt" | cmp -s - <(sort errors) ||
  fail "the failures are reported otherwise"
for tile in "cut tile.asc" notes.txt; do
  [ ! -e "out put/$tile" ] || fail "the failed $tile left an output"
done

for tile in north.asc south.asc elevation.dbl elevation.sgl; do
  rm -f single single.prj
  printf '2\n' | cellscale "my tiles/$tile" single >/dev/null || fail "a single run on $tile failed"
  cmp -s single "out put/$tile" || fail "$tile differs from a single run"
done
for projection in north.prj south.prj; do
  cmp -s "my tiles/$projection" "out put/$projection" || fail "$projection did not travel with its tile"
done
[ "$(ls "out put" | sort | tr '\n' ' ')" = "elevation.dbl elevation.sgl failed.txt joblog.txt north.asc north.prj south.asc south.prj " ] ||
  fail "the output folder holds: $(ls "out put")"

rm "my tiles/cut tile.asc" "my tiles/notes.txt"
bash "$script" 2 "my tiles" "out put" : 2>errors || fail "the recipe failed on good tiles alone"
[ ! -s errors ] && [ ! -e "out put/failed.txt" ] || fail "good tiles alone reported a failure"
echo "check-scale-tiles: every good tile scaled as a single run scales it, both bad ones reported"
