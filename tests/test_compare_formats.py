#!/usr/bin/env python3
"""Tests of compare's output formats, in process, on saved rows: the table
and markdown byte for byte, the JSON document field by field, and the SVG
plot's structure. No command runs here (tools/comparing/format_*.py,
plot.py).

    test_compare_formats.py [GROUP ...]
"""
import argparse
import dataclasses
import json
import math
import sys
import unittest
from xml.etree import ElementTree

import harness
from comparing.commands import Command
from comparing.format_json import format_json
from comparing.format_markdown import format_markdown
from comparing.format_table import format_table
from comparing.plot import plot_svg
from comparing.records import Comparison, Correction, Row
from report import FINALS, KERNEL_NAMES

OPTIONS = argparse.Namespace()
INC, ARITH, BRANCH = KERNEL_NAMES
SVG = {"s": "http://www.w3.org/2000/svg"}

# Saved from a comparison of three commands (five counted runs each), with
# made-up values where a case needs one: an interval end next to 1, a zero
# time, no interval, a ratio too large for a float.
COMMANDS = (Command("./build/bench_c_jit_compare", ("./build/bench_c_jit_compare",)),
            Command("java -jar jit.jar", ("java", "-jar", "jit.jar")),
            Command("./a|b`c", ("./a|b`c",)))
ROWS = [  # kernel, command index, runs, median, min, max, spread, median ratio, ratio,
    # interval, exact, verdict, unstable
    (INC, 0, 5, 29.0, 28.8, 30.5, 1.059, 1.0, None, None, None, "reference", False),
    (INC, 1, 5, 35.2, 34.9, 50.3, 1.441, 1.214, 1.2138, [1.1475, 1.7363], True, "slower", True),
    (INC, 2, 5, 29.1, 28.9, 29.6, 1.024, 1.003, 1.0001, [0.99996, 1.0003], True,
     "no significant difference", False),
    (ARITH, 0, 5, 55.44, 55.1, 56.0, 1.016, 1.0, None, None, None, "reference", False),
    (ARITH, 1, 5, 27.5, 27.0, 28.2, 1.044, 0.496, 0.4964, [0.4871, 0.5090], True, "faster",
     False),
    (ARITH, 2, 5, 55.5, 55.0, 56.1, 1.02, 1.001, math.inf, [0.98, math.inf], False, "no "
     "significant difference", False),
    (BRANCH, 0, 5, 29.44, 29.0, 30.1, 1.038, 1.0, None, None, None, "reference", False),
    (BRANCH, 1, 5, 20.0, 0.0, 20.3, None, 0.679, None, None, None, "undefined: a zero time",
     True),
    (BRANCH, 2, 5, 29.5, 29.1, 29.9, 1.027, 1.002, 1.001, None, True,
     "too few runs for the adjusted level", False),
]
TIMES = [{INC: [29.0, 28.8, 30.5, 29.1, 28.9], ARITH: [55.44, 55.1, 56.0, 55.3, 55.5],
          BRANCH: [29.44, 29.0, 30.1, 29.2, 29.6]},
         {INC: [35.2, 34.9, 50.3, 35.0, 35.5], ARITH: [27.5, 27.0, 28.2, 27.4, 27.6],
          BRANCH: [20.0, 0.0, 20.3, 20.1, 19.9]},
         {INC: [29.1, 28.9, 29.6, 29.2, 29.0], ARITH: [55.5, 55.0, 56.1, 55.4, 55.6],
          BRANCH: [29.5, 29.1, 29.9, 29.4, 29.6]}]
ENVIRONMENT = {"utc": "2026-12-08T10:00:00+00:00", "host": "bench", "cpu_model": "AMD EPYC",
               "logical_cores": 2, "kernel_release": "6.1.0", "load_average": [0.5, 0.4, 0.3],
               "cpufreq_governor": None, "python": "3.11.2"}


