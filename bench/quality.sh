#!/usr/bin/env bash
# Quality benchmark: mean PSNR against the ground truth, after the first 8
# frames, of both reference models and of a spatial resize of the same inputs
# (oiiotool), on a scene generated with scenegen's defaults.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$bin/scenegen" "$work/scene" > /dev/null
for model in kpss splat; do
  "$bin/inference_tool" --config "$work/scene/scene.ini" --network_name "$model" \
    --output_path "$work/$model" > /dev/null
done
mkdir -p "$work/resize"
size=$(oiiotool --info "$work/scene/ground_truth/0000.exr" | sed -E 's/.*: *([0-9]+) x *([0-9]+),.*/\1x\2/')
for input in "$work/scene"/color/*.exr; do
  oiiotool "$input" --resize "$size" -o "$work/resize/$(basename "$input")"
done

mean_psnr() { "$bin/evaluate" frames "$1" "$work/scene/ground_truth" --skip 8 | tail -n 1 | sed -E 's/.*mean_PSNR=([^ ]+).*/\1/'; }
kpss=$(mean_psnr "$work/kpss")
splat=$(mean_psnr "$work/splat")
resize=$(mean_psnr "$work/resize")
echo "quality: mean PSNR after 8 frames (target: both models at least 2 dB above the resize)"
difference() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%+.2f", a - b }'; }
printf '  kpss   %s dB (%s dB)\n' "$kpss" "$(difference "$kpss" "$resize")"
printf '  splat  %s dB (%s dB)\n' "$splat" "$(difference "$splat" "$resize")"
printf '  resize %s dB (oiiotool --resize %s)\n' "$resize" "$size"
