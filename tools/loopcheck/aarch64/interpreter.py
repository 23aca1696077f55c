"""The AArch64 interpreter: what an instruction does to the machine state.

`execute` applies an allowed instruction (as `decode` gave it) to a state and
returns its memory accesses; it serves both the constant propagation over
main and the counting run. `transfer` is the propagation's step for any
instruction: calls, pointer authentication of the return address, and
instructions outside the allowlist forget what they may change.

Values are those of values.py: a result the check cannot compute exactly
(a carry in, a rotate, a sign extension of a value that steps) is unknown,
which can only make the check refuse, never accept.
"""
from ..flags import Flags
from ..state import ENTRY_SP, ERRNO, offset
from ..values import Context, Value, add, bitwise, low, mul, shift, sub
from .allowlist import decode
from .conditions import INVERSE, condition, register_value
from .signing import authenticate
from .registers import CALLER_SAVED
from .syntax import Cond, Extend, Imm, Reg, Shift

SHIFT_KINDS = {"lsl": "left", "lsr": "right", "asr": "arithmetic right"}
UNKNOWN_SIZE = 256  # the bytes an access the model cannot size may cover (an SVE vector's most)


def known(*values):
    return all(v is not None and v.known for v in values)


def sign_extend(value, bits, width):
    """The low `bits` of a known value, sign-extended to `width`."""
    low_bits = value.c0 & ((1 << bits) - 1)
    return Value(low_bits - ((low_bits >> (bits - 1)) << bits), 0, width)


def extended(value, extend, amount, width):
    """A register operand's value after its extension or shift (`uxtw #2`,
    `lsl #3`), in `width` bits."""
    if value is None:
        return None
    if extend in ("", "lsl", "uxtx", "sxtx"):
        base = low(value, width) if value.w >= width else None
    elif not value.known:
        base = None  # a narrower value that steps may wrap or change sign: not followed
    elif extend in ("uxtb", "uxth", "uxtw"):
        base = Value(value.c0 & ((1 << {"uxtb": 8, "uxth": 16, "uxtw": 32}[extend]) - 1), 0,
                     width)
    else:  # sxtb, sxth, sxtw
        base = sign_extend(value, {"sxtb": 8, "sxth": 16, "sxtw": 32}[extend], width)
    if base is None or not amount:
        return base
    return shift("left", base, Value(amount), width)


def access_address(state, access):
    """The address of one access (None when unknown)."""
    if access.address is not None:
        return Value(access.address)
    if not access.base or access.offset is None:
        return None
    base = state.regs.get(access.base)
    if base is None or base.w < 64:
        return None
    value = add(base, Value(access.offset), 64)
    if access.index is not None:
        index = register_value(state, access.index)
        if index is not None and access.index.width == 32 and access.extend in ("", "lsl"):
            index = None
        value = add(value, extended(index, access.extend, access.shift, 64), 64)
    return value


def memory_accesses(insn, decoded, state):
    """An instruction's memory accesses in `state`, as [(address or None,
    reads, writes)]; no state, no known address."""
    return [(access_address(state, a) if state else None, int(a.reads), int(a.writes))
            for a in insn.memory]


def access_width(insn, decoded):
    """The bits each of its accesses covers (a pair's two are alike)."""
    size = insn.memory[0].size if insn.memory else None
    return 8 * (size or UNKNOWN_SIZE)


