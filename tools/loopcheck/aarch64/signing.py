"""Pointer authentication on AArch64, as the check follows it: a value
signed with a key and a modifier, authenticated back only by the matching
key and modifier, and the return address a plain or an authenticating
return must find in its register. The interpreter applies `authenticate`
before any other model of an instruction; the store model asks
`expected_return_address`.
"""
import re

from ..state import ENTRY_SP
from ..values import Value
from .registers import LINK, RETURN_ADDRESS, STACK_POINTER
from .syntax import Reg

# Pointer authentication (-mbranch-protection): pacia signs a register with
# a key and a modifier (sp for paciasp, the zero of paciaz and paciza),
# autia checks the signature and strips it, xpaci strips it unchecked; the
# hint forms work on x30 (on x17 with x16 for the 1716 forms), retaa and
# retab authenticate x30 with sp and return. A signed value is the value it
# signs under a base naming the key and the modifier's value, so that only
# the matching authentication gives it back.
HINT_FORM = re.compile(r"^(pac|aut)i([ab])(sp|z|1716)$")
REGISTER_FORM = re.compile(r"^(pac|aut)([id])(z?)([ab])$")


def signature(key, modifier):
    """The mark a signature with `key` and the modifier's value (None: the
    zero modifier) leaves on a value's base."""
    return f"|signed with key {key}" + ("" if modifier is None else f" and {modifier!r}")


def signed(value, key, modifier):
    if value is None:
        return None
    return Value(value.c0, value.c1, 64, (value.base or "") + signature(key, modifier))


def authenticated(value, key, modifier):
    """The value a signed one signs, None when it was not signed so."""
    mark = signature(key, modifier)
    if value is None or not (value.base or "").endswith(mark):
        return None
    return Value(value.c0, value.c1, 64, value.base[:-len(mark)] or None)


def expected_return_address(insn):
    """What the register a plain return goes back through must hold for
    it to return to the caller: the return address, or, for retaa and
    retab, the return address signed with the entry stack pointer."""
    if insn.mnemonic in ("retaa", "retab"):
        return signed(RETURN_ADDRESS, "i" + insn.mnemonic[-1], ENTRY_SP)
    return RETURN_ADDRESS


def authentication(insn, state):
    """(what it does: "pac", "aut" or "strip"; the register; the key; the
    modifier's value, None for zero) of an instruction that signs,
    authenticates or strips a pointer, or None for any other (or one whose
    modifier register the check cannot know)."""
    m, ops = insn.mnemonic, insn.operands
    hint = HINT_FORM.match(m)
    if hint:
        register = "x17" if hint[3] == "1716" else LINK
        modifier = {"sp": STACK_POINTER, "z": None, "1716": "x16"}[hint[3]]
        return hint[1], register, "i" + hint[2], modifier
    general = REGISTER_FORM.match(m)
    if general and ops and isinstance(ops[0], Reg):
        modifier = None if general[3] else (ops[1].family if len(ops) > 1
                                            and isinstance(ops[1], Reg) else "?")
        return general[1], ops[0].family, general[2] + general[4], modifier
    if m == "xpaclri" or (m in ("xpaci", "xpacd") and ops and isinstance(ops[0], Reg)):
        return "strip", LINK if m == "xpaclri" else ops[0].family, "", None
    return None


def authenticate(insn, state):
    """The state after an instruction that signs, authenticates or strips
    a pointer (`authentication`); False when `insn` is none."""
    found = authentication(insn, state)
    if found is None:
        return False
    kind, register, key, modifier = found
    value = state.regs.get(register)
    known_modifier = None if modifier is None else state.regs.get(modifier) \
        if modifier in state.regs or modifier == STACK_POINTER else None
    if modifier is not None and known_modifier is None:
        state.put(register, None, f"{insn} signs or checks it with a modifier the check "
                                  f"cannot know")
    elif kind == "pac":
        state.put(register, signed(value, key, known_modifier), f"{insn} signs it")
    elif kind == "aut":
        state.put(register, authenticated(value, key, known_modifier),
                  f"{insn} finds no signature the check made")
    else:  # the signature stripped, whatever it was
        base = (value.base or "").split("|signed with")[0] if value is not None else ""
        state.put(register, None if value is None else Value(value.c0, value.c1, 64,
                                                             base or None), f"{insn} strips it")
    return True
