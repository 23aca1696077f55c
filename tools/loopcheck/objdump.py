"""Reading objdump's disassembly: running `objdump -d` on an executable, and
the listing it prints, split into symbols and parsed into instructions by
the listing's instruction-set layer (`Program.isa`).

The check reads nothing but this listing (`objdump -d -w --no-show-raw-insn`,
one instruction per line), followed by the block elf.py writes of what runs
before main: a saved listing can be checked as well as an executable. Only
the symbols the check reaches are parsed, on demand, since a static build's
listing holds the whole C library.
"""
import dataclasses
import re
import shutil
import subprocess

from .elf import STARTUP_HEADER
from .errors import ToolError
from .insn import symbol_name
from .isa import for_listing, format_line

# What the check reads of an executable: the code, one instruction a line,
# without the bytes.
OBJDUMP_OPTIONS = ["-d", "-w", "--no-show-raw-insn"]


def disassemble(executable, layer):
    """The listing of an executable of the instruction set `layer` reads,
    by the first of its objdump commands that reads it."""
    commands = [command for command in layer.OBJDUMP if shutil.which(command)]
    if not commands:
        raise ToolError(f"{' or '.join(layer.OBJDUMP)} not found ({layer.OBJDUMP_PACKAGE})")
    errors = []
    for command in commands:
        header = subprocess.run([command, "-f", executable], capture_output=True, text=True)
        if header.returncode == 0 and f"file format {layer.OBJDUMP_FORMAT}" in header.stdout:
            return subprocess.run([command, *OBJDUMP_OPTIONS, executable], capture_output=True,
                                  text=True, check=True).stdout
        errors.append(header.stderr.strip() if header.returncode else
                      f"{executable} is not an {layer.NAME} executable")
    raise ToolError(errors[0])


STARTUP_LINE = re.compile(r"^ ((needed|interp|runpath|exports|audit|zero|slot|pltslot) (.+)|"
                          r"(\S+) ([0-9a-f]+)(?: <(.+)>)?)$")
SLOT_LINE = re.compile(r"^([0-9a-f]+) ([0-9a-f]+)(?: <(.+)>)?$")
HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$", re.M)


@dataclasses.dataclass
class Startup:
    """What runs before main, as the listing's block gives it."""
    text: str  # the block itself
    libraries: list  # [(kind, text)]: the loader ("interp"), library paths ("runpath"),
    #                  the shared libraries needed ("needed"), the symbols the executable
    #                  defines for them ("exports"), the auditing libraries the loader
    #                  loads first ("audit")
    constructors: list  # [(kind, address, name or "")]: the code run before main, in order
    zero_slots: list  # the GOT slots a static PIE's start-up code finds 0 ("zero")
    slots: dict = dataclasses.field(default_factory=dict)  # GOT slot -> (value, symbol name
    #                  or ""), where the block says ("slot")
    plt_slots: dict = dataclasses.field(default_factory=dict)  # the same, of the slots
    #                  the PLT's relocations bind ("pltslot")


def parse_startup(text):
    """The block of what runs before main, None when the listing has none."""
    at = text.find(STARTUP_HEADER)
    if at < 0:
        return None
    lines = text[at:].splitlines()
    block, libraries, constructors, zero, slots, plt = [lines[0]], [], [], [], {}, {}
    for line in lines[1:]:
        match = STARTUP_LINE.match(line)
        slot = SLOT_LINE.match(match[3]) if match and match[2] in ("slot", "pltslot") else None
        if not match or (match[2] in ("slot", "pltslot") and not slot):
            break
        block.append(line)
        if slot:
            (plt if match[2] == "pltslot" else slots)[int(slot[1], 16)] = (int(slot[2], 16),
                                                                          slot[3] or "")
        elif match[2] == "zero":
            zero.append(int(match[3], 16))
        elif match[2]:
            libraries.append((match[2], match[3]))
        else:
            constructors.append((match[4], int(match[5], 16), match[6] or ""))
    return Startup("\n".join(block) + "\n", libraries, constructors, zero, slots, plt)


class Program:
    """The disassembled code, split into symbols and parsed on demand by the
    instruction-set layer `isa` (by default the one the listing's file
    format names: isa.for_listing), and what runs before main (`startup`,
    None when the listing does not say)."""

    def __init__(self, disassembly, layer=None):
        self.isa = layer or for_listing(disassembly)
        self.text = disassembly
        self.blocks = sorted((int(m[1], 16), m[2], m.end())
                             for m in HEADER.finditer(disassembly))
        self.starts = {name: start for start, name, _ in self.blocks}
        self.names = {start: name for start, name, _ in self.blocks}
        self.insns = {}
        self.code = {}  # symbol index -> its instructions, once parsed
        self.startup = parse_startup(disassembly)
        self.format_line = format_line(disassembly)  # objdump's, naming the file format

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
                insn = self.isa.parse_line(line)
                if insn is None:
                    continue
                if code:
                    code[-1].next = insn.address
                self.insns[insn.address] = insn
                code.append(insn)
            if code and k + 1 < len(self.blocks):
                code[-1].next = self.blocks[k + 1][0]  # falling off the end of a symbol
            self.isa.resolve_block(self, code)
        return self.code.get(k, [])

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
        return insn.target_name  # a call through the GOT: objdump names the slot

    def calls_own_code(self, insn):
        """Whether a call goes to code in this executable (not a PLT stub or
        the GOT: the C library's own code in a dynamic build)."""
        return (insn.target is not None and "@plt>" not in insn.text
                and self.at(insn.target) is not None)
