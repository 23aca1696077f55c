#!/usr/bin/env python3
"""Tests of bench_floor (tools/floor.cpp, tools/floor_forms.hpp): its reports
and options, its failure paths (unwritable output, unreadable clock), and the
proof of every form: its final accumulator at small counts, exactly one load
and one store of the accumulator per iteration and no other memory access
(counted in a valgrind lackey trace), and the machine code its name promises
(read with objdump); each check with negative controls that break it.

Run by CTest as:  test_floor.py --floor F --probe P --fake-clock L [--sanitized] GROUP
where P is the tests' probe build of the same source (BENCH_FLOOR_PROBE): it
adds `--trace N` and deliberately broken forms.
"""
import argparse
import collections
import dataclasses
import fractions
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

import harness
from report import DONE, EXACT_LINE, KERNELS, LABEL_WIDTH, render

OPTIONS = argparse.Namespace()
BANNER = "=== Hardware floor (1e8 iterations) ==="
ROLLED_BANNER = "=== Hardware floor, rolled loops (1e8 iterations) ==="
LABELS = tuple(f"{kernel.label:<{LABEL_WIDTH}}" for kernel in KERNELS)
KERNEL_OF = {"inc": KERNELS[0], "arith": KERNELS[1], "branch": KERNELS[2]}

# What the forms must be, stated here independently of the C++ table: each
# operation at each unroll (iterations per trip), each aligned and straddling.
UNROLLS = (1, 2, 4, 5, 8, 10, 16)
PAIRED_UNROLLS = (2, 4, 8, 10, 16, 20, 32)
FAMILIES = {
    "inc.rmw": UNROLLS, "inc.add": UNROLLS, "inc.lea": UNROLLS,
    "arith.lea": UNROLLS, "arith.lea-add": UNROLLS, "arith.imul-add": UNROLLS,
    "branch.rmw": PAIRED_UNROLLS, "branch.add": PAIRED_UNROLLS, "branch.lea": PAIRED_UNROLLS,
    "branch.test-rmw": UNROLLS, "branch.test-add": UNROLLS, "branch.test-split": (1,),
}
FORMS = tuple(f"{family}.u{u}.{align}" for family, unrolls in FAMILIES.items()
              for u in unrolls for align in ("a64", "s64"))
DEFAULT_FORMS = ("inc.rmw.u10.a64", "arith.lea.u10.a64", "branch.rmw.u20.a64")
# The probe's negative controls: each breaks the rule in one way and what
# each check must say about it (None: the check passes it).
BROKEN = {
    "inc.broken-two-stores": ("2 stores of the accumulator per iteration", None),
    "inc.broken-one-load-fewer": ("1/2 loads of the accumulator per iteration", None),
    "inc.broken-counter-in-memory": ("2 other memory accesses per iteration", None),
    "inc.broken-short": (None, "x="),
}
BROKEN_FORMS = tuple(f"{family}.u{2 if 'one-load' in family else 1}.{align}"
                     for family in BROKEN for align in ("a64", "s64"))
PICK = re.compile(r"bench_floor: (Inc|Arith|Branch) loop: (\S+), the fastest of (\d+) forms "
                  r"\(median [0-9.]+ cycles per iteration in the search\)")


def signed64(value):
    value &= (1 << 64) - 1
    return value - (1 << 64) if value >= 1 << 63 else value


