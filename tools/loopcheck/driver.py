"""The check's driver and command line: the verdicts for a listing or an
executable, and the lines and exit status tools/check_loops.py prints.
"""
import argparse
import os
import subprocess
import sys
import traceback

from .elf import startup_text
from .errors import ProgramFault, ToolError
from .exits import Exits
from .graph import build_graph
from .isa import for_executable, names
from .objdump import Program, disassemble
from .rules import (ALL_KERNELS, KernelVerdict, clock_pairs, judge, judge_program,
                    main_defined_twice)
from .state import describe

SKIP = 77  # CTest's "skipped"
NO_STARTUP = ("what runs before main (the loader, the libraries, the entry point, the "
              "constructors) is not checked: the listing does not say")


class Verdicts(list):
    """The kernels' verdicts in the report's order, then the whole
    program's when it has faults; `notes` says what was not checked."""

    def __init__(self, verdicts, notes=()):
        super().__init__(verdicts)
        self.notes = list(notes)


def analyse_text(disassembly, layer=None):
    """The verdicts for one listing (objdump -d -w --no-show-raw-insn
    output, or a saved part of it, followed by the block of what runs
    before main; without that block, what runs before main is not checked,
    and `notes` says so), read by the instruction-set layer `layer` (by
    default the one the listing names)."""
    program = Program(disassembly, layer)
    startup = program.startup
    notes = [] if startup else [NO_STARTUP]
    constructors = startup and [(section, address, program.names.get(address, name))
                                for section, address, name in startup.constructors]
    libraries = startup.libraries if startup else []
    twice = main_defined_twice(program)
    if twice:
        return Verdicts([KernelVerdict(ALL_KERNELS, [twice])], notes)
    graph = build_graph(program)
    exits = Exits(graph)
    try:
        pairs = clock_pairs(graph)
    except ProgramFault as fault:
        # The measurements cannot be told apart; still name every way out of
        # main that is not allowed, which may be why.
        whole = judge_program(graph, [], constructors, libraries, exits)
        return Verdicts([KernelVerdict(ALL_KERNELS, [str(fault), *whole.faults])], notes)
    verdicts = [judge(graph, name, start, end, exits) for name, start, end in pairs]
    whole = judge_program(graph, pairs, constructors, libraries, exits,
                          {k.accumulator for k in verdicts if k.accumulator is not None})
    return Verdicts(verdicts + ([whole] if whole.faults else []), notes)


def layer_of(executable):
    """The instruction-set layer that reads `executable`; a ToolError for
    one the check does not read."""
    layer, name = for_executable(executable)
    if layer is None:
        raise ToolError(f"{executable} is {name} code; the check reads {names()}")
    return layer


def listing(executable, layer=None):
    """What the check reads of an executable: its disassembly, then the
    block of what runs before main."""
    layer = layer or layer_of(executable)
    # (also refuses a stripped executable)
    startup = startup_text(executable, layer.RELOCATIONS, layer.GOT_SLOTS)
    return disassemble(executable, layer).rstrip("\n") + "\n\n" + startup


def analyse(executable):
    layer = layer_of(executable)
    return analyse_text(listing(executable, layer), layer)


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
    for note in getattr(verdicts, "notes", []):
        yield f"note: {note}"


def print_lines(lines):
    """Prints the lines; a reader that stops early (`| head`) ends the
    output quietly: the rest is dropped, without a traceback."""
    try:
        for line in lines:
            print(line)
        sys.stdout.flush()
    except BrokenPipeError:
        # Python flushes standard output again at exit: point it at
        # /dev/null so that this flush cannot fail as well.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


def main(description):
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("executable")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="print the loop bodies and the counts")
    parser.add_argument("--sanitized", action="store_true",
                        help="the build is instrumented: skip, its code is not what a real build times")
    parser.add_argument("--listing", action="store_true",
                        help="print what the check reads of the executable (its disassembly and "
                             "what runs before main) instead of checking it")
    args = parser.parse_args()
    if args.sanitized:
        print("skipped: a sanitizer build's instrumented loops are not the loops a real build times")
        return SKIP
    try:
        layer, name = for_executable(args.executable)
        if layer is None:
            print(f"skipped: the check reads {names()} machine code; {args.executable} is "
                  f"{name}")
            return SKIP
        text = listing(args.executable, layer)
        verdicts = None if args.listing else analyse_text(text, layer)
    except (ToolError, subprocess.CalledProcessError, OSError) as error:
        print(f"check_loops: {error}", file=sys.stderr)
        return 2
    except Exception:  # a defect of the check itself is no verdict on the build
        traceback.print_exc()
        print("check_loops: internal error", file=sys.stderr)
        return 2
    if args.listing:
        print_lines(text.splitlines())
        return 0
    print_lines(verdict_lines(verdicts, args.verbose))
    return 1 if any(kernel.faults for kernel in verdicts) else 0
