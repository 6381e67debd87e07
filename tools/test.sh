#!/usr/bin/env bash
# The README's test command: installs what is missing, builds the AddressSanitizer+UBSan and the
# ThreadSanitizer configurations and the release one with the benchmarks (warnings are errors in
# all three), runs every test under the first and the threaded ones under the second, then
# cross-builds the macOS tool and its unit tests where Apple's SDK is present, and lists every
# skipped case. Exits non-zero when any build, test or check fails, or when disturbances skipped
# more than a quarter of the audio-judging cases of a configuration.
set -euo pipefail
cd "$(dirname "$0")/.."

bash tools/install-deps.sh

jobs=$(nproc)
status=0
for preset in asan tsan bench; do
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
echo "== all tests, AddressSanitizer + UndefinedBehaviorSanitizer"
ctest --preset asan -j "$jobs" || status=1
echo "== threaded tests, ThreadSanitizer"
ctest --preset tsan -j "$jobs" || status=1
echo "== the macOS build, cross-compiled and linked (checks nothing where no SDK is present)"
bash tools/check-macos.sh || status=1
# Every skipped case with its reason, per configuration; fails when disturbances skipped more than
# a quarter of the cases that judge recorded audio.
for preset in asan tsan; do
    python3 tools/test_summary.py "build/$preset" || status=1
done
exit $status
