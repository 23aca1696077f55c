"""Running a counterpart under its runtime's code-dump option: HotSpot's
-XX:CompileCommand=print for the kernels' methods (the code as hex when no
hsdis plug-in is loaded), V8's --print-opt-code --code-comments. The
counterpart runs its real count, as in a measurement. Also the machine's
name, which the report's first line gives beside the command.
"""
import os
import platform
import subprocess

from .dumps import KERNEL_METHODS
from .errors import ToolError

TIMEOUT = 600.0  # seconds for one dumping run of a counterpart


def hotspot_command(args):
    command = [args.java, "-XX:+UnlockDiagnosticVMOptions", "-XX:CompileCommand=quiet"]
    command += [f"-XX:CompileCommand=print,{args.main}::{m}" for m in KERNEL_METHODS.values()]
    command += ["-cp", args.classpath, args.main]
    return command + ([str(args.warmup)] if args.warmup else [])


def v8_command(args):
    command = [args.node, "--print-opt-code", "--code-comments", args.script]
    return command + ([str(args.warmup)] if args.warmup else [])


def run_dump(command):
    """The runtime's standard output for one full run of `command`."""
    environment = dict(os.environ)
    environment.pop("BENCH_TEST_ITERATIONS", None)  # the dump is of the real count
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=TIMEOUT,
                                env=environment, check=False)
    except FileNotFoundError:
        raise ToolError(f"{command[0]} not found")
    except subprocess.TimeoutExpired:
        raise ToolError(f"{' '.join(command)} did not finish within {TIMEOUT:.0f} s")
    if result.returncode != 0:
        tail = "\n".join(result.stderr.strip().splitlines()[-5:])
        raise ToolError(f"{' '.join(command)} exited with status {result.returncode}: {tail}")
    return result.stdout


def machine_name():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            info = f.read()
    except OSError:
        return platform.machine()
    fields = {}
    for line in info.splitlines():
        key, _, value = line.partition(":")
        fields.setdefault(key.strip(), value.strip())
    return (f"{fields.get('model name', '?')}, cpu family {fields.get('cpu family', '?')}, "
            f"model {fields.get('model', '?')}")