def saved(**changes):
    """The saved comparison, with `changes` to its fields."""
    rows = [Row(kernel, COMMANDS[index].text, index, *rest) for kernel, index, *rest in ROWS]
    fields = dict(commands=COMMANDS, rows=rows,
                  correction=Correction("bonferroni", 0.05, 6, 0.05 / 6, 1 - 0.05 / 6),
                  runs=5, warmup=1, timeout=300.0, times=TIMES,
                  warmup_times=[{kernel: [t[kernel][0] + 1] for kernel in KERNEL_NAMES}
                                for t in TIMES],
                  interrupted=None, environment_before=ENVIRONMENT,
                  environment_after={**ENVIRONMENT, "load_average": [1.0, 0.5, 0.25]})
    return Comparison(**{**fields, **changes})


NOTES = """\
5 runs per command after 1 warm-up round(s), interleaved.
ratio: Hodges-Lehmann estimate of time / reference time, with its 99.17% interval \
(normal approximation); Bonferroni correction over 6 comparison(s), family level 5%; \
faster/slower only when the interval excludes 1. median ratio: median / reference median.
unstable: max/min above 1.25; the machine was noisy or the command's speed varies from run \
to run; more runs will not fix a bimodal one.
"""


class TableFormat(unittest.TestCase):
    def test_saved_rows_byte_for_byte(self):
        self.maxDiff = None
        heading = ("  command                         median        min        max  spread  "
                   "median ratio  ratio [interval]          verdict")
        expected = "\n".join([
            f"{INC} (x={FINALS[INC]})", heading,
            "  ./build/bench_c_jit_compare      29.00      28.80      30.50    1.06         "
            "1.000  -                         reference",
            "  java -jar jit.jar                35.20      34.90      50.30    1.44         "
            "1.214  1.214 [1.147, 1.736]      slower  unstable",
            "  ./a|b`c                          29.10      28.90      29.60    1.02         "
            "1.003  1.000 [0.99996, 1.0003]   no significant difference",
            "",
            f"{ARITH} (x={FINALS[ARITH]})", heading,
            "  ./build/bench_c_jit_compare      55.44      55.10      56.00    1.02         "
            "1.000  -                         reference",
            "  java -jar jit.jar                27.50      27.00      28.20    1.04         "
            "0.496  0.496 [0.487, 0.509]      faster",
            "  ./a|b`c                          55.50      55.00      56.10    1.02         "
            "1.001  inf [0.980, inf]          no significant difference",
            "",
            f"{BRANCH} (x={FINALS[BRANCH]})", heading,
            "  ./build/bench_c_jit_compare      29.44      29.00      30.10    1.04         "
            "1.000  -                         reference",
            "  java -jar jit.jar                20.00       0.00      20.30  undefined         "
            "0.679  undefined                 undefined: a zero time  unstable",
            "  ./a|b`c                          29.50      29.10      29.90    1.03         "
            "1.002  1.001 [none]              too few runs for the adjusted level",
            "", NOTES])
        self.assertEqual(format_table(saved()), expected)

    def test_interrupted_and_single_command_notes(self):
        interrupted = format_table(saved(interrupted="SIGINT")).splitlines()
        self.assertEqual(interrupted[-4], "INTERRUPTED (SIGINT): only the 5 completed round(s).")
        alone = saved(rows=[row for row in saved().rows if row.command_index == 0],
                      correction=Correction("bonferroni", 0.05, 0, 0.05, 0.95))
        self.assertEqual(format_table(alone).splitlines()[-2:],
                         ["5 runs per command after 1 warm-up round(s), interleaved.",
                          "One command only: nothing to compare it with."])


