#!/usr/bin/env bash
# Scales a folder of tiles with GNU parallel, one cellscale run per tile, on
# every processor of every machine named: thousands of tiles across a cluster.
#
#   scale-tiles.sh FACTOR TILE_FOLDER OUTPUT_FOLDER [SSHLOGIN...]
#
# SSHLOGIN is as parallel's --sshlogin takes it (node1, 8/user@node2, and ":"
# for this machine, the default). Every machine must see the working folder,
# the tiles and the output folder at the same paths (a shared file system) and
# have cellscale on its PATH; the runs start in the working folder there.
#
# Each tile's .prj (north.prj beside north.asc) is not scaled: cellscale copies
# it beside its tile's output when the run is complete. A tile that fails has
# the tool's message written to standard error after its name, its partial
# output removed and its name listed in OUTPUT_FOLDER/failed.txt; the other
# tiles still run. The exit status is 0 when every tile was scaled, else 1.
# parallel's record of every run (host, time, exit status) is kept in
# OUTPUT_FOLDER/joblog.txt.
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: scale-tiles.sh FACTOR TILE_FOLDER OUTPUT_FOLDER [SSHLOGIN...]" >&2
  exit 2
fi
factor=$1 tiles=$2 output=$3
shift 3
[ $# -gt 0 ] || set -- :
logins=()
for login in "$@"; do logins+=(--sshlogin "$login"); done
mkdir -p "$output"
rm -f "$output/failed.txt"

# The factor and the output folder go in as arguments of their own ({2},
# {3}), so that parallel quotes them for the remote shell as it quotes the
# tile's name. The failed run's status is kept for the job log.
run='cellscale --factor {2} --quiet -- {1} {3}/{1/} || { status=$?; rm -f {3}/{1/}; exit $status; }'
mapfile -d '' grids < <(find "$tiles" -maxdepth 1 -type f ! -iname '*.prj' -print0 | sort -z)
[ "${#grids[@]}" -gt 0 ] || { echo "scale-tiles: no tiles in $tiles" >&2; exit 1; }
status=0
printf '%s\0' "${grids[@]}" |
  parallel -0 "${logins[@]}" --workdir "$PWD" --joblog "$output/joblog.txt" --tagstring '{1}' \
    "$run" :::: - ::: "$factor" ::: "$output" || status=$?

# The job log's columns: Seq Host Starttime JobRuntime Send Receive Exitval
# Signal Command; job Seq ran the Seq-th tile.
failed=0
while read -r seq; do
  printf '%s\n' "${grids[seq - 1]}"
  failed=$((failed + 1))
done < <(awk -F '\t' 'NR > 1 && ($7 != 0 || $8 != 0) { print $1 }' "$output/joblog.txt" | sort -n) \
  >"$output/failed.txt"
if [ "$failed" -gt 0 ] || [ "$status" -ne 0 ]; then
  echo "scale-tiles: $failed of ${#grids[@]} tiles failed, listed in $output/failed.txt" >&2
  exit 1
fi
rm "$output/failed.txt"
