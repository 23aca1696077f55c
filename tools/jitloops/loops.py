"""The loops of a compilation's code and the paths through them: where
control goes after an instruction (a deoptimising call never comes back),
the loops (one per target of a backward branch), every path from a loop's
head back to it, found by a walk bounded by the work it does, the innermost
loops (decided before any path is run), each innermost loop's paths run by
the paths layer, and which of them is the hottest: by shape, not by a
profile.

"Backward" and "forward" are in the code's layout: its segments in the
order the compilation gives them, each in address order. For one piece of
code that is address order; a tracing JIT's kernel given as its root trace
and then the side traces entered from it has each side trace's jump back
into the root's loop as a backward branch of that loop, wherever the JIT
placed the side trace in memory.

A path may also leave the loop and come back into it through code laid
out before its head: a jump, from a segment other than the head's, laid out
after the loop's backward branches and reached from the head without
passing them, back to a point from which the code runs forward into the
head (LuaJIT's side trace jumps to its root trace's entry, whose first part
runs into the loop). Such a jump is a re-entry of the loop, not a loop of
its own, and the path through it, the code before the head included, is a
path of the loop. (An outer loop around it passes the inner
loop's backward branch on its way out, or leaves by the inner loop's bound
test: an outer trip, shown and not judged, as a strip-mined loop's.) Within
one segment, such a jump is the compiler's own layout of its loops (a
rotated loop): the loops are taken as they are, the innermost kept.
"""
import dataclasses

from .paths import evaluate, outer_trips

# The walk's bounds, per loop. A walk that reaches one stops and the loop
# is not judged (nor is its compilation, when the loop is innermost): a
# loop whose paths are not all known may hide a break of the rule.
MAX_PATHS = 4096  # paths from the loop's head back to it
# Steps of work: each instruction the walk enters (dead ends included), and
# each instruction of a path it finds (every one is then run symbolically).
MAX_STEPS = 1 << 19
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
    paths: list = dataclasses.field(default_factory=list)  # [Path], once run
    truncated: str = ""  # the bound that stopped the walk ("" when it finished)
    trails: list = dataclasses.field(default_factory=list)  # each path's addresses, as walked
    encloses: int = None  # another loop's backward branch on one of its paths
    order: dict = None  # address -> its place in the code's layout
    reentries: list = dataclasses.field(default_factory=list)  # jumps back to code before the head
    blind: int = None  # a computed jump of unknown target that a path from the head can reach
    segment: dict = None  # address -> the number of its segment (None: one segment)

    @property
    def body(self):
        return {a for path in self.paths for a in path.addresses}

    @property
    def iterations(self):
        """Iterations per trip of the fast paths (1 when not known)."""
        return max((p.advance or 1 for p in self.paths if not p.slow), default=1)


def layout(code):
    """Each address's place in the code's layout (`code` is in that order)."""
    return {address: place for place, address in enumerate(code)}


def find_loops(code, order):
    """One loop per target of a backward branch (its head), with every
    backward branch to it (its latches)."""
    heads = {}
    for insn in code.values():
        if insn.is_jump and not insn.indirect and insn.target in code \
                and order[insn.target] <= order[insn.address]:
            heads.setdefault(insn.target, []).append(insn.address)
    return [Loop(head, sorted(latches, key=order.get), order=order)
            for head, latches in sorted(heads.items(), key=lambda item: order[item[0]])]


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


class Graph:
    """The edges a walk of one loop follows, and the instructions from which
    one of its latches can be reached by them. A path runs forward in the
    code, except for jumps back to a point inside the loop past its head
    (an out-of-line block returning); a jump to the head or before it is
    another loop's latch."""

    def __init__(self, loop, code, predecessors):
        self.loop, self.code, self.order = loop, code, loop.order
        self.last = loop.latches[-1]
        self.cycles = {}
        # Only instructions that reach a latch (or, through a re-entry, the
        # head from before it) by the edges followed, not through the head,
        # can be on a path: the walk enters no other, so it never explores a
        # dead end that no path could leave.
        ends = loop.latches + [p for p in predecessors.get(loop.head, []) if loop.reentries
                               and self.order[p] < self.order[loop.head]]
        self.useful = reach(ends, lambda a: [p for p in predecessors.get(a, [])
                                             if self.follows(p, a)], loop.head)

    def returns_into_loop(self, jump, target):
        """A backward jump to a point past the head is an out-of-line block
        returning into this loop, unless it closes a loop of its own: when
        its target runs forward, without the head, into the jump again (the
        outer loop of a strip-mined pair, re-entering the inner loop)."""
        loop, code, order = self.loop, self.code, self.order
        if not order[loop.head] < order[target] <= order[self.last]:
            return False
        if target not in self.cycles:
            self.cycles[target] = reach([target], lambda a: [s for s in successors(code[a], code)
                                                             if order[s] > order[a]], loop.head)
        return jump not in self.cycles[target]

    def follows(self, address, successor):
        return self.order[successor] > self.order[address] \
            or self.returns_into_loop(address, successor) or address in self.loop.reentries

    def onward(self, address):
        """Where a path at `address` may go on (the head aside)."""
        return [s for s in successors(self.code[address], self.code)
                if s != self.loop.head and s in self.useful and self.follows(address, s)]

    def blind_jump(self):
        """A computed jump whose target is not known (disassembly proves the
        others) that a path from the head can reach, or None: a path
        through it may come back into the loop, unseen."""
        reached = reach([self.loop.head], lambda a: [
            s for s in successors(self.code[a], self.code) if s != self.loop.head
            and self.follows(a, s)], None)
        return min((a for a in reached if self.code[a].is_jump and self.code[a].indirect),
                   key=self.order.get, default=None)

    def has_path(self):
        """Whether any path runs from the head back to it: a shortest route
        by the edges followed is one (it enters nothing twice)."""
        return self.loop.head in self.loop.latches or any(self.onward(self.loop.head))


