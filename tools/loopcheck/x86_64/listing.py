"""Reading x86-64 code as objdump prints it (`objdump -d -w
--no-show-raw-insn`, AT&T syntax, one instruction a line): an instruction
line parsed into its prefixes, mnemonic, operands and target; what each
kind of instruction does to control flow; and the compiler's return thunk
(-mfunction-return=thunk), a jump to which is a return.
"""
import dataclasses
import re

from ..insn import Insn as Instruction
from ..insn import split_line, split_outside, symbol_name

PREFIXES = {"cs", "ds", "es", "ss", "fs", "gs", "data16", "addr32", "notrack", "bnd", "lock",
            "rep", "repz", "repe", "repnz", "repne", "rex", "rex.W", "rex.B", "rex.R", "rex.X",
            "xacquire", "xrelease"}
COMMENT = re.compile(r"#\s*([0-9a-f]+)(?:\s*<([^>]*)>)?\s*$")

# Instructions after which control does not go on to the next one: returns
# of every kind, halts, undefined instructions and software interrupts (a
# signal's handler, if any, decides what runs next), far jumps and calls.
ENDS = re.compile(r"^(ret|iret|lret|sysret|sysexit|hlt|ud[012]|int|into|int1|int3|icebp|"
                  r"ljmp|lcall|jmpf|callf|\(bad\))")


@dataclasses.dataclass
class Insn(Instruction):
    prefixes: tuple = ()
    rip_address: int = None  # the absolute address of a %rip-relative operand

    @property
    def is_call(self):
        return self.mnemonic.startswith("call")

    @property
    def is_jump(self):
        """Any branch with a target: jmp, jcc, and loop, jrcxz, xbegin."""
        return self.mnemonic.startswith(("j", "loop", "xbegin"))

    @property
    def is_conditional(self):
        return self.mnemonic.startswith("j") and self.mnemonic != "jmp"

    @property
    def is_return(self):
        return self.mnemonic.startswith(("ret", "iret", "lret", "sysret", "sysexit"))

    @property
    def is_plain_return(self):
        return self.mnemonic.startswith("ret")

    @property
    def stops(self):
        return bool(ENDS.match(self.mnemonic))

    @property
    def falls_through(self):
        return not (self.mnemonic == "jmp" or self.stops)


def split_operands(text):
    """The operands of an instruction, split at commas outside parentheses
    ("0x10(%rbx,%rcx,8),%rax" -> two)."""
    return split_outside(text, "(", ")")


def parse_line(line):
    """One instruction line of the listing, or None."""
    split = split_line(line)
    if not split:
        return None
    address, rest_of_line = split
    text = re.sub(r"\s+", " ", rest_of_line.split("#")[0]).strip()
    if not text:
        return None
    if text.startswith("(bad)"):
        # Bytes objdump cannot decode: an instruction of their own, which
        # ends its path (what the processor makes of them is not read).
        return Insn(address, "(bad)", "(bad)", [])
    words = text.split(" ", 1)
    prefixes = []
    while words[0] in PREFIXES and len(words) > 1:
        prefixes.append(words[0])
        words = words[1].split(" ", 1)
    mnemonic, rest = words[0], (words[1] if len(words) > 1 else "")
    mnemonic = {"jmpq": "jmp", "callq": "call", "retq": "ret"}.get(mnemonic, mnemonic)
    insn = Insn(address, text, mnemonic, [], prefixes=tuple(prefixes))
    comment = COMMENT.search(rest_of_line)
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


def what_ends(insn):
    """How an instruction that ends its path is named in a fault."""
    m = insn.mnemonic
    for prefixes, words in ((("iret",), "an interrupt return"), (("lret",), "a far return"),
                            (("sysret", "sysexit"), "a return from a system call"),
                            (("hlt",), "a halt (privileged: it raises a signal)"),
                            (("ud",), "an undefined instruction (it raises SIGILL)"),
                            (("int", "icebp"), "a software interrupt (it raises a signal)"),
                            (("ljmp", "lcall", "jmpf", "callf"), "a far jump or call"),
                            (("(bad)",), "bytes objdump cannot decode (the check cannot "
                                         "read what they do)")):
        if m.startswith(prefixes):
            return words
    return "an instruction that does not go on"


# Symbols the check reads whenever a listing has them: a jump to the return
# thunk is read as a return.
ALWAYS_READ = ("__x86_return_thunk",)


def resolve_block(program, code):
    """A symbol's instructions as the check reads them, once parsed: with
    -mfunction-return=thunk, a jump to the compiler's __x86_return_thunk is
    a return, as the thunk makes it."""
    for insn in code:
        if insn.mnemonic == "jmp" and insn.target_name == "__x86_return_thunk" \
                and insn.target is not None and is_return_thunk(program, insn.target):
            insn.mnemonic, insn.target = "ret", None


def is_return_thunk(program, address):
    """Whether the code at `address` is the compiler's
    __x86_return_thunk exactly: a call over a speculation trap to code
    that drops the address it pushed and returns, which is a return."""
    k = program.block_of(address)
    if k < 0 or program.blocks[k][0] != address or program.blocks[k][1] != "__x86_return_thunk":
        return False
    code = [insn for insn in program.block_code(k) if not insn.mnemonic.startswith("nop")]
    texts = [insn.text for insn in code]
    if len(code) != 6 or texts[1:3] != ["pause", "lfence"] \
            or texts[4:] != ["lea 0x8(%rsp),%rsp", "ret"]:
        return False
    call, trap, jump = code[0], code[1], code[3]
    return (call.mnemonic == "call" and call.target == code[4].address
            and jump.mnemonic == "jmp" and jump.target == trap.address)