class MarkdownFormat(unittest.TestCase):
    def test_saved_rows_byte_for_byte(self):
        self.maxDiff = None
        expected = "\n".join([
            "| kernel | command | median ms | min ms | max ms | spread | median ratio | "
            "ratio [interval] | verdict |",
            "|---|---|---:|---:|---:|---:|---:|---:|---|",
            f"| {INC} | `./build/bench_c_jit_compare` | 29.00 | 28.80 | 30.50 | 1.06 | 1.000 | - "
            "| reference |",
            f"| {INC} | `java -jar jit.jar` | 35.20 | 34.90 | 50.30 | 1.44 (unstable) | 1.214 | "
            "1.214 [1.147, 1.736] | slower |",
            # A pipe is escaped, and a backtick gets a longer fence.
            f"| {INC} | `` ./a\\|b`c `` | 29.10 | 28.90 | 29.60 | 1.02 | 1.003 | "
            "1.000 [0.99996, 1.0003] | no significant difference |",
            f"| {ARITH} | `./build/bench_c_jit_compare` | 55.44 | 55.10 | 56.00 | 1.02 | 1.000 | "
            "- | reference |",
            f"| {ARITH} | `java -jar jit.jar` | 27.50 | 27.00 | 28.20 | 1.04 | 0.496 | "
            "0.496 [0.487, 0.509] | faster |",
            f"| {ARITH} | `` ./a\\|b`c `` | 55.50 | 55.00 | 56.10 | 1.02 | 1.001 | "
            "inf [0.980, inf] | no significant difference |",
            f"| {BRANCH} | `./build/bench_c_jit_compare` | 29.44 | 29.00 | 30.10 | 1.04 | 1.000 "
            "| - | reference |",
            f"| {BRANCH} | `java -jar jit.jar` | 20.00 | 0.00 | 20.30 | undefined (unstable) | "
            "0.679 | undefined | undefined: a zero time |",
            f"| {BRANCH} | `` ./a\\|b`c `` | 29.50 | 29.10 | 29.90 | 1.03 | 1.002 | "
            "1.001 [none] | too few runs for the adjusted level |",
            "", NOTES])
        self.assertEqual(format_markdown(saved()), expected)


class JsonFormat(unittest.TestCase):
    def test_saved_rows_field_by_field(self):
        comparison = saved(interrupted="SIGTERM")
        document = json.loads(format_json(comparison))
        self.assertEqual(document["schema_version"], 1)
        self.assertEqual(document["environment"], {
            **{k: v for k, v in ENVIRONMENT.items() if k != "load_average"},
            "load_average_before": [0.5, 0.4, 0.3], "load_average_after": [1.0, 0.5, 0.25]})
        self.assertEqual(document["commands"], [{"command": c.text, "words": list(c.words)}
                                                for c in COMMANDS])
        self.assertEqual({k: document[k] for k in ("runs", "warmup", "timeout_s",
                                                   "interrupted")},
                         {"runs": 5, "warmup": 1, "timeout_s": 300.0, "interrupted": "SIGTERM"})
        self.assertEqual(document["correction"], dataclasses.asdict(comparison.correction))
        # Accumulators as strings: a JSON reader keeps all their digits.
        self.assertEqual(document["finals"], {k: str(v) for k, v in FINALS.items()})
        self.assertEqual(len(document["results"]), len(ROWS))
        for row, result in zip(comparison.rows, document["results"]):
            expected = dataclasses.asdict(row)
            if row.ratio == math.inf:  # JSON has no infinity: null
                expected.update(ratio=None, interval=[0.98, None])
            self.assertEqual(result, {**expected, "x": str(FINALS[row.kernel]),
                                      "warmup_times_ms": [TIMES[row.command_index][row.kernel][0]
                                                          + 1],
                                      "times_ms": TIMES[row.command_index][row.kernel]})

    def test_strict_json(self):
        # No NaN or Infinity tokens, which strict readers refuse.
        text = format_json(saved())
        json.loads(text, parse_constant=lambda name: self.fail(f"{name} in the JSON"))


class Plot(unittest.TestCase):
    def test_panels_dots_and_medians(self):
        svg = plot_svg([c.text for c in COMMANDS], TIMES, "title & <more>")
        root = ElementTree.fromstring(svg)
        panels = root.findall("s:g[@class='panel']", SVG)
        self.assertEqual([panel.get("data-kernel") for panel in panels], list(KERNEL_NAMES))
        for panel in panels:
            self.assertEqual(len(panel.findall("s:circle[@class='run']", SVG)), 15)
            self.assertEqual(len(panel.findall("s:line[@class='median']", SVG)), 3)
            axis = panel.find("s:line[@class='axis']", SVG)
            for mark in (panel.findall("s:circle", SVG)
                         + panel.findall("s:line[@class='median']", SVG)):
                x = float(mark.get("cx") or mark.get("x1"))
                self.assertTrue(float(axis.get("x1")) <= x <= float(axis.get("x2")), x)
        self.assertEqual(root.find("s:text", SVG).text, "title & <more>")


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
