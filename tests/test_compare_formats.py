#!/usr/bin/env python3
"""Tests of compare's output formats, in process, on saved rows: the table
and markdown byte for byte, the JSON document field by field, the SVG
plot's structure, BMF (against Bencher's schema), Google Benchmark's JSON
(read by its own compare tool where installed) and CSV; and a saved run read
back for --against, or refused. No command of compare's runs here
(tools/comparing/format_*.py, plot.py, read_json.py, against.py).

    test_compare_formats.py [GROUP ...]
"""
import argparse
import base64
import csv
import dataclasses
import io
import json
import math
import os
import re
import subprocess
import sys
import tempfile
import unicodedata
import unittest
from xml.etree import ElementTree

import harness
from comparing.against import against
from comparing.cells import display_width, estimate_text, floor_estimate_text
from comparing.commands import Command, split
from comparing.format_bmf import format_bmf
from comparing.format_csv import format_csv
from comparing.format_gbench import format_gbench
from comparing.format_json import format_json
from comparing.format_markdown import format_markdown
from comparing.format_table import COLUMNS, FLOOR_COLUMNS, format_table
from comparing.format_table import cells as table_cells
from comparing.plot import LABEL_CHARS, plot_svg
from comparing.read_json import SavedRunError, read_saved
from comparing.records import Against, Comparison, Correction, Failure, Row, Skipped
from comparing.summary import summarise
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
               "cpu_family": "26", "cpu_model_number": "2", "logical_cores": 2,
               "kernel_release": "6.1.0", "load_average": [0.5, 0.4, 0.3],
               "cpufreq_governor": None, "python": "3.11.2"}


def saved(**changes):
    """The saved comparison, with `changes` to its fields."""
    rows = [Row(kernel, COMMANDS[index].text, index, *rest) for kernel, index, *rest in ROWS]
    fields = dict(commands=COMMANDS, rows=rows,
                  correction=Correction("bonferroni", 0.05, 6, 0.05 / 6, 1 - 0.05 / 6),
                  runs=5, warmup=1, timeout=300.0, times=TIMES,
                  warmup_times=[{kernel: [t[kernel][0] + 1] for kernel in KERNEL_NAMES}
                                for t in TIMES],
                  interrupted=None, failed=None, environment_before=ENVIRONMENT,
                  environment_after={**ENVIRONMENT, "load_average": [1.0, 0.5, 0.25]})
    return Comparison(**{**fields, **changes})


MACHINE = "Machine: AMD EPYC, cpu family 26, model 2; 2 logical cores."
NOTES = f"""\
{MACHINE}
5 runs per command after 1 warm-up round(s), interleaved.
ratio: Hodges-Lehmann estimate of time / reference time, with its 99.17% interval \
(normal approximation); Bonferroni correction over 6 comparison(s), family level 5%; \
faster/slower only when the interval excludes 1. median ratio: median / reference median.
unstable: max/min above 1.25; the machine was noisy or the command's speed varies from run \
to run; more runs will not fix a bimodal one.
"""


def text_cells(line, cells):
    """The display columns where each of `cells` starts and ends in `line`,
    found left to right."""
    spans, position = [], 0
    for cell in cells:
        position = line.index(cell, position)
        start = columns(line[:position])
        position += len(cell)
        spans.append((start, columns(line[:position])))
    return spans


