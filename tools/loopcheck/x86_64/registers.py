"""The x86-64 general registers and their addressing: each register's name,
width and the 64-bit register it is part of (%eax, %ax, %al and %ah of
%rax), the registers the System V ABI's calls use, the machine state over
them, and how an AT&T operand is read: its value, or the address of a
memory operand.
"""
import re

from ..state import ENTRY_SP
from ..state import State as MachineState
from ..values import Value, add, low, mul

REGISTERS = {}  # name -> (64-bit family, width in bits, bit offset)
for _n in "abcd":
    REGISTERS.update({f"r{_n}x": (f"r{_n}x", 64, 0), f"e{_n}x": (f"r{_n}x", 32, 0),
                      f"{_n}x": (f"r{_n}x", 16, 0), f"{_n}l": (f"r{_n}x", 8, 0),
                      f"{_n}h": (f"r{_n}x", 8, 8)})
for _n in ("si", "di", "bp", "sp"):
    REGISTERS.update({f"r{_n}": (f"r{_n}", 64, 0), f"e{_n}": (f"r{_n}", 32, 0),
                      _n: (f"r{_n}", 16, 0), f"{_n}l": (f"r{_n}", 8, 0)})
for _i in range(8, 16):
    REGISTERS.update({f"r{_i}": (f"r{_i}", 64, 0), f"r{_i}d": (f"r{_i}", 32, 0),
                      f"r{_i}w": (f"r{_i}", 16, 0), f"r{_i}b": (f"r{_i}", 8, 0)})
# What a call may change (the System V ABI's caller-saved registers).
CALLER_SAVED = ("rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11")
# What a call must leave as it found it (the rest of the general registers).
CALLEE_SAVED = ("rbx", "rbp", "r12", "r13", "r14", "r15")
# The stack pointer, the register a function returns its value in, and
# those the first arguments are passed in (in their 64- and 32-bit names).
STACK_POINTER = "rsp"
RETURN_REGISTER = "rax"
ARGUMENTS = {64: ("rdi", "rsi", "rdx", "rcx", "r8", "r9"),
             32: ("edi", "esi", "edx", "ecx", "r8d", "r9d")}


def register_text(name):
    """A register as the listing and the check's messages spell it."""
    return f"%{name}"


class State(MachineState):
    """The machine state over x86-64's general registers."""
    __slots__ = ()
    REGISTERS = REGISTERS


def entry_state(callee_saved=False):
    """The state at a function's entry: the stack pointer as the base of
    stack addresses, and with `callee_saved`, each register a call must
    preserve as its own symbolic entry value (so that a return can be
    checked to restore it)."""
    regs = {STACK_POINTER: ENTRY_SP}
    if callee_saved:
        regs.update({family: Value(0, 0, 64, f"{family} at entry") for family in CALLEE_SAVED})
    return State(regs)


MEMORY = re.compile(r"^(?:%([a-z]s):)?(-?0x[0-9a-f]+|-?\d+)?(?:\((%[a-z0-9]+)?(?:,(%[a-z0-9]+))?"
                    r"(?:,(\d))?\))?$")


def is_memory(operand):
    return not operand.startswith(("$", "%")) or operand.startswith(("%fs:", "%gs:",
                                                                      "%es:", "%ds:"))


def address_of(operand, insn, state, width=64):
    """The address of a memory operand as a value (None when unknown); with
    a `width` below 64, only its low bits (what `lea` into a 32-bit register
    keeps, which needs only the low bits of the registers it adds)."""
    match = MEMORY.match(operand)
    if not match:
        return None
    segment, disp, base, index, scale = match.groups()
    offset = int(disp, 0) if disp else 0
    if base == "%rip":
        return low(Value(insn.rip_address), width) if insn.rip_address is not None else None

    def register(name):
        family = REGISTERS[name][0]
        value = state.regs.get(family)
        return None if value is None or value.w < width or REGISTERS[name][1] < width \
            else low(value, width)
    value = Value(offset, 0, width, segment if segment in ("fs", "gs") else None)
    if base:
        value = add(value, register(base[1:]), width)
    if index:
        value = add(value, mul(register(index[1:]), Value(int(scale or 1), 0, width), width),
                    width)
    return value


def operand_value(operand, width, insn, state):
    if operand.startswith("$"):
        return Value(int(operand[1:], 0), 0, width)
    if operand.startswith("%") and operand[1:] in REGISTERS:
        return low(state.get(operand[1:]), width)
    return None  # memory is not tracked: the accumulator is volatile


