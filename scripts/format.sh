#!/usr/bin/env bash
# Formats the tracked C++ sources with the tree's .clang-format, or with --check fails (listing the
# places) when any of them is not formatted. Generated files ("do not edit" near the top) are left
# as their generator writes them.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(-i)
[ "${1:-}" = "--check" ] && mode=(--dry-run -Werror)
files=()
while IFS= read -r f; do
  grep -qi 'do not edit' <(head -n 5 "$f") || files+=("$f")  # no pipe: grep -q ends early
done < <(git ls-files '*.cpp' '*.h')
clang-format "${mode[@]}" "${files[@]}"
