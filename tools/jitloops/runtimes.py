"""Running a counterpart under its runtime's code-dump option: HotSpot's
-XX:CompileCommand=print for the kernels' methods (the code as hex when no
hsdis plug-in is loaded), V8's --print-opt-code --code-comments, or, where
node rejects that (node 18 has no --code-comments), V8's --perf-prof, which
writes a jitdump (jit-PID.dump) into the current folder: such a run happens
in a private temporary folder, removed afterwards. The benchmark's
WebAssembly build runs the same way under its node runner. LuaJIT runs the
counterpart under the listing's own trace loader (luajit_dump.lua), PyPy
under PYPYLOG; each writes its code into a file in a private temporary
folder. The counterpart runs its real count, as in a measurement. Also the
machine's name, which the report's first line gives beside the command.
"""
import glob
import os
import platform
import subprocess
import tempfile

from machine import processor

from .dumps import KERNEL_METHODS
from .errors import ToolError

TIMEOUT = 600.0  # seconds for one dumping run of a counterpart


def hotspot_command(args):
    command = [args.java, "-XX:+UnlockDiagnosticVMOptions", "-XX:CompileCommand=quiet"]
    command += [f"-XX:CompileCommand=print,{args.main}::{m}" for m in KERNEL_METHODS.values()]
    command += ["-cp", args.classpath, args.main]
    return command + ([str(args.warmup)] if args.warmup else [])


PRINT_OPT_CODE = ["--print-opt-code", "--code-comments"]
PERF_PROF = "--perf-prof"
JITDUMP_FILES = "jit-*.dump"


def v8_command(args):
    command = [args.node, *PRINT_OPT_CODE, args.script]
    return command + ([str(args.warmup)] if args.warmup else [])


def perf_prof_command(args):
    """node under --perf-prof, its files named so that it can run elsewhere."""
    command = [absolute_program(args.node), PERF_PROF, os.path.abspath(args.script)]
    return command + ([str(args.warmup)] if args.warmup else [])


LUAJIT_LOADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "luajit_dump.lua")
PYPY_LOG = "jit-log-opt,jit-backend-addr,jit-backend-dump"
WRITTEN = "FILE"  # where a command's code file goes, as the report names it


def luajit_command(args, file=WRITTEN):
    """LuaJIT running the counterpart under the trace loader, which writes
    the traces to `file`."""
    loader = LUAJIT_LOADER if file != WRITTEN else os.path.relpath(LUAJIT_LOADER)
    command = [args.luajit, loader, file, args.script]
    return command + ([str(args.warmup)] if args.warmup else [])


def pypy_command(args):
    """PyPy running the counterpart; PYPYLOG (pypy_log) names the file."""
    return [args.pypy, args.script] + ([str(args.warmup)] if args.warmup else [])


def pypy_log(file=WRITTEN):
    return f"{PYPY_LOG}:{file}"


def run_written(command_for, environment_for=lambda file: {}):
    """The text that one full run writes to a file, and what the run printed:
    `command_for(file)` and `environment_for(file)` give its command and the
    variables it adds. The file lies in a private folder, removed
    afterwards."""
    with tempfile.TemporaryDirectory(prefix="jit_loops.") as folder:
        file = os.path.join(folder, "code.txt")
        command = command_for(file)
        printed = run(command, extra=environment_for(file))[0]
        if not os.path.isfile(file):
            raise ToolError(f"{' '.join(command_for(WRITTEN))} wrote no code file")
        with open(file, encoding="utf-8", errors="replace") as f:
            return f.read(), printed


def wasm_command(args):
    """The WebAssembly build under its node runner, writing a jitdump; with
    no_liftoff, V8 compiles every function with TurboFan from the start."""
    for what, path in (("WebAssembly module", args.wasm), ("runner", args.runner)):
        if not os.path.isfile(path):
            raise ToolError(f"{path}: no such file (the {what})")
    tier = ["--no-liftoff"] if args.no_liftoff else []
    return [absolute_program(args.node), PERF_PROF, *tier, os.path.abspath(args.runner),
            os.path.abspath(args.wasm)]


def absolute_program(program):
    """A program named by a relative path, made absolute; a bare name is
    looked up on PATH as it is."""
    return os.path.abspath(program) if os.sep in program else program


def accepts(program, flags):
    """Whether node starts with `flags` (it refuses an option it does not
    know: "node: bad option: --code-comments")."""
    try:
        result = subprocess.run([program, *flags, "-e", ""], capture_output=True, text=True,
                                timeout=60, check=False)
    except FileNotFoundError:
        raise ToolError(f"{program} not found")
    except subprocess.TimeoutExpired:
        raise ToolError(f"{program} did not start within 60 s")
    return result.returncode == 0


def run(command, folder=None, extra=None):
    """One full run of `command` (in `folder`, with the variables `extra`
    added): its standard output and its process id."""
    environment = dict(os.environ)
    environment.pop("BENCH_TEST_ITERATIONS", None)  # the dump is of the real count
    environment.update(extra or {})
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                   text=True, env=environment, cwd=folder)
    except FileNotFoundError:
        raise ToolError(f"{command[0]} not found")
    try:
        out, err = process.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise ToolError(f"{' '.join(command)} did not finish within {TIMEOUT:.0f} s")
    if process.returncode != 0:
        tail = "\n".join(err.strip().splitlines()[-5:])
        raise ToolError(f"{' '.join(command)} exited with status {process.returncode}: {tail}")
    return out, process.pid


def run_dump(command):
    """The runtime's standard output for one full run of `command`."""
    return run(command)[0]


def run_jitdump(command):
    """The bytes of the jitdump that one full run of `command` writes into
    its current folder (a private one, removed afterwards), and what the run
    printed."""
    with tempfile.TemporaryDirectory(prefix="jit_loops.") as folder:
        printed, pid = run(command, folder)
        written = sorted(glob.glob(os.path.join(folder, JITDUMP_FILES)))
        own = os.path.join(folder, f"jit-{pid}.dump")
        if own in written or len(written) == 1:
            path = own if own in written else written[0]
            with open(path, "rb") as f:
                return f.read(), printed
    raise ToolError(f"{' '.join(command)} wrote " + (
        "no jit-PID.dump (does this runtime write a jitdump under " + PERF_PROF + "?)"
        if not written else f"{len(written)} jitdump files, none named after its process"))


def machine_name():
    cpu = processor()
    if cpu is None:
        return platform.machine()
    cpu = {key: "?" if value is None else value for key, value in cpu.items()}
    return f"{cpu['model name']}, cpu family {cpu['cpu family']}, model {cpu['model']}"
