"""The interleaved rounds: K warm-up rounds, then RUNS counted ones, each
running every command once in order (A B C A B C ...), so that drift in the
machine's speed hits all alike; every run's report is read and checked
against the known final accumulators before its times count."""
import dataclasses
from typing import Optional

import report
from comparing.excerpt import tail
from comparing.records import Times
from comparing.running import CannotRun, Interrupted, check_interrupt, run_once
from report import FINALS, KERNEL_NAMES


class RunError(Exception):
    """A run failed, or its report was missing, malformed or wrong: the
    comparison cannot go on. The message names the command and the run."""


@dataclasses.dataclass
class Measurement:
    times: Times  # counted runs
    warmup_times: Times
    completed: int = 0  # counted rounds in which every command ran and was read
    interrupted: Optional[str] = None  # the signal's name when interrupted


def read_report(command, label, words, timeout, progress):
    """Runs the command once and returns {kernel: ms}, having checked every
    result line against the known finals. Raises RunError."""
    where = f"{command}, {label}"
    try:
        out, err, status, problem = run_once(words, timeout, progress)
    except CannotRun as error:
        raise RunError(f"{where}: {error}") from error
    ends = f"{tail('standard output', out)}\n{tail('standard error', err)}"
    if problem:
        raise RunError(f"{where}: {problem}\n{ends}")
    if status != 0:
        how = (f"was killed by signal {-status}" if status < 0 else f"exited with status {status}")
        raise RunError(f"{where}: {how}\n{ends}")
    try:
        results = report.parse(out.decode("utf-8", "replace"))
    except report.ReportError as error:
        raise RunError(f"{where}: {error}") from error
    found = {}
    for result in results:
        name = result.kernel.name
        if name in found:
            raise RunError(
                f"{where}: a second {name} line (lines {found[name].line_number} and "
                f"{result.line_number}): each run must print exactly one report\n"
                f"    | {found[name].line}\n    | {result.line}")
        found[name] = result
        if result.x != FINALS[name]:
            raise RunError(
                f"{where}: {name} reports x={result.x}, but the correct final value is "
                f"{FINALS[name]}: a wrong result (line {result.line_number}: {result.line!r})")
    missing = [kernel for kernel in KERNEL_NAMES if kernel not in found]
    if missing:
        raise RunError(f'{where}: no "{missing[0]}:" line in its output\n{ends}')
    return {name: result.ms for name, result in found.items()}


def measure(commands, warmup, runs, timeout, progress):
    """Runs the rounds and returns the Measurement; an interrupt ends them
    early (Measurement.interrupted). Raises RunError at the first run that
    fails. `progress.update(label, command, elapsed)` is called while a run
    is in progress."""
    measurement = Measurement(times=[{kernel: [] for kernel in KERNEL_NAMES} for _ in commands],
                              warmup_times=[{kernel: [] for kernel in KERNEL_NAMES}
                                            for _ in commands])
    try:
        for round_number in range(warmup + runs):
            warm = round_number < warmup
            label = (f"warm-up run {round_number + 1} of {warmup}" if warm
                     else f"run {round_number - warmup + 1} of {runs}")
            results = []
            for command in commands:
                def running(elapsed, command=command, label=label):
                    progress.update(label, command.text, elapsed)
                results.append(read_report(command.text, label, command.words, timeout, running))
            # A signal after the round's last run still leaves the round out.
            check_interrupt()
            kept = measurement.warmup_times if warm else measurement.times
            for index, found in enumerate(results):
                for kernel in KERNEL_NAMES:
                    kept[index][kernel].append(found[kernel])
            measurement.completed += not warm
    except Interrupted as signal_name:
        measurement.interrupted = str(signal_name)
    return measurement
