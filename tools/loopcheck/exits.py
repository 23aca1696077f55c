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
stack pointer back at its entry value, its return address not written):
for main, main returning. Any other return (`push label; ret`), an
interrupt or far return, a halt, an undefined instruction, a software
interrupt, or a jump to code the check cannot read ends a path somewhere the
check cannot tell.

The names are trusted as objdump gives them. In a dynamically linked
executable (one whose main calls through the PLT or the GOT) a known name
defined in the executable itself is the program's own function, which is
judged by its code, not by its name; so is any code in a static one that
the check does not know by name (the program's, or its libraries'). A
function known by name never to return (a throw, a long jump) is refused
whoever defines it.
"""
import dataclasses
import re

from .controlflow import ENDS, PROCESS_ENDING, is_return, never_returns_by_name
from .graph import ENTRY_SP, EXIT_SYSCALLS, build_graph
from .state import CALLEE_SAVED, address_of, describe, is_memory
from .values import Value
from .x86_64.allowlist import access_width, decode
from .x86_64.interpreter import ERRNO, memory_accesses

CLOCK_NAMES = {"clock_gettime", "__clock_gettime", "__clock_gettime64"}

# Static glibc's __clock_gettime, instruction for instruction (an address
# aside): the vDSO's function through the pointer the C library's start-up
# leaves in _dl_vdso_clock_gettime64, or else the clock_gettime system call
# (228); a failure sets errno (the thread's, at %fs:-0x48) and returns -1.
CLOCK_SHAPE = [r"mov -?0x[0-9a-f]+\(%rip\),%rax", r"test %rax,%rax", r"test %eax,%eax",
               r"sub \$0x8,%rsp", r"add \$0x8,%rsp", r"call \*%rax", r"xor %eax,%eax",
               r"ret", r"mov \$0xe4,%eax", r"syscall", r"neg %eax",
               r"mov \$0xffffffffffffffb8,%rdx", r"mov %eax,%fs:\(%rdx\)",
               r"mov \$0xffffffff,%eax", r"endbr64", r"j(?:e|ne|mp) [0-9a-f]+ <[^>+]+\+0x[0-9a-f]+>"]


def clock_shape_why(program, entry):
    """Why the clock function at `entry`, in the executable itself, is not
    static glibc's (its exact instructions, jumps only inside it, its one
    indirect call through the vDSO's pointer), "" when it is. A clock of
    the program's own may make the system call and arm a timer too."""
    home = program.symbol_at(entry)
    seen, todo = {entry}, [entry]
    while todo:
        insn = program.at(todo.pop())
        if insn is None or program.symbol_at(insn.address) != home:
            return f"its code at {entry:x} leaves the function or cannot be read"
        if not any(re.fullmatch(pattern, insn.text) for pattern in CLOCK_SHAPE):
            return f"{insn} is not in the C library's clock_gettime"
        if insn.mnemonic == "mov" and insn.operands[-1:] == ["%rax"] \
                and "(%rip)" in insn.operands[0] \
                and not insn.target_name.startswith("_dl_vdso_clock_gettime"):
            return f"{insn} loads a pointer other than the vDSO's clock_gettime"
        if insn.mnemonic == "ret" or (insn.mnemonic == "jmp" and insn.target is None):
            continue
        following = [insn.next] if insn.mnemonic != "jmp" else []
        if insn.is_jump:
            following.append(insn.target)
        for address in following:
            if address not in seen:
                seen.add(address)
                todo.append(address)
    return ""
# Functions known to return normally and never throw: the report's output
# and what the error paths use, with the _chk forms fortified builds call
# and the names a static glibc's listing gives them.
REPORT_OUTPUT = {"puts", "printf", "__printf_chk", "putchar", "fputc", "putc", "fputs",
                 "fwrite", "fflush", "ferror", "_IO_puts", "_IO_printf", "__printf",
                 "_IO_putc", "_IO_fputs", "_IO_fwrite", "_IO_fflush", "_IO_ferror"}
