#!/usr/bin/env bash
# Multiplies every grid in a folder by one factor, on all cores: one cellscale
# run per grid, as many at once as this machine has processors. Every run's
# status is checked: a grid that fails is named with its status and the
# tool's message, its partial output is removed, and the script ends with
# status 1 once all runs are done.
#
#   scale-folder.sh FACTOR INPUT_FOLDER OUTPUT_FOLDER [-f:t|-f:d|-f:s]
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: scale-folder.sh FACTOR INPUT_FOLDER OUTPUT_FOLDER [-f:t|-f:d|-f:s]" >&2
  exit 2
fi
export factor=$1 output=$3 format=${4:--f:t}
mkdir -p "$output"

# One run: the empty line before the factor answers the output name prompt,
# should the output not be creatable, which ends that run with status 1.
scale_one() {
  local grid=$1 out log status
  out=$output/${grid##*/}
  log=$(printf '\n%s\n' "$factor" | cellscale "$grid" "$out" "$format") && return 0
  status=$?
  echo "cellscale failed on $grid with status $status: ${log##*$'\n'}" >&2
  rm -f "$out"  # a run that ends early leaves a partial output
  return 1
}
export -f scale_one

find "$2" -maxdepth 1 -type f -print0 | xargs -0 -r -n 1 -P "$(nproc)" bash -c 'scale_one "$1"' _ ||
  exit 1
