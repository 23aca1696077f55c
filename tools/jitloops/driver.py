"""The command line: where the code comes from (a run of the Java, node,
LuaJIT or PyPy counterpart or of the WebAssembly build, a saved dump or a
runtime's own, a jitdump file),
which compilations are analysed, the report and the exit status (0 every
kernel's hottest loop keeps the rule, 1 one breaks it, 2 a usage or tool
error, or, none breaking it, a kernel not judged: a loop too large to walk,
or loops not told apart in code holding several kernels). tools/jit_loops.py
holds the tool's account, which is its --help text.

Each source is a subcommand: its options, and a function (SOURCES) giving
the compilations read, the origin the report's first line names and what
the counterpart's run printed (its report: None for a file read). A
runtime is added as a dump reader producing compilations (a module below
the analysis) and a source here. The kernels' results (results) are then
measured (figures) and rendered as text (output) or JSON (format_json).
"""
import argparse
import sys

import report

from . import dumps, jitdump, luajit, pypy
from .analysis import analyse_all
from .errors import ToolError
from .figures import measure
from .format_json import write_json
from .output import write_text
from .results import collect, status
from .rules import excuse_loopless
from .runtimes import (PRINT_OPT_CODE, accepts, hotspot_command, luajit_command, machine_name,
                       perf_prof_command, pypy_command, pypy_log, run_dump, run_jitdump,
                       run_written, v8_command, wasm_command)

# The names clang gives the WebAssembly build's main, the first found taken:
# a main without parameters is compiled as __original_main.
WASM_MAINS = ("__original_main", "main")


def from_java(args):
    command = hotspot_command(args)
    printed = run_dump(command)
    return dumps.parse_dump(printed), f"{' '.join(command)} on {machine_name()}", printed


def from_node(args):
    route = args.route
    if route == "auto":
        route = "print-opt-code" if accepts(args.node, PRINT_OPT_CODE) else "perf-prof"
    if route == "print-opt-code":
        command = v8_command(args)
        printed = run_dump(command)
        return (dumps.parse_dump(printed),
                f"{' '.join(command)} on {machine_name()}, code from its {PRINT_OPT_CODE[0]} "
                "listing", printed)
    command = perf_prof_command(args)
    why = "" if args.route == route else f" ({args.node} rejects {' '.join(PRINT_OPT_CODE)})"
    data, printed = run_jitdump(command)
    _, loads = jitdump.read(data, "the jitdump")
    return (jitdump.compilations(loads, jitdump.KernelNames.parse(jitdump.DEFAULT_NAMES)),
            f"{' '.join(command)} on {machine_name()}, code from the jitdump it wrote{why}",
            printed)


def from_luajit(args):
    text, printed = run_written(lambda file: luajit_command(args, file))
    found, runtime = luajit.read(text, "the loader's dump")
    return found, (f"{' '.join(luajit_command(args))} on {machine_name()} ({runtime}), code "
                   "from the listing's trace loader"), printed


def from_pypy(args):
    text, printed = run_written(lambda file: pypy_command(args),
                                lambda file: {"PYPYLOG": pypy_log(file)})
    return pypy.read(text, "the log")[0], (f"PYPYLOG={pypy_log()} {' '.join(pypy_command(args))} "
                                          f"on {machine_name()}, code from the log"), printed


def from_dump(args):
    with open(args.file, "rb") as f:
        data = f.read()
    if data[:4] in jitdump.MAGICS:
        raise ToolError(f"{args.file} is a jitdump file: read it with `jitdump {args.file}`")
    text = data.decode("utf-8", errors="replace")
    if text.startswith(luajit.HEADER[0]):
        found, runtime = luajit.read(text, args.file)
        return found, f"LuaJIT trace dump {args.file} ({runtime})", None
    if pypy.SECTION.search(text):
        found, runtime = pypy.read(text, args.file)
        return found, f"PyPy JIT log {args.file} (of {runtime})", None
    return dumps.parse_dump(text), dumps.saved_origin(text, args.file), None


def from_jitdump(args):
    with open(args.file, "rb") as f:
        header, loads = jitdump.read(f.read(), args.file)
    if args.trim:
        jitdump.trim(header, loads, args.kernels, args.trim)
    return (jitdump.compilations(loads, args.kernels),
            f"jitdump {args.file} (process {header.pid})", None)


