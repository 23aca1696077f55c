"""The rule and the costs, with their messages. On a loop's judged paths (not
through a call, not a strip-mined loop's outer trip): the accumulator (the
location both loaded and stored there) loaded once and stored once per
iteration, no other store, no fence or locked instruction, an index found
to count iterations by (rule flags); polls, other loads and calls (cost
flags). A kernel with no loop in any of its code, or none in its timed
stretch of code holding several kernels, breaks the rule; a compilation
without a loop beside one with it is noted, not judged; an innermost loop
whose walk stopped at a bound is named, not judged.
"""
import dataclasses

from .loops import Loop


@dataclasses.dataclass
class LoopReport:
    loop: Loop
    accumulator: str = None
    form: str = ""
    rules: list = dataclasses.field(default_factory=list)  # rule flags
    costs: list = dataclasses.field(default_factory=list)  # cost flags
    per_path: list = dataclasses.field(default_factory=list)  # lines

    @property
    def iterations(self):
        """Iterations per trip of the fast paths (1 when not known)."""
        return self.loop.iterations


def fraction(count, per):
    return f"{count / per:g}" if count % per else str(count // per)


def grouped(items, per):
    """'what: n per iteration (at addresses)' for (what, address) pairs."""
    places = {}
    for what, address in items:
        places.setdefault(what, []).append(address)
    return [f"{what}: {fraction(len(addresses), per)} per iteration (at "
            + ", ".join(f"{a:#x}" for a in addresses) + ")"
            for what, addresses in places.items()]


def judge(loop):
    """Flags for one loop from its paths. The fast paths (those without a
    call) are judged; when every path calls out, all of them are."""
    result = LoopReport(loop)
    judged = [p for p in loop.paths if not p.slow] or loop.paths
    # The accumulator: the location both loaded and stored on the judged
    # paths, the most used if several; a stored location when none is loaded.
    # An index kept in memory is loaded and stored too: it is not the
    # accumulator (its store is an extra one).
    indexes = {p.index_location for p in judged if p.index_location}
    uses = {}
    for path in judged:
        for a in path.accesses:
            if a.location in indexes and a.kind == "other":
                a.why = "the loop index"
            elif a.kind == "other":
                reads, writes, form = uses.get(a.location, (0, 0, a.form))
                uses[a.location] = (reads + a.reads, writes + a.writes, form)
    both = [loc for loc, (r, w, _) in uses.items() if r and w]
    stored = [loc for loc, (r, w, _) in uses.items() if w]
    pick = both or stored
    if pick:
        result.accumulator = max(pick, key=lambda loc: (uses[loc][0] + uses[loc][1], loc))
        result.form = uses[result.accumulator][2]
    else:
        result.rules.append("accumulator kept in a register: nothing "
                            + ("but the loop index " if indexes else "")
                            + "is stored to memory in the loop")
    rules, costs = {}, {}  # message -> the paths it holds on
    for number, path in enumerate(loop.paths, 1):
        per = path.advance or 1
        acc_r = sum(a.reads for a in path.accesses if a.location == result.accumulator)
        acc_w = sum(a.writes for a in path.accesses if a.location == result.accumulator)
        for a in path.accesses:
            if a.location == result.accumulator:
                a.kind = "accumulator"
        polls = [a for a in path.accesses if a.kind == "poll"]
        other_r = [a for a in path.accesses if a.kind == "other" and a.reads]
        other_w = [a for a in path.accesses if a.kind == "other" and a.writes]
        where = f"%{path.index}" if path.index else f"in memory at {path.index_location}"
        trip = (f"{per} iteration(s) per trip (index {where} += {per})" if path.advance
                else "iterations per trip unknown (no index found): counted per trip")
        slow = path not in judged
        why = ("leaves by the bound test at " f"{path.exit_test:#x} and comes back"
               if path.exit_test is not None else "calls out")
        result.per_path.append(
            f"path {number}{f' (slow: {why}; not judged)' if slow else ''}, "
            f"{len(path.addresses)} instructions, {trip}: per iteration accumulator "
            f"{fraction(acc_r, per)} load(s), {fraction(acc_w, per)} store(s); other loads "
            f"{fraction(len(other_r), per)}, other stores {fraction(len(other_w), per)}, "
            f"polls {fraction(len(polls), per)}")
        if slow:
            continue
        found_rules, found_costs = [], []
        if not path.advance:
            # Without an index the counts are per trip, and a location
            # loaded and stored every trip may be an index the walk did
            # not recognise (the accumulator then in a register).
            found_rules.append("no loop index found in a register: the counts are per trip, "
                               "and the location taken for the accumulator may be the index")
        elif path.index_location:
            found_rules.append(f"no loop index found in a register: the index is kept in memory "
                               f"at {path.index_location}, loaded and stored every trip")
        if result.accumulator and (acc_r, acc_w) != (per, per):
            if acc_r == 0 and acc_w:
                why = "no load: the stored value is carried to the next iteration in a register"
            elif acc_r > per or acc_w > per:
                why = "more than one access per iteration"
            else:
                why = "fewer than one access per iteration (kept in a register in between)"
            found_rules.append(f"the accumulator is loaded {fraction(acc_r, per)} and stored "
                               f"{fraction(acc_w, per)} time(s) per iteration: {why}")
        found_rules += grouped(((f"extra store to {a.location}"
                                 + (f" ({a.why})" if a.why else ""), a.address)
                                for a in other_w), per)
        found_rules += grouped(((why, address) for address, why in path.fences), per)
        found_costs += grouped(((f"poll, {a.why}", a.address) for a in polls), per)
        if other_r:
            found_costs.append(f"{fraction(len(other_r), per)} other load(s) per iteration: "
                               + ", ".join(sorted({a.location for a in other_r})))
        found_costs += [f"call at {address:#x}: what it does is not seen"
                        for address in path.calls]
        for table, found in ((rules, found_rules), (costs, found_costs)):
            for message in found:
                table.setdefault(message, []).append(number)
    for table, out in ((rules, result.rules), (costs, result.costs)):
        for message, numbers in table.items():
            where = "" if len(loop.paths) == 1 else \
                f" (path{'s' if len(numbers) > 1 else ''} {', '.join(map(str, numbers))})"
            out.append(message + where)
    return result


def unwalked(loop):
    """Why an innermost loop whose walk stopped at a bound is not judged,
    nor its compilation."""
    return (f"not judged: the loop at {loop.head:#x} (backward branch at "
            + ", ".join(f"{a:#x}" for a in loop.latches)
            + f") was not walked to the end ({loop.truncated}); it may be the hottest loop, "
            "and a path not walked may break the rule")


NO_LOOP = ("no loop in any compiled code of the kernel: the JIT removed the loop (the "
           "accumulator computed without it, or kept in a register)")


def removed_between(first, second):
    """The rule broken by a kernel whose timed stretch, in code holding
    several kernels, holds no loop."""
    return (f"no loop between the kernel's clock calls at {first:#x} and {second:#x}: the loop "
            "was removed (the accumulator computed without it, or kept in a register)")


def excuse_loopless(results):
    """A compilation without a loop, of a kernel that has other code with
    one, is code that leaves for the interpreter before the loop (a whole-
    method compilation deoptimising at its first access, say): noted, not
    judged. A kernel with no loop in any of its code is judged, and so is
    a kernel whose stretch in code holding several kernels has none. A
    compilation not judged for a loop too large to walk has a loop."""
    for result in results:
        if result.hottest is None and result.rules == [NO_LOOP] and any(
                other.hottest is not None or other.unjudged for other in results
                if other.kernel == result.kernel):
            result.rules = []
            result.note = ("no loop in this code: it cannot run the loop (it leaves for the "
                           "interpreter or another version before reaching it); not judged")
