#!/usr/bin/env bash
# Builds the bench preset (the release build with the benchmarks) and runs the metrics
# benchmark; the generated files stay in build/bench/bench-media so later runs skip the encoding.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset bench >/dev/null
cmake --build --preset bench -j2 --target metrics_bench >/dev/null
mkdir -p build/bench/bench-media
exec build/bench/bench/metrics/metrics_bench build/bench/bench-media