def walk_paths(loop, graph, latch_of):
    """Every simple path from the loop's head back to it through one of its
    latches, in the code's order (each path's addresses in loop.trails).
    The walk stops early when a path passes another loop's latch (a key of
    `latch_of`): the loop encloses that one, and is not judged. It stops at
    a bound (MAX_PATHS paths, MAX_STEPS steps of work), and says so in
    loop.truncated. It runs no path."""
    trail, on_trail, todo, steps = [], set(), [], 0

    def enter(address):
        trail.append(address)
        on_trail.add(address)
        todo.append(iter(successors(graph.code[address], graph.code)))

    enter(loop.head)
    while todo:
        address = trail[-1]
        for successor in todo[-1]:
            if successor == loop.head:
                # Back by a latch, or from before the head through a re-entry.
                if address not in loop.latches and not (
                        loop.reentries and graph.order[address] < graph.order[loop.head]):
                    continue
                if len(loop.trails) == MAX_PATHS:
                    loop.truncated = f"more than {MAX_PATHS} paths"
                    return
                loop.trails.append(list(trail))
                steps += len(trail)
                others = [a for a in trail[:-1] if latch_of.get(a, loop) is not loop]
                if others:
                    loop.encloses = others[0]
                    return
            elif successor in graph.useful and successor not in on_trail \
                    and graph.follows(address, successor):
                steps += 1
                if steps > MAX_STEPS:
                    loop.truncated = (f"more than {MAX_STEPS} steps, dead ends included, "
                                      f"after {len(loop.trails)} paths")
                    return
                enter(successor)
                break
        else:
            todo.pop()
            on_trail.discard(trail.pop())


def forward(code, order, start, until, avoid=()):
    """The instructions reached from `start` by forward edges alone, not
    past `until` and not on from those in `avoid`."""
    return reach([start], lambda a: [] if a in avoid else [
        s for s in successors(code[a], code) if order[a] < order[s] <= until], None)


def find_reentries(loops, code, order, segment):
    """Moves each backward branch that is a re-entry of a later loop (see
    the top) from the loop it closes to that loop's re-entries; returns the
    loops left with a backward branch of their own."""
    for early in loops:
        for late in loops:
            if order[early.head] >= order[late.head]:
                continue
            into = forward(code, order, early.head, order[late.head])
            if late.head not in into:
                continue
            out = forward(code, order, late.head, len(order), set(late.latches))
            past = max(order[latch] for latch in late.latches)
            moved = [j for j in early.latches if j in out and order[j] > past
                     and segment[j] != segment[late.head]]
            late.reentries += moved
            early.latches = [j for j in early.latches if j not in moved]
    return [loop for loop in loops if loop.latches]


def walk_loops(code, predecessors, segment=None):
    """The loops of `code`, each walked: those with a path back to the head
    (the others are no loop: an out-of-line block jumping back into a
    loop), a jump back to code that runs into a later loop being that
    loop's re-entry, each loop's latches known to every walk before it
    starts. `segment` gives each address's segment (its number; none: the
    code is one segment)."""
    order = layout(code)
    found = [loop for loop in find_loops(code, order)
             if Graph(loop, code, predecessors).has_path()]
    for loop in found:
        loop.segment = segment
    loops = []
    for loop in find_reentries(found, code, order, segment) if segment else found:
        graph = Graph(loop, code, predecessors)
        if graph.has_path():
            loops.append((loop, graph))
    latch_of = {latch: loop for loop, _ in loops for latch in loop.latches}
    for loop, graph in loops:
        loop.blind = graph.blind_jump()
        walk_paths(loop, graph, latch_of)
    return [loop for loop, _ in loops]


def innermost(loops):
    """The loops none of whose paths passes by another loop's latch (a
    loop that does encloses that one), whether or not their walk finished:
    one that stopped at a bound without passing another's latch may be
    innermost, and is kept (not judged)."""
    return [loop for loop in loops if loop.encloses is None]


def run_paths(loop, code, runtime, poll_words=()):
    """The loop's walked paths run symbolically (loop.paths); `poll_words`:
    the symbolic locations the runtime polls, with what each is."""
    loop.paths = [evaluate(trail, code, runtime, loop, poll_words) for trail in loop.trails]
    outer_trips(loop.paths)


def hottest_first(loops):
    """The loops, the hottest first: the one running the most iterations per
    trip (an unrolled main loop rather than its pre- and post-loops), then
    the longest; loops alike keep their order in the code."""
    return sorted(loops, key=lambda loop: (loop.iterations, len(loop.body)), reverse=True)
