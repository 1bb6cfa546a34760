#!/usr/bin/env bash
# bench/threads.sh: whether the tool's threads pay, format pair by format pair.
#
# For each pair (input format -> output format) it times, in turn within each
# round and round after round:
#   a  the tool as it runs, on every processor of its affinity mask
#   b  the same tool under `taskset -c 0`, where it takes one thread
#   c  the floor: `cat IN > /dev/null` then `cat SIZED > OUT`, timed as one
#      command, SIZED being the pair's output made before the rounds
#   d  another build of the tool (--baseline), when given
# and prints one Markdown table with a row per pair: the median wall times,
# the speed-up of the threads (b / a), the time over the floor and over the
# baseline, and the CPU time (user + system) of a against b. After the first
# round it checks that a, b and d wrote the same bytes.
#
# It exits 1 when a run failed or two outputs differ, 2 on a wrong option;
# the times themselves are for a person to judge, not asserted.
#
# Usage: bench/threads.sh --tool PATH [--baseline PATH] [--cols N] [--rows N]
#                         [--rounds N] [--tmp DIR] [--pairs LIST] [--gridgen PATH]
#                         [--keep] [--help]
set -euo pipefail
export LC_ALL=C

tool=""
baseline=""
gridgen=""
cols=4000
rows=4000
rounds=7
tmp_parent=.
pairs_option=all
keep=0
factor=1.5
default_pairs="t-t,t-d,d-t,d-d,d-s,s-d,t-t.gz"

usage() {
  cat <<EOF
Usage: bench/threads.sh --tool PATH [options]

Times each format pair with the tool's threads (a), on one processor (b),
against the floor of reading the input and writing the output with cat (c),
and against another build of the tool (d, with --baseline), in alternation.

  --tool PATH       the cellscale executable under test (required)
  --baseline PATH   another cellscale executable, timed the same way in the same rounds
  --cols N, --rows N  grid size (default 4000 x 4000)
  --rounds N        runs of each variant; the table shows medians (default 7)
  --tmp DIR         where the work folder is made (default the current folder,
                    so that the outputs go to the disk of real use)
  --pairs LIST      comma-separated pairs IN-OUT, IN one of t d s, OUT one of
                    t d s, with .gz for a gzip output; "all" is
                    $default_pairs (the default)
  --gridgen PATH    cellscale_gridgen (default: bench/cellscale_gridgen beside
                    the tool, else built in <repo>/build-bench)
  --keep            keep the work folder (grids, outputs, raw times in results.txt)
  --help            this text
EOF
}

die() {
  printf 'bench/threads.sh: %s\n' "$*" >&2
  exit 2
}

need_count() {
  [[ "$2" =~ ^[1-9][0-9]*$ ]] || die "$1 needs a positive whole number, not '$2'"
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --tool) [[ -n "${2-}" ]] || die "--tool needs a path"; tool=$2; shift 2 ;;
    --baseline) [[ -n "${2-}" ]] || die "--baseline needs a path"; baseline=$2; shift 2 ;;
    --cols) need_count "$1" "${2-}"; cols=$2; shift 2 ;;
    --rows) need_count "$1" "${2-}"; rows=$2; shift 2 ;;
    --rounds) need_count "$1" "${2-}"; rounds=$2; shift 2 ;;
    --tmp) [[ -n "${2-}" ]] || die "--tmp needs a folder"; tmp_parent=$2; shift 2 ;;
    --pairs) [[ -n "${2-}" ]] || die "--pairs needs a list"; pairs_option=$2; shift 2 ;;
    --gridgen) [[ -n "${2-}" ]] || die "--gridgen needs a path"; gridgen=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --help | -h) usage; exit 0 ;;
    *) usage >&2; die "unknown option '$1'" ;;
  esac
done
[[ -n $tool ]] || { usage >&2; die "--tool is required"; }
[[ -x $tool ]] || die "no executable at $tool"
tool=$(realpath "$tool")
if [[ -n $baseline ]]; then
  [[ -x $baseline ]] || die "no executable at $baseline"
  baseline=$(realpath "$baseline")
