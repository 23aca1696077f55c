"""x86-64 system calls: which instruction is one, the number it asks for,
and the numbers of the calls that end the process.
"""
from ..insn import SystemCall

# The system calls that end the process: a path ends at them.
EXIT_SYSCALLS = {60: "exit", 231: "exit_group"}
# Loading the number of the exit or exit_group system call.
EXIT_NUMBER = (["$0x3c", "%eax"], ["$0xe7", "%eax"])


def system_call(insn, state):
    """The system call `insn` makes in `state`, None when it makes none:
    `syscall` with its number from %eax; `sysenter` and `int $0x80`, whose
    numbers are not read (they are judged system calls the check cannot
    know)."""
    if insn.mnemonic == "syscall":
        number = state.get("eax")
        return SystemCall(number.c0 if number is not None and number.known else None)
    if insn.mnemonic == "sysenter" or (insn.mnemonic == "int" and insn.operands == ["$0x80"]):
        return SystemCall(None, numbered=False)
    return None


def exits_by_system_call(program, insn):
    """Whether `insn` is a system call right after loading the exit or
    exit_group number (the shape the walks here, which follow no values,
    can tell; the graph's propagation tells any other)."""
    if insn.mnemonic != "syscall":
        return False
    code = program.block_code(program.block_of(insn.address))
    k = next((k for k, other in enumerate(code) if other.address == insn.address), 0)
    return k > 0 and code[k - 1].mnemonic == "mov" and code[k - 1].operands in EXIT_NUMBER
