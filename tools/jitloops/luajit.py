"""Reading LuaJIT's traces, as the listing's loader (luajit_dump.lua beside
this file) writes them, into compilations: one per looping root trace of a
kernel's function, its code the root trace followed by every side trace
grown from it (from its exits, and from theirs), in trace order, every later
patch applied in the order LuaJIT made it (a guard re-aimed at a new side
trace). A side trace that jumps back to its root trace's entry re-enters the
loop there (the loops layer follows it); one that links to another trace or
returns to the interpreter leaves the loop, and the description says where
it goes. A flush throws every trace away: the traces before it are read as
they were then.

The program's declarations (`-- jit_loops: one cell ...` lines, which the
loader copies) are the counterpart's own account of a trick the machine code
cannot show: its accumulator is one cell, read through one pointer and
written through another.
"""
import dataclasses
import os

from .dumps import Compilation, code_block, kernel_of
from .errors import ToolError

HEADER = ["luajit-trace-dump", "1"]
ONE_CELL = "one cell"  # how a declaration of one cell through two pointers begins


@dataclasses.dataclass
class Trace:
    number: int
    parent: int  # 0 for a root trace
    exit: int  # the parent's exit it starts from (None for a root trace)
    where: str  # source:line of its start
    function: str  # the function's name in its source ("?")
    address: int = None
    size: int = 0
    link: int = 0
    link_type: str = ""


@dataclasses.dataclass
class Generation:
    """The traces alive together (until a flush), with their code."""
    traces: dict = dataclasses.field(default_factory=dict)  # number -> Trace
    memory: dict = dataclasses.field(default_factory=dict)  # address -> byte, patches applied


def read(text, file):
    """The kernels' compilations in a loader's dump, and the runtime's name."""
    lines = text.splitlines()
    if not lines or lines[0].split() != HEADER:
        raise ToolError(f"{file}: not a LuaJIT trace dump (its first line is not "
                        f"{' '.join(HEADER)!r})")
    generations, starts = [Generation()], {}
    runtime, program, declared, ended = "LuaJIT", file, [], False
    for number, line in enumerate(lines[1:], 2):
        words = line.split()
        if not words:
            continue
        now = generations[-1]
        try:
            if words[0] == "runtime":
                runtime = words[1].replace("-", " ", 1)
            elif words[0] == "program":
                program = line.split(" ", 1)[1]
            elif words[0] == "declare":
                declared.append(line.split(" ", 1)[1].strip())
            elif words[0] == "start":
                starts[int(words[1])] = Trace(int(words[1]), int(words[2]),
                                              None if words[3] == "-" else int(words[3]),
                                              words[4], words[5])
            elif words[0] == "code":
                trace = starts.pop(int(words[1]))
                trace.address, trace.size = int(words[2], 16), int(words[3])
                trace.link, trace.link_type = int(words[5]), words[6]
                now.traces[trace.number] = trace
            elif words[0] in ("bytes", "patch"):
                start = int(words[1], 16)
                now.memory.update(zip(range(start, start + len(words[2]) // 2),
                                      bytes.fromhex(words[2])))
            elif words[0] == "flush":
                generations.append(Generation())
            elif words[0] == "end":
                ended = True
        except (ValueError, IndexError, KeyError):
            raise ToolError(f"{file}:{number}: a damaged record: {line[:60]!r}")
    if not ended:
        raise ToolError(f"{file}: no `end` record: the program did not finish under the loader, "
                        "or the file is cut short")
    one_cell = ""
    for words in declared:
        if not words.startswith(ONE_CELL):
            raise ToolError(f"{file}: {program} declares {words!r}, which the listing does "
                            f"not know (it knows {ONE_CELL!r}: the accumulator read through one "
                            "pointer and written through another)")
        one_cell = f"{words}: {os.path.basename(program)}"
    found = [c for number, generation in enumerate(generations, 1)
             for c in compilations(generation, one_cell, number < len(generations), file)]
    return found, runtime


def root_of(trace, traces):
    seen = set()
    while trace.parent and trace.parent in traces and trace.number not in seen:
        seen.add(trace.number)
        trace = traces[trace.parent]
    return trace


def going(trace, root):
    """Where a side trace goes when it ends."""
    if trace.link_type == "root" and trace.link == root.number:
        return f"back to trace {root.number}'s entry"
    if trace.link:
        return f"on to trace {trace.link} ({trace.link_type}): it leaves this loop"
    return {"interpreter": "to the interpreter", "return": "returning from the function",
            "none": "to the interpreter"}.get(trace.link_type, trace.link_type)


def compilations(generation, one_cell, flushed, file):
    """The kernels' looping root traces of one generation, each with its
    side traces; `flushed`: a flush threw them away later."""
    traces, found = generation.traces, []
    for root in sorted(traces.values(), key=lambda t: t.number):
        kernel = kernel_of(root.function)
        if root.parent or root.link_type != "loop" or not kernel:
            continue
        family = [root] + [t for t in sorted(traces.values(), key=lambda t: t.number)
                           if t.parent and root_of(t, traces) is root]
        segments = []
        for trace in family:
            span = range(trace.address, trace.address + trace.size)
            if not all(a in generation.memory for a in span):
                raise ToolError(f"{file}: trace {trace.number}'s code is not all in the file")
            segments.append((trace.address, bytes(generation.memory[a] for a in span)))
        sides = [f"{t.number} (from exit {t.exit} of trace {t.parent}, {going(t, root)})"
                 for t in family[1:]]
        description = (f"root trace {root.number} at {root.where}"
                       + (f", side trace{'s' if len(sides) > 1 else ''} " + ", ".join(sides)
                          if sides else "")
                       + (", thrown away by a later flush" if flushed else ""))
        compilation = Compilation("LuaJIT", root.function, kernel, description, segments, {},
                                  "", one_cell=one_cell)
        compilation.text = code_block(compilation)
        found.append(compilation)
    return found
