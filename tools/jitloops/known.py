"""Known code replayed beside its native time: the hand-written kernels of
tools/replay_known.s, in plain forms and slow ones, timed as they are
linked (tools/replay_known.cpp) and, wrapped as JIT_CODE_LOAD records of a
jitdump, read by the listing like any JIT's code and replayed; per form and
kernel the two medians of interleaved runs and their ratio. It is the
measurement behind the replay's claim to run a loop at its native speed
(docs/jit.md gives its figures); its test runs it at a tiny count and
checks only what each run did, never a time.

    tools/replay_known.py [--iterations N] [--rounds N] [--jitdump FILE]
                          [--build DIR] [--format text|json]
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

import report
from comparing.environment import environment, machine_name

from . import harness, jitdump
from .analysis import analyse_all
from .dumps import top_tier
from .errors import ToolError
from .replay import finals, replay
from .results import collect
from .rules import excuse_loopless

TOOLS = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ASSEMBLY = os.path.join(TOOLS, "replay_known.s")
TIMER = os.path.join(TOOLS, "replay_known.cpp")
FORMS = ("plain", "base_index", "swapped", "imul_load", "index_store", "guarded")
KERNELS = dict(zip(report.KERNEL_NAMES, ("inc", "arith", "branch")))
BASE = 0x7E5A_0000_0000  # where the jitdump puts code the timer does not give an address for


def timer(build):
    """The native timer (it runs without address randomisation)."""
    return harness.build_cached("replay_known", [TIMER, ASSEMBLY], build)


def linked(program):
    """{function: its address in the timer}: where the jitdump puts its
    bytes, so that the replay runs each loop at the very address it runs at
    natively."""
    listing = subprocess.run([program, "--addresses"], capture_output=True, text=True,
                             check=True).stdout
    return {f"known_{w[1]}": int(w[2], 16) for w in map(str.split, listing.splitlines())
            if len(w) == 3 and w[0] == "address"}


def assemble(folder):
    """The object's code and {function: (offset, size)}."""
    obj, text = os.path.join(folder, "known.o"), os.path.join(folder, "known.bin")
    for command in (["as", "--64", "-o", obj, ASSEMBLY],
                    ["objcopy", "-O", "binary", "-j", ".text", obj, text]):
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        if result.returncode != 0:
            raise ToolError(f"{command[0]} failed on {ASSEMBLY}: {result.stderr.strip()}")
    listing = subprocess.run(["nm", "-S", obj], capture_output=True, text=True, check=True).stdout
    symbols = {m[3]: (int(m[1], 16), int(m[2], 16)) for m in
               re.finditer(r"^([0-9a-f]+) ([0-9a-f]+) T (known_\w+)$", listing, re.M)}
    with open(text, "rb") as f:
        return f.read(), symbols


def wrap(code, symbols, addresses=None, pid=1):
    """A jitdump of every function, each a JIT_CODE_LOAD record at its
    address in `addresses` (default: BASE plus its offset in the object)."""
    header = jitdump.FILE_HEADER.pack(jitdump.MAGIC, jitdump.VERSION, jitdump.FILE_HEADER.size,
                                      jitdump.EM_X86_64, 0, pid, 0, 0)
    records = []
    for index, (name, (offset, size)) in enumerate(sorted(symbols.items())):
        address = (addresses or {}).get(name, BASE + offset)
        payload = jitdump.LOAD.pack(pid, pid, address, address, size, index) + name.encode() \
            + b"\0" + code[offset:offset + size]
        records.append(jitdump.RECORD_HEADER.pack(jitdump.CODE_LOAD,
                                                  jitdump.RECORD_HEADER.size + len(payload), index)
                       + payload)
    return header + b"".join(records)


def kernels_of(data, form):
    """The form's kernels as the listing judges them, from the jitdump."""
    _, loads = jitdump.read(data, "the known kernels' jitdump")
    names = jitdump.KernelNames([f"known_{form}_{k}" for k in KERNELS.values()])
    reports = [r for c in top_tier(jitdump.compilations(loads, names), False)
               for r in analyse_all(c)]
    excuse_loopless(reports)
    return collect(reports)


def native(program, iterations, names):
    """{name: (ns, the cell after)} for one round of the linked functions."""
    result = subprocess.run([program, str(iterations), "1", *names], capture_output=True,
                            text=True, timeout=600, check=False)
    if result.returncode != 0:
        raise ToolError(f"{program} failed: {result.stderr.strip()}")
    return {w[1]: (int(w[2]), int(w[3])) for w in map(str.split, result.stdout.splitlines())
            if len(w) == 4 and w[0] == "run"}


