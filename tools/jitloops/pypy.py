"""Reading PyPy's JIT log (PYPYLOG=jit-log-opt,jit-backend-addr,
jit-backend-dump:FILE) into compilations: one per loop of a kernel's
function, its code the loop followed by every bridge grown from it (out of
its guards, and out of theirs), in the order they were made.

jit-backend-dump writes machine code as hex at its address (CODE_DUMP), and
every later change as a smaller block at the changed address: a guard's jump
aimed at its recovery stub, later at the bridge compiled for it; the blocks
are applied in order. jit-backend-addr gives each loop's and bridge's
addresses (the code from the loop's entry, or the bridge's first
instruction, to the end of its recovery stubs); jit-log-opt each one's
operations with their offsets from its block's start (its gc table), kept as
comments on the code, the guards it holds (a bridge is out of one of them)
and where it jumps at its end (a label of which loop): a log without them
is refused, since a bridge could not be told to its loop. The word PyPy polls
for pending signals (a getfield_raw of pypysig_long_struct.c_value) is named
as a poll. Code that a later loop or bridge was placed over (its memory
freed and reused) is dropped.

Loop names hold the source's absolute path; the descriptions give its base
name only.
"""
import dataclasses
import os
import re

from .dumps import Compilation, code_block, kernel_of
from .errors import ToolError

SECTION = re.compile(r"^\[[0-9a-f]+\] \{([\w-]+)\n(.*?)^\[[0-9a-f]+\] \1\}$", re.M | re.S)
CODE_DUMP = re.compile(r"^CODE_DUMP @([0-9a-f]+) \+(\d+)\s+([0-9A-Fa-f]*)\s*$")
LOOP_ADDRESS = re.compile(r"^Loop (\d+) \((.*)\) has address (0x[0-9a-f]+) to (0x[0-9a-f]+)")
BRIDGE_ADDRESS = re.compile(r"^bridge out of Guard (0x[0-9a-f]+) has address (0x[0-9a-f]+) "
                            r"to (0x[0-9a-f]+)")
ADDRESS_FIELD = re.compile(r"^\s*([\w ]+): (0x[0-9a-f]+)$")
LOOP_LOG = re.compile(r"^# Loop (\d+) \(")
BRIDGE_LOG = re.compile(r"^# bridge out of Guard (0x[0-9a-f]+) ")
OPERATION = re.compile(r"^\+(\d+): (.*)$")
GUARD = re.compile(r"descr=<Guard(0x[0-9a-f]+)>")
LABEL = re.compile(r"^label\(.*descr=TargetToken\((\d+)\)\)")
JUMP = re.compile(r"^jump\(.*descr=TargetToken\((\d+)\)\)")
SIGNAL_POLL = re.compile(r"getfield_raw_i\((\d+), descr=<Field\w pypysig_long_struct\.c_value ")
POLL = "load of the pending-signal counter (PyPy's signal poll)"


@dataclasses.dataclass
class Piece:
    """A loop or a bridge."""
    kind: str  # "Loop 3" or "bridge"
    name: str  # the loop's name; a bridge's: "out of Guard 0x..."
    guard: int  # the guard a bridge is out of (None for a loop)
    start: int
    end: int
    base: int = None  # its gc table: the start its operations' offsets count from
    operations: list = dataclasses.field(default_factory=list)  # (offset, text)

    @property
    def guards(self):
        return {int(m[1], 16) for _, text in self.operations for m in GUARD.finditer(text)}

    def tokens(self, pattern):
        return {int(m[1]) for _, text in self.operations if (m := pattern.match(text))}


def read(text, file):
    """The kernels' compilations in a PyPy log, and the executable it names."""
    sections = [(m[1], m[2]) for m in SECTION.finditer(text)]
    if not any(name == "jit-backend-dump" for name, _ in sections):
        raise ToolError(f"{file}: no jit-backend-dump section: not a PyPy JIT log with code "
                        "(PYPYLOG=jit-log-opt,jit-backend-addr,jit-backend-dump:FILE)")
    memory, pieces, runtime = {}, [], "pypy"
    for name, body in sections:
        lines = body.splitlines()
        try:
            if name == "jit-backend-dump":
                dump(lines, memory, file)
            elif name == "jit-backend-addr":
                piece = addresses(lines)
                if piece:
                    # Code placed over older code: that code's memory was freed.
                    pieces = [p for p in pieces if p.end <= piece.start or piece.end <= p.start]
                    pieces.append(piece)
            elif name in ("jit-log-opt-loop", "jit-log-opt-bridge") and lines:
                operations(lines, pieces)
        except ValueError:
            raise ToolError(f"{file}: a damaged {name} section: {body[:60]!r}")
        if name == "jit-backend-dump":
            runtime = next((line.split(" ", 1)[1] for line in lines
                            if line.startswith("SYS_EXECUTABLE ")), runtime)
    for piece in pieces:
        if not piece.operations:
            # Without its operations a bridge cannot be told to its loop: the
            # loop's guard would seem to leave for unknown code.
            raise ToolError(f"{file}: no jit-log-opt section for {piece.kind} {piece.name} "
                            f"(the log needs PYPYLOG=jit-log-opt,jit-backend-addr,"
                            "jit-backend-dump:FILE)")
    return compilations(pieces, memory, file), runtime


