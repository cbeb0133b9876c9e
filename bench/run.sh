#!/usr/bin/env bash
# Runs every benchmark; each prints its figures with its target. Figures are
# ratios measured in the same run, as the machines are shared and noisy.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Every benchmark runs; a missed target in any fails the whole.
status=0
bash bench/quality.sh "$build" || status=1

echo
echo "Generating a 960x540 scene of 24 frames (performance quality: 1920x1080 output)..."
"$build/bin/scenegen" "$work/scene" --width 960 --height 540 --frames 24 --truth-samples 0 > /dev/null
"$build/bin/pipeline_bench" "$work/scene" --bin "$build/bin" --work "$work/bench" || status=1
exit $status
