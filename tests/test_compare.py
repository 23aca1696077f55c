#!/usr/bin/env python3
"""Tests of tools/compare.py as a command, end to end, through small fake
benchmark commands: shell scripts, written by the tests, that print fixed or
counted reports. The output formats on saved rows are tested in process by
test_compare_formats.py, the statistic by test_compare_statistics.py.

    test_compare.py [GROUP ...]
"""
import argparse
import base64
import concurrent.futures
import contextlib
import io
import json
import os
import pty
import re
import shlex
import signal
import stat
import subprocess
import sys
import tempfile
import time
import unittest
import unittest.mock
from xml.etree import ElementTree

import compare
import harness
from comparing import cli
from report import FINALS, KERNEL_NAMES, KERNELS, format_line, render

OPTIONS = argparse.Namespace()
INC, ARITH, BRANCH = KERNEL_NAMES
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def report(inc_ms, arith_ms, branch_ms, finals=FINALS, banner="=== Fake (1e8 iterations) ==="):
    return render([inc_ms, arith_ms, branch_ms], [finals[name] for name in KERNEL_NAMES], banner)


class FakeCommands(unittest.TestCase):
    """The fake commands and compare run as a command; holds no tests."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.log = os.path.join(self.tmp.name, "order.log")

    def fake(self, name, text, status=0, stderr="", then="", folder=None):
        """A command that logs its name, prints `text`, runs the shell lines
        `then` and exits `status`. In `text` and `then`, RUN is replaced by
        the run number (1, 2, ...) and DIR by its folder (the test's, or
        `folder`)."""
        folder = folder or self.tmp.name
        path = os.path.join(folder, name)
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
            then.replace("RUN", "$n").replace("DIR", folder),
            f"exit {status}",
        ]
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(script) + "\n")
        os.chmod(path, os.stat(path).st_mode | stat.S_IEXEC)
        return path

    def subfolder(self):
        """A folder of its own inside the test's, for a case run beside others."""
        return tempfile.mkdtemp(dir=self.tmp.name)

    def compare(self, *args, env_path=None):
        env = {**os.environ, **({"PATH": env_path} if env_path else {})}
        return subprocess.run([sys.executable, compare.__file__, *args], capture_output=True,
                              text=True, timeout=120, check=False, env=env)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def assert_gone(self, pid_file):
        """Every process listed in `pid_file` has ended (a zombie has ended too)."""
        with open(pid_file, encoding="utf-8") as f:
            for pid in f.read().split() or self.fail("no process listed"):
                with contextlib.suppress(FileNotFoundError), open(f"/proc/{pid}/stat") as stat:
                    self.assertEqual(stat.read().split(") ")[1][0], "Z", f"{pid} still runs")


