"""The rules a build's timed stretches must keep, and the only place each
rule's fault message is made (an instruction refused is named in the words
of its instruction-set layer's allowlist; a stretch that cannot be followed,
in counting.py's).

Step 0: `main_defined_twice` refuses a listing whose main cannot be told. Step
1, over the whole program: `clock_pairs` finds the six clock calls in
main's order and pairs them into the kernels' measurements; a fault there is
a ProgramFault, every kernel's. Steps 2 to 5, per measurement: `judge` runs
CODE_RULES over the stretch and the ways out of it, then, only when they
found nothing (a count means nothing until the code itself is allowed),
COUNT_RULES. Over the rest of the program (main outside every measurement,
and the constructors the executable runs before main), `judge_program` runs
PROGRAM_RULES; their faults are the whole program's ("all kernels").

To add a rule: write a function of one Measurement that calls
`m.verdict.fault(text)` for each fault it finds, and put it in CODE_RULES or
COUNT_RULES, where the rules before it have filled in what it reads
(`m.accesses` after check_instructions, `m.verdict.accumulator` after
check_memory); a rule of the whole program is a function of one Outside
(`p.verdict.fault(text)`), in PROGRAM_RULES.
"""
import dataclasses
from typing import NamedTuple

from report import ITERATIONS, KERNEL_NAMES

from .controlflow import cyclic_nodes, reach
from .counting import Emulator
from .errors import CannotCount, ProgramFault, TripFault
from .exits import CLOCK_NAMES, Exits
from .graph import Graph, region_nodes, stretch_nodes
from .insn import Insn
from .state import ENTRY_SP, describe, is_timespec
from .values import Value

CLOCK_MONOTONIC = 1
# The rules' own words, which their faults end with.
PATH_END = "a path may end only in a call that ends the process or in main's own return"
OUT_OF_STRETCH = "on a way out of the timed stretch"
RUNNING = "the check cannot know what it leaves running"
CHANGED = "the check cannot know what it changes (the GOT, a function pointer: what a later " \
          "call runs)"
ALL_KERNELS = "all kernels"  # the name of the whole program's verdict


@dataclasses.dataclass
class KernelVerdict:
    """The check's verdict on one kernel's measurement: its faults (none:
    it passes) and what it found."""
    name: str
    faults: list = dataclasses.field(default_factory=list)
    accumulator: Value = None
    copies: set = dataclasses.field(default_factory=set)  # where the start time is saved
    reads: int = 0
    writes: int = 0
    steps: int = 0  # instructions executed between the two clock calls
    periods: list = dataclasses.field(default_factory=list)
    body: list = dataclasses.field(default_factory=list)

    def fault(self, text):
        if text not in self.faults:
            self.faults.append(text)


class Access(NamedTuple):
    """One memory access by an instruction of the stretch."""
    insn: Insn
    reads: int  # 0 or 1
    writes: int  # 0 or 1
    bits: int  # how much of the object at the address it covers


@dataclasses.dataclass
class Measurement:
    """One kernel's measurement: the clock calls around it, the stretch
    between them, and what the rules have found so far."""
    graph: Graph
    verdict: KernelVerdict
    start: int  # the first clock call
    end: int  # the second
    stretch: set  # the timed stretch's instructions
    loop: set  # those of it that lie on a loop
    timespec: Value  # the first clock call's timespec (its second argument)
    region: set  # the stretch and every way out of it before the second clock call
    exits: Exits
    accesses: dict = None  # address -> [Access]: check_instructions fills it

    @classmethod
    def between(cls, graph, name, start, end, exits=None):
        stretch = stretch_nodes(graph, start, end)
        loop = cyclic_nodes(graph.nodes, stretch)
        verdict = KernelVerdict(name, body=[str(graph.program.at(a)) for a in sorted(loop)])
        timespec = graph.states[start].get(graph.program.isa.ARGUMENTS[64][1])
        return cls(graph, verdict, start, end, stretch, loop, timespec,
                   region_nodes(graph, start, end), exits or Exits(graph))


# ------------------------------------------------ step 0: which main

def main_defined_twice(program):
    """The fault of a listing with more than one function named main (a
    local one beside the program's), "" for one with one: the check reads
    the one a name lookup finds, the C library runs the one crt1 hands it,
    and nothing tells them apart by name."""
    starts = [f"{start:x}" for start, name, _ in program.blocks if name == "main"]
    if len(starts) < 2:
        return ""
    return f"{len(starts)} functions are named main (at {', '.join(starts)}): the check cannot " \
           f"tell which one the C library runs"


