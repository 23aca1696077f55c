#!/usr/bin/env python3
"""Tests of bench_floor (tools/floor.cpp, its forms in tools/floor_forms.hpp for
x86-64 and tools/floor_forms_aarch64.hpp for AArch64): its reports and
options, its failure paths (unwritable output, unreadable clock), and the
proof of every form: its accumulator at small counts, odd ones too, and after
every iteration of a single-stepped run; exactly one load and one store of
the accumulator per iteration and no other memory access (counted in a
valgrind lackey trace, or on AArch64 in qemu's through tools/qemu_traffic.cpp);
and exactly the machine code its name promises (read with objdump); each
check with negative controls that break it. The build's architecture is read
from the executable; on AArch64 the value proof steps the probe through
qemu-user's gdb stub.

Run by CTest as:  test_floor.py --floor F --probe P --fake-clock L [--sanitized]
                      [--emulator=WORD ...] [--qemu-traffic PLUGIN] [--other-object O] GROUP
where P is the tests' probe build of the same source (BENCH_FLOOR_PROBE): it
adds `--trace N`, `--values N` and deliberately broken forms; the emulator
runs a cross build's executables (qemu-aarch64 -L SYSROOT); O is the forms
built by the other compiler.
"""
import argparse
import collections
import concurrent.futures
import dataclasses
import fractions
import functools
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import typing
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
FORM_COUNT = 156
OTHER_INC = "inc.rmw.u2.s64"  # an Inc form other than inc.add.u1.a64
CHAIN = ("imul r64, r64", 3)  # the cycle scale's step and its cycles


@dataclasses.dataclass(frozen=True)
class Broken:
    """One of the probe's negative controls: the form it imitates, its
    unroll, and what each check must say of it (None: the check passes it)."""
    imitates: str
    unroll: int = 1
    traffic: typing.Optional[str] = None
    accumulator: typing.Optional[str] = None  # the final value, at some count
    values: typing.Optional[str] = None  # the value after every iteration
    shape: typing.Optional[str] = None  # a pattern: the accumulator's operand varies


BROKEN = {
    "inc.broken-two-stores": Broken(
        "inc.add", traffic="2 stores of the accumulator per iteration",
        shape=r"instruction 3: 'mov %rax,\S+', expected 'sub \$0x1,N'"),
    "inc.broken-one-load-fewer": Broken(
        "inc.add", 2, traffic="1/2 loads of the accumulator per iteration",
        shape=r"instruction 3: 'add \$0x1,%rax', expected 'mov X,%rax'"),
    "inc.broken-counter-in-memory": Broken(
        "inc.rmw", traffic="2 other memory accesses per iteration",
        shape=r"instruction 1: 'subq \$0x1,\S+', expected 'sub \$0x1,N'"),
    "inc.broken-short": Broken("inc.rmw", accumulator="x=", values="159 iterations seen, expected 160"),
    # A load too few from the 1024th iteration on: past the traffic test's
    # counts, so only the exact shape rejects it.
    "inc.broken-skips-a-load-late": Broken(
        "inc.add", shape=r"instruction 0: 'sub \$0x1,%rdx', expected 'mov X,%rax'"),
    # A dead load outside the named range: valgrind drops it unseen.
    "inc.broken-dead-load-outside": Broken(
        "inc.rmw", shape=r"instruction 1: 'jmp .* \(not an instruction of the loop\)', "
                         r"expected 'sub \$0x1,N'"),
    "branch.broken-pair-swapped": Broken(
        "branch.rmw", 2, values="x=-1 after 1 iteration, expected 1",
        shape=r"instruction 0: 'subq \$0x1,\S+', expected 'addq \$0x1,X'"),
    "branch.broken-arms-swapped": Broken(
        "branch.test-rmw", accumulator="x=-1 after 1 iteration, expected 1",
        values="x=-1 after 1 iteration, expected 1",
        shape=r"instruction 1: 'je @4', expected 'jne @4'"),
    # From x = 0 the accumulator's parity is the index's: every value is
    # right, and only the shape sees which register is tested.
    "branch.broken-tests-accumulator": Broken(
        "branch.test-add", shape=r"tests %al, not the index's low byte \(%\w+\)"),
}
BROKEN_FORMS = tuple(f"{family}.u{broken.unroll}.{align}"
                     for family, broken in BROKEN.items() for align in ("a64", "s64"))
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


def run(argv, env_extra=None, wrapper=(), **kwargs):
    """Runs the built program argv[0] (through the build's emulator, if any)
    with the variables `env_extra`, behind the command `wrapper`."""
    command, env = harness.program(argv, {**(env_extra or {}),
                                          "ASAN_OPTIONS": "verify_asan_link_order=0"})
    kwargs.setdefault("stdout", subprocess.PIPE)
    return subprocess.run([*wrapper, *command], env=env, stderr=subprocess.PIPE, timeout=300,
                          check=False, **kwargs)


