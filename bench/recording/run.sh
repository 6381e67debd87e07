#!/usr/bin/env bash
# Builds the release preset's tool and tone player, then records against a private PulseAudio
# (add --pipewire for a private PipeWire stack too) beside FFmpeg and prints the figures.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake --preset release >/dev/null
cmake --build --preset release -j2 --target SorvanelAudio sorvanel-tone-player >/dev/null
exec python3 bench/recording/recording_bench.py "$@"
