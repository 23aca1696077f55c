#!/usr/bin/env python3
"""compare: run report-printing benchmark commands side by side.

    compare.py [-n RUNS] [--warmup K] [--format table|markdown|json] COMMAND [COMMAND ...]

Each COMMAND (one argument, split into words as a shell would) prints a report
in bench_c_jit_compare's format (tools/report.py): one line per kernel with
its label, "<time> ms" and "(x=<value>)". The first COMMAND is the reference. After K
warm-up rounds (not counted) the commands run RUNS rounds, interleaved
(A B C A B C ...), so that drift in the machine's speed hits all alike.

Every run must report the same accumulator per kernel as the reference's
first run: a different value is a wrong result, never a speed-up, and stops
the comparison. Per kernel and command the output gives the median, min and
max time, the spread (max/min), the ratio of the median to the reference's,
and whether the difference is significant (two-sided Mann-Whitney U test,
normal approximation with tie correction, at p < 0.05).

Exit status: 0 on success, 1 when a command fails, lacks a kernel line or
reports a different accumulator, 2 on a usage error.
"""
import argparse
import json
import math
import shlex
import statistics
import subprocess
import sys

import report
from report import KERNEL_NAMES as KERNELS

MIN_RUNS_FOR_TEST = 6  # per side; below this the normal approximation is not worth quoting
ALPHA = 0.05
UNSTABLE_SPREAD = 1.25  # max/min above this: the runs disagree by more than a quarter
TAIL_LINES = 10


class CompareError(Exception):
    pass


def tail(text, lines=TAIL_LINES):
    kept = text.rstrip("\n").splitlines()[-lines:]
    return "\n".join(f"    | {line}" for line in kept) or "    | (no output)"


def run_once(command, words):
    """Runs one command and returns {kernel: (ms, x)}."""
    try:
        result = subprocess.run(words, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, check=False)
    except OSError as error:
        raise CompareError(f"{command}: cannot run: {error.strerror or error}") from error
    stdout = result.stdout.decode("utf-8", "replace")
    stderr = result.stderr.decode("utf-8", "replace")
    if result.returncode != 0:
        status = (f"was killed by signal {-result.returncode}" if result.returncode < 0
                  else f"exited with status {result.returncode}")
        raise CompareError(f"{command}: {status}; the end of its output:\n"
                           f"{tail(stdout + stderr)}")
    try:
        results = report.parse(stdout)
    except report.ReportError as error:
        raise CompareError(f"{command}: {error}") from error
    found = {}
    for result in results:
        found.setdefault(result.kernel.name, (result.ms, result.x))
    missing = [kernel for kernel in KERNELS if kernel not in found]
    if missing:
        raise CompareError(f"{command}: no \"{missing[0]}:\" line in its output; the end of it:\n"
                           f"{tail(stdout)}")
    return found


def mann_whitney_p(a, b):
    """Two-sided p-value of the Mann-Whitney U test, normal approximation with
    tie correction and continuity correction."""
    n1, n2 = len(a), len(b)
    pooled = sorted([(v, 0) for v in a] + [(v, 1) for v in b])
    ranks, i = [0.0] * len(pooled), 0
    tie_term = 0
    while i < len(pooled):
        j = i
        while j + 1 < len(pooled) and pooled[j + 1][0] == pooled[i][0]:
            j += 1
        for k in range(i, j + 1):
            ranks[k] = (i + j) / 2 + 1
        t = j - i + 1
        tie_term += t ** 3 - t
        i = j + 1
    r1 = sum(rank for rank, (_, side) in zip(ranks, pooled) if side == 0)
    u = r1 - n1 * (n1 + 1) / 2
    n = n1 + n2
    variance = n1 * n2 / 12 * ((n + 1) - tie_term / (n * (n - 1)))
    if variance <= 0:
        return 1.0
    z = (abs(u - n1 * n2 / 2) - 0.5) / math.sqrt(variance)
    return min(1.0, math.erfc(max(z, 0.0) / math.sqrt(2)))


def summarise(commands, times, values):
    """One row per kernel and command."""
    rows = []
    for kernel in KERNELS:
        reference = times[0][kernel]
        ref_median = statistics.median(reference)
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            median, low, high = statistics.median(runs), min(runs), max(runs)
            spread = high / low if low > 0 else math.inf
            ratio = median / ref_median if ref_median > 0 else math.inf
            p_value = None
            if index == 0:
                verdict = "reference"
            elif min(len(runs), len(reference)) < MIN_RUNS_FOR_TEST:
                verdict = "too few runs"
            else:
                p_value = mann_whitney_p(runs, reference)
                if p_value >= ALPHA:
                    verdict = "no significant difference"
                else:
                    verdict = "slower" if median > ref_median else "faster"
            rows.append({
                "kernel": kernel, "command": command, "x": values[kernel],
                "median_ms": median, "min_ms": low, "max_ms": high, "spread": spread,
                "ratio": ratio, "p_value": p_value, "verdict": verdict,
                "unstable": spread > UNSTABLE_SPREAD, "times_ms": runs,
            })
    return rows


def number(value, digits=2):
    return "inf" if math.isinf(value) else f"{value:.{digits}f}"


