"""The check's exceptions. They sit at the bottom of the package, so that any
layer can raise them and each is defined before anything uses it.

    ToolError      the check cannot run at all (no objdump, not an
                   executable of an instruction set it reads, a stripped
                   one, no main): exit status 2, no verdict.
    ProgramFault   a fault of the whole program rather than of one kernel
                   (the clock calls' order): every kernel fails with it.
    Unresolved     a jump or call whose target is not code the check can
                   read: the graph records it as an end of its path, which
                   the rules judge where it lies (exits.py).
    CannotCount    a timed stretch that cannot be followed to its count;
                   the message says why (empty while a loop's period is
                   being proved: that proof just fails).
    TripFault      a trip around a loop that does not update the
                   accumulator exactly: a fault of the kernel whether or not
                   a period is being proved. rules.py words it.
    PeriodFault    a proven period of a loop whose registers advance by
                   more (or other) iterations than it updates the
                   accumulator: collected while counting goes on (the
                   total is judged as well), not raised; rules.py words it.
"""


class ToolError(Exception):
    pass


class ProgramFault(Exception):
    """A fault of the whole program rather than of one kernel."""


class Unresolved(Exception):
    def __init__(self, insn):
        super().__init__(f"{insn}: jump or call target that is not code the check can read")
        self.insn = insn


class CannotCount(Exception):
    """The stretch cannot be counted; the message names why (empty while a
    period is being proved: that proof just fails)."""


class TripFault(CannotCount):
    """A trip around the loop headed by `head` (an instruction) read the
    accumulator `reads` and wrote it `writes` times: not as many reads as
    writes, at least one."""

    def __init__(self, head, reads, writes):
        super().__init__(f"{head}: trip with {reads} read(s) and {writes} write(s)")
        self.head, self.reads, self.writes = head, reads, writes


class PeriodFault(Exception):
    """A proven period of the loop headed by `head` (an instruction) does
    `updates` updates while the registers in `steps` (family -> signed
    step) advance by other amounts."""

    def __init__(self, head, updates, steps):
        super().__init__(f"{head}: period with {updates} update(s), registers step by {steps}")
        self.head, self.updates, self.steps = head, updates, steps
