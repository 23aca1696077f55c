#!/usr/bin/env python3
"""replay_known: the replay's own measurement. The benchmark's kernels,
hand-written in plain forms and slow ones (tools/replay_known.s), timed as
they are linked and replayed by the JIT listing from a jitdump that wraps
the same bytes; prints both medians and their ratio per form and kernel.
The package tools/jitloops/ holds it (known.py, whose opening says more)."""
import sys

from jitloops.known import main

if __name__ == "__main__":
    sys.exit(main())
