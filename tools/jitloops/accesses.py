"""What one instruction does to memory, from its mnemonic and operands: which
memory operands it reads and which it writes, their addressing form,
whether it is a fence or a locked instruction, and which of its loads are
polls (safepoint and interrupt checks). The symbolic addresses, and the
stack slots a push or a call writes, come from the symbolic layer above.
"""
import dataclasses
import re

from . import x86

# The register each runtime keeps its thread (HotSpot) or isolate roots (V8)
# in: loads through it inside a loop are poll words, stack limits and the like.
RUNTIME_REGISTER = {"HotSpot": "r15", "V8": "r13"}
# Mnemonics that access no memory through their operands (by their start),
# that only read their operands (by their start), that only write their last
# operand, and moves whose memory operand is read.
NO_ACCESS = ("lea", "nop", "prefetch", "endbr", "clflush", "clwb")
READ_ONLY = ("cmp", "test", "bt", "ucomis", "comis", "vucomis", "vcomis", "ptest", "vptest")
WRITE_ONLY = re.compile(r"^(mov\w*|set\w+|cvt\w*|vmov\w*|vcvt\w*|pop\w?|stos\w?|movnt\w*)$")
MOVE_READS = re.compile(r"^(movz|movs[bwl]|movslq|movabs)")


@dataclasses.dataclass
class Access:
    address: int  # the instruction's
    location: str  # the symbolic address
    form: str  # "[reg+disp]", "[reg+reg]", "RIP-relative", ...
    reads: int
    writes: int
    kind: str = "other"  # "accumulator", "poll", "fence", "other"
    why: str = ""
    value: object = None  # what a plain store stores (a symbolic value), when known


def address_form(operand):
    match = x86.MEMORY_OPERAND.match(operand)
    if not match:
        return "?"
    segment, disp, base, index, _ = match.groups()
    if base == "%rip":
        return "RIP-relative"
    if segment in ("fs", "gs"):
        return f"{segment}-relative"
    if base and index:
        return "[reg+reg*scale+disp]" if disp else "[reg+reg*scale]"
    if base or index:
        return "[reg+disp]" if disp else "[reg]"
    return "absolute"


def operand_accesses(insn):
    """(operand, reads, writes) for each memory operand of `insn`."""
    m, operands = insn.mnemonic, insn.operands
    if m.startswith(NO_ACCESS) or insn.is_jump or insn.is_call:
        return []
    found = []
    for k, operand in enumerate(operands):
        if not x86.is_memory(operand):
            continue
        last = k == len(operands) - 1
        if m.startswith(READ_ONLY) or not last or MOVE_READS.match(m) and not last:
            found.append((operand, 1, 0))
        elif m.startswith("push"):
            found.append((operand, 1, 0))
        elif WRITE_ONLY.match(m) and not MOVE_READS.match(m):
            found.append((operand, 0, 1))
        elif MOVE_READS.match(m):
            found.append((operand, 1, 0))
        else:
            found.append((operand, 1, 1))
    return found


def fence_kind(insn):
    if "lock" in insn.prefixes:
        return "locked instruction (lock prefix): a full fence"
    if re.match(r"^[lms]fence$", insn.mnemonic):
        return f"fence ({insn.mnemonic})"
    if insn.mnemonic.startswith("xchg") and any(x86.is_memory(op) for op in insn.operands):
        return "xchg with memory: implicitly locked, a full fence"
    return None


def classify_poll(insn, accesses, runtime, poll_words=()):
    """Marks the loads that are polls: through the runtime's thread or
    isolate register, a `test` whose only use is touching a page, a compare
    of the stack pointer with memory (a stack-limit interrupt check), a load
    of a word the runtime's own listing names as polled (`poll_words`: its
    addresses, as symbolic locations: PyPy's pending-signal counter)."""
    own = RUNTIME_REGISTER.get(runtime)
    for access in accesses:
        if access.writes or not access.reads:
            continue
        if access.location in poll_words:
            access.kind, access.why = "poll", poll_words[access.location]
            continue
        operand = next((op for op in insn.operands if x86.is_memory(op)), "")
        match = x86.MEMORY_OPERAND.match(operand)
        base = match[3] if match else None
        if insn.mnemonic.startswith("cmp") and any(op == "%rsp" for op in insn.operands):
            access.kind, access.why = "poll", "stack-limit compare (interrupt check)"
        elif insn.mnemonic.startswith("test") and len(insn.operands) == 2 \
                and not any(insn.operands[0] == op for op in insn.operands[1:]) \
                and any(not x86.is_memory(op) for op in insn.operands):
            access.kind, access.why = "poll", "test of memory (safepoint poll page touch)"
        elif own and base == f"%{own}":
            access.kind = "poll"
            access.why = ("load through the thread register (safepoint poll word)"
                          if runtime == "HotSpot" else "load through the isolate root register")
        if any("poll" in note for note in insn.notes) and access.kind != "poll":
            access.kind, access.why = "poll", "marked as a poll by the runtime"
