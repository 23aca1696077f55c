#!/usr/bin/env python3
"""Tests of tools/check_loops on real builds: it must reject every faulty
build and accept every honest one.

  NegativeControls: the real source rebuilt with one deliberate fault at a
    time (and a few correct rewrites), with the build's compiler and flags;
    each fault must be rejected in its kernel only, naming the rule broken.
  FlagMatrix: the unchanged source, and its loops with an int or a
    std::uint64_t index, under every supported optimised flag set must pass;
    an unoptimised build must fail because its index lives in memory; the
    excerpt of a build's listing that the check reads gives the verdicts the
    whole listing gives.
  AArch64NegativeControls, AArch64FlagMatrix: the same, cross-built for
    AArch64 by the AArch64 compiler of the build's compiler's kind, where
    the build makes x86-64 code; skipped, saying why, where none is
    installed. (A build that makes AArch64 code, an aarch64 preset's, runs
    AArch64's faults and flag sets in NegativeControls and FlagMatrix.)
  LinkedFaults: faults made by the link or by editing the executable after
    it (an auditing library, a constructor whose section header is gone).
  CommandLine: check_loops.py as a user runs it: a stripped executable, the
    output cut short by a reader, the listing it reads.

The check's parts, on hand-written excerpts and on saved listings of real
builds, are tested in test_check_loops_parts.py.

    test_check_loops.py --source FILE --compiler CXX [--target-flags "..."]
                        [--flags "..."] [GROUP ...]

--target-flags (clang++'s --target=..., a sysroot) go into every build, the
flag matrix's too. A group skips (exit 77) when the compiler makes code the
check does not read (a cross build's), as the check itself says.
"""
import argparse
import atexit
import concurrent.futures
import contextlib
import functools
import itertools
import os
import re
import shlex
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

import harness
from loopcheck.controlflow import excerpt
from loopcheck.driver import SKIP, analyse, analyse_text, listing
from loopcheck.exits import EXCERPT_BY_NAME
from loopcheck.isa import for_executable
from loopcheck.elf import Elf, identify
from loopcheck.objdump import Program
from loopcheck.rules import ALL_KERNELS
from report import KERNEL_NAMES

OPTIONS = argparse.Namespace()
INC, ARITH, BRANCH = KERNEL_NAMES

LOOP = "for (std::int64_t i = 0; i < ITERATIONS; ++i)"
UNROLL = "#pragma GCC unroll 8\n        "
# An x86-64 instruction other than a move whose last operand is in memory: it
# reads and writes it (addq $0x1,(%rsp), incq (%rsp)), as objdump prints it.
FUSED = re.compile(r": (?!mov)[a-z]+ (.*,)?-?(0x[0-9a-f]+)?\([^()]*\)(\s+#.*)?$")
# Each update: computed from one read, written by a store of its own.
INC_UPDATE, DEC_UPDATE, ARITH_UPDATE = ("x = unfused(x + 1);", "x = unfused(x - 1);",
                                        "x = unfused(x * 3 + 7);")
START = "const std::int64_t start = read_monotonic_ns();"
END_THEN_FINAL = ("const std::int64_t end = read_monotonic_ns();\n"
                  "        const std::uint64_t final_x = x;")
FINAL_THEN_END = ("const std::uint64_t final_x = x;\n"
                  "        const std::int64_t end = read_monotonic_ns();")
HELPERS = "} // namespace\n\nint main()"
COLD = ("[[gnu::cold]] [[gnu::noinline]] void cold_path(std::int64_t i) {\n"
        "    std::printf(\"%lld\\n\", static_cast<long long>(i));\n}\n"
        "volatile std::int64_t sink;\n" + HELPERS)
NON_VOLATILE_X = "*const_cast<std::uint64_t *>(&x)"
# Every count's fault quotes the clock calls ("call 1060 <clock_gettime@plt>"),
# so a control for the call rule must expect the rule's own words.
CALL_RULE = ": call inside the timed stretch"
# The first measurement's end, where a way out of its stretch is added: the
# start time is a value the check cannot know, and always positive.
INC_END = ("const std::int64_t end = read_monotonic_ns();\n"
           "        const std::uint64_t final_x = x;\n"
           "        std::printf(\"Inc loop")
INCLUDES = "#include <ctime>\n"
MAIN = "int main() {"


def way_out(code):
    """An edit putting `code` on a way out of the increment loop's stretch
    that the check cannot tell is never taken."""
    return (INC_END, "if (start > 0) {\n            " + code + "\n        }\n        " + INC_END,
            0)


def before_first_clock(code, includes="", helpers=""):
    """Edits putting `code` first in main, before the first clock call."""
    return [(INCLUDES, INCLUDES + includes, 0), (HELPERS, helpers + HELPERS, 0),
            (MAIN, MAIN + "\n    " + code, 0)]


# A path may end only in a call that ends the process or main's own return.
PATH_END = "a path may end only in a call that ends the process or in main's own return"
# A call on a way out of the stretch must be known to return (without a
# throw) or to end the process; anything anywhere else in main must be known.
OUT_CALL = "on a way out of the timed stretch: not known to return normally without throwing"
RUNNING = "the check cannot know what it leaves running"

