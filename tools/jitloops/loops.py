"""The loops of a compilation's code and the paths through them: where
control goes after an instruction (a deoptimising call never comes back),
the loops (one per target of a backward branch), every path from a loop's
head back to it (each run by the paths layer), the innermost loops, and
which of them is the hottest: by shape, not by a profile.
"""
import dataclasses

from .paths import evaluate

MAX_PATHS = 4096  # paths through one loop from its head back to it
# Words in a call's annotation that mark it as leaving the compiled code for
# good (a deoptimisation): such a call has no way back into the loop.
NO_RETURN_WORDS = ("UncommonTrapBlob", "DeoptimizationBlob", "deopt reason", "Deoptimize",
                   "Abort")


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

    @property
    def iterations(self):
        """Iterations per trip of the fast paths (1 when not known)."""
        return max((p.advance or 1 for p in self.paths if not p.slow), default=1)


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


def hottest_first(loops):
    """The loops, the hottest first: the one running the most iterations per
    trip (an unrolled main loop rather than its pre- and post-loops), then
    the longest; loops alike keep their order in the code."""
    return sorted(loops, key=lambda loop: (loop.iterations, len(loop.body)), reverse=True)
