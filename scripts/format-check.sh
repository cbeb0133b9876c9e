#!/usr/bin/env bash
# Checks that every C++ source of the project is formatted as .clang-format
# says (the generated stubs excepted). `scripts/format-check.sh --fix`
# formats them instead.
set -euo pipefail
cd "$(dirname "$0")/.."

files=$(git ls-files '*.cpp' '*.h' '*.inc' | grep -v '^platform/d3d12/stubs.h$')
if [ "${1:-}" = --fix ]; then
  clang-format -i $files
  exit 0
fi
if ! clang-format --dry-run --Werror $files; then
  echo "format-check: run scripts/format-check.sh --fix" >&2
  exit 1
fi
echo "format-check: $(echo "$files" | wc -w) sources formatted"
