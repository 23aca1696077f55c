"""The reader of compare's own JSON (--format json, format_json.py): a saved
run read back, every field it needs checked, so that a file that is not such
an output (not JSON, cut short, another schema, another program's JSON, hand
edited) is refused with one line saying why, never half read.

What it gives back is what --against needs: the machine, the commands (their
exact words from the base64 fields) and every counted run's time.
"""
import base64
import binascii
import dataclasses
import json
import math
import os
import re
import statistics
from typing import Tuple

from comparing.commands import Command
from comparing.format_json import SCHEMA_VERSION
from comparing.records import Times
from report import FINALS, KERNEL_NAMES

# The first minor that recorded the cpu family and model, without which the
# saved machine cannot be told from another sold under the same name.
MACHINE_SINCE_MINOR = 3
MACHINE_KEYS = ("cpu_model", "cpu_family", "cpu_model_number", "logical_cores")


class SavedRunError(ValueError):
    """The file cannot be read as a saved run; the message says why, in one line."""


@dataclasses.dataclass(frozen=True)
class SavedRun:
    environment: dict  # as recorded before its first round
    commands: Tuple[Command, ...]  # as run, in order
    roles: Tuple[str, ...]  # "reference", "candidate" or "floor", per command
    times: Times  # per command: kernel name -> ms of each counted run
    runs: int


def _need(value, kinds, where, what):
    if not isinstance(value, kinds) or isinstance(value, bool) and bool not in kinds:
        raise SavedRunError(f"{where}: expected {what}")
    return value


def _decode(text, where):
    try:
        return os.fsdecode(base64.b64decode(_need(text, (str,), where, "base64 text"),
                                            validate=True))
    except (binascii.Error, ValueError) as error:
        raise SavedRunError(f"{where}: expected base64 text") from error


# What a cut inside a token leaves at the end of the text, where the parser
# stops before the end: the first letters of true, false or null, or a lone
# minus sign (where it expects a value); a number that stops after its
# point or exponent letter (inside the number); a \u escape short of its
# four digits.
_CUT_VALUE = re.compile(r"t(?:r(?:u)?)?|f(?:a(?:l(?:s)?)?)?|n(?:u(?:l)?)?|-")
_CUT_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]*)?(?:[eE][+-]?[0-9]*)?")
_CUT_ESCAPE = re.compile(r"u[0-9a-fA-F]{0,3}")


def _cut_short(text, error):
    """Whether the parser's error is that of a document cut short."""
    end = len(text.rstrip())
    if error.pos >= end or error.msg.startswith("Unterminated string"):
        return True  # a cut inside a string is found at the string's start
    tail = text[error.pos:end]
    if error.msg.startswith("Invalid \\uXXXX escape"):
        return bool(_CUT_ESCAPE.fullmatch(tail))
    if error.msg == "Expecting value":
        return bool(_CUT_VALUE.fullmatch(tail))
    start = error.pos
    while start > 0 and text[start - 1] in "0123456789+-.eE":
        start -= 1
    return start < error.pos and bool(_CUT_NUMBER.fullmatch(text[start:end]))


def _document(data):
    """The parsed document of `data` (bytes), or SavedRunError."""
    if not data.strip():
        raise SavedRunError("empty")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            raise SavedRunError("truncated: it ends inside a UTF-8 character") from error
        raise SavedRunError(f"not JSON: not UTF-8 text (byte {error.start})") from error

    def refuse(name):  # JSON has no NaN or Infinity; Python's reader would take them
        raise SavedRunError(f"not JSON: {name} is not a JSON number")

    try:
        return json.loads(text, parse_constant=refuse)
    except json.JSONDecodeError as error:
        if _cut_short(text, error):
            raise SavedRunError(f"truncated: it ends inside the JSON document (line "
                                f"{error.lineno}, column {error.colno})") from error
        raise SavedRunError(f"not JSON: {error}") from error
    except RecursionError as error:
        raise SavedRunError("not JSON: nested too deeply") from error


