#!/usr/bin/env bash
# Memcheck on the release build's three everyday paths: the usage line, "File exists", and a 2 s
# recording of the tagged test-tone player on a private PulseAudio. Fails on any memory error or
# definite leak. Needs the release build (cmake --preset release && cmake --build --preset release).
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v valgrind >/dev/null; then
    echo "valgrind.sh: valgrind is missing (bash tools/install-deps.sh installs it)" >&2
    exit 1
fi
build=$PWD/build/release
tool=$build/src/SorvanelAudio
player=$build/tools/tone_player/sorvanel-tone-player
work=$(mktemp -d "${TMPDIR:-/tmp}/sorvanel-valgrind.XXXXXX")
player_pid=
cleanup() {
    if [ -n "$player_pid" ]; then kill "$player_pid" 2>/dev/null || true; fi
    exec {server[1]}>&- 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

# The tool points its standard error at /dev/null, so memcheck writes to a file.
# check NAME EXPECTED-STATUS ARGS...: fails on a memory error, a definite leak, or another status.
check() {
    local name=$1 expected=$2
    shift 2
    local status=0
    valgrind --log-file="$work/$name.log" --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite "$tool" "$@" >"$work/$name.out" || status=$?
    printf '%-12s status %-3s %s\n' "$name" "$status" "$(head -c 160 "$work/$name.out")"
    grep -E 'ERROR SUMMARY|definitely lost' "$work/$name.log" | sed 's/^==[0-9]*== */    /'
    [ "$status" -eq "$expected" ]
}

coproc server { python3 tests/e2e/sound_server_launcher.py pulseaudio; }
while read -r kind rest <&"${server[0]}"; do
    case $kind in
        set) export "${rest?}" ;;
        unset) unset "$rest" ;;
        unavailable) echo "no private PulseAudio here: $rest" >&2; exit 1 ;;
        ready) break ;;
    esac
done
"$player" --app-id com.ableton.live --frequency 440 --amplitude 0.5 >/dev/null 2>&1 &
player_pid=$!
sleep 2.5  # the player's stream is listed and a fresh null sink has caught up

touch "$work/exists.m4a"
failed=0
check usage 2 || failed=1
check file-exists 1 "$work/exists.m4a" 2 || failed=1
check recording 0 "$work/take.m4a" 2 || failed=1
exit $failed
