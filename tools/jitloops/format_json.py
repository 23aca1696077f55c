"""The listing as one JSON object, for scripts and CI, rendered from the
kernels' results as the text is: the machine (as tools/compare.py names
it), the origin, the exit status and, per kernel in report order, its
verdict ("ok", "flag", "????"), rule flags and costs, the four figures
(numbers in ms per 1e8 iterations, or null, `refused` giving the reason for
each null one), their ratios, what makes one suspect, how they were taken,
and each compilation's report.
"""
import json

from comparing.environment import environment, machine_name

from .results import FACTORS, FIGURES, status, summary

SCHEMA_VERSION = 1


def hex_address(value):
    return None if value is None else f"{value:#x}"


def loop_json(hot):
    loop = hot.loop
    return {"head": hex_address(loop.head), "latches": [hex_address(a) for a in loop.latches],
            "instructions": len(loop.body), "iterations_per_trip": hot.iterations,
            "accumulator": hot.accumulator, "form": hot.form, "notes": hot.notes,
            "paths": hot.per_path}


def compilation_json(result):
    c = result.compilation
    verdict = ("flag" if result.rules else "????" if result.unjudged else "note" if result.note
               else "ok")
    return {"runtime": c.runtime, "method": c.method, "description": c.description,
            "verdict": verdict, "place": result.place or None, "rules": result.rules,
            "costs": result.hottest.costs if result.hottest else [],
            "note": result.note or None, "unjudged": result.unjudged,
            "hottest": loop_json(result.hottest) if result.hottest else None,
            "others": [{"head": hex_address(o.loop.head), "iterations_per_trip": o.iterations,
                        "judged": o.judged, "rules": o.rules} for o in result.others]}


def kernel_json(kernel):
    document = {"kernel": kernel.kernel, "verdict": kernel.verdict, "rules": kernel.rules,
                "costs": kernel.costs}
    document.update((f, kernel.figures[f]) for f in FIGURES)
    document["refused"] = {f: kernel.refused[f] for f in FIGURES if f in kernel.refused}
    document["ratios"] = {name: kernel.ratio(top, bottom) for name, top, bottom, _ in
                          (("run/floor", "run_ms", "floor_ms", ""),) + FACTORS}
    document["suspect"] = kernel.suspect
    document["replay"] = kernel.details
    document["notes"] = kernel.notes
    document["compilations"] = [compilation_json(r) for r in kernel.reports]
    return document


def write_json(kernels, origin, out):
    document = {"schema_version": SCHEMA_VERSION, "tool": "jit_loops",
                "machine": machine_name(environment()), "origin": origin,
                "exit_status": status(kernels), "kernels": [kernel_json(k) for k in kernels],
                "summary": summary(kernels)}
    json.dump(document, out, indent=2)
    out.write("\n")
