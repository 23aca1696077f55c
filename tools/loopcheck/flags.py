"""The arithmetic flags and the x86 condition codes: what a compare, test or
arithmetic instruction leaves in ZF, SF, CF and OF, and the outcome of each
condition (jcc, cmovcc, setcc) on them, concretely or over a range of a
loop's periods.
"""
import dataclasses

from .values import Value


@dataclasses.dataclass
class Flags:
    kind: str  # "sub", "add", "logic", "lowmask"
    a: Value
    b: Value = None
    w: int = 64
    carry: bool = True  # inc and dec leave CF alone: it is unknown after them


def flag_bits(flags, m):
    """(ZF, SF, CF, OF) for period m; CF None when unknown."""
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


# Every condition code x86 spells, as a function of (ZF, SF, CF, OF); a
# result of None means CF is unknown and decides.
CONDITIONS = {
    "o": lambda z, s, c, o: o, "no": lambda z, s, c, o: not o,
    "b": lambda z, s, c, o: c, "c": lambda z, s, c, o: c, "nae": lambda z, s, c, o: c,
    "ae": lambda z, s, c, o: None if c is None else not c,
    "nb": lambda z, s, c, o: None if c is None else not c,
    "nc": lambda z, s, c, o: None if c is None else not c,
    "e": lambda z, s, c, o: z, "z": lambda z, s, c, o: z,
    "ne": lambda z, s, c, o: not z, "nz": lambda z, s, c, o: not z,
    "be": lambda z, s, c, o: z or c if (z or c is not None) else None,
    "na": lambda z, s, c, o: z or c if (z or c is not None) else None,
    "a": lambda z, s, c, o: None if c is None and not z else not (c or z),
    "nbe": lambda z, s, c, o: None if c is None and not z else not (c or z),
    "s": lambda z, s, c, o: s, "ns": lambda z, s, c, o: not s,
    "l": lambda z, s, c, o: s != o, "nge": lambda z, s, c, o: s != o,
    "ge": lambda z, s, c, o: s == o, "nl": lambda z, s, c, o: s == o,
    "le": lambda z, s, c, o: z or s != o, "ng": lambda z, s, c, o: z or s != o,
    "g": lambda z, s, c, o: not z and s == o, "nle": lambda z, s, c, o: not z and s == o,
}


def condition(cc, flags, ctx):
    """The outcome of condition `cc` (True/False), None when unknown."""
    if flags is None or cc not in CONDITIONS:
        return None
    values = (flags.a, flags.b) if flags.kind in ("sub", "add") else (flags.a,)
    if any(v is None or v.base for v in values):
        return None
    if any(v.c1 for v in values):
        if not ctx.symbolic:
            return None
        flags_stability(flags, ctx)
    return CONDITIONS[cc](*flag_bits(flags, 0))
