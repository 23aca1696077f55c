#!/usr/bin/env python3
"""Tests of the JIT counterparts (jit/) and of tools/jit_loops.py.

  JavaReport, NodeReport, LuaJITReport, PyPyReport: each counterpart at
    small test counts (the BENCH_TEST_ITERATIONS variable) and once at the
    real count: the report byte for byte, the accumulators against the
    kernels' arithmetic, the warm-up banner, bad arguments and unwritable
    output; tools/compare.py accepts the real run. LuaJIT and PyPy also
    under the clock double: one step per kernel, a failed reading.
  WasmReport, WasmTurboFanReport: the same on the wasm32-wasi build under
    jit/wasm_bench.js (V8's Liftoff; --no-liftoff: TurboFan); the runner's errors.
  LLIReport: the benchmark's LLVM IR under lli (jit/lli_bench.sh, the A/A
    control) at the real count through compare; unwritable output.
  NodeMutants: the report checks above reject counterparts with one fault
    each (a negative control of the checks, on copies of the node script).
  DumpReading: HotSpot's and V8's dumps (made here from code assembled by
    binutils' `as`) read into compilations, cut-off and foreign code
    skipped, a saved dump read back, and the top tier chosen per kernel.
  LoopModel: the diagnostic (tools/jitloops/) on small machine-code loops
    assembled here, shaped like HotSpot's and V8's dumps: the hot loop,
    its paths, the per-iteration counts and every flag.
  SavedDumps: the dumps in tests/data/jit, taken on this project's machine:
    the honest counterparts pass; a plain Java field (kept in a register), a
    volatile Java field (a locked fence per iteration) and a long loop index
    (a safepoint poll per iteration) are flagged; HotSpot's C1 code (tier
    3) of inc, whose loop has millions of paths, is not judged; the
    WebAssembly build's main, in both tiers, and with x not volatile; the
    tracing JITs: Branch's extra stores on the path through its side trace
    or bridge, the one-cell and for-range variants, and the attacks below;
    and the same dumps altered (patches out of order, an unprovable
    computed jump, no declaration, cut short).
  Jitdumps: node's jitdump judged, saved, trimmed; every malformed file
    made from it refused with its reason; the kernels found by name.
  WalkBounds: loops with 2^k paths (k two-armed branches in a row), and a
    loop whose walk would explore 2^k dead ends: the walk stays bounded,
    a loop it cannot finish is said so and its compilation not judged
    (exit 2, or 1 when another kernel breaks the rule); an enclosing loop
    is known from its first path through another's latch, none run.
  KernelMapping: one function timing all three kernels, cut at its clock
    calls; a root trace and its side trace, given in that order, one loop,
    also when the side trace re-enters the root trace at its entry; a side
    trace out of the entry part closes a loop that is judged too.
  Layers: each module of tools/jitloops/ imports only the layers below it,
    and only its x86 module borrows from the check's package.
  Replay: the chain and the path replayed natively at a tiny count, for what
    each run did: the known kernels (tools/replay_known.s) and saved dumps
    give their figures or the reason; a run off its path, or ending after
    the wrong count, gives none.
  JavaLoops, NodeLoops: the diagnostic on the built counterparts under the
    installed runtimes (they must keep the rule), and on Java variants built
    here from the real source with one fault each (they must be flagged);
    node's jitdump judged as its own listing of the same run.
  WasmLoops: the same for the benchmark built here for WebAssembly and a
    copy with x not volatile.
  LuaJITDump: the listing's LuaJIT loader on the counterpart: a trace per
    kernel, Branch's side trace, and the patch aiming the guard at it; a
    program under it sees its own arg and ..., as under plain luajit.
  LuaJITLoops, PyPyLoops: the diagnostic on the tracing JITs' counterparts
    under the installed runtimes, cold and warm: Branch's side trace or
    bridge stores, the other kernels keep the rule.

A group that needs a runtime skips (exit 77) only when the build found none.
How each saved dump in tests/data/jit was made: tests/data/jit/README.md.

    test_jit.py [--build-dir DIR] [--java JAVA --classes DIR]
                [--node NODE [--wasm F --wasm-small-dir D]] [--luajit LUAJIT]
                [--pypy PYPY] [--lli-ir FILE] [--fake-clock LIBRARY] [GROUP ...]
"""
import argparse
import ast
import io
import json
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from unittest import mock

import harness
import jitloops
from jitloops import analysis, dumps, jitdump, loops, paths, rules
from jitloops.disassembly import disassemble
from jitloops.output import show
from report import FINALS, ITERATIONS, KERNEL_NAMES, parse, render

OPTIONS = argparse.Namespace()
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
TOOLS = os.path.join(ROOT, "tools")
DATA = os.path.join(HERE, "data", "jit")
JAVA_SOURCE = os.path.join(ROOT, "jit", "JitBench.java")
NODE_SCRIPT = os.path.join(ROOT, "jit", "jit_bench.js")
WASM_RUNNER = os.path.join(ROOT, "jit", "wasm_bench.js")
LUA_SCRIPT = os.path.join(ROOT, "jit", "jit_bench.lua")
PYPY_SCRIPT = os.path.join(ROOT, "jit", "jit_bench_pypy.py")
LLI_RUNNER = os.path.join(ROOT, "jit", "lli_bench.sh")
LUA_DUMP = os.path.join(TOOLS, "jitloops", "luajit_dump.lua")
INC, ARITH, BRANCH = KERNEL_NAMES
SMALL_COUNTS = (0, 1, 2, 3, 4, 39, 40, 1001)
MASK = (1 << 64) - 1
TEST_VARIABLE = "BENCH_TEST_ITERATIONS"
C_BANNER = "=== C Baseline (1e8 iterations) ==="  # the program's own, at any count


def signed(value):
    return value - (1 << 64) if value >> 63 else value


def expected_finals(n):
    """The accumulators after n iterations, step by step as the kernels go."""
    inc = arith = branch = 0
    for i in range(n):
        inc = (inc + 1) & MASK
        arith = (arith * 3 + 7) & MASK
        branch = (branch + 1 if i % 2 == 0 else branch - 1) & MASK
    return [signed(inc), signed(arith), signed(branch)]


def run(command, env=None, **kwargs):
    environment = dict(os.environ)
    environment.pop(TEST_VARIABLE, None)
    environment.update(env or {})
    return subprocess.run(command, capture_output=True, text=True, timeout=600, env=environment,
                          check=False, **kwargs)


# ------------------------------------------------------------ the reports

class CounterpartChecks:
    """The checks shared by every counterpart; a subclass names the command."""
    LANGUAGE = ""
    BANNER = None  # the banner's name when it is not "<LANGUAGE> JIT"

    def command(self):
        raise NotImplementedError

    def small(self, n):
        """The command and environment of a run at n iterations."""
        return self.command(), {TEST_VARIABLE: str(n)}

    def check_report(self, result, n, warmup=0):
        """The whole report, byte for byte, with the accumulators of n iterations."""
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, "")
        count = "1e8 iterations" if n == ITERATIONS else f"{n} iterations, test count"
        if warmup:
            count += f", {warmup} untimed warm-up run{'s' if warmup > 1 else ''} per kernel"
        name = self.BANNER or (self.LANGUAGE and self.LANGUAGE + " JIT")
        banner = f"=== {name} ({count}) ===" if name else C_BANNER
        results = parse(result.stdout)
        self.assertEqual([r.kernel.name for r in results], list(KERNEL_NAMES), result.stdout)
        finals = [FINALS[k] for k in KERNEL_NAMES] if n == ITERATIONS else expected_finals(n)
        self.assertEqual([r.x for r in results], finals, f"{n} iterations")
        self.assertEqual(result.stdout, render([r.ms for r in results], finals, banner))

    def test_small_counts(self):
        for n in SMALL_COUNTS:
            with self.subTest(iterations=n):
                self.check_report(run(*self.small(n)), n)

    def test_warm_up_runs_restart_from_zero(self):
        # Each run resets the accumulator: warm-ups must not add up.
        for warmup in (1, 3):
            with self.subTest(warmup=warmup):
                result = run(self.command() + [str(warmup)], {TEST_VARIABLE: "39"})
                self.check_report(result, 39, warmup)

    def test_real_count_through_compare(self):
        command = shlex.join(self.command())
        result = run([sys.executable, os.path.join(TOOLS, "compare.py"), "-n", "1",
                      "--format", "json", command])
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = json.loads(result.stdout)["results"]
        self.assertEqual({r["kernel"]: r["x"] for r in rows},
                         {k: str(v) for k, v in FINALS.items()})
        self.assertTrue(all(r["times_ms"][0] > 0 for r in rows), rows)

    def test_bad_arguments_fail_before_any_output(self):
        cases = [(["-1"], {}), (["x"], {}), (["+3"], {}), (["\u0663"], {}), (["2147483648"], {}),
                 (["1", "2"], {}), ([], {TEST_VARIABLE: ""}), ([], {TEST_VARIABLE: "-5"}),
                 ([], {TEST_VARIABLE: "1e3"}), ([], {TEST_VARIABLE: "99999999999"})]
        for args, env in cases:
            with self.subTest(args=args, env=env):
                result = run(self.command() + args, env)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertEqual(result.stdout, "")
                self.assertRegex(result.stderr, r"must be a whole number|usage")

    def test_unwritable_output_fails(self):
        with open("/dev/full", "w", encoding="utf-8") as full:
            result = subprocess.run(self.command(), stdout=full, stderr=subprocess.PIPE,
                                    text=True, timeout=120, check=False,
                                    env={**os.environ, TEST_VARIABLE: "3"})
        self.assertEqual(result.returncode, 1)
        self.assertIn("write error", result.stderr)


def need(option, what):
    value = getattr(OPTIONS, option, None)
    if not value:
        raise unittest.SkipTest(f"no {what} was found when the build was configured")
    return value


class JavaReport(CounterpartChecks, unittest.TestCase):
    LANGUAGE = "Java"

    @classmethod
    def setUpClass(cls):
        cls.java = need("java", "JDK")
        cls.classes = need("classes", "JDK")

    def command(self):
        return [self.java, "-cp", self.classes, "JitBench"]

    def test_closed_output_fails(self):
        # (node cannot see this: it reopens a closed standard output on /dev/null.)
        result = subprocess.run(self.command(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                text=True, timeout=120, check=False,
                                env={**os.environ, TEST_VARIABLE: "3"},
                                preexec_fn=lambda: os.close(1))
        self.assertEqual(result.returncode, 1)
        self.assertIn("write error", result.stderr)


class NodeReport(CounterpartChecks, unittest.TestCase):
    LANGUAGE = "JavaScript"

    @classmethod
    def setUpClass(cls):
        cls.node = need("node", "node")

    def command(self):
        return [self.node, NODE_SCRIPT]

    def test_test_count_is_refused_without_the_literal(self):
        # The small-count kernels are recompiled from their own source with
        # another literal bound; a kernel whose bound is not that literal
        # must not silently run 1e8 iterations under a test banner.
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "bench.js")
            with open(NODE_SCRIPT, encoding="utf-8") as f:
                source = f.read()
            edited = source.replace("for (let i = 0; i < 100000000; i++)",
                                    "for (let i = 0; i < 1e8; i++)", 1)
            self.assertNotEqual(edited, source)
            with open(script, "w", encoding="utf-8") as f:
                f.write(edited)
            result = run([self.node, script], {TEST_VARIABLE: "3"})
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("expected the bound 100000000 exactly once", result.stderr)


class WasmReport(CounterpartChecks, unittest.TestCase):
    """The benchmark's own source built for wasm32-wasi, in V8's default tier."""
    TIER = ()
    # The program takes no warm-up count and no test count: no such tests.
    test_warm_up_runs_restart_from_zero = test_bad_arguments_fail_before_any_output = None

    @classmethod
    def setUpClass(cls):
        cls.node, cls.module = OPTIONS.node, need("wasm", "node or wasm32-wasi toolchain")

    def command(self, module=None):
        return [self.node, *self.TIER, WASM_RUNNER, module or self.module]

    def small(self, n):  # built by CMake at each of SMALL_COUNTS
        return self.command(f"{OPTIONS.wasm_small_dir}/bench_iterations_{n}.wasm"), {}

    def test_runner_errors(self):
        # arguments: stderr. A file the runner cannot run is one line and
        # status 1; exit_3.wasm's own status, 3, is kept, with nothing said.
        data = os.path.join(HERE, "data", "wasm")
        cases = {(): "usage: ", ("/none.wasm",): "no such file", (data,): "a folder",
                 ("--no-liftoff",): "an option; node's options go before the script",
                 (__file__,): "is not a WebAssembly module", ("no_start.wasm",): "no _start",
                 ("no_memory.wasm",): "exports no memory", ("unknown_import.wasm",):
                 "cannot instantiate", ("trap.wasm",): "stopped: unreachable", ("exit_3.wasm",): ""}
        for args, error in cases.items():
            with self.subTest(args=args):
                result = run([self.node, *self.TIER, WASM_RUNNER, *args], cwd=data)
                self.assertEqual((result.returncode, result.stdout), (1 if error else 3, ""))
                self.assertRegex(result.stderr, f"^wasm_bench.js: [^\n]*{re.escape(error)}[^\n]*\n$"
                                 if error else "^$")


