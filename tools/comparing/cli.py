"""compare's command line: the options, the help text (the reference for
them), and main, which runs the steps in order: read the arguments (and the
saved run of --against), look at the machine, run the rounds, summarise,
write the outputs."""
import argparse
import math
import sys

import report
from comparing import counterparts
from comparing.against import against
from comparing.commands import CommandError, printable, split
from comparing.environment import environment
from comparing.format_bmf import format_bmf
from comparing.format_csv import format_csv
from comparing.format_gbench import format_gbench
from comparing.format_json import format_json
from comparing.format_markdown import format_markdown
from comparing.format_table import format_table
from comparing.noise import LOOK_S, look
from comparing.plot import plot_svg
from comparing.preflight import missing, problems
from comparing.progress import Progress
from comparing.read_json import SavedRunError
from comparing.records import Comparison, Skipped
from comparing.rounds import measure
from comparing.running import catch_signals
from comparing.streams import escape_unencodable, for_output, say, write_output
from comparing.summary import summarise

# Seconds per run: a native run takes a fraction of a second, but a slow
# interpreter may take a minute or more for the 3 x 10^8 iterations.
DEFAULT_TIMEOUT = 300.0
INTERRUPTED = 130
FORMATS = {"table": format_table, "markdown": format_markdown, "json": format_json,
           "bmf": format_bmf, "gbench": format_gbench, "csv": format_csv}
USAGE_ERROR = 2

HELP = """\
    compare.py [-n RUNS] [--warmup K] [--timeout SECONDS] [--format FORMAT]
               [--plot FILE.svg] [--against FILE] [--floor COMMAND] [--skip-missing]
               COMMAND [COMMAND ...]
    compare.py [-n RUNS] ... --counterparts [BUILD_DIR]

Each COMMAND is one argument, split into words at spaces and by quotes and
backslashes as a shell would (nothing else: no ~, $VAR, globs or # comments),
and run directly, not by a shell: a pipe, `&&`, `;`, a redirection or a leading
NAME=value does not work and is refused. Wrap such a command in sh -c, e.g.
    compare.py ./build/bench_c_jit_compare "sh -c 'cd jit && JAVA_OPTS=-Xint ./run'"

Each command must print bench_c_jit_compare's report: one line per kernel,
{example}
each once (other lines are ignored; a banner is not required; a run may
print at most 16 MiB). The time is
a plain non-negative decimal number of milliseconds; the accumulator must be
the value shown, which is the only correct one, in every run of every
command, or the comparison stops there naming the command, run and kernel.

Before the first run, compare checks that every command's program resolves
to an executable file (a word with a slash names a file; any other is looked
up on PATH) and that the --plot file's folder is writable, and stops naming
what is wrong.

With --skip-missing, a command other than the first (the floor included)
whose program does not resolve so, or one of whose other words names a path
that does not exist (a word with a slash, other than an option or a word
with a space, :, =, *, ? or [), is left out instead, said in one line on
standard error and in every output. Without a command left besides the
first, that is a usage error.

--counterparts [BUILD_DIR] stands for the whole comparison, with no COMMAND:
BUILD_DIR/bench_c_jit_compare (BUILD_DIR: build unless given) as the
reference, BUILD_DIR/bench_floor as the floor, the A/A control (the same
source as LLVM IR under lli: jit/lli_bench.sh BUILD_DIR/bench_c_jit_compare.bc)
and every JIT counterpart in jit/, with --skip-missing.

The first COMMAND is the reference. After K warm-up rounds (not counted) the
commands run RUNS rounds, interleaved (A B C A B C ...), so that drift in the
machine's speed hits all alike. Each run gets its own process group and at
most --timeout seconds; on a timeout, or when compare itself is interrupted,
the whole group is ended (TERM, then KILL). On a terminal, standard error
shows the run in progress and an estimate of the time left.

A run that fails ends the comparison: the summary of the rounds completed so
far is printed, marked as failed, then the error, naming the command and the
run, with the end of the command's standard output and error (at most 10
lines each, a line longer than 400 bytes cut in the middle, control
characters and bytes that are not UTF-8 escaped).

Before the first round, compare looks at the machine (the load average, the
frequency governor and boost, a hypervisor, other work on the CPUs over
{look:g} s) and says in one line on standard error what may distort the
figures; the outputs record it. Nothing on the machine is changed.

With --floor COMMAND, one more command runs in every round (last): the
floor, such as ./build/bench_floor, the kernels written by hand at the
machine's limit. Every other command, the reference included, then gets its
ratio to the floor per kernel, with the same estimate and interval as below,
counted in the same correction, and a verdict: "above the floor", "below the
floor" (faster than the floor command, which then is not this machine's
floor for that kernel) or "no significant difference". The floor is not
compared with the reference.

Per kernel and command the output gives the median, min and max time, the
spread (max/min), the ratio of the medians and the ratio estimate: the
Hodges-Lehmann estimate of the shift of log times, exponentiated, with its
distribution-free confidence interval from the exact Mann-Whitney
distribution (a normal approximation above 100 x 100 runs, said in the
output). The intervals are Bonferroni-adjusted over all candidate x kernel
comparisons in the report (and command x kernel comparisons with a floor),
so the chance of any wrong "faster"/"slower" (or above/below the floor) in a
report is at most 5% (for runs independent of each other; interleaving keeps
slow drift from favouring one command). A verdict is "faster" or "slower" only when the
interval excludes 1; "too few runs for the adjusted level" when no interval
from so few runs could. Text that an output's encoding cannot hold is
written escaped (\\xNN, \\uNNNN).

With --against FILE, an earlier --format json output of compare on this
machine, each command, the floor included, is compared with its own runs in
FILE instead of with the first COMMAND (the comparisons with the floor stay
within this run), by the same statistic. The two runs were not interleaved,
so a change in the machine's speed between them is not controlled; every
output says so. A FILE saved on another machine (processor model, cpu family
and model, logical cores), a command not in FILE, and a FILE that is not
such an output are refused (exit 2) before the first run.

--format: table (the default), markdown to paste, json (every run's time and
the machine's details; what --against reads), bmf (Bencher), gbench (Google
Benchmark's JSON) or csv; docs/compare.md describes each.

Exit status: 0 on success; 1 when a command cannot run, fails, times out,
reports a wrong or malformed result (after printing the summary of the
rounds completed so far, marked as failed), or the output cannot be
written; 2 on a usage error or a refused --against FILE; 130 when
interrupted (SIGINT, SIGTERM, SIGHUP or SIGQUIT), after printing the
summary of the rounds completed so far, marked as interrupted.
"""


