#!/usr/bin/env python3
"""Black-box tests of bench_c_jit_compare: the exact report, exit status and
standard error, with any arguments and any kind of standard output, the
failure paths (unwritable output, unreadable clock), and the kernels'
arithmetic through small-iteration builds of the same source.

Run by CTest as:  test_bench.py --bench B --fake-clock L --small-dir D
                  --small-counts 0,1,... [--sanitized] GROUP
where GROUP is one of the TestCase classes below.
"""
import argparse
import os
import signal
import subprocess
import sys
import tempfile
import unittest

import harness
from report import BANNER, DONE, EXACT_LINE, ITERATIONS, KERNELS, LABEL_WIDTH, render

LABELS = tuple(f"{kernel.label:<{LABEL_WIDTH}}" for kernel in KERNELS)
DOCUMENTED_FINALS = tuple(kernel.final for kernel in KERNELS)

OPTIONS = argparse.Namespace()


def signed64(value):
    """The signed reading of the low 64 bits of an integer."""
    value &= (1 << 64) - 1
    return value - (1 << 64) if value >= 1 << 63 else value


def model_finals(n):
    """Kernel results after n iterations, derived without running any loop:
    increment gives n; x -> 3x + 7 from 0 gives 7 * (3^n - 1) / 2; the branch
    kernel's +1/-1 alternation leaves n mod 2."""
    three_n = pow(3, n, 1 << 66)  # enough bits that halving stays exact mod 2^64
    return (signed64(n), signed64(7 * ((three_n - 1) // 2)), n % 2)


def run(argv, env_extra=None, wrapper=(), **kwargs):
    """Runs the built program argv[0] (through the build's emulator, if any)
    with the variables `env_extra`, behind the command `wrapper` (a shell
    that redirects, say)."""
    # A build with the address sanitizer tolerates the preloaded clock double.
    command, env = harness.program(argv, {**(env_extra or {}),
                                          "ASAN_OPTIONS": "verify_asan_link_order=0"})
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([*wrapper, *command], env=env, stderr=subprocess.PIPE, timeout=120,
                          check=False, **kwargs)


class ReportChecks(unittest.TestCase):
    def assert_report(self, stdout, finals=DOCUMENTED_FINALS, banner=BANNER):
        """Asserts the exact seven-line layout and returns the three times as
        their printed fields."""
        text = stdout.decode("ascii")
        self.assertTrue(text.endswith("\n"), repr(text))
        lines = text[:-1].split("\n")
        self.assertEqual(len(lines), 7, text)
        self.assertEqual(lines[0], banner)
        self.assertEqual(lines[1], "")
        self.assertEqual(lines[5], "")
        self.assertEqual(lines[6], DONE)
        fields = []
        for label, final, line in zip(LABELS, finals, lines[2:5]):
            match = EXACT_LINE.fullmatch(line)
            self.assertIsNotNone(match, f"malformed result line {line!r}")
            self.assertEqual(match["label"], label)
            self.assertEqual(int(match["x"]), final, line)
            ms = match["ms"]
            # "%8.2f": right-aligned to at least 8 characters, never cut.
            self.assertEqual(len(ms), max(8, len(ms.lstrip(" "))), line)
            fields.append(ms)
        return fields

    def assert_clean_run(self, result):
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        return self.assert_report(result.stdout)


class Report(ReportChecks):
    def test_exact_report(self):
        fields = self.assert_clean_run(run([OPTIONS.bench]))
        for ms in fields:
            self.assertGreater(float(ms), 0.0)

    def test_model_agrees_with_documented_finals(self):
        # Guards the oracle used for the small builds.
        self.assertEqual(model_finals(ITERATIONS), DOCUMENTED_FINALS)


class Arguments(ReportChecks):
    def test_arguments_change_nothing(self):
        cases = {
            "flags": ["--help", "-v", "--iterations=5"],
            "empty": [""],
            "numbers": ["1", "1e9", "-1"],
            "non-UTF-8 bytes": [b"\xff\xfe\x80", b"caf\xe9"],
            "thousands": [f"arg{i}" for i in range(5000)],
        }
        for name, args in cases.items():
            with self.subTest(name):
                self.assert_clean_run(run([OPTIONS.bench, *args]))


class OutputTargets(ReportChecks):
    def test_file_and_pipe_give_the_same_report(self):
        with tempfile.TemporaryFile() as out:
            self.assertEqual(run([OPTIONS.bench], stdout=out).returncode, 0)
            out.seek(0)
            self.assert_report(out.read())
        # Through a pipe into another process, as `bench | cat` would.
        result = run([OPTIONS.bench], wrapper=["sh", "-c", '"$0" "$@" | cat'])
        self.assertEqual(result.returncode, 0)
        self.assert_report(result.stdout)


class WriteFailure(ReportChecks):
    def assert_write_error(self, result, reason):
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), f"bench_c_jit_compare: write error: {reason}\n")

    def test_full_device(self):
        with open("/dev/full", "wb") as full:
            self.assert_write_error(run([OPTIONS.bench], stdout=full), "No space left on device")

    def test_closed_standard_output(self):
        result = run([OPTIONS.bench], wrapper=["sh", "-c", 'exec "$0" "$@" >&-'])
        self.assert_write_error(result, "Bad file descriptor")

    def test_reader_gone_with_sigpipe_ignored(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            result = run(
                [OPTIONS.bench],
                stdout=write_end,
                preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN),
            )
        finally:
            os.close(write_end)
        self.assert_write_error(result, "Broken pipe")


class Clock(ReportChecks):
    def skip_if_sanitized(self):
        if OPTIONS.sanitized:
            self.skipTest("the sanitizer runtime reads the clock itself, so calls cannot be counted")

    def run_with_clock(self, **settings):
        env = {"LD_PRELOAD": OPTIONS.fake_clock}
        env.update({f"FAKE_CLOCK_{k.upper()}": str(v) for k, v in settings.items()})
        return run([OPTIONS.bench], env_extra=env)

    def test_exactly_six_clock_readings(self):
        self.skip_if_sanitized()
        with tempfile.TemporaryDirectory() as tmp:
            count_file = os.path.join(tmp, "count")
            self.assert_clean_run(self.run_with_clock(count_file=count_file))
            with open(count_file, encoding="ascii") as f:
                self.assertEqual(f.read(), "6\n")

    def test_failing_clock_stops_the_report(self):
        # Reading N fails: measurement (N - 1) // 2 has no time, the lines
        # before it stand, nothing after it is printed.
        self.skip_if_sanitized()
        head = [BANNER, ""]
        for failing_call in range(1, 7):
            with self.subTest(failing_call=failing_call):
                result = self.run_with_clock(fail_at=failing_call)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(
                    result.stderr.decode(),
                    "bench_c_jit_compare: cannot read the monotonic clock: Invalid argument\n",
                )
                lines = result.stdout.decode().split("\n")
                self.assertEqual(lines[-1], "")
                measured = (failing_call - 1) // 2
                self.assertEqual(lines[:2], head)
                self.assertEqual(len(lines) - 3, measured, lines)
                for label, line in zip(LABELS, lines[2:-1]):
                    self.assertTrue(line.startswith(label), line)

    def test_time_column(self):
        # A fake clock that advances exactly STEP ns per reading fixes the
        # elapsed time, so the conversion and the "%8.2f" field are exact.
        cases = {
            12_345_678: "   12.35",
            5_000_000: "    5.00",
            4_999: "    0.00",
            99_999_990_000: "99999.99",
            123_456_789_012: "123456.79",
            1_000_000_000_000: "1000000.00",
        }
        for step, field in cases.items():
            with self.subTest(step=step):
                result = self.run_with_clock(step_ns=step)
                self.assertEqual(self.assert_clean_run(result), [field] * 3)
                # The whole report, byte for byte, as tools/report.py renders
                # it: the program and the tools' idea of it cannot drift.
                self.assertEqual(result.stdout.decode("ascii"), render([step / 1e6] * 3))


class KernelArithmetic(ReportChecks):
    def output_after(self, n):
        result = run([os.path.join(OPTIONS.small_dir, f"bench_iterations_{n}")])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        return result.stdout

    def test_small_builds_follow_the_model(self):
        for n in OPTIONS.small_counts:
            with self.subTest(iterations=n):
                self.assert_report(self.output_after(n), model_finals(n))

    def test_known_values(self):
        # Values worked out by hand; the 39th update is the first whose exact
        # result leaves the signed 64-bit range, and the loop must go on.
        known = {1: 7, 2: 28, 3: 91, 39: -4262801038143134685}
        self.assertTrue(set(known) <= set(OPTIONS.small_counts))
        for n, arith in known.items():
            with self.subTest(iterations=n):
                self.assert_report(self.output_after(n), (n, arith, n % 2))


def add_arguments(parser):
    parser.add_argument("--bench", required=True)
    parser.add_argument("--fake-clock", required=True)
    parser.add_argument("--small-dir", required=True)
    parser.add_argument("--small-counts", required=True)
    parser.add_argument("--sanitized", action="store_true")


def prepare():
    OPTIONS.small_counts = [int(n) for n in OPTIONS.small_counts.split(",")]
    OPTIONS.fake_clock = os.path.abspath(OPTIONS.fake_clock)


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments, prepare))
