#!/usr/bin/env bash
# Renders the manual page as man would show it on a terminal and fails on any
# warning or error of the renderer (all warnings enabled). Where groff is not
# installed there is nothing to check with, and the test is skipped.
set -euo pipefail
page=$1
if ! command -v groff >/dev/null 2>&1; then
  echo "skipped: groff not found"
  exit 0
fi
[ -s "$page" ] || { echo "no manual page at $page"; exit 1; }
for width in 80 65; do
  warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -rLL=${width}n -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page at $width columns:"
    echo "$warnings"
    exit 1
  fi
done
echo "$page renders without warnings"
