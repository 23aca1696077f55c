#!/usr/bin/env python3
"""jit_loops: show what a JIT compiler made of a counterpart's loops, from the
runtime's own code dump, and flag what breaks the benchmark's rule (one load
and one store of the accumulator per iteration, no fence).

    tools/jit_loops.py java [--classpath DIR] [--main CLASS] [--warmup N] [options]
    tools/jit_loops.py node [--script FILE] [--warmup N] [options]
    tools/jit_loops.py dump FILE [options]

`java` runs the Java counterpart (default: JitBench from build/jit) under
HotSpot's -XX:CompileCommand=print, which prints each compiled method's
machine code as hex when no disassembler plug-in (hsdis) is loaded; `node`
runs the JavaScript counterpart under V8's --print-opt-code; `dump` reads a
dump saved earlier with --save. The counterpart runs its real count, as in a
measurement. Neither runtime's disassembler is used: the bytes are taken from
the dump and disassembled with binutils' objdump (linear sweep, restarted at
any branch target it ran across).

For each kernel (the methods or functions named inc, arith and branch) the
tool reads every compilation in the highest tier printed (C2, TurboFan): a
cold run times the on-stack-replaced code, a warm one may time a whole-method
compilation, so each must keep the rule (--all: every tier). In each, the
loops are the backward branches, grouped by their target (the head); a
loop's paths run from the head back to it, forward through the code except
for out-of-line blocks jumping back into the loop. The hottest loop is
picked among the innermost ones (no path passes another loop's backward
branch) as the one running the most iterations per trip (the unrolled main
loop rather than its pre- and post-loops), then the longest; the others are
listed, not judged. For every path the tool lists the memory accesses per
iteration: per trip, divided by the advance of the loop's index (a register
that advances by a constant and decides a branch, followed symbolically,
with loaded values named by their address). Paths through a call, and paths
that leave the loop by its bound test and come back into it (the outer trip
of a strip-mined loop, once per strip), are shown as slow and not judged.

It flags, on the judged paths of the hottest loop:

  rule   the accumulator (the location both loaded and stored there) not
         loaded once and stored once per iteration: kept in a register (no
         store in the loop, or no loop left in any compiled code of the
         kernel), the store carried to the next iteration (no load), or
         more than one access; any other store (extra stores, spills,
         pushes, a call's return address); a fence (mfence, lfence, sfence)
         or a locked instruction (lock prefix, xchg with memory);
  cost   safepoint and interrupt polls (a load through the runtime's thread
         or isolate register, a `test` that only touches a poll page, a
         compare of the stack pointer with a limit); other loads (object
         headers, lengths, data pointers reloaded every iteration); calls.

Exit status: 0 when every kernel's hottest loop keeps the rule (costs are
reported, not failed), 1 when one breaks it, 2 on a usage or tool error
(the runtime failed, no compiled code for a kernel, objdump missing).

This is a diagnostic, not a proof. It reads the code of one run as printed,
not what ran during the timed stretch: a cold run spends part of it in the
interpreter and in lower tiers (--all shows them), and code may be replaced
after the dump. It picks the hot loop by its shape, not by a profile, and
judges only it. It does not see what a call does, nor stores that reach the
accumulator through an address it cannot relate (they count as extra
stores), and it tells locations apart by symbolic address along one path.
Iterations per trip come from the index's advance: an index kept scaled (a
tagged integer advancing by 2) halves the counts, and with no index found
the counts are per trip, said so. A slow path's faults are not judged. Data
inside the code would be misread by the disassembly.
"""
import argparse
import dataclasses
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

from loopcheck import objdump as x86_listing
from loopcheck import state as x86_state
import report

KERNEL_METHODS = {name: name.split()[0].lower() for name in report.KERNEL_NAMES}  # "inc", ...
MAX_PATHS = 4096  # paths through one loop from its head back to it
TIMEOUT = 600.0  # seconds for one dumping run of a counterpart
# The register each runtime keeps its thread (HotSpot) or isolate roots (V8)
# in: loads through it inside a loop are poll words, stack limits and the like.
RUNTIME_REGISTER = {"HotSpot": "r15", "V8": "r13"}
# Words in a call's annotation that mark it as leaving the compiled code for
# good (a deoptimisation): such a call has no way back into the loop.
NO_RETURN_WORDS = ("UncommonTrapBlob", "DeoptimizationBlob", "deopt reason", "Deoptimize",
                   "Abort")


SAVED_HEADER = "jit_loops.py dump of "  # the first line of a saved dump, then the origin


class ToolError(Exception):
    pass


# ------------------------------------------------------------ code dumps

@dataclasses.dataclass
class Compilation:
    """One compiled version of a kernel, as the runtime printed it."""
    runtime: str  # "HotSpot" or "V8"
    method: str  # as printed: "JitBench::inc", "inc"
    kernel: str  # "Inc loop", ...
    description: str  # tier, on-stack replacement, compile id
    segments: list  # [(start address, bytes)], each contiguous
    annotations: dict  # address -> [the runtime's comments at it]
    text: str  # the lines to save
    tier: int = 0  # higher is more optimised


HOTSPOT_HEADER = re.compile(r"^=+ (\S+)-compiled nmethod =+$", re.M)
HOTSPOT_METHOD = re.compile(
    r"^Compiled method \((?P<compiler>\w+)\)\s+\d+\s+(?P<id>\d+)\s+(?P<flags>[%sb!n ]*?)\s*"
    r"(?P<tier>\d)\s+(?P<name>\S+)(?:\s+@\s+(?P<bci>\d+))?\s+\(\d+ bytes\)", re.M)
