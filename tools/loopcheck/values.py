"""The values the interpreter computes with: a register's contents as a line
in the period number m, (c0 + c1*m) mod 2**w, possibly relative to a
symbolic base; the arithmetic on them; and the Context that records, while a
loop's period is being proved, up to which period every fact used holds.

In concrete execution m is 0 and c1 is 0; while a period is proved, every
register is S0 + m*D, and an operation whose result would stop being a line
at some period (a wrap-around, a change of sign) lowers the context's limit
to that period.
"""


class Value:
    """(c0 + c1*m) mod 2**w, plus an optional symbolic base (the stack
    pointer at main's entry, a segment). m is 0 in concrete execution and
    the period number while a loop's period is proved."""
    __slots__ = ("base", "c0", "c1", "w")

    def __init__(self, c0, c1=0, w=64, base=None):
        mod = 1 << w
        self.base, self.w, self.c0 = base, w, c0 % mod
        c1 %= mod
        self.c1 = c1 - mod if c1 > mod >> 1 else c1

    def __eq__(self, other):
        return (isinstance(other, Value) and (self.base, self.c0, self.c1, self.w)
                == (other.base, other.c0, other.c1, other.w))

    def __hash__(self):
        return hash((self.base, self.c0, self.c1, self.w))

    def __repr__(self):
        base = f"{self.base}+" if self.base else ""
        step = f"{self.c1:+d}*m" if self.c1 else ""
        return f"{base}{self.c0:#x}{step}"

    @property
    def known(self):
        return self.c1 == 0 and self.base is None

    def signed(self):
        return self.c0 - (1 << self.w) if self.c0 >> (self.w - 1) else self.c0


def low(value, width):
    """The low `width` bits of a value (a sub-register read, an operation's width)."""
    if value is None or (value.base and width < 64):
        return None
    return Value(value.c0, value.c1, width, value.base) if width != value.w else value


def first_change(f0, f1, threshold):
    """The first m >= 1 at which f0 + f1*m - threshold differs in sign
    (negative, zero, positive) from m = 0; None if never."""
    g0 = f0 - threshold
    if f1 == 0:
        return None
    if g0 == 0:
        return 1
    if g0 < 0 < f1:
        return (-g0 + f1 - 1) // f1
    if g0 > 0 > f1:
        return (g0 - f1 - 1) // -f1
    return None


class Context:
    """How values are interpreted: concretely (m = 0 only) or for a range
    of periods, where `limit` is lowered to the first period at which a
    fact used so far may stop holding."""

    def __init__(self, symbolic=False, memory=False):
        self.symbolic = symbolic
        self.memory = memory  # whether memory reads give the values stored
        self.limit = None

    def bound(self, m):
        if m is not None and (self.limit is None or m < self.limit):
            self.limit = m

    def stable(self, f0, f1, *thresholds):
        for threshold in thresholds:
            self.bound(first_change(f0, f1, threshold))

    def no_wrap(self, value):
        """Use `value` as an exact integer line: it must not wrap."""
        if value is not None and value.c1:
            self.stable(value.c0, value.c1, 0, 1 << value.w)


def add(a, b, w):
    if a is None or b is None or (a.base and b.base):
        return None
    return Value(a.c0 + b.c0, a.c1 + b.c1, w, a.base or b.base)


def sub(a, b, w):
    if a is None or b is None:
        return None
    if b.base:
        if a.base != b.base:
            return None
        return Value(a.c0 - b.c0, a.c1 - b.c1, w)
    return Value(a.c0 - b.c0, a.c1 - b.c1, w, a.base)


def mul(a, b, w):
    if a is None or b is None or a.base or b.base:
        return None
    if b.c1 == 0:
        return Value(a.c0 * b.c0, a.c1 * b.c0, w)
    if a.c1 == 0:
        return Value(a.c0 * b.c0, b.c1 * a.c0, w)
    return None


def bitwise(op, a, b, w):
    if a is None or b is None or a.base or b.base:
        return None
    if a == b and op in ("and", "or"):
        return a  # a register tested with itself, and the like
    if a.c1 == 0 and b.c1 == 0:
        return Value({"and": a.c0 & b.c0, "or": a.c0 | b.c0, "xor": a.c0 ^ b.c0}[op], 0, w)
    if op == "and":
        var, mask = (a, b.c0) if b.c1 == 0 else (b, a.c0) if a.c1 == 0 else (None, 0)
        if var is None:
            return None
        # With a step that is a multiple of 2**k, the low k bits are the same
        # in every period and the bits above them move as a whole: the
        # result is constant when the mask keeps none of the high bits, and
        # affine when it keeps all of them.
        step = var.c1 % (1 << w)
        k = (step & -step).bit_length() - 1
        low_bits = (1 << k) - 1
        kept = var.c0 & mask & low_bits
        if mask >> k == 0:
            return Value(kept, 0, w)
        if mask >> k == (1 << (w - k)) - 1:
            return Value(var.c0 - (var.c0 & low_bits) + kept, var.c1, w)
    return None


def shift(kind, a, count, w):
    """a shifted "left", "right" (logical) or "arithmetic right" by the
    count, taken modulo 64 in a 64-bit operation and modulo 32 otherwise."""
    if a is None or count is None or not count.known or a.base:
        return None
    n = count.c0 & (63 if w == 64 else 31)
    if kind == "left":
        return Value(a.c0 << n, a.c1 << n, w)
    if a.c1:
        return None
    return Value(a.c0 >> n if kind == "right" else a.signed() >> n, 0, w)
