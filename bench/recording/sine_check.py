"""Checks a recording of a steady sine for lost audio, against the ideal sine.

The ideal's phase and amplitude come from a least-squares fit over the first half second of the
sound; every later block must follow that one sine. A gap of silence shows as a block far off the
ideal, a dropped or repeated frame as a lasting phase step, while a clean AAC recording at
192 kbit/s stays near its codec's error floor (about -40 dB). Pure Python: the bench needs no NumPy.
"""

import json
import math
import subprocess
from array import array
from operator import mul, sub

# Blocks of about 25 ms. One is broken when it deviates from the ideal by more than BROKEN_DB
# (a gap of silence of 1 ms in it: -14 dB; AAC's own error at 192 kbit/s stays below about
# -30 dB), or when a sine fitted to it alone is out of phase with the ideal by half a frame's worth
# or more (a dropped or repeated frame: one frame's worth, lasting; AAC's error moves it by about a
# quarter at most).
BLOCK_SECONDS = 0.025
BROKEN_DB = -20.0
PHASE_LIMIT_FRAMES = 0.5
FIT_SECONDS = 0.5
# Silence at the edges: below this a sample counts as silent.
SILENT = 1e-3
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


def _db(ratio):
    return 20 * math.log10(ratio) if ratio > 0 else -math.inf


class SineReport:
    """What the check found; times in seconds from the start of the recording."""

    def __init__(self):
        self.frames = 0
        self.head_silence = 0.0  # before the first sound
        self.tail_silence = 0.0  # after the last sound
        self.amplitude = 0.0
        self.worst_db = -math.inf  # largest block deviation from the ideal, relative to the sine's RMS
        self.worst_at = None
        self.floor_db = -math.inf  # median block deviation: the codec's error floor
        self.worst_phase = 0.0  # largest phase difference of a block's own sine to the ideal, radians
        self.broken = []  # (start s, end s) of runs of broken blocks
        self.channel_mismatch = 0.0  # largest difference between the channels

    @property
    def continuous(self):
        return self.frames > 0 and not self.broken


def _fit(x, start, length, sines, cosines, gram):
    """Least-squares (p, q) of x[start:start+length] ~ p sin(w j) + q cos(w j), and sum of x^2."""
    window = x[start:start + length]
    xs = sum(map(mul, window, sines))
    xc = sum(map(mul, window, cosines))
    ss, sc, cc = gram
    determinant = ss * cc - sc * sc
    return (xs * cc - xc * sc) / determinant, (xc * ss - xs * sc) / determinant, xs, xc, sum(map(mul, window, window))


def check(samples, channels, frequency, rate=48000):
    """Compares the first channel with the ideal sine fitted at its start (see the module's text)."""
    report = SineReport()
    x = samples[0::channels] if channels > 1 else samples
    report.frames = n = len(x)
    if channels > 1:
        report.channel_mismatch = max(map(abs, map(sub, x, samples[1::channels])), default=0.0)
    first = next((i for i in range(n) if abs(x[i]) > SILENT), None)
    if first is None:
        report.broken = [(0.0, n / rate)]
        return report
    last = next(i for i in range(n - 1, -1, -1) if abs(x[i]) > SILENT)
    report.head_silence = first / rate
    report.tail_silence = (n - 1 - last) / rate

    omega = 2 * math.pi * frequency / rate
    block = max(1, round(round(BLOCK_SECONDS * frequency) * rate / frequency))  # about whole periods
    sines = [math.sin(omega * j) for j in range(block)]
    cosines = [math.cos(omega * j) for j in range(block)]
    gram = (sum(map(mul, sines, sines)), sum(map(mul, sines, cosines)), sum(map(mul, cosines, cosines)))

    # The ideal: a sin(w i) + b cos(w i), fitted over up to half a second after the onset.
    fit_start = first + EDGE_FRAMES
    fit_blocks = min(round(FIT_SECONDS * rate / block), (last - EDGE_FRAMES - fit_start) // block)
    if fit_blocks < 1:
        report.broken = [(first / rate, (last + 1) / rate)]
        return report
    a = b = 0.0
    for k in range(fit_blocks):
        start = fit_start + k * block
        p, q = _fit(x, start, block, sines, cosines, gram)[:2]
        # Back from the block's own phase to the absolute one.
        a += p * math.cos(omega * start) + q * math.sin(omega * start)
        b += q * math.cos(omega * start) - p * math.sin(omega * start)
    a, b = a / fit_blocks, b / fit_blocks
    report.amplitude = math.hypot(a, b)
    reference_rms = report.amplitude / math.sqrt(2)
    ss, sc, cc = gram

    deviations = []
    run = None
    for start in range(first + EDGE_FRAMES, last - EDGE_FRAMES - block + 1, block):
        p, q, xs, xc, xx = _fit(x, start, block, sines, cosines, gram)
        # The ideal over this block in the block's own phase.
        ip = a * math.cos(omega * start) - b * math.sin(omega * start)
        iq = a * math.sin(omega * start) + b * math.cos(omega * start)
        error = xx - 2 * (ip * xs + iq * xc) + ip * ip * ss + 2 * ip * iq * sc + iq * iq * cc
        deviation = _db(math.sqrt(max(error, 0.0) / block) / reference_rms)
        phase = math.remainder(math.atan2(q, p) - math.atan2(iq, ip), 2 * math.pi)
        deviations.append(deviation)
        if deviation > report.worst_db:
            report.worst_db, report.worst_at = deviation, start / rate
        report.worst_phase = max(report.worst_phase, abs(phase))
        if deviation > BROKEN_DB or abs(phase) > PHASE_LIMIT_FRAMES * omega:
            if run is None:
                run = [start / rate, (start + block) / rate]
            else:
                run[1] = (start + block) / rate
        elif run is not None:
            report.broken.append(tuple(run))
            run = None
    if run is not None:
        report.broken.append(tuple(run))
    if deviations:
        report.floor_db = sorted(deviations)[len(deviations) // 2]
    return report
