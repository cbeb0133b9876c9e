#!/usr/bin/env bash
# The demo: what the tool is for. It renders a scene of natural-looking
# content (detail at every scale, sharp edges, an object swinging in front
# of a textured background, with depth), runs it through two network models
# of the reference library with their internal resources dumped, and
# compares them: each with the ground truth and with a spatial resize of the
# same inputs, and the two models' dumps with each other, resource by
# resource. It prints a summary and the paths of the two report pages.
# Usage: demo.sh [BUILD_DIR] [DEMO_DIR] [FRAMES] (24 frames unless given; the
# figures skip the first 8, so more than 8).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bin="$build/bin"
demo=${2:-"$build/demo"}
frames=${3:-24}
scene="$demo/scene"
models=(kpss splat)
# The dumps cover the quarter of the frame around its centre, where the
# object swings: enough to see the models differ, small enough to be quick.
region=(--dump_roi_size_normalized 0.25 --dump_roi_x0_normalized 0.375 --dump_roi_y0_normalized 0.375)

rm -rf "$demo"
echo "Rendering a scene of $frames frames (320x180, ground truth at 640x360)..."
"$bin/scenegen" "$scene" --kind photo-object --width 320 --height 180 --frames "$frames" --truth-samples 3 > /dev/null
for model in "${models[@]}"; do
  echo "Upscaling it with the $model model, dumping its resources..."
  "$bin/inference_tool" --config "$scene/scene.ini" --output_path "$demo/$model" --network_name "$model" \
    --do_dump "${region[@]}" > "$demo/$model.log"
done

# The same inputs resized spatially, for comparison.
mkdir -p "$demo/resize"
size=$(oiiotool --info "$scene/ground_truth/0000.exr" | sed -E 's/.*: *([0-9]+) x *([0-9]+),.*/\1x\2/')
for input in "$scene"/color/*.exr; do
  oiiotool "$input" --resize "$size" -o "$demo/resize/$(basename "$input")"
done

methods=("${models[@]}" resize)
labels=$(IFS=,; echo "${methods[*]}")
"$bin/evaluate" report "$demo/report.html" "${methods[@]/#/$demo/}" --truth "$scene/ground_truth" --skip 8 \
  --labels "$labels" > /dev/null
"$bin/evaluate" report "$demo/dumps.html" --dumps "$demo/${models[0]}" "$demo/${models[1]}" > /dev/null

field() { sed -E "s/.* $1=([^ ]+).*/\1/"; }
echo
echo "Against the ground truth, after the first 8 frames of history:"
for method in "${methods[@]}"; do
  summary=$("$bin/evaluate" frames "$demo/$method" "$scene/ground_truth" --skip 8 | tail -n 1)
  printf '  %-6s PSNR %s dB, temporal error %s\n' "$method" "$(field mean_PSNR <<< "$summary")" \
    "$(field temporal_error <<< "$summary")"
done

echo "The resources whose dumps differ most between ${models[0]} and ${models[1]} (largest difference):"
{ "$bin/evaluate" dumps "$demo/${models[0]}" "$demo/${models[1]}" || true; } \
  | awk '/^differs: / {
      split($2, parts, "/"); resource = parts[1] ~ /^step_/ ? parts[2] : parts[1]
      value = $NF; sub(/^max_difference=/, "", value)
      if (!(resource in largest) || value + 0 > largest[resource]) largest[resource] = value + 0
    }
    END { for (r in largest) printf "%s %g\n", r, largest[r] }' \
  | sort -k2,2 -g -r | head -n 3 | awk '{ printf "  %-24s %s\n", $1, $2 }'

echo
echo "Upscale report (${labels//,/, } against the ground truth): $(cd "$demo" && pwd)/report.html"
echo "Dump report (${models[0]} against ${models[1]}, resource by resource): $(cd "$demo" && pwd)/dumps.html"
