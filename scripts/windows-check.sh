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

# The build's Windows side: configured for Windows without the vendor's SDK,
# it must stop at once and say which setting names it.
configure=$(mktemp -d)
trap 'rm -rf "$includes" "$configure"' EXIT
if cmake -S . -B "$configure/build" -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_CXX_COMPILER="$compiler" \
    >"$configure/log" 2>&1; then
  echo "windows-check: a Windows configure went through without the upscaler library" >&2
  failed=1
elif ! grep -q -- "-DKAVO_SDK_DIR=" "$configure/log"; then
  cat "$configure/log" >&2
  echo "windows-check: a Windows configure without the upscaler library did not name KAVO_SDK_DIR" >&2
  failed=1
else
  echo "windows-check: a Windows configure without the vendor's SDK stops and names KAVO_SDK_DIR"
fi
exit "$failed"
