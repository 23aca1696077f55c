#!/usr/bin/env python3
"""Tests of the check's parts (tools/loopcheck) on listings, without a
compiler: hand-written objdump excerpts, and saved listings of real builds.

  Disassembly: the parser, the allowlist, the execution model and the
    counting on small hand-written excerpts; a period described alike on
    every run.
  ControlFlow: where control goes after each kind of instruction, and which
    calls never return and whether they end the process or resume.
  Rules: the records the rules hand on to each other, and the order rules
    run in (a new rule's seam).
  SavedListings: the exact verdicts on saved listings of clang++ 14 and
    g++ 12 builds (tests/listings), whatever compilers are installed.
  AArch64Model: the AArch64 instruction model and allowlist on lines of
    the saved AArch64 listings and on hand-written ones.
  Layers: each module of the package imports only the layers below it.

    test_check_loops_parts.py [GROUP ...]
"""
import argparse
import ast
import importlib
import os
import re
import subprocess
import sys
import unittest

import harness
import loopcheck
from loopcheck import counting, isa, rules
from loopcheck.aarch64 import allowlist as aarch64_allowlist
from loopcheck.aarch64.instructions import parse as parse_aarch64
from loopcheck.aarch64.syntax import Other
from loopcheck.controlflow import NoReturn, next_addresses
from loopcheck.driver import NO_STARTUP, analyse_text, verdict_lines
from loopcheck.elf import STARTUP_HEADER
from loopcheck.exits import Exits
from loopcheck.graph import build_graph
from loopcheck.objdump import Program
from loopcheck.rules import ALL_KERNELS
from loopcheck.state import describe
from loopcheck.values import Context, Value
from loopcheck.x86_64 import registers as x86_registers
from loopcheck.x86_64.allowlist import Decoded, decode
from loopcheck.x86_64.conditions import condition, narrowing
from loopcheck.x86_64.interpreter import execute
from loopcheck.x86_64.listing import parse_line
from loopcheck.x86_64.registers import State
from loopcheck.x86_64.toolchain import clock_shape_why
from report import ITERATIONS, KERNEL_NAMES

INC, ARITH, BRANCH = KERNEL_NAMES
LISTINGS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "listings")


def program_text(loops, clock="clock_gettime@plt", clock_id=1, got=False,
                 reset="movq   $0x0,0x8(%rsp)", load_id=("mov    ${:#x},%edi",), prologue=(),
                 extra=""):
    """objdump-style text of a main with three measurements; each loop is
    a list of instruction texts run between the clock calls, where `@N`
    stands for the address of the loop's N-th instruction. `load_id` puts
    the clock id into %edi before each first clock call; `prologue` comes
    first in main; `extra` (more symbols, the block of what runs before
    main) ends the listing."""
    lines, address = ["0000000000001000 <main>:"], 0x1000

    def emit(text):
        nonlocal address
        lines.append(f"    {address:x}:\t{text}")
        address += 4
    emit("sub    $0x28,%rsp")
    for text in prologue:
        emit(text)
    for body in loops:
        emit(reset)
        emit("lea    0x10(%rsp),%rsi")
        for text in load_id:
            emit(text.format(clock_id))
        emit(f"call   *0x1000(%rip)        # 3000 <{clock}>" if got else f"call   2000 <{clock}>")
        emit("test   %eax,%eax")
        emit("jne    1ff0 <fail>")
        first = address
        for text in body:
            emit(text.replace("@{", "{").format(*[f"{first + 4 * n:x}" for n in range(len(body))])
                 if "@{" in text else text)
        emit("lea    0x10(%rsp),%rsi")
        emit(f"mov    ${clock_id:#x},%edi")
        emit(f"call   *0x1000(%rip)        # 3000 <{clock}>" if got else f"call   2000 <{clock}>")
        emit("mov    0x8(%rsp),%rsi")
        emit("call   2010 <printf@plt>")
    emit("add    $0x28,%rsp")
    emit("ret")
    lines += ["", "0000000000001ff0 <fail>:", "    1ff0:\tcall   2020 <abort@plt>", "",
              # As static glibc's clock_gettime does: the system call.
              f"0000000000002000 <{clock}>:", "    2000:\tmov    $0xe4,%eax",
              "    2005:\tsyscall", "    2007:\tret", "",
              "0000000000002010 <printf@plt>:", "    2010:\tjmp    *0x1(%rip)", "",
              "0000000000002020 <abort@plt>:", "    2020:\tjmp    *0x1(%rip)", "",
              "0000000000002030 <setitimer@plt>:", "    2030:\tjmp    *0x1(%rip)", "",
              "0000000000002040 <__errno_location@plt>:", "    2040:\tjmp    *0x1(%rip)", ""]
    return "\n".join(lines) + "\n" + extra


def loop_of(update, step, bound_setup, test, jump):
    """Loop instructions: an index set up, `update` on the accumulator, the
    index stepped, then `test` and a conditional jump back to the update."""
    return [bound_setup, *update, step, test, f"{jump} @{{{1}}}"]


INC_RMW = ["addq   $0x1,0x8(%rsp)"]
N = ITERATIONS


