"""AArch64 Linux system calls: `svc` with its number in x8, the numbers of
the calls that end the process, and hvc and smc, which are no system calls
of Linux programs (the check cannot know what they do).
"""
from ..insn import SystemCall
from .syntax import Imm, Reg

# The system calls that end the process: a path ends at them.
EXIT_SYSCALLS = {93: "exit", 94: "exit_group"}


def system_call(insn, state):
    """The system call `insn` makes in `state`, None when it makes none."""
    if insn.mnemonic == "svc":
        number = state.get("x8")
        return SystemCall(number.c0 if number is not None and number.known else None)
    if insn.mnemonic in ("hvc", "smc"):
        return SystemCall(None, numbered=False)
    return None


def exits_by_system_call(program, insn):
    """Whether `insn` is an svc right after loading the exit or exit_group
    number into x8, and reached from there only: no branch of its function
    goes to it, with whatever x8 holds on that way (the shape the walks
    here, which follow no values, can tell; the graph's propagation tells
    any other)."""
    if insn.mnemonic != "svc":
        return False
    code = program.block_code(program.block_of(insn.address))
    k = next((k for k, other in enumerate(code) if other.address == insn.address), 0)
    if k == 0 or any(other.target == insn.address for other in code):
        return False
    before = code[k - 1]
    return before.mnemonic in ("mov", "movz") and len(before.operands) == 2 \
        and isinstance(before.operands[0], Reg) and before.operands[0].family == "x8" \
        and isinstance(before.operands[1], Imm) and before.operands[1].value in EXIT_SYSCALLS
