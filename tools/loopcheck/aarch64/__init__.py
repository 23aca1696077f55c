"""The AArch64 instruction model of the machine-code check: objdump's
AArch64 text (`aarch64-linux-gnu-objdump -d -w --no-show-raw-insn`) read
into typed records, and the allowlist of the timed stretch.

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
before it (LAYERS):

  registers     the general registers (x and w views, sp, the zero
                register), the calling convention, the vector registers
  syntax        one line of the listing: address, mnemonic, typed operands
  instructions  the record of what an instruction does (`describe`)
  allowlist     which instructions a timed stretch may hold (`decode`), and
                why any other is refused
  listing       a listing split into symbols; the part a saved listing keeps
"""

LAYERS = ("registers", "syntax", "instructions", "allowlist", "listing")
