"""Concrete values for the symbolic walk's (symbolic.Lin): a value computed
under an assignment of numbers to its symbols (registers at the head,
loaded values), its opaque terms computed by their operation; the flags an
instruction sets from concrete operands and a branch's condition on them;
and the inverse: numbers given to a value's free symbols so that it takes
a wanted value (through the operations that can be undone: shifts by a
constant, rotations, masks, extensions). The replay's state is found with
these, and holds or is refused on their answer; arithmetic is modulo 2^64.
"""
from . import symbolic

MASK = (1 << 64) - 1


class Uncomputable(Exception):
    """A value the replay cannot compute: an unknown, an operation not
    modelled, a flag the instruction leaves undefined."""


class Unset(Exception):
    """A symbol with no number yet (its name is the argument)."""


def bits(width):
    return (1 << width) - 1


def signed(value, width):
    value &= bits(width)
    return value - (1 << width) if value >> (width - 1) else value


def base_symbols(value):
    """The symbols `value` is computed from, through its opaque terms: head
    registers, loaded values, unknowns ("?n")."""
    found, todo = set(), list(value.terms)
    while todo:
        name = todo.pop()
        definition = symbolic.definition(name)
        if definition is None:
            found.add(name)
        else:
            todo.extend(s for v in definition[1] for s in v.terms)
    return found


def free_symbols(value, env):
    return {s for s in base_symbols(value) if s not in env}


def evaluate(value, env):
    total = value.const
    for name, coefficient in value.terms.items():
        total += coefficient * symbol_value(name, env)
    return total & MASK


def symbol_value(name, env):
    if name in env:
        return env[name]
    definition = symbolic.definition(name)
    if definition is None:
        if name.startswith("?"):
            raise Uncomputable(f"a value the listing does not follow ({name})")
        raise Unset(name)
    operation, values = definition
    return compute(operation, [evaluate(v, env) for v in values])


def rotate(value, count, width):
    count %= width
    value &= bits(width)
    return ((value >> count) | (value << (width - count))) & bits(width)


EXTENDS = {"movzb": (8, False), "movzw": (16, False), "movsb": (8, True), "movsw": (16, True),
           "movsl": (32, True)}


