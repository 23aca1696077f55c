"""compare's own output streams: messages to standard error that never
raise, and the report to standard output, where a failure is said once and
a reader that went away ends it quietly."""
import os
import sys


def say(text):
    try:
        sys.stderr.write(text)
        sys.stderr.flush()
    except (OSError, AttributeError):  # standard error closed, or never opened
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
