#!/usr/bin/env python3
"""Writes the part of a listing that tools/check_loops.py reads, to keep as a
saved listing here: objdump's line naming the file format, main, the code
it reaches, the PLT stubs it calls, the constructors, and the block of what
runs before main; of a static build, not the code of the C library's
functions that the check trusts by name (loopcheck.controlflow.excerpt).
Each argument becomes a `#` line on top, saying how the listing was made;
the check ignores those lines.

    tools/check_loops.py --listing EXECUTABLE | tests/listings/excerpt.py LINE... > FILE
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from loopcheck.controlflow import excerpt  # noqa: E402
from loopcheck.exits import EXCERPT_BY_NAME  # noqa: E402
from loopcheck.objdump import Program  # noqa: E402


def main():
    listing = sys.stdin.read()
    program = Program(listing)
    if "main" not in program.starts:
        print("excerpt.py: no function <main> in the listing on standard input", file=sys.stderr)
        return 2
    # A static build holds its C library: of what the check believes by
    # name, the names are kept, not the code.
    static = program.startup and not any(kind == "needed" for kind, _ in program.startup.libraries)
    sys.stdout.write("".join(f"# {line}\n" for line in sys.argv[1:]) + "\n"
                     + excerpt(program, trusted=EXCERPT_BY_NAME if static else ()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
