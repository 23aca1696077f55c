"""One compilation analysed into a kernel's report: its bytes disassembled,
its control flow, its loops and their paths, and the verdict on the hottest
innermost loop (the other innermost loops judged too, to be listed). Only
the innermost loops' paths are run; when one of them could not be walked
to the end, the compilation is not judged: that loop may be the hottest.
"""
import dataclasses

from .disassembly import disassemble
from .dumps import Compilation
from .loops import hottest_first, innermost, run_paths, successors, walk_loops
from .rules import NO_LOOP, LoopReport, judge, unwalked


@dataclasses.dataclass
class KernelReport:
    """A compilation's verdict: its hottest loop judged (None: no loop, or
    not judged), the other innermost loops, the rule flags, a note when not
    judged for want of a loop, and why not when an innermost loop could
    not be walked (`unjudged`: the loops' messages)."""
    kernel: str
    compilation: Compilation
    hottest: LoopReport = None
    others: list = dataclasses.field(default_factory=list)
    rules: list = dataclasses.field(default_factory=list)
    code: dict = None
    note: str = ""
    unjudged: list = dataclasses.field(default_factory=list)


def analyse(compilation):
    """The kernel report of one compilation (see excuse_loopless for a
    compilation without a loop beside one with it)."""
    instructions = disassemble(compilation.segments, compilation.annotations)
    code = {insn.address: insn for insn in instructions}
    result = KernelReport(compilation.kernel, compilation, code=code)
    predecessors = {}
    for insn in instructions:
        for successor in successors(insn, code):
            predecessors.setdefault(successor, []).append(insn.address)
    loops = innermost(walk_loops(code, predecessors))
    if not loops:
        result.rules.append(NO_LOOP)
        return result
    cut = [loop for loop in loops if loop.truncated]
    loops = [loop for loop in loops if not loop.truncated]
    for loop in loops:
        run_paths(loop, code, compilation.runtime)
    reports = [judge(loop) for loop in hottest_first(loops)]
    if cut:
        result.unjudged = [unwalked(loop) for loop in cut]
        result.others = reports
        return result
    result.hottest, result.others = reports[0], reports[1:]
    result.rules = list(result.hottest.rules)
    return result
