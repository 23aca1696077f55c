"""The AArch64 condition codes (of b.cond, csel and its kin, ccmp), each by
what it means on the flags, and what a conditional branch decides and tells:
b.cond on the flags, cbz and cbnz on a register being zero, tbz and tbnz on
one of its bits.

AArch64's carry flag is set by a subtraction that does not borrow (the
inverse of the borrow flags.CONDITIONS calls "carry"), by an addition that
carries, and cleared by a logic operation (ands, tst, bics), which clears
overflow as well. So the meaning of cs, cc, hi and ls depends on what set
the flags.
"""
from .. import flags
from ..flags import Flags
from ..values import Value
from .syntax import Imm, Reg

# The condition codes whose meaning is the same whatever set the flags.
CODES = {"eq": "zero", "ne": "nonzero", "mi": "negative", "pl": "not negative",
         "vs": "overflow", "vc": "no overflow", "ge": "not less", "lt": "less", "gt": "greater",
         "le": "less or equal"}
# The carry's codes, after a subtraction (sub) and after an addition (add).
CARRY_CODES = {"sub": {"cs": "no carry", "cc": "carry", "hi": "neither carry nor zero",
                       "ls": "carry or zero"},
               "add": {"cs": "carry", "cc": "no carry"}}
# After a logic operation the carry is clear: cs and hi never hold.
CLEAR_CARRY = {"cs": False, "cc": True, "hi": False, "ls": True}
INVERSE = {"eq": "ne", "ne": "eq", "cs": "cc", "cc": "cs", "mi": "pl", "pl": "mi", "vs": "vc",
           "vc": "vs", "hi": "ls", "ls": "hi", "ge": "lt", "lt": "ge", "gt": "le", "le": "gt"}


def meaning(cc, state_flags):
    """What condition code `cc` means on the flags (a key of
    flags.CONDITIONS), a constant True or False, or None when the check
    does not model it on these flags."""
    if cc in ("al", "nv"):
        return True
    if cc in CODES:
        return CODES[cc]
    if state_flags is None:
        return None
    if state_flags.kind in ("logic", "lowmask"):
        return CLEAR_CARRY.get(cc)
    return CARRY_CODES.get(state_flags.kind, {}).get(cc)


def condition(cc, state_flags, ctx):
    """The outcome of condition code `cc` (True/False), None when unknown."""
    means = meaning(cc, state_flags)
    if means is None or isinstance(means, bool):
        return means
    return flags.condition(means, state_flags, ctx)


def register_value(state, reg):
    """A general register operand's value (the zero register's is 0)."""
    if reg.family == "zr":
        return Value(0, 0, reg.width)
    return state.get(reg.name)


def tested_bit(insn):
    """(register, bit number) of a tbz or tbnz."""
    return insn.operands[0], insn.operands[1].value


def branch_taken(insn, state, ctx):
    """Whether the conditional branch `insn` goes to its target in `state`
    (None: the check cannot tell, as for one in a shape the model does not
    read)."""
    if not insn.known:
        return None
    if insn.branch == "b.cond":
        return condition(insn.condition, state.flags, ctx)
    reg = insn.operands[0]
    value = register_value(state, reg)
    if value is None or value.base:
        return None
    if insn.branch in ("cbz", "cbnz"):
        zero = flags.condition("zero", Flags("logic", value, w=reg.width), ctx)
        return None if zero is None else zero == (insn.branch == "cbz")
    _, bit = tested_bit(insn)
    if not isinstance(insn.operands[1], Imm) or bit >= reg.width:
        return None
    if value.c1 % (1 << (bit + 1)) == 0:
        clear = not (value.c0 >> bit) & 1  # the same in every period
    elif bit == 0:
        clear = flags.condition("zero", Flags("lowmask", value, Value(1), reg.width), ctx)
        if clear is None:
            return None
    else:
        return None
    return clear == (insn.branch == "tbz")


def branch_facts(insn, state, outcome):
    """What the way of the conditional branch `insn` that `outcome` (True:
    taken) tells, as [(register name, value)]: past a compare's b.eq, the
    register compared with an immediate holds it; the way of cbz or cbnz
    that found the register zero knows it is 0."""
    if not insn.known:
        return []
    if insn.branch == "b.cond":
        means = meaning(insn.condition, state.flags)
        return [] if means is None or isinstance(means, bool) else \
            flags.narrowing(state.flags, means, outcome)
    reg = insn.operands[0]
    if insn.branch in ("cbz", "cbnz") and isinstance(reg, Reg) and reg.family != "zr" \
            and outcome == (insn.branch == "cbz"):
        return [(reg.name, Value(0, 0, reg.width))]
    return []


def tested_registers(insn, state):
    """The registers the conditional branch `insn` tested, None when what
    it tested is the flags of an instruction the check does not model."""
    if not insn.known:
        return None
    if insn.branch == "b.cond":
        return None if state.flags is None else state.flags.registers()
    reg = insn.operands[0]
    return [reg.name] if isinstance(reg, Reg) and reg.family != "zr" else []
