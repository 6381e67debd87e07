#!/usr/bin/env bash
# Builds the release preset and runs the metrics benchmark; the generated files stay in
# build/release/bench-media so later runs skip the encoding.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target metrics_bench >/dev/null
mkdir -p build/release/bench-media
exec build/release/bench/metrics/metrics_bench build/release/bench-media