# ------------------------------------------------ step 1: the clock calls

def is_clock_call(program, insn):
    return insn.is_call and program.callee(insn) in CLOCK_NAMES


def find_clock_sequence(graph):
    """The clock calls in the order main makes them. Each must be followed
    by exactly one next clock call on every path that returns."""
    program = graph.program
    clocks = {a for a in graph.nodes if is_clock_call(program, program.at(a))}
    for address in sorted(clocks & cyclic_nodes(graph.nodes, set(graph.nodes))):
        raise ProgramFault(f"{program.at(address)}: clock call inside a loop")
    sequence, current = [], [graph.entry]
    while True:
        ahead = reach(graph.nodes, current, clocks) & clocks
        ahead -= set(current) if sequence else set()
        if not ahead:
            break
        if len(ahead) > 1:
            listed = ", ".join(str(program.at(a)) for a in sorted(ahead))
            raise ProgramFault(f"clock calls in no single order: next could be any of {listed}")
        nxt = ahead.pop()
        sequence.append(nxt)
        current = [nxt]
    missing = clocks - set(sequence)
    if missing:
        raise ProgramFault(f"clock call off the main sequence: {program.at(min(missing))}")
    return sequence


def endless_loop(graph, start):
    """The first instruction of a loop that code after `start` enters and
    provably never leaves (every way out of it is never taken), or None."""
    closed = reach(graph.nodes, graph.nodes[start], set())
    while True:
        leaving = {a for a in closed if not graph.nodes[a]
                   or any(b not in closed for b in graph.nodes[a])}
        if not leaving:
            return min(closed) if closed else None
        closed -= leaving


def clock_pairs(graph):
    """(kernel name, first clock call, second clock call) per kernel, in
    the report's order. When no path from a measurement's first clock call
    reaches a second (a loop that never exits, a jump the check cannot
    follow), its second clock call is None, and the measurements after it
    have neither."""
    clocks = find_clock_sequence(graph)
    kernels = len(KERNEL_NAMES)
    if len(clocks) < 2 * kernels and len(clocks) % 2:
        # The last measurement started never ends: its verdict says why.
        clocks = clocks + [None] * (2 * kernels - len(clocks))
    if len(clocks) != 2 * kernels:
        raise ProgramFault(f"{len(clocks)} clock calls reached from main's entry, "
                           f"expected {2 * kernels}")
    return [(name, clocks[2 * k], clocks[2 * k + 1]) for k, name in enumerate(KERNEL_NAMES)]


# ------------------------------------------------------- the code rules

def check_clock_calls(m):
    """Step 1, per call: each clock call passes CLOCK_MONOTONIC, and one to
    code in the executable itself makes the clock's system call."""
    program, kernel = m.graph.program, m.verdict
    for call in (m.start, m.end):
        clock_id = m.graph.states[call].get(program.isa.ARGUMENTS[32][0])
        if clock_id is None or not clock_id.known:
            kernel.fault(f"{program.at(call)}: the clock id is not a known constant")
        elif clock_id.c0 != CLOCK_MONOTONIC:
            kernel.fault(f"{program.at(call)}: clock id {clock_id.c0}, not CLOCK_MONOTONIC "
                         f"({CLOCK_MONOTONIC})")
        insn = program.at(call)
        why = program.isa.clock_shape_why(program, insn.target) \
            if program.calls_own_code(insn) else ""
        if why:
            kernel.fault(f"{insn}: calls a clock_gettime defined in the program itself, not "
                         f"static glibc's ({why}): it may run anything beside the loops")


def check_ways_out(m):
    """Step 2: every way out of the stretch is understood. Each path from
    the first clock call's return that does not reach the second ends in a
    call that ends the process (or main's own return), and every call on it
    is one known to return normally without throwing or to end the process:
    anything else (a throw, a long jump, a signal raised) may resume inside
    the stretch, or leave something running beside it. Calls and system
    calls in the stretch itself are the allowlist's (step 3)."""
    program = m.graph.program
    for finding in m.exits.findings(m.graph, m.region):
        insn = program.at(finding.address)
        if finding.kind != "end" and finding.address in m.stretch:
            continue  # the allowlist refuses any call or system call there
        if finding.kind == "end":
            m.verdict.fault(f"{insn}: {finding.what}: {PATH_END}")
        elif finding.kind == "call":
            m.verdict.fault(f"{insn}: {finding.what} {OUT_OF_STRETCH}: {finding.why}: "
                            f"{RUNNING}")
        else:
            m.verdict.fault(f"{insn}: {finding.what} {OUT_OF_STRETCH}: "
                            f"{CHANGED if finding.kind == 'store' else RUNNING}")