def columns(text):
    """Terminal columns of `text`, counted here independently of the code
    under test: wide and full-width characters two, combining marks and
    format characters none."""
    return sum(0 if unicodedata.combining(c) or unicodedata.category(c) == "Cf"
               else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def misaligned(table, rows, floor=False):
    """The lines of `table` whose cells do not line up with their block's
    heading: a right-aligned column must end, a left-aligned one start, in
    the same display column on every line."""
    columns = FLOOR_COLUMNS if floor else COLUMNS
    lines = table.splitlines()
    bad = []
    for kernel in KERNEL_NAMES:
        block = lines.index(f"{kernel} (x={FINALS[kernel]})")
        heading = text_cells(lines[block + 1], [h for h, _, _ in columns])
        kernel_rows = [row for row in rows if row.kernel == kernel]
        for offset, row in enumerate(kernel_rows, start=2):
            spans = text_cells(lines[block + offset], table_cells(row, floor))
            for (_, align, _), head, cell, text in zip(columns, heading, spans,
                                                      table_cells(row, floor)):
                if not text:  # an empty last cell: nothing to line up
                    continue
                if (align == ">" and head[1] != cell[1]) or (align != ">" and head[0] != cell[0]):
                    bad.append(lines[block + offset])
                    break
    return bad


class TableFormat(unittest.TestCase):
    def test_saved_rows_byte_for_byte(self):
        self.maxDiff = None
        # The spread column is as wide as its widest cell, "undefined".
        heading = ("  command                         median        min        max     spread  "
                   "median ratio  ratio [interval]          verdict")
        expected = "\n".join([
            f"{INC} (x={FINALS[INC]})", heading,
            "  ./build/bench_c_jit_compare      29.00      28.80      30.50       1.06         "
            "1.000  -                         reference",
            "  java -jar jit.jar                35.20      34.90      50.30       1.44         "
            "1.214  1.214 [1.147, 1.736]      slower  unstable",
            "  ./a|b`c                          29.10      28.90      29.60       1.02         "
            "1.003  1.000 [0.99996, 1.0003]   no significant difference",
            "",
            f"{ARITH} (x={FINALS[ARITH]})", heading,
            "  ./build/bench_c_jit_compare      55.44      55.10      56.00       1.02         "
            "1.000  -                         reference",
            "  java -jar jit.jar                27.50      27.00      28.20       1.04         "
            "0.496  0.496 [0.487, 0.509]      faster",
            "  ./a|b`c                          55.50      55.00      56.10       1.02         "
            "1.001  inf [0.980, inf]          no significant difference",
            "",
            f"{BRANCH} (x={FINALS[BRANCH]})", heading,
            "  ./build/bench_c_jit_compare      29.44      29.00      30.10       1.04         "
            "1.000  -                         reference",
            "  java -jar jit.jar                20.00       0.00      20.30  undefined         "
            "0.679  undefined                 undefined: a zero time  unstable",
            "  ./a|b`c                          29.50      29.10      29.90       1.03         "
            "1.002  1.001 [none]              too few runs for the adjusted level",
            "", NOTES])
        self.assertEqual(format_table(saved()), expected)

    def test_columns_line_up_for_any_command(self):
        cases = [  # the three commands' names
            ("a", "b", "c"),  # all shorter than the heading "command"
            ("./ベンチ", "java -jar 日本語.jar", "x"),  # wide characters
            ("./cafe\u0301", "./ｊｉｔ", "./b"),  # a combining accent; full-width letters
            ("./" + "long" * 30, "k", "日本"),
        ]
        for names in cases:
            with self.subTest(names=names):
                rows = [dataclasses.replace(row, command=names[row.command_index])
                        for row in saved().rows]
                self.assertEqual(misaligned(format_table(saved(rows=rows)), rows), [])

    def test_the_alignment_check_finds_a_shifted_cell(self):
        # The check above, on a table with one row pushed out of line.
        rows = saved().rows
        table = format_table(saved()).replace("  java -jar jit.jar   ", "  java -jar jit.jar    ", 1)
        self.assertEqual(len(misaligned(table, rows)), 1)

    def test_display_width(self):
        for text, width in (("abc", 3), ("日本", 4), ("cafe\u0301", 4), ("ｊ", 2), ("", 0),
                            ("a\u200bb", 2), ("\u00e9", 1)):
            self.assertEqual(display_width(text), width, text)

    def test_interrupted_and_single_command_notes(self):
        interrupted = format_table(saved(interrupted="SIGINT")).splitlines()
        self.assertEqual(interrupted[-4], "INTERRUPTED (SIGINT): only the 5 completed round(s).")
        alone = saved(rows=[row for row in saved().rows if row.command_index == 0],
                      correction=Correction("bonferroni", 0.05, 0, 0.05, 0.95))
        self.assertEqual(format_table(alone).splitlines()[-2:],
                         ["5 runs per command after 1 warm-up round(s), interleaved.",
                          "One command only: nothing to compare it with."])

    def test_a_failed_comparison_is_marked(self):
        failed = saved(runs=2, failed=Failure(1, "run 3 of 5", "java -jar jit.jar, run 3 of 5: "
                                                               "exited with status 3"))
        marker = ("FAILED (java -jar jit.jar, run 3 of 5): only the 2 completed round(s); the "
                  "error is on standard error.")
        for format_ in (format_table, format_markdown):
            with self.subTest(format=format_.__name__):
                lines = format_(failed).splitlines()
                self.assertEqual(lines[lines.index(marker) + 1],
                                 "2 runs per command after 1 warm-up round(s), interleaved.")


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


def strings(value):
    """Every string in a parsed JSON value, keys included."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, dict):
        for key, item in value.items():
            yield key
            yield from strings(item)
    elif isinstance(value, list):
        for item in value:
            yield from strings(item)


def assert_valid_unicode(document):
    """Raises UnicodeEncodeError if a string in `document` (parsed JSON)
    holds a lone surrogate, which a UTF-8 reader cannot hold."""
    for text in strings(document):
        text.encode("utf-8")


class JsonFormat(unittest.TestCase):
    def test_saved_rows_field_by_field(self):
        comparison = saved(interrupted="SIGTERM")
        document = json.loads(format_json(comparison))
        self.assertEqual((document["schema_version"], document["schema_minor"]), (1, 4))
        self.assertEqual(document["environment"], {
            **{k: v for k, v in ENVIRONMENT.items() if k != "load_average"},
            "load_average_before": [0.5, 0.4, 0.3], "load_average_after": [1.0, 0.5, 0.25]})
        self.assertEqual([{k: c[k] for k in ("command", "role", "words")}
                          for c in document["commands"]],
                         [{"command": c.text, "role": role, "words": list(c.words)}
                          for c, role in zip(COMMANDS, ("reference", "candidate", "candidate"))])
        self.assertEqual({k: document[k] for k in ("runs", "warmup", "timeout_s",
                                                   "interrupted", "failed", "against")},
                         {"runs": 5, "warmup": 1, "timeout_s": 300.0, "interrupted": "SIGTERM",
                          "failed": None, "against": None})
        self.assertEqual(document["correction"], dataclasses.asdict(comparison.correction))
        skipped = saved(skipped=(Skipped(COMMANDS[2], "floor", "gone"),))
        self.assertEqual((document["skipped"], json.loads(format_json(skipped))["skipped"]),
                         ([], [{**document["commands"][2], "role": "floor", "reason": "gone"}]))
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
                                      "times_ms": TIMES[row.command_index][row.kernel],
                                      "saved_times_ms": None})

    def test_a_failed_comparison(self):
        failure = Failure(2, "run 3 of 5", "./a|b`c, run 3 of 5: exited with status 3\n"
                                           "  the end of its standard output:\n    | \\xff")
        document = json.loads(format_json(saved(runs=2, failed=failure)))
        self.assertEqual((document["runs"], document["failed"]),
                         (2, {"command_index": 2, "run": "run 3 of 5",
                              "message": failure.message}))

    def test_strict_json(self):
        # No NaN or Infinity tokens, which strict readers refuse.
        text = format_json(saved())
        json.loads(text, parse_constant=lambda name: self.fail(f"{name} in the JSON"))

    def test_command_bytes_kept_exactly(self):
        cases = [  # the COMMAND argument's bytes, and whether every byte is UTF-8
            (b"./plain --flag", True),
            ("./caf\u00e9 'x y'".encode(), True),
            (b"./odd\xff", False),
            (b"./cut\xe6\x97 tail", False),  # a character cut short
            (b"sh -c 'x\xfe\xfe y' z", False),
        ]
        for argument, utf8 in cases:
            with self.subTest(argument=argument):
                command = split(os.fsdecode(argument))
                document = json.loads(format_json(saved(commands=(command, *COMMANDS[1:]))))
                assert_valid_unicode(document)
                entry = document["commands"][0]
                self.assertEqual(base64.b64decode(entry["argument_base64"]), argument)
                self.assertEqual([base64.b64decode(w) for w in entry["words_base64"]],
                                 [os.fsencode(w) for w in command.words])
                readable = " ".join(entry["words"])
                self.assertEqual("\ufffd" not in readable, utf8, readable)

    def test_the_unicode_check_finds_a_lone_surrogate(self):
        # What the document held before: a byte that is not UTF-8 as a lone
        # surrogate, written by json.dumps as \udcff.
        document = json.loads(json.dumps({"words": [os.fsdecode(b"./odd\xff")]}))
        with self.assertRaises(UnicodeEncodeError):
            assert_valid_unicode(document)


def plotted(names):
    """The SVG of a comparison of commands named `names`, each a little
    slower than the one before, and its rows."""
    times = [{kernel: [10.0 * (1 + index / 10) + run / 100 for run in range(6)]
              for kernel in KERNEL_NAMES} for index in range(len(names))]
    rows, correction = summarise(list(names), times)
    commands = tuple(Command(name, (name,)) for name in names)
    comparison = saved(commands=commands, rows=rows, correction=correction, runs=6,
                       times=times, warmup_times=times)
    return ElementTree.fromstring(plot_svg(comparison)), rows


class Plot(unittest.TestCase):
    def test_panels_dots_and_medians(self):
        root, _ = plotted([c.text for c in COMMANDS])
        panels = root.findall("s:g[@class='panel']", SVG)
        self.assertEqual([panel.get("data-kernel") for panel in panels], list(KERNEL_NAMES))
        for panel in panels:
            self.assertEqual(len(panel.findall("s:circle[@class='run']", SVG)), 18)
            self.assertEqual(len(panel.findall("s:line[@class='median']", SVG)), 3)
            axis = panel.find("s:line[@class='axis']", SVG)
            for mark in (panel.findall("s:circle", SVG)
                         + panel.findall("s:line[@class='median']", SVG)):
                x = float(mark.get("cx") or mark.get("x1"))
                self.assertTrue(float(axis.get("x1")) <= x <= float(axis.get("x2")), x)
        self.assertEqual(root.find("s:text", SVG).text,
                         "tools/compare.py: 6 interleaved runs per command")
        self.assertEqual(root.find("s:text[@class='machine']", SVG).text, MACHINE)

    def test_machine_and_what_was_left_out(self):
        # A /proc/cpuinfo naming no model string nor family (AArch64's); what
        # --skip-missing left out, in the order given, in the notes and the plot.
        comparison = saved(environment_before={**ENVIRONMENT, "cpu_model": None, "cpu_family": "",
                                               "logical_cores": 1},
                           skipped=(Skipped(COMMANDS[1], "candidate", "why"),
                                    Skipped(COMMANDS[2], "floor", "gone")))
        lines = ["Machine: processor unknown, model 2; 1 logical core.",
                 "Left out (--skip-missing): java -jar jit.jar: why",
                 "Left out (--skip-missing): ./a|b`c (the floor): gone"]
        self.assertIn("\n\n" + "\n".join(lines) + "\n5 runs per", format_table(comparison))
        root = ElementTree.fromstring(plot_svg(comparison))
        shown = root.findall("s:text[@class='machine']", SVG) + root.findall(
            "s:g[@class='legend']/s:text[@class='left-out']", SVG)
        self.assertEqual([text.text for text in shown], lines)
        self.assertLess(float(shown[-1].get("y")), float(root.get("height")))

    def test_labels_unique_readable_and_ratios_beside_rows(self):
        jit = "java -cp build/classes/java/main:lib/* org.example.bench.LoopBenchmarkRunner"
        cases = [
            # Alike but for their flags near the start: a label that keeps only
            # the end of each would name both the same.
            ("./build/bench_c_jit_compare", f"java -Xint {jit[5:]}", f"java -Xcomp {jit[5:]}"),
            # Alike but in the middle.
            ("./build-gcc-O2-unroll-align64/bench_c_jit_compare --verbose",
             "./build-gcc-O2-unroll-align32/bench_c_jit_compare --verbose"),
            ("./r " + "a" * 60 + "X" + "a" * 60, "./r " + "a" * 60 + "Y" + "a" * 60),
            ("./a", "./a", "./b"),  # one command twice
            ("./ref", "x" * 200 + " & <tag>"),
        ]
        for names in cases:
            with self.subTest(names=names):
                root, rows = plotted(names)
                for panel in root.findall("s:g[@class='panel']", SVG):
                    kernel = panel.get("data-kernel")
                    labels = [text.itertext() for text in
                              panel.findall("s:text[@class='label']", SVG)]
                    labels = [list(parts)[-1] for parts in labels]  # after the <title>
                    self.assertEqual(len(set(labels)), len(names), labels)
                    # Different commands read apart even without their numbers.
                    texts = {name: text.partition(" ")[2] for name, text in zip(names, labels)}
                    self.assertEqual(len(set(texts.values())), len(set(names)), labels)
                    for index, (name, text) in enumerate(zip(names, labels)):
                        number, _, shown = text.partition(" ")
                        self.assertEqual(number, str(index + 1))
                        self.assertLessEqual(len(text), LABEL_CHARS)
                        self.assert_readable(shown, name)
                    self.check_side(panel, [row for row in rows if row.kernel == kernel])
                legend = root.findall("s:g[@class='legend']/s:text[@class='legend-entry']", SVG)
                for index, name in enumerate(names):
                    lines = [e.text for e in legend if e.get("data-command") == str(index)]
                    self.assertEqual(lines[0].split()[0], str(index + 1))
                    self.assertEqual("".join(" ".join(lines)[3:].split()), "".join(name.split()))

    def assert_readable(self, shown, name):
        """`shown` is `name`, or pieces of it in order between ellipses: its
        start, its end, and at most one piece between."""
        pieces = shown.split("\u2026")
        self.assertLessEqual(len(pieces), 3, shown)
        self.assertTrue(name.startswith(pieces[0]) and name.endswith(pieces[-1]), shown)
        if len(pieces) > 1:
            self.assertGreaterEqual(min(len(pieces[0]), len(pieces[-1])), 5, shown)
        if len(pieces) == 3:
            self.assertIn(pieces[1], name[len(pieces[0]):len(name) - len(pieces[-1])])
        if len(pieces) == 1:
            self.assertEqual(shown, name)

    def check_side(self, panel, rows):
        """Beside each row: the reference marked, each candidate's ratio with
        its interval and its verdict, at the height of its label."""
        def beside(kind, index):
            return panel.find(f"s:text[@class='{kind}'][@data-command='{index}']", SVG)

        for row in rows:
            index = row.command_index
            ratio, verdict, label = (beside(k, index) for k in ("ratio", "verdict", "label"))
            if index == 0:
                self.assertEqual(ratio.text, "reference")
            else:
                self.assertEqual((ratio.text, verdict.text), (estimate_text(row), row.verdict))
                self.assertRegex(ratio.text, r"^\d+\.\d{3} \[")
            self.assertLess(abs(float(ratio.get("y")) - float(label.get("y"))), 17)

    def test_a_partial_comparison_says_so(self):
        for changes, words in (({"interrupted": "SIGINT"}, "INTERRUPTED"),
                               ({"failed": Failure(1, "run 2 of 5", "x")}, "FAILED")):
            root = ElementTree.fromstring(plot_svg(saved(**changes)))
            self.assertIn(f"({words}: the rounds completed)", root.find("s:text", SVG).text)


def with_floor():
    """The saved comparison's first two commands and a floor in place of the
    third, summarised from the saved times."""
    commands = COMMANDS[:2] + (Command("./build/bench_floor", ("./build/bench_floor",)),)
    rows, correction = summarise([c.text for c in commands], TIMES, floor_index=2)
    return saved(commands=commands, rows=rows, correction=correction, floor_index=2)


class FloorColumns(unittest.TestCase):
    """With --floor, every format gives each row's ratio to the floor."""

    def test_table(self):
        comparison = with_floor()
        table = format_table(comparison)
        self.assertEqual(misaligned(table, comparison.rows, floor=True), [])
        lines = table.splitlines()
        self.assertRegex(lines[1], r"  verdict +floor ratio \[interval\]    floor verdict$")
        for row in comparison.rows:
            line = next(line for line in lines[lines.index(f"{row.kernel} (x="
                                                           f"{FINALS[row.kernel]})"):]
                        if line.startswith(f"  {row.command} "))
            if row.verdict == "floor":
                self.assertRegex(line, r"  -  +floor  +-$")
            else:
                self.assertTrue(line.endswith(f"  {floor_estimate_text(row)}  "
                                              f"{' ' * (24 - len(floor_estimate_text(row)))}"
                                              f"{row.floor_verdict}"), line)
        self.assertEqual([line for line in lines if line != line.rstrip()], [])
        self.assertIn("floor ratio: the same estimate of time / floor time", table)

    def test_markdown(self):
        comparison = with_floor()
        lines = format_markdown(comparison).splitlines()
        self.assertTrue(lines[0].endswith("| verdict | floor ratio [interval] | floor verdict |"))
        table = [line for line in lines[2:] if line.startswith("|")]
        self.assertEqual(len(table), len(comparison.rows))
        for line, row in zip(table, comparison.rows):
            self.assertEqual(line.count("|"), 12, line)
            self.assertTrue(line.endswith(f"| {row.verdict} | {floor_estimate_text(row)} | "
                                          f"{row.floor_verdict or ''} |"), line)

    def test_json(self):
        comparison = with_floor()
        document = json.loads(format_json(comparison))
        self.assertEqual([c["role"] for c in document["commands"]],
                         ["reference", "candidate", "floor"])
        self.assertEqual(document["correction"]["tests"], 9)
        for row, result in zip(comparison.rows, document["results"]):
            self.assertEqual({k: result[k] for k in ("floor_ratio", "floor_interval",
                                                     "floor_exact", "floor_verdict")},
                             {"floor_ratio": row.floor_ratio, "floor_interval": row.floor_interval,
                              "floor_exact": row.floor_exact, "floor_verdict": row.floor_verdict})
        self.assertEqual({r["verdict"] for r in document["results"] if r["command_index"] == 2},
                         {"floor"})

    def test_plot(self):
        comparison = with_floor()
        root = ElementTree.fromstring(plot_svg(comparison))
        for panel in root.findall("s:g[@class='panel']", SVG):
            kernel = panel.get("data-kernel")
            for row in (row for row in comparison.rows if row.kernel == kernel):
                index = row.command_index
                ratio, verdict = (panel.find(f"s:text[@class='{kind}'][@data-command='{index}']",
                                             SVG) for kind in ("floor-ratio", "floor-verdict"))
                if row.verdict == "floor":
                    self.assertEqual((ratio, verdict), (None, None))
                    self.assertEqual(panel.find(f"s:text[@class='ratio'][@data-command='{index}']",
                                                SVG).text, "floor")
                else:
                    self.assertEqual((ratio.text, verdict.text),
                                     ("floor: " + floor_estimate_text(row), row.floor_verdict))
                    # Beside its own row: within the row's band of height.
                    label = panel.find(f"s:text[@class='label'][@data-command='{index}']", SVG)
                    self.assertLess(abs(float(ratio.get("y")) - float(label.get("y"))), 29)
        self.assertEqual(root.find("s:g[@class='legend']/s:text", SVG).text,
                         "Commands (1 is the reference, 3 the floor)")


DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "compare")
GBENCH_COMPARE = "/usr/share/benchmark/compare.py"  # Debian's libbenchmark-tools


