#!/usr/bin/env bash
# GDAL as a client of the tool's grids, the way a GIS user meets them: GDAL
# makes a GeoTIFF in the Dutch national grid (EPSG:28992) and an ASCII grid
# with its .prj from it; the tool converts that into a double and a single
# grid (each given the same .prj); then every input format is scaled by 2 into
# every output format, and GDAL reads each output back, a text grid as it is
# and a binary grid through the VRT that examples/binary-grid-vrt.sh writes.
# Each must show GDAL the cells, the nodata value, the size, origin and cell
# size and the projection of the grid made here by hand. Skipped, with a
# banner, only where GDAL's programs are missing.
#
#   check-gdal.sh TOOL     (tests/run-all.sh: build/release/cellscale)
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: check-gdal.sh TOOL" >&2; exit 2; }
tool=$(realpath "$1")
vrt_script=$(realpath "$(dirname "$0")/../examples/binary-grid-vrt.sh")
[ -x "$tool" ] || { echo "check-gdal: no tool at $1: build it first" >&2; exit 1; }

skip() {
  echo "############################################################"
  echo "WARNING: GDAL STEP SKIPPED: $*"
  echo "############################################################"
  exit 0
}
for program in gdal_translate gdalinfo; do
  command -v "$program" >/dev/null || skip "no $program (Debian: apt-get install gdal-bin)"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() {
  echo "check-gdal: $*" >&2
  exit 1
}
# No .aux.xml side files: what GDAL reports comes from the grid and its .prj.
# Numbers are written and read with a decimal point.
export GDAL_PAM_ENABLED=NO LC_ALL=C

# The grid, by hand: 7 columns and 5 rows (so that a transposed or flipped
# grid shows) of 25 m cells from the lower-left corner (155000, 463000). Cell
# k, counted from the top left, holds k * 1234.25 - 10000, a binary fraction
# that stays exact in single precision and in six digits when doubled; every
# ninth cell from the fifth on is nodata.
ncols=7 nrows=5 xll=155000 yll=463000 cellsize=25 top=463125
grid_cells='function cell(k) { return k % 9 == 4 ? -9999 : k * 1234.25 - 10000 }'
awk -v n="$ncols" -v m="$nrows" -v x="$xll" -v y="$yll" -v s="$cellsize" "$grid_cells"'
  BEGIN {
    printf "ncols %d\nnrows %d\nxllcorner %d\nyllcorner %d\ncellsize %d\nnodata_value -9999\n", n, m, x, y, s
    for (r = 0; r < m; r++)
      for (c = 0; c < n; c++) printf "%.17g%s", cell(r * n + c), c < n - 1 ? " " : "\n"
  }' >by_hand.asc
# What GDAL must read from every output: each cell's centre and value, the
# data cells doubled.
awk -v n="$ncols" -v m="$nrows" -v x="$xll" -v t="$top" -v s="$cellsize" "$grid_cells"'
  BEGIN {
    for (r = 0; r < m; r++)
      for (c = 0; c < n; c++) {
        v = cell(r * n + c)
        printf "%.17g %.17g %.17g\n", x + (c + 0.5) * s, t - (r + 0.5) * s, v == -9999 ? v : 2 * v
      }
  }' >expected.xyz

gdal_translate -q -a_srs EPSG:28992 by_hand.asc source.tif
gdal_translate -q -of AAIGrid source.tif in_t.asc
[ -s in_t.prj ] || fail "GDAL wrote no in_t.prj beside its ASCII grid"
# GDAL's own reading of the projection it wrote, the one every output must show.
gdalinfo in_t.asc | sed -n '/^Coordinate System is/,/^Data axis/p' >projection.txt
grep -q 'PROJCRS\["Amersfoort / RD New"' projection.txt || fail "GDAL reads in_t.prj as: $(cat projection.txt)"

for format in d:dbl s:sgl; do
  printf '1\n' | "$tool" in_t.asc "in_${format%%:*}.${format#*:}" "-f:${format%%:*}" >/dev/null ||
    fail "converting in_t.asc to ${format#*:} ended with status $?"
  cp in_t.prj "in_${format%%:*}.prj"
done

