"""Registers followed symbolically along one path through a loop: values as
linear forms over the registers at the loop head, loaded values (named by
their address), opaque terms and unknowns; the machine of registers and of
the memory the path has stored to; and one instruction applied to it (step),
returning its memory accesses with their symbolic addresses and, for a
store, the value stored.

Opaque terms name what the model does not compute (a shift, a mask, a
rotation) by the operation and the values it takes, so that
the same computation on the same values gives the same value along a path:
a tracing JIT that re-derives a pointer from the same frame slot (LuaJIT's
side trace and its root trace's entry unbox the same argument) reaches the
same location. A value loaded from a location the path stored to before, at
the same width, is the value stored (the loop index that a side trace
converts to a double, stores into the interpreter's frame and the root
trace reads back). An integer converted to a double, or back, is taken as
the same number: the index's conversions are exact.
Addresses that differ symbolically are taken to be different locations,
as everywhere in this diagnostic.
"""
from . import x86
from .accesses import (READ_ONLY, Access, address_form, classify_poll, fence_kind,
                       operand_accesses)


class Lin:
    """An integer as c + sum(coefficient * symbol): register values at the
    loop head, loaded values (named by their address) and unknowns."""
    __slots__ = ("const", "terms")

    def __init__(self, const=0, terms=None):
        self.const = const
        self.terms = {s: c for s, c in (terms or {}).items() if c}

    @staticmethod
    def symbol(name):
        return Lin(0, {name: 1})

    def __add__(self, other):
        terms = dict(self.terms)
        for s, c in other.terms.items():
            terms[s] = terms.get(s, 0) + c
        return Lin(self.const + other.const, terms)

    def scale(self, k):
        return Lin(self.const * k, {s: c * k for s, c in self.terms.items()})

    def key(self):
        parts = [f"{c}*{s}" if c != 1 else s for s, c in sorted(self.terms.items())]
        text = " + ".join(parts)
        if not parts:
            return f"{self.const:#x}"
        if self.const:
            text += f" {'-' if self.const < 0 else '+'} {abs(self.const):#x}"
        return text

    def minus_symbols(self, other):
        """self - other when both have the same terms: the constant difference, else None."""
        return self.const - other.const if self.terms == other.terms else None


_unknowns = [0]


def unknown():
    _unknowns[0] += 1
    return Lin.symbol(f"?{_unknowns[0]}")


# Each opaque term's inputs (the symbols of the values it was computed from),
# and its definition: the operation and the values it takes, so that the
# replay can compute it once it gives its inputs values.
_INPUTS = {}
_DEFINITIONS = {}


def term(operation, *values):
    """The opaque value of `operation` on `values`: the same for the same
    operation on the same values."""
    name = f"{operation}({', '.join(v.key() for v in values)})"
    _INPUTS.setdefault(name, frozenset(s for v in values for s in v.terms))
    _DEFINITIONS.setdefault(name, (operation, values))
    return Lin.symbol(name)


def definition(name):
    """(operation, values) of the opaque term `name`, or None: a register's
    value at the head, a loaded value, an unknown."""
    return _DEFINITIONS.get(name)


def loaded(location):
    """The symbol of the value that a load from `location` gives."""
    return f"M[{location}]"


def depends(value, symbol):
    """Whether `value` is computed from the value `symbol`, directly or
    through opaque terms."""
    seen, todo = set(), list(value.terms)
    while todo:
        name = todo.pop()
        if name == symbol:
            return True
        if name not in seen:
            seen.add(name)
            todo.extend(_INPUTS.get(name, ()))
    return False


# Conversions between integers and doubles: the same number, as the index's
# (a whole number well within a double's 53 bits) is.
TO_DOUBLE = ("cvtsi2sd", "cvtsi2ss")
TO_INTEGER = ("cvttsd2si", "cvtsd2si", "cvttss2si", "cvtss2si")
# Operations whose result depends on their operands alone: the model names
# it as an opaque term. (Not adc, sbb, cmov or setcc, which read the flags,
# nor mul or div, which write registers they do not name.)
PURE = ("shl", "shr", "sar", "sal", "rol", "ror", "rorx", "rolx", "shlx", "shrx", "sarx",
        "and", "or", "xor", "not", "neg", "andn", "imul", "bswap", "popcnt", "lzcnt",
        "tzcnt", "bsf", "bsr", "movzb", "movzw", "movsb", "movsw", "movsl", "xorp", "andp",
        "orp", "pxor", "pand", "por")