def shapes(n):
    """Loop shapes over n iterations (n a multiple of 20): name -> (loop
    instructions, accumulator updates they make)."""
    return {
        "count down, jne": (loop_of(INC_RMW, "sub    $0x1,%rax", f"mov    ${n:#x},%eax",
                                    "test   %rax,%rax", "jne"), n),
        "count down by 5, signed immediate": (
            [f"mov    ${n:#x},%eax", *INC_RMW * 5, "add    $0xfffffffffffffffb,%rax",
             "jne @{1}"], n),
        "count up, jl": (loop_of(INC_RMW, "add    $0x1,%rax", "xor    %eax,%eax",
                                 f"cmp    ${n:#x},%rax", "jl"), n),
        "count up, jle (one more)": (loop_of(INC_RMW, "add    $0x1,%rax", "xor    %eax,%eax",
                                             f"cmp    ${n:#x},%rax", "jle"), n + 1),
        "count up, jb": (loop_of(INC_RMW, "inc    %rcx", "xor    %ecx,%ecx",
                                 f"cmp    ${n:#x},%rcx", "jb"), n),
        "count up from -n, js": (loop_of(INC_RMW, "add    $0x1,%rdx",
                                         f"mov    $0x{(1 << 64) - n:x},%rdx",
                                         "test   %rdx,%rdx", "js"), n),
        "extra update every 4th trip, test of the low bits": (
            ["xor    %eax,%eax", *INC_RMW, "test   $0x3,%al", "jne @{5}", *INC_RMW,
             "add    $0x1,%rax", f"cmp    ${n:#x},%rax", "jne @{1}"], n + n // 4),
        "extra update every 8th trip, a period of 8 trips": (
            ["xor    %eax,%eax", *INC_RMW, "test   $0x7,%al", "jne @{5}", *INC_RMW,
             "add    $0x1,%rax", f"cmp    ${n:#x},%rax", "jne @{1}"], n + (n + 7) // 8),
        "32-bit index, jne": (loop_of(INC_RMW, "add    $0xffffffff,%eax",
                                      f"mov    ${n:#x},%eax", "test   %eax,%eax", "jne"), n),
        "unrolled by 3 with a remainder loop": (
            [f"mov    ${n:#x},%eax", "cmp    $0x2,%rax", "jbe @{8}", *INC_RMW * 3,
             "sub    $0x3,%rax", "jmp @{1}", "test   %rax,%rax", "je @{13}", *INC_RMW,
             "dec    %rax", "jmp @{8}", "nop"], n),
    } | ({} if n > 1 << 20 else {
        # Its period is longer than the check proves in one go: it skips the
        # trips between two extra updates, and over 1e8 trips runs out of steps.
        "extra update every 1024th trip, test of ten low bits": (
            ["xor    %eax,%eax", *INC_RMW, "test   $0x3ff,%eax", "jne @{5}", *INC_RMW,
             "add    $0x1,%rax", f"cmp    ${n:#x},%rax", "jne @{1}"], n + (n - 1) // 1024 + 1),
    })


class Disassembly(unittest.TestCase):
    def test_parser_keeps_prefixes_targets_and_operands(self):
        cases = [
            ("  1210:\tlock addq $0x1,(%rsp)", ("lock",), "addq", ["$0x1", "(%rsp)"], None),
            ("  1201:\tcs nopw 0x0(%rax,%rax,1)", ("cs",), "nopw", ["0x0(%rax,%rax,1)"], None),
            ("  1105:\timul   $0x3b9aca00,0x20(%rsp),%rbp", (), "imul",
             ["$0x3b9aca00", "0x20(%rsp)", "%rbp"], None),
            ("  10f8:\tcall   1060 <clock_gettime@plt>", (), "call", [], 0x1060),
            ("  1132:\tjne    1120 <main+0x50>", (), "jne", [], 0x1120),
        ]
        for line, prefixes, mnemonic, operands, target in cases:
            with self.subTest(line):
                insn = parse_line(line)
                self.assertEqual((insn.prefixes, insn.mnemonic, insn.operands, insn.target),
                                 (prefixes, mnemonic, operands, target))

    def test_allowlist_names_what_it_rejects(self):
        cases = {"lock addq $0x1,(%rsp)": "lock prefix", "pause": "pause",
                 "lfence": "fence", "prefetcht0 (%rsp)": "prefetch", "rdtsc": "timing",
                 "xchg %rax,(%rsp)": "atomic exchange", "rep stos %rax,%es:(%rdi)": "rep",
                 "syscall": "system", "paddq %xmm1,%xmm0": "vector",
                 "call 1060 <srand@plt>": "call", "jmp *%rax": "indirect jump",
                 "loop 1000 <main>": "counter register",
                 "addq $0x1,(%rsp)": None, "xchg %ax,%ax": None, "endbr64": None,
                 "cs nopw 0x0(%rax,%rax,1)": None, "cmovne %rcx,%rax": None,
                 "ds jne 1000 <main>": None, "data16 addq $0x1,(%rsp)": "prefix data16"}
        for text, expected in cases.items():
            with self.subTest(text):
                decoded = decode(parse_line(f"  1000:\t{text}"))
                if expected is None:
                    self.assertTrue(decoded.allowed, decoded.refusal)
                else:
                    self.assertFalse(decoded.allowed)
                    self.assertIn(expected, decoded.refusal)

    def test_immediates_and_extensions(self):
        # (instruction, %rax before, %rax after): objdump prints a negative
        # immediate in the operation's width, and a 32-bit result clears
        # the upper half of its register.
        cases = [("add    $0xfffffffffffffffb,%rax", 10, 5),
                 ("add    $0xfffffffb,%eax", 10, 5),
                 ("add    $0xfffffffb,%eax", (1 << 40) + 3, (1 << 32) - 2),
                 ("mov    $0xfffffffffffffffe,%rax", 0, (1 << 64) - 2),
                 ("sub    $0x1,%al", 0x100, 0x1ff),
                 ("movslq %eax,%rax", 0xfffffffe, (1 << 64) - 2),
                 ("movsbq %al,%rax", 0x80, (1 << 64) - 128),
                 ("movzbl %al,%eax", 0x1ff, 0xff),
                 ("lea    -0x5(%rax),%rax", 3, (1 << 64) - 2),
                 ("lea    0x7(%rax,%rax,2),%eax", 1 << 31, 7 + (1 << 31)),
                 ("and    $0xfffffffffffffffe,%rax", 7, 6),
                 ("sar    $0x3,%rax", (1 << 64) - 16, (1 << 64) - 2),
                 ("shr    $0x3,%rax", (1 << 64) - 16, (1 << 61) - 2)]
        for text, before, after in cases:
            with self.subTest(text, before=before):
                insn = parse_line(f"  1000:\t{text}")
                state = State({"rax": Value(before)})
                execute(insn, decode(insn), state, Context())
                self.assertEqual(state.regs["rax"], Value(after))

    def test_exit_conditions_follow_the_flags(self):
        values = [0, 1, 5, (1 << 63) - 1, 1 << 63, (1 << 64) - 1, (1 << 64) - 5]
        conditions = {"e": lambda a, b, sa, sb: a == b, "ne": lambda a, b, sa, sb: a != b,
                      "b": lambda a, b, sa, sb: a < b, "be": lambda a, b, sa, sb: a <= b,
                      "a": lambda a, b, sa, sb: a > b, "ae": lambda a, b, sa, sb: a >= b,
                      "l": lambda a, b, sa, sb: sa < sb, "le": lambda a, b, sa, sb: sa <= sb,
                      "g": lambda a, b, sa, sb: sa > sb, "ge": lambda a, b, sa, sb: sa >= sb}
        insn = parse_line("  1000:\tcmp    %rcx,%rax")
        for a in values:
            for b in values:
                state = State({"rax": Value(a), "rcx": Value(b)})
                execute(insn, Decoded("cmp", 64), state, Context())
                sa, sb = Value(a).signed(), Value(b).signed()
                for cc, expected in conditions.items():
                    self.assertEqual(condition(cc, state.flags, Context()),
                                     expected(a, b, sa, sb), f"j{cc} after cmp {b:#x},{a:#x}")

    def test_loop_shapes_count_exactly(self):
        for name, (body, expected) in shapes(N).items():
            with self.subTest(name):
                kernels = analyse_text(program_text([body] * 3))
                for kernel in kernels:
                    if expected == N:
                        self.assertEqual(kernel.faults, [], kernel.name)
                    else:
                        self.assertTrue(any(f"read {expected} and written {expected}" in f
                                            for f in kernel.faults), kernel.faults)

    def test_skipping_periods_changes_no_count(self):
        def counts(text):
            return [(k.reads, k.writes) for k in analyse_text(text)]
        for n in (20, 1000, 1980):
            for name, (body, expected) in shapes(n).items():
                with self.subTest(name, n=n):
                    text = program_text([body] * 3)
                    skipping = counts(text)
                    saved, counting.MAX_PERIOD = counting.MAX_PERIOD, 0
                    try:
                        stepping = counts(text)
                    finally:
                        counting.MAX_PERIOD = saved
                    self.assertEqual(skipping, stepping)
                    self.assertEqual(skipping, [(expected, expected)] * 3)

    def test_program_level_faults(self):
        good = loop_of(INC_RMW, "sub    $0x1,%rax", f"mov    ${N:#x},%eax",
                       "test   %rax,%rax", "jne")
        endless = ["mov    $0x1,%eax", *INC_RMW, "test   %rax,%rax", "jne @{1}"]
        cases = {
            "unresolved jump target": ([good, good, good[:-1] + ["jne 4000 <nowhere>"]], {},
                                       "not code the check can read"),
            "wrong clock id": ([good] * 3, {"clock_id": 0}, "not CLOCK_MONOTONIC"),
            "static glibc clock": ([good] * 3, {"clock": "__clock_gettime"}, None),
            "clock through the GOT": ([good] * 3, {"clock": "clock_gettime@GLIBC_2.17",
                                                   "got": True}, None),
            "another function through the GOT": ([good] * 3, {"clock": "time@GLIBC_2.2.5",
                                                              "got": True}, "0 clock calls"),
            "loop that never ends": ([good, good, endless], {}, "never exits"),
            # Twice the trips, an update on every other one: the right count,
            # but not the claimed loop (g++ makes this of i < 2N, if (i & 1)).
            "a trip without an update": ([good, good, [
                "xor    %eax,%eax", "test   $0x1,%al", "je @{4}", *INC_RMW, "add    $0x1,%rax",
                f"cmp    ${2 * N:#x},%rax", "jne @{1}"]], {},
                "a trip around the loop reads the accumulator 0 and writes it 0 time(s)"),
            "clock id reloaded from the stack": ([good] * 3, {"load_id": (
                "movq   ${:#x},0x20(%rsp)", "mov    0x20(%rsp),%rdi")}, None),
            "clock id reloaded after a store over it": ([good] * 3, {"load_id": (
                "movq   ${:#x},0x20(%rsp)", "movl   $0x0,0x24(%rsp)", "mov    0x20(%rsp),%rdi")},
                "the clock id is not a known constant"),
            "half the accumulator reset": ([good] * 3, {"reset": "movl   $0x0,0x8(%rsp)"},
                                           "no object written inside the timed stretch is reset"),
            "half the accumulator updated": ([good, [good[0], "addl   $0x1,0x8(%rsp)",
                                                     *good[2:]], good], {},
                                             "accesses 32 bits of the accumulator"),
        }
        for name, (loops, options, expected) in cases.items():
            with self.subTest(name):
                faults = [f for k in analyse_text(program_text(loops, **options))
                          for f in k.faults]
                if expected is None:
                    self.assertEqual(faults, [])
                else:
                    self.assertTrue(any(expected in f for f in faults), faults)

    def test_periods_are_described_alike_on_every_run(self):
        # Two registers step in the loop: the description of its period
        # must not depend on the order Python happens to keep them in.
        body = [f"mov    ${N:#x},%eax", "xor    %ecx,%ecx", *INC_RMW, "sub    $0x1,%rax",
                "add    $0x1,%rcx", "test   %rax,%rax", "jne @{2}"]
        expected = ("loop at 1024: 99999997 periods of 5 instructions, 1 read(s) and 1 write(s) "
                    "of the accumulator each, registers step by {'rax': -1, 'rcx': 1} "
                    "(reads = writes = the advance of %rax or %rcx)")
        tools = os.path.dirname(os.path.dirname(os.path.abspath(loopcheck.__file__)))
        show = ("import sys\nfrom loopcheck.driver import analyse_text\n"
                "print(analyse_text(sys.stdin.read())[0].periods[0])")
        for hash_key in range(8):
            with self.subTest(PYTHONHASHSEED=hash_key):
                run = subprocess.run([sys.executable, "-c", show], input=program_text([body] * 3),
                                     capture_output=True, text=True, check=True,
                                     env={**os.environ, "PYTHONHASHSEED": str(hash_key),
                                          "PYTHONPATH": tools})
                self.assertEqual(run.stdout.strip(), expected)


class ControlFlow(unittest.TestCase):
    def test_where_control_goes_after_each_kind_of_instruction(self):
        # (instruction, addresses after it when calls return, when they do not)
        follows = [0x1004]
        cases = [("ret", [], []), ("iretq", [], []), ("sysretq", [], []), ("hlt", [], []),
                 ("ud2", [], []), ("jmp    1100 <f>", [0x1100], [0x1100]),
                 ("jmp    *%rax", [], []), ("notrack jmp *0x8(%rax)", [], []),
                 ("jne    1100 <f>", [0x1100, *follows], [0x1100, *follows]),
                 ("loop   1100 <f>", [0x1100, *follows], [0x1100, *follows]),
                 ("add    $0x1,%rax", follows, follows), ("syscall", follows, follows),
                 ("call   1100 <f>", follows, []), ("call   *0x2fe2(%rip)", follows, [])]
        for text, returning, not_returning in cases:
            with self.subTest(text):
                insn = parse_line(f"  1000:\t{text}")
                insn.next = 0x1004
                self.assertEqual(next_addresses(insn), returning)
                self.assertEqual(next_addresses(insn, call_returns=False), not_returning)

    def test_calls_that_never_return_end_the_process_or_are_refused(self):
        # Each call of `caller` is allowed and returns, allowed and ends the
        # process, or refused (a throw, a halt, a far or foreign return, a
        # function the check does not know).
        names = ["ends", "returns", "throws", "exit", "_exit", "tail_call_to_ends",
                 "aborts_or_returns", "throws_through_a_helper", "stops", "far_return",
                 "returns_elsewhere", "exits_by_system_call", "prints"]
        plt = ["exit@plt", "__cxa_throw@plt", "abort@plt", "printf@plt"]
        start = {name: 0x1100 + 0x100 * k for k, name in enumerate(names)}
        start.update({name: 0x3000 + 0x10 * k for k, name in enumerate(plt)})

        def to(name):
            return f"{start[name]:x} <{name}>"
        code = {
            "ends": [f"call   {to('exit@plt')}"],
            "returns": ["ret"],
            "throws": [f"call   {to('__cxa_throw@plt')}"],
            # A local function of a process-ending name in a dynamically
            # linked program is the program's own, judged by its code.
            "exit": ["ret"],
            "_exit": ["mov    $0xe7,%eax", "syscall", "hlt"],
            "tail_call_to_ends": [f"jmp    {to('ends')}"],
            "aborts_or_returns": ["test   %edi,%edi",
                                  f"je     {start['aborts_or_returns'] + 12:x} "
                                  f"<aborts_or_returns+0xc>",
                                  f"call   {to('abort@plt')}", "ret"],
            "throws_through_a_helper": [f"call   {to('throws')}"],
            # A halt traps to whatever handles the signal: no end of a path.
            "stops": ["hlt"],
            "far_return": ["lretq"],
            "returns_elsewhere": [f"push   ${start['exit']:#x}", "ret"],
            "exits_by_system_call": ["mov    $0x3c,%eax", "syscall"],
            "prints": ["sub    $0x8,%rsp", f"call   {to('printf@plt')}", "add    $0x8,%rsp",
                       "ret"],
            **{name: ["jmp    *0x2fe2(%rip)"] for name in plt},
        }
        refused = "refused"
        expected = {"ends": "ends the process", "returns": "returns", "throws": refused,
                    "exit": "returns", "_exit": "ends the process",
                    "tail_call_to_ends": "ends the process", "aborts_or_returns": "returns",
                    "throws_through_a_helper": refused, "stops": refused,
                    "far_return": refused, "returns_elsewhere": refused,
                    "exits_by_system_call": "ends the process", "prints": "returns"}
        lines = ["0000000000001000 <caller>:"]
        lines += [f"    {0x1000 + 5 * k:x}:\tcall   {to(name)}" for k, name in enumerate(names)]
        lines.append(f"    {0x1000 + 5 * len(names):x}:\tret")
        for name, texts in code.items():
            lines += ["", f"{start[name]:016x} <{name}>:"]
            lines += [f"    {start[name] + 4 * n:x}:\t{text}" for n, text in enumerate(texts)]
        program = Program("\n".join(lines) + "\n")
        noreturn = NoReturn(program)
        exits = Exits(build_graph(program, 0x1000))
        for k, name in enumerate(names):
            with self.subTest(name):
                insn = program.at(0x1000 + 5 * k)
                self.assertEqual(program.callee(insn), name)
                _, why = exits.callee(insn)
                outcome = refused if why else "returns" if not noreturn.call(insn) else \
                    "ends the process"
                self.assertEqual(outcome, expected[name], why)


GOOD = loop_of(INC_RMW, "sub    $0x1,%rax", f"mov    ${N:#x},%eax", "test   %rax,%rax", "jne")


class Rules(unittest.TestCase):
    def measurement(self, loops, kernel):
        graph = build_graph(Program(program_text(loops)))
        _, start, end = rules.clock_pairs(graph)[KERNEL_NAMES.index(kernel)]
        return rules.Measurement.between(graph, kernel, start, end)

    def test_the_instruction_rule_records_each_access(self):
        m = self.measurement([GOOD, [GOOD[0], "addl   $0x1,0x8(%rsp)", *GOOD[2:]], GOOD], ARITH)
        rules.check_instructions(m)
        recorded = {describe(where): [(use.insn.text, use.reads, use.writes, use.bits)
                                      for use in uses] for where, uses in m.accesses.items()}
        self.assertEqual(recorded, {"the stack slot at entry sp-0x20":
                                    [("addl $0x1,0x8(%rsp)", 1, 1, 32)]})

    def test_count_rules_run_only_after_clean_code_rules(self):
        seen = []

        def code_rule(m):
            seen.append(("code", m.verdict.reads))
            if m.verdict.name == INC:
                m.verdict.fault("a fault of the code")

        def count_rule(m):
            seen.append(("count", m.verdict.reads))
        saved = rules.CODE_RULES, rules.COUNT_RULES
        rules.CODE_RULES, rules.COUNT_RULES = saved[0] + (code_rule,), saved[1] + (count_rule,)
        try:
            verdicts = analyse_text(program_text([GOOD] * 3))
        finally:
            rules.CODE_RULES, rules.COUNT_RULES = saved
        self.assertEqual([k.faults for k in verdicts], [["a fault of the code"], [], []])
        self.assertEqual(seen, [("code", 0), ("code", 0), ("count", ITERATIONS), ("code", 0),
                                ("count", ITERATIONS)])


# Static glibc 2.36's __clock_gettime, as g++ 12 and clang++ 14 -static link it.
STATIC_CLOCK = {
    0x7ca0: "mov    0x6ddd1(%rip),%rax        # 4a5a78 <_dl_vdso_clock_gettime64>",
    0x7ca7: "test   %rax,%rax", 0x7caa: "je     7cc0 <__clock_gettime+0x20>",
    0x7cac: "sub    $0x8,%rsp", 0x7cb0: "call   *%rax", 0x7cb2: "test   %eax,%eax",
    0x7cb4: "jne    7cd0 <__clock_gettime+0x30>", 0x7cb6: "xor    %eax,%eax",
    0x7cb8: "add    $0x8,%rsp", 0x7cbc: "ret", 0x7cc0: "mov    $0xe4,%eax",
    0x7cc5: "syscall", 0x7cc7: "test   %eax,%eax", 0x7cc9: "jne    7ce8 <__clock_gettime+0x48>",
    0x7ccb: "xor    %eax,%eax", 0x7ccd: "ret", 0x7cd0: "mov    $0xffffffffffffffb8,%rdx",
    0x7cd7: "neg    %eax", 0x7cd9: "mov    %eax,%fs:(%rdx)", 0x7cdc: "mov    $0xffffffff,%eax",
    0x7ce1: "jmp    7cb8 <__clock_gettime+0x18>", 0x7ce8: "mov    $0xffffffffffffffb8,%rdx",
    0x7cef: "neg    %eax", 0x7cf1: "mov    %eax,%fs:(%rdx)", 0x7cf4: "mov    $0xffffffff,%eax",
    0x7cf9: "ret"}


class StaticClock(unittest.TestCase):
    def test_only_static_glibcs_clock_passes(self):
        cases = {
            "static glibc's": ({}, ""),
            # A clock of the program's own that makes the system call and
            # also arms a timer.
            "a call besides": ({0x7ccb: "call   1000 <arm_timer>"},
                               "7ccb: call 1000 <arm_timer> is not in the C library's"),
            "a store": ({0x7ccb: "mov    %rax,0x10(%rdi)"}, "is not in the C library's"),
            "another pointer called": (
                {0x7ca0: "mov    0x6ddd1(%rip),%rax        # 4a5a78 <hook>"},
                "loads a pointer other than the vDSO's clock_gettime"),
            "a jump out of it": ({0x7ce1: "jmp    1001 <arm_timer+0x1>"},
                                 "leaves the function"),
        }
        for name, (changed, expected) in cases.items():
            with self.subTest(name):
                code = {**STATIC_CLOCK, **changed}
                lines = ["0000000000001000 <arm_timer>:", "    1000:\tnop", "    1001:\tret", "",
                         "0000000000007ca0 <__clock_gettime>:",
                         *[f"    {a:x}:\t{text}" for a, text in sorted(code.items())], ""]
                why = clock_shape_why(Program("\n".join(lines) + "\n"), 0x7ca0)
                if expected:
                    self.assertIn(expected, why)
                else:
                    self.assertEqual(why, "")


class Narrowing(unittest.TestCase):
    def test_each_way_of_a_branch_tells_what_its_condition_tested(self):
        # (instructions on unknown registers, condition, whether it held,
        # {register: value it is known to hold on that way}); None: unknown.
        cases = [
            (["test   %eax,%eax"], "ne", False, {"eax": 0, "rax": None}),
            (["test   %eax,%eax"], "ne", True, {"eax": None}),
            (["cmp    $0x5,%rcx"], "e", True, {"rcx": 5}),
            (["cmp    $0x5,%ecx"], "ne", False, {"ecx": 5, "rcx": None}),
            (["sub    $0x1,%rbx"], "ne", False, {"rbx": 0}),
            (["dec    %ebx"], "e", True, {"ebx": 0, "rbx": None}),
            (["cmp    $0x0,%rdx"], "be", True, {"rdx": 0}),
            (["cmp    $0x1,%rdx"], "b", True, {"rdx": 0}),
            (["cmp    $0x1,%rdx"], "ae", False, {"rdx": 0}),
            (["cmp    $0x1,%rdx"], "l", True, {"rdx": None}),  # signed: any negative
            (["mov    $0x7,%eax", "cmp    %rcx,%rax"], "e", True, {"rcx": 7}),
            (["test   $0x1,%al"], "e", True, {"al": None}),  # one bit tells no value
            # Written since the compare: the flags no longer tell of it.
            (["cmp    $0x5,%rcx", "mov    %rdx,%rcx"], "e", True, {"rcx": None}),
            (["cmp    $0x5,%ecx", "mov    %dl,%cl"], "e", True, {"ecx": None}),
        ]
        for texts, cc, outcome, expected in cases:
            with self.subTest(texts, cc=cc, outcome=outcome):
                state = State()
                for text in texts:
                    insn = parse_line(f"  1000:\t{text}")
                    execute(insn, decode(insn), state, Context())
                for name, value in narrowing(state.flags, cc, outcome):
                    state.narrow(name, value)
                for name, value in expected.items():
                    known = state.get(name)
                    self.assertEqual(None if known is None else known.c0, value, name)

    def test_a_register_known_in_its_low_bits_only(self):
        # %rax known only in its low 32 bits, 0 (past test %eax,%eax; jne):
        # (instruction, register read after it, its value; None: unknown)
        cases = [("nop", "eax", 0), ("nop", "al", 0), ("nop", "rax", None),
                 ("lea    0x1(%rax),%esi", "esi", 1), ("lea    0x1(%rax),%rsi", "rsi", None),
                 ("add    $0x1,%eax", "rax", 1), ("mov    $0x5,%al", "eax", 5),
                 ("mov    $0x5,%al", "rax", None), ("mov    %rax,%rcx", "rcx", None)]
        for text, name, value in cases:
            with self.subTest(text, read=name):
                state = State({"rax": Value(0, 0, 32)})
                insn = parse_line(f"  1000:\t{text}")
                execute(insn, decode(insn), state, Context())
                known = state.get(name)
                self.assertEqual(None if known is None else known.c0, value)

    def test_the_graph_holds_only_the_ways_a_branch_may_take(self):
        text = "\n".join([
            "0000000000001000 <main>:",
            "    1000:\tmov    $0x1,%ecx", "    1004:\ttest   %ecx,%ecx",
            "    1008:\tje     1020 <main+0x20>",  # never taken: %ecx is 1
            "    100c:\tcall   2000 <f>", "    1010:\ttest   %eax,%eax",
            "    1014:\tjne    1024 <main+0x24>", "    1018:\tmov    %eax,%edx",
            "    101c:\tret", "    1020:\tud2", "    1024:\tret", "",
            "0000000000002000 <f>:", "    2000:\tret", ""])
        graph = build_graph(Program(text))
        self.assertNotIn(0x1020, graph.nodes)
        self.assertEqual(sorted(graph.nodes[0x1014]), [0x1018, 0x1024])
        self.assertEqual(graph.states[0x1018].get("eax"), Value(0, 0, 32))
        self.assertIsNone(graph.states[0x1024].get("eax"))


def way_out(loop, end):
    """`loop` (as loop_of gives it) with a way out after it: when %rdx (which
    the clock call leaves unknown) is not 0, on to `end`, instructions that
    the loop jumps over on its way in."""
    shifted = [text.replace("@{1}", f"@{{{1 + len(end) + 1}}}") for text in loop]
    return [f"jmp @{{{1 + len(end)}}}", *end, *shifted, "test   %rdx,%rdx", "jne @{1}"]


def faults_of(*args, **options):
    """{verdict's name: its faults} for program_text(*args, **options)."""
    return {k.name: k.faults for k in analyse_text(program_text(*args, **options))}


PATH_END = "a path may end only in a call that ends the process or in main's own return"
ABORT = "call   2020 <abort@plt>"
RUNNING = "the check cannot know what it leaves running"
CHANGED = "the check cannot know what it changes"


def assert_only_the_program(test, faults, words):
    """Every kernel's code passes; the whole program's verdict ("all kernels")
    has a fault holding each of `words`, or, with no words, does not exist."""
    test.assertEqual([faults[k] for k in KERNEL_NAMES], [[]] * 3)
    if not words:
        test.assertNotIn(ALL_KERNELS, faults)
    else:
        test.assertTrue(any(all(w in f for w in words) for f in faults[ALL_KERNELS]), faults)


class WaysOut(unittest.TestCase):
    def test_each_end_of_a_way_out_of_a_stretch(self):
        # (instructions a way out of the arithmetic loop's stretch ends in,
        # words of its fault; None: the way out is understood)
        cases = [
            (["lretq"], "a far return: " + PATH_END),
            (["sysretq"], "a return from a system call: " + PATH_END),
            (["int3"], "a software interrupt (it raises a signal): " + PATH_END),
            # A byte objdump cannot decode is not dropped from the path.
            (["(bad)", "add    $0x28,%rsp", "ret"],
             "(bad): bytes objdump cannot decode (the check cannot read what they do): "
             + PATH_END),
            (["jmp    *%rax"], "a jump or call target that is not code the check can read"),
            (["mov    $0x27,%eax", "syscall", ABORT],
             "a system call with number 39 on a way out of the timed stretch: " + RUNNING),
            (["call   2030 <setitimer@plt>", ABORT],
             "a call to setitimer on a way out of the timed stretch: not known to return "
             "normally"),
            (["mov    $0xe7,%eax", "syscall"], None),  # exit_group
            ([ABORT], None),
            (["call   1ff0 <fail>"], None),  # the program's own: it only aborts
            (["add    $0x28,%rsp", "ret"], None),  # main's own return
        ]
        for end, expected in cases:
            with self.subTest(end):
                faults = faults_of([GOOD, way_out(GOOD, end), GOOD])
                self.assertEqual(faults[INC], [])
                self.assertEqual(faults[BRANCH], [])
                self.assertNotIn(ALL_KERNELS, faults)
                if expected is None:
                    self.assertEqual(faults[ARITH], [])
                else:
                    self.assertTrue(any(expected in f for f in faults[ARITH]), faults[ARITH])

    def test_main_outside_the_stretches_is_the_whole_programs(self):
        # (instructions first in main, words of the whole program's fault;
        # None: allowed)
        cases = [
            (["call   2030 <setitimer@plt>"], "a call to setitimer in main: " + RUNNING),
            (["mov    $0x27,%eax", "syscall"], "a system call with number 39 in main: " + RUNNING),
            (["movq   $0x0,0x1000(%rip)        # 3000 <hook>"], "a store to 0x3000 (outside the "
                                                                "stack) in main: " + CHANGED),
            (["mov    0x18(%rsp),%rax", "movq   $0x0,(%rax)"],
             "a store through a pointer the check cannot know in main: " + CHANGED),
            (["movq   $0x1000,0x28(%rsp)"], "a return after 1004: movq $0x1000,0x28(%rsp) "
                                            "overwrote the return address"),
            # Stores by instructions outside the allowlist: an xchg (either
            # operand), a vector store, stores through a register alone.
            (["xchg   %rcx,0x28(%rsp)"], "a return after 1004: xchg %rcx,0x28(%rsp) "
                                         "overwrote the return address"),
            (["movups %xmm0,0x20(%rsp)"], "a return after 1004: movups %xmm0,0x20(%rsp) "
                                          "overwrote the return address"),
            (["xchg   0x1000(%rip),%rcx        # 3000 <hook>"],
             "a store to 0x3000 (outside the stack) in main: " + CHANGED),
            (["maskmovdqu %xmm1,%xmm0"],
             "1004: maskmovdqu %xmm1,%xmm0: a store through a pointer the check cannot know"),
            (["movdir64b (%rsi),%rdi"],
             "1004: movdir64b (%rsi),%rdi: a store through a pointer the check cannot know"),
            (["clzero"], "1004: clzero: a store through a pointer the check cannot know"),
            (["lea    0x1000(%rip),%rdi        # 3000 <hook>", "maskmovdqu %xmm1,%xmm0"],
             "maskmovdqu %xmm1,%xmm0: a store to 0x3000 (outside the stack)"),
            (["movups %xmm0,0x10(%rsp)"], None),  # below the return address
            # 16-bit pushes and pops move the stack pointer by 2: here it
            # ends 8 below where an 8-byte model of them would put it.
            (["push   %rax", "pop    %ax", "pushw  -0x2(%rsp)"],
             "a return with the stack pointer at the stack slot at entry sp-0x8, not back"),
            (["call   2040 <__errno_location@plt>", "movl   $0x0,(%rax)"], None),
            (["movq   $0x0,0x30(%rsp)"], None),  # the stack, above main's return address
            (["call   2010 <printf@plt>"], None),
        ]
        for prologue, expected in cases:
            with self.subTest(prologue):
                faults = faults_of([GOOD] * 3, prologue=prologue)
                assert_only_the_program(self, faults, [expected] if expected else [])

    def test_a_return_through_the_return_thunk(self):
        # -mfunction-return=thunk: main returns by a jump to the compiler's
        # __x86_return_thunk, which is a return only in its exact shape.
        thunk = ["call   390c <__x86_return_thunk+0xc>", "pause", "lfence",
                 "jmp    3905 <__x86_return_thunk+0x5>", "lea    0x8(%rsp),%rsp", "ret"]
        offsets = [0, 5, 7, 0xa, 0xc, 0x11]
        cases = {
            "the compiler's thunk": (thunk, None),
            "a thunk that returns elsewhere": (
                thunk[:4] + ["lea    0x10(%rsp),%rsp", "ret"],
                "a call to __x86_return_thunk in main: " + RUNNING),
        }
        for name, (code, expected) in cases.items():
            with self.subTest(name):
                extra = "\n0000000000003900 <__x86_return_thunk>:\n" + "".join(
                    f"    {0x3900 + o:x}:\t{text}\n" for o, text in zip(offsets, code))
                text = program_text([GOOD] * 3, extra=extra).replace(
                    "\tret\n", "\tjmp    3900 <__x86_return_thunk>\n", 1)
                self.assertIn("jmp    3900 <__x86_return_thunk>", text)
                faults = {k.name: k.faults for k in analyse_text(text)}
                assert_only_the_program(self, faults, [expected] if expected else [])

    def test_a_jump_through_memory_is_no_store(self):
        # A computed goto's table jump reads memory: its fault is the
        # unreadable target, not a store.
        faults = faults_of([GOOD, way_out(GOOD, ["jmp    *0x2000(,%rax,8)"]), GOOD])
        self.assertTrue(any("not code the check can read" in f for f in faults[ARITH]),
                        faults[ARITH])
        self.assertFalse([f for f in faults[ARITH] if "a store" in f], faults[ARITH])

    def test_a_fault_in_one_kernels_code_is_its_own(self):
        endless = ["mov    $0x1,%eax", *INC_RMW, "test   %rax,%rax", "jne @{1}"]
        cases = {
            "an indirect jump for the loop's back edge": (
                [GOOD, GOOD[:-1] + ["jmp    *%rcx"], GOOD],
                {ARITH: "a jump or call target that is not code the check can read",
                 BRANCH: "its clock calls are never reached"}),
            "a loop that never exits": (
                [GOOD, endless, GOOD], {ARITH: "never exits",
                                        BRANCH: "its clock calls are never reached"}),
        }
        for name, (loops, expected) in cases.items():
            with self.subTest(name):
                faults = faults_of(loops)
                self.assertEqual(faults[INC], [])
                self.assertNotIn(ALL_KERNELS, faults)
                for kernel, words in expected.items():
                    self.assertTrue(any(words in f for f in faults[kernel]), faults[kernel])


FRAME_DUMMY = ["endbr64", "jmp    3100 <register_tm_clones>"]
SET_FAST_MATH = ["endbr64", "stmxcsr -0x4(%rsp)", "orl    $0x8040,-0x4(%rsp)",
                 "ldmxcsr -0x4(%rsp)", "ret"]
INIT = ["sub    $0x8,%rsp", "mov    0x2fcd(%rip),%rax        # 3fd8 <__gmon_start__@Base>",
        "test   %rax,%rax", "je     301e <_init+0x12>", "call   *%rax", "add    $0x8,%rsp",
        "ret"]


START = ["xor    %ebp,%ebp", "mov    %rdx,%r9", "pop    %rsi", "mov    %rsp,%rdx",
         "and    $0xfffffffffffffff0,%rsp", "push   %rax", "push   %rsp", "xor    %r8d,%r8d",
         "xor    %ecx,%ecx", "lea    0x0(%rip),%rdi        # 1000 <main>",
         "call   *0x1(%rip)        # 3fc0 <__libc_start_main@GLIBC_2.34>", "hlt"]


# What exit() runs in a clang++ -O2 build (crtbegin's, crti's), each
# function as {address: instruction}.
DTORS_AUX = {0x3600: "endbr64", 0x3604: "cmpb   $0x0,0x2edd(%rip)        # 6058 <completed.0>",
             0x3608: "jne    3630 <__do_global_dtors_aux+0x30>", 0x360c: "push   %rbp",
             0x3610: "cmpq   $0x0,0x2e32(%rip)        # 3fb8 <__cxa_finalize@GLIBC_2.2.5>",
             0x3614: "mov    %rsp,%rbp", 0x3618: "je     3624 <__do_global_dtors_aux+0x24>",
             0x361c: "mov    0x2ebe(%rip),%rdi        # 4050 <__dso_handle>",
             0x3620: "call   3700 <__cxa_finalize@plt>",
             0x3624: "call   3680 <deregister_tm_clones>",
             0x3628: "movb   $0x1,0x2eb5(%rip)        # 6058 <completed.0>",
             0x362c: "pop    %rbp", 0x3630: "ret"}
DEREGISTER = {0x3680: "lea    0x2f51(%rip),%rdi        # 6058 <__TMC_END__>",
              0x3684: "lea    0x2f4a(%rip),%rax        # 6058 <__TMC_END__>",
              0x3688: "cmp    %rdi,%rax", 0x368c: "je     36a0 <deregister_tm_clones+0x20>",
              0x3690: "mov    0x2eb6(%rip),%rax        # 3fd0 <_ITM_deregisterTMCloneTable@Base>",
              0x3694: "test   %rax,%rax", 0x3698: "je     36a0 <deregister_tm_clones+0x20>",
              0x369c: "jmp    *%rax", 0x36a0: "ret"}
FINI = {0x3780: "sub    $0x8,%rsp", 0x3784: "add    $0x8,%rsp", 0x3788: "ret"}
AT_EXIT = {"__do_global_dtors_aux": DTORS_AUX, "deregister_tm_clones": DEREGISTER,
           "_fini": FINI}
# A static PIE's (lld's): __cxa_finalize's slot and the _ITM_ table's hold 0
# (nothing relocates them), so the call is never made.
STATIC_PIE_EXIT = {**AT_EXIT, "__do_global_dtors_aux": {
    **DTORS_AUX, 0x3610: "cmpq   $0x0,0x2e32(%rip)        # 3fd0 <_DYNAMIC+0x1c8>",
    0x3620: "call   0 <__evoke_link_warning_dlmopen>"}, "deregister_tm_clones": {
    **DEREGISTER, 0x3690: "mov    0x2eb6(%rip),%rax        # 3fd8 <_DYNAMIC+0x1d0>"}}
STATIC_PIE_ZERO = [" zero 3fd0", " zero 3fd8"]


def startup(init=INIT, constructors=(("frame_dummy", FRAME_DUMMY),), needed=("libc.so.6",),
            ifunc=False, start=("_start", START),
            libraries=(" interp /lib64/ld-linux-x86-64.so.2",), at_exit=None,
            destructors=("__do_global_dtors_aux",)):
    """Listing text of what runs before main: crti's _init at 0x3000 (or
    `init`), the entry point `start` (name, code) at 0x3800, the
    constructors' code from 0x3200 on, and the block (`libraries` its first
    lines)."""
    lines = ["", f"0000000000003800 <{start[0]}>:"]
    lines += [f"    {0x3800 + 4 * n:x}:\t{text}" for n, text in enumerate(start[1])]
    lines += ["", "0000000000003000 <_init>:"]
    lines += [f"    {0x3000 + 2 * n:x}:\t{text}" for n, text in enumerate(init)]
    lines += ["", "0000000000003100 <register_tm_clones>:", "    3100:\tret", "",
              "0000000000003180 <__register_frame_info>:", "    3180:\tret"]
    for k, (name, code) in enumerate(constructors):
        lines += ["", f"{0x3200 + 0x100 * k:016x} <{name}>:"]
        lines += [f"    {0x3200 + 0x100 * k + 4 * n:x}:\t{text}" for n, text in enumerate(code)]
    lines += ["", STARTUP_HEADER, *libraries, *[f" needed {name}" for name in needed]]
    lines += [f" entry 3800 <{start[0]}>"]
    lines += [" ifunc 3100 <register_tm_clones>"] if ifunc else []
    lines += [" .init 3000 <_init>"]
    lines += [f" .init_array {0x3200 + 0x100 * k:x} <{name}>"
              for k, (name, _) in enumerate(constructors)]
    if at_exit is not None:  # {name: {address: instruction}}: what exit() runs, and the block
        for name, code in at_exit.items():
            lines[1:1] = ["", f"{min(code):016x} <{name}>:",
                          *[f"    {a:x}:\t{text}" for a, text in sorted(code.items())], ""]
        lines += [f" .fini_array {min(at_exit[name]):x} <{name}>" for name in destructors]
        lines += [f" .fini {min(at_exit['_fini']):x} <_fini>"]
    return "\n".join(lines) + "\n"


class BeforeMain(unittest.TestCase):
    def test_what_runs_before_main(self):
        static_frame_dummy = ["endbr64", "push   %rbp", "mov    %rsp,%rbp",
                              "call   3180 <__register_frame_info>", "pop    %rbp",
                              "jmp    3100 <register_tm_clones>"]
        cases = {
            "the toolchain's own": ({}, None),
            "a static build's frame_dummy": (
                {"constructors": [("frame_dummy", static_frame_dummy)]}, None),
            "the C++ runtime": ({"needed": ["libstdc++.so.6", "libm.so.6", "libc.so.6"]}, None),
            "a constructor of the program's own": (
                {"constructors": [("frame_dummy", FRAME_DUMMY), ("set_up", ["ret"])]},
                "constructor set_up in .init_array (run before main): not the toolchain's own"),
            "a frame_dummy that calls more": (
                {"constructors": [("frame_dummy", ["call   2030 <setitimer@plt>", *FRAME_DUMMY])]},
                "calls what crtbegin's frame_dummy does not"),
            "an _init that calls more": (
                {"init": INIT[:5] + ["call   2030 <setitimer@plt>"] + INIT[5:]},
                "calls what crti's _init does not"),
            # Code added to crti's .init: system calls arming a timer.
            "an _init that does more": (
                {"init": INIT[:5] + ["mov    $0xd,%eax", "syscall"] + INIT[5:]},
                "mov $0xd,%eax is not in crti's _init"),
            # A second frame_dummy going on to a register_tm_clones of the
            # program's own.
            "a frame_dummy going on to another register_tm_clones": (
                {"constructors": [("frame_dummy", FRAME_DUMMY),
                                  ("frame_dummy", ["jmp    3400 <register_tm_clones>"]),
                                  ("register_tm_clones", ["jmp    2030 <arm_timer>"])]},
                "constructor frame_dummy in .init_array (run before main): 3400: jmp 2030 "
                "<arm_timer> is not in the toolchain's register_tm_clones"),
            # Its %rax jumped through set to an address of the program's own.
            "a register_tm_clones jumping where it points %rax": (
                {"constructors": [("frame_dummy", FRAME_DUMMY),
                                  ("frame_dummy", ["jmp    3400 <register_tm_clones>"]),
                                  ("register_tm_clones", [
                                      "mov    $0x2030,%eax", "test   %rax,%rax",
                                      "je     3410 <register_tm_clones+0x10>", "jmp    *%rax",
                                      "ret"])]},
                "3400: mov $0x2030,%eax sets the %rax it jumps through to neither 0 nor "
                "_ITM_registerTMCloneTable's pointer"),
            "a frame_dummy that does more": (
                {"constructors": [("frame_dummy", ["mov    %rax,0x10(%rdi)", *FRAME_DUMMY])]},
                "mov %rax,0x10(%rdi) is not in crtbegin's frame_dummy"),
            "crtfastmath's set_fast_math (-ffast-math)": (
                {"constructors": [("frame_dummy", FRAME_DUMMY),
                                  ("set_fast_math", SET_FAST_MATH)]}, None),
            "a set_fast_math that does more": (
                {"constructors": [("frame_dummy", FRAME_DUMMY), ("set_fast_math", [
                    "call   2030 <setitimer@plt>", *SET_FAST_MATH])]},
                "calls what the toolchain's set_fast_math does not"),
            "a set_fast_math that stores elsewhere": (
                {"constructors": [("frame_dummy", FRAME_DUMMY), ("set_fast_math", [
                    "orl    $0x8040,0x10(%rdi)", *SET_FAST_MATH])]},
                "orl $0x8040,0x10(%rdi) is not in the toolchain's set_fast_math"),
            "an ifunc resolver": ({"ifunc": True}, "an ifunc resolver of the program's own"),
            "a library of the program's own": (
                {"needed": ["libc.so.6", "libticks.so"]},
                "the executable loads libticks.so, which is not the C or C++ runtime's"),
            "a loader of the program's own": (
                {"libraries": [" interp /tmp/ld.so"]},
                "the executable asks for the loader /tmp/ld.so, not the system's"),
            "a library path of the program's own": (
                {"libraries": [" interp /lib64/ld-linux-x86-64.so.2", " runpath $ORIGIN"]},
                "the executable looks for its libraries in $ORIGIN first"),
            "an entry point of the program's own": (
                {"start": ("set_up", START)}, "entry point set_up in entry (run before main): "
                                              "not the toolchain's own (_start)"),
            "what exit() runs, the toolchain's own": ({"at_exit": AT_EXIT}, None),
            "a destructor of the program's own": (
                {"at_exit": {**AT_EXIT, "report": {0x3800 - 0x40: "ret"}},
                 "destructors": ["__do_global_dtors_aux", "report"]},
                "destructor report in .fini_array (run at exit): not the toolchain's own "
                "(__do_global_dtors_aux)"),
            "a __do_global_dtors_aux that calls more": (
                {"at_exit": {**AT_EXIT, "__do_global_dtors_aux": {
                    **DTORS_AUX, 0x362c: "call   2030 <setitimer@plt>"}}},
                "2030 <setitimer@plt> calls what the toolchain's __do_global_dtors_aux does not"),
            "a __do_global_dtors_aux that stores elsewhere": (
                {"at_exit": {**AT_EXIT, "__do_global_dtors_aux": {
                    **DTORS_AUX, 0x362c: "mov    %rax,0x10(%rdi)"}}},
                "362c: mov %rax,0x10(%rdi) is not in the toolchain's __do_global_dtors_aux"),
            "a deregister_tm_clones jumping through another pointer": (
                {"at_exit": {**AT_EXIT, "deregister_tm_clones": {
                    **DEREGISTER, 0x3690: "mov    0x2eb6(%rip),%rax        # 3fd0 <hook>"}}},
                "loads a pointer other than _ITM_deregisterTMCloneTable's"),
            "a _fini that does more": (
                {"at_exit": {**AT_EXIT, "_fini": {**FINI, 0x3784: "mov    $0x1,%eax"}}},
                "fini function _fini in .fini (run at exit): 3784: mov $0x1,%eax is not in "
                "the toolchain's _fini"),
            "what exit() runs in a static PIE": (
                {"at_exit": STATIC_PIE_EXIT, "libraries": STATIC_PIE_ZERO}, None),
            "a static PIE's __cxa_finalize slot not known to hold 0": (
                {"at_exit": STATIC_PIE_EXIT, "libraries": STATIC_PIE_ZERO[1:]},
                "3620: call 0 <__evoke_link_warning_dlmopen> calls what the toolchain's"),
            "a static PIE's __do_global_dtors_aux calling when the slot holds 0": (
                {"at_exit": {**STATIC_PIE_EXIT, "__do_global_dtors_aux": {
                    **STATIC_PIE_EXIT["__do_global_dtors_aux"],
                    0x3618: "jne    3624 <__do_global_dtors_aux+0x24>"}},
                 "libraries": STATIC_PIE_ZERO}, "3620: call 0 <__evoke_link_warning_dlmopen>"),
            "a static PIE's deregister_tm_clones loading a slot not known to hold 0": (
                {"at_exit": STATIC_PIE_EXIT, "libraries": STATIC_PIE_ZERO[:1]},
                "3690: mov 0x2eb6(%rip),%rax loads a pointer other than "
                "_ITM_deregisterTMCloneTable's"),
            "what the toolchain exports (-rdynamic)": (
                {"libraries": [" interp /lib64/ld-linux-x86-64.so.2",
                               *[f" exports {name}" for name in
                                 ("main", "_start", "_IO_stdin_used", "__bss_start", "_end")]]},
                None),
            "a malloc of the program's own, exported": (
                {"libraries": [" interp /lib64/ld-linux-x86-64.so.2", " exports main",
                               " exports malloc"]},
                "the executable defines malloc for its shared libraries"),
            "a _start handing on another function": (
                {"start": ("_start", [*START[:9], "lea    0x0(%rip),%rdi        # 1ff0 <fail>",
                                      *START[10:]])},
                "it does not hand __libc_start_main main"),
        }
        for name, (options, expected) in cases.items():
            with self.subTest(name):
                verdicts = analyse_text(program_text([GOOD] * 3, extra=startup(**options)))
                self.assertEqual(verdicts.notes, [])
                faults = {k.name: k.faults for k in verdicts}
                assert_only_the_program(self, faults, [expected, RUNNING] if expected else [])

    def test_a_program_defining_gmon_start_is_refused(self):
        text = program_text([GOOD] * 3, extra=startup() + "\n0000000000003f00 "
                            "<__gmon_start__>:\n    3f00:\tret\n")
        faults = {k.name: k.faults for k in analyse_text(text)}
        self.assertTrue(any("the program defines __gmon_start__" in f
                            for f in faults[ALL_KERNELS]), faults)

    def test_a_listing_without_the_block_says_so(self):
        verdicts = analyse_text(program_text([GOOD] * 3))
        self.assertEqual([k.faults for k in verdicts], [[]] * 3)
        self.assertEqual(verdicts.notes, [NO_STARTUP])
        self.assertEqual(list(verdict_lines(verdicts))[-1], f"note: {NO_STARTUP}")


class Messages(unittest.TestCase):
    def test_each_fault_names_what_the_user_must_change(self):
        bound_unknown = loop_of(INC_RMW, "sub    $0x1,%rax", "mov    %rdx,%rax",
                                  "test   %rax,%rax", "jne")
        two_reset = loop_of(["addq   $0x1,0x8(%rsp)", "addq   $0x1,0x20(%rsp)"],
                            "sub    $0x1,%rax", f"mov    ${N:#x},%eax", "test   %rax,%rax",
                            "jne")
        through_a_pointer = loop_of(["mov    0x20(%rsp),%rcx", "addq   $0x1,(%rdx)"],
                                    "sub    $0x1,%rax", f"mov    ${N:#x},%eax",
                                    "test   %rax,%rax", "jne")
        cases = {
            "the register and why it is unknown": (
                bound_unknown, {}, "decided by a value the check cannot know: %rax (the "
                                   "clock call 1010: call 2000 <clock_gettime@plt> may change "
                                   "it)"),
            "the objects reset to 0": (
                two_reset, {"prologue": ["movq   $0x0,0x20(%rsp)"]},
                "more than one object (the stack slot at entry sp-0x20, the stack slot at "
                "entry sp-0x8) written inside the timed stretch is reset to 0"),
            "a read with no store at a known address": (
                through_a_pointer, {}, "read of the stack slot at entry sp-0x8, which is "
                                       "neither the accumulator nor the clock's timespec"),
        }
        for name, (loop, options, expected) in cases.items():
            with self.subTest(name):
                faults = faults_of([loop, GOOD, GOOD], **options)
                self.assertTrue(any(expected in f for f in faults[INC]), faults[INC])
                self.assertEqual(faults[ARITH], [])


NOT_VOLATILE = ("nothing is written to memory inside the timed stretch: the accumulator is not "
                "updated in memory (not volatile, or the loop was removed)")


def slot(offset):
    return f"the stack slot at entry sp-{offset:#x}"


# Saved listing -> per kernel: (faults, the accumulator, where the start time
# is copied to, instructions between the clock calls).
SAVED = {
    "clang14-release": {INC: ([], slot(0x28), [], 140000009),
                        ARITH: ([], slot(0x28), [], 380000008),
                        BRANCH: ([], slot(0x28), [], 200000008)},
    # The start time copied whole through %xmm0: the allowlist's exception.
    "clang14-release-avx2": {INC: ([], slot(0x40), [slot(0x28)], 140000009),
                             ARITH: ([], slot(0x40), [slot(0x28)], 380000008),
                             BRANCH: ([], slot(0x40), [slot(0x28)], 200000007)},
    "gcc12-release": {INC: ([], slot(0x40), [], 325000008),
                      ARITH: ([], slot(0x38), [], 325000008),
                      BRANCH: ([], slot(0x30), [], 550000008)},
    "clang14-release-call-in-loop": {
        INC: (["122b: call 1070 <srand@plt>: call inside the timed stretch"], slot(0x30), [], 0),
        ARITH: ([], slot(0x30), [], 380000008), BRANCH: ([], slot(0x30), [], 200000008)},
    "gcc12-release-not-volatile": {kernel: ([NOT_VOLATILE], describe(None), [], 0)
                                   for kernel in KERNEL_NAMES},
    # An int index: g++ starts the branch loop's from %eax, known to be 0
    # only on the way past the clock call's `test %eax,%eax; jne`.
    "gcc12-release-int-index": {INC: ([], slot(0x40), [], 325000008),
                                ARITH: ([], slot(0x38), [], 325000008),
                                BRANCH: ([], slot(0x30), [], 550000007)},
    # A constructor of the program's own: the kernels pass, the program not.
    "gcc12-release-own-constructor": {
        INC: ([], slot(0x40), [], 325000008), ARITH: ([], slot(0x38), [], 325000008),
        BRANCH: ([], slot(0x30), [], 550000008),
        ALL_KERNELS: (["constructor _ZN12_GLOBAL__N_16set_upEv in .init_array (run before "
                       "main): not the toolchain's own (frame_dummy): the check cannot know "
                       "what it leaves running"], describe(None), [], 0)},
}


def refused(addresses, text, why):
    """The same refusal of each of a loop's unrolled copies."""
    return [f"{a:x}: {text}: {why} inside the timed stretch" for a in addresses]


# The AArch64 builds (tests/listings/aarch64): clang++ keeps every
# accumulator at sp-0x48, g++ each at its own slot; a fault in one kernel
# leaves the others' counts as in the honest build.
A64_CLANG = {INC: ([], slot(0x48), [], 500000008), ARITH: ([], slot(0x48), [], 600000006),
             BRANCH: ([], slot(0x48), [], 750000006)}
A64_GCC = {INC: ([], slot(0x28), [], 325000010), ARITH: ([], slot(0x20), [], 425000008),
           BRANCH: ([], slot(0x18), [], 450000009)}


def a64(base, kernel, faults, accumulator=None):
    """An AArch64 listing's verdicts: `base`'s, but for `kernel` failing."""
    return {**base, kernel: (faults, accumulator or base[kernel][1], [], 0)}


ATOMIC = "atomic read-modify-write (LSE)"
SAVED.update({
    "aarch64/clang14-release": A64_CLANG, "aarch64/clang14-release-static": A64_CLANG,
    "aarch64/clang14-release-static-pie": A64_CLANG, "aarch64/gcc12-release": A64_GCC,
    "aarch64/gcc12-release-static": A64_GCC, "aarch64/gcc12-release-static-pie": A64_GCC,
    "aarch64/gcc12-release-not-volatile": {kernel: ([NOT_VOLATILE], describe(None), [], 0)
                                           for kernel in KERNEL_NAMES},
    "aarch64/clang14-release-atomic": a64(A64_CLANG, INC, [
        "be4: bl e30 <__aarch64_ldadd8_acq_rel>: outlined atomic (a call to "
        "__aarch64_ldadd8_acq_rel) inside the timed stretch"], describe(None)),
    "aarch64/gcc12-release-atomic-armv8.1": a64(A64_GCC, INC, refused(
        range(0x998, 0x9b8, 4), "ldaddal x1, x3, [x5]", ATOMIC), describe(None)),
    "aarch64/clang14-release-atomic-no-outline": a64(A64_CLANG, BRANCH, [
        f"{a}: exclusive load or store (an atomic sequence) inside the timed stretch"
        for a in ("c78: ldaxr x10, [x9]", "c80: stlxr w11, x10, [x9]")]),
    "aarch64/gcc12-release-dmb": a64(A64_GCC, ARITH, refused(
        range(0xa78, 0xb08, 0x14), "dmb ish", "barrier")),
    "aarch64/clang14-release-isb": a64(A64_CLANG, INC, refused([0xb6c], "isb", "barrier")),
    "aarch64/gcc12-release-yield": a64(A64_GCC, BRANCH, refused(
        [0xb90, 0xba4, 0xbb8, 0xbcc, 0xbe0, 0xbf4, 0xc14, 0xc2c], "yield",
        "spin-wait or event hint")),
    "aarch64/clang14-release-prfm": a64(A64_CLANG, INC, refused(
        [0xb6c], "prfm pldl1keep, [sp, #8]", "prefetch")),
    "aarch64/gcc12-release-mrs-cntvct": a64(A64_GCC, ARITH, refused(
        range(0xa68, 0xaf8, 0x14), "mrs x0, cntvct_el0",
        "read of a system register (cntvct_el0: the virtual counter, a timer)")),
    "aarch64/clang14-release-svc": a64(A64_CLANG, BRANCH, refused(
        [0xc8c], "svc #0x0", "system call")),
    "aarch64/gcc12-release-brk": a64(A64_GCC, ARITH, [
        "d74: brk #0x3e8: a breakpoint (brk: it raises SIGTRAP): " + PATH_END]),
    "aarch64/clang14-release-udf": a64(A64_CLANG, BRANCH, [
        "c84: udf #0: an undefined instruction (udf: it raises SIGILL): " + PATH_END]),
    "aarch64/clang14-release-float": a64(A64_CLANG, ARITH, [
        f"{a}: floating-point or SIMD instruction inside the timed stretch" for a in (
            "bd8: fmov d0, #3.000000000000000000e+00", "be8: ucvtf d1, x9",
            "bec: fmul d1, d1, d0", "bf0: fcvtzu x9, d1")]),
    "aarch64/gcc12-release-call-in-loop": a64(A64_GCC, INC, refused(
        range(0x9e0, 0xa70, 0x14), "bl 900 <srand@plt>", "call")),
    # One update too many: counted, and refused for it (5 instructions per update).
    "aarch64/clang14-release-off-by-one": {**A64_CLANG, INC: ([
        "the accumulator is read 100000001 and written 100000001 times between b40: bl 950 "
        "<clock_gettime@plt> and b74: bl 950 <clock_gettime@plt> (loop at b58: ldr x9, "
        "[sp, #8]): 100000000 updates (one read and one write each) expected"], slot(0x48), [],
        500000012, ITERATIONS + 1)},
})
# Attacks the check once let through (tests/listings/aarch64/README.md, and
# gcc12-release-own-start in tests/listings/README.md): each
# faults the whole program now. g++'s increment stretch is one instruction
# shorter with code added first in main.
A64_GCC_ADDED = {**A64_GCC, INC: ([], slot(0x28), [], 325000009)}
OWN = "the check cannot know what it leaves running (code in the executable that the check " \
      "does not know by name, in which "
UNKNOWN = f" in main: {RUNNING} (not known to return normally without throwing, nor to end the " \
    "process)"
OWN_START = f"entry point _start in entry (run before main): its instructions are not crt1's " \
    f"_start's, in crt1's order: {RUNNING}"
SAVED.update({**{f"aarch64/{name}": {**base, ALL_KERNELS: (faults, describe(None), [], 0)}
                 for name, base, faults in [
    ("gcc12-release-stale-svc", A64_GCC_ADDED,
     ["97c: svc #0x0: a system call with an unknown number in main: " + RUNNING]),
    ("clang14-release-stale-return", A64_CLANG, [f"b5c: bl b14 <hop>: a call to hop in main: {OWN}"
     "b38: ret is a return after b30: ldr x30, [sp, #16] overwrote the return address)"]),
    ("gcc12-release-caller-frame", A64_GCC, [
        f"954: bl ea0 <pass_on>: a call to pass_on in main: {OWN}eb0: bl 8d0 <printf@plt> is a "
        "call to printf given a pointer into its caller's frame)", f"958: bl ebc <poke>: a call "
        f"to poke in main: {OWN}ec0: str x9, [sp, #8] is a store to the stack slot at entry sp+0x8 "
        "(its caller's frame))"]),
    ("gcc12-release-percent-n-stack", A64_GCC_ADDED, ["d68: ret: a return after d58: ldp x29, x30, "
     "[sp, #16] overwrote the return address: " + PATH_END]),
    ("gcc12-release-static-own-stack-chk-fail", A64_GCC_ADDED, [
        f"400550: bl 400b20 <__stack_chk_fail>: a call to __stack_chk_fail in main: {OWN}400b34: "
        "svc #0x0 is a system call with an unknown number)",
        "400558: svc #0x0: a system call with number 172 in main: " + RUNNING]),
    ("gcc12-release-own-start", A64_GCC, [OWN_START])]},
    "gcc12-release-own-start": {**SAVED["gcc12-release"], ALL_KERNELS: ([OWN_START], describe(None),
                                                                        [], 0)},
    "aarch64/clang14-release-static-pie-lld": A64_CLANG,
    "aarch64/clang14-release-neighbour-store": a64(A64_CLANG, INC, [
        "b48: ldp x21, x22, [sp, #16]: read of the stack slot at entry sp-0x38, the clock's "
        "timespec, which the timed stretch also writes", "b6c: stur xzr, [x29, #-8]: store to the "
        "stack slot at entry sp-0x38, which is not the accumulator, inside the timed stretch"]),
    "aarch64/gcc12-release-two-mains": {ALL_KERNELS: ([
        "2 functions are named main (at e00, 12b0): the check cannot tell which one the C library "
        "runs"], describe(None), [], 0)},
    "aarch64/gcc12-release-plt-edited": {ALL_KERNELS: ([
        "0 clock calls reached from main's entry, expected 6"] + [
            f"{a}: bl 8c0 <clock_gettime@plt>: a call to clock_getres" + UNKNOWN for a in (
            "9ac", "a40", "a8c", "b38", "b84", "cc4")] + [
            f"{a}: a call to a PLT stub of no known shape" + UNKNOWN for a in (
                "d28: bl 920 <fflush@plt>", "d98: bl 960 <ferror@plt>")],
        describe(None), [], 0)}})


def saved_verdicts(name):
    with open(os.path.join(LISTINGS, name + ".txt"), encoding="utf-8") as f:
        return analyse_text(f.read())


class SavedListings(unittest.TestCase):
    def test_every_saved_listing_has_its_verdict_here(self):
        saved = sorted(os.path.relpath(os.path.join(folder, name), LISTINGS)[:-4]
                       for folder, _, names in os.walk(LISTINGS) for name in names
                       if name.endswith(".txt"))
        self.assertEqual(saved, sorted(SAVED))

    def test_exact_verdicts(self):
        for name, expected in SAVED.items():
            with self.subTest(name):
                verdicts = saved_verdicts(name)
                self.assertEqual([k.name for k in verdicts], list(expected))
                self.assertEqual(verdicts.notes, [])  # what runs before main is saved too
                for kernel in verdicts:
                    faults, accumulator, copies, steps, *count = expected[kernel.name]
                    counted = count[0] if count else ITERATIONS if steps else 0
                    self.assertEqual(
                        (kernel.faults, describe(kernel.accumulator),
                         sorted(map(describe, kernel.copies)), kernel.steps, kernel.reads,
                         kernel.writes),
                        (faults, accumulator, copies, steps, counted, counted), kernel.name)

    def test_printed_lines(self):
        count = "100000000 reads and 100000000 writes of it"
        self.assertEqual(list(verdict_lines(saved_verdicts("clang14-release-call-in-loop"))), [
            "FAIL Inc loop: 122b: call 1070 <srand@plt>: call inside the timed stretch",
            f"ok   Arith loop: accumulator at the stack slot at entry sp-0x30; {count}, "
            f"380000008 instructions between the clock calls (3.80 per update)",
            f"ok   Branch loop: accumulator at the stack slot at entry sp-0x30; {count}, "
            f"200000008 instructions between the clock calls (2.00 per update)"])


# An AArch64 instruction's record in one line: the registers it reads ->
# those it writes; each access as base+offset[index,extend#shift]:bytes and
# r/w; nzcv> (flags read), >nzcv (written), kernel (a system call); a
# branch's kind, condition and target.
def effect(insn):
    words = [*insn.reads, "->", *insn.writes]
    words += [f"{a.base or hex(a.address)}{a.offset:+d}"
              + (f"[{a.index},{a.extend}#{a.shift}]" if a.index else "")
              + f":{a.size}{'r' * a.reads}{'w' * a.writes}" for a in insn.memory]
    words += ["nzcv>"] * insn.flags_read + [">nzcv"] * insn.flags_written
    words += ["kernel"] * insn.syscall
    words += [insn.branch, insn.condition, "" if insn.target is None else f"{insn.target:x}"]
    return " ".join(w for w in words if w)


A64_LISTINGS = os.path.join(LISTINGS, "aarch64")
ANY = " ".join(f"x{n}" for n in range(31))  # what an instruction not modelled may write
# (saved listing the line is taken from, or None: written here; the line;
# its record; None when the timed stretch may hold it, else words of why not)
A64_LINES = [
    ("gcc12-release", "stp\tx29, x30, [sp, #-96]!", "sp x29 x30 -> sp sp-96:8w sp-88:8w", None),
    ("gcc12-release", "ldp\tx29, x30, [sp], #96", "sp -> sp x29 x30 sp+0:8r sp+8:8r", None),
    ("gcc12-release", "ldp\tx20, x3, [sp, #80]", "sp -> x20 x3 sp+80:8r sp+88:8r", None),
    ("gcc12-release", "str\txzr, [sp, #56]", "sp -> sp+56:8w", None),
    ("gcc12-release", "ldr\tx20, [x20, #4040]", "x20 -> x20 x20+4040:8r", None),
    ("gcc12-release", "subs\tx1, x1, #0x8", "x1 -> x1 >nzcv", None),
    ("gcc12-release", "b.ne\t990 <main+0x50>", "-> nzcv> b.cond ne 990", None),
    ("gcc12-release", "cbnz\tw0, d64 <main+0x424>", "x0 -> cbnz d64", None),
    ("gcc12-release", "tbz\tw6, #0, c04 <main+0x2c4>", "x6 -> tbz c04", None),
    ("gcc12-release", "add\tx8, x7, x7, lsl #1", "x7 -> x8", None),
    ("gcc12-release", "madd\tx20, x20, x2, x3", "x20 x2 x3 -> x20", None),
    ("gcc12-release", "movk\tx2, #0x3b9a, lsl #16", "x2 -> x2", None),
    ("gcc12-release", "cmp\tx6, x15", "x6 x15 -> >nzcv", None),
    ("gcc12-release", "mov\tx29, sp", "sp -> x29", None),
    ("gcc12-release", "bl\t870 <clock_gettime@plt>", "-> x30 bl 870", "call"),
    ("gcc12-release", "ret", "x30 -> ret", "return"),
    ("gcc12-release", "fmov\td1, x30", "x30 -> >nzcv", "floating-point"),
    ("gcc12-release", "scvtf\td0, x20", "x20 -> >nzcv", "floating-point"),
    ("clang14-release", "sub\tsp, sp, #0x50", "sp -> sp", None),
    ("clang14-release", "mov\tw19, #0xe100", "-> x19", None),
    ("clang14-release", "mov\tx8, xzr", "-> x8", None),
    ("clang14-release", "str\twzr, [x0]", "x0 -> x0+0:4w", None),
    ("clang14-release", "ldrb\tw0, [x19, #120]", "x19 -> x0 x19+120:1r", None),
    ("clang14-release", "strb\tw0, [x19, #120]", "x19 x0 -> x19+120:1w", None),
    ("clang14-release", "adrp\tx0, 1f000 <__FRAME_END__+0x1e01c>", "-> x0 1f000", None),
    ("clang14-release", "br\tx17", "x17 -> br", "indirect branch"),
    ("gcc12-release-static", "str\tw1, [x3, x2]", "x3 x2 x1 -> x3+0[x2,#0]:4w", None),
    ("gcc12-release-static", "blr\tx2", "x2 -> x30 blr", "call"),
    ("gcc12-release-static", "svc\t#0x0", "x8 x0 x1 x2 x3 x4 x5 -> x0 kernel", "system call"),
    ("gcc12-release-static", "mrs\tx3, tpidr_el0", "-> x3", "system register (tpidr_el0)"),
    ("clang14-release-atomic", "bl\te30 <__aarch64_ldadd8_acq_rel>", "-> x30 bl e30",
     "outlined atomic (a call to __aarch64_ldadd8_acq_rel)"),
    ("gcc12-release-atomic-armv8.1", "ldaddal\tx1, x3, [x5]", "x5 x1 -> x3 x5+0:8rw", "LSE"),
    ("clang14-release-atomic-no-outline", "ldaxr\tx10, [x9]", "x9 -> x10 x9+0:8r", "exclusive"),
    ("clang14-release-atomic-no-outline", "stlxr\tw11, x10, [x9]", "x9 x10 -> x11 x9+0:8w",
     "exclusive"),
    ("gcc12-release-dmb", "dmb\tish", "->", "barrier"),
    ("clang14-release-isb", "isb", "->", "barrier"),
    ("gcc12-release-yield", "yield", "->", "spin-wait"),
    ("clang14-release-prfm", "prfm\tpldl1keep, [sp, #8]", "sp ->", "prefetch"),
    ("gcc12-release-mrs-cntvct", "mrs\tx0, cntvct_el0", "-> x0", "cntvct_el0: the virtual counter"),
    ("gcc12-release-brk", "brk\t#0x3e8", "->", "trap"),
    ("clang14-release-udf", "udf\t#0", "->", "trap"),
    ("clang14-release-float", "fcvtzu\tx9, d1", "-> x9 >nzcv", "floating-point"),
    (None, "ldr\tx1, [x0, #16]!", "x0 -> x0 x1 x0+16:8r", None),
    (None, "str\tx0, [x1], #8", "x1 x0 -> x1 x1+0:8w", None),
    (None, "ldrsw\tx0, [x1, w2, sxtw #2]", "x1 x2 -> x0 x1+0[w2,sxtw#2]:4r", None),
    (None, "ldpsw\tx0, x1, [x2]", "x2 -> x0 x1 x2+0:4r x2+4:4r", None),
    (None, "ldr\tx0, 4a0 <table>", "-> x0 0x4a0+0:8r 4a0", None),
    (None, "csel\tw0, w1, w2, lo", "x1 x2 -> x0 nzcv> cc", None),
    (None, "ccmp\tx0, #0x1, #0x4, ne", "x0 -> nzcv> >nzcv ne", None),
    (None, "bti\tc", "->", None),
    (None, "ret\tx1", "x1 -> ret", "return"),
    (None, "b\tcc", "-> b cc", None),
    (None, "stadd\tx1, [x0]", "x0 x1 -> x0+0:8rw", "LSE"),
    (None, "swpalb\tw1, w2, [x0]", "x0 x1 -> x2 x0+0:1rw", "LSE"),
    (None, "casp\tx0, x1, x2, x3, [x4]", "x4 x0 x1 x2 x3 -> x0 x1 x4+0:16rw", "LSE"),
    (None, "ldar\tw0, [x1]", "x1 -> x0 x1+0:4r", "acquire or release"),
    (None, "stlrh\tw0, [x1]", "x1 x0 -> x1+0:2w", "acquire or release"),
    (None, "dsb\tsy", "->", "barrier"),
    (None, "wfe", "->", "spin-wait"),
    (None, "msr\ttpidr_el0, x0", "x0 -> >nzcv", "write to a system register (tpidr_el0)"),
    (None, "hlt\t#0x0", "->", "trap"),
    (None, ".inst\t0xdeadbeef ; undefined", "->", "cannot decode"),
    (None, "paciasp", "x30 sp -> x30", "pointer authentication"),
    (None, "dc\tzva, x0", "x0 -> x0+0:Nonew >nzcv", "cache or system"),
    (None, "ldr\tq0, [x0, #16]", "x0 -> x0+16:16r >nzcv", "floating-point"),
    (None, "st1\t{v0.16b, v1.16b}, [x0], #32", "x0 -> x0 x0+0:32w >nzcv", "floating-point"),
    (None, "cntb\tx6", "-> x6 >nzcv", "floating-point or SIMD"),
    (None, "stzg\tx0, [x0]", "x0 -> x0+0:16w", "memory tagging"),
    (None, "ldnp\tx0, x1, [x2]", "x2 -> x0 x1 x2+0:8r x2+8:8r", "non-temporal"),
    (None, "ldtr\tx0, [x1]", "x1 -> x0 x1+0:8r", "unprivileged"),
    (None, "crc32x\tw0, w0, x1", f"x0 x1 -> {ANY} >nzcv", "outside the allowed set"),
    # A hint objdump does not name (chkfeat writes x16); ld64b loads x0 to x7.
    (None, "hint\t#0x28", f"-> {ANY} >nzcv", "hint"),
    (None, "ld64b\tx0, [x9]", f"x9 x0 -> {ANY} x9+0:Nonerw >nzcv", "outside the allowed set"),
]


# AArch64's condition codes on the flags N, Z, C, V as the architecture sets them.
A64_CODES = {"eq": lambda n, z, c, v: z, "ne": lambda n, z, c, v: not z,
             "cs": lambda n, z, c, v: c, "cc": lambda n, z, c, v: not c,
             "mi": lambda n, z, c, v: n, "pl": lambda n, z, c, v: not n,
             "vs": lambda n, z, c, v: v, "vc": lambda n, z, c, v: not v,
             "hi": lambda n, z, c, v: c and not z, "ls": lambda n, z, c, v: not c or z,
             "ge": lambda n, z, c, v: n == v, "lt": lambda n, z, c, v: n != v,
             "gt": lambda n, z, c, v: not z and n == v, "le": lambda n, z, c, v: z or n != v}


def nzcv(kind, a, b):
    """The flags cmp (a - b), cmn (a + b) or tst (a & b) leave on AArch64."""
    full, signed = 1 << 64, lambda x: x - (1 << 64) if x >> 63 else x
    exact = {"cmp": a - b, "cmn": a + b, "tst": a & b}[kind]
    r = exact % full
    carry = {"cmp": a >= b, "cmn": a + b >= full, "tst": False}[kind]
    wide = {"cmp": signed(a) - signed(b), "cmn": signed(a) + signed(b), "tst": 0}[kind]
    return bool(r >> 63), r == 0, carry, not -(1 << 63) <= wide < 1 << 63


class AArch64Model(unittest.TestCase):
    def test_conditions_follow_nzcv(self):
        # After a compare, an add-compare and a test, every condition code
        # as the processor decides it (after cmn, hi and ls may be unknown).
        values = [0, 1, 5, (1 << 63) - 1, 1 << 63, (1 << 64) - 1, (1 << 64) - 5]
        layer = isa.aarch64
        for kind in ("cmp", "cmn", "tst"):
            insn = parse_aarch64(f"  1000:\t{kind}\tx0, x1")
            for a in values:
                for b in values:
                    state = layer.State({"x0": Value(a), "x1": Value(b)})
                    layer.execute(insn, layer.decode(insn), state, Context())
                    for cc, holds in A64_CODES.items():
                        branch = parse_aarch64(f"  1004:\tb.{cc}\t1000 <main>")
                        expected = holds(*nzcv(kind, a, b))
                        self.assertIn(layer.branch_taken(branch, state, Context()),
                                      (expected, None) if kind == "cmn" and cc in ("hi", "ls")
                                      else (expected,), f"b.{cc} after {kind} {a:#x}, {b:#x}")
        for text, value, taken in [("cbz\tx0", 0, True), ("cbz\tw0", 1 << 32, True),
                                   ("cbnz\tx0", 1 << 32, True), ("tbz\tw0, #0", 2, True),
                                   ("tbnz\tx0, #63", 1 << 63, True), ("tbz\tx0, #63", 1, True),
                                   ("tbnz\tw0, #0", 2, False), ("cbnz\tw0", 1 << 32, False)]:
            with self.subTest(text, value=value):
                branch = parse_aarch64(f"  1004:\t{text}, 1000 <main>")
                state = layer.State({"x0": Value(value)})
                self.assertEqual(layer.branch_taken(branch, state, Context()), taken)

    def test_every_line_of_the_saved_listings_is_read(self):
        # Every operand typed (what is left is a system register, an
        # option or a register list), every instruction modelled or refused
        # for a reason of its own.
        for name in sorted(n for n in os.listdir(A64_LISTINGS) if n.endswith(".txt")):
            with open(os.path.join(A64_LISTINGS, name), encoding="utf-8") as f:
                records = [r for r in map(parse_aarch64, f) if r is not None]
            self.assertGreater(len(records), 100)
            for insn in records:
                with self.subTest(name, insn=str(insn)):
                    self.assertFalse([o for o in insn.operands if isinstance(o, Other)
                                      and not o.text.startswith(("{", "#"))
                                      and not o.text.isidentifier()])
                    refusal = aarch64_allowlist.decode(insn).refusal
                    self.assertTrue(insn.known or refusal, insn)
                    self.assertNotIn("outside the allowed set", refusal)

    def test_records_and_refusals_of_lines(self):
        for listing, text, expected, refused in A64_LINES:
            with self.subTest(text, listing=listing):
                if listing:
                    with open(os.path.join(A64_LISTINGS, f"{listing}.txt"), encoding="utf-8") as f:
                        saved = [line for line in f.read().splitlines()
                                 if re.sub(r"\s*//.*", "", line.split(":\t", 1)[-1]) == text]
                    self.assertTrue(saved, "not in the saved listing")
                insn = parse_aarch64(saved[0] if listing else f"  1000:\t{text}")
                self.assertEqual(effect(insn), expected)
                decoded = aarch64_allowlist.decode(insn)
                if refused is None:
                    self.assertTrue(decoded.allowed, decoded.refusal)
                else:
                    self.assertIn(refused, decoded.refusal)


def loopcheck_imports(package, module):
    """The check's modules that `module` of `package` (a path of package
    names under loopcheck: [] for the package itself) imports, each as its
    path under loopcheck (["values"], ["x86_64", "allowlist"])."""
    folder = os.path.join(os.path.dirname(os.path.abspath(loopcheck.__file__)), *package)
    with open(os.path.join(folder, module + ".py"), encoding="utf-8") as f:
        tree = ast.parse(f.read())
    found = []
    for node in ast.walk(tree):
        if isinstance(node, ast.ImportFrom) and (node.level or node.module.startswith(
                "loopcheck.") or node.module == "loopcheck"):
            base = package[:len(package) - node.level + 1] if node.level else []
            path = base + (node.module.split(".")[0 if node.level else 1:] if node.module else [])
            within = os.path.join(os.path.dirname(os.path.abspath(loopcheck.__file__)), *path)
            found += [path + [a.name] for a in node.names] if os.path.isdir(within) else [path]
        elif isinstance(node, ast.Import):
            found += [a.name.split(".")[1:] for a in node.names
                      if a.name.startswith("loopcheck.")]
    return found


class Layers(unittest.TestCase):
    FOLDER = os.path.dirname(os.path.abspath(loopcheck.__file__))

    def test_modules_import_only_the_layers_below(self):
        # An instruction-set layer (a package) is one layer with layers of its
        # own; only the interface module (isa) imports one, and none another.
        layers, isas = loopcheck.LAYERS, loopcheck.ISA_LAYERS
        self.assertEqual(sorted(layers), sorted(
            name[:-3] if name.endswith(".py") else name for name in os.listdir(self.FOLDER)
            if name != "__init__.py" and (name.endswith(".py") or os.path.isfile(
                os.path.join(self.FOLDER, name, "__init__.py")))))
        for layer in layers:
            if layer not in isas:
                for other in loopcheck_imports([], layer):
                    with self.subTest(layer, imports=other):
                        self.assertLess(layers.index(other[0]), layers.index(layer))
                        self.assertTrue(other[0] not in isas or layer == "isa")
                continue
            inner = importlib.import_module(f"loopcheck.{layer}").LAYERS  # its __init__ only
            self.assertEqual(sorted(inner), sorted(
                name[:-3] for name in os.listdir(os.path.join(self.FOLDER, layer))
                if name.endswith(".py") and name != "__init__.py"))
            for module in inner:
                for other in loopcheck_imports([layer], module):
                    with self.subTest(f"{layer}.{module}", imports=other):
                        if other[0] == layer:
                            self.assertLess(inner.index(other[1]), inner.index(module))
                        else:
                            self.assertNotIn(other[0], isas)
                            self.assertLess(layers.index(other[0]), layers.index(layer))

    def test_each_instruction_set_binds_the_interface(self):
        self.assertEqual([layer.__name__ for layer in isa.ISAS],
                         [f"loopcheck.{name}.layer" for name in loopcheck.ISA_LAYERS])
        for layer in isa.ISAS:
            with self.subTest(layer.NAME):
                self.assertEqual(sorted(layer.__all__), sorted(isa.INTERFACE))
                self.assertEqual([n for n in isa.INTERFACE if not hasattr(layer, n)], [])

    def test_the_independent_code_names_no_x86_register_or_mnemonic(self):
        # "sp" is neutral: the base of the stack addresses, whatever the instruction set.
        x86 = set(x86_registers.REGISTERS) - {"sp"} | {"jmp", "syscall", "ret", "lea", "mov"}
        for layer in set(loopcheck.LAYERS) - set(loopcheck.ISA_LAYERS):
            with open(os.path.join(self.FOLDER, layer + ".py"), encoding="utf-8") as f:
                tree = ast.parse(f.read())
            docstrings = {id(node.body[0].value) for node in ast.walk(tree)
                          if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef))
                          and node.body and isinstance(node.body[0], ast.Expr)}
            words = [node.value for node in ast.walk(tree) if isinstance(node, ast.Constant)
                     and isinstance(node.value, str) and id(node) not in docstrings]
            with self.subTest(layer):
                self.assertEqual([w for w in words if w in x86 or re.search("%[a-z]", w)], [])


if __name__ == "__main__":
    sys.exit(harness.main(argparse.Namespace(), __doc__.split("\n\n")[0]))
