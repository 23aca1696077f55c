"""The x86 instruction model and the allowlist of the timed stretch, in one
place: which instructions a timed stretch may hold (`decode`, with the words
naming why anything else is refused), the operation and width each allowed
one has for the interpreter, which of its operands it reads and writes in
memory, and the two exceptions for the clock's own timespec.

Allowed: integer moves (with zero or sign extension), add, sub, inc, dec,
neg, not, and, or, xor, adc, sbb, shifts, imul, lea, cmp, test, cmov, set,
sign fills (cltq, cltd, cqto), conditional and unconditional direct jumps,
nops and endbr64. Everything else is refused and named (REFUSALS), and so
are a lock prefix, any operand in a vector, segment, control or debug
register, calls and indirect jumps.

The exceptions, both about the first clock call's timespec and both only
outside a loop (the rules apply that): reads of it (state.is_timespec), and a
copy of all of its 16 bytes through a vector register to the stack
(`timestamp_copy`), which is how clang keeps the start time when it may use
AVX.
"""
import re

from ..insn import Decoded, refuse
from ..state import ENTRY_SP, is_timespec
from .conditions import CODES
from .registers import REGISTERS, address_of, is_memory

ARITH2 = {"add", "sub", "and", "or", "xor", "cmp", "test", "adc", "sbb"}
ARITH1 = {"inc", "dec", "neg", "not"}
SHIFTS = {"shl", "sal", "shr", "sar"}
SIZED = ARITH2 | ARITH1 | SHIFTS | {"mov", "imul", "lea", "nop"}
SUFFIX_WIDTH = {"b": 8, "w": 16, "l": 32, "q": 64}
EXTEND = re.compile(r"^mov([sz])([bwl])([wlq])$")
CC = "|".join(sorted(CODES, key=len, reverse=True))
JCC = re.compile(rf"^j({CC})$")
CMOV = re.compile(rf"^cmov({CC})([wlq]?)$")
SETCC = re.compile(rf"^set({CC})$")
VECTOR_OPERAND = re.compile(r"%(?:[xyz]mm\d+|k[0-7]|mm\d|st)\b")
# Why an instruction outside the allowed set is refused, by its mnemonic;
# the first that matches names it.
REFUSALS = [
    (re.compile(r"^(xchg|xadd|cmpxchg)"), "atomic exchange (implicitly locked with memory)"),
    (re.compile(r"^[lms]fence$"), "fence"),
    (re.compile(r"^pause$"), "pause (spin-wait hint)"),
    (re.compile(r"^(rdtscp?|rdpmc|cpuid|serialize|rdrand|rdseed)$"),
     "timing or serialising instruction"),
    (re.compile(r"^prefetch"), "prefetch"),
    (re.compile(r"^(movs[bwlq]?|stos|lods|scas|cmps|ins|outs)[bwlq]?$"), "string instruction"),
    (re.compile(r"^(syscall|sysenter|int\d?|int3|hlt|ud2|in|out|cli|sti|wrmsr|rdmsr|invlpg|"
                r"clflush\w*|clwb|wbinvd|xgetbv|xsave\w*|xrstor\w*|lgdt|sgdt|swapgs)$"),
     "system instruction"),
    (re.compile(r"^((push|pop)[qwlf]*|leaveq?|enterq?|retq?)$"), "stack instruction"),
    (re.compile(r"^(v|f|p[a-z])|(ps|pd|ss|sd)$|^cvt|^emms"),
     "vector or floating-point instruction"),
]