def check_instructions(m):
    """Step 3: the allowlist over every instruction of the stretch. Records
    the stretch's memory accesses in m.accesses, as {address: [Access(insn,
    reads, writes, bits)]}, leaving out the reads of the clock's own
    timespec outside the loop and the timestamp's copies."""
    program, kernel, states = m.graph.program, m.verdict, m.graph.states
    accesses, copied = {}, set()
    # A slot of the timespec that the stretch writes has been reused for
    # something else: reads of it are no timestamp.
    isa = program.isa
    stored = {where for a in m.stretch for insn in [program.at(a)]
              for decoded in [isa.decode(insn)] if decoded.allowed
              for where, _, w in isa.memory_accesses(insn, decoded, states[a])
              if w}
    for address in sorted(m.stretch):
        insn = program.at(address)
        state = states.get(address)
        copy = isa.timestamp_copy(insn, state, m.timespec, copied)
        if copy and address not in m.loop:
            if isinstance(copy, Value):
                kernel.copies.add(copy)
            continue
        decoded = isa.decode(insn)
        if not decoded.allowed:
            kernel.fault(f"{insn}: {decoded.refusal} inside the timed stretch")
            continue
        for where, r, w in isa.memory_accesses(insn, decoded, state):
            if where is None:
                kernel.fault(f"{insn}: memory access at an address the check cannot know")
            elif not w and is_timespec(where, m.timespec) and where not in stored:
                if address in m.loop:
                    kernel.fault(f"{insn}: reads the clock's timespec inside a loop")
            else:
                accesses.setdefault(where, []).append(
                    Access(insn, r, w, isa.access_width(insn, decoded)))
    m.accesses = accesses


def check_memory(m):
    """Step 3, memory: the accumulator is the one object written in the
    stretch that was reset to zero before the first clock call; nothing
    else is touched."""
    kernel, accesses = m.verdict, m.accesses
    memory = m.graph.states[m.start].memory
    stored = [a for a, uses in accesses.items() if any(use.writes for use in uses)]
    candidates = [a for a in stored if memory.get(a) == Value(0)]
    # An object the stretch only reads cannot be the accumulator, whether or
    # not the accumulator can be told.
    for where, uses in sorted(accesses.items(), key=lambda item: min(u.insn.address
                                                                     for u in item[1])):
        if where not in stored:
            for use in uses:
                kernel.fault(f"{use.insn}: read of {describe(where)}, which is neither the "
                             f"accumulator nor the clock's timespec, inside the timed stretch")
    if not stored:
        if not kernel.faults:  # else a rejected instruction may be the one that writes
            kernel.fault("nothing is written to memory inside the timed stretch: the "
                         "accumulator is not updated in memory (not volatile, or the loop "
                         "was removed)")
        return
    if len(candidates) != 1:
        what = "no object" if not candidates else "more than one object (" + ", ".join(
            describe(c) for c in sorted(candidates, key=lambda v: (v.base or "", v.c0))) + ")"
        kernel.fault(f"{what} written inside the timed stretch is reset to 0 before the first "
                     f"clock call: cannot tell the accumulator")
        return
    kernel.accumulator = candidates[0]
    for copy in sorted(kernel.copies, key=lambda v: (v.base or "", v.c0)):
        if copy.base == kernel.accumulator.base and abs(copy.c0 - kernel.accumulator.c0) < 16:
            kernel.fault(f"the timestamp is copied over the accumulator at {describe(copy)}")
    for use in accesses[kernel.accumulator]:
        if use.bits != 64:
            kernel.fault(f"{use.insn}: accesses {use.bits} bits of the accumulator, not all 64")
    for where in stored:
        uses = accesses[where]
        if where == kernel.accumulator:
            continue
        in_loop = [use for use in uses if use.insn.address in m.loop]
        if where.base == ENTRY_SP.base and any(use.reads for use in in_loop) \
                and any(use.writes for use in in_loop):
            kernel.fault(f"{in_loop[0].insn}: {describe(where)} is read and written inside the "
                         f"loop: the loop index (or another local) lives in memory, not in a "
                         f"register")
            continue
        for use in uses:
            if use.writes:
                kernel.fault(f"{use.insn}: store to {describe(where)}, which is not the "
                             f"accumulator, inside the timed stretch")
            elif is_timespec(where, m.timespec):
                kernel.fault(f"{use.insn}: read of {describe(where)}, the clock's timespec, "
                             f"which the timed stretch also writes")
            else:
                kernel.fault(f"{use.insn}: read of {describe(where)}, which is neither the "
                             f"accumulator nor the clock's timespec, inside the timed stretch")


