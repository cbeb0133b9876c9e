#!/usr/bin/env bash
# The demo: generates a small synthetic scene, upscales it with the reference
# library and compares the result with the scene's ground truth and with a
# plain spatial resize of the same inputs, in numbers and on a report page.
# Usage: demo.sh [BUILD_DIR] [DEMO_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bin="$build/bin"
demo=${2:-"$build/demo"}
scene="$demo/scene"

rm -rf "$demo"
"$bin/scenegen" "$scene" --width 320 --height 180 --frames 24 --exposure
"$bin/inference_tool" --config "$scene/scene.ini" --output_path "$demo/upscaled" --network_name kpss \
  | grep -v '^Loading: '

# The same inputs resized spatially, for comparison.
mkdir -p "$demo/resized"
size=$(oiiotool --info "$scene/ground_truth/0000.exr" | sed -E 's/.*: *([0-9]+) x *([0-9]+),.*/\1x\2/')
for input in "$scene"/color/*.exr; do
  oiiotool "$input" --resize "$size" -o "$demo/resized/$(basename "$input")"
done

echo
echo "Quality against the ground truth, after the first 8 frames of history:"
echo "  reference upscaler: $("$bin/evaluate" frames "$demo/upscaled" "$scene/ground_truth" --skip 8 | tail -n 1)"
echo "  spatial resize:     $("$bin/evaluate" frames "$demo/resized" "$scene/ground_truth" --skip 8 | tail -n 1)"
"$bin/evaluate" report "$demo/report.html" "$demo/upscaled" "$demo/resized" --truth "$scene/ground_truth" --skip 8 \
  > /dev/null

echo
echo "Upscaled frames: $(cd "$demo/upscaled" && pwd)"
echo "Report (A: the reference upscaler, B: the spatial resize): $(cd "$demo" && pwd)/report.html"
