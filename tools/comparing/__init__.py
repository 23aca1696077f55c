"""compare's parts, one concern per file, in the order a comparison runs:

    cli.py           the command line and main: the steps below in order
    commands.py      a COMMAND argument split into words, shell syntax refused
    counterparts.py  --counterparts: the commands of the whole comparison
    preflight.py     what is checked before the first run
    read_json.py     compare's own JSON read back, or refused with why
    against.py       --against: the saved run of the same commands, same machine
    noise.py         the look at the machine before the first round
    rounds.py        the interleaved rounds; each run's report read and checked
    running.py       one run of a command: process group, timeout, signals
    excerpt.py       what is shown of a failing command's output, bounded
    progress.py      the progress line on a terminal, with the time left
    interval.py      the Hodges-Lehmann estimate and its Mann-Whitney interval
    summary.py       rows per kernel and command, the correction, the verdicts
    records.py       the typed records the output formats read
    cells.py         cell texts and notes shared by the table and markdown
    format_table.py, format_markdown.py, format_json.py   the output formats,
    format_bmf.py, format_gbench.py, format_csv.py        and for other tools
    names.py         the one name per command and kernel that BMF and gbench use
    plot.py          the SVG plot
    environment.py   the machine's details for the JSON output
    streams.py       compare's own standard output and error, never lost
                     to text they cannot encode

tools/compare.py is the command-line entry.
"""
