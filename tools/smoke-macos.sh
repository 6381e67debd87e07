#!/usr/bin/env bash
# A first run on a Mac, by a person: --check, then, if an application whose bundle identifier
# starts with com.ableton.live is playing, a 3 s recording whose lines and file it checks with
# afinfo. Prints what it found; exits 1 when a check failed. Needs the tool built with the macos
# preset (README, macOS) and the capture permission for the terminal app that runs it. Written
# from the documentation: it has not run here, where there is no Mac.
set -uo pipefail
cd "$(dirname "$0")/.."
tool=${SORVANEL_TOOL:-build/macos/src/SorvanelAudio}
[ -x "$tool" ] || { echo "smoke: no tool at $tool (cmake --preset macos && cmake --build --preset macos)"; exit 1; }

failures=0
check() { # check DESCRIPTION COMMAND...
    if "${@:2}"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

echo "== $tool --check"
line=$("$tool" --check); status=$?
echo "$line (status $status)"
check "--check answers with status 0" test "$status" -eq 0
check "--check's line is the check line" grep -Eq '^\{"authorized":(true|false),"capture_source":"Ableton Live application audio"\}$' <<<"$line"
if ! grep -q '"authorized":true' <<<"$line"; then
    echo "smoke: capture is not authorized: grant Screen Recording to this terminal app, reopen it, run again"
    exit 1
fi

# The running applications' bundle identifiers, from Launch Services (no permission needed).
playing=$(lsappinfo list 2>/dev/null | grep -io 'bundleID="com\.ableton\.live[^"]*"' | cut -d'"' -f2 || true)
if [ -z "$playing" ]; then
    echo "smoke: no application whose bundle identifier starts with com.ableton.live runs: start Ableton Live, play something, run again"
    exit "$((failures > 0))"
fi
echo "== running: $(tr '\n' ' ' <<<"$playing")"

out=$(mktemp -d "${TMPDIR:-/tmp}/sorvanel-smoke.XXXXXX")/take.m4a
echo "== $tool $out 3"
lines=$("$tool" "$out" 3); status=$?
echo "$lines"
echo "(status $status)"
check "the recording ends with status 0" test "$status" -eq 0
check "two lines: ready, then complete" test "$(wc -l <<<"$lines" | tr -d ' ')" -eq 2
check "the ready line names the application" grep -Eq '^\{"applications":\["[^"]*"(,"[^"]*")*\],"source":"Ableton Live","type":"ready"\}$' <<<"$(sed -n 1p <<<"$lines")"
complete=$(sed -n 2p <<<"$lines")
check "the complete line has 2 channels at 48000 Hz" grep -q '"channels":2,.*"sample_rate":48000' <<<"$complete"
check "the complete line has a signal" grep -q '"has_signal":true' <<<"$complete"
if [ -f "$out" ]; then
    info=$(afinfo "$out")
    echo "$info"
    check "afinfo: an M4A file" grep -q "File type ID:   m4af" <<<"$info"
    check "afinfo: AAC, 2 channels, 48000 Hz" grep -Eq "2 ch, +48000 Hz, '?aac" <<<"$info"
    check "afinfo: about 3 s long" grep -Eq "estimated duration: (2\.9|3\.0)" <<<"$info"
    check "afinfo: about 192000 bit/s" grep -Eq "bit rate: 19[0-9]{4} bits per second" <<<"$info"
else
    check "the file exists" false
fi
echo "smoke: $failures check(s) failed; the file is $out"
exit "$((failures > 0))"
