"""The machine's floor for each kernel, taken in the same session as the
replay: bench_floor (tools/floor.cpp) run once, its report read. It picks
each kernel's fastest hand-written form in its own process and times it
over 1e8 iterations; a floor that cannot be run or read is refused with the
reason, never guessed.
"""
import os
import subprocess

import report

FLOOR_TIMEOUT = 300.0  # seconds for one bench_floor run (its search included)


def floor_times(program):
    """({kernel: ms}, None) from one run of bench_floor `program`, or (None,
    why not)."""
    if not os.path.isfile(program) or not os.access(program, os.X_OK):
        return None, (f"no bench_floor at {program} (build the project, or name it with "
                      "--floor)")
    try:
        result = subprocess.run([program], capture_output=True, text=True, timeout=FLOOR_TIMEOUT,
                                check=False)
    except (OSError, subprocess.TimeoutExpired) as error:
        return None, f"{program} could not be run: {error}"
    if result.returncode != 0:
        tail = result.stderr.strip().splitlines()[-1:] or [""]
        return None, f"{program} exited with status {result.returncode}: {tail[0]}"
    return report_times(result.stdout, program)


def report_times(text, what):
    """({kernel: ms}, None) from a report's three lines, each accumulator the
    kernel's known final value, or (None, why not)."""
    try:
        lines = report.parse(text)
    except report.ReportError as error:
        return None, f"{what}'s report cannot be read: {error}"
    times = {}
    for line in lines:
        if line.kernel.name in times:
            return None, f"{what}'s report has two {line.kernel.label} lines"
        if line.x != line.kernel.final:
            return None, (f"{what}'s report gives {line.kernel.label} x={line.x}, not "
                          f"{line.kernel.final}: that run did not do the kernel's work")
        times[line.kernel.name] = line.ms
    if set(times) != set(report.KERNEL_NAMES):
        missing = [k for k in report.KERNEL_NAMES if k not in times]
        return None, f"{what}'s report has no line for {', '.join(missing)}"
    return times, None