# Those of them that write their one register operand alone, whatever it held
# (three-operand forms read the others but the last).
WRITE_ONLY_DESTINATION = ("popcnt", "lzcnt", "tzcnt", "bsf", "bsr")
# Moves of a vector register's low bits (a double, a 64-bit word).
VECTOR_MOVES = ("movsd", "movq", "movapd", "movaps", "movdqa", "movdqu", "movupd", "movups")
SUFFIX_WIDTH = {"b": 8, "w": 16, "l": 32, "q": 64}


def memory_width(insn):
    """The width in bits of `insn`'s memory operand, when it tells (None:
    not known)."""
    m = insn.mnemonic
    if m.startswith(("movsd", "movq", "cvttsd2si", "cvtsd2si", "ucomisd", "comisd")):
        return 64
    if m.startswith(("movss", "movd", "cvttss2si", "cvtss2si", "ucomiss", "comiss")):
        return 32
    if m.startswith(("movz", "movs")):  # movzbl: a byte loaded, a long written
        return SUFFIX_WIDTH.get(m[4]) if len(m) == 6 else None
    widths = {x86.REGISTERS[op[1:]][1] for op in insn.operands
              if op.startswith("%") and op[1:] in x86.REGISTERS}
    if len(widths) == 1 and not m.startswith("cvt"):
        return widths.pop()
    return SUFFIX_WIDTH.get(m[-1]) if len(m) > 3 else None


class Machine:
    """Registers along one path, each a Lin (or None: not yet seen)."""

    def __init__(self):
        self.regs = {}
        self.memory = {}  # location -> (value, width) last stored there along the path

    def get(self, name):
        family, width, offset = x86.ALL[name]
        if family not in self.regs:
            self.regs[family] = Lin.symbol(f"{family}@head")
        if offset or width < 32:
            return unknown()
        return self.regs[family]

    def set(self, name, value):
        family, width, offset = x86.ALL[name]
        self.regs[family] = value if width >= 32 and not offset else unknown()

    def value(self, operand, width=None, insn=None):
        """An operand's value: a constant, a register's, or a load's (of
        `width` bits: the value stored there before along the path when it
        was stored at that width). `insn` is the instruction reading it,
        whose end a RIP-relative operand counts from."""
        if operand.startswith("$"):
            try:
                return Lin(int(operand[1:], 0))
            except ValueError:
                return unknown()
        if operand.startswith("%") and operand[1:] in x86.ALL:
            return self.get(operand[1:])
        address = self.address(operand, insn)
        if address is None:
            return unknown()
        stored = self.memory.get(address.key())
        if stored is not None:
            value, stored_width = stored
            return value if width is not None and stored_width == width else unknown()
        return Lin.symbol(loaded(address.key()))

    def address(self, operand, insn=None):
        """The address a memory operand names, or None."""
        match = x86.MEMORY_OPERAND.match(operand)
        if not match:
            return None
        segment, disp, base, index, scale = match.groups()
        value = Lin(int(disp, 0) if disp else 0)
        if segment in ("fs", "gs"):
            value = value + Lin.symbol(f"{segment}@base")
        if base == "%rip":
            return Lin(insn.next + value.const if insn else value.const)
        for register, k in ((base, 1), (index, int(scale or 1))):
            if register:
                if register[1:] not in x86.REGISTERS:
                    return None
                value = value + self.get(register[1:]).scale(k)
        return value


