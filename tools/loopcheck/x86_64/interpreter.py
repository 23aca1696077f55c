"""The x86-64 interpreter: what an instruction does to the machine state.

`execute` applies an allowed instruction (as `decode` gave it) to a state and
returns its memory accesses; it serves both the constant propagation over
main and the counting run. `transfer` is the propagation's step for any
instruction main holds: calls, pushes and pops, and instructions outside the
allowlist forget what they may change.
"""
import re

from ..flags import Flags
from ..state import ERRNO
from ..values import Context, Value, add, bitwise, low, mul, shift, sub
from .allowlist import SHIFTS, SUFFIX_WIDTH, VECTOR_OPERAND, decode, memory_roles
from .conditions import condition
from .registers import CALLER_SAVED, REGISTERS, address_of, is_memory, operand_value


class Operation:
    """One allowed instruction being applied to a state: its operands'
    values and where its result goes. The handlers below do the rest."""

    def __init__(self, insn, decoded, state, ctx):
        self.insn, self.decoded, self.state, self.ctx = insn, decoded, state, ctx
        self.op, self.width = decoded.op, decoded.width
        self.ops = insn.operands
        self.dest = self.ops[-1] if self.ops else ""
        name = self.dest[1:]
        self.dest_reg = name if self.dest.startswith("%") and name in REGISTERS else None

    def value(self, operand, width=None):
        width = width or self.width
        if self.ctx.memory and width == 64 and is_memory(operand):
            return self.state.memory.get(address_of(operand, self.insn, self.state))
        return operand_value(operand, width, self.insn, self.state)

    def source(self):
        return self.value(self.ops[0])

    def target(self):
        return self.value(self.dest)

    def same_register(self):
        """op %reg,%reg (xor and sub of a register with itself give zero)."""
        return self.dest_reg is not None and self.ops[0] == self.dest

    def why(self):
        """Why a result this instruction writes is unknown, in words: the
        reason an unknown register it reads is unknown, else its own."""
        for operand in self.ops:
            for name in re.findall(r"%([a-z0-9]+)", operand):
                if name in REGISTERS and self.state.get(name) is None:
                    return self.state.why.get(
                        REGISTERS[name][0], f"{self.insn} reads %{name}, which is not set "
                                            f"before (an argument, or what the caller left)")
        loads = [op for op in self.ops[:-1] if is_memory(op)] if self.op != "lea" else []
        if loads and not self.ctx.memory:
            return f"{self.insn} loads it from memory, whose values the check does not follow"
        if loads:
            return f"{self.insn} loads it from memory the check cannot know"
        return f"{self.insn} computes it from values the check cannot know"

    def write(self, value):
        state = self.state
        if self.dest_reg:
            state.set(self.dest_reg, value, self.ctx, self.why() if value is None else "")
        elif is_memory(self.dest):
            state.store(address_of(self.dest, self.insn, state),
                        value if self.width == 64 else None)

    def register(self, operand):
        """The register name an operand is, "" for any other operand."""
        return operand[1:] if operand.startswith("%") and operand[1:] in REGISTERS else ""

    def set_flags(self, kind, a, b=None, carry=True, result=False, tested=False):
        """The flags of the operation; `result`: the destination register
        holds what they were computed from; `tested`: the operands are
        unchanged (a compare or test)."""
        left = right = ""
        if tested:
            left, right = self.register(self.dest), self.register(self.ops[0])
        self.state.flags = Flags(kind, a, b, self.width, carry,
                                 result=(self.dest_reg or "") if result else "",
                                 left=left, right=right)


def do_move(o):
    o.write(o.source())


def do_extend(o):
    mnemonic = o.insn.mnemonic
    value = o.value(o.ops[0], 32 if mnemonic == "movslq" else SUFFIX_WIDTH[mnemonic[-2]])
    if value is not None and value.base:
        value = None
    elif value is not None and mnemonic[3] == "s":  # movs*: sign extension
        value = Value(value.signed(), 0, o.width) if value.known else None
    elif value is not None:  # movz*: the narrow value, as an exact line
        o.ctx.no_wrap(value)
        value = Value(value.c0, value.c1, o.width)
    o.write(value)


def do_lea(o):
    address = address_of(o.ops[0], o.insn, o.state, o.width)
    o.write(low(address, o.width) if address is not None else None)


