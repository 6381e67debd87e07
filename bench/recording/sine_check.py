"""Checks a recording of a steady sine for lost audio, against the ideal sine.

The ideal's phase and amplitude come from least-squares fits over the first half second of the
sound; every later block must follow that one sine. A gap of silence shows as a block far off its
own sine or the ideal's level, a dropped or repeated frame as a lasting phase step, while a clean
AAC recording at 192 kbit/s stays near its codec's error floor (about -40 dB). After a fault the
ideal takes the phase of the blocks that follow, so that every fault is counted once, where it
happens. Pure Python: the bench needs no NumPy.
"""

import json
import math
import statistics
import subprocess
from array import array
from operator import mul, sub

# Blocks of about 25 ms, each with a sine fitted to it alone. One is broken when it deviates from
# its own sine by more than BROKEN_DB (a gap of silence of 1 ms in it: -14 dB; AAC's own error at
# 192 kbit/s stays below about -30 dB), or its sine is out of phase with the ideal by half a
# frame's worth or more (a dropped or repeated frame: one frame's worth, lasting; AAC's error moves
# it by about a quarter at most).
BLOCK_SECONDS = 0.025
BROKEN_DB = -20.0
PHASE_LIMIT_FRAMES = 0.5
# A block whose own sine is this far off the ideal's level (relative) is broken too (all silence).
LEVEL_LIMIT = 0.1
FIT_SECONDS = 0.5
# Clean blocks whose mean phase is the ideal's after a fault.
FOLLOW_BLOCKS = 8
# Silence at the edges: below this a sample counts as silent (a sine of amplitude 0.5 stays below
# it for under a frame at each zero crossing; AAC spreads an edge's onset over a few milliseconds at
# levels under it).
SILENT = 0.02
# Frames left out at each edge of the sound, for the codec's onset and release transients (two
# AAC frames: the transform window).
EDGE_FRAMES = 2048


def exact_frames(path, rate=48000):
    """The stream's exact length in frames as its container records it (priming and padding
    excluded), and its channel count. FFmpeg's decoder still emits the last frame's padding."""
    probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                            "stream=channels,duration_ts,time_base", "-of", "json", path],
                           check=True, capture_output=True, text=True)
    stream = json.loads(probe.stdout)["streams"][0]
    numerator, denominator = (int(part) for part in stream["time_base"].split("/"))
    frames = round(int(stream["duration_ts"]) * numerator * rate / denominator)
    return frames, int(stream["channels"])


def decode(path, rate=48000):
    """The file decoded by FFmpeg, cut to its exact length: (interleaved float samples, channels)."""
    frames, channels = exact_frames(path, rate)
    raw = subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "f32le",
                          "-acodec", "pcm_f32le", "-ar", str(rate), "-"],
                         check=True, capture_output=True).stdout
    samples = array("f")
    samples.frombytes(raw)
    del samples[frames * channels:]
    return samples, channels


def silent_runs(samples, channels, rate=48000, level=SILENT, shortest=20):
    """(start s, length s) of every run of at least `shortest` frames below `level` in the first
    channel."""
    runs = []
    length = 0
    x = samples[0::channels] if channels > 1 else samples
    for i, value in enumerate(x):
        if abs(value) < level:
            length += 1
            continue
        if length >= shortest:
            runs.append(((i - length) / rate, length / rate))
        length = 0
    if length >= shortest:
        runs.append(((len(x) - length) / rate, length / rate))
    return runs


def _db(ratio):
    return 20 * math.log10(ratio) if ratio > 0 else -math.inf


class SineReport:
    """What the check found; times in seconds from the start of the recording."""

    def __init__(self):
        self.frames = 0
        self.head_silence = 0.0  # before the first sound
        self.tail_silence = 0.0  # after the last sound
        self.amplitude = 0.0
        self.worst_db = -math.inf  # largest block deviation from the ideal in force, relative to its RMS
        self.worst_at = None
        self.floor_db = -math.inf  # median block deviation: the codec's error floor
        self.worst_phase = 0.0  # largest phase difference of a clean block to the ideal, in frames
        self.faults = []  # Fault, in order
        self.channel_mismatch = 0.0  # largest difference between the channels

    @property
    def continuous(self):
        return self.frames > 0 and not self.faults


class Fault:
    """A run of broken blocks, and by how many frames the sine after it is shifted against the sine
    before it (modulo a period; None when no clean block follows)."""

    def __init__(self, start, what, phase_before):
        self.start = self.end = start
        self.what = what
        self.phase_before = phase_before
        self.step = None

    def __repr__(self):
        step = "" if self.step is None else ", %+.1f frames" % self.step
        return "%.3f-%.3f s %s%s" % (self.start, self.end, self.what, step)


