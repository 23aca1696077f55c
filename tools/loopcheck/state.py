"""The machine state the interpreter works on: the general registers (their
names, widths and the 64-bit register each is part of), the values known in
them and at known memory addresses, and how an operand is read: its value,
or the address of a memory operand.
"""
import re

from .flags import join_flags
from .values import Value, add, low, mul

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


def family_of(name):
    return REGISTERS[name][0]


class State:
    """Registers, flags and memory known before an instruction.

    A register's family (rax for %eax, %ax, %al) holds a Value of 64 bits,
    or of fewer when only its low bits are known (after `test %eax,%eax;
    je` the low 32 bits of %rax are 0, the rest are whatever they were), or
    None when unknown. `why` says, for a register that is unknown, what made
    it so, for the messages that name a value the check cannot know."""
    __slots__ = ("regs", "flags", "memory", "why")

    def __init__(self, regs=None, flags=None, memory=None, why=None):
        self.regs = dict(regs or {})
        self.flags = flags
        # The 64-bit values last stored at known addresses. Only constant
        # propagation reads them back (a spilled pointer, the reset of the
        # accumulator); while a stretch is run, memory reads give unknowns,
        # since the accumulator is volatile and its values are not followed.
        self.memory = dict(memory or {})
        self.why = dict(why or {})

    def copy(self):
        return State(self.regs, self.flags, self.memory, self.why)

    def store(self, where, value):
        """A store of up to 64 bits at `where`: it forgets every value it
        may overlap, and records a 64-bit value (None: the value is unknown)."""
        if where is None or where.c1:
            self.memory = {}
            return
        self.memory = {a: v for a, v in self.memory.items()
                       if a.base != where.base or abs(a.c0 - where.c0) >= 8}
        if value is not None and value.w == 64:
            self.memory[where] = value

    def get(self, name):
        family, width, offset = REGISTERS[name]
        value = self.regs.get(family)
        if value is None or value.w < offset + width:
            return None
        if offset:
            return Value(value.c0 >> 8, 0, 8) if value.known else None
        return low(value, width)

    def put(self, family, value, why=""):
        """Sets a whole register family (None: unknown, for the reason
        `why`); the flags no longer tell anything about it."""
        self.regs[family] = value
        if value is None and why:
            self.why[family] = why
        if self.flags is not None:
            self.flags = self.flags.without(family, family_of)

    def set(self, name, value, ctx, why=""):
        family, width, offset = REGISTERS[name]
        if width == 64:
            self.put(family, value, why)
        elif width == 32:
            ctx.no_wrap(value)  # a 32-bit write is zero-extended
            self.put(family, None if value is None or value.base else Value(value.c0, value.c1),
                     why)
        else:  # 8 and 16 bits merge into the register
            old = self.regs.get(family)
            if value is None or not value.known or ((old is None or not old.known
                                                     or old.w < offset + width) and offset):
                self.put(family, None, why or "part of it was written from a value the "
                                              "check cannot know")
            elif old is None or not old.known or old.w < width:
                # Over bits the check cannot know: the low bits written are
                # known (a flag kept in %bl, say), the rest is not.
                self.put(family, Value(value.c0, 0, width))
            else:
                mask = ((1 << width) - 1) << offset
                self.put(family, Value((old.c0 & ~mask) | (value.c0 << offset & mask), 0, old.w))

    def narrow(self, name, value):
        """What a way of a branch tells: register `name` holds `value`
        (in its own width). A register already known keeps its value."""
        family, width, offset = REGISTERS[name]
        old = self.regs.get(family)
        if offset or value is None or not value.known or (old is not None and old.w >= width):
            return
        self.regs[family] = Value(value.c0, 0, width)

    def unknown_why(self, name):
        """Why register `name` is unknown, in words."""
        family, width, offset = REGISTERS[name]
        value = self.regs.get(family)
        if value is not None and value.w < offset + width:
            return f"only its low {value.w} bits are known"
        return self.why.get(family, "not set in main before it is used (an argument, or "
                                    "whatever the caller left)")


def join(a, b):
    """What holds on both of two ways into an instruction."""
    regs, why = {}, {}
    for family in set(a.regs) | set(b.regs) | set(a.why) | set(b.why):
        va, vb = a.regs.get(family), b.regs.get(family)
        if va is not None and va == vb:
            regs[family] = va
        elif va is None and family in a.why:
            why[family] = a.why[family]
        elif vb is None and family in b.why:
            why[family] = b.why[family]
        elif va is not None and vb is not None:
            why[family] = "it differs between the paths that meet here"
    memory = {k: v for k, v in a.memory.items() if b.memory.get(k) == v}
    return State(regs, join_flags(a.flags, b.flags), memory, why)


def same_state(a, b):
    def known(state):
        return {k: v for k, v in state.regs.items() if v is not None}
    return known(a) == known(b) and a.flags == b.flags and a.memory == b.memory


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


def describe(address):
    """An address as a fault message names it."""
    if address is None:
        return "an unknown address"
    if address.base == "sp":
        return f"the stack slot at entry sp{address.signed():+#x}"
    return f"{address.base + ':' if address.base else ''}{address.c0:#x}"
