"""Google Benchmark's JSON (--format gbench), close enough that its own
compare tool (`compare.py benchmarks A.json B.json`) and dashboards that read
that format take it: a `context` naming the machine, and `benchmarks`, where
each command and kernel (comparing/names.py) is one benchmark with one
repetition per counted run (`run_type` "iteration", one iteration: one timed
loop) and, from two runs on, the aggregates `mean`, `median` and `stddev`.

Times are in milliseconds (`time_unit` "ms"), as the report prints them. The
report gives wall-clock time only, so `cpu_time` repeats `real_time`. The
ratios to the reference (or, against a saved run, to the command's runs
there: `saved_ratio`) and to the floor, with their intervals, are counters of
the median aggregate: `ratio`, `ratio_low`, `ratio_high`, `floor_ratio`, ...,
each left out where undefined. The context says whether the runs were
interleaved, what the look at the machine found, and whether the rounds
ended early.
"""
import json
import statistics

from comparing.cells import against_line, machine_line
from comparing.format_json import finite_number
from comparing.names import benchmark_name, command_names


def context(comparison):
    env = comparison.environment_before
    governor = env.get("cpufreq_governor")
    out = {"date": env.get("utc"), "host_name": env.get("host"), "executable": "tools/compare.py",
           "num_cpus": env.get("logical_cores"), "load_avg": env.get("load_average") or [],
           "machine": machine_line(comparison), "runs": comparison.runs,
           "warmup": comparison.warmup, "interval_level": comparison.correction.interval_level,
           # Every command ran in the same rounds; against a saved run, those
           # were not interleaved with this run's.
           "interleaved": comparison.against is None}
    if comparison.against is not None:
        out["against"] = against_line(comparison)
    if governor is not None:
        out["cpu_scaling_enabled"] = governor != "performance"
    if comparison.noise is not None and comparison.noise.line:
        out["noise"] = comparison.noise.line
    if comparison.interrupted or comparison.failed:  # the rounds completed before only
        out["ended_early"] = (f"INTERRUPTED ({comparison.interrupted})" if comparison.interrupted
                              else f"FAILED ({comparison.failed.message.splitlines()[0]})")
    return out


def counters(row, against):
    out = {}
    for name, value, interval in (("saved_ratio" if against else "ratio", row.ratio, row.interval),
                                  ("floor_ratio", row.floor_ratio, row.floor_interval)):
        if finite_number(value):
            out[name] = value
            if interval and all(finite_number(bound) for bound in interval):
                out[f"{name}_low"], out[f"{name}_high"] = interval
    return out


def format_gbench(comparison):
    names = command_names(comparison.commands)
    benchmarks = []
    for family, row in enumerate(comparison.rows):
        name = benchmark_name(names, row)
        times = comparison.times[row.command_index][row.kernel]
        common = {"family_index": family, "per_family_instance_index": 0, "run_name": name,
                  "repetitions": len(times), "threads": 1}
        benchmarks += [{"name": name, **common, "run_type": "iteration", "repetition_index": index,
                        "iterations": 1, "real_time": ms, "cpu_time": ms, "time_unit": "ms"}
                       for index, ms in enumerate(times)]
        if len(times) < 2:
            continue
        for aggregate, value in (("mean", statistics.mean(times)),
                                 ("median", statistics.median(times)),
                                 ("stddev", statistics.stdev(times))):
            benchmarks.append({"name": f"{name}_{aggregate}", **common, "run_type": "aggregate",
                               "aggregate_name": aggregate, "aggregate_unit": "time",
                               "iterations": len(times), "real_time": value, "cpu_time": value,
                               "time_unit": "ms",
                               **(counters(row, comparison.against) if aggregate == "median"
                                  else {})})
    return json.dumps({"context": context(comparison), "benchmarks": benchmarks}, indent=2) + "\n"
