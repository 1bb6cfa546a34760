# Sourced by the bench scripts: find_gridgen TOOL prints the path of
# cellscale_gridgen, the bench's grid maker: beside TOOL in its build folder,
# or else built in <repo>/build-bench.
find_gridgen() {
  local repo gridgen
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  gridgen=$(dirname "$1")/bench/cellscale_gridgen
  if [[ ! -x $gridgen ]]; then
    printf '== building cellscale_gridgen in %s\n' "$repo/build-bench" >&2
    cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=OFF \
      -DCELLSCALE_BENCHMARKS=ON >/dev/null
    cmake --build "$repo/build-bench" -j2 --target cellscale_gridgen >/dev/null
    gridgen=$repo/build-bench/bench/cellscale_gridgen
  fi
  printf '%s\n' "$gridgen"
}
