"""The machine state the interpreter works on, whatever the instruction set:
the values known in the general registers (by the table of names an
instruction-set layer gives its State) and at known memory addresses; the
symbolic bases of addresses (the stack pointer at a function's entry,
errno); and how an address is named in a fault.
"""
from .flags import join_flags
from .values import Value, low

# Where the stack pointer is at a function's entry: the base of the stack
# addresses the propagation computes.
ENTRY_SP = Value(0, 0, 64, "sp")
# The base of the address __errno_location returns.
ERRNO = "errno"


class State:
    """Registers, flags and memory known before an instruction.

    A register's family (the 64-bit register that a narrower name is part
    of) holds a Value of 64 bits, or of fewer when only its low bits are
    known (past a branch on a 32-bit test of it, its low 32 bits are, the
    rest are whatever they were), or None when unknown. `why` says, for a
    register that is unknown, what made it so, for the messages that name a
    value the check cannot know. An instruction-set layer's State names its
    registers in REGISTERS: name -> (family, width in bits, bit offset)."""
    __slots__ = ("regs", "flags", "memory", "why")
    REGISTERS = {}

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
        return type(self)(self.regs, self.flags, self.memory, self.why)

    def store(self, where, value, size=8):
        """A store of `size` bytes at `where` (up to 8 unless given; None:
        as many as the check cannot tell, around it): it forgets every value
        it may overlap, and records a 64-bit value (None: the value is
        unknown). A wider store (a vector register, a cache line zeroed)
        overlaps the values stored up to `size` bytes on, not only those
        within 8 bytes."""
        if where is None or where.c1:
            self.memory = {}
            return
        self.memory = {a: v for a, v in self.memory.items() if a.base != where.base or (
            size is not None and not -8 < offset(a.c0 - where.c0) < size)}
        if value is not None and value.w == 64 and size == 8:
            self.memory[where] = value

    def family_of(self, name):
        return self.REGISTERS[name][0]

    def get(self, name):
        family, width, offset = self.REGISTERS[name]
        value = self.regs.get(family)
        if value is None or value.w < offset + width:
            return None
        if offset:
            return Value(value.c0 >> offset, 0, width) if value.known else None
        return low(value, width)

    def put(self, family, value, why=""):
        """Sets a whole register family (None: unknown, for the reason
        `why`); the flags no longer tell anything about it."""
        self.regs[family] = value
        if value is None and why:
            self.why[family] = why
        if self.flags is not None:
            self.flags = self.flags.without(family, self.family_of)

    def set(self, name, value, ctx, why=""):
        family, width, offset = self.REGISTERS[name]
        if width == 64:
            self.put(family, value, why)
        elif width == 32:
            ctx.no_wrap(value)  # a 32-bit write is zero-extended (on x86-64 and AArch64)
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
                # known (a flag kept in a byte register, say), the rest is not.
                self.put(family, Value(value.c0, 0, width))
            else:
                mask = ((1 << width) - 1) << offset
                self.put(family, Value((old.c0 & ~mask) | (value.c0 << offset & mask), 0, old.w))

    def narrow(self, name, value):
        """What a way of a branch tells: register `name` holds `value`
        (in its own width). A register already known keeps its value."""
        family, width, offset = self.REGISTERS[name]
        old = self.regs.get(family)
        if offset or value is None or not value.known or (old is not None and old.w >= width):
            return
        self.regs[family] = Value(value.c0, 0, width)

    def unknown_why(self, name):
        """Why register `name` is unknown, in words."""
        family, width, offset = self.REGISTERS[name]
        value = self.regs.get(family)
        if value is not None and value.w < offset + width:
            return f"only its low {value.w} bits are known"
        return self.why.get(family, "not set in main before it is used (an argument, or "
                                    "whatever the caller left)")


def offset(difference):
    """The signed distance between two addresses of one base, from the
    difference of their (modular) offsets: a slot just below the entry
    stack pointer is 8 bytes from one at it, not 2**64 - 8."""
    difference %= 1 << 64
    return difference - (1 << 64) if difference >> 63 else difference


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
    return type(a)(regs, join_flags(a.flags, b.flags), memory, why)


def same_state(a, b):
    def known(state):
        return {k: v for k, v in state.regs.items() if v is not None}
    return known(a) == known(b) and a.flags == b.flags and a.memory == b.memory


def describe(address):
    """An address as a fault message names it."""
    if address is None:
        return "an unknown address"
    if address.base == ENTRY_SP.base:
        return f"the stack slot at entry sp{address.signed():+#x}"
    return f"{address.base + ':' if address.base else ''}{address.c0:#x}"


# ------------------------------------------------- the clock's timespec

TIMESPEC_BYTES = 16


def is_timespec(where, timespec):
    """Whether an address lies in the 16 bytes of the clock's timespec."""
    return timespec is not None and where is not None and where.base == timespec.base \
        and where.c1 == timespec.c1 == 0 and where.c0 - timespec.c0 in range(TIMESPEC_BYTES)
