#!/usr/bin/env bash
# bench/run.sh: measures cellscale's speed and memory beside three baselines,
# the plain per-value stdio program (cellscale_baseline), cat (which copies
# file to file inside the kernel) and dd (which copies through user space).
#
# With one command on a clean clone it builds a Release tree with the bench
# programs, generates test grids in a temporary folder, runs every job
# several times in alternation, checks each job's output once, and prints a
# Markdown table (median time, cells/s, MB/s, ratios, peak memory) plus a
# memory check that compares the peak memory for a short and a tall grid.
# The report goes to standard output, progress to standard error.
#
# Usage: bench/run.sh [--cols N] [--rows N] [--rounds N] [--factor F]
#                     [--build-dir DIR] [--tool PATH] [--tmp DIR] [--keep]
#                     [--mem-cols N] [--mem-rows SMALL,LARGE] [--timeout S]
#                     [--start-value K] [--micro] [--help]
set -euo pipefail
export LC_ALL=C

cols=5000
rows=5000
rounds=5
factor=1.5
build_dir=""
tool=""
tmp_parent="${TMPDIR:-/tmp}"
keep=0
mem_cols=""
mem_rows_small=200
mem_rows_large=20000
timeout=600
start_value=1
micro=0

usage() {
  cat <<'EOF'
Usage: bench/run.sh [options]

Builds cellscale and the bench programs (Release, -DCELLSCALE_BENCHMARKS=ON),
generates test grids, times the jobs in alternation and prints a table.

  --cols N, --rows N     grid size for the timed jobs (default 5000 x 5000)
  --rounds N             times each job is run; the table shows medians (default 5)
  --factor F             factor typed into the tool and the baseline (default 1.5)
  --build-dir DIR        build folder (default <repo>/build-bench)
  --tool PATH            cellscale executable to measure (default the one built)
  --tmp DIR              where the temporary folder is made (default $TMPDIR or /tmp)
  --keep                 keep the temporary folder (grids, outputs, raw results)
  --mem-cols N           width of the memory-check grids (default: --cols)
  --mem-rows A,B         heights of the memory-check grids (default 200,20000)
  --timeout S            longest time one run may take before it is killed (default 600)
  --start-value K        random generator start value of the grids (default 1)
  --micro                also run the Google Benchmark micro-benchmarks
  --help                 this text
EOF
}

die() {
  printf 'bench/run.sh: %s\n' "$*" >&2
  exit 2
}

need_count() {
  [[ "$2" =~ ^[1-9][0-9]*$ ]] || die "$1 needs a positive whole number, not '$2'"
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --cols) need_count "$1" "${2-}"; cols=$2; shift 2 ;;
    --rows) need_count "$1" "${2-}"; rows=$2; shift 2 ;;
    --rounds) need_count "$1" "${2-}"; rounds=$2; shift 2 ;;
    --factor) [[ -n "${2-}" ]] || die "--factor needs a value"; factor=$2; shift 2 ;;
    --build-dir) [[ -n "${2-}" ]] || die "--build-dir needs a folder"; build_dir=$2; shift 2 ;;
    --tool) [[ -n "${2-}" ]] || die "--tool needs a path"; tool=$2; shift 2 ;;
    --tmp) [[ -n "${2-}" ]] || die "--tmp needs a folder"; tmp_parent=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --mem-cols) need_count "$1" "${2-}"; mem_cols=$2; shift 2 ;;
    --mem-rows)
      [[ "${2-}" =~ ^([1-9][0-9]*),([1-9][0-9]*)$ ]] || die "--mem-rows needs two heights like 200,20000"
      mem_rows_small=${BASH_REMATCH[1]}
      mem_rows_large=${BASH_REMATCH[2]}
      shift 2 ;;
    --timeout) need_count "$1" "${2-}"; timeout=$2; shift 2 ;;
    --start-value) [[ "${2-}" =~ ^[0-9]+$ ]] || die "--start-value needs a whole number"; start_value=$2; shift 2 ;;
    --micro) micro=1; shift ;;
    --help|-h) usage; exit 0 ;;
    *) usage >&2; die "unknown option '$1'" ;;
  esac
