#!/usr/bin/env python3
"""compare: run report-printing benchmark commands side by side and say, with
an error rate that holds over the whole report, which is faster.

    compare.py [-n RUNS] [--warmup K] [--timeout SECONDS] [--format table|markdown|json]
               [--plot FILE.svg] COMMAND [COMMAND ...]

Each COMMAND is one argument, split into words at spaces and by quotes and
backslashes as a shell would (nothing else: no ~, $VAR, globs or # comments),
and run directly, not by a shell: a pipe, `&&`, `;`, a redirection or a leading
NAME=value does not work and is refused. Wrap such a command in sh -c, e.g.
    compare.py ./build/bench_c_jit_compare "sh -c 'cd jit && JAVA_OPTS=-Xint ./run'"

Each command must print bench_c_jit_compare's report: one line per kernel,
{example}
each once (other lines are ignored; a banner is not required; a run may
print at most 16 MiB). The time is
a plain non-negative decimal number of milliseconds; the accumulator must be
the value shown, which is the only correct one, in every run of every
command, or the comparison stops there naming the command, run and kernel.

The first COMMAND is the reference. After K warm-up rounds (not counted) the
commands run RUNS rounds, interleaved (A B C A B C ...), so that drift in the
machine's speed hits all alike. Each run gets its own process group and at
most --timeout seconds; on a timeout, or when compare itself is interrupted,
the whole group is ended (TERM, then KILL).

Per kernel and command the output gives the median, min and max time, the
spread (max/min), the ratio of the medians and the ratio estimate: the
Hodges-Lehmann estimate of the shift of log times, exponentiated, with its
distribution-free confidence interval from the exact Mann-Whitney
distribution (a normal approximation above 100 x 100 runs, said in the
output). The intervals are Bonferroni-adjusted over all candidate x kernel
comparisons in the report, so the chance of any wrong "faster"/"slower" in a
report is at most 5% (for runs independent of each other; interleaving keeps
slow drift from favouring one command). A verdict is "faster" or "slower" only when the
interval excludes 1; "too few runs for the adjusted level" when no interval
from so few runs could.

Exit status: 0 on success; 1 when a command fails, times out, reports a
wrong or malformed result, or the output cannot be written; 2 on a usage
error; 130 when interrupted (SIGINT, SIGTERM, SIGHUP or SIGQUIT), after printing the summary
of the rounds completed so far, marked as interrupted.
"""
import argparse
import datetime
import fractions
import functools
import json
import math
import os
import platform
import re
import selectors
import shlex
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import time

import report
from report import FINALS, KERNEL_NAMES as KERNELS

FAMILY_ALPHA = fractions.Fraction(1, 20)  # the chance of any wrong verdict in one report
EXACT_LIMIT = 100 * 100  # runs x runs up to which U's null distribution is computed exactly
UNSTABLE_SPREAD = 1.25  # max/min above this: the runs disagree by more than a quarter
# Seconds per run: a native run takes a fraction of a second, but a slow
# interpreter may take a minute or more for the 3 x 10^8 iterations.
DEFAULT_TIMEOUT = 300.0
GRACE = 2.0  # seconds between TERM and KILL
DRAIN = 1.0  # seconds to keep reading after the command exited
MAX_OUTPUT = 16 << 20  # bytes of standard output kept from one run
TAIL_LINES = 10
SCHEMA_VERSION = 1
INTERRUPTED = 130


class CompareError(Exception):
    pass


class Interrupted(Exception):
    pass


# ---------------------------------------------------------------- statistics

@functools.lru_cache(maxsize=None)
def u_null_counts(m, n):
    """counts[u]: how many of the C(m+n, m) equally likely orderings of two
    untied samples of sizes m and n give the Mann-Whitney count U = u. These
    are the coefficients of the Gaussian binomial [m+n choose m](q), built as
    the product of (1 - q^(l+i)) / (1 - q^i) for i = 1..s."""
    s, l = min(m, n), max(m, n)
    counts = [1] + [0] * (s * l + s)
    for i in range(1, s + 1):
        top = (i - 1) * l
        for j in range(top + l + i, l + i - 1, -1):  # times (1 - q^(l+i))
            counts[j] -= counts[j - l - i]
        for j in range(i, top + l + i + 1):  # divided by (1 - q^i), exactly
            counts[j] += counts[j - i]
    return tuple(counts[:s * l + 1])