def model_final(kernel, n):
    """The accumulator after n iterations: n; 7 * (3^n - 1) / 2 modulo 2^64;
    n mod 2 (signed readings)."""
    if kernel is KERNELS[0]:
        return signed64(n)
    if kernel is KERNELS[1]:
        return signed64(7 * ((pow(3, n, 1 << 66) - 1) // 2))
    return n % 2


def kernel_of(form):
    return KERNEL_OF[form.split(".")[0]]


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

    def assert_usage_error(self, args, problem):
        result = run([OPTIONS.floor, *args])
        self.assertEqual((result.returncode, result.stdout), (2, b""), args)
        first, rest = result.stderr.decode().split("\n", 1)
        self.assertEqual(first, f"bench_floor: {problem}")
        self.assertTrue(rest.startswith("usage: bench_floor "), rest)

    def list_forms(self, binary):
        result = run([binary, "--list"])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        return result.stdout.decode().splitlines()


class Floor(FloorTest):
    def test_every_floor_computes_the_same_accumulators(self):
        result = run([OPTIONS.floor, "--rolled"])
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        self.assert_report(result.stdout, ROLLED_BANNER)
        result = run([OPTIONS.floor])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_report(result.stdout)
        # Standard error names each kernel's pick, a form of that kernel.
        picks = [PICK.fullmatch(line) for line in result.stderr.decode().splitlines()]
        self.assertTrue(all(picks), result.stderr)
        self.assertEqual([m[1] for m in picks], ["Inc", "Arith", "Branch"])
        for match, kernel in zip(picks, KERNELS):
            self.assertIn(match[2], FORMS)
            self.assertIs(kernel_of(match[2]), kernel)
            self.assertEqual(int(match[3]), sum(kernel_of(f) is kernel for f in FORMS))

    def test_other_arguments_are_refused(self):
        cases = {
            ("--unrolled",): "unexpected argument '--unrolled'",
            ("",): "unexpected argument ''",
            ("--rolled", "--rolled"): "unexpected argument '--rolled' after --rolled",
            ("--list", "--rolled"): "unexpected argument '--rolled' after --list",
            ("\x1b[2J",): "unexpected argument '\\x1b[2J'",
            ("--trace", "160"): "unexpected argument '--trace'",  # the probe's, not the product's
            ("--form",): "--form needs a form's name (bench_floor --list names them)",
            ("--form", "inc.rmw.u3.a64"): "no form named 'inc.rmw.u3.a64' (bench_floor --list "
                                          "names them)",
            ("--form", "inc.broken-short.u1.a64"): "no form named 'inc.broken-short.u1.a64' "
                                                   "(bench_floor --list names them)",
            ("--form", "inc.add.u1.a64", "--form=inc.rmw.u2.s64"):
                "two forms for the Inc loop: inc.add.u1.a64 and inc.rmw.u2.s64",
            ("--form", "inc.add.u1.a64", "--rolled"): "unexpected argument '--rolled'",
            ("--search", "--format", "xml"): "--format takes table or json, not 'xml'",
            ("--search", "--format"): "--format needs a value: table or json",
            ("--search", "--format=table", "--format"): "--format needs a value: table or json",
            ("--search", "--format", "json", "--format", "table"): "--format given twice",
            ("--search", "--format=json", "--format=json"): "--format given twice",
            ("--search", "--format", "table", "--format=xml"): "--format given twice",
            ("--search", "--format", "--format"): "--format takes table or json, not "
                                                  "'--format'",
            ("--search", "--list"): "unexpected argument '--list' after --search",
            ("--format", "json"): "unexpected argument '--format'",
        }
        for args, problem in cases.items():
            with self.subTest(args=args):
                self.assert_usage_error(list(args), problem)


class Forms(FloorTest):
    def test_list_names_every_form_once(self):
        self.assertEqual(self.list_forms(OPTIONS.floor), list(FORMS))
        self.assertEqual(len(FORMS), 156)
        for name in DEFAULT_FORMS:
            self.assertIn(name, FORMS)
        # The probe adds the negative controls and nothing else.
        self.assertEqual(self.list_forms(OPTIONS.probe), list(FORMS + BROKEN_FORMS))

    def test_named_forms_run_each_family(self):
        # Per run one form of each kernel, until every family has run once at
        # its largest unroll, straddling, through the product at 1e8.
        by_kernel = collections.defaultdict(list)
        for family, unrolls in FAMILIES.items():
            by_kernel[family.split(".")[0]].append(f"{family}.u{unrolls[-1]}.s64")
        rounds = max(len(names) for names in by_kernel.values())
        for r in range(rounds):
            names = [names[r % len(names)] for names in by_kernel.values()]
            with self.subTest(forms=names):
                args = [arg for name in names for arg in ("--form", name)]
                result = run([OPTIONS.floor, *args])
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assert_report(result.stdout)
                self.assertEqual(result.stderr.decode().splitlines(), [
                    f"bench_floor: {kernel.name}: {name} (named)"
                    for kernel, name in zip(KERNELS, names)])

    def test_unnamed_kernels_run_their_default(self):
        result = run([OPTIONS.floor, "--form=branch.test-add.u5.a64"])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_report(result.stdout)
        self.assertEqual(result.stderr.decode().splitlines(), [
            f"bench_floor: Inc loop: {DEFAULT_FORMS[0]} (default)",
            f"bench_floor: Arith loop: {DEFAULT_FORMS[1]} (default)",
            "bench_floor: Branch loop: branch.test-add.u5.a64 (named)"])


class Search(FloorTest):
    def search(self, *args, env_extra=None):
        result = run([OPTIONS.floor, "--search", *args], env_extra)
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        return result.stdout.decode()

    def test_table_ranks_every_form_and_gives_a_working_command(self):
        text = self.search()
        self.assertRegex(text.splitlines()[0], r"^bench_floor --search: 156 forms, \d+ "
                                               r"interleaved rounds of \d+ iterations each$")
        row = re.compile(r" +(\d+)  (\S+) +([0-9.]+) +([0-9.]+) +([0-9.]+) +([0-9.]+)")
        sections = text.split("\n\n")[1:]
        self.assertEqual(len(sections), 4, text)
        for kernel, section in zip(KERNELS, sections):
            lines = section.splitlines()
            self.assertEqual(lines[0], f"{kernel.name}: {sum(kernel_of(f) is kernel for f in FORMS)}"
                                       " forms")
            rows = [row.fullmatch(line) for line in lines[2:-1]]
            self.assertTrue(all(rows), lines)
            self.assertEqual([int(m[1]) for m in rows], list(range(1, len(rows) + 1)))
            self.assertEqual(sorted(m[2] for m in rows),
                             sorted(f for f in FORMS if kernel_of(f) is kernel))
            medians = [float(m[3]) for m in rows]
            self.assertEqual(medians, sorted(medians))
            for m in rows:
                self.assertLessEqual(float(m[4]), float(m[3]))
                self.assertLessEqual(float(m[3]), float(m[5]))
            self.assertEqual(lines[-1], f"fastest: {OPTIONS.floor} --form {rows[0][2]}")
        last = sections[-1].strip()
        self.assertTrue(last.startswith("all three fastest: "), last)
        # The command it gives runs and reports the forms it names.
        result = run(shlex.split(last[len("all three fastest: "):]))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_report(result.stdout)
        self.assertNotIn(b"(default)", result.stderr)

    def test_json_with_a_fake_clock(self):
        # Every timed stretch lasts exactly STEP ns: the chain's too, so the
        # cycle scale is exact and every form takes
        # (STEP / iterations) / (STEP / (steps * 3)) cycles per iteration.
        if OPTIONS.sanitized:
            self.skipTest("the sanitizer runtime reads the clock itself")
        step = 5_000_000
        data = json.loads(self.search("--format", "json", env_extra={
            "LD_PRELOAD": OPTIONS.fake_clock, "FAKE_CLOCK_STEP_NS": str(step)}))
        self.assertEqual(set(data), {"schema", "iterations", "rounds", "calibration", "kernels",
                                     "command"})
        self.assertEqual(data["schema"], "bench_floor-search/1")
        calibration = data["calibration"]
        self.assertEqual((calibration["chain"], calibration["cycles_per_step"]), ("imul r64, r64", 3))
        self.assertEqual(calibration["median_ns"], step)
        self.assertAlmostEqual(calibration["ghz"], calibration["steps"] * 3 / step, places=4)
        cycles = calibration["steps"] * 3 / data["iterations"]
        fastest = []
        for kernel, entry in zip(KERNELS, data["kernels"]):
            self.assertEqual(entry["kernel"], kernel.name)
            forms = entry["forms"]
            names = [form["form"] for form in forms]
            # All tie, so the ranking falls back to the names' order.
            self.assertEqual(names, sorted(f for f in FORMS if kernel_of(f) is kernel))
            self.assertEqual(entry["fastest"], names[0])
            self.assertEqual(entry["command"], f"{OPTIONS.floor} --form {names[0]}")
            fastest.append(names[0])
            for rank, form in enumerate(forms, start=1):
                self.assertEqual(form["rank"], rank)
                self.assertEqual(form["unroll"], int(form["form"].split(".u")[1].split(".")[0]))
                self.assertEqual(form["runs_ms"], [step / 1e6] * data["rounds"])
                self.assertEqual((form["median_ms"], form["min_ms"], form["max_ms"]),
                                 (step / 1e6,) * 3)
                self.assertAlmostEqual(form["cycles_per_iteration"], cycles, places=4)
        self.assertEqual(data["command"],
                         f"{OPTIONS.floor} " + " ".join(f"--form {f}" for f in fastest))

    def test_json_is_valid_utf8_whatever_the_programs_path(self):
        # The path is bytes; the JSON must be UTF-8. Each ill-formed stretch
        # (a stray byte, a sequence broken off, an overlong form, a
        # surrogate, a code point past U+10FFFF) becomes one U+FFFD, as
        # Python's decode(errors="replace") takes it; well-formed UTF-8 and
        # escaped control characters are kept.
        if OPTIONS.sanitized:
            self.skipTest("the sanitizer runtime reads the clock itself")
        pieces = [  # (bytes in the path, what the JSON string holds for them)
            (b"bf", "bf"), (b"\xff", "\ufffd"), (b"\xe2\x82x", "\ufffdx"),
            (b"\xed\xa0\x80", "\ufffd" * 3), (b"\xc3\xa9t\xc3\xa9", "\u00e9t\u00e9"),
            (b"\xf0\x9f\x98\x80", "\U0001f600"), (b"\xc0\xaf", "\ufffd" * 2),
            (b"\xf4\x90\x80\x80", "\ufffd" * 4), (b"\xf0\x9f\x98", "\ufffd"),
            (b"\t\x7f\"\\", "\t\x7f\"\\"), (b"\xe0\x9f\x80", "\ufffd" * 3),
        ]
        name = b"-".join(raw for raw, _ in pieces)
        expected = "-".join(text for _, text in pieces)
        self.assertEqual(name.decode("utf-8", "replace"), expected)
        with tempfile.TemporaryDirectory() as tmp:
            program = os.path.join(os.fsencode(tmp), name)
            os.symlink(OPTIONS.floor, program)
            result = run([program, "--search", "--format", "json"], env_extra={
                "LD_PRELOAD": OPTIONS.fake_clock, "FAKE_CLOCK_STEP_NS": "1000000"})
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        data = json.loads(result.stdout.decode("utf-8"))  # strict: fails on a stray byte
        shown = "'" + os.fsdecode(tmp) + "/" + expected.replace("'", "'\\''") + "'"
        self.assertEqual(data["command"].split(" --form ")[0], shown)
        for entry in data["kernels"]:
            self.assertEqual(entry["command"], f"{shown} --form {entry['fastest']}")


class WriteFailure(FloorTest):
    MODES = {"report": ["--rolled"], "forms": ["--form", "inc.add.u1.a64"], "list": ["--list"]}

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
        for mode, args in {**self.MODES, "floor": []}.items():
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
            result = run([OPTIONS.floor, "--list"], stdout=write_end,
                         preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_IGN))
        finally:
            os.close(write_end)
        self.assert_write_error(result, "bench_floor: write error: Broken pipe")


class Clock(FloorTest):
    FORMS = ["--form", "inc.lea.u5.s64", "--form", "arith.imul-add.u2.a64", "--form",
             "branch.test-rmw.u4.s64"]

    def run_with_clock(self, args, **settings):
        if OPTIONS.sanitized:
            self.skipTest("the sanitizer runtime reads the clock itself, so calls cannot be counted")
        env = {"LD_PRELOAD": OPTIONS.fake_clock}
        env.update({f"FAKE_CLOCK_{k.upper()}": str(v) for k, v in settings.items()})
        return run([OPTIONS.floor, *args], env)

    def test_exactly_six_clock_readings(self):
        with tempfile.TemporaryDirectory() as tmp:
            count_file = os.path.join(tmp, "count")
            result = self.run_with_clock(self.FORMS, count_file=count_file)
            self.assertEqual(result.returncode, 0, result.stderr)
            with open(count_file, encoding="ascii") as f:
                self.assertEqual(f.read(), "6\n")

    def test_failing_clock_stops_the_report(self):
        message = "bench_floor: cannot read the monotonic clock: Invalid argument"
        for failing_call in range(1, 7):
            with self.subTest(failing_call=failing_call):
                result = self.run_with_clock(self.FORMS, fail_at=failing_call)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode().splitlines()[-1], message)
                lines = result.stdout.decode().split("\n")
                measured = (failing_call - 1) // 2
                self.assertEqual(lines[:2] + lines[-1:], [BANNER, "", ""])
                self.assertEqual(len(lines) - 3, measured, lines)
        # In the search, before any report line.
        result = self.run_with_clock([], fail_at=1)
        self.assertEqual((result.returncode, result.stdout), (1, b""))
        self.assertEqual(result.stderr.decode(), message + "\n")

    def test_report_is_the_benchmarks_format(self):
        # The report, byte for byte, as tools/report.py renders it: the
        # floor's own copy of the labels and format cannot drift.
        for step, args, banner in ((12_345_678, self.FORMS, BANNER),
                                   (1_000_000_000_000, ["--rolled"], ROLLED_BANNER)):
            with self.subTest(args=args):
                result = self.run_with_clock(args, step_ns=step)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stdout.decode(), render([step / 1e6] * 3, banner=banner))