class Once(argparse.Action):
    """An option that may be given once: a second one is refused rather than
    silently replacing the first (a repeated --floor would drop a command
    from the comparison without a word)."""

    def __call__(self, parser, namespace, values, option_string=None):
        if getattr(namespace, self.dest) is not None:
            parser.error(f"{option_string} given twice: {getattr(namespace, self.dest)!r} "
                         f"and {values!r}")
        setattr(namespace, self.dest, values)


def parse_arguments(argv):
    # The report's lines as the program prints them, with made-up times.
    example = "\n".join("    " + report.format_line(kernel, ms, kernel.final)
                        for kernel, ms in zip(report.KERNELS, (28.97, 55.44, 29.44)))
    parser = argparse.ArgumentParser(
        prog="compare.py", description=HELP.format(example=example, look=LOOK_S),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Examples:\n"
               "    tools/compare.py -n 15 ./build/bench_c_jit_compare 'java -cp build/jit JitBench'\n"
               "    tools/compare.py -n 15 --floor ./build/bench_floor "
               "./build/bench_c_jit_compare 'java -cp build/jit JitBench'\n"
               "    tools/compare.py -n 20 --counterparts\n"
               "    tools/compare.py -n 20 --format json --counterparts > before.json\n"
               "    tools/compare.py -n 20 --against before.json --counterparts")
    parser.add_argument("-n", "--runs", type=int, default=10, metavar="RUNS",
                        help="measured rounds (default 10)")
    parser.add_argument("--warmup", type=int, default=1, metavar="K",
                        help="warm-up rounds, not counted (default 1)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT, metavar="SECONDS",
                        help=f"limit for one run (default {DEFAULT_TIMEOUT:g})")
    parser.add_argument("--format", choices=list(FORMATS), default="table",
                        help="table (default), markdown to paste, json with every run's "
                             "time and the machine's details, bmf (Bencher), gbench (Google "
                             "Benchmark's JSON) or csv")
    parser.add_argument("--against", metavar="FILE",
                        help="compare each command with its own runs in FILE, an earlier "
                             "--format json output on this machine (not interleaved with "
                             "them: every output says so)")
    parser.add_argument("--plot", metavar="FILE.svg",
                        help="also draw every counted run into this SVG file: one panel "
                             "per kernel, one numbered row per command with its ratio and "
                             "verdict beside it, the commands in full in a legend")
    parser.add_argument("--floor", metavar="COMMAND", action=Once,
                        help="also run this command, the floor (e.g. ./build/bench_floor), in "
                             "every round, and give every other command's ratio to it")
    parser.add_argument("--skip-missing", action="store_true",
                        help="leave out, saying so, a command (not the first) whose program "
                             "or a path it names is missing, e.g. a runtime not installed")
    parser.add_argument("--counterparts", nargs="?", const="build", metavar="BUILD_DIR",
                        help="instead of COMMANDs: BUILD_DIR's (default build) C build, its "
                             "floor, the A/A control and every JIT counterpart, "
                             "with --skip-missing")
    parser.add_argument("commands", nargs="*", metavar="COMMAND",
                        help="one argument per command; the first is the reference")
    args = parser.parse_args(argv)
    args.paths = frozenset()  # words known to name paths (--skip-missing)
    if args.counterparts is not None:
        if args.counterparts == "":  # an unset variable, more likely than "."
            parser.error("--counterparts BUILD_DIR: an empty folder name")
        if args.commands or args.floor is not None:
            parser.error("--counterparts names every command and the floor itself: give no "
                         "COMMAND and no --floor with it")
        reference, args.floor, candidates = counterparts.expand(args.counterparts)
        args.commands, args.skip_missing = [reference, *candidates], True
        args.paths = counterparts.paths(args.counterparts)
    elif not args.commands:
        parser.error("the following arguments are required: COMMAND (or --counterparts)")
    if args.runs < 1:
        parser.error("-n RUNS must be at least 1")
    if args.warmup < 0:
        parser.error("--warmup K must not be negative")
    if not (math.isfinite(args.timeout) and args.timeout > 0):
        parser.error("--timeout SECONDS must be a positive number")
    if args.plot == "":
        parser.error("--plot FILE.svg: an empty file name")
    if args.against == "":
        parser.error("--against FILE: an empty file name")
    try:
        args.commands = tuple(split(command) for command in args.commands)
    except CommandError as error:
        parser.error(str(error))
    # The floor runs last in each round and is one more command to the
    # rounds; only the summary treats it apart.
    args.floor_index = None
    if args.floor is not None:
        try:
            args.commands += (split(args.floor),)
        except CommandError as error:
            parser.error(f"--floor: {error}")
        args.floor_index = len(args.commands) - 1
    args.usage_error = parser.error
    return args


