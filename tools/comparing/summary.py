"""The summary of a comparison: per kernel and command the median, min, max
and spread of its times, and for each candidate its ratio to the reference
with an interval at the level that the Bonferroni correction over every
comparison in the report sets, and the verdict that follows from it.

With a floor (--floor), every other command, the reference included, is
compared with the floor in the same way: the ratio of its time to the
floor's, its interval and a verdict. These comparisons count in the
correction like the others, so the 5% bound holds for every verdict in the
report together.

Against a saved run (--against), each command, the floor included, is
compared with its own runs in the saved run instead of with the reference;
the comparisons with the floor stay within this run.
"""
import fractions
import math
import statistics

from comparing.interval import shift_interval
from comparing.records import Correction, Row
from report import KERNEL_NAMES

FAMILY_ALPHA = fractions.Fraction(1, 20)  # the chance of any wrong verdict in one report
UNSTABLE_SPREAD = 1.25  # max/min above this: the runs disagree by more than a quarter


def exp(value):
    try:
        return math.exp(value)
    except OverflowError:  # times some 300 orders of magnitude apart
        return math.inf


def compare_runs(runs, base, alpha, above, below):
    """The ratio of `runs` to `base` (Hodges-Lehmann, on log times), its
    interval at level 1 - alpha, whether that came from the exact
    distribution, and the verdict: `above` or `below` when the interval
    excludes 1 on that side."""
    if min(runs) == 0 or min(base) == 0:
        return None, None, None, "undefined: a zero time"
    shift, interval, exact = shift_interval([math.log(t) for t in runs],
                                            [math.log(t) for t in base], alpha)
    if interval is None:
        return exp(shift), None, exact, "too few runs for the adjusted level"
    verdict = (above if interval[0] > 0 else below if interval[1] < 0
               else "no significant difference")
    return exp(shift), [exp(interval[0]), exp(interval[1])], exact, verdict


def summarise(commands, times, floor_index=None, saved=None):
    """One Row per kernel and command (kernel by kernel, commands in order),
    with the adjusted statistics, and the Correction. `commands` are the
    commands' printable names, `times` per command {kernel: [ms, ...]};
    `floor_index` is the floor's index among them, if there is one; `saved`,
    per command, the times of its runs in a saved run to compare it with."""
    floors = 0 if floor_index is None else len(commands) - 1
    compared = len(commands) - (1 + (floor_index is not None) if saved is None else 0)
    tests = (compared + floors) * len(KERNEL_NAMES)
    alpha = FAMILY_ALPHA / max(tests, 1)
    rows = []
    for kernel in KERNEL_NAMES:
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            base = (times[0] if saved is None else saved[index])[kernel]
            row = Row(kernel=kernel, command=command, command_index=index, runs=len(runs))
            rows.append(row)
            if not runs:
                continue
            median, low, high = statistics.median(runs), min(runs), max(runs)
            base_median = statistics.median(base)
            row.median_ms, row.min_ms, row.max_ms = median, low, high
            row.spread = high / low if low > 0 else None
            row.median_ratio = (median / base_median if median > 0 and base_median > 0
                                else None)
            row.unstable = high > 0 if row.spread is None else row.spread > UNSTABLE_SPREAD
            is_floor = index == floor_index
            if floor_index is not None and not is_floor and times[floor_index][kernel]:
                (row.floor_ratio, row.floor_interval, row.floor_exact,
                 row.floor_verdict) = compare_runs(runs, times[floor_index][kernel], alpha,
                                                   "above the floor", "below the floor")
            if saved is None and (is_floor or index == 0):
                row.verdict = "floor" if is_floor else "reference"
                continue
            row.ratio, row.interval, row.exact, row.verdict = compare_runs(
                runs, base, alpha, "slower", "faster")
    return rows, Correction(method="bonferroni", family_alpha=float(FAMILY_ALPHA), tests=tests,
                            per_test_alpha=float(alpha), interval_level=float(1 - alpha))