ERROR_PATH = {"fprintf", "__fprintf_chk", "__fprintf", "_IO_fprintf", "strerror",
              "__errno_location"}
RETURNING = REPORT_OUTPUT | ERROR_PATH
UNREADABLE = "a jump or call target that is not code the check can read"
UNKNOWN_CALLEE = "not known to return normally without throwing, nor to end the process"


@dataclasses.dataclass(frozen=True)
class Finding:
    """One way out of the code that the check does not understand: `kind`
    is "end" (a path ends there), "call", "syscall" or "store" (one that
    may change what a later call runs: the GOT, a function pointer); `what`
    names it and `why` (for a call) says why it is not allowed; `where` is
    the address a store goes to (None: unknown)."""
    address: int
    kind: str
    what: str
    why: str = ""
    where: object = None


def what_ends(insn):
    """How an instruction that ends its path is named in a fault."""
    m = insn.mnemonic
    for prefixes, words in ((("iret",), "an interrupt return"), (("lret",), "a far return"),
                            (("sysret", "sysexit"), "a return from a system call"),
                            (("hlt",), "a halt (privileged: it raises a signal)"),
                            (("ud",), "an undefined instruction (it raises SIGILL)"),
                            (("int", "icebp"), "a software interrupt (it raises a signal)"),
                            (("ljmp", "lcall", "jmpf", "callf"), "a far jump or call"),
                            (("(bad)",), "bytes objdump cannot decode (the check cannot "
                                         "read what they do)")):
        if m.startswith(prefixes):
            return words
    return "an instruction that does not go on"


