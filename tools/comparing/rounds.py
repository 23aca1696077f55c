"""The interleaved rounds: K warm-up rounds, then RUNS counted ones, each
running every command once in order (A B C A B C ...), so that drift in the
machine's speed hits all alike; every run's report is read and checked
against the known final accumulators before its times count."""
import dataclasses
import time
from typing import Optional

import report
from comparing import excerpt
from comparing.excerpt import tail
from comparing.records import Failure, Times
from comparing.running import CannotRun, Interrupted, check_interrupt, run_once
from report import FINALS, KERNEL_NAMES


class RunError(Exception):
    """A run failed, or its report was missing, malformed or wrong: the
    comparison cannot go on. The message names the command and the run."""

    def __init__(self, message, label):
        super().__init__(message)
        self.label = label


@dataclasses.dataclass
class Measurement:
    times: Times  # counted runs
    warmup_times: Times
    completed: int = 0  # counted rounds in which every command ran and was read
    interrupted: Optional[str] = None  # the signal's name when interrupted
    failed: Optional[Failure] = None  # the run that ended the rounds


def read_report(command, label, words, timeout, progress):
    """Runs the command once and returns {kernel: ms}, having checked every
    result line against the known finals. Raises RunError, whose message
    quotes the command's output bounded (comparing/excerpt.py)."""
    where = f"{command}, {label}"

    def failure(message):
        return RunError(f"{where}: {message}", label)

    try:
        out, err, err_length, status, problem = run_once(words, timeout, progress)
    except CannotRun as error:
        raise failure(str(error)) from error
    ends = "\n".join((tail("standard output", out),
                      tail("standard error", err, length=err_length)))
    if problem:
        raise failure(f"{problem}\n{ends}")
    if status != 0:
        how = (f"was killed by signal {-status}" if status < 0 else f"exited with status {status}")
        raise failure(f"{how}\n{ends}")
    try:
        results = report.parse(out.decode("utf-8", "replace"))
    except report.ReportError as error:
        # It quotes the line, which may be as long as the output.
        raise failure(excerpt.text(str(error))) from error
    found = {}
    for result in results:
        name = result.kernel.name
        if name in found:
            raise failure(
                f"a second {name} line (lines {found[name].line_number} and "
                f"{result.line_number}): each run must print exactly one report\n"
                f"    | {excerpt.text(found[name].line)}\n    | {excerpt.text(result.line)}")
        found[name] = result
        if result.x != FINALS[name]:
            raise failure(
                f"{name} reports x={result.x}, but the correct final value is "
                f"{FINALS[name]}: a wrong result (line {result.line_number}: "
                f"{excerpt.text(repr(result.line))})")
    missing = [kernel for kernel in KERNEL_NAMES if kernel not in found]
    if missing:
        raise failure(f'no "{missing[0]}:" line in its output\n{ends}')
    return {name: result.ms for name, result in found.items()}


def measure(commands, warmup, runs, timeout, progress):
    """Runs the rounds and returns the Measurement. An interrupt
    (Measurement.interrupted) or the first run that fails
    (Measurement.failed) ends them; the rounds completed before count.
    `progress` is told where the rounds are (comparing/progress.py)."""
    measurement = Measurement(times=[{kernel: [] for kernel in KERNEL_NAMES} for _ in commands],
                              warmup_times=[{kernel: [] for kernel in KERNEL_NAMES}
                                            for _ in commands])
    index = 0
    try:
        for round_number in range(warmup + runs):
            warm = round_number < warmup
            label = (f"warm-up run {round_number + 1} of {warmup}" if warm
                     else f"run {round_number - warmup + 1} of {runs}")
            results = []
            for index, command in enumerate(commands):
                def running(elapsed, index=index, label=label):
                    progress.update(round_number, index, label, elapsed)
                started = time.monotonic()
                results.append(read_report(command.text, label, command.words, timeout, running))
                progress.finished(index, time.monotonic() - started)
            # A signal after the round's last run still leaves the round out.
            check_interrupt()
            kept = measurement.warmup_times if warm else measurement.times
            for index, found in enumerate(results):
                for kernel in KERNEL_NAMES:
                    kept[index][kernel].append(found[kernel])
            measurement.completed += not warm
    except Interrupted as signal_name:
        measurement.interrupted = str(signal_name)
    except RunError as error:
        measurement.failed = Failure(command_index=index, run=error.label, message=str(error))
    return measurement