def verdict_text(row):
    if row["p_value"] is None:
        return row["verdict"]
    return f"{row['verdict']} (p={row['p_value']:.3f})"


def format_table(rows, runs, warmup):
    width = max(len(row["command"]) for row in rows)
    out = [f"{runs} runs per command after {warmup} warm-up round(s), interleaved; "
           f"ratio = median / reference median"]
    for kernel in KERNELS:
        kernel_rows = [row for row in rows if row["kernel"] == kernel]
        out.append("")
        out.append(f"{kernel} (x={kernel_rows[0]['x']})")
        out.append(f"  {'command':<{width}}  {'median':>9}  {'min':>9}  {'max':>9}  "
                   f"{'spread':>6}  {'ratio':>6}  verdict")
        for row in kernel_rows:
            flag = "  unstable" if row["unstable"] else ""
            out.append(f"  {row['command']:<{width}}  {number(row['median_ms']):>9}  "
                       f"{number(row['min_ms']):>9}  {number(row['max_ms']):>9}  "
                       f"{number(row['spread']):>6}  {number(row['ratio']):>6}  "
                       f"{verdict_text(row)}{flag}")
    if any(row["unstable"] for row in rows):
        out.append("")
        out.append(f"unstable: max/min above {UNSTABLE_SPREAD}; the machine was noisy or the "
                   f"command's speed varies from run to run; more runs will not fix a bimodal one")
    return "\n".join(out) + "\n"


def format_markdown(rows, runs, warmup):
    out = ["| kernel | command | median ms | min ms | max ms | spread | ratio | verdict |",
           "|---|---|---:|---:|---:|---:|---:|---|"]
    for row in rows:
        command = row["command"].replace("|", "\\|")
        flag = " (unstable)" if row["unstable"] else ""
        out.append(f"| {row['kernel']} | `{command}` | {number(row['median_ms'])} | "
                   f"{number(row['min_ms'])} | {number(row['max_ms'])} | "
                   f"{number(row['spread'])}{flag} | {number(row['ratio'])} | "
                   f"{verdict_text(row)} |")
    out.append("")
    out.append(f"{runs} runs per command after {warmup} warm-up round(s), interleaved; "
               f"ratio = median / reference median; verdict: Mann-Whitney U, p < {ALPHA}.")
    return "\n".join(out) + "\n"


def format_json(rows, runs, warmup):
    def clean(value):
        return None if isinstance(value, float) and math.isinf(value) else value

    document = {
        "runs": runs,
        "warmup": warmup,
        "alpha": ALPHA,
        "results": [{key: clean(value) for key, value in row.items()} for row in rows],
    }
    return json.dumps(document, indent=2) + "\n"


FORMATS = {"table": format_table, "markdown": format_markdown, "json": format_json}


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="compare.py",
        description="Run benchmark commands that print the kernel report side by side.",
        epilog="Example: tools/compare.py -n 15 ./build/bench_c_jit_compare 'java -jar jit.jar'")
    parser.add_argument("-n", "--runs", type=int, default=10, metavar="RUNS",
                        help="measured rounds (default 10)")
    parser.add_argument("--warmup", type=int, default=1, metavar="K",
                        help="warm-up rounds, not counted (default 1)")
    parser.add_argument("--format", choices=sorted(FORMATS), default="table")
    parser.add_argument("commands", nargs="+", metavar="COMMAND",
                        help="one argument per command; the first is the reference")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("-n RUNS must be at least 1")
    if args.warmup < 0:
        parser.error("--warmup K must not be negative")
    args.words = []
    for command in args.commands:
        try:
            words = shlex.split(command)
        except ValueError as error:
            parser.error(f"cannot split {command!r}: {error}")
        if not words:
            parser.error("an empty COMMAND")
        args.words.append(words)
    return args


def main(argv=None):
    args = parse_arguments(argv)
    show_progress = sys.stderr.isatty()
    commands = args.commands
    times = [{kernel: [] for kernel in KERNELS} for _ in commands]
    values = None
    total = args.warmup + args.runs
    try:
        for round_number in range(total):
            if show_progress:
                if round_number < args.warmup:
                    progress = f"warm-up {round_number + 1} of {args.warmup}"
                else:
                    progress = f"round {round_number - args.warmup + 1} of {args.runs}"
                sys.stderr.write(f"\r{progress} ")
                sys.stderr.flush()
            for index, (command, words) in enumerate(zip(commands, args.words)):
                found = run_once(command, words)
                if values is None:
                    values = {kernel: found[kernel][1] for kernel in KERNELS}
                for kernel in KERNELS:
                    ms, x = found[kernel]
                    if x != values[kernel]:
                        raise CompareError(
                            f"{command}: {kernel} reports x={x}, but the reference "
                            f"{commands[0]} reported x={values[kernel]}: a wrong result")
                    if round_number >= args.warmup:
                        times[index][kernel].append(ms)
    except CompareError as error:
        if show_progress:
            sys.stderr.write("\n")
        print(f"compare: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("\ncompare: interrupted", file=sys.stderr)
        return 130
    if show_progress:
        sys.stderr.write("\r" + " " * 30 + "\r")
    sys.stdout.write(FORMATS[args.format](summarise(commands, times, values), args.runs, args.warmup))
    return 0


if __name__ == "__main__":
    sys.exit(main())