class WasmTurboFanReport(WasmReport):
    """The same module with Liftoff off: TurboFan compiles it before it runs."""
    TIER = ("--no-liftoff",)


class LLIReport(CounterpartChecks, unittest.TestCase):
    # The benchmark's own IR under lli. Its arithmetic at small counts is the
    # native build's (test_bench.py): the same source, compiler and flags.
    test_small_counts = test_warm_up_runs_restart_from_zero = None
    test_bad_arguments_fail_before_any_output = None

    @classmethod
    def setUpClass(cls):
        cls.ir = need("lli_ir", "lli (or a clang++ build)")

    def command(self):
        return [LLI_RUNNER, self.ir]


class ClockChecks:
    """For a counterpart that reads the clock through the C library's
    clock_gettime (not a JVM's or node's, which read it on other threads
    too): under tests/fake_clock.cpp each kernel's time is exactly one step
    (its two readings are consecutive: none inside the loop, none missing),
    and a failed reading ends the run with the lines before it kept."""

    def faked(self, **env):
        fake = need("fake_clock", "clock double")
        return run(self.command(), {TEST_VARIABLE: "5", "LD_PRELOAD": fake, **env})

    def test_each_time_is_one_pair_of_readings(self):
        result = self.faked(FAKE_CLOCK_STEP_NS="1234567")  # 1.23 ms, rounded from 1.234567
        self.check_report(result, 5)
        self.assertEqual([r.ms for r in parse(result.stdout)], [1.23] * 3)

    def test_a_failed_reading_ends_the_run(self):
        # Calls 3 and 4 are the arithmetic kernel's first and second readings.
        for call in ("3", "4"):
            with self.subTest(call=call):
                result = self.faked(FAKE_CLOCK_FAIL_AT=call)
                self.assertEqual(result.returncode, 1)
                self.assertEqual([r.kernel.name for r in parse(result.stdout)], [INC])
                self.assertRegex(result.stderr, r"^\S+: cannot read the monotonic clock: "
                                 r"Invalid argument\n$")


class LuaJITReport(CounterpartChecks, ClockChecks, unittest.TestCase):
    BANNER = "LuaJIT"

    @classmethod
    def setUpClass(cls):
        cls.luajit = need("luajit", "luajit")

    def command(self):
        return [self.luajit, LUA_SCRIPT]


class PyPyReport(CounterpartChecks, ClockChecks, unittest.TestCase):
    BANNER = "PyPy"

    @classmethod
    def setUpClass(cls):
        cls.pypy = need("pypy", "pypy3")

    def command(self):
        return [self.pypy, PYPY_SCRIPT]

    def test_another_python_is_refused(self):
        result = run([sys.executable, PYPY_SCRIPT], {TEST_VARIABLE: "3"})
        self.assertEqual((result.returncode, result.stdout), (1, ""))
        self.assertRegex(result.stderr, r"^jit_bench_pypy\.py: needs PyPy \(pypy3\), not ")


# What the report checks must catch: (name, old, new) edits of the node script.
MUTANTS = [
    ("no reset before the clock", "acc[0] = 0n;\n  const start", "const start"),
    ("wrong arithmetic", "acc[0] * 3n + 7n", "acc[0] * 3n + 6n"),
    ("one iteration too many", "i < 100000000; i++) {\n    acc[0] = BigInt.asUintN(64, acc[0] + 1n)",
     "i <= 100000000; i++) {\n    acc[0] = BigInt.asUintN(64, acc[0] + 1n)"),
    ("no 64-bit wrap-around", "BigInt.asUintN(64, acc[0] * 3n + 7n)", "(acc[0] * 3n + 7n) & ((1n << 63n) - 1n)"),
    ("branch arms swapped", "acc[0] = BigInt.asUintN(64, acc[0] + 1n);\n    } else",
     "acc[0] = BigInt.asUintN(64, acc[0] - 1n);\n    } else"),
]


class NodeMutants(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.node = need("node", "node")

    def test_each_fault_is_caught(self):
        with open(NODE_SCRIPT, encoding="utf-8") as f:
            source = f.read()
        checks = NodeReport()
        for name, old, new in MUTANTS:
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                self.assertIn(old, source, name)
                script = os.path.join(folder, "bench.js")
                with open(script, "w", encoding="utf-8") as f:
                    f.write(source.replace(old, new, 1))  # in the first kernel that has it
                caught = False
                for n, warmup in ((40, 0), (39, 2), (1001, 0)):
                    result = run([self.node, script] + ([str(warmup)] if warmup else []),
                                 {TEST_VARIABLE: str(n)})
                    try:
                        checks.check_report(result, n, warmup)
                    except AssertionError:
                        caught = True
                self.assertTrue(caught, f"{name}: no check failed")


# ------------------------------------------------------ the diagnostic

BASE = 0x7F0000001000


def assemble(source):
    """The bytes of x86-64 assembly (AT&T) and its labels' offsets."""
    with tempfile.TemporaryDirectory() as folder:
        paths = [os.path.join(folder, name) for name in ("code.s", "code.o", "code.bin")]
        with open(paths[0], "w", encoding="utf-8") as f:
            f.write(".text\n" + source + "\n")
        subprocess.run(["as", "--64", "-o", paths[1], paths[0]], check=True)
        subprocess.run(["objcopy", "-O", "binary", "-j", ".text", paths[1], paths[2]], check=True)
        symbols = subprocess.run(["nm", paths[1]], capture_output=True, text=True,
                                 check=True).stdout
        with open(paths[2], "rb") as f:
            data = f.read()
    labels = {m[2]: int(m[1], 16) for m in re.finditer(r"^([0-9a-f]+) \w (\S+)$", symbols, re.M)}
    return data, labels


def hotspot_dump(method, source, notes=None, tier=4):
    """HotSpot's hex print of `source` as the code of `method`. `notes` maps
    a label to a comment, printed (as HotSpot does) at the 4-byte boundary
    at or before it."""
    data, labels = assemble(source)
    at = {}
    for label, text in (notes or {}).items():
        at.setdefault(labels[label] & ~3, []).append(text)
    lines = ["============================= C2-compiled nmethod ===========================",
             f"Compiled method (c2)      81  128 %     {tier}       {method} @ 14 (51 bytes)",
             "[MachCode]", "[Verified Entry Point]"]
    cuts = sorted(set(range(0, len(data), 32)) | set(at) | {len(data)})
    for start, end in zip(cuts, cuts[1:]):
        for text in at.get(start, []):
            lines.append(f"  0x{BASE + start:016x}: ;   {text}")
        chunk = data[start:end].hex()
        groups = [chunk[k:k + 4] for k in range(0, len(chunk), 4)]
        words = [" ".join(groups[k:k + 2]) for k in range(0, len(groups), 2)]
        lines.append(f"  0x{BASE + start:016x}: " + " | ".join(words))
    return "\n".join(lines + ["[/MachCode]", ""])


def v8_dump(name, source, notes=None):
    """V8's --print-opt-code listing of `source` as the optimised code of `name`."""
    data, labels = assemble(source)
    where = {labels[label]: text for label, text in (notes or {}).items()}
    cuts = sorted(set(range(0, len(data), 5)) | set(where) | {len(data)})
    lines = ["--- Optimized code ---", "optimization_id = 0", "kind = TURBOFAN", f"name = {name}",
             "", f"Instructions (size = {len(data)})"]
    for start, end in zip(cuts, cuts[1:]):
        comment = f"    ;; {where[start]}" if start in where else ""
        lines.append(f"0x{BASE + start:x}  {start:4x}  {data[start:end].hex():<20} "
                     f"(bytes){comment}")
    return "\n".join(lines + ["", "--- End code ---", ""])


def analyse(text):
    compilations = dumps.parse_dump(text)
    results = [analysis.analyse(c) for c in compilations]
    rules.excuse_loopless(results)
    return results


HONEST = """
entry: xor %r13d,%r13d
top:   mov 0x10(%rbx),%rcx
       add $1,%rcx
       mov %rcx,0x10(%rbx)
       inc %r13d
       cmp $100000000,%r13d
       jl top
       ret
"""

class DumpReading(unittest.TestCase):
    def test_dumps_read_into_compilations(self):
        code = assemble(HONEST)[0]
        hotspot, v8 = hotspot_dump("JitBench::inc", HONEST), v8_dump("arith", HONEST)
        cut_hotspot = hotspot_dump("JitBench::arith", HONEST).replace("[/MachCode]", "")
        cut_v8 = v8_dump("branch", HONEST).replace("--- End code ---", "")
        # name: (dump text, (runtime, method, kernel, tier) of each compilation read)
        cases = {
            "HotSpot": (hotspot, [("HotSpot", "JitBench::inc", INC, 4)]),
            "V8": (v8, [("V8", "arith", ARITH, 2)]),
            "two kernels in print order": (
                hotspot_dump("JitBench::branch", HONEST, tier=3) + hotspot,
                [("HotSpot", "JitBench::branch", BRANCH, 3), ("HotSpot", "JitBench::inc", INC, 4)]),
            "HotSpot, not a kernel": (hotspot_dump("JitBench::main", HONEST), []),
            "HotSpot, no bytes (hsdis printed its text)": (hotspot_dump("JitBench::inc", ""), []),
            "V8, not a kernel": (v8_dump("main", HONEST), []),
            "HotSpot, the last one cut off": (hotspot + cut_hotspot,
                                              [("HotSpot", "JitBench::inc", INC, 4)]),
            "V8, the last one cut off": (v8 + cut_v8, [("V8", "arith", ARITH, 2)]),
            "neither runtime": ("Compiled method inc\n0x10: 4889d8\n", []),
        }
        for name, (text, expected) in cases.items():
            with self.subTest(name):
                found = dumps.parse_dump(text)
                self.assertEqual([(c.runtime, c.method, c.kernel, c.tier) for c in found],
                                 expected)
                for compilation in found:
                    self.assertEqual(compilation.segments, [(BASE, code)])

    def test_comments_kept_by_address(self):
        # HotSpot prints a comment at the 4-byte boundary at or before its
        # instruction, V8 on the instruction's own line.
        offset = assemble(HONEST)[1]["top"]
        self.assertTrue(offset & 3, "the label must sit off a 4-byte boundary")
        hotspot = dumps.parse_dump(hotspot_dump("JitBench::inc", HONEST, {"top": "{poll}"}))[0]
        self.assertEqual(hotspot.annotations, {BASE + (offset & ~3): ["{poll}"]})
        v8 = dumps.parse_dump(v8_dump("inc", HONEST, {"top": "a note"}))[0]
        self.assertEqual([a - BASE for a, notes in v8.annotations.items() if "a note" in notes],
                         [offset])

    def test_saved_dump_reads_back(self):
        origin = "java -cp build/jit JitBench on a test machine"
        for name, text in (("HotSpot", hotspot_dump("JitBench::inc", HONEST, {"top": "head"})
                            + hotspot_dump("JitBench::arith", HONEST, tier=3)),
                           ("V8", v8_dump("branch", HONEST, {"top": "head"}))):
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "saved.txt")
                compilations = dumps.parse_dump(text)
                dumps.save(path, origin, compilations)
                with open(path, encoding="utf-8") as f:
                    saved = f.read()
                self.assertEqual(dumps.saved_origin(saved, path), origin)
                # A saved V8 dump keeps each address's comments on one line.
                seen = [(c.runtime, c.method, c.description, c.tier, c.segments,
                         {a: " | ".join(notes) for a, notes in c.annotations.items()})
                        for c in compilations]
                again = [(c.runtime, c.method, c.description, c.tier, c.segments,
                          {a: " | ".join(notes) for a, notes in c.annotations.items()})
                         for c in dumps.parse_dump(saved)]
                self.assertEqual(again, seen)
                self.assertEqual(len(seen), 2 if name == "HotSpot" else 1)
        # A runtime's own output, saved by hand, is named by its file.
        self.assertEqual(dumps.saved_origin(text, "run.txt"), "dump run.txt")

    def test_only_the_top_tier_is_judged_unless_all(self):
        text = (hotspot_dump("JitBench::inc", "call *%r10\nret\n", tier=3)
                + hotspot_dump("JitBench::inc", HONEST, tier=4))
        compilations = dumps.parse_dump(text)
        self.assertEqual([c.tier for c in dumps.top_tier(compilations, False)], [4])
        self.assertEqual([c.tier for c in dumps.top_tier(compilations, True)], [3, 4])