done
awk -v f="$factor" 'BEGIN { exit !(f ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/) }' ||
  die "--factor needs a decimal number, not '$factor'"

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=${build_dir:-$repo/build-bench}
mem_cols=${mem_cols:-$cols}

progress() { printf '%s\n' "$*" >&2; }

# ---------------------------------------------------------------- build
progress "== configuring and building (Release, CELLSCALE_BENCHMARKS=ON) in $build_dir"
mkdir -p "$build_dir"
if ! cmake -S "$repo" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BENCHMARKS=ON \
    -DCELLSCALE_BUILD_TESTS=OFF >"$build_dir/bench-configure.log" 2>&1; then
  tail -n 30 "$build_dir/bench-configure.log" >&2
  die "configuring failed (log: $build_dir/bench-configure.log)"
fi
if ! cmake --build "$build_dir" --parallel 2 >"$build_dir/bench-build.log" 2>&1; then
  tail -n 40 "$build_dir/bench-build.log" >&2
  die "building failed (log: $build_dir/bench-build.log)"
fi
bin="$build_dir/bench"
tool=${tool:-$build_dir/cellscale}
[[ -x "$tool" ]] || die "no cellscale executable at $tool"
tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")

# ---------------------------------------------------------------- work folder
mkdir -p "$tmp_parent"
work=$(mktemp -d "$tmp_parent/cellscale-bench.XXXXXX")
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
mem_cells_large=$((mem_cols * mem_rows_large))
# Inputs take about 21 bytes a cell (text ~9, double 8, single 4), the outputs
# of one round about 72; the memory check a single input and output.
need=$((cells * 100 + mem_cells_large * 9 + (1 << 20)))
avail=$(($(df -Pk "$work" | awk 'NR == 2 { print $4 }') * 1024))
((need < avail)) || die "$work has $((avail >> 20)) MiB free, the run needs about $((need >> 20)) MiB"