def _fit(x, start, length, sines, cosines, gram):
    """Least-squares (p, q) of x[start:start+length] ~ p sin(w j) + q cos(w j), x.sin, x.cos, x.x."""
    window = x[start:start + length]
    xs = sum(map(mul, window, sines))
    xc = sum(map(mul, window, cosines))
    ss, sc, cc = gram
    determinant = ss * cc - sc * sc
    return (xs * cc - xc * sc) / determinant, (xc * ss - xs * sc) / determinant, xs, xc, sum(map(mul, window, window))


def _deviation(p, q, xs, xc, xx, gram, length):
    """Mean square of x minus p sin + q cos over the block, from the block's sums."""
    ss, sc, cc = gram
    return max(xx - 2 * (p * xs + q * xc) + p * p * ss + 2 * p * q * sc + q * q * cc, 0.0) / length


def check(samples, channels, frequency, rate=48000):
    """Follows the first channel block by block against the ideal sine (see the module's text).

    A fault is a run of blocks that break from the ideal in force: a gap or glitch inside a block,
    a level far off, or a phase step. After a fault the ideal takes the phase that the following
    blocks have, so each fault is reported once, where it happens."""
    report = SineReport()
    x = samples[0::channels] if channels > 1 else samples
    report.frames = n = len(x)
    if channels > 1:
        report.channel_mismatch = max(map(abs, map(sub, x, samples[1::channels])), default=0.0)
    first = next((i for i in range(n) if abs(x[i]) > SILENT), None)
    if first is None:
        report.faults = [Fault(0.0, "silence", 0.0)]
        return report
    last = next(i for i in range(n - 1, -1, -1) if abs(x[i]) > SILENT)
    report.head_silence = first / rate
    report.tail_silence = (n - 1 - last) / rate

    omega = 2 * math.pi * frequency / rate
    block = max(1, round(round(BLOCK_SECONDS * frequency) * rate / frequency))  # about whole periods
    sines = [math.sin(omega * j) for j in range(block)]
    cosines = [math.cos(omega * j) for j in range(block)]
    gram = (sum(map(mul, sines, sines)), sum(map(mul, sines, cosines)), sum(map(mul, cosines, cosines)))

    # Each block's own sine: amplitude, phase in absolute terms (at frame 0), and how far the block
    # is from it.
    blocks = []
    for start in range(first + EDGE_FRAMES, last - EDGE_FRAMES - block + 1, block):
        p, q, xs, xc, xx = _fit(x, start, block, sines, cosines, gram)
        own = _deviation(p, q, xs, xc, xx, gram, block)
        blocks.append((start, math.hypot(p, q), math.atan2(q, p) - omega * start, own, xs, xc, xx))
    fit_blocks = min(round(FIT_SECONDS * rate / block), len(blocks))
    if fit_blocks < 1:
        report.faults = [Fault(first / rate, "too short", 0.0)]
        return report

    def mean_phase(phases):
        return math.atan2(sum(map(math.sin, phases)), sum(map(math.cos, phases)))

    report.amplitude = statistics.fmean(b[1] for b in blocks[:fit_blocks])
    reference_ms = report.amplitude ** 2 / 2
    phase = mean_phase([b[2] for b in blocks[:fit_blocks]])
    # The ideal's phase is fixed, except that after a fault the first clean blocks set it anew.
    recent = [phase] * FOLLOW_BLOCKS  # phases of the clean blocks that set the ideal; full: fixed
    deviations = []
    fault = None  # the latest fault
    for start, amplitude, own_phase, own, xs, xc, xx in blocks:
        step = math.remainder(own_phase - phase, 2 * math.pi)
        # The ideal in force over this block, in the block's own phase.
        ideal = phase + omega * start
        deviation = _db(math.sqrt(_deviation(report.amplitude * math.cos(ideal), report.amplitude * math.sin(ideal),
                                             xs, xc, xx, gram, block) / reference_ms))
        if deviation > report.worst_db:
            report.worst_db, report.worst_at = deviation, start / rate
        what = None
        if _db(math.sqrt(own / reference_ms)) > BROKEN_DB:
            what = "gap or glitch"
        elif abs(amplitude / report.amplitude - 1) > LEVEL_LIMIT:
            what = "level %+.1f dB" % _db(amplitude / report.amplitude)
        elif recent and abs(step) > PHASE_LIMIT_FRAMES * omega:
            what = "phase step"
        if what is not None:
            if recent:  # a new run of broken blocks
                fault = Fault(start / rate, what, phase)
                report.faults.append(fault)
            fault.end = (start + block) / rate
            recent = []  # the next clean block sets the phase
            continue
        if recent:
            deviations.append(deviation)
            report.worst_phase = max(report.worst_phase, abs(step) / omega)
        if len(recent) < FOLLOW_BLOCKS:
            recent.append(own_phase)
            phase = mean_phase(recent)
            fault.step = math.remainder(phase - fault.phase_before, 2 * math.pi) / omega
    if deviations:
        report.floor_db = statistics.median(deviations)
    return report
