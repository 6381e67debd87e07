#!/usr/bin/env bash
# The README's demo: installs what is missing, builds the release configuration, and records 5 seconds of a
# stand-in "Ableton Live" (the project's test-tone player tagged com.ableton.live) into demo.m4a, or demo-N.m4a
# when that exists. Uses the sound server that is running, else starts a private PulseAudio with a null sink.
# Standard output carries only the tool's two lines; everything else goes to standard error. Exits with the
# tool's status. Stops exactly what it started, never the user's own server.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

say() { echo "demo: $*" >&2; }

build=$repo/build/release
tool=$build/src/SorvanelAudio
app_id=com.ableton.live
# --- the stand-in "Ableton Live": the project's tagged test-tone player -----------------------------------
player_target=sorvanel-tone-player
player=("$build/tools/tone_player/sorvanel-tone-player" --app-id "$app_id" --frequency 440 --amplitude 0.5)
# -----------------------------------------------------------------------------------------------------------

bash tools/install-deps.sh >&2
cmake --preset release >&2
# Only what the demo runs: the tool and the player.
cmake --build --preset release -j"$(nproc)" --target SorvanelAudio "$player_target" >&2

work=$(mktemp -d "${TMPDIR:-/tmp}/sorvanel-demo.XXXXXX")
server_pid=
player_pid=
cleanup() {
    local pid
    for pid in "$player_pid" "$server_pid"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The user's client settings, with autospawn off: probing must not leave a server running that nobody stops.
{
    for conf in /etc/pulse/client.conf "${XDG_CONFIG_HOME:-$HOME/.config}/pulse/client.conf"; do
        if [ -r "$conf" ]; then cat "$conf"; echo; fi
    done
    echo "autospawn = no"
} >"$work/client.conf"
export PULSE_CLIENTCONFIG=$work/client.conf

# Polls a command until it succeeds, at most $1 seconds; fails early when a process started here died.
wait_until() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    local pid
    until "$@"; do
        for pid in "$server_pid" "$player_pid"; do
            if [ -n "$pid" ] && ! kill -0 "$pid" 2>/dev/null; then return 1; fi
        done
        if [ "$SECONDS" -ge "$deadline" ]; then return 1; fi
        sleep 0.05
    done
}

private=no
if pactl info >/dev/null 2>&1; then
    say "using the running sound server: $(pactl info 2>/dev/null | sed -n 's/^Server Name: //p')"
else
    private=yes
    say "no sound server reachable: starting a private PulseAudio with a null sink"
    mkdir -p "$work/runtime" "$work/home"
    chmod 700 "$work/runtime"
    socket=$work/runtime/native
    cat >"$work/default.pa" <<EOF
load-module module-native-protocol-unix auth-anonymous=1 socket=$socket
load-module module-null-sink sink_name=sorvanel_demo sink_properties=device.description=Sorvanel-demo
EOF
    # Its own runtime folder and home, and no session bus: it must not meet the user's session.
    env HOME="$work/home" XDG_RUNTIME_DIR="$work/runtime" XDG_CONFIG_HOME="$work/home/.config" \
        DBUS_SESSION_BUS_ADDRESS="unix:path=$work/no-bus" \
        pulseaudio -n -F "$work/default.pa" --daemonize=no --exit-idle-time=-1 --disallow-exit \
        --use-pid-file=no --system=no --log-target="file:$work/pulseaudio.log" &
    server_pid=$!
    export PULSE_SERVER=unix:$socket
    if ! wait_until 10 pactl info >/dev/null 2>&1; then
        say "the private PulseAudio did not start:"
        cat "$work/pulseaudio.log" >&2 || true
        exit 1
    fi
fi

player_stream_listed() {
    pactl list sink-inputs 2>/dev/null | grep -q "application.id = \"$app_id\""
}

# A fresh null sink renders 2 s ahead when its first stream starts, and a per-stream monitor hears nothing
# until it has caught up: wait until it reports a small latency again.
null_sink_settled() {
    local latency
    latency=$(pactl list sinks 2>/dev/null | sed -n 's/^[[:space:]]*Latency: \([0-9]*\) usec.*/\1/p' | head -n 1)
    [ -n "$latency" ] && [ "$latency" -lt 100000 ]
}

say "starting the stand-in \"Ableton Live\" (a 440 Hz tone tagged $app_id)"
PULSE_PROP="application.id=$app_id" "${player[@]}" >/dev/null 2>&1 &
player_pid=$!
if ! wait_until 10 player_stream_listed; then
    say "the stand-in player's stream did not appear"
    exit 1
fi
if [ "$private" = yes ] && ! wait_until 5 null_sink_settled; then
    say "the private null sink did not settle; recording anyway"
fi

output=demo.m4a
n=1
while [ -e "$output" ]; do
    output=demo-$n.m4a
    n=$((n + 1))
done
say "recording 5 seconds into $output"
status=0
"$tool" "$output" 5 || status=$?
exit $status
