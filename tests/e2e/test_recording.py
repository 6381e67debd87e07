"""The real binary against private sound servers and the project's tone player.

Every case runs on PulseAudio (a null sink that does not rewind, and its default one, which renders up to 2 s
ahead as users' sinks do) and on PipeWire with its pulse server: one class per server over the shared cases,
each class its own ctest entry (labels pulseaudio, pipewire).
"""

import contextlib
import functools
import json
import math
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from pipewire_server import PipeWireServer
from sound_server import PulseAudioRewindingServer, PulseAudioServer, TonePlayer, tone_player_path, wait_until

BINARY = os.environ.get("SORVANEL_BINARY", "")
METRICS = os.environ.get("SORVANEL_METRICS", "")
NO_SOURCE = b'{"error":"Ableton Live must be open on an active display."}\n'


def sine_rms_dbfs(amplitude):
    return 20 * math.log10(amplitude / math.sqrt(2))


def waveform_between(metrics, start, end):
    """The waveform points whose 4096 frames lie wholly between start and end seconds of the file."""
    first = math.ceil(start * 48000 / 4096)
    last = math.floor(end * 48000 / 4096)
    return metrics["waveform"][first:last]


def why_not_runnable(server_class):
    if not os.path.exists(BINARY):
        return "SORVANEL_BINARY is not built"
    if not os.path.exists(METRICS):
        return "SORVANEL_METRICS is not built"
    if not os.path.exists(tone_player_path()):
        return "the tone player is not built"
    return server_class.unavailable()


def signal_in(pid, field, number):
    """Whether signal `number` is in the mask `field` ("SigCgt": caught, "ShdPnd": pending) that
    /proc/<pid>/status shows for process `pid`; None when that process is gone."""
    try:
        with open("/proc/%d/status" % pid, encoding="ascii") as status:
            for line in status:
                if line.startswith(field + ":"):
                    return bool(int(line.split()[1], 16) >> (number - 1) & 1)
    except OSError:
        pass
    return None


class Disturbed(Exception):
    """The machine stalled while the tool recorded: the audio cannot be judged."""


def judged(test):
    """A case that judges recorded audio: an attempt that a stalled machine disturbed runs again from a
    fresh server and players, up to three times; then the case is skipped with the reason."""

    @functools.wraps(test)
    def attempts(self):
        for attempt in range(3):
            if attempt:
                self.doCleanups()
                self.setUp()
            self.attempting = True
            try:
                return test(self)
            except Disturbed as disturbed:
                reason = "%s, in each of 3 attempts" % disturbed
        self.skipTest(reason)

    return attempts


class Run:
    """One finished invocation: its stdout lines, status and stderr."""

    def __init__(self, completed):
        self.stdout = completed.stdout
        self.stderr = completed.stderr
        self.status = completed.returncode
        self.lines = [json.loads(line) for line in completed.stdout.decode().splitlines()]


