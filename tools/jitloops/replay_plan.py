"""How long the replay runs and how it ends: the loop's counters (symbols a
trip advances by a constant: the index, a budget counted down) given their
starts so that every branch on them goes a judged path's way at sample
trips of the run, and the bound test sends the run out after exactly the
trips asked for. The run's end is where the bound test's other way goes,
with the index's value there and the trips it took to check.

The iterations asked for may be more than a guard on another counter
allows (a baseline compiler's tier-up budget, 32 bits counted down, would
call out before 1e8 iterations): the replay then runs the most it allows,
says so, and its figure is scaled.
"""
import dataclasses

from .concrete import MASK, Uncomputable, Unset, bits, evaluate, free_symbols, solve
from .replay_walk import Refusal
from .symbolic import Lin, definition, loaded

# Guards on the bound test, by the kind of their flags, the likeliest first.
BOUND_KINDS = ("cmp", "sub", "test")


@dataclasses.dataclass
class Plan:
    iterations: int
    trips: int
    advance: int
    exits: list
    checks: list
    notes: list


def samples(end):
    """Trips at which the branches are checked: the first ones, the middle
    and the last before `end`."""
    picked = set(range(8)) | {end // 4, end // 2, 3 * end // 4, end - 3, end - 2, end - 1}
    return sorted(k for k in picked if 0 <= k < end)


def linear_parts(value, name):
    """(Lin, coefficient) of every linear value in `value`'s tree (itself,
    and the arguments of its opaque terms) holding `name` as a term."""
    found, todo = [], [value]
    while todo:
        lin = todo.pop()
        if name in lin.terms and abs(lin.terms[name]) == 1:
            found.append((lin, lin.terms[name]))
        for term in lin.terms:
            if definition(term):
                todo.extend(definition(term)[1])
    return found


def constants_in(value, env):
    """The values of the linear values in `value`'s tree that hold no
    counter: what a counter is compared with."""
    found, todo = {0}, [value]
    while todo:
        lin = todo.pop()
        try:
            found.add(evaluate(lin, env))
        except Exception:  # noqa: BLE001 (not computable yet: not a bound)
            pass
        for term in lin.terms:
            if definition(term):
                todo.extend(definition(term)[1])
    return found


class Counters:
    def __init__(self, walks, kinds, symbols, solver):
        self.walks, self.kinds, self.symbols, self.solver = walks, kinds, symbols, solver

    def guards(self, name):
        return [(w, g) for w in self.walks for g in w.guards
                if self.kinds[(id(w), g.address)] == name]

    def at(self, env, k):
        """The numbers at trip k: every counter advanced from its start."""
        return {**env, **{c: (env[c] + k * d) & MASK for c, d in self.symbols.counters.items()
                          if c in env}}

    def starts(self, name, guards, trips):
        """Candidate starts of counter `name` for its guards to hold over
        `trips` trips: each value it is compared with, reached at the first
        or the last trip, or the ends of its range."""
        delta, env = self.symbols.counters[name], self.solver.env
        found = []
        for _, g in guards:
            top = 1 << (g.width - 1)
            targets = {top - 1, top, bits(g.width)}.union(
                *(constants_in(o.value, {**env, name: 0}) for o in g.operands))
            for o in g.operands:
                for lin, coefficient in linear_parts(o.value, name):
                    rest = evaluate(lin, {**env, name: 0})
                    for target in sorted(targets):
                        for k in (0, trips):
                            base = (target - rest) * coefficient - k * delta
                            found += [base + d for d in range(-2 * abs(delta) - 1,
                                                              2 * abs(delta) + 2)]
        return list(dict.fromkeys(v & MASK for v in found))

    def holds_over(self, guards, env, trips):
        return all(self.solver.holds(g, self.at(env, k)) for _, g in guards
                   for k in samples(trips + 1))

    def budget(self, name, trips):
        """(start, the most trips its guards allow, up to `trips`)."""
        guards = self.guards(name)

        def start_for(t):
            for start in self.starts(name, guards, t):
                if self.holds_over(guards, {**self.solver.env, name: start}, t):
                    return start
            return None

        if start_for(trips) is not None:
            return start_for(trips), trips
        low, high = 0, trips
        while high - low > 1:
            middle = (low + high) // 2
            low, high = (middle, high) if start_for(middle) is not None else (low, middle)
        if start_for(low) is None:
            raise Refusal(f"no start for {name} keeps its branches on the paths")
        return start_for(low), low


def consistent(solver, walk, env, until=None):
    """Whether every branch of `walk` goes its way under `env` (up to the
    branch at the address `until`, which must go the other way)."""
    for g in walk.guards:
        if g.address == until:
            return not solver.holds(g, env)
        if not solver.holds(g, env):
            return False
    return until is None


def run_plan(walks, kinds, symbols, solver, iterations, hot):
    paths = [w.path for w in walks]
    indexes = {(p.index, p.index_location) for p in paths}
    advances = {p.advance for p in paths}
    if len(indexes) != 1 or None in advances or len(advances) != 1:
        raise Refusal("its paths do not advance one index by one step per trip "
                      f"({sorted(map(str, advances))} iterations per trip): the run's length "
                      "cannot be set")
    (index, location), advance = indexes.pop(), advances.pop()
    name = f"{index}@head" if index else loaded(location)
    if name not in symbols.counters:
        raise Refusal(f"the index {name} is not advanced by a constant on every path")
    counters = Counters(walks, kinds, symbols, solver)
    trips, notes = iterations // advance, []
    if trips < 2:
        raise Refusal(f"{iterations} iteration(s) make fewer than two trips of {advance}: too few "
                      "to replay the loop (--replay-iterations)")
    for other in sorted(symbols.counters):
        if other != name and counters.guards(other):
            start, allowed = counters.budget(other, trips)
            solver.env[other] = start
            if allowed < trips:
                notes.append(f"the replay runs {allowed * advance} iterations, scaled to "
                             f"{iterations}: the branch on {other}, a counter its paths advance "
                             f"by {symbols.counters[other]} a trip, leaves its paths after "
                             f"{allowed} trips")
                trips = allowed
    chosen, problems, tests = None, [], []
    for exit_walk, bound in bound_tests(walks, counters.guards(name)):
        # The iterations the last trip does before its bound test: none (a
        # test at the head), all (at the latch) or part (a rotated loop).
        acc_stores = sum(1 for u in exit_walk.uses if u.accumulator and u.writes)
        if acc_stores:
            partial = bound.stores_before * advance // acc_stores
        else:
            partial = advance if bound.address == exit_walk.path.addresses[-1] else 0
        last = (trips * advance - partial) // advance
        tests.append((last * advance + partial != trips * advance, exit_walk, bound, partial, last))
    # A test that ends the run after exactly the trips asked for first.
    for _, exit_walk, bound, partial, last in sorted(tests, key=lambda t: t[0]):
        chosen = start_for(name, bound, exit_walk, last, walks, counters, solver)
        if chosen:
            break
        problems.append(f"no start for the index {name} sends every trip along a judged path and "
                        f"out by the branch at {bound.address:#x} after {last} trips")
    if chosen is None:
        raise Refusal("; ".join(problems) or "no branch on the index leaves the loop: no bound "
                      "test to end the run")
    solver.env.update(chosen)
    end = counters.at(chosen, last)
    exits = sorted({g.next if g.taken else g.target for w in walks for g in w.guards
                    if g.address == bound.address})
    checks = [("the index", *index_check(index, location, bound, end, walks))]
    done = last * advance + partial
    if done != iterations and not notes:
        notes.append(f"the replay runs {done} iterations, scaled to {iterations}: its bound test "
                     f"lets the loop end only after {partial} iteration(s) of a trip of {advance}")
    return Plan(done, -(-done // advance), advance, exits, checks, notes)


def bounds(bound, free, env, name, last, counters):
    """Numbers for the bound test's free symbols (a limit in a register)
    making it leave at trip `last`; one empty choice when it has none."""
    if not free:
        return [{}]
    found = []
    at_end = counters.at(env, last)
    for o in bound.operands:
        if not free_symbols(o.value, at_end) & set(free):
            continue
        others = [p for p in bound.operands if p is not o]
        for p in others:
            if free_symbols(p.value, at_end):
                continue
            value = evaluate(p.value, at_end)
            for d in range(-2 * abs(counters.symbols.counters[name]) - 1,
                           2 * abs(counters.symbols.counters[name]) + 2):
                trial = dict(at_end)
                if solve(o.value, value + d, trial):
                    found.append({f: trial[f] for f in free if f in trial})
    return found


def start_for(name, bound, exit_walk, last, walks, counters, solver):
    """The numbers (the index's start, a limit in a register) with which
    every sample trip runs along a judged path and the trip `last` leaves by
    `bound`; None when there are none."""
    free = sorted(set().union(*(free_symbols(o.value, solver.env) for o in bound.operands))
                  - {name})
    others = set()
    for w in walks:
        for g in w.guards:
            others |= set().union(*(free_symbols(o.value, solver.env) for o in g.operands))
    defaults = dict.fromkeys(others - set(free) - set(counters.symbols.counters), 0)
    for start in ([0, 1, 2, 3] if free else counters.starts(name, [(exit_walk, bound)], last)):
        env = {**defaults, **solver.env, name: start & MASK}
        for bound_value in bounds(bound, free, env, name, last, counters):
            trial = {**env, **bound_value}
            if all(any(consistent(solver, w, counters.at(trial, k)) for w in walks)
                   for k in samples(last)) and any(
                    consistent(solver, w, counters.at(trial, last), bound.address)
                    for w in walks):
                return trial
    return None


def bound_tests(walks, guards):
    """The walks and branches by which the loop may leave when its index is
    done: branches on the index whose other way no judged path takes, the
    likeliest by their flags' kind, then in path order."""
    taken = {}
    for w in walks:
        for g in w.guards:
            taken.setdefault(g.address, set()).add(g.taken)
    leaving, seen = [], set()
    for w, g in guards:
        if len(taken[g.address]) == 1 and g.address not in seen:
            seen.add(g.address)
            leaving.append((w, g))
    leaving.sort(key=lambda pair: (BOUND_KINDS.index(pair[1].kind)
                                   if pair[1].kind in BOUND_KINDS else len(BOUND_KINDS),
                                   pair[0].path.addresses.index(pair[1].address)))
    return leaving


def index_check(index, location, bound, end, walks):
    """("reg", name) or ("cell", address), the width compared (the index's
    low 32 bits, which every index here fits in) and the value the index
    holds where the run ends."""
    try:
        if index:
            value = bound.regs.get(index, Lin.symbol(f"{index}@head"))
            return "reg", index, 4, evaluate(value, end) & bits(32)
        stored = bound.memory.get(location)
        value = stored[0] if stored else Lin.symbol(loaded(location))
        where = next(w.loaded[location][0] for w in walks if location in w.loaded)
        return "cell", evaluate(where, end), 4, evaluate(value, end) & bits(32)
    except (Uncomputable, Unset):
        raise Refusal("the index's value where the run ends is one the listing does not follow: "
                      "the run's length could not be checked")


def trip_walks(walks, solver, symbols, trips, count=8):
    """The walks a run takes at its first trips, one period of them (Branch's
    two arms in turn): the order in which the chain takes the updates."""
    counters = Counters(walks, None, symbols, solver)
    taken = []
    for k in range(min(count, max(trips, 1))):
        env = counters.at(solver.env, k)
        chosen = next((w for w in walks if consistent(solver, w, env)), None)
        if chosen is None:
            break
        taken.append(chosen)
    period = next((p for p in range(1, len(taken) + 1)
                   if all(taken[i] is taken[i % p] for i in range(len(taken)))), 0)
    return taken[:period]
