"""The JSON document: every run's time, the summary rows, the correction and
the machine's details, for programs to read.

SCHEMA_VERSION changes only when a field changes its meaning or goes away;
SCHEMA_MINOR counts the fields added since, which a reader of the same
version may ignore. Every string in the document is valid Unicode, so any
UTF-8 JSON reader takes it; a command given in bytes that are not UTF-8 is
kept exactly in base64 beside its readable form.
"""
import base64
import dataclasses
import json
import math
import os

from report import FINALS, KERNEL_NAMES

SCHEMA_VERSION = 1
# 1: "failed"; commands[]: "argument_base64", "words_base64".
# 2: commands[]: "role"; results[]: "floor_ratio", "floor_interval", "floor_exact",
#    "floor_verdict".
# 3: environment: "cpu_family", "cpu_model_number"; "skipped".
# 4: "against" (--against: the saved run; results[] "saved_times_ms") and
#    "noise" (what the look at the machine before the first round found).
SCHEMA_MINOR = 4


def finite(value):
    """JSON has no infinity: a ratio too large for a float is written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(item) for item in value]
    return value


def finite_number(value):
    """Whether `value` is a number that JSON can hold (not None, not inf)."""
    return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isfinite(value)


def readable(text):
    """`text` as valid Unicode: a byte that was not UTF-8 becomes U+FFFD."""
    return os.fsencode(text).decode("utf-8", "replace")


def exact(text):
    """The bytes `text` was given as, in base64."""
    return base64.b64encode(os.fsencode(text)).decode("ascii")


def command_json(command, role):
    return {"command": command.text, "role": role,
            "words": [readable(word) for word in command.words],
            "argument_base64": exact(command.argument),
            "words_base64": [exact(word) for word in command.words]}


def failure_json(failed):
    if failed is None:
        return None
    return {"command_index": failed.command_index, "run": failed.run,
            "message": readable(failed.message)}


def against_json(comparison):
    saved = comparison.against
    if saved is None:
        return None
    return {"file": readable(saved.path), "utc": saved.utc, "host": saved.host,
            "runs": saved.runs, "interleaved": False}


def noise_json(noise):
    if noise is None:
        return None
    return {"line": noise.line, "found": list(noise.found), **noise.readings}


def format_json(comparison):
    before, after = comparison.environment_before, comparison.environment_after
    document = {
        "schema_version": SCHEMA_VERSION,
        "schema_minor": SCHEMA_MINOR,
        "environment": {**{k: v for k, v in before.items() if k != "load_average"},
                        "load_average_before": before["load_average"],
                        "load_average_after": after["load_average"]},
        "commands": [command_json(command, "reference" if index == 0 else
                                  "floor" if index == comparison.floor_index else "candidate")
                     for index, command in enumerate(comparison.commands)],
        # What --skip-missing left out, with why: never run, in no result.
        "skipped": [{**command_json(s.command, s.role), "reason": readable(s.reason)}
                    for s in comparison.skipped],
        "runs": comparison.runs, "warmup": comparison.warmup, "timeout_s": comparison.timeout,
        "interrupted": comparison.interrupted,
        "failed": failure_json(comparison.failed),
        "correction": dataclasses.asdict(comparison.correction),
        "against": against_json(comparison),
        "noise": noise_json(comparison.noise),
        "finals": {kernel: str(FINALS[kernel]) for kernel in KERNEL_NAMES},
        "results": [{**{key: finite(value) for key, value in dataclasses.asdict(row).items()},
                     "x": str(FINALS[row.kernel]),
                     "warmup_times_ms": comparison.warmup_times[row.command_index][row.kernel],
                     "times_ms": comparison.times[row.command_index][row.kernel],
                     "saved_times_ms": (comparison.against.times[row.command_index][row.kernel]
                                        if comparison.against else None)}
                    for row in comparison.rows],
    }
    return json.dumps(document, indent=2) + "\n"