def probe_trace(n, wrapper=()):
    """Runs the probe's --trace n: returns the marker's address and, per
    form, (accumulator address, final accumulator)."""
    result = run([*wrapper, OPTIONS.probe, "--trace", str(n)])
    if result.returncode != 0:
        raise AssertionError(f"probe --trace {n} failed: {result.stderr.decode()}")
    lines = result.stdout.decode().splitlines()
    marker = int(lines[0].removeprefix("marker "), 16)
    forms = {}
    for line in lines[1:]:
        _, name, address, x = line.split()
        forms[name] = (int(address, 16), int(x))
    return marker, forms


def accumulator_problem(name, n, x):
    """None, or what is wrong with a form's accumulator after n iterations."""
    expected = model_final(kernel_of(name), n)
    return None if x == expected else f"x={x} after {n} iterations, expected {expected}"


class Accumulators(FloorTest):
    # Multiples of every unroll (160 = lcm); from the 39th iteration on the
    # arithmetic kernel wraps around.
    COUNTS = (160, 480, 1600)

    def test_every_form_at_small_counts(self):
        for n in self.COUNTS:
            _, forms = probe_trace(n)
            self.assertEqual(list(forms), list(FORMS + BROKEN_FORMS))
            for name, (_, x) in forms.items():
                with self.subTest(form=name, n=n):
                    problem = accumulator_problem(name, n, x)
                    expected = BROKEN.get(name.rsplit(".", 2)[0], (None, None))[1]
                    if expected is None:
                        self.assertIsNone(problem)
                    else:  # the negative control: right traffic, wrong count
                        self.assertIn(expected, problem)

    def test_probe_refuses_counts_a_form_cannot_run(self):
        for n in ("0", "-160", "100", "x"):
            with self.subTest(n=n):
                result = run([OPTIONS.probe, "--trace", n])
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith(
                    b"bench_floor: --trace takes a positive multiple of 160\n"), result.stderr)


