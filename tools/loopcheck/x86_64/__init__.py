"""The x86-64 layer of the machine-code check: what the check knows of
x86-64 code as objdump prints it (AT&T syntax).

Its modules, from the bottom layer up; each imports only modules listed
before it (LAYERS) and, of the package around it, only the layers below
this one:

  allowlist     the instruction model and the allowlist (decode)
  interpreter   what an instruction does to the state
  toolchain     the toolchain's own names and code shapes (before main, at exit)
"""

LAYERS = ("allowlist", "interpreter", "toolchain")
