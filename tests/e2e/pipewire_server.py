"""A private PipeWire stack (D-Bus session bus, pipewire, wireplumber, pipewire-pulse) for end-to-end tests.

Everything lives in one temporary folder: runtime, home, config, state and the bus socket. The stack never
sees the user's environment (no session bus, no system bus, no running server), and stopping it ends exactly
the processes started here. Readiness is established by asking the servers, never by sleeping a fixed time.

    with PipeWireServer() as server:
        subprocess.run(["paplay", "tone.wav"], env=server.env)
"""

import ctypes
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time

from sound_server import pactl, wait_until

# Device monitors would probe hardware (ALSA, cameras, Bluetooth over the system bus); a test stack has none.
_WIREPLUMBER_NO_DEVICES = """\
alsa_monitor.enabled = false
v4l2_monitor.enabled = false
libcamera_monitor.enabled = false
"""
_WIREPLUMBER_NO_BLUETOOTH = "bluez_monitor.enabled = false\n"

# Variables through which a client or a server could find the user's own session or sound server.
_INHERITED_PREFIXES = ("PULSE_", "PIPEWIRE_", "DBUS_", "XDG_", "WIREPLUMBER_", "SPA_", "JACK_", "DISPLAY", "WAYLAND_")


class ServerError(RuntimeError):
    """The stack did not come up; the message carries what the servers logged."""


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _die_with_parent():
    # Should the test runner itself be killed (a ctest timeout), the stack goes with it instead of lingering.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)


def _clean_environment():
    return {key: value for key, value in os.environ.items() if not key.startswith(_INHERITED_PREFIXES)}


