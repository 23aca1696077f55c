"""Disassembly of a compilation's bytes: each contiguous segment written to a
file and read by binutils' objdump as raw x86-64 (the runtimes' own
disassemblers are not used), by linear sweep restarted at any direct branch
target the sweep ran across; the runtime's comments attached to the
instructions they belong to; computed jumps whose target is proven made
direct. Data inside the code would be misread.
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


# Instructions that write registers they do not name, and those that leave
# straight-line code.
IMPLICIT_WRITERS = ("mul", "div", "idiv", "cpuid", "rdtsc", "syscall", "cqto", "cltd", "cltq",
                    "cwtl", "xchg", "cmpxchg", "xadd", "pop", "rep", "stos", "lods", "movs",
                    "scas", "cmps", "enter", "leave", "xlat", "loop")
NO_FALL_THROUGH = ("jmp", "ret", "hlt", "ud2", "int3")


def constant_after(insn, family, value):
    """The value of the register `family` after `insn`, when it stays a
    constant (`value`: before it, None when not one)."""
    m, operands = insn.mnemonic, insn.operands
    last = operands[-1] if operands else ""
    writes = last[1:] in x86.REGISTERS and x86.REGISTERS[last[1:]][0] == family \
        and not m.startswith(("cmp", "test", "bt", "push")) or m.startswith(IMPLICIT_WRITERS) \
        or insn.is_call and family in x86.CALLER_SAVED
    if not writes:
        return value
    if len(operands) != 2 or last[1:] not in x86.REGISTERS or x86.REGISTERS[last[1:]][1] < 32:
        return None
    source, result = operands[0], None
    match = x86.MEMORY_OPERAND.match(source) if m.startswith("lea") else None
    if m in ("mov", "movabs", "movq", "movl") and source.startswith("$"):
        result = int(source[1:], 0)
    elif match and match[3] == "%rip" and not match[4]:
        result = insn.next + int(match[2] or "0", 0)
    elif match and match[3] and match[3][1:] in x86.REGISTERS \
            and x86.REGISTERS[match[3][1:]][0] == family and not match[4] and value is not None:
        result = value + int(match[2] or "0", 0)
    elif m.rstrip("lq") in ("add", "sub") and source.startswith("$") and value is not None:
        delta = int(source[1:], 0)
        result = value + (delta if m.startswith("add") else -delta)
    if result is None:
        return None
    return result % (1 << x86.REGISTERS[last[1:]][1])  # a 32-bit write clears the upper half


UNSET = object()  # a value not reached yet by the propagation


def constants(instructions, family):
    """The value of the register `family` before each instruction (an
    integer when every way into it that the code shows gives the same
    constant, else None), by forward propagation over the code's edges
    (fall-through, and direct jumps and resolved computed ones)."""
    at = {insn.address: insn for insn in instructions}
    into = {}
    for insn in instructions:
        ways = [] if insn.mnemonic.startswith(NO_FALL_THROUGH) or insn.is_jump and insn.indirect \
            else [insn.next]
        if insn.is_jump and insn.target is not None:
            ways.append(insn.target)
        for way in ways:
            if way in at:
                into.setdefault(way, []).append(insn.address)
    before, after = {}, {}
    for _ in range(len(instructions) + 1):
        changed = False
        for insn in instructions:
            ways = [after[p] for p in into.get(insn.address, [])
                    if after.get(p, UNSET) is not UNSET]
            if not into.get(insn.address):
                value = None  # entered from outside this code: anything
            elif not ways:
                continue
            else:
                value = ways[0] if all(w == ways[0] for w in ways) else None
            if before.get(insn.address, UNSET) != value:
                before[insn.address], changed = value, True
            after[insn.address] = constant_after(insn, family, value)
        if not changed:
            break
    return before


def resolve_computed_jumps(instructions):
    """Makes direct each `jmp *%reg` whose register holds one constant on
    every way into it that the code shows (set by movabs or mov of an
    immediate, lea from the instruction pointer or from the register itself,
    add or sub of a constant: PyPy's bridge returns to its loop that way,
    its recovery stubs leave for the runtime that way). The others stay
    computed: where they go is not known."""
    for _ in range(8):  # a jump made direct adds a way into its target
        jumps = [insn for insn in instructions if insn.is_jump and insn.indirect
                 and len(insn.operands) == 1 and insn.operands[0][1:] in x86.REGISTERS]
        resolved = 0
        for family in sorted({x86.REGISTERS[insn.operands[0][1:]][0] for insn in jumps}):
            before = constants(instructions, family)
            for insn in jumps:
                value = before.get(insn.address)
                if x86.REGISTERS[insn.operands[0][1:]][0] == family and value is not None:
                    insn.target, insn.indirect = value, False
                    insn.notes += (f"computed jump to {value:#x}: the register holds it on every "
                                   "way here",)
                    resolved += 1
        if not resolved:
            break


def conflict(segments):
    """The first address for which two segments give different bytes, or
    None. The listing would judge one of them and the replay place the
    other: such a dump is refused whole."""
    ordered = sorted(segments, key=lambda s: s[0])
    for number, (start, data) in enumerate(ordered):
        for other, more in ordered[number + 1:]:
            if other >= start + len(data):
                break
            overlap = range(other, min(start + len(data), other + len(more)))
            for address in overlap:
                if data[address - start] != more[address - other]:
                    return address
    return None


def disassemble(segments, annotations):
    """Every instruction of the segments, in address order."""
    if shutil.which("objdump") is None:
        raise ToolError("objdump not found (Debian package binutils)")
    beyond = next((start for start, data in segments if start + len(data) > 1 << 64), None)
    if beyond is not None:  # objdump would wrap it round to other addresses
        raise ToolError(f"the dump places code at {beyond:#x}, running beyond the 64-bit address "
                        "space: its code cannot be read")
    clash = conflict(segments)
    if clash is not None:
        raise ToolError(f"the dump gives two different bytes at {clash:#x}: its code cannot "
                        "be read")
    instructions = []
    with tempfile.TemporaryDirectory() as folder:
        for number, (start, data) in enumerate(segments):
            path = os.path.join(folder, f"segment{number}.bin")
            with open(path, "wb") as f:
                f.write(data)
            instructions += sweep(path, start, len(data))
    attach(instructions, annotations)
    resolve_computed_jumps(instructions)
    return instructions
