#!/usr/bin/env bash
# Proves that only platform/ is specific to this machine: every source of the
# tool must compile against MinGW-w64's own d3d12.h and dxgi1_6.h.
set -euo pipefail
cd "$(dirname "$0")/.."

compiler=x86_64-w64-mingw32-g++-posix
command -v "$compiler" >/dev/null || compiler=x86_64-w64-mingw32-g++

# The third-party headers the tool uses, without the rest of /usr/include,
# whose C library headers must not shadow MinGW's.
includes=$(mktemp -d)
trap 'rm -rf "$includes"' EXIT
for dir in OpenEXR Imath CLI tbb oneapi; do
  ln -s "/usr/include/$dir" "$includes/$dir"
done

sources=$(git ls-files --cached --others --exclude-standard 'app/*.cpp' 'scene/*.cpp' 'gpu/*.cpp' 'upscaler/*.cpp' 'dump/*.cpp' 'run/*.cpp')
failed=0
for source in $sources; do
  if ! "$compiler" -std=c++20 -fsyntax-only -Wall -Wextra -Wshadow -D_WIN32_WINNT=0x0A00 \
      -I. -isystem "$includes" -isystem "$includes/OpenEXR" -isystem "$includes/Imath" "$source"; then
    echo "windows-check: $source does not compile against the Windows headers" >&2
    failed=1
  fi
done
[ "$failed" -eq 0 ] && echo "windows-check: $(echo "$sources" | wc -w) sources compile against the Windows headers"
exit "$failed"
