"""When a staged build crashes more than the build it replaces: the watch's rule, on the
crashed runs of the two builds over the same hours (watch.py gathers them).

The test: given the n = crashes_new + crashes_old crashes of both builds, each crash is
the new build's with the probability p0 = runs_new / (runs_new + runs_old) when both
crash alike. The new build is worse when P(X >= crashes_new) for X ~ Binomial(n, p0) falls
below LEVEL at a look, once it crashed at least MIN_CRASHES times.

The floor: the new build's crash-free runs below FLOOR and below the old build's, shown at
the same level on its own runs: P(X >= crashes_new) for X ~ Binomial(runs_new, q), q the
larger of the two crash rates (1 - FLOOR, the old build's), with at least MIN_CRASHES
crashes too. A floor judged on the rates alone would pause an equally good build whenever
both lie below it, on the noise of the day.
"""

import math
from typing import NamedTuple

LEVEL = 0.001
MIN_CRASHES = 10
FLOOR = 0.9891
MIN_RUNS = 200   # below this a rate says little: "too few runs"


def at_least(n, p, k):
    """P(X >= k) for X ~ Binomial(n, p), summed term by term from the side that is small."""
    if k <= 0:
        return 1.0
    if k > n or p <= 0.0:
        return 0.0
    if p >= 1.0:
        return 1.0

    def term(i):
        return math.exp(math.lgamma(n + 1) - math.lgamma(i + 1) - math.lgamma(n - i + 1)
                        + i * math.log(p) + (n - i) * math.log1p(-p))

    upward = k > n * p   # the terms fall from k on; else those below k fall from k - 1 down
    i, value, total = (k, term(k), 0.0) if upward else (k - 1, term(k - 1), 0.0)
    while 0 <= i <= n and value > 0.0:
        total += value
        if value < total * 1e-17:
            break
        if upward:
            value *= (n - i) / (i + 1) * p / (1 - p)
            i += 1
        else:
            value *= i / (n - i + 1) * (1 - p) / p
            i -= 1
    return min(1.0, total) if upward else max(0.0, 1.0 - total)


class Counts(NamedTuple):
    runs_new: int
    crashes_new: int
    runs_old: int
    crashes_old: int


class Verdict(NamedTuple):
    """What the rule says of the counts: `tripped` is "" (not worse, or not yet shown),
    "test" or "floor"; `ratio` the new build's crash rate over the old one's (None when
    the old one has no crash to compare with); `p` the test's P(X >= crashes_new)."""
    counts: Counts
    tripped: str
    ratio: object
    p: float
    floor_p: float

    def crash_free(self, new=True):
        runs, crashes = self.counts[0:2] if new else self.counts[2:4]
        return 1.0 - crashes / runs if runs else None

    def why(self):
        """Words for the maintainer: what the counts show."""
        c = self.counts
        rates = (f"{c.crashes_new} crashed of {c.runs_new} runs of the new build, {c.crashes_old} of "
                 f"{c.runs_old} of the old one")
        if self.tripped == "floor":
            # The old build may have no runs left in the hours judged (every player took the new one).
            old = self.crash_free(False)
            beside = f" and the old build's {old:.2%}" if old is not None else ""
            return (f"new build's crash-free runs {self.crash_free():.2%}, below {FLOOR:.2%}{beside} "
                    f"({rates}; P = {self.floor_p:.1e})")
        times = f"{self.ratio:.1f}x" if self.ratio is not None else "more often than"
        return f"new build crashes {times} the old one ({rates}; P = {self.p:.1e})"


def judge(counts):
    c = Counts(*counts)
    runs = c.runs_new + c.runs_old
    ratio = None
    if c.crashes_old and c.runs_new and c.runs_old:
        ratio = (c.crashes_new / c.runs_new) / (c.crashes_old / c.runs_old)
    p = at_least(c.crashes_new + c.crashes_old, c.runs_new / runs, c.crashes_new) if runs else 1.0
    old_rate = c.crashes_old / c.runs_old if c.runs_old else 0.0
    floor_p = at_least(c.runs_new, max(1.0 - FLOOR, old_rate), c.crashes_new)
    tripped = ""
    if c.crashes_new >= MIN_CRASHES:
        if p < LEVEL:
            tripped = "test"
        elif floor_p < LEVEL and c.crashes_new / c.runs_new > old_rate:
            tripped = "floor"
    return Verdict(c, tripped, ratio, p, floor_p)