def schema_problems(value, schema, where="$"):
    # Where `value` breaks `schema`, by the keywords Bencher's BMF schema uses
    # (type, properties, patternProperties, required), and the name lengths
    # its page gives beside the schema.
    if not isinstance(value, {"object": dict, "number": (int, float)}[schema["type"]]):
        return [f"{where}: not {schema['type']}"]
    found = [f"{where}: no {key}" for key in schema.get("required", []) if key not in value]
    for key, item in value.items() if isinstance(value, dict) else ():
        found += [f"{where}.{key[:9]}: too long"] * (len(key) > (1024 if where == "$" else 64))
        for sub in [schema.get("properties", {}).get(key)] + [
                sub for pattern, sub in schema.get("patternProperties", {}).items()
                if re.search(pattern, key)]:
            found += schema_problems(item, sub, f"{where}.{key}") if sub else []
    return found


def held_against_saved():
    # The saved comparison against a saved run that took 1.25 times as long.
    older = [{k: [t * 1.25 for t in per[k]] for k in KERNEL_NAMES} for per in TIMES]
    rows, correction = summarise([c.text for c in COMMANDS], TIMES, saved=older)
    return saved(rows=rows, correction=correction,
                 against=Against("old.json", "2026-12-07T10:00:00+00:00", "bench", 5, older))