class Exits:
    """The judgement of calls and ends in the executable whose main's graph
    is `graph`; the program's own functions are judged once each."""

    def __init__(self, graph):
        self.graph, self.program = graph, graph.program
        program = self.program
        self.dynamic = any(name.endswith("@plt") for name in program.starts) or any(
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
            why = clock_shape_why(program, insn.target) if own and not self.dynamic else ""
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
        written = return_address_written(graph)
        for address in sorted(nodes):
            insn = program.at(address)
            if insn.is_call:
                if address in graph.unresolved:
                    found.append(Finding(address, "end", UNREADABLE))
                    continue
                name, why = self.callee(insn)
                if why:
                    found.append(Finding(address, "call", f"a call to {name}", why))
                continue
            where = stored_outside_stack(insn, graph.states[address])
            if where is not False:
                found.append(Finding(address, "store", "a store " + (
                    "through a pointer the check cannot know" if where is None
                    else f"to {describe(where)} (outside the stack)"), where=where))
            if insn.mnemonic == "syscall":
                number = graph.states[address].get("eax")
                if number is None or not number.known or number.c0 not in EXIT_SYSCALLS:
                    what = "an unknown number" if number is None or not number.known \
                        else f"number {number.c0}"
                    found.append(Finding(address, "syscall", f"a system call with {what}"))
                continue
            if insn.mnemonic == "sysenter" or (insn.mnemonic == "int"
                                               and insn.operands == ["$0x80"]):
                found.append(Finding(address, "syscall", "a system call"))
                continue
            if address in graph.unresolved:
                found.append(Finding(address, "end", UNREADABLE))
            elif graph.nodes.get(address):
                continue  # it goes on
            elif is_return(insn) and insn.mnemonic.startswith("ret"):
                rsp = graph.states[address].get("rsp")
                if rsp != ENTRY_SP:
                    found.append(Finding(address, "end", f"a return with the stack pointer at "
                                                         f"{describe(rsp)}, not back at the "
                                                         f"function's entry value"))
                elif written:
                    found.append(Finding(address, "end", f"a return after {written} "
                                                         f"overwrote the return address"))
                else:
                    changed = changed_callee_saved(graph, address)
                    if changed:
                        found.append(Finding(address, "end", f"a return that leaves %{changed} "
                                                             f"changed, which a call must "
                                                             f"preserve"))
            elif ENDS.match(insn.mnemonic):
                found.append(Finding(address, "end", what_ends(insn)))
        return found


# The address __errno_location returns: a store there sets errno, no more.
ERRNO_VALUE = Value(0, 0, 64, ERRNO)
# Instructions outside the allowlist that store nowhere but on the stack
# (a pop into memory aside), or nowhere at all: jumps through memory read it.
NO_STORE = re.compile(r"^(push|pop|call|ret|leave|enter|nop|prefetch|v?u?comis|v?ptest|test|"
                      r"bt[wlq]?$|cmp(?!xchg)|j|loop)")
# Instructions that store where a register points, with no memory operand
# (or not the last): the register, or None for the last register operand.
IMPLICIT_STORE = {"maskmovdqu": "%rdi", "vmaskmovdqu": "%rdi", "maskmovq": "%rdi",
                  "clzero": "%rax", "movdir64b": None, "enqcmd": None, "enqcmds": None}
VECTOR_BYTES = {"%zmm": 64, "%ymm": 32, "%xmm": 16, "%mm": 8}


def written_by(insn, state):
    """[(address or None when unknown, bytes)] that `insn` may store to:
    an allowed instruction's stores, as the interpreter finds them; any
    other's last operand when it is memory (AT&T puts the destination
    last), both operands of an xchg, a pop's memory operand, and the
    memory an instruction writes through a register alone (maskmovdqu,
    movdir64b, clzero). The bytes of one not allowed are the widest its
    registers say (8 at least; 64 for movdir64b and clzero)."""
    m = insn.mnemonic
    decoded = decode(insn)
    if decoded.allowed:
        return [(where, access_width(insn, decoded) // 8)
                for where, _, w in memory_accesses(insn, decoded, state) if w]
    size = max([8] + [b for prefix, b in VECTOR_BYTES.items()
                      if any(prefix in op for op in insn.operands)])
    if m in IMPLICIT_STORE:
        register = IMPLICIT_STORE[m] or (insn.operands[-1] if insn.operands else "")
        size = 64 if m in ("clzero", "movdir64b", "enqcmd", "enqcmds") else size
        return [(address_of(f"({register})", insn, state) if register.startswith("%")
                 else None, size)]
    memory = [op for op in insn.operands if is_memory(op)]
    if m.startswith(("xchg", "pop")) and memory:
        return [(address_of(op, insn, state), size) for op in memory]
    if NO_STORE.match(m):
        return []  # stack operations, or no store at all
    if insn.operands and is_memory(insn.operands[-1]):
        return [(address_of(insn.operands[-1], insn, state), size)]
    return []


def stored_outside_stack(insn, state):
    """Where `insn` stores other than on the stack or at errno: the address
    (None when the check cannot know it), or False when it does not."""
    for where, _ in written_by(insn, state):
        if where is None or (where.base != ENTRY_SP.base and where != ERRNO_VALUE):
            return where
    return False


def changed_callee_saved(graph, address):
    """A register a call must preserve that the return at `address` does not
    leave at its entry value, "" when there is none (main's graph does not
    hold entry values: what main leaves to its caller does not matter)."""
    entry, now = graph.states[graph.entry].regs, graph.states[address].regs
    for family in CALLEE_SAVED:
        if entry.get(family) is not None and now.get(family) != entry[family]:
            return family
    return ""


def return_address_written(graph):
    """The first instruction of `graph` that stores over the function's
    return address at a known address (the 8 bytes at the entry stack
    pointer), as text; "" when none does."""
    program = graph.program
    for address in sorted(graph.nodes):
        insn = program.at(address)
        for where, size in written_by(insn, graph.states[address]):
            if where is not None and where.base == ENTRY_SP.base and not where.c1 \
                    and -size < where.signed() < 8:
                return str(insn)
    return ""