# Checks one output: its .prj, what gdalinfo says of it and every cell.
check_output() {
  local output=$1 band_type=$2 dataset info values
  local name=${output%.*}
  cmp -s in_t.prj "$name.prj" || fail "$output: no copy of the input's .prj beside it"
  dataset=$output
  if [ "$band_type" != text ]; then
    dataset=$(bash "$vrt_script" "$output") || fail "$output: binary-grid-vrt.sh failed"
  fi
  info=$(gdalinfo "$dataset") || fail "$output: gdalinfo cannot open $dataset"
  grep -qx "Size is $ncols, $nrows" <<<"$info" || fail "$output: $(grep '^Size' <<<"$info")"
  awk -F '[(),]' -v x="$xll" -v t="$top" -v s="$cellsize" '
    /^Origin = / { origin = ($2 == x && $3 == t) }
    /^Pixel Size = / { cell = ($2 == s && $3 == -s) }
    END { exit !(origin && cell) }' <<<"$info" ||
    fail "$output: georeference $(grep -E '^(Origin|Pixel Size)' <<<"$info" | tr '\n' ' ')"
  grep -qx '  NoData Value=-9999' <<<"$info" || fail "$output: nodata $(grep 'NoData' <<<"$info")"
  if [ "$band_type" != text ]; then
    grep -q "Type=$band_type," <<<"$info" || fail "$output: $(grep 'Band 1' <<<"$info")"
  fi
  sed -n '/^Coordinate System is/,/^Data axis/p' <<<"$info" | cmp -s - projection.txt ||
    fail "$output: another projection, or none: $(grep -A 1 '^Coordinate System is' <<<"$info" | tr -d '\n')"
  gdal_translate -q -of XYZ -co SIGNIFICANT_DIGITS=17 "$dataset" "$name.xyz" || fail "$output: GDAL cannot read its cells"
  # Numbers compared as numbers: every one of them is exact.
  awk 'NR == FNR { want[FNR] = $0; cells = FNR; next }
       { split(want[FNR], w, " ") }
       !(FNR in want) || $1 != w[1] || $2 != w[2] || $3 != w[3] { print "  cell " FNR ": " $0 " where " want[FNR] " was due"; bad = 1 }
       END { if (FNR != cells) { print "  " FNR " cells where " cells " were due"; bad = 1 }; exit bad }' \
    expected.xyz "$name.xyz" >differences.txt || fail "$output: GDAL reads other cells:
$(head -5 differences.txt)"
}

checked=0
for input in in_t.asc in_d.dbl in_s.sgl; do
  for output in t:asc:text d:dbl:Float64 s:sgl:Float32; do
    IFS=: read -r option extension band_type <<<"$output"
    name="${input%.*}_to_$option.$extension"
    status=0
    printf '2\n' | "$tool" "$input" "$name" "-f:$option" >run.txt || status=$?
    [ "$status" = 0 ] || fail "$input to $name ended with status $status: $(tail -c 200 run.txt)"
    check_output "$name" "$band_type"
    checked=$((checked + 1))
  done
done
# A gzip text output: GDAL reads it through /vsigzip/ with its cells and
# georeference, but looks for its .prj inside the compressed path and shows
# no projection; decompressed beside the .prj the tool copied, it shows it.
"$tool" --factor 2 in_t.asc gz_out.asc.gz || fail "in_t.asc to gz_out.asc.gz ended with status $?"
cmp -s in_t.prj gz_out.prj || fail "gz_out.asc.gz: no copy of the input's .prj as gz_out.prj"
info=$(gdalinfo /vsigzip/gz_out.asc.gz) || fail "gdalinfo cannot open /vsigzip/gz_out.asc.gz"
! grep -qE '^(PROJCRS|PROJCS|GEOGCRS)' <<<"$info" ||
  fail "GDAL now finds a projection for /vsigzip/gz_out.asc.gz: the README says it does not"
gdal_translate -q -of XYZ -co SIGNIFICANT_DIGITS=17 /vsigzip/gz_out.asc.gz gz.xyz || fail "GDAL cannot read gz_out.asc.gz"
cmp -s expected.xyz <(awk '{ print $1 + 0, $2 + 0, $3 + 0 }' OFMT=%.17g gz.xyz) ||
  fail "GDAL reads other cells or georeference from /vsigzip/gz_out.asc.gz"
gunzip -k gz_out.asc.gz
check_output gz_out.asc text
checked=$((checked + 1))

# A VRT cannot describe compressed bytes: the script says so of a gzip grid,
# rather than that its header has no nodata value -9999.
gzip -k in_d_to_d.dbl
if message=$(bash "$vrt_script" in_d_to_d.dbl.gz 2>&1); then fail "binary-grid-vrt.sh took a gzip grid"; fi
[ "$message" = "binary-grid-vrt: in_d_to_d.dbl.gz is gzip-compressed: decompress it first (gunzip -k in_d_to_d.dbl.gz)" ] ||
  fail "binary-grid-vrt.sh on a gzip grid says: $message"

echo "check-gdal: GDAL reads all $checked outputs (3 input formats x 3 output formats, and a gzip text output"\
  "decompressed) with their cells," \
  "nodata value, georeference and projection"
