#!/usr/bin/env bash
# bench/instructions.sh: instructions per cell of the tool for four format
# pairs (text -> text, text -> double, double -> text, double -> double),
# and double -> text again with the shortest digits that read back
# (`d->t shortest`), counted by valgrind's callgrind, so that the figures are
# the same on every run, however busy the machine.
#
# Each pair runs twice, held by taskset to one processor, where the tool
# takes one thread: on a grid of COLS x ROWS cells and on one row of the same
# width and values.
# The difference of the two counts over the difference of the cells is the
# cost of a cell with the start-up, the header and the row buffers taken out.
#
# The four pairs run in the legacy form, which reads the factor from standard
# input; the shortest digits are asked for in the script form
# (`--factor F --digits shortest --quiet`), the only form that takes them.
#
# With --check FILE the figures are held against those recorded in FILE (one
# line per pair: the pair's name, which may hold a space, and its instructions
# per cell as the last field; `#` starts a comment) and the script fails when
# any pair rises more than 10% above its recorded figure.
#
# Usage: bench/instructions.sh [--cols N] [--rows N] [--factor F] [--tool PATH]
#                              [--build-dir DIR] [--check FILE] [--help]
set -euo pipefail
export LC_ALL=C

cols=1000
rows=1000
factor=3.28084
tool=""
build_dir=""
check=""
allowed_rise_percent=10

usage() {
  cat <<'EOF'
Usage: bench/instructions.sh [options]

Counts the tool's instructions per cell for four format pairs, and double to
text with the shortest digits, with callgrind.

  --cols N, --rows N  grid size (default 1000 x 1000)
  --factor F          factor typed into the tool (default 3.28084)
  --tool PATH         cellscale executable to measure (default: build a Release tool)
  --build-dir DIR     where the Release tool is built (default <repo>/build/instructions)
  --check FILE        fail when a pair counts more than 10% above its figure in FILE
  --help              this text
EOF
}

die() {
  printf 'bench/instructions.sh: %s\n' "$*" >&2
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
    --cols) cols=${2:?}; shift 2 ;;
    --rows) rows=${2:?}; shift 2 ;;
    --factor) factor=${2:?}; shift 2 ;;
    --tool) tool=${2:?}; shift 2 ;;
    --build-dir) build_dir=${2:?}; shift 2 ;;
    --check) check=${2:?}; shift 2 ;;
    --help) usage; exit 0 ;;
    *) usage >&2; die "unknown option $1" ;;
  esac
done
[ "$rows" -ge 2 ] || die "--rows must be at least 2 (one row is the start-up run)"

repo=$(cd "$(dirname "$0")/.." && pwd)
command -v valgrind >/dev/null || die "valgrind is needed (Debian: apt-get install valgrind)"
command -v taskset >/dev/null || die "taskset is needed (Debian: util-linux)"

if [ -z "$tool" ]; then
  build_dir=${build_dir:-$repo/build/instructions}
  cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build_dir" -j2 --target cellscale >/dev/null
  tool=$build_dir/cellscale
fi
[ -x "$tool" ] || die "no executable tool at $tool"
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")

work=$(mktemp -d "${TMPDIR:-/tmp}/cellscale-instructions.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The grid generator is one file with no dependency: compiled here, so that
# any tool can be measured without the bench build.
"${CXX:-c++}" -std=c++20 -O2 -o "$work/gridgen" "$repo/bench/gridgen.cpp"
for format in t d; do
  "$work/gridgen" --cols "$cols" --rows "$rows" --format "$format" "$work/grid.$format"
  "$work/gridgen" --cols "$cols" --rows 1 --format "$format" "$work/row.$format"
done

# One processor the script may run on (the first of its affinity mask, which
# need not hold processor 0 in a container), for the tool to take one thread.
processor=$(awk '/^Cpus_allowed_list:/ { split($2, first, /[-,]/); print first[1] }' /proc/self/status)
processor=${processor:-0}

# Instructions of one run of the tool, from callgrind's summary line: in the
# legacy form with the factor on standard input, or, where a fourth argument
# is given, in the script form with those digits.
count() {
  local input=$1 output_format=$2 digits=${3:-} log=$work/callgrind.log
  local -a run
  if [ -n "$digits" ]; then
    run=("$tool" --factor "$factor" --format "$output_format" --digits "$digits" --quiet "$input" "out.$output_format")
  else
    run=("$tool" "$input" "out.$output_format" "-f:$output_format")
  fi
  printf '%s\n' "$factor" | (cd "$work" && taskset -c "$processor" valgrind --tool=callgrind --callgrind-out-file=/dev/null \
    "${run[@]}") >/dev/null 2>"$log" ||
    die "the tool failed on $input (see $log)"
  awk '/Collected :/ { print $NF; found = 1 } END { exit !found }' "$log" || die "no count in $log"
}

cells=$((cols * (rows - 1)))
failed=0
printf '# instructions per cell, %s x %s cells, factor %s, one thread\n' "$cols" "$rows" "$factor"
# Each pair as input-output, with its digits after a colon where it asks for
# some: the pair's name is "input->output digits".
for pair in t-t t-d d-t d-d d-t:shortest; do
  digits=${pair#*:}
  [ "$digits" != "$pair" ] || digits=""
  pair=${pair%%:*}
  input=${pair%-*} output=${pair#*-}
  grid=$(count "grid.$input" "$output" "$digits")
  row=$(count "row.$input" "$output" "$digits")
  name="$input->$output${digits:+ $digits}"
  per_cell=$(awk -v a="$grid" -v b="$row" -v c="$cells" 'BEGIN { printf "%.1f", (a - b) / c }')
  printf '%s %s\n' "$name" "$per_cell"
  if [ -n "$check" ]; then
    # The name is every field but the last, the figure the last.
    recorded=$(awk -v n="$name" '!/^#/ && NF >= 2 { figure = $NF; $NF = ""; sub(/ +$/, ""); if ($0 == n) print figure }' "$check")
    [ -n "$recorded" ] || die "no figure for $name in $check"
    if awk -v m="$per_cell" -v r="$recorded" -v p="$allowed_rise_percent" 'BEGIN { exit !(m > r * (1 + p / 100)) }'; then
      printf 'bench/instructions.sh: %s takes %s instructions a cell, more than %s%% above the recorded %s\n' \
        "$name" "$per_cell" "$allowed_rise_percent" "$recorded" >&2
      failed=1
    fi
  fi
done
exit "$failed"