def leave_out_missing(args):
    """--skip-missing: takes the commands other than the reference that
    cannot run out of args.commands (the floor's index follows), says so on
    standard error, and returns them as Skipped records."""
    kept, skipped, floor = [args.commands[0]], [], None
    for index, command in enumerate(args.commands[1:], start=1):
        role = "floor" if index == args.floor_index else "candidate"
        reason = missing(command, args.paths)
        if reason:
            skipped.append(Skipped(command, role, reason))
            say(f"compare: left out {skipped[-1].describe()}\n")
            continue
        if role == "floor":
            floor = len(kept)
        kept.append(command)
    args.commands, args.floor_index = tuple(kept), floor
    return tuple(skipped)


def run_rounds(args, progress):
    """The measurement, with the interrupting signals caught for its length:
    an interrupt ends the run in progress and keeps the completed rounds."""
    catch_signals()
    return measure(args.commands, args.warmup, args.runs, args.timeout, progress)


def summarise_rounds(args, measurement, before):
    """The Comparison of the completed rounds. The table and markdown name
    each command as standard output can show it (comparing/streams.py), so
    that their columns count what is shown."""
    shown = for_output if args.format in ("table", "markdown") else (lambda text: text)
    rows, correction = summarise([shown(c.text) for c in args.commands], measurement.times,
                                 args.floor_index, args.saved and args.saved.times)
    return Comparison(
        commands=args.commands, rows=rows, correction=correction, runs=measurement.completed,
        warmup=args.warmup, timeout=args.timeout, times=measurement.times,
        warmup_times=measurement.warmup_times, interrupted=measurement.interrupted,
        failed=measurement.failed, environment_before=before, environment_after=environment(),
        floor_index=args.floor_index, skipped=args.skipped, against=args.saved,
        noise=args.noise)


def write_results(args, comparison):
    """Writes the plot (if asked) and the report; returns 0, or 1 when either
    could not be written."""
    status = 0
    text = FORMATS[args.format](comparison)
    if args.plot:
        try:
            with open(args.plot, "w", encoding="utf-8") as f:
                f.write(plot_svg(comparison))
        except OSError as error:
            say(f"compare: cannot write {args.plot}: {error.strerror or error}\n")
            status = 1
    return write_output(text) or status


def main(argv=None):
    escape_unencodable()
    args = parse_arguments(argv)
    args.skipped = leave_out_missing(args) if args.skip_missing else ()
    found = problems(args.commands, args.plot)
    if found:
        say("".join(f"compare: {problem}\n" for problem in found))
        return 1
    if args.skip_missing and len(args.commands) < 2 and args.against is None:
        args.usage_error("--skip-missing left no command besides the reference "
                         f"{args.commands[0].text}: nothing to compare it with")
    args.saved = None
    if args.against is not None:
        try:
            args.saved = against(args.against, args.commands, environment())
        except SavedRunError as error:
            say(f"compare: --against {printable(args.against)}: {error}\n")
            return USAGE_ERROR
    # Before the progress line: the look sleeps a moment to see other work.
    args.noise = look()
    if args.noise.line:
        say(f"compare: {args.noise.line}\n")
    progress = Progress(terminal=sys.stderr is not None and sys.stderr.isatty(),
                        commands=[c.text for c in args.commands], rounds=args.warmup + args.runs)
    before = environment()
    measurement = run_rounds(args, progress)
    progress.clear()
    status = 0
    if measurement.interrupted:
        status = INTERRUPTED
        say(f"compare: interrupted by {measurement.interrupted}; its run was ended; "
            f"{measurement.completed} of {args.runs} round(s) completed\n")
    if measurement.completed:
        written = write_results(args, summarise_rounds(args, measurement, before))
        status = status or written
    if measurement.failed:
        # After the summary, so that on a terminal the error is what shows last.
        say(f"compare: {measurement.failed.message}\n")
    return status or (1 if measurement.failed or not measurement.completed else 0)
