#!/usr/bin/env bash
# Writes beside each binary grid (double or single) a GDAL virtual raster
# (VRT) that describes its bytes, so that GDAL, QGIS and other GDAL-based
# programs open the grid as it is: elevation.dbl.vrt beside elevation.dbl.
# The VRT names the grid by its file name alone, so the two move together.
#
#   binary-grid-vrt.sh GRID...
#
# The format is recognised as cellscale does it: a double grid has the nodata
# value -9999 in bytes 40 to 47, a single grid in bytes 20 to 23. A grid whose
# size is not that of its header and rows (a run that ended early) is refused.
# A projection file beside the grid (its name with .prj in place of the
# extension, any letter case) goes into the VRT as its spatial reference.
# Needs od and awk; reads the header as little-endian, as on x86 and ARM.
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: binary-grid-vrt.sh GRID..." >&2
  exit 2
fi

# The first six header values (ncols, nrows, xllcorner, yllcorner, cellsize,
# nodata_value) read as numbers of the given od type, one line.
header_values() {
  od -A n -v -t "$2" -N "$3" "$1" | tr -s ' \n' ' '
}

# WKT holds quotes and brackets, and may hold &, < or >.
xml_escaped() {
  sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' -e 's/>/\&gt;/g' "$1" | tr -d '\r\n'
}

write_vrt() {
  local grid=$1 size values type width header vrt name stem ncols nrows xll yll cellsize nodata
  local -a projection
  [ -f "$grid" ] || { echo "binary-grid-vrt: $grid is not a file" >&2; return 1; }
  # A VRT describes the bytes of a file as they lie on the disk: a gzip
  # grid's are compressed (its first two bytes 1f 8b).
  if [ "$(od -A n -t x1 -N 2 "$grid" | tr -d ' \n')" = 1f8b ]; then
    echo "binary-grid-vrt: $grid is gzip-compressed: decompress it first (gunzip -k $grid)" >&2
    return 1
  fi
  size=$(wc -c < "$grid")
  values=$(header_values "$grid" f8 48)
  if [ "$size" -ge 96 ] && [ "$(awk '{ print ($6 == -9999) }' <<<"$values")" = 1 ]; then
    type=Float64 width=8 header=96
  else
    values=$(header_values "$grid" f4 24)
    if [ "$size" -ge 48 ] && [ "$(awk '{ print ($6 == -9999) }' <<<"$values")" = 1 ]; then
      type=Float32 width=4 header=48
    else
      echo "binary-grid-vrt: $grid is no double or single grid (no nodata value -9999 in its header)" >&2
      return 1
    fi
  fi
  # The tool reads and writes the whole parts of ncols and nrows.
  read -r ncols nrows xll yll cellsize nodata < <(awk '{ printf "%d %d %.17g %.17g %.17g %.17g\n", \
    int($1), int($2), $3, $4, $5, $6 }' <<<"$values")
  local expected=$((header + ncols * nrows * width))
  if [ "$size" -ne "$expected" ]; then
    echo "binary-grid-vrt: $grid holds $size bytes, where a grid of $ncols x $nrows cells holds $expected" >&2
    return 1
  fi
  # The header gives the lower-left corner; a GeoTransform starts at the
  # upper-left one and steps down the rows with a negative cell height.
  local top down
  top=$(awk -v y="$yll" -v n="$nrows" -v c="$cellsize" 'BEGIN { printf "%.17g", y + n * c }')
  down=$(awk -v c="$cellsize" 'BEGIN { printf "%.17g", -c }')

  name=${grid##*/}
  stem=${grid%.*}
  [ "${name%.*}" != "$name" ] || stem=$grid  # a name without an extension
  vrt=$grid.vrt
  shopt -s nullglob
  projection=("$stem".[pP][rR][jJ])
  shopt -u nullglob

  {
    echo "<VRTDataset rasterXSize=\"$ncols\" rasterYSize=\"$nrows\">"
    [ "${#projection[@]}" -eq 0 ] || echo "  <SRS>$(xml_escaped "${projection[0]}")</SRS>"
    echo "  <GeoTransform>$xll, $cellsize, 0, $top, 0, $down</GeoTransform>"
    echo "  <VRTRasterBand dataType=\"$type\" band=\"1\" subClass=\"VRTRawRasterBand\">"
    echo "    <NoDataValue>$nodata</NoDataValue>"
    echo "    <SourceFilename relativeToVRT=\"1\">$(sed -e 's/&/\&amp;/g' -e 's/</\&lt;/g' <<<"$name")</SourceFilename>"
    echo "    <ImageOffset>$header</ImageOffset>"
    echo "    <PixelOffset>$width</PixelOffset>"
    echo "    <LineOffset>$((ncols * width))</LineOffset>"
    echo "    <ByteOrder>LSB</ByteOrder>"
    echo "  </VRTRasterBand>"
    echo "</VRTDataset>"
  } > "$vrt"
  echo "$vrt"
}

status=0
for grid in "$@"; do
  write_vrt "$grid" || status=1
done
exit "$status"