class PipeWireServer:
    name = "pipewire"

    def __init__(self, sink="sorvanel_null", timeout=15.0):
        self.sink = sink
        self.timeout = timeout
        self.env = None
        self.runtime_dir = None
        self._root = None
        self._processes = {}  # name -> Popen, in start order
        self._logs = {}

    # -- context manager ------------------------------------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    # -- interface ------------------------------------------------------------------------------------------

    @staticmethod
    def unavailable():
        """Why the stack cannot run here, or None."""
        missing = [tool for tool in ("dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pactl")
                   if shutil.which(tool) is None]
        return "PipeWire stack not installed: missing " + ", ".join(missing) if missing else None

    @property
    def folder(self):
        """The one temporary folder that holds everything of this stack."""
        return self._root

    @property
    def alive(self):
        """Whether the sound server (pipewire-pulse) still runs."""
        process = self._processes.get("pipewire-pulse")
        return process is not None and process.poll() is None

    def start(self):
        self._root = tempfile.mkdtemp(prefix="sorvanel-pipewire-")
        self.runtime_dir = os.path.join(self._root, "runtime")
        home = os.path.join(self._root, "home")
        config = os.path.join(self._root, "config")
        for folder in (self.runtime_dir, home, config, os.path.join(self._root, "state"),
                       os.path.join(self._root, "data"), os.path.join(self._root, "logs")):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        self._write(os.path.join(config, "wireplumber", "main.lua.d", "51-sorvanel-no-devices.lua"),
                    _WIREPLUMBER_NO_DEVICES)
        self._write(os.path.join(config, "wireplumber", "bluetooth.lua.d", "51-sorvanel-no-bluetooth.lua"),
                    _WIREPLUMBER_NO_BLUETOOTH)
        # A client must never start a server of its own when ours is gone.
        self._write(os.path.join(config, "pulse", "client.conf"), "autospawn = no\n")

        bus = "unix:path=" + os.path.join(self.runtime_dir, "bus")
        env = _clean_environment()
        env.update({
            "HOME": home,
            "XDG_RUNTIME_DIR": self.runtime_dir,
            "XDG_CONFIG_HOME": config,
            "XDG_STATE_HOME": os.path.join(self._root, "state"),
            "XDG_DATA_HOME": os.path.join(self._root, "data"),
            "XDG_CACHE_HOME": os.path.join(self._root, "cache"),
            "PIPEWIRE_RUNTIME_DIR": self.runtime_dir,
            "DBUS_SESSION_BUS_ADDRESS": bus,
            # Nothing listens here: the stack must not reach the machine's system bus.
            "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=" + os.path.join(self._root, "no-system-bus"),
            "PULSE_SERVER": "unix:" + os.path.join(self.runtime_dir, "pulse", "native"),
        })
        self.env = env

        self._start_bus(bus)
        self._spawn("pipewire", ["pipewire"])
        self._wait_until("pipewire answers", lambda: self._succeeds(["pw-cli", "info", "0"]))
        self._spawn("wireplumber", ["wireplumber"])
        self._spawn("pipewire-pulse", ["pipewire-pulse"])
        self._wait_until("the pulse server answers", lambda: self._succeeds(["pactl", "info"]))
        self.pactl("load-module", "module-null-sink", "sink_name=" + self.sink)
        # The session manager makes the new sink the default once it manages it: then streams get linked.
        self._wait_until("the null sink is listed and the default",
                         lambda: self._sink_listed() and self._default_sink() == self.sink)
        return self

    def settle(self):
        """PipeWire's null sink renders no further ahead than its cycle: nothing to wait for."""

    def pactl(self, *args):
        return pactl(self.env, *args, timeout=self.timeout, error=ServerError)

    def pids(self):
        """The ids of the processes started here that still run."""
        return [process.pid for process in self._processes.values() if process.poll() is None]

    @property
    def pulse_pid(self):
        """The process that answers libpulse clients."""
        return self._processes["pipewire-pulse"].pid

    def kill(self):
        """Ends the sound server abruptly, as a crash would; the bus stays until stop()."""
        for name in ("pipewire-pulse", "wireplumber", "pipewire"):
            process = self._processes.get(name)
            if process is not None and process.poll() is None:
                process.kill()
        for name in ("pipewire-pulse", "wireplumber", "pipewire"):
            process = self._processes.get(name)
            if process is not None:
                process.wait(timeout=10)

    def stop(self):
        for name in reversed(list(self._processes)):
            process = self._processes[name]
            if process.poll() is None:
                process.terminate()
                try:
                    process.wait(timeout=5)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait(timeout=10)
        self._processes.clear()
        for log in self._logs.values():
            log.close()
        self._logs.clear()
        if self._root is not None:
            shutil.rmtree(self._root, ignore_errors=True)
            self._root = None

    # -- internals ------------------------------------------------------------------------------------------

    @staticmethod
    def _write(path, text):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as file:
            file.write(text)

    def _spawn(self, name, argv, **kwargs):
        log = open(os.path.join(self._root, "logs", name + ".log"), "wb")
        self._logs[name] = log
        self._processes[name] = subprocess.Popen(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=log,
                                                 stderr=subprocess.STDOUT, cwd=self._root,
                                                 preexec_fn=_die_with_parent, **kwargs)

    def _start_bus(self, address):
        # --nofork keeps the daemon our child; it prints its address on the pipe once it listens.
        reader, writer = os.pipe()
        try:
            self._spawn("dbus-daemon", ["dbus-daemon", "--session", "--nofork", "--nopidfile",
                                        "--address=" + address, "--print-address=%d" % writer],
                        pass_fds=(writer,))
            os.close(writer)
            writer = -1
            deadline = time.monotonic() + self.timeout
            printed = b""
            while not printed.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0 or not select.select([reader], [], [], remaining)[0]:
                    raise ServerError("the session bus did not start" + self._log_tail())
                chunk = os.read(reader, 4096)
                if not chunk:
                    raise ServerError("the session bus exited" + self._log_tail())
                printed += chunk
        finally:
            os.close(reader)
            if writer >= 0:
                os.close(writer)

    def _succeeds(self, argv):
        try:
            return subprocess.run(argv, env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, timeout=self.timeout).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def _sink_listed(self):
        return any(line.split("\t")[1:2] == [self.sink] for line in self.pactl("list", "short", "sinks").splitlines())

    def _default_sink(self):
        return self.pactl("get-default-sink").strip()

    def _wait_until(self, what, ready):
        def answered():
            for name, process in self._processes.items():
                if process.poll() is not None:
                    raise ServerError("%s exited with %s while waiting until %s%s"
                                      % (name, process.returncode, what, self._log_tail()))
            return ready()

        try:
            wait_until(answered, self.timeout, what, TimeoutError)
        except TimeoutError as error:
            raise ServerError(str(error) + self._log_tail()) from None

    def _log_tail(self):
        text = ""
        for name, log in self._logs.items():
            log.flush()
            with open(log.name, "rb") as file:
                tail = file.read()[-2000:].decode(errors="replace").strip()
            if tail:
                text += "\n--- %s ---\n%s" % (name, tail)
        return text
