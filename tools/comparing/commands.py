"""The commands compare runs: each given as one argument, split into words
as a shell would (quotes and backslashes only) and run directly, never by a
shell, so shell syntax in one is refused rather than passed on as words."""
import dataclasses
import re
import shlex
from typing import Tuple

_NAME_VALUE = re.compile(r"[A-Za-z_][A-Za-z0-9_]*=")
_SHELL_CHARS = set("|&;<>")


class CommandError(ValueError):
    """A command that cannot be split into words to run; says why."""


@dataclasses.dataclass(frozen=True)
class Command:
    text: str  # as given, printable: every output names the command by it
    words: Tuple[str, ...]  # as split, and run
    # As given, exactly: a byte that was not UTF-8 on the command line is held
    # as a lone surrogate (os.fsencode gives the bytes back).
    argument: str = ""


def shell_syntax(command):
    """The first piece of shell syntax in `command` outside quotes, or None."""
    quote, escaped = None, False
    for position, char in enumerate(command):
        if escaped:
            escaped = False
        elif char == "\\" and quote != "'":
            escaped = True
        elif quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char in _SHELL_CHARS:
            return char
        elif char == "`" or command.startswith("$(", position):
            return char
    if _NAME_VALUE.match(command.lstrip()):
        return command.lstrip().split()[0]
    return None


def printable(text):
    """`text` fit for any output: bytes that were not UTF-8 on the command
    line and control characters such as a newline are shown escaped, so they
    neither break a table row nor fail to encode."""
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def split(command):
    """The Command for one COMMAND argument; raises CommandError."""
    syntax = shell_syntax(command)
    if syntax:
        raise CommandError(f"{command!r} contains shell syntax ({syntax}), but commands are not "
                           f"run by a shell; wrap it: \"sh -c '...'\"")
    try:
        words = shlex.split(command)
    except ValueError as error:
        raise CommandError(f"cannot split {command!r}: {error}") from error
    if not words:
        raise CommandError("an empty COMMAND")
    return Command(printable(command), tuple(words), command)
