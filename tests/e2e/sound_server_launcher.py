"""Starts one private sound server for a test program in another language (the C++ backend tests).

    python3 sound_server_launcher.py pulseaudio|pulseaudio-rewinds|pipewire [--tcp-port PORT]

It speaks in lines on stdout:
    unavailable REASON   the server cannot run here (then it exits)
    set KEY=VALUE        the caller sets this variable to reach the server, and only it
    unset KEY            the caller removes this variable
    sink NAME            the null sink that players use
    folder PATH          the temporary folder that holds all of the server's files
    ready                the server answers
and reads commands on stdin:
    kill                 kill the server abruptly, as a crash would; answers "killed"
    settle               wait until a sink that renders ahead has caught up; answers "settled"
    (end of input)       stop the server and everything started with it, then exit
The caller's death closes stdin, so the server never outlives it; SIGTERM stops it the same way.
"""

import argparse
import os
import signal
import sys

from pipewire_server import PipeWireServer
from sound_server import PulseAudioRewindingServer, PulseAudioServer


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kind", choices=("pulseaudio", "pulseaudio-rewinds", "pipewire"))
    parser.add_argument("--tcp-port", type=int, help="PulseAudio only: also listen on 127.0.0.1:PORT, "
                                                     "where clients need a cookie")
    options = parser.parse_args()
    # A caller that cannot wait any longer ends it so; the with-block below then stops the server.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    kinds = {"pulseaudio": PulseAudioServer, "pulseaudio-rewinds": PulseAudioRewindingServer,
             "pipewire": PipeWireServer}
    kind = kinds[options.kind]
    reason = kind.unavailable()
    if reason:
        say("unavailable " + reason)
        return
    if kind is not PipeWireServer:
        extra = ""
        if options.tcp_port:
            extra = ("load-module module-native-protocol-tcp listen=127.0.0.1 auth-anonymous=0 port=%d\n"
                     % options.tcp_port)
        server = kind(extra_config=extra)
    else:
        server = PipeWireServer()
    with server:
        for key in sorted(os.environ):
            if key not in server.env:
                say("unset " + key)
        for key, value in sorted(server.env.items()):
            if os.environ.get(key) != value and "\n" not in value:
                say("set %s=%s" % (key, value))
        say("sink " + server.sink)
        say("folder " + server.folder)
        say("ready")
        for command in sys.stdin:
            if command.strip() == "kill":
                server.kill()
                say("killed")
            elif command.strip() == "settle":
                server.settle()
                say("settled")


if __name__ == "__main__":
    main()