class FloorTest(unittest.TestCase):
    def setUp(self):
        if not OPTIONS.floor:
            self.skipTest("bench_floor is built on x86-64 and AArch64 only")

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
            ("--form", "inc.add.u1.a64", f"--form={OTHER_INC}"):
                f"two forms for the Inc loop: inc.add.u1.a64 and {OTHER_INC}",
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
        self.assertEqual(len(FORMS), FORM_COUNT)
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
        self.assertRegex(text.splitlines()[0], rf"^bench_floor --search: {FORM_COUNT} forms, \d+ "
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
        self.assertEqual((calibration["chain"], calibration["cycles_per_step"]), CHAIN)
        self.assertEqual(calibration["median_ns"], step)
        self.assertAlmostEqual(calibration["ghz"], calibration["steps"] * CHAIN[1] / step, places=4)
        cycles = calibration["steps"] * CHAIN[1] / data["iterations"]
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
        if harness.EMULATOR:
            self.skipTest("stdbuf preloads a library of the host's, which the emulated "
                          "program cannot load")
        for mode, args in {**self.MODES, "floor": []}.items():
            with self.subTest(mode), open("/dev/full", "wb") as full:
                result = run([OPTIONS.floor, *args], wrapper=[stdbuf, "-oL"], stdout=full)
                self.assert_write_error(result, "bench_floor: write error")

    def test_closed_standard_output(self):
        for mode, args in self.MODES.items():
            with self.subTest(mode):
                result = run([OPTIONS.floor, *args], wrapper=["sh", "-c", 'exec "$0" "$@" >&-'])
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


def probe_trace(n, wrapper=(), plugin=None):
    """Runs the probe's --trace n (behind `wrapper`, or under qemu with the
    `plugin` given): returns the marker's address and, per form,
    (accumulator address, final accumulator)."""
    if plugin:
        command, env = under_qemu([OPTIONS.probe, "--trace", str(n)], plugin=plugin)
        result = subprocess.run(command, env=env, capture_output=True, timeout=300, check=False)
    else:
        result = run([OPTIONS.probe, "--trace", str(n)], wrapper=wrapper)
    if result.returncode != 0:
        raise AssertionError(f"probe --trace {n} failed: {result.stderr.decode()}")
    lines = result.stdout.decode().splitlines()
    marker = int(lines[0].removeprefix("marker "), 16)
    forms = {}
    for line in lines[1:]:
        _, name, address, x = line.split()
        forms[name] = (int(address, 16), int(x))
    return marker, forms


def iterations(n):
    return f"{n} iteration{'' if n == 1 else 's'}"


def accumulator_problem(name, n, x):
    """None, or what is wrong with a form's accumulator after n iterations."""
    expected = model_final(kernel_of(name), n)
    return None if x == expected else f"x={x} after {iterations(n)}, expected {expected}"


@functools.lru_cache(maxsize=None)
def probe_values(n):
    """Runs the probe's --values n: per form whose unroll divides n, its
    final accumulator, that of its single-stepped run, and the values the
    accumulator took in that run."""
    if OPTIONS.arch == "aarch64":
        return stub_values(n)
    result = run([OPTIONS.probe, "--values", str(n)])
    if result.returncode != 0:
        raise AssertionError(f"probe --values {n} failed: {result.stderr.decode()}")
    forms = {}
    for line in result.stdout.decode().splitlines():
        _, name, plain, stepped, *values = line.split()
        forms[name] = (int(plain), int(stepped), [int(value) for value in values])
    return forms


def values_problem(name, n, stepped, values):
    """None, or where a single-stepped run of n iterations left the model:
    the accumulator after every iteration stepped (stepped_iterations), inside
    a trip too, is the model's value after that many iterations from 0, and
    at the end of the run the model's after n."""
    if values and values[0] != 0:  # what the slot held before the reset
        values = values[1:]
    steps = stepped_iterations(name, n)
    expected = [model_final(kernel_of(name), k) for k in range(steps + 1)]
    for k, (got, want) in enumerate(zip(values, expected)):
        if got != want:
            return f"x={got} after {iterations(k)}, expected {want}"
    if len(values) != len(expected):
        return f"{iterations(len(values) - 1)} seen, expected {steps}"
    if stepped != model_final(kernel_of(name), n):
        return f"the run ended at x={stepped}, expected {model_final(kernel_of(name), n)}"
    return None


def stepped_iterations(name, n):
    """How many iterations of a run of n the value check follows: all on
    x86-64, where the probe steps itself; on AArch64, where every step is a
    round trip to qemu's gdb stub, the first two trips, at least 4."""
    if OPTIONS.arch != "aarch64":
        return n
    return min(n, max(2 * int(name.rsplit(".", 2)[1][1:]), 4))


class GdbStub:
    """Enough of the GDB remote protocol to drive qemu-user's gdb stub over a
    Unix socket: a request, its reply, each acknowledged."""

    def __init__(self, path, process):
        self.sock, self.buffer = socket.socket(socket.AF_UNIX), b""
        deadline = time.monotonic() + 30
        while self.sock.connect_ex(path) != 0:
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"qemu's gdb stub never listened: {process.args}")
            time.sleep(0.01)
        self.sock.settimeout(60)
        self.ask("qXfer:features:read:target.xml:0,ffb")  # else qemu refuses p

    def ask(self, request):
        self.sock.sendall(b"$%s#%02x" % (request.encode(), sum(request.encode()) & 0xff))
        while (end := self.buffer.find(b"#", self.buffer.find(b"$") + 1)) < 0 or \
                len(self.buffer) < end + 3 or b"$" not in self.buffer:
            chunk = self.sock.recv(1 << 16)
            if not chunk:
                raise AssertionError(f"qemu's gdb stub hung up after {request!r}")
            self.buffer += chunk
        reply, self.buffer = self.buffer[self.buffer.find(b"$") + 1:end], self.buffer[end + 3:]
        self.sock.sendall(b"+")
        return reply.decode()

    def number(self, request):
        """A little-endian number the stub sends as hex (a register, memory)."""
        return int.from_bytes(bytes.fromhex(self.ask(request)), "little")

    def word(self, address):
        """The signed 64-bit word at `address`, as the probe prints one."""
        return signed64(self.number(f"m{address:x},8"))


def under_qemu(argv, **settings):
    """(command, environment) that run the built program argv[0] under
    qemu-user (the build's emulator, or qemu-aarch64 from the path), with
    qemu's own settings in its environment: gdb= and plugin= are its -g and
    -plugin (QEMU_GDB, QEMU_PLUGIN)."""
    command, env = harness.program(argv)
    if harness.EMULATOR and not os.path.basename(harness.EMULATOR[0]).startswith("qemu-"):
        raise unittest.SkipTest(f"the AArch64 proofs need qemu-user, not {harness.EMULATOR[0]}")
    if not harness.EMULATOR:
        if shutil.which("qemu-aarch64") is None:
            raise unittest.SkipTest("the AArch64 proofs run the probe under qemu-aarch64 "
                                    "(Debian package qemu-user), which is not installed")
        command = ["qemu-aarch64", *command]
    env.update({f"QEMU_{name.upper()}": value for name, value in settings.items()})
    return command, env