# ------------------------------------------------------ the count rules

def count_updates(m):
    """Step 4: exactly ITERATIONS reads and writes of the accumulator, and
    every trip around a loop updating it."""
    kernel, program = m.verdict, m.graph.program
    emulator = Emulator(m.graph, kernel.accumulator, m.stretch, m.loop, m.start, m.end)
    try:
        emulator.run()
    except TripFault as trip:
        kernel.fault(f"{trip.head}: a trip around the loop reads the accumulator {trip.reads} "
                     f"and writes it {trip.writes} time(s); every trip must update it, one "
                     f"read and one write per update")
        return
    except CannotCount as stop:
        kernel.fault(str(stop) or "the timed stretch could not be followed")
        return
    finally:
        counts = emulator.counts
        kernel.reads, kernel.writes, kernel.steps = counts.reads, counts.writes, counts.steps
        kernel.periods = counts.periods
    for period in emulator.period_faults:
        steps = ", ".join(f"{program.isa.register_text(f)} by {d}"
                          for f, d in period.steps.items())
        kernel.fault(f"{period.head}: each period of the loop updates the accumulator "
                     f"{period.updates} time(s) while its registers advance ({steps}); every "
                     f"register that advances must advance by the updates or a divisor of "
                     f"them, at least one update per iteration it counts")
    if kernel.reads != ITERATIONS or kernel.writes != ITERATIONS:
        where = "; ".join(f"loop at {program.at(a)}" for a in sorted(emulator.heads)) \
            or "no loop"
        kernel.fault(f"the accumulator is read {kernel.reads} and written {kernel.writes} "
                     f"times between {program.at(m.start)} and {program.at(m.end)} ({where}): "
                     f"{ITERATIONS} updates (one read and one write each) expected")


def check_final_read(m):
    """Step 5: the accumulator is read after the second clock call, before
    any other call (the report's printf)."""
    graph = m.graph
    program = graph.program
    calls = {a for a in graph.nodes if program.at(a).is_call}
    after = reach(graph.nodes, graph.nodes[m.end], calls) - calls
    for address in after:
        insn = program.at(address)
        decoded = program.isa.decode(insn)
        if not decoded.allowed:
            continue
        for where, r, _ in program.isa.memory_accesses(insn, decoded, graph.states[address]):
            if r and where == m.verdict.accumulator:
                return
    m.verdict.fault("the accumulator is not read after the second clock call")


# ------------------------------------------------- the program's rules

@dataclasses.dataclass
class Outside:
    """The whole program's part: main outside every measurement, and the
    constructors run before main (None: not given with the listing)."""
    graph: Graph
    exits: Exits
    outside: set  # main's instructions outside every measurement's region
    constructors: list  # [(section, address, name)] or None
    libraries: list  # [(kind, text)]: its loader, library paths, needed libraries
    accumulators: set  # the measurements' accumulators, which main may reset
    verdict: KernelVerdict


def check_main(p):
    """Nothing runs beside the stretches: every call in main outside them is
    allowed (the report's output, the clock, the error paths', the
    process-ending ones, the program's own functions that make only such
    calls), no system call is made but exit, and every path ends
    understood."""
    program = p.graph.program
    for finding in p.exits.findings(p.graph, p.outside):
        insn = program.at(finding.address)
        if finding.kind == "store" and finding.where in p.accumulators:
            continue  # an accumulator kept outside the stack, reset
        if finding.kind == "end":
            p.verdict.fault(f"{insn}: {finding.what}: {PATH_END}")
        elif finding.kind == "call":
            p.verdict.fault(f"{insn}: {finding.what} in main: {RUNNING} ({finding.why})")
        else:
            p.verdict.fault(f"{insn}: {finding.what} in main: "
                            f"{CHANGED if finding.kind == 'store' else RUNNING}")


