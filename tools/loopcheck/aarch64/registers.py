"""The AArch64 registers as objdump names them: each general register's
64-bit family (x0..x30, sp) and the width a name reads or writes (x: 64
bits, w: the low 32), the zero register, which registers a call may change
and which it must keep, the names of the floating-point, SIMD and SVE
registers, which are no general register (an instruction naming one is not
plain integer code), and the machine state over the general registers.
"""
import re

from ..state import ENTRY_SP
from ..state import State as MachineState
from ..values import Value

ZERO = "zr"  # the family of xzr and wzr: reads as 0, a write is discarded

GENERAL = {}  # name -> (family, width in bits)
for _n in range(31):
    GENERAL[f"x{_n}"] = (f"x{_n}", 64)
    GENERAL[f"w{_n}"] = (f"x{_n}", 32)
GENERAL.update({"sp": ("sp", 64), "wsp": ("sp", 32), "xzr": (ZERO, 64), "wzr": (ZERO, 32),
                # objdump's aliases of x29 and x30 (written by some disassemblers
                # and in hand-written assembly): the frame pointer, the link register
                "fp": ("x29", 64), "lr": ("x30", 64)})

# The procedure call standard: a call may change x0-x18 (x16 and x17 are
# the linker's veneer scratch registers, x18 is a temporary on Linux) and
# the flags; it must preserve x19-x29 and sp. x30 holds the return address:
# a call overwrites it, so it is among the registers a call changes.
CALLER_SAVED = tuple(f"x{n}" for n in range(19)) + ("x30",)
CALLEE_SAVED = tuple(f"x{n}" for n in range(19, 30))
LINK = "x30"  # where bl and blr leave the return address, and ret returns to
STACK_POINTER = "sp"
RETURN_REGISTER = "x0"
ARGUMENTS = {64: tuple(f"x{n}" for n in range(8)), 32: tuple(f"w{n}" for n in range(8))}
# What x30 holds at a function's entry: the address its caller goes on at.
# A return goes back through it only while x30 holds this very value.
RETURN_ADDRESS = Value(0, 0, 64, "the return address")

# Floating-point, SIMD and SVE registers: b/h/s/d/q views, vectors with an
# arrangement (v0.16b) or lane (v1.d[1]), SVE vectors and predicates
# (z0.d, p0/z), and the floating-point control and status registers.
VECTOR = re.compile(r"^(?:[bhsdqv](?:[12]?\d|3[01])(?:\.\w+)?(?:\[\d+\])?|"
                    r"[zp](?:[12]?\d|3[01])(?:\.\w+|/[zm])?(?:\[\d+\])?|zt0|za\w*|ffr)$")


def general(name):
    """(family, width) of a general register name, None for any other."""
    return GENERAL.get(name)


def is_vector(name):
    """Whether `name` is a floating-point, SIMD or SVE register."""
    return bool(VECTOR.match(name))


# The state's table: name -> (family, width, bit offset); the zero
# register has no family there (the interpreter reads it as 0).
REGISTERS = {name: (family, width, 0) for name, (family, width) in GENERAL.items()
             if family != ZERO}


def register_text(name):
    """A register as the listing and the check's messages spell it."""
    return name


class State(MachineState):
    """The machine state over AArch64's general registers."""
    __slots__ = ()
    REGISTERS = REGISTERS


def entry_state(callee_saved=False):
    """The state at a function's entry: the stack pointer as the base of
    stack addresses, x30 as the return address, and with `callee_saved`,
    each register a call must preserve as its own symbolic entry value (so
    that a return can be checked to restore it)."""
    regs = {STACK_POINTER: ENTRY_SP, LINK: RETURN_ADDRESS}
    if callee_saved:
        regs.update({family: Value(0, 0, 64, f"{family} at entry") for family in CALLEE_SAVED})
    return State(regs)
