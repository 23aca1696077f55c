"""Counting: runs a timed stretch from the first clock call's return to the
second on the register values known there, and counts the reads and writes
of the accumulator. Loops are skipped over in proven periods: at a loop
head, when the registers have stepped alike over the last visits, one period
is run with every register as S0 + m*D; if it ends in S0 + (m+1)*D with
every branch decided alike, as many periods as provably stay alike are
skipped at once. What is left (peeled iterations, remainders, the exit) is
stepped through.

The rule that the counts must be exactly ITERATIONS, and the words of every
fault of a trip around a loop, are in rules.py; the reasons a stretch cannot
be followed at all are given here, where they are found.
"""
import dataclasses

from .errors import CannotCount, PeriodFault, TripFault
from .state import describe, is_timespec
from .values import Context, Value

MAX_STEPS = 20_000  # concrete steps per stretch, after proven periods are skipped
MAX_PERIOD = 8  # visits of a loop head that one period may span
MIN_SKIP = 8  # fewer periods than this are stepped through rather than skipped


@dataclasses.dataclass
class Counts:
    """What a run found, so far as it got."""
    reads: int = 0  # of the accumulator
    writes: int = 0
    steps: int = 0  # instructions executed between the two clock calls
    periods: list = dataclasses.field(default_factory=list)  # the skips, described


def repeated_steps(first, second, third):
    """The constant each register stepped by from `first` to `second` and
    again from `second` to `third` (register maps); None when some register
    did not step alike. Registers in name order, so that a period is
    described the same on every run."""
    delta = {}
    for family in sorted(set(first) | set(second) | set(third)):
        a, b, c = first.get(family), second.get(family), third.get(family)
        if a is None or b is None or c is None:
            if (a, b, c) != (None, None, None):
                return None
            continue
        if not (a.base == b.base == c.base and a.w == b.w == c.w):
            return None
        step = (c.c0 - b.c0) % (1 << a.w)
        if step != (b.c0 - a.c0) % (1 << a.w):
            return None
        delta[family] = step
    return delta


def unknown_tested(isa, insn, state):
    """The registers the condition of the branch `insn` tested that the
    check cannot know, each with why, in words."""
    tested = isa.tested_registers(insn, state)
    if tested is None:
        return "the flags, left by an instruction whose flags the check does not model"
    unknown = [f"{isa.register_text(name)} ({state.unknown_why(name)})" for name in tested
               if state.get(name) is None or not state.get(name).known]
    if not unknown:
        return "the flags, computed from a register written since"
    return ", ".join(unknown)


