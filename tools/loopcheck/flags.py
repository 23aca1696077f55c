"""The arithmetic flags, whatever the instruction set: what a compare, test
or arithmetic instruction leaves in the zero, sign, carry and overflow
flags, the outcome of each condition on them by its meaning (an
instruction-set layer maps its condition codes to these), concretely or
over a range of a loop's periods, and what each way of a branch tells about
the registers the flags were computed from (`narrowing`).
"""
import dataclasses

from .values import Value


@dataclasses.dataclass(frozen=True)
class Flags:
    """The flags an instruction left: of a - b ("sub"), a + b ("add"), the
    result a of a logic operation ("logic"), or of the low b bits of a
    ("lowmask"); a and b are None when unknown. The registers they were
    computed from (register names, "" for none) say what a branch on them
    tells: `result` holds the operation's result, `left` and `right` are
    the operands of a compare or test, unchanged (for a test, a is their
    AND: it tells of a register only when both are that register). A
    register written since is no longer what the flags tested, so the state
    drops it from its flags (`without`)."""
    kind: str  # "sub", "add", "logic", "lowmask"
    a: Value
    b: Value = None
    w: int = 64
    carry: bool = True  # False: the operation left the carry flag alone, it is unknown
    result: str = ""
    left: str = ""
    right: str = ""

    def registers(self):
        """The registers the flags tell of, each once."""
        return list(dict.fromkeys(name for name in (self.result, self.left, self.right)
                                  if name))

    def without(self, family, family_of):
        """These flags with every tested register of `family` forgotten."""
        drop = {name: "" for name, value in (("result", self.result), ("left", self.left),
                                             ("right", self.right))
                if value and family_of(value) == family}
        return dataclasses.replace(self, **drop) if drop else self


def join_flags(x, y):
    """The flags on both of two ways into an instruction: what both agree
    on, the registers tested kept when both tested the same."""
    if x == y:
        return x
    if x is None or y is None or (x.kind, x.w, x.carry, x.result, x.left, x.right) != \
            (y.kind, y.w, y.carry, y.result, y.left, y.right):
        return None
    return dataclasses.replace(x, a=x.a if x.a == y.a else None,
                               b=x.b if x.b == y.b else None)


def flag_bits(flags, m):
    """(zero, sign, carry, overflow) for period m; the carry None when unknown."""
    def at(v):
        return (v.c0 + v.c1 * m) % (1 << flags.w)
    w, half = flags.w, 1 << (flags.w - 1)

    def signed(x):
        return x - (1 << w) if x >= half else x
    if flags.kind == "lowmask":
        zero = at(flags.a) % (1 << flags.b.c0) == 0
        return zero, False, False, False
    a = at(flags.a)
    if flags.kind == "logic":
        return a == 0, a >= half, False, False
    b = at(flags.b)
    if flags.kind == "sub":
        r, carry, exact = (a - b) % (1 << w), a < b, signed(a) - signed(b)
    else:
        r, carry, exact = (a + b) % (1 << w), a + b >= 1 << w, signed(a) + signed(b)
    return r == 0, r >= half, carry if flags.carry else None, not -half <= exact < half


