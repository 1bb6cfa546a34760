#!/usr/bin/env bash
# bench/many_grids.sh: a folder of tiles scaled in one run against one run a
# tile, two at a time, the way a script did it before --output-dir.
#
# It makes GRIDS text grids of COLS x ROWS cells and times, in turn within
# each round and round after round, with the outputs written to files:
#   a  cellscale --factor F --quiet --output-dir OUT GRID...
#   b  xargs -P 2 over the grids, one `cellscale --factor F --quiet GRID OUT`
#      each
#   c  the floor: cat of every grid into its output
# and prints the median wall times and b / a. After the first round it
# checks that a and b wrote the same bytes. It exits 1 when a run failed or
# two outputs differ; the times are for a person to judge.
#
# Usage: bench/many_grids.sh --tool PATH [--grids N] [--cols N] [--rows N]
#                            [--rounds N] [--tmp DIR] [--gridgen PATH]
set -euo pipefail
export LC_ALL=C

tool=""
gridgen=""
grids=200
cols=300
rows=300
rounds=7
tmp_parent=.

die() {
  printf 'bench/many_grids.sh: %s\n' "$*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case $1 in
    --tool) tool=${2:?}; shift 2 ;;
    --grids) grids=${2:?}; shift 2 ;;
    --cols) cols=${2:?}; shift 2 ;;
    --rows) rows=${2:?}; shift 2 ;;
    --rounds) rounds=${2:?}; shift 2 ;;
    --tmp) tmp_parent=${2:?}; shift 2 ;;
    --gridgen) gridgen=${2:?}; shift 2 ;;
    --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) die "unknown option $1 (--help lists them)" ;;
  esac
done
[[ -x $tool ]] || die "--tool must name the cellscale executable"
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/gridgen.sh
source "$repo/bench/gridgen.sh"
[[ -n $gridgen ]] || gridgen=$(find_gridgen "$tool")

# An absolute path: the runs work inside it, and the trap removes it from there.
work=$(cd "$(mktemp -d "$tmp_parent/many-grids.XXXXXX")" && pwd)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tiles
"$gridgen" --cols "$cols" --rows "$rows" --format t tiles/tile0.asc
for ((i = 1; i < grids; i++)); do cp tiles/tile0.asc "tiles/tile$i.asc"; done
printf '== %d grids of %d x %d cells in %s\n' "$grids" "$cols" "$rows" "$work" >&2

# Runs variant $1 once into out.$1 and prints its wall time in seconds.
run_variant() {
  rm -rf "out.$1"
  mkdir "out.$1"
  cat tiles/* >/dev/null
  sync
  local t0 t1
  t0=$EPOCHREALTIME
  case $1 in
    a) "$tool" --factor 1.5 --quiet --output-dir out.a tiles/* 2>/dev/null ;;
    b) (cd tiles && printf '%s\n' * | xargs -P 2 -I{} "$tool" --factor 1.5 --quiet {} ../out.b/{}) ;;
    c) for tile in tiles/*; do cat "$tile" >"out.c/${tile#tiles/}"; done ;;
  esac || { printf 'bench/many_grids.sh: variant %s failed\n' "$1" >&2; exit 1; }
  t1=$EPOCHREALTIME
  awk -v t0="$t0" -v t1="$t1" 'BEGIN { printf "%.4f\n", t1 - t0 }'
}

declare -A times=([a]="" [b]="" [c]="")
for ((round = 1; round <= rounds; round++)); do
  for v in a b c; do
    t=$(run_variant "$v")
    times[$v]+="$t "
    printf 'round %d/%d  %s  %s s\n' "$round" "$rounds" "$v" "$t" >&2
  done
  if ((round == 1)) && ! diff -r out.a out.b >/dev/null; then
    echo "bench/many_grids.sh: --output-dir and single runs wrote different outputs" >&2
    exit 1
  fi
done

median() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
a=$(median "${times[a]}")
b=$(median "${times[b]}")
c=$(median "${times[c]}")
printf '\n| %d grids of %d x %d | --output-dir s | xargs -P 2 s | floor s | xargs / --output-dir |\n' \
  "$grids" "$cols" "$rows"
printf '|---|---:|---:|---:|---:|\n'
awk -v a="$a" -v b="$b" -v c="$c" 'BEGIN { printf "| text -> text | %.3f | %.3f | %.3f | %.2f |\n", a, b, c, b / a }'