def check_libraries(p):
    """No code is loaded but the C and C++ runtime's, by the system's
    loader from the system's paths: another library's constructors, or
    another loader, run before main."""
    isa = p.graph.program.isa
    for kind, text in p.libraries:
        if kind == "needed" and text not in isa.RUNTIME_LIBRARIES:
            p.verdict.fault(f"the executable loads {text}, which is not the C or C++ "
                            f"runtime's: its constructors run before main: {RUNNING}")
        elif kind == "interp" and text not in isa.LOADERS:
            p.verdict.fault(f"the executable asks for the loader {text}, not the system's: "
                            f"it runs before main: {RUNNING}")
        elif kind == "exports" and text not in isa.TOOLCHAIN_EXPORTS:
            p.verdict.fault(f"the executable defines {text} for its shared libraries: a C or "
                            f"C++ runtime function or object of that name (malloc, say) that "
                            f"the libraries use reaches the program's own definition instead, "
                            f"beside the loops: {RUNNING}")
        elif kind == "audit":
            p.verdict.fault(f"the executable asks the loader to load {text} as an auditing "
                            f"library (DT_AUDIT): its code runs before main: {RUNNING}")
        elif kind == "runpath":
            p.verdict.fault(f"the executable looks for its libraries in {text} first: what it "
                            f"loads there may be any library of the runtime's names: {RUNNING}")


def check_constructors(p):
    """Nothing runs before main but the toolchain's own code: crti's init
    function and crtbegin's frame_dummy constructor. An ifunc resolver of
    the executable's own, or any other constructor, may set up anything.
    A static PIE's GOT slots that hold 0 (as the ELF file says) still do
    when the toolchain's code loads them, but for one that main may write
    as an accumulator."""
    program = p.graph.program
    zero = {slot for slot in (program.startup.zero_slots if program.startup else [])
            if all(a.base is not None or abs(a.c0 - slot) >= 8 for a in p.accumulators)}
    for kind, address, name in p.constructors or []:
        if kind == "ifunc":
            why = "an ifunc resolver of the program's own"
        else:
            why = program.isa.toolchain_why(program, kind, address, name, zero)
        if why:
            what = {"ifunc": "resolver", "entry": "entry point", ".fini": "fini function",
                    ".fini_array": "destructor"}.get(kind, "constructor")
            when = "run at exit" if kind in (".fini", ".fini_array") else "run before main"
            p.verdict.fault(f"{what} {name or hex(address)} in {kind} ({when}): "
                            f"{why}: {RUNNING}")


# The rules, in the order they run (and their faults are listed).
CODE_RULES = (check_clock_calls, check_ways_out, check_instructions, check_memory)
COUNT_RULES = (count_updates, check_final_read)
PROGRAM_RULES = (check_main, check_constructors, check_libraries)


def judge(graph, name, start, end, exits=None):
    """The verdict on the measurement between two clock calls."""
    if end is None:  # clock_pairs found no second clock call after `start`
        return unended(graph, name, start, exits or Exits(graph))
    m = Measurement.between(graph, name, start, end, exits)
    for rule in CODE_RULES:
        rule(m)
    if not m.verdict.faults:
        for rule in COUNT_RULES:
            rule(m)
    return m.verdict


def unended(graph, name, start, exits):
    """The verdict on a measurement whose second clock call no path from its
    first reaches (None: nor its first, since the one before never ended):
    why, and every way out of the code after the first clock call that is
    not understood."""
    program = graph.program
    if start is None:
        return KernelVerdict(name, ["its clock calls are never reached: the measurement "
                                    "before it never ends"])
    verdict = KernelVerdict(name)
    head = endless_loop(graph, start)
    why = f": the loop at {program.at(head)} never exits (every way out of it is provably " \
          f"never taken)" if head is not None else ""
    verdict.fault(f"no path from {program.at(start)} reaches a second clock call{why}")
    for finding in exits.findings(graph, region_nodes(graph, start, None)):
        insn = program.at(finding.address)
        verdict.fault(f"{insn}: {finding.what}: {PATH_END}" if finding.kind == "end" else
                      f"{insn}: {finding.what} {OUT_OF_STRETCH}: "
                      f"{finding.why or (CHANGED if finding.kind == 'store' else RUNNING)}")
    return verdict


def judge_program(graph, pairs, constructors=None, libraries=(), exits=None, accumulators=()):
    """The verdict on the program outside the measurements `pairs` (as
    clock_pairs gives them; none when they could not be found), whose
    accumulators main may store to."""
    exits = exits or Exits(graph)
    outside = set(graph.nodes)
    for _, start, end in pairs:
        if start is not None:
            outside -= region_nodes(graph, start, end)
    p = Outside(graph, exits, outside, constructors, list(libraries), set(accumulators),
                KernelVerdict(ALL_KERNELS))
    for rule in PROGRAM_RULES:
        rule(p)
    return p.verdict
