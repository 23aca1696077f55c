#!/usr/bin/env python3
"""Negative controls for tools/check_loops: rebuilds the real source with one
deliberate fault at a time, using the same compiler and optimisation flags as
the build under test, and asserts that the check rejects each variant and
names the kernel and the fault. The unchanged source, built the same way,
must pass, so a rejection is due to the fault and nothing else.

    test_check_loops.py --source FILE --compiler CXX [--flags "..."] [GROUP ...]
"""
import argparse
import os
import platform
import shlex
import subprocess
import sys
import tempfile
import unittest

import check_loops
import harness
from report import KERNEL_NAMES

OPTIONS = argparse.Namespace()
INC, ARITH, BRANCH = KERNEL_NAMES

END_THEN_FINAL = ("const std::int64_t end = read_monotonic_ns();\n"
                  "        const std::uint64_t final_x = x;")
FINAL_THEN_END = ("const std::uint64_t final_x = x;\n"
                  "        const std::int64_t end = read_monotonic_ns();")

# name: (edits as (old, new, which occurrence or None for all), kernel, expected fault text)
VARIANTS = {
    "accumulator not volatile": (
        [("volatile std::uint64_t x = 0;", "std::uint64_t x = 0;", None)],
        None, ""),
    "arithmetic update in two statements": (
        [("x = x * 3 + 7;", "x = x * 3;\n            x = x + 7;", 0)],
        ARITH, "reads the accumulator"),
    "call inside a timed loop": (
        [("x = x + 1;", "x = x + 1;\n            std::srand(1);", 0)],
        INC, "call inside the loop"),
    "loop index kept in memory": (
        [("for (std::int64_t i = 0; i < ITERATIONS; ++i)",
          "for (volatile std::int64_t i = 0; i < ITERATIONS; i = i + 1)", 2)],
        BRANCH, "memory access other than the accumulator"),
    "final read before the second clock read": (
        [(END_THEN_FINAL, FINAL_THEN_END, 1)],
        ARITH, "not read after the second clock read"),
}


def edit(source, old, new, occurrence):
    count = source.count(old)
    if occurrence is None:
        assert count > 0, f"{old!r} not in the source"
        return source.replace(old, new)
    assert count > occurrence, f"{old!r} occurs {count} times, wanted occurrence {occurrence}"
    position = -1
    for _ in range(occurrence + 1):
        position = source.index(old, position + 1)
    return source[:position] + new + source[position + len(old):]


class NegativeControls(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        with open(OPTIONS.source, encoding="utf-8") as f:
            cls.source = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def build(self, name, source):
        path = os.path.join(self.tmp.name, name.replace(" ", "_"))
        with open(path + ".cpp", "w", encoding="utf-8") as f:
            f.write(source)
        # Warnings are beside the point for a deliberately broken variant.
        command = [OPTIONS.compiler, *shlex.split(OPTIONS.flags), "-std=c++20", "-w",
                   "-o", path, path + ".cpp"]
        subprocess.run(command, check=True)
        return check_loops.analyse(path)

    def test_unchanged_source_passes(self):
        kernels = self.build("unchanged", self.source)
        self.assertEqual([(k.name, k.faults) for k in kernels],
                         [(name, []) for name in check_loops.KERNELS])

    def test_each_fault_is_rejected(self):
        for name, (edits, kernel, expected) in VARIANTS.items():
            with self.subTest(name):
                source = self.source
                for old, new, occurrence in edits:
                    source = edit(source, old, new, occurrence)
                self.assertNotEqual(source, self.source)
                faults = {k.name: k.faults for k in self.build(name, source)}
                if kernel is None:  # every kernel must be rejected
                    for kernel_name, kernel_faults in faults.items():
                        self.assertTrue(kernel_faults, f"{kernel_name} passed")
                    continue
                self.assertTrue(any(expected in f for f in faults[kernel]),
                                f"{kernel}: {faults[kernel]}")
                # The fault is localised: the untouched kernels still pass.
                for other, other_faults in faults.items():
                    if other != kernel:
                        self.assertEqual(other_faults, [], other)


def add_arguments(parser):
    parser.add_argument("--source", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--flags", default="")


def skip_off_x86_64():
    if platform.machine().lower() not in ("x86_64", "amd64"):
        print(f"skipped: the check reads x86-64 machine code; this is {platform.machine()}")
        return check_loops.SKIP
    return None


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments, skip_off_x86_64))
