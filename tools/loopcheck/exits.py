"""Every way out of the code the check follows, judged: what each call is,
how each path ends, and which system calls are made.

A call is allowed when it goes to the clock, to a function known to return
normally and never throw (the report's output functions and those the error
paths use), to one known to end the process, or to the program's own code
that is proven, by the same judgement over its own graph, to do only that.
Anything else may leave something running beside the loop (a signal
handler, a timer, a thread, a process, a page protection, loaded code) or
resume inside a timed stretch (a throw, a long jump), and the check cannot
know which.

A path may end only in a call that ends the process, the exit or
exit_group system call, or a return through the function's own frame (the
stack pointer back at its entry value, its return address not overwritten,
as the instruction-set layer tells): for main, main returning. Any other
return (to an address pushed by the function itself, say), an interrupt or
far return, a halt, an undefined instruction, a software interrupt, or a
jump to code the check cannot read ends a path somewhere the check cannot
tell.

The names are trusted as objdump gives them. In a dynamically linked
executable (one whose main calls through the PLT or the GOT) a known name
defined in the executable itself is the program's own function, which is
judged by its code, not by its name; so is any code in a static one that
the check does not know by name (the program's, or its libraries'). A
function known by name never to return (a throw, a long jump) is refused
whoever defines it.
"""
import dataclasses

from .controlflow import NEVER_RETURNING, PROCESS_ENDING, never_returns_by_name
from .graph import build_graph
from .state import ENTRY_SP, ERRNO, describe, offset
from .values import Value

CLOCK_NAMES = {"clock_gettime", "__clock_gettime", "__clock_gettime64"}

# Functions known to return normally and never throw: the report's output
# and what the error paths use, with the _chk forms fortified builds call
# and the names a static glibc's listing gives them.
REPORT_OUTPUT = {"puts", "printf", "__printf_chk", "putchar", "fputc", "putc", "fputs",
                 "fwrite", "fflush", "ferror", "_IO_puts", "_IO_printf", "__printf",
                 "_IO_putc", "_IO_fputs", "_IO_fwrite", "_IO_fflush", "_IO_ferror"}
ERROR_PATH = {"fprintf", "__fprintf_chk", "__fprintf", "_IO_fprintf", "strerror",
              "__errno_location"}
RETURNING = REPORT_OUTPUT | ERROR_PATH
# What a saved excerpt of a static build keeps only the name of (not the C
# library code behind it): the functions believed by name, and those the
# toolchain's start-up and exit code call, but for those ending the
# process (a static one is believed only when its code, all it calls
# included, never returns).
EXCERPT_BY_NAME = (RETURNING | NEVER_RETURNING | {
    "__libc_start_main", "__libc_start_main_impl", "__register_frame_info",
    "__deregister_frame_info", "__cxa_finalize", "getauxval", "__getauxval"}) - PROCESS_ENDING
UNREADABLE = "a jump or call target that is not code the check can read"
UNKNOWN_CALLEE = "not known to return normally without throwing, nor to end the process"


@dataclasses.dataclass(frozen=True)
class Finding:
    """One way out of the code that the check does not understand: `kind`
    is "end" (a path ends there), "call", "system call" or "store" (one that
    may change what a later call runs: the GOT, a function pointer); `what`
    names it and `why` (for a call) says why it is not allowed; `where` is
    the address a store goes to (None: unknown)."""
    address: int
    kind: str
    what: str
    why: str = ""
    where: object = None


