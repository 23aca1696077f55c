#!/usr/bin/env python3
"""Writes the part of a listing that tools/check_loops.py reads, to keep as a
saved listing here: main, the code it reaches, the PLT stubs it calls, the
constructors, and the block of what runs before main
(loopcheck.controlflow.excerpt; for an AArch64 listing,
loopcheck.aarch64.listing.excerpt, which leaves out what the C library's
functions trusted by name call). Each argument becomes a `#` line on top,
saying how the listing was made; the check ignores those lines.

    tools/check_loops.py --listing EXECUTABLE | tests/listings/excerpt.py LINE... > FILE
"""
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from loopcheck.aarch64 import listing as aarch64  # noqa: E402
from loopcheck.controlflow import NEVER_RETURNING, PROCESS_ENDING, excerpt  # noqa: E402
from loopcheck.exits import RETURNING  # noqa: E402
from loopcheck.objdump import Program  # noqa: E402

# What static glibc's start-up and exit call, trusted by name like the
# report's output: the check reads their names, not their code.
START_UP = {"__libc_start_main", "__libc_start_main_impl", "__register_frame_info",
            "__deregister_frame_info", "__cxa_finalize"}


def main():
    listing = sys.stdin.read()
    program = Program(listing)
    if "main" not in program.starts:
        print("excerpt.py: no function <main> in the listing on standard input", file=sys.stderr)
        return 2
    fmt = re.search(r"file format elf64-littleaarch64$", listing, re.M)
    if fmt:
        startup = program.startup.text if program.startup else ""
        roots = [program.starts["main"]] + [address for _, address, _ in
                                            (program.startup.constructors if startup else [])]
        trusted = (RETURNING | NEVER_RETURNING | START_UP) - PROCESS_ENDING
        # The file format line tells the instruction set of a saved listing.
        kept = fmt[0] + "\n\n" + aarch64.excerpt(listing, roots, trusted, PROCESS_ENDING) + startup
    else:
        kept = excerpt(program)
    sys.stdout.write("".join(f"# {line}\n" for line in sys.argv[1:]) + "\n" + kept)
    return 0


if __name__ == "__main__":
    sys.exit(main())
