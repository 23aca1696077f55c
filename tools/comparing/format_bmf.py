"""The Bencher Metric Format (--format bmf): the JSON that Bencher's `json`
adapter reads, one benchmark per command and kernel (comparing/names.py),
each with its measures:

    latency              the median run time in nanoseconds (Bencher's
                         built-in measure and unit), min and max as bounds
    ratio-to-reference   the Hodges-Lehmann ratio to the reference, its
                         interval as bounds (the reference has none)
    ratio-to-floor       the same against the floor (--floor)

Against a saved run (--against) the ratio is to the command's own runs there,
and the measure's name says that the two were not interleaved: a name is the
only text a BMF document has room for. A value that is undefined (a zero
time) or too large for a float leaves its measure or its bounds out, since
the format takes numbers only.
"""
import json

from comparing.format_json import finite_number
from comparing.names import benchmark_name, command_names

NAME_LIMIT = 1024  # characters of a benchmark's name that Bencher takes
NS_PER_MS = 1e6
RATIO = "ratio-to-reference"
SAVED_RATIO = "ratio-to-saved-run-not-interleaved"
FLOOR_RATIO = "ratio-to-floor"


def metric(value, bounds=None, scale=1.0):
    """A measure's object, or None when `value` is not a finite number;
    bounds only when both are finite."""
    if not finite_number(value):
        return None
    def scaled(number):  # times are read to 10 us; 33.44 ms * 1e6 is 33439999.999999996
        return number if scale == 1.0 else round(number * scale, 3)

    out = {"value": scaled(value)}
    if bounds and all(finite_number(bound) for bound in bounds):
        out.update(lower_value=scaled(bounds[0]), upper_value=scaled(bounds[1]))
    return out


def format_bmf(comparison):
    names = command_names(comparison.commands, NAME_LIMIT)
    document = {}
    for row in comparison.rows:
        measures = {
            "latency": metric(row.median_ms, (row.min_ms, row.max_ms), NS_PER_MS),
            SAVED_RATIO if comparison.against else RATIO: metric(row.ratio, row.interval),
            FLOOR_RATIO: metric(row.floor_ratio, row.floor_interval),
        }
        document[benchmark_name(names, row)] = {name: value for name, value in measures.items()
                                                if value is not None}
    return json.dumps(document, indent=2) + "\n"