HOTSPOT_BYTES = re.compile(r"^\s*0x([0-9a-f]+): ((?:[0-9a-f]{2}(?:[0-9a-f]{2})?(?: \| | |$))+)\s*$")
HOTSPOT_COMMENT = re.compile(r"^\s*0x([0-9a-f]+): ;(.*)$")
HOTSPOT_CONTINUED = re.compile(r"^\s+;(.*)$")
HOTSPOT_SECTION = re.compile(r"^\[(Verified Entry Point|Entry Point|Stub Code|Exception Handler|"
                             r"Deopt Handler Code|Deopt MH Handler Code)\]")

V8_BEGIN = "--- Optimized code ---"
V8_END = "--- End code ---"
V8_FIELD = re.compile(r"^(\w+) = (.*)$")
V8_INSTRUCTION = re.compile(r"^0x([0-9a-f]+)\s+([0-9a-f]+)\s+([0-9a-f]+)(?:\s+(.*))?$")
V8_CONTINUED = re.compile(r"^\s+;;\s*(.*)$")
V8_TIERS = {"MAGLEV": 1, "TURBOFAN": 2}


def kernel_of(method):
    """The kernel whose method `method` is ("JitBench::inc" -> "Inc loop"), or None."""
    short = re.split(r"::|\.", method)[-1]
    return next((k for k, m in KERNEL_METHODS.items() if m == short), None)


class Segments:
    """Collects bytes at addresses into contiguous segments."""

    def __init__(self):
        self.segments = []

    def add(self, address, data):
        if self.segments:
            start, chunk = self.segments[-1]
            if start + len(chunk) == address:
                chunk.extend(data)
                return
        self.segments.append((address, bytearray(data)))

    def cut(self):
        """The next bytes start a new segment (a new section of the code)."""
        if self.segments and self.segments[-1][1]:
            self.segments.append((0, bytearray()))

    def result(self):
        return [(start, bytes(chunk)) for start, chunk in self.segments if chunk]


def parse_hotspot(text):
    """Every compilation of a kernel in HotSpot's print output."""
    found = []
    headers = list(HOTSPOT_HEADER.finditer(text))
    for number, header in enumerate(headers):
        end = headers[number + 1].start() if number + 1 < len(headers) else len(text)
        block = text[header.start():end]
        close = block.find("[/MachCode]")
        if close < 0:
            continue  # cut off: no complete code
        block = block[:close + len("[/MachCode]")]
        method = HOTSPOT_METHOD.search(block)
        if not method or not kernel_of(method["name"]):
            continue
        segments, annotations, last = Segments(), {}, None
        for line in block.splitlines():
            if HOTSPOT_SECTION.match(line):
                segments.cut()
            elif (match := HOTSPOT_BYTES.match(line)):
                segments.add(int(match[1], 16), bytes.fromhex(re.sub(r"[ |]", "", match[2])))
            elif (match := HOTSPOT_COMMENT.match(line)):
                last = int(match[1], 16)
                annotations.setdefault(last, []).append(match[2].strip())
            elif last is not None and (match := HOTSPOT_CONTINUED.match(line)):
                annotations[last].append(match[1].strip())
        osr = "%" in method["flags"]
        description = (f"{method['compiler']}, tier {method['tier']}, "
                       + (f"on-stack replacement at bci {method['bci']}, " if osr else "")
                       + f"compile id {method['id']}")
        found.append(Compilation("HotSpot", method["name"], kernel_of(method["name"]),
                                 description, segments.result(), annotations, block + "\n",
                                 int(method["tier"])))
    return found


def parse_v8(text):
    """Every optimised code object of a kernel in V8's --print-opt-code output."""
    found = []
    position = 0
    while (begin := text.find(V8_BEGIN, position)) >= 0:
        end = text.find(V8_END, begin)
        if end < 0:
            break  # cut off
        position = end + len(V8_END)
        block = text[begin:position]
        fields, segments, annotations, last = {}, Segments(), {}, None
        kept, listing = [], []  # header lines; [address, offset, bytes] of the code
        in_code = False
        for line in block.splitlines():
            if (match := V8_INSTRUCTION.match(line)):
                in_code = True
                last = int(match[1], 16)
                segments.add(last, bytes.fromhex(match[3]))
                listing.append((last, match[2], match[3]))
                words = match[4] or ""
                if ";;" in words:
                    annotations.setdefault(last, []).append(words.split(";;", 1)[1].strip())
                if "(" in words.split(";;")[0]:  # a named target: "(CEntry_...)"
                    annotations.setdefault(last, []).append(words.split(";;")[0].strip())
            elif in_code and last is not None and (match := V8_CONTINUED.match(line)):
                annotations[last].append(match[1])
            elif in_code and not line.strip():
                in_code = False  # the instructions end at the first empty line
                last = None
            elif not in_code and (match := V8_FIELD.match(line)) and not segments.segments:
                fields[match[1]] = match[2]
                kept.append(line)
            elif line.startswith("Instructions"):
                kept.append(line)
        # What a saved dump keeps: the header, the bytes and the comments
        # (V8's own disassembly text is not used).
        code_lines = [f"0x{address:x}  {offset}  {data}" + (
            "  ;; " + " | ".join(annotations[address]) if address in annotations else "")
            for address, offset, data in listing]
        text_kept = "\n".join([V8_BEGIN] + kept + code_lines + ["", V8_END]) + "\n"
        name = fields.get("name", "")
        if not kernel_of(name) or not segments.segments:
            continue
        description = ", ".join(f"{k} {fields[k]}" for k in ("kind", "optimization_id", "osr")
                                if k in fields)
        found.append(Compilation("V8", name, kernel_of(name), description, segments.result(),
                                 annotations, text_kept, V8_TIERS.get(fields.get("kind"), 0)))
    return found