# name: (edits as (old, new, occurrence, or None for all), kernel that must
# fail (None: every kernel), text the fault must contain: the rule's own
# words, not words any fault might quote, such as an instruction's text; or
# {verdict: text} for a fault found by more than one rule, each verdict
# named failing with its own words and no other failing)
FAULTS = {
    "accumulator not volatile": (
        [("volatile std::uint64_t x = 0;", "std::uint64_t x = 0;", None)],
        None, "not updated in memory"),
    "locked update": (
        [(INC_UPDATE, f"__atomic_fetch_add(&{NON_VOLATILE_X}, 1, __ATOMIC_RELAXED);", 0)],
        INC, "lock prefix"),
    "pause in the loop": (
        [(INC_UPDATE, INC_UPDATE + "\n            __builtin_ia32_pause();", 0)], INC, "pause"),
    "fence in the loop": (
        [(ARITH_UPDATE, ARITH_UPDATE + "\n            __builtin_ia32_lfence();", 0)],
        ARITH, "fence"),
    "prefetch in the loop": (
        [(INC_UPDATE, INC_UPDATE + f"\n            __builtin_prefetch(&{NON_VOLATILE_X});", 0)],
        INC, "prefetch"),
    "call on a cold path": (
        [(HELPERS, COLD, 0),
         (INC_UPDATE, INC_UPDATE + "\n            if ((i & 0xfffff) == 0) cold_path(i);", 0)],
        INC, CALL_RULE),
    "call inside a timed loop": (
        [(INC_UPDATE, INC_UPDATE + "\n            std::srand(1);", 0)], INC, CALL_RULE),
    "off-by-one bound": (
        [(LOOP, LOOP.replace("<", "<="), 0)], INC, "read 100000001 and written 100000001"),
    "extra update before the loop": (
        [(START, START + "\n        x = x + 1;", 0)], INC, "updates"),
    "store to another object": (
        [(HELPERS, COLD, 0), (START, START + "\n        sink = 1;", 1)], ARITH, "store to"),
    "arithmetic update in two statements": (
        [(ARITH_UPDATE, "x = x * 3;\n            x = x + 7;", 0)],
        ARITH, "read 200000000 and written 200000000"),
    "loop index kept in memory": (
        [(LOOP, "for (volatile std::int64_t i = 0; i < ITERATIONS; i = i + 1)", 2)],
        BRANCH, "lives in memory"),
    "final read before the second clock read": (
        [(END_THEN_FINAL, FINAL_THEN_END, 1)], ARITH, "not read after the second clock call"),
    "bound known only at run time": (
        [(LOOP, "for (std::int64_t i = 0; i < ITERATIONS + argc - 1; ++i)", 0),
         ("int main()", "int main(int argc, char **)", 0)], INC, "the check cannot know"),
    # Twice as many iterations, every other one updating, unrolled: each
    # trip of the loop head still updates, but the index advances by twice
    # the updates.
    "twice as often, every other iteration updating, unrolled": (
        [(UNROLL + LOOP + " {\n            " + INC_UPDATE,
          UNROLL + "for (std::int64_t i = 0; i < 2 * ITERATIONS; ++i) {\n"
          "            if (i & 1) " + INC_UPDATE, 0)],
        INC, "every register that advances must advance by the updates or a divisor"),
    "wrong clock": (
        [("CLOCK_MONOTONIC, &ts", "CLOCK_REALTIME, &ts", 0)], None, "not CLOCK_MONOTONIC"),
    # The throw's path never returns, yet its handler resumes in the stretch:
    # here it skips the loop.
    "exception thrown past the loop": (
        [(UNROLL + LOOP, "try {\n        if (start != 12345) throw 1;\n        " + UNROLL + LOOP,
          1),
         (ARITH_UPDATE + "\n        }", ARITH_UPDATE + "\n        }\n        } catch (int) {}", 0)],
        ARITH, OUT_CALL),
    "a clock_gettime of the program's own": (
        [(HELPERS, 'extern "C" [[gnu::noinline]] int clock_gettime(clockid_t id, timespec *ts) '
                   'noexcept {\n    ts->tv_sec = id;\n    ts->tv_nsec = 0;\n'
                   '    asm volatile("");\n    return 0;\n}\n' + HELPERS, 0)],
        # The C and C++ libraries' own calls reach it too (it is exported).
        None, {**{k: "defined in the program itself" for k in KERNEL_NAMES},
               ALL_KERNELS: "the executable defines clock_gettime for its shared libraries"}),
    "segment register reloaded in the loop": (
        [(INC_UPDATE, INC_UPDATE + '\n            asm volatile("mov %%ds, %%eax\\n\\t'
                        'mov %%eax, %%ds" ::: "eax");', 0)], INC, "not a general register"),
    # Ways out of a stretch that end nowhere the check understands: a signal
    # handler, or whatever the stack holds, decides what runs next.
    "a path out of the stretch ending in ud2": (
        [way_out('asm volatile("ud2");')], INC, "undefined instruction (it raises SIGILL): "
                                                + PATH_END),
    "a path out of the stretch ending in hlt": (
        [way_out('asm volatile("hlt");')], INC, "a halt (privileged: it raises a signal): "
                                                + PATH_END),
    "a path out of the stretch ending in iretq": (
        [way_out('asm volatile("iretq");')], INC, "an interrupt return: " + PATH_END),
    "a path out of the stretch ending in ret": (
        [way_out('asm volatile("ret");')], INC, "not back at the function's entry value: "
                                                + PATH_END),
    # What the stack makes of `ret`: back into the stretch, here past the
    # loop's bound check.
    "push label; ret": (
        [way_out('asm volatile("lea 1f(%%rip), %%rax\\n\\tpush %%rax\\n\\tret\\n1:" ::: '
                 '"rax", "memory");')], INC, PATH_END),
    # A throw caught inside the stretch: its handler jumps back into it.
    "std::__throw_runtime_error on a way out": (
        [(INCLUDES, INCLUDES + "#include <stdexcept>\n", 0),
         way_out('try {\n                std::__throw_runtime_error("late");\n'
                 '            } catch (const std::exception &) {\n            }')],
        INC, OUT_CALL),
    "std::rethrow_exception on a way out": (
        [(INCLUDES, INCLUDES + "#include <exception>\n", 0),
         (INC_END.replace("Inc", "Arith"), "try {\n            if (start > 0) "
          "std::rethrow_exception(std::exception_ptr());\n        } catch (...) {\n        }"
          "\n        " + INC_END.replace("Inc", "Arith"), 0)],
        ARITH, OUT_CALL),
    # Set up before the first clock call, running beside every loop.
    "setitimer with a SIGALRM handler": (before_first_clock(
        "std::signal(SIGALRM, on_alarm);\n    itimerval every{{0, 100}, {0, 100}};\n"
        "    setitimer(ITIMER_REAL, &every, nullptr);",
        "#include <csignal>\n#include <sys/time.h>\n",
        "volatile std::uint64_t alarms;\nvoid on_alarm(int) { alarms = alarms + 1; }\n"),
        ALL_KERNELS, RUNNING),
    "a thread started before the first clock call": (before_first_clock(
        "std::thread([] {\n        for (;;) neighbour = neighbour + 1;\n    }).detach();",
        "#include <thread>\n", "volatile std::uint64_t neighbour;\n"), ALL_KERNELS, RUNNING),
    "mprotect": (before_first_clock(
        "mprotect(reinterpret_cast<void *>(reinterpret_cast<std::uintptr_t>(&fail_clock) & "
        "~std::uintptr_t{4095}), 4096, PROT_READ | PROT_WRITE | PROT_EXEC);",
        "#include <sys/mman.h>\n"), ALL_KERNELS, RUNNING),
    # What a later call runs, changed: the GOT, or a pointer to a function.
    "a store to a function pointer": (before_first_clock(
        "hook = &fail_clock;", "", "void (*volatile hook)(int);\n"),
        ALL_KERNELS, "a store to 0x"),
    # A function of the program's own that breaks the calling convention:
    # the caller's %rbx (a loop counter, say) is not what the check believes.
    "a function of the program's own leaving %rbx changed": (before_first_clock(
        "clobber();", "", '[[gnu::noinline]] void clobber() { asm volatile("mov $5, %rbx"); }\n'),
        ALL_KERNELS, "a return that leaves %rbx changed, which a call must preserve"),
    "a constructor of the program's own": (
        [(HELPERS, "[[gnu::constructor]] void set_up() { std::puts(\"set up\"); }\n" + HELPERS,
          0)], ALL_KERNELS, "(run before main): not the toolchain's own (frame_dummy): "
                            + RUNNING),
    # Run by exit(), which a way out of a stretch may call: it may print a
    # report of its own.
    "a destructor of the program's own after exit() on a way out": (
        [(HELPERS, "[[gnu::destructor]] void tear_down() { std::puts(\"tear down\"); }\n"
          + HELPERS, 0), way_out("std::exit(0);")],
        ALL_KERNELS, "(run at exit): not the toolchain's own (__do_global_dtors_aux): "
                     + RUNNING),
    # The C library's and libstdc++'s own calls to malloc reach it: code of
    # the program's own, running beside the loops whenever they allocate.
    "a malloc of the program's own": (
        [(HELPERS, 'extern "C" void *__libc_malloc(std::size_t);\n'
                   'volatile std::uint64_t allocations;\n'
                   'extern "C" void *malloc(std::size_t n) {\n'
                   '    allocations = allocations + 1;\n    return __libc_malloc(n);\n}\n'
          + HELPERS, 0)],
        ALL_KERNELS, "the executable defines malloc for its shared libraries"),
}