def step(machine, insn, runtime, poll_words=()):
    """Applies `insn` to the registers and to the memory the path stored to;
    returns its memory accesses."""
    m, operands = insn.mnemonic, insn.operands
    width = memory_width(insn)
    accesses = []
    for operand, reads, writes in operand_accesses(insn):
        address = machine.address(operand, insn)
        accesses.append(Access(insn.address, address.key() if address else operand,
                               address_form(operand), reads, writes))
    rsp = machine.get("rsp")
    if m.startswith("push") or insn.is_call:
        accesses.append(Access(insn.address, (rsp + Lin(-8)).key(), "[reg+disp]", 0, 1,
                               why="the return address of a call" if insn.is_call else "a push"))
    elif m.startswith(("pop", "ret")):
        accesses.append(Access(insn.address, rsp.key(), "[reg]", 1, 0))
    classify_poll(insn, accesses, runtime, poll_words)
    if fence_kind(insn):
        for access in accesses:
            access.kind = "fence"  # reported with the fence, never the accumulator
    remember_stores(machine, insn, accesses, width)
    # The registers written.
    if insn.is_call:
        for name in x86.CALLER_SAVED + tuple(x86.VECTOR):
            machine.set(name, unknown())
        machine.memory.clear()  # a call may store anywhere
        return accesses
    if m.startswith("push"):
        machine.set("rsp", rsp + Lin(-8))
        return accesses
    if m.startswith("pop"):
        machine.set("rsp", rsp + Lin(8))
    registers = [op[1:] for op in operands if op.startswith("%") and op[1:] in
                 x86.ALL]
    destination = operands[-1] if operands else ""
    dest = destination[1:] if destination[1:] in registers else None
    if m.startswith(("cmp", "test", "bt", "j", "nop", "endbr")) or m.startswith(READ_ONLY):
        return accesses
    if dest is None:
        if m.startswith("xchg") and len(registers) == 1:  # with memory: the register gets it
            machine.set(registers[0], unknown())
        return accesses
    source = operands[0] if len(operands) > 1 else None
    base = m.rstrip("qlwb") if m not in ("sub", "shl", "sal") else m
    value = None
    if m.startswith("mov") and not m.startswith(("movs", "movz", "movab")) or m == "movabs" \
            or m.startswith(("movslq", "movsl", "movzl", "movzw", "movsw", "movzb", "movsb")):
        value = machine.value(source, width, insn) if len(operands) == 2 else None
        if m.startswith(("movzb", "movsb", "movzw", "movsw")):
            value = term(m, machine.value(source, width, insn))
    elif m.startswith(VECTOR_MOVES) and len(operands) == 2:
        value = machine.value(source, width, insn)
    elif m.startswith(TO_DOUBLE + TO_INTEGER) and len(operands) == 2:
        value = machine.value(source, width, insn)
    elif m.startswith("lea") and len(operands) == 2:
        value = machine.address(source, insn)
    elif base in ("add", "sub") and len(operands) == 2:
        delta = machine.value(source, width, insn)
        value = machine.get(dest) + (delta if base == "add" else delta.scale(-1))
    elif base in ("inc", "dec") and len(operands) == 1:
        value = machine.get(dest) + Lin(1 if base == "inc" else -1)
    elif (base in ("xor", "sub") or m in ("xorps", "xorpd", "pxor")) and len(operands) == 2 \
            and operands[0] == operands[1]:
        value = Lin(0)
    elif base in ("shl", "sal") and len(operands) == 2 and operands[0].startswith("$"):
        value = machine.get(dest).scale(1 << int(operands[0][1:], 0))
    elif m.startswith("xchg") and len(registers) == 2:
        first, second = machine.get(registers[0]), machine.get(registers[1])
        machine.set(registers[0], second)
        value = first
    elif base == "imul" and len(operands) == 3 and operands[0].startswith("$"):
        value = machine.value(operands[1], width, insn).scale(int(operands[0][1:], 0))
    elif m.startswith(PURE) and (len(operands) > 1 or not m.startswith("imul")):
        # (A one-operand imul writes rdx:rax, which the model does not follow.)
        inputs = operands[:-1] if len(operands) > 2 or m.startswith(WRITE_ONLY_DESTINATION) \
            else operands
        value = term(f"{m}/{x86.ALL[dest][1]}", *(machine.value(op, width, insn)
                                                        for op in inputs))
    machine.set(dest, value if value is not None else unknown())
    return accesses


def remember_stores(machine, insn, accesses, width):
    """The memory along the path after `insn`: a plain move of a register or
    a constant stores its value (at the instruction's width); any other
    write leaves a value the model does not know."""
    m, operands = insn.mnemonic, insn.operands
    plain = (m.startswith("mov") and not m.startswith(("movs", "movz")) or m.startswith(
        VECTOR_MOVES) or m.startswith("movss")) and len(operands) == 2 \
        and not x86.is_memory(operands[0])
    for access in accesses:
        if access.writes:
            value = machine.value(operands[0], None, insn) if plain else unknown()
            if plain:
                access.value = value
            machine.memory[access.location] = (value, width if plain else None)
