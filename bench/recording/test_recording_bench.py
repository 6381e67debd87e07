"""Which faults of a recording the bench blames on the tool rather than on the source."""

import unittest

from recording_bench import unexplained
from sine_check import Fault


def fault(start, step):
    made = Fault(start, "gap or glitch", 0.0)
    made.step = step
    return made


class UnexplainedTest(unittest.TestCase):
    def test_a_fault_of_the_source_shows_in_both_a_little_apart(self):
        ours = [fault(19.118, -21.8), fault(7.0, 30.0)]
        witness = [fault(19.043, -21.8), fault(7.2, 30.0 + 109.09)]  # the same step, a period apart
        self.assertEqual(unexplained(ours, witness), [])

    def test_a_gap_in_place_or_a_step_of_its_own_is_the_tools(self):
        in_place, other_step, far = fault(16.402, 0.0), fault(13.943, 12.0), fault(20.0, -21.8)
        witness = [fault(13.918, -4.4), fault(19.043, -21.8)]
        self.assertEqual(unexplained([in_place, other_step, far], witness), [in_place, other_step, far])

    def test_a_fault_without_a_clean_block_after_it_matches_by_time(self):
        self.assertEqual(unexplained([fault(29.9, None)], [fault(29.8, 5.0)]), [])


if __name__ == "__main__":
    unittest.main()