def decode(insn):
    """The allowlist: an allowed instruction's operation and width, or why
    the instruction is not allowed."""
    m = insn.mnemonic
    # cs, ds, es and ss overrides do nothing in 64-bit code (assemblers pad
    # with them); data16 only pads nops; bnd on a branch is a no-op today.
    bad_prefix = [p for p in insn.prefixes
                  if p not in ("cs", "ds", "es", "ss")
                  and not (p == "data16" and m.startswith("nop"))
                  and not (p == "bnd" and insn.is_jump)]
    if "lock" in insn.prefixes:
        return refuse("locked instruction (lock prefix)")
    if bad_prefix:
        return refuse(f"instruction with prefix {' '.join(bad_prefix)}")
    if any(VECTOR_OPERAND.search(op) for op in insn.operands):
        return refuse("vector or floating-point instruction")
    special = [op for op in insn.operands
               if op.startswith("%") and ":" not in op and op[1:] not in REGISTERS]
    if special:
        return refuse(f"instruction on {special[0]}, which is not a general register "
                      f"(a segment, control or debug register)")
    if insn.is_call:
        return refuse("call")
    if insn.is_jump:
        if insn.target is None:
            return refuse("indirect jump")
        if m == "jmp":
            return Decoded("jmp", 64)
        jcc = JCC.match(m)
        if jcc:
            return Decoded("jcc", 64, condition=jcc[1])
        return refuse("branch on a counter register or transaction (outside the allowed set)")
    if m in ("endbr64", "nop", "cltq", "cqto", "cltd", "movabs"):
        return Decoded(m, 64)
    if m == "xchg" and insn.operands == ["%ax", "%ax"]:
        return Decoded("nop", 64)  # xchg %ax,%ax is a two-byte padding nop
    if EXTEND.match(m) or m == "movslq":
        return Decoded("extend", SUFFIX_WIDTH[m[-1]])
    cmov = CMOV.match(m)
    if cmov:
        return Decoded("cmov", 64, condition=cmov[1])
    setcc = SETCC.match(m)
    if setcc:
        return Decoded("setcc", 8, condition=setcc[1])
    for base in (m, m[:-1]):
        if base in SIZED and (base == m or m[-1] in SUFFIX_WIDTH):
            return Decoded(base, operation_width(insn, None if base == m else m[-1]))
    for pattern, why in REFUSALS:
        if pattern.search(m):
            return refuse(why)
    return refuse("instruction outside the allowed set")


def operation_width(insn, suffix):
    """The width an instruction operates in: its destination register's,
    else its size suffix's, else any register operand's."""
    registers = [REGISTERS[op[1:]][1] for op in insn.operands
                 if op.startswith("%") and op[1:] in REGISTERS]
    last = insn.operands[-1] if insn.operands else ""
    if last.startswith("%") and last[1:] in REGISTERS:
        return REGISTERS[last[1:]][1]
    if suffix:
        return SUFFIX_WIDTH[suffix]
    return registers[-1] if registers else 64


def memory_roles(insn, decoded):
    """For each operand index of an allowed instruction that is memory:
    (reads, writes)."""
    op, operands = decoded.op, insn.operands
    roles = {}
    for k, operand in enumerate(operands):
        if not is_memory(operand):
            continue
        last = k == len(operands) - 1
        if op in ("lea", "nop", "endbr64"):
            continue
        if op in ("mov", "movabs", "setcc", "extend"):
            roles[k] = (0, 1) if last and op != "extend" else (1, 0)
        elif op in ("cmp", "test", "cmov") or not last or op == "imul":
            roles[k] = (1, 0)
        else:
            roles[k] = (1, 1)
    return roles


def access_width(insn, decoded):
    """The bits an allowed instruction's memory operand covers."""
    if decoded.op == "extend":
        return 32 if insn.mnemonic == "movslq" else SUFFIX_WIDTH[insn.mnemonic[-2]]
    return decoded.width


# ------------------------------------------------- the clock's timespec

VECTOR_MOVE = re.compile(r"^v?mov(aps|apd|ups|upd|dqa|dqu|dqa64|dqu64)$")


def timestamp_copy(insn, state, timespec, copied):
    """A whole-timespec copy through a vector register (what clang makes of
    keeping the start time when it may use AVX): a load of the 16 bytes of
    the timespec, and the store of that register to the stack, which counts
    as saving the timestamp. Returns the address the copy goes to (True for
    the load), or None for any other instruction. `copied` collects the
    vector registers loaded so far."""
    if not VECTOR_MOVE.match(insn.mnemonic) or len(insn.operands) != 2 or insn.prefixes:
        return None
    source, dest = insn.operands
    if re.fullmatch(r"%xmm\d+", dest) and is_memory(source):
        where = address_of(source, insn, state) if state else None
        if where is not None and timespec is not None and where == timespec:
            copied.add(dest)
            return True
        return None
    if source in copied and is_memory(dest):
        where = address_of(dest, insn, state) if state else None
        if where is not None and where.base == ENTRY_SP.base and not is_timespec(where, timespec):
            return where
    return None