def stub_values(n):
    """AArch64's --values n, single-stepped from outside: the probe runs under
    qemu's gdb stub and stops at each form's jump into its loop; from there
    the test steps it, reading the accumulator after every instruction,
    until it took the values of stepped_iterations() iterations or the loop
    ended, then lets it run to the loop's end and reads it there. Per form as
    probe_values: (final accumulator printed, at the loop's end, seen)."""
    loops = form_loops(OPTIONS.probe)
    jumps = {address: name for name, address in entry_jumps(OPTIONS.probe, loops).items()
             if n % int(name.rsplit(".", 2)[1][1:]) == 0}
    symbols = subprocess.run([OPTIONS.objdump, "-t", OPTIONS.probe], capture_output=True,
                             text=True, check=True).stdout
    accumulator = int(re.search(r"^([0-9a-f]+) .*\s_ZN11bench_floor16last_accumulatorE$",
                                symbols, re.M)[1], 16)
    seen = {}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "gdb")
        command, env = under_qemu([OPTIONS.probe, "--values", str(n)], gdb=path)
        process = subprocess.Popen(command, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        stub = None
        try:
            stub = GdbStub(path, process)
            bias = int(stub.ask("qOffsets").split(";")[0].removeprefix("Text="), 16)
            for address in jumps:
                stub.ask(f"Z0,{address + bias:x},4")
            stop = stub.ask("c")
            while stop.startswith("T"):
                name = jumps[stub.number("p20") - bias]
                x, end = stub.number(f"m{accumulator + bias:x},8"), loops[name].end + bias
                values, at_end = [stub.word(x)], False
                for _ in range(64 * (stepped_iterations(name, n) + 1)):
                    if len(values) > stepped_iterations(name, n):
                        break
                    stop = stub.ask("s")
                    if not stop.startswith("T") or (at_end := stub.number("p20") == end):
                        break
                    if (value := stub.word(x)) != values[-1]:
                        values.append(value)
                if stop.startswith("T") and not at_end:
                    stub.ask(f"Z0,{end:x},4")
                    stop = stub.ask("c")
                    at_end = stop.startswith("T") and stub.number("p20") == end
                seen[name] = (stub.word(x) if at_end else None, values)
                if at_end:
                    stub.ask(f"z0,{end:x},4")
                    stop = stub.ask("c")
            output, errors = process.communicate(timeout=60)
        finally:
            if stub is not None:
                stub.sock.close()
            process.kill()
            process.wait()
    if process.returncode != 0:
        raise AssertionError(f"probe --values {n} under qemu's gdb stub failed: {errors.decode()}")
    forms = {}
    for line in output.decode().splitlines():
        _, name, plain = line.split()
        if name not in seen:
            raise AssertionError(f"the probe ran {name} without stopping at its jump into the loop")
        forms[name] = (int(plain), *seen[name])
    return forms


def family_of(name):
    return name.rsplit(".", 2)[0]


class Accumulators(FloorTest):
    # Multiples of every unroll (160 = lcm); from the 39th iteration on the
    # arithmetic kernel wraps around.
    COUNTS = (160, 480, 1600)
    # Counts only some forms can run (those whose unroll divides them),
    # odd ones among them: after an odd count the branch kernel's x is 1.
    SOME_COUNTS = (1, 2, 3, 5, 161)

    def assert_verdicts(self, found, check):
        """`found`: every form's problems at every count; each must be
        clean, or, for a negative control, say what the table says."""
        self.assertEqual(sorted(found), sorted(FORMS + BROKEN_FORMS))
        for name, problems in found.items():
            with self.subTest(form=name):
                expected = getattr(BROKEN.get(family_of(name)), check, None)
                if expected is None:
                    self.assertEqual(problems, [])
                else:  # a negative control: the check must reject it
                    self.assertTrue(any(expected in problem for problem in problems), problems)

    def test_every_form_at_small_counts(self):
        found = {}
        for n in self.COUNTS:
            _, forms = probe_trace(n)
            self.assertEqual(list(forms), list(FORMS + BROKEN_FORMS))
            for name, (_, x) in forms.items():
                found.setdefault(name, []).append(accumulator_problem(name, n, x))
        for n in self.SOME_COUNTS:
            forms = probe_values(n)
            self.assertEqual(list(forms), [name for name in FORMS + BROKEN_FORMS
                                           if n % int(name.rsplit(".", 2)[1][1:]) == 0])
            for name, (x, _, _) in forms.items():
                found[name].append(accumulator_problem(name, n, x))
        self.assert_verdicts({name: [p for p in problems if p] for name, problems in found.items()},
                             "accumulator")

    def test_the_value_after_every_iteration(self):
        found = collections.defaultdict(list)
        for n in (160,) + self.SOME_COUNTS:
            for name, (_, stepped, values) in probe_values(n).items():
                problem = values_problem(name, n, stepped, values)
                found[name] += [problem] if problem else []
        self.assert_verdicts(found, "values")

    def test_probe_refuses_counts_a_form_cannot_run(self):
        for n in ("0", "-160", "100", "x"):
            with self.subTest(n=n):
                result = run([OPTIONS.probe, "--trace", n])
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith(
                    b"bench_floor: --trace takes a positive multiple of 160\n"), result.stderr)
        for n in ("0", "-1", "x", "", "1e3", "8191", "99999999999999999999"):
            with self.subTest(n=n):
                result = run([OPTIONS.probe, "--values", n])
                self.assertEqual((result.returncode, result.stdout), (2, b""))
                self.assertTrue(result.stderr.startswith(
                    b"bench_floor: --values takes a count from 1 to 8190\n"), result.stderr)


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
    """Every form under valgrind's lackey (on AArch64: under qemu-user, its
    accesses traced by tools/qemu_traffic.cpp in lackey's format) at two
    counts: the difference between the runs is what the loop does per
    iteration, whatever the code around it (clock calls, the call itself)
    does once."""
    COUNTS = (160, 320)

    def tracer(self, log):
        """probe_trace's keywords that trace a run into `log`."""
        if OPTIONS.arch == "aarch64":
            if not OPTIONS.qemu_traffic:
                self.skipTest("the build found no C++ compiler for the host to build "
                              "tools/qemu_traffic.cpp with")
            return {"plugin": f"{OPTIONS.qemu_traffic},out={log}"}
        valgrind = shutil.which("valgrind")
        if valgrind is None:
            self.skipTest("valgrind is not installed (Debian package valgrind)")
        if harness.EMULATOR:
            self.skipTest("valgrind would trace the emulator, not the emulated program")
        return {"wrapper": [valgrind, "--tool=lackey", "--trace-mem=yes", f"--log-file={log}"]}

    def test_one_load_and_one_store_per_iteration(self):
        if OPTIONS.sanitized:
            self.skipTest("valgrind cannot run a sanitizer build")
        counted = {}
        with tempfile.TemporaryDirectory() as tmp, \
                concurrent.futures.ThreadPoolExecutor(len(self.COUNTS)) as pool:
            # The runs are independent: both at once.
            traces = [pool.submit(probe_trace, n, **self.tracer(f"{tmp}/lackey-{n}"))
                      for n in self.COUNTS]
            for n, trace in zip(self.COUNTS, traces):
                marker, forms = trace.result()
                with open(os.path.join(tmp, f"lackey-{n}"), encoding="ascii") as f:
                    stretches = lackey_stretches(f.read(), marker)
                self.assertEqual(len(stretches), len(forms))
                for (name, (x, _)), accesses in zip(forms.items(), stretches):
                    counted.setdefault(name, []).append(traffic(accesses, x))
        self.assertEqual(list(counted), list(FORMS + BROKEN_FORMS))
        span = self.COUNTS[1] - self.COUNTS[0]
        for name, runs in counted.items():
            with self.subTest(form=name):
                problems = traffic_problems(*runs, span)
                expected = getattr(BROKEN.get(family_of(name)), "traffic", None)
                if expected is None:
                    self.assertEqual(problems, [])
                else:  # a negative control: the check must reject it
                    self.assertIn(expected, problems)


