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
    ffmpeg sox python3 clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: everything is present"
    exit 0
fi

sudo=()
if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
echo "install-deps: installing ${missing[*]}"
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