def _commands(document):
    commands, roles = [], []
    for index, entry in enumerate(_need(document.get("commands"), (list,), "commands",
                                        "a list")):
        where = f"commands[{index}]"
        _need(entry, (dict,), where, "an object")
        text = _need(entry.get("command"), (str,), f"{where}.command", "text")
        words = tuple(_decode(word, f"{where}.words_base64")
                      for word in _need(entry.get("words_base64"), (list,),
                                        f"{where}.words_base64", "a list"))
        if not words:
            raise SavedRunError(f"{where}.words_base64: no words")
        commands.append(Command(text, words, _decode(entry.get("argument_base64"),
                                                     f"{where}.argument_base64")))
        roles.append(_need(entry.get("role"), (str,), f"{where}.role", "text"))
    if not commands or roles[0] != "reference":
        raise SavedRunError("commands: expected the reference first")
    return tuple(commands), tuple(roles)


def _times(document, count, runs):
    times = [{} for _ in range(count)]
    for index, row in enumerate(_need(document.get("results"), (list,), "results", "a list")):
        where = f"results[{index}]"
        _need(row, (dict,), where, "an object")
        kernel = row.get("kernel")
        command = _need(row.get("command_index"), (int,), f"{where}.command_index",
                        "a whole number")
        if kernel not in KERNEL_NAMES or not 0 <= command < count or kernel in times[command]:
            raise SavedRunError(f"{where}: expected each kernel once per command")
        values = _need(row.get("times_ms"), (list,), f"{where}.times_ms", "a list")
        if len(values) != runs or not all(
                isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v)
                and v >= 0 for v in values):
            raise SavedRunError(f"{where}.times_ms: expected {runs} times in ms, one per round")
        times[command][kernel] = [float(v) for v in values]
        # The summary compare wrote beside the times is theirs to the bit: a
        # file whose times were edited, and not its summary, is refused.
        for key, value in (("runs", len(values)), ("median_ms", statistics.median(values)),
                           ("min_ms", min(values)), ("max_ms", max(values))):
            if row.get(key) != value:
                raise SavedRunError(f"{where}: its {key} is not that of its times_ms: the file "
                                    "was edited")
    if any(len(per) != len(KERNEL_NAMES) for per in times):
        raise SavedRunError("results: a command or a kernel has no results")
    return times


def read_saved(path):
    """The SavedRun in the file at `path`; raises SavedRunError."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        raise SavedRunError(f"cannot read it: {error.strerror or error}") from error
    document = _document(data)
    if not isinstance(document, dict) or "schema_version" not in document:
        raise SavedRunError("not a compare --format json output (no schema_version; a bmf, "
                            "gbench or csv output cannot be read back)")
    version, minor = document.get("schema_version"), document.get("schema_minor")
    if version != SCHEMA_VERSION:
        raise SavedRunError(f"schema version {version!r}, but this compare reads version "
                            f"{SCHEMA_VERSION}")
    if not isinstance(minor, int) or minor < MACHINE_SINCE_MINOR:
        raise SavedRunError(f"schema {version}.{minor}, saved by an older compare that did "
                            "not record the cpu family and model: its machine cannot be told")
    environment = _need(document.get("environment"), (dict,), "environment", "an object")
    for key in MACHINE_KEYS:
        _need(environment.get(key), (str, int, type(None)), f"environment.{key}",
              "text, a number or null")
    if document.get("finals") != {kernel: str(FINALS[kernel]) for kernel in KERNEL_NAMES}:
        raise SavedRunError("its kernels' final values are not this benchmark's")
    runs = _need(document.get("runs"), (int,), "runs", "a whole number")
    if runs < 1:
        raise SavedRunError("runs: expected at least one counted round")
    commands, roles = _commands(document)
    return SavedRun(environment, commands, roles, _times(document, len(commands), runs), runs)