@dataclasses.dataclass
class Traffic:
    """One form's data accesses in one run: to the accumulator (8 bytes at
    its address; lackey's M, a read-modify-write, is one load and one store),
    and to anything else."""
    loads: int = 0
    stores: int = 0
    others: int = 0
    partial: int = 0  # accesses touching the accumulator's bytes but not exactly them
    order: str = ""  # the accumulator's accesses in order, L and S


def lackey_stretches(text, marker):
    """The data accesses (kind, address, size) of a lackey trace between
    consecutive stores to the marker, one list per stretch; what comes before
    the first store and after the last is not a form's."""
    stretches = None
    for line in text.splitlines():
        if len(line) < 4 or line[0] != " " or line[1] not in "LSM" or line[2] != " ":
            continue
        address, size = line[3:].split(",")
        access = (line[1], int(address, 16), int(size))
        if access == ("S", marker, 8):
            stretches = [] if stretches is None else stretches
            stretches.append([])
        elif stretches is not None:
            stretches[-1].append(access)
    return (stretches or [[]])[:-1]


def traffic(accesses, x):
    counted = Traffic()
    for kind, address, size in accesses:
        if address + size <= x or address >= x + 8:
            counted.others += 2 if kind == "M" else 1
        elif (address, size) != (x, 8):
            counted.partial += 1
        else:
            counted.order += "LS" if kind == "M" else kind
    counted.loads = counted.order.count("L")
    counted.stores = counted.order.count("S")
    return counted