# The machine code each name promises: the exact instructions of the loop, in
# order, as objdump writes them, from the head (floor.NAME) to the end
# (floor.NAME.end). Placeholders stand for what the compiler chooses: X the
# accumulator (one memory operand, a stack slot), N the trip counter, I the
# index and I8 its low byte, B the bound the index counts up to; each names
# one operand throughout, and N, I, B and the data register the form names
# (%rax, or %rdx in test-split) are all different registers. A branch's
# target is @head, @end (leaving the loop) or @k, the k-th instruction of the
# loop: nothing may jump anywhere else. The loop's arithmetic, its arms and
# the register it tests are then what the name says, and nothing outside the
# range runs inside the loop.
LOAD, STORE = "mov X,%rax", "mov %rax,X"
BODIES = {  # per iteration (or pair of iterations, for the folded branch forms)
    "inc.rmw": ["addq $0x1,X"],
    "inc.add": [LOAD, "add $0x1,%rax", STORE],
    "inc.lea": [LOAD, "lea 0x1(%rax),%rax", STORE],
    "arith.lea": [LOAD, "lea 0x7(%rax,%rax,2),%rax", STORE],
    "arith.lea-add": [LOAD, "lea (%rax,%rax,2),%rax", "add $0x7,%rax", STORE],
    "arith.imul-add": [LOAD, "imul $0x3,%rax,%rax", "add $0x7,%rax", STORE],
    "branch.rmw": ["addq $0x1,X", "subq $0x1,X"],
    "branch.add": [LOAD, "add $0x1,%rax", STORE, LOAD, "sub $0x1,%rax", STORE],
    "branch.lea": [LOAD, "lea 0x1(%rax),%rax", STORE, LOAD, "lea -0x1(%rax),%rax", STORE],
    # An odd index (low bit set) jumps to the -1 arm; the +1 arm jumps over it.
    # @+k: k instructions after this iteration's first.
    "branch.test-rmw": ["test $0x1,I8", "jne @+4", "addq $0x1,X", "jmp @+5", "subq $0x1,X",
                        "add $0x1,I"],
    "branch.test-add": [LOAD, "test $0x1,I8", "jne @+5", "add $0x1,%rax", "jmp @+6",
                        "sub $0x1,%rax", STORE, "add $0x1,I"],
}
# Entered at the load (@5): an even index jumps back to the head, the +1 arm,
# which stores, counts, leaves when done and falls into the next load; the
# odd one falls into the -1 arm, which closes the loop at the load.
TEST_SPLIT = ["add $0x1,%rdx", "add $0x1,I", "mov %rdx,X", "cmp B,I", "je @end",
              "mov X,%rdx", "test $0x1,I8", "je @head", "sub $0x1,%rdx", "add $0x1,I",
              "mov %rdx,X", "cmp B,I", "jne @5"]
DATA_REGISTERS = {"inc.rmw": (), "branch.rmw": (), "branch.test-rmw": (),
                  "branch.test-split": ("%rdx",)}
ROLES = {"X": "accumulator", "N": "trip counter", "I": "index", "B": "bound"}
GENERAL = ("%rax", "%rbx", "%rcx", "%rdx", "%rsi", "%rdi", "%rbp", "%r8", "%r9", "%r10", "%r11",
           "%r12", "%r13", "%r14", "%r15")
LOW_BYTE = dict(zip(GENERAL, ("%al", "%bl", "%cl", "%dl", "%sil", "%dil", "%bpl", "%r8b",
                              "%r9b", "%r10b", "%r11b", "%r12b", "%r13b", "%r14b", "%r15b")))
MEMORY = re.compile(r"-?(?:0x[0-9a-f]+)?\((%[a-z0-9]+)?(?:,(%[a-z0-9]+),[1248])?\)")
TARGET = re.compile(r"([0-9a-f]+)(?: <[^>]*>)?")
HEADER = re.compile(r"([0-9a-f]+) <floor\.(.+)>:")
INSTRUCTION = re.compile(r" *([0-9a-f]+):\t((?:[0-9a-f]{2} )+)\s*\t([^#]*?)\s*(?:#.*)?")
BRANCH = re.compile(r"j\w+|b|b\.\w+|[ct]bn?z")  # x86-64's jumps, AArch64's branches
ENTRY_JUMP = re.compile(r"^ *([0-9a-f]+):\t[0-9a-f]{8} +\tb\t[0-9a-f]+ <floor\.(.+?)(?:\+0x[0-9a-f]+)?>$",
                        re.M)


