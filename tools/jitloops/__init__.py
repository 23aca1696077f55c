"""The JIT loop diagnostic (tools/jit_loops.py is its command line and holds
its account): what HotSpot, V8, LuaJIT, PyPy or any JIT writing perf's
jitdump made of the JIT counterparts' loops, read from the runtimes' own code dumps, and whether
each kernel's hottest loop keeps the benchmark's rule (one load and one
store of the accumulator per iteration, no other store, no fence).

The steps, for each kernel's compilations in the top tier printed:

  1. read the dump (HotSpot's hex, V8's --print-opt-code, a jitdump,
     LuaJIT's traces, PyPy's log) into compilations: the code's bytes by
     address in segments laid out in order (a tracing JIT's loop, then its
     side traces or bridges), the runtime's comments, what the runtime or
     the counterpart declares (a poll word, one cell through two pointers);
  2. disassemble the bytes with objdump, by linear sweep restarted at every
     branch target the sweep ran across; make direct the computed jumps
     whose target is proven;
  3. find the loops (backward branches in the layout, grouped by their
     target; a jump from another segment back to code running into a
     loop's head is that loop's re-entry) and walk
     every path from a loop's head back to it, within bounds on the paths
     found and the work done; keep the innermost loops (no path passes
     another loop's backward branch);
  4. run each innermost loop's paths symbolically: its memory accesses,
     the loop index and its advance, so the accesses count per iteration;
  5. share the innermost loops out among the kernels the compilation holds:
     all of them to its one kernel, or, in code timing several kernels one
     after the other, to each kernel those between its clock calls;
  6. per kernel, pick the hottest by shape (most iterations per trip, then
     the longest) and judge it, and every loop closed through another
     segment: rule and cost flags; when the walk of one of its innermost
     loops stopped at a bound or can reach a computed jump of unknown
     target, judge none (it may be the hottest);
  7. gather each kernel's reports into its results, and measure the split
     of its time: the run's figure from the counterpart's own report, the
     floor's from bench_floor, the chain's and the path's by replay;
  8. render the results as text or JSON; exit 0, 1 (a rule broken) or 2 (a
     tool error, or a kernel not judged).

The modules, from the bottom layer up; each imports only modules listed
before it (LAYERS):

  errors       the exception for a usage or tool error
  x86          the x86-64 listing vocabulary; the only module that borrows
               from the machine-code check's package (tools/loopcheck/)
  dumps        HotSpot's and V8's dumps, and saved ones, read into
               compilations; the top tier chosen per kernel
  jitdump      perf's jitdump files (any JIT's) read into compilations,
               the kernels' code found by name
  luajit       LuaJIT's traces, as the listing's loader writes them, read
               into compilations: a looping root trace with its side traces
  pypy         PyPy's JIT log read into compilations: a loop with its
               bridges, the signal poll's word named
  runtimes     running a counterpart under its runtime's dump option, or
               under node's --perf-prof in a private folder for its jitdump
  floor        bench_floor run once, its report read: the floor's figures
  disassembly  objdump on the bytes, the re-synchronised linear sweep, the
               runtime's comments attached to instructions
  accesses     what one instruction reads and writes in memory; fences,
               locked instructions and polls
  symbolic     registers as linear values along a path; one instruction's
               effect on them and its accesses' symbolic addresses
  paths        one path run symbolically: accesses, calls, fences, the loop
               index (a register, or a stack slot) and its advance, a
               strip-mined loop's outer trip
  loops        control flow; loops, the bounded walk of the paths through
               them, the innermost ones, the hottest first
  mapping      which innermost loops are which kernel's; the clock calls
               that cut code timing several kernels into their stretches
  rules        the rule and cost flags with their messages; loopless code
  analysis     one compilation analysed into kernel reports
  results      each kernel's reports, verdict and figures: what every output
               is rendered from
  concrete     symbolic values computed under numbers for their symbols,
               flags and conditions, and numbers solved for a wanted value
  replay_walk  a judged path walked again for its replay: its branches with
               their flags' operands, its accesses, what it cannot replay
  replay_plan  the counters' starts: every trip along a judged path, out by
               the bound test after the iterations asked for
  replay_state the register and memory state the loop is replayed from
  replay_chain the accumulator's chain in a counted loop of the replay's own
  harness      the replay harness (tools/replay_harness.cpp) built, cached
               and run on a description
  replay       one kernel's chain and path replayed, checked and timed
  figures      the figures measured into the results: run, floor, replay
  output       the text: each kernel's reports and its split
  format_json  the same results as one JSON object
  known        known code (tools/replay_known.s) replayed beside its native
               time: tools/replay_known.py, the replay's own measurement
  driver       the command line: the dump's source, the report, the exit status
"""

LAYERS = ("errors", "x86", "dumps", "jitdump", "luajit", "pypy", "runtimes", "floor",
          "disassembly", "accesses", "symbolic", "paths", "loops", "mapping", "rules", "analysis",
          "results", "concrete", "replay_walk", "replay_plan", "replay_state", "replay_chain",
          "harness", "replay", "figures", "output", "format_json", "known", "driver")