def from_wasm(args):
    command = wasm_command(args)
    data, printed = run_jitdump(command)
    _, loads = jitdump.read(data, "the jitdump")
    found = []
    for name in [args.function] if args.function else WASM_MAINS:
        found = jitdump.compilations(loads, jitdump.KernelNames([name]))
        if found:
            break
    tier, tier_name = jitdump.V8_WASM_TIERS["turbofan" if args.no_liftoff else "liftoff"]
    if not args.all:
        # main is entered once, and V8 does not replace WebAssembly code
        # while it runs: the loops run in the code main was entered with,
        # even when the run compiled main again with TurboFan meanwhile.
        found = [c for c in found if c.tier == tier]
    return found, (f"{' '.join(command)} on {machine_name()}, code from the jitdump it wrote: "
                   f"{tier_name}'s code of {name}, which runs the loops"), printed


SOURCES = {"java": from_java, "node": from_node, "luajit": from_luajit, "pypy": from_pypy,
           "dump": from_dump, "jitdump": from_jitdump, "wasm": from_wasm}


def kernel_names(text):
    try:
        return jitdump.KernelNames.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error))


def add_figure_options(parser):
    figures = parser.add_argument_group("the split's figures (ms per 1e8 iterations)")
    figures.add_argument("--no-figures", action="store_true",
                         help="judge the code only: no replay, no floor, no run figure")
    figures.add_argument("--floor", default="build/bench_floor", metavar="FILE",
                         help="bench_floor, run once for the floor's figures (default: "
                         "build/bench_floor)")
    figures.add_argument("--build", default="build", metavar="DIR",
                         help="where the replay harness is built and kept (default: build; a "
                         "temporary folder when it does not exist)")
    figures.add_argument("--replay-iterations", type=positive, default=report.ITERATIONS,
                         metavar="N", help="iterations each replay runs (default: 1e8); the "
                         "figures are scaled to 1e8")
    figures.add_argument("--rounds", type=positive, default=5, metavar="N",
                         help="interleaved runs of each replay, the median kept (default: 5)")


def positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