# ---------------------------------------------------------------- report header
cpu=$(awk -F': *' '/^model name/ { print $2; exit }' /proc/cpuinfo 2>/dev/null || true)
mem_gib=$(awk '/^MemTotal:/ { printf "%.0f", $2 / 1048576 }' /proc/meminfo 2>/dev/null || true)
commit=$(git -C "$repo" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
if [[ $commit != unknown && -n "$(git -C "$repo" status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
  commit="$commit (with uncommitted changes)"
fi
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' "$build_dir/CMakeCache.txt" | head -n 1)
cxx_version=$("${cxx:-c++}" --version 2>/dev/null | head -n 1 || echo unknown)

echo "## cellscale benchmark"
echo
echo "- date: $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "- machine: ${cpu:-unknown CPU}, $(nproc) cores, ${mem_gib:-?} GiB memory, Linux $(uname -r)"
echo "- tool: commit $commit, $tool"
echo "- build: Release, $cxx_version"
echo "- load average at the start: $(cut -d ' ' -f 1-3 /proc/loadavg 2>/dev/null || echo unknown) (other work on the machine lengthens wall times)"
echo "- grid: $cols x $rows = $cells cells, about 5% nodata; factor $factor; runs per job: $rounds (table shows medians)"
echo

# ---------------------------------------------------------------- grids
in_t="$work/in.asc"
in_d="$work/in.dbl"
in_s="$work/in.flt"
progress "== generating $cols x $rows grids in $work"
"$bin/cellscale_gridgen" --cols "$cols" --rows "$rows" --format t --start-value "$start_value" "$in_t"
"$bin/cellscale_gridgen" --cols "$cols" --rows "$rows" --format d --start-value "$start_value" "$in_d"
"$bin/cellscale_gridgen" --cols "$cols" --rows "$rows" --format s --start-value "$start_value" "$in_s"
printf '%s\n' "$factor" >"$work/factor"
# The text output of the grid, whose size the floor of a text output writes.
"$tool" "$in_t" "$work/sized.t" -f:t <"$work/factor" >/dev/null

# ---------------------------------------------------------------- jobs
# kind: tool (cellscale IN OUT -f:FMT), baseline (ASCII only), cat (IN > OUT)
# or dd (IN to OUT in 64 KiB blocks through user space).
names=() kinds=() in_paths=() in_fmts=() out_paths=() out_fmts=()
add_job() {
  names+=("$1") kinds+=("$2") in_fmts+=("$3") out_fmts+=("$4")
  case $3 in t) in_paths+=("$in_t") ;; d) in_paths+=("$in_d") ;; s) in_paths+=("$in_s") ;; esac
  out_paths+=("$work/out${#out_paths[@]}.$4")
}
add_job "cellscale t->t" tool t t
add_job "baseline t->t" baseline t t
add_job "cat text" cat t t
add_job "cellscale d->d" tool d d
add_job "cellscale d->s" tool d s
add_job "cellscale s->d" tool s d
add_job "cellscale t->d" tool t d
add_job "cellscale d->t" tool d t
add_job "cat double" cat d d
add_job "cat single" cat s s
add_job "dd text" dd t t
add_job "dd double" dd d d
add_job "dd single" dd s s
# The same tool jobs kept to one processor (taskset -c 0): the tool then
# takes one thread.
tool_jobs=(0 3 4 5 6 7)
for i in "${tool_jobs[@]}"; do add_job "${names[$i]} 1p" tool1 "${in_fmts[$i]}" "${out_fmts[$i]}"; done
# The floor of a job: cat reading its input to /dev/null, plus cat writing
# a file of its output's size (a copy of the input for binary outputs, of
# the text output made before the rounds for text).
add_job "read text" read t t
add_job "read double" read d d
add_job "read single" read s s
add_job "write text" cat t t
in_paths[${#in_paths[@]} - 1]=$work/sized.t
job_count=${#names[@]}
first_added_job=13
baseline_job=1
declare -A cat_job=([t]=2 [d]=8 [s]=9)
declare -A dd_job=([t]=10 [d]=11 [s]=12)
declare -A read_job=([t]=19 [d]=20 [s]=21)
declare -A write_job=([t]=22 [d]=8 [s]=9)

# Runs job $1 once under cellscale_measure and prints its result line:
# WALL USER SYS PEAK_KIB STATUS.
measure_job() {
  local i=$1 in=${in_paths[$1]} out=${out_paths[$1]}
  local stdin="$work/factor" stdout=/dev/null cmd
  case ${kinds[$i]} in
    tool) cmd=("$tool" "$in" "$out" "-f:${out_fmts[$i]}") ;;
    tool1) cmd=(taskset -c 0 "$tool" "$in" "$out" "-f:${out_fmts[$i]}") ;;
    read) cmd=(cat "$in") stdin=/dev/null stdout=/dev/null ;;
    baseline) cmd=("$bin/cellscale_baseline" "$in" "$out") ;;
    cat) cmd=(cat "$in") stdin=/dev/null stdout=$out ;;
    dd) cmd=(dd "if=$in" "of=$out" bs=64K status=none) stdin=/dev/null ;;
  esac
  # The previous output goes, and written data reaches the disk, before the
  # clock starts, so that no run pays for another one's write-back. The
  # input is read once first: some systems (virtual machines that hand idle
  # memory back to their host) drop pages of files left alone for seconds,
  # and a run that meets such a page waits for the disk.
  rm -f "$out"
  cat "$in" >/dev/null
  sync
  "$bin/cellscale_measure" --timeout "$timeout" --stdin "$stdin" --stdout "$stdout" -- "${cmd[@]}"
}

# Checks job $1's output against its input; prints "ok ..." or "BAD: ...".
check_job() {
  local i=$1
  if [[ ${kinds[$i]} == read ]]; then
    echo "ok read"
  elif [[ ${kinds[$i]} == cat || ${kinds[$i]} == dd ]]; then
    if cmp -s "${in_paths[$i]}" "${out_paths[$i]}"; then echo "ok copy"; else echo "BAD: the copy differs"; fi
  else
    "$bin/cellscale_gridcheck" --in "${in_fmts[$i]}" "${in_paths[$i]}" \
      --out "${out_fmts[$i]}" "${out_paths[$i]}" --factor "$factor" 2>&1 || true
  fi
}

