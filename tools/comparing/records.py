"""The typed records that compare's output formats read: one Row per kernel
and command, the Correction that sets every interval's level, the saved run
a comparison may be held against (Against), what the look at the machine
found before the first round (Noise), and the Comparison that carries
everything one report is made of."""
import dataclasses
from typing import Dict, List, Optional, Tuple

from comparing.commands import Command

Times = List[Dict[str, List[float]]]  # per command, in order: kernel name -> ms of each run


@dataclasses.dataclass
class Row:
    """One kernel's figures for one command. None stands for undefined (no
    runs, or a zero time in a ratio); `ratio` and `interval` compare the
    command with the reference (the first command), the floor_ fields with
    the floor (--floor; None without one, and in the floor's own row)."""
    kernel: str
    command: str  # printable, as every output names it
    command_index: int
    runs: int
    median_ms: Optional[float] = None
    min_ms: Optional[float] = None
    max_ms: Optional[float] = None
    spread: Optional[float] = None  # max / min
    median_ratio: Optional[float] = None  # median / the reference's median
    ratio: Optional[float] = None  # Hodges-Lehmann estimate of time / reference time
    interval: Optional[List[float]] = None  # [low, high] at the corrected level
    exact: Optional[bool] = None  # whether the interval came from the exact distribution
    verdict: str = "no runs"
    unstable: bool = False
    floor_ratio: Optional[float] = None  # Hodges-Lehmann estimate of time / floor time
    floor_interval: Optional[List[float]] = None
    floor_exact: Optional[bool] = None
    floor_verdict: Optional[str] = None


@dataclasses.dataclass(frozen=True)
class Correction:
    """The multiple-comparison correction over every interval in a report."""
    method: str
    family_alpha: float
    tests: int
    per_test_alpha: float
    interval_level: float


@dataclasses.dataclass(frozen=True)
class Failure:
    """The run that ended a comparison early."""
    command_index: int
    run: str  # e.g. "run 3 of 10"
    message: str  # as said on standard error: the command, the run, what went wrong


@dataclasses.dataclass(frozen=True)
class Skipped:
    """A command that --skip-missing left out before the first run."""
    command: Command
    role: str  # "candidate" or "floor"
    reason: str  # e.g. "'build/x.wasm': no such file or folder"

    def describe(self):
        """The command, its role if it is the floor, and why it was left out."""
        return f"{self.command.text}{' (the floor)' if self.role == 'floor' else ''}: {self.reason}"


@dataclasses.dataclass(frozen=True)
class Against:
    """The saved run (--against FILE) that each command is compared with: its
    own runs there are its reference. Never interleaved with this run."""
    path: str  # as given, printable
    utc: Optional[str]  # when the saved run started
    host: Optional[str]
    runs: int  # its counted rounds
    times: Times  # per command of this run, in this run's order: its saved runs

    def describe(self):
        """The saved run in a few words, e.g. "old.json (2026-12-09T23:40:00+00:00,
        20 runs)", for the notes, the plot and the formats with a place for text."""
        return f"{self.path} ({self.utc or 'date unknown'}, {self.runs} runs)"


@dataclasses.dataclass(frozen=True)
class Noise:
    """What may distort the figures, as compare found the machine before the
    first round (comparing/noise.py), and what it read to say so."""
    line: Optional[str]  # said on standard error (after "compare: "); None: nothing found
    found: Tuple[str, ...]  # each thing that may distort the figures
    readings: dict  # what was read, for the JSON


@dataclasses.dataclass(frozen=True)
class Comparison:
    """One report: what ran, what it measured and what follows from it."""
    commands: Tuple[Command, ...]  # as run: the reference, the candidates, the floor
    rows: List[Row]
    correction: Correction
    runs: int  # counted rounds completed
    warmup: int  # warm-up rounds asked for
    timeout: float  # seconds per run
    times: Times  # counted runs
    warmup_times: Times
    interrupted: Optional[str]  # the signal's name when interrupted
    failed: Optional[Failure]  # the run that failed, ending the rounds
    environment_before: dict
    environment_after: dict
    floor_index: Optional[int] = None  # the --floor command's index in `commands`
    skipped: Tuple["Skipped", ...] = ()  # what --skip-missing left out, in the order given
    against: Optional[Against] = None  # --against: the saved run each command is held to
    noise: Optional[Noise] = None  # the look at the machine before the first round