# The faults above that only x86-64 code can have (their source is x86-64's).
X86_ONLY = {"locked update", "pause in the loop", "fence in the loop",
            "segment register reloaded in the loop", "a path out of the stretch ending in ud2",
            "a path out of the stretch ending in hlt", "a path out of the stretch ending in iretq",
            "a path out of the stretch ending in ret", "push label; ret",
            "a function of the program's own leaving %rbx changed"}
LSE = ".arch_extension lse\\n\\t"  # lets the assembler take an LSE atomic
# AArch64's own faults, as FAULTS has them.
AARCH64_FAULTS = {
    # (Without volatile, clang++ vectorizes the branch loop: refused for that.)
    "accumulator not volatile": (
        [("volatile std::uint64_t x = 0;", "std::uint64_t x = 0;", 0)] * 2, None,
        dict.fromkeys([INC, ARITH], "not updated in memory")),
    "an atomic update, outlined": (
        [(INC_UPDATE, f"__atomic_fetch_add(&{NON_VOLATILE_X}, 1, __ATOMIC_RELAXED);", 0)],
        INC, "outlined atomic (a call to __aarch64_ldadd8_relax)"),
    "an LSE atomic in the loop": (
        [(INC_UPDATE, INC_UPDATE + f'\n            asm volatile("{LSE}stadd %0, [%1]" :: '
                        f'"r"(0L), "r"(&{NON_VOLATILE_X}) : "memory");', 0)],
        INC, "atomic read-modify-write (LSE)"),
    "the update as an exclusive pair": (
        [(ARITH_UPDATE, "std::uint64_t t;\n            unsigned failed;\n            "
                            'asm volatile("1: ldaxr %0, [%2]\\n\\tadd %0, %0, #7\\n\\t'
                            'stlxr %w1, %0, [%2]\\n\\tcbnz %w1, 1b" : "=&r"(t), "=&r"(failed) : '
                            f'"r"(&{NON_VOLATILE_X}) : "memory");', 0)],
        ARITH, "exclusive load or store"),
    "a dmb in the loop": (
        [(ARITH_UPDATE, ARITH_UPDATE + '\n            asm volatile("dmb ish" ::: "memory");',
          0)], ARITH, "barrier"),
    "an isb in the loop": (
        [(INC_UPDATE, INC_UPDATE + '\n            asm volatile("isb");', 0)], INC, "barrier"),
    "a yield in the loop": (
        [(DEC_UPDATE, DEC_UPDATE + '\n                asm volatile("yield");', 0)], BRANCH,
        "spin-wait or event hint"),
    "the virtual counter read in the loop": (
        [(ARITH_UPDATE, "std::uint64_t t;\n            "
                            'asm volatile("mrs %0, cntvct_el0" : "=r"(t));\n'
                            "            x = unfused(x * 3 + 7 + (t & 0));", 0)],
        ARITH, "read of a system register (cntvct_el0: the virtual counter, a timer)"),
    "a system call in the loop": (
        [(DEC_UPDATE, DEC_UPDATE + '\n                if ((i & 0xfffff) == 1) {\n'
                        '                    register long n asm("x8") = 172;\n'
                        '                    register long r asm("x0");\n'
                        '                    asm volatile("svc #0" : "=r"(r) : "r"(n) : '
                        '"memory");\n                }', 0)], BRANCH, "system call"),
    "floating point in the loop": (
        [(ARITH_UPDATE,
          "x = static_cast<std::uint64_t>(static_cast<double>(x) * 3.0) + 7;", 0)],
        ARITH, "floating-point or SIMD instruction"),
    "a path out of the stretch ending in brk": (
        [way_out("__builtin_trap();")], INC, "a breakpoint (brk: it raises SIGTRAP): " + PATH_END),
    "a path out of the stretch ending in udf": (
        [way_out('asm volatile("udf #0");')], INC,
        "an undefined instruction (udf: it raises SIGILL): " + PATH_END),
    "a path out of the stretch ending in hlt (AArch64)": (
        [way_out('asm volatile("hlt #0");')], INC, "(hlt: it raises a signal): " + PATH_END),
    "a path out of the stretch ending in ret": (
        [way_out('asm volatile("ret");')], INC, PATH_END),
    "a path out of the stretch ending in ret x1": (
        [way_out('asm volatile("ret x1");')], INC, "a return through x1, not x30"),
    "a function of the program's own leaving x19 changed": (before_first_clock(
        "clobber();", "", '[[gnu::noinline]] void clobber() { asm volatile("mov x19, #5"); }\n'),
        ALL_KERNELS, "a return that leaves x19 changed, which a call must preserve"),
    # printf's %n writes where main saved its return address (x29 + 8).
    "the return address's save slot given to printf": (before_first_clock(
        'std::printf("%n", reinterpret_cast<int *>(static_cast<char *>('
        '__builtin_frame_address(0)) + 8));'), ALL_KERNELS, "overwrote the return address"),
    "a function of the program's own returning elsewhere": (before_first_clock(
        "hop();", "", '[[gnu::noinline]] void hop() { asm volatile("adr x30, .+8"); }\n'),
        ALL_KERNELS, "overwrote the return address"),
}