results="$work/results.txt"
: >"$results"
declare -a checks
for ((round = 1; round <= rounds; round++)); do
  for ((i = 0; i < job_count; i++)); do
    line=$(measure_job "$i")
    echo "$i $round $line" >>"$results"
    read -r wall _ _ peak status <<<"$line"
    progress "$(printf 'round %d/%d  %-16s %9.3f s %8.1f MiB  %s' "$round" "$rounds" "${names[$i]}" \
      "$wall" "$(awk -v k="$peak" 'BEGIN { print k / 1024 }')" "$status")"
  done
  if ((round == 1)); then
    progress "== checking the outputs of round 1"
    for ((i = 0; i < job_count; i++)); do
      checks[i]=$(check_job "$i" | head -n 1)
      progress "$(printf 'check %-16s %s' "${names[$i]}" "${checks[i]}")"
    done
  fi
done

# ---------------------------------------------------------------- table
# Median wall time (or with $2 = cpu, user + system time) of the runs of job
# $1; "" when a run failed.
median_of() {
  awk -v j="$1" -v what="${2-wall}" '
    $1 == j { if ($7 != "ok") bad = 1; else print (what == "cpu") ? $4 + $5 : $3 }
    END { if (bad) print "FAILED" }' "$results" |
    sort -g | awk '
      $1 == "FAILED" { failed = 1; next }
      { v[n++] = $1 }
      END {
        if (failed || n == 0) { print ""; exit }
        print (n % 2) ? v[(n - 1) / 2] : (v[n / 2 - 1] + v[n / 2]) / 2
      }'
}
peak_of() { awk -v j="$1" '$1 == j && $6 > m { m = $6 } END { printf "%.1f", m / 1024 }' "$results"; }
failures_of() {
  awk -v j="$1" '$1 == j && $7 != "ok" { n++; s = $7 } END { if (n) printf "%d run(s) %s", n, s }' "$results"
}

declare -a medians
for ((i = 0; i < job_count; i++)); do medians[i]=$(median_of "$i"); done

echo "| job | median s | cpu s | Mcells/s | MB/s in | time / baseline | time / cat | time / dd | peak MiB | output |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|"
notes=()
for ((i = 0; i < first_added_job; i++)); do
  size=$(stat -c %s "${in_paths[$i]}")
  median=${medians[i]}
  ref_base=""
  [[ ${in_fmts[$i]} == t && ${out_fmts[$i]} == t && ${kinds[$i]} != cat && ${kinds[$i]} != dd ]] && ref_base=${medians[baseline_job]}
  ref_cat=${medians[${cat_job[${in_fmts[$i]}]}]}
  ref_dd=${medians[${dd_job[${in_fmts[$i]}]}]}
  check=${checks[i]}
  verdict=ok
  if [[ $check != ok* ]]; then
    verdict=WRONG
    notes+=("${names[$i]}: $check")
  fi
  if [[ -z $median ]]; then
    verdict="FAILED ($(failures_of "$i"))"
    printf '| %s | - | - | - | - | - | - | - | %s | %s |\n' "${names[$i]}" "$(peak_of "$i")" "$verdict"
    continue
  fi
  awk -v name="${names[$i]}" -v t="$median" -v cpu="$(median_of "$i" cpu)" -v cells="$cells" -v size="$size" -v base="$ref_base" \
    -v cat="$ref_cat" -v dd="$ref_dd" -v peak="$(peak_of "$i")" -v verdict="$verdict" 'BEGIN {
      rb = (base != "" && base > 0) ? sprintf("%.2f", t / base) : "-"
      rc = (cat != "" && cat > 0) ? sprintf("%.2f", t / cat) : "-"
      rd = (dd != "" && dd > 0) ? sprintf("%.2f", t / dd) : "-"
      printf "| %s | %.3f | %.3f | %.1f | %.1f | %s | %s | %s | %s | %s |\n",
             name, t, cpu, cells / t / 1e6, size / t / 1e6, rb, rc, rd, peak, verdict
    }'
done
echo
echo "Time ratios are median wall times divided by the baseline's (text to text only), by"
echo "cat's and by dd's of the same input file: below 1 is faster. cat copies file to file inside"
echo "the kernel (copy_file_range), dd reads and writes 64 KiB blocks through user space."
echo "cpu s is the median user + system time."
echo "MB/s counts input bytes (10^6) per wall second."
echo "Peak MiB is the largest ru_maxrss of the runs; \"output\" is the check of round 1."
for note in "${notes[@]+"${notes[@]}"}"; do echo "- $note"; done
echo

