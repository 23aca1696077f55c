"""What an AArch64 instruction may store to, allowed or not, and whether a
function's return goes back through its return address: x30 as the call
left it (and as the function may have saved and restored it).
"""
from .instructions import Insn
from .interpreter import UNKNOWN_SIZE, access_address
from .signing import expected_return_address


def written_by(insn, state):
    """[(address or None when unknown, bytes)] that `insn` may store to:
    every access of its record that writes (a store, a pair's two, an
    atomic, an exclusive store, a cache operation's block, a tag store),
    as wide as the record says (UNKNOWN_SIZE where it cannot say)."""
    return [(access_address(state, access), access.size or UNKNOWN_SIZE)
            for access in insn.memory if access.writes]


def last_writer(graph, address, family):
    """The instruction nearest before `address`, on a way to it, that
    writes the register family `family` (a call writes x30); None when
    none does."""
    program = graph.program
    before = {}
    for a, following in graph.nodes.items():
        for b in following:
            before.setdefault(b, []).append(a)
    seen, todo = {address}, [address]
    while todo:
        for a in sorted(before.get(todo.pop(0), [])):
            if a in seen:
                continue
            seen.add(a)
            insn = program.at(a)
            if isinstance(insn, Insn) and (family in insn.writes or insn.mnemonic.startswith(
                    ("pac", "aut", "xpac"))):
                return insn
            todo.append(a)
    return None


def return_address_overwritten(graph, address):
    """What overwrote the return address that the return at `address`
    goes back through ("" when nothing did): the register it returns
    through must hold what x30 held at the function's entry (signed with
    the entry stack pointer for retaa and retab), whether it stayed there
    or was saved on the stack and loaded back."""
    insn = graph.program.at(address)
    family = insn.return_register
    if graph.states[address].regs.get(family) == expected_return_address(insn):
        return ""
    writer = last_writer(graph, address, family)
    return str(writer) if writer is not None else f"what ran before {insn}"
