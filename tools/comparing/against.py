"""--against FILE: this run's commands held against an earlier run of the
same command lines, read from its --format json output: each command's saved
runs are its reference. The two runs were not interleaved, so a change in the
machine's speed between them is not controlled; every output says so.

Refused (SavedRunError: one line, exit 2) before the first round when the
file is not such an output (comparing/read_json.py), when it was saved on
another machine (processor model string, cpu family and model, logical core
count: the ratios would compare machines), or when a command of this run is
not in it.
"""
from comparing.commands import printable
from comparing.environment import machine_name
from comparing.read_json import MACHINE_KEYS, SavedRunError, read_saved
from comparing.records import Against


def _machine(environment):
    return tuple(environment.get(key) for key in MACHINE_KEYS)


def _text(value):
    return printable(value) if isinstance(value, str) else None


def against(path, commands, here):
    """The Against record for this run's `commands` on the machine `here`
    (an environment() record), from the saved run at `path`. A command given
    twice takes the saved command given twice, in order. Raises
    SavedRunError."""
    saved = read_saved(path)
    if _machine(saved.environment) != _machine(here):
        raise SavedRunError(f"saved on another machine ({machine_name(saved.environment)}; "
                            f"this is {machine_name(here)}): the ratios would compare "
                            "machines, not runs")
    unused = list(range(len(saved.commands)))
    times = []
    for command in commands:
        match = next((i for i in unused if saved.commands[i].words == command.words), None)
        if match is None:
            raise SavedRunError(f"{command.text} is not in the saved run, which ran "
                                + ", ".join(saved.commands[i].text for i in unused or
                                            range(len(saved.commands))))
        unused.remove(match)
        times.append(saved.times[match])
    return Against(printable(path), _text(saved.environment.get("utc")),
                   _text(saved.environment.get("host")), saved.runs, times)
