#!/usr/bin/env bash
# Runs every session that README.md and the manual page show, and fails where
# the output shown is not the output the built tool gives, so that the
# documents cannot drift from the tool.
#
#   check-doc-sessions.sh TOOL_FOLDER EXAMPLES_FOLDER DOCUMENT...
#
# A session is a block of a Markdown document (a fenced block) or of a manual
# page (between .EX and .EE) whose first line begins with "$ ". Each line that
# begins with "$ " is a command, run by bash; a command whose line ends in a
# backslash goes on in the next line, shown after "> ". The other lines are
# the output the commands before them write, standard output and standard
# error together. Each session runs on its own in a fresh copy of
# EXAMPLES_FOLDER, with the tool of TOOL_FOLDER first on PATH, no standard
# input, LC_ALL=C.UTF-8 and TZ=UTC.
#
# A comment before a session says what it needs, where the machine or the
# tool may lack it: "<!-- session needs: gdalinfo -->" in Markdown,
# '.\" session needs: --output-dir' in a manual page. A word that begins with
# "--" is an option the tool's --help must name, any other word a program on
# PATH; a session whose needs are missing is skipped and said to be.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: check-doc-sessions.sh TOOL_FOLDER EXAMPLES_FOLDER DOCUMENT..." >&2; exit 2; }
tool_folder=$(realpath "$1")
examples=$(realpath "$2")
shift 2
[ -x "$tool_folder/cellscale" ] || { echo "check-doc-sessions: no cellscale in $tool_folder" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/sessions"

# Writes each session of a document as sessions/N.txt (its lines as shown),
# with sessions/N.where (document:line) and sessions/N.needs.
extract() {
  local document=$1 number=$2
  awk -v doc="$document" -v number="$number" -v out="$work/sessions" '
    function unescape(line) {
      # A manual page line as it reads: a backslash kept aside first, so that
      # "\en" stays a backslash and an n.
      gsub(/\\e|\\\\|\\\(rs/, "\001", line)
      gsub(/\\\(aq/, "\047", line)
      gsub(/\\\(dq/, "\"", line)
      gsub(/\\-/, "-", line)
      gsub(/\\f[BIRP]/, "", line)
      gsub(/\\&/, "", line)
      gsub(/\\ /, " ", line)
      gsub(/\001/, "\\", line)
      return line
    }
    function open_block(at) { inside = 1; count = 0; start = at }
    function close_block(  i, base) {
      inside = 0
      if (count == 0 || substr(lines[1], 1, 2) != "$ ") return
      number++
      base = out "/" sprintf("%04d", number)
      for (i = 1; i <= count; i++) print lines[i] > (base ".txt")
      close(base ".txt")
      print doc ":" start > (base ".where"); close(base ".where")
      printf "%s\n", needs > (base ".needs"); close(base ".needs")
      needs = ""
    }
    function add(line) { lines[++count] = line }
    manual && /^\.\\" session needs:/ { sub(/^\.\\" session needs: */, ""); needs = $0; next }
    !manual && /^ *<!-- session needs:.*-->$/ {
      line = $0; sub(/^ *<!-- session needs: */, "", line); sub(/ *-->$/, "", line); needs = line; next
    }
    manual && /^\.EX/ { open_block(FNR + 1); next }
    manual && /^\.EE/ { if (inside) close_block(); next }
    manual && inside && /^\./ { next }
    manual && inside { add(unescape($0)); next }
    !manual && /^ *```/ {
      if (inside) { close_block(); next }
      match($0, /^ */); indent = RLENGTH; open_block(FNR + 1); next
    }
    !manual && inside { add(substr($0, 1, indent) ~ /^ *$/ ? substr($0, indent + 1) : $0); next }
    END { print number }
  ' manual="$([[ $document == *.[1-9] ]] && echo 1 || echo 0)" "$document"
}

sessions=0
for document in "$@"; do
  sessions=$(extract "$document" "$sessions")
done
[ "$sessions" -gt 0 ] || { echo "check-doc-sessions: no session found in $*" >&2; exit 1; }

# What the tool's --help names, for the needs that are options.
help=$("$tool_folder/cellscale" --help)

failed=0 ran=0 skipped=0
for text in "$work"/sessions/*.txt; do
  base=${text%.txt}
  where=$(cat "$base.where")
  missing=()
  for need in $(cat "$base.needs"); do
    if [[ $need == --* ]]; then
      grep -q -- "$need\b" <<<"$help" || missing+=("$need (the tool has no such option yet)")
    else
      command -v "$need" >/dev/null 2>&1 || missing+=("$need")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "skipped: the session at $where needs ${missing[*]}"
    skipped=$((skipped + 1))
    continue
  fi

  # The session as a script: each command shown as the document shows it,
  # then run, with $? still the status of the command before.
  script="$base.sh"
  printf '%s\n' '__session_show() { local status=$?; printf "%s\n" "$@"; return "$status"; }' >"$script"
  shown=() command=""
  flush() {
    [ "${#shown[@]}" -gt 0 ] || return 0
    printf '__session_show %s\n%s\n' "$(printf '%q ' "${shown[@]}")" "$command" >>"$script"
    shown=() command=""
  }
  continued=false
  while IFS= read -r line; do
    if $continued && [[ $line == "> "* ]]; then
      shown+=("$line")
      command+=$'\n'"${line#> }"
    elif [[ $line == "\$ "* ]]; then
      flush
      shown=("$line")
      command=${line#\$ }
    else
      continued=false
      continue
    fi
    [[ $line == *\\ ]] && continued=true || continued=false
  done <"$text"
  flush

  session="$work/run"
  rm -rf "$session"
  mkdir "$session"
  cp -R "$examples/." "$session/"
  (cd "$session" && env PATH="$tool_folder:$PATH" LC_ALL=C.UTF-8 TZ=UTC HOME="$session" \
    timeout 60 bash --norc --noprofile "$script" </dev/null >"$base.out" 2>&1) || true
  ran=$((ran + 1))
  if ! diff -u --label "shown at $where" --label "real output" "$text" "$base.out" >"$base.diff"; then
    echo "check-doc-sessions: the session at $where gives another output:" >&2
    cat "$base.diff" >&2
    failed=$((failed + 1))
  fi
done
echo "check-doc-sessions: $ran sessions run, $failed of them with another output, $skipped skipped"
[ "$failed" -eq 0 ]
