"""Which faults of a recording the bench blames on the tool rather than on the source."""

import unittest

from recording_bench import best_offset, unexplained
from sine_check import Fault


def fault(start, step):
    made = Fault(start, "gap or glitch", 0.0)
    made.step = step
    return made


class UnexplainedTest(unittest.TestCase):
    def test_a_fault_of_the_source_shows_in_both_a_little_apart(self):
        ours = [fault(19.118, -21.8), fault(7.0, 30.0)]
        witness = [fault(19.043, -21.8), fault(6.95, 30.0 + 109.09)]  # the same step, a period apart
        self.assertEqual(unexplained(ours, witness), [])

    def test_the_shift_between_the_recordings_is_found_from_the_steps(self):
        ours = [fault(2.101, -13.1), fault(15.601, -8.7), fault(18.401, -4.4), fault(16.4, 0.0)]
        witness = [fault(1.618, -13.1), fault(15.143, -8.7), fault(17.918, -4.4), fault(15.9, 20.4)]
        self.assertEqual(unexplained(ours, witness), [ours[3]])

    def test_a_gap_in_place_or_a_step_of_its_own_is_the_tools(self):
        in_place, other_step, far = fault(16.402, 0.0), fault(13.943, 12.0), fault(20.0, -21.8)
        witness = [fault(13.918, -4.4), fault(19.043, -21.8), fault(5.0, 3.0)]
        ours = [in_place, other_step, far, fault(5.02, 3.0)]
        self.assertEqual(unexplained(ours, witness), [in_place, other_step, far])

    def test_a_fault_without_a_clean_block_after_it_matches_by_time(self):
        self.assertEqual(unexplained([fault(29.9, None)], [fault(29.85, 5.0)]), [])

    def test_no_witness_fault_explains_nothing(self):
        lone = fault(3.0, 1.0)
        self.assertEqual(unexplained([lone], []), [lone])


class BestOffsetTest(unittest.TestCase):
    def test_the_shift_that_lines_up_most_events(self):
        self.assertAlmostEqual(best_offset([2.0, 4.0, 6.0], [2.5, 4.5, 6.49, 3.0], 0.03), 0.5, delta=0.015)

    def test_nothing_in_reach_is_none(self):
        self.assertIsNone(best_offset([2.0], [5.0], 0.03))
        self.assertIsNone(best_offset([], [1.0], 0.03))


if __name__ == "__main__":
    unittest.main()