def traffic_problems(first, second, span):
    """What breaks the rule, from one form's traffic at two counts `span`
    iterations apart: per iteration exactly one load and one store of the
    accumulator, alternating, and no other access. [] when nothing does."""
    problems = []
    for what, count in (("loads", second.loads - first.loads),
                        ("stores", second.stores - first.stores)):
        per = fractions.Fraction(count, span)
        if per != 1:
            problems.append(f"{per} {what} of the accumulator per iteration")
    others = fractions.Fraction(second.others - first.others, span)
    if others != 0:
        problems.append(f"{others} other memory accesses per iteration")
    for counted in (first, second):
        if counted.partial:
            problems.append(f"{counted.partial} accesses to part of the accumulator")
        if "LL" in counted.order or "SS" in counted.order:
            problems.append("two loads or two stores of the accumulator in a row")
    return problems


class TrafficCheck(unittest.TestCase):
    """The trace reading and the rule, on hand-made traces."""
    X = 0x1000

    def trace(self, per_iteration, n, before="", after=" L 1000,8\n"):
        marker = " S 9000,8\n"
        head = "I  0400,3\n S 1000,8\n S 2000,8\n"  # the reset and some constant traffic
        return marker + before + head + per_iteration * n + after + marker

    def problems(self, per_iteration, **parts):
        runs = [traffic(lackey_stretches(self.trace(per_iteration, n, **parts), 0x9000)[0],
                        self.X) for n in (3, 7)]
        return traffic_problems(*runs, span=4)

    def test_rule(self):
        in_a_row = "two loads or two stores of the accumulator in a row"
        cases = {
            "load, store": (" L 1000,8\nI  0401,3\n S 1000,8\n", []),
            "read-modify-write": (" M 1000,8\n", []),
            "two stores": (" L 1000,8\n S 1000,8\n S 1000,8\n",
                           ["2 stores of the accumulator per iteration", in_a_row, in_a_row]),
            "no load": (" S 1000,8\n",
                        ["0 loads of the accumulator per iteration", in_a_row, in_a_row]),
            "a spill": (" M 1000,8\n S 1ff8,8\n L 1ff8,8\n",
                        ["2 other memory accesses per iteration"]),
            "counter in memory": (" M 1000,8\n M 3000,8\n",
                                  ["2 other memory accesses per iteration"]),
            "next to it": (" M 1000,8\n L 1008,8\n", ["1 other memory accesses per iteration"]),
            "half of it": (" L 1000,4\n S 1000,8\n",
                           ["0 loads of the accumulator per iteration",
                            "3 accesses to part of the accumulator", in_a_row,
                            "7 accesses to part of the accumulator", in_a_row]),
            "across its end": (" M 1000,8\n L 1004,8\n",
                               ["3 accesses to part of the accumulator",
                                "7 accesses to part of the accumulator"]),
        }
        for name, (per_iteration, expected) in cases.items():
            with self.subTest(name):
                self.assertEqual(self.problems(per_iteration), expected)

    def test_stretches(self):
        text = " S 1000,8\n S 9000,8\n L 1,8\n S 9000,4\n M 9000,8\nI  9000,8\n S 9000,8\n"
        # A store of another width or a modify at the marker is no mark.
        self.assertEqual(lackey_stretches(text, 0x9000),
                         [[("L", 1, 8), ("S", 0x9000, 4), ("M", 0x9000, 8)]])
        self.assertEqual(lackey_stretches(" L 1,8\n", 0x9000), [])


