"""The texts that the table and markdown formats share: a row's numbers,
its estimate with interval, the notes under the rows, and the width a text
takes on a terminal."""
import unicodedata

from comparing.environment import machine_name
from comparing.summary import UNSTABLE_SPREAD


def display_width(text):
    """Terminal columns that `text` takes: two for a wide or full-width
    (East Asian) character, none for a combining mark or a format
    character, one for any other."""
    width = 0
    for char in text:
        if unicodedata.combining(char) or unicodedata.category(char) in ("Mn", "Me", "Cf"):
            continue
        width += 2 if unicodedata.east_asian_width(char) in ("W", "F") else 1
    return width


def pad(text, width, align="<"):
    """`text` padded with spaces to `width` display columns, on the right
    (align "<") or the left (">")."""
    room = " " * max(0, width - display_width(text))
    return text + room if align == "<" else room + text


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


def ratio_text(ratio, interval):
    low, high = interval or (None, None)
    if low is None:
        return f"{ratio:.3f} [none]"
    return f"{ratio:.3f} [{bound_text(low)}, {bound_text(high)}]"


def estimate_text(row):
    """The ratio to the reference with its interval."""
    if row.ratio is None:
        return "-" if row.verdict in ("reference", "floor") else "undefined"
    return ratio_text(row.ratio, row.interval)


def floor_estimate_text(row):
    """The ratio to the floor with its interval ("-" in the floor's own row,
    which alone has no floor verdict)."""
    if row.floor_ratio is None:
        return "-" if row.floor_verdict is None else "undefined"
    return ratio_text(row.floor_ratio, row.floor_interval)


def machine_line(comparison):
    """Where the comparison ran, for an output read away from its JSON."""
    return f"Machine: {machine_name(comparison.environment_before)}."


def against_line(comparison):
    """What a comparison with a saved run compares, and what it cannot
    control; None for an interleaved comparison."""
    if comparison.against is None:
        return None
    return (f"Against the saved run {comparison.against.describe()}: each command's ratio is to "
            "its own runs there. NOT INTERLEAVED with this run: a change in the machine's "
            "speed between the two runs is not controlled.")


def left_out_lines(comparison):
    """The commands --skip-missing left out, each with why."""
    return [f"Left out (--skip-missing): {s.describe()}" for s in comparison.skipped]


def notes(comparison):
    """The lines under the rows: where and how the figures were made, what
    was left out, and what a flag or an early end means."""
    correction, rows = comparison.correction, comparison.rows
    floor = comparison.floor_index is not None
    against = comparison.against is not None
    candidates = len({row.command_index for row in rows} -
                     ({comparison.floor_index} if against else {0, comparison.floor_index}))
    approx = any(row.exact is False or row.floor_exact is False for row in rows)
    level = (f"{correction.interval_level:.2%} interval "
             f"({'normal approximation' if approx else 'exact Mann-Whitney distribution'}); "
             f"Bonferroni correction over {correction.tests} comparison(s), family level "
             f"{correction.family_alpha:.0%}")
    lines = [f"{comparison.runs} runs per command after {comparison.warmup} warm-up round(s), "
             "interleaved."]
    base = "the same command's time in the saved run" if against else "reference time"
    if candidates:
        lines.append(f"ratio: Hodges-Lehmann estimate of time / {base}, with its {level}; "
                     "faster/slower only when the interval excludes 1. median ratio: median / "
                     f"{'saved' if against else 'reference'} median.")
    if floor:
        lines.append("floor ratio: the same estimate of time / floor time (the floor ran in the "
                     "same rounds), " + ("at the same level and counted in the correction"
                                         if candidates else f"with its {level}") +
                     "; above/below the floor only when the interval excludes 1. Below the "
                     "floor: faster than the floor command, which then is not this machine's "
                     "floor for that kernel." +
                     ("" if candidates else " median ratio: median / reference median."))
    if not correction.tests:
        lines.append("One command only: nothing to compare it with.")
    if any(row.unstable for row in rows):
        lines.append(f"unstable: max/min above {UNSTABLE_SPREAD}; the machine was noisy or the "
                     "command's speed varies from run to run; more runs will not fix a bimodal "
                     "one.")
    if comparison.interrupted:
        lines.insert(0, f"INTERRUPTED ({comparison.interrupted}): only the {comparison.runs} "
                        "completed round(s).")
    if comparison.failed:
        failed = comparison.failed
        name = next(row.command for row in rows if row.command_index == failed.command_index)
        lines.insert(0, f"FAILED ({name}, {failed.run}): only the {comparison.runs} completed "
                        "round(s); the error is on standard error.")
    if comparison.noise is not None and comparison.noise.found:
        lines.append("Seen before the first round, what may distort the figures: "
                     + "; ".join(comparison.noise.found) + ".")
    return ([machine_line(comparison)] + [line for line in [against_line(comparison)] if line]
            + left_out_lines(comparison) + lines)
