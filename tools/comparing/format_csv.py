"""CSV (--format csv), for spreadsheets and plotting scripts: a header row,
then one row per command and kernel, in the JSON's order (kernel by kernel,
commands as run). Times in milliseconds as the report prints them, ratios
as plain numbers (12 significant digits) with their intervals' ends in columns of their own; a cell
is empty where its value is undefined, or does not apply (the reference's
ratio, the floor's floor ratio, every floor column without --floor).

`compared_with` says what each row's ratio is to: "reference" (interleaved
with it), or "saved run (not interleaved)" against a saved run.
"""
import csv
import io

from comparing.format_json import finite_number

COLUMNS = ("kernel", "command", "role", "runs", "median_ms", "min_ms", "max_ms", "spread",
           "unstable", "median_ratio", "compared_with", "ratio", "ratio_low", "ratio_high",
           "verdict", "floor_ratio", "floor_ratio_low", "floor_ratio_high", "floor_verdict")


def _cell(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):  # 12 digits: a median of 30.115 is not 30.115000000000002
        return f"{value:.12g}" if finite_number(value) else ""
    return "" if value is None else value


def format_csv(comparison):
    out = io.StringIO()
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(COLUMNS)
    against = comparison.against is not None
    for row in comparison.rows:
        role = ("floor" if row.command_index == comparison.floor_index else
                "reference" if row.command_index == 0 else "candidate")
        interval, floor_interval = row.interval or (None, None), row.floor_interval or (None, None)
        writer.writerow(_cell(value) for value in (
            row.kernel, row.command, role, row.runs, row.median_ms, row.min_ms, row.max_ms,
            row.spread, row.unstable, row.median_ratio,
            "saved run (not interleaved)" if against else "reference",
            row.ratio, *interval, row.verdict, row.floor_ratio, *floor_interval,
            row.floor_verdict))
    return out.getvalue()