def parse_dump(text):
    """The kernels' compilations in a dump of either runtime, in print order."""
    if HOTSPOT_HEADER.search(text):
        return parse_hotspot(text)
    if V8_BEGIN in text:
        return parse_v8(text)
    return []


# ---------------------------------------------------------- disassembly

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
    while words[0] in x86_listing.PREFIXES and len(words) > 1:
        prefixes.append(words[0])
        words = words[1].split(" ", 1)
    mnemonic, rest = words[0], (words[1] if len(words) > 1 else "")
    mnemonic = {"jmpq": "jmp", "callq": "call", "retq": "ret"}.get(mnemonic, mnemonic)
    insn = Insn(address, 0, text, tuple(prefixes), mnemonic, [])
    if insn.is_jump or insn.is_call:
        if rest.startswith("*"):
            insn.indirect = True
            insn.operands = x86_listing.split_operands(rest[1:])
        elif (match := re.match(r"^(?:0x)?([0-9a-f]+)\b", rest)):
            insn.target = int(match[1], 16)
        return insn
    insn.operands = x86_listing.split_operands(re.sub(r"\s*<[^>]*>$", "", rest))
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


# ------------------------------------------------------------ the graph

def no_return(insn):
    return insn.is_call and any(word in note for note in insn.notes for word in NO_RETURN_WORDS)


def successors(insn, code):
    """Addresses control may reach next from `insn` within `code`."""
    m = insn.mnemonic
    if m in ("ret", "hlt", "int3", "ud2", "(bad)") or m.startswith(("ret", "ud")) or no_return(insn):
        return []
    if insn.is_jump:
        targets = [] if insn.indirect else [insn.target]
        if insn.is_conditional:
            targets.append(insn.next)
        return [t for t in targets if t in code]
    return [insn.next] if insn.next in code else []


@dataclasses.dataclass
class Loop:
    head: int
    latches: list  # addresses of the backward branches to the head
    paths: list = dataclasses.field(default_factory=list)  # [Path]
    truncated: bool = False

    @property
    def body(self):
        return {a for path in self.paths for a in path.addresses}


def find_loops(code):
    """One loop per target of a backward branch (its head), with every
    backward branch to it (its latches)."""
    heads = {}
    for insn in code.values():
        if insn.is_jump and not insn.indirect and insn.target in code \
                and insn.target <= insn.address:
            heads.setdefault(insn.target, []).append(insn.address)
    return [Loop(head, sorted(latches)) for head, latches in sorted(heads.items())]


def reach(starts, step, stop):
    seen, todo = set(starts), list(starts)
    while todo:
        node = todo.pop()
        if node == stop:
            continue
        for other in step(node):
            if other not in seen:
                seen.add(other)
                todo.append(other)
    return seen


def walk_paths(loop, code, runtime, predecessors):
    """Every simple path from the loop's head back to it through one of its
    latches. A path runs forward in the code, except for jumps back to a
    point inside the loop past its head (an out-of-line block returning);
    a jump to the head or before it is another loop's latch."""
    last = max(loop.latches)
    useful = reach(loop.latches, lambda a: predecessors.get(a, []), loop.head)
    trail, on_trail, cycles = [], set(), {}

    def returns_into_loop(jump, target):
        """A backward jump to a point past the head is an out-of-line block
        returning into this loop, unless it closes a loop of its own: when
        its target runs forward, without the head, into the jump again (the
        outer loop of a strip-mined pair, re-entering the inner loop)."""
        if not loop.head < target <= last:
            return False
        if target not in cycles:
            cycles[target] = reach([target], lambda a: [s for s in successors(code[a], code)
                                                        if s > a], loop.head)
        return jump not in cycles[target]

    def follow(address):
        if len(loop.paths) >= MAX_PATHS:
            loop.truncated = True
            return
        trail.append(address)
        on_trail.add(address)
        insn = code[address]
        for successor in successors(insn, code):
            if successor == loop.head:
                if address in loop.latches and insn.is_jump and insn.target == loop.head:
                    loop.paths.append(evaluate(list(trail), code, runtime, loop))
            elif successor in useful and successor not in on_trail and (
                    successor > address or returns_into_loop(address, successor)):
                follow(successor)
        trail.pop()
        on_trail.discard(address)

    follow(loop.head)


def innermost(loops):
    """The loops none of whose paths passes by another loop's latch (a
    loop that does encloses that one). A backward jump with no path from
    its target back to it (an out-of-line block jumping back into a loop)
    is no loop."""
    latch_of = {latch: loop for loop in loops if loop.paths for latch in loop.latches}

    def encloses(loop):
        return any(latch_of.get(a) not in (None, loop)
                   for path in loop.paths for a in path.addresses[:-1])

    return [loop for loop in loops if loop.paths and not encloses(loop)]


# ---------------------------------------------------- symbolic registers