fi
command -v taskset >/dev/null || die "needs taskset (Debian: util-linux)"

# The pairs: in_fmts[k] and out_fmts[k] are t, d or s; gz[k] is 1 for a
# gzip output.
[[ $pairs_option == all ]] && pairs_option=$default_pairs
pair_names=() in_fmts=() out_fmts=() gz=()
IFS=, read -r -a pair_list <<<"$pairs_option"
for pair in "${pair_list[@]}"; do
  [[ $pair =~ ^([tds])(->|-|:)?([tds])(\.gz)?$ ]] ||
    die "unknown pair '$pair' (write IN-OUT such as t-d or t-t.gz)"
  pair_names+=("${BASH_REMATCH[1]}->${BASH_REMATCH[3]}${BASH_REMATCH[4]}")
  in_fmts+=("${BASH_REMATCH[1]}")
  out_fmts+=("${BASH_REMATCH[3]}")
  gz+=("$([[ -n ${BASH_REMATCH[4]} ]] && echo 1 || echo 0)")
done
pair_count=${#pair_names[@]}
((pair_count > 0)) || die "--pairs lists no pair"

progress() { printf '%s\n' "$*" >&2; }

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=bench/gridgen.sh
source "$repo/bench/gridgen.sh"
[[ -n $gridgen ]] || gridgen=$(find_gridgen "$tool")
[[ -x $gridgen ]] || die "no cellscale_gridgen at $gridgen"

# ---------------------------------------------------------------- work folder
mkdir -p "$tmp_parent"
work=$(mktemp -d "$tmp_parent/cellscale-threads.XXXXXX")
work=$(realpath "$work")
cleanup() {
  if [[ $keep == 1 ]]; then
    progress "== kept $work"
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

cells=$((cols * rows))
# Inputs take about 21 bytes a cell (text ~9, double 8, single 4), each
# pair's output of known size up to ~9, and the outputs of one pair's
# variants, which are deleted before the next pair runs, up to 4 x 9.
need=$((cells * (21 + 9 * pair_count + 36) + (1 << 20)))
avail=$(($(df -Pk "$work" | awk 'NR == 2 { print $4 }') * 1024))
((need < avail)) || die "$work has $((avail >> 20)) MiB free, the run needs about $((need >> 20)) MiB"

declare -A in_path=([t]=$work/in.asc [d]=$work/in.dbl [s]=$work/in.flt)
printf '%s\n' "$factor" >"$work/factor"

progress "== generating $cols x $rows grids in $work"
for format in t d s; do
  needed=0
  for ((k = 0; k < pair_count; k++)); do [[ ${in_fmts[k]} == "$format" ]] && needed=1; done
  ((needed)) || continue
  "$gridgen" --cols "$cols" --rows "$rows" --format "$format" "${in_path[$format]}"
done

# Output file of variant $2 of pair $1; sized file (the floor's output) of
# pair $1.
out_path() {
  local name="$work/out.$2.${out_fmts[$1]}"
  [[ ${gz[$1]} == 1 ]] && name+=.gz
  echo "$name"
}
sized_path() {
  local name="$work/sized.$1.${out_fmts[$1]}"
  [[ ${gz[$1]} == 1 ]] && name+=.gz
  echo "$name"
}

# The output of each pair, once, untimed: the floor writes a file of its
# size, and a tool that fails here fails before the rounds.
for ((k = 0; k < pair_count; k++)); do
  progress "== making the output of ${pair_names[k]} for the floor"
  if ! "$tool" "${in_path[${in_fmts[k]}]}" "$(sized_path "$k")" "-f:${out_fmts[k]}" \
    <"$work/factor" >/dev/null 2>"$work/stderr"; then
    cat "$work/stderr" >&2
    progress "FAILED: the tool could not make the output of ${pair_names[k]}"
    exit 1
  fi
done

# ---------------------------------------------------------------- rounds
variants=(a b c)
[[ -n $baseline ]] && variants+=(d)
declare -A variant_name=([a]="threads" [b]="one processor" [c]="floor" [d]="baseline")

results="$work/results.txt"
: >"$results"
failures=()

# Runs variant $2 of pair $1 once and appends "PAIR VARIANT ROUND WALL USER
# SYS STATUS" to the results; WALL in microseconds from the shell's clock,
# USER and SYS from the shell's `time` (milliseconds).
run_variant() {
  local k=$1 v=$2 round=$3
  local in=${in_path[${in_fmts[k]}]} out sized t0 t1 rc=0 user sys status=ok
  out=$(out_path "$k" "$v")
  sized=$(sized_path "$k")
  # The last output goes, and written data reaches the disk, before the
  # clock starts, so that no run pays for another one's write-back; the
  # input is read once so that all of it is in the page cache.
  rm -f "$out"
  cat "$in" >/dev/null
  [[ $v == c ]] && cat "$sized" >/dev/null
  sync
  TIMEFORMAT='%3U %3S'
  case $v in
    a) { t0=$EPOCHREALTIME; time "$tool" "$in" "$out" "-f:${out_fmts[k]}" <"$work/factor" >/dev/null 2>"$work/stderr" || rc=$?; t1=$EPOCHREALTIME; } 2>"$work/time" ;;
    b) { t0=$EPOCHREALTIME; time taskset -c 0 "$tool" "$in" "$out" "-f:${out_fmts[k]}" <"$work/factor" >/dev/null 2>"$work/stderr" || rc=$?; t1=$EPOCHREALTIME; } 2>"$work/time" ;;
    c) { t0=$EPOCHREALTIME; time { cat "$in" >/dev/null && cat "$sized" >"$out"; } 2>"$work/stderr" || rc=$?; t1=$EPOCHREALTIME; } 2>"$work/time" ;;
    d) { t0=$EPOCHREALTIME; time "$baseline" "$in" "$out" "-f:${out_fmts[k]}" <"$work/factor" >/dev/null 2>"$work/stderr" || rc=$?; t1=$EPOCHREALTIME; } 2>"$work/time" ;;
  esac
  read -r user sys <"$work/time"
  if ((rc != 0)); then
    status="exit-$rc"
    failures+=("${pair_names[k]} ${variant_name[$v]}, round $round: exit status $rc")
    progress "FAILED: ${pair_names[k]} ${variant_name[$v]} (round $round) ended with status $rc:"
    sed 's/^/    /' "$work/stderr" >&2
  fi
  awk -v k="$k" -v v="$v" -v r="$round" -v t0="$t0" -v t1="$t1" -v u="$user" -v s="$sys" -v st="$status" \
    'BEGIN { printf "%d %s %d %.6f %.3f %.3f %s\n", k, v, r, t1 - t0, u, s, st }' >>"$results"
  progress "$(awk -v r="$round" -v n="$rounds" -v p="${pair_names[k]}" -v name="${variant_name[$v]}" \
    -v t0="$t0" -v t1="$t1" -v u="$user" -v s="$sys" -v st="$status" \
    'BEGIN { printf "round %d/%d  %-8s %-14s %9.4f s  cpu %7.3f s  %s", r, n, p, name, t1 - t0, u + s, st }')"
}

