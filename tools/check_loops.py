#!/usr/bin/env python3
"""Checks, from the machine code, that a build of bench_c_jit_compare times
exactly the loops its report claims.

    tools/check_loops.py [--verbose] [--sanitized] EXECUTABLE

It disassembles the executable once with objdump and works on `main` and
every piece of local code main jumps into (split-off parts such as
`main.cold`). The steps, each a function below:

  1. find the timed stretches: the six clock_gettime calls (through the PLT,
     direct, or glibc's static `__clock_gettime`) must form one sequence
     from main's entry, none inside a loop, each with CLOCK_MONOTONIC as its
     clock id (read by constant propagation over main's code);
  2. find each stretch's code: every instruction on a path from one clock
     call's return to the next (paths into a call that ends the process,
     such as the clock's error exit, are not part of it; a call that never
     returns but resumes elsewhere, a throw or a long jump, is a fault);
  3. judge every instruction of the stretch against an allowlist of plain
     integer instructions, and every memory access: only the accumulator
     (the one object written, reset to 0 before the first clock call) and,
     outside the loop, reads of the first clock call's own timespec;
  4. count: run the stretch on known register values from the first clock
     call's return to the second, skipping proven-periodic stretches of the
     loop, and require exactly ITERATIONS reads and ITERATIONS writes of the
     accumulator, with every trip around a loop updating it;
  5. require the accumulator to be read after the second clock call.

Exit status: 0 when every measurement passes, 1 naming each kernel, the
instruction and the rule broken otherwise, 2 on a usage or tool error,
77 (skipped) off x86-64 or for a sanitizer build.
"""
import argparse
import dataclasses
import platform
import re
import shutil
import subprocess
import sys
import traceback

from report import ITERATIONS, KERNEL_NAMES as KERNELS

SKIP = 77
CLOCK_MONOTONIC = 1
CLOCK_NAMES = {"clock_gettime", "__clock_gettime", "__clock_gettime64"}
# Functions known to end the process (or thread) and never return. A local
# function of such a name (static glibc's own exit) is believed only when
# its code reaches no `ret` of its own.
TERMINATING_NAMES = {"exit", "_exit", "_Exit", "abort", "quick_exit", "__stack_chk_fail",
                     "__stack_chk_fail_local", "__assert_fail", "__assert_perror_fail",
                     "__fortify_fail", "__chk_fail", "_ZSt9terminatev", "pthread_exit"}
# Functions that never return to their caller but resume elsewhere in the
# program: an exception's handler or a setjmp point may lie inside a timed
# stretch, so calling one of them after the first clock call is a fault.
RESUMING_NAMES = {"__cxa_throw", "__cxa_rethrow", "_Unwind_Resume", "_Unwind_RaiseException",
                  "_Unwind_Resume_or_Rethrow", "longjmp", "_longjmp", "siglongjmp",
                  "__longjmp_chk"}
NORETURN_NAMES = TERMINATING_NAMES | RESUMING_NAMES
CLOCK_SYSCALL = 228  # clock_gettime's system call number on x86-64
MAX_STEPS = 20_000  # concrete steps per stretch, after proven periods are skipped
MAX_PERIOD = 8  # visits of a loop head that one period may span
MIN_SKIP = 8  # fewer periods than this are stepped through rather than skipped


class ToolError(Exception):
    pass


# ---------------------------------------------------------------- registers

REGISTERS = {}  # name -> (64-bit family, width in bits, bit offset)
for _n in "abcd":
    REGISTERS.update({f"r{_n}x": (f"r{_n}x", 64, 0), f"e{_n}x": (f"r{_n}x", 32, 0),
                      f"{_n}x": (f"r{_n}x", 16, 0), f"{_n}l": (f"r{_n}x", 8, 0),
                      f"{_n}h": (f"r{_n}x", 8, 8)})
for _n in ("si", "di", "bp", "sp"):
    REGISTERS.update({f"r{_n}": (f"r{_n}", 64, 0), f"e{_n}": (f"r{_n}", 32, 0),
                      _n: (f"r{_n}", 16, 0), f"{_n}l": (f"r{_n}", 8, 0)})
for _i in range(8, 16):
    REGISTERS.update({f"r{_i}": (f"r{_i}", 64, 0), f"r{_i}d": (f"r{_i}", 32, 0),
                      f"r{_i}w": (f"r{_i}", 16, 0), f"r{_i}b": (f"r{_i}", 8, 0)})
CALLER_SAVED = ("rax", "rcx", "rdx", "rsi", "rdi", "r8", "r9", "r10", "r11")
VECTOR_OPERAND = re.compile(r"%(?:[xyz]mm\d+|k[0-7]|mm\d|st)\b")


# ------------------------------------------------------------------ values