CORRECT = {
    "unchanged": [],
    "unrolled by hand": [(LOOP + " {\n            " + INC_UPDATE,
                          "for (std::int64_t i = 0; i < ITERATIONS; i += 2) {\n            "
                          + INC_UPDATE + "\n            " + INC_UPDATE, 0)],
    "counting down": [(LOOP, "for (std::int64_t i = ITERATIONS; i > 0; --i)", 1)],
    "the compiler's own unrolling": [(UNROLL, "", None)],
    "unrolled 32 times": [(UNROLL, UNROLL.replace("8", "32"), None)],
    # g++ starts such an index from a register it knows to be 0: the clock
    # call's result past its test, or the last loop's counter.
    "int index": [(LOOP, LOOP.replace("std::int64_t i", "int i"), None)],
    "std::uint64_t index": [(LOOP, LOOP.replace("std::int64_t i", "std::uint64_t i"), None)],
    # A flag toggled in a byte register (clang keeps it in %bl, whose upper
    # bits the check cannot know, when it does not unroll the loop): the
    # branch is decided by the low bits.
    "a toggled flag for the branch": [
        ("if ((i & 1) == 0) {", "if (even) {", 0),
        (DEC_UPDATE + "\n            }",
         DEC_UPDATE + "\n            }\n            even = !even;", 0),
        ("volatile std::uint64_t x = 0;\n        const std::int64_t start = read_monotonic_ns();\n"
         + UNROLL + LOOP + " {\n            // The test",
         "volatile std::uint64_t x = 0;\n        bool even = true;\n"
         "        const std::int64_t start = read_monotonic_ns();\n"
         + UNROLL.replace("8", "1") + LOOP + " {\n            // The test", 0)],
    # Main resets these outside the stack: a store it may make.
    "accumulators outside the stack": [
        (HELPERS, "volatile std::uint64_t accumulators[3];\n" + HELPERS, 0),
        *[("volatile std::uint64_t x = 0;",
           f"volatile std::uint64_t &x = accumulators[{k}];\n        x = 0;", 0)
          for k in range(3)]],
}

