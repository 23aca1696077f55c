#!/usr/bin/env python3
"""Tests of bench_floor (tools/floor.cpp), the hand-written hardware floor:
its reports and the arguments it refuses.

Run by CTest as:  test_floor.py [--floor F] GROUP
where GROUP is one of the TestCase classes below; without --floor (bench_floor
is built on x86-64 only) every group skips.
"""
import argparse
import os
import subprocess
import sys
import unittest

import harness
from report import DONE, EXACT_LINE, KERNELS, LABEL_WIDTH

OPTIONS = argparse.Namespace()
BANNER = "=== Hardware floor (1e8 iterations) ==="
ROLLED_BANNER = "=== Hardware floor, rolled loops (1e8 iterations) ==="
LABELS = tuple(f"{kernel.label:<{LABEL_WIDTH}}" for kernel in KERNELS)


def run(argv, env_extra=None, **kwargs):
    env = dict(os.environ)
    env.update(env_extra or {})
    env["ASAN_OPTIONS"] = "verify_asan_link_order=0"
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run(argv, env=env, stderr=subprocess.PIPE, timeout=300, check=False,
                          **kwargs)


class FloorTest(unittest.TestCase):
    def setUp(self):
        if not OPTIONS.floor:
            self.skipTest("bench_floor is built on x86-64 only")

    def assert_report(self, stdout, banner=BANNER):
        """The exact seven-line layout with the 1e8 finals; returns the times."""
        lines = stdout.decode("ascii").split("\n")
        self.assertEqual(lines[:2] + lines[5:], [banner, "", "", DONE, ""], lines)
        times = []
        for label, kernel, line in zip(LABELS, KERNELS, lines[2:5]):
            match = EXACT_LINE.fullmatch(line)
            self.assertIsNotNone(match, line)
            self.assertEqual((match["label"], int(match["x"])), (label, kernel.final), line)
            times.append(float(match["ms"]))
        return times


class Floor(FloorTest):
    # Each of bench_floor's variants, by its arguments, and the banner it prints.
    VARIANTS = {(): BANNER, ("--rolled",): ROLLED_BANNER}

    def test_every_floor_computes_the_same_accumulators(self):
        for args, banner in self.VARIANTS.items():
            with self.subTest(args=args):
                result = run([OPTIONS.floor, *args])
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, b"")
                self.assert_report(result.stdout, banner=banner)

    def test_other_arguments_are_refused(self):
        for args in (["--unrolled"], [""], ["--rolled", "--rolled"]):
            with self.subTest(args=args):
                result = run([OPTIONS.floor, *args])
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertEqual(result.stderr, b"usage: bench_floor [--rolled]\n")


def add_arguments(parser):
    parser.add_argument("--floor", default="", help="bench_floor, where it is built")


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments))