class Rounds(FakeCommands):
    """The interleaved rounds, what they count, and the numbers they give."""

    def test_interleaved_runs_ratios_and_verdicts(self):
        fast = self.fake("fast", report(10, 20, 30))
        slow = self.fake("slow", report(20, 20, 15))
        result = self.compare("-n", "8", "--warmup", "2", "--format", "json", fast, slow)
        self.assertEqual(result.returncode, 0, result.stderr)
        # No progress when stderr is not a terminal; at most the line on noise, in the JSON too.
        noise = json.loads(result.stdout)["noise"]["line"]
        self.assertEqual(result.stderr, f"compare: {noise}\n" if noise else "")
        with open(self.log, encoding="utf-8") as f:
            self.assertEqual(f.read().split(), ["fast", "slow"] * 10)
        document = json.loads(result.stdout)
        self.assertEqual((document["runs"], document["warmup"]), (8, 2))
        rows = {(r["kernel"], os.path.basename(r["command"])): r for r in document["results"]}
        self.assertEqual(len(rows), 6)
        for kernel, ratio, verdict in ((INC, 2.0, "slower"), (ARITH, 1.0, "no significant "
                                       "difference"), (BRANCH, 0.5, "faster")):
            row = rows[kernel, "slow"]
            self.assertEqual((row["median_ratio"], row["verdict"]), (ratio, verdict))
            self.assertAlmostEqual(row["ratio"], ratio)
            self.assertEqual([round(v, 9) for v in row["interval"]], [ratio, ratio])
        self.assertEqual(rows[INC, "fast"]["verdict"], "reference")
        self.assertEqual(rows[INC, "fast"]["times_ms"], [10.0] * 8)
        self.assertEqual(rows[INC, "fast"]["warmup_times_ms"], [10.0] * 2)
        # Accumulators as strings: a JSON reader keeps all their digits.
        self.assertEqual(rows[ARITH, "slow"]["x"], str(FINALS[ARITH]))
        self.assertEqual(document["finals"], {k: str(v) for k, v in FINALS.items()})
        self.assertEqual(document["schema_version"], 1)
        exact = base64.b64encode(slow.encode()).decode()
        self.assertEqual(document["commands"][1], {"command": slow, "role": "candidate",
                                                   "words": [slow],
                                                   "argument_base64": exact,
                                                   "words_base64": [exact]})
        self.assertEqual({k: document["correction"][k] for k in ("method", "tests")},
                         {"method": "bonferroni", "tests": 3})
        env = document["environment"]
        self.assertEqual(set(env), {"utc", "host", "cpu_model", "cpu_family", "cpu_model_number",
                                    "logical_cores",
                                    "kernel_release", "load_average_before",
                                    "load_average_after", "cpufreq_governor", "python"})
        self.assertEqual((env["logical_cores"], env["python"][:2]), (os.cpu_count(), "3."))

    def test_varying_runs_and_plot(self):
        # a, given twice, prints its run count k as the increment kernel's time: after one
        # warm-up round, the first a gets the odd counts 3..15, the second the even 4..16.
        a = self.fake("a", report(10, 20, 30).replace("   10.00", "RUN.00"))
        b = self.fake("b", report(10.5, 20, 30))
        svg = self.path("plot.svg")
        result = self.compare("-n", "7", "--format", "json", "--plot", svg, a, b, a)
        self.assertEqual(result.returncode, 0, result.stderr)
        first, _, second = json.loads(result.stdout)["results"][:3]
        self.assertEqual((first["times_ms"], second["times_ms"]),
                         (list(range(3, 16, 2)), list(range(4, 17, 2))))
        self.assertEqual((first["median_ms"], first["min_ms"], first["max_ms"], first["spread"],
                          first["unstable"]), (9.0, 3.0, 15.0, 5.0, True))
        ns = {"s": "http://www.w3.org/2000/svg"}
        panels = ElementTree.parse(svg).getroot().findall("s:g[@class='panel']", ns)
        self.assertEqual([panel.get("data-kernel") for panel in panels], list(KERNEL_NAMES))
        for panel in panels:
            self.assertEqual(len(panel.findall("s:circle[@class='run']", ns)), 21)
            self.assertEqual(len(panel.findall("s:line[@class='median']", ns)), 3)
            axis = panel.find("s:line[@class='axis']", ns)
            for mark in panel.findall("s:circle", ns) + panel.findall("s:line[@class='median']", ns):
                x = float(mark.get("cx") or mark.get("x1"))
                self.assertTrue(float(axis.get("x1")) <= x <= float(axis.get("x2")), x)
        # 3..16 and 10.5: fifteen places on the axis.
        self.assertEqual(len({c.get("cx") for c in panels[0].findall("s:circle", ns)}), 15)


    def test_a_run_against_a_saved_one(self):
        ref = self.fake("ref", report(10, 20, 30))
        cand = self.fake("cand", report(20, 20, 15))
        saved, cut = self.path("saved.json"), self.path("cut.json")
        first = self.compare("-n", "6", "--format", "json", ref, cand).stdout
        for path, text in ((saved, first), (cut, first[:len(first) // 2])):
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        cand = self.fake("cand", report(10, 20, 30))  # now twice as fast at Inc, slower at Branch
        result = self.compare("-n", "6", "--format", "json", "--against", saved, cand, ref)
        self.assertEqual(result.returncode, 0, result.stderr)
        document = json.loads(result.stdout)
        self.assertEqual((document["against"]["interleaved"], document["correction"]["tests"]),
                         (False, 6))
        self.assertEqual([r["verdict"] for r in document["results"]][::2],
                         ["faster", "no significant difference", "slower"])  # cand's
        os.remove(self.log)
        result = self.compare("--against", cut, ref)  # refused in one line, before any run
        self.assertEqual((result.returncode, result.stdout), (2, ""))
        self.assertRegex(result.stderr, f"^compare: --against {re.escape(cut)}: truncated: "
                                        "[^\n]*\n$")
        self.assertFalse(os.path.exists(self.log), "a command ran")


class Outputs(FakeCommands):
    """The table and markdown as printed, and an output that cannot be written."""

    def test_table_and_markdown(self):
        a = self.fake("a", report(10, 20, 30))
        b = self.fake("b", report(11, 20, 0))
        table = self.compare("-n", "6", a, b)
        self.assertEqual(table.returncode, 0, table.stderr)
        for kernel in FINALS:
            self.assertIn(f"{kernel} (x={FINALS[kernel]})", table.stdout)
        self.assertRegex(table.stdout, r"b\s+11\.00\s+11\.00\s+11\.00\s+1\.00\s+1\.100\s+"
                                       r"1\.100 \[1\.100, 1\.100\]\s+slower")
        self.assertIn("Bonferroni correction over 3 comparison(s), family level 5%", table.stdout)
        self.assertRegex(table.stdout, r"b\s+0\.00 .* undefined\s+undefined: a zero time")
        markdown = self.compare("-n", "6", "--format", "markdown", a, b)
        self.assertEqual(markdown.returncode, 0, markdown.stderr)
        lines = markdown.stdout.splitlines()
        rows = [line for line in lines[2:] if line.startswith("|")]
        self.assertEqual(len(rows), 6)
        self.assertTrue(all(line.count("|") == 10 for line in rows), rows)
        self.assertIn("| 11.00 | 11.00 | 11.00 | 1.00 | 1.100 | 1.100 [1.100, 1.100] | slower |",
                      markdown.stdout)
        # A command holding a newline, a backtick and bytes that are not
        # UTF-8 keeps one row of its own and does not fail to print, even to
        # an output that takes nothing but UTF-8.
        odd_path = os.fsencode(self.tmp.name) + b"/odd\xff"
        os.symlink(a, odd_path)
        odd = f"sh -c '\"$0\" # `x`\n' {os.fsdecode(odd_path)}"
        result = subprocess.run([sys.executable, compare.__file__, "-n", "1", "--format",
                                 "markdown", "--plot", self.path("odd.svg"), a, odd],
                                capture_output=True, timeout=60, check=False,
                                env={**os.environ, "PYTHONIOENCODING": "utf-8"})
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = result.stdout.decode("ascii").splitlines()[2:8]
        self.assertTrue(all(row.count("|") == 10 for row in rows), rows)
        self.assertIn("| `` sh -c '\"$0\" # `x`\\n' ", rows[1])
        self.assertIn("/odd\\udcff ``", rows[1])

    def test_output_that_cannot_be_written(self):
        a = self.fake("a", report(1, 1, 1))
        read_end, write_end = os.pipe()
        os.close(read_end)
        full = os.open("/dev/full", os.O_WRONLY)
        # A reader that went away ends it quietly; a full disk is said.
        for out, message in ((write_end, ""), (full, "compare: cannot write the output: No "
                                                     "space left on device\n")):
            result = subprocess.run([sys.executable, compare.__file__, "-n", "1", a], stdout=out,
                                    stderr=subprocess.PIPE, text=True, timeout=60, check=False)
            os.close(out)
            stderr = re.sub("^compare: may distort the figures: .*\n", "", result.stderr)
            self.assertEqual((result.returncode, stderr), (1, message))


class CommandLine(FakeCommands):
    """Commands split into words as a shell would; usage errors."""

    def test_command_split_like_a_shell(self):
        a = self.fake("a", report(1, 2, 3))
        spaced = os.path.join(self.tmp.name, "with space")
        os.symlink(a, spaced)
        # The last command closes its output before it ends: it is waited for, not killed.
        result = self.compare("-n", "1", f"sh '{spaced}' --ignored-flag", f"sh -c '\"{a}\" | cat'",
                              f"sh -c '\"{a}\"; exec >&- 2>&-; sleep 0.3'")
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_usage_errors(self):
        a = self.fake("a", report(1, 1, 1))
        for args in ([], ["-n", "0", a], ["--warmup", "-1", a], ["--format", "xml", a], [""],
                     ["--counterparts", "build", a], ["--floor", a, "--counterparts"],
                     ["--against", "", a],
                     ["'unclosed"], ["--timeout", "nan", a], ["--timeout", "0", a],
                     [f"{a} | head"], [f"{a}&&{a}"], [f"{a}; true"], [f"JIT=1 {a}"],
                     [f"{a} > out"]):
            with self.subTest(args=args):
                result = self.compare(*args)
                self.assertEqual(result.returncode, 2)
                self.assertIn("usage: compare.py", result.stderr)
                if len(args) == 1 and args[0].startswith(a):
                    self.assertIn("wrap it: \"sh -c '...'\"", result.stderr)
                self.assertEqual(result.stdout, "")
        usage = self.compare("--help").stdout
        for needed in ("sh -c", "130", "--timeout", format_line(KERNELS[1], 55.44, FINALS[ARITH]),
                       "--floor ./build/bench_floor ./build/bench_c_jit_compare"):
            self.assertIn(needed, usage)


    def test_the_short_form_stands_for_the_long_one(self):
        # The README's command and docs/compare.md's long form, expanded, not run.
        def expanded(document, form):
            with open(os.path.join(ROOT, document), encoding="utf-8") as f:
                line = re.search(rf"^    (tools/compare\.py {form}.*)$", f.read(), re.M)[1]
            args = cli.parse_arguments(shlex.split(line)[1:])
            return args.commands, args.floor_index, args.skip_missing, args.runs

        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(ROOT)
        short = expanded("README.md", ".*--counterparts")
        self.assertEqual(short, expanded("docs/compare.md", "-n 20 --skip-missing"))
        self.assertEqual(len(short[0]), 9)  # the floor included
        # A build folder whose name has a space: what it lacks is still left out.
        args = cli.parse_arguments(["--counterparts", "no such build"])
        with contextlib.redirect_stderr(io.StringIO()):
            reasons = " ".join(s.reason for s in cli.leave_out_missing(args))
        self.assertIn("'no such build/bench_c_jit_compare.bc': no such file", reasons)


class ResultChecks(FakeCommands):
    """Wrong, malformed or missing results, and failing commands."""

    def test_wrong_results_name_command_run_and_kernel(self):
        one = report(5, 5, 5, finals={**FINALS, ARITH: 1})
        disagree = report(1, 1, 1) + report(1, 1, 1, finals={**FINALS, INC: 7})
        garbled = report(1, 1, 1).replace(f"(x={FINALS[BRANCH]})", "(x=" + "9" * 5000 + ")")
        cases = [  # (reference text, candidate text, expected message)
            (one, None, f"/ref, warm-up run 1 of 1: {ARITH} reports x=1, but the correct "
                        f"final value is {FINALS[ARITH]}"),
            # Correct in run 1 only: every run is checked, not just the first.
            (None, report(1, 1, 1).replace(f"(x={FINALS[INC]})", "(x=RUN00000000)"),
             f"/cand, run 2 of 3: {INC} reports x=200000000, but the correct final value is "
             f"{FINALS[INC]}"),
            (None, disagree, f"/cand, warm-up run 1 of 1: a second {INC} line (lines 3 and 10)"),
            (None, report(1, 1, 1).replace("    1.00 ms", "  1.00ms"),
             f"line 3: '{INC}:      1.00ms  (x={FINALS[INC]})': expected '<time> ms"),
            (None, report(1, 1, 1).replace("    1.00 ms", "     nan ms"), "'nan' is not a plain"),
            (None, report(1, 1, 1).replace("    1.00 ms", "   -1.00 ms"), "'-1.00' is not a plain"),
            (None, report(1, 1, 1).replace("    1.00 ms", "     1e2 ms"), "'1e2' is not a plain"),
            (None, garbled, "the accumulator has 5000 digits"),
            (None, report(1, 1, 1).replace(f"{INC}:", f"[jit] {INC}:"),
             f"(x={FINALS[INC]})': text before the label '{INC}:'"),
            (None, report(1, 1, 1).replace("    1.00 ms", "   \u0661.00 ms"), "is not a plain"),
            (None, report(1, 1, 1).replace(f"(x={FINALS[INC]})", f"(x=0{FINALS[INC]})"),
             "is not a decimal integer as %lld prints it"),
        ]
        for ref_text, cand_text, message in cases:
            with self.subTest(message=message):
                for name in ("ref", "cand"):
                    if os.path.exists(self.path(name) + ".count"):
                        os.remove(self.path(name) + ".count")
                ref = self.fake("ref", ref_text or report(10, 10, 10))
                cand = self.fake("cand", cand_text or report(10, 10, 10))
                result = self.compare("-n", "3", "--warmup", "0" if "run 2 of 3" in message
                                      else "1", ref, cand)
                self.assertEqual(result.returncode, 1)
                if "run 2 of 3" not in message:  # failed in the warm-up round
                    self.assertEqual(result.stdout, "")
                else:  # the one round completed before is summarised, marked
                    self.assertIn(f"FAILED ({cand}, run 2 of 3): ", result.stdout)
                    self.assertIn("only the 1 completed round(s)", result.stdout)
                self.assertIn(message, result.stderr)
                self.assertNotIn("Traceback", result.stderr)

    def test_failing_command_shows_both_ends(self):
        good = self.fake("good", report(10, 10, 10))
        for status, text, expected in ((3, "partial line\nlast words", "exited with status 3"),
                                       (0, "no report here", f'no "{INC}:" line')):
            with self.subTest(status=status):
                bad = self.fake("bad", text, status=status, stderr="boom")
                result = self.compare(good, bad)
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"{bad}, warm-up run 1 of 1: {expected}", result.stderr)
                self.assertRegex(result.stderr, r"standard output:\n( .*\n)*    \| "
                                 + text.splitlines()[-1] + r"\n  the end of its standard "
                                 r"error:\n    \| boom")
        missing = self.compare(good, os.path.join(self.tmp.name, "no-such-command"))
        self.assertEqual(missing.returncode, 1)
        self.assertIn("cannot run", missing.stderr)


class Processes(FakeCommands):
    """Hung commands and signals: every process of a run is ended."""

    # Each case waits seconds for a timeout or a signal, mostly asleep: the
    # cases run at once, each in a folder of its own, and are judged in turn.
    def test_hung_commands_are_ended(self):
        cases = [  # (shell lines after the report, option, expected message)
            ("sleep 300 & echo $! >> DIR/pids; wait", ["--timeout", "1"],
             "did not finish within 1 s (--timeout)"),
            ("sleep 300 & echo $! >> DIR/pids", [],
             "exited, but a process it started still held its output open"),
        ]

        def run(case):
            then, option, _ = case
            folder = self.subfolder()
            good = self.fake("good", report(10, 10, 10), folder=folder)
            hung = self.fake("hung", report(1, 1, 1), then=then, folder=folder)
            return folder, hung, self.compare(*option, good, hung)

        with concurrent.futures.ThreadPoolExecutor(len(cases)) as pool:
            results = list(pool.map(run, cases))
        for (_, _, message), (folder, hung, result) in zip(cases, results):
            with self.subTest(message=message):
                self.assertEqual(result.returncode, 1)
                self.assertIn(f"{hung}, warm-up run 1 of 1: {message}", result.stderr)
                self.assert_gone(os.path.join(folder, "pids"))

    def test_a_signal_ends_the_run_and_summarises_completed_rounds(self):
        # Runs 1 and 2 complete; run 3 starts a child and hangs. A hang-up
        # (the terminal closed) must reach the run as well, which sits in a
        # session of its own.
        def run(signum):
            folder = self.subfolder()
            slow = self.fake("slow", report(1, 1, 1), folder=folder,
                             then='[ RUN -ge 3 ] && { sleep 300 & echo $! >> DIR/pids; '
                                  'echo $$ >> DIR/pids; touch DIR/hanging; wait; }')
            process = subprocess.Popen([sys.executable, compare.__file__, "--warmup", "0",
                                        "-n", "5", slow], stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True)
            hanging = os.path.join(folder, "hanging")
            for _ in range(600):
                if os.path.exists(hanging):
                    break
                time.sleep(0.05)
            os.remove(hanging)
            process.send_signal(signum)
            out, err = process.communicate(timeout=60)
            return folder, process.returncode, out, err

        signals = (signal.SIGTERM, signal.SIGHUP)
        with concurrent.futures.ThreadPoolExecutor(len(signals)) as pool:
            results = list(pool.map(run, signals))
        for signum, (folder, status, out, err) in zip(signals, results):
            with self.subTest(signal=signum.name):
                self.assertEqual(status, 130, err)
                self.assertIn(f"interrupted by {signum.name}", err)
                self.assertIn(f"INTERRUPTED ({signum.name}): only the 2 completed round(s)", out)
                self.assertIn(f"{INC} (x={FINALS[INC]})", out)
                self.assert_gone(os.path.join(folder, "pids"))


class BeforeTheFirstRun(FakeCommands):
    """What can be checked is checked before any command runs."""

    def test_commands_and_plot_are_checked_first(self):
        ref = self.fake("ref", report(1, 1, 1))
        plain = self.path("plain")
        with open(plain, "w", encoding="utf-8") as f:
            f.write(report(1, 1, 1))
        dangling = self.path("dangling")
        os.symlink(self.path("gone"), dangling)
        missing, folder = self.path("no-such-command"), self.tmp.name
        cases = [  # (arguments, exit status, what standard error says)
            ([ref, missing], 1, [f"{missing}: cannot run: '{missing}': no such file"]),
            ([ref, "no-such-program-here --flag"], 1,
             ["no-such-program-here --flag: cannot run: 'no-such-program-here' is not an "
              "executable file on PATH"]),
            ([ref, folder], 1, [f"{folder}: cannot run: '{folder}' is a folder"]),
            ([ref, f"{plain} -x"], 1, [f"{plain} -x: cannot run: '{plain}' is not executable"]),
            ([ref, dangling], 1, ["is a symbolic link to nothing"]),
            ([missing, ref, "no-such-program-here"], 1, [f"{missing}: cannot run",
                                                         "no-such-program-here: cannot run"]),
            (["--plot", "", ref], 2, ["--plot FILE.svg: an empty file name"]),
            (["--counterparts", ""], 2, ["--counterparts BUILD_DIR: an empty folder name"]),
            (["--plot", self.path("no-such-dir/p.svg"), ref], 1,
             [f"cannot write {self.path('no-such-dir/p.svg')}: no folder"]),
            (["--plot", folder, ref], 1, [f"cannot write {folder}: it is a folder"]),
            (["--plot", f"{ref}/p.svg", ref], 1, [f"cannot write {ref}/p.svg: no folder"]),
            # --skip-missing never leaves out the reference, and with
            # nothing else left there is nothing to compare.
            (["--skip-missing", missing, ref], 1, [f"{missing}: cannot run"]),
            (["--skip-missing", ref, f"{ref} {missing}", "--floor", missing], 2,
             [f"left out {ref} {missing}: '{missing}': no such file or folder",
              f"left out {missing} (the floor): cannot run: '{missing}': no such file",
              "--skip-missing left no command besides the reference"]),
        ]
        for args, status, messages in cases:
            with self.subTest(args=args):
                result = self.compare("-n", "1", *args)
                self.assertEqual(result.returncode, status, result.stderr)
                for message in messages:
                    self.assertIn(message, result.stderr)
                self.assertEqual(result.stdout, "")
                self.assertFalse(os.path.exists(self.log), "a command ran")

    def test_skip_missing_leaves_out_only_what_cannot_run(self):
        ref, cand, floor = (self.fake(name, report(1, 1, 1)) for name in ("ref", "cand", "floor"))
        gone = self.path("gone.wasm")
        # Words that may not be one path stay, whatever they name: the run judges them.
        kept = f"{cand} --file=/gone -cp a/b:/gone k=/gone 'sh -c /gone' /gone* http://x/y"
        result = self.compare("-n", "1", "--format", "json", "--skip-missing", ref,
                              "no-such-program x", f"{cand} {gone}", kept, "--floor", floor)
        self.assertEqual(re.findall("compare: left out (.*)", result.stderr), [
            "no-such-program x: cannot run: 'no-such-program' is not an executable file on PATH",
            f"{cand} {gone}: '{gone}': no such file or folder"])
        with open(self.log, encoding="utf-8") as f:
            self.assertEqual(f.read().split(), ["ref", "cand", "floor"] * 2)
        document = json.loads(result.stdout)
        self.assertEqual([(c["role"], c["command"]) for c in document["commands"]] +
                         [(s["role"], s["command"]) for s in document["skipped"]],
                         [("reference", ref), ("candidate", kept), ("floor", floor),
                          ("candidate", "no-such-program x"), ("candidate", f"{cand} {gone}")])

    def test_commands_found_as_a_run_finds_them(self):
        a = self.fake("a", report(1, 1, 1))
        os.symlink(a, self.path("linked"))
        # A file named with a slash, a program on PATH, a link, a name found
        # only in a folder put on PATH.
        result = self.compare("-n", "1", a, "sh -c 'exec \"$0\"' " + a, self.path("linked"),
                              "a", env_path=self.tmp.name + os.pathsep + os.environ["PATH"])
        self.assertEqual(result.returncode, 0, result.stderr)


class FailedRuns(FakeCommands):
    """A run that fails ends the comparison with what was measured before."""

    def test_the_completed_rounds_are_summarised_then_the_error(self):
        ref = self.fake("ref", report(10, 10, 10))
        # Its fourth run (the third counted one, after a warm-up run) fails.
        cand = self.fake("cand", report(12, 12, 12),
                         then="[ RUN -ge 4 ] && { echo 'it broke' >&2; exit 3; }")
        error = f"compare: {cand}, run 3 of 5: exited with status 3"
        for format_ in ("table", "markdown", "json"):
            with self.subTest(format=format_):
                for name in ("ref", "cand"):
                    with contextlib.suppress(FileNotFoundError):
                        os.remove(self.path(name) + ".count")
                svg = self.path(f"{format_}.svg")
                # One stream for both, to see the order.
                result = subprocess.run([sys.executable, compare.__file__, "-n", "5", "--format",
                                         format_, "--plot", svg, ref, cand],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        text=True, timeout=60, check=False)
                self.assertEqual(result.returncode, 1, result.stdout)
                summary, _, message = re.sub("^compare: may distort the figures: .*\n", "",
                                             result.stdout).partition(error)
                self.assertIn("| it broke", message)
                if format_ == "json":
                    document = json.loads(summary)
                    self.assertEqual(document["runs"], 2)
                    self.assertEqual(document["failed"]["command_index"], 1)
                    self.assertEqual(document["failed"]["run"], "run 3 of 5")
                    self.assertTrue(document["failed"]["message"].startswith(
                        f"{cand}, run 3 of 5: exited with status 3\n"))
                    self.assertEqual(document["results"][1]["times_ms"], [12.0, 12.0])
                else:
                    self.assertIn(f"FAILED ({cand}, run 3 of 5): only the 2 completed round(s)",
                                  summary)
                    self.assertRegex(summary, r"cand`? *\|? *12\.00")
                title = ElementTree.parse(svg).getroot().find(
                    "{http://www.w3.org/2000/svg}text").text
                self.assertIn("2 interleaved runs per command (FAILED", title)


class BoundedErrorOutput(FakeCommands):
    """A failing command's output is shown bounded, and escaped."""

    def test_floods_are_cut(self):
        cases = [  # (shell lines that make the output, what the message must show)
            ("head -c 2000000 /dev/zero | tr '\\0' a; exit 3", ["exited with status 3",
                                                                 "aaa [...", " bytes cut...] aaa"]),
            # (The fake command writes a newline to standard error first.)
            ("head -c 2000000 /dev/zero | tr '\\0' e >&2; exit 3",
             ["standard error (of its 2000001 bytes, the last 65536 were kept):", "eee [...",
              " bytes cut...] eee"]),
            ("head -c 20000000 /dev/zero", ["wrote more than 16777216 bytes",
                                            "\\x00\\x00 [...", "bytes cut...] \\x00"]),
            ("for i in $(seq 50); do printf '\\033[2J\\033[H\\a\\r%s\\n' $i >&2; done; exit 3",
             ["\\x1b[2J\\x1b[H\\x07\\r41", "\\x1b[2J\\x1b[H\\x07\\r50"]),
        ]
        for then, expected in cases:
            with self.subTest(then=then):
                flood = self.fake("flood", "", then=then)
                result = subprocess.run([sys.executable, compare.__file__, "-n", "1", flood],
                                        capture_output=True, timeout=60, check=False)
                self.assertEqual(result.returncode, 1)
                self.assertLess(len(result.stderr), 10_000)
                message = result.stderr.decode("utf-8")
                for part in expected:
                    self.assertIn(part, message)
                self.assertTrue(all(c.isprintable() for c in message.replace("\n", "")),
                                repr(message[:300]))


class OutputEncodings(FakeCommands):
    """No output stream loses the results to text it cannot encode."""

    def test_unencodable_command_names_are_escaped(self):
        a = self.fake("a", report(10, 20, 30))
        failing = self.fake("failing", "", status=3)
        for name, target in (("caf\u00e9", a), ("\u65e5\u672c\u8a9e", a),
                             ("\u65e5\u672c-fails", failing)):
            os.symlink(target, self.path(name))
        cases = [  # (encoding, format, command, exit status, what the output must hold)
            ("ascii", "table", "\u65e5\u672c\u8a9e", 0, "\\u65e5\\u672c\\u8a9e"),
            ("ascii", "table", "caf\u00e9", 0, "caf\\xe9"),
            ("ascii", "markdown", "\u65e5\u672c\u8a9e", 0, "\\u65e5\\u672c\\u8a9e"),
            ("ascii", "json", "\u65e5\u672c\u8a9e", 0, "\\u65e5\\u672c\\u8a9e"),
            ("latin-1", "table", "\u65e5\u672c\u8a9e", 0, "\\u65e5\\u672c\\u8a9e"),
            ("latin-1", "table", "caf\u00e9", 0, "caf\u00e9"),
            ("ascii", "table", "\u65e5\u672c-fails", 1, "\\u65e5\\u672c-fails, warm-up run 1"),
        ]
        for encoding, format_, name, status, expected in cases:
            with self.subTest(encoding=encoding, format=format_, name=name):
                result = subprocess.run(
                    [sys.executable, compare.__file__, "-n", "2", "--format", format_, a,
                     self.path(name)], capture_output=True, timeout=60, check=False,
                    env={**os.environ, "PYTHONIOENCODING": encoding})
                out = result.stdout.decode(encoding) + result.stderr.decode(encoding)
                self.assertEqual(result.returncode, status, out)
                self.assertNotIn("Traceback", out)
                self.assertIn(expected, out)
                if format_ == "table" and status == 0:
                    self.assert_columns_line_up(result.stdout.decode(encoding))

    def assert_columns_line_up(self, table):
        """The first number of every row ends under the end of "median"."""
        for line in table.splitlines():
            if line.startswith("  command"):
                end = line.index("median") + len("median")
            elif line.startswith("  ") and end:
                self.assertEqual(re.search(r"[0-9]+\.[0-9][0-9]  ", line).end() - 2, end, line)


class ProgressOnATerminal(FakeCommands):
    """On a terminal, the progress line estimates the time left."""

    def test_the_estimate_shows(self):
        a = self.fake("a", report(1, 1, 1))
        b = self.fake("b", report(2, 2, 2))
        terminal, other_end = pty.openpty()
        process = subprocess.Popen([sys.executable, compare.__file__, "-n", "3", a, b],
                                   stdout=subprocess.PIPE, stderr=other_end,
                                   env={**os.environ, "COLUMNS": "300"})
        os.close(other_end)
        shown = bytearray()
        with contextlib.suppress(OSError):  # EIO: the other end is closed
            while chunk := os.read(terminal, 4096):
                shown += chunk
        os.close(terminal)
        out, _ = process.communicate(timeout=60)
        self.assertEqual(process.returncode, 0)
        lines = shown.decode().split("\r\x1b[K")
        self.assertIn(f"warm-up run 1 of 1: {a} (0 s)", lines)
        self.assertTrue(any(re.fullmatch(rf"run [123] of 3, (under 1 s|about \d+ s) left: "
                                         rf"{re.escape(b)} \(0 s\)", line) for line in lines),
                        lines)
        self.assertEqual(lines[-1], "")  # cleared at the end
        self.assertIn(b"Inc loop", out)


class FloorCommand(FakeCommands):
    """--floor: one more command in every round, and every row's ratio to it."""

    def test_the_floor_runs_interleaved_and_every_row_gets_its_ratio(self):
        ref = self.fake("ref", report(10, 20, 30))
        cand = self.fake("cand", report(20, 20, 15))
        # A floor prints the same report under a banner of its own.
        floor = self.fake("floor", report(5, 20, 30, banner="=== Floor (hand-written) ==="))
        result = self.compare("-n", "6", "--format", "json", "--floor", floor, ref, cand)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(self.log, encoding="utf-8") as f:
            self.assertEqual(f.read().split(), ["ref", "cand", "floor"] * 7)
        document = json.loads(result.stdout)
        self.assertEqual([(c["command"], c["role"]) for c in document["commands"]],
                         [(ref, "reference"), (cand, "candidate"), (floor, "floor")])
        # 1 candidate and 2 commands against the floor, for 3 kernels.
        self.assertEqual(document["correction"]["tests"], 9)
        rows = {(r["kernel"], os.path.basename(r["command"])): r for r in document["results"]}
        cases = [  # (kernel, command, ratio to the reference, verdict, ratio to the floor,
            # verdict)
            (INC, "ref", None, "reference", 2.0, "above the floor"),
            (INC, "cand", 2.0, "slower", 4.0, "above the floor"),
            (ARITH, "cand", 1.0, "no significant difference", 1.0, "no significant difference"),
            (BRANCH, "ref", None, "reference", 1.0, "no significant difference"),
            (BRANCH, "cand", 0.5, "faster", 0.5, "below the floor"),
            (INC, "floor", None, "floor", None, None),
        ]
        for kernel, command, ratio, verdict, floor_ratio, floor_verdict in cases:
            with self.subTest(kernel=kernel, command=command):
                row = rows[kernel, command]
                self.assertEqual((row["verdict"], row["floor_verdict"]), (verdict, floor_verdict))
                for value, expected in ((row["ratio"], ratio),
                                        (row["floor_ratio"], floor_ratio)):
                    self.assertEqual(value is None, expected is None)
                    if expected is not None:
                        self.assertAlmostEqual(value, expected)
        self.assertEqual(rows[INC, "floor"]["times_ms"], [5.0] * 6)
        table = self.compare("-n", "6", "--floor", floor, ref, cand)
        self.assertEqual(table.returncode, 0, table.stderr)
        self.assertRegex(table.stdout, r"cand .* slower +4\.000 \[4\.000, 4\.000\] +above the floor")
        self.assertIn("floor ratio: the same estimate", table.stdout)

    def test_the_floor_is_checked_like_a_command(self):
        ref = self.fake("ref", report(10, 20, 30))
        missing = self.path("no-such-floor")
        cases = [  # (floor, exit status, what standard error says)
            ("", 2, "compare.py: error: --floor: an empty COMMAND\n"),
            (f"{ref} | cat", 2, "--floor: "),
            (f"{ref} | cat", 2, "contains shell syntax (|)"),
            (missing, 1, f"{missing}: cannot run: '{missing}': no such file"),
        ]
        for floor, status, message in cases:
            with self.subTest(floor=floor):
                result = self.compare("--floor", floor, ref)
                self.assertEqual(result.returncode, status, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(self.log), "a command ran")

    def test_the_floor_is_given_once(self):
        # A second --floor would silently replace the first: refused, naming both.
        ref = self.fake("ref", report(10, 20, 30))
        cases = [  # (arguments, what standard error ends with)
            (["--floor", "a", "--floor", "b", ref], "--floor given twice: 'a' and 'b'\n"),
            (["--floor=a", ref, "--floor", "a"], "--floor given twice: 'a' and 'a'\n"),
            (["--floor", "", "--floor", ref, ref], "--floor given twice: '' and '" + ref + "'\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.compare(*args)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertIn("usage: compare.py", result.stderr)
                self.assertTrue(result.stderr.endswith("compare.py: error: " + message),
                                result.stderr)
                self.assertFalse(os.path.exists(self.log), "a command ran")


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0]))