EMPTY_PROGRAM = "int main() { return 0; }\n"

# The variants every flag set must pass: the index types a loop may honestly use.
INDEX_VARIANTS = ["unchanged", "int index", "std::uint64_t index"]

AARCH64_FLAG_SETS = ["-O1", "-O2", "-O3", "-Os", "-Ofast", "-O2 -funroll-loops", "-O2 -static",
                     "-O2 -static-pie", "-O2 -flto", "-O2 -fuse-ld=lld", "-O2 -fno-plt",
                     "-O2 -fPIE -pie", "-O2 -fno-pie -no-pie", "-O2 -mbranch-protection=standard",
                     "-O2 -march=armv8.2-a+lse", "-O2 -fomit-frame-pointer",
                     "-O2 -fno-omit-frame-pointer", "-O2 -fstack-protector-strong",
                     "-O2 -D_FORTIFY_SOURCE=2", "-O2 -static-pie -fuse-ld=lld"]

FLAG_SETS = ["-O1", "-O2", "-O3", "-Os", "-O2 -funroll-loops", "-O2 -march=native",
             "-O2 -fno-omit-frame-pointer", "-O2 -fstack-protector-strong",
             "-O2 -fcf-protection=full", "-O2 -fPIE -pie", "-O2 -fno-pie -no-pie", "-O2 -flto",
             "-O2 -static", "-O2 -fno-plt", "-O2 -fuse-ld=lld", "-O2 -ffast-math", "-Ofast",
             "-O2 -static-pie", "-O2 -static -fuse-ld=lld"]


# What a flag set needs installed beyond the compiler (Debian packages).
LINK_NEEDS = {"-flto": "the compiler's LTO linker plugin (llvm-14-linker-tools for clang++ "
                       "14; gcc-12 ships its own)",
              "-static": "static C and C++ libraries (libc6-dev, libstdc++-12-dev)",
              "-static-pie": "static C and C++ libraries built as PIC (libc6-dev, "
                             "libstdc++-12-dev)",
              # lld leaves a position-independent executable's constructor
              # table to its relocations: the check must read those.
              "-fuse-ld=lld": "the LLVM linker (lld)"}


def edit(source, old, new, occurrence):
    count = source.count(old)
    if occurrence is None:
        assert count > 0, f"{old!r} not in the source"
        return source.replace(old, new)
    assert count > occurrence, f"{old!r} occurs {count} times, wanted occurrence {occurrence}"
    position = -1
    for _ in range(occurrence + 1):
        position = source.index(old, position + 1)
    return source[:position] + new + source[position + len(old):]


NUMBERS = itertools.count()  # each shared build's file has a name of its own


@functools.lru_cache(maxsize=None)
def shared_folder():
    """The temporary folder of this process's shared builds, removed at its end."""
    path = tempfile.mkdtemp(prefix="check_loops-")
    atexit.register(shutil.rmtree, path, ignore_errors=True)
    return path


@functools.lru_cache(maxsize=None)
def build(source, flags, compiler=None):
    """(path, the compiler's result) of `source` built with `compiler` (a
    tuple: the command and its target flags; by default the build's) and
    `flags` (a tuple): once per process, shared by the tests."""
    path = os.path.join(shared_folder(), f"build{next(NUMBERS)}")
    with open(path + ".cpp", "w", encoding="utf-8") as f:
        f.write(source)
    # Warnings are beside the point for a deliberately changed variant.
    command = [*(compiler or (OPTIONS.compiler, *OPTIONS.target_flags)), *flags, "-std=c++20",
               "-w", "-o", path, path + ".cpp"]
    return path, subprocess.run(command, capture_output=True, text=True)


@functools.lru_cache(maxsize=None)
def makes_aarch64(compiler=None):
    """Whether `compiler` (by default the build's) makes AArch64 code."""
    path, built = build(EMPTY_PROGRAM, (), compiler)
    return built.returncode == 0 and getattr(for_executable(path)[0], "NAME", "") == "AArch64"


def aarch64_compiler():
    """(the command that builds for AArch64 with a compiler of the build's
    compiler's kind: clang++ --target=aarch64-linux-gnu, or Debian's
    aarch64-linux-gnu-g++, as a tuple; "") where the build makes x86-64
    code and that one can link; else (None, why not)."""
    if makes_aarch64():
        return None, ("the build's compiler makes AArch64 code: its NegativeControls and "
                      "FlagMatrix hold AArch64's faults and flag sets")
    name = os.path.basename(OPTIONS.compiler)
    command = (OPTIONS.compiler, "--target=aarch64-linux-gnu") if "clang" in name else \
        (os.path.join(os.path.dirname(OPTIONS.compiler), "aarch64-linux-gnu-" + name),)
    if shutil.which(command[0]) is None:
        return None, f"{command[0]} is not installed (g++-aarch64-linux-gnu)"
    if shutil.which("aarch64-linux-gnu-objdump") is None:
        return None, "aarch64-linux-gnu-objdump is not installed (binutils-aarch64-linux-gnu)"
    _, built = build(EMPTY_PROGRAM, (), command)
    if built.returncode != 0:
        lines = built.stderr.strip().splitlines() or ["no message"]
        return None, f"{shlex.join(command)} cannot link an empty program: {lines[-1]} (the " \
                     f"AArch64 C and C++ libraries: libc6-dev-arm64-cross, " \
                     f"libstdc++-12-dev-arm64-cross)"
    return command, ""


