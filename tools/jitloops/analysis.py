"""One compilation analysed into a kernel's report: its bytes disassembled,
its control flow, its loops and their paths, and the verdict on the hottest
innermost loop (the other innermost loops judged too, to be listed).
"""
import dataclasses

from .disassembly import disassemble
from .dumps import Compilation
from .loops import find_loops, hottest_first, innermost, successors, walk_paths
from .rules import NO_LOOP, LoopReport, judge


@dataclasses.dataclass
class KernelReport:
    """A compilation's verdict: its hottest loop judged (None: no loop), the
    other innermost loops, the rule flags, and a note when not judged."""
    kernel: str
    compilation: Compilation
    hottest: LoopReport = None
    others: list = dataclasses.field(default_factory=list)
    rules: list = dataclasses.field(default_factory=list)
    code: dict = None
    note: str = ""


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
    loops = find_loops(code)
    for loop in loops:
        walk_paths(loop, code, compilation.runtime, predecessors)
    loops = hottest_first(innermost(loops))
    if not loops:
        result.rules.append(NO_LOOP)
        return result
    reports = [judge(loop) for loop in loops]
    result.hottest, result.others = reports[0], reports[1:]
    result.rules = list(result.hottest.rules)
    return result