class RecordingCases:
    """The cases; a subclass names the server class in `server_class`."""

    server_class = None

    def setUp(self):
        self.server = self.server_class()
        self.server.__enter__()
        self.addCleanup(self.server.__exit__, None, None, None)
        self.folder = tempfile.mkdtemp(prefix="sorvanel-e2e-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.output = os.path.join(self.folder, "take.m4a")
        self.players = []
        self.excused = 0
        self.attempting = False

    def player(self, **options):
        """A player that has played a while by the time this returns, as far as the sink is concerned."""
        player = TonePlayer(self.server, **options)
        player.__enter__()
        self.addCleanup(player.__exit__, None, None, None)
        self.players.append(player)
        self.server.settle()
        return player

    def stalls(self):
        return sum(player.stalls for player in self.players)

    @contextlib.contextmanager
    def caused(self, settling):
        """What the case itself causes (a move): stalls and underflows within it and `settling` s after
        are its own doing, no reason to skip; the case judges no audio of that window."""
        seen = self.stalls()
        yield
        time.sleep(settling)
        self.excused += self.stalls() - seen

    def skip_unless_the_sink_played_what_was_asked(self):
        """A machine that stood still while the tool recorded (or a server that ran a real-time player
        dry) had its sink play gaps: the recording cannot be judged against the tone then. What a player
        without real-time priority saw is judged all the same: the tool itself may have starved it."""
        print("audio-judging case", flush=True)  # counted against the skips by tools/test.sh
        for player in self.players:
            if player.unexcused:
                print("%d stall(s) judged: %s" % (player.unexcused, player.not_realtime), flush=True)
        stalls = self.stalls() - self.stalls_at_start - self.excused
        if stalls:
            reason = "disturbed: the machine stalled %d time(s) (or its server ran a real-time player dry)" % stalls
            if self.attempting:
                raise Disturbed(reason)
            self.skipTest(reason)

    def start(self, *args):
        self.stalls_at_start = self.stalls()
        self.started_at = time.monotonic()
        return subprocess.Popen([BINARY, *args], env=self.server.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)

    def record(self, seconds="2", output=None):
        return self.finished(self.start(output or self.output, seconds), b"")

    def finished(self, process, ready, limit=60):
        """Waits for a running invocation, after what was read of it already, and takes the rest."""
        try:
            rest, stderr = process.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            process.kill()
            process.communicate()
            self.fail("the tool did not end within %d s" % limit)
        run = Run(subprocess.CompletedProcess(process.args, process.returncode, ready + rest, stderr))
        self.assertEqual(run.stderr, b"", "nothing may reach standard error")
        return run

    def read_ready(self, process, limit=10):
        """The first line of a running invocation, which must be the ready line; notes when it came."""
        if not select.select([process.stdout], [], [], limit)[0]:
            process.kill()
            process.communicate()
            self.fail("no line within %d s of the start" % limit)
        line = process.stdout.readline()
        self.ready_at = time.monotonic()
        self.assertEqual(json.loads(line)["type"], "ready", line)
        return line

    def assert_complete(self, run, seconds):
        self.assertEqual(run.status, 0, run.stdout)
        self.assertEqual(len(run.lines), 2, run.stdout)
        complete = run.lines[1]
        self.assertEqual(sorted(complete), ["metrics", "type"])
        self.assertEqual(complete["type"], "complete")
        metrics = complete["metrics"]
        self.assertEqual(sorted(metrics), ["channels", "duration_seconds", "has_signal", "peak_dbfs",
                                           "rms_dbfs", "sample_rate", "waveform"])
        self.assertEqual(metrics["sample_rate"], 48000)
        self.assertEqual(metrics["channels"], 2)
        self.assertAlmostEqual(metrics["duration_seconds"], seconds, delta=0.15)
        frames = round(metrics["duration_seconds"] * 48000)
        self.assertEqual(len(metrics["waveform"]), math.ceil(frames / 4096))
        self.skip_unless_the_sink_played_what_was_asked()
        return metrics

    def test_check_line_with_a_reachable_server(self):
        completed = subprocess.run([BINARY, "--check"], env=self.server.env, capture_output=True, timeout=30)
        self.assertEqual(completed.stdout,
                         b'{"authorized":true,"capture_source":"Ableton Live application audio"}\n')
        self.assertEqual(completed.stderr, b"")

    @judged
    def test_one_application_playing_a_known_sine(self):
        self.player(app_id="com.ableton.live", frequency=1000, amplitude=0.5)
        run = self.record("3")
        self.assertEqual(run.stdout.split(b"\n")[0],
                         b'{"applications":["com.ableton.live"],"source":"Ableton Live","type":"ready"}')
        metrics = self.assert_complete(run, 3)
        self.assertTrue(metrics["has_signal"])
        self.assertAlmostEqual(metrics["rms_dbfs"], sine_rms_dbfs(0.5), delta=0.2)

    @judged
    def test_two_matching_applications_are_mixed(self):
        self.player(app_id="com.ableton.live", frequency=440, amplitude=0.3)
        self.player(app_id="COM.Ableton.Live.Beta", frequency=1000, amplitude=0.3)
        self.player(app_id="org.example.other", frequency=300, amplitude=0.3)
        run = self.record("2")
        self.assertEqual(run.lines[0]["applications"], ["com.ableton.live", "COM.Ableton.Live.Beta"])
        metrics = self.assert_complete(run, 2)
        # Two unrelated sines add their powers; the third application is not in it.
        self.assertAlmostEqual(metrics["rms_dbfs"], 20 * math.log10(0.3), delta=0.3)

    def test_only_a_non_matching_application(self):
        self.player(app_id="org.example.other")
        run = self.record("1")
        self.assertEqual((run.stdout, run.status), (NO_SOURCE, 4))
        self.assertFalse(os.path.exists(self.output))

    def test_matching_client_without_playback_stream(self):
        self.player(app_id="com.ableton.live", extra=("--no-stream",), wait_for="connected")
        run = self.record("1")
        self.assertEqual(run.status, 1)
        self.assertEqual(len(run.lines), 2)
        self.assertEqual(run.lines[0]["type"], "ready")
        self.assertEqual(run.lines[1], {"error": "Ableton supplied no audio buffers."})

    @judged
    def test_application_quitting_mid_recording_keeps_the_full_duration(self):
        player = self.player(app_id="com.ableton.live")
        process = self.start(self.output, "3")
        ready = self.read_ready(process)
        time.sleep(1)
        player.quit()
        run = self.finished(process, ready)
        self.assert_complete(run, 3)

    def assert_playable(self, path, seconds, delta=0.2):
        """The file decodes without an error, lasts `seconds`, and the tool's reader hears the tone in it."""
        decoded = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"],
                                 capture_output=True, timeout=60)
        self.assertEqual((decoded.returncode, decoded.stderr), (0, b""))
        self.skip_unless_the_sink_played_what_was_asked()
        measured = subprocess.run([METRICS, path], capture_output=True, timeout=60)
        metrics = json.loads(measured.stdout)
        self.assertAlmostEqual(metrics["duration_seconds"], seconds, delta=delta)
        self.assertTrue(metrics["has_signal"])

    # -- interruptions and failures keep what was recorded -------------------------------------------------

    def test_a_signal_mid_recording_ends_it_and_keeps_what_was_recorded(self):
        self.player(app_id="com.ableton.live", amplitude=0.5)
        # One event may signal twice (a supervisor signals the child and then its group; a closed terminal
        # hangs up through the kernel and the shell): the repeat must not cost the file.
        for number, repeat_after in ((signal.SIGINT, None), (signal.SIGTERM, 0.0), (signal.SIGHUP, 0.005)):
            with self.subTest(signal=number.name):
                output = os.path.join(self.folder, number.name + ".m4a")
                process = self.start(output, "5")
                ready = self.read_ready(process)
                time.sleep(1)
                process.send_signal(number)
                if repeat_after is not None:
                    time.sleep(repeat_after)
                    process.send_signal(number)
                run = self.finished(process, ready, limit=10)
                self.assertEqual(run.status, 1)
                self.assertEqual(run.lines[1:], [{"error": "The recording was interrupted by %s." % number.name}])
                self.assert_playable(output, 1.0)

    def test_a_frozen_server_is_never_an_answer_and_a_signal_still_ends_the_wait(self):
        if self.server_class is PulseAudioRewindingServer:
            self.skipTest("permanent: the same server program as PulseAudioRecordingTest's, whose case this is")
        self.player(app_id="com.ableton.live")
        # A stopped server accepts connections and never answers: only libpulse's own limit (30 s) ends
        # the wait, and it must end in an error, never in access.
        os.kill(self.server.pulse_pid, signal.SIGSTOP)
        self.addCleanup(os.kill, self.server.pulse_pid, signal.SIGCONT)
        began = time.monotonic()
        waiting = [self.start(*arguments) for arguments in (["--check"], ["--request-permission"], [self.output, "2"])]
        interrupted_output = os.path.join(self.folder, "interrupted.m4a")
        interrupted = self.start(interrupted_output, "5")
        # Once its arguments are found valid, the tool catches the signal; it is then held.
        wait_until(lambda: signal_in(interrupted.pid, "SigCgt", signal.SIGINT), 10, "the tool's signal watch")
        sent = time.monotonic()
        interrupted.send_signal(signal.SIGINT)
        run = self.finished(interrupted, b"", limit=10)
        self.assertLess(time.monotonic() - sent, 1.0)
        self.assertEqual((run.stdout, run.status), (b'{"error":"The recording was interrupted by SIGINT."}\n', 1))
        for process in waiting:
            run = self.finished(process, b"", limit=60)
            self.assertEqual((run.status, [list(line) for line in run.lines]), (1, [["error"]]), run.stdout)
        self.assertLess(time.monotonic() - began, 35)
        self.assertFalse(os.path.exists(self.output))
        self.assertFalse(os.path.exists(interrupted_output))

    @judged
    def test_server_killed_mid_recording_ends_it_at_once_and_keeps_what_was_recorded(self):
        self.player(app_id="com.ableton.live", amplitude=0.5)
        process = self.start(self.output, "5")
        ready = self.read_ready(process)
        time.sleep(1)
        self.server.kill()
        killed = time.monotonic()
        if not select.select([process.stdout], [], [], 5)[0]:
            process.kill()
            self.fail("no error line within 5 s of the server's death")
        line = process.stdout.readline()
        self.assertLess(time.monotonic() - killed, 0.5)
        run = self.finished(process, ready + line, limit=30)
        self.assertEqual(run.status, 1)
        self.assertEqual(len(run.lines), 2)
        self.assertEqual(list(run.lines[1]), ["error"])
        self.assert_playable(self.output, 1.0, delta=0.25)

    def test_an_unread_standard_output_does_not_lengthen_the_recording(self):
        self.player(app_id="com.ableton.live", amplitude=0.5)
        # The pipe is full before the tool writes its ready line, and nobody reads it for 3 s.
        script = '{ head -c 65536 /dev/zero; "$0" "$1" 2; } | (sleep 3; tail -c +65537)'
        completed = subprocess.run(["bash", "-c", script, BINARY, self.output], env=self.server.env,
                                   capture_output=True, timeout=60)
        lines = [json.loads(line) for line in completed.stdout.decode().splitlines()]
        self.assertEqual([line["type"] for line in lines], ["ready", "complete"], completed.stdout)
        self.assertAlmostEqual(lines[1]["metrics"]["duration_seconds"], 2, delta=0.15)

    def test_existing_output_file_is_left_byte_identical(self):
        self.player(app_id="com.ableton.live")
        content = b"not yours to overwrite\n"
        with open(self.output, "wb") as file:
            file.write(content)
        run = self.record("1")
        self.assertEqual(run.status, 1)
        self.assertEqual(list(run.lines[-1]), ["error"])
        with open(self.output, "rb") as file:
            self.assertEqual(file.read(), content)

    def test_missing_folder_gives_an_error_line_with_escaped_solidus(self):
        self.player(app_id="com.ableton.live")
        run = self.record("1", output=os.path.join(self.folder, "missing", "take.m4a"))
        self.assertEqual(run.status, 1)
        self.assertEqual(list(run.lines[-1]), ["error"])
        self.assertIn(b"\\/missing\\/take.m4a", run.stdout)
        self.assertNotIn(b"/missing/", run.stdout)

    # -- an application that pauses, moves or starts paused -----------------------------------------------
    # PulseAudio's monitor of a paused stream delivers the sink's silence; PipeWire's delivers nothing, and a
    # monitor opened while the stream is paused waits until it plays. PulseAudio ends the monitor of a moved
    # stream; PipeWire's follows the stream. The recording is the same on both.

    # The file begins when capture started: after the process started, before its ready line was read.
    # So something that happened at a moment lies in the file at least this far in ...
    def earliest(self, moment):
        return moment - self.ready_at

    # ... and at most this far.
    def latest(self, moment):
        return moment - self.started_at

    def assert_sine_points(self, points, amplitude=0.5):
        self.assertTrue(points)
        for point in points:
            self.assertAlmostEqual(point, amplitude, delta=0.1 * amplitude, msg=points)

    def assert_silent_points(self, points):
        self.assertTrue(points)
        self.assertLess(max(points), 0.01, points)

    @judged
    def test_application_pausing_for_a_second_leaves_silence_and_the_full_duration(self):
        player = self.player(app_id="com.ableton.live", amplitude=0.5)
        process = self.start(self.output, "3")
        ready = self.read_ready(process)
        time.sleep(1)
        # A pause or resume takes effect between the signal and the player's answer, which a loaded
        # machine may delay.
        pausing = time.monotonic()
        player.pause()
        paused = time.monotonic()
        time.sleep(1)
        resuming = time.monotonic()
        player.resume()
        resumed = time.monotonic()
        metrics = self.assert_complete(self.finished(process, ready), 3)
        self.assert_sine_points(waveform_between(metrics, 0.1, self.earliest(pausing) - 0.1))
        self.assert_silent_points(waveform_between(metrics, self.latest(paused) + 0.2,
                                                   self.earliest(resuming) - 0.1))
        self.assert_sine_points(waveform_between(metrics, self.latest(resumed) + 0.2, 2.9))

    @judged
    def test_stream_moved_to_another_sink_keeps_being_recorded(self):
        # A second sink that does not rewind: on an idle one that does, the moved stream would be held back
        # like a young one (test_recording_started_while_the_application_is_paused).
        self.server.pactl("load-module", "module-null-sink", "sink_name=second", "rate=48000", "norewinds=1")
        player = self.player(app_id="com.ableton.live", amplitude=0.5)
        process = self.start(self.output, "3")
        ready = self.read_ready(process)
        time.sleep(1)
        moving = time.monotonic()  # the move happens while pactl runs, slowly on a loaded machine
        # PulseAudio's new sink runs the moved stream dry once, within what is not judged after it.
        with self.caused(settling=0.2):
            self.server.pactl("move-sink-input", str(player.input_index), "second")
            moved = time.monotonic()
        metrics = self.assert_complete(self.finished(process, ready), 3)
        self.assert_sine_points(waveform_between(metrics, 0.1, self.earliest(moving) - 0.1))
        self.assert_sine_points(waveform_between(metrics, self.latest(moved) + 0.2, 2.9))

    @judged
    def test_recording_started_while_the_application_is_paused(self):
        player = self.player(app_id="com.ableton.live", amplitude=0.5, extra=("--paused",))
        process = self.start(self.output, "5")
        ready = self.read_ready(process)
        self.assertLess(self.ready_at - self.started_at, 1.0, "the ready line waited for the paused application")
        time.sleep(1)
        resuming = time.monotonic()
        player.resume()
        # A sink that renders ahead mixes the stream in once it has played out what it rendered before,
        # up to 2 s later; all of the stream is recorded from there.
        self.server.settle()
        reached = time.monotonic()
        metrics = self.assert_complete(self.finished(process, ready), 5)
        self.assert_silent_points(waveform_between(metrics, 0, self.earliest(resuming) - 0.1))
        self.assert_sine_points(waveform_between(metrics, self.latest(reached) + 0.2, 4.9))


@unittest.skipIf(why_not_runnable(PulseAudioServer), why_not_runnable(PulseAudioServer))
class PulseAudioRecordingTest(RecordingCases, unittest.TestCase):
    server_class = PulseAudioServer


@unittest.skipIf(why_not_runnable(PulseAudioRewindingServer), why_not_runnable(PulseAudioRewindingServer))
class PulseAudioRewindingRecordingTest(RecordingCases, unittest.TestCase):
    server_class = PulseAudioRewindingServer


@unittest.skipIf(why_not_runnable(PipeWireServer), why_not_runnable(PipeWireServer))
class PipeWireRecordingTest(RecordingCases, unittest.TestCase):
    server_class = PipeWireServer


if __name__ == "__main__":
    unittest.main()
