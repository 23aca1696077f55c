"""The replay harness (tools/replay_harness.cpp): built once per source and
compiler with the C++ compiler at hand, statically where the C library
allows (its only mappings are then its own small image, heap and stack, so
the JIT's addresses are rarely taken), cached under the build folder (or a
temporary folder when there is none); and one run of it on a description,
its output read into each experiment's runs, stopping places and state.
"""
import dataclasses
import hashlib
import os
import shutil
import subprocess
import tempfile

from .errors import ToolError

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                      "replay_harness.cpp")
COMPILERS = ("c++", "g++", "clang++")
FLAGS = ["-std=c++20", "-O2", "-Wall", "-Wextra"]
RUN_TIMEOUT = 900.0  # seconds for one harness process, every round included


@dataclasses.dataclass
class Experiment:
    name: str
    ns: list = dataclasses.field(default_factory=list)  # one per run that landed
    left: list = dataclasses.field(default_factory=list)  # (address, signal) of runs that left
    timeouts: int = 0
    landed_at: int = None
    state: dict = dataclasses.field(default_factory=dict)  # register -> value, last run
    watches: dict = dataclasses.field(default_factory=dict)  # address -> value, last run


def compiler():
    chosen = os.environ.get("CXX")
    for name in ([chosen] if chosen else []) + list(COMPILERS):
        if shutil.which(name):
            return shutil.which(name)
    raise ToolError("no C++ compiler (c++, g++ or clang++) to build the replay harness")


def cache_folder(build):
    """Where built harnesses are kept: <build>/replay when the build folder
    exists, else a folder under the temporary directory."""
    if build and os.path.isdir(build):
        return os.path.join(build, "replay")
    return os.path.join(tempfile.gettempdir(), f"jit_loops-replay-{os.getuid()}")


def built(build="build"):
    """The harness executable, built if this source and compiler have not
    been built before; statically where the C library allows."""
    return build_cached("replay_harness", [SOURCE], build, (["-static"], ["-no-pie"]))


def build_cached(name, sources, build, variants=([],)):
    """`name` built from `sources` with the C++ compiler at hand (the first
    of `variants`' extra flags that builds), kept under the build folder by
    a hash of the sources and the compiler, and built again only when they
    change (or the flags)."""
    cxx = compiler()
    digest = hashlib.sha256((cxx + repr(FLAGS) + repr(variants)).encode())
    for source in sources:
        with open(source, "rb") as f:
            digest.update(f.read())
    folder = cache_folder(build)
    program = os.path.join(folder, f"{name}-{digest.hexdigest()[:16]}")
    if os.path.isfile(program):
        return program
    os.makedirs(folder, exist_ok=True)
    partial = f"{program}.{os.getpid()}.tmp"
    problem = ""
    for extra in variants:
        result = subprocess.run([cxx, *FLAGS, *extra, "-o", partial, *sources],
                                capture_output=True, text=True, check=False)
        if result.returncode == 0:
            os.replace(partial, program)  # whole or not at all, for a concurrent run
            return program
        problem = (result.stderr.strip().splitlines() or [""])[-1]
    raise ToolError(f"{name} cannot be built with {cxx}: {problem}")


# A page the harness's own memory holds may be free in its next process:
# where its heap and stack lie is chosen afresh at each start.
PLACING_TRIES = 3


def run(program, description):
    """{name: Experiment} from one harness run on the description's text;
    a page it cannot place, in PLACING_TRIES processes, raises ReplayRefused."""
    for attempt in range(PLACING_TRIES):
        try:
            return run_once(program, description)
        except ReplayRefused as error:
            if "own memory" not in str(error) or attempt + 1 == PLACING_TRIES:
                raise
    return None


def run_once(program, description):
    with tempfile.TemporaryDirectory(prefix="jit_loops.replay.") as folder:
        path = os.path.join(folder, "description.txt")
        with open(path, "w", encoding="ascii") as f:
            f.write(description)
        try:
            result = subprocess.run([program, path], capture_output=True, text=True,
                                    timeout=RUN_TIMEOUT, check=False)
        except subprocess.TimeoutExpired:
            raise ReplayRefused(f"the harness did not finish within {RUN_TIMEOUT:.0f} s")
    lines = result.stdout.splitlines()
    refused = [line.split(" ", 1)[1] for line in lines if line.startswith("refused ")]
    if result.returncode == 3 and refused:
        raise ReplayRefused(refused[0])
    if result.returncode != 0:
        why = next((line for line in lines if line.startswith("error ")), result.stderr.strip())
        raise ToolError(f"the replay harness failed (status {result.returncode}): {why}")
    return parse(lines)


class ReplayRefused(Exception):
    """The code could not be placed where it must run: a reason, no figure."""


def parse(lines):
    found = {}
    for line in lines:
        words = line.split()
        if not words or words[0] not in ("run", "state", "watch"):
            continue
        experiment = found.setdefault(words[1], Experiment(words[1]))
        if words[0] == "run" and words[3] == "-":
            experiment.timeouts += 1
        elif words[0] == "run" and words[4] == "landed":
            experiment.ns.append(int(words[3]))
            experiment.landed_at = int(words[5], 16)
        elif words[0] == "run":
            experiment.left.append((int(words[5], 16), words[6]))
        elif words[0] == "state":
            experiment.state = {k: int(v, 16) for k, v in (w.split("=") for w in words[2:])}
        else:
            experiment.watches[int(words[2], 16)] = int(words[3], 16)
    return found