# name: (loop body before the index update, (rule or cost, text) expected or
# None for the rule kept with no flag[, the index update and latch])
SHAPES = {
    "honest": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)", None),
    "honest through another register": (
        "lea 0x10(%rbx),%rax; mov (%rax),%rcx; lea (%rcx,%rcx,2),%rcx; add $7,%rcx;"
        " mov %rcx,0x10(%rbx)", None),
    "kept in a register": ("add $1,%rcx", ("rule", "kept in a register")),
    "store forwarded to the next load": ("add $1,%rcx; mov %rcx,0x10(%rbx)",
                                         ("rule", "loaded 0 and stored 1")),
    "two updates per iteration": (
        "mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx);"
        " mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)", ("rule", "loaded 2 and stored 2")),
    "volatile: locked fence": (
        "mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx); lock addl $0,-0x40(%rsp)",
        ("rule", "lock prefix")),
    "mfence": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx); mfence",
               ("rule", "fence (mfence)")),
    "xchg with memory": ("mov 0x10(%rbx),%rcx; add $1,%rcx; xchg %rcx,0x10(%rbx)",
                         ("rule", "xchg with memory")),
    "extra store": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx); mov %r13,0x18(%rbx)",
                    ("rule", "extra store to rbx@head + 0x18")),
    "spill to the stack": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx);"
                           " mov %rcx,0x8(%rsp)", ("rule", "extra store to rsp@head + 0x8")),
    "safepoint poll": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx);"
                       " mov 0x348(%r15),%r10; test %eax,(%r10)",
                       ("cost", "safepoint poll page touch")),
    "index in memory, accumulator in a register": (
        "add $1,%rcx; mov -0x8(%rbp),%eax; inc %eax; mov %eax,-0x8(%rbp)",
        ("rule", "no loop index found in a register"), "cmp $100000000,%eax; jl top"),
    "accumulator RIP-relative": (
        "mov acc(%rip),%rcx; add $1,%rcx; mov %rcx,acc(%rip)", None),
    "bound reloaded": ("mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx); mov 0x20(%rbx),%r9",
                       ("cost", "1 other load(s) per iteration: rbx@head + 0x20")),
}


class LoopModel(unittest.TestCase):
    def kernel(self, body, index="inc %r13d; cmp $100000000,%r13d; jl top", notes=None):
        source = f"entry: xor %r13d,%r13d\ntop: {body}\n{index}\nret\nacc: .quad 0\n"
        results = analyse(hotspot_dump("JitBench::inc", source, notes))
        self.assertEqual(len(results), 1)
        return results[0]

    def flags(self, result):
        hot = result.hottest
        return ([("rule", r) for r in result.rules]
                + ([("cost", c) for c in hot.costs] if hot else []))

    def test_shapes(self):
        for name, (body, expected, *index) in SHAPES.items():
            with self.subTest(name):
                result = self.kernel(body, *index)
                flags = self.flags(result)
                if expected is None:
                    self.assertEqual(flags, [])
                    self.assertIn("accumulator 1 load(s), 1 store(s)", result.hottest.per_path[0])
                else:
                    kind, text = expected
                    self.assertTrue(any(k == kind and text in f for k, f in flags), flags)
                    self.assertEqual(bool(result.rules), kind == "rule", flags)

    def test_unrolled_and_counted_down_loops_count_per_iteration(self):
        update = "mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx);"
        for name, body, index, per_trip in (
                ("unrolled by 4", update * 4, "add $4,%r13d; cmp $100000000,%r13d; jl top", 4),
                ("counting down", update * 2, "sub $2,%r13d; jg top", 2),
                ("compared through a copy", update,
                 "mov %r13,%r11; add $1,%r11d; cmp $100000000,%r11d; mov %r11,%r13; jl top", 1)):
            with self.subTest(name):
                result = self.kernel(body, index)
                self.assertEqual(result.rules, [])
                self.assertEqual(result.hottest.iterations, per_trip)
                self.assertIn("accumulator 1 load(s), 1 store(s)", result.hottest.per_path[0])

    def test_unknown_index_counts_per_trip(self):
        # With no index to divide by, an unrolled loop is counted per trip
        # and flagged: the diagnostic says so rather than guess.
        update = "mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx);"
        result = self.kernel(update * 2, "dec %r8; mov %r8,%r9; test %r10,%r10; jne top")
        self.assertIn("iterations per trip unknown", result.hottest.per_path[0])
        self.assertTrue(result.rules)

    def test_index_in_a_stack_slot(self):
        # Liftoff's shape: the index loaded from its stack slot, counted down
        # by 5 (a 64-bit -5), tested through a setcc and stored back; a
        # tier-up budget in memory counted down too, deciding a call, not
        # the exit. The index is the slot; the counts are per iteration.
        body = (UPDATE + ";") * 5 + (
            " mov -0x3c(%rbp),%rax; add $-5,%rax; test %rax,%rax; sete %dl; movzbl %dl,%edx;"
            " test %edx,%edx; jne out; mov 0xaf(%rsi),%rbx; mov 0x8(%rbx),%edi;"
            " sub $0x7e,%edi; js tier; back: mov %edi,0x8(%rbx); mov %rax,-0x3c(%rbp)")
        result = self.kernel(body, "jmp top\nout: ret\ntier: call *%r10\njmp back")
        fast = [line for line in result.hottest.per_path if "slow" not in line]
        self.assertEqual(len(fast), 1, result.hottest.per_path)
        self.assertIn("5 iteration(s) per trip (index in memory at rbp@head - 0x3c += 5): per "
                      "iteration accumulator 1 load(s), 1 store(s)", fast[0])
        self.assertIn("extra store to rbp@head - 0x3c (the loop index): 0.2 per iteration",
                      "\n".join(result.rules))

    def test_branch_arm_out_of_line(self):
        # The odd arm lies after the loop and jumps back into it: both paths
        # are examined, and a fault on the out-of-line one is seen.
        for odd, fault in (("mov 0x10(%rbx),%rcx; sub $1,%rcx; mov %rcx,0x10(%rbx)", None),
                           ("mov 0x10(%rbx),%rcx; sub $1,%rcx; mov %rcx,0x10(%rbx);"
                            " mov %rcx,0x18(%rbx)", "extra store")):
            with self.subTest(fault=fault):
                source = (f"entry: xor %r13d,%r13d\ntop: test $1,%r13d\njne odd\n"
                          f"mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)\n"
                          f"next: inc %r13d; cmp $100000000,%r13d; jl top\nret\n"
                          f"odd: {odd}\njmp next\n")
                result = analyse(hotspot_dump("JitBench::branch", source))[0]
                self.assertEqual(len(result.hottest.loop.paths), 2)
                if fault:
                    self.assertTrue(any(fault in r for r in result.rules), result.rules)
                else:
                    self.assertEqual(result.rules, [])

    def test_strip_mined_inner_loop_is_the_hot_one(self):
        # C2's shape: an inner loop of 1000 iterations inside an outer one
        # that polls; the outer loop's poll is not charged to the inner.
        source = """
entry: xor %r13d,%r13d
outer: lea 1000(%r13),%r9
inner: mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)
       inc %r13d; cmp %r9d,%r13d; jl inner
       mov 0x348(%r15),%r10; test %eax,(%r10)
       cmp $100000000,%r13d; jl outer
       ret
"""
        result = analyse(hotspot_dump("JitBench::inc", source))[0]
        self.assertEqual(result.hottest.loop.head, BASE + assemble(source)[1]["inner"])
        self.assertEqual((result.rules, result.hottest.costs), ([], []))

    def test_strip_mined_reentry_is_an_outer_trip(self):
        # C2's other shape: the inner loop leaves by its bound test to the
        # outer loop's poll, which jumps back into the middle of the inner
        # loop. That path is the outer trip (once per strip): not judged.
        source = """
entry: xor %ecx,%ecx; mov $1000,%r8d
top:   mov 0x10(%rbx),%r10; add $1,%r10; mov %r10,0x10(%rbx)
       add $1,%ecx
       cmp %r8d,%ecx; jge outer
again: test $1,%ecx
       jmp top
outer: mov 0x348(%r15),%r10; test %eax,(%r10)
       cmp $100000000,%ecx; jge done
       lea 1000(%rcx),%r8d
       jmp again
done:  ret
"""
        result = analyse(hotspot_dump("JitBench::branch", source))[0]
        hot = result.hottest
        self.assertEqual((result.rules, hot.costs), ([], []))
        outer = [p for p in hot.loop.paths if p.exit_test is not None]
        self.assertTrue(outer and all(p.slow for p in outer))
        self.assertTrue(any("leaves by the bound test" in line for line in hot.per_path))

    def test_head_inside_padding_is_resynchronised(self):
        # A byte that a linear sweep reads as the start of a 5-byte mov
        # swallows the loop head; the sweep restarts at the branch target.
        source = "entry: jmp top\n.byte 0xb8\n" + HONEST.replace("entry: xor %r13d,%r13d", "")
        result = analyse(hotspot_dump("JitBench::inc", source))[0]
        self.assertIsNotNone(result.hottest)
        self.assertEqual(result.rules, [])
        self.assertEqual(result.hottest.loop.head, BASE + assemble(source)[1]["top"])

    def test_deoptimisation_exits_are_not_paths(self):
        # An uncommon trap falls through (in the code's layout) to a jump
        # back to the head; HotSpot's note says the call never returns.
        source = """
entry: xor %r13d,%r13d
top:   mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)
       test %rbx,%rbx; je trap
       inc %r13d; cmp $100000000,%r13d; jl top
       ret
trap:  mov %rcx,0x8(%rsp)
call1: call *%r10
       jmp top
"""
        plain = analyse(hotspot_dump("JitBench::inc", source))[0]
        # Without the note the trap is a slow path back to the head: shown, not judged.
        self.assertEqual(sorted(p.slow for p in plain.hottest.loop.paths), [False, True])
        self.assertEqual(plain.rules, [])
        noted = analyse(hotspot_dump("JitBench::inc", source,
                                     {"call1": "{runtime_call UncommonTrapBlob}"}))[0]
        self.assertEqual(noted.rules, [])
        self.assertEqual(len(noted.hottest.loop.paths), 1)

    def test_v8_shape_with_interrupt_check_and_slow_path(self):
        source = """
entry: xor %edx,%edx
top:   mov %rdx,%r11
       cmp $100000000,%r11d; jge done
       mov 0x47(%rdi),%r8; mov 0x3f(%rdi),%r12
       mov (%r12,%r8,1),%rdx; add $1,%rdx
       mov 0x47(%rdi),%r12; mov 0x3f(%rdi),%r15
       mov %rdx,(%r15,%r12,1)
       mov %r11,%rdx; add $1,%edx; jo deopt
       cmp -0x60(%r13),%rsp
       ja top
       jmp slow
done:  ret
slow:  mov %rdx,-0x80(%rbp)
       call *%rbx
       mov -0x80(%rbp),%rdx
       jmp top
deopt: call *-0x38(%r13)
"""
        text = v8_dump("inc", source, {"deopt": "debug: deopt reason 'overflow'"})
        result = analyse(text)[0]
        hot = result.hottest
        self.assertEqual(result.rules, [])
        self.assertEqual(hot.form, "[reg+reg*scale]")
        self.assertEqual([p.slow for p in hot.loop.paths], [False, True])
        self.assertIn("stack-limit compare", " ".join(hot.costs))
        self.assertIn("4 other load(s) per iteration", " ".join(hot.costs))

    def test_no_loop(self):
        result = analyse(hotspot_dump("JitBench::inc", "mov $100000000,%rcx\nmov %rcx,0x10(%rbx)\n"
                                      "ret\n"))[0]
        self.assertEqual(result.rules, [rules.NO_LOOP])

    def test_loopless_code_beside_code_with_the_loop_is_not_judged(self):
        loopless = hotspot_dump("JitBench::inc", "call *%r10\nret\n", tier=4)
        results = analyse(hotspot_dump("JitBench::inc", HONEST) + loopless)
        self.assertEqual([bool(r.rules) for r in results], [False, False])
        self.assertIn("not judged", results[1].note)

    def test_hottest_loop_first(self):
        def loop(head, length, *advances, slow=None):
            """A loop of `length` instructions from `head`: a fast path per
            advance (None: no index found), and a slow one advancing `slow`."""
            body = list(range(head, head + length))
            made = [paths.Path(body, [], advance) for advance in advances]
            if slow:
                made.append(paths.Path(body, [], slow, calls=[head]))
            return loops.Loop(head, [body[-1]], made)

        # name: (loops in code order, their iterations per trip, heads hottest first)
        cases = {
            "most iterations per trip first": ([loop(0, 50, 1), loop(100, 10, 4)], [1, 4],
                                               [100, 0]),
            "then the longest": ([loop(0, 10, 2), loop(100, 30, 2)], [2, 2], [100, 0]),
            "alike keep their order in the code": ([loop(0, 10, 2), loop(100, 10, 2)], [2, 2],
                                                   [0, 100]),
            "the fastest path of several": ([loop(0, 10, 1, 3), loop(100, 10, 2)], [3, 2],
                                            [0, 100]),
            "a slow path's advance does not count": (
                [loop(0, 10, 1, slow=8), loop(100, 10, 2)], [1, 2], [100, 0]),
            "no index counts as one per trip": ([loop(0, 20, None), loop(100, 10, 1)], [1, 1],
                                                [0, 100]),
        }
        for name, (made, iterations, heads) in cases.items():
            with self.subTest(name):
                self.assertEqual([lp.iterations for lp in made], iterations)
                # What the report prints for a loop is its judged report's.
                self.assertEqual([rules.judge(lp).iterations for lp in made], iterations)
                self.assertEqual([lp.head for lp in loops.hottest_first(made)], heads)