def tail_depth(m, n, alpha):
    """The rank k of a two-sided interval's ends at level 1 - alpha among the
    sorted pairwise differences (it runs from the k-th smallest to the k-th
    largest): the largest k with P(U <= k - 1) <= alpha / 2, so that each
    end misses the true shift with probability at most alpha / 2. Returns
    (k, exact); k = 0 means no such interval exists."""
    if m * n > EXACT_LIMIT:
        sd = math.sqrt(m * n * (m + n + 1) / 12)
        z = statistics.NormalDist().inv_cdf(1 - float(alpha) / 2)
        return max(0, math.floor(m * n / 2 - z * sd)), False
    counts = u_null_counts(m, n)
    allowed = fractions.Fraction(alpha) / 2 * math.comb(m + n, m)
    k, below = 0, 0
    while k < len(counts) and below + counts[k] <= allowed:
        below += counts[k]
        k += 1
    return k, True


def shift_interval(a, b, alpha):
    """Hodges-Lehmann estimate of the shift of `a` against `b` (the median of
    all a_i - b_j) and the closed interval [d_(k), d_(mn+1-k)] of the sorted
    differences. Untied, it covers the true shift with probability at least
    1 - alpha; with ties it is conservative, since counting every tied pair
    on one side can only widen it compared with breaking the ties at random.
    The interval is None when no k >= 1 exists (too few values)."""
    differences = sorted(x - y for x in a for y in b)
    k, exact = tail_depth(len(a), len(b), alpha)
    estimate = statistics.median(differences)
    if k == 0:
        return estimate, None, exact
    return estimate, (differences[k - 1], differences[-k]), exact


def exp(value):
    try:
        return math.exp(value)
    except OverflowError:  # times some 300 orders of magnitude apart
        return math.inf


def summarise(commands, times):
    """One row per kernel and command, with the adjusted statistics."""
    tests = (len(commands) - 1) * len(KERNELS)
    alpha = FAMILY_ALPHA / max(tests, 1)
    rows = []
    for kernel in KERNELS:
        reference = times[0][kernel]
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            row = {"kernel": kernel, "command": command, "command_index": index, "runs": len(runs),
                   "median_ms": None, "min_ms": None, "max_ms": None, "spread": None,
                   "median_ratio": None, "ratio": None, "interval": None, "exact": None,
                   "verdict": "no runs", "unstable": False}
            rows.append(row)
            if not runs:
                continue
            median, low, high = statistics.median(runs), min(runs), max(runs)
            ref_median = statistics.median(reference)
            row.update(median_ms=median, min_ms=low, max_ms=high,
                       spread=high / low if low > 0 else None,
                       median_ratio=median / ref_median if median > 0 and ref_median > 0
                       else None)
            row["unstable"] = (high > 0 if row["spread"] is None
                               else row["spread"] > UNSTABLE_SPREAD)
            if index == 0:
                row["verdict"] = "reference"
            elif low == 0 or min(reference) == 0:
                row["verdict"] = "undefined: a zero time"
            else:
                shift, interval, exact = shift_interval(
                    [math.log(t) for t in runs], [math.log(t) for t in reference], alpha)
                row.update(ratio=exp(shift), exact=exact)
                if interval is None:
                    row["verdict"] = "too few runs for the adjusted level"
                    continue
                row["interval"] = [exp(interval[0]), exp(interval[1])]
                row["verdict"] = ("slower" if interval[0] > 0 else
                                  "faster" if interval[1] < 0 else "no significant difference")
    return rows, {"method": "bonferroni", "family_alpha": float(FAMILY_ALPHA), "tests": tests,
                  "per_test_alpha": float(alpha), "interval_level": float(1 - alpha)}


# ---------------------------------------------------------------- running