class Lin:
    """An integer as c + sum(coefficient * symbol): register values at the
    loop head, loaded values (named by their address) and unknowns."""
    __slots__ = ("const", "terms")

    def __init__(self, const=0, terms=None):
        self.const = const
        self.terms = {s: c for s, c in (terms or {}).items() if c}

    @staticmethod
    def symbol(name):
        return Lin(0, {name: 1})

    def __add__(self, other):
        terms = dict(self.terms)
        for s, c in other.terms.items():
            terms[s] = terms.get(s, 0) + c
        return Lin(self.const + other.const, terms)

    def scale(self, k):
        return Lin(self.const * k, {s: c * k for s, c in self.terms.items()})

    def key(self):
        parts = [f"{c}*{s}" if c != 1 else s for s, c in sorted(self.terms.items())]
        text = " + ".join(parts)
        if not parts:
            return f"{self.const:#x}"
        if self.const:
            text += f" {'-' if self.const < 0 else '+'} {abs(self.const):#x}"
        return text

    def minus_symbols(self, other):
        """self - other when both have the same terms: the constant difference, else None."""
        return self.const - other.const if self.terms == other.terms else None


_unknowns = [0]


def unknown():
    _unknowns[0] += 1
    return Lin.symbol(f"?{_unknowns[0]}")


MEMORY_OPERAND = re.compile(r"^(?:%([a-z]s):)?(-?0x[0-9a-f]+|-?\d+)?(?:\((%[a-z0-9]+)?"
                            r"(?:,(%[a-z0-9]+))?(?:,(\d))?\))?$")
NO_ACCESS = ("lea", "nop", "prefetch", "endbr", "clflush", "clwb")
READ_ONLY = ("cmp", "test", "bt", "ucomis", "comis", "vucomis", "vcomis", "ptest", "vptest")
WRITE_ONLY = re.compile(r"^(mov\w*|set\w+|cvt\w*|vmov\w*|vcvt\w*|pop\w?|stos\w?|movnt\w*)$")
MOVE_READS = re.compile(r"^(movz|movs[bwl]|movslq|movabs)")


class Machine:
    """Registers along one path, each a Lin (or None: not yet seen)."""

    def __init__(self):
        self.regs = {}

    def get(self, name):
        family, width, offset = x86_state.REGISTERS[name]
        if family not in self.regs:
            self.regs[family] = Lin.symbol(f"{family}@head")
        if offset or width < 32:
            return unknown()
        return self.regs[family]

    def set(self, name, value):
        family, width, offset = x86_state.REGISTERS[name]
        self.regs[family] = value if width >= 32 and not offset else unknown()

    def value(self, operand):
        """An operand's value: a constant, a register's, or a load's."""
        if operand.startswith("$"):
            try:
                return Lin(int(operand[1:], 0))
            except ValueError:
                return unknown()
        if operand.startswith("%") and operand[1:] in x86_state.REGISTERS:
            return self.get(operand[1:])
        address = self.address(operand)
        return Lin.symbol(f"M[{address.key()}]") if address else unknown()

    def address(self, operand, insn=None):
        """The address a memory operand names, or None."""
        match = MEMORY_OPERAND.match(operand)
        if not match:
            return None
        segment, disp, base, index, scale = match.groups()
        value = Lin(int(disp, 0) if disp else 0)
        if segment in ("fs", "gs"):
            value = value + Lin.symbol(f"{segment}@base")
        if base == "%rip":
            return Lin(insn.next + value.const if insn else value.const)
        for register, k in ((base, 1), (index, int(scale or 1))):
            if register:
                if register[1:] not in x86_state.REGISTERS:
                    return None
                value = value + self.get(register[1:]).scale(k)
        return value


def is_memory(operand):
    return x86_state.is_memory(operand) and not operand.startswith("$")


@dataclasses.dataclass
class Access:
    address: int  # the instruction's
    location: str  # the symbolic address
    form: str  # "[reg+disp]", "[reg+reg]", "RIP-relative", ...
    reads: int
    writes: int
    kind: str = "other"  # "accumulator", "poll", "fence", "other"
    why: str = ""


def address_form(operand):
    match = MEMORY_OPERAND.match(operand)
    if not match:
        return "?"
    segment, disp, base, index, _ = match.groups()
    if base == "%rip":
        return "RIP-relative"
    if segment in ("fs", "gs"):
        return f"{segment}-relative"
    if base and index:
        return "[reg+reg*scale+disp]" if disp else "[reg+reg*scale]"
    if base or index:
        return "[reg+disp]" if disp else "[reg]"
    return "absolute"


def operand_accesses(insn):
    """(operand, reads, writes) for each memory operand of `insn`."""
    m, operands = insn.mnemonic, insn.operands
    if m.startswith(NO_ACCESS) or insn.is_jump or insn.is_call:
        return []
    found = []
    for k, operand in enumerate(operands):
        if not is_memory(operand):
            continue
        last = k == len(operands) - 1
        if m.startswith(READ_ONLY) or not last or MOVE_READS.match(m) and not last:
            found.append((operand, 1, 0))
        elif m.startswith("push"):
            found.append((operand, 1, 0))
        elif WRITE_ONLY.match(m) and not MOVE_READS.match(m):
            found.append((operand, 0, 1))
        elif MOVE_READS.match(m):
            found.append((operand, 1, 0))
        else:
            found.append((operand, 1, 1))
    return found


def fence_kind(insn):
    if "lock" in insn.prefixes:
        return "locked instruction (lock prefix): a full fence"
    if re.match(r"^[lms]fence$", insn.mnemonic):
        return f"fence ({insn.mnemonic})"
    if insn.mnemonic.startswith("xchg") and any(is_memory(op) for op in insn.operands):
        return "xchg with memory: implicitly locked, a full fence"
    return None


