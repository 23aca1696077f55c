"""The AArch64 layer's answers to what the check asks of an instruction set
(isa.INTERFACE: each name is described there), bound here from the modules
that hold them.
"""
from .allowlist import decode, timestamp_copy
from .conditions import branch_facts, branch_taken, tested_registers
from .interpreter import access_width, execute, memory_accesses, transfer
from .listing import ALWAYS_READ, parse_line, resolve_block, what_ends
from .registers import (ARGUMENTS, CALLEE_SAVED, CALLER_SAVED, RETURN_REGISTER, STACK_POINTER,
                        State, entry_state, register_text)
from .stores import return_address_overwritten, written_by
from .syscalls import EXIT_SYSCALLS, exits_by_system_call, system_call
from .toolchain import LOADERS, RUNTIME_LIBRARIES, TOOLCHAIN_EXPORTS, clock_shape_why, toolchain_why

NAME = "AArch64"
MACHINE = 183  # EM_AARCH64
# Debian's cross binutils, or a multi-architecture objdump.
OBJDUMP = ("aarch64-linux-gnu-objdump", "objdump")
OBJDUMP_PACKAGE = "binutils-aarch64-linux-gnu"
OBJDUMP_FORMAT = "elf64-littleaarch64"
RELOCATIONS = {"copy": 1024, "relative": 1027, "irelative": 1032}  # R_AARCH64_COPY, ...
GOT_SLOTS = True  # adrp and ldr name no slot: the block says what each holds

__all__ = ["NAME", "MACHINE", "OBJDUMP", "OBJDUMP_PACKAGE", "OBJDUMP_FORMAT", "RELOCATIONS",
           "GOT_SLOTS", "parse_line", "resolve_block", "ALWAYS_READ", "register_text", "State",
           "entry_state", "STACK_POINTER", "RETURN_REGISTER", "ARGUMENTS", "CALLER_SAVED",
           "CALLEE_SAVED", "decode", "execute", "memory_accesses", "access_width", "transfer",
           "timestamp_copy", "written_by", "branch_taken", "branch_facts", "tested_registers",
           "what_ends", "return_address_overwritten", "system_call", "EXIT_SYSCALLS",
           "exits_by_system_call", "RUNTIME_LIBRARIES", "LOADERS", "TOOLCHAIN_EXPORTS",
           "toolchain_why", "clock_shape_why"]
