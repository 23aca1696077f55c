"""One path through a loop, from its head back to it, run symbolically: its
memory accesses, calls and fences, the loop index (a register that advances
by a constant over the path and decides one of its branches) and its
advance, by which the accesses are counted per iteration; and whether the
path leaves the loop by the index's bound test and comes back (a
strip-mined loop's outer trip).
"""
import dataclasses

from . import x86
from .accesses import fence_kind
from .symbolic import Lin, Machine, step


@dataclasses.dataclass
class Path:
    addresses: list
    accesses: list  # [Access]
    advance: int = None  # the loop index's advance over the path
    index: str = ""  # the index register
    index_location: str = ""  # the index's location in memory, when not kept in a register
    calls: list = dataclasses.field(default_factory=list)
    fences: list = dataclasses.field(default_factory=list)  # [(address, why)]
    exit_test: int = None  # the bound compare's branch by which the path leaves the loop
    outside: bool = False  # it runs through code before the head or in another segment
    leaving: list = dataclasses.field(default_factory=list)  # [(branch, a cmp's values)] out

    @property
    def slow(self):
        """A path through a call, or one that leaves the loop by its bound
        test and comes back (the outer trip of a strip-mined loop, taken
        once per strip): rare, shown but not judged."""
        return bool(self.calls) or self.exit_test is not None


# Arithmetic that sets the flags a following branch may decide on.
FLAG_SETTERS = ("add", "sub", "inc", "dec", "and", "or", "xor", "neg", "shl", "shr", "sar")
# A store of a register or a constant, as it is (movsd: a double, the index
# a tracing JIT keeps in the interpreter's frame).
PLAIN_MOVES = ("mov", "movq", "movl", "movsd")


def signed_step(advance):
    """An advance as the machine counts it: the constant of `add
    $0xfffffffffffffffb,%rax` is -5 (64-bit), of `add $0xfffffffb,%eax` -5
    (32-bit)."""
    for bits in (64, 32):
        value = (advance + (1 << (bits - 1))) % (1 << bits) - (1 << (bits - 1))
        if abs(value) < 1 << 31:
            return value
    return advance


def evaluate(addresses, code, runtime, loop, poll_words=()):
    """One path's memory accesses, calls, fences and index advance."""
    machine = Machine()
    path = Path(addresses, [])
    tested, flags = [], []  # values a conditional branch of the path decided on
    compared, leaving = [], []  # a cmp's values; [(branch, values)] taken out of the loop
    stored = {}  # location -> the value a plain move last stored there
    # The values a setcc took its flags from, by the register it set: a
    # test of that register decides on them (`test %rax,%rax; sete %dl;
    # movzbl %dl,%edx; test %edx,%edx; jne out`).
    carried = {}
    exiting = []  # values that decided a branch out of the loop
    body = {a for trail in loop.trails for a in trail}
    order = loop.order
    home = loop.segment[loop.head] if loop.segment else None
    # The loop's own code ends at its last backward branch in the head's
    # segment (if it has one there): a branch into a bridge laid out after it
    # leaves the loop.
    last = ([latch for latch in loop.latches if home is None or loop.segment[latch] == home]
            or loop.latches)[-1]
    path.outside = any(order[a] < order[loop.head] or home is not None and loop.segment[a] != home
                       for a in addresses)
    for number, address in enumerate(addresses):
        insn = code[address]
        registers = [op[1:] for op in insn.operands
                     if op.startswith("%") and op[1:] in x86.REGISTERS and op != "%rsp"]
        families = [x86.REGISTERS[r][0] for r in registers]
        written = families[-1] if families and insn.operands[-1].startswith("%") else None
        if insn.mnemonic.startswith(("cmp", "test")):
            flags = [machine.get(r) for r in registers]
            flags += [v for family in set(families) for v in carried.get(family, [])]
            compared = flags if insn.mnemonic.startswith("cmp") else []
        elif insn.mnemonic.startswith("set"):
            carried[written] = list(flags)
        elif written and not (insn.mnemonic.startswith("movz") and set(families) == {written}):
            carried.pop(written, None)
        if insn.mnemonic in PLAIN_MOVES and len(insn.operands) == 2 \
                and x86.is_memory(insn.operands[1]) and not x86.is_memory(insn.operands[0]):
            where = machine.address(insn.operands[1], insn)
            if where is not None:
                stored[where.key()] = machine.value(insn.operands[0])
        path.accesses += step(machine, insn, runtime, poll_words)
        if insn.mnemonic.startswith(FLAG_SETTERS) and registers:
            flags = [machine.get(registers[-1])]  # its result: `sub $4,%r13d; jg`
            compared = []
        if insn.is_conditional:
            tested += flags
            if insn.target not in body or insn.next not in body:
                exiting += flags
            taken = number + 1 < len(addresses) and addresses[number + 1] == insn.target
            if taken and address not in loop.reentries \
                    and not order[loop.head] <= order.get(insn.target, -1) <= order[last]:
                leaving.append((address, compared))
        if insn.is_call:
            path.calls.append(address)
        why = fence_kind(insn)
        if why:
            path.fences.append((address, why))
    # The index: a register that advances by a constant over the path and
    # whose value, some constant away, decides a branch of the loop; failing
    # that, a location stored with its loaded value advanced by a constant,
    # whose value decides a way out of the loop (a tier-up budget counted
    # down in memory decides a call, not the exit).
    for family, value in sorted(machine.regs.items()):
        advance = value.minus_symbols(Lin.symbol(f"{family}@head"))
        if not advance or family == "rsp":
            continue
        if any(v.terms == {f"{family}@head": 1} for v in tested):
            path.advance, path.index = abs(signed_step(advance)), family
            break
    for location, value in sorted(stored.items()) if not path.advance else ():
        loaded = Lin.symbol(f"M[{location}]")
        advance = value.minus_symbols(loaded)
        if advance and any(v.terms == loaded.terms for v in exiting):
            path.advance, path.index_location = abs(signed_step(advance)), location
            break
    index = ({f"{path.index}@head": 1} if path.index else
             {f"M[{path.index_location}]": 1} if path.index_location else None)
    for address, values in leaving:
        if index and any(v.terms == index for v in values):
            path.exit_test = address
    path.leaving = leaving
    return path


def outer_trips(paths):
    """Marks, on a path whose own index was not found or differs (a bridge
    that sets the inner index afresh, as an outer loop's trip does), the
    branch by which it leaves the loop by the bound test of the index
    another path of the loop advances in a register: that path is an outer
    trip too."""
    indexes = {f"{p.index}@head" for p in paths if p.index and p.exit_test is None}
    for path in paths:
        if path.exit_test is None and not path.index:
            for address, values in path.leaving:
                if any(len(v.terms) == 1 and next(iter(v.terms)) in indexes
                       and v.terms[next(iter(v.terms))] == 1 for v in values):
                    path.exit_test = address
