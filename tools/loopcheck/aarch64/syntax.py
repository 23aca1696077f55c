"""objdump's AArch64 text, one line at a time: the address, the mnemonic and
its operands, each typed (a register, an immediate, a shift or extension, a
memory operand, a code address with its symbol, a condition, anything else
kept as its text). What an instruction does with them is instructions.py's.

It reads `aarch64-linux-gnu-objdump -d -w --no-show-raw-insn` output:

     b40:	bl	950 <clock_gettime@plt>
     b6c:	b.ne	b5c <main+0x48>  // b.any
     b38:	mov	w0, #0x1                   	// #1
     940:	stp	x29, x30, [sp, #-96]!
"""
import dataclasses
import re

from ..insn import split_outside
from .registers import general, is_vector

LINE = re.compile(r"^\s*([0-9a-f]+):\t([^\t]*)(?:\t(.*))?$")
LABEL = re.compile(r"^([0-9a-f]+)(?: <([^>]*)>)?$")
IMMEDIATE = re.compile(r"^#(-?(?:0x[0-9a-f]+|\d+))$")
SHIFT = re.compile(r"^(lsl|lsr|asr|ror|msl)(?: #(\d+|0x[0-9a-f]+))?$")
EXTEND = re.compile(r"^([us]xt[bhwx])(?: #(\d+))?$")
# The condition codes, with the aliases objdump may print (hs, lo).
CONDITIONS = ("eq", "ne", "cs", "cc", "mi", "pl", "vs", "vc", "hi", "ls", "ge", "lt", "gt",
              "le", "al", "nv")
CONDITION_ALIASES = {"hs": "cs", "lo": "cc"}
# The instructions that take a code or data address as an operand: only
# there is a bare hexadecimal word an address (elsewhere `c` is bti's
# operand, `c7` a system instruction's).
ADDRESSED = re.compile(r"^(?:b|bl|bc?\.\w+|cbn?z|tbn?z|adrp?|ldr\w*|prfu?m)$")


@dataclasses.dataclass(frozen=True)
class Reg:
    """A register: a general one has a family (x0..x30, sp, zr) and a
    width; any other (floating-point, SIMD, SVE) has neither."""
    name: str
    family: str = ""
    width: int = 0

    @property
    def is_general(self):
        return bool(self.family)

    def __str__(self):
        return self.name


@dataclasses.dataclass(frozen=True)
class Imm:
    value: int

    def __str__(self):
        return f"#{self.value:#x}"


@dataclasses.dataclass(frozen=True)
class Shift:
    """A shifted register's shift, or movk's `lsl #16`."""
    kind: str  # lsl, lsr, asr, ror, msl
    amount: int


@dataclasses.dataclass(frozen=True)
class Extend:
    """An extended register's extension (uxtw, sxtw #2, ...)."""
    kind: str
    amount: int


@dataclasses.dataclass(frozen=True)
class Mem:
    """A memory operand [base, offset | index{, extend #shift}]{!}.

    A post-index step, written after the brackets (`[sp], #96`), is folded
    in: `post` holds it and `offset` stays 0. `pre` is the `!` of
    pre-indexing: the base register is written back with its address."""
    base: Reg
    offset: int = 0
    index: Reg = None
    extend: str = ""  # "lsl", "uxtw", "sxtw", "sxtx", "uxtx" for an index
    shift: int = 0
    pre: bool = False
    post: object = None  # the post-index step: an int, a Reg, or None
    scaled: str = ""  # an operand the model cannot turn into bytes ("mul vl")

    @property
    def writeback(self):
        return self.pre or self.post is not None


@dataclasses.dataclass(frozen=True)
class Label:
    """A code or data address as objdump prints it, with its symbol."""
    address: int
    name: str = ""


@dataclasses.dataclass(frozen=True)
class Cond:
    code: str


@dataclasses.dataclass(frozen=True)
class Other:
    """Anything else: a system register, a barrier or prefetch option, a
    register list, a predicate, a floating-point immediate."""
    text: str


