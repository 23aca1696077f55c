"""Each kernel's results, the one structure every output is rendered from
(output: the text; format_json: the JSON): its compilations' reports in
print order, the verdict over them, and the split of its time into the
figures measured on this machine, each in ms per 1e8 iterations or None
with the reason it was refused:

  chain_ms  the accumulator's chain as the JIT wrote it (its load, the
            instructions computing the new value, its store), replayed in a
            counted loop of the replay's own
  path_ms   the judged loop itself replayed natively from a synthesized state
  run_ms    the kernel's time in the counterpart's own report of the same run
  floor_ms  bench_floor's time for the kernel, run in the same session

run/floor = chain/floor (the instructions on the accumulator's chain) x
path/chain (the rest of the loop's code) x run/path (what lies outside the
loop's code in a cold run). A figure that cannot mean what it says (a path
faster than its own chain, a chain faster than the floor) is kept, marked
suspect with the reason.
"""
import dataclasses

import report

FIGURES = ("chain_ms", "path_ms", "run_ms", "floor_ms")
# A measurement this much below what it contains is suspect: the replay
# cannot run the loop faster than the chain it holds, nor the chain faster
# than the machine's floor for the same work (timing noise aside).
SUSPECT_BELOW = 0.9
# The split's factors: (name, numerator, denominator, what it measures).
FACTORS = (
    ("chain/floor", "chain_ms", "floor_ms", "the instructions on the accumulator's chain"),
    ("path/chain", "path_ms", "chain_ms", "the rest of the loop's code"),
    ("run/path", "run_ms", "path_ms", "what lies outside the loop's code in a cold run: "
     "interpreter, compilation, tier-up, on-stack replacement, deopts, GC"),
)
NOT_MEASURED = "not measured (--no-figures)"


@dataclasses.dataclass
class KernelResults:
    """One kernel: `reports` are its KernelReports (analysis) in print order."""
    kernel: str
    reports: list
    figures: dict = dataclasses.field(default_factory=lambda: dict.fromkeys(FIGURES))
    refused: dict = dataclasses.field(default_factory=dict)  # figure -> why it is None
    suspect: list = dataclasses.field(default_factory=list)  # why a figure is suspect
    details: dict = dataclasses.field(default_factory=dict)  # how the figures were taken
    notes: list = dataclasses.field(default_factory=list)  # lines on how they were taken

    @property
    def verdict(self):
        """"flag" when a compilation breaks the rule, "????" when one could
        not be judged (and none breaks it), else "ok"."""
        if any(r.rules for r in self.reports):
            return "flag"
        return "????" if any(r.unjudged for r in self.reports) else "ok"

    @property
    def rules(self):
        return unique(rule for r in self.reports for rule in r.rules)

    @property
    def costs(self):
        return unique(cost for r in self.reports if r.hottest for cost in r.hottest.costs)

    @property
    def replayed(self):
        """The report whose hottest loop the figures replay: the first in
        print order with a judged hottest loop (None: no such loop)."""
        return next((r for r in self.reports if r.hottest is not None), None)

    def refuse(self, figure, why):
        self.figures[figure] = None
        self.refused[figure] = why

    def ratio(self, numerator, denominator):
        top, bottom = self.figures[numerator], self.figures[denominator]
        return top / bottom if top is not None and bottom else None

    def check_suspects(self):
        """Marks a path below SUSPECT_BELOW of its chain and a chain below
        SUSPECT_BELOW of the floor."""
        for name, top, bottom, _ in FACTORS[:2]:
            value = self.ratio(top, bottom)
            if value is not None and value < SUSPECT_BELOW:
                self.suspect.append(f"{name} is {value:.2f}, below {SUSPECT_BELOW}: the "
                                    f"{top[:-3]} cannot run faster than the "
                                    f"{bottom[:-3]} it holds, so the measurement is suspect")


def unique(items):
    seen = []
    for item in items:
        if item not in seen:
            seen.append(item)
    return seen


def collect(reports, measured=True):
    """The kernels' results in report order, from every KernelReport;
    without `measured`, every figure is refused as not measured."""
    kernels = []
    for name in report.KERNEL_NAMES:
        mine = [r for r in reports if r.kernel == name]
        if mine:
            kernels.append(KernelResults(name, mine))
    if not measured:
        for kernel in kernels:
            for figure in FIGURES:
                kernel.refuse(figure, NOT_MEASURED)
    return kernels


def status(kernels):
    """The exit status: 1 when a kernel breaks the rule, 2 when one could not
    be judged (none breaking it), else 0."""
    verdicts = {k.verdict for k in kernels}
    return 1 if "flag" in verdicts else 2 if "????" in verdicts else 0


def summary(kernels):
    """The closing lines: where the rule is broken, where it was not judged
    and why, or that it is kept everywhere."""
    broken = [k.kernel for k in kernels if k.verdict == "flag"]
    unjudged = {}  # reason -> kernels
    for kernel in kernels:
        for r in kernel.reports:
            if r.unjudged and kernel.kernel not in unjudged.setdefault(r.reason, []):
                unjudged[r.reason].append(kernel.kernel)
    lines = ["rule broken in: " + ", ".join(broken)] if broken else []
    lines += ["rule not judged in: " + ", ".join(names) + f" ({reason}: see above)"
              for reason, names in unjudged.items()]
    if not lines:
        lines.append("rule kept in every kernel's hottest loop: one load and one store of the "
                     "accumulator per iteration, no other store, no fence")
    return lines