class Operation:
    """One allowed instruction being applied to a state: its operands'
    values and where its result goes. The handlers below do the rest."""

    def __init__(self, insn, decoded, state, ctx):
        self.insn, self.state, self.ctx = insn, state, ctx
        self.op, self.width = decoded.op, decoded.width
        self.ops = insn.operands

    def reg(self, k):
        operand = self.ops[k] if k < len(self.ops) else None
        return operand if isinstance(operand, Reg) else None

    def value(self, k, width=None):
        """Operand k's value: a register's, an immediate's."""
        width = width or self.width
        operand = self.ops[k]
        if isinstance(operand, Imm):
            return Value(operand.value, 0, width)
        if isinstance(operand, Reg):
            value = register_value(self.state, operand)
            return low(value, width) if value is not None and value.w >= width else None
        return None

    def second(self, k):
        """The second source from operand k on: an immediate (shifted by
        `lsl #12`), or a register, shifted or extended."""
        operand = self.ops[k]
        value = register_value(self.state, operand) if isinstance(operand, Reg) \
            else self.value(k)
        modifier = self.ops[k + 1] if k + 1 < len(self.ops) else None
        if isinstance(modifier, Extend):
            return extended(value, modifier.kind, modifier.amount, self.width)
        value = low(value, self.width) if value is not None and value.w >= self.width else None
        if isinstance(modifier, Shift):
            n = modifier.amount
            if modifier.kind == "ror":
                return Value((value.c0 >> n) | (value.c0 << (self.width - n)), 0, self.width) \
                    if 0 < n < self.width and known(value) else None
            return shift(SHIFT_KINDS.get(modifier.kind, "left"), value, Value(modifier.amount),
                         self.width)
        return value

    def why(self):
        """Why a result this instruction writes is unknown, in words."""
        for operand in self.ops:
            if isinstance(operand, Reg) and operand.family and operand.family != "zr" \
                    and self.state.get(operand.name) is None:
                return self.state.why.get(
                    operand.family, f"{self.insn} reads {operand.name}, which is not set before "
                                    f"(an argument, or what the caller left)")
        if self.insn.memory and any(a.reads for a in self.insn.memory):
            return f"{self.insn} loads it from memory" + (
                " the check cannot know" if self.ctx.memory else
                ", whose values the check does not follow")
        return f"{self.insn} computes it from values the check cannot know"

    def write(self, k, value):
        reg = self.reg(k)
        if reg is None or reg.family == "zr":
            return
        self.state.set(reg.name, value, self.ctx, self.why() if value is None else "")

    def set_flags(self, kind, a, b=None, result="", left="", right=""):
        self.state.flags = Flags(kind, a, b, self.width, True, result=result, left=left,
                                 right=right)


def name_of(reg):
    return reg.name if reg is not None and reg.family not in ("", "zr") else ""


def do_move(o):
    if o.op == "mov":
        o.write(0, o.value(1))
        return
    imm, amount = o.ops[1].value, o.ops[2].amount if len(o.ops) > 2 else 0
    mask = (1 << o.width) - 1
    if not 0 <= amount < o.width:  # a shift objdump could not print
        o.write(0, None)
        return
    if o.op == "movz":
        o.write(0, Value(imm << amount, 0, o.width))
    elif o.op == "movn":
        o.write(0, Value(~(imm << amount) & mask, 0, o.width))
    else:  # movk: the other bits kept
        old = o.value(0)
        o.write(0, Value((old.c0 & ~(0xffff << amount)) | (imm << amount), 0, o.width)
                if known(old) else None)


def do_add_sub(o):
    """add, adds, sub, subs, cmp, cmn, neg, negs."""
    op = o.op
    compare, negate = op in ("cmp", "cmn"), op in ("neg", "negs")
    first = 0 if compare else 1
    a = Value(0, 0, o.width) if negate else o.value(first)
    b = o.second(first if negate else first + 1)
    subtract = op in ("sub", "subs", "cmp", "neg", "negs")
    plain = not negate and len(o.ops) == first + 2 and o.reg(first + 1) is not None
    if subtract and plain and o.ops[first] == o.ops[first + 1] and o.reg(first) is not None:
        a = b = Value(0, 0, o.width)  # a register less itself
    result = (sub if subtract else add)(a, b, o.width)
    if not compare:
        o.write(0, result)
    if op in ("adds", "subs", "negs") or compare:
        o.set_flags("sub" if subtract else "add", a, b,
                    result=name_of(o.reg(0)) if not compare else "",
                    left=name_of(o.reg(0)) if compare else "",
                    right=name_of(o.reg(1)) if compare and plain else "")


