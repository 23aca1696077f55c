"""The state a judged loop is replayed from, solved from its paths' walks
(replay_walk): a number for every register at the loop's head and every
memory cell its paths read first, such that the accumulator's accesses all
reach one cell, every other access reaches a page of its own, every branch
on a path goes the path's way, and the loop leaves by its bound test after
exactly the iterations asked for (or the most a guard on another counter
allows, said so).

The symbols the walks name are sorted by what a trip does to them:
invariant (no trip changes it: a branch on it is decided once, by giving
its free symbols numbers), a counter (every trip adds one constant: the
loop index, a tier-up budget; a branch on it is decided by its start and
checked at sample trips of the run) or varying (a branch on it, or on the
accumulator's value, is refused). Addresses get numbers first: the
accumulator's cell, then each register or value used as a base a window of
its own in a data arena (below 4 GiB for a value loaded as 32 bits), so
that locations the listing tells apart stay apart.
"""
import dataclasses

from .concrete import (MASK, Uncomputable, Unset, bits, evaluate, flags, free_symbols, holds,
                       solve)
from .paths import signed_step
from .replay_plan import run_plan
from .replay_walk import Refusal, walk
from .symbolic import Lin, definition, loaded

PAGE = 4096
ARENAS = {64: 0x1000_0000_0000, 32: 0x4000_0000}
WINDOW = 1 << 20
REGISTERS = ("rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi", "r8", "r9", "r10", "r11",
             "r12", "r13", "r14", "r15") + tuple(f"xmm{n}" for n in range(16))