def tool(*args, figures=False):
    """The listing run on `args`; the split's figures, which time loops, only
    with `figures`."""
    quiet = ["--no-figures"] if args and not args[0].startswith("-") and not figures else []
    return run([sys.executable, os.path.join(TOOLS, "jit_loops.py"), *args, *quiet])


def verdicts(output):
    """kernel -> set of statuses ("ok", "FLAG", "note", "????") over its compilations."""
    found = {}
    for match in re.finditer(r"^(ok|FLAG|note|\?\?\?\?)\s+(\w+ loop):", output, re.M):
        found.setdefault(match[2], set()).add(match[1])
    return found


def kernel_blocks(output):
    """(kernel, its lines) for each compilation in the diagnostic's output."""
    parts = re.split(r"^(?=(?:ok|FLAG|note|\?\?\?\?)\s+\w+ loop:)", output, flags=re.M)
    return [(p.split(":", 1)[0].split(None, 1)[1], p) for p in parts[1:]]


def hottest_path_lines(output):
    return re.findall(r"^\s+path \d+(?! \(slow).*$", output, re.M)


# dump file: (exit status, kernels flagged, text that must appear, text that must not)
SAVED = {
    "hotspot_opaque.txt": (0, set(), "accumulator 1 load(s), 1 store(s)", "cost: poll"),
    "hotspot_opaque_warm.txt": (0, set(), "accumulator 1 load(s), 1 store(s)", "cost: poll"),
    "v8_biguint64array.txt": (0, set(), "stack-limit compare", None),
    "hotspot_plain_field.txt": (1, {INC, ARITH}, "in a register", None),
    "hotspot_volatile.txt": (1, {INC, ARITH, BRANCH}, "locked instruction (lock prefix)", None),
    "hotspot_long_index.txt": (0, set(), "safepoint poll page touch", None),
    "v8_biguint64array_warm.txt": (0, set(), "not judged", None),
    "hotspot_c1_tier3.txt": (2, set(), "rule not judged in: Inc loop", "rule kept in every"),
    "wasm_turbofan.txt": (0, set(), "kernel 3 of 3 in this code: timed between", None),
    "wasm_liftoff.txt": (1, {INC, ARITH, BRANCH}, "5 iteration(s) per trip (index in memory at "
                         "rbp@head - 0x3c += 5): per iteration accumulator 1 load(s), 1 store(s)",
                         None),
    "wasm_not_volatile_turbofan.txt": (1, {INC, ARITH, BRANCH}, "no loop between the kernel's "
                                       "clock calls", None),
    "wasm_not_volatile_liftoff.txt": (1, {INC, ARITH, BRANCH}, "no loop between the kernel's "
                                      "clock calls", None),
    # The tracing JITs: Branch's odd iterations through a side trace or bridge.
    "luajit_two_pointers.txt": (1, {BRANCH}, "extra store to r14@head - 0xec8: 1 per iteration "
                                "(at 0x55d8b2cefa4c, 0x55d8b2cefad5) (path 1)", "fewer than one"),
    "luajit_one_cell.txt": (1, {INC, ARITH, BRANCH}, "no load: the stored value is carried", None),
    "pypy_array_l_while.txt": (1, {BRANCH}, "extra store to rbp@head + 0x140: 1 per iteration "
                               "(at 0x7f4749ab2888) (path 2)", "fewer than one"),
    "pypy_for_range.txt": (1, {INC, ARITH, BRANCH}, "extra store to r15@head + 0x8: 1 per "
                           "iteration", None),
    "luajit_side_of_side.txt": (1, {BRANCH}, "1.5 per iteration (at 0x5621001afa4e, "
                                "0x5621001af9c8, 0x5621001afae5) (path 1)", None),
    "luajit_entry_side_traces.txt": (1, {BRANCH}, "judged (closed through a side trace", None),
    "luajit_exit_side_traces.txt": (1, {BRANCH}, "(slow: leaves by the bound test at "
                                    "0x56077d9bf472 and comes back; not judged)", None),
    "pypy_nested_loop.txt": (1, {BRANCH}, "(slow: leaves by the bound test at 0x7fc6c3dffb44 "
                             "and comes back; not judged)", None),
    "pypy_exit_bridges.txt": (1, {BRANCH}, "bridge out of Guard 0x7f29030f0260 (to the "
                              "interpreter)", None),
    "pypy_two_inner_loops.txt": (1, {BRANCH}, "(on to Loop 2: it leaves this loop)", None),
}


class SavedDumps(unittest.TestCase):
    def test_saved_dumps(self):
        for name, (status, flagged, present, absent) in SAVED.items():
            with self.subTest(name):
                result = tool("dump", os.path.join(DATA, name))
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                found = verdicts(result.stdout)
                self.assertEqual(set(found), set(KERNEL_NAMES))
                self.assertEqual({k for k, v in found.items() if "FLAG" in v}, flagged)
                self.assertIn(present, result.stdout)
                if absent:
                    self.assertNotIn(absent, result.stdout)

    def test_honest_dumps_do_one_load_and_one_store_per_iteration(self):
        for name in ("hotspot_opaque.txt", "hotspot_opaque_warm.txt", "v8_biguint64array.txt",
                     "wasm_turbofan.txt"):
            with self.subTest(name):
                lines = hottest_path_lines(tool("dump", os.path.join(DATA, name)).stdout)
                self.assertTrue(lines)
                for line in lines:
                    self.assertIn("accumulator 1 load(s), 1 store(s); other loads", line)
                    self.assertIn("other stores 0", line)

    def test_tracing_dumps_altered(self):
        # (dump, (text, replaced by), exit status, text in the output): a
        # guard's patches apply in order (an earlier one gives way, a later one
        # wins); the one-cell declaration is what makes LuaJIT's two pointers
        # one; a bridge's computed jump that cannot be proven leaves Branch not
        # judged; a dump cut short, a declaration not known, another backend,
        # a bridge without its operations (it cannot be told to its loop).
        patch, bogus = "patch 55d8b2cefb88 c0fe", "patch 55d8b2cefb88 0000"
        declared = "declare one cell, read through src and written through dst\n"
        lua, pypy = "luajit_two_pointers.txt", "pypy_array_l_while.txt"
        for name, (old, new), status, text in (
                (lua, (patch, f"{bogus}\n{patch}"), 1, "FLAG Branch loop"),
                (lua, (patch, f"{patch}\n{bogus}"), 0, "ok   Branch loop"),
                (lua, (declared, ""), 1, "FLAG Inc loop"),
                (pypy, ("4D8D9B105822ED41FFE3", "4C8B5D1090909041FFE3"), 2,
                 "a computed jump at 0x7f4749ab2896, whose target is not known"),
                (lua, ("end 0", ""), 2, "no `end` record"),
                (lua, (declared, "declare two cells\n"), 2, "which the listing does not know"),
                (pypy, ("BACKEND x86_64", "BACKEND aarch64"), 2, "only x86_64 is read"),
                (pypy, ("{jit-log-opt-bridge", "{jit-log"), 2, "no jit-log-opt section for bridge")):
            with self.subTest(name, new=new), tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(DATA, name), encoding="utf-8") as f:
                    text_in = f.read()
                self.assertIn(old, text_in)
                path = os.path.join(folder, name)
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text_in.replace(old, new))
                result = tool("dump", path)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertIn(text, result.stdout + result.stderr)

    def test_json_carries_the_verdicts(self):
        # One dump per reader: the JSON's kernels, in report order, have the
        # text's verdicts and flags, and a reason for every figure left null.
        for name in ("hotspot_volatile.txt", "wasm_liftoff.txt", "pypy_array_l_while.txt",
                     "hotspot_c1_tier3.txt"):
            with self.subTest(name):
                text, as_json = (tool("dump", os.path.join(DATA, name), *extra)
                                 for extra in ([], ["--format", "json"]))
                document = json.loads(as_json.stdout)
                self.assertEqual(as_json.returncode, text.returncode)
                self.assertEqual(document["exit_status"], text.returncode)
                kernels = document["kernels"]
                self.assertEqual([k["kernel"] for k in kernels], list(KERNEL_NAMES))
                found = verdicts(text.stdout)
                self.assertEqual([k["verdict"] for k in kernels],
                                 ["flag" if "FLAG" in found[k] else "????" if "????" in found[k]
                                  else "ok" for k in KERNEL_NAMES])
                for kernel in kernels:
                    for rule in kernel["rules"]:
                        self.assertIn(f"rule: {rule}", text.stdout)
                    self.assertEqual(set(kernel["refused"]), {"chain_ms", "path_ms", "run_ms",
                                                              "floor_ms"})
                    self.assertTrue(all(kernel[f] is None for f in kernel["refused"]))

    def test_save_round_trip(self):
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "copy.txt")
            first = tool("dump", os.path.join(DATA, "hotspot_volatile.txt"), "--save", copy)
            second = tool("dump", copy)
        strip = lambda text: text.split("\n", 1)[1]  # noqa: E731 (the origin line differs)
        self.assertEqual(strip(first.stdout), strip(second.stdout))

    def test_errors(self):
        with tempfile.TemporaryDirectory() as folder:
            empty = os.path.join(folder, "empty.txt")
            open(empty, "w", encoding="utf-8").close()
            for args, text in ((["dump", empty], "no compiled code"),
                               (["dump", os.path.join(folder, "missing.txt")], "No such file"),
                               (["java", "--java", os.path.join(folder, "none")], "not found"),
                               (["java", "--java", "false"], "exited with status 1"),
                               (["dump", os.path.join(DATA, "hotspot_overlapping_code.txt")],
                                "two different bytes at 0x7f0000001003"),
                               (["dump", os.path.join(DATA, "hotspot_beyond_64_bits.txt")],
                                "beyond the 64-bit address space"),
                               (["wasm", "--wasm", empty + ".wasm"],
                                "no such file (the WebAssembly module)")):
                with self.subTest(args=args):
                    result = tool(*args)
                    self.assertEqual(result.returncode, 2, result.stdout)
                    self.assertIn(text, result.stderr)

    def test_help_says_it_is_a_diagnostic(self):
        self.assertIn("not a proof", tool("--help").stdout)


# ---------------------------------------------------------- jitdump files

NODE_JITDUMP = os.path.join(DATA, "node_perf_prof.dump")
RECORD = struct.Struct("<IIQ")  # id, size, timestamp
LOAD = struct.Struct("<IIQQQQ")  # pid, tid, vma, code address, code size, code index


