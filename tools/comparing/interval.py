"""Where compare computes its interval: the Hodges-Lehmann estimate of the
shift between two samples and its distribution-free confidence interval
from the Mann-Whitney distribution (exact up to EXACT_LIMIT pairs, a normal
approximation above).

compare applies it to log times, so a shift is a ratio of times once
exponentiated (comparing/summary.py).
"""
import fractions
import functools
import math
import statistics

EXACT_LIMIT = 100 * 100  # runs x runs up to which U's null distribution is computed exactly


@functools.lru_cache(maxsize=None)
def u_null_counts(m, n):
    """counts[u]: how many of the C(m+n, m) equally likely orderings of two
    untied samples of sizes m and n give the Mann-Whitney count U = u. These
    are the coefficients of the Gaussian binomial [m+n choose m](q), built as
    the product of (1 - q^(l+i)) / (1 - q^i) for i = 1..s."""
    s, l = min(m, n), max(m, n)
    counts = [1] + [0] * (s * l + s)
    for i in range(1, s + 1):
        top = (i - 1) * l
        for j in range(top + l + i, l + i - 1, -1):  # times (1 - q^(l+i))
            counts[j] -= counts[j - l - i]
        for j in range(i, top + l + i + 1):  # divided by (1 - q^i), exactly
            counts[j] += counts[j - i]
    return tuple(counts[:s * l + 1])


def tail_depth(m, n, alpha):
    """The rank k of a two-sided interval's ends at level 1 - alpha among the
    sorted pairwise differences (it runs from the k-th smallest to the k-th
    largest): the largest k with P(U <= k - 1) <= alpha / 2, so that each
    end misses the true shift with probability at most alpha / 2. Returns
    (k, exact); k = 0 means no such interval exists."""
    if m * n > EXACT_LIMIT:
        sd = math.sqrt(m * n * (m + n + 1) / 12)
        z = statistics.NormalDist().inv_cdf(1 - float(alpha) / 2)
        return max(0, math.floor(m * n / 2 - z * sd)), False
    counts = u_null_counts(m, n)
    allowed = fractions.Fraction(alpha) / 2 * math.comb(m + n, m)
    k, below = 0, 0
    while k < len(counts) and below + counts[k] <= allowed:
        below += counts[k]
        k += 1
    return k, True


def shift_interval(a, b, alpha):
    """Hodges-Lehmann estimate of the shift of `a` against `b` (the median of
    all a_i - b_j) and the closed interval [d_(k), d_(mn+1-k)] of the sorted
    differences. Untied, it covers the true shift with probability at least
    1 - alpha; with ties it is conservative, since counting every tied pair
    on one side can only widen it compared with breaking the ties at random.
    The interval is None when no k >= 1 exists (too few values)."""
    differences = sorted(x - y for x in a for y in b)
    k, exact = tail_depth(len(a), len(b), alpha)
    estimate = statistics.median(differences)
    if k == 0:
        return estimate, None, exact
    return estimate, (differences[k - 1], differences[-k]), exact
