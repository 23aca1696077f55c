"""The x86-64 layer of the machine-code check: what the check knows of
x86-64 code as objdump prints it (AT&T syntax), bound to the interface the
rest of the check asks it through (isa.INTERFACE) in layer.py.

Its modules, from the bottom layer up; each imports only modules listed
before it (LAYERS) and, of the package around it, only the layers below
this one:

  listing       an instruction line parsed; calls, jumps, returns and ends;
                the compiler's return thunk
  registers     the general registers, the ABI's, the machine state over
                them, AT&T operands' values and addresses
  conditions    the condition codes by their meaning; a branch decided and
                what each of its ways tells
  allowlist     the instruction model and the allowlist (decode)
  interpreter   what an instruction does to the state
  stores        what any instruction may store to; the return address
                overwritten
  syscalls      system calls and their numbers
  toolchain     the toolchain's own names and code shapes (before main, at
                exit; static glibc's clock_gettime)
  layer         the interface's names, bound
"""

LAYERS = ("listing", "registers", "conditions", "allowlist", "interpreter", "stores", "syscalls",
          "toolchain", "layer")
