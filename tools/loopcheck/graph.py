"""A function's graph: every instruction reachable from its entry with its
successors, the register and memory values known before each (forward
constant propagation), and the timed stretch between two clock calls.

The propagation and the graph are built together: a branch whose condition
the values known there decide has only the way it takes (the other is
provably dead and is not examined), and each way of a branch it cannot
decide carries what that way tells about the registers the condition tested
(its layer's branch_facts): past a branch on a register's test for zero, the
way that found it zero knows it is 0. What each instruction does is the
listing's instruction-set layer's (`program.isa`).
"""
import dataclasses

from .controlflow import NoReturn, reach, successors
from .errors import ToolError, Unresolved
from .objdump import Program
from .state import join, same_state
from .values import Context


@dataclasses.dataclass
class Graph:
    program: Program
    noreturn: NoReturn
    nodes: dict  # address -> successor addresses
    states: dict  # address -> State before the instruction
    entry: int
    unresolved: set = dataclasses.field(default_factory=set)  # jumps and calls to unread code


def ways(program, noreturn, insn, state):
    """(address, state) for each way control may take after `insn` in
    `state`; the addresses are None where a target is not code the check can
    read (successors raises for those: the caller records them)."""
    isa = program.isa
    call = isa.system_call(insn, state)
    if call is not None and call.numbered and call.number in isa.EXIT_SYSCALLS:
        return []
    after = isa.transfer(insn, state)
    following = successors(program, noreturn, insn)
    if not insn.is_conditional or len(following) != 2:
        return [(address, after) for address in following]
    # A conditional branch: its condition is on the state before it.
    taken = isa.branch_taken(insn, state, Context())
    result = []
    for address, outcome in ((insn.target, True), (insn.next, False)):
        if taken is not None and taken != outcome:
            continue  # the way this branch never takes
        narrowed = after
        facts = isa.branch_facts(insn, state, outcome) if taken is None else []
        if facts:
            narrowed = after.copy()
            for name, value in facts:
                narrowed.narrow(name, value)
        result.append((address, narrowed))
    return result


def build_graph(program, entry=None, callee_saved=False):
    """Every instruction reachable from the entry (main's, unless another
    address is given) over the ways not provably dead, and the register
    values known before each (the layer's entry_state gives the first)."""
    if entry is None:
        if "main" not in program.starts:
            if any(name.startswith(".") for name in program.starts):
                # objdump names code by its section when there are no symbols
                raise ToolError("no function <main> in the disassembly: the executable is "
                                "stripped (it has no symbol table), and the check finds main "
                                "and the functions it calls by their symbols")
            raise ToolError("no function <main> in the disassembly")
        entry = program.starts["main"]
    noreturn = NoReturn(program)
    nodes, unresolved = {}, set()
    states = {entry: program.isa.entry_state(callee_saved)}
    work = [entry]
    while work:
        address = work.pop()
        insn = program.at(address)
        if insn is None:
            raise ToolError(f"no instruction at {address:#x}")
        following = nodes.setdefault(address, [])
        try:
            taken = ways(program, noreturn, insn, states[address])
        except Unresolved:  # the rules judge it; a call or conditional branch may go on
            unresolved.add(address)
            taken = [(insn.next, program.isa.transfer(insn, states[address]))] \
                if insn.is_call or (insn.is_jump and insn.falls_through) else []
        for nxt, after in taken:
            if nxt is None:  # the listing ends
                unresolved.add(address)
                continue
            if nxt not in following:
                following.append(nxt)
            merged = join(states[nxt], after) if nxt in states else after.copy()
            if nxt not in states or not same_state(merged, states[nxt]):
                states[nxt] = merged
                work.append(nxt)
    return Graph(program, noreturn, nodes, states, entry, unresolved)


def stretch_nodes(graph, start, end):
    """The code on the paths from the clock call `start`'s return to the
    clock call `end`: the timed stretch."""
    clocks = {start, end}
    following = graph.nodes[start]
    forward = reach(graph.nodes, following, clocks)
    backward = reach(graph.nodes, [end], clocks - {end}, forward=False)
    return (forward & backward) - clocks


def region_nodes(graph, start, end):
    """Everything that may run after the clock call `start` returns and
    before the clock call `end`: the timed stretch and every way out of it
    (the paths that never reach `end`)."""
    return reach(graph.nodes, graph.nodes[start], {end}) - {end}