LOGIC = {"and": "and", "ands": "and", "tst": "and", "bic": "and", "bics": "and", "orr": "or",
         "orn": "or", "mvn": "or", "eor": "xor", "eon": "xor"}


def do_logic(o):
    op = o.op
    test, invert = op == "tst", op in ("bic", "bics", "orn", "eon", "mvn")
    first = 0 if test else 1
    a = Value(0, 0, o.width) if op == "mvn" else o.value(first)
    b = o.second(first if op == "mvn" else first + 1)
    if invert:
        b = Value(~b.c0, 0, o.width) if known(b) else None
    plain = op != "mvn" and len(o.ops) == first + 2 and o.reg(first + 1) is not None
    if op in ("eor", "bic") and plain and o.ops[first] == o.ops[first + 1]:
        a = b = None
        result = Value(0, 0, o.width)
    else:
        result = bitwise(LOGIC[op], a, b, o.width)
    if not test:
        o.write(0, result)
    if op in ("ands", "bics", "tst"):
        same = plain and o.ops[first] == o.ops[first + 1]
        o.set_flags("logic", result, result=name_of(o.reg(0)) if not test else "",
                    left=name_of(o.reg(0)) if test and same else "",
                    right=name_of(o.reg(1)) if test and same else "")
        if result is None and a is not None and b is not None and op != "bics":
            # A test of the low k bits of a stepping value: its zero flag
            # changes at the solutions of a linear congruence.
            var, mask = (a, b) if b.known else (b, a)
            k = (mask.c0 + 1).bit_length() - 1
            if mask.known and not var.base and mask.c0 == (1 << k) - 1 and 0 < k < o.width:
                o.set_flags("lowmask", var, Value(k))


def do_carry(o):
    """adc, sbc, ngc and their flag-setting forms: the carry in is not
    followed, so neither is the result."""
    o.write(0, None)
    if o.op.endswith("s"):
        o.state.flags = None


def do_multiply(o):
    a, b = o.value(1), o.value(2)
    product = mul(a, b, o.width)
    if o.op == "mul":
        o.write(0, product)
    elif o.op == "mneg":
        o.write(0, sub(Value(0, 0, o.width), product, o.width))
    else:  # madd, msub: the addend last
        o.write(0, (add if o.op == "madd" else sub)(o.value(3), product, o.width))


def do_wide_multiply(o):
    """smull, umull, smulh, umulh, their accumulating forms, udiv, sdiv:
    computed on known values only."""
    op = o.op
    if op in ("udiv", "sdiv"):
        a, b = o.value(1), o.value(2)
        if not known(a, b):
            o.write(0, None)
        elif b.c0 == 0:
            o.write(0, Value(0, 0, o.width))  # AArch64 divides by zero to zero
        else:
            x, y = (a.signed(), b.signed()) if op == "sdiv" else (a.c0, b.c0)
            quotient = abs(x) // abs(y) * (-1 if (x < 0) != (y < 0) else 1)
            o.write(0, Value(quotient, 0, o.width))
        return
    signed = op.startswith("s")
    if op in ("smulh", "umulh"):
        a, b = o.value(1, 64), o.value(2, 64)
        if not known(a, b):
            o.write(0, None)
            return
        x, y = (a.signed(), b.signed()) if signed else (a.c0, b.c0)
        o.write(0, Value((x * y) >> 64, 0, 64))
        return
    a, b = o.value(1, 32), o.value(2, 32)
    c = o.value(3, 64) if len(o.ops) > 3 else Value(0)
    if not known(a, b, c):
        o.write(0, None)
        return
    x, y = (a.signed(), b.signed()) if signed else (a.c0, b.c0)
    product = x * y
    total = {"mull": product, "maddl": c.c0 + product, "msubl": c.c0 - product,
             "mnegl": -product}[op[1:]]
    o.write(0, Value(total, 0, 64))