def step(machine, insn, runtime):
    """Applies `insn` to the registers; returns its memory accesses."""
    m, operands = insn.mnemonic, insn.operands
    accesses = []
    for operand, reads, writes in operand_accesses(insn):
        address = machine.address(operand, insn)
        accesses.append(Access(insn.address, address.key() if address else operand,
                               address_form(operand), reads, writes))
    rsp = machine.get("rsp")
    if m.startswith("push") or insn.is_call:
        accesses.append(Access(insn.address, (rsp + Lin(-8)).key(), "[reg+disp]", 0, 1,
                               why="the return address of a call" if insn.is_call else "a push"))
    elif m.startswith(("pop", "ret")):
        accesses.append(Access(insn.address, rsp.key(), "[reg]", 1, 0))
    classify_poll(insn, accesses, runtime)
    if fence_kind(insn):
        for access in accesses:
            access.kind = "fence"  # reported with the fence, never the accumulator
    # The registers written.
    if insn.is_call:
        for name in x86_state.CALLER_SAVED:
            machine.set(name, unknown())
        return accesses
    if m.startswith("push"):
        machine.set("rsp", rsp + Lin(-8))
        return accesses
    if m.startswith("pop"):
        machine.set("rsp", rsp + Lin(8))
    registers = [op[1:] for op in operands if op.startswith("%") and op[1:] in
                 x86_state.REGISTERS]
    destination = operands[-1] if operands else ""
    dest = destination[1:] if destination[1:] in registers else None
    if m.startswith(("cmp", "test", "bt", "j", "nop", "endbr")) or m.startswith(READ_ONLY):
        return accesses
    if dest is None:
        if m.startswith("xchg") and len(registers) == 1:  # with memory: the register gets it
            machine.set(registers[0], unknown())
        return accesses
    source = operands[0] if len(operands) > 1 else None
    base = m.rstrip("qlwb") if m not in ("sub", "shl", "sal") else m
    value = None
    if m.startswith("mov") and not m.startswith(("movs", "movz", "movab")) or m == "movabs" \
            or m.startswith(("movslq", "movsl", "movzl", "movzw", "movsw", "movzb", "movsb")):
        value = machine.value(source) if len(operands) == 2 else None
        if m.startswith(("movzb", "movsb", "movzw", "movsw")):
            value = unknown()
    elif m.startswith("lea") and len(operands) == 2:
        value = machine.address(source, insn)
    elif base in ("add", "sub") and len(operands) == 2:
        delta = machine.value(source)
        value = machine.get(dest) + (delta if base == "add" else delta.scale(-1))
    elif base in ("inc", "dec") and len(operands) == 1:
        value = machine.get(dest) + Lin(1 if base == "inc" else -1)
    elif base in ("xor", "sub") and len(operands) == 2 and operands[0] == operands[1]:
        value = Lin(0)
    elif base in ("shl", "sal") and len(operands) == 2 and operands[0].startswith("$"):
        value = machine.get(dest).scale(1 << int(operands[0][1:], 0))
    elif m.startswith("xchg") and len(registers) == 2:
        first, second = machine.get(registers[0]), machine.get(registers[1])
        machine.set(registers[0], second)
        value = first
    elif base == "imul" and len(operands) == 3 and operands[0].startswith("$") \
            and not is_memory(operands[1]):
        value = machine.value(operands[1]).scale(int(operands[0][1:], 0))
    machine.set(dest, value if value is not None else unknown())
    return accesses


def classify_poll(insn, accesses, runtime):
    """Marks the loads that are polls: through the runtime's thread or
    isolate register, a `test` whose only use is touching a page, a compare
    of the stack pointer with memory (a stack-limit interrupt check)."""
    own = RUNTIME_REGISTER.get(runtime)
    for access in accesses:
        if access.writes or not access.reads:
            continue
        operand = next((op for op in insn.operands if is_memory(op)), "")
        match = MEMORY_OPERAND.match(operand)
        base = match[3] if match else None
        if insn.mnemonic.startswith("cmp") and any(op == "%rsp" for op in insn.operands):
            access.kind, access.why = "poll", "stack-limit compare (interrupt check)"
        elif insn.mnemonic.startswith("test") and len(insn.operands) == 2 \
                and not any(insn.operands[0] == op for op in insn.operands[1:]) \
                and any(not is_memory(op) for op in insn.operands):
            access.kind, access.why = "poll", "test of memory (safepoint poll page touch)"
        elif own and base == f"%{own}":
            access.kind = "poll"
            access.why = ("load through the thread register (safepoint poll word)"
                          if runtime == "HotSpot" else "load through the isolate root register")
        if any("poll" in note for note in insn.notes) and access.kind != "poll":
            access.kind, access.why = "poll", "marked as a poll by the runtime"


# --------------------------------------------------------------- paths

@dataclasses.dataclass
class Path:
    addresses: list
    accesses: list  # [Access]
    advance: int = None  # the loop index's advance over the path
    index: str = ""  # the index register
    calls: list = dataclasses.field(default_factory=list)
    fences: list = dataclasses.field(default_factory=list)  # [(address, why)]
    exit_test: int = None  # the bound compare's branch by which the path leaves the loop

    @property
    def slow(self):
        """A path through a call, or one that leaves the loop by its bound
        test and comes back (the outer trip of a strip-mined loop, taken
        once per strip): rare, shown but not judged."""
        return bool(self.calls) or self.exit_test is not None


FLAG_SETTERS = ("add", "sub", "inc", "dec", "and", "or", "xor", "neg", "shl", "shr", "sar")