def record(kind, payload):
    return RECORD.pack(kind, RECORD.size + len(payload), 0) + payload


def nth_load(data, n):
    """(offset, size, code address, code size, code index) of record n (from 0)."""
    offset = 40
    for _ in range(n):
        offset += RECORD.unpack_from(data, offset)[1]
    return (offset, RECORD.unpack_from(data, offset)[1]) + LOAD.unpack_from(data, offset + 16)[3:]


def swapped(data):
    return struct.pack(">IIIIIIQQ", *struct.unpack_from("<IIIIIIQQ", data)) + data[40:]


def patched(data, offset, fmt, value):
    return data[:offset] + struct.pack(fmt, value) + data[offset + struct.calcsize(fmt):]


# name: (the file made from the good one, extra arguments, exit status, words
# expected on stderr, or on stdout when the file is read)
def malformed(good):
    second = nth_load(good, 1)[0]
    _, _, address, size, index = nth_load(good, 1)  # the TurboFan code of inc
    stray = LOAD.pack(1, 1, 0, 0x1000, 0, 7)
    move = struct.pack("<IIQQQQQ", 1, 1, address + 0x100000, address, address + 0x100000, size,
                       index)
    return {
        "empty": (b"", [], 2, "not a jitdump file (0 bytes"),
        "cut inside the file header": (good[:20], [], 2, "truncated: 20 bytes, less than the"),
        "another magic": (b"\x7fELF" + good[4:], [], 2, "not a jitdump file (magic 0x464c457f"),
        "the other byte order": (swapped(good), [], 2, "magic reads 0x4454694a, 0x4a695444 "
                                 "byte-swapped (written big-endian)"),
        "version 2": (patched(good, 4, "<I", 2), [], 2, "jitdump version 2; only version 1"),
        "AArch64 code": (patched(good, 12, "<I", 183), [], 2,
                         "ELF machine 183 (AArch64), not x86-64 (62)"),
        "a header larger than the file": (patched(good, 8, "<I", len(good) + 1), [], 2,
                                          "the file header gives its size as"),
        "cut inside a record header": (good[:second + 8], [], 2,
                                       "8 byte(s) at offset %d, less than a 16-byte" % second),
        "cut inside a record": (good[:second + 100], [], 2, "runs past the end of the file"),
        "a record smaller than its header": (patched(good, second + 4, "<I", 8), [], 2,
                                             "size 8, smaller than its 16-byte header"),
        "a code load smaller than its fields": (patched(good, second + 4, "<I", 40), [], 2,
                                                "too few for its fields (40) and a name"),
        "a name without its NUL": (good + record(0, stray + b"inc"), [], 2,
                                   "its name has no terminating NUL"),
        "code past its record": (good + record(0, stray[:24] + struct.pack("<QQ", 99, 7) + b"i\0"),
                                 [], 2, "99 byte(s) of code run past the record's size"),
        "a move of code never loaded": (good + record(1, move[:-8] + struct.pack("<Q", 12345)),
                                        [], 2, "moves code index 12345, which no earlier"),
        "a kernel not in the file": (good, ["--kernels", "inc,sum,branch"], 2,
                                     "no code for Arith loop in %s: no record with code has a "
                                     "name holding the word 'sum'"),
        "an unknown record read past": (good[:40] + record(99, b"12345678") + good[40:], [], 0,
                                        "rule kept in every kernel's"),
        "inc's code moved": (good + record(1, move), [], 0,  # its loop head, 0x100000 on
                             "hottest loop: head 0x7ff64c106a80,"),
    }


class Jitdumps(unittest.TestCase):
    """perf's jitdump files: node's, read as its own listing is; every
    malformed file refused with its reason; the kernels found by name."""

    def test_malformed_files_are_refused(self):
        with open(NODE_JITDUMP, "rb") as f:
            good = f.read()
        for name, (data, extra, status, words) in malformed(good).items():
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "jit-1.dump")
                with open(path, "wb") as f:
                    f.write(data)
                result = tool("jitdump", path, *extra)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                if status == 2:
                    self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
                if name in ("empty", "cut inside a record", "a kernel not in the file"):
                    # The same refusal in JSON mode: no document, one line.
                    as_json = tool("jitdump", path, *extra, "--format", "json")
                    self.assertEqual((as_json.returncode, as_json.stdout, as_json.stderr),
                                     (2, "", result.stderr))
                self.assertIn(words.replace("%s", path), result.stderr if status == 2
                              else result.stdout)

    def test_node_dump_saved_trimmed_and_read_back(self):
        result = tool("jitdump", NODE_JITDUMP)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(verdicts(result.stdout), {k: {"ok"} for k in KERNEL_NAMES})
        with tempfile.TemporaryDirectory() as folder:
            saved, trimmed = os.path.join(folder, "saved.txt"), os.path.join(folder, "t.dump")
            tool("jitdump", NODE_JITDUMP, "--save", saved, "--trim", trimmed)
            again = tool("dump", saved)
            with open(NODE_JITDUMP, "rb") as f, open(trimmed, "rb") as g:
                self.assertEqual(f.read(), g.read())  # it holds the kernels' records alone
            self.assertIn("is a jitdump file", tool("dump", trimmed).stderr)
        strip = lambda text: text.split("\n", 1)[1]  # noqa: E731 (the origin line differs)
        self.assertEqual(strip(again.stdout), strip(result.stdout))

    def test_node_route(self):
        # A stand-in for node: it rejects --code-comments when REJECT is set,
        # prints a saved V8 listing for --print-opt-code, and for --perf-prof
        # writes node's saved jitdump as jit-PID.dump where it runs.
        for reject, route in (("", "code from its --print-opt-code listing"),
                              ("1", "code from the jitdump it wrote (%s rejects --print-opt-code "
                                    "--code-comments)")):
            with self.subTest(route), tempfile.TemporaryDirectory() as folder:
                fake = os.path.join(folder, "node")
                with open(fake, "w", encoding="utf-8") as f:
                    f.write(f"""#!/bin/sh
case "$*" in *--code-comments*) [ -n "$REJECT" ] && {{ echo "bad option" >&2; exit 9; }}
  [ "$3" = -e ] || cat '{DATA}/v8_biguint64array.txt';; *) pwd > '{folder}/cwd'
  cp '{NODE_JITDUMP}' jit-$$.dump;; esac\n""")
                os.chmod(fake, 0o755)
                result = run([sys.executable, os.path.join(TOOLS, "jit_loops.py"), "node",
                              "--node", fake, "--no-figures"], {"REJECT": reject})
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertIn(route.replace("%s", fake), result.stdout.split("\n")[0])
                if reject:  # in a folder of its own, removed
                    with open(os.path.join(folder, "cwd"), encoding="utf-8") as f:
                        self.assertFalse(os.path.exists(f.read().strip()))
        self.assertIn("--perf-prof where node rejects", tool("--help").stdout)

    def test_kernel_names(self):
        # record name: the kernels it holds by the default names, and by "main" alone
        cases = {"JS:*inc /work/inc.js:36:13": ([INC], []), "LazyCompile:*arith x:1": ([ARITH], []),
                 "bench:branch/1": ([BRANCH], []), "JIT$inc": ([INC], []),
                 "JS:*increment": ([], []), "JS:*run /path/inc": ([], []), "inc_loop": ([], []),
                 "JS:__original_main-8-liftoff": ([], []), "JS:main-8-turbofan": ([], KERNEL_NAMES)}
        default, main = jitdump.KernelNames.parse("inc,arith,branch"), jitdump.KernelNames(["main"])
        for name, (kernels, together) in cases.items():
            with self.subTest(name):
                self.assertEqual(list(default.kernels_of(name)), kernels)
                self.assertEqual(list(main.kernels_of(name)), list(together))


# --------------------------------------------- the walk's bounds

def diamonds(k, label, arm="add $1,%rdx", odd=None):
    """k two-armed branches in a row, each arm `arm`: 2^k ways through.
    `odd`, when given, replaces the first branch's fall-through arm, the
    one a walk (taken arms first) reaches last."""
    lines = []
    for n in range(k):
        fall = odd if odd and n == 0 else arm
        lines += [f"test ${1 << (n % 31)},%r13d", f"jne {label}{n}b", fall, f"jmp {label}{n}e",
                  f"{label}{n}b: {arm}", f"{label}{n}e:"]
    return "\n".join(lines)


UPDATE = "mov 0x10(%rbx),%rcx; add $1,%rcx; mov %rcx,0x10(%rbx)"
MANY = 30  # branches in a row: 2^30 ways through, more than any walk could take
EXTRA_STORE = "mov %rdx,0x18(%rbx)"


def branchy(k, arm="add $1,%rdx", odd=None, label="d"):
    """The honest loop with k two-armed branches inside: 2^k paths."""
    return (f"entry: xor %r13d,%r13d\n{label}top: {UPDATE}\n{diamonds(k, label, arm, odd)}\n"
            f"inc %r13d; cmp $100000000,%r13d; jl {label}top\nret\n")


def strip_mined(k, stub=True):
    """An inner loop inside an outer one whose own code, after the inner
    loop, has k two-armed branches; with `stub`, an out-of-line block
    returning into the inner loop (its jump back is a backward branch from
    which the walk must not explore the outer code's 2^k dead ends)."""
    return (f"entry: xor %r13d,%r13d\nouter: lea 1000(%r13),%r9\n"
            f"inner: {UPDATE}\n" + ("test %rcx,%rcx; je stub\n" if stub else "")
            + f"cont: inc %r13d; cmp %r9d,%r13d; jl inner\n{diamonds(k, 'o')}\n"
            "cmp $100000000,%r13d; jl outer\nret\n"
            + ("stub: mov $1,%rdx\njmp cont\n" if stub else ""))


def walked(source):
    """The loops of `source` as HotSpot code, walked, none of their paths run."""
    compilation = dumps.parse_dump(hotspot_dump("JitBench::inc", source))[0]
    code = {i.address: i for i in disassemble(compilation.segments, compilation.annotations)}
    predecessors = {}
    for insn in code.values():
        for successor in loops.successors(insn, code):
            predecessors.setdefault(successor, []).append(insn.address)
    return loops.walk_loops(code, predecessors), assemble(source)[1]


# name: (source, bounds (MAX_PATHS, MAX_STEPS) or None for the tool's own,
#        expected: ("ok", paths of the hottest loop) | ("flag", text, paths)
#                  | ("not judged", text))
BOUNDED = {
    "3 branches: 8 paths": (branchy(3), (64, 3000), ("ok", 8)),
    "3 branches, an extra store on one arm": (branchy(3, odd=EXTRA_STORE), (64, 3000),
                                              ("flag", "extra store to rbx@head + 0x18", 8)),
    "6 branches: 64 paths, at the bound": (branchy(6), (64, 3000), ("ok", 64)),
    "7 branches: more paths than the bound": (branchy(7), (64, 3000),
                                              ("not judged", "(more than 64 paths)")),
    "7 branches, an extra store beyond the bound": (
        branchy(7, odd=EXTRA_STORE), (64, 3000), ("not judged", "(more than 64 paths)")),
    "the same, the bounds doubled": (branchy(7, odd=EXTRA_STORE), (128, 6000),
                                     ("flag", "extra store to rbx@head + 0x18", 128)),
    "long arms: more work than the bound first": (
        branchy(5, arm="add $1,%rdx;" * 20), (64, 3000),
        ("not judged", "(more than 3000 steps, dead ends included, after ")),
    "an honest loop beside one too large to walk": (
        branchy(0, label="a").replace("ret\n", "") + branchy(7, label="b").replace(
            "entry: xor %r13d,%r13d\n", ""), (64, 3000), ("not judged", "(more than 64 paths)")),
    "many branches": (branchy(MANY), None, ("not judged", "(more than 4096 paths)")),
    "many branches in the outer loop, dead ends past a stub's return": (
        strip_mined(MANY), None, ("ok", 2)),
}


