"""An instruction as the check reads it from one line of objdump's listing,
whatever the instruction set: the fields every instruction-set layer fills
in, and the questions about control flow each layer's instructions answer
(a call, a jump, a return, whether control goes on). The check's walks and
graphs ask only these.
"""
import dataclasses
import re
from typing import NamedTuple, Optional

# An instruction line of objdump's listing: its address, a tab, the rest.
LINE = re.compile(r"^\s*([0-9a-f]+):\t(.*)$")


def split_line(line):
    """(address, the rest of the line) of an instruction line, None for any
    other line."""
    match = LINE.match(line)
    return (int(match[1], 16), match[2]) if match else None


def split_outside(text, opening, closing):
    """`text` split at the commas that no bracket (a character of `opening`,
    closed by one of `closing`) encloses, each part stripped: the operands
    of an instruction in either instruction set's syntax."""
    parts, depth, current = [], 0, ""
    for char in text:
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
            continue
        depth += char in opening
        depth -= char in closing
        current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def symbol_name(text):
    """`clock_gettime@plt` or `foo@GLIBC_2.17` or `main+0x10` -> the bare name."""
    return re.sub(r"(\+0x[0-9a-f]+)$", "", text or "").split("@")[0]


@dataclasses.dataclass(frozen=True)
class Decoded:
    """What a layer's allowlist (its `decode`) makes of one instruction: the
    operation the layer's interpreter applies and the width it works in,
    or, for an instruction outside the allowlist, why it is refused."""
    op: str = None  # None: not allowed
    width: int = 0  # in bits
    refusal: str = ""  # why it is not allowed, as a fault names it
    condition: str = ""  # the condition code of a conditional branch, select or set

    @property
    def allowed(self):
        return self.op is not None


def refuse(why):
    return Decoded(refusal=why)


@dataclasses.dataclass
class Insn:
    """One instruction. A layer's own class adds what its syntax carries and
    answers the properties below."""
    address: int
    text: str
    mnemonic: str
    operands: list
    target: int = None  # direct jump or call target
    target_name: str = ""  # the symbol objdump names for a target or an address operand
    next: int = None  # the address of the following instruction

    @property
    def is_call(self):
        """A call: control comes back to the next instruction when the
        callee returns."""
        raise NotImplementedError

    @property
    def is_jump(self):
        """Any branch that is not a call, with a target (`target`) or
        through a register or memory (target None)."""
        raise NotImplementedError

    @property
    def is_conditional(self):
        """A branch that goes to its target or on to the next instruction,
        as a condition decides."""
        raise NotImplementedError

    @property
    def is_return(self):
        """A return of any kind (to the caller, from an interrupt or a
        system call, far)."""
        raise NotImplementedError

    @property
    def is_plain_return(self):
        """The return to the caller through the return address the call
        left, which a function's frame is judged by."""
        raise NotImplementedError

    @property
    def stops(self):
        """Control does not go on after it, and it is no jump: a return of
        any kind, a halt, a trap, bytes objdump cannot decode."""
        raise NotImplementedError

    @property
    def falls_through(self):
        """Control may go on to the next instruction (a call counts as
        returning here: whether it does is NoReturn's question)."""
        raise NotImplementedError

    def __str__(self):
        return f"{self.address:x}: {self.text}"


class SystemCall(NamedTuple):
    """A system call instruction: the number it asks for, when it takes
    one from a register and the value there is known (None otherwise);
    `numbered` False for an entry whose number the check does not read at
    all (it is judged a system call the check cannot know)."""
    number: Optional[int]
    numbered: bool = True
