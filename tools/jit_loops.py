#!/usr/bin/env python3
"""jit_loops: show what a JIT compiler made of a counterpart's loops, from the
runtime's own code dump, and flag what breaks the benchmark's rule (one load
and one store of the accumulator per iteration, no fence).

    tools/jit_loops.py java [--classpath DIR] [--main CLASS] [--warmup N] [options]
    tools/jit_loops.py node [--script FILE] [--warmup N] [--route ROUTE] [options]
    tools/jit_loops.py dump FILE [options]
    tools/jit_loops.py jitdump FILE [--kernels NAME[,NAME,NAME]] [--trim OUT] [options]
    tools/jit_loops.py wasm [--wasm FILE] [--runner FILE] [--no-liftoff] [options]
    tools/jit_loops.py luajit [--luajit LUAJIT] [--script FILE] [--warmup N] [options]
    tools/jit_loops.py pypy [--pypy PYPY] [--script FILE] [--warmup N] [options]

`java` runs the Java counterpart (default: JitBench from build/jit) under
HotSpot's -XX:CompileCommand=print, which prints each compiled method's
machine code as hex when no disassembler plug-in (hsdis) is loaded; `node`
runs the JavaScript counterpart under V8's --print-opt-code --code-comments,
or, where node rejects those (node 18 has no --code-comments; --route
chooses), under --perf-prof, in a private temporary folder, reading the
jitdump it writes there (see `jitdump`); the first line of the report says
which. `dump` reads a dump saved earlier with --save. The counterpart runs its real count, as in a
measurement. No runtime's disassembler is used: the bytes are taken from
the dump and disassembled with binutils' objdump (linear sweep, restarted at
any branch target it ran across).

`jitdump` reads the file any JIT writes for Linux perf (jit-PID.dump: node
--perf-prof, erl +JPperf true, PHP's opcache.jit_debug perf flag, ...): the
code of every JIT_CODE_LOAD record, moved where a JIT_CODE_MOVE record says,
little-endian x86-64 only. The kernels' code is found by name (--kernels:
three names in report order, default inc,arith,branch, or one name for code
that times all three): a name matches a record whose name, up to its first
space, holds it as a whole word, not next to a letter, digit or underscore
("inc" matches node's "JS:*inc /path/jit_bench.js:36:13", Erlang's
"bench:inc/1", not "JS:*increment"). V8's names also give the tier (~ ^ + *,
WebAssembly's -liftoff and -turbofan), so the top tier is chosen as for its
own listing; another JIT's records are one tier. A file it cannot read
whole (cut short, another magic or byte order, another machine, a record
whose size does not add up) is refused with the reason. --trim OUT writes
the file's header and the kernels' records alone, a jitdump small enough to
keep.

`wasm` runs the benchmark's own WebAssembly build (default
build/bench_c_jit_compare.wasm) under node --perf-prof through its runner
(default jit/wasm_bench.js) and judges the three kernels inside its main
(__original_main, the name clang gives a main without parameters). By
default V8 runs main in its baseline tier, Liftoff: main is entered once,
and the TurboFan code V8 may compile for it meanwhile is never entered, so
Liftoff's code is the one judged. --no-liftoff has TurboFan compile every
function from the start, and its code is judged (--all: every tier).
Liftoff keeps values in stack slots and counts a tier-up budget in memory:
what its loops store besides the accumulator is flagged as it is.

`luajit` runs the LuaJIT counterpart under the listing's trace loader
(tools/jitloops/luajit_dump.lua: every trace's code, its parent and exit,
and every later patch, in order); `pypy` runs the PyPy counterpart with
PYPYLOG=jit-log-opt,jit-backend-addr,jit-backend-dump (loops, bridges, and
the patches aiming guards at them, applied in order); `dump` reads either
file. A kernel's code is its loop followed by the side traces or bridges
grown from it: a path that leaves the loop by a guard and comes back
through them (to the loop, or to LuaJIT's root trace's entry, which runs
into the loop) is a path of the loop, judged, its stores counted; a loop
closed through a side trace alone is judged too; one that leaves for
another trace or loop, or for the interpreter, is a way out. A computed
jump is followed when its register holds one constant on every way in
(PyPy's bridge returns so); a loop that can reach one of unknown target is
not judged. On a path through such code that never touches the loop's
accumulator, the one location it updates is its accumulator. A counterpart
may declare, in a `-- jit_loops: one cell ...` line that the loader copies,
that it reads its accumulator through one pointer and writes it through
another (LuaJIT's form): a location only loaded and one only stored from
it are then one.

For each kernel (the methods or functions named inc, arith and branch) the
tool reads every compilation in the highest tier printed (C2, TurboFan): a
cold run times the on-stack-replaced code, a warm one may time a whole-method
compilation, so each must keep the rule (--all: every tier). In each, the
loops are the backward branches, grouped by their target (the head); a
loop's paths run from the head back to it, forward through the code except
for out-of-line blocks jumping back into the loop. The hottest loop is
picked among the innermost ones (no path passes another loop's backward
branch) as the one running the most iterations per trip (the unrolled main
loop rather than its pre- and post-loops), then the longest; the others are
listed, not judged. For every path the tool lists the memory accesses per
iteration: per trip, divided by the advance of the loop's index (a register
that advances by a constant and decides a branch, followed symbolically,
with loaded values named by their address; failing that, a memory location
loaded, advanced by a constant and stored back, whose value decides the way
out of the loop: a baseline compiler's stack slot, flagged, its store an
extra one). Paths through a call, and paths
that leave the loop by its bound test and come back into it (the outer trip
of a strip-mined loop, once per strip), are shown as slow and not judged.

Code that times several kernels one after the other in one function is cut
at its clock calls: the clock is the one direct call target called exactly
twice per kernel, in pairs with no other call between the two of a pair;
each kernel's loops are the innermost loops between its two calls, judged
as above. A kernel with no loop there lost it (flagged), unless some loop
lies outside every stretch (its loop may be laid out there: not judged);
when no call target, or more than one, fits, no kernel of that code is
judged ("????").

The walk through a loop's paths is bounded (4096 paths, and the work it
does, dead ends included). An innermost loop it cannot finish is named and
its compilation is not judged ("????"): that loop may be the hottest, and a
path not walked may break the rule. HotSpot's C1 code (--all) has such loops.

It flags, on the judged paths of the hottest loop:

  rule   the accumulator (the location both loaded and stored there) not
         loaded once and stored once per iteration: kept in a register (no
         store in the loop, or no loop left in any compiled code of the
         kernel), the store carried to the next iteration (no load), or
         more than one access; any other store (extra stores, spills,
         pushes, a call's return address); a fence (mfence, lfence, sfence)
         or a locked instruction (lock prefix, xchg with memory);
  cost   safepoint and interrupt polls (a load through the runtime's thread
         or isolate register, a `test` that only touches a poll page, a
         compare of the stack pointer with a limit); other loads (object
         headers, lengths, data pointers reloaded every iteration); calls.

Beside each kernel's verdict the tool gives the split of its time, four
figures in ms per 1e8 iterations, taken on this machine in this session:
chain (the accumulator's load, the instructions computing its new value and
its store, the JIT's own bytes, run in a counted loop of the replay's own
with the registers set so that the load and the store reach one cell),
path (the judged loop itself replayed natively: its instructions placed at
their own addresses in a harness process, every other byte of their pages
a trap, entered at the head from a register and memory state solved from
the symbolic walk so that every branch goes its path's way and the bound
test ends the run after exactly the iterations asked for), run (the
kernel's time in the counterpart's own report of the run the code came
from; a saved dump or a jitdump has none) and floor (bench_floor, run once,
--floor). The text names the split: run/floor = chain/floor (the
instructions on the accumulator's chain) x path/chain (the rest of the
loop's code) x run/path (what lies outside the loop's code in a cold run:
interpreter, compilation, tier-up, on-stack replacement, deopts, GC). A
figure that cannot be taken is refused with the reason: a path that calls
out, jumps through a register it cannot prove, or needs a value the
replay cannot set; a replay that left its path (a trap or fault anywhere
but the run's end) or ended after the wrong number of iterations gives no
figure. A path below 0.9 of its chain, or a chain below 0.9 of the floor,
is marked suspect. --no-figures judges the code alone; --replay-iterations
and --rounds set each replay's count (scaled to 1e8) and the interleaved
runs whose median is kept. The harness (tools/replay_harness.cpp) is built
with the C++ compiler at hand and kept under --build (default: build).

--format json prints one object instead: the machine (as compare names it),
the origin, the exit status and, per kernel in report order, its verdict
("ok", "flag", "????"), rule flags, costs, chain_ms, path_ms, run_ms and
floor_ms (numbers, or null with the reason in "refused"), their ratios,
what makes one suspect, how the replay was made, and each compilation's
report. Errors stay one line on stderr with exit status 2.

Exit status: 0 when every kernel's hottest loop keeps the rule (costs are
reported, not failed), 1 when one breaks it, 2 on a usage or tool error
(the runtime failed, no compiled code for a kernel, objdump missing) or,
none breaking it, when a compilation could not be judged.

This is a diagnostic, not a proof. It reads the code of one run as printed,
not what ran during the timed stretch: a cold run spends part of it in the
interpreter and in lower tiers (--all shows them), and code may be replaced
after the dump. It picks the hot loop by its shape, not by a profile, and
judges only it. It does not see what a call does, nor stores that reach the
accumulator through an address it cannot relate (they count as extra
stores), and it tells locations apart by symbolic address along one path.
Iterations per trip come from the index's advance: an index kept scaled (a
tagged integer advancing by 2) halves the counts, and with no index found
the counts are per trip, said so. A slow path's faults are not judged. Data
inside the code would be misread by the disassembly.
"""
# The docstring above is the --help text. The tool itself is the package
# tools/jitloops/, whose opening maps its modules.
import os
import sys

from jitloops.driver import main

if __name__ == "__main__":
    try:
        sys.exit(main(__doc__))
    except BrokenPipeError:  # the reader left (`| head`): the report is cut short
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(2)