class WalkBounds(unittest.TestCase):
    """The walk through a loop's paths is bounded by the paths it finds and
    by the work it does (dead ends included); a loop it cannot walk to the
    end is said so and never judged, nor its compilation: a path not walked
    could break the rule."""

    def test_bounded_shapes(self):
        for name, (source, bounds, expected) in BOUNDED.items():
            with self.subTest(name):
                paths_bound, steps_bound = bounds or (loops.MAX_PATHS, loops.MAX_STEPS)
                with mock.patch.object(loops, "MAX_PATHS", paths_bound), \
                        mock.patch.object(loops, "MAX_STEPS", steps_bound):
                    result = analyse(hotspot_dump("JitBench::inc", source))[0]
                hot = result.hottest
                seen = (hot and len(hot.loop.paths), result.rules, result.unjudged)
                if expected[0] == "not judged":
                    self.assertEqual((hot, result.rules, len(result.unjudged)), (None, [], 1), seen)
                    self.assertIn(expected[1], result.unjudged[0])
                    self.assertIn("it may be the hottest loop", result.unjudged[0])
                    continue
                self.assertEqual((len(hot.loop.paths), result.unjudged), (expected[-1], []), seen)
                if expected[0] == "ok":
                    self.assertEqual(result.rules, [])
                else:
                    self.assertTrue(any(expected[1] in r for r in result.rules), result.rules)

    def test_other_loops_listed_beside_one_not_walked(self):
        source = BOUNDED["an honest loop beside one too large to walk"][0]
        with mock.patch.object(loops, "MAX_PATHS", 64):
            result = analyse(hotspot_dump("JitBench::inc", source))[0]
        self.assertEqual([(o.loop.head, o.rules) for o in result.others],
                         [(BASE + assemble(source)[1]["atop"], [])])
        out = io.StringIO()
        show(result, False, out)
        self.assertRegex(out.getvalue(), r"^\?\?\?\? Inc loop: .*\n       not judged: the loop at "
                         r"0x[0-9a-f]+ \(backward branch at 0x[0-9a-f]+\) was not walked to the "
                         r"end \(more than 64 paths\);.*\n       other innermost loop at ")

    def test_enclosing_loop_is_known_before_its_paths_are_run(self):
        # The outer loop has 2^30 paths; its walk stops at the first one,
        # which passes the inner loop's latch, and none of its paths is run.
        for stub in (False, True):
            with self.subTest(stub=stub):
                found, labels = walked(strip_mined(MANY, stub))
                heads = {loop.head - BASE: loop for loop in found}
                self.assertEqual(sorted(heads), sorted([labels["outer"], labels["inner"]]))
                outer, inner = heads[labels["outer"]], heads[labels["inner"]]
                self.assertEqual(len(outer.trails), 1)
                self.assertEqual(outer.encloses, inner.latches[0])
                self.assertEqual((outer.truncated, outer.paths), ("", []))
                self.assertEqual((inner.truncated, inner.encloses, len(inner.trails)),
                                 ("", None, 2 if stub else 1))
                self.assertEqual(loops.innermost(found), [inner])

    def test_saved_tier_3_code_is_not_judged(self):
        # HotSpot's C1 code of inc (tier 3, profiled): its loop has more
        # paths than any walk could finish (an earlier version never ended).
        # It is inc's top tier in this dump: inc is not judged (exit 2).
        result = tool("dump", os.path.join(DATA, "hotspot_c1_tier3.txt"))
        self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
        self.assertEqual(verdicts(result.stdout), {INC: {"????"}, ARITH: {"ok"}, BRANCH: {"ok"}})
        self.assertRegex(result.stdout, r"not judged: the loop at 0x[0-9a-f]+ \(backward branch "
                         r"at 0x[0-9a-f]+, 0x[0-9a-f]+\) was not walked to the end \(more than")
        self.assertTrue(result.stdout.endswith(
            "rule not judged in: Inc loop (a loop too large to walk: see above)\n"))

    def test_exit_status(self):
        honest = {k: hotspot_dump(f"JitBench::{k}", HONEST) for k in ("arith", "branch")}
        broken = hotspot_dump("JitBench::branch", branchy(0).replace(
            "add $1,%rcx", f"add $1,%rcx; {EXTRA_STORE}"))
        hidden = hotspot_dump("JitBench::inc", branchy(MANY, odd=EXTRA_STORE))
        loopless = hotspot_dump("JitBench::inc", "call *%r10\nret\n")
        # name: (dump, exit status, verdicts, last lines)
        cases = {
            "a break past the bound": (
                hidden + honest["arith"] + honest["branch"], 2,
                {INC: {"????"}, ARITH: {"ok"}, BRANCH: {"ok"}},
                ["rule not judged in: Inc loop (a loop too large to walk: see above)"]),
            "a break found beside it": (
                hidden + honest["arith"] + broken, 1,
                {INC: {"????"}, ARITH: {"ok"}, BRANCH: {"FLAG"}},
                ["rule broken in: Branch loop",
                 "rule not judged in: Inc loop (a loop too large to walk: see above)"]),
            "loopless code beside it is noted": (
                loopless + hidden + honest["arith"] + honest["branch"], 2,
                {INC: {"note", "????"}, ARITH: {"ok"}, BRANCH: {"ok"}},
                ["rule not judged in: Inc loop (a loop too large to walk: see above)"]),
        }
        for name, (text, status, found, last) in cases.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                path = os.path.join(folder, "dump.txt")
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                result = tool("dump", path)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertEqual(verdicts(result.stdout), found)
                self.assertEqual(result.stdout.splitlines()[-len(last):], last)


# ------------------------------------------- loops shared out among kernels

def kernel_loop(label, body=UPDATE):
    return (f"xor %r13d,%r13d\n{label}: {body}\ninc %r13d; cmp $100000000,%r13d; jl {label}\n")


def timing_main(loops, between="call print", before=""):
    """One function timing three kernels: each loop between two calls to
    `clock`, `between` after each second call."""
    stretches = [f"call clock\n{loop}call clock\n{between}\n" for loop in loops]
    return before + "".join(stretches) + "ret\nclock: ret\nprint: ret\n"


LOOPS = [kernel_loop("l1"), kernel_loop("l2"), kernel_loop("l3")]
# name: (code, status per kernel, a text expected in the report)
TOGETHER = {
    "each kernel between its clock calls": (timing_main(LOOPS), "ok ok ok", "kernel 2 of 3"),
    "a loop removed": (timing_main(["mov $100000000,%rcx\n"] + LOOPS[1:]), "FLAG ok ok",
                       "no loop between the kernel's clock calls at"),
    "an extra store in the second": (
        timing_main([LOOPS[0], kernel_loop("l2", f"{UPDATE}; {EXTRA_STORE}"), LOOPS[2]]),
        "ok FLAG ok", "extra store to rbx@head + 0x18"),
    "a remainder loop after the main loop": (
        timing_main(LOOPS[:2] + [kernel_loop("l3", f"{UPDATE}; {UPDATE}").replace(
            "inc %r13d", "add $2,%r13d") + kernel_loop("l4")]), "ok ok ok",
        "other innermost loop at"),
    "a loop removed, another outside every stretch": (
        timing_main(["nop\n"] + LOOPS[1:], before=kernel_loop("l0")), "???? ok ok",
        "its loop may be laid out there"),
    "a loop before the first clock call is no kernel's": (
        timing_main(LOOPS, before=kernel_loop("l0", EXTRA_STORE)), "ok ok ok", "kernel 1 of 3"),
    "a call inside a stretch: no clock": (
        timing_main([LOOPS[0], "call print\n" + LOOPS[1], LOOPS[2]]), "???? ???? ????",
        "no direct call target is called exactly 6 times"),
    "another target called in pairs: two clocks": (
        timing_main(LOOPS, between="call print\ncall print"), "???? ???? ????",
        "several call targets could be it"),
}


class KernelMapping(unittest.TestCase):
    """Code timing all three kernels in one function (the WebAssembly
    build's main): each kernel's loops are those between its clock calls."""

    def test_side_trace_given_after_its_root(self):
        # A tracing JIT's kernel: the root trace's loop takes the even
        # iterations; a guard sends the odd ones to a side trace, placed
        # below the root in memory, which jumps back to the loop's head.
        # Given root first, the side trace is one more path of that loop.
        for odd, flagged in (("", []), (f"; {EXTRA_STORE}", ["extra store to rbx@head + 0x18"])):
            with self.subTest(flagged=flagged):
                step = "inc %r13d; cmp $100000000,%r13d; jl top; ret"
                data, labels = assemble(
                    f"side: {UPDATE.replace('add', 'sub')}{odd}; {step}\nroot: xor %r13d,%r13d\n"
                    f"top: test $1,%r13d; jne side; {UPDATE}; {step}\n")
                cut = labels["root"]
                result = analysis.analyse(dumps.Compilation("LuaJIT", "TRACE 1", BRANCH, "", [
                    (BASE + cut, data[cut:]), (BASE, data[:cut])], {}, ""))
                self.assertEqual([len(result.hottest.loop.paths), result.others], [2, []])
                self.assertEqual([r.split(":")[0] for r in result.rules], flagged)

    def test_side_trace_reentering_the_root(self):
        # LuaJIT's shape: a side trace jumps back to its root trace's entry,
        # whose first part (one iteration) runs into the loop. Out of the
        # loop, it is a path of that loop through both; out of the entry
        # part, it closes a loop of its own, judged too (its guard failed
        # often, or there would be no side trace). name: (guard in the entry
        # part, guard in the loop, the side trace's extra, flags, (paths of
        # the hottest loop, other loops))
        guard = "test $1,%r13d; jne side;"
        cases = {"out of the loop": ("", guard, "", [], (2, 0)),
                 "out of the loop, an extra store": ("", guard, f"; {EXTRA_STORE}",
                                                     ["extra store to rbx@head + 0x18"], (2, 0)),
                 "out of the entry part": (guard, "", f"; {EXTRA_STORE}",
                                           ["extra store to rbx@head + 0x18"], (1, 1))}
        for name, (entry, inner, extra, flagged, shape) in cases.items():
            with self.subTest(name):
                step = "inc %r13d; cmp $100000000,%r13d"
                data, labels = assemble(
                    f"side: {UPDATE.replace('add', 'sub')}{extra}; {step}; jl root; ret\n"
                    f"root: {entry} {UPDATE}; {step}; jge out\n"
                    f"top: {inner} {UPDATE}; {step}; jl top\nout: ret\n")
                cut = labels["root"]
                result = analysis.analyse(dumps.Compilation("LuaJIT", "TRACE 1", BRANCH, "", [
                    (BASE + cut, data[cut:]), (BASE, data[:cut])], {}, ""))
                self.assertEqual((len(result.hottest.loop.paths), len(result.others)), shape)
                self.assertEqual([r.split(":")[0] for r in result.rules], flagged)

    def test_kernels_in_one_function(self):
        for name, (source, statuses, text) in TOGETHER.items():
            with self.subTest(name):
                compilation = dumps.Compilation("V8", "main", None, "", [(BASE, assemble(
                    source)[0])], {}, "", kernels=KERNEL_NAMES)
                out = io.StringIO()
                for result in analysis.analyse_all(compilation):
                    show(result, False, out)
                found = re.findall(r"^(ok|FLAG|\?\?\?\?) +(\w+ loop):", out.getvalue(), re.M)
                self.assertEqual(found, list(zip(statuses.split(), KERNEL_NAMES)), out.getvalue())
                self.assertIn(text, out.getvalue())


# ------------------------------------------------ the diagnostic's layers

def layer_problems(folder, layers):
    """What breaks the layering of the package in `folder`: a module missing
    from `layers` or listed there without a file, a module importing one of
    the package's modules not listed before it, a module other than x86
    importing the check's package (loopcheck) directly, the package's
    __init__ importing any of its modules (loading the package would load
    it under every layer). Only import statements are read: a module
    imported at run time by name (importlib) is not seen."""
    modules = sorted(name[:-3] for name in os.listdir(folder)
                     if name.endswith(".py") and name != "__init__.py")
    problems = [f"{name}: not in LAYERS" for name in modules if name not in layers]
    problems += [f"{name}: in LAYERS, no file" for name in layers if name not in modules]
    for module in modules + ["__init__"]:
        with open(os.path.join(folder, module + ".py"), encoding="utf-8") as f:
            tree = ast.parse(f.read())
        for node in ast.walk(tree):
            if isinstance(node, ast.ImportFrom):
                # "from . import x": path [""], names [x]; "from .x import y": ["", "x"]
                path = [""] * node.level + (node.module.split(".") if node.module else [])
                named = [(path, [a.name for a in node.names])]
            elif isinstance(node, ast.Import):
                named = [(a.name.split("."), []) for a in node.names]
            else:
                continue
            for path, names in named:
                if path[0] == "loopcheck" and module != "x86":
                    problems.append(f"{module}: imports loopcheck, not through x86")
                if path[0] not in ("", "jitloops"):
                    continue
                inner = [p for p in path[1:] if p][:1] or names
                for other in inner:
                    if module == "__init__":
                        problems.append(f"__init__: imports {other}")
                    elif other not in layers or module not in layers \
                            or layers.index(other) >= layers.index(module):
                        problems.append(f"{module}: imports {other}, not a layer below it")
    return problems


