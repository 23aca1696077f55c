"""The rule and the costs, with their messages. On a loop's judged paths (not
through a call, not a strip-mined loop's outer trip): the accumulator (the
location both loaded and stored there; on a path that leaves the loop and
comes back through other code, a side trace or a bridge, and touches that
location nowhere, the location it loads and stores itself; where the
counterpart declares one cell read through one pointer and written
through another, a location only loaded and one only stored whose stored
values are computed from the loaded one, taken as one) loaded once and
stored once per iteration, no other store, no fence or locked instruction, an index found
to count iterations by (rule flags); polls, other loads and calls (cost
flags). A kernel with no loop in any of its code, or none in its timed
stretch of code holding several kernels, breaks the rule; a compilation
without a loop beside one with it is noted, not judged; an innermost loop
whose walk stopped at a bound is named, not judged.
"""
import dataclasses

import collections

from .loops import Loop
from .symbolic import depends, loaded


@dataclasses.dataclass
class LoopReport:
    loop: Loop
    accumulator: str = None
    form: str = ""
    rules: list = dataclasses.field(default_factory=list)  # rule flags
    costs: list = dataclasses.field(default_factory=list)  # cost flags
    per_path: list = dataclasses.field(default_factory=list)  # lines
    notes: list = dataclasses.field(default_factory=list)  # lines on the accumulator
    judged: bool = False  # a loop other than the hottest whose flags count (through a side trace)

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


def one_cell(path, indexes):
    """Under the counterpart's declaration that it reads the accumulator
    through one pointer and writes it through another: on `path`, a location
    only stored, every value stored there computed from the value loaded at
    a location only loaded (the one such location, paired with no other),
    is that location: the accesses of both are renamed "loaded = stored".
    Returns the names made."""
    other = [a for a in path.accesses if a.kind == "other" and a.location not in indexes]
    reads = {a.location for a in other if a.reads}
    writes = {a.location for a in other if a.writes}
    pairs = {}
    for stored in sorted(writes - reads):
        values = [a.value for a in other if a.location == stored]
        if all(v is not None for v in values):
            sources = [place for place in sorted(reads - writes)
                       if all(depends(v, loaded(place)) for v in values)]
            if len(sources) == 1:
                pairs[stored] = sources[0]
    sources = collections.Counter(pairs.values())
    names = {}
    for stored, source in pairs.items():
        if sources[source] == 1:
            names[stored] = names[source] = f"{source} = {stored}"
    for a in other:
        a.location = names.get(a.location, a.location)
    return set(names.values())


def updated(path, location):
    """Whether `path` stores to `location` a value computed from the value
    it loaded there, and not that value itself (an update, not a write-back
    of a pointer reloaded from a frame slot)."""
    before = loaded(location.split(" = ")[0])
    return any(a.value is not None and (a.value.terms, a.value.const) != ({before: 1}, 0)
               and depends(a.value, before)
               for a in path.accesses if a.location == location and a.writes)


def accumulator_of(paths, indexes):
    """The location both loaded and stored on `paths`, the most used (a
    location only stored when none is), with its addressing form; or
    (None, "")."""
    uses = {}
    for path in paths:
        for a in path.accesses:
            if a.location in indexes and a.kind == "other":
                a.why = "the loop index"
            elif a.kind == "other":
                reads, writes, form = uses.get(a.location, (0, 0, a.form))
                uses[a.location] = (reads + a.reads, writes + a.writes, form)
    both = [loc for loc, (r, w, _) in uses.items() if r and w]
    stored = [loc for loc, (r, w, _) in uses.items() if w]
    pick = both or stored
    if not pick:
        return None, ""
    chosen = max(pick, key=lambda loc: (uses[loc][0] + uses[loc][1], loc))
    return chosen, uses[chosen][2]


def judge(loop, declared=""):
    """Flags for one loop from its paths. The fast paths (those without a
    call) are judged; when every path calls out, all of them are. The
    accumulator is found on the judged paths that stay in the loop's own
    code (all judged paths when none does). `declared`: the counterpart's
    declaration of one cell through two pointers, or empty."""
    result = LoopReport(loop)
    judged = [p for p in loop.paths if not p.slow] or loop.paths
    # An index kept in memory is loaded and stored too: it is not the
    # accumulator (its store is an extra one).
    indexes = {p.index_location for p in judged if p.index_location}
    merged = set()
    if declared:
        for path in loop.paths:
            merged |= one_cell(path, indexes)
    home = [p for p in judged if not p.outside] or judged
    result.accumulator, result.form = accumulator_of(home, indexes)
    accumulator_of(judged, indexes)  # names the index's accesses on every judged path
    if result.accumulator is None:
        result.rules.append("accumulator kept in a register: nothing "
                            + ("but the loop index " if indexes else "")
                            + "is stored to memory in the loop")
    # A path that leaves the loop and comes back through other code may
    # reach the cell through an address derived anew (a bridge reloading
    # the array from the JIT frame): when it touches the loop's accumulator
    # nowhere, the one location it updates is its accumulator.
    own, forms = {}, {}
    for number, path in enumerate(loop.paths, 1):
        if path in judged and path.outside and result.accumulator is not None \
                and all(a.location != result.accumulator for a in path.accesses):
            updates = {a.location: a.form for a in path.accesses if a.kind == "other"
                       and a.location not in indexes and a.writes and updated(path, a.location)}
            if len(updates) == 1:
                ((location, form),) = updates.items()
                own[number] = location
                forms.setdefault((location, form), []).append(number)
    for (location, form), numbers in forms.items():
        many = len(numbers) > 1
        result.notes.append(
            f"path{'s' if many else ''} {', '.join(map(str, numbers))}: accumulator {location}, "
            f"addressed as {form}, the one location {'each' if many else 'the path'} updates "
            f"(it leaves the loop and comes back through other code, where the listing cannot "
            "relate the address to the loop's)")
    for name in sorted(merged & ({result.accumulator} | set(own.values()))):
        loaded_at, stored_at = name.split(" = ")
        result.notes.append(f"one cell: loaded through {loaded_at} and stored through "
                            f"{stored_at}, as the counterpart declares ({declared})")
    rules, costs = {}, {}  # message -> the paths it holds on
    for number, path in enumerate(loop.paths, 1):
        per = path.advance or 1
        accumulator = own.get(number, result.accumulator)
        acc_r = sum(a.reads for a in path.accesses if a.location == accumulator)
        acc_w = sum(a.writes for a in path.accesses if a.location == accumulator)
        for a in path.accesses:
            if a.location == accumulator:
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
        if accumulator and (acc_r, acc_w) != (per, per):
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
    """Why an innermost loop whose walk stopped at a bound, or which reaches
    a computed jump of unknown target, is not judged, nor its compilation."""
    why = loop.truncated or (f"a computed jump at {loop.blind:#x}, whose target is not known, "
                             "can be reached from it: a path through it may come back")
    return (f"not judged: the loop at {loop.head:#x} (backward branch at "
            + ", ".join(f"{a:#x}" for a in loop.latches)
            + f") was not walked to the end ({why}); it may be the hottest loop, "
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