def expected_loop(family, unroll):
    """The instructions a form's loop must be, in order (see above)."""
    if family == "branch.test-split":
        return list(TEST_SPLIT)
    body = BODIES[family]
    per = 2 if family in ("branch.rmw", "branch.add", "branch.lea") else 1
    loop = []
    for _ in range(unroll // per):
        first = len(loop)
        loop += [re.sub(r"@\+(\d+)", lambda m: f"@{first + int(m[1])}", text) for text in body]
    if family.startswith("branch.test-"):
        return loop + ["cmp B,I", "jne @head"]
    return loop + [f"sub ${unroll:#x},N", "jne @head"]


@dataclasses.dataclass
class Loop:
    """One form's loop from objdump: its head and end addresses and its
    instructions, each (address, bytes, text)."""
    head: int
    end: int = None
    code: list = dataclasses.field(default_factory=list)


@functools.lru_cache(maxsize=None)
def disassembly(binary):
    return subprocess.run([OPTIONS.objdump, "-d", "--insn-width=16", binary], capture_output=True,
                          text=True, check=True).stdout


def form_loops(binary):
    """Each form's loop from objdump: name -> Loop, from the symbol
    floor.NAME to floor.NAME.end."""
    loops, current = {}, None
    for line in disassembly(binary).splitlines():
        header = HEADER.fullmatch(line)
        if header:
            name, address = header[2], int(header[1], 16)
            if name.endswith(".end") and name[:-4] in loops:
                loops[name[:-4]].end = address
            current = None if name.endswith(".end") else loops.setdefault(name, Loop(address))
        elif current and (insn := INSTRUCTION.fullmatch(line)):
            current.code.append((int(insn[1], 16), insn[2].strip(), " ".join(insn[3].split())))
    return loops


def entry_jumps(binary, loops):
    """Each form's jump into its loop, the branch before its head to a place
    in it: name -> the jump's address."""
    jumps = {}
    for match in ENTRY_JUMP.finditer(disassembly(binary)):
        address, name = int(match[1], 16), match[2]
        if name in loops and address < loops[name].head:
            jumps[name] = address
    return jumps


def operands(text):
    """An instruction's mnemonic and its operands, split at the commas
    outside parentheses."""
    mnemonic, _, rest = text.partition(" ")
    return mnemonic, [op.strip() for op in re.split(r",(?![^(]*\))", rest)] if rest else []


def registers(memory):
    return {r for r in MEMORY.fullmatch(memory).groups() if r} if MEMORY.fullmatch(memory) else set()


def shape_problems(name, loop):
    """What in a form's loop differs from what its name says; [] if nothing."""
    family, unroll, align = name.rsplit(".", 2)
    problems = []
    head, end, code = loop.head, loop.end, loop.code
    if head % 64 != (0 if align == "a64" else 56):
        problems.append(f"head at {head:#x}, {head % 64} bytes past a 64-byte boundary")
    if end is None:
        return problems + [f"no floor.{name}.end"]
    if align == "s64" and end <= head - head % 64 + 64:
        problems.append("does not straddle a 64-byte boundary")
    # The instructions must tile the range: objdump read every byte of it
    # as the instructions listed.
    at = head
    for address, raw, _ in code:
        if address != at:
            problems.append(f"an instruction at {address:#x}, where {at:#x} was due")
        at = address + len(raw.replace(" ", "")) // 2
    if at != end:
        problems.append(f"the code ends at {at:#x}, not at floor.{name}.end ({end:#x})")
    index = {address: k for k, (address, _, _) in enumerate(code)}

    def label(target):
        found = TARGET.fullmatch(target)
        address = int(found[1], 16) if found else None
        if address == head:
            return "@head"
        if address == end:
            return "@end"
        if address in index:
            return f"@{index[address]}"
        return f"{target} (not an instruction of the loop)"

    expected = expected_loop(family, int(unroll[1:]))
    if len(code) != len(expected):
        problems.append(f"{len(code)} instructions, expected {len(expected)}")
    seen = collections.defaultdict(dict)  # placeholder -> operand -> first instruction
    for k, ((_, _, text), want) in enumerate(zip(code, expected)):
        mnemonic, got = operands(text)
        wanted_mnemonic, wanted = operands(want)
        if BRANCH.fullmatch(mnemonic) and got:  # the target is the last operand
            got[-1] = label(got[-1])
        if mnemonic != wanted_mnemonic or len(got) != len(wanted) or any(
                w != g for w, g in zip(wanted, got) if w not in ROLES and w != "I8"):
            problems.append(f"instruction {k}: {mnemonic + ' ' + ','.join(got)!r}, "
                            f"expected {want!r}")
            continue
        for w, g in zip(wanted, got):
            if w in ROLES or w == "I8":
                seen[w].setdefault(g, k)
    bound = {}
    for placeholder, found in seen.items():
        if len(found) > 1:
            role = ROLES.get(placeholder, "index's low byte")
            problems.append(f"the {role} is not one operand: {', '.join(found)}")
        bound[placeholder] = next(iter(found))
    taken = {"data register": r for r in DATA_REGISTERS.get(family, ("%rax",))}
    for placeholder in ("N", "I", "B"):
        register = bound.get(placeholder)
        if register is None:
            continue
        if register not in GENERAL:
            problems.append(f"the {ROLES[placeholder]} {register} is not a 64-bit general "
                            f"register")
        for role, other in taken.items():
            if other == register:
                problems.append(f"the {ROLES[placeholder]} and the {role} are both {register}")
        taken[ROLES[placeholder]] = register
    if "I8" in bound and bound["I8"] != LOW_BYTE.get(bound.get("I")):
        problems.append(f"tests {bound['I8']}, not the index's low byte "
                        f"({LOW_BYTE.get(bound.get('I'), 'no index')})")
    accumulator = bound.get("X")
    if accumulator is not None:
        if not MEMORY.fullmatch(accumulator):
            problems.append(f"the accumulator {accumulator} is not a memory operand")
        elif not OPTIONS.sanitized and not accumulator.endswith(("(%rsp)", "(%rbp)")):
            problems.append(f"the accumulator {accumulator} is not a slot on the stack")
        for role, register in taken.items():  # all but the bound change in the loop
            if role != "bound" and register in registers(accumulator):
                problems.append(f"the accumulator {accumulator} is addressed through the "
                                f"{role} {register}")
    return problems


def handmade(name, *texts, size=4):
    """A loop written by hand for the form `name`, its head where the name
    puts it, each instruction `size` bytes long; X stands for the
    accumulator 0x8(%rsp), and a branch's target is written @k (the k-th
    instruction), @head, @end or @0xADDRESS."""
    head = 0x1000 + (56 if name.endswith(".s64") else 0)
    end = head + size * len(texts)

    def target(match):
        where = match[1]
        address = {"head": head, "end": end}.get(where) or (
            int(where, 16) if where.startswith("0x") else head + size * int(where))
        inside = head <= address <= end
        return f"{address:x} <{f'floor.{name}+{address - head:#x}' if inside else 'elsewhere'}>"

    code = [(head + size * k, " ".join(["90"] * size),
             re.sub(r"@(\w+)", target, text.replace("X", "0x8(%rsp)")))
            for k, text in enumerate(texts)]
    return Loop(head, end, code)


def honest(name, X="0x8(%rsp)", N="%rbx", I="%rcx", B="%r15"):
    """The loop a form's name promises, with the given operands."""
    family, unroll, _ = name.rsplit(".", 2)
    texts = [re.sub(r"\b(I8|N|I|B)\b", lambda m: {"I8": LOW_BYTE.get(I, I), "N": N, "I": I,
                                                  "B": B}[m[1]], text).replace("X", X)
             for text in expected_loop(family, int(unroll[1:]))]
    return handmade(name, *texts)


# Loops that break the rule in one way each, and what the shape check says of
# them: among them the ones a looser check accepted (any add/sub on any
# register taken for loop control, any branch target, the order of the
# instructions and the register tested not looked at).
TEST_RMW = ["test $0x1,%cl", "jne @4", "addq $0x1,X", "jmp @5", "subq $0x1,X", "add $0x1,%rcx",
            "cmp %r15,%rcx", "jne @head"]
REJECTED_LOOPS = {
    "pair order swapped (-1 on an even index)": (
        "branch.rmw.u2.a64", ["subq $0x1,X", "addq $0x1,X", "sub $0x2,%rbx", "jne @head"],
        "instruction 0: 'subq $0x1,0x8(%rsp)', expected 'addq $0x1,X'"),
    "arms swapped (je for jne)": (
        "branch.test-rmw.u1.a64", ["test $0x1,%cl", "je @4"] + TEST_RMW[2:],
        "instruction 1: 'je @4', expected 'jne @4'"),
    "the accumulator's low byte tested": (
        "branch.test-add.u1.a64", [LOAD, "test $0x1,%al", "jne @5", "add $0x1,%rax", "jmp @6",
                                   "sub $0x1,%rax", STORE, "add $0x1,%rcx", "cmp %r15,%rcx",
                                   "jne @head"],
        "tests %al, not the index's low byte (%cl)"),
    "the high byte of the index tested": (
        "branch.test-rmw.u1.a64", ["test $0x1,%ch"] + TEST_RMW[1:],
        "tests %ch, not the index's low byte (%cl)"),
    "add and sub on the data register": (
        "arith.lea.u1.a64", [LOAD, "add $0x1,%rax", "sub $0x1,%rax", "lea 0x7(%rax,%rax,2),%rax",
                             STORE, "sub $0x1,%rbx", "jne @head"],
        "7 instructions, expected 5"),
    "every 1024th load skipped, by a sub of a negative number": (
        "inc.add.u1.a64", ["sub $0x1,%rdx", "jne @4", "sub $0xfffffffffffffc00,%rdx", "jmp @5",
                           LOAD, "add $0x1,%rax", STORE, "sub $0x1,%rbx", "jne @head"],
        "instruction 0: 'sub $0x1,%rdx', expected 'mov X,%rax'"),
    "a jump out of the range": (
        "inc.add.u1.a64", [LOAD, "jmp @0x1100", "add $0x1,%rax", STORE, "sub $0x1,%rbx",
                           "jne @head"],
        "instruction 1: 'jmp 1100 <elsewhere> (not an instruction of the loop)', "
        "expected 'add $0x1,%rax'"),
    "the closing branch goes elsewhere": (
        "inc.rmw.u1.a64", ["addq $0x1,X", "sub $0x1,%rbx", "jne @0x400"],
        "instruction 2: 'jne 400 <elsewhere> (not an instruction of the loop)', "
        "expected 'jne @head'"),
    "a branch into the middle of an instruction": (
        "inc.rmw.u1.a64", ["addq $0x1,X", "sub $0x1,%rbx", "jne @0x1002"],
        "instruction 2: 'jne 1002 <floor.inc.rmw.u1.a64+0x2> (not an instruction of the loop)', "
        "expected 'jne @head'"),
    "a branch leaving the loop": (
        "branch.test-rmw.u1.a64", ["test $0x1,%cl", "jne @end"] + TEST_RMW[2:],
        "instruction 1: 'jne @end', expected 'jne @4'"),
    "test-split closing at its head, not at the load": (
        "branch.test-split.u1.a64", [t.replace("I8", "%cl").replace("I", "%rcx")
                                     .replace("B", "%r15") for t in TEST_SPLIT[:-1]]
        + ["jne @head"],
        "instruction 12: 'jne @head', expected 'jne @5'"),
    "a wrong trip count": (
        "branch.rmw.u2.a64", ["addq $0x1,X", "subq $0x1,X", "sub $0x1,%rbx", "jne @head"],
        "instruction 2: 'sub $0x1,%rbx', expected 'sub $0x2,N'"),
    "the counter in the data register": (
        "inc.add.u1.a64", [LOAD, "add $0x1,%rax", STORE, "sub $0x1,%rax", "jne @head"],
        "the trip counter and the data register are both %rax"),
    "the index counted in another register than compared": (
        "branch.test-rmw.u1.a64", TEST_RMW[:5] + ["add $0x1,%rdx"] + TEST_RMW[6:],
        "the index is not one operand: %rdx, %rcx"),
    "the index and the bound in one register": (
        "branch.test-rmw.u1.a64", TEST_RMW[:6] + ["cmp %rcx,%rcx", "jne @head"],
        "the bound and the index are both %rcx"),
    "load and store at different slots": (
        "inc.add.u1.a64", [LOAD, "add $0x1,%rax", "mov %rax,0x10(%rsp)", "sub $0x1,%rbx",
                           "jne @head"],
        "the accumulator is not one operand: 0x8(%rsp), 0x10(%rsp)"),
    "the accumulator addressed through the counter": (
        "inc.rmw.u1.a64", ["addq $0x1,(%rsp,%rbx,8)", "sub $0x1,%rbx", "jne @head"],
        "the accumulator (%rsp,%rbx,8) is addressed through the trip counter %rbx"),
    "another data register": (
        "inc.add.u1.a64", ["mov X,%rcx", "add $0x1,%rcx", "mov %rcx,X", "sub $0x1,%rbx",
                           "jne @head"],
        "instruction 0: 'mov 0x8(%rsp),%rcx', expected 'mov X,%rax'"),
    "an instruction after the closing branch": (
        "inc.rmw.u1.a64", ["addq $0x1,X", "sub $0x1,%rbx", "jne @head", "nop"],
        "4 instructions, expected 3"),
}


# AArch64: every register is named in the forms, so each loop is literal text
# as objdump writes it (the data x9, the counter x10, the accumulator's
# address x11, the index x12, its bound x13, the constants x14, x15, the
# step x8).
A64_LOAD, A64_STORE = "ldr x9, [x11]", "str x9, [x11]"
A64_ADD, A64_SUB = "add x9, x9, #0x1", "sub x9, x9, #0x1"
A64_BODIES = {
    "inc.add": [A64_LOAD, A64_ADD, A64_STORE],
    "arith.lsl-add": [A64_LOAD, "add x9, x9, x9, lsl #1", "add x9, x9, #0x7", A64_STORE],
    "arith.madd": [A64_LOAD, "madd x9, x9, x14, x15", A64_STORE],
    "arith.mul-add": [A64_LOAD, "mul x9, x9, x14", "add x9, x9, #0x7", A64_STORE],
    "branch.add": [A64_LOAD, A64_ADD, A64_STORE, A64_LOAD, A64_SUB, A64_STORE],
    "branch.test-add": [A64_LOAD, "tbnz w12, #0, @+4", A64_ADD, "b @+5", A64_SUB, A64_STORE,
                        "add x12, x12, #0x1"],
    "branch.cneg": ["tst x12, #0x1", "cneg x8, x15, ne", A64_LOAD, "add x9, x9, x8", A64_STORE,
                    "add x12, x12, #0x1"],
}
# clang++ -O2's branch loop, entered at the load (@5); g++ -O2's, the same.
A64_TEST_JOIN = [A64_SUB, "add x12, x12, #0x1", A64_STORE, "cmp x13, x12", "b.eq @end", A64_LOAD,
                 "tbnz w12, #0, @head", A64_ADD, "b @1"]
A64_TEST_SPLIT = [A64_ADD, "add x12, x12, #0x1", A64_STORE, "cmp x12, x13", "b.eq @end", A64_LOAD,
                  "tbz w12, #0, @head", A64_SUB, "add x12, x12, #0x1", A64_STORE, "cmp x12, x13",
                  "b.ne @5"]


def a64_split8():
    """g++ -funroll-loops's eight iterations in two columns, entered at B's
    first (@34): a column's position k from 2 on loads (at 7 + 4(k - 2) in
    A, 43 + 4(k - 2) in B), tests x12 + 1 (x14) and branches to the other
    column's arm of position k, two instructions on; A's arms are -1, B's +1
    (positions 0 and 1 the other way round)."""
    a = [A64_ADD, A64_STORE, "add x14, x12, #0x1", "tbz w12, #0, @40", A64_LOAD, A64_ADD, A64_STORE]
    b = [A64_LOAD, "tbz w12, #0, @head", A64_SUB, A64_STORE, "add x14, x12, #0x1",
         "tbnz w12, #0, @4", A64_LOAD, A64_SUB, A64_STORE]
    for k in range(2, 8):
        a += [A64_LOAD, f"{('tbnz', 'tbz')[k % 2]} w14, #0, @{45 + 4 * (k - 2)}", A64_SUB, A64_STORE]
        b += [A64_LOAD, f"{('tbz', 'tbnz')[k % 2]} w14, #0, @{9 + 4 * (k - 2)}", A64_ADD, A64_STORE]
    close = ["add x12, x14, #0x7", A64_STORE, "cmp x12, x13"]
    return a[:-1] + close + ["b.eq @end"] + b[:-1] + close + ["b.ne @34"]


def expected_loop_aarch64(family, unroll):
    """The instructions an AArch64 form's loop must be, in order."""
    if family in ("branch.test-join", "branch.test-split"):
        return a64_split8() if unroll == 8 else list(
            A64_TEST_JOIN if family == "branch.test-join" else A64_TEST_SPLIT)
    loop, body = [], A64_BODIES[family.removesuffix("-sched")]
    for _ in range(unroll // (2 if family == "branch.add" else 1)):
        loop += [re.sub(r"@\+(\d+)", lambda m, at=len(loop): f"@{at + int(m[1])}", t) for t in body]
    if family in ("branch.test-add", "branch.cneg"):
        return loop + ["cmp x12, x13", "b.ne @head"]
    if family.endswith("-sched"):  # the counter right after the first load
        return loop[:1] + [f"subs x10, x10, #{unroll:#x}"] + loop[1:] + ["b.ne @head"]
    return loop + [f"subs x10, x10, #{unroll:#x}", "b.ne @head"]


A64_REJECTED_LOOPS = {
    "the index's second bit tested": (
        "branch.test-add.u1.a64", [A64_LOAD, "tbnz w12, #1, @4"] + A64_BODIES["branch.test-add"][2:]
        + ["cmp x12, x13", "b.ne @head"],
        "instruction 1: 'tbnz w12,#1,@4', expected 'tbnz w12, #0, @4'"),
    "half the accumulator loaded": (
        "inc.add.u1.a64", ["ldr w9, [x11]", A64_ADD, A64_STORE, "subs x10, x10, #0x1", "b.ne @head"],
        "instruction 0: 'ldr w9,[x11]', expected 'ldr x9, [x11]'"),
    "the closing branch to the split layout's head, not its load": (
        "branch.test-split.u1.a64", A64_TEST_SPLIT[:-1] + ["b.ne @head"],
        "instruction 11: 'b.ne @head', expected 'b.ne @5'"),
}


class Shape(FloorTest):
    def test_each_form_is_what_its_name_says(self):
        loops = form_loops(OPTIONS.floor)
        self.assertEqual(sorted(loops), sorted(FORMS))
        for name, loop in loops.items():
            with self.subTest(form=name):
                self.assertEqual(shape_problems(name, loop), [])

    def test_negative_controls(self):
        # A form's loop with its name changed, or its code shifted, must fail.
        skip_unless_x86_64(self)
        loops = form_loops(OPTIONS.floor)
        loop = loops["inc.add.u8.a64"]
        self.assertIn("instruction 0: %r, expected 'addq $0x1,X'" % loop.code[0][2],
                      shape_problems("inc.rmw.u8.a64", loop))
        self.assertIn("26 instructions, expected 10", shape_problems("inc.rmw.u8.a64", loop))
        shifted = Loop(loop.head, loop.end, loop.code[12:])
        self.assertIn("14 instructions, expected 26", shape_problems("inc.add.u8.a64", shifted))
        self.assertIn("an instruction at %#x, where %#x was due" % (loop.code[12][0], loop.head),
                      shape_problems("inc.add.u8.a64", shifted))
        moved = Loop(loop.head + 8, loop.end, loop.code)
        self.assertIn("head at %#x, 8 bytes past a 64-byte boundary" % (loop.head + 8),
                      shape_problems("inc.add.u8.a64", moved))
        self.assertIn("instruction 25: 'jne @0', expected 'jne @head'",
                      shape_problems("inc.add.u8.a64", moved))
        self.assertIn("14 instructions, expected 26",
                      shape_problems("branch.lea.u8.a64", loops["branch.lea.u4.a64"]))
        loop = loops["arith.lea.u1.s64"]
        cut = Loop(loop.head, loop.code[1][0], loop.code[:1])
        self.assertIn("does not straddle a 64-byte boundary", shape_problems("arith.lea.u1.s64", cut))
        # The end symbol must be where the instructions end.
        self.assertIn("the code ends at %#x, not at floor.arith.lea.u1.s64.end (%#x)"
                      % (loop.end, loop.end + 1),
                      shape_problems("arith.lea.u1.s64", Loop(loop.head, loop.end + 1, loop.code)))
        self.assertIn("no floor.arith.lea.u1.s64.end",
                      shape_problems("arith.lea.u1.s64", Loop(loop.head, None, loop.code)))

    def test_loops_that_break_the_rule(self):
        for what, (name, texts, problem) in REJECTED_LOOPS.items():
            with self.subTest(what):
                self.assertIn(problem, shape_problems(name, handmade(name, *texts)))

    def test_honest_loops_with_other_registers(self):
        # What the compiler may choose differently: the operands, bound alike.
        skip_unless_x86_64(self)
        cases = [
            ("inc.rmw.u1.a64", {"X": "(%rsp)", "N": "%r12"}),
            ("inc.add.u5.a64", {"X": "-0x18(%rbp)", "N": "%rcx"}),
            ("branch.test-rmw.u2.a64", {"I": "%rax", "B": "%rdx"}),  # no data register here
            ("branch.test-add.u4.a64", {"I": "%rsi", "B": "%rdi"}),
            ("branch.test-split.u1.a64", {"I": "%r8", "B": "%rcx", "X": "0x28(%rsp)"}),
            ("arith.imul-add.u16.a64", {"N": "%r15"}),
            ("branch.lea.u32.a64", {"N": "%rdx"}),
        ]
        for name, operands in cases:
            with self.subTest(name, **operands):
                self.assertEqual(shape_problems(name, honest(name, **operands)), [])

    def test_broken_forms_under_the_names_they_imitate(self):
        loops = form_loops(OPTIONS.probe)
        for name in BROKEN_FORMS:
            family, unroll, align = name.rsplit(".", 2)
            broken = BROKEN[family]
            with self.subTest(form=name, imitates=broken.imitates):
                problems = shape_problems(f"{broken.imitates}.{unroll}.{align}", loops[name])
                if broken.shape is None:
                    self.assertEqual(problems, [])
                else:
                    self.assertTrue(any(re.fullmatch(broken.shape, p) for p in problems),
                                    problems)

    def test_the_other_compiler_builds_the_same_loops(self):
        if not OPTIONS.other_object:
            self.skipTest("no build of the forms by the other compiler (made for AArch64 only, "
                          "where the forms name every register)")
        product, other = form_loops(OPTIONS.floor), form_loops(OPTIONS.other_object)
        self.assertEqual(sorted(other), sorted(product))
        for name, loop in product.items():
            with self.subTest(form=name):
                self.assertEqual([raw for _, raw, _ in other[name].code],
                                 [raw for _, raw, _ in loop.code])

    def test_probe_runs_the_products_loops(self):
        # The memory-traffic and accumulator tests run the probe: its loops
        # must be the product's, byte for byte.
        product, probe = form_loops(OPTIONS.floor), form_loops(OPTIONS.probe)
        self.assertEqual(sorted(probe), sorted(FORMS + BROKEN_FORMS))
        for name, loop in product.items():
            with self.subTest(form=name):
                self.assertEqual([raw for _, raw, _ in probe[name].code],
                                 [raw for _, raw, _ in loop.code])


def skip_unless_x86_64(test):
    if OPTIONS.arch != "x86_64":
        test.skipTest("hand-made x86-64 loops and names: the x86-64 build runs it")


# What differs on AArch64: the tables above are x86-64's, and prepare()
# replaces them with these when the build is for AArch64.
AARCH64 = {
    "FAMILIES": {
        "inc.add": UNROLLS, "inc.add-sched": UNROLLS,
        "arith.lsl-add": UNROLLS, "arith.lsl-add-sched": UNROLLS, "arith.madd": UNROLLS,
        "arith.mul-add": UNROLLS,
        "branch.add": PAIRED_UNROLLS, "branch.test-add": UNROLLS, "branch.cneg": UNROLLS,
        "branch.test-join": (1,), "branch.test-split": (1, 8),
    },
    "DEFAULT_FORMS": ("inc.add.u10.a64", "arith.lsl-add.u10.a64", "branch.add.u20.a64"),
    "FORM_COUNT": 132,
    "OTHER_INC": "inc.add-sched.u2.s64",
    "CHAIN": ("add Xd, Xd, Xm", 1),
    "BROKEN": {
        "inc.broken-two-stores": Broken(
            "inc.add", traffic="2 stores of the accumulator per iteration",
            shape=r"instruction 3: 'str x9,\[x11\]', expected 'subs x10, x10, #0x1'"),
        "inc.broken-one-load-fewer": Broken(
            "inc.add", 2, traffic="1/2 loads of the accumulator per iteration",
            shape=r"instruction 3: 'add x9,x9,#0x1', expected 'ldr x9, \[x11\]'"),
        "inc.broken-counter-in-memory": Broken(
            "inc.add", traffic="2 other memory accesses per iteration",
            shape=r"instruction 3: 'ldr x10,\[x15\]', expected 'subs x10, x10, #0x1'"),
        "inc.broken-short": Broken("inc.add", accumulator="x=",
                                   values="the run ended at x=159, expected 160"),
        "inc.broken-skips-a-load-late": Broken(
            "inc.add", shape=r"instruction 0: 'subs x15,x15,#0x1', expected 'ldr x9, \[x11\]'"),
        # qemu's trace, unlike lackey's, holds the dead load.
        "inc.broken-dead-load-outside": Broken(
            "inc.add", traffic="1 other memory accesses per iteration",
            shape=r"instruction 3: 'b .* \(not an instruction of the loop\)', "
                  r"expected 'subs x10, x10, #0x1'"),
        "branch.broken-pair-swapped": Broken(
            "branch.add", 2, values="x=-1 after 1 iteration, expected 1",
            shape=r"instruction 1: 'sub x9,x9,#0x1', expected 'add x9, x9, #0x1'"),
        "branch.broken-arms-swapped": Broken(
            "branch.test-add", accumulator="x=-1 after 1 iteration, expected 1",
            values="x=-1 after 1 iteration, expected 1",
            shape=r"instruction 1: 'tbz w12,#0,@4', expected 'tbnz w12, #0, @4'"),
        "branch.broken-tests-accumulator": Broken(
            "branch.test-add", shape=r"instruction 1: 'tbnz w9,#0,@4', expected 'tbnz w12, #0, @4'"),
    },
    "expected_loop": expected_loop_aarch64,
    "INSTRUCTION": re.compile(r" *([0-9a-f]+):\t([0-9a-f]{8}) +\t([^/]*?)\s*(?://.*)?"),
    "REJECTED_LOOPS": A64_REJECTED_LOOPS,
}
AARCH64_CLOCK_FORMS = ["--form", "inc.add.u5.s64", "--form", "arith.madd.u2.a64", "--form",
                       "branch.test-add.u4.s64"]


def add_arguments(parser):
    parser.add_argument("--floor", default="", help="bench_floor, where it is built")
    parser.add_argument("--probe", default="", help="its probe build")
    parser.add_argument("--fake-clock", required=True)
    parser.add_argument("--sanitized", action="store_true")
    parser.add_argument("--qemu-traffic", default="", help="tools/qemu_traffic.cpp, built")
    parser.add_argument("--other-object", default="", help="the forms built by the other compiler")


def prepare():
    OPTIONS.fake_clock = os.path.abspath(OPTIONS.fake_clock)
    # The architecture the programs are built for, from their ELF header.
    OPTIONS.arch, OPTIONS.objdump = "x86_64", "objdump"
    if OPTIONS.floor:
        with open(OPTIONS.floor, "rb") as f:
            machine = int.from_bytes(f.read(20)[18:20], "little")
        OPTIONS.arch = {62: "x86_64", 183: "aarch64"}.get(machine, str(machine))
    if OPTIONS.arch == "aarch64":
        globals().update(AARCH64)
        global FORMS, BROKEN_FORMS
        FORMS = tuple(f"{family}.u{u}.{align}" for family, unrolls in FAMILIES.items()
                      for u in unrolls for align in ("a64", "s64"))
        BROKEN_FORMS = tuple(f"{family}.u{broken.unroll}.{align}"
                             for family, broken in BROKEN.items() for align in ("a64", "s64"))
        Clock.FORMS = AARCH64_CLOCK_FORMS
        OPTIONS.objdump = shutil.which("aarch64-linux-gnu-objdump") or "objdump"


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments, prepare))
