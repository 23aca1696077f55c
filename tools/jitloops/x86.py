"""The x86-64 listing vocabulary the diagnostic reads objdump's AT&T text
with. The instruction prefixes, the operand splitting, the register table
and the memory-operand test are the machine-code check's x86-64 layer's
(tools/loopcheck/x86_64/), borrowed here and only here, so that a change
there touches one place; the memory-operand pattern is the diagnostic's own.
"""
import re

from loopcheck.x86_64 import listing as _listing
from loopcheck.x86_64 import registers as _registers

PREFIXES = _listing.PREFIXES  # words objdump prints before a mnemonic ("lock", "rex.W", ...)
split_operands = _listing.split_operands  # "0x10(%rbx,%rcx,8),%rax" -> two operands
REGISTERS = _registers.REGISTERS  # name -> (64-bit family, width in bits, bit offset)
CALLER_SAVED = _registers.CALLER_SAVED  # what a call may leave holding anything

# An AT&T memory operand: segment, displacement, base, index, scale.
MEMORY_OPERAND = re.compile(r"^(?:%([a-z]s):)?(-?0x[0-9a-f]+|-?\d+)?(?:\((%[a-z0-9]+)?"
                            r"(?:,(%[a-z0-9]+))?(?:,(\d))?\))?$")


# The vector registers, each followed by the value of its low 64 bits: a
# tracing JIT keeps doubles there (LuaJIT's loop index, converted to a double,
# stored into the interpreter's frame and read back). ALL: every register the
# symbolic walk follows.
VECTOR = {f"xmm{n}": (f"xmm{n}", 64, 0) for n in range(16)}
ALL = {**REGISTERS, **VECTOR}


def is_memory(operand):
    return _registers.is_memory(operand) and not operand.startswith("$")
