"""The facts of bench_c_jit_compare's report, and the reader of its lines.

Every Python tool and test takes the banner, the kernels' names and labels,
the label width, the known final accumulators and the iteration count from
here, so none of them can drift from another. The C++ program keeps its own
literal format strings (they are the product); the test suite holds the
program's real output against `render` below, so the program and this module
cannot drift either.

A report is seven lines:

    === C Baseline (1e8 iterations) ===
    <empty>
    Inc loop:    <time> ms  (x=100000000)
    Arith loop:  <time> ms  (x=727440504985523712)
    Branch loop: <time> ms  (x=0)
    <empty>
    === Done ===

where <time> is the elapsed milliseconds printed with "%8.2f".
"""
import dataclasses
import math
import re

ITERATIONS = 100_000_000
BANNER = "=== C Baseline (1e8 iterations) ==="
DONE = "=== Done ==="
# Each label with the spaces behind it fills this many characters, so the
# time column starts at the same place on every line.
LABEL_WIDTH = 13
TIME_WIDTH = 8  # "%8.2f": at least this wide, wider when needed, never cut


@dataclasses.dataclass(frozen=True)
class Kernel:
    name: str  # "Inc loop"
    body: str  # the loop body, as the README's table gives it
    final: int  # the accumulator after ITERATIONS iterations, signed reading

    @property
    def label(self):
        return f"{self.name}:"


KERNELS = (
    Kernel("Inc loop", "x = x + 1", 100000000),
    Kernel("Arith loop", "x = x * 3 + 7", 727440504985523712),
    Kernel("Branch loop", "x = x + 1 if i is even, else x = x - 1", 0),
)
KERNEL_NAMES = tuple(kernel.name for kernel in KERNELS)
FINALS = {kernel.name: kernel.final for kernel in KERNELS}


def format_line(kernel, ms, x):
    """One result line exactly as the program prints it (no newline)."""
    return f"{kernel.label:<{LABEL_WIDTH}}{ms:{TIME_WIDTH}.2f} ms  (x={x})"


def render(times_ms, finals=None, banner=BANNER):
    """The whole report, byte for byte, for the given times (one per kernel)
    and accumulators (the known finals unless given)."""
    finals = finals or [kernel.final for kernel in KERNELS]
    lines = [banner, ""]
    lines += [format_line(k, ms, x) for k, ms, x in zip(KERNELS, times_ms, finals)]
    lines += ["", DONE]
    return "\n".join(lines) + "\n"


# The exact form of a result line: the label padded to LABEL_WIDTH, the time
# right-aligned in at least TIME_WIDTH characters with two decimals, two
# spaces, "ms", two spaces and the signed accumulator.
EXACT_LINE = re.compile(
    r"(?P<label>" + "|".join(re.escape(f"{k.label:<{LABEL_WIDTH}}") for k in KERNELS) + r")"
    r"(?P<ms> *[0-9]+\.[0-9][0-9]) ms  \(x=(?P<x>-?[0-9]+)\)")


class ReportError(ValueError):
    """A line that carries a kernel's label but cannot be read as its result."""


@dataclasses.dataclass(frozen=True)
class Result:
    kernel: Kernel
    ms: float
    x: int
    line_number: int  # counting from 1
    line: str


_LABELLED = re.compile(r"^(.*?)(" + "|".join(re.escape(k.label) for k in KERNELS) + r")(.*)$")
# Spacing may vary, but the time and "ms" are separate words, as printed.
_REST = re.compile(r"^\s+(?P<ms>\S+)\s+ms\s+\(x=(?P<x>[^)]*)\)\s*$")
# ASCII digits only: int() and float() would also take other scripts' digits.
_TIME = re.compile(r"^[0-9]+(?:\.[0-9]+)?$")
_INTEGER = re.compile(r"^-?(?:0|[1-9][0-9]*)$")  # as %lld prints it: no leading zeros
MAX_ACCUMULATOR_DIGITS = 20  # a 64-bit value has at most 20 digits


def _problem(rest):
    """What is wrong with the part of a labelled line after its label, or
    None when it reads as '<time> ms  (x=<integer>)'."""
    match = _REST.match(rest)
    if not match:
        return "expected '<time> ms  (x=<integer>)' after the label"
    ms, x = match["ms"], match["x"]
    if not _TIME.match(ms):
        return f"the time {ms!r} is not a plain non-negative decimal number"
    if not _INTEGER.match(x):
        return f"the accumulator {x!r} is not a decimal integer as %lld prints it"
    if len(x.lstrip("-")) > MAX_ACCUMULATOR_DIGITS:
        return f"the accumulator has {len(x.lstrip('-'))} digits, more than a 64-bit value has"
    if not math.isfinite(float(ms)):
        return f"the time {ms!r} is too large to read as a number"
    return None


def parse(text):
    """Every result line in `text`, in order. A line that starts with a
    kernel's label but cannot be read (text before the label included) raises
    ReportError, quoting the line."""
    results = []
    for number, line in enumerate(text.splitlines(), start=1):
        match = _LABELLED.match(line)
        if not match:
            continue
        prefix, label, rest = match.groups()
        kernel = next(k for k in KERNELS if k.label == label)
        problem = _problem(rest)
        if prefix.strip():
            problem = f"text before the label {label!r}"
        if problem:
            raise ReportError(f"line {number}: {line!r}: {problem}")
        fields = _REST.match(rest)
        results.append(Result(kernel, float(fields["ms"]), int(fields["x"]), number, line))
    return results
