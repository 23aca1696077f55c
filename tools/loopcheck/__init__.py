"""The machine-code check of bench_c_jit_compare's timed loops
(tools/check_loops.py is its command line).

It disassembles the executable once with objdump, reads from the ELF file
what runs before main (the needed libraries and the constructors), and
works on `main` and every piece of local code main jumps into (split-off
parts such as `main.cold`). Values are propagated over main's code as its
graph is built: a branch the known values decide has only the way it takes
(the other is provably dead), and each way of one they do not decide knows
what its condition tested (on x86-64, after `test %eax,%eax; jne`, the
fall-through knows %eax is 0). What an instruction is and does is its
instruction set's layer's to say (a package: x86_64/, aarch64/), chosen once per
executable from its ELF header; the rest of the check is the same for every
instruction set. The steps:

  1. find the timed stretches: the six clock_gettime calls (through the PLT,
     direct, or glibc's static `__clock_gettime`) must form one sequence
     from main's entry, none inside a loop, each with CLOCK_MONOTONIC as its
     clock id;
  2. find each stretch's code, every instruction on a path from one clock
     call's return to the next, and every way out of it (the paths that do
     not reach the next clock call): each must end in a call that ends the
     process (or main's own return), and make only calls known to return
     normally without throwing or to end the process;
  3. judge every instruction of the stretch against an allowlist of plain
     integer instructions, and every memory access: only the accumulator
     (the one object written, reset to 0 before the first clock call) and,
     outside the loop, reads of the first clock call's own timespec;
  4. count: run the stretch on known register values from the first clock
     call's return to the second, skipping proven-periodic stretches of the
     loop, and require exactly ITERATIONS reads and ITERATIONS writes of the
     accumulator, with every trip around a loop updating it;
  5. require the accumulator to be read after the second clock call;
  6. over the rest of the program: main calls only functions the check
     knows (the report's output, the clock, the error paths', the
     process-ending ones, its own functions that call only those), makes no
     system call but exit, ends every path understood; nothing runs before
     main but the toolchain's constructors and the C and C++ runtime's
     libraries. Anything else may leave something running beside the loops.

The modules, from the bottom layer up; each imports only modules listed
before it (LAYERS), and only isa imports an instruction-set layer
(ISA_LAYERS), whose modules import only the check's layers below it:

  errors        the exceptions
  elf           what runs before main, read from the ELF file; stripped or not
  values        linear values (c0 + c1*m) and their arithmetic
  flags         the arithmetic flags; each condition by its meaning, what a
                branch on it tells
  state         the machine state (registers by a layer's table, memory),
                the bases of addresses and how a fault names an address
  insn          an instruction: its fields, and the questions each layer's
                instructions answer (a call, a jump, a return, ...)
  controlflow   where control goes after an instruction; no-return calls; loops
  x86_64        the x86-64 layer: the listing's syntax, registers and
                addressing, condition codes, the allowlist, the interpreter,
                stores, system calls, the toolchain's code shapes
  aarch64       the AArch64 layer, the same for AArch64 code
  isa           the interface a layer provides; the layer of an executable
                (its e_machine) or of a listing (its file format)
  objdump       running objdump; the listing parsed into instructions, by symbol
  graph         a function's graph with the values known at each instruction
  exits         the calls, the ends of paths and the system calls, judged
  counting      running a stretch to count the accumulator's reads and writes
  rules         the rules and their fault messages, in the order they run
  driver        verdicts for a listing or an executable; the command line
"""

# The instruction-set layers among them (packages): only isa imports them.
ISA_LAYERS = ("x86_64", "aarch64")
LAYERS = ("errors", "elf", "values", "flags", "state", "insn", "controlflow", "x86_64", "aarch64",
          "isa", "objdump", "graph", "exits", "counting", "rules", "driver")
