#!/usr/bin/env bash
# Installs the Windows installer under Wine as a user would, quietly, and
# checks what it does: the ZIP's files under Program Files\cellscale, that
# folder on the system PATH, a new console finding the tool there and the
# tool scaling the example grid to the bytes of the Linux build, the entry of
# "Apps" (name, version, publisher); then that uninstalling leaves nothing
# (files, folder, PATH entry, registry keys), that a later version upgrades
# it in place and that an earlier one is refused.
#
#   bash tests/check-msi.sh WINE MSI UNPACKED LINUX_TOOL
#
# WINE runs Windows programs, in the prefix that WINEPREFIX names (set up by
# tests/run-windows.sh, which calls this); MSI is cellscale-<version>-win64.msi;
# UNPACKED the unpacked ZIP of the same build, whose files the installer must
# install; LINUX_TOOL the Linux build's cellscale.
set -euo pipefail
cd "$(dirname "$0")/.."
[ $# -eq 4 ] || { echo "usage: $0 WINE MSI UNPACKED LINUX_TOOL" >&2; exit 2; }
wine=$1
msi=$(realpath "$2")
unpacked=$(realpath "$3")
linux_tool=$(realpath "$4")
: "${WINEPREFIX:?the Wine prefix}"

fail() {
  echo "installer check: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(cellscale VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Windows Installer's own folders and keys, as a 64-bit install names them.
folder_windows='C:\Program Files\cellscale\'
folder="$WINEPREFIX/drive_c/Program Files/cellscale"
environment_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'

work=$(mktemp -d "$PWD/build/windows/msi-check.XXXXXX")
installed=()
path_value=""
cleanup() {
  # A failed check uninstalls what it installed, so that the next run starts
  # from a prefix without cellscale. Wine's uninstall leaves the separator
  # of the PATH entry it removes, and its cmd stops looking for a program at
  # an empty entry: the system PATH is put back as it was.
  local package
  for package in "${installed[@]}"; do
    "$wine" msiexec /x "$(winpath "$package")" /qn >/dev/null 2>&1 || true
  done
  [ -z "$path_value" ] ||
    "$wine" reg add "$environment_key" /v Path /t REG_EXPAND_SZ /d "$path_value" /f >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

winpath() { "$wine" winepath -w "$1" | tr -d '\r'; }
# Runs msiexec quietly and gives its exit status (0 for success).
msiexec() {
  local status=0
  "$wine" msiexec "$1" "$(winpath "$2")" /qn >"$work/msiexec.log" 2>&1 || status=$?
  return "$status"
}
# A registry value's data, or nothing (status 1) where the value or key is missing.
# Under load Wine now and then fails to start a process at all (no output,
# status 1): a query that fails is made twice more before it counts as the
# answer (a key or a value that is not there).
registry_query() {
  local try
  for try in 1 2 3; do
    "$wine" reg query "$@" 2>/dev/null && return 0
  done
  return 1
}
registry_value() {
  local output
  output=$(registry_query "$1" /v "$2" | tr -d '\r') || return 1
  sed -n "s/^    $2    REG_[A-Z_]*    //p" <<<"$output"
}
registry_key_exists() { registry_query "$1" >/dev/null; }
product_code() { msiinfo export "$1" Property | tr -d '\r' | sed -n 's/^ProductCode\t//p'; }
# The entries of the system PATH, one a line; empty ones left out (Wine's
# uninstall leaves the separator of the entry it removes).
path_entries() { registry_value "$environment_key" Path | tr ';' '\n' | sed '/^$/d'; }
# The system PATH without the installed folder must be the PATH before
# the install, in order; the folder must be on it exactly the given times.
check_path() {
  local times=$1 entries found
  entries=$(path_entries)
  found=$(grep -cxF "$folder_windows" <<<"$entries" || true)
  [ "$found" = "$times" ] || fail "the system PATH holds $folder_windows $found times, not $times:
$entries"
  [ "$(grep -vxF "$folder_windows" <<<"$entries" || true)" = "$path_before" ] ||
    fail "the system PATH lost or changed entries of its own: $entries
where it held before: $path_before"
}
check_installed_files() {
  local listed expected file
  [ -d "$folder" ] || fail "no $folder"
  listed=$(cd "$folder" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  expected=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
  [ "$listed" = "$expected" ] || fail "Program Files\\cellscale holds
$listed
where the ZIP holds
$expected"
  while read -r file; do
    if [ "$file" = cellscale.exe ]; then
      same_executable "$folder/$file" "$unpacked/$file" || fail "the installed $file differs from the ZIP's"
    else
      cmp -s "$folder/$file" "$unpacked/$file" || fail "the installed $file differs from the ZIP's"
    fi
  done <<<"$expected"
}
# Each package strips its own copy of cellscale.exe, and strip stamps the PE
# header with the time it ran: two executables are the same but for that
# stamp and the header's checksum over it (the four bytes 8 and 88 after the
# "PE" signature, which offset 60 points at).
same_executable() {
  local copy header field
  for copy in 1 2; do
    cp "$1" "$work/exe$copy"
    header=$(od -A n -t u4 -j 60 -N 4 "$work/exe$copy" | tr -d ' ')
    for field in 8 88; do
      printf '\0\0\0\0' | dd of="$work/exe$copy" bs=1 seek=$((header + field)) conv=notrunc status=none
    done
    shift
  done
  cmp -s "$work/exe1" "$work/exe2"
}
# The entry of "Apps" for a product code: its name, version, publisher and folder.
check_apps_entry() {
  local key="$uninstall_key\\$1" expected_version=$2 name value
  registry_key_exists "$key" || fail "no uninstall key $key"
  for name in DisplayName:cellscale DisplayVersion:$expected_version "Publisher:cellscale developers" \
    "Contact:cellscale developers" "InstallLocation:$folder_windows"; do
    value=$(registry_value "$key" "${name%%:*}") || fail "no ${name%%:*} in $key"
    [ "$value" = "${name#*:}" ] || fail "${name%%:*} in $key is '$value', not '${name#*:}'"
  done
}
check_nothing_left() {
  local code
  [ ! -e "$folder" ] || fail "$folder is left after the uninstall: $(find "$folder")"
  for code in "$@"; do
    ! registry_key_exists "$uninstall_key\\$code" || fail "the uninstall key of $code is left"
  done
  ! registry_key_exists 'HKLM\Software\cellscale' || fail 'HKLM\Software\cellscale is left'
  check_path 0
}

code=$(product_code "$msi")
[ -n "$code" ] || fail "no ProductCode in $msi"
[ ! -e "$folder" ] || fail "$folder exists before the install: remove the prefix $WINEPREFIX"
path_value=$(registry_value "$environment_key" Path)
path_before=$(path_entries)
[ -n "$path_before" ] || fail "no system PATH in the prefix"

echo "installer check: msiexec /i $(basename "$msi") /qn"
msiexec /i "$msi" || fail "msiexec /i failed: $(cat "$work/msiexec.log")"
installed+=("$msi")
check_installed_files
check_path 1
check_apps_entry "$code" "$version"
[ "$(registry_value 'HKLM\Software\cellscale' InstallDir)" = "$folder_windows" ] ||
  fail 'HKLM\Software\cellscale InstallDir does not name the folder'

# A new console finds the tool through the system PATH (Wine builds a new
# process's environment from the registry), from a folder without it.
cd "$work"
found=$("$wine" cmd /c 'for %i in (cellscale.exe) do @echo %~$PATH:i' | tr -d '\r')
[ "$found" = "${folder_windows}cellscale.exe" ] || fail "cmd finds cellscale.exe through PATH as '$found'"
[ "$("$wine" cmd /c cellscale --version)" = "cellscale $version"$'\r' ] ||
  fail "cmd /c cellscale --version does not show cellscale $version"

# The installed tool scales the installed example grid to the Linux build's
# bytes: a text grid with CR LF line ends, a double grid the same bytes.
example="${folder_windows}examples\\elevation.asc"
"$wine" cmd /c cellscale --factor 2.5 --quiet "$example" scaled.asc >/dev/null
"$wine" cmd /c cellscale --factor 2.5 --quiet --format double "$example" scaled.dbl >/dev/null
"$linux_tool" --factor 2.5 --quiet "$unpacked/examples/elevation.asc" linux.asc
"$linux_tool" --factor 2.5 --quiet --format double "$unpacked/examples/elevation.asc" linux.dbl
[ -s linux.asc ] && ! grep -q $'\r' linux.asc || fail "the Linux text output is empty or holds CR"
sed 's/$/\r/' linux.asc >linux-crlf.asc
cmp scaled.asc linux-crlf.asc || fail "the installed tool's text grid differs from the Linux one (with CR LF)"
cmp scaled.dbl linux.dbl || fail "the installed tool's double grid differs from the Linux one"
cd - >/dev/null

echo "installer check: msiexec /x $(basename "$msi") /qn"
msiexec /x "$msi" || fail "msiexec /x failed: $(cat "$work/msiexec.log")"
installed=()
check_nothing_left "$code"

# A later version of the same files (the same upgrade code, a new product
# code) installed over this one takes its place: one entry in "Apps", the
# folder once on PATH. This one installed over that is refused.
IFS=. read -r major minor patch <<<"$version"
later_version="$major.$minor.$((patch + 1))"
later="$work/cellscale-$later_version-win64.msi"
cmake -DSTAGE="$unpacked" -DVERSION="$later_version" -DOUTPUT="$later" -P cmake/make_msi.cmake
later_code=$(product_code "$later")
[ -n "$later_code" ] && [ "$later_code" != "$code" ] || fail "the later package has product code '$later_code'"

echo "installer check: $version, then $later_version over it"
msiexec /i "$msi" || fail "msiexec /i failed: $(cat "$work/msiexec.log")"
installed+=("$msi")
msiexec /i "$later" || fail "msiexec /i of $later_version over $version failed: $(cat "$work/msiexec.log")"
installed+=("$later")
check_apps_entry "$later_code" "$later_version"
! registry_key_exists "$uninstall_key\\$code" || fail "$version is still in Apps after the upgrade to $later_version"
check_installed_files
check_path 1

echo "installer check: $version over $later_version (refused)"
! msiexec /i "$msi" || fail "$version installed over $later_version"
! registry_key_exists "$uninstall_key\\$code" || fail "$version is in Apps after it was refused"
check_apps_entry "$later_code" "$later_version"
check_installed_files
check_path 1

msiexec /x "$later" || fail "msiexec /x of $later_version failed: $(cat "$work/msiexec.log")"
installed=()
check_nothing_left "$code" "$later_code"
echo "installer check: passed"
