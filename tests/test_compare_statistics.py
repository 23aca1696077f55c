#!/usr/bin/env python3
"""Tests of compare's statistic, in process: the Mann-Whitney null
distribution, the Hodges-Lehmann interval, its level with ties, the verdicts
and the Bonferroni correction (tools/comparing/interval.py and summary.py).

    test_compare_statistics.py [GROUP ...]
"""
import argparse
import itertools
import sys
import unittest
import unittest.mock

import harness
from comparing.cells import bound_text
from comparing.interval import shift_interval, tail_depth, u_null_counts
from comparing.summary import summarise
from report import KERNEL_NAMES

OPTIONS = argparse.Namespace()
INC = KERNEL_NAMES[0]


def verdicts(reference, *candidates):
    """The rows of an in-process summary of these samples, for one kernel."""
    commands = [f"c{i}" for i in range(len(candidates) + 1)]
    times = [{kernel: list(sample) for kernel in KERNEL_NAMES}
             for sample in (reference, *candidates)]
    rows, correction = summarise(commands, times)
    return [row for row in rows if row.kernel == INC][1:], correction


class Statistics(unittest.TestCase):
    def test_printed_interval_ends_show_whether_they_hold_one(self):
        for value, text in ((1.0003, "1.0003"), (0.99996, "0.99996"), (1.0, "1.000"),
                            (1.23456, "1.235"), (0.5, "0.500")):
            self.assertEqual(bound_text(value), text)

    def test_null_distribution_of_u_by_enumeration(self):
        for m, n in ((1, 1), (2, 3), (4, 4), (3, 6), (5, 2)):
            counts = [0] * (m * n + 1)
            for first in itertools.combinations(range(m + n), m):
                # U: pairs (a in the first sample, b in the second) with a above b.
                counts[sum(1 for a in first for b in range(m + n) if b not in first and a > b)] += 1
            self.assertEqual(list(u_null_counts(m, n)), counts, (m, n))

    def test_interval_computed_by_hand(self):
        # 4 and 4: P(U <= 1) = 2/70 <= 0.05 < P(U <= 2) = 4/70, so at level 0.90 the interval
        # runs from the 2nd smallest to the 2nd largest of the 16 differences 7 8 8 9 9 9 10
        # 10 10 11 11 11 12 12 13 14: [8, 13], estimate (10 + 10) / 2.
        self.assertEqual(shift_interval([11, 12, 13, 15], [1, 2, 3, 4], 0.10),
                         (10, (8, 13), True))
        # 3 and 3 at 0.05: even U = 0 has probability 1/20 > 0.025: no interval.
        self.assertEqual(shift_interval([1, 2, 3], [4, 5, 6], 0.05)[1], None)
        # Above the exact limit, the normal approximation leaves out at most as many
        # differences as the exact distribution would (1179 here), and nearly as many.
        with unittest.mock.patch("comparing.interval.EXACT_LIMIT", 0):
            k, exact = tail_depth(60, 60, 0.001)
        self.assertEqual((tail_depth(60, 60, 0.001), exact), ((1179, True), False))
        self.assertTrue(0.99 * 1179 <= k <= 1179, k)

    def test_tied_samples_keep_the_level(self):
        # Every split of a tied pool into two samples is equally likely when both come
        # from one distribution: at most alpha of the splits may exclude a zero shift.
        for pool, m in (([1, 1, 1, 2, 2, 3, 3, 3], 4), ([5] * 5 + [6] * 5, 5),
                        ([1, 2, 2, 2, 2, 2, 2, 3, 4, 4], 5)):
            splits = list(itertools.combinations(range(len(pool)), m))
            wrong = 0
            for first in splits:
                a = [pool[i] for i in first]
                b = [pool[i] for i in range(len(pool)) if i not in first]
                interval = shift_interval(a, b, 0.10)[1]
                wrong += interval is not None and not interval[0] <= 0 <= interval[1]
            self.assertLessEqual(wrong / len(splits), 0.10, pool)

    def test_verdicts(self):
        # Medians 10 and 10, every high run >= every low run: the ranks differ clearly
        # (Mann-Whitney p < 0.001), but a shift of zero fits the 64 tied pairs.
        low, high = [5] * 7 + [10] * 8, [10] * 8 + [20] * 7
        cases = [  # (reference, candidate, verdict)
            # Every candidate run at least as slow, equal medians: never faster.
            (low, high, "no significant difference"),
            (high, low, "no significant difference"),
            ([20.0] * 8, [10.0] * 8, "faster"),
            # Bimodal candidate: most runs slower, its median too; the estimate decides.
            ([10, 10.1, 10.2, 10.3, 10.4, 10.5, 10.6, 10.7], [9] * 3 + [10.8] * 5,
             "no significant difference"),
            ([10] * 8, [12, 12, 12, 12, 12, 12, 12, 9], "slower"),
            # Three kernels, so each tail holds 0.05 / 3 / 2 = 1/120: P(U = 0) = 1/70 for four
            # runs each is too likely, 1/252 for five is not.
            ([10] * 4, [12] * 4, "too few runs for the adjusted level"),
            ([10] * 5, [12] * 5, "slower"),
            ([10] * 6, [0.0] * 6, "undefined: a zero time"),
        ]
        for reference, candidate, verdict in cases:
            with self.subTest(candidate=candidate):
                [row], _ = verdicts(reference, candidate)
                self.assertEqual(row.verdict, verdict)
                if row.interval:
                    low_r, high_r = row.interval
                    self.assertLessEqual(low_r, row.ratio)
                    self.assertLessEqual(row.ratio, high_r)
                    self.assertEqual(verdict == "faster", high_r < 1)
                    self.assertEqual(verdict == "slower", low_r > 1)

    def test_correction_counts_every_comparison(self):
        rows, correction = verdicts([10] * 7, *([[12] * 7] * 9))
        self.assertEqual((correction.tests, correction.per_test_alpha), (27, 0.05 / 27))
        self.assertEqual({row.verdict for row in rows}, {"slower"})  # 1/3432 < 0.05/54
        rows, _ = verdicts([10] * 6, *([[12] * 6] * 9))
        self.assertEqual({row.verdict for row in rows}, {"too few runs for the adjusted level"})


