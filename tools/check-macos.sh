#!/usr/bin/env bash
# Checks the macOS build without a Mac: cross-compiles and links the tool and its unit tests for
# macOS 13, universal (arm64 and x86_64) as the macos preset builds them on a Mac (clang-16,
# ld64.lld-16, llvm-lipo-16, preset macos-cross), and checks what came out.
# Needs Apple's MacOSX13.0.sdk, which is never part of this repository: MACOS_SDK names it
# (default /opt/macos-sdk/MacOSX13.0.sdk). Without one it says so and checks nothing.
set -euo pipefail
cd "$(dirname "$0")/.."

sdk=${MACOS_SDK:-/opt/macos-sdk/MacOSX13.0.sdk}
if [ ! -d "$sdk/System/Library/Frameworks/ScreenCaptureKit.framework" ]; then
    echo "check-macos: no macOS SDK at $sdk (set MACOS_SDK); the macOS build was NOT checked"
    exit 0
fi
for tool in clang++-16 ld64.lld-16 llvm-objdump-16 llvm-lipo-16 llvm-libtool-darwin-16 file; do
    if ! command -v "$tool" >/dev/null; then
        echo "check-macos: $tool is missing (tools/install-deps.sh installs it)" >&2
        exit 1
    fi
done
export MACOS_SDK=$sdk

# Host settings must not reach the cross build (the toolchain unsets them per command as well).
build=(env -u LIBRARY_PATH -u CPATH)
jobs=$(($(nproc) < 2 ? $(nproc) : 2))
echo "== macOS universal (arm64, x86_64) cross build against $sdk"
log=$(mktemp)
slice=$(mktemp)
trap 'rm -f "$log" "$slice"' EXIT
"${build[@]}" cmake --preset macos-cross >"$log" 2>&1 || { cat "$log"; exit 1; }
"${build[@]}" cmake --build --preset macos-cross -j "$jobs" 2>&1 | tee -a "$log"

failures=0
fail() {
    echo "check-macos: $*" >&2
    failures=$((failures + 1))
}

# Warnings are errors in the compiler and the linker already; CMake's own would show here.
if grep -qi 'warning' "$log"; then
    fail "the build printed warnings:"
    grep -i 'warning' "$log" >&2
else
    echo "ok   no warning in the configuration or the build"
fi

# Both slices are there, and each is an executable of its own kind.
expect_universal_executable() {
    local archs arch kind
    archs=$(llvm-lipo-16 -archs "$1" 2>&1) || { fail "$1 is not a Mach-O file: $archs"; return; }
    for arch in arm64 x86_64; do
        if ! grep -qw "$arch" <<<"$archs"; then
            fail "$1 has no $arch slice (it has: $archs)"
            continue
        fi
        llvm-lipo-16 -thin "$arch" "$1" -output "$slice"
        kind=$(file -b "$slice")
        case "$kind" in
            "Mach-O 64-bit $arch executable"*) echo "ok   $1: Mach-O 64-bit $arch executable" ;;
            *) fail "the $arch slice of $1 is not a Mach-O 64-bit $arch executable: $kind" ;;
        esac
    done
}

dir=build/macos-cross
tool=$dir/src/SorvanelAudio
expect_universal_executable "$tool"
tests=(runtime/runtime_test lines/lines_test invocation/invocation_test driver/driver_test capture/audio_sink_test
       capture/recording_run_test analysis/analysis_test contract/writer_contract_test
       contract/reader_contract_test contract/capture_contract_test)
for test in "${tests[@]}"; do expect_universal_executable "$dir/tests/$test"; done

dylibs=$(llvm-objdump-16 --macho --arch=all --dylibs-used "$tool")
for framework in ScreenCaptureKit AVFoundation AVFAudio CoreMedia CoreGraphics Foundation; do
    if grep -q "/$framework.framework/" <<<"$dylibs"; then
        echo "ok   links $framework"
    else
        fail "the tool does not link $framework"
    fi
done
if grep -Eiq 'libav|libsw|ffmpeg|libpulse' <<<"$dylibs"; then
    fail "the tool links a Linux library: $(grep -Ei 'libav|libsw|ffmpeg|libpulse' <<<"$dylibs")"
else
    echo "ok   nothing from FFmpeg or libpulse"
fi

if [ "$failures" -ne 0 ]; then
    echo "check-macos: $failures check(s) failed" >&2
    exit 1
fi
echo "check-macos: the tool and ${#tests[@]} unit tests cross-build and link for macOS 13, arm64 and x86_64"
