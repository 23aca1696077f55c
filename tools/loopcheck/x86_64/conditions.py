"""The x86 condition codes (of jcc, cmovcc and setcc), each by what it
means on the flags, and what a conditional branch decides and tells: its
condition's outcome in a state, the registers it tested, and what each of
its ways knows about them.
"""
from .. import flags

# Every condition code x86 spells -> its meaning (flags.CONDITIONS).
CODES = {
    "o": "overflow", "no": "no overflow",
    "b": "carry", "c": "carry", "nae": "carry",
    "ae": "no carry", "nb": "no carry", "nc": "no carry",
    "e": "zero", "z": "zero", "ne": "nonzero", "nz": "nonzero",
    "be": "carry or zero", "na": "carry or zero",
    "a": "neither carry nor zero", "nbe": "neither carry nor zero",
    "s": "negative", "ns": "not negative",
    "l": "less", "nge": "less", "ge": "not less", "nl": "not less",
    "le": "less or equal", "ng": "less or equal", "g": "greater", "nle": "greater",
}


def condition(cc, state_flags, ctx):
    """The outcome of condition code `cc` (True/False), None when unknown."""
    return flags.condition(CODES.get(cc), state_flags, ctx)


def narrowing(state_flags, cc, outcome):
    """What the way of a branch with condition code `cc` that `outcome`
    (True: the condition held) tells, as [(register name, value)]: after
    `test %eax,%eax; jne` the fall-through knows %eax is 0; after `cmp
    $imm,%reg; je` the taken way knows reg == imm; after `sub $1,%rbx; jne`
    the fall-through knows %rbx is 0."""
    return flags.narrowing(state_flags, CODES.get(cc), outcome)


def branch_taken(insn, state, ctx):
    """Whether the conditional branch `insn` goes to its target in
    `state` (None: the check cannot tell)."""
    return condition(insn.mnemonic[1:], state.flags, ctx)


def branch_facts(insn, state, outcome):
    """What the way of the conditional branch `insn` that `outcome` (True:
    taken) tells, as [(register name, value)]."""
    return narrowing(state.flags, insn.mnemonic[1:], outcome)


def tested_registers(insn, state):
    """The registers the conditional branch `insn` tested, None when what
    it tested is the flags of an instruction the check does not model."""
    return None if state.flags is None else state.flags.registers()
