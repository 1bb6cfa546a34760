#!/usr/bin/env bash
# bench/gzip.sh: the speed of gzip grids against the shell's own way.
#
#   write:  cellscale in.asc out.asc.gz       against  cellscale in.asc out.fifo, gzip -1 < out.fifo > out.asc.gz
#   read:   cellscale in.asc.gz out.asc       against  cellscale <(zcat in.asc.gz) out.asc
#
# on one text grid (default 3000 x 3000), each pair run in turn, pair after
# pair, for --rounds rounds, so that a slow moment of the machine falls on
# both of a pair. Prints the minimum and median wall time of each job and
# the ratios of the medians, as a Markdown table. Needs bash, gzip, zcat and
# awk; builds the tool and cellscale_gridgen in build-bench/ unless --tool
# and --gridgen are given.
#
# Usage: bench/gzip.sh [--cols N] [--rows N] [--rounds N] [--tool PATH]
#                      [--gridgen PATH] [--tmp DIR]
set -euo pipefail
export LC_ALL=C

cols=3000
rows=3000
rounds=7
tool=""
gridgen=""
tmp_parent="${TMPDIR:-/tmp}"
die() { echo "bench/gzip.sh: $*" >&2; exit 2; }
while (($#)); do
  case "$1" in
    --cols) cols="$2"; shift 2 ;;
    --rows) rows="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --tool) tool="$2"; shift 2 ;;
    --gridgen) gridgen="$2"; shift 2 ;;
    --tmp) tmp_parent="$2"; shift 2 ;;
    -h | --help) sed -n '2,16p' "$0"; exit 0 ;;
    *) die "unknown option $1" ;;
  esac
done
for program in gzip zcat awk; do command -v "$program" > /dev/null || die "needs $program"; done

repo=$(cd "$(dirname "$0")/.." && pwd)
if [[ -z $tool || -z $gridgen ]]; then
  cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=OFF \
    -DCELLSCALE_BENCHMARKS=ON > /dev/null
  cmake --build "$repo/build-bench" -j2 --target cellscale cellscale_gridgen > /dev/null
  tool=${tool:-$repo/build-bench/cellscale}
  gridgen=${gridgen:-$repo/build-bench/bench/cellscale_gridgen}
fi
tool=$(realpath "$tool")

work=$(mktemp -d "$tmp_parent/cellscale-gzip.XXXXXX")
trap 'rm -rf "$work"' EXIT
"$gridgen" --cols "$cols" --rows "$rows" --format t "$work/in.asc"
gzip -1 -c "$work/in.asc" > "$work/in.asc.gz"

# The seconds one run of a job takes; its output is deleted and flushed
# first, so that no run pays for another's write-back.
seconds() {
  rm -f "$work"/out.*
  sync
  local start end
  start=$(date +%s.%N)
  (cd "$work" && eval "$1") > /dev/null 2>&1 < /dev/null || die "failed: $1"
  end=$(date +%s.%N)
  awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

names=("write .gz" "plain into gzip -1" "read .gz" "<(zcat in.asc.gz)")
jobs=(
  "echo 1.5 | '$tool' in.asc out.asc.gz"
  "mkfifo out.fifo && { gzip -1 < out.fifo > out.asc.gz & echo 1.5 | '$tool' in.asc out.fifo; wait; }"
  "echo 1.5 | '$tool' in.asc.gz out.asc"
  "echo 1.5 | '$tool' <(zcat in.asc.gz) out.asc"
)
results="$work/results.txt"
for ((round = 1; round <= rounds; ++round)); do
  for i in "${!jobs[@]}"; do
    t=$(seconds "${jobs[$i]}")
    echo "$i $t" >> "$results"
    printf 'round %d/%d  %-20s %7.3f s\n' "$round" "$rounds" "${names[$i]}" "$t" >&2
  done
done

# Minimum and median of job $1.
statistic() {
  awk -v j="$1" '$1 == j { print $2 }' "$results" | sort -n |
    awk '{ v[NR] = $1 } END { printf "%.3f %.3f\n", v[1], (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'
}

echo "## gzip grids, $cols x $rows text, $rounds rounds, $(nproc) processors"
echo
echo "- tool: $tool; input: $(stat -c %s "$work/in.asc") bytes of text, $(stat -c %s "$work/in.asc.gz") bytes as gzip -1"
echo
echo "| job | minimum s | median s |"
echo "|---|---|---|"
declare -a median
for i in "${!jobs[@]}"; do
  read -r low middle < <(statistic "$i")
  median[i]=$middle
  echo "| ${names[$i]} | $low | $middle |"
done
echo
awk -v a="${median[0]}" -v b="${median[1]}" -v c="${median[2]}" -v d="${median[3]}" 'BEGIN {
  printf "- writing .gz is %.2f times as fast as piping through gzip -1\n", b / a
  printf "- reading .gz takes %.2f times as long as reading through <(zcat ...)\n", c / d
}'
