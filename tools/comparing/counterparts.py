"""--counterparts [BUILD_DIR]: the whole comparison in one option. It stands
for the commands of the long form in docs/compare.md: the C build of
BUILD_DIR (default `build`) as the reference, its bench_floor as the floor,
the A/A control (the same source as LLVM IR, run by lli through
jit/lli_bench.sh) and every JIT counterpart in jit/, with --skip-missing, so
that each one whose runtime or build is missing here is left out with a word.

The commands name BUILD_DIR as given and jit/ as seen from the current
folder, so that from the repository's top they are, word for word, the long
form's.
"""
import os
import shlex

JIT = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(
    __file__)))), "jit")
# Each command's words; in a word, {build} is the build folder, {jit} jit/.
REFERENCE = ("{build}/bench_c_jit_compare",)
FLOOR = ("{build}/bench_floor",)
CANDIDATES = (
    ("{jit}/lli_bench.sh", "{build}/bench_c_jit_compare.bc"),  # the A/A control
    ("java", "-cp", "{build}/jit", "JitBench"),
    ("node", "{jit}/jit_bench.js"),
    ("node", "{jit}/wasm_bench.js", "{build}/bench_c_jit_compare.wasm"),
    ("node", "--no-liftoff", "{jit}/wasm_bench.js", "{build}/bench_c_jit_compare.wasm"),
    ("luajit", "{jit}/jit_bench.lua"),
    ("pypy3", "{jit}/jit_bench_pypy.py"),
)


def _argument(words, build, jit):
    """One COMMAND argument. A program named by a relative path gets "./",
    as a shell needs it to run a file rather than look it up on PATH."""
    words = [word.format(build=build, jit=jit) for word in words]
    if "/" in words[0] and not words[0].startswith(("/", "./", "../")):
        words[0] = "./" + words[0]
    return shlex.join(words)


def paths(build="build"):
    """The words of expand's commands that name a file or folder, whatever
    their characters (--skip-missing takes a word with a space for more
    than one path, and leaves it to the run)."""
    jit, build = os.path.relpath(JIT), os.path.normpath(build)
    return {word.format(build=build, jit=jit) for words in (REFERENCE, FLOOR, *CANDIDATES)
            for word in words if "{" in word}


def expand(build="build"):
    """(the reference, the floor, the candidates) as COMMAND arguments."""
    jit, build = os.path.relpath(JIT), os.path.normpath(build)
    return (_argument(REFERENCE, build, jit), _argument(FLOOR, build, jit),
            [_argument(words, build, jit) for words in CANDIDATES])