def with_floor(reference, floor, *candidates):
    """The rows (increment kernel) and correction of an in-process summary
    of these samples, the floor last."""
    commands = ["ref", *(f"c{i}" for i in range(len(candidates))), "floor"]
    times = [{kernel: list(sample) for kernel in KERNEL_NAMES}
             for sample in (reference, *candidates, floor)]
    rows, correction = summarise(commands, times, floor_index=len(commands) - 1)
    return [row for row in rows if row.kernel == INC], correction


class FloorComparisons(unittest.TestCase):
    def test_ratios_to_the_floor(self):
        cases = [  # (reference, floor, candidate, the reference's and the candidate's
            # expected ratio to the floor and verdict)
            ([10] * 8, [5] * 8, [4] * 8, (2.0, "above the floor"), (0.8, "below the floor")),
            ([10] * 8, [10] * 8, [10] * 8, (1.0, "no significant difference"),
             (1.0, "no significant difference")),
            ([10] * 8, [0.0] * 8, [10] * 8, (None, "undefined: a zero time"),
             (None, "undefined: a zero time")),
            # Nine comparisons: each tail holds 0.05 / 9 / 2 = 1/360, which four runs each
            # cannot reach (P(U = 0) = 1/70).
            ([10] * 4, [5] * 4, [5] * 4, (2.0, "too few runs for the adjusted level"),
             (1.0, "too few runs for the adjusted level")),
        ]
        for reference, floor, candidate, ref_expected, cand_expected in cases:
            with self.subTest(floor=floor, candidate=candidate):
                rows, _ = with_floor(reference, floor, candidate)
                for row, (ratio, verdict) in zip(rows, (ref_expected, cand_expected)):
                    self.assertEqual(row.floor_verdict, verdict)
                    if ratio is None:
                        self.assertIsNone(row.floor_ratio)
                        continue
                    self.assertAlmostEqual(row.floor_ratio, ratio)
                    if row.floor_interval:
                        low, high = row.floor_interval
                        self.assertTrue(low <= row.floor_ratio <= high)
                        self.assertEqual(verdict == "above the floor", low > 1)
                        self.assertEqual(verdict == "below the floor", high < 1)
                floor_row = rows[-1]
                self.assertEqual((floor_row.verdict, floor_row.ratio, floor_row.floor_ratio,
                                  floor_row.floor_verdict), ("floor", None, None, None))
                # The reference is still compared with nothing but the floor.
                self.assertEqual((rows[0].verdict, rows[0].ratio), ("reference", None))

    def test_floor_comparisons_count_in_the_correction(self):
        # Five runs each: against the reference alone (3 comparisons, 1/120 per tail)
        # P(U = 0) = 1/252 is rare enough; with a floor (3 more per command: 9, 1/360)
        # it is not.
        [row], correction = verdicts([10] * 5, [12] * 5)
        self.assertEqual((row.verdict, correction.tests), ("slower", 3))
        rows, correction = with_floor([10] * 5, [5] * 5, [12] * 5)
        self.assertEqual((correction.tests, correction.per_test_alpha), (9, 0.05 / 9))
        self.assertEqual(rows[1].verdict, "too few runs for the adjusted level")
        self.assertEqual(rows[1].floor_verdict, "too few runs for the adjusted level")
        # Six runs reach it: 1/924.
        rows, _ = with_floor([10] * 6, [5] * 6, [12] * 6)
        self.assertEqual([(row.verdict, row.floor_verdict) for row in rows],
                         [("reference", "above the floor"), ("slower", "above the floor"),
                          ("floor", None)])
        # Only a floor: three comparisons, all with the floor.
        rows, correction = with_floor([10] * 5, [5] * 5)
        self.assertEqual((correction.tests, rows[0].floor_verdict), (3, "above the floor"))


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