# ---------------------------------------------------------------- threads
echo "Threads and floors: each tool job as it runs and kept to one processor (taskset -c 0, where it"
echo "takes one thread), and its floor: cat reading the input to /dev/null plus cat writing a file of the"
echo "output's size (median times of each, added)."
echo
echo "| job | threads s | one processor s | speed-up | cpu s / one processor cpu s | floor s | time / floor |"
echo "|---|---:|---:|---:|---:|---:|---:|"
for ((k = 0; k < ${#tool_jobs[@]}; k++)); do
  i=${tool_jobs[k]}
  j=$((first_added_job + k))
  awk -v name="${names[$i]}" -v t="${medians[i]}" -v t1="${medians[j]}" -v c="$(median_of "$i" cpu)" \
    -v c1="$(median_of "$j" cpu)" -v r="${medians[${read_job[${in_fmts[$i]}]}]}" \
    -v w="${medians[${write_job[${out_fmts[$i]}]}]}" 'BEGIN {
      if (t == "" || t1 == "" || r == "" || w == "") { printf "| %s | - | - | - | - | - | - |\n", name; exit }
      printf "| %s | %.3f | %.3f | %.2f | %.2f | %.3f | %.2f |\n", name, t, t1, t1 / t, c / c1, r + w, t / (r + w)
    }'
done
echo

# ---------------------------------------------------------------- memory check
progress "== memory check: $mem_cols x $mem_rows_small and $mem_cols x $mem_rows_large single grids"
# The timed jobs' files are no longer needed; the tall grid needs the room.
rm -f "$work"/out*.* "$in_t" "$in_d" "$in_s"
declare -a mem_peaks mem_checks
for height in "$mem_rows_small" "$mem_rows_large"; do
  in="$work/mem$height.flt"
  out="$work/mem$height.out.flt"
  "$bin/cellscale_gridgen" --cols "$mem_cols" --rows "$height" --format s --start-value "$start_value" "$in"
  sync
  line=$("$bin/cellscale_measure" --timeout "$timeout" --stdin "$work/factor" -- "$tool" "$in" "$out" -f:s)
  read -r wall _ _ peak status <<<"$line"
  progress "$(printf 'memory %5d rows  %9.3f s  %s KiB  %s' "$height" "$wall" "$peak" "$status")"
  if [[ $status == ok ]]; then
    mem_checks+=("$("$bin/cellscale_gridcheck" --in s "$in" --out s "$out" --factor "$factor" 2>&1 | head -n 1 || true)")
  else
    mem_checks+=("run $status")
  fi
  mem_peaks+=("$peak")
  rm -f "$in" "$out"
done
echo "Memory check (cellscale s->s, $mem_cols columns):"
echo
echo "| rows | cells | peak MiB | output |"
echo "|---:|---:|---:|---|"
heights=("$mem_rows_small" "$mem_rows_large")
for k in 0 1; do
  awk -v r="${heights[k]}" -v c="$mem_cols" -v p="${mem_peaks[k]}" -v chk="${mem_checks[k]}" \
    'BEGIN { printf "| %d | %d | %.1f | %s |\n", r, r * c, p / 1024, chk }'
done
echo
awk -v a="${mem_peaks[0]}" -v b="${mem_peaks[1]}" -v ra="$mem_rows_small" -v rb="$mem_rows_large" 'BEGIN {
  printf "Peak memory ratio %d rows / %d rows: %.2f (1.00 means memory does not grow with the rows)\n",
         rb, ra, (a > 0) ? b / a : 0
}'

# ---------------------------------------------------------------- micro-benchmarks
if [[ $micro == 1 ]]; then
  echo
  if [[ -x "$bin/cellscale_micro" ]]; then
    progress "== micro-benchmarks"
    echo "Micro-benchmarks (one row of 5000 cells):"
    echo
    echo '```'
    "$bin/cellscale_micro" --benchmark_min_time=0.5 2>&1
    echo '```'
  else
    echo "Micro-benchmarks: not built (Google Benchmark was not found when configuring)."
  fi
fi
