"""The JSON document: every run's time, the summary rows, the correction and
the machine's details, for programs to read (the schema: SCHEMA_VERSION)."""
import dataclasses
import json
import math

from report import FINALS, KERNEL_NAMES

SCHEMA_VERSION = 1


def finite(value):
    """JSON has no infinity: a ratio too large for a float is written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(item) for item in value]
    return value


def format_json(comparison):
    before, after = comparison.environment_before, comparison.environment_after
    document = {
        "schema_version": SCHEMA_VERSION,
        "environment": {**{k: v for k, v in before.items() if k != "load_average"},
                        "load_average_before": before["load_average"],
                        "load_average_after": after["load_average"]},
        "commands": [{"command": c.text, "words": list(c.words)} for c in comparison.commands],
        "runs": comparison.runs, "warmup": comparison.warmup, "timeout_s": comparison.timeout,
        "interrupted": comparison.interrupted,
        "correction": dataclasses.asdict(comparison.correction),
        "finals": {kernel: str(FINALS[kernel]) for kernel in KERNEL_NAMES},
        "results": [{**{key: finite(value) for key, value in dataclasses.asdict(row).items()},
                     "x": str(FINALS[row.kernel]),
                     "warmup_times_ms": comparison.warmup_times[row.command_index][row.kernel],
                     "times_ms": comparison.times[row.command_index][row.kernel]}
                    for row in comparison.rows],
    }
    return json.dumps(document, indent=2) + "\n"