def split_operands(text):
    """The operands of an instruction, split at commas outside brackets
    and braces."""
    return split_outside(text, "[{", "]}")


def number(text):
    return int(text, 0)


def register(text):
    found = general(text)
    if found:
        return Reg(text, *found)
    if is_vector(text):
        return Reg(text)
    return None


def memory(text):
    """A bracketed operand, None when it is not one the model reads."""
    match = re.match(r"^\[([^\]]*)\](!?)$", text)
    if not match:
        return None
    parts = [part.strip() for part in match[1].split(",")]
    base = register(parts[0])
    if base is None:
        return None
    fields = {"base": base, "pre": bool(match[2])}
    rest = parts[1:]
    if rest and IMMEDIATE.match(rest[0]):
        fields["offset"] = number(IMMEDIATE.match(rest[0])[1])
        rest = rest[1:]
        if rest == ["mul vl"]:
            fields["scaled"], rest = "mul vl", []
    elif rest and register(rest[0]) is not None:
        fields["index"] = register(rest[0])
        rest = rest[1:]
        if rest:
            shift = SHIFT.match(rest[0]) or EXTEND.match(rest[0])
            if shift is None or len(rest) > 1:
                return None
            fields["extend"], fields["shift"] = shift[1], number(shift[2] or "0")
            rest = []
    if rest:
        return None
    return Mem(**fields)


def operand(text):
    """One operand, typed (an address only with its symbol: see
    parse_line)."""
    reg = register(text)
    if reg is not None:
        return reg
    imm = IMMEDIATE.match(text)
    if imm:
        return Imm(number(imm[1]))
    for pattern, kind in ((SHIFT, Shift), (EXTEND, Extend)):
        match = pattern.match(text)
        if match and (kind is Extend or match[2] is not None):
            return kind(match[1], number(match[2] or "0"))
    if text in CONDITIONS or text in CONDITION_ALIASES:
        return Cond(CONDITION_ALIASES.get(text, text))
    label = LABEL.match(text)
    if label and label[2]:
        return Label(int(label[1], 16), label[2] or "")
    mem = memory(text)
    if mem is not None:
        return mem
    return Other(text)


@dataclasses.dataclass
class Line:
    """One instruction line: its address, its text (whitespace squeezed,
    comment dropped), its mnemonic and typed operands. `undecoded` marks
    bytes objdump could not decode (`.inst 0x...`, `(bad)`)."""
    address: int
    text: str
    mnemonic: str
    operands: list
    undecoded: bool = False


def parse_line(line):
    """One line of objdump's AArch64 listing, None for any other line."""
    match = LINE.match(line)
    if not match:
        return None
    address, mnemonic = int(match[1], 16), match[2].strip()
    rest = re.split(r"\s*(?://|;)", match[3] or "", maxsplit=1)[0].strip()
    if not mnemonic:
        return None
    text = re.sub(r"\s+", " ", f"{mnemonic} {rest}".strip())
    if mnemonic in (".inst", ".word", "(bad)") or mnemonic.startswith("."):
        return Line(address, text, mnemonic, [], undecoded=True)
    texts = split_operands(rest)
    # A post-index step follows the brackets as an operand of its own.
    if len(texts) >= 2 and texts[-2].endswith("]") and memory(texts[-2]) is not None \
            and (IMMEDIATE.match(texts[-1]) or register(texts[-1]) is not None):
        step = operand(texts[-1])
        mem = dataclasses.replace(memory(texts[-2]),
                                  post=step.value if isinstance(step, Imm) else step)
        return Line(address, text, mnemonic, [operand(t) for t in texts[:-2]] + [mem])
    operands = [operand(t) for t in texts]
    # An instruction that takes an address has it last, with or without a
    # symbol: there a bare hexadecimal word is the address, not a register
    # (b0, d1) or a condition (cc).
    label = LABEL.match(texts[-1]) if texts and ADDRESSED.match(mnemonic) else None
    if label:
        operands[-1] = Label(int(label[1], 16), label[2] or "")
    return Line(address, text, mnemonic, operands)
