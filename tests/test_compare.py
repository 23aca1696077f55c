#!/usr/bin/env python3
"""Tests of tools/compare.py through small fake benchmark commands: shell
scripts, written by the tests, that print fixed or counted reports.

    test_compare.py [GROUP ...]
"""
import argparse
import json
import os
import stat
import subprocess
import sys
import tempfile
import unittest

import compare
import harness
from report import FINALS, KERNEL_NAMES, render

OPTIONS = argparse.Namespace()
INC, ARITH, BRANCH = KERNEL_NAMES


def report(inc_ms, arith_ms, branch_ms, finals=FINALS, banner="=== Fake (1e8 iterations) ==="):
    return render([inc_ms, arith_ms, branch_ms], [finals[name] for name in KERNEL_NAMES], banner)


class CompareTests(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.log = os.path.join(self.tmp.name, "order.log")

    def fake(self, name, text, status=0, stderr=""):
        """A command that logs its name, prints `text` and exits `status`.
        In `text`, RUN is replaced by the run number (1, 2, ...)."""
        path = os.path.join(self.tmp.name, name)
        counter = path + ".count"
        script = [
            "#!/bin/sh",
            f"n=$(( $(cat '{counter}' 2>/dev/null || echo 0) + 1 ))",
            f"echo \"$n\" > '{counter}'",
            f"echo '{name}' >> '{self.log}'",
            "sed \"s/RUN/$n/g\" <<'END'",
            text.rstrip("\n"),
            "END",
            f"echo '{stderr}' >&2",
            f"exit {status}",
        ]
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(script) + "\n")
        os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        return path

    def compare(self, *args):
        return subprocess.run([sys.executable, compare.__file__, *args], capture_output=True,
                              text=True, timeout=120, check=False)

    def test_interleaved_runs_ratios_and_verdicts(self):
        fast = self.fake("fast", report(10, 20, 30))
        slow = self.fake("slow", report(20, 20, 15))
        result = self.compare("-n", "8", "--warmup", "2", "--format", "json", fast, slow)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")  # no progress when stderr is not a terminal
        with open(self.log, encoding="utf-8") as f:
            self.assertEqual(f.read().split(), ["fast", "slow"] * 10)
        document = json.loads(result.stdout)
        self.assertEqual((document["runs"], document["warmup"]), (8, 2))
        rows = {(r["kernel"], os.path.basename(r["command"])): r for r in document["results"]}
        self.assertEqual(len(rows), 6)
        self.assertEqual(rows[INC, "slow"]["ratio"], 2.0)
        self.assertEqual(rows[INC, "slow"]["verdict"], "slower")
        self.assertEqual(rows[ARITH, "slow"]["verdict"], "no significant difference")
        self.assertEqual(rows[BRANCH, "slow"]["ratio"], 0.5)
        self.assertEqual(rows[BRANCH, "slow"]["verdict"], "faster")
        self.assertEqual(rows[INC, "fast"]["verdict"], "reference")
        self.assertEqual(rows[INC, "fast"]["times_ms"], [10.0] * 8)
        self.assertEqual(rows[ARITH, "slow"]["x"], FINALS[ARITH])

    def test_statistics_of_varying_runs(self):
        # Run k prints k ms for the increment kernel; warm-up run 1 is dropped.
        counted = self.fake("counted", report(0, 5, 5).replace("    0.00", "RUN.00"))
        result = self.compare("-n", "5", "--format", "json", counted)
        self.assertEqual(result.returncode, 0, result.stderr)
        row = json.loads(result.stdout)["results"][0]
        self.assertEqual(row["times_ms"], [2.0, 3.0, 4.0, 5.0, 6.0])
        self.assertEqual((row["median_ms"], row["min_ms"], row["max_ms"]), (4.0, 2.0, 6.0))
        self.assertEqual(row["spread"], 3.0)
        self.assertTrue(row["unstable"])

    def test_too_few_runs_for_a_verdict(self):
        a = self.fake("a", report(10, 10, 10))
        b = self.fake("b", report(30, 30, 30))
        result = self.compare("-n", "3", a, b)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("too few runs", result.stdout)
        self.assertNotIn("slower", result.stdout)

    def test_table_and_markdown(self):
        a = self.fake("a", report(10, 20, 30))
        b = self.fake("b", report(11, 20, 30))
        table = self.compare("-n", "6", a, b)
        self.assertEqual(table.returncode, 0, table.stderr)
        for kernel in FINALS:
            self.assertIn(f"{kernel} (x={FINALS[kernel]})", table.stdout)
        self.assertRegex(table.stdout, r"b\s+11\.00\s+11\.00\s+11\.00\s+1\.00\s+1\.10\s+slower")
        markdown = self.compare("-n", "6", "--format", "markdown", a, b)
        self.assertEqual(markdown.returncode, 0, markdown.stderr)
        lines = markdown.stdout.splitlines()
        self.assertEqual(lines[0], "| kernel | command | median ms | min ms | max ms | spread | "
                                   "ratio | verdict |")
        rows = [line for line in lines[2:] if line.startswith("|")]
        self.assertEqual(len(rows), 6)
        self.assertTrue(all(line.count("|") == 9 for line in rows), rows)
        self.assertIn("| 11.00 | 11.00 | 11.00 | 1.00 | 1.10 | slower", markdown.stdout)

    def test_command_split_like_a_shell(self):
        a = self.fake("a", report(1, 2, 3))
        spaced = os.path.join(self.tmp.name, "with space")
        os.symlink(a, spaced)
        result = self.compare("-n", "1", f"sh '{spaced}' --ignored-flag")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_wrong_accumulator_is_an_error(self):
        good = self.fake("good", report(10, 10, 10))
        wrong = self.fake("wrong", report(5, 5, 5, finals={**FINALS, ARITH: 1}))
        result = self.compare("-n", "3", good, wrong)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, "")
        self.assertIn(wrong, result.stderr)
        self.assertIn(f"{ARITH} reports x=1", result.stderr)

    def test_failing_command_is_an_error(self):
        good = self.fake("good", report(10, 10, 10))
        bad = self.fake("bad", "partial line\nlast words", status=3, stderr="boom")
        result = self.compare(good, bad)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"{bad}: exited with status 3", result.stderr)
        self.assertIn("| last words", result.stderr)
        self.assertIn("| boom", result.stderr)
        missing = self.compare(good, os.path.join(self.tmp.name, "no-such-command"))
        self.assertEqual(missing.returncode, 1)
        self.assertIn("cannot run", missing.stderr)

    def test_missing_kernel_line_is_an_error(self):
        good = self.fake("good", report(10, 10, 10))
        text = "\n".join(line for line in report(1, 1, 1).splitlines() if BRANCH not in line)
        partial = self.fake("partial", text)
        result = self.compare(good, partial)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f'{partial}: no "{BRANCH}:" line', result.stderr)
        self.assertIn("| === Done ===", result.stderr)

    def test_usage_errors(self):
        a = self.fake("a", report(1, 1, 1))
        for args in ([], ["-n", "0", a], ["--warmup", "-1", a], ["--format", "csv", a], [""],
                     ["'unclosed"]):
            with self.subTest(args=args):
                result = self.compare(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("usage: compare.py", result.stderr)
                self.assertEqual(result.stdout, "")


class Statistics(unittest.TestCase):
    def test_mann_whitney_against_known_values(self):
        p = compare.mann_whitney_p
        # Complete separation of 6 and 6: U = 0, z = 17.5 / sqrt(39), p = 0.005075
        # (the asymptotic two-sided value with continuity correction).
        self.assertAlmostEqual(p(range(1, 7), range(7, 13)), 0.005075, places=5)
        self.assertEqual(p(range(1, 7), range(7, 13)), p(range(7, 13), range(1, 7)))
        # Ties: 3 and 3 sharing one value: U = 0.5, tie-corrected variance 5.1.
        self.assertAlmostEqual(p([1, 2, 3], [3, 4, 5]), 0.12118, places=5)
        self.assertEqual(p([5.0] * 6, [5.0] * 6), 1.0)


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
