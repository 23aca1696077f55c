"""Registers followed symbolically along one path through a loop: values as
linear forms over the registers at the loop head, loaded values (named by
their address) and unknowns; the machine of registers; and one instruction
applied to it (step), returning its memory accesses with their symbolic
addresses.
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


class Machine:
    """Registers along one path, each a Lin (or None: not yet seen)."""

    def __init__(self):
        self.regs = {}

    def get(self, name):
        family, width, offset = x86.REGISTERS[name]
        if family not in self.regs:
            self.regs[family] = Lin.symbol(f"{family}@head")
        if offset or width < 32:
            return unknown()
        return self.regs[family]

    def set(self, name, value):
        family, width, offset = x86.REGISTERS[name]
        self.regs[family] = value if width >= 32 and not offset else unknown()

    def value(self, operand):
        """An operand's value: a constant, a register's, or a load's."""
        if operand.startswith("$"):
            try:
                return Lin(int(operand[1:], 0))
            except ValueError:
                return unknown()
        if operand.startswith("%") and operand[1:] in x86.REGISTERS:
            return self.get(operand[1:])
        address = self.address(operand)
        return Lin.symbol(f"M[{address.key()}]") if address else unknown()

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


def step(machine, insn, runtime):
    """Applies `insn` to the registers; returns its memory accesses."""
    m, operands = insn.mnemonic, insn.operands
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
    classify_poll(insn, accesses, runtime)
    if fence_kind(insn):
        for access in accesses:
            access.kind = "fence"  # reported with the fence, never the accumulator
    # The registers written.
    if insn.is_call:
        for name in x86.CALLER_SAVED:
            machine.set(name, unknown())
        return accesses
    if m.startswith("push"):
        machine.set("rsp", rsp + Lin(-8))
        return accesses
    if m.startswith("pop"):
        machine.set("rsp", rsp + Lin(8))
    registers = [op[1:] for op in operands if op.startswith("%") and op[1:] in
                 x86.REGISTERS]
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
        value = machine.value(source) if len(operands) == 2 else None
        if m.startswith(("movzb", "movsb", "movzw", "movsw")):
            value = unknown()
    elif m.startswith("lea") and len(operands) == 2:
        value = machine.address(source, insn)
    elif base in ("add", "sub") and len(operands) == 2:
        delta = machine.value(source)
        value = machine.get(dest) + (delta if base == "add" else delta.scale(-1))
    elif base in ("inc", "dec") and len(operands) == 1:
        value = machine.get(dest) + Lin(1 if base == "inc" else -1)
    elif base in ("xor", "sub") and len(operands) == 2 and operands[0] == operands[1]:
        value = Lin(0)
    elif base in ("shl", "sal") and len(operands) == 2 and operands[0].startswith("$"):
        value = machine.get(dest).scale(1 << int(operands[0][1:], 0))
    elif m.startswith("xchg") and len(registers) == 2:
        first, second = machine.get(registers[0]), machine.get(registers[1])
        machine.set(registers[0], second)
        value = first
    elif base == "imul" and len(operands) == 3 and operands[0].startswith("$") \
            and not x86.is_memory(operands[1]):
        value = machine.value(operands[1]).scale(int(operands[0][1:], 0))
    machine.set(dest, value if value is not None else unknown())
    return accesses
