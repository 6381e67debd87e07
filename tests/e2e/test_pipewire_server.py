"""The private PipeWire stack: comes up isolated, carries a tagged player's audio to a per-stream monitor, and
leaves nothing behind, also after an abrupt kill."""

import array
import math
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest
import wave
from unittest import mock

from pipewire_server import PipeWireServer
from sound_server import wait_until

APP_ID = "com.ableton.live"
RATE = 48000
AMPLITUDE = 0.5

MISSING = [tool for tool in ("dbus-daemon", "pipewire", "wireplumber", "pipewire-pulse", "pw-cli", "pactl", "pacat")
           if shutil.which(tool) is None]


def write_sine(path, seconds, frequency=440.0):
    samples = array.array("h")
    for n in range(int(seconds * RATE)):
        value = int(AMPLITUDE * 32767 * math.sin(2 * math.pi * frequency * n / RATE))
        samples.extend((value, value))
    with wave.open(path, "wb") as file:
        file.setnchannels(2)
        file.setsampwidth(2)
        file.setframerate(RATE)
        file.writeframes(samples.tobytes())


def processes_mentioning(text):
    """Ids of running processes whose command line or environment mentions text (our temporary folder)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        for part in ("cmdline", "environ"):
            try:
                with open("/proc/%s/%s" % (entry, part), "rb") as file:
                    if text.encode() in file.read():
                        found.append(int(entry))
                        break
            except OSError:
                pass
    return found


def wait_for(predicate):
    return wait_until(predicate, 10, "the answer awaited")


def sink_input_of(server, app_id):
    """Index of the first playback stream whose client or stream carries application.id = app_id."""
    index = None
    for line in server.pactl("list", "sink-inputs").splitlines():
        line = line.strip()
        if line.startswith("Sink Input #"):
            index = int(line[len("Sink Input #"):])
        elif line == 'application.id = "%s"' % app_id and index is not None:
            return index
    return None


@unittest.skipIf(MISSING, "PipeWire stack not installed: missing %s" % ", ".join(MISSING))
class PipeWireServerTest(unittest.TestCase):
    def test_starts_isolated_and_leaves_nothing_behind_twice(self):
        # A user's own session must not leak in: these point nowhere, and the stack works regardless.
        hostile = {"PULSE_SERVER": "unix:/nonexistent/native", "DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent",
                   "XDG_RUNTIME_DIR": "/nonexistent", "PIPEWIRE_REMOTE": "nowhere"}
        with mock.patch.dict(os.environ, hostile):
            for _ in range(2):
                with PipeWireServer() as server:
                    root = os.path.dirname(server.runtime_dir)
                    pids = server.pids()
                    self.assertEqual(len(pids), 4)
                    self.assertEqual(server.name, "pipewire")
                    self.assertIn("Server Name: PulseAudio (on PipeWire", server.pactl("info"))
                    sinks = [line.split("\t")[1] for line in server.pactl("list", "short", "sinks").splitlines()]
                    self.assertEqual(sinks, [server.sink])
                    self.assertEqual(server.env["XDG_RUNTIME_DIR"], server.runtime_dir)
                    self.assertTrue(server.env["PULSE_SERVER"].startswith("unix:" + server.runtime_dir))
                    for key, value in hostile.items():
                        self.assertNotEqual(server.env.get(key), value, key)
                self.assertEqual(server.pids(), [])
                self.assertFalse(os.path.exists(root))
                for pid in pids:
                    self.assertFalse(self._alive(pid), pid)
                self.assertEqual(processes_mentioning(root), [])

    def test_tagged_player_reaches_a_per_stream_monitor(self):
        with tempfile.TemporaryDirectory() as folder, PipeWireServer() as server:
            tone = os.path.join(folder, "tone.wav")
            write_sine(tone, 4.0)
            env = dict(server.env, PULSE_PROP="application.id=" + APP_ID)
            player = subprocess.Popen(["paplay", "--latency-msec=20", tone], env=env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            try:
                index = wait_for(lambda: sink_input_of(server, APP_ID))
                self.assertIsNotNone(index, server.pactl("list", "sink-inputs"))
                self.assertIn('application.id = "%s"' % APP_ID, server.pactl("list", "clients"))

                samples = self._record(server, index, seconds=0.5)
                self.assertGreaterEqual(len(samples), RATE // 4 * 2)
                rms = math.sqrt(sum(s * s for s in samples) / len(samples))
                self.assertAlmostEqual(rms, AMPLITUDE / math.sqrt(2), delta=0.02)
            finally:
                player.kill()
                player.wait()

    def test_kill_ends_the_server_under_its_clients(self):
        with tempfile.TemporaryDirectory() as folder, PipeWireServer() as server:
            tone = os.path.join(folder, "tone.wav")
            write_sine(tone, 20.0)
            player = subprocess.Popen(["paplay", tone], env=server.env, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
            try:
                self.assertTrue(wait_for(lambda: server.pactl("list", "short", "sink-inputs").strip()))
                server.kill()
                self.assertEqual(player.wait(timeout=10), 1)
                probe = subprocess.run(["pactl", "info"], env=server.env, capture_output=True, timeout=10)
                self.assertNotEqual(probe.returncode, 0)
            finally:
                if player.poll() is None:
                    player.kill()
                    player.wait()
            root = os.path.dirname(server.runtime_dir)
        self.assertEqual(server.pids(), [])
        self.assertEqual(processes_mentioning(root), [])

    @staticmethod
    def _alive(pid):
        try:
            with open("/proc/%d/stat" % pid) as file:
                return file.read().split(")")[-1].split()[0] != "Z"
        except OSError:
            return False

    @staticmethod
    def _record(server, index, seconds):
        """Records seconds of the per-stream monitor of sink input index as interleaved floats."""
        wanted = int(seconds * RATE) * 2 * 4
        recorder = subprocess.Popen(
            ["parec", "--raw", "--format=float32le", "--rate=%d" % RATE, "--channels=2", "--latency-msec=10",
             "--device=%s.monitor" % server.sink, "--monitor-stream=%d" % index],
            env=server.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        data = b""
        try:
            deadline = time.monotonic() + 10
            while len(data) < wanted:
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([recorder.stdout], [], [], left)[0]:
                    break
                chunk = recorder.stdout.read1(wanted - len(data))
                if not chunk:
                    break
                data += chunk
        finally:
            recorder.kill()
            recorder.wait()
            recorder.stdout.close()
        # The first fragments may carry the stream's start; measure the steady part.
        samples = array.array("f", data[: len(data) // 8 * 8])
        return samples[len(samples) // 4:]


if __name__ == "__main__":
    unittest.main()
