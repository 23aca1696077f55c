"""The progress line: on standard error, when it is a terminal, the run in
progress, for how long, and an estimate of the time left, redrawn in place
when its text changes.

The estimate takes each command's mean run time so far (warm-up runs
included, and the time to start and end the process) for each of its runs
still to come, less the time the current run has already taken. It shows
once every command has finished a run.
"""
import math
import shutil

from comparing.streams import say

CLEAR_LINE = "\r\x1b[K"


def time_left(means, rounds, round_number, index, elapsed):
    """Seconds left when command `index` of round `round_number` (counting
    from 0, of `rounds`) has run for `elapsed` seconds, given each command's
    mean run time so far; None while a mean is unknown."""
    if any(mean is None for mean in means):
        return None
    current = max(0.0, means[index] - elapsed)
    rest_of_round = sum(means[index + 1:])
    return current + rest_of_round + (rounds - round_number - 1) * sum(means)


def left_text(seconds):
    """The time left, rounded: 'under 1 s left', 'about 42 s left',
    'about 3 min 05 s left', 'about 2 h 07 min left'."""
    if seconds < 1:
        return "under 1 s left"
    seconds = math.ceil(seconds)
    if seconds < 60:
        return f"about {seconds} s left"
    if seconds < 3600:
        return f"about {seconds // 60} min {seconds % 60:02d} s left"
    minutes = math.ceil(seconds / 60)
    return f"about {minutes // 60} h {minutes % 60:02d} min left"


def fit(command, room):
    """`command` in at most `room` characters, cut in the middle."""
    if len(command) <= room:
        return command
    if room < 5:
        return command[:max(room, 0)]
    head = (room - 3) // 2
    return command[:head] + "..." + command[len(command) - (room - 3 - head):]


class Progress:
    def __init__(self, terminal, commands, rounds, write=say,
                 columns=lambda: shutil.get_terminal_size().columns):
        """`commands`: their printable names, in order; `rounds`: warm-up
        and counted rounds together."""
        self.terminal = terminal
        self.commands = commands
        self.rounds = rounds
        self.write = write
        self.columns = columns
        self.totals = [0.0] * len(commands)
        self.counts = [0] * len(commands)
        self.shown = None

    def finished(self, index, seconds):
        """Command `index` finished a run that took `seconds`."""
        self.totals[index] += seconds
        self.counts[index] += 1

    def line(self, round_number, index, label, elapsed, width):
        """The progress line, at most `width` characters."""
        means = [total / count if count else None
                 for total, count in zip(self.totals, self.counts)]
        left = time_left(means, self.rounds, round_number, index, elapsed)
        estimate = "" if left is None else f", {left_text(left)}"
        start, end = f"{label}{estimate}: ", f" ({elapsed:.0f} s)"
        return (start + fit(self.commands[index], width - len(start) - len(end)) + end)[:width]

    def update(self, round_number, index, label, elapsed):
        """Command `index` has run for `elapsed` seconds in round
        `round_number` (from 0), whose label is `label`."""
        if not self.terminal:
            return
        text = self.line(round_number, index, label, elapsed, self.columns() - 1)
        if text != self.shown:
            self.shown = text
            self.write(CLEAR_LINE + text)

    def clear(self):
        """Takes the line away, so that what follows starts a clean line."""
        if self.terminal:
            self.write(CLEAR_LINE)