class MemoryTraffic(FloorTest):
    """Every form under valgrind's lackey at two counts: the difference
    between the runs is what the loop does per iteration, whatever the code
    around it (clock calls, the call itself) does once."""
    COUNTS = (160, 320)

    def test_one_load_and_one_store_per_iteration(self):
        if OPTIONS.sanitized:
            self.skipTest("valgrind cannot run a sanitizer build")
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            self.skipTest("valgrind is not installed (Debian package valgrind)")
        counted = {}
        with tempfile.TemporaryDirectory() as tmp:
            for n in self.COUNTS:
                log = os.path.join(tmp, f"lackey-{n}")
                marker, forms = probe_trace(n, [valgrind, "--tool=lackey", "--trace-mem=yes",
                                                f"--log-file={log}"])
                with open(log, encoding="ascii") as f:
                    stretches = lackey_stretches(f.read(), marker)
                self.assertEqual(len(stretches), len(forms))
                for (name, (x, _)), accesses in zip(forms.items(), stretches):
                    counted.setdefault(name, []).append(traffic(accesses, x))
        self.assertEqual(list(counted), list(FORMS + BROKEN_FORMS))
        span = self.COUNTS[1] - self.COUNTS[0]
        for name, runs in counted.items():
            with self.subTest(form=name):
                problems = traffic_problems(*runs, span)
                expected = BROKEN.get(name.rsplit(".", 2)[0], (None, None))[0]
                if expected is None:
                    self.assertEqual(problems, [])
                else:  # a negative control: the check must reject it
                    self.assertIn(expected, problems)


