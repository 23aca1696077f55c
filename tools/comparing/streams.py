"""compare's own output streams: messages to standard error that never
raise, and the report to standard output, where a failure is said once and
a reader that went away ends it quietly. Neither stream can lose the
results to text it cannot encode (a command named in Chinese, written to
an ASCII or Latin-1 terminal): such text is escaped as \\xNN, \\uNNNN."""
import os
import sys


def escape_unencodable():
    """From here on, text that a stream's encoding cannot hold is written
    escaped rather than raising UnicodeEncodeError."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.reconfigure(errors="backslashreplace")
        except (AttributeError, ValueError):  # closed, or not a text stream of its own
            pass


def for_output(text):
    """`text` as standard output will show it: what its encoding cannot hold
    escaped already, so that a table can count the characters it shows."""
    encoding = getattr(sys.stdout, "encoding", None) or "utf-8"
    try:
        return text.encode(encoding, "backslashreplace").decode(encoding)
    except (LookupError, UnicodeError):
        return text.encode("ascii", "backslashreplace").decode("ascii")


def say(text):
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, AttributeError, UnicodeError):  # closed, never opened, or a bad codec
        pass


def write_output(text):
    """Writes the report to standard output; returns 0, or 1 when it could
    not be written."""
    if sys.stdout is None:
        say("compare: standard output is closed\n")
        return 1
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as error:
        # A reader that went away (e.g. `| head`) ends it quietly; anything else is said.
        if not isinstance(error, BrokenPipeError):
            say(f"compare: cannot write the output: {error.strerror or error}\n")
        # Nothing more goes to the failed output, not even at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0
