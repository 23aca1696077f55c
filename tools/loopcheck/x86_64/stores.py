"""What an x86-64 instruction may store to, allowed or not (each as wide as
its registers), and whether a function overwrote its return address, the 8
bytes at the stack pointer's entry value.
"""
import re

from ..state import ENTRY_SP
from .allowlist import access_width, decode
from .interpreter import memory_accesses
from .registers import address_of, is_memory

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


def return_address_overwritten(graph, address):
    """What overwrote the return address that the return at `address`
    goes back through ("" when nothing did): on x86-64 it lies on the
    stack, and any store over it in the function counts."""
    return return_address_written(graph)