# The machine code each name promises, per unit of the loop body (an
# iteration, or a pair of iterations for the folded branch forms): counted
# instructions as objdump writes them, X standing for the accumulator and %b
# for any byte register. Whatever else is in the loop must be loop control on
# registers.
LOAD, STORE = "mov X,%rax", "mov %rax,X"
SHAPES = {
    "inc.rmw": (1, {"addq $0x1,X": 1}),
    "inc.add": (1, {LOAD: 1, "add $0x1,%rax": 1, STORE: 1}),
    "inc.lea": (1, {LOAD: 1, "lea 0x1(%rax),%rax": 1, STORE: 1}),
    "arith.lea": (1, {LOAD: 1, "lea 0x7(%rax,%rax,2),%rax": 1, STORE: 1}),
    "arith.lea-add": (1, {LOAD: 1, "lea (%rax,%rax,2),%rax": 1, "add $0x7,%rax": 1, STORE: 1}),
    "arith.imul-add": (1, {LOAD: 1, "imul $0x3,%rax,%rax": 1, "add $0x7,%rax": 1, STORE: 1}),
    "branch.rmw": (2, {"addq $0x1,X": 1, "subq $0x1,X": 1}),
    "branch.add": (2, {LOAD: 2, "add $0x1,%rax": 1, "sub $0x1,%rax": 1, STORE: 2}),
    "branch.lea": (2, {LOAD: 2, "lea 0x1(%rax),%rax": 1, "lea -0x1(%rax),%rax": 1, STORE: 2}),
    "branch.test-rmw": (1, {"test $0x1,%b": 1, "addq $0x1,X": 1, "subq $0x1,X": 1}),
    "branch.test-add": (1, {LOAD: 1, "test $0x1,%b": 1, "add $0x1,%rax": 1, "sub $0x1,%rax": 1,
                            STORE: 1}),
    "branch.test-split": (1, {"mov X,%rdx": 1, "test $0x1,%b": 1, "add $0x1,%rdx": 1,
                              "sub $0x1,%rdx": 1, "mov %rdx,X": 2}),
}


def shape_matches(shape, text):
    return re.fullmatch(re.escape(shape).replace("%b", "%[a-z0-9]+[lb]"), text) is not None


CONTROL = re.compile(r"(sub \$0x[0-9a-f]+|add \$0x1|cmp %[a-z0-9]+),%[a-z0-9]+"
                     r"|j[a-z]+ [0-9a-f]+ <[^>]+>")
MEMORY = re.compile(r"-?(?:0x[0-9a-f]+)?\(%[a-z0-9]+(?:,%[a-z0-9]+,\d)?\)")
HEADER = re.compile(r"([0-9a-f]+) <floor\.(.+)>:")
INSTRUCTION = re.compile(r" *([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t([^#]*?)\s*(?:#.*)?")


def form_loops(binary):
    """Each form's loop from objdump: name -> (head address, [(bytes, text)]),
    from the symbol floor.NAME to floor.NAME.end."""
    listing = subprocess.run(["objdump", "-d", "--insn-width=16", binary], capture_output=True,
                             text=True, check=True).stdout
    loops, current = {}, None
    for line in listing.splitlines():
        header = HEADER.fullmatch(line)
        if header:
            name = header[2]
            current = None if name.endswith(".end") else name
            if current:
                loops[current] = (int(header[1], 16), [])
        elif current and (insn := INSTRUCTION.fullmatch(line)):
            loops[current][1].append((insn[2].strip(), " ".join(insn[3].split())))
    return loops