def do_sign_fill(o):
    """cltq (eax into rax), cltd and cqto (the sign of eax or rax into edx or rdx)."""
    state = o.state
    why = f"{o.insn} extends a value the check cannot know"
    if o.op == "cltq":
        eax = state.get("eax")
        state.set("rax", Value(eax.signed()) if eax is not None and eax.known else None, o.ctx,
                  why)
        return
    wide = o.op == "cqto"
    source = state.get("rax" if wide else "eax")
    fill = None if source is None or not source.known else Value(-(source.signed() < 0))
    state.set("rdx" if wide else "edx", low(fill, 64 if wide else 32), o.ctx, why)


def do_add_sub(o):
    a, b = o.target(), o.source()
    if o.op == "sub" and o.same_register():
        a = b = Value(0, 0, o.width)
    if o.op != "cmp":
        o.write((add if o.op == "add" else sub)(a, b, o.width))
    o.set_flags("add" if o.op == "add" else "sub", a, b, result=o.op != "cmp",
                tested=o.op == "cmp")


def do_logic(o):
    a, b = o.target(), o.source()
    if o.op == "xor" and o.same_register():
        a = b = Value(0, 0, o.width)
    result = bitwise("and" if o.op == "test" else o.op, a, b, o.width)
    if o.op != "test":
        o.write(result)
    o.set_flags("logic", result, result=o.op != "test", tested=o.op == "test")
    if result is None and o.op in ("and", "test") and a is not None and b is not None:
        # A test of the low k bits of a stepping value: its zero flag
        # changes at the solutions of a linear congruence.
        var, mask = (a, b) if b.known else (b, a)
        k = (mask.c0 + 1).bit_length() - 1
        if mask.known and not var.base and mask.c0 == (1 << k) - 1 and 0 < k < o.width:
            o.set_flags("lowmask", var, Value(k))


def do_unary(o):
    a, width = o.target(), o.width
    if o.op == "neg":
        o.write(sub(Value(0, 0, width), a, width))
        o.set_flags("sub", Value(0, 0, width), a, result=True)
    elif o.op == "not":
        o.write(sub(Value(-1, 0, width), a, width))
    else:  # inc and dec leave the carry flag alone
        one = Value(1, 0, width)
        o.write((add if o.op == "inc" else sub)(a, one, width))
        o.set_flags("add" if o.op == "inc" else "sub", a, one, carry=False, result=True)


SHIFT_KINDS = {"shl": "left", "sal": "left", "shr": "right", "sar": "arithmetic right"}


def do_shift(o):
    count = Value(1) if len(o.ops) == 1 else o.value(o.ops[0], 8)
    o.write(shift(SHIFT_KINDS[o.op], o.target(), count, o.width))
    o.state.flags = None


def do_imul(o):
    if len(o.ops) == 1:  # rdx:rax = rax * operand
        o.state.set("rax", None, o.ctx, o.why())
        o.state.set("rdx", None, o.ctx, o.why())
    else:
        factor = o.value(o.ops[1]) if len(o.ops) == 3 else o.target()
        o.write(mul(factor, o.source(), o.width))
    o.state.flags = None


def do_unknown_result(o):  # adc and sbb: the carry in is not modelled
    o.write(None)
    o.state.flags = None


def do_cmov(o):
    taken = condition(o.decoded.condition, o.state.flags, o.ctx)
    old, new = o.target(), o.source()
    o.write(new if taken else old if taken is False else (new if new == old else None))


def do_setcc(o):
    taken = condition(o.decoded.condition, o.state.flags, o.ctx)
    o.write(None if taken is None else Value(int(taken), 0, 8))


HANDLERS = {"mov": do_move, "movabs": do_move, "extend": do_extend, "lea": do_lea,
            "cltq": do_sign_fill, "cltd": do_sign_fill, "cqto": do_sign_fill,
            "add": do_add_sub, "sub": do_add_sub, "cmp": do_add_sub,
            "and": do_logic, "or": do_logic, "xor": do_logic, "test": do_logic,
            "inc": do_unary, "dec": do_unary, "neg": do_unary, "not": do_unary,
            "imul": do_imul, "adc": do_unknown_result, "sbb": do_unknown_result,
            "cmov": do_cmov, "setcc": do_setcc,
            **{op: do_shift for op in SHIFTS},
            **{op: lambda o: None for op in ("nop", "endbr64", "jmp", "jcc")}}


def memory_accesses(insn, decoded, state):
    """An allowed instruction's memory accesses in `state`, as
    [(address or None, reads, writes)]; no state, no known address."""
    return [(address_of(insn.operands[k], insn, state) if state else None, r, w)
            for k, (r, w) in memory_roles(insn, decoded).items()]