class Layers(unittest.TestCase):
    FOLDER = os.path.dirname(os.path.abspath(jitloops.__file__))

    def test_modules_import_only_the_layers_below(self):
        self.assertEqual(layer_problems(self.FOLDER, jitloops.LAYERS), [])

    def test_faulty_imports_are_found(self):
        # (module, line added, the problem expected) on a copy of the package
        cases = [
            ("x86", "from .driver import main", "x86: imports driver, not a layer below it"),
            ("rules", "from . import output", "rules: imports output, not a layer below it"),
            ("dumps", "import jitloops.analysis", "dumps: imports analysis, not a layer below it"),
            ("loops", "from jitloops import rules", "loops: imports rules, not a layer below it"),
            ("paths", "from .paths import Path", "paths: imports paths, not a layer below it"),
            ("symbolic", "from loopcheck import state",
             "symbolic: imports loopcheck, not through x86"),
            ("accesses", "import loopcheck.objdump",
             "accesses: imports loopcheck, not through x86"),
            ("output", "from .extra import show", "output: imports extra, not a layer below it"),
            ("__init__", "from .driver import main", "__init__: imports driver"),
        ]
        for module, line, expected in cases:
            with self.subTest(module, line=line), tempfile.TemporaryDirectory() as folder:
                copy = os.path.join(folder, "jitloops")
                shutil.copytree(self.FOLDER, copy, ignore=shutil.ignore_patterns("__pycache__"))
                with open(os.path.join(copy, module + ".py"), "a", encoding="utf-8") as f:
                    f.write(line + "\n")
                self.assertEqual(layer_problems(copy, jitloops.LAYERS), [expected])
        layers = jitloops.LAYERS
        self.assertEqual(layer_problems(self.FOLDER, layers + ("extra",)),
                         ["extra: in LAYERS, no file"])
        self.assertEqual(layer_problems(self.FOLDER, tuple(m for m in layers if m != "output")),
                         ["output: not in LAYERS", "driver: imports output, not a layer below it",
                          "output: imports accesses, not a layer below it",
                          "output: imports results, not a layer below it"])


# --------------------------------------------- live runs of the diagnostic

# Java variants: (name, edits of the real source) that the diagnostic must flag.
VARIANTS = {
    "plain field": [(r"X\.setOpaque\(a, (.*)\);", r"a.x = \1;"),
                    (r"\(long\) X\.getOpaque\(a\)(?=[ *;)])", "a.x")],
    "volatile field": [(r"X\.setOpaque\(a, (.*)\);", r"a.x = \1;"),
                       (r"\(long\) X\.getOpaque\(a\)(?=[ *;)])", "a.x"),
                       (r"private long x;", "private volatile long x;")],
    "long index": [(r"for \(int i = 0;", "for (long i = 0;")],
}


def variant_source(edits):
    with open(JAVA_SOURCE, encoding="utf-8") as f:
        source = f.read()
    for pattern, replacement in edits:
        source, count = re.subn(pattern, replacement, source)
        assert count, pattern
    return source


# What a JIT compiles, and at which tier, depends on how soon its compiler
# threads finish beside the running loop: a neighbour on the processors can
# leave a kernel without its top-tier code.
JIT_TIMING = "the JIT's compiler threads race the timed loops"


class JavaLoops(unittest.TestCase):
    RUN_ALONE = JIT_TIMING

    @classmethod
    def setUpClass(cls):
        cls.java = need("java", "JDK")
        cls.classes = need("classes", "JDK")
        cls.javac = need("javac", "JDK")

    def diagnose(self, classes, *extra):
        return tool("java", "--java", self.java, "--classpath", classes, *extra)

    def test_counterpart_keeps_the_rule(self):
        for warmup in ("0", "2"):
            with self.subTest(warmup=warmup):
                result = self.diagnose(self.classes, "--warmup", warmup)
                self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
                self.assertEqual(set(verdicts(result.stdout)), set(KERNEL_NAMES))
                lines = hottest_path_lines(result.stdout)
                self.assertTrue(lines)
                for line in lines:
                    self.assertIn("accumulator 1 load(s), 1 store(s); other loads 0, other "
                                  "stores 0", line)
                # The int index: no poll on the hot path (one may sit on the
                # path through a strip-mined loop's outer trip).
                for kernel, block in kernel_blocks(result.stdout):
                    self.assertRegex(block, r"path \d+, .*polls 0\n", kernel)

    def test_faulty_variants_are_flagged(self):
        for name, edits in VARIANTS.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as folder:
                source = os.path.join(folder, "JitBench.java")
                with open(source, "w", encoding="utf-8") as f:
                    f.write(variant_source(edits))
                subprocess.run([self.javac, "-d", folder, source], check=True)
                result = self.diagnose(folder)
                if name == "long index":  # the rule holds; the poll is a cost
                    self.assertRegex(result.stdout, r"polls [1-9]")
                    continue
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                found = verdicts(result.stdout)
                if name == "plain field":
                    self.assertIn("FLAG", found[INC])
                    self.assertIn("in a register", result.stdout)
                else:
                    self.assertTrue(all("FLAG" in v for v in found.values()), found)
                    self.assertIn("lock prefix", result.stdout)


class NodeLoops(unittest.TestCase):
    RUN_ALONE = JIT_TIMING

    @classmethod
    def setUpClass(cls):
        cls.node = need("node", "node")

    def test_counterpart_keeps_the_rule(self):
        result = tool("node", "--node", self.node, "--script", NODE_SCRIPT)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        self.assertEqual(set(verdicts(result.stdout)), set(KERNEL_NAMES))
        lines = hottest_path_lines(result.stdout)
        self.assertTrue(lines)
        for line in lines:
            self.assertIn("accumulator 1 load(s), 1 store(s)", line)
            self.assertIn("other stores 0", line)

    def test_jitdump_judged_as_its_listing(self):
        # One run writes both: the same code, judged line for line alike
        # (the lines naming each compilation aside).
        with tempfile.TemporaryDirectory() as folder:
            listing = os.path.join(folder, "listing.txt")
            with open(listing, "w", encoding="utf-8") as f:
                subprocess.run([self.node, "--perf-prof", "--print-opt-code", "--code-comments",
                                NODE_SCRIPT], stdout=f, cwd=folder, check=True, timeout=600)
            (written,) = [n for n in os.listdir(folder) if re.match(r"jit-\d+\.dump$", n)]
            both = [tool("dump", listing), tool("jitdump", os.path.join(folder, written))]
        unnamed = [re.sub(r"^(\S+ +\w+ loop:).*", r"\1", r.stdout, flags=re.M).split("\n", 1)[1]
                   for r in both]
        self.assertEqual([r.returncode for r in both], [0, 0], both[1].stdout)
        self.assertEqual(unnamed[1], unnamed[0])
        self.assertEqual(len(verdicts(both[1].stdout)), 3)


class WasmLoops(unittest.TestCase):
    """The benchmark built here for wasm32-wasi, and a copy whose accumulator
    is not volatile (flagged in both tiers)."""

    @classmethod
    def setUpClass(cls):
        cls.node = need("node", "node")
        cls.folder = tempfile.TemporaryDirectory()
        cls.addClassCleanup(cls.folder.cleanup)
        with open(os.path.join(ROOT, "bench_c_jit_compare.cpp"), encoding="utf-8") as f:
            source = f.read()
        cls.modules = {}
        for name, text in (("honest", source), ("not volatile", source.replace(
                "volatile std::uint64_t x", "std::uint64_t x"))):
            path = os.path.join(cls.folder.name, name.replace(" ", "_"))
            with open(path + ".cpp", "w", encoding="utf-8") as f:
                f.write(text)
            built = run(["clang++", "--target=wasm32-wasi", "-O2", "-std=c++20", "-o",
                         path + ".wasm", path + ".cpp"])
            if built.returncode != 0:
                raise unittest.SkipTest(f"clang++ cannot build for wasm32-wasi: {built.stderr}")
            cls.modules[name] = path + ".wasm"

    def test_both_tiers(self):
        # (module, tier's option, exit status, words that must appear)
        cases = [("honest", [], 1, "per iteration accumulator 1 load(s), 1 store(s)"),
                 ("honest", ["--no-liftoff"], 0, "rule kept in every kernel's hottest loop"),
                 ("not volatile", [], 1, "no loop between the kernel's clock calls"),
                 ("not volatile", ["--no-liftoff"], 1, "accumulator kept in a register")]
        for module, tier, status, words in cases:
            with self.subTest(module=module, tier=tier):
                result = tool("wasm", "--node", self.node, "--wasm", self.modules[module],
                              "--runner", WASM_RUNNER, *tier)
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                self.assertEqual(set(verdicts(result.stdout)), set(KERNEL_NAMES))
                self.assertIn(words, result.stdout)


