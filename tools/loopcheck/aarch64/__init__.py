"""The AArch64 layer of the machine-code check: what the check knows of
AArch64 code as objdump prints it (`aarch64-linux-gnu-objdump -d -w
--no-show-raw-insn`), bound to the interface the rest of the check asks it
through (isa.INTERFACE) in layer.py. Its instruction model reads each line
into a typed record.

Each record (instructions.Insn) says what one instruction does: the
operation; the general registers it reads and writes (a w register is the
low half of its x register, and writing it clears the upper half; xzr and
wzr read as zero and discard what is written; sp is a register of its
own); its memory accesses, each with its width, base, offset or index
register with its extension and shift, and the base's pre- or post-index
write-back (ldp and stp are two accesses); whether it reads or writes the
condition flags (NZCV) and which condition it tests; for a branch, its kind
(b, b.cond, cbz, cbnz, tbz, tbnz, bl, blr, br, ret) and target, and for a
call the return address it leaves in x30.

The modules, from the bottom layer up; each imports only modules listed
before it (LAYERS) and, of the package around it, only the layers below
this one:

  registers     the general registers (x and w views, sp, the zero
                register), the calling convention, the vector registers,
                the machine state over the general registers
  syntax        one line of the listing: address, mnemonic, typed operands
  instructions  the record of what an instruction does (`describe`)
  allowlist     which instructions a timed stretch may hold (`decode`), and
                why any other is refused
  conditions    the condition codes by their meaning; what b.cond, cbz and
                tbz decide and tell
  signing       pointer authentication: a value signed and authenticated,
                the return address a return must find
  interpreter   what an instruction does to the state
  stores        what any instruction may store to; the return address
                overwritten
  syscalls      system calls and their numbers
  listing       a line parsed; what ends a path; calls through the GOT named
  toolchain     the toolchain's own names and code shapes (before main, at
                exit; static glibc's clock_gettime)
  layer         the interface's names, bound
"""

LAYERS = ("registers", "syntax", "instructions", "allowlist", "conditions", "signing",
          "interpreter", "stores", "syscalls", "listing", "toolchain", "layer")