class DashboardFormats(unittest.TestCase):
    def test_every_command_and_kernel_with_its_values(self):
        # A command given twice: its names must still be unique.
        twice = saved(commands=COMMANDS[:2] + COMMANDS[:1])
        names = [f"{c} ({k})" for k in KERNEL_NAMES
                 for c in (COMMANDS[0].text, COMMANDS[1].text, COMMANDS[0].text + " #2")]
        bmf, gbench = json.loads(format_bmf(twice)), json.loads(format_gbench(twice))["benchmarks"]
        table = list(csv.DictReader(io.StringIO(format_csv(twice))))
        self.assertEqual((list(bmf), [(r["kernel"], r["command"]) for r in table]),
                         (names, [(r.kernel, r.command) for r in twice.rows]))
        for name, row, line in zip(names, twice.rows, table):
            ratio = row.ratio if row.ratio not in (None, math.inf) else None
            median = next(b for b in gbench if b["name"] == name + "_median")
            self.assertEqual(
                (list(bmf[name]["latency"].values()), bmf[name].get("ratio-to-reference"),
                 [b["real_time"] for b in gbench if b["name"] == name], median.get("ratio"),
                 line["ratio"], line["ratio_low"]),
                ([round(v * 1e6, 3) for v in (row.median_ms, row.min_ms, row.max_ms)],
                 ratio and dict(zip(("value", "lower_value", "upper_value"),
                                    [ratio, *(row.interval or [])])),
                 TIMES[row.command_index][row.kernel], ratio, f"{ratio:.12g}" if ratio else "",
                 f"{row.interval[0]:.12g}" if row.interval else ""))

    def test_bmf_validates_against_bencher_schema(self):
        with open(os.path.join(DATA, "bmf.schema.json"), encoding="utf-8") as f:
            schema = json.load(f)
        long = saved(commands=(Command("./" + "x" * 2000, ("./x",)),) + COMMANDS[1:])
        for document, problems in (
                *((json.loads(format_bmf(c)), []) for c in (saved(), long, with_floor())),
                ({"b": {"latency": {"value": None}}}, ["$.b.latency.value: not number"]),
                ({"b": {"latency": {"lower_value": 1}}}, ["$.b.latency: no value"]),
                ({"b": [], "x" * 1025: {}}, ["$.b: not object", "$.xxxxxxxxx: too long"])):
            with self.subTest(problems=problems):
                self.assertEqual(schema_problems(document, schema), problems)

    def test_google_benchmark_compare_reads_two_outputs(self):
        if not os.path.exists(GBENCH_COMPARE) or not os.path.exists("/usr/bin/python3"):
            self.skipTest(f"no {GBENCH_COMPARE} (Debian: libbenchmark-tools, python3-scipy)")
        slower = [{k: [t * 2 for t in per[k]] for k in KERNEL_NAMES} for per in TIMES]
        with tempfile.TemporaryDirectory() as folder:
            files = [os.path.join(folder, name) for name in ("a.json", "b.json", "diff.json")]
            for path, times in zip(files, (TIMES, slower)):
                with open(path, "w", encoding="utf-8") as f:
                    f.write(format_gbench(saved(times=times)))
            result = subprocess.run(["/usr/bin/python3", GBENCH_COMPARE, "--no-color", "-d",
                                     files[2], "benchmarks", *files[:2]], capture_output=True,
                                    text=True, timeout=120, check=False)
            if "No module named 'scipy'" in result.stderr:
                self.skipTest(f"{GBENCH_COMPARE} needs python3-scipy, which is not installed")
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(files[2], encoding="utf-8") as f:
                report = {b["name"]: b for b in json.load(f)}
        for row in saved().rows:  # every run of every command and kernel twice as long
            name = f"{row.command} ({row.kernel})"
            self.assertEqual([m["time"] for m in report[name]["measurements"]],
                             [float(t > 0) for t in TIMES[row.command_index][row.kernel]], name)
            self.assertIn(name + "_median", report)

    def test_against_a_saved_run_every_output_says_not_interleaved(self):
        comparison = held_against_saved()
        # Each command against its own saved runs, the reference too; 9 comparisons.
        self.assertEqual(({round(r.ratio, 9) for r in comparison.rows if r.ratio},
                          comparison.correction.tests), ({0.8}, 9))
        plot = ElementTree.fromstring(plot_svg(comparison))
        for said in (format_table(comparison), format_markdown(comparison),
                     [t.text for t in plot.findall("s:text[@class='against']", SVG)],
                     json.loads(format_json(comparison))["against"]["interleaved"],
                     list(json.loads(format_bmf(comparison))["java -jar jit.jar (Inc loop)"]),
                     json.loads(format_gbench(comparison))["context"]["against"],
                     format_csv(comparison).splitlines()[1].split(",")[10]):
            self.assertRegex(str(said).upper(), "NOT[ -]INTERLEAVED|^FALSE$")


