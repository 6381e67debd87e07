#!/usr/bin/env bash
# Installs from Debian's packages what the build, the tests and the demo need. Idempotent: skips
# what is present, runs apt-get update once and only when something is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config git
    libasio-dev libgtest-dev libgmock-dev nlohmann-json3-dev
    libpulse-dev libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
    pulseaudio pulseaudio-utils
    pipewire pipewire-pulse wireplumber dbus
    ffmpeg sox python3 clang libclang-rt-14-dev locales
    # tools/valgrind.sh
    valgrind
    # The macOS cross build that tools/check-macos.sh runs (Apple's SDK comes from elsewhere).
    clang-16 lld-16 llvm-16 file
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: every package is present"
else
    echo "install-deps: installing ${missing[*]}"
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A decimal-comma locale, so the tests can show that durations ignore the environment's locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
    "${sudo[@]}" localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