_signalled = []


def _on_signal(signum, _frame):
    _signalled.append(signum)


def check_interrupt():
    if _signalled:
        raise Interrupted(signal.Signals(_signalled[0]).name)


def end_group(process):
    """Ends the process group led by `process`: TERM, then KILL after GRACE
    seconds if anything of it is left."""
    try:
        os.killpg(process.pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + GRACE
    while time.monotonic() < deadline:
        if process.poll() is not None:
            try:
                os.killpg(process.pid, 0)
            except ProcessLookupError:
                return
        time.sleep(0.02)
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait()


def tail(name, data, lines=TAIL_LINES):
    text = data.decode("utf-8", "replace").rstrip("\n")
    kept = text.splitlines()[-lines:]
    body = "\n".join(f"    | {line}" for line in kept) if kept else "    | (nothing)"
    return f"  the end of its {name}:\n{body}"


def run_once(words, timeout, progress=lambda elapsed: None):
    """Runs one command in a process group of its own. Returns
    (stdout bytes, stderr bytes, status, problem) where problem is None or
    why the run was ended early."""
    try:
        process = subprocess.Popen(words, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True)
    except (OSError, ValueError) as error:
        raise CompareError(f"cannot run: {getattr(error, 'strerror', None) or error}") from error
    out, err = bytearray(), bytearray()
    problem = None
    start = time.monotonic()
    drain_until = None
    with selectors.DefaultSelector() as selector:
        selector.register(process.stdout, selectors.EVENT_READ, out)
        selector.register(process.stderr, selectors.EVENT_READ, err)
        try:
            # Until the command has exited and its output is read; a command may close
            # its output before it exits.
            while selector.get_map() or process.poll() is None:
                check_interrupt()
                now = time.monotonic()
                progress(now - start)
                if drain_until is None and process.poll() is not None:
                    drain_until = now + DRAIN
                if drain_until is not None and now >= drain_until:
                    problem = (f"exited, but a process it started still held its output open "
                               f"{DRAIN:g} s later; its process group was ended, but a "
                               f"process that left the group (setsid) may still run")
                    break
                if now - start >= timeout:
                    problem = f"did not finish within {timeout:g} s (--timeout); it was ended"
                    break
                if not selector.get_map():
                    time.sleep(0.02)
                for key, _ in selector.select(timeout=0.1) if selector.get_map() else ():
                    chunk = os.read(key.fd, 65536)
                    if not chunk:
                        selector.unregister(key.fileobj)
                    elif key.data is out and len(out) + len(chunk) > MAX_OUTPUT:
                        problem = f"wrote more than {MAX_OUTPUT} bytes to standard output"
                        break
                    else:
                        key.data.extend(chunk)
                        if key.data is err:
                            del err[:-65536]
                if problem:
                    break
        finally:
            # Whatever happened, nothing of this run is left running.
            end_group(process)
            process.stdout.close()
            process.stderr.close()
    return bytes(out), bytes(err), process.wait(), problem


def read_report(command, label, words, timeout, progress):
    """Runs the command once and returns {kernel: ms}, having checked every
    result line against the known finals."""
    where = f"{command}, {label}"
    try:
        out, err, status, problem = run_once(words, timeout, progress)
    except CompareError as error:
        raise CompareError(f"{where}: {error}") from error
    ends = f"{tail('standard output', out)}\n{tail('standard error', err)}"
    if problem:
        raise CompareError(f"{where}: {problem}\n{ends}")
    if status != 0:
        how = (f"was killed by signal {-status}" if status < 0 else f"exited with status {status}")
        raise CompareError(f"{where}: {how}\n{ends}")
    try:
        results = report.parse(out.decode("utf-8", "replace"))
    except report.ReportError as error:
        raise CompareError(f"{where}: {error}") from error
    found = {}
    for result in results:
        name = result.kernel.name
        if name in found:
            raise CompareError(
                f"{where}: a second {name} line (lines {found[name].line_number} and "
                f"{result.line_number}): each run must print exactly one report\n"
                f"    | {found[name].line}\n    | {result.line}")
        found[name] = result
        if result.x != FINALS[name]:
            raise CompareError(
                f"{where}: {name} reports x={result.x}, but the correct final value is "
                f"{FINALS[name]}: a wrong result (line {result.line_number}: {result.line!r})")
    missing = [kernel for kernel in KERNELS if kernel not in found]
    if missing:
        raise CompareError(f'{where}: no "{missing[0]}:" line in its output\n{ends}')
    return {name: result.ms for name, result in found.items()}


# ---------------------------------------------------------------- output

def number(value, digits=2):
    return "undefined" if value is None else f"{value:.{digits}f}"


def estimate_text(row):
    if row["ratio"] is None:
        return "-" if row["verdict"] == "reference" else "undefined"
    low, high = row["interval"] or (None, None)
    if low is None:
        return f"{row['ratio']:.3f} [none]"
    return f"{row['ratio']:.3f} [{bound_text(low)}, {bound_text(high)}]"


def bound_text(value):
    """An interval's end with three decimals, or as many more as it takes not
    to print 1.000 for an end that is not 1: the verdict rests on whether
    the interval holds 1, and the printed interval must show the same."""
    digits = 3
    while round(value, digits) == 1 and value != 1 and digits < 12:
        digits += 1
    return f"{value:.{digits}f}"


def notes(runs, warmup, correction, rows, interrupted):
    approx = any(row["exact"] is False for row in rows)
    lines = [f"{runs} runs per command after {warmup} warm-up round(s), interleaved.",
             "ratio: Hodges-Lehmann estimate of time / reference time, with its "
             f"{correction['interval_level']:.2%} interval "
             f"({'normal approximation' if approx else 'exact Mann-Whitney distribution'}); "
             f"Bonferroni correction over {correction['tests']} comparison(s), family level "
             f"{correction['family_alpha']:.0%}; faster/slower only when the interval "
             "excludes 1. median ratio: median / reference median."]
    if not correction["tests"]:
        lines[1:] = ["One command only: nothing to compare it with."]
    if any(row["unstable"] for row in rows):
        lines.append(f"unstable: max/min above {UNSTABLE_SPREAD}; the machine was noisy or the "
                     "command's speed varies from run to run; more runs will not fix a bimodal "
                     "one.")
    if interrupted:
        lines.insert(0, f"INTERRUPTED ({interrupted}): only the {runs} completed round(s).")
    return lines


def format_table(rows, meta):
    width = max(len(row["command"]) for row in rows)
    out = []
    for kernel in KERNELS:
        out.append(f"{kernel} (x={FINALS[kernel]})")
        out.append(f"  {'command':<{width}}  {'median':>9}  {'min':>9}  {'max':>9}  "
                   f"{'spread':>6}  {'median ratio':>12}  {'ratio [interval]':<24}  verdict")
        for row in rows:
            if row["kernel"] != kernel:
                continue
            flag = "  unstable" if row["unstable"] else ""
            out.append(f"  {row['command']:<{width}}  {number(row['median_ms']):>9}  "
                       f"{number(row['min_ms']):>9}  {number(row['max_ms']):>9}  "
                       f"{number(row['spread']):>6}  {number(row['median_ratio'], 3):>12}  "
                       f"{estimate_text(row):<24}  {row['verdict']}{flag}")
        out.append("")
    return "\n".join(out + notes(**meta, rows=rows)) + "\n"


def format_markdown(rows, meta):
    out = ["| kernel | command | median ms | min ms | max ms | spread | median ratio | "
           "ratio [interval] | verdict |",
           "|---|---|---:|---:|---:|---:|---:|---:|---|"]
    for row in rows:
        command = row["command"].replace("|", "\\|")
        # A code span holding a backtick needs a longer fence and spaces.
        code = f"`` {command} ``" if "`" in command else f"`{command}`"
        flag = " (unstable)" if row["unstable"] else ""
        out.append(f"| {row['kernel']} | {code} | {number(row['median_ms'])} | "
                   f"{number(row['min_ms'])} | {number(row['max_ms'])} | "
                   f"{number(row['spread'])}{flag} | {number(row['median_ratio'], 3)} | "
                   f"{estimate_text(row)} | {row['verdict']} |")
    return "\n".join(out + [""] + notes(**meta, rows=rows)) + "\n"


def read_first(path, pattern):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                match = re.match(pattern, line)
                if match:
                    return match[1].strip()
    except OSError:
        pass
    return None


def environment():
    try:
        load = list(os.getloadavg())
    except OSError:
        load = None
    return {
        "utc": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "host": socket.gethostname(),
        "cpu_model": read_first("/proc/cpuinfo", r"model name\s*:(.*)"),
        "logical_cores": os.cpu_count(),
        "kernel_release": platform.release(),
        "load_average": load,
        "cpufreq_governor": read_first(
            "/sys/devices/system/cpu/cpu0/cpufreq/scaling_governor", r"(.+)"),
        "python": platform.python_version(),
    }


def format_json(rows, meta):
    env = meta["environment"]
    document = {
        "schema_version": SCHEMA_VERSION,
        "environment": {**{k: v for k, v in env["before"].items() if k != "load_average"},
                        "load_average_before": env["before"]["load_average"],
                        "load_average_after": env["after"]["load_average"]},
        "commands": [{"command": c, "words": w} for c, w in zip(meta["commands"], meta["words"])],
        "runs": meta["runs"], "warmup": meta["warmup"], "timeout_s": meta["timeout"],
        "interrupted": meta["interrupted"],
        "correction": meta["correction"],
        "finals": {kernel: str(FINALS[kernel]) for kernel in KERNELS},
        "results": [{**{key: finite(value) for key, value in row.items()},
                     "x": str(FINALS[row["kernel"]]),
                     "warmup_times_ms": meta["warmup_times"][row["command_index"]][row["kernel"]],
                     "times_ms": meta["times"][row["command_index"]][row["kernel"]]}
                    for row in rows],
    }
    return json.dumps(document, indent=2) + "\n"


def finite(value):
    """JSON has no infinity: a ratio too large for a float is written as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, list):
        return [finite(item) for item in value]
    return value


FORMATS = {"table": format_table, "markdown": format_markdown, "json": format_json}


# ---------------------------------------------------------------- plot

def nice_ticks(low, high, count=6):
    """Round tick values from at or below `low` to at or above `high`."""
    span = high - low or max(abs(high), 1.0)
    raw = span / count
    step = 10 ** math.floor(math.log10(raw))
    step *= next(f for f in (1, 2, 5, 10) if step * f >= raw)
    first, last = math.floor(low / step), math.ceil(high / step)
    if last == first:
        last += 1
    return [round(i * step, 10) for i in range(first, last + 1)]


def xml_text(text):
    # XML cannot carry most control characters, not even escaped.
    text = "".join(c if c >= " " or c in "\t\n" else "?" for c in str(text))
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def plot_svg(commands, times, title):
    """A self-contained SVG: one panel per kernel, one row per command, every
    counted run a dot on the panel's time axis, the median a bar."""
    colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#8c564b", "#e377c2",
               "#7f7f7f", "#bcbd22", "#17becf"]
    label_w, plot_w, row_h, top = 260, 560, 34, 40
    width = label_w + plot_w + 30
    panel_h = 40 + row_h * len(commands) + 30
    height = top + panel_h * len(KERNELS) + 10
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
           f'<rect width="{width}" height="{height}" fill="white"/>',
           f'<text x="10" y="22" font-size="14" font-weight="bold">{xml_text(title)}</text>']
    for panel, kernel in enumerate(KERNELS):
        values = [t for per in times for t in per[kernel]] or [0.0, 1.0]
        ticks = nice_ticks(min(values), max(values))
        lo, hi = ticks[0], ticks[-1]

        def x_of(value, lo=lo, hi=hi):
            return label_w + (value - lo) / (hi - lo) * plot_w

        y0 = top + panel * panel_h
        axis_y = y0 + 30 + row_h * len(commands)
        out.append(f'<g class="panel" data-kernel="{xml_text(kernel)}">')
        out.append(f'<text x="10" y="{y0 + 18}" font-weight="bold">{xml_text(kernel)} '
                   f'(ms, every counted run; bar: median)</text>')
        out.append(f'<line class="axis" x1="{label_w}" y1="{axis_y}" x2="{label_w + plot_w}" '
                   f'y2="{axis_y}" stroke="black"/>')
        for tick in ticks:
            x = x_of(tick)
            out.append(f'<line x1="{x:.1f}" y1="{y0 + 26}" x2="{x:.1f}" y2="{axis_y + 4}" '
                       'stroke="#ddd"/>')
            out.append(f'<text x="{x:.1f}" y="{axis_y + 17}" text-anchor="middle">{tick:g}</text>')
        for index, command in enumerate(commands):
            runs = times[index][kernel]
            colour = colours[index % len(colours)]
            cy = y0 + 30 + row_h * index + row_h / 2
            short = command if len(command) <= 38 else "..." + command[-35:]
            out.append(f'<text x="{label_w - 8}" y="{cy + 4:.1f}" text-anchor="end">'
                       f'<title>{xml_text(command)}</title>{xml_text(short)}</text>')
            for run, value in enumerate(runs):
                # Spread the dots of a row up and down a little so equal times stay countable.
                dy = ((run * 7) % 11 - 5) * row_h / 30
                out.append(f'<circle class="run" cx="{x_of(value):.2f}" cy="{cy + dy:.2f}" r="3" '
                           f'fill="{colour}" fill-opacity="0.6"><title>run {run + 1}: '
                           f'{value:.2f} ms</title></circle>')
            if runs:
                mx = x_of(statistics.median(runs))
                out.append(f'<line class="median" x1="{mx:.2f}" y1="{cy - row_h / 2 + 3:.1f}" '
                           f'x2="{mx:.2f}" y2="{cy + row_h / 2 - 3:.1f}" stroke="black" '
                           'stroke-width="2"/>')
        out.append("</g>")
    out.append("</svg>")
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- usage