# Compares the outputs of pair $1 that a and b (and d) wrote; notes a
# difference loudly. Prints the pair's verdict.
declare -a verdicts
compare_outputs() {
  local k=$1 v first other diff verdict=same
  first=$(out_path "$k" a)
  for v in b d; do
    [[ $v == d && -z $baseline ]] && continue
    other=$(out_path "$k" "$v")
    if [[ ! -f $first || ! -f $other ]]; then
      verdict="not compared (a run failed)"
    elif ! diff=$(cmp "$first" "$other" 2>&1); then
      verdict="DIFFERS"
      failures+=("${pair_names[k]}: threads and ${variant_name[$v]} wrote different outputs: $diff")
      progress "MISMATCH: ${pair_names[k]}: threads and ${variant_name[$v]} wrote different outputs:"
      progress "    $diff"
    fi
  done
  verdicts[k]=$verdict
}

for ((round = 1; round <= rounds; round++)); do
  for ((k = 0; k < pair_count; k++)); do
    for v in "${variants[@]}"; do run_variant "$k" "$v" "$round"; done
    ((round == 1)) && compare_outputs "$k"
    # Only one pair's outputs are on the disk at a time.
    for v in "${variants[@]}"; do rm -f "$(out_path "$k" "$v")"; done
  done
done