class Emulator:
    """Runs one timed stretch, counting accesses to the accumulator into
    `counts`; raises CannotCount (or TripFault) when it cannot finish."""

    def __init__(self, graph, accumulator, stretch, loop, start, end):
        self.accumulator, self.program = accumulator, graph.program
        self.isa = isa = graph.program.isa
        self.stretch, self.loop, self.end = stretch, loop, end
        self.decoded = {a: isa.decode(self.program.at(a)) for a in stretch}
        state = graph.states[start].copy()
        for family in isa.CALLER_SAVED:
            returns = family == isa.RETURN_REGISTER
            state.put(family, None, f"the clock call {graph.program.at(start)} "
                                    f"{'returns' if returns else 'may change'} it")
        state.flags = None
        self.state, self.start = state, start
        self.timespec = graph.states[start].get(isa.ARGUMENTS[64][1])
        self.heads = {a for a in loop if any(a == self.program.at(b).target for b in loop)}
        self.counts = Counts()
        self.period_faults = []  # proven periods whose registers advance by other than the updates

    def step(self, address, state, ctx):
        """Executes one instruction; returns (next address, reads, writes)
        or raises CannotCount."""
        insn = self.program.at(address)
        decoded = self.decoded[address]
        reads = writes = 0
        if not decoded.allowed:  # a copy of the timestamp (the only one let through)
            return insn.next, 0, 0
        for where, r, w in self.isa.execute(insn, decoded, state, ctx):
            if where != self.accumulator and not (w == 0 and is_timespec(where, self.timespec)):
                raise CannotCount(f"{insn}: memory access at {describe(where)} while counting")
            if where == self.accumulator:
                reads, writes = reads + r, writes + w
        if insn.is_jump and not insn.is_conditional:
            return insn.target, reads, writes
        if not insn.is_conditional:
            return insn.next, reads, writes
        taken = self.isa.branch_taken(insn, state, ctx)
        if taken is None:
            if ctx.symbolic:
                raise CannotCount("")
            options = [a for a in (insn.target, insn.next) if a in self.stretch or a == self.end]
            if len(options) != 1 or address in self.loop:
                raise CannotCount(f"{insn}: a branch inside the timed stretch decided by a "
                                  f"value the check cannot know: "
                                  f"{unknown_tested(self.isa, insn, state)}")
            # The one way that stays in the stretch (the other never returns:
            # the clock's error exit) tells what the condition tested.
            for name, value in self.isa.branch_facts(insn, state, options[0] == insn.target):
                state.narrow(name, value)
            return options[0], reads, writes
        return (insn.target if taken else insn.next), reads, writes

    def check_trip(self, head, reads, writes):
        """Every trip around a loop, from its head back to it, updates the
        accumulator: as many reads as writes, at least one. A trip without
        an update is loop overhead the claimed loop does not have (say, a
        loop that runs twice as often and updates on every other trip)."""
        if reads != writes or reads == 0:
            raise TripFault(self.program.at(head), reads, writes)

    def check_period(self, head, period, delta, result):
        """A trip of the loop head may hold several iterations of the source
        loop (unrolled by the compiler or by hand), so an update on every
        trip is not enough: a loop running twice as often, updating on
        every other iteration, and unrolled 8 times, still updates on every
        trip. Per iteration, then: every register that advances over a
        proven period advances by a divisor of the period's updates (up or
        down), so that no register counts more iterations than there are
        updates, and each iteration it counts updates alike. A loop
        unrolled by hand (`i += 2`, two updates) may be counted by the
        compiler in its own iterations: 16 updates while the index
        advances by 8."""
        _, reads, writes, _ = result
        steps = {f: Value(d, 0, self.state.regs[f].w).signed() for f, d in delta.items() if d}
        if any(reads % abs(d) for d in steps.values()) or reads != writes:
            # Counting goes on: the total is judged as well.
            self.period_faults.append(PeriodFault(self.program.at(head), reads, steps))

    def run(self):
        counts, state = self.counts, self.state
        address, previous = self.program.at(self.start).next, self.start
        history, concrete = {}, Context()
        trips = {}  # loop head -> [reads, writes] since the last arrival there
        for _ in range(MAX_STEPS):
            if address == self.end:
                return
            if address not in self.stretch:
                raise CannotCount(f"{self.program.at(previous)}: the timed stretch goes on to "
                                  f"code that never reaches the second clock call")
            if address in self.heads:
                if address in trips:
                    self.check_trip(address, *trips[address])
                trips[address] = [0, 0]
                visits = history.setdefault(address, [])
                if self.try_skip(address, visits, state):
                    visits.clear()
            previous = address
            address, r, w = self.step(address, state, concrete)
            for trip in trips.values():
                trip[0] += r
                trip[1] += w
            counts.reads, counts.writes = counts.reads + r, counts.writes + w
            counts.steps += 1
        raise CannotCount(f"the loop does not end within {MAX_STEPS} instructions that the "
                          f"check could not skip as proven periods (it may never end)")

    def try_skip(self, head, visits, state):
        """At a loop head: when the register values of the last visits step
        by the same amounts, try to prove that many periods alike and skip
        them; of the periods that can be proved, the one skipping most
        iterations is taken."""
        visits.append(dict(state.regs))
        best = None
        for period in range(1, MAX_PERIOD + 1):
            if len(visits) < 2 * period + 1:
                break
            delta = repeated_steps(visits[-2 * period - 1], visits[-period - 1], visits[-1])
            if delta is None:
                continue
            result = self.prove(head, period, state, delta)
            if result is None:
                continue
            if result[0] is None:  # the period repeats for ever
                raise CannotCount(f"{self.program.at(head)}: the loop never exits (its exit "
                                  f"condition does not change over the periods)")
            if result[0] >= MIN_SKIP and (best is None or result[0] * period
                                          > best[2][0] * best[0]):
                best = (period, delta, result)
        if best is None:
            return False
        self.check_period(head, *best)
        self.skip(head, *best)
        return True

    def prove(self, head, period, state, delta):
        """Runs one period with every register as S0 + m*D; returns (periods
        to skip, reads, writes, instructions) when it ends in S0 + (m+1)*D."""
        ctx = Context(symbolic=True)
        regs = {f: (v if v is None else Value(v.c0, delta.get(f, 0), v.w, v.base))
                for f, v in state.regs.items()}
        sym = type(state)(regs, None)
        address, visits, reads, writes, count = head, 0, 0, 0, 0
        trip = [0, 0]
        try:
            while True:
                if address not in self.loop or count > 4096:
                    return None
                address, r, w = self.step(address, sym, ctx)
                reads, writes, count = reads + r, writes + w, count + 1
                trip = [trip[0] + r, trip[1] + w]
                if address == head:
                    self.check_trip(head, *trip)
                    trip = [0, 0]
                    visits += 1
                    if visits == period:
                        break
        except TripFault:
            raise  # a fault of the kernel, not a failed proof
        except CannotCount:
            return None
        for family in set(sym.regs) | set(state.regs):
            before, after = state.regs.get(family), sym.regs.get(family)
            if before is None or after is None:
                if before is not None or after is not None:
                    return None
                continue
            expect = Value(before.c0 + delta.get(family, 0), delta.get(family, 0), before.w,
                           before.base)
            if after != expect:
                return None
        if ctx.limit is not None and ctx.limit < 2:
            return None
        return ctx.limit, reads, writes, count

    def skip(self, head, period, delta, result):
        limit, reads, writes, count = result
        state = self.state
        for family, d in delta.items():
            v = state.regs[family]
            state.regs[family] = Value(v.c0 + d * limit, 0, v.w, v.base)
        state.flags = None
        counts = self.counts
        counts.reads += reads * limit
        counts.writes += writes * limit
        counts.steps += count * limit
        steps = {f: Value(d, 0, state.regs[f].w).signed() for f, d in delta.items() if d}
        index = [self.isa.register_text(f) for f, d in steps.items() if abs(d) == reads == writes]
        counts.periods.append(
            f"loop at {head:x}: {limit} periods of {count} instructions, {reads} read(s) and "
            f"{writes} write(s) of the accumulator each, registers step by {steps}"
            + (f" (reads = writes = the advance of {' or '.join(index)})" if index else ""))
