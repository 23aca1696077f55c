"""Disassembly of a compilation's bytes: each contiguous segment written to a
file and read by binutils' objdump as raw x86-64 (the runtimes' own
disassemblers are not used), by linear sweep restarted at any direct branch
target the sweep ran across; the runtime's comments attached to the
instructions they belong to. Data inside the code would be misread.
"""
import dataclasses
import os
import re
import shutil
import subprocess
import tempfile

from . import x86
from .errors import ToolError


@dataclasses.dataclass
class Insn:
    address: int
    length: int
    text: str
    prefixes: tuple
    mnemonic: str
    operands: list
    target: int = None  # a direct branch's or call's target
    indirect: bool = False
    notes: tuple = ()

    @property
    def next(self):
        return self.address + self.length

    @property
    def is_call(self):
        return self.mnemonic.startswith("call")

    @property
    def is_jump(self):
        return self.mnemonic.startswith(("j", "loop"))

    @property
    def is_conditional(self):
        return self.is_jump and self.mnemonic != "jmp"


OBJDUMP_LINE = re.compile(r"^\s*([0-9a-f]+):\t(.*)$")


def parse_instruction(address, text):
    """One instruction from objdump's AT&T text (length filled in later)."""
    text = re.sub(r"\s+", " ", text.split("#")[0]).strip()
    words = text.split(" ", 1)
    prefixes = []
    while words[0] in x86.PREFIXES and len(words) > 1:
        prefixes.append(words[0])
        words = words[1].split(" ", 1)
    mnemonic, rest = words[0], (words[1] if len(words) > 1 else "")
    mnemonic = {"jmpq": "jmp", "callq": "call", "retq": "ret"}.get(mnemonic, mnemonic)
    insn = Insn(address, 0, text, tuple(prefixes), mnemonic, [])
    if insn.is_jump or insn.is_call:
        if rest.startswith("*"):
            insn.indirect = True
            insn.operands = x86.split_operands(rest[1:])
        elif (match := re.match(r"^(?:0x)?([0-9a-f]+)\b", rest)):
            insn.target = int(match[1], 16)
        return insn
    insn.operands = x86.split_operands(re.sub(r"\s*<[^>]*>$", "", rest))
    return insn


def objdump(path, vma, start=None):
    """objdump's instructions for the bytes in `path` loaded at `vma`, from
    `start` (default: the first byte) to the end."""
    command = ["objdump", "-D", "-b", "binary", "-mi386:x86-64", "-w", "--no-show-raw-insn",
               f"--adjust-vma={vma:#x}"]
    if start is not None:
        command.append(f"--start-address={start:#x}")
    result = subprocess.run(command + [path], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise ToolError(f"objdump failed: {result.stderr.strip()}")
    return [parse_instruction(int(m[1], 16), m[2]) for m in map(OBJDUMP_LINE.match,
                                                                 result.stdout.splitlines()) if m]


def sweep(path, start, size):
    """The segment's instructions by linear sweep, re-synchronised at every
    direct branch target that the sweep ran across (padding that a branch
    jumps into the middle of, code placed among the padding)."""
    piece = {insn.address: insn for insn in objdump(path, start)}
    for _ in range(64):
        ordered = sorted(piece)
        ends = dict(zip(ordered, ordered[1:] + [start + size]))
        stray = sorted({i.target for i in piece.values()
                        if i.target is not None and start <= i.target < start + size
                        and i.target not in piece})
        if not stray:
            break
        target = stray[0]
        run, until = [], start + size
        for insn in objdump(path, start, target):
            if insn.address in piece:
                until = insn.address  # back in step with the first sweep
                break
            run.append(insn)
        # The instructions the first sweep read across these bytes give way.
        for address in ordered:
            if address < until and ends[address] > target:
                del piece[address]
        piece.update((insn.address, insn) for insn in run)
    ordered = sorted(piece)
    for address, following in zip(ordered, ordered[1:] + [start + size]):
        piece[address].length = following - address
    return [piece[a] for a in ordered]


def attach(instructions, annotations):
    """A runtime's comment belongs to the instruction that starts at its
    address. HotSpot's hex listing prints a comment at the 4-byte boundary
    at or before it, so among the instructions starting within 4 bytes it
    goes to the call for a runtime call, to the `test` for a poll, else to
    the first."""
    for address, notes in annotations.items():
        near = [i for i in instructions if address <= i.address < address + 4]
        if not near:
            continue
        text = " ".join(notes)
        owner = (next((i for i in near if i.is_call), None) if "runtime_call" in text else
                 next((i for i in near if i.mnemonic.startswith("test")), None)
                 if "{poll}" in text else None) or near[0]
        owner.notes += tuple(notes)


def disassemble(segments, annotations):
    """Every instruction of the segments, in address order."""
    if shutil.which("objdump") is None:
        raise ToolError("objdump not found (Debian package binutils)")
    instructions = []
    with tempfile.TemporaryDirectory() as folder:
        for number, (start, data) in enumerate(segments):
            path = os.path.join(folder, f"segment{number}.bin")
            with open(path, "wb") as f:
                f.write(data)
            instructions += sweep(path, start, len(data))
    attach(instructions, annotations)
    return instructions
