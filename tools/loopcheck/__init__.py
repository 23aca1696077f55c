"""The machine-code check of bench_c_jit_compare's timed loops
(tools/check_loops.py is its command line).

It disassembles the executable once with objdump and works on `main` and
every piece of local code main jumps into (split-off parts such as
`main.cold`). The steps:

  1. find the timed stretches: the six clock_gettime calls (through the PLT,
     direct, or glibc's static `__clock_gettime`) must form one sequence
     from main's entry, none inside a loop, each with CLOCK_MONOTONIC as its
     clock id (read by constant propagation over main's code);
  2. find each stretch's code: every instruction on a path from one clock
     call's return to the next (paths into a call that ends the process,
     such as the clock's error exit, are not part of it; a call that never
     returns but resumes elsewhere, a throw or a long jump, is a fault);
  3. judge every instruction of the stretch against an allowlist of plain
     integer instructions, and every memory access: only the accumulator
     (the one object written, reset to 0 before the first clock call) and,
     outside the loop, reads of the first clock call's own timespec;
  4. count: run the stretch on known register values from the first clock
     call's return to the second, skipping proven-periodic stretches of the
     loop, and require exactly ITERATIONS reads and ITERATIONS writes of the
     accumulator, with every trip around a loop updating it;
  5. require the accumulator to be read after the second clock call.

The modules, from the bottom layer up; each imports only modules listed
before it (LAYERS):

  errors        the exceptions
  objdump       running objdump; the listing parsed into instructions, by symbol
  values        linear values (c0 + c1*m) and their arithmetic
  flags         the arithmetic flags and the condition codes
  state         registers, the machine state, operand values and addresses
  allowlist     the x86 instruction model and the allowlist (decode)
  interpreter   what an instruction does to the state
  controlflow   where control goes after an instruction; no-return calls; loops
  graph         main's graph with the values known at each instruction
  counting      running a stretch to count the accumulator's reads and writes
  rules         the rules and their fault messages, in the order they run
  driver        verdicts for a listing or an executable; the command line
"""

LAYERS = ("errors", "objdump", "values", "flags", "state", "allowlist", "interpreter",
          "controlflow", "graph", "counting", "rules", "driver")