class Builds(unittest.TestCase):
    """Builds sources with the build's compiler (with CROSS, its AArch64
    kin) into a temporary folder."""
    CROSS = False

    @classmethod
    def setUpClass(cls):
        cls.compiler = None  # the build's
        if cls.CROSS:
            cls.compiler, why = aarch64_compiler()
            if cls.compiler is None:
                raise unittest.SkipTest(why)
        cls.aarch64 = makes_aarch64(cls.compiler)
        cls.tmp = tempfile.TemporaryDirectory()
        with open(OPTIONS.source, encoding="utf-8") as f:
            cls.source = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def compile(self, name, source, flags):
        """(path, the compiler's result): the test's own copy of the shared
        build, which it may edit."""
        shared, built = build(source, tuple(flags), self.compiler)
        path = os.path.join(self.tmp.name, "".join(c if c.isalnum() else "_" for c in name))
        if built.returncode == 0:
            shutil.copy(shared, path)
        return path, built

    def edited(self, edits):
        """The source with the edits made; None if one does not apply (the
        test reports that in its own case)."""
        source = self.source
        with contextlib.suppress(AssertionError):
            for old, new, occurrence in edits:
                source = edit(source, old, new, occurrence)
            return source
        return None

    def prebuild(self, builds):
        """Makes the builds (source, flags) a test is about to check, several
        at a time."""
        jobs = {(source, tuple(flags), self.compiler) for source, flags in builds
                if source is not None}
        shared_folder()
        with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
            list(pool.map(lambda job: build(*job), jobs))

    def verdicts(self, name, source, flags):
        path, built = self.compile(name, source, flags)
        self.assertEqual(built.returncode, 0, built.stderr)
        return {k.name: k.faults for k in analyse(path)}


class NegativeControls(Builds):
    def test_each_fault_is_rejected_in_its_kernel(self):
        faults = {**{k: v for k, v in FAULTS.items() if k not in X86_ONLY},
                  **AARCH64_FAULTS} if self.aarch64 else FAULTS
        self.prebuild([(self.edited(edits), shlex.split(OPTIONS.flags))
                       for edits, _, _ in faults.values()])
        for name, (edits, kernel, expected) in faults.items():
            with self.subTest(name):
                source = self.source
                for old, new, occurrence in edits:
                    source = edit(source, old, new, occurrence)
                faults = self.verdicts(name, source, shlex.split(OPTIONS.flags))
                if isinstance(expected, dict):
                    failing, texts = list(expected), expected
                else:
                    failing = KERNEL_NAMES if kernel is None else [kernel]
                    texts = dict.fromkeys(failing, expected)
                for kernel_name in failing:
                    self.assertTrue(any(texts[kernel_name] in f for f in faults[kernel_name]),
                                    f"{kernel_name}: {faults[kernel_name]}")
                for other in set(KERNEL_NAMES) - set(failing):
                    self.assertEqual(faults[other], [], other)
                if ALL_KERNELS not in failing:  # nor is it the whole program's
                    self.assertNotIn(ALL_KERNELS, faults)

    def test_correct_variants_pass(self):
        self.prebuild([(self.edited(edits), shlex.split(OPTIONS.flags))
                       for edits in CORRECT.values()])
        for name, edits in CORRECT.items():
            with self.subTest(name):
                source = self.source
                for old, new, occurrence in edits:
                    source = edit(source, old, new, occurrence)
                faults = self.verdicts(name, source, shlex.split(OPTIONS.flags))
                self.assertEqual(faults, {k: [] for k in KERNEL_NAMES})


