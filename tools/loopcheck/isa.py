"""The interface an instruction-set layer provides, and the choice of the
layer: once per executable, from its ELF header's machine (e_machine), or
once per listing, from the file format objdump names at its top.

Everything else in the check (the graph, the propagation's bookkeeping,
counting, the rules, the driver) asks an instruction set only what
INTERFACE names, through the layer a Program carries (`program.isa`). A
layer is a module (x86_64/layer.py) that binds every name of INTERFACE and
nothing else (its __all__). What a layer must answer, and what shapes its
answers have to fit:

  - a call, a jump, a conditional branch, a return of any kind, the plain
    return to the caller, an instruction after which control does not go
    on: properties of its instructions (insn.Insn);
  - the machine state: its registers (State.REGISTERS: name -> family,
    width, bit offset), the stack pointer, where the return address lives
    and whether a return goes back through it intact (in memory on x86-64,
    in a register on AArch64, restored or not), the argument and return
    registers, what a call may change and must keep;
  - each instruction: whether a timed stretch may hold it (decode, with
    the words naming a refusal), what it does to the state (execute,
    transfer: a register written back by pre- or post-indexed addressing
    included), its memory accesses as (address, reads, writes) with their
    width (two for a load or store of a pair), and every store it may make;
  - a conditional branch: whether it is taken in a state, what each way
    tells about the registers it tested (on flags, as flags.CONDITIONS
    means them, or on a register itself: compare and branch, test a bit);
  - system calls: which instruction is one and the number it asks for;
  - the toolchain's own names and the exact shapes of its code before main
    and at exit, and of the C library's static clock_gettime.
"""
import re

from .elf import identify
from .errors import ToolError
from .aarch64 import layer as aarch64
from .x86_64 import layer as x86_64

# What a layer binds, each with what it is.
INTERFACE = {
    "NAME": "the instruction set as messages name it",
    "MACHINE": "its ELF e_machine",
    "OBJDUMP": "the objdump commands that may read it, in the order tried",
    "OBJDUMP_PACKAGE": "the Debian package that provides them",
    "OBJDUMP_FORMAT": "the file format objdump names for its executables",
    "RELOCATIONS": "its relocation types: {'copy', 'relative', 'irelative': number}",
    "GOT_SLOTS": "whether the listing's block must say what each GOT slot holds (the code "
                 "loads them with no name objdump prints)",
    "parse_line": "(line) -> an instruction (an insn.Insn) or None",
    "resolve_block": "(program, code): a symbol's instructions read in the listing's context",
    "ALWAYS_READ": "symbols an excerpt of a listing keeps whenever it has them",
    "register_text": "(register name) -> the register as messages spell it",
    "State": "the machine state over its registers (a state.State)",
    "entry_state": "(callee_saved) -> the state at a function's entry",
    "STACK_POINTER": "the stack pointer's register family",
    "RETURN_REGISTER": "the family a function returns its value in",
    "ARGUMENTS": "{64: names, 32: names} of the registers the first arguments come in",
    "CALLER_SAVED": "the families a call may change",
    "CALLEE_SAVED": "the families a call must preserve",
    "decode": "(insn) -> its decoding: .allowed, .refusal (why a stretch may not hold it)",
    "execute": "(insn, decoded, state, ctx) -> accesses; an allowed instruction applied",
    "memory_accesses": "(insn, decoded, state) -> [(address or None, reads, writes)]",
    "access_width": "(insn, decoded) -> the bits each of its accesses covers",
    "transfer": "(insn, state) -> the state after any instruction, for the propagation",
    "timestamp_copy": "(insn, state, timespec, copied) -> the clock's timespec copied whole",
    "written_by": "(insn, state) -> [(address or None, bytes)] it may store to",
    "branch_taken": "(insn, state, ctx) -> whether a conditional branch is taken, or None",
    "branch_facts": "(insn, state, outcome) -> [(register, value)] that way tells",
    "tested_registers": "(insn, state) -> the registers a branch tested, None: unmodelled flags",
    "what_ends": "(insn) -> an instruction that ends its path, in words",
    "return_address_overwritten": "(graph, address) -> what overwrote the return address "
                                  "the return at address goes back through, '' if nothing",
    "system_call": "(insn, state) -> an insn.SystemCall, or None for any other instruction",
    "EXIT_SYSCALLS": "{number: name} of the system calls that end the process",
    "exits_by_system_call": "(program, insn) -> a system call of those, as its code shows",
    "RUNTIME_LIBRARIES": "the shared libraries of the C and C++ runtime a build may need",
    "LOADERS": "the paths of the system's dynamic loader",
    "TOOLCHAIN_EXPORTS": "what the toolchain may define for the shared libraries",
    "toolchain_why": "(program, kind, address, name, zero_slots) -> why the code run "
                     "before main or at exit as kind is not the toolchain's own, '' when it "
                     "is; zero_slots: the addresses of GOT slots known to hold 0 then",
    "clock_shape_why": "(program, entry) -> why a clock_gettime in the executable is not "
                       "the C library's, '' when it is",
}

# Every instruction set the check reads.
ISAS = (x86_64, aarch64)

# e_machine -> the instruction set's name, for the message of one the check
# does not read.
MACHINE_NAMES = {2: "SPARC", 3: "i386", 8: "MIPS", 20: "PowerPC", 21: "PowerPC64",
                 22: "S/390", 40: "ARM", 43: "SPARC V9", 50: "IA-64", 62: "x86-64",
                 183: "AArch64", 243: "RISC-V", 258: "LoongArch"}

# The file format objdump prints at the top of a listing, before the code.
FORMAT_LINE = re.compile(r"^\S.*:\s+file format (\S+)$", re.M)
SYMBOL_LINE = re.compile(r"^[0-9a-f]+ <", re.M)


def for_executable(path):
    """(the layer that reads the executable at `path`, or None; what it is,
    in words). Only 64-bit little-endian executables are read."""
    elf_class, data, machine = identify(path)
    name = MACHINE_NAMES.get(machine, f"machine {machine}")
    if (elf_class, data) != (2, 1):
        name += " (" + ", ".join(["32-bit"] * (elf_class == 1) + ["big-endian"] * (data == 2)
                                 or ["an ELF class or byte order the check does not know"]) + ")"
        return None, name
    return next((layer for layer in ISAS if layer.MACHINE == machine), None), name


def format_line(text):
    """The line at the top of a listing in which objdump names its file
    format, "" when there is none before the code."""
    code = SYMBOL_LINE.search(text)
    match = FORMAT_LINE.search(text, 0, code.start() if code else len(text))
    return match[0] if match else ""


def for_listing(text):
    """The layer that reads a listing: the one whose file format objdump
    names at its top. A listing that names none (an excerpt saved before
    excerpts kept that line, or one written by hand) is x86-64's, the only
    instruction set the check read then."""
    line = format_line(text)
    if not line:
        return x86_64
    named = FORMAT_LINE.match(line)[1]
    for layer in ISAS:
        if layer.OBJDUMP_FORMAT == named:
            return layer
    raise ToolError(f"the listing's file format {named} is not one the check reads "
                    f"({', '.join(layer.OBJDUMP_FORMAT for layer in ISAS)})")


def names():
    """The instruction sets the check reads, in words."""
    return " and ".join(layer.NAME for layer in ISAS)
