#!/usr/bin/env python3
"""Checks, from the machine code, that a build of bench_c_jit_compare times
exactly the loops its report claims.

    tools/check_loops.py [--verbose] [--sanitized] [--listing] EXECUTABLE

Exit status: 0 when every measurement passes, 1 naming each kernel (or
"all kernels", for the program outside the measurements), the instruction
and the rule broken otherwise, 2 on a usage or tool error (a stripped
executable among them: the check finds main by its symbol, so it gives no
verdict), 77 (skipped) for an executable of an instruction set the check
does not read (it says which) or a sanitizer build. --listing prints what
the check reads of the executable instead.

The check itself is the package tools/loopcheck/, whose opening maps its
steps and its modules.
"""
import sys

from loopcheck.driver import main

if __name__ == "__main__":
    sys.exit(main(__doc__.split("\n\n")[0]))
