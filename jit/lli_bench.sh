#!/bin/sh
# lli_bench.sh: runs the benchmark's own source, compiled by CMake into LLVM
# IR (build/bench_c_jit_compare.bc, clang++ with the build's own flags), under
# lli, LLVM's JIT: the same optimised IR, compiled to machine code by the same
# back end, just in time instead of ahead of time. Held against the C build it
# is the A/A control of tools/compare.py: a comparison of one program with
# itself, which should find no difference (docs/compare.md).
#
#     jit/lli_bench.sh FILE.bc    runs it; the report and the exit status are the program's
#     jit/lli_bench.sh --which    prints the lli it would run (CMake asks, to build the IR)
#
# The lli is the first found of: lli, lli-14 (on PATH), /usr/lib/llvm-14/bin/lli
# (Debian's llvm-14-runtime). Exit status 1, with one line on stderr, when
# there is none or FILE is not a file; otherwise lli's, which is the program's.
for lli in lli lli-14 /usr/lib/llvm-14/bin/lli; do
  if found=$(command -v "$lli"); then
    break
  fi
done
if [ -z "$found" ]; then
  echo "lli_bench.sh: no lli found (lli, lli-14, /usr/lib/llvm-14/bin/lli); Debian: llvm-14-runtime" >&2
  exit 1
fi
if [ "$#" -eq 1 ] && [ "$1" = --which ]; then
  echo "$found"
  exit 0
fi
if [ "$#" -ne 1 ]; then
  echo "usage: lli_bench.sh FILE.bc | --which" >&2
  exit 1
fi
if [ ! -f "$1" ]; then
  echo "lli_bench.sh: $1: no such file" >&2
  exit 1
fi
# A FILE whose name starts with "-" would read as an option of lli's.
case "$1" in
  -*) set -- "./$1" ;;
esac
exec "$found" "$1"