def do_shift(o):
    count = o.value(2)
    kind = o.op.rstrip("v")
    a = o.value(1)
    if kind == "ror":
        n = count.c0 % o.width if known(count) else None
        o.write(0, None if n is None or not known(a) else Value(
            (a.c0 >> n) | (a.c0 << (o.width - n)), 0, o.width))
        return
    o.write(0, shift(SHIFT_KINDS[kind], a, count, o.width))


def do_bitfield(o):
    """Bit-field moves, extensions and extractions (a field objdump could
    not print, outside the register, is not followed)."""
    op, w = o.op, o.width
    fields = [operand.value for operand in o.ops if isinstance(operand, Imm)]
    if any(not 0 <= field <= w for field in fields) or (len(fields) == 2 and not fields[1]):
        o.write(0, None)
        return
    a = o.value(1)
    if op in ("uxtb", "uxth"):
        o.write(0, bitwise("and", o.value(1, 32), Value(0xff if op == "uxtb" else 0xffff, 0, 32),
                           32))
        return
    if op in ("sxtb", "sxth", "sxtw"):
        bits = {"sxtb": 8, "sxth": 16, "sxtw": 32}[op]
        source = o.value(1, 32 if bits < 64 else 64)
        o.write(0, sign_extend(source, bits, w) if known(source) else None)
        return
    if op == "extr":
        b, lsb = o.value(2), o.ops[3].value
        o.write(0, Value(((a.c0 << w | b.c0) >> lsb), 0, w) if known(a, b) else None)
        return
    if op == "bfc":
        lsb, bits = o.ops[1].value, o.ops[2].value
        o.write(0, bitwise("and", o.value(0), Value(~(((1 << bits) - 1) << lsb), 0, w), w))
        return
    if op in ("ubfm", "sbfm", "bfm"):
        o.write(0, None)  # objdump prints their aliases; the raw forms are not followed
        return
    lsb, bits = o.ops[2].value, o.ops[3].value
    mask = (1 << bits) - 1
    if op == "ubfx":
        o.write(0, bitwise("and", a, Value(mask, 0, w), w) if lsb == 0 else
                Value((a.c0 >> lsb) & mask, 0, w) if known(a) else None)
    elif op == "ubfiz":
        o.write(0, shift("left", bitwise("and", a, Value(mask, 0, w), w), Value(lsb), w))
    elif op == "sbfx":
        o.write(0, sign_extend(Value(a.c0 >> lsb), bits, w) if known(a) else None)
    elif op == "sbfiz":
        o.write(0, Value(sign_extend(a, bits, w).c0 << lsb, 0, w) if known(a) else None)
    else:  # bfi, bfxil: into the destination's other bits
        old = o.value(0)
        if not known(a, old):
            o.write(0, None)
        elif op == "bfi":
            o.write(0, Value((old.c0 & ~(mask << lsb)) | ((a.c0 & mask) << lsb), 0, w))
        else:
            o.write(0, Value((old.c0 & ~mask) | ((a.c0 >> lsb) & mask), 0, w))


