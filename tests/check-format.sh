#!/usr/bin/env bash
# Checks that every C++ file is laid out as .clang-format says: lists the files
# that clang-format would change, with the first of the changes, and exits
# non-zero if there is any. `clang-format -i <file>` fixes a file.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v clang-format >/dev/null 2>&1; then
  echo "format check: clang-format not found (Debian: apt-get install clang-format)" >&2
  exit 1
fi

if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  mapfile -t files < <(git ls-files '*.cpp' '*.h')
else
  mapfile -t files < <(find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print | sort)
fi

unformatted=()
for file in "${files[@]}"; do
  clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done

if [ "${#unformatted[@]}" -gt 0 ]; then
  changed=0
  for file in "${unformatted[@]}"; do
    lines=$(clang-format "$file" | diff "$file" - | grep -c '^<' || true)
    changed=$((changed + lines))
    echo "format check: $file ($lines lines to change)"
  done
  echo "format check: first changes:"
  for file in "${unformatted[@]}"; do clang-format "$file" | diff -u --label "$file" --label "$file (clang-format)" "$file" - || true; done | head -n 40
  echo "format check: ${#unformatted[@]} of ${#files[@]} files, $changed lines, not laid out as .clang-format says;" \
    "run clang-format -i on them" >&2
  exit 1
fi
echo "format check: ${#files[@]} files laid out as .clang-format says"
