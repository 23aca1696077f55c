"""The texts that the table and markdown formats share: a row's numbers,
its estimate with interval, and the notes under the rows."""
from comparing.summary import UNSTABLE_SPREAD


def number(value, digits=2):
    return "undefined" if value is None else f"{value:.{digits}f}"


def bound_text(value):
    """An interval's end with three decimals, or as many more as it takes not
    to print 1.000 for an end that is not 1: the verdict rests on whether
    the interval holds 1, and the printed interval must show the same."""
    digits = 3
    while round(value, digits) == 1 and value != 1 and digits < 12:
        digits += 1
    return f"{value:.{digits}f}"


def estimate_text(row):
    if row.ratio is None:
        return "-" if row.verdict == "reference" else "undefined"
    low, high = row.interval or (None, None)
    if low is None:
        return f"{row.ratio:.3f} [none]"
    return f"{row.ratio:.3f} [{bound_text(low)}, {bound_text(high)}]"


def notes(comparison):
    """The lines under the rows: how the figures were made, and what a flag
    or an interrupt means."""
    correction, rows = comparison.correction, comparison.rows
    approx = any(row.exact is False for row in rows)
    lines = [f"{comparison.runs} runs per command after {comparison.warmup} warm-up round(s), "
             "interleaved.",
             "ratio: Hodges-Lehmann estimate of time / reference time, with its "
             f"{correction.interval_level:.2%} interval "
             f"({'normal approximation' if approx else 'exact Mann-Whitney distribution'}); "
             f"Bonferroni correction over {correction.tests} comparison(s), family level "
             f"{correction.family_alpha:.0%}; faster/slower only when the interval "
             "excludes 1. median ratio: median / reference median."]
    if not correction.tests:
        lines[1:] = ["One command only: nothing to compare it with."]
    if any(row.unstable for row in rows):
        lines.append(f"unstable: max/min above {UNSTABLE_SPREAD}; the machine was noisy or the "
                     "command's speed varies from run to run; more runs will not fix a bimodal "
                     "one.")
    if comparison.interrupted:
        lines.insert(0, f"INTERRUPTED ({comparison.interrupted}): only the {comparison.runs} "
                        "completed round(s).")
    return lines