def flags_stability(flags, ctx):
    """Lower ctx.limit to the first period at which any flag may change."""
    w = flags.w
    half, full = 1 << (w - 1), 1 << w
    if flags.kind == "lowmask":
        v, k = flags.a, flags.b.c0
        modulus = 1 << k
        if v.c0 % modulus == 0:
            ctx.bound(1)
            return
        g = 1 << min((v.c1 % modulus & -(v.c1 % modulus)).bit_length() - 1, k) \
            if v.c1 % modulus else modulus
        target = -v.c0 % modulus
        if target % g:
            return  # the low bits never become zero
        n = modulus // g
        m = (target // g) * pow((v.c1 % modulus) // g, -1, n) % n if n > 1 else 0
        ctx.bound(m or n)
        return
    a = flags.a
    ctx.stable(a.c0, a.c1, 0, half, full)
    if flags.kind == "logic":
        return
    b = flags.b
    ctx.stable(b.c0, b.c1, 0, half, full)
    sa0 = a.c0 - (full if a.c0 >= half else 0)
    sb0 = b.c0 - (full if b.c0 >= half else 0)
    if flags.kind == "sub":
        ctx.stable(a.c0 - b.c0, a.c1 - b.c1, -half, 0, half)
        ctx.stable(sa0 - sb0, a.c1 - b.c1, -half, half)
    else:
        ctx.stable(a.c0 + b.c0, a.c1 + b.c1, 0, half, full, full + half)
        ctx.stable(sa0 + sb0, a.c1 + b.c1, -half, half)


# Every condition a branch may test, by what it means, as a function of the
# zero, sign, carry and overflow flags (z, s, c, o); "carry" is the carry
# out of an addition and the borrow of a subtraction (a < b, unsigned). A
# result of None means the carry is unknown and decides. Each instruction-
# set layer names its condition codes by these.
CONDITIONS = {
    "overflow": lambda z, s, c, o: o, "no overflow": lambda z, s, c, o: not o,
    "carry": lambda z, s, c, o: c,
    "no carry": lambda z, s, c, o: None if c is None else not c,
    "zero": lambda z, s, c, o: z, "nonzero": lambda z, s, c, o: not z,
    "carry or zero": lambda z, s, c, o: z or c if (z or c is not None) else None,
    "neither carry nor zero": lambda z, s, c, o: None if c is None and not z else not (c or z),
    "negative": lambda z, s, c, o: s, "not negative": lambda z, s, c, o: not s,
    "less": lambda z, s, c, o: s != o, "not less": lambda z, s, c, o: s == o,
    "less or equal": lambda z, s, c, o: z or s != o,
    "greater": lambda z, s, c, o: not z and s == o,
}


def condition(meaning, flags, ctx):
    """The outcome of the condition `meaning` (a key of CONDITIONS) on the
    flags (True/False), None when unknown."""
    if flags is None or meaning not in CONDITIONS:
        return None
    values = (flags.a, flags.b) if flags.kind in ("sub", "add") else (flags.a,)
    if any(v is None or v.base for v in values):
        return None
    if any(v.c1 for v in values):
        if not ctx.symbolic:
            return None
        flags_stability(flags, ctx)
    return CONDITIONS[meaning](*flag_bits(flags, 0))


def narrowing(flags, meaning, outcome):
    """What the way of a branch on the condition `meaning` that `outcome`
    (True: the condition held) tells about the registers the flags tested,
    as [(register name, value)]: past a test of a register with itself
    that found it zero, the register is 0; past a compare of a register
    with an immediate that found them equal, the register holds it; past a
    decrement to zero, the register is 0. Only equalities are told (the
    check's values are constants, not ranges): the zero flag, and an
    unsigned a <= 0 or a < 1 on a compare."""
    if flags is None or flags.kind == "lowmask":
        return []
    equal = (meaning == "zero" and outcome) or (meaning == "nonzero" and not outcome)
    b = flags.b
    if flags.kind == "sub" and b is not None and b.known and not equal:
        # Unsigned a <= 0 or a < 1: a is 0.
        if (b.c0 == 0 and ((meaning == "carry or zero" and outcome)
                           or (meaning == "neither carry nor zero" and not outcome))) \
                or (b.c0 == 1 and ((meaning == "carry" and outcome)
                                   or (meaning == "no carry" and not outcome))):
            return [(flags.left, Value(0, 0, flags.w))] if flags.left else []
        return []
    if not equal:
        return []
    facts = []
    if flags.result:
        facts.append((flags.result, Value(0, 0, flags.w)))
    if flags.kind == "sub":
        if flags.left and b is not None and b.known:
            facts.append((flags.left, b))
        if flags.right and flags.a is not None and flags.a.known:
            facts.append((flags.right, flags.a))
    elif flags.kind == "logic" and flags.left and flags.left == flags.right:
        facts.append((flags.left, Value(0, 0, flags.w)))  # a register tested with itself
    return facts