class V:
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
        return (isinstance(other, V) and (self.base, self.c0, self.c1, self.w)
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
    return V(value.c0, value.c1, width, value.base) if width != value.w else value


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
    return V(a.c0 + b.c0, a.c1 + b.c1, w, a.base or b.base)


def sub(a, b, w):
    if a is None or b is None:
        return None
    if b.base:
        if a.base != b.base:
            return None
        return V(a.c0 - b.c0, a.c1 - b.c1, w)
    return V(a.c0 - b.c0, a.c1 - b.c1, w, a.base)


def mul(a, b, w):
    if a is None or b is None or a.base or b.base:
        return None
    if b.c1 == 0:
        return V(a.c0 * b.c0, a.c1 * b.c0, w)
    if a.c1 == 0:
        return V(a.c0 * b.c0, b.c1 * a.c0, w)
    return None


def bitwise(op, a, b, w):
    if a is None or b is None or a.base or b.base:
        return None
    if a == b and op in ("and", "or"):
        return a  # test %rax,%rax and the like
    if a.c1 == 0 and b.c1 == 0:
        return V({"and": a.c0 & b.c0, "or": a.c0 | b.c0, "xor": a.c0 ^ b.c0}[op], 0, w)
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
            return V(kept, 0, w)
        if mask >> k == (1 << (w - k)) - 1:
            return V(var.c0 - (var.c0 & low_bits) + kept, var.c1, w)
    return None


def shift(op, a, count, w):
    if a is None or count is None or not count.known or a.base:
        return None
    n = count.c0 & (63 if w == 64 else 31)
    if op in ("shl", "sal"):
        return V(a.c0 << n, a.c1 << n, w)
    if a.c1:
        return None
    return V(a.c0 >> n if op == "shr" else a.signed() >> n, 0, w)


# ------------------------------------------------------------------- flags

@dataclasses.dataclass
class Flags:
    kind: str  # "sub", "add", "logic", "lowmask"
    a: V
    b: V = None
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


# ------------------------------------------------------------ instructions

@dataclasses.dataclass
class Insn:
    address: int
    text: str
    prefixes: tuple
    mnemonic: str
    operands: list
    target: int = None  # direct jump or call target
    target_name: str = ""  # the symbol objdump names for a target or %rip operand
    rip_address: int = None  # the absolute address of a %rip-relative operand
    next: int = None  # the address of the following instruction

    @property
    def is_call(self):
        return self.mnemonic.startswith("call")

    @property
    def is_jump(self):
        """Any branch with a target: jmp, jcc, and loop, jrcxz, xbegin."""
        return self.mnemonic.startswith(("j", "loop", "xbegin"))

    def __str__(self):
        return f"{self.address:x}: {self.text}"


PREFIXES = {"cs", "ds", "es", "ss", "fs", "gs", "data16", "addr32", "notrack", "bnd", "lock",
            "rep", "repz", "repe", "repnz", "repne", "rex", "rex.W", "rex.B", "rex.R", "rex.X",
            "xacquire", "xrelease"}
LINE = re.compile(r"^\s*([0-9a-f]+):\t(.*)$")
HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$", re.M)
COMMENT = re.compile(r"#\s*([0-9a-f]+)(?:\s*<([^>]*)>)?\s*$")


def split_operands(text):
    operands, depth, current = [], 0, ""
    for char in text:
        if char == "," and depth == 0:
            operands.append(current.strip())
            current = ""
            continue
        depth += char == "("
        depth -= char == ")"
        current += char
    if current.strip():
        operands.append(current.strip())
    return operands


def symbol_name(text):
    """`clock_gettime@plt` or `foo@GLIBC_2.17` or `main+0x10` -> the bare name."""
    return re.sub(r"(\+0x[0-9a-f]+)$", "", text or "").split("@")[0]


def parse_line(line):
    """One instruction line of `objdump -d -w --no-show-raw-insn` output, or None."""
    match = LINE.match(line)
    if not match:
        return None
    text = re.sub(r"\s+", " ", match[2].split("#")[0]).strip()
    if not text or text.startswith("(bad)"):
        return None
    words = text.split(" ", 1)
    prefixes = []
    while words[0] in PREFIXES and len(words) > 1:
        prefixes.append(words[0])
        words = words[1].split(" ", 1)
    mnemonic, rest = words[0], (words[1] if len(words) > 1 else "")
    mnemonic = {"jmpq": "jmp", "callq": "call", "retq": "ret"}.get(mnemonic, mnemonic)
    insn = Insn(int(match[1], 16), text, tuple(prefixes), mnemonic, [])
    comment = COMMENT.search(match[2])
    if (insn.is_jump or insn.is_call) and not rest.startswith("*"):
        target = re.match(r"^([0-9a-f]+)\s*(?:<([^>]*)>)?", rest)
        if target:
            insn.target = int(target[1], 16)
            insn.target_name = symbol_name(target[2])
        return insn
    insn.operands = split_operands(re.sub(r"\s*<[^>]*>$", "", rest).lstrip("*"))
    if comment and "(%rip)" in rest:
        insn.rip_address = int(comment[1], 16)
        insn.target_name = symbol_name(comment[2])
    return insn


class Program:
    """The disassembled code, split into symbols and parsed on demand."""

    def __init__(self, disassembly):
        self.text = disassembly
        self.blocks = sorted((int(m[1], 16), m[2], m.end())
                             for m in HEADER.finditer(disassembly))
        self.starts = {name: start for start, name, _ in self.blocks}
        self.names = {start: name for start, name, _ in self.blocks}
        self.insns = {}
        self.parsed = set()

    def block_of(self, address):
        lo, hi = 0, len(self.blocks)
        while lo < hi:
            mid = (lo + hi) // 2
            if self.blocks[mid][0] <= address:
                lo = mid + 1
            else:
                hi = mid
        return lo - 1

    def parse_block(self, k):
        if k in self.parsed or k < 0:
            return
        self.parsed.add(k)
        end = self.text.find("\n\n", self.blocks[k][2])
        chunk = self.text[self.blocks[k][2]:end if end >= 0 else len(self.text)]
        previous = None
        for line in chunk.splitlines():
            insn = parse_line(line)
            if insn is None:
                continue
            if previous is not None:
                previous.next = insn.address
            self.insns[insn.address] = previous = insn
        if previous is not None and k + 1 < len(self.blocks):
            previous.next = self.blocks[k + 1][0]  # falling off the end of a symbol

    def at(self, address):
        """The instruction at `address`, None when no parsed code starts there."""
        if address not in self.insns:
            self.parse_block(self.block_of(address))
        return self.insns.get(address)

    def function(self, address):
        """The name of the symbol holding `address`."""
        k = self.block_of(address)
        return self.blocks[k][1] if k >= 0 else "?"


def callee_name(program, insn):
    if insn.target is not None:
        return symbol_name(program.names.get(insn.target, insn.target_name)) or insn.target_name
    return insn.target_name  # call *x(%rip) through the GOT: objdump names the slot


def is_clock_call(program, insn):
    return insn.is_call and callee_name(program, insn) in CLOCK_NAMES


class NoReturn:
    """Which calls never return: a known name, or local code from which no
    `ret` and no jump out of the function can be reached."""

    def __init__(self, program):
        self.program, self.memo = program, {}

    def local(self, insn):
        """Whether the call goes to code in this executable (not a PLT stub
        or the GOT: the C library's own code in a dynamic build)."""
        return (insn.target is not None and "@plt>" not in insn.text
                and self.program.at(insn.target) is not None)

    def call(self, insn):
        name = callee_name(self.program, insn)
        if name in NORETURN_NAMES and not (self.local(insn) and self.has_ret(insn.target)):
            return True
        if not self.local(insn):
            return False
        return self.function(insn.target)

    def terminates(self, insn, reading=frozenset()):
        """Whether a call that never returns ends the process rather than
        resuming somewhere in it: a terminating name, or local code whose
        own calls that never return all terminate. `reading` holds the
        functions whose code is being read further up, so that recursion
        between them ends."""
        name = callee_name(self.program, insn)
        if name in RESUMING_NAMES:
            return False
        if name in TERMINATING_NAMES or not self.local(insn) or insn.target in reading:
            return True
        reading = reading | {insn.target}
        return all(self.terminates(inner, reading)
                   for inner in own_code(self.program, insn.target)
                   if inner.is_call and self.call(inner))

    def has_ret(self, entry):
        """Whether the function's own code can reach a `ret`, a jump out of
        it, or its end other than right after a call (a call that never
        returns is the only honest way to fall off a function's end)."""
        program, home = self.program, self.program.function(entry)
        seen, todo = {entry}, [entry]
        while todo:
            insn = program.at(todo.pop())
            if insn is None or insn.mnemonic.startswith(("ret", "iret", "sysret")):
                return True
            if insn.is_jump and (insn.target is None or program.function(insn.target) != home):
                return True
            following = []
            if insn.is_jump:
                following.append(insn.target)
            if insn.mnemonic not in ("jmp", "hlt", "ud2"):
                following.append(insn.next)
            for address in following:
                if address is None or program.function(address) != home:
                    if not insn.is_call:
                        return True
                elif address not in seen:
                    seen.add(address)
                    todo.append(address)
        return False

    def function(self, entry):
        if entry in self.memo:
            return self.memo[entry]
        self.memo[entry] = False  # while it is being read: assume it returns
        program, home = self.program, self.program.function(entry)
        seen, todo, returns = {entry}, [entry], False
        while todo and not returns:
            insn = program.at(todo.pop())
            if insn is None or insn.mnemonic.startswith(("ret", "iret", "sysret")):
                returns = True
                break
            following = []
            if insn.is_jump:
                if insn.target is None or program.function(insn.target) != home:
                    returns = not (insn.target is not None and program.at(insn.target)
                                   and self.function(insn.target))
                    if insn.mnemonic == "jmp":
                        continue
                else:
                    following.append(insn.target)
                if insn.mnemonic != "jmp":
                    following.append(insn.next)
            elif insn.is_call:
                if not self.call(insn):
                    following.append(insn.next)
            elif insn.mnemonic not in ("hlt", "ud2"):
                following.append(insn.next)
            for address in following:
                if address is None:
                    returns = True
                elif address not in seen:
                    seen.add(address)
                    todo.append(address)
        self.memo[entry] = not returns
        return not returns


def successors(program, noreturn, insn):
    """Addresses control may go to after `insn`; raises Unresolved for a
    jump or call whose target is not parsed code."""
    m = insn.mnemonic
    if m.startswith(("ret", "hlt", "ud2", "iret")):
        return []
    if insn.is_jump:
        if insn.target is None or program.at(insn.target) is None:
            raise Unresolved(insn)
        return [insn.target] if m == "jmp" else [insn.target, insn.next]
    if insn.is_call:
        if insn.target is None and not insn.target_name:
            raise Unresolved(insn)
        if insn.target is not None and program.at(insn.target) is None:
            raise Unresolved(insn)
        return [] if noreturn.call(insn) else [insn.next]
    return [insn.next]


class Unresolved(Exception):
    def __init__(self, insn):
        super().__init__(f"{insn}: jump or call target that is not code the check can read")
        self.insn = insn


# ------------------------------------------------------- instruction rules

ARITH2 = {"add", "sub", "and", "or", "xor", "cmp", "test", "adc", "sbb"}
ARITH1 = {"inc", "dec", "neg", "not"}
SHIFTS = {"shl", "sal", "shr", "sar"}
SIZED = ARITH2 | ARITH1 | SHIFTS | {"mov", "imul", "lea", "nop"}
SUFFIX_WIDTH = {"b": 8, "w": 16, "l": 32, "q": 64}
EXTEND = re.compile(r"^mov([sz])([bwl])([wlq])$")
CC = "|".join(sorted(CONDITIONS, key=len, reverse=True))
JCC = re.compile(rf"^j({CC})$")
CMOV = re.compile(rf"^cmov({CC})([wlq]?)$")
SETCC = re.compile(rf"^set({CC})$")
FAULT_KINDS = [
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
    """(operation, width) of an allowed instruction, or (None, why not)."""
    m = insn.mnemonic
    # cs, ds, es and ss overrides do nothing in 64-bit code (assemblers pad
    # with them); data16 only pads nops; bnd on a branch is a no-op today.
    bad_prefix = [p for p in insn.prefixes
                  if p not in ("cs", "ds", "es", "ss")
                  and not (p == "data16" and m.startswith("nop"))
                  and not (p == "bnd" and insn.is_jump)]
    if "lock" in insn.prefixes:
        return None, "locked instruction (lock prefix)"
    if bad_prefix:
        return None, f"instruction with prefix {' '.join(bad_prefix)}"
    if any(VECTOR_OPERAND.search(op) for op in insn.operands):
        return None, "vector or floating-point instruction"
    special = [op for op in insn.operands
               if op.startswith("%") and ":" not in op and op[1:] not in REGISTERS]
    if special:
        return None, f"instruction on {special[0]}, which is not a general register " \
                     f"(a segment, control or debug register)"
    if insn.is_call:
        return None, "call"
    if insn.is_jump:
        if insn.target is None:
            return None, "indirect jump"
        if m == "jmp":
            return ("jmp", 64)
        if JCC.match(m):
            return ("jcc", 64)
        return None, "branch on a counter register or transaction (outside the allowed set)"
    if m in ("endbr64", "nop", "cltq", "cqto", "cltd", "movabs"):
        return (m, 64)
    if m == "xchg" and insn.operands == ["%ax", "%ax"]:
        return ("nop", 64)  # xchg %ax,%ax is a two-byte padding nop
    if EXTEND.match(m) or m == "movslq":
        return ("extend", SUFFIX_WIDTH[m[-1]])
    if CMOV.match(m):
        return ("cmov", 64)
    if SETCC.match(m):
        return ("setcc", 8)
    for base in (m, m[:-1]):
        if base in SIZED and (base == m or m[-1] in SUFFIX_WIDTH):
            return (base, operation_width(insn, None if base == m else m[-1]))
    for pattern, kind in FAULT_KINDS:
        if pattern.search(m):
            return None, kind
    return None, "instruction outside the allowed set"


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


MEMORY = re.compile(r"^(?:%([a-z]s):)?(-?0x[0-9a-f]+|-?\d+)?(?:\((%[a-z0-9]+)?(?:,(%[a-z0-9]+))?"
                    r"(?:,(\d))?\))?$")


def is_memory(operand):
    return not operand.startswith(("$", "%")) or operand.startswith(("%fs:", "%gs:",
                                                                      "%es:", "%ds:"))


def memory_roles(op, insn):
    """For each operand index that is memory: (reads, writes)."""
    operands = insn.operands
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


# --------------------------------------------------------------- execution

class State:
    __slots__ = ("regs", "flags", "memory")

    def __init__(self, regs=None, flags=None, memory=None):
        self.regs = dict(regs or {})
        self.flags = flags
        # The 64-bit values last stored at known addresses. Only constant
        # propagation reads them back (a spilled pointer, the reset of the
        # accumulator); while a stretch is run, memory reads give unknowns,
        # since the accumulator is volatile and its values are not followed.
        self.memory = dict(memory or {})

    def copy(self):
        return State(self.regs, self.flags, self.memory)

    def store(self, where, value):
        """A store of up to 64 bits at `where`: it forgets every value it
        may overlap, and records a 64-bit value (None: the value is unknown)."""
        if where is None or where.c1:
            self.memory = {}
            return
        self.memory = {a: v for a, v in self.memory.items()
                       if a.base != where.base or abs(a.c0 - where.c0) >= 8}
        if value is not None and value.w == 64:
            self.memory[where] = value

    def get(self, name):
        family, width, offset = REGISTERS[name]
        value = self.regs.get(family)
        if offset:
            return V(value.c0 >> 8, 0, 8) if value is not None and value.known else None
        return low(value, width)

    def set(self, name, value, ctx):
        family, width, offset = REGISTERS[name]
        if width == 64:
            self.regs[family] = value
        elif width == 32:
            ctx.no_wrap(value)  # a 32-bit write is zero-extended
            self.regs[family] = None if value is None or value.base else V(value.c0, value.c1)
        else:  # 8 and 16 bits merge into the register
            old = self.regs.get(family)
            if value is None or old is None or not value.known or not old.known:
                self.regs[family] = None
            else:
                mask = ((1 << width) - 1) << offset
                self.regs[family] = V((old.c0 & ~mask) | (value.c0 << offset & mask))


def join(a, b):
    """What holds on both of two ways into an instruction."""
    regs = {k: v for k, v in a.regs.items() if b.regs.get(k) == v and v is not None}
    memory = {k: v for k, v in a.memory.items() if b.memory.get(k) == v}
    return State(regs, a.flags if a.flags == b.flags else None, memory)


def same_state(a, b):
    def known(state):
        return {k: v for k, v in state.regs.items() if v is not None}
    return known(a) == known(b) and a.flags == b.flags and a.memory == b.memory


def address_of(operand, insn, state):
    """The address of a memory operand as a value (None when unknown)."""
    match = MEMORY.match(operand)
    if not match:
        return None
    segment, disp, base, index, scale = match.groups()
    offset = int(disp, 0) if disp else 0
    if base == "%rip":
        return V(insn.rip_address) if insn.rip_address is not None else None
    value = V(offset, 0, 64, segment if segment in ("fs", "gs") else None)
    if base:
        value = add(value, state.get(base[1:]), 64)
    if index:
        value = add(value, mul(state.get(index[1:]), V(int(scale or 1)), 64), 64)
    return value


def operand_value(operand, width, insn, state):
    if operand.startswith("$"):
        return V(int(operand[1:], 0), 0, width)
    if operand.startswith("%") and operand[1:] in REGISTERS:
        return low(state.get(operand[1:]), width)
    return None  # memory is not tracked: the accumulator is volatile


class Operation:
    """One allowed instruction being applied to a state: its operands'
    values and where its result goes. The handlers below do the rest."""

    def __init__(self, insn, op, width, state, ctx):
        self.insn, self.op, self.width, self.state, self.ctx = insn, op, width, state, ctx
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

    def write(self, value):
        state = self.state
        if self.dest_reg:
            state.set(self.dest_reg, value, self.ctx)
        elif is_memory(self.dest):
            state.store(address_of(self.dest, self.insn, state),
                        value if self.width == 64 else None)

    def set_flags(self, kind, a, b=None, carry=True):
        known = a is not None and (b is not None or kind in ("logic", "lowmask"))
        self.state.flags = Flags(kind, a, b, self.width, carry) if known else None


def do_move(o):
    o.write(o.source())


def do_extend(o):
    mnemonic = o.insn.mnemonic
    value = o.value(o.ops[0], 32 if mnemonic == "movslq" else SUFFIX_WIDTH[mnemonic[-2]])
    if value is not None and value.base:
        value = None
    elif value is not None and mnemonic[3] == "s":  # movs*: sign extension
        value = V(value.signed(), 0, o.width) if value.known else None
    elif value is not None:  # movz*: the narrow value, as an exact line
        o.ctx.no_wrap(value)
        value = V(value.c0, value.c1, o.width)
    o.write(value)


def do_lea(o):
    address = address_of(o.ops[0], o.insn, o.state)
    o.write(low(address, o.width) if address is not None else None)


def do_sign_fill(o):
    """cltq (eax into rax), cltd and cqto (the sign of eax or rax into edx or rdx)."""
    state = o.state
    if o.op == "cltq":
        eax = state.get("eax")
        state.set("rax", V(eax.signed()) if eax is not None and eax.known else None, o.ctx)
        return
    wide = o.op == "cqto"
    source = state.get("rax" if wide else "eax")
    fill = None if source is None or not source.known else V(-(source.signed() < 0))
    state.set("rdx" if wide else "edx", low(fill, 64 if wide else 32), o.ctx)


def do_add_sub(o):
    a, b = o.target(), o.source()
    if o.op == "sub" and o.same_register():
        a = b = V(0, 0, o.width)
    o.set_flags("add" if o.op == "add" else "sub", a, b)
    if o.op != "cmp":
        o.write((add if o.op == "add" else sub)(a, b, o.width))


def do_logic(o):
    a, b = o.target(), o.source()
    if o.op == "xor" and o.same_register():
        a = b = V(0, 0, o.width)
    result = bitwise("and" if o.op == "test" else o.op, a, b, o.width)
    o.set_flags("logic", result)
    if result is None and o.op in ("and", "test") and a is not None and b is not None:
        # A test of the low k bits of a stepping value: its zero flag
        # changes at the solutions of a linear congruence.
        var, mask = (a, b) if b.known else (b, a)
        k = (mask.c0 + 1).bit_length() - 1
        if mask.known and not var.base and mask.c0 == (1 << k) - 1 and 0 < k < o.width:
            o.set_flags("lowmask", var, V(k))
    if o.op != "test":
        o.write(result)


def do_unary(o):
    a, width = o.target(), o.width
    if o.op == "neg":
        o.set_flags("sub", V(0, 0, width), a)
        o.write(sub(V(0, 0, width), a, width))
    elif o.op == "not":
        o.write(sub(V(-1, 0, width), a, width))
    else:  # inc and dec leave the carry flag alone
        one = V(1, 0, width)
        o.set_flags("add" if o.op == "inc" else "sub", a, one, carry=False)
        o.write((add if o.op == "inc" else sub)(a, one, width))


def do_shift(o):
    count = V(1) if len(o.ops) == 1 else o.value(o.ops[0], 8)
    o.write(shift(o.op, o.target(), count, o.width))
    o.state.flags = None


def do_imul(o):
    if len(o.ops) == 1:  # rdx:rax = rax * operand
        o.state.set("rax", None, o.ctx)
        o.state.set("rdx", None, o.ctx)
    else:
        factor = o.value(o.ops[1]) if len(o.ops) == 3 else o.target()
        o.write(mul(factor, o.source(), o.width))
    o.state.flags = None


def do_unknown_result(o):  # adc and sbb: the carry in is not modelled
    o.write(None)
    o.state.flags = None


def do_cmov(o):
    taken = condition(CMOV.match(o.insn.mnemonic)[1], o.state.flags, o.ctx)
    old, new = o.target(), o.source()
    o.write(new if taken else old if taken is False else (new if new == old else None))


def do_setcc(o):
    taken = condition(SETCC.match(o.insn.mnemonic)[1], o.state.flags, o.ctx)
    o.write(None if taken is None else V(int(taken), 0, 8))


HANDLERS = {"mov": do_move, "movabs": do_move, "extend": do_extend, "lea": do_lea,
            "cltq": do_sign_fill, "cltd": do_sign_fill, "cqto": do_sign_fill,
            "add": do_add_sub, "sub": do_add_sub, "cmp": do_add_sub,
            "and": do_logic, "or": do_logic, "xor": do_logic, "test": do_logic,
            "inc": do_unary, "dec": do_unary, "neg": do_unary, "not": do_unary,
            "imul": do_imul, "adc": do_unknown_result, "sbb": do_unknown_result,
            "cmov": do_cmov, "setcc": do_setcc,
            **{op: do_shift for op in SHIFTS},
            **{op: lambda o: None for op in ("nop", "endbr64", "jmp", "jcc")}}


def memory_accesses(insn, op, state):
    """An allowed instruction's memory accesses in `state`, as
    [(address or None, reads, writes)]; no state, no known address."""
    return [(address_of(insn.operands[k], insn, state) if state else None, r, w)
            for k, (r, w) in memory_roles(op, insn).items()]


def execute(insn, op, width, state, ctx):
    """Applies an allowed instruction to `state`; returns its memory
    accesses, addresses taken before the instruction changes any register."""
    accesses = memory_accesses(insn, op, state)
    HANDLERS[op](Operation(insn, op, width, state, ctx))
    return accesses


def clobber_unknown(insn, state):
    """What an instruction outside the modelled set may change: every
    register it names, and those it writes implicitly."""
    for operand in insn.operands:
        for name in re.findall(r"%([a-z0-9]+)", operand):
            if name in REGISTERS and operand.startswith("%"):
                state.regs[REGISTERS[name][0]] = None
    # Implicit writes (rdtsc, cpuid, syscall, string instructions...); a
    # vector instruction writes no general register it does not name.
    if not any(VECTOR_OPERAND.search(op) for op in insn.operands):
        for family in ("rax", "rcx", "rdx", "rsi", "rdi", "r11"):
            state.regs[family] = None
    if insn.mnemonic == "cpuid":
        state.regs["rbx"] = None
    if not insn.mnemonic.startswith(("push", "pop", "call")) and (
            insn.mnemonic.startswith("enter") or any(op in ("%rsp", "%esp", "%sp")
                                                     for op in insn.operands)):
        state.regs["rsp"] = state.regs["rbp"] = None
    state.flags = None
    if any(is_memory(op) for op in insn.operands) or insn.mnemonic.startswith(("rep", "stos",
                                                                                "movs")):
        state.memory = {}


def transfer(insn, state):
    """The state after `insn` on the way to its fall-through successor, for
    the constant propagation over main."""
    state = state.copy()
    ctx = Context(memory=True)
    m = insn.mnemonic
    if insn.is_call:  # a call may write any memory whose address got out
        for family in CALLER_SAVED:
            state.regs[family] = None
        state.flags, state.memory = None, {}
        return state
    if m in ("push", "pushq", "pushfq", "pushf"):
        pushed = insn.operands[0] if m in ("push", "pushq") and insn.operands else ""
        value = V(int(pushed[1:], 0)) if pushed.startswith("$") else \
            state.regs.get(REGISTERS[pushed[1:]][0]) if pushed[1:] in REGISTERS and \
            REGISTERS[pushed[1:]][1] == 64 else None
        state.regs["rsp"] = sub(state.regs.get("rsp"), V(8), 64)
        state.store(state.regs["rsp"], value)
        return state
    if m in ("pop", "popq", "popfq", "popf"):
        rsp = state.regs.get("rsp")
        if insn.operands and insn.operands[0][1:] in REGISTERS:
            state.regs[REGISTERS[insn.operands[0][1:]][0]] = state.memory.get(rsp)
        state.regs["rsp"] = add(rsp, V(8), 64)
        return state
    if m in ("leave", "leaveq"):
        state.regs["rsp"] = add(state.regs.get("rbp"), V(8), 64)
        state.regs["rbp"] = None
        return state
    op, width = decode(insn)
    if op is None:
        clobber_unknown(insn, state)
    else:
        execute(insn, op, width, state, ctx)
    return state


# ------------------------------------------------------------ main's graph

@dataclasses.dataclass
class Graph:
    program: Program
    noreturn: NoReturn
    nodes: dict  # address -> successor addresses
    states: dict  # address -> State before the instruction
    entry: int


def build_graph(program):
    """Every instruction reachable from main's entry, and the register
    values known before each (forward constant propagation)."""
    if "main" not in program.starts:
        raise ToolError("no function <main> in the disassembly")
    entry = program.starts["main"]
    noreturn = NoReturn(program)
    nodes, todo = {}, [entry]
    while todo:
        address = todo.pop()
        if address in nodes:
            continue
        insn = program.at(address)
        if insn is None:
            raise ToolError(f"no instruction at {address:#x}")
        nodes[address] = successors(program, noreturn, insn)
        todo.extend(a for a in nodes[address] if a is not None)
    for address, following in nodes.items():
        if None in following:
            raise Unresolved(program.at(address))
    states = {entry: State({"rsp": V(0, 0, 64, "sp")})}
    work = [entry]
    while work:
        address = work.pop()
        insn = program.at(address)
        after = transfer(insn, states[address])
        for nxt in nodes[address]:
            merged = join(states[nxt], after) if nxt in states else after.copy()
            if nxt not in states or not same_state(merged, states[nxt]):
                states[nxt] = merged
                work.append(nxt)
    return Graph(program, noreturn, nodes, states, entry)


def reach(nodes, starts, stop, forward=True):
    """Nodes reachable from `starts` (or reaching them, backward), not
    passing through a node in `stop`."""
    if forward:
        edges = nodes
    else:
        edges = {}
        for a, following in nodes.items():
            for b in following:
                edges.setdefault(b, []).append(a)
    seen, todo = set(starts), list(starts)
    while todo:
        node = todo.pop()
        if node in stop and node not in starts:
            continue
        for nxt in edges.get(node, []):
            if nxt not in seen:
                seen.add(nxt)
                todo.append(nxt)
    return seen


def cyclic_nodes(nodes, members):
    """The members that lie on a cycle within `members` (Tarjan, iterative)."""
    index, low_link, on_stack, stack, result, counter = {}, {}, set(), [], set(), [0]
    for root in sorted(members):
        if root in index:
            continue
        work = [(root, iter(nodes.get(root, [])))]
        index[root] = low_link[root] = counter[0]
        counter[0] += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, children = work[-1]
            advanced = False
            for child in children:
                if child not in members:
                    continue
                if child not in index:
                    index[child] = low_link[child] = counter[0]
                    counter[0] += 1
                    stack.append(child)
                    on_stack.add(child)
                    work.append((child, iter(nodes.get(child, []))))
                    advanced = True
                    break
                if child in on_stack:
                    low_link[node] = min(low_link[node], index[child])
            if advanced:
                continue
            work.pop()
            if work:
                low_link[work[-1][0]] = min(low_link[work[-1][0]], low_link[node])
            if low_link[node] == index[node]:
                component = set()
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.add(member)
                    if member == node:
                        break
                if len(component) > 1 or node in nodes.get(node, []):
                    result |= component
    return result


# ---------------------------------------------------------------- kernels

@dataclasses.dataclass
class Kernel:
    name: str
    faults: list = dataclasses.field(default_factory=list)
    accumulator: V = None
    copies: set = dataclasses.field(default_factory=set)  # where the start time is saved
    reads: int = 0
    writes: int = 0
    steps: int = 0  # instructions executed between the two clock calls
    periods: list = dataclasses.field(default_factory=list)
    body: list = dataclasses.field(default_factory=list)

    def fault(self, text):
        if text not in self.faults:
            self.faults.append(text)


def find_clock_sequence(graph):
    """Step 1: the clock calls in the order main makes them. Each must be
    followed by exactly one next clock call on every path that returns."""
    program = graph.program
    clocks = {a for a in graph.nodes if is_clock_call(program, program.at(a))}
    for address in sorted(clocks & cyclic_nodes(graph.nodes, set(graph.nodes))):
        raise Verdict(f"{program.at(address)}: clock call inside a loop")
    sequence, current = [], [graph.entry]
    while True:
        ahead = reach(graph.nodes, current, clocks) & clocks
        ahead -= set(current) if sequence else set()
        if not ahead:
            break
        if len(ahead) > 1:
            listed = ", ".join(str(program.at(a)) for a in sorted(ahead))
            raise Verdict(f"clock calls in no single order: next could be any of {listed}")
        nxt = ahead.pop()
        sequence.append(nxt)
        current = [nxt]
    missing = clocks - set(sequence)
    if missing:
        raise Verdict(f"clock call off the main sequence: {program.at(min(missing))}")
    return sequence


class Verdict(Exception):
    """A fault of the whole program rather than of one kernel."""


def describe(address):
    if address is None:
        return "an unknown address"
    if address.base == "sp":
        return f"the stack slot at entry sp{address.signed():+#x}"
    return f"{address.base + ':' if address.base else ''}{address.c0:#x}"


def stretch_nodes(graph, start, end):
    """Step 2: the code on the paths from `start`'s return to `end`."""
    clocks = {start, end}
    following = graph.nodes[start]
    forward = reach(graph.nodes, following, clocks)
    backward = reach(graph.nodes, [end], clocks - {end}, forward=False)
    return (forward & backward) - clocks


def check_clock_call(graph, kernel, call):
    state = graph.states[call]
    clock_id = state.get("edi")
    if clock_id is None or not clock_id.known:
        kernel.fault(f"{graph.program.at(call)}: the clock id is not a known constant")
    elif clock_id.c0 != CLOCK_MONOTONIC:
        kernel.fault(f"{graph.program.at(call)}: clock id {clock_id.c0}, not CLOCK_MONOTONIC "
                     f"({CLOCK_MONOTONIC})")
    insn = graph.program.at(call)
    if graph.noreturn.local(insn) and not makes_clock_syscall(graph.program, insn.target):
        kernel.fault(f"{insn}: calls a clock_gettime defined in the program itself, which does "
                     f"not make the clock_gettime system call as the C library's does")


def own_code(program, entry):
    """The instructions of the function at `entry` that can be reached from
    it without leaving the function: jumps inside it are followed, calls
    fall through."""
    home, seen, todo = program.function(entry), {entry}, [entry]
    while todo:
        insn = program.at(todo.pop())
        if insn is None or program.function(insn.address) != home:
            continue
        yield insn
        following = [insn.target] if insn.is_jump and insn.target is not None else []
        if not insn.mnemonic.startswith(("jmp", "ret", "hlt", "ud2")):
            following.append(insn.next)
        for address in following:
            if address is not None and address not in seen:
                seen.add(address)
                todo.append(address)


def makes_clock_syscall(program, entry):
    """Whether the function at `entry` (a statically linked C library's
    clock_gettime) loads the clock_gettime system call's number and makes a
    system call."""
    code = list(own_code(program, entry))
    return (any(insn.mnemonic == "mov" and insn.operands[:1] == [f"${CLOCK_SYSCALL:#x}"]
                for insn in code)
            and any(insn.mnemonic == "syscall" for insn in code))


def check_resuming_calls(graph, kernel, start, end):
    """Step 2: a call after the first clock call that never returns must
    end the process. One that resumes elsewhere (an exception thrown, a long
    jump) may land inside the timed stretch, where its handler would run."""
    program = graph.program
    for address in sorted(reach(graph.nodes, graph.nodes[start], {end}) - {end}):
        insn = program.at(address)
        if insn.is_call and graph.noreturn.call(insn) and not graph.noreturn.terminates(insn):
            kernel.fault(f"{insn}: a call that does not return but may resume inside the timed "
                         f"stretch (an exception thrown, a long jump)")


def access_width(insn, op, width):
    """The bits an instruction's memory operand covers."""
    if op == "extend":
        return 32 if insn.mnemonic == "movslq" else SUFFIX_WIDTH[insn.mnemonic[-2]]
    return width


def is_timespec(where, timespec):
    """Whether an address lies in the 16 bytes of the clock's timespec."""
    return timespec is not None and where is not None and where.base == timespec.base \
        and where.c1 == timespec.c1 == 0 and where.c0 - timespec.c0 in range(16)


VECTOR_MOVE = re.compile(r"^v?mov(aps|apd|ups|upd|dqa|dqu|dqa64|dqu64)$")


def timestamp_copy(insn, state, timespec, copied):
    """A whole-timespec copy through a vector register (what clang makes of
    keeping the start time when it may use AVX): a load of the 16 bytes of
    the timespec, and the store of that register to the stack, which counts
    as saving the timestamp. Returns the address the copy goes to (True for
    the load), or None for any other instruction."""
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
        if where is not None and where.base == "sp" and not is_timespec(where, timespec):
            return where
    return None


def check_instructions(graph, kernel, stretch, loop, timespec):
    """Step 3: the allowlist over every instruction of the stretch; returns
    its memory accesses as {address: [(instruction, reads, writes)]},
    leaving out the reads of the clock's own timespec outside the loop."""
    program, accesses, copied = graph.program, {}, set()
    # A slot of the timespec that the stretch writes has been reused for
    # something else: reads of it are no timestamp.
    stored = {where for a in stretch for insn in [program.at(a)] for op in [decode(insn)[0]]
              if op for where, _, w in memory_accesses(insn, op, graph.states[a]) if w}
    for address in sorted(stretch):
        insn = program.at(address)
        state = graph.states.get(address)
        copy = timestamp_copy(insn, state, timespec, copied)
        if copy and address not in loop:
            if isinstance(copy, V):
                kernel.copies.add(copy)
            continue
        op, detail = decode(insn)  # the width, or why the instruction is not allowed
        if op is None:
            kernel.fault(f"{insn}: {detail} inside the timed stretch")
            continue
        for where, r, w in memory_accesses(insn, op, state):
            if where is None:
                kernel.fault(f"{insn}: memory access at an address the check cannot know")
            elif not w and is_timespec(where, timespec) and where not in stored:
                if address in loop:
                    kernel.fault(f"{insn}: reads the clock's timespec inside a loop")
            else:
                accesses.setdefault(where, []).append((insn, r, w, access_width(insn, op, detail)))
    return accesses


def check_memory(graph, kernel, start, accesses, loop):
    """Step 3, memory: the accumulator is the one object written in the
    stretch that was reset to zero before the first clock call; nothing
    else is touched."""
    memory = graph.states[start].memory
    stored = [a for a, uses in accesses.items() if any(w for _, _, w, _ in uses)]
    candidates = [a for a in stored if memory.get(a) == V(0)]
    if not stored:
        if not kernel.faults:  # else a rejected instruction may be the one that writes
            kernel.fault("nothing is written to memory inside the timed stretch: the "
                         "accumulator is not updated in memory (not volatile, or the loop "
                         "was removed)")
        return
    if len(candidates) != 1:
        what = "no object" if not candidates else "more than one object"
        kernel.fault(f"{what} written inside the timed stretch is reset to 0 before the first "
                     f"clock call: cannot tell the accumulator")
        return
    kernel.accumulator = candidates[0]
    for copy in kernel.copies:
        if copy.base == kernel.accumulator.base and abs(copy.c0 - kernel.accumulator.c0) < 16:
            kernel.fault(f"the timestamp is copied over the accumulator at {describe(copy)}")
    for insn, _, _, bits in accesses[kernel.accumulator]:
        if bits != 64:
            kernel.fault(f"{insn}: accesses {bits} bits of the accumulator, not all 64")
    for where, uses in accesses.items():
        if where == kernel.accumulator:
            continue
        in_loop = [insn for insn, _, _, _ in uses if insn.address in loop]
        if where.base == "sp" and any(w for _, _, w, _ in uses) \
                and any(r for _, r, _, _ in uses) \
                and in_loop:
            kernel.fault(f"{in_loop[0]}: {describe(where)} is read and written inside the "
                         f"loop: the loop index (or another local) lives in memory, not in a "
                         f"register")
            continue
        for insn, _, w, _ in uses:
            if w:
                kernel.fault(f"{insn}: store to {describe(where)}, which is not the "
                             f"accumulator, inside the timed stretch")
            else:
                kernel.fault(f"{insn}: read of {describe(where)}, which is neither the "
                             f"accumulator nor the clock's timespec, inside the timed stretch")


# ---------------------------------------------------------------- counting

def repeated_steps(first, second, third):
    """The constant each register stepped by from `first` to `second` and
    again from `second` to `third` (register maps); None when some register
    did not step alike."""
    delta = {}
    for family in set(first) | set(second) | set(third):
        a, b, c = first.get(family), second.get(family), third.get(family)
        if a is None or b is None or c is None:
            if (a, b, c) != (None, None, None):
                return None
            continue
        if not a.base == b.base == c.base:
            return None
        step = (c.c0 - b.c0) % (1 << 64)
        if step != (b.c0 - a.c0) % (1 << 64):
            return None
        delta[family] = step
    return delta


class Emulator:
    """Step 4: runs a timed stretch from the first clock call's return to
    the second on the register values known there, counting accesses to
    the accumulator. Loops are skipped over in proven periods."""

    def __init__(self, graph, kernel, stretch, loop, start, end):
        self.kernel, self.program = kernel, graph.program
        self.stretch, self.loop, self.end = stretch, loop, end
        self.decoded = {a: decode(self.program.at(a)) for a in stretch}
        state = graph.states[start].copy()
        for family in CALLER_SAVED:
            state.regs[family] = None
        state.flags = None
        self.state, self.start = state, start
        self.timespec = graph.states[start].get("rsi")
        self.heads = {a for a in loop if any(a == self.program.at(b).target for b in loop)}

    def step(self, address, state, ctx):
        """Executes one instruction; returns (next address, reads, writes)
        or raises Stop."""
        insn = self.program.at(address)
        op, width = self.decoded[address]
        reads = writes = 0
        if op is None:  # a copy of the timestamp (the only instruction let through undecoded)
            return insn.next, 0, 0
        for where, r, w in execute(insn, op, width, state, ctx):
            if where != self.kernel.accumulator and not (w == 0 and is_timespec(where,
                                                                                  self.timespec)):
                raise Stop(f"{insn}: memory access at {describe(where)} while counting")
            if where == self.kernel.accumulator:
                reads, writes = reads + r, writes + w
        if op == "jmp":
            return insn.target, reads, writes
        if op != "jcc":
            return insn.next, reads, writes
        taken = condition(JCC.match(insn.mnemonic)[1], state.flags, ctx)
        if taken is None:
            if ctx.symbolic:
                raise Stop("")
            options = [a for a in (insn.target, insn.next) if a in self.stretch or a == self.end]
            if len(options) != 1 or address in self.loop:
                raise Stop(f"{insn}: a branch inside the timed stretch decided by a value "
                           f"the check cannot know")
            return options[0], reads, writes
        return (insn.target if taken else insn.next), reads, writes

    def check_trip(self, head, reads, writes):
        """Every trip around a loop, from its head back to it, updates the
        accumulator: as many reads as writes, at least one. A trip without
        an update is loop overhead the claimed loop does not have (say, a
        loop that runs twice as often and updates on every other trip)."""
        if reads != writes or reads == 0:
            raise TripFault(f"{self.program.at(head)}: a trip around the loop reads the accumulator "
                       f"{reads} and writes it {writes} time(s); every trip must update it, "
                       f"one read and one write per update")

    def run(self):
        kernel, state = self.kernel, self.state
        address, previous = self.program.at(self.start).next, self.start
        history, concrete = {}, Context()
        trips = {}  # loop head -> [reads, writes] since the last arrival there
        for _ in range(MAX_STEPS):
            if address == self.end:
                return
            if address not in self.stretch:
                raise Stop(f"{self.program.at(previous)}: the timed stretch goes on to code "
                           f"that never reaches the second clock call")
            if address in self.heads:
                if address in trips:
                    self.check_trip(address, *trips[address])
                trips[address] = [0, 0]
                visits = history.setdefault(address, [])
                if self.try_skip(address, visits, state):
                    visits.clear()
            previous = address
            address, r, w = self.step(address, state, concrete)
            for counts in trips.values():
                counts[0] += r
                counts[1] += w
            kernel.reads, kernel.writes = kernel.reads + r, kernel.writes + w
            kernel.steps += 1
        raise Stop(f"the loop does not end within {MAX_STEPS} instructions that the check "
                   f"could not skip as proven periods (it may never end)")

    def try_skip(self, head, visits, state):
        """At a loop head: when the register values of the last visits step
        by the same amounts, try to prove that many periods alike and skip
        them; of the periods that can be proved, the one skipping most
        iterations is taken."""
        visits.append(dict(state.regs))
        best = None
        for period in range(1, MAX_PERIOD + 1):
            if len(visits) < 2 * period + 1:
                break
            delta = repeated_steps(visits[-2 * period - 1], visits[-period - 1], visits[-1])
            if delta is None:
                continue
            result = self.prove(head, period, state, delta)
            if result is None:
                continue
            if result[0] is None:  # the period repeats for ever
                raise Stop(f"{self.program.at(head)}: the loop never exits (its exit "
                           f"condition does not change over the periods)")
            if result[0] >= MIN_SKIP and (best is None or result[0] * period
                                          > best[2][0] * best[0]):
                best = (period, delta, result)
        if best is None:
            return False
        self.skip(head, *best)
        return True

    def prove(self, head, period, state, delta):
        """Runs one period with every register as S0 + m*D; returns (periods
        to skip, reads, writes, instructions) when it ends in S0 + (m+1)*D."""
        ctx = Context(symbolic=True)
        regs = {f: (v if v is None else V(v.c0, delta.get(f, 0), 64, v.base))
                for f, v in state.regs.items()}
        sym = State(regs, None)
        address, visits, reads, writes, count = head, 0, 0, 0, 0
        trip = [0, 0]
        try:
            while True:
                if address not in self.loop or count > 4096:
                    return None
                address, r, w = self.step(address, sym, ctx)
                reads, writes, count = reads + r, writes + w, count + 1
                trip = [trip[0] + r, trip[1] + w]
                if address == head:
                    self.check_trip(head, *trip)
                    trip = [0, 0]
                    visits += 1
                    if visits == period:
                        break
        except TripFault:
            raise  # a fault of the kernel, not a failed proof
        except Stop:
            return None
        for family in set(sym.regs) | set(state.regs):
            before, after = state.regs.get(family), sym.regs.get(family)
            if before is None or after is None:
                if before is not None or after is not None:
                    return None
                continue
            expect = V(before.c0 + delta.get(family, 0), delta.get(family, 0), 64, before.base)
            if after != expect:
                return None
        if ctx.limit is not None and ctx.limit < 2:
            return None
        return ctx.limit, reads, writes, count

    def skip(self, head, period, delta, result):
        limit, reads, writes, count = result
        state = self.state
        for family, d in delta.items():
            v = state.regs[family]
            state.regs[family] = V(v.c0 + d * limit, 0, 64, v.base)
        state.flags = None
        kernel = self.kernel
        kernel.reads += reads * limit
        kernel.writes += writes * limit
        kernel.steps += count * limit
        steps = {f: V(d).signed() for f, d in delta.items() if d}
        index = [f"%{f}" for f, d in steps.items() if abs(d) == reads == writes]
        kernel.periods.append(
            f"loop at {head:x}: {limit} periods of {count} instructions, {reads} read(s) and "
            f"{writes} write(s) of the accumulator each, registers step by {steps}"
            + (f" (reads = writes = the advance of {' or '.join(index)})" if index else ""))


class Stop(Exception):
    """The stretch cannot be counted; the message names why (empty while a
    period is being proved: that proof just fails)."""


class TripFault(Stop):
    """A trip around a loop without exactly as many accumulator reads as
    writes, at least one: a fault whether or not a period is being proved."""


def count_updates(graph, kernel, stretch, loop, start, end):
    """Step 4: the exact number of accumulator reads and writes."""
    emulator = Emulator(graph, kernel, stretch, loop, start, end)
    try:
        emulator.run()
    except Stop as stop:
        kernel.fault(str(stop) or "the timed stretch could not be followed")
        return
    if kernel.reads != ITERATIONS or kernel.writes != ITERATIONS:
        program = graph.program
        where = "; ".join(f"loop at {program.at(a)}" for a in sorted(emulator.heads)) \
            or "no loop"
        kernel.fault(f"the accumulator is read {kernel.reads} and written {kernel.writes} "
                     f"times between {program.at(start)} and {program.at(end)} ({where}): "
                     f"{ITERATIONS} updates (one read and one write each) expected")


def check_final_read(graph, kernel, end):
    """Step 5: the accumulator is read after the second clock call, before
    any other call (the report's printf)."""
    program = graph.program
    calls = {a for a in graph.nodes if program.at(a).is_call}
    after = reach(graph.nodes, graph.nodes[end], calls) - calls
    for address in after:
        insn = program.at(address)
        op = decode(insn)[0]
        if op is None:
            continue
        for where, r, _ in memory_accesses(insn, op, graph.states[address]):
            if r and where == kernel.accumulator:
                return
    kernel.fault("the accumulator is not read after the second clock call")


def analyse_measurement(graph, name, start, end):
    kernel = Kernel(name)
    program = graph.program
    check_clock_call(graph, kernel, start)
    check_clock_call(graph, kernel, end)
    stretch = stretch_nodes(graph, start, end)
    check_resuming_calls(graph, kernel, start, end)
    loop = cyclic_nodes(graph.nodes, stretch)
    kernel.body = [str(program.at(a)) for a in sorted(loop)]
    timespec = graph.states[start].get("rsi")
    accesses = check_instructions(graph, kernel, stretch, loop, timespec)
    check_memory(graph, kernel, start, accesses, loop)
    if kernel.faults:
        return kernel  # the count means nothing until the code itself is allowed
    count_updates(graph, kernel, stretch, loop, start, end)
    check_final_read(graph, kernel, end)
    return kernel


def disassemble(executable):
    if shutil.which("objdump") is None:
        raise ToolError("objdump not found (binutils)")
    header = subprocess.run(["objdump", "-f", executable], capture_output=True, text=True)
    if header.returncode != 0:
        raise ToolError(header.stderr.strip())
    if "x86-64" not in header.stdout:
        raise ToolError(f"{executable} is not an x86-64 executable")
    return subprocess.run(["objdump", "-d", "-w", "--no-show-raw-insn", executable],
                          capture_output=True, text=True, check=True).stdout


def analyse_text(disassembly):
    """The kernels' verdicts for one disassembly."""
    program = Program(disassembly)
    try:
        graph = build_graph(program)
        clocks = find_clock_sequence(graph)
    except (Verdict, Unresolved) as error:
        return [Kernel("all kernels", [str(error)])]
    if len(clocks) != 2 * len(KERNELS):
        return [Kernel("all kernels", [f"{len(clocks)} clock calls reached from main's entry, "
                                       f"expected {2 * len(KERNELS)}"])]
    return [analyse_measurement(graph, name, clocks[2 * k], clocks[2 * k + 1])
            for k, name in enumerate(KERNELS)]


def analyse(executable):
    return analyse_text(disassemble(executable))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executable")
    parser.add_argument("--verbose", "-v", action="store_true",
                        help="print the loop bodies and the counts")
    parser.add_argument("--sanitized", action="store_true",
                        help="the build is instrumented: skip, its code is not what a real build times")
    args = parser.parse_args()
    if args.sanitized:
        print("skipped: a sanitizer build's instrumented loops are not the loops a real build times")
        return SKIP
    if platform.machine().lower() not in ("x86_64", "amd64"):
        print(f"skipped: the check reads x86-64 machine code; this is {platform.machine()}")
        return SKIP
    try:
        kernels = analyse(args.executable)
    except (ToolError, subprocess.CalledProcessError, OSError) as error:
        print(f"check_loops: {error}", file=sys.stderr)
        return 2
    except Exception:  # a defect of the check itself is no verdict on the build
        traceback.print_exc()
        print("check_loops: internal error", file=sys.stderr)
        return 2
    failed = False
    for kernel in kernels:
        for fault in kernel.faults:
            print(f"FAIL {kernel.name}: {fault}")
            failed = True
        if not kernel.faults:
            print(f"ok   {kernel.name}: accumulator at {describe(kernel.accumulator)}; "
                  f"{kernel.reads} reads and {kernel.writes} writes of it, "
                  f"{kernel.steps} instructions between the clock calls "
                  f"({kernel.steps / max(kernel.writes, 1):.2f} per update)")
        if args.verbose:
            for line in kernel.periods:
                print(f"       {line}")
            for line in kernel.body:
                print(f"       {line}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