class FlagMatrix(Builds):
    def test_optimised_builds_pass(self):
        flag_sets = AARCH64_FLAG_SETS if self.aarch64 else FLAG_SETS
        self.prebuild([(self.edited(CORRECT[v]), flags.split()) for flags in flag_sets
                       for v in INDEX_VARIANTS])
        for flags in flag_sets:
            with self.subTest(flags):
                # The source as it is, and with the other honest index types.
                for variant in INDEX_VARIANTS:
                    source = self.source
                    for old, new, occurrence in CORRECT[variant]:
                        source = edit(source, old, new, occurrence)
                    if self.compile(variant + flags, source, flags.split())[1].returncode:
                        self.skip_unless_an_empty_program_links(flags)
                    faults = self.verdicts(f"{variant} {flags}", source, flags.split())
                    self.assertEqual(faults, {k: [] for k in KERNEL_NAMES}, variant)

    def skip_unless_an_empty_program_links(self, flags):
        """Skips the flag set when the toolchain here cannot link even an
        empty program with it (a library or linker not installed), saying
        what it needs; a build that fails where an empty one links fails."""
        _, trivial = self.compile("trivial " + flags, EMPTY_PROGRAM, flags.split())
        if trivial.returncode != 0:
            lines = trivial.stderr.strip().splitlines() or ["no message"]
            why = next((line for line in lines if "cannot find" in line), lines[-1])
            needs = "".join(f"; {flag} needs {need}" for flag, need in LINK_NEEDS.items()
                            if flag in flags.split())
            self.skipTest(f"{shlex.join(self.compiler or [OPTIONS.compiler])} {flags} "
                          f"cannot link even an empty program here: {why}{needs}")

    def test_no_update_is_one_read_modify_write(self):
        # The kernels keep each update's load, arithmetic and store apart: a
        # fused update on memory runs at half the speed on some Intel Xeons
        # (docs/measurements). AArch64 has no such instruction.
        path, built = self.compile("unchanged", self.source, shlex.split(OPTIONS.flags))
        self.assertEqual(built.returncode, 0, built.stderr)
        for kernel in analyse(path):
            self.assertEqual([line for line in kernel.body if FUSED.search(line)], [],
                             kernel.name)

    def test_unoptimised_build_fails_with_the_index_in_memory(self):
        faults = self.verdicts("O0", self.source, ["-O0"])
        for kernel in KERNEL_NAMES:
            self.assertTrue(any("lives in memory" in f for f in faults[kernel]), faults[kernel])

    def test_excerpt_gives_the_whole_listings_verdicts(self):
        # The saved listings under tests/listings are such excerpts: what
        # the check says of them must be what it says of the whole build.
        def verdicts(text):
            return [(k.name, k.faults, k.accumulator, k.reads, k.writes, k.steps, k.periods,
                     k.body) for k in analyse_text(text)]
        sources = {"unchanged": self.source,
                   "call inside a timed loop": edit(self.source, *FAULTS["call inside a timed "
                                                                         "loop"][0][0])}
        # A static build's excerpt keeps only the names of what the check
        # believes by name (as excerpt.py cuts one).
        builds = [(name, source, []) for name, source in sources.items()] + [
            ("static", self.source, ["-static"])]
        self.prebuild([(source, shlex.split(OPTIONS.flags) + more) for _, source, more in builds])
        for name, source, more in builds:
            with self.subTest(name):
                path, built = self.compile(name, source, shlex.split(OPTIONS.flags) + more)
                if more and built.returncode:
                    self.skipTest(f"the compiler cannot link {more[0]} here")
                self.assertEqual(built.returncode, 0, built.stderr)
                whole = listing(path)
                part = excerpt(Program(whole), trusted=EXCERPT_BY_NAME if more else ())
                self.assertLess(len(part), len(whole))
                self.assertEqual(verdicts(part), verdicts(whole))


class AArch64NegativeControls(NegativeControls):
    CROSS = True


class AArch64FlagMatrix(FlagMatrix):
    CROSS = True


CHECK = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools",
                     "check_loops.py")


def set_zero_slots(path):
    """Writes 1 over every slot of the executable's GOT that holds 0."""
    with open(path, "r+b") as f:
        data = bytearray(f.read())
        for got in (s for s in Elf(path, {}).sections if s["name"] == ".got"):
            for at in range(got["offset"], got["offset"] + got["size"], 8):
                data[at:at + 8] = data[at:at + 8] if any(data[at:at + 8]) else bytes([1] + [0] * 7)
        f.seek(0)
        f.write(data)


