#!/usr/bin/env bash
# Builds the Debian package from a configured and built build folder, unpacks
# it into a temporary root and checks what a user would get: the control
# fields, exactly the files that belong in the package and where they belong,
# the installed tool converting and scaling grids to the expected bytes, and
# every end-to-end test run against the installed tool.
#
#   bash tests/check-package.sh [build folder, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(cd "${1:-build/release}" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "package check: $*" >&2
  exit 1
}

# A system without dpkg cannot make or unpack the package; CI always can.
if ! command -v dpkg-deb >/dev/null 2>&1 && [ "${CI:-}" != true ]; then
  echo "package check: skipped, dpkg-deb not found (not a Debian system)"
  exit 0
fi

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
architecture=$(dpkg --print-architecture)
deb="$work/cellscale_${version}_${architecture}.deb"

(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack failed"; }
[ -f "$deb" ] || { cat "$work/cpack.log"; fail "cpack made no $deb"; }
echo "package check: built $(basename "$deb") ($(stat -c %s "$deb") bytes)"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = cellscale ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Architecture)" = "$architecture" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = science ] || fail "Section is '$(field Section)'"
[ "$(field Maintainer)" = "cellscale developers" ] || fail "Maintainer is '$(field Maintainer)'"
depends=$(field Depends)
depended=$(tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }')
for library in libc6 libstdc++6 zlib1g; do
  grep -qxF "$library" <<<"$depended" || fail "Depends '$depends' lacks $library"
done
[ -n "$(field Description)" ] || fail "no Description"

# Exactly these files, and nothing else (no library, no test program).
expected_files="./usr/bin/cellscale
./usr/share/doc/cellscale/README.md
./usr/share/doc/cellscale/examples/binary-grid-vrt.sh
./usr/share/doc/cellscale/examples/dem/north.asc
./usr/share/doc/cellscale/examples/dem/north.prj
./usr/share/doc/cellscale/examples/dem/south.asc
./usr/share/doc/cellscale/examples/dem/south.prj
./usr/share/doc/cellscale/examples/elevation.asc
./usr/share/doc/cellscale/examples/elevation.dbl
./usr/share/doc/cellscale/examples/elevation.sgl
./usr/share/doc/cellscale/examples/scale-tiles.sh
./usr/share/man/man1/cellscale.1"
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort)
[ "$files" = "$expected_files" ] || fail "the package holds:
$files
instead of:
$expected_files"

root="$work/root"
dpkg-deb -x "$deb" "$root"
tool="$root/usr/bin/cellscale"
[ -x "$tool" ] || fail "usr/bin/cellscale is not executable"
cmp -s "$root/usr/share/man/man1/cellscale.1" docs/cellscale.1 || fail "the manual page differs from docs/cellscale.1"
grep -q "^\.TH CELLSCALE 1 .* \"cellscale $version\"" docs/cellscale.1 \
  || fail "the title line of docs/cellscale.1 does not name cellscale $version"
for example in elevation.asc elevation.dbl elevation.sgl binary-grid-vrt.sh scale-tiles.sh dem/north.asc dem/north.prj \
  dem/south.asc dem/south.prj; do
  cmp -s "$root/usr/share/doc/cellscale/examples/$example" "examples/$example" || fail "examples/$example differs"
done

for script in binary-grid-vrt.sh scale-tiles.sh; do
  [ -x "$root/usr/share/doc/cellscale/examples/$script" ] || fail "examples/$script is not executable"
done

# The installed tool: a conversion must give the committed example bytes, and
# a scaling the text worked out here by hand.
run="$work/run"
mkdir "$run"
cd "$run"
for format in d:elevation.dbl s:elevation.sgl; do
  printf '1\n' | "$tool" "$source_dir/examples/elevation.asc" converted "-f:${format%%:*}" >out.txt \
    || fail "converting to ${format#*:} ended with status $?"
  cmp -s converted "$source_dir/examples/${format#*:}" || fail "converting gives other bytes than ${format#*:}"
  [ "$(cat out.txt)" = "$(printf '\nfactor : \n................')" ] || fail "converting printed: $(cat out.txt)"
done
printf 'ncols 3\nnrows 2\nxllcorner 100\nyllcorner 200\ncellsize 0.5\nnodata_value -9999\n1 -9999 2.5\n-4 0.1 1e6\n' \
  >small.asc
status=0
printf '2.5\n' | "$tool" small.asc scaled.asc >out.txt || status=$?
[ "$status" = 0 ] || fail "scaling ended with status $status"
printf 'ncols\t3\nnrows\t2\nxllcorner\t100\nyllcorner\t200\ncellsize\t0.5\nnodata_value\t-9999\n2.5\t-9999\t6.25\n-10\t0.25\t2.5e+006\n' \
  >expected.asc
cmp -s scaled.asc expected.asc || fail "scaling wrote:
$(cat scaled.asc)"
cd "$source_dir"

CELLSCALE_TOOL="$tool" ctest --test-dir "$build" -L tool --output-on-failure -j "$(nproc 2>/dev/null || echo 2)" \
  || fail "end-to-end tests failed against the installed tool"
echo "package check: $(basename "$deb") passed"