class LuaJITDump(unittest.TestCase):
    """The listing's LuaJIT loader (tools/jitloops/luajit_dump.lua) on the
    counterpart: a looping root trace per kernel with all its bytes, Branch's
    side trace, and after it the patch that turns the root trace's guard into
    a jump to the side trace."""

    @classmethod
    def setUpClass(cls):
        cls.luajit = need("luajit", "luajit")

    def test_a_program_sees_its_own_arguments(self):
        # As under plain luajit: the program's name at arg[0], its arguments
        # in arg and in ..., the interpreter at arg[-1].
        with tempfile.TemporaryDirectory() as folder:
            script = os.path.join(folder, "args.lua")
            with open(script, "w", encoding="utf-8") as f:
                f.write('print(arg[0], #arg, arg[1], arg[2], arg[-1], select("#", ...), ...)\n')
            for args in ([], ["7", "two words"]):
                with self.subTest(args=args):
                    plain = run([self.luajit, script, *args])
                    loaded = run([self.luajit, LUA_DUMP, os.path.join(folder, "dump.txt"), script,
                                  *args])
                    self.assertEqual((plain.returncode, loaded.returncode), (0, 0), loaded.stderr)
                    self.assertEqual(loaded.stdout, plain.stdout)

    def test_traces_and_the_patch_to_the_side_trace(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "dump.txt")
            result = run([self.luajit, LUA_DUMP, path, LUA_SCRIPT], {TEST_VARIABLE: "1001"})
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertEqual([r.x for r in parse(result.stdout)], expected_finals(1001))
            with open(path, encoding="utf-8") as f:
                records = [line.split() for line in f]
        self.assertEqual((records[0], records[-1]), (["luajit-trace-dump", "1"], ["end", "0"]))
        starts = {r[1]: (r[2], r[5]) for r in records if r[0] == "start"}  # trace: parent, function
        roots = {f: t for t, (p, f) in starts.items() if p == "0"}
        sides = [(t, p) for t, (p, f) in starts.items() if p != "0"]
        self.assertEqual((sorted(roots), [p for _, p in sides]),
                         (["arith", "branch", "inc"], [roots["branch"]]))
        memory, code = {}, {}  # code: trace -> (address, size, link type)
        for record in records:
            if record[0] == "code":
                code[record[1]] = (int(record[2], 16), int(record[3]), record[6])
            elif record[0] in ("bytes", "patch"):
                start = int(record[1], 16)
                memory.update(zip(range(start, start + len(record[2]) // 2),
                                  bytes.fromhex(record[2])))
                if record[0] == "patch":
                    self.assertIn(sides[0][0], code, "a patch written before the side trace")
        self.assertEqual({code[t][2] for t in roots.values()}, {"loop"})
        for address, size, _ in code.values():
            self.assertTrue(all(a in memory for a in range(address, address + size)))
        parent, target = code[sides[0][1]], code[sides[0][0]][0]
        jumps = [a for a in range(parent[0], parent[0] + parent[1] - 5)
                 if memory[a] == 0x0F and 0x80 <= memory[a + 1] <= 0x8F
                 and a + 6 + int.from_bytes(bytes(memory[a + 2 + k] for k in range(4)),
                                            "little", signed=True) == target]
        self.assertEqual(len(jumps), 1, "the guard patched to the side trace")


class TracingLoops:
    """The listing on a tracing JIT's counterpart, run live, cold and warm:
    Inc and Arith keep the rule; Branch breaks it on the path through its
    side trace or bridge, whose extra store is named."""

    def test_counterpart(self):
        program = need(self.runtime, self.runtime)
        for warmup in ("0", "2"):
            with self.subTest(warmup=warmup):
                result = tool(self.runtime, f"--{self.runtime}", program, "--script", self.script,
                              "--warmup", warmup)
                self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
                self.assertEqual(verdicts(result.stdout),
                                 {INC: {"ok"}, ARITH: {"ok"}, BRANCH: {"FLAG"}})
                self.assertRegex(result.stdout, self.extra_store)


class LuaJITLoops(TracingLoops, unittest.TestCase):
    runtime, script = "luajit", LUA_SCRIPT
    extra_store = r"extra store to r14@head - 0x\w+: 1 per iteration .*\(path 1"


class PyPyLoops(TracingLoops, unittest.TestCase):
    runtime, script = "pypy", PYPY_SCRIPT
    extra_store = r"extra store to rbp@head \+ 0x\w+: 1 per iteration .*\(path 2"


# --------------------------------------------------------- the replay

TINY = 1000  # iterations: the replay's tests check what each run did, never a time


def replay_folder():
    """Where the replay's programs are built and kept: the build's folder,
    or one of this run's own."""
    if OPTIONS.build_dir:
        return OPTIONS.build_dir
    if not hasattr(replay_folder, "temporary"):
        replay_folder.temporary = tempfile.TemporaryDirectory()
    return replay_folder.temporary.name


# saved dump: per kernel, None when the chain and the path are both measured,
# else words of the path's refusal (or of another figure's, as (figure, words))
REPLAYED = {
    "hotspot_opaque.txt": (None, None, None), "v8_biguint64array.txt": (None, None, None),
    "wasm_turbofan.txt": (None, None, None), "wasm_liftoff.txt": (None, None, None),
    "pypy_array_l_while.txt": (None, None, None),
    "luajit_two_pointers.txt": (None, None, "flags set by `ucomisd %xmm6,%xmm7`"),
    "hotspot_c1_tier3.txt": ("no judged loop to replay: the kernel was not judged", None, None),
    # Made here (README.md): Inc's loop as named, Arith's and Branch's calling out.
    "replay_bound_in_code.txt": (None, "every path of the loop calls out", "every path"),
    "replay_cell_over_exit.txt": ("would write over code a run can reach", "every path",
                                  "every path"),
    "replay_at_the_chains_place.txt": (("chain_ms", "where the chain's loop is placed"),
                                       "every path", "every path"),
    "replay_far_return.txt": ("runs `lretq` at 0x7f000000102d", "every path", "every path"),
    "replay_computed_jump.txt": ("jumps through %r11 at 0x7f0000001045", "every path",
                                 "every path"),
    # Made here: every kernel's loop calls out on its one path.
    "calls out": ["every path of the loop calls out"] * 3,
}
CALLING = HONEST.replace("jl top", "call away\n       jl top") + "away: ret\n"


class Replay(unittest.TestCase):
    """The replay at a tiny count: the known kernels (tools/replay_known.s)
    land after exactly their iterations with the accumulator right, natively
    and replayed from the jitdump that wraps them; saved dumps give both
    figures or name why not, and the run and floor figures their reasons; a
    replay sent off its path, or ended after the wrong count, gives none."""

    def test_known_kernels(self):
        result = run([sys.executable, os.path.join(TOOLS, "replay_known.py"), "--iterations",
                      str(TINY), "--rounds", "1", "--format", "json", "--build", replay_folder()])
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        rows = json.loads(result.stdout)["rows"]
        self.assertEqual(len(rows), 18)
        for row in rows:
            with self.subTest(row["form"], kernel=row["kernel"]):
                self.assertEqual(row["refused"], {})
                self.assertEqual((row["replay_iterations"], row["native_right"]), (TINY, True))
                self.assertIsNotNone(row["chain_ms"])
                self.assertEqual(row["verdict"], "flag" if row["form"] == "index_store" else "ok")

    def test_saved_dumps(self):
        folder = replay_folder()
        with open(os.path.join(folder, "calls out"), "w", encoding="utf-8") as f:
            f.write("".join(hotspot_dump(f"JitBench::{m}", CALLING) for m in ("inc", "arith",
                                                                               "branch")))
        for name, expected in REPLAYED.items():
            with self.subTest(name):
                path = os.path.join(DATA if name.endswith(".txt") else folder, name)
                result = tool("dump", path, "--format", "json",
                              "--replay-iterations", str(TINY), "--rounds", "1", "--floor",
                              os.path.join(replay_folder(), "no_bench_floor"), "--build",
                              replay_folder(), figures=True)
                kernels = json.loads(result.stdout)["kernels"]
                for kernel, words in zip(kernels, expected):
                    refused = kernel["refused"]
                    self.assertIn("has no run", refused.pop("run_ms"))
                    self.assertIn("no bench_floor at", refused.pop("floor_ms"))
                    if words is None:
                        self.assertEqual(refused, {}, kernel["kernel"])
                        # (A rotated loop's bound test may end it part-way through a trip.)
                        self.assertIn(TINY - kernel["replay"]["iterations"], range(4))
                    else:
                        key, words = words if isinstance(words, tuple) else ("path_ms", words)
                        self.assertIn(words, refused[key], kernel["kernel"])
        # A count below two trips of the unrolled loop is refused, not run.
        result = tool("dump", os.path.join(DATA, "hotspot_opaque.txt"), "--format", "json",
                      "--replay-iterations", "7", "--rounds", "1", "--floor", "none", "--build",
                      folder, figures=True)
        self.assertIn("fewer than two trips of 4", json.loads(result.stdout)["kernels"][0][
            "refused"]["path_ms"])

    def test_routes_take_the_run_from_the_counterparts_report(self):
        # Stand-ins for the runtimes: each prints a report and gives a saved
        # dump the way its route reads it (printed, or written to the file
        # it is told); a report whose accumulator is wrong gives no run figure.
        # A stand-in floor far slower than any chain makes every chain suspect.
        good = render([11.5, 22.25, 33.0], banner="=== stand-in ===")
        slow = render([100000.0] * 3, banner="=== stand-in floor ===")
        bad = good.replace("(x=0)", "(x=1)")
        # (route, saved dump, how it is handed over, report, run figures or refusal)
        cases = [("java", "hotspot_opaque.txt", 'cat "$DUMP"', good, [11.5, 22.25, 33.0]),
                 ("node", "v8_biguint64array.txt", 'case "$*" in *-e*) exit 0;; esac; cat "$DUMP"',
                  good, [11.5, 22.25, 33.0]),
                 ("luajit", "luajit_two_pointers.txt", 'cp "$DUMP" "$2"', good, [11.5, 22.25, 33.0]),
                 ("pypy", "pypy_array_l_while.txt", 'cp "$DUMP" "${PYPYLOG#*:}"', good,
                  [11.5, 22.25, 33.0]),
                 ("pypy", "pypy_array_l_while.txt", 'cp "$DUMP" "${PYPYLOG#*:}"', bad,
                  "gives Branch loop: x=1, not 0")]
        for route, dump, hand_over, printed, expected in cases:
            with self.subTest(route, expected=expected), tempfile.TemporaryDirectory() as folder:
                fake = os.path.join(folder, route)
                with open(fake, "w", encoding="utf-8") as f:
                    f.write(f"#!/bin/sh\nDUMP='{os.path.join(DATA, dump)}'\n{hand_over}\n"
                            f"printf '%s' '{printed}'\n")
                floor = os.path.join(folder, "bench_floor")
                with open(floor, "w", encoding="utf-8") as f:
                    f.write(f"#!/bin/sh\nprintf '%s' '{slow}'\n")
                os.chmod(fake, 0o755)
                os.chmod(floor, 0o755)
                result = tool(route, f"--{route}", fake, "--format", "json", "--replay-iterations",
                              str(TINY), "--rounds", "1", "--floor", floor, "--build",
                              replay_folder(), figures=True)
                document = json.loads(result.stdout)
                self.assertIn("cpu family", document["machine"])
                for kernel in document["kernels"]:
                    self.assertEqual(kernel["floor_ms"], 100000.0)
                    if kernel["chain_ms"] is not None:
                        self.assertIn("chain/floor", " ".join(kernel["suspect"]))
                runs = [k["run_ms"] for k in document["kernels"]]
                if isinstance(expected, list):
                    self.assertEqual(runs, expected)
                else:
                    self.assertEqual(runs, [None] * 3)
                    self.assertIn(expected, document["kernels"][0]["refused"]["run_ms"])

    def test_runs_off_their_path_give_no_figure(self):
        from jitloops import harness as replay_harness, known, replay
        with tempfile.TemporaryDirectory() as folder:
            data = known.wrap(*known.assemble(folder))
        program = replay_harness.built(replay_folder())
        # (the description's line for the path's entry state, changed to,
        # the words of the path's refusal): the type word the guarded loop
        # checks made to differ, its index started late, its bound moved.
        cases = [("reg r9 0", "reg r9 1", "the replay left its path at"),
                 ("reg rcx 0", "reg rcx 5", "not what 1000 iterations of Inc loop give"),
                 (f"reg rsi {TINY:x}", f"reg rsi {TINY + 8:x}",
                  "did not run exactly 1000 iterations")]
        for old, new, words in cases:
            with self.subTest(new):
                kernel = known.kernels_of(data, "guarded")[0]
                original = replay.describe

                def altered(*args):
                    text = original(*args)
                    head, path = text.split("experiment path\n", 1)
                    self.assertIn(old + "\n", path)
                    return head + "experiment path\n" + path.replace(old + "\n", new + "\n", 1)

                with mock.patch.object(replay, "describe", altered):
                    replay.replay(kernel, program, TINY, 1)
                self.assertIsNone(kernel.figures["path_ms"])
                self.assertIn(words, kernel.refused["path_ms"])
                self.assertIsNotNone(kernel.figures["chain_ms"])  # the chain ran as it was


RUNTIME_GROUPS = {"JavaReport": "java", "JavaLoops": "java", "NodeReport": "node",
                  "NodeMutants": "node", "NodeLoops": "node", "WasmReport": "wasm",
                  "WasmTurboFanReport": "wasm", "WasmLoops": "node", "LuaJITReport": "luajit",
                  "LuaJITDump": "luajit", "PyPyReport": "pypy", "LuaJITLoops": "luajit",
                  "PyPyLoops": "pypy", "LLIReport": "lli_ir"}
RUNTIMES = {"java": "a JDK", "node": "node", "wasm": "node or the wasm32-wasi toolchain",
            "luajit": "luajit", "pypy": "pypy3", "lli_ir": "lli (or a clang++ build)"}


def add_arguments(parser):
    parser.add_argument("--build-dir", help="the build's folder, where the replay's programs "
                        "are built and kept")
    parser.add_argument("--java", help="the java launcher of the JDK the build found")
    parser.add_argument("--javac", help="its javac")
    parser.add_argument("--classes", help="where the build put JitBench.class")
    parser.add_argument("--node", help="the node executable")
    parser.add_argument("--wasm", help="the benchmark built for wasm32-wasi (with --node)")
    parser.add_argument("--wasm-small-dir", help="where its small-count builds are")
    parser.add_argument("--luajit", help="the luajit executable")
    parser.add_argument("--pypy", help="the pypy3 executable")
    parser.add_argument("--lli-ir", help="the benchmark as LLVM IR, for jit/lli_bench.sh")
    parser.add_argument("--fake-clock", help="the clock double (tests/fake_clock.cpp) to preload")


def before_run():
    """Exit 77 (skipped) when every group asked for needs a runtime the build
    did not find; the tools the diagnostic needs must be there."""
    asked = OPTIONS.groups or harness.groups(sys.modules["__main__"])
    absent = [g for g in asked if g in RUNTIME_GROUPS and not getattr(OPTIONS,
                                                                     RUNTIME_GROUPS[g])]
    if asked and len(absent) == len(asked):
        runtime = RUNTIMES[RUNTIME_GROUPS[absent[0]]]
        print(f"skipped: {', '.join(absent)} need(s) {runtime}, which the build did not find")
        return 77
    missing = [t for t in ("objdump", "as", "objcopy", "nm") if shutil.which(t) is None]
    if missing:
        print(f"binutils missing: {', '.join(missing)}", file=sys.stderr)
        return 1
    return None


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments, before_run))
