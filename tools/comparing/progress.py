"""The progress line: on standard error, when it is a terminal, the run in
progress and for how long, redrawn in place when its text changes."""
import shutil

from comparing.streams import say

CLEAR_LINE = "\r\x1b[K"


class Progress:
    def __init__(self, terminal):
        self.terminal = terminal
        self.shown = None

    def update(self, label, command, elapsed):
        text = f"{label}: {command} ({elapsed:.0f} s)"
        if self.terminal and text != self.shown:
            self.shown = text
            width = shutil.get_terminal_size().columns - 1
            say(CLEAR_LINE + text[:width])

    def clear(self):
        """Takes the line away, so that what follows starts a clean line."""
        if self.terminal:
            say(CLEAR_LINE)