def evaluate(addresses, code, runtime, loop):
    """One path's memory accesses, calls, fences and index advance."""
    machine = Machine()
    path = Path(addresses, [])
    tested, flags = [], []  # values a conditional branch of the path decided on
    compared, leaving = [], []  # a cmp's values; [(branch, values)] taken out of the loop
    last = max(loop.latches)
    for number, address in enumerate(addresses):
        insn = code[address]
        registers = [op[1:] for op in insn.operands
                     if op.startswith("%") and op[1:] in x86_state.REGISTERS and op != "%rsp"]
        if insn.mnemonic.startswith(("cmp", "test")):
            flags = [machine.get(r) for r in registers]
            compared = flags if insn.mnemonic.startswith("cmp") else []
        path.accesses += step(machine, insn, runtime)
        if insn.mnemonic.startswith(FLAG_SETTERS) and registers:
            flags = [machine.get(registers[-1])]  # its result: `sub $4,%r13d; jg`
            compared = []
        if insn.is_conditional:
            tested += flags
            taken = number + 1 < len(addresses) and addresses[number + 1] == insn.target
            if taken and not loop.head <= insn.target <= last:
                leaving.append((address, compared))
        if insn.is_call:
            path.calls.append(address)
        why = fence_kind(insn)
        if why:
            path.fences.append((address, why))
    # The index: a register that advances by a constant over the path and
    # whose value, some constant away, decides a branch of the loop.
    for family, value in sorted(machine.regs.items()):
        advance = value.minus_symbols(Lin.symbol(f"{family}@head"))
        if not advance or family == "rsp":
            continue
        if any(v.terms == {f"{family}@head": 1} for v in tested):
            path.advance, path.index = abs(advance), family
            break
    for address, values in leaving:
        if path.index and any(v.terms == {f"{path.index}@head": 1} for v in values):
            path.exit_test = address
    return path


# -------------------------------------------------------------- verdicts

@dataclasses.dataclass
class LoopReport:
    loop: Loop
    accumulator: str = None
    form: str = ""
    rules: list = dataclasses.field(default_factory=list)  # rule flags
    costs: list = dataclasses.field(default_factory=list)  # cost flags
    per_path: list = dataclasses.field(default_factory=list)  # lines

    @property
    def iterations(self):
        """Iterations per trip of the fast paths (1 when not known)."""
        return max((p.advance or 1 for p in self.loop.paths if not p.slow), default=1)