@dataclasses.dataclass
class State:
    iterations: int  # what the replay runs (trips x iterations per trip)
    trips: int
    advance: int  # iterations per trip
    registers: dict  # name -> value at the head
    cells: dict  # address -> (width in bytes, value)
    code: dict  # address -> the bytes of one instruction placed there
    entry: int
    exits: list
    checks: list  # (what, "reg" name or cell address, width in bytes, value expected)
    accumulator: int = None  # the cell's address (None: no access of it on the paths)
    env: dict = None
    walks: list = None
    notes: list = dataclasses.field(default_factory=list)
    solver: object = None
    symbols: object = None

    @property
    def pages(self):
        """page -> "code" or "data"; a page holding both is code."""
        found = {}
        for address, data in self.code.items():
            for page in range(address // PAGE, (address + len(data) - 1) // PAGE + 1):
                found[page * PAGE] = "code"
        for address in self.exits:
            found[address // PAGE * PAGE] = "code"
        for address, (width, _) in self.cells.items():
            for page in range(address // PAGE, (address + width - 1) // PAGE + 1):
                found.setdefault(page * PAGE, "data")
        return found


class Symbols:
    """What a trip does to each symbol: counters' deltas per trip, the
    varying ones."""

    def __init__(self, walks):
        self.counters, self.varying = {}, set()
        seen = {}
        for w in walks:
            changes = {f"{family}@head": (value, Lin.symbol(f"{family}@head"))
                       for family, value in w.final.items()}
            changes.update((loaded(key), (value, Lin.symbol(loaded(key))))
                           for key, value in w.stored.items())
            for name, (value, start) in changes.items():
                delta = value.minus_symbols(start) if value is not None else None
                delta = None if delta is None else signed_step(delta & MASK) if delta else 0
                seen.setdefault(name, set()).add(delta)
        for name, deltas in seen.items():
            deltas.discard(0)
            if None in deltas or len(deltas) > 1:
                self.varying.add(name)
            elif deltas:
                self.counters[name] = deltas.pop()

    def restorable(self, walks):
        """The registers a trip sets afresh from values it can be given (a
        pointer unboxed again from the interpreter's frame by a side trace):
        taken as unchanged, if their values can be made the head's
        (Solver.restore). Returns {family: [its values at the walks' ends]}."""
        found = {}
        for name in sorted(self.varying):
            family = name[:-len("@head")] if name.endswith("@head") else None
            ends = [w.final[family] for w in walks if family in w.final] if family else []
            if ends and not any(s.startswith("?") for v in ends for s in free_symbols(v, {})):
                found[family] = ends
                self.varying.discard(name)
        return found


def width_of(name, walks):
    """How many bits a symbol can hold: a loaded value, as wide as it is read."""
    if not name.startswith("M["):
        return 64
    return max((w.loaded[name[2:-1]][1] * 8 for w in walks if name[2:-1] in w.loaded),
               default=64)


class Solver:
    def __init__(self, walks, symbols, compilation):
        self.walks, self.symbols = walks, symbols
        self.env, self.windows = {}, {bits_: 1 for bits_ in ARENAS}
        self.fixed_code(compilation)

    def fixed_code(self, compilation):
        """A load from the compilation's own bytes (a constant in its code)
        reads those bytes."""
        for w in self.walks:
            for key, (location, size) in w.loaded.items():
                if location.terms:
                    continue
                for start, data in compilation.segments:
                    offset = location.const - start
                    if 0 <= offset and offset + size <= len(data):
                        self.env[loaded(key)] = int.from_bytes(data[offset:offset + size],
                                                               "little")

    def root(self, name):
        """A window of its own for a base register or value."""
        size = width_of(name, self.walks)
        if size not in ARENAS:
            raise Refusal(f"{name}, a {size}-bit value, is used as an address")
        number = self.windows[size]
        self.windows[size] += 1
        displacements = [u.location.const for w in self.walks for u in w.uses
                         if u.location.terms == {name: 1} and u.width == 8]
        align = max(range(8), key=lambda a: (sum((a + d) % 8 == 0 for d in displacements), -a))
        return ARENAS[size] + number * WINDOW + WINDOW // 2 + align

    def addresses(self):
        """Numbers for the addresses' symbols: the accumulator's cell, then
        a window per base."""
        acc = [u.location for w in self.walks for u in w.uses if u.accumulator]
        accumulator = None
        others = [u for w in self.walks for u in w.uses if not u.accumulator]
        moving = set(self.symbols.counters) | self.symbols.varying
        for lin in acc:
            if (set(lin.terms) | free_symbols(lin, {})) & moving:
                raise Refusal(f"the accumulator's address ({lin.key()}) changes from one trip to "
                              "the next")
        shared = {s for lin in acc for s in free_symbols(lin, {})} & {
            s for u in others for s in free_symbols(u.location, {})}
        for name in sorted(shared):
            self.env[name] = self.root(name)
        # A cell whose address the bases already give (a stack slot) is where
        # it is; otherwise the arena's first cell.
        lins = sorted({lin.key(): lin for lin in acc}.values(),
                      key=lambda lin: (bool(free_symbols(lin, self.env)), lin.key()))
        for lin in lins:
            if accumulator is None or not free_symbols(lin, self.env) and lin is lins[0]:
                accumulator = evaluate(lin, self.env) if not free_symbols(lin, self.env) \
                    else ARENAS[64] + 0x100
            wide = sorted(lin.terms, key=lambda s: (width_of(s, self.walks) < 64, s))
            ordered = Lin(lin.const, {s: lin.terms[s] for s in wide})
            if not self.solve_wide(ordered, accumulator):
                raise Refusal(f"the accumulator's accesses cannot all reach one cell ({lin.key()}"
                              " cannot be made its address)")
        for use in others:
            if set(free_symbols(use.location, {})) & moving:
                raise Refusal(f"the access at {use.address:#x} ({use.location.key()}) moves from "
                              "one trip to the next")
            for name, _ in sorted(use.location.terms.items()):
                part = Lin.symbol(name)
                if not free_symbols(part, self.env):
                    continue
                if definition(name) is None:
                    self.env[name] = self.root(name)
                elif not solve(part, self.root(min(free_symbols(part, self.env))), self.env):
                    raise Refusal(f"the address of the access at {use.address:#x} "
                                  f"({use.location.key()}) cannot be given a value")
        self.env.setdefault("rsp@head", self.root("rsp@head"))
        return accumulator

    def restore(self, restored):
        """Numbers for what the registers in `restored` are set from, so that
        each holds at a trip's end what it held at its head."""
        for family, ends in restored.items():
            head = f"{family}@head"
            if head not in self.env:
                continue
            for value in ends:
                if not solve(value, self.env[head], self.env):
                    raise Refusal(f"%{family} holds another value at the end of a trip than at "
                                  f"its head ({value.key()}), and no number makes them one")

    def solve_wide(self, lin, target):
        """solve, the symbol solved for being one that holds 64 bits."""
        free = [s for s in lin.terms if free_symbols(Lin.symbol(s), self.env)]
        wide = [s for s in free if width_of(s, self.walks) == 64 and definition(s) is None]
        for name in free:
            if wide and name != wide[0]:
                for inner in free_symbols(Lin.symbol(name), self.env):
                    self.env[inner] = 0
        return solve(lin, target, self.env)

    def classify(self, guard):
        """"invariant" or the counter a branch decides on; refuses the others."""
        if guard.kind is None:
            raise Refusal(f"{guard.why}: the branch at {guard.address:#x} cannot be steered")
        names = set().union(*(free_symbols(o.value, {}) for o in guard.operands))
        if any(n.startswith("?") for n in names):
            raise Refusal(f"the branch at {guard.address:#x} decides on a value the listing "
                          "cannot follow")
        varying = names & self.symbols.varying
        if varying:
            raise Refusal(f"the branch at {guard.address:#x} decides on a value the loop changes "
                          f"otherwise than by a constant ({sorted(varying)[0]})")
        counters = names & set(self.symbols.counters)
        if len(counters) > 1:
            raise Refusal(f"the branch at {guard.address:#x} decides on two counters")
        return counters.pop() if counters else "invariant"

    def holds(self, guard, env):
        try:
            values = [(evaluate(o.value, env) >> o.offset) & MASK for o in guard.operands]
            return holds(guard.cc, flags(guard.kind, values, guard.width)) == guard.taken
        except Uncomputable as error:
            raise Refusal(f"the branch at {guard.address:#x}: {error}")
        except Unset as error:
            raise Refusal(f"the branch at {guard.address:#x} decides on {error}, which nothing "
                          "gives a number")

    def candidates(self, guard, name, env):
        """Numbers for `name` that may send `guard` its path's way."""
        top = 1 << (guard.width - 1)
        near = {0, 1, bits(guard.width), top, top - 1}
        for o in guard.operands:
            if not free_symbols(o.value, env) - {name}:
                try:
                    value = evaluate(o.value, {**env, name: 0}) >> o.offset
                except Unset:
                    continue
                near |= {value - 1, value, value + 1}
        found = []
        for o in guard.operands:
            if name not in free_symbols(o.value, env):
                continue
            for target in sorted(near):
                trial = dict(env)
                for other in free_symbols(o.value, trial) - {name}:
                    trial[other] = 0
                if solve(o.value, (target << o.offset) & MASK, trial):
                    found.append(trial[name])
        # The smallest numbers first: a length of 1 rather than of 2^64 - 1.
        return sorted(dict.fromkeys(v & MASK for v in found + list(near)),
                      key=lambda v: (min(v, (1 << 64) - v), v))

    def steer(self, guard):
        """Numbers for the invariant branch's free symbols so it goes its
        path's way."""
        free = sorted(set().union(*(free_symbols(o.value, self.env) for o in guard.operands)))
        if not free:
            if not self.holds(guard, self.env):
                raise Refusal(f"the branch at {guard.address:#x} goes the other way with the "
                              "numbers the accesses need")
            return
        name = free[0]
        for other in free[1:]:
            self.env[other] = 0
        for value in self.candidates(guard, name, self.env):
            if self.holds(guard, {**self.env, name: value & MASK}):
                self.env[name] = value & MASK
                return
        raise Refusal(f"no number for {name} sends the branch at {guard.address:#x} its path's way")


def synthesize(hot, compilation, code, iterations):
    """The State replaying the judged loop `hot` (a LoopReport) for
    `iterations` iterations, or Refusal."""
    judged = [p for p in hot.loop.paths if not p.slow]
    if not judged:
        raise Refusal("every path of the loop calls out or leaves by its bound test")
    accumulators = {a.address for p in judged for a in p.accesses if a.kind == "accumulator"}
    polls = {f"{a:#x}": why for a, why in compilation.poll_words.items()}
    walks = [walk(p, code, compilation.runtime, polls, accumulators) for p in judged]
    symbols = Symbols(walks)
    solver = Solver(walks, symbols, compilation)
    restored = symbols.restorable(walks)
    accumulator = solver.addresses()
    solver.restore(restored)
    kinds = {}
    for w in walks:
        for guard in w.guards:
            kinds[(id(w), guard.address)] = solver.classify(guard)
    ways = {}
    for w in walks:
        for guard in w.guards:
            if kinds[(id(w), guard.address)] == "invariant":
                if ways.setdefault(guard.address, guard.taken) != guard.taken:
                    raise Refusal(f"the paths go different ways at {guard.address:#x} on values no "
                                  "trip changes: they cannot all run")
                solver.steer(guard)
    solver.restore(restored)  # what the branches gave numbers to, held across trips
    plan = run_plan(walks, kinds, symbols, solver, iterations, hot)
    state = finish(plan, walks, solver, compilation, code, accumulator, hot)
    state.solver, state.symbols = solver, symbols
    return state


def finish(plan, walks, solver, compilation, code, accumulator, hot):
    env = solver.env
    for w in walks:  # what is read and not yet given a number holds 0
        for key in w.loaded:
            env.setdefault(loaded(key), 0)
        for family in w.final:
            env.setdefault(f"{family}@head", 0)
    registers = {name: env.get(f"{name}@head", 0) for name in REGISTERS}
    cells = {}
    spans = []
    for w in walks:
        for key, (location, size) in w.loaded.items():
            address = evaluate(location, env)
            value = env[loaded(key)]
            if value > bits(8 * size):
                raise Refusal(f"{loaded(key)} needs {value:#x}, more than its {8 * size}-bit load "
                              "reads")
            cells[address] = (max(size, cells.get(address, (0, 0))[0]), value)
        for use in w.uses:
            address = evaluate(use.location, env)
            if not 0x10000 <= address < 0x7fff_ffff_0000:
                raise Refusal(f"the access at {use.address:#x} would reach {address:#x}, where "
                              "no page can be placed")
            cells.setdefault(address, (use.width, 0))
            spans.append((address, address + use.width, use))
    spans.sort(key=lambda s: s[0])
    for (a0, a1, u0), (b0, b1, u1) in zip(spans, spans[1:]):
        if b0 < a1 and u0.location.key() != u1.location.key() \
                and not (u0.accumulator and u1.accumulator):
            raise Refusal(f"the accesses at {u0.address:#x} and {u1.address:#x}, which the listing "
                          "tells apart, would overlap")
    placed = {a: bytes_of(compilation, a, code[a].length) for w in walks
              for a in w.path.addresses}
    rsp = registers["rsp"]
    for page in range(-2, 2):
        cells.setdefault(rsp // PAGE * PAGE + page * PAGE, (8, 0))
    state = State(plan.iterations, plan.trips, plan.advance, registers, cells, placed,
                  hot.loop.head, plan.exits, plan.checks, accumulator, env, walks, plan.notes)
    pages = state.pages
    for w in walks:
        for use in w.uses:
            address = evaluate(use.location, env)
            if use.writes and pages.get(address // PAGE * PAGE) == "code":
                raise Refusal(f"the store at {use.address:#x} would write into a page of the "
                              "code placed for the replay")
    check_code_cells(state, code)
    return state


def check_code_cells(state, code):
    """A cell in a code page is written there before the code runs, over
    its traps: it must leave every byte a run can execute as the walk saw it
    (the placed instructions' own bytes, a trap at every way out of them), or
    the harness would run bytes the listing never walked."""
    placed = {}
    for address, data in state.code.items():
        placed.update(zip(range(address, address + len(data)), data))
    reachable = set(state.exits) | {way for a in state.code for way in (code[a].next,
                                                                       code[a].target)
                                    if way is not None and way not in state.code}
    pages = state.pages
    for address, (width, value) in state.cells.items():
        kinds = {pages.get((address + k) // PAGE * PAGE) for k in range(width)}
        if kinds == {"data"}:
            continue
        if len(kinds) > 1:
            raise Refusal(f"the cell at {address:#x} lies across a page of the code placed for "
                          "the replay and a page of data")
        for k, byte in enumerate((value & bits(8 * width)).to_bytes(width, "little")):
            if address + k in reachable or placed.get(address + k, byte) != byte:
                raise Refusal(f"the cell at {address:#x}, which the path reads, would write over "
                              f"code a run can reach ({address + k:#x}): the replay would run "
                              "bytes the listing did not walk")


def bytes_of(compilation, address, length):
    for start, data in compilation.segments:
        if start <= address and address + length <= start + len(data):
            return data[address - start:address - start + length]
    raise Refusal(f"the instruction at {address:#x} is not in the compilation's bytes")
