"""The split's figures for each kernel's results: the run (the kernel's time
in the counterpart's own report of the run the code was taken from), the
floor (bench_floor, run once in this session), and the replayed chain and
path (replay); then the suspect marks. A figure that cannot be taken is
refused with the reason.
"""
import report

from . import harness
from .errors import ToolError
from .floor import floor_times, report_times
from .replay import replay

NO_RUN = "a saved dump or a jitdump file has no run of the counterpart to take a time from"


def run_times(printed):
    """({kernel: ms}, None) from what the counterpart's run printed (its
    report, among the runtime's dump lines for the routes printing both),
    or (None, why not)."""
    if printed is None:
        return None, NO_RUN
    labels = tuple(k.label for k in report.KERNELS)
    lines = [line for line in printed.splitlines() if line.startswith(labels)]
    return report_times("\n".join(lines), "the counterpart")


def measure(kernels, args, printed):
    """Fills every kernel's figures, or their reasons for refusal."""
    runs, why_no_run = run_times(printed)
    if runs is not None and getattr(args, "warmup", 0):
        for kernel in kernels:
            kernel.notes.append(f"run: the timed run after {args.warmup} warm-up run(s)")
    try:
        program, why_no_replay = harness.built(args.build), ""
    except ToolError as error:
        program, why_no_replay = None, str(error)
    for kernel in kernels:
        if program:
            replay(kernel, program, args.replay_iterations, args.rounds)
        else:
            kernel.refuse("chain_ms", why_no_replay)
            kernel.refuse("path_ms", why_no_replay)
    # The floor runs after the replays, in the same session, on a machine
    # the replays have warmed alike.
    floors, why_no_floor = floor_times(args.floor)
    for kernel in kernels:
        for figure, times, why in (("run_ms", runs, why_no_run),
                                   ("floor_ms", floors, why_no_floor)):
            if times is None:
                kernel.refuse(figure, why)
            else:
                kernel.figures[figure] = times[kernel.kernel]
        kernel.check_suspects()
