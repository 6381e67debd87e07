#!/usr/bin/env bash
# Builds the libFuzzer target with clang and runs it for a bounded time (default 60 s) on seeds of
# AAC M4A and float WAV made with ffmpeg. Usage: fuzz/metrics/run.sh [seconds]
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-60}"
work="$root/build/fuzz-metrics"
mkdir -p "$work/corpus" "$work/seeds"

ffmpeg_libs=$(pkg-config --cflags --libs libavformat libavcodec libswresample libavutil)
# shellcheck disable=SC2086
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -I"$root/src" \
    "$root/fuzz/metrics/metrics_fuzz.cc" \
    "$root/src/analysis/audio_metrics.cc" \
    "$root/src/platform/ffmpeg/ffmpeg_audio_file.cc" \
    "$root/src/platform/ffmpeg/ffmpeg_common.cc" \
    $ffmpeg_libs -o "$work/metrics_fuzz"

if [ ! -s "$work/seeds/tone.m4a" ]; then
    quiet=(-nostdin -v error -y)
    ffmpeg "${quiet[@]}" -f lavfi -i "sine=f=440:d=0.1:r=48000" -ac 2 -c:a aac -b:a 192k \
        -movie_timescale 48000 -f ipod "$work/seeds/tone.m4a"
    ffmpeg "${quiet[@]}" -f lavfi -i "sine=f=440:d=0.05:r=48000" -ac 2 -c:a pcm_f32le \
        "$work/seeds/tone.wav"
    ffmpeg "${quiet[@]}" -f lavfi -i "sine=f=440:d=0.05:r=44100" -ac 1 -c:a pcm_s16le \
        "$work/seeds/tone16.wav"
fi

cd "$work"
exec ./metrics_fuzz -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 corpus seeds
