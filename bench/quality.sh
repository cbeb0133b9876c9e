#!/usr/bin/env bash
# Quality benchmark: both reference models, a jitter-corrected bicubic upscale
# (evaluate bicubic) and a plain spatial resize (oiiotool --resize) on one
# scene of each kind that scenegen makes, against its supersampled ground
# truth. Figures after the first 8 frames of history, and for the long kinds
# of natural-looking content (128 frames) over their last half:
#   PSNR      mean over the frames, dB (HDR kind: of x / (1 + x), others: of values clamped to [0, 1])
#   SSIM      mean over the frames, of the luminance
#   temporal  RMS of the frame-to-frame change of the output minus that of the truth (lower is steadier)
#   region    PSNR around the moving object or shadow, where the kind has one
#   nonfinite output pixels that are infinite or NaN
#   shift     the largest length over the same frames of the shift that best aligns the output with the
#             truth, output pixels (drift)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

short_kinds=(default static slow-pan fast-pan disocclusion hdr thin-lines moving-shadow)
long_kinds=(photo-pan photo-zoom photo-object)
kinds=("${short_kinds[@]}" "${long_kinds[@]}")
methods=(kpss splat bicubic resize)
long_frames=128

# The reference upscaler's figures before the work on its quality, measured
# with this script: mean PSNR over the kinds and the temporal error of the
# kinds whose stability must not get worse.
before_mean_psnr=27.59
before_temporal_static=0.018
before_temporal_thin_lines=0.012

field() { sed -E "s/.* $1=([^ ]+).*/\1/"; }

is_long() { [[ " ${long_kinds[*]} " == *" $1 "* ]]; }

declare -A psnr ssim temporal region nonfinite drift_of
for kind in "${kinds[@]}"; do
  scene="$work/$kind"
  frames=24
  is_long "$kind" && frames=$long_frames
  "$bin/scenegen" "$scene" --kind "$kind" --frames "$frames" > /dev/null
  size=$(oiiotool --info "$scene/ground_truth/0000.exr" | sed -E 's/.*: *([0-9]+) x *([0-9]+),.*/\1 \2/')
  read -r width height <<< "$size"
  for model in kpss splat; do
    "$bin/inference_tool" --config "$scene/scene.ini" --network_name "$model" --output_path "$work/$kind-$model" > /dev/null
  done
  "$bin/evaluate" bicubic "$scene/color" "$scene/jitter" "$work/$kind-bicubic" --width "$width" --height "$height"
  mkdir -p "$work/$kind-resize"
  for input in "$scene"/color/*.exr; do
    oiiotool "$input" --resize "${width}x${height}" -o "$work/$kind-resize/$(basename "$input")"
  done

  options=(--skip 8)
  is_long "$kind" && options=(--skip $((long_frames / 2)))
  [ "$kind" = hdr ] && options+=(--tone-map)
  [ -f "$scene/regions.txt" ] && options+=(--regions "$scene/regions.txt")
  for method in "${methods[@]}"; do
    summary=$("$bin/evaluate" frames "$work/$kind-$method" "$scene/ground_truth" "${options[@]}" | tail -n 1 || true)
    psnr[$kind,$method]=$(field mean_PSNR <<< "$summary")
    ssim[$kind,$method]=$(field mean_SSIM <<< "$summary")
    temporal[$kind,$method]=$(field temporal_error <<< "$summary")
    region[$kind,$method]=$(field region_PSNR <<< "$summary")
    nonfinite[$kind,$method]=$(field non_finite <<< "$summary")
    drift_of[$kind,$method]=$(field max_shift <<< "$summary")
  done
done

echo "quality: 320x180 to 640x360; 24 frames, figures after 8 frames; ${long_kinds[*]}: $long_frames frames, figures over the last half"
printf '  %-14s %-8s %8s %7s %9s %8s %10s %7s\n' kind method PSNR SSIM temporal region nonfinite shift
for kind in "${kinds[@]}"; do
  for method in "${methods[@]}"; do
    printf '  %-14s %-8s %8s %7s %9s %8s %10s %7s\n' "$kind" "$method" "${psnr[$kind,$method]}" \
      "${ssim[$kind,$method]}" "${temporal[$kind,$method]}" "${region[$kind,$method]}" "${nonfinite[$kind,$method]}" \
      "${drift_of[$kind,$method]}"
  done
done

# The targets, each with its verdict.
verdict() { if [ "$1" = 1 ]; then echo "met"; else echo "MISSED"; fi; }
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { print (a == "-" || b == "-" || a + 0 >= b + 0) ? 1 : 0 }'; }
verdicts() {
  for model in kpss splat; do
    mean=$(for kind in "${short_kinds[@]}"; do echo "${psnr[$kind,$model]}"; done | awk '{ s += $1 } END { printf "%.2f", s / NR }')
    echo "$model: mean PSNR over the short kinds $mean dB, $(awk -v a="$mean" -v b="$before_mean_psnr" 'BEGIN { printf "%+.2f", a - b }') dB" \
      "against the reference before ($before_mean_psnr dB; target +2): $(verdict "$(at_least "$mean" "$(awk -v b="$before_mean_psnr" 'BEGIN { print b + 2 }')")")"
    below=()
    for kind in "${kinds[@]}"; do
      [ "$(at_least "${psnr[$kind,$model]}" "${psnr[$kind,bicubic]}")" = 1 ] || below+=("$kind")
      [ "$(at_least "${region[$kind,$model]}" "${region[$kind,bicubic]}")" = 1 ] || below+=("$kind (region)")
    done
    echo "$model: at least the bicubic upscale in every kind and region: $(verdict $([ ${#below[@]} -eq 0 ] && echo 1 || echo 0))${below[*]:+ (below in: ${below[*]})}"
    steady=$(awk -v s="${temporal[static,$model]}" -v t="${temporal[thin-lines,$model]}" \
      -v bs="$before_temporal_static" -v bt="$before_temporal_thin_lines" 'BEGIN { print (s <= bs && t <= bt) ? 1 : 0 }')
    echo "$model: temporal error static ${temporal[static,$model]} (before $before_temporal_static)," \
      "thin lines ${temporal[thin-lines,$model]} (before $before_temporal_thin_lines), no worse: $(verdict "$steady")"
    drift=$(awk -v d="${drift_of[photo-pan,$model]}" 'BEGIN { print (d != "-" && d + 0 < 0.05) ? 1 : 0 }')
    echo "$model: photo-pan largest shift ${drift_of[photo-pan,$model]} output pixels (target below 0.05): $(verdict "$drift")"
    ahead=$(awk -v a="${psnr[photo-pan,$model]}" -v b="${psnr[photo-pan,bicubic]}" 'BEGIN { printf "%+.2f", a - b }')
    echo "$model: photo-pan PSNR over the last half $ahead dB against the bicubic upscale (target +1): $(verdict "$(at_least "${psnr[photo-pan,$model]}" "$(awk -v b="${psnr[photo-pan,bicubic]}" 'BEGIN { print b + 1 }')")")"
    total=0
    for kind in "${kinds[@]}"; do total=$((total + ${nonfinite[$kind,$model]})); done
    echo "$model: non-finite output pixels $total (target 0): $(verdict $([ "$total" -eq 0 ] && echo 1 || echo 0))"
  done
}
verdicts | tee "$work/verdicts"

# A missed target fails the benchmark, as a failed check would.
missed=$(grep -c MISSED "$work/verdicts" || true)
[ "$missed" -eq 0 ] || { echo "quality: $missed target(s) missed"; exit 1; }