def compute(operation, args):
    """The value of an opaque term: `operation` is the mnemonic and the
    destination's width ("shr/64"), or an extension's mnemonic ("movzbl"),
    or a flag's value of the replay's own ("sete:cmp/32")."""
    name, _, width_text = operation.partition("/")
    if ":" in name:
        cc, kind = name.split(":")
        return int(holds(cc, flags(kind, args, int(width_text))))
    for prefix, (size, sign) in EXTENDS.items():
        if name.startswith(prefix):
            into = {"w": 16, "l": 32, "q": 64}.get(name[len(prefix):], 64)
            value = signed(args[0], size) if sign else args[0] & bits(size)
            return value & bits(into)
    width = int(width_text or 64)
    base = name.rstrip("lq") if name not in ("shl", "sal", "rol") else name
    if base in ("shl", "sal", "shr", "sar", "rol", "ror", "rorx", "shlx", "shrx", "sarx"):
        count, value = (args[0], args[1]) if len(args) == 2 else (1, args[0])
        count &= 63 if width == 64 else 31
        value &= bits(width)
        if base in ("shl", "sal", "shlx"):
            result = value << count
        elif base in ("shr", "shrx"):
            result = value >> count
        elif base in ("sar", "sarx"):
            result = signed(value, width) >> count
        elif base == "rol":
            result = rotate(value, width - count, width)
        else:
            result = rotate(value, count, width)
    elif base in ("and", "andp", "pand") and len(args) == 2:
        result = args[0] & args[1]
    elif base in ("or", "orp", "por") and len(args) == 2:
        result = args[0] | args[1]
    elif base in ("xor", "xorp", "pxor") and len(args) == 2:
        result = args[0] ^ args[1]
    elif base == "andn" and len(args) == 2:
        result = ~args[1] & args[0]
    elif base == "not" and len(args) == 1:
        result = ~args[0]
    elif base == "neg" and len(args) == 1:
        result = -args[0]
    elif base == "imul" and len(args) == 2:
        result = args[0] * args[1]
    elif base == "bswap" and len(args) == 1:
        result = int.from_bytes((args[0] & bits(width)).to_bytes(width // 8, "little"), "big")
    elif base == "popcnt" and len(args) == 1:
        result = bin(args[0] & bits(width)).count("1")
    else:
        raise Uncomputable(f"the operation {operation} is not modelled")
    return result & bits(width)


# A branch's condition by its mnemonic's suffix: the flags it reads.
CONDITIONS = {
    "o": lambda f: f["OF"], "no": lambda f: not f["OF"],
    "b": lambda f: f["CF"], "c": lambda f: f["CF"], "nae": lambda f: f["CF"],
    "ae": lambda f: not f["CF"], "nb": lambda f: not f["CF"], "nc": lambda f: not f["CF"],
    "e": lambda f: f["ZF"], "z": lambda f: f["ZF"], "ne": lambda f: not f["ZF"],
    "nz": lambda f: not f["ZF"], "be": lambda f: f["CF"] or f["ZF"],
    "na": lambda f: f["CF"] or f["ZF"], "a": lambda f: not f["CF"] and not f["ZF"],
    "nbe": lambda f: not f["CF"] and not f["ZF"], "s": lambda f: f["SF"],
    "ns": lambda f: not f["SF"], "p": lambda f: f["PF"], "pe": lambda f: f["PF"],
    "np": lambda f: not f["PF"], "po": lambda f: not f["PF"],
    "l": lambda f: f["SF"] != f["OF"], "nge": lambda f: f["SF"] != f["OF"],
    "ge": lambda f: f["SF"] == f["OF"], "nl": lambda f: f["SF"] == f["OF"],
    "le": lambda f: f["ZF"] or f["SF"] != f["OF"], "ng": lambda f: f["ZF"] or f["SF"] != f["OF"],
    "g": lambda f: not f["ZF"] and f["SF"] == f["OF"],
    "nle": lambda f: not f["ZF"] and f["SF"] == f["OF"],
}
# The instructions whose flags the replay computes, by their mnemonic's start.
FLAG_KINDS = ("cmp", "sub", "add", "test", "and", "or", "xor", "inc", "dec", "neg", "shl",
              "sal", "shr", "sar")


def flag_kind(mnemonic):
    """The kind of flags `mnemonic` sets for `flags` (None: not computed)."""
    return next((k for k in FLAG_KINDS if mnemonic.startswith(k)
                 and mnemonic.rstrip("bwlq") in (k, k.rstrip("bwlq"))), None)


class Flags(dict):
    """The flags, a flag the instruction leaves undefined or unchanged
    being unreadable."""

    def __missing__(self, key):
        raise Uncomputable(f"a branch reads the {key} flag, which the replay does not follow")


def flags(kind, args, width):
    """The flags `kind` sets: args are its operands' values in AT&T order
    (source, destination; one operand for inc, dec, neg)."""
    mask, top = bits(width), 1 << (width - 1)
    a, b = (args[0] & mask, args[-1] & mask)
    found = Flags()
    if kind in ("cmp", "sub"):
        result = (b - a) & mask
        found.update(CF=b < a, OF=bool((b ^ a) & (b ^ result) & top))
    elif kind == "add":
        result = (a + b) & mask
        found.update(CF=a + b > mask, OF=bool(~(a ^ b) & (a ^ result) & top))
    elif kind in ("test", "and", "or", "xor"):
        result = {"test": a & b, "and": a & b, "or": a | b, "xor": a ^ b}[kind]
        found.update(CF=False, OF=False)
    elif kind in ("inc", "dec"):
        result = (b + (1 if kind == "inc" else -1)) & mask
        found.update(OF=result == (top if kind == "inc" else top - 1))
    elif kind == "neg":
        result = -b & mask
        found.update(CF=b != 0, OF=b == top)
    elif kind in ("shl", "sal", "shr", "sar"):
        result = compute(f"{kind}/{width}", args)
        if (args[0] if len(args) == 2 else 1) & (63 if width == 64 else 31) == 0:
            raise Uncomputable("a shift by 0 leaves the flags as they were")
    else:
        raise Uncomputable(f"the flags of {kind} are not modelled")
    found.update(ZF=result == 0, SF=bool(result & top),
                 PF=bin(result & 0xff).count("1") % 2 == 0)
    return found


def holds(cc, found):
    if cc not in CONDITIONS:
        raise Uncomputable(f"the condition {cc} is not modelled")
    return bool(CONDITIONS[cc](found))


def undo(operation, target, args):
    """The value the free argument of `operation` (the last one, the others'
    values given in `args`) must have for the operation to give `target`;
    None when no such value exists or the operation cannot be undone."""
    name, _, width_text = operation.partition("/")
    width = int(width_text or 64)
    target &= bits(width)
    base = name.rstrip("lq") if name not in ("shl", "sal", "rol") else name
    count = (args[0] if args else 1) & (63 if width == 64 else 31)
    candidates = {
        "shr": target << count, "shrx": target << count, "sar": target << count,
        "shl": target >> count, "sal": target >> count, "shlx": target >> count,
        "ror": rotate(target, width - count, width), "rorx": rotate(target, width - count, width),
        "rol": rotate(target, count, width), "not": ~target & bits(width),
        "neg": -target & bits(width), "xor": target ^ args[0] if args else None,
        "and": target, "or": target,
        "bswap": int.from_bytes(target.to_bytes(width // 8, "little"), "big"),
    }
    for prefix in EXTENDS:
        if name.startswith(prefix):
            return target
    value = candidates.get(base)
    if value is None:
        return None
    return value & bits(width)


def solve(value, target, env, default=0):
    """Gives the free symbols of `value` numbers so that it evaluates to
    `target`: one free part of it (a symbol, or an opaque term undone down
    to a symbol) is solved for, any other free symbol gets `default`.
    Returns whether it holds."""
    target &= MASK
    parts = [(s, c) for s, c in sorted(value.terms.items()) if free_symbols(symbol_of(s), env)]
    if not parts:
        return evaluate(value, env) == target
    plain = [(s, c) for s, c in parts if symbolic.definition(s) is None and abs(c) == 1]
    pick, coefficient = (plain or [(s, c) for s, c in parts if abs(c) == 1] or [(None, 0)])[0]
    if pick is None:
        return False
    for s, _ in parts:
        if s != pick:
            for name in free_symbols(symbol_of(s), env):
                env[name] = default
    rest = symbolic.Lin(value.const, {s: c for s, c in value.terms.items() if s != pick})
    need = ((target - evaluate(rest, env)) * coefficient) & MASK
    definition = symbolic.definition(pick)
    if definition is None:
        if pick.startswith("?"):
            return False
        env[pick] = need
        return True
    operation, values = definition
    free = [k for k, v in enumerate(values) if free_symbols(v, env)]
    if len(free) != 1:
        for k in free[:-1]:
            for name in free_symbols(values[k], env):
                env[name] = default
        free = free[-1:]
    if not free:
        return evaluate(value, env) == target
    others = [evaluate(v, env) for k, v in enumerate(values) if k != free[0]]
    wanted = undo(operation, need, others)
    if wanted is None or not solve(values[free[0]], wanted, env, default):
        return False
    return evaluate(value, env) == target


def symbol_of(name):
    return symbolic.Lin.symbol(name)