def fraction(count, per):
    return f"{count / per:g}" if count % per else str(count // per)


def grouped(items, per):
    """'what: n per iteration (at addresses)' for (what, address) pairs."""
    places = {}
    for what, address in items:
        places.setdefault(what, []).append(address)
    return [f"{what}: {fraction(len(addresses), per)} per iteration (at "
            + ", ".join(f"{a:#x}" for a in addresses) + ")"
            for what, addresses in places.items()]


def judge(loop):
    """Flags for one loop from its paths. The fast paths (those without a
    call) are judged; when every path calls out, all of them are."""
    result = LoopReport(loop)
    judged = [p for p in loop.paths if not p.slow] or loop.paths
    if loop.truncated:
        result.costs.append(f"more than {MAX_PATHS} paths: only the first were examined")
    # The accumulator: the location both loaded and stored on the judged
    # paths, the most used if several; a stored location when none is loaded.
    uses = {}
    for path in judged:
        for a in path.accesses:
            if a.kind == "other":
                reads, writes, form = uses.get(a.location, (0, 0, a.form))
                uses[a.location] = (reads + a.reads, writes + a.writes, form)
    both = [loc for loc, (r, w, _) in uses.items() if r and w]
    stored = [loc for loc, (r, w, _) in uses.items() if w]
    pick = both or stored
    if pick:
        result.accumulator = max(pick, key=lambda loc: (uses[loc][0] + uses[loc][1], loc))
        result.form = uses[result.accumulator][2]
    else:
        result.rules.append("accumulator kept in a register: nothing is stored to memory in "
                            "the loop")
    rules, costs = {}, {}  # message -> the paths it holds on
    for number, path in enumerate(loop.paths, 1):
        per = path.advance or 1
        acc_r = sum(a.reads for a in path.accesses if a.location == result.accumulator)
        acc_w = sum(a.writes for a in path.accesses if a.location == result.accumulator)
        for a in path.accesses:
            if a.location == result.accumulator:
                a.kind = "accumulator"
        polls = [a for a in path.accesses if a.kind == "poll"]
        other_r = [a for a in path.accesses if a.kind == "other" and a.reads]
        other_w = [a for a in path.accesses if a.kind == "other" and a.writes]
        trip = (f"{per} iteration(s) per trip (index %{path.index} += {per})" if path.advance
                else "iterations per trip unknown (no index found): counted per trip")
        slow = path not in judged
        why = ("leaves by the bound test at " f"{path.exit_test:#x} and comes back"
               if path.exit_test is not None else "calls out")
        result.per_path.append(
            f"path {number}{f' (slow: {why}; not judged)' if slow else ''}, "
            f"{len(path.addresses)} instructions, {trip}: per iteration accumulator "
            f"{fraction(acc_r, per)} load(s), {fraction(acc_w, per)} store(s); other loads "
            f"{fraction(len(other_r), per)}, other stores {fraction(len(other_w), per)}, "
            f"polls {fraction(len(polls), per)}")
        if slow:
            continue
        found_rules, found_costs = [], []
        if not path.advance:
            # Without an index in a register the counts are per trip, and
            # a location loaded and stored every trip may be the index kept
            # in memory (the accumulator then in a register).
            found_rules.append("no loop index found in a register: the counts are per trip, "
                               "and the location taken for the accumulator may be the index")
        if result.accumulator and (acc_r, acc_w) != (per, per):
            if acc_r == 0 and acc_w:
                why = "no load: the stored value is carried to the next iteration in a register"
            elif acc_r > per or acc_w > per:
                why = "more than one access per iteration"
            else:
                why = "fewer than one access per iteration (kept in a register in between)"
            found_rules.append(f"the accumulator is loaded {fraction(acc_r, per)} and stored "
                               f"{fraction(acc_w, per)} time(s) per iteration: {why}")
        found_rules += grouped(((f"extra store to {a.location}"
                                 + (f" ({a.why})" if a.why else ""), a.address)
                                for a in other_w), per)
        found_rules += grouped(((why, address) for address, why in path.fences), per)
        found_costs += grouped(((f"poll, {a.why}", a.address) for a in polls), per)
        if other_r:
            found_costs.append(f"{fraction(len(other_r), per)} other load(s) per iteration: "
                               + ", ".join(sorted({a.location for a in other_r})))
        found_costs += [f"call at {address:#x}: what it does is not seen"
                        for address in path.calls]
        for table, found in ((rules, found_rules), (costs, found_costs)):
            for message in found:
                table.setdefault(message, []).append(number)
    for table, out in ((rules, result.rules), (costs, result.costs)):
        for message, numbers in table.items():
            where = "" if len(loop.paths) == 1 else \
                f" (path{'s' if len(numbers) > 1 else ''} {', '.join(map(str, numbers))})"
            out.append(message + where)
    return result


@dataclasses.dataclass
class KernelReport:
    kernel: str
    compilation: Compilation
    hottest: LoopReport = None
    others: list = dataclasses.field(default_factory=list)
    rules: list = dataclasses.field(default_factory=list)
    code: dict = None
    note: str = ""


NO_LOOP = ("no loop in any compiled code of the kernel: the JIT removed the loop (the "
           "accumulator computed without it, or kept in a register)")


def excuse_loopless(results):
    """A compilation without a loop, of a kernel that has other code with
    one, is code that leaves for the interpreter before the loop (a whole-
    method compilation deoptimising at its first access, say): noted, not
    judged. A kernel with no loop in any of its code is judged."""
    for result in results:
        if result.hottest is None and any(other.hottest is not None for other in results
                                          if other.kernel == result.kernel):
            result.rules = []
            result.note = ("no loop in this code: it cannot run the loop (it leaves for the "
                           "interpreter or another version before reaching it); not judged")


def analyse(compilation):
    instructions = disassemble(compilation.segments, compilation.annotations)
    code = {insn.address: insn for insn in instructions}
    result = KernelReport(compilation.kernel, compilation, code=code)
    predecessors = {}
    for insn in instructions:
        for successor in successors(insn, code):
            predecessors.setdefault(successor, []).append(insn.address)
    loops = find_loops(code)
    for loop in loops:
        walk_paths(loop, code, compilation.runtime, predecessors)
    loops = innermost(loops)
    if not loops:
        result.rules.append(NO_LOOP)
        return result
    reports = [judge(loop) for loop in loops]
    reports.sort(key=lambda r: (r.iterations, len(r.loop.body)), reverse=True)
    result.hottest, result.others = reports[0], reports[1:]
    result.rules = list(result.hottest.rules)
    return result


# --------------------------------------------------------------- output

def show(result, verbose, out):
    c = result.compilation
    status = "FLAG" if result.rules else "note" if result.note else "ok  "
    out.write(f"{status} {result.kernel}: {c.runtime} {c.method} ({c.description})\n")
    hot = result.hottest
    if hot is None:
        for rule in result.rules:
            out.write(f"       rule: {rule}\n")
        if result.note:
            out.write(f"       {result.note}\n")
        return
    loop = hot.loop
    out.write(f"       hottest loop: head {loop.head:#x}, backward branch at "
              + ", ".join(f"{a:#x}" for a in loop.latches)
              + f"; {len(loop.body)} instructions, {len(loop.paths)} path(s)\n")
    if hot.accumulator:
        out.write(f"       accumulator: {hot.accumulator}, addressed as {hot.form}\n")
    for line in hot.per_path:
        out.write(f"       {line}\n")
    for rule in result.rules:
        out.write(f"       rule: {rule}\n")
    for cost in hot.costs:
        out.write(f"       cost: {cost}\n")
    kinds = {}
    for path in loop.paths:
        for a in path.accesses:
            kinds.setdefault(a.address, set()).add(
                ("store " if a.writes and not a.reads else "load+store " if a.writes else "load ")
                + (a.kind if a.kind != "other" else "other") + (f" ({a.why})" if a.why else ""))
    out.write("       instructions:\n")
    for address in sorted(loop.body):
        insn = result.code[address]
        mark = "; ".join(sorted(kinds.get(address, ())))
        fence = fence_kind(insn)
        mark = "; ".join(x for x in (mark, fence and "FENCE") if x)
        line = f"         {address:#x}: {insn.text}"
        out.write(f"{line:<64}{'  ' + mark if mark else ''}\n".rstrip() + "\n")
        if verbose:
            for note in insn.notes:
                out.write(f"{'':17}; {note}\n")
    # Not judged (the hot loop is the one judged), but shown: the hot loop
    # is picked by its shape, not by a profile.
    for other in result.others:
        out.write(f"       other innermost loop at {other.loop.head:#x}: "
                  f"{other.iterations} iteration(s) per trip, {len(other.loop.paths)} path(s), "
                  + ("rule kept" if not other.rules else "not judged, would flag: "
                     + "; ".join(other.rules)) + "\n")


# ------------------------------------------------------------- running

def hotspot_command(args):
    command = [args.java, "-XX:+UnlockDiagnosticVMOptions", "-XX:CompileCommand=quiet"]
    command += [f"-XX:CompileCommand=print,{args.main}::{m}" for m in KERNEL_METHODS.values()]
    command += ["-cp", args.classpath, args.main]
    return command + ([str(args.warmup)] if args.warmup else [])


def v8_command(args):
    command = [args.node, "--print-opt-code", "--code-comments", args.script]
    return command + ([str(args.warmup)] if args.warmup else [])


def run_dump(command):
    """The runtime's standard output for one full run of `command`."""
    environment = dict(os.environ)
    environment.pop("BENCH_TEST_ITERATIONS", None)  # the dump is of the real count
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT,
                                env=environment, check=False)
    except FileNotFoundError:
        raise ToolError(f"{command[0]} not found")
    except subprocess.TimeoutExpired:
        raise ToolError(f"{' '.join(command)} did not finish within {TIMEOUT:.0f} s")
    if result.returncode != 0:
        tail = "\n".join(result.stderr.strip().splitlines()[-5:])
        raise ToolError(f"{' '.join(command)} exited with status {result.returncode}: {tail}")
    return result.stdout