def shape_problems(name, head, code):
    """What in a form's loop differs from what its name says; [] if nothing."""
    family, unroll, align = name.rsplit(".", 2)
    unroll = int(unroll[1:])
    problems = []
    if head % 64 != (0 if align == "a64" else 56):
        problems.append(f"head at {head:#x}, {head % 64} bytes past a 64-byte boundary")
    size = sum(len(raw.split()) for raw, _ in code)
    if align == "s64" and head % 64 + size <= 64:
        problems.append("does not straddle a 64-byte boundary")
    operands = {m for _, text in code if not text.startswith(("lea", "nop"))
                for m in MEMORY.findall(text)}
    if len(operands) != 1:
        return problems + [f"memory operands {sorted(operands)}, expected the accumulator alone"]
    accumulator = operands.pop()
    if not OPTIONS.sanitized and not accumulator.endswith(("(%rsp)", "(%rbp)")):
        problems.append(f"the accumulator {accumulator} is not a slot on the stack")
    texts = [text.replace(accumulator, "X") for _, text in code]
    per_unit, shape = SHAPES[family]
    for pattern, count in shape.items():
        found = sum(shape_matches(pattern, text) for text in texts)
        if found != count * unroll // per_unit:
            problems.append(f"{found} of '{pattern}', expected {count * unroll // per_unit}")
    for text in texts:
        if not any(shape_matches(p, text) for p in shape) and not CONTROL.fullmatch(text):
            problems.append(f"unexpected {text!r}")
    if not re.fullmatch(r"j(ne|nz) .*", texts[-1]):
        problems.append(f"the loop ends with {texts[-1]!r}, not a conditional branch back")
    return problems


class Shape(FloorTest):
    def test_each_form_is_what_its_name_says(self):
        loops = form_loops(OPTIONS.floor)
        self.assertEqual(sorted(loops), sorted(FORMS))
        for name, (head, code) in loops.items():
            with self.subTest(form=name):
                self.assertEqual(shape_problems(name, head, code), [])

    def test_negative_controls(self):
        # A form's loop with its name changed, or its code shifted, must fail.
        loops = form_loops(OPTIONS.floor)
        head, code = loops["inc.add.u8.a64"]
        self.assertIn("0 of 'addq $0x1,X', expected 8", shape_problems("inc.rmw.u8.a64", head, code))
        self.assertIn("4 of 'mov X,%rax', expected 8", shape_problems("inc.add.u8.a64", head,
                                                                        code[12:]))
        self.assertIn("head at 0x%x, 8 bytes past a 64-byte boundary" % (head + 8),
                      shape_problems("inc.add.u8.a64", head + 8, code))
        head, code = loops["branch.lea.u4.a64"]
        self.assertIn("4 of 'mov X,%rax', expected 8", shape_problems("branch.lea.u8.a64", head,
                                                                        code))
        head, code = loops["arith.lea.u1.s64"]
        self.assertIn("does not straddle a 64-byte boundary",
                      shape_problems("arith.lea.u1.s64", head, code[:1]))

    def test_probe_runs_the_products_loops(self):
        # The memory-traffic and accumulator tests run the probe: its loops
        # must be the product's, byte for byte.
        product, probe = form_loops(OPTIONS.floor), form_loops(OPTIONS.probe)
        self.assertEqual(sorted(probe), sorted(FORMS + BROKEN_FORMS))
        for name, (_, code) in product.items():
            with self.subTest(form=name):
                self.assertEqual([raw for raw, _ in probe[name][1]], [raw for raw, _ in code])


def add_arguments(parser):
    parser.add_argument("--floor", default="", help="bench_floor, where it is built")
    parser.add_argument("--probe", default="", help="its probe build")
    parser.add_argument("--fake-clock", required=True)
    parser.add_argument("--sanitized", action="store_true")


def prepare():
    OPTIONS.fake_clock = os.path.abspath(OPTIONS.fake_clock)


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments, prepare))
