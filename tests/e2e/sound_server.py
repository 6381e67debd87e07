"""Private sound servers for end-to-end tests, and the tagged test-tone player.

A server class is a context manager with this small interface (PipeWireServer follows it too):

    with PulseAudioServer() as server:
        server.env        # environment for clients: reaches this server only, never the user's
        server.sink       # name of the null sink that clients play on
        server.pactl(*a)  # runs pactl against the server, returns its stdout (raises on failure)
        server.kill()     # kills the server at once (SIGKILL), as a crash would
        server.settle()   # waits until a sink that renders ahead has caught up with the streams playing
        server.alive      # whether the server process still runs
        server.folder     # the temporary folder that holds all of the server's files

It waits for readiness by asking the server (pactl info), never by sleeping a fixed time, and on
exit stops exactly the processes it started. `unavailable()` says why a server cannot run here,
or returns None; tests skip with that reason.
"""

import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time

TONE_PLAYER_NAME = "sorvanel-tone-player"


def tone_player_path():
    """The project's tone player: $SORVANEL_TONE_PLAYER, else under $SORVANEL_BUILD_DIR."""
    explicit = os.environ.get("SORVANEL_TONE_PLAYER")
    if explicit:
        return explicit
    build = os.environ.get("SORVANEL_BUILD_DIR", "")
    return os.path.join(build, "tools", "tone_player", TONE_PLAYER_NAME)


def wait_until(predicate, limit_seconds, what, error=RuntimeError):
    """Polls a question (to a server, to /proc) until its answer is neither None, False nor empty (0
    counts: it may be an index), and returns that answer. The limit turns a hang into a failure that
    says what did not happen."""
    deadline = time.monotonic() + limit_seconds
    delay = 0.005
    while True:
        value = predicate()
        if value is not None and value is not False and value != "":
            return value
        if time.monotonic() > deadline:
            raise error(f"{what} did not happen within {limit_seconds} s")
        time.sleep(delay)
        delay = min(delay * 2, 0.1)