class SavedRuns(unittest.TestCase):
    # A --format json output read back for --against, or refused in one line.
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.path = os.path.join(folder.name, "saved.json")

    def against(self, text, commands=COMMANDS, **here):
        with open(self.path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)  # a lone surrogate stands for the byte it escapes
        return against(self.path, commands, {**ENVIRONMENT, **here})

    def test_a_saved_run_reads_back(self):
        odd = split(os.fsdecode(b"./odd\xff 'x y'"))
        commands = (odd, *COMMANDS[1:])
        taken = self.against(format_json(saved(commands=commands)), (COMMANDS[1], odd), utc="x")
        self.assertEqual((taken.times, taken.utc), ([TIMES[1], TIMES[0]], ENVIRONMENT["utc"]))
        run = read_saved(self.path)
        self.assertEqual((run.commands, run.times, run.runs), (commands, TIMES, 5))

    def test_what_is_not_a_saved_run_of_this_machine_is_refused(self):
        good = format_json(saved())

        def edited(change):
            document = json.loads(good)
            change(document)
            return json.dumps(document)

        for text, message in (
                (good[:len(good) // 2], "truncated: it ends inside"),
                (good[:good.index('"./build')] + '"./bu', "truncated"), ("", "empty"),
                # cut inside a literal, a number, an escape or a character, where the
                # parser stops short of the end; and the same tails not at the end
                (good[:good.index(": true") + 5], "truncated"),
                (good[:good.index(": null") + 4], "truncated"),
                (good[:re.search(r"[0-9]\.[0-9]", good).start() + 2], "truncated"),
                ('{"a": "\\u12', "truncated"), (good[:-9] + "\udcc3", "inside a UTF-8 character"),
                (good[:good.index(": true") + 5] + "}", "not JSON: Expecting value"),
                ("[1 2", "not JSON: Expecting ','"), ('{"a": 1.x', "not JSON"),
                ("<html>", "not JSON: Expecting value"), (format_bmf(saved()), "no schema_ver"),
                (good.replace('"schema_version": 1', '"schema_version": 2'), "version 2, but"),
                (good.replace('"schema_minor": 4', '"schema_minor": 2'), "schema 1.2, saved by"),
                (edited(lambda d: d["results"][3].update(times_ms=[math.nan] * 5)), "NaN is not"),
                (edited(lambda d: d["results"][3].update(times_ms=[-1] * 5)),
                 "results[3].times_ms: expected 5 times"),
                (edited(lambda d: d["results"][3].update(kernel=INC)), "each kernel once"),
                (edited(lambda d: d["results"][3]["times_ms"].__setitem__(0, 0.5)),
                 "results[3]: its median_ms is not that of its times_ms"),
                (edited(lambda d: d["finals"].update({ARITH: "1"})), "final values are not"),
                (edited(lambda d: d["commands"][0]["words_base64"].append("*")),
                 "commands[0].words_base64: expected base64")):
            with self.subTest(message=message), self.assertRaises(SavedRunError) as caught:
                self.against(text)
            self.assertIn(message, str(caught.exception))
        for commands, here, message in (
                ((split("./other"),), {}, "./other is not in the saved run, which ran "
                 "./build/bench_c_jit_compare, java -jar jit.jar"),
                (COMMANDS[:1] * 2, {}, "./build/bench_c_jit_compare is not in"),
                (COMMANDS, {"cpu_model_number": "1"}, "saved on another machine (AMD EPYC, cpu "
                 "family 26, model 2; 2 logical cores; this is AMD EPYC, cpu family 26, model 1"),
                (COMMANDS, {"cpu_family": "25"}, "another machine"),
                (COMMANDS, {"logical_cores": 4}, "another machine"),
                (COMMANDS, {"cpu_model": "AMD EPYC 9R14"}, "another machine")):
            with self.subTest(message=message), self.assertRaises(SavedRunError) as caught:
                self.against(good, commands, **here)
            self.assertIn(message, str(caught.exception))

if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
