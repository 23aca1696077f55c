#!/usr/bin/env python3
"""compare: run report-printing benchmark commands side by side and say, with
an error rate that holds over the whole report, which is faster.

    compare.py [options] COMMAND [COMMAND ...]

`compare.py --help` is the reference for the options and the rules; the
parts are in tools/comparing/ (its __init__.py maps them).
"""
import sys

from comparing.cli import main

if __name__ == "__main__":
    sys.exit(main())