_NAME_VALUE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=")
_SHELL_CHARS = set("|&;<>")


def shell_syntax(command):
    """The first piece of shell syntax in `command` outside quotes, or None."""
    quote, escaped = None, False
    for position, char in enumerate(command):
        if escaped:
            escaped = False
        elif char == "\\" and quote != "'":
            escaped = True
        elif quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in _SHELL_CHARS:
            return char
        elif char == "`" or command.startswith("$(", position):
            return char
    if _NAME_VALUE.match(command.lstrip()):
        return command.lstrip().split()[0]
    return None


def printable(text):
    """`text` fit for any output: bytes that were not UTF-8 on the command
    line and control characters such as a newline are shown escaped, so they
    neither break a table row nor fail to encode."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def parse_arguments(argv):
    # The report's lines as the program prints them, with made-up times.
    example = "\n".join("    " + report.format_line(kernel, ms, kernel.final)
                         for kernel, ms in zip(report.KERNELS, (28.97, 55.44, 29.44)))
    parser = argparse.ArgumentParser(
        prog="compare.py", description=__doc__.split("\n\n", 1)[1].format(example=example),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Example: tools/compare.py -n 15 ./build/bench_c_jit_compare "
               "'java -jar jit.jar'")
    parser.add_argument("-n", "--runs", type=int, default=10, metavar="RUNS",
                        help="measured rounds (default 10)")
    parser.add_argument("--warmup", type=int, default=1, metavar="K",
                        help="warm-up rounds, not counted (default 1)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help=f"limit for one run (default {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--format", choices=sorted(FORMATS), default="table",
                        help="table (default), markdown to paste, or json with every run's "
                             "time and the machine's details")
    parser.add_argument("--plot", metavar="FILE.svg",
                        help="also draw every counted run into this SVG file, one panel "
                             "per kernel")
    parser.add_argument("commands", nargs="+", metavar="COMMAND",
                        help="one argument per command; the first is the reference")
    args = parser.parse_args(argv)
    if args.runs < 1:
        parser.error("-n RUNS must be at least 1")
    if args.warmup < 0:
        parser.error("--warmup K must not be negative")
    if not (math.isfinite(args.timeout) and args.timeout > 0):
        parser.error("--timeout SECONDS must be a positive number")
    args.words = []
    for command in args.commands:
        syntax = shell_syntax(command)
        if syntax:
            parser.error(f"{command!r} contains shell syntax ({syntax}), but commands are not "
                         f"run by a shell; wrap it: \"sh -c '...'\"")
        try:
            words = shlex.split(command)
        except ValueError as error:
            parser.error(f"cannot split {command!r}: {error}")
        if not words:
            parser.error("an empty COMMAND")
        args.words.append(words)
    # From here on a command is named by its printable form; it runs as given.
    args.commands = [printable(command) for command in args.commands]
    return args


# ---------------------------------------------------------------- main

def say(text):
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, AttributeError):  # standard error closed, or never opened
        pass


def main(argv=None):
    args = parse_arguments(argv)
    # A closed terminal (HUP) or a quit key (QUIT) must end the runs as well:
    # each run is in a session of its own, out of reach of the terminal.
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
        signal.signal(signum, _on_signal)
    terminal = sys.stderr is not None and sys.stderr.isatty()
    commands = args.commands
    times = [{kernel: [] for kernel in KERNELS} for _ in commands]
    warmup_times = [{kernel: [] for kernel in KERNELS} for _ in commands]
    before = environment()
    total = args.warmup + args.runs
    completed, interrupted, status = 0, None, 0
    try:
        for round_number in range(total):
            warm = round_number < args.warmup
            label = (f"warm-up run {round_number + 1} of {args.warmup}" if warm
                     else f"run {round_number - args.warmup + 1} of {args.runs}")
            results = []
            for command, words in zip(commands, args.words):
                def progress(elapsed, command=command, label=label, shown=[None]):
                    text = f"{label}: {command} ({elapsed:.0f} s)"
                    if terminal and text != shown[0]:
                        shown[0] = text
                        width = shutil.get_terminal_size().columns - 1
                        say("\r\x1b[K" + text[:width])
                results.append(read_report(command, label, words, args.timeout, progress))
            check_interrupt()
            for index, found in enumerate(results):
                for kernel in KERNELS:
                    (warmup_times if warm else times)[index][kernel].append(found[kernel])
            completed += not warm
    except CompareError as error:
        say(("\r\x1b[K" if terminal else "") + f"compare: {error}\n")
        return 1
    except Interrupted as signal_name:
        interrupted = str(signal_name)
        status = INTERRUPTED
        say(("\r\x1b[K" if terminal else "") +
            f"compare: interrupted by {interrupted}; its run was ended; "
            f"{completed} of {args.runs} round(s) completed\n")
    if terminal and not interrupted:
        say("\r\x1b[K")
    if completed == 0:
        return status or 1
    rows, correction = summarise(commands, times)
    meta = {"runs": completed, "warmup": args.warmup, "correction": correction,
            "interrupted": interrupted}
    if args.format == "json":
        meta.update(environment={"before": before, "after": environment()},
                    commands=commands, words=args.words, timeout=args.timeout,
                    times=times, warmup_times=warmup_times)
    text = FORMATS[args.format](rows, meta)
    if args.plot:
        title = f"tools/compare.py: {completed} interleaved runs per command"
        try:
            with open(args.plot, "w", encoding="utf-8") as f:
                f.write(plot_svg(commands, times, title))
        except OSError as error:
            say(f"compare: cannot write {args.plot}: {error.strerror or error}\n")
            status = status or 1
    if sys.stdout is None:
        say("compare: standard output is closed\n")
        return status or 1
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as error:
        # A reader that went away (e.g. `| head`) ends it quietly; anything else is said.
        if not isinstance(error, BrokenPipeError):
            say(f"compare: cannot write the output: {error.strerror or error}\n")
        # Nothing more goes to the failed output, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return status or 1
    return status


if __name__ == "__main__":
    sys.exit(main())
