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
    calls: list = dataclasses.field(default_factory=list)
    fences: list = dataclasses.field(default_factory=list)  # [(address, why)]
    exit_test: int = None  # the bound compare's branch by which the path leaves the loop

    @property
    def slow(self):
        """A path through a call, or one that leaves the loop by its bound
        test and comes back (the outer trip of a strip-mined loop, taken
        once per strip): rare, shown but not judged."""
        return bool(self.calls) or self.exit_test is not None


# Arithmetic that sets the flags a following branch may decide on.
FLAG_SETTERS = ("add", "sub", "inc", "dec", "and", "or", "xor", "neg", "shl", "shr", "sar")


def evaluate(addresses, code, runtime, loop):
    """One path's memory accesses, calls, fences and index advance."""
    machine = Machine()
    path = Path(addresses, [])
    tested, flags = [], []  # values a conditional branch of the path decided on
    compared, leaving = [], []  # a cmp's values; [(branch, values)] taken out of the loop
    last = max(loop.latches)
    for number, address in enumerate(addresses):
        insn = code[address]
        registers = [op[1:] for op in insn.operands
                     if op.startswith("%") and op[1:] in x86.REGISTERS and op != "%rsp"]
        if insn.mnemonic.startswith(("cmp", "test")):
            flags = [machine.get(r) for r in registers]
            compared = flags if insn.mnemonic.startswith("cmp") else []
        path.accesses += step(machine, insn, runtime)
        if insn.mnemonic.startswith(FLAG_SETTERS) and registers:
            flags = [machine.get(registers[-1])]  # its result: `sub $4,%r13d; jg`
            compared = []
        if insn.is_conditional:
            tested += flags
            taken = number + 1 < len(addresses) and addresses[number + 1] == insn.target
            if taken and not loop.head <= insn.target <= last:
                leaving.append((address, compared))
        if insn.is_call:
            path.calls.append(address)
        why = fence_kind(insn)
        if why:
            path.fences.append((address, why))
    # The index: a register that advances by a constant over the path and
    # whose value, some constant away, decides a branch of the loop.
    for family, value in sorted(machine.regs.items()):
        advance = value.minus_symbols(Lin.symbol(f"{family}@head"))
        if not advance or family == "rsp":
            continue
        if any(v.terms == {f"{family}@head": 1} for v in tested):
            path.advance, path.index = abs(advance), family
            break
    for address, values in leaving:
        if path.index and any(v.terms == {f"{path.index}@head": 1} for v in values):
            path.exit_test = address
    return path