def dump(lines, memory, file):
    for line in lines:
        if line.startswith("BACKEND ") and line.split()[1] != "x86_64":
            raise ToolError(f"{file}: code for the {line.split()[1]} backend: only x86_64 is "
                            "read")
        match = CODE_DUMP.match(line)
        if match:
            start = int(match[1], 16) + int(match[2])
            memory.update(zip(range(start, start + len(match[3]) // 2),
                              bytes.fromhex(match[3])))


def addresses(lines):
    loop, bridge = LOOP_ADDRESS.match(lines[0]), BRIDGE_ADDRESS.match(lines[0])
    fields = {m[1].strip(): int(m[2], 16) for m in map(ADDRESS_FIELD.match, lines[1:]) if m}
    if loop:
        piece = Piece(f"Loop {loop[1]}", loop[2], None, fields.get("function", int(loop[3], 16)),
                      fields.get("end", int(loop[4], 16)))
    elif bridge:
        piece = Piece("bridge", f"out of Guard {bridge[1]}", int(bridge[1], 16),
                      int(bridge[2], 16), fields.get("end", int(bridge[3], 16)))
    else:
        return None
    piece.base = fields.get("gc table")
    return piece


def operations(lines, pieces):
    loop, bridge = LOOP_LOG.match(lines[0]), BRIDGE_LOG.match(lines[0])
    for piece in reversed(pieces):  # the latest one of that name
        if loop and piece.kind == f"Loop {loop[1]}" or bridge and piece.guard == int(bridge[1], 16):
            piece.operations = [(int(m[1]), m[2]) for m in map(OPERATION.match, lines) if m]
            return


def function_of(piece):
    """The loop's function ("branch" of "branch;/path/file.py:87-91~#18 ...")."""
    return piece.name.split(";", 1)[0]


def where_of(piece):
    """The loop's place, its source named by its base name."""
    place = piece.name.split(";", 1)[1] if ";" in piece.name else ""
    return os.path.basename(place.split("~", 1)[0])


def compilations(pieces, memory, file):
    loops = {piece.kind: piece for piece in pieces if piece.kind != "bridge"}
    labels = {token: piece for piece in pieces for token in piece.tokens(LABEL)}
    found = []
    for loop in loops.values():
        kernel = kernel_of(function_of(loop))
        if not kernel:
            continue
        family, guards = [loop], set(loop.guards)
        for piece in pieces:  # in the order made: a bridge's parent comes before it
            if piece.kind == "bridge" and piece.guard in guards and piece not in family:
                family.append(piece)
                guards |= piece.guards
        segments, annotations, polls = [], {}, {}
        for piece in family:
            span = range(piece.start, piece.end)
            if not all(a in memory for a in span):
                raise ToolError(f"{file}: the code of {piece.kind} {piece.name} is not all in "
                                "the log")
            segments.append((piece.start, bytes(memory[a] for a in span)))
            for offset, text in piece.operations if piece.base is not None else ():
                annotations.setdefault(piece.base + offset, []).append(text)
                if (match := SIGNAL_POLL.search(text)):
                    polls[int(match[1])] = POLL
        bridges = []
        for piece in family[1:]:
            targets = {labels[t].kind for t in piece.tokens(JUMP) if t in labels}
            bridges.append(f"{piece.name} (" + (
                "back to this loop" if targets == {loop.kind} else
                f"on to {', '.join(sorted(targets))}: it leaves this loop" if targets else
                "to the interpreter") + ")")
        description = (f"{loop.kind} at {where_of(loop)}"
                       + (f", bridge{'s' if len(bridges) > 1 else ''} " + ", ".join(bridges)
                          if bridges else ""))
        compilation = Compilation("PyPy", function_of(loop), kernel, description, segments,
                                  annotations, "", poll_words=polls)
        compilation.text = code_block(compilation)
        found.append(compilation)
    return found
