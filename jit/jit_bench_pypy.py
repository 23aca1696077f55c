#!/usr/bin/env pypy3
"""jit_bench_pypy.py: the PyPy counterpart of bench_c_jit_compare. It times
the same three loops of 1e8 iterations, once each and cold by default, and
prints the same seven-line report under its own banner, so that
tools/compare.py can hold it against the C baseline.

    pypy3 jit/jit_bench_pypy.py [WARMUP]

WARMUP (default 0) runs each kernel that many times, untimed, before its one
timed run; the banner says so. Exit status 1, with a message on stderr, on a
bad argument, a clock that cannot be read, when the report cannot be written,
or when run by another Python than PyPy.

The rule every loop keeps, as the C program's volatile accumulator does: one
load and one store of the accumulator in memory per iteration. A local would
live in a register, and Python's integers do not wrap; so the accumulator is
the one element of an array('l') (a machine word), and every update goes
through __pypy__.intop, whose int_add, int_sub and int_mul wrap modulo 2^64
as machine instructions do. PyPy's tracing JIT compiles that to one load,
the arithmetic and one store. The other forms cost: array('q') stores call
library functions, array('Q') with a mask goes through big integers, and a
`for i in range(n)` loop stores the range iterator's position every
iteration; so the loops are `while` loops over an integer index.

Branch: the trace follows one arm; the other leaves the loop by a guard into
a bridge, which jumps back into the loop. That is PyPy's code, not this
program's; docs/jit.md says what it costs. tools/jit_loops.py shows what PyPy
actually made of each loop.
"""
import os
import sys
import time

PROGRAM = "jit_bench_pypy.py"
REAL_ITERATIONS = 100_000_000
LARGEST = 2_147_483_647
TEST_VARIABLE = "BENCH_TEST_ITERATIONS"


def fail(message):
    sys.stderr.write(f"{PROGRAM}: {message}\n")
    sys.stderr.flush()
    sys.exit(1)


try:
    from array import array

    from __pypy__.intop import int_add, int_mul, int_sub
except ImportError as error:
    fail(f"needs PyPy (pypy3), not {sys.implementation.name}: {error}")

monotonic_ns = time.monotonic_ns


# Each kernel: reset the accumulator, read the clock, run the loop, read the
# clock. Nothing else lies between the two readings: the kernel is called
# directly, allocates nothing and prints nothing. The bound n is a local the
# trace keeps in a register, the same code at any count. It returns the
# elapsed nanoseconds; the caller reads the accumulator only after the second
# reading.

def inc(acc, n):
    acc[0] = 0
    start = monotonic_ns()
    i = 0
    while i < n:
        acc[0] = int_add(acc[0], 1)
        i += 1
    end = monotonic_ns()
    return end - start


def arith(acc, n):
    acc[0] = 0
    start = monotonic_ns()
    i = 0
    while i < n:
        acc[0] = int_add(int_mul(acc[0], 3), 7)
        i += 1
    end = monotonic_ns()
    return end - start


# The test is on the index, never on x; both arms read x once and write it
# once.
def branch(acc, n):
    acc[0] = 0
    start = monotonic_ns()
    i = 0
    while i < n:
        if (i & 1) == 0:
            acc[0] = int_add(acc[0], 1)
        else:
            acc[0] = int_sub(acc[0], 1)
        i += 1
    end = monotonic_ns()
    return end - start


def count(text, what):
    """A count as the user wrote it: ASCII digits only (int() would also take
    a sign, underscores and other scripts' digits), at most LARGEST."""
    if not (text.isascii() and text.isdigit() and len(text) <= 10 and int(text) <= LARGEST):
        fail(f"{what} must be a whole number from 0 to {LARGEST}, not '{text}'")
    return int(text)


def write(text):
    """Writes all of `text` to standard output or ends the run: the report is
    the product, so a write that fails (a full disk, a closed output) ends
    it with status 1 instead of a silent exit 0."""
    data = text.encode("utf-8")
    while data:
        try:
            data = data[os.write(1, data):]
        except BlockingIOError:
            continue  # a non-blocking standard output that is full for now
        except OSError as error:
            fail(f"write error: {error.strerror}")


def line(label, ns, x):
    """"%8.2f" of ns / 1e6 as a double, the quotient the C program prints;
    Python's formatting rounds the exact binary value, as C's does."""
    return f"{label:<13}{ns / 1_000_000:8.2f} ms  (x={x})\n"


def main(args):
    if len(args) > 1:
        fail("usage: pypy3 jit/jit_bench_pypy.py [WARMUP]")
    warmup = count(args[0], "the warm-up count") if args else 0
    n, banner = REAL_ITERATIONS, "1e8 iterations"
    test = os.environ.get(TEST_VARIABLE)
    if test is not None:
        n = count(test, TEST_VARIABLE)
        banner = f"{n} iterations, test count"
    if warmup:
        banner += f", {warmup} untimed warm-up run{'' if warmup == 1 else 's'} per kernel"
    write(f"=== PyPy ({banner}) ===\n\n")

    # Made once, outside every timed stretch. array('l') holds a signed
    # machine word: its element is x's signed reading.
    acc = array("l", [0])
    for label, kernel in (("Inc loop:", inc), ("Arith loop:", arith), ("Branch loop:", branch)):
        try:
            for _ in range(warmup):
                kernel(acc, n)
            ns = kernel(acc, n)
        except OSError as error:
            # Only the clock raises here. A line without a real time behind
            # it would be an invented number; the lines before it stay.
            fail(f"cannot read the monotonic clock: {error.strerror}")
        write(line(label, ns, acc[0]))
    write("\n=== Done ===\n")


if __name__ == "__main__":
    main(sys.argv[1:])
