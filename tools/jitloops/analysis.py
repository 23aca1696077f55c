"""One compilation analysed into kernel reports, one per kernel it holds:
its bytes disassembled, its control flow, its loops and their paths; the
innermost loops shared out among its kernels (mapping); per kernel, the
verdict on its hottest innermost loop and on every other innermost loop
closed through code of another segment (a side trace, a bridge: compiled
because its guard failed often), the others judged too, to be listed. Only
a kernel's innermost loops' paths are run; when one of them could not be
walked to the end (or can reach a computed jump of unknown target), the
kernel is not judged: that loop may be the hottest.
"""
import dataclasses

from .disassembly import disassemble
from .dumps import Compilation
from .loops import hottest_first, innermost, run_paths, successors, walk_loops
from .mapping import shares
from .rules import NO_LOOP, LoopReport, judge, removed_between, unwalked

# Why a kernel is not judged, for the summary line.
TOO_LARGE = "a loop too large to walk"
BLIND = "a computed jump not followed"
UNTOLD = "its loop not told apart from the other kernels'"


@dataclasses.dataclass
class KernelReport:
    """A kernel's verdict in one compilation: its hottest loop judged (None:
    no loop, or not judged), its other innermost loops, the rule flags, a
    note when not judged for want of a loop, and why not when its loops
    could not be judged (`unjudged`: the messages; `reason`: in a few
    words). `place` says where its code lies in code holding several
    kernels."""
    kernel: str
    compilation: Compilation
    hottest: LoopReport = None
    others: list = dataclasses.field(default_factory=list)
    rules: list = dataclasses.field(default_factory=list)
    code: dict = None
    note: str = ""
    unjudged: list = dataclasses.field(default_factory=list)
    reason: str = ""
    place: str = ""


def analyse_all(compilation):
    """The kernel reports of one compilation, in timed order (see
    excuse_loopless for a compilation without a loop beside one with it)."""
    instructions = disassemble(compilation.segments, compilation.annotations)
    code = {insn.address: insn for insn in instructions}
    predecessors = {}
    for insn in instructions:
        for successor in successors(insn, code):
            predecessors.setdefault(successor, []).append(insn.address)
    segment = {insn.address: number for number, (start, data) in enumerate(compilation.segments)
               for insn in instructions if start <= insn.address < start + len(data)}
    loops = innermost(walk_loops(code, predecessors, segment))
    return [judge_share(compilation, code, share) for share in shares(compilation, loops, code)]


def analyse(compilation):
    """The kernel report of a compilation holding one kernel."""
    (result,) = analyse_all(compilation)
    return result


def judge_share(compilation, code, share):
    result = KernelReport(share.kernel, compilation, code=code, place=share.place)
    if share.unjudged:
        result.unjudged, result.reason = [share.unjudged], UNTOLD
        return result
    loops = share.loops
    if not loops:
        result.rules.append(removed_between(*share.stretch) if share.stretch else NO_LOOP)
        return result
    cut = [loop for loop in loops if loop.truncated or loop.blind is not None]
    loops = [loop for loop in loops if loop not in cut]
    polls = {f"{address:#x}": why for address, why in compilation.poll_words.items()}
    for loop in loops:
        run_paths(loop, code, compilation.runtime, polls)
    reports = [judge(loop, compilation.one_cell) for loop in hottest_first(loops)]
    if cut:
        result.unjudged = [unwalked(loop) for loop in cut]
        result.reason = TOO_LARGE if any(loop.truncated for loop in cut) else BLIND
        result.others = reports
        return result
    result.hottest, result.others = reports[0], reports[1:]
    result.rules = list(result.hottest.rules)
    # A loop closed through a side trace or bridge runs as often as its
    # guard fails, which is often, or the runtime would not have compiled
    # that code: it is judged too, whatever its shape.
    for other in result.others:
        other.judged = any(path.outside for path in other.loop.paths)
        if other.judged:
            result.rules += [f"{rule} (the loop at {other.loop.head:#x})" for rule in other.rules]
    return result