def bind_init_array(path):
    """Makes the .init_array entry's relocation bind (ABS64) the first PLT relocation's function
    there, run before main (once DT_RELACOUNT no longer counts it among the relative ones)."""
    elf = Elf(path, {})
    section = {s["name"]: s for s in elf.sections}
    rela, init = section[".rela.dyn"], section[".init_array"]
    symbol = struct.unpack_from("<Q", elf.data, section[".rela.plt"]["offset"] + 8)[0] >> 32
    at = next(rela["offset"] + 24 * k for k in range(rela["size"] // 24)
              if struct.unpack_from("<Q", elf.data, rela["offset"] + 24 * k)[0] == init["addr"])
    data, abs64 = bytearray(elf.data), {62: 1, 183: 257}[identify(path)[2]]
    struct.pack_into("<QQq", data, at, init["addr"], symbol << 32 | abs64, 0)
    with open(path, "wb") as f:
        f.write(data)


class LinkedFaults(Builds):
    """Faults made by the link or by editing the executable after it: the
    dynamic loader reads the dynamic section, not the section headers."""

    def test_each_is_rejected_as_the_whole_programs(self):
        objcopy = "aarch64-linux-gnu-objcopy" if self.aarch64 else "objcopy"
        constructor = [(HELPERS, "[[gnu::constructor]] void set_up() { std::puts(\"set up\"); }"
                                 "\n" + HELPERS, 0)]
        cases = {
            # The loader loads an auditing library first and runs its code.
            "an auditing library": ([], ["-Wl,--audit=libbeside.so"], None,
                                    "as an auditing library (DT_AUDIT)"),
            "a dependent auditing library": ([], ["-Wl,--depaudit=libbeside.so"], None,
                                             "as an auditing library (DT_AUDIT)"),
            # The section is gone; the dynamic section still names the array,
            # and its relocations still fill it.
            "a constructor whose section header is removed": (
                constructor, [], [objcopy, "--remove-section=.init_array"],
                "(run before main): not the toolchain's own (frame_dummy)"),
            # A static PIE's __do_global_dtors_aux calls __cxa_finalize only when
            # its GOT slot is not 0: the program's own, or a slot set after the link.
            "a __cxa_finalize of the program's own in a static PIE": (
                [(HELPERS, 'extern "C" void __cxa_finalize(void *) { std::puts("late"); }\n'
                  + HELPERS, 0)], ["-static-pie"], None,
                "calls what the toolchain's __do_global_dtors_aux does not"),
            # The loader writes the symbol's address over the entry that held frame_dummy's.
            "an .init_array entry bound to a symbol": (
                [], [], bind_init_array, "in .init_array (run before main): not the toolchain's"),
            # (On AArch64 the toolchain's code loads them with ldr: each load is seen.)
            "a static PIE's GOT slots that held 0 set": (
                [], ["-static-pie"], set_zero_slots,
                "loads a pointer other than" if self.aarch64
                else "calls what the toolchain's __do_global_dtors_aux does not"),
        }
        self.prebuild([(self.edited(edits), [*shlex.split(OPTIONS.flags), *flags])
                       for edits, flags, _, _ in cases.values()])
        for name, (edits, flags, after, expected) in cases.items():
            with self.subTest(name):
                source = self.source
                for old, new, occurrence in edits:
                    source = edit(source, old, new, occurrence)
                if flags and self.compile("trivial", "int main() {}\n", flags)[1].returncode:
                    self.skipTest(f"{OPTIONS.compiler} {flags[0]} cannot link an empty program")
                path, built = self.compile(name, source, [*shlex.split(OPTIONS.flags), *flags])
                self.assertEqual(built.returncode, 0, built.stderr)
                if callable(after):
                    after(path)
                elif after:
                    subprocess.run([*after, path], check=True, capture_output=True)
                faults = {k.name: k.faults for k in analyse(path)}
                self.assertTrue(any(expected in f and RUNNING in f
                                    for f in faults.get(ALL_KERNELS, [])), faults)
                self.assertEqual([faults[k] for k in KERNEL_NAMES], [[]] * 3)


class CommandLine(Builds):
    """tools/check_loops.py as a user runs it."""

    def build(self, name, flags=()):
        path, built = self.compile(name, self.source, [*shlex.split(OPTIONS.flags), *flags])
        self.assertEqual(built.returncode, 0, built.stderr)
        return path

    def test_a_stripped_executable_is_a_tool_error_that_says_so(self):
        path = self.build("stripped", ["-s"])
        run = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True)
        self.assertEqual((run.returncode, run.stdout), (2, ""))
        self.assertIn("is stripped (it has no symbol table)", run.stderr)

    def test_what_the_check_does_not_read(self):
        # (the file's first bytes, exit status, words it prints): an instruction
        # set without a layer is skipped naming it; a file that is no ELF, or
        # whose headers point past its end, is a tool error, without a traceback.
        def header(elf_class, order, machine):
            return (b"\x7fELF" + bytes([elf_class, order, 1]) + bytes(11)
                    + machine.to_bytes(2, "little" if order == 1 else "big") + bytes(44))
        cases = [(header(2, 1, 243), 77, "is RISC-V"), (header(1, 1, 3), 77, "is i386 (32-bit)"),
                 (header(2, 2, 21), 77, "is PowerPC64 (big-endian)"),
                 (header(2, 1, 62)[:40], 2, "is not an ELF file the check can read"),
                 (b"#!/bin/sh\n", 2, "is not an ELF file")]
        for data, status, words in cases:
            with self.subTest(words):
                path = os.path.join(self.tmp.name, "foreign")
                with open(path, "wb") as f:
                    f.write(data)
                run = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True)
                self.assertEqual(run.returncode, status, run.stderr)
                self.assertIn(words, run.stdout + run.stderr)
                self.assertNotIn("Traceback", run.stderr)

    def test_output_cut_short_ends_quietly(self):
        # As `check_loops.py --verbose EXE | head`: the reader is gone before
        # the output ends (here, before it starts). No traceback, and the
        # verdict's exit status.
        path = self.build("cut short")
        with subprocess.Popen([sys.executable, CHECK, "--verbose", path], stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True) as check:
            check.stdout.close()
            errors = check.stderr.read()
        self.assertEqual((check.returncode, errors), (0, ""))

    def test_the_listing_is_what_the_check_reads(self):
        path = self.build("listing")
        run = subprocess.run([sys.executable, CHECK, "--listing", path], capture_output=True,
                             text=True, check=True)
        self.assertIn("\n .init_array ", run.stdout)
        self.assertIn(" <frame_dummy>\n", run.stdout)
        self.assertEqual([k.faults for k in analyse_text(run.stdout)],
                         [k.faults for k in analyse(path)])


def add_arguments(parser):
    parser.add_argument("--source", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--target-flags", default="", type=shlex.split)
    parser.add_argument("--flags", default="")


def skip_for_another_processor():
    """Exit 77 when the check skips what the build's compiler makes (code of
    another processor: a cross build's), or when every group asked for
    cross-builds for AArch64 and that cannot be done here; 1 when the
    build's compiler cannot build at all."""
    path, built = build(EMPTY_PROGRAM, tuple(shlex.split(OPTIONS.flags)))
    if built.returncode != 0:
        print(f"{OPTIONS.compiler} cannot build an empty program:\n{built.stderr}", file=sys.stderr)
        return 1
    check = subprocess.run([sys.executable, CHECK, path], capture_output=True, text=True)
    if check.returncode == SKIP:
        print(f"{check.stdout.strip()} (an empty program built by "
              f"{shlex.join([OPTIONS.compiler, *OPTIONS.target_flags])})")
        return SKIP
    asked = OPTIONS.groups or harness.groups(sys.modules["__main__"])
    if all(getattr(globals().get(group), "CROSS", False) for group in asked):
        command, why = aarch64_compiler()
        if command is None:
            print(f"skipped: no AArch64 build of the tests here: {why}")
            return SKIP
    return None


if __name__ == "__main__":
    sys.exit(harness.main(OPTIONS, __doc__.split("\n\n")[0], add_arguments,
                          skip_for_another_processor))
