"""Main's graph: every instruction reachable from main's entry with its
successors, the register and memory values known before each (forward
constant propagation), and the timed stretch between two clock calls.
"""
import dataclasses

from .controlflow import NoReturn, reach, successors
from .errors import ToolError, Unresolved
from .interpreter import transfer
from .objdump import Program
from .state import State, join, same_state
from .values import Value


@dataclasses.dataclass
class Graph:
    program: Program
    noreturn: NoReturn
    nodes: dict  # address -> successor addresses
    states: dict  # address -> State before the instruction
    entry: int


def build_graph(program):
    """Every instruction reachable from main's entry, and the register
    values known before each (forward constant propagation)."""
    if "main" not in program.starts:
        raise ToolError("no function <main> in the disassembly")
    entry = program.starts["main"]
    noreturn = NoReturn(program)
    nodes, todo = {}, [entry]
    while todo:
        address = todo.pop()
        if address in nodes:
            continue
        insn = program.at(address)
        if insn is None:
            raise ToolError(f"no instruction at {address:#x}")
        nodes[address] = successors(program, noreturn, insn)
        todo.extend(a for a in nodes[address] if a is not None)
    for address, following in nodes.items():
        if None in following:
            raise Unresolved(program.at(address))
    states = {entry: State({"rsp": Value(0, 0, 64, "sp")})}
    work = [entry]
    while work:
        address = work.pop()
        insn = program.at(address)
        after = transfer(insn, states[address])
        for nxt in nodes[address]:
            merged = join(states[nxt], after) if nxt in states else after.copy()
            if nxt not in states or not same_state(merged, states[nxt]):
                states[nxt] = merged
                work.append(nxt)
    return Graph(program, noreturn, nodes, states, entry)


def stretch_nodes(graph, start, end):
    """The code on the paths from the clock call `start`'s return to the
    clock call `end`: the timed stretch."""
    clocks = {start, end}
    following = graph.nodes[start]
    forward = reach(graph.nodes, following, clocks)
    backward = reach(graph.nodes, [end], clocks - {end}, forward=False)
    return (forward & backward) - clocks
