#!/usr/bin/env bash
# Runs every benchmark; each prints its figures with its target.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
bash bench/quality.sh "$build"
