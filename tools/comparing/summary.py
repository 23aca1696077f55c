"""The summary of a comparison: per kernel and command the median, min, max
and spread of its times, and for each candidate its ratio to the reference
with an interval at the level that the Bonferroni correction over every
comparison in the report sets, and the verdict that follows from it."""
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


def summarise(commands, times):
    """One Row per kernel and command (kernel by kernel, commands in order),
    with the adjusted statistics, and the Correction. `commands` are the
    commands' printable names, `times` per command {kernel: [ms, ...]}."""
    tests = (len(commands) - 1) * len(KERNEL_NAMES)
    alpha = FAMILY_ALPHA / max(tests, 1)
    rows = []
    for kernel in KERNEL_NAMES:
        reference = times[0][kernel]
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            row = Row(kernel=kernel, command=command, command_index=index, runs=len(runs))
            rows.append(row)
            if not runs:
                continue
            median, low, high = statistics.median(runs), min(runs), max(runs)
            ref_median = statistics.median(reference)
            row.median_ms, row.min_ms, row.max_ms = median, low, high
            row.spread = high / low if low > 0 else None
            row.median_ratio = (median / ref_median if median > 0 and ref_median > 0
                                else None)
            row.unstable = high > 0 if row.spread is None else row.spread > UNSTABLE_SPREAD
            if index == 0:
                row.verdict = "reference"
            elif low == 0 or min(reference) == 0:
                row.verdict = "undefined: a zero time"
            else:
                shift, interval, exact = shift_interval(
                    [math.log(t) for t in runs], [math.log(t) for t in reference], alpha)
                row.ratio, row.exact = exp(shift), exact
                if interval is None:
                    row.verdict = "too few runs for the adjusted level"
                    continue
                row.interval = [exp(interval[0]), exp(interval[1])]
                row.verdict = ("slower" if interval[0] > 0 else
                               "faster" if interval[1] < 0 else "no significant difference")
    return rows, Correction(method="bonferroni", family_alpha=float(FAMILY_ALPHA), tests=tests,
                            per_test_alpha=float(alpha), interval_level=float(1 - alpha))