class Exits:
    """The judgement of calls and ends in the executable whose main's graph
    is `graph`; the program's own functions are judged once each."""

    def __init__(self, graph):
        self.graph, self.program = graph, graph.program
        program = self.program
        # (A static build's PLT stubs of its ifuncs, `*ABS*+0x...@plt` on
        # AArch64, call into itself.)
        self.dynamic = any(name.endswith("@plt") and not name.startswith("*ABS*")
                           for name in program.starts) or any(
            program.at(a).is_call and program.callee(program.at(a))
            and not program.calls_own_code(program.at(a)) for a in graph.nodes)
        self.summaries = {}  # entry -> why it is not allowed ("" when it is)

    def callee(self, insn):
        """(the name of the function `insn` calls, why the call is not
        allowed: "" when it is)."""
        program = self.program
        name = program.callee(insn) or "an address the check cannot know"
        own = program.calls_own_code(insn)
        if name in CLOCK_NAMES:
            # The clock rule judges one called as a measurement's clock; a
            # static build's own is the C library's only in its exact shape
            # (a dynamic build's own is refused as exported).
            why = program.isa.clock_shape_why(program, insn.target) \
                if own and not self.dynamic else ""
            return name, why and f"a clock function in the executable that is not the C " \
                                 f"library's: {why}"
        if not own and (name in RETURNING or name in PROCESS_ENDING):
            return name, ""
        if never_returns_by_name(name) and name not in PROCESS_ENDING:
            return name, UNKNOWN_CALLEE  # a throw, a long jump: whoever defines it
        if own and not self.dynamic:  # a statically linked C library's function
            if name in RETURNING:
                return name, ""
            if name in PROCESS_ENDING and self.graph.noreturn.never_returns(insn.target):
                return name, ""
        elif own and name in RETURNING:
            # What the check believes of it by name (where __errno_location's
            # pointer goes, say) would be the program's word.
            return name, "the program's own function of a C library function's name"
        if own:
            why = self.own_function(insn.target)
            return name, why and f"code in the executable that the check does not know by " \
                                 f"name, in which {why}"
        if insn.target is None and not insn.target_name:
            return "an address in a register or memory", "the check cannot know what it calls"
        return name, UNKNOWN_CALLEE

    def own_function(self, entry):
        """Why the program's own function at `entry` is not allowed ("" when
        every call it makes is allowed and every path in it ends in a
        return through its own frame or in ending the process)."""
        if entry in self.summaries:
            return self.summaries[entry]
        self.summaries[entry] = ""  # while it is read: a call back into it is allowed
        graph = build_graph(self.program, entry, callee_saved=True)
        findings = self.findings(graph, graph.nodes)
        why = ""
        if findings:  # the first says why; what it calls in turn is its own story
            first = findings[0]
            why = f"{self.program.at(first.address)} is {first.what}"
        self.summaries[entry] = why
        return why

    def findings(self, graph, nodes):
        """The ways out of the code in `nodes` (of `graph`) that are not
        understood, in address order."""
        program, found = graph.program, []
        isa = program.isa
        for address in sorted(nodes):
            insn = program.at(address)
            if insn.is_call:
                if address in graph.unresolved:
                    found.append(Finding(address, "end", UNREADABLE))
                    continue
                name, why = self.callee(insn)
                if why:
                    found.append(Finding(address, "call", f"a call to {name}", why))
                elif graph is not self.graph and hands_caller_frame(isa, graph.states[address]):
                    found.append(Finding(address, "call", f"a call to {name} given a pointer "
                                                          f"into its caller's frame"))
                continue
            where = stored_outside_stack(isa, insn, graph.states[address],
                                         own_frame=graph is not self.graph)
            if where is not False:
                found.append(Finding(address, "store", "a store " + (
                    "through a pointer the check cannot know" if where is None
                    else f"to {describe(where)} (" + ("its caller's frame)" if where.base ==
                                                      ENTRY_SP.base else "outside the stack)")),
                    where=where))
            call = isa.system_call(insn, graph.states[address])
            if call is not None and not call.numbered:
                found.append(Finding(address, "system call", "a system call"))
            elif call is not None and call.number not in isa.EXIT_SYSCALLS:
                what = "an unknown number" if call.number is None else f"number {call.number}"
                found.append(Finding(address, "system call", f"a system call with {what}"))
            if call is not None:
                continue
            if address in graph.unresolved:
                found.append(Finding(address, "end", UNREADABLE))
            elif graph.nodes.get(address):
                continue  # it goes on
            elif insn.is_plain_return:
                sp = graph.states[address].get(isa.STACK_POINTER)
                if sp != ENTRY_SP:
                    found.append(Finding(address, "end", f"a return with the stack pointer at "
                                                         f"{describe(sp)}, not back at the "
                                                         f"function's entry value"))
                    continue
                written = isa.return_address_overwritten(graph, address)
                changed = "" if written else changed_callee_saved(graph, address)
                if written:
                    found.append(Finding(address, "end", f"a return after {written} "
                                                         f"overwrote the return address"))
                elif changed:
                    found.append(Finding(address, "end", f"a return that leaves "
                                                         f"{isa.register_text(changed)} "
                                                         f"changed, which a call must preserve"))
            elif insn.stops:
                found.append(Finding(address, "end", isa.what_ends(insn)))
        return found


# The address __errno_location returns: a store there sets errno, no more.
ERRNO_VALUE = Value(0, 0, 64, ERRNO)


def stored_outside_stack(isa, insn, state, own_frame=False):
    """Where `insn` stores other than on the stack or at errno: the address
    (None when the check cannot know it), or False when it does not. With
    `own_frame` (a function main calls), the stack is the function's own,
    below the stack pointer at its entry: at or above it lies its caller's
    frame, where main saved its return address, and a function of the
    program's own writing there makes main return elsewhere, which main's
    own code does not show. (Above main's own entry lies the C library's
    start-up frame, which calls exit with main's result.)"""
    for where, _ in isa.written_by(insn, state):
        if where is None or (where.base != ENTRY_SP.base and where != ERRNO_VALUE) or (
                own_frame and where.base == ENTRY_SP.base and offset(where.c0) >= 0):
            return where
    return False


def hands_caller_frame(isa, state):
    """Whether a call in `state`, in a function main calls, is given a
    pointer to within 16 bytes below the function's entry stack pointer
    or above it (in an argument register, or stored whole in memory: an
    argument passed on the stack): what it writes through it (printf's %n,
    the clock's timespec) may be main's saved return address."""
    pointers = [state.get(name) for name in isa.ARGUMENTS[64]] + list(state.memory.values())
    return any(p is not None and p.base == ENTRY_SP.base and not p.c1 and offset(p.c0) > -16
               for p in pointers)


def changed_callee_saved(graph, address):
    """A register a call must preserve that the return at `address` does not
    leave at its entry value, "" when there is none (main's graph does not
    hold entry values: what main leaves to its caller does not matter)."""
    entry, now = graph.states[graph.entry].regs, graph.states[address].regs
    for family in graph.program.isa.CALLEE_SAVED:
        if entry.get(family) is not None and now.get(family) != entry[family]:
            return family
    return ""