def do_bits(o):
    """clz, cls, rbit, rev, rev16, rev32, rev64: on known values only."""
    a, w = o.value(1), o.width
    if not known(a):
        o.write(0, None)
        return
    bits = format(a.c0, f"0{w}b")
    if o.op == "clz":
        result = len(bits) - len(bits.lstrip("0"))
    elif o.op == "cls":
        result = len(bits) - len(bits.lstrip(bits[0])) - 1
    elif o.op == "rbit":
        result = int(bits[::-1], 2)
    else:
        chunk = {"rev16": 16, "rev32": 32, "rev64": 64, "rev": w}[o.op]
        data = a.c0.to_bytes(w // 8, "little")
        result = int.from_bytes(b"".join(data[k:k + chunk // 8][::-1]
                                         for k in range(0, w // 8, chunk // 8)), "little")
    o.write(0, Value(result, 0, w))


def do_select(o):
    """csel, csinc, csinv, csneg and their aliases (cset, csetm, cinc,
    cinv, cneg, which invert the condition they name)."""
    op, w = o.op, o.width
    zero = Value(0, 0, w)
    if op in ("cset", "csetm"):
        kind, first, second, cc = ("csinc" if op == "cset" else "csinv"), zero, zero, \
            INVERSE.get(o.ops[1].code)
    elif op in ("cinc", "cinv", "cneg"):
        kind = {"cinc": "csinc", "cinv": "csinv", "cneg": "csneg"}[op]
        first = second = o.value(1)
        cc = INVERSE.get(o.ops[2].code)
    else:
        kind, first, second, cc = op, o.value(1), o.value(2), o.ops[3].code
    other = {"csel": lambda v: v, "csinc": lambda v: add(v, Value(1, 0, w), w),
             "csinv": lambda v: sub(Value(-1, 0, w), v, w),
             "csneg": lambda v: sub(zero, v, w)}[kind](second)
    taken = condition(cc, o.state.flags, o.ctx) if cc else None
    o.write(0, first if taken else other if taken is False else (first if first == other
                                                                  else None))


def do_conditional_compare(o):
    """ccmp, ccmn: a compare when the condition holds, else the flags the
    instruction names; unknown unless the condition decides."""
    taken = condition(o.ops[3].code, o.state.flags, o.ctx) if isinstance(o.ops[3], Cond) \
        else None
    if taken:
        a, b = o.value(0), o.value(1)
        o.set_flags("sub" if o.op == "ccmp" else "add", a, b, left=name_of(o.reg(0)),
                    right=name_of(o.reg(1)))
    else:
        o.state.flags = None


def do_address(o):
    o.write(0, Value(o.insn.target))


def do_load_store(o):
    """Loads and stores of general registers, one or a pair, and the
    base's write-back. A load gives a value only where the propagation
    follows memory (the stack's known 64-bit values)."""
    insn, state = o.insn, o.state
    addresses = [access_address(state, access) for access in insn.memory]
    registers = [operand for operand in o.ops if isinstance(operand, Reg)][:len(addresses)]
    load = o.op.startswith("ld")
    values = []
    for reg, where, access in zip(registers, addresses, insn.memory):
        if load:
            values.append(state.memory.get(where) if o.ctx.memory and access.size == 8
                          and reg.width == 64 and where is not None else None)
        else:
            value = register_value(state, reg) if access.size == 8 else None
            state.store(where, value if value is not None and value.w == 64 else None)
    mem = o.ops[-1]
    if load:
        for reg, value in zip(registers, values):
            if reg.family != "zr":
                state.set(reg.name, value, o.ctx, "" if value is not None else
                          f"{insn} loads it from memory" + (" the check cannot know"
                                                            if o.ctx.memory else
                                                            ", whose values the check does "
                                                            "not follow"))
    if getattr(mem, "writeback", False):
        base = state.regs.get(mem.base.family)
        step = mem.offset if mem.pre else mem.post
        state.put(mem.base.family, add(base, Value(step), 64) if isinstance(step, int) else None,
                  f"{insn} moves it")


HANDLERS = {
    **dict.fromkeys(("mov", "movz", "movn", "movk"), do_move),
    **dict.fromkeys(("add", "adds", "sub", "subs", "cmp", "cmn", "neg", "negs"), do_add_sub),
    **dict.fromkeys(LOGIC, do_logic),
    **dict.fromkeys(("adc", "adcs", "sbc", "sbcs", "ngc", "ngcs"), do_carry),
    **dict.fromkeys(("mul", "madd", "msub", "mneg"), do_multiply),
    **dict.fromkeys(("smull", "umull", "smulh", "umulh", "smaddl", "umaddl", "smsubl",
                     "umsubl", "smnegl", "umnegl", "udiv", "sdiv"), do_wide_multiply),
    **dict.fromkeys(("lsl", "lsr", "asr", "ror", "lslv", "lsrv", "asrv", "rorv"), do_shift),
    **dict.fromkeys(("ubfx", "sbfx", "ubfiz", "sbfiz", "ubfm", "sbfm", "bfm", "bfi", "bfxil",
                     "bfc", "extr", "sxtb", "sxth", "sxtw", "uxtb", "uxth"), do_bitfield),
    **dict.fromkeys(("clz", "cls", "rbit", "rev", "rev16", "rev32", "rev64"), do_bits),
    **dict.fromkeys(("csel", "csinc", "csinv", "csneg", "cset", "csetm", "cinc", "cinv",
                     "cneg"), do_select),
    **dict.fromkeys(("ccmp", "ccmn"), do_conditional_compare),
    **dict.fromkeys(("adr", "adrp"), do_address),
    **dict.fromkeys(("ldr", "ldrb", "ldrh", "ldrsb", "ldrsh", "ldrsw", "ldur", "ldurb", "ldurh",
                     "ldursb", "ldursh", "ldursw", "ldp", "ldpsw", "str", "strb", "strh", "stur",
                     "sturb", "sturh", "stp"), do_load_store),
    **dict.fromkeys(("b", "b.cond", "cbz", "cbnz", "tbz", "tbnz", "nop", "bti"), lambda o: None),
}


def execute(insn, decoded, state, ctx):
    """Applies an allowed instruction to `state`; returns its memory
    accesses, addresses taken before the instruction changes any register."""
    accesses = memory_accesses(insn, decoded, state)
    HANDLERS[decoded.op](Operation(insn, decoded, state, ctx))
    return accesses


def save_slots(state):
    """The values at the stack slots where a function saved a register it
    must give back (the return address among them): no callee, system call
    or store the check lets through is given their address, so only the
    function's own stores to them, which the state follows, change them."""
    return {where: value for where, value in state.memory.items()
            if where.base == ENTRY_SP.base and value.base
            and value.base not in (ENTRY_SP.base, ERRNO)}


def clobber_unknown(insn, state):
    """What an instruction outside the modelled set may change: every
    register it writes, the flags, and the memory it may write: as many
    bytes as it writes where it writes (a vector register's 16, or all the
    stack where the model cannot size the store: dc zva's block, an SVE
    vector), all of memory but the save slots where that is not known, or
    for a system call, which writes wherever it is pointed."""
    why = f"{insn} is not modelled by the check"
    written = [(access_address(state, access), access.size) for access in insn.memory
               if access.writes]
    for family in insn.writes:
        state.put(family, None, why)
    if insn.flags_written or not insn.known:
        state.flags = None
    if insn.syscall or any(where is None for where, _ in written):
        state.memory = save_slots(state)
    for where, size in written:
        state.store(where, None, size)


def transfer(insn, state):
    """The state after `insn` on the way to its fall-through successor, for
    the constant propagation over main."""
    state = state.copy()
    if insn.is_call:
        # A call may write any memory whose address got out: not the save
        # slots, but where an argument points into the stack (16 bytes from
        # there: the clock's timespec; printf's %n writes where it points),
        # in a register or in memory (the ninth argument and on, passed on
        # the stack; a structure holding the pointer).
        pointed = [state.regs.get(f"x{n}") for n in range(8)] + [
            value for value in state.memory.values() if value.base == ENTRY_SP.base]
        kept = {where: value for where, value in save_slots(state).items()
                if not any(p is not None and p.base == where.base and not p.c1
                           and -8 < offset(where.c0 - p.c0) < 16 for p in pointed)}
        for family in CALLER_SAVED:
            state.put(family, None, f"the call {insn} may change it")
        state.flags, state.memory = None, kept
        if insn.target_name == "__errno_location":
            # Where errno lives: its own base, so that a store to it can be
            # told from a store through any other pointer.
            state.put("x0", Value(0, 0, 64, ERRNO))
        return state
    if authenticate(insn, state):
        return state
    decoded = decode(insn)
    if decoded.allowed:
        execute(insn, decoded, state, Context(memory=True))
    else:
        clobber_unknown(insn, state)
    return state
