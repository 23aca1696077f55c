"""The check's driver and command line: the verdicts for a listing or an
executable, and the lines and exit status tools/check_loops.py prints.
"""
import argparse
import platform
import subprocess
import sys
import traceback

from .errors import ProgramFault, ToolError
from .graph import build_graph
from .objdump import Program, disassemble
from .rules import KernelVerdict, clock_pairs, judge
from .state import describe

SKIP = 77  # CTest's "skipped"


def analyse_text(disassembly):
    """The kernels' verdicts for one listing (objdump -d -w
    --no-show-raw-insn output, or a saved part of it)."""
    program = Program(disassembly)
    try:
        graph = build_graph(program)
        pairs = clock_pairs(graph)
    except ProgramFault as fault:
        return [KernelVerdict("all kernels", [str(fault)])]
    return [judge(graph, name, start, end) for name, start, end in pairs]


def analyse(executable):
    return analyse_text(disassemble(executable))


def verdict_lines(verdicts, verbose=False):
    """The lines the command prints for the verdicts."""
    for kernel in verdicts:
        for fault in kernel.faults:
            yield f"FAIL {kernel.name}: {fault}"
        if not kernel.faults:
            yield (f"ok   {kernel.name}: accumulator at {describe(kernel.accumulator)}; "
                   f"{kernel.reads} reads and {kernel.writes} writes of it, "
                   f"{kernel.steps} instructions between the clock calls "
                   f"({kernel.steps / max(kernel.writes, 1):.2f} per update)")
        if verbose:
            for line in kernel.periods:
                yield f"       {line}"
            for line in kernel.body:
                yield f"       {line}"


def main(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("executable")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="print the loop bodies and the counts")
    parser.add_argument("--sanitized", action="store_true",
                        help="the build is instrumented: skip, its code is not what a real build times")
    args = parser.parse_args()
    if args.sanitized:
        print("skipped: a sanitizer build's instrumented loops are not the loops a real build times")
        return SKIP
    if platform.machine().lower() not in ("x86_64", "amd64"):
        print(f"skipped: the check reads x86-64 machine code; this is {platform.machine()}")
        return SKIP
    try:
        verdicts = analyse(args.executable)
    except (ToolError, subprocess.CalledProcessError, OSError) as error:
        print(f"check_loops: {error}", file=sys.stderr)
        return 2
    except Exception:  # a defect of the check itself is no verdict on the build
        traceback.print_exc()
        print("check_loops: internal error", file=sys.stderr)
        return 2
    for line in verdict_lines(verdicts, args.verbose):
        print(line)
    return 1 if any(kernel.faults for kernel in verdicts) else 0