def execute(insn, decoded, state, ctx):
    """Applies an allowed instruction to `state`; returns its memory
    accesses, addresses taken before the instruction changes any register."""
    accesses = memory_accesses(insn, decoded, state)
    HANDLERS[decoded.op](Operation(insn, decoded, state, ctx))
    return accesses


def clobber_unknown(insn, state):
    """What an instruction outside the modelled set may change: every
    register it names, and those it writes implicitly."""
    why = f"{insn} is not modelled by the check"
    for operand in insn.operands:
        for name in re.findall(r"%([a-z0-9]+)", operand):
            if name in REGISTERS and operand.startswith("%"):
                state.put(REGISTERS[name][0], None, why)
    # Implicit writes (rdtsc, cpuid, syscall, string instructions...); a
    # vector instruction writes no general register it does not name.
    if not any(VECTOR_OPERAND.search(op) for op in insn.operands):
        for family in ("rax", "rcx", "rdx", "rsi", "rdi", "r11"):
            state.put(family, None, why)
    if insn.mnemonic == "cpuid":
        state.put("rbx", None, why)
    if not insn.mnemonic.startswith(("push", "pop", "call")) and (
            insn.mnemonic.startswith("enter") or any(op in ("%rsp", "%esp", "%sp")
                                                     for op in insn.operands)):
        state.put("rsp", None, why)
        state.put("rbp", None, why)
    state.flags = None
    if any(is_memory(op) for op in insn.operands) or insn.mnemonic.startswith(
            ("rep", "stos", "movs", "syscall", "sysenter", "int")):
        state.memory = {}  # a system call may write wherever it is pointed


def stack_operand_bytes(insn):
    """The bytes a push or pop moves the stack pointer by: 2 for a 16-bit
    operand (pushw, popw, a 16-bit register, pushfw), else 8."""
    if insn.mnemonic.endswith("w") or "data16" in insn.prefixes:
        return 2
    operand = insn.operands[0][1:] if insn.operands else ""
    return 2 if operand in REGISTERS and REGISTERS[operand][1] == 16 else 8


def transfer(insn, state):
    """The state after `insn` on the way to its fall-through successor, for
    the constant propagation over main."""
    state = state.copy()
    ctx = Context(memory=True)
    m = insn.mnemonic
    if insn.is_call:  # a call may write any memory whose address got out
        for family in CALLER_SAVED:
            state.put(family, None, f"the call {insn} may change it")
        state.flags, state.memory = None, {}
        if insn.target_name == "__errno_location":
            # Where errno lives: its own base, so that a store to it can be
            # told from a store through any other pointer.
            state.put("rax", Value(0, 0, 64, ERRNO))
        return state
    if m in ("push", "pushq", "pushfq", "pushf", "pushw", "pushfw"):
        pushed = insn.operands[0] if m in ("push", "pushq", "pushw") and insn.operands else ""
        size = stack_operand_bytes(insn)
        value = Value(int(pushed[1:], 0)) if pushed.startswith("$") and size == 8 else \
            state.get(pushed[1:]) if pushed[1:] in REGISTERS and \
            REGISTERS[pushed[1:]][1] == 64 else None
        state.put("rsp", sub(state.get("rsp"), Value(size), 64), f"{insn} moves it")
        if size == 8:
            state.store(state.regs["rsp"], value)
        else:  # two bytes over whatever the stack held there
            state.memory = {}
        return state
    if m in ("pop", "popq", "popfq", "popf", "popw", "popfw"):
        rsp = state.get("rsp")
        size = stack_operand_bytes(insn)
        if insn.operands and insn.operands[0][1:] in REGISTERS:
            state.put(REGISTERS[insn.operands[0][1:]][0],
                      state.memory.get(rsp) if size == 8 else None,
                      f"{insn} loads it from the stack")
        state.put("rsp", add(rsp, Value(size), 64), f"{insn} moves it")
        if m in ("popfq", "popf", "popfw"):
            state.flags = None
        return state
    if m in ("leave", "leaveq"):
        state.put("rsp", add(state.get("rbp"), Value(8), 64), f"{insn} moves it")
        state.put("rbp", state.memory.get(state.regs["rsp"] and sub(state.regs["rsp"],
                                                                   Value(8), 64)),
                  f"{insn} loads it from the stack")
        return state
    decoded = decode(insn)
    if decoded.allowed:
        execute(insn, decoded, state, ctx)
    else:
        clobber_unknown(insn, state)
    return state