# ---------------------------------------------------------------- table
# Median of pair $1 variant $2: the wall time, or with $3 = cpu user +
# system; empty when a run of it failed.
median_of() {
  awk -v k="$1" -v v="$2" -v what="${3-wall}" '
    $1 == k && $2 == v { if ($7 != "ok") bad = 1; else print (what == "cpu") ? $5 + $6 : $4 }
    END { if (bad) print "FAILED" }' "$results" |
    sort -g | awk '
      $1 == "FAILED" { failed = 1; next }
      { x[n++] = $1 }
      END {
        if (failed || n == 0) { print ""; exit }
        print (n % 2) ? x[(n - 1) / 2] : (x[n / 2 - 1] + x[n / 2]) / 2
      }'
}

cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
echo "## cellscale threads per pair"
echo
echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- machine: ${cpu:-unknown CPU}, Linux $(uname -r); processors the tool may use: $(nproc)"
if (($(nproc) < 2)); then
  echo "- **the tool may use one processor only: a and b are the same job here**"
fi
echo "- load average at the start: $(cut -d ' ' -f 1-3 /proc/loadavg 2>/dev/null || echo unknown)"
echo "- tool: $tool"
[[ -n $baseline ]] && echo "- baseline: $baseline"
echo "- grid: $cols x $rows = $cells cells, about 5% nodata; factor $factor; $rounds rounds; work folder on $(df -P "$work" | awk 'NR == 2 { print $1 }')"
echo
echo "| pair | a threads s | b one processor s | c floor s | d baseline s | speed-up b/a | a/floor | a/baseline | cpu a s | cpu b s | cpu a/b | outputs |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---|"
for ((k = 0; k < pair_count; k++)); do
  d=""
  [[ -n $baseline ]] && d=$(median_of "$k" d)
  awk -v name="${pair_names[k]}" -v a="$(median_of "$k" a)" -v b="$(median_of "$k" b)" -v c="$(median_of "$k" c)" \
    -v d="$d" -v has_d="${baseline:+1}" -v ca="$(median_of "$k" a cpu)" -v cb="$(median_of "$k" b cpu)" \
    -v verdict="${verdicts[k]}" '
    function time_of(x, given) { return !given ? "-" : (x == "" ? "FAILED" : sprintf("%.4f", x)) }
    function ratio(x, y) { return (x == "" || y == "" || y <= 0) ? "-" : sprintf("%.2f", x / y) }
    BEGIN {
      speed = ratio(b, a)
      if (speed != "-" && b / a < 0.98) speed = speed " (below 0.98)"
      cpu_a = (ca == "") ? "-" : sprintf("%.3f", ca)
      cpu_b = (cb == "") ? "-" : sprintf("%.3f", cb)
      printf "| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", name,
             time_of(a, 1), time_of(b, 1), time_of(c, 1), time_of(d, has_d), speed, ratio(a, c),
             has_d ? ratio(a, d) : "-", cpu_a, cpu_b, ratio(ca, cb), verdict
    }'
done
echo
echo "Wall times are medians of $rounds runs in seconds; cpu is the median user + system time of a run."
echo "a: the tool on every processor it may use; b: the same under taskset -c 0 (one thread);"
echo "c: cat of the input to /dev/null plus cat of a file of the output's size to the output;"
echo "d: the baseline tool. speed-up b/a above 1 is what the threads gain (0.98 is the least"
echo "acceptable); a/floor and a/baseline below 1 are faster than the floor or the baseline;"
echo "cpu a/b is what the threads cost in CPU time against one thread."
echo "\"outputs\" is the byte comparison of a with b (and d) after the first round."

if ((${#failures[@]} > 0)); then
  echo
  echo "**Failed:**"
  for failure in "${failures[@]}"; do echo "- $failure"; done
  progress "== FAILED: ${#failures[@]} failed run(s) or differing output(s):"
  for failure in "${failures[@]}"; do progress "   $failure"; done
  exit 1
fi
