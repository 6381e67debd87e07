"""The lost-audio check against synthetic recordings whose faults are known."""

import math
import random
import unittest
from array import array

import sine_check

RATE = 48000
FREQUENCY = 440.0


def recording(seconds=2.0, head=0.02, tail=0.03, phase=1.0, noise_db=-60.0, edit=None):
    """A stereo sine with silent edges and a little noise; `edit` changes the mono list first."""
    frames = int(seconds * RATE)
    omega = 2 * math.pi * FREQUENCY / RATE
    noise = 0.5 / math.sqrt(2) * 10 ** (noise_db / 20) * math.sqrt(3)  # uniform noise of that RMS
    rng = random.Random(7)
    mono = [0.5 * math.sin(omega * i + phase) + rng.uniform(-noise, noise) for i in range(frames)]
    if edit:
        edit(mono)
    mono = [0.0] * int(head * RATE) + mono + [0.0] * int(tail * RATE)
    samples = array("f", [0.0] * (2 * len(mono)))
    samples[0::2] = array("f", mono)
    samples[1::2] = array("f", mono)
    return samples


class SineCheckTest(unittest.TestCase):
    def test_clean_sine_is_continuous_at_its_noise_floor(self):
        report = sine_check.check(recording(), 2, FREQUENCY)
        self.assertTrue(report.continuous, report.faults)
        self.assertAlmostEqual(report.amplitude, 0.5, places=3)
        self.assertLess(report.worst_db, -55)
        self.assertAlmostEqual(report.floor_db, -60, delta=2)
        self.assertAlmostEqual(report.head_silence, 0.02, delta=0.001)
        self.assertAlmostEqual(report.tail_silence, 0.03, delta=0.001)
        self.assertEqual(report.channel_mismatch, 0.0)

    def test_codec_level_noise_is_no_fault(self):
        report = sine_check.check(recording(seconds=4.0, noise_db=-32.0), 2, FREQUENCY)
        self.assertTrue(report.continuous, report.faults)
        self.assertLess(report.worst_phase, 0.25)
        self.assertAlmostEqual(report.floor_db, -32, delta=1)

    def test_gap_of_one_millisecond_is_found_where_it_is(self):
        def gap(mono):
            start = int(1.2 * RATE)
            mono[start:start + 48] = [0.0] * 48

        report = sine_check.check(recording(noise_db=-38.0, edit=gap), 2, FREQUENCY)
        self.assertEqual(len(report.faults), 1, report.faults)
        fault = report.faults[0]
        self.assertLessEqual(fault.start, 1.22)
        self.assertGreaterEqual(fault.end, 1.221)
        self.assertLess(fault.end - fault.start, 0.06)
        self.assertEqual(fault.what, "gap or glitch")
        self.assertAlmostEqual(fault.step, 0.0, delta=0.25)
        self.assertGreater(report.worst_db, -16)

    def test_each_dropped_or_repeated_frame_is_one_fault_where_it_happens(self):
        for name, edit, step in (
                ("dropped", lambda mono: mono.pop(int(1.5 * RATE)), 1),
                ("repeated", lambda mono: mono.insert(int(1.5 * RATE), mono[int(1.5 * RATE)]), -1)):
            with self.subTest(name):
                report = sine_check.check(recording(seconds=3.0, noise_db=-38.0, edit=edit), 2, FREQUENCY)
                self.assertEqual(len(report.faults), 1, report.faults)
                fault = report.faults[0]
                self.assertAlmostEqual(fault.start, 1.52, delta=0.026)
                self.assertLess(fault.end - fault.start, 0.06)
                self.assertAlmostEqual(fault.step, step, delta=0.1)

    def test_faults_after_a_fault_are_found_too(self):
        def faults(mono):
            mono[int(0.8 * RATE):int(0.9 * RATE)] = [0.0] * int(0.1 * RATE)  # in place: no shift
            del mono[int(1.5 * RATE):int(1.5 * RATE) + 30]
            mono[int(2.5 * RATE):int(2.5 * RATE)] = [0.0] * 48  # a millisecond inserted

        report = sine_check.check(recording(seconds=3.5, noise_db=-38.0, edit=faults), 2, FREQUENCY)
        self.assertEqual([round(fault.start, 1) for fault in report.faults], [0.8, 1.5, 2.5], report.faults)
        self.assertEqual([round(fault.step) for fault in report.faults], [0, 30, -48])
        self.assertLess(report.worst_phase, 0.25)

    def test_silent_runs_are_the_gaps_and_edges_not_the_zero_crossings(self):
        def gap(mono):
            mono[int(0.5 * RATE):int(0.5 * RATE) + 96] = [0.0] * 96

        runs = sine_check.silent_runs(recording(seconds=1.0, head=0.01, tail=0.02, edit=gap), 2)
        self.assertEqual([(round(start, 4), round(length * 1e3, 1)) for start, length in runs],
                         [(0.0, 10.0), (0.51, 2.0), (1.01, 20.0)])

    def test_silence_alone_is_broken(self):
        report = sine_check.check(array("f", [0.0] * 9600), 2, FREQUENCY)
        self.assertEqual([fault.what for fault in report.faults], ["silence"])


if __name__ == "__main__":
    unittest.main()