def top_tier(compilations, everything):
    """Per kernel, in report order: its compilations in the highest tier
    printed (C2, TurboFan), each of which may be the code that runs the
    timed loop (the on-stack replacement in a cold run, a whole-method
    compilation after warm-up); every compilation with `everything`."""
    chosen = []
    for kernel in report.KERNEL_NAMES:
        mine = [c for c in compilations if c.kernel == kernel]
        top = max((c.tier for c in mine), default=None)
        chosen += [c for c in mine if everything or c.tier == top]
    return chosen


def machine_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            info = f.read()
    except OSError:
        return platform.machine()
    fields = {}
    for line in info.splitlines():
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    return (f"{fields.get('model name', '?')}, cpu family {fields.get('cpu family', '?')}, "
            f"model {fields.get('model', '?')}")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="A diagnostic, not a proof: see above for what it can miss, and docs/jit.md.")
    sub = parser.add_subparsers(dest="source", required=True)
    java = sub.add_parser("java", help="run the Java counterpart under HotSpot's print option")
    java.add_argument("--java", default="java", help="the java launcher (default: java)")
    java.add_argument("--classpath", default="build/jit",
                      help="where the compiled classes are (default: build/jit)")
    java.add_argument("--main", default="JitBench", help="the main class (default: JitBench)")
    node = sub.add_parser("node", help="run the JavaScript counterpart under V8's --print-opt-code")
    node.add_argument("--node", default="node", help="the node executable (default: node)")
    node.add_argument("--script", default="jit/jit_bench.js",
                      help="the counterpart (default: jit/jit_bench.js)")
    dump = sub.add_parser("dump", help="read a dump saved with --save")
    dump.add_argument("file")
    for each in (java, node):
        each.add_argument("--warmup", type=int, default=0, metavar="N",
                          help="pass the counterpart its warm-up count (default: cold)")
    for each in (java, node, dump):
        each.add_argument("--all", action="store_true",
                          help="analyse every compilation of each kernel, not only the top tier")
        each.add_argument("--save", metavar="FILE",
                          help="save the analysed compilations' dump, readable with `dump`")
        each.add_argument("--verbose", "-v", action="store_true",
                          help="show the runtime's comments under each instruction")
    args = parser.parse_args(argv)
    if getattr(args, "warmup", 0) < 0:
        parser.error("--warmup must not be negative")
    return args


def main(argv=None):
    args = parse_arguments(argv)
    out = sys.stdout
    try:
        if args.source == "dump":
            with open(args.file, encoding="utf-8", errors="replace") as f:
                text = f.read()
            first = text.split("\n", 1)[0]
            origin = (first[len(SAVED_HEADER):] if first.startswith(SAVED_HEADER)
                      else f"dump {args.file}")
        else:
            command = hotspot_command(args) if args.source == "java" else v8_command(args)
            text = run_dump(command)
            origin = f"{' '.join(command)} on {machine_name()}"
        compilations = top_tier(parse_dump(text), args.all)
        missing = [k for k in report.KERNEL_NAMES if not any(c.kernel == k for c in compilations)]
        if missing:
            raise ToolError(f"no compiled code for {', '.join(missing)} in the dump "
                            "(was the kernel run long enough to be compiled?)")
        if args.save:
            with open(args.save, "w", encoding="utf-8") as f:
                f.write(f"{SAVED_HEADER}{origin}\n\n")
                f.write("\n".join(c.text for c in compilations))
        results = [analyse(c) for c in compilations]
        excuse_loopless(results)
    except (ToolError, OSError) as error:
        print(f"jit_loops: {error}", file=sys.stderr)
        return 2
    out.write(f"jit_loops: {origin}\n")
    broken = []
    for result in results:
        show(result, args.verbose, out)
        if result.rules and result.kernel not in broken:
            broken.append(result.kernel)
    out.write("rule broken in: " + ", ".join(broken) + "\n" if broken else
              "rule kept in every kernel's hottest loop: one load and one store of the "
              "accumulator per iteration, no other store, no fence\n")
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