def measure(build, iterations, rounds, data):
    """Rows per form and kernel, the native and replayed runs interleaved."""
    native_program = timer(build)
    program = harness.built(build)
    names = [f"{form}_{k}" for form in FORMS for k in KERNELS.values()]
    rows = {name: {"form": name.rsplit("_", 1)[0], "kernel": kernel, "native_ns": [],
                   "native_values": set(), "path_ns": [], "chain_ns": []}
            for name in names for kernel, short in KERNELS.items() if name.endswith("_" + short)}
    for _ in range(rounds):
        for name, (ns, value) in native(native_program, iterations, names).items():
            rows[name]["native_ns"].append(ns)
            rows[name]["native_values"].add(value)
        for form in FORMS:
            for kernel in kernels_of(data, form):
                replay(kernel, program, iterations, 1)
                row = rows[f"{form}_{KERNELS[kernel.kernel]}"]
                row.update(verdict=kernel.verdict, refused=dict(kernel.refused),
                           iterations=kernel.details.get("iterations"))
                for figure in ("path", "chain"):
                    value = kernel.figures[f"{figure}_ms"]
                    if value is not None:
                        row[f"{figure}_ns"].append(value * 1e6 * iterations / report.ITERATIONS)
    return [finish(row, iterations) for row in rows.values()]


def finish(row, iterations):
    scale = report.ITERATIONS / iterations / 1e6

    def median(values):
        return statistics.median(values) * scale if values else None

    def least(values):
        return min(values) * scale if values else None

    def most(values):
        return max(values) * scale if values else None

    native_ms, path_ms = median(row["native_ns"]), median(row["path_ns"])
    return {"form": row["form"], "kernel": row["kernel"], "verdict": row.get("verdict"),
            "native_ms": native_ms, "path_ms": path_ms, "chain_ms": median(row["chain_ns"]),
            "path/native": path_ms / native_ms if path_ms and native_ms else None,
            "native_range_ms": [least(row["native_ns"]), most(row["native_ns"])],
            "path_range_ms": [least(row["path_ns"]), most(row["path_ns"])],
            "native_right": bool(row["native_values"])
            and row["native_values"] <= finals(row["kernel"], iterations),
            "replay_iterations": row.get("iterations"), "refused": row.get("refused", {})}


def show(rows, iterations, rounds, out):
    out.write(f"known kernels, ms per 1e8 iterations ({iterations} per run, medians of {rounds} "
              f"interleaved runs) on {machine_name(environment())}\n")
    out.write(f"{'form':<12} {'kernel':<12} {'native':>8} {'path':>8} {'path/native':>11} "
              f"{'chain':>8}  listing, ranges\n")
    for row in rows:
        cells = [f"{row[k]:8.2f}" if row[k] is not None else f"{'-':>8}"
                 for k in ("native_ms", "path_ms")]
        ratio = row["path/native"]
        chain = row["chain_ms"]
        spans = [f"{r[0]:.0f}-{r[1]:.0f}" if r[0] is not None else "-"
                 for r in (row["native_range_ms"], row["path_range_ms"])]
        out.write(f"{row['form']:<12} {row['kernel']:<12} {cells[0]} {cells[1]} "
                  f"{ratio if ratio is None else format(ratio, '.3f'):>11} "
                  f"{'-' if chain is None else format(chain, '.2f'):>8}  {row['verdict']:<5} "
                  f"native {spans[0]}, path {spans[1]}\n")
        for figure, why in row["refused"].items():
            out.write(f"{'':26}refused: {figure[:-3]}: {why}\n")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--iterations", type=int, default=report.ITERATIONS)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--build", default="build",
                        help="where the built programs are kept (default: build)")
    parser.add_argument("--jitdump", metavar="FILE", help="also keep the jitdump in FILE")
    parser.add_argument("--format", choices=("text", "json"), default="text")
    args = parser.parse_args(argv)
    if args.iterations < 1 or args.rounds < 1:
        parser.error("--iterations and --rounds must be positive")
    try:
        with tempfile.TemporaryDirectory(prefix="replay_known.") as folder:
            code, symbols = assemble(folder)
        data = wrap(code, symbols, linked(timer(args.build)))
        if args.jitdump:
            with open(args.jitdump, "wb") as f:
                f.write(data)
        rows = measure(args.build, args.iterations, args.rounds, data)
    except (ToolError, OSError, subprocess.SubprocessError) as error:
        print(f"replay_known: {error}", file=sys.stderr)
        return 2
    if args.format == "json":
        json.dump({"machine": machine_name(environment()), "iterations": args.iterations,
                   "rounds": args.rounds, "rows": rows}, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        show(rows, args.iterations, args.rounds, sys.stdout)
    return 0 if all(r["path_ms"] is not None and r["native_right"] for r in rows) else 1
