#!/usr/bin/env python3
"""Tests of bench_floor (tools/floor.cpp), the hand-written hardware floor:
its reports, the arguments it refuses, and its output that cannot be written.

Run by CTest as:  test_floor.py [--floor F] GROUP
where GROUP is one of the TestCase classes below; without --floor (bench_floor
is built on x86-64 only) every group skips.
"""
import argparse
import os
import shutil
import signal
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


class WriteFailure(FloorTest):
    MODES = {"floor": [], "rolled": ["--rolled"]}

    def assert_write_error(self, result, message):
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode().splitlines()[-1], message)

    def test_full_device(self):
        for mode, args in self.MODES.items():
            with self.subTest(mode), open("/dev/full", "wb") as full:
                self.assert_write_error(run([OPTIONS.floor, *args], stdout=full),
                                        "bench_floor: write error: No space left on device")

    def test_error_on_an_earlier_line(self):
        # Line-buffered, every line is written as it is printed: the failed
        # writes happen before the final flush, which then has nothing left to
        # write and succeeds. Only the stream's error indicator remembers.
        stdbuf = shutil.which("stdbuf")
        if stdbuf is None:
            self.skipTest("stdbuf (coreutils) is not installed")
        for mode, args in self.MODES.items():
            with self.subTest(mode), open("/dev/full", "wb") as full:
                result = run([stdbuf, "-oL", OPTIONS.floor, *args], stdout=full)
                self.assert_write_error(result, "bench_floor: write error")

    def test_closed_standard_output(self):
        for mode, args in self.MODES.items():
            with self.subTest(mode):
                result = run(["sh", "-c", 'exec "$0" "$@" >&-', OPTIONS.floor, *args])
                self.assert_write_error(result, "bench_floor: write error: Bad file descriptor")

    def test_reader_gone_with_sigpipe_ignored(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = run([OPTIONS.floor, "--rolled"], stdout=write_end,
                         preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
        finally:
            os.close(write_end)
        self.assert_write_error(result, "bench_floor: write error: Broken pipe")


def add_arguments(parser):
    parser.add_argument("--floor", default="", help="bench_floor, where it is built")


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments))