def parse_arguments(description, argv):
    parser = argparse.ArgumentParser(
        description=description, formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="A diagnostic, not a proof: see above for what it can miss, and docs/jit.md.")
    sub = parser.add_subparsers(dest="source", required=True)
    java = sub.add_parser("java", help="run the Java counterpart under HotSpot's print option")
    java.add_argument("--java", default="java", help="the java launcher (default: java)")
    java.add_argument("--classpath", default="build/jit",
                      help="where the compiled classes are (default: build/jit)")
    java.add_argument("--main", default="JitBench", help="the main class (default: JitBench)")
    node = sub.add_parser("node", help="run the JavaScript counterpart under V8's "
                          "--print-opt-code, or --perf-prof where node rejects the former")
    node.add_argument("--script", default="jit/jit_bench.js",
                      help="the counterpart (default: jit/jit_bench.js)")
    node.add_argument("--route", choices=("auto", "print-opt-code", "perf-prof"), default="auto",
                      help="how the code is taken: V8's listing (--print-opt-code "
                      "--code-comments) or the jitdump --perf-prof writes; auto (the default): "
                      "the listing where node accepts its options")
    lua = sub.add_parser("luajit", help="run the LuaJIT counterpart under the listing's trace "
                         "loader (tools/jitloops/luajit_dump.lua)")
    lua.add_argument("--luajit", default="luajit", help="the luajit executable (default: luajit)")
    lua.add_argument("--script", default="jit/jit_bench.lua",
                     help="the counterpart (default: jit/jit_bench.lua)")
    py = sub.add_parser("pypy", help="run the PyPy counterpart with PYPYLOG=" + pypy_log())
    py.add_argument("--pypy", default="pypy3", help="the pypy executable (default: pypy3)")
    py.add_argument("--script", default="jit/jit_bench_pypy.py",
                    help="the counterpart (default: jit/jit_bench_pypy.py)")
    dump = sub.add_parser("dump", help="read a dump saved with --save, or a runtime's own (the "
                          "LuaJIT loader's, a PyPy log)")
    dump.add_argument("file")
    jit = sub.add_parser("jitdump", help="read a jitdump file (jit-PID.dump) of any JIT")
    jit.add_argument("file")
    jit.add_argument("--kernels", type=kernel_names, metavar="NAME[,NAME,NAME]",
                     default=jitdump.KernelNames.parse(jitdump.DEFAULT_NAMES),
                     help="the kernels' code by name: three names in report order, or one "
                     "naming code that times all three in order (default: inc,arith,branch); a "
                     "name matches a record whose name, up to its first space, holds it as a "
                     "whole word")
    jit.add_argument("--trim", metavar="OUT",
                     help="also write a jitdump holding only the kernels' code to OUT")
    wasm = sub.add_parser("wasm", help="run the WebAssembly build under node --perf-prof and "
                          "judge the three kernels inside its main")
    wasm.add_argument("--wasm", default="build/bench_c_jit_compare.wasm",
                      help="the module (default: build/bench_c_jit_compare.wasm)")
    wasm.add_argument("--runner", default="jit/wasm_bench.js",
                      help="its node runner, given the module (default: jit/wasm_bench.js)")
    wasm.add_argument("--no-liftoff", action="store_true",
                      help="run node with --no-liftoff and judge TurboFan's code (default: "
                      "Liftoff's, which a default run times)")
    wasm.add_argument("--function", metavar="NAME",
                      help="the function timing the kernels (default: __original_main, else "
                      "main)")
    for each in (node, wasm):
        each.add_argument("--node", default="node", help="the node executable (default: node)")
    for each in (java, node, lua, py):
        each.add_argument("--warmup", type=int, default=0, metavar="N",
                          help="pass the counterpart its warm-up count (default: cold)")
    for each in (java, node, lua, py, dump, jit, wasm):
        each.add_argument("--all", action="store_true",
                          help="analyse every compilation of each kernel, not only the top tier "
                          "(wasm: not only the tier that runs the loops)")
        each.add_argument("--save", metavar="FILE",
                          help="save the analysed compilations' dump, readable with `dump`")
        each.add_argument("--verbose", "-v", action="store_true",
                          help="show the runtime's comments under each instruction")
        each.add_argument("--format", choices=("text", "json"), default="text",
                          help="the report as text (the default) or as one JSON object")
        add_figure_options(each)
    args = parser.parse_args(argv)
    if getattr(args, "warmup", 0) < 0:
        parser.error("--warmup must not be negative")
    return args


def missing_code(args, compilations):
    """The error naming the kernels with no code, or None."""
    missing = [k for k in report.KERNEL_NAMES if not any(k in c.held for c in compilations)]
    if not missing:
        return None
    if args.source == "jitdump":
        names = args.kernels.names
        words = names if len(names) == 1 else [names[report.KERNEL_NAMES.index(k)]
                                                for k in missing]
        return ToolError(f"no code for {', '.join(missing)} in {args.file}: no record with code "
                         f"has a name holding the word {' or '.join(map(repr, words))} (--kernels "
                         "names the kernels' code)")
    if args.source == "wasm":
        return ToolError("no code of " + (args.function or " or ".join(WASM_MAINS))
                         + " in the jitdump" + ("" if args.all else " in the tier that runs it"))
    return ToolError(f"no compiled code for {', '.join(missing)} in the dump "
                     "(was the kernel run long enough to be compiled?)")


def main(description, argv=None):
    """Runs the tool on `argv` (default: the command line); `description` is
    its --help text. Returns the exit status."""
    args = parse_arguments(description, argv)
    out = sys.stdout
    try:
        compilations, origin, printed = SOURCES[args.source](args)
        if args.source != "wasm":  # which tier runs the loops: the source has chosen
            compilations = dumps.top_tier(compilations, args.all)
        problem = missing_code(args, compilations)
        if problem:
            raise problem
        if args.save:
            dumps.save(args.save, origin, compilations)
        reports = [r for c in compilations for r in analyse_all(c)]
        excuse_loopless(reports)
        kernels = collect(reports, measured=not args.no_figures)
        if not args.no_figures:
            measure(kernels, args, printed)
    except (ToolError, OSError) as error:
        print(f"jit_loops: {error}", file=sys.stderr)
        return 2
    if args.format == "json":
        write_json(kernels, origin, out)
    else:
        write_text(kernels, origin, args.verbose, out)
    # A loop not walked to the end may hide a break: the tool cannot tell.
    return status(kernels)
