"""Reading objdump's disassembly: running `objdump -d` on an executable, and
the listing it prints, split into symbols and parsed into instructions.

The check reads nothing but this listing (`objdump -d -w --no-show-raw-insn`,
AT&T syntax, one instruction per line), followed by the block elf.py writes
of what runs before main: a saved listing can be checked as well as an
executable. Only the symbols the check reaches are parsed, on demand, since
a static build's listing holds the whole C library.
"""
import dataclasses
import re
import shutil
import subprocess

from .elf import STARTUP_HEADER
from .errors import ToolError

# What the check reads of an executable: the code, one instruction a line,
# without the bytes.
OBJDUMP = ["objdump", "-d", "-w", "--no-show-raw-insn"]


def disassemble(executable):
    """The listing of an x86-64 executable."""
    if shutil.which("objdump") is None:
        raise ToolError("objdump not found (binutils)")
    header = subprocess.run(["objdump", "-f", executable], capture_output=True, text=True)
    if header.returncode != 0:
        raise ToolError(header.stderr.strip())
    if "x86-64" not in header.stdout:
        raise ToolError(f"{executable} is not an x86-64 executable")
    return subprocess.run([*OBJDUMP, executable], capture_output=True, text=True,
                          check=True).stdout


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
STARTUP_LINE = re.compile(r"^ ((needed|interp|runpath|exports|audit) (.+)|(\S+) ([0-9a-f]+)(?: <(.+)>)?)$")
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
    """One instruction line of the listing, or None."""
    match = LINE.match(line)
    if not match:
        return None
    text = re.sub(r"\s+", " ", match[2].split("#")[0]).strip()
    if not text:
        return None
    if text.startswith("(bad)"):
        # Bytes objdump cannot decode: an instruction of their own, which
        # ends its path (what the processor makes of them is not read).
        return Insn(int(match[1], 16), "(bad)", (), "(bad)", [])
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


@dataclasses.dataclass
class Startup:
    """What runs before main, as the listing's block gives it."""
    text: str  # the block itself
    libraries: list  # [(kind, text)]: the loader ("interp"), library paths ("runpath"),
    #                  the shared libraries needed ("needed"), the symbols the executable
    #                  defines for them ("exports"), the auditing libraries the loader
    #                  loads first ("audit")
    constructors: list  # [(kind, address, name or "")]: the code run before main, in order


def parse_startup(text):
    """The block of what runs before main, None when the listing has none."""
    at = text.find(STARTUP_HEADER)
    if at < 0:
        return None
    lines = text[at:].splitlines()
    block, libraries, constructors = [lines[0]], [], []
    for line in lines[1:]:
        match = STARTUP_LINE.match(line)
        if not match:
            break
        block.append(line)
        if match[2]:
            libraries.append((match[2], match[3]))
        else:
            constructors.append((match[4], int(match[5], 16), match[6] or ""))
    return Startup("\n".join(block) + "\n", libraries, constructors)


class Program:
    """The disassembled code, split into symbols and parsed on demand, and
    what runs before main (`startup`, None when the listing does not say)."""

    def __init__(self, disassembly):
        self.text = disassembly
        self.blocks = sorted((int(m[1], 16), m[2], m.end())
                             for m in HEADER.finditer(disassembly))
        self.starts = {name: start for start, name, _ in self.blocks}
        self.names = {start: name for start, name, _ in self.blocks}
        self.insns = {}
        self.code = {}  # symbol index -> its instructions, once parsed
        self.startup = parse_startup(disassembly)

    def block_of(self, address):
        lo, hi = 0, len(self.blocks)
        while lo < hi:
            mid = (lo + hi) // 2
            if self.blocks[mid][0] <= address:
                lo = mid + 1
            else:
                hi = mid
        return lo - 1

    def block_end(self, k):
        """Where symbol k's code ends in the text: at the first empty line."""
        end = self.text.find("\n\n", self.blocks[k][2])
        return end if end >= 0 else len(self.text)

    def block_text(self, k):
        """Symbol k's part of the listing: its header line and its code."""
        start = self.text.rfind("\n", 0, self.blocks[k][2]) + 1
        return self.text[start:self.block_end(k)].rstrip("\n")

    def block_code(self, k):
        """The instructions of symbol k, in address order."""
        if k not in self.code and k >= 0:
            self.code[k] = code = []
            chunk = self.text[self.blocks[k][2]:self.block_end(k)]
            for line in chunk.splitlines():
                insn = parse_line(line)
                if insn is None:
                    continue
                if code:
                    code[-1].next = insn.address
                self.insns[insn.address] = insn
                code.append(insn)
            if code and k + 1 < len(self.blocks):
                code[-1].next = self.blocks[k + 1][0]  # falling off the end of a symbol
            for insn in code:
                if insn.mnemonic == "jmp" and insn.target_name == "__x86_return_thunk" \
                        and insn.target is not None and self.is_return_thunk(insn.target):
                    # -mfunction-return=thunk: a return, as the thunk makes it.
                    insn.mnemonic, insn.target = "ret", None
        return self.code.get(k, [])

    def is_return_thunk(self, address):
        """Whether the code at `address` is the compiler's
        __x86_return_thunk exactly: a call over a speculation trap to code
        that drops the address it pushed and returns, which is a return."""
        k = self.block_of(address)
        if k < 0 or self.blocks[k][0] != address or self.blocks[k][1] != "__x86_return_thunk":
            return False
        code = [insn for insn in self.block_code(k) if not insn.mnemonic.startswith("nop")]
        texts = [insn.text for insn in code]
        if len(code) != 6 or texts[1:3] != ["pause", "lfence"] \
                or texts[4:] != ["lea 0x8(%rsp),%rsp", "ret"]:
            return False
        call, trap, jump = code[0], code[1], code[3]
        return (call.mnemonic == "call" and call.target == code[4].address
                and jump.mnemonic == "jmp" and jump.target == trap.address)

    def at(self, address):
        """The instruction at `address`, None when no parsed code starts there."""
        if address not in self.insns:
            self.block_code(self.block_of(address))
        return self.insns.get(address)

    def symbol_at(self, address):
        """The name of the symbol holding `address`."""
        k = self.block_of(address)
        return self.blocks[k][1] if k >= 0 else "?"

    def callee(self, insn):
        """The bare name of the function a call (or jump) goes to."""
        if insn.target is not None:
            return symbol_name(self.names.get(insn.target, insn.target_name)) or insn.target_name
        return insn.target_name  # call *x(%rip) through the GOT: objdump names the slot

    def calls_own_code(self, insn):
        """Whether a call goes to code in this executable (not a PLT stub or
        the GOT: the C library's own code in a dynamic build)."""
        return (insn.target is not None and "@plt>" not in insn.text
                and self.at(insn.target) is not None)