def pactl(env, *args, timeout=20, error=RuntimeError):
    """Runs pactl against the server that `env` reaches; its stdout. Raises `error` when it fails or
    does not end within `timeout` s."""
    try:
        result = subprocess.run(["pactl", *args], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        raise error("pactl %s did not end within %d s" % (" ".join(args), timeout)) from None
    if result.returncode != 0:
        raise error("pactl %s failed: %s" % (" ".join(args), result.stderr.strip()))
    return result.stdout


class PulseAudioServer:
    """A PulseAudio daemon in a private runtime folder with one null sink that does not rewind (it
    renders at most 50 ms ahead)."""

    name = "pulseaudio"
    rewinds = False

    def __init__(self, sink="sorvanel_null", rate=48000, extra_config=""):
        self.sink = sink
        self._rate = rate
        self._extra_config = extra_config
        self._process = None
        self._folder = None
        self.env = None

    @staticmethod
    def unavailable():
        for tool in ("pulseaudio", "pactl"):
            if shutil.which(tool) is None:
                return f"{tool} is not installed"
        return None

    def __enter__(self):
        self._folder = tempfile.mkdtemp(prefix="sorvanel-pulse-")
        runtime = os.path.join(self._folder, "runtime")
        home = os.path.join(self._folder, "home")
        os.makedirs(runtime, mode=0o700)
        os.makedirs(home, mode=0o700)
        socket = os.path.join(runtime, "pulse", "native")
        config = os.path.join(self._folder, "server.pa")
        with open(config, "w", encoding="utf-8") as file:
            file.write("load-module module-native-protocol-unix auth-anonymous=1\n")
            rewinds = "" if self.rewinds else " norewinds=1"
            file.write(f"load-module module-null-sink sink_name={self.sink} rate={self._rate}{rewinds}\n")
            file.write(f"set-default-sink {self.sink}\n")
            file.write(self._extra_config)
        env = {k: v for k, v in os.environ.items() if not k.startswith(("PULSE_", "PIPEWIRE_"))}
        env.update({
            "XDG_RUNTIME_DIR": runtime,
            "PULSE_RUNTIME_PATH": os.path.join(runtime, "pulse"),
            "HOME": home,
            "PULSE_SERVER": "unix:" + socket,
        })
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("DISPLAY", None)
        # The cookie and the server's state go under HOME, never into a caller's (or an earlier
        # server's) configuration folder.
        for key in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
            env.pop(key, None)
        self.env = env
        self._log = open(os.path.join(self._folder, "server.log"), "wb")
        self._process = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--system=no", "--disallow-exit", "-F", config,
             "--log-target=stderr"],
            env=env, stdin=subprocess.DEVNULL, stdout=self._log, stderr=self._log)
        try:
            wait_until(self._answers, 10, "PulseAudio start")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def _answers(self):
        if self._process.poll() is not None:
            raise RuntimeError("pulseaudio ended at start: " + self.log())
        try:
            pactl(self.env, "info", timeout=5)
            return True
        except RuntimeError:
            return False

    def __exit__(self, *exc):
        if self._process is not None:
            if self._process.poll() is None:
                self._process.terminate()
                try:
                    self._process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    self._process.kill()
                    self._process.wait(timeout=10)
            self._process = None
        if getattr(self, "_log", None):
            self._log.close()
            self._log = None
        if self._folder:
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None
        return False

    @property
    def folder(self):
        """The temporary folder that holds the server's runtime folder, home and log."""
        return self._folder

    @property
    def alive(self):
        return self._process is not None and self._process.poll() is None

    @property
    def pulse_pid(self):
        """The process that answers libpulse clients."""
        return self._process.pid

    def kill(self):
        if self.alive:
            self._process.send_signal(signal.SIGKILL)
            self._process.wait(timeout=10)

    def pactl(self, *args):
        return pactl(self.env, *args)

    def settle(self, limit_seconds=6.0):
        """A sink that rewinds renders up to 2 s ahead when it goes from idle to running, and mixes a
        low-latency stream in only after what it rendered (../shared notes, SERVERS.md). Waits until
        its latency is down to a low-latency stream's again, as it is once that has played a while;
        returns at once while no stream plays. Nothing to wait for on a sink that does not rewind."""
        if not self.rewinds:
            return

        def caught_up():
            if "Corked: no" not in self.pactl("list", "sink-inputs"):
                return True
            name = None
            for line in self.pactl("list", "sinks").splitlines():
                line = line.strip()
                if line.startswith("Name:"):
                    name = line.split(None, 1)[1]
                elif line.startswith("Latency:") and name == self.sink:
                    return int(line.split()[1]) < 50_000
            return False

        wait_until(caught_up, limit_seconds, "the sink catching up with its streams")

    def log(self):
        try:
            with open(os.path.join(self._folder, "server.log"), encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class PulseAudioRewindingServer(PulseAudioServer):
    """The same daemon with PulseAudio's default null sink, which rewinds and renders up to 2 s ahead,
    as users' sinks do."""

    name = "pulseaudio-rewinds"
    rewinds = True


class TonePlayer:
    """The project's tone player as a running client of a server; a context manager.

    Waits for its "connected" line (and "playing", unless it plays no stream yet), and on exit
    ends it if it still runs. `stalls` counts the times the machine stood still or the server ran
    the stream dry: the sink may then have played less than it was given, and a test cannot judge
    that audio. They count only while the player runs at real-time priority, which no program of
    normal priority (the tool under test included) can starve; without it, `unexcused` counts them
    and `not_realtime` says why, and a case judges the audio all the same.
    """

    def __init__(self, server, app_id=None, frequency=1000.0, amplitude=0.5, extra=(),
                 wait_for="playing"):
        self._command = [tone_player_path(), "--frequency", str(frequency),
                         "--amplitude", str(amplitude), "--sink", server.sink, *extra]
        if app_id is not None:
            self._command += ["--app-id", app_id]
        self._env = server.env
        self._wait_for = wait_for
        self._lines = queue.Queue()
        self._stalls = 0
        self._unexcused = 0
        self.not_realtime = "the tone player did not say whether it runs at real-time priority"
        self._lock = threading.Lock()
        self.process = None
        self.client_index = None
        self.input_index = None

    def __enter__(self):
        self.process = subprocess.Popen(self._command, env=self._env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        self.expect("connected")
        if self._wait_for == "playing":
            self.expect("playing")
        return self

    def _read(self):
        for line in self.process.stdout:
            word, _, rest = line.strip().partition(" ")
            with self._lock:
                if word == "realtime":
                    self.not_realtime = None if rest == "on" else (
                        "the tone player runs without real-time priority (%s): what it saw is judged, not excused"
                        % rest.removeprefix("off ").strip())
                elif word in ("underflow", "stall"):
                    if self.not_realtime is None:
                        self._stalls += 1
                    else:
                        self._unexcused += 1
                else:
                    self._lines.put(line)
        self._lines.put(None)

    @property
    def stalls(self):
        with self._lock:
            return self._stalls

    @property
    def unexcused(self):
        with self._lock:
            return self._unexcused

    def expect(self, word, limit_seconds=10):
        """Reads the player's lines up to the one that starts with `word`, for at most `limit_seconds`;
        returns its value."""
        deadline = time.monotonic() + limit_seconds
        while True:
            try:
                line = self._lines.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                raise RuntimeError(f"no '{word}' from the tone player within {limit_seconds} s") from None
            if line is None:
                raise RuntimeError(f"tone player ended before '{word}'")
            key, _, value = line.strip().partition(" ")
            if key == "connected":
                self.client_index = int(value)
            elif key == "playing":
                self.input_index = int(value)
            if key == word:
                return value

    def pause(self):
        self.process.send_signal(signal.SIGUSR1)
        self.expect("paused")

    def resume(self):
        self.process.send_signal(signal.SIGUSR2)
        self.expect("resumed")

    def close_stream(self):
        self.process.send_signal(signal.SIGHUP)
        self.expect("closed")

    def quit(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=10)

    def __exit__(self, *exc):
        if self.process:
            if self.process.poll() is None:
                self.process.kill()
            self.process.wait(timeout=10)
            self.process.stdout.close()
        return False
