"""The statistics behind ``orrinth compare``, from ``scipy.stats`` (the ``cli`` extra).

Every function takes plain numbers and returns plain floats, so that the command's output
and its tests need nothing from numpy. Intervals are 95% unless a level is given.
"""

from __future__ import annotations

import importlib
import math
import warnings
from collections.abc import Sequence
from typing import Any

__all__ = ["difference_interval", "mean_interval", "paired_p", "rate_interval", "unpaired_p"]

Interval = tuple[float, float]


def _scipy() -> Any:
    """scipy.stats, imported when first needed (it has no type information of its own)."""
    return importlib.import_module("scipy.stats")


def rate_interval(passed: int, total: int, level: float = 0.95) -> Interval | None:
    """The Wilson score interval of a pass rate; None without any run."""
    binomtest = _scipy().binomtest

    if total == 0:
        return None
    ci = binomtest(passed, total).proportion_ci(confidence_level=level, method="wilson")
    return float(ci.low), float(ci.high)


def paired_p(worse: int, better: int) -> float:
    """The exact McNemar test: the two-sided binomial p-value of the discordant pairs (the
    runs that passed before and fail now, and those that failed before and pass now)."""
    binomtest = _scipy().binomtest

    if worse + better == 0:
        return 1.0
    return float(binomtest(worse, worse + better, 0.5).pvalue)


def unpaired_p(passed_a: int, total_a: int, passed_b: int, total_b: int) -> float | None:
    """Fisher's exact test of two independent pass rates; None when a side has no run."""
    fisher_exact = _scipy().fisher_exact

    if total_a == 0 or total_b == 0:
        return None
    return float(fisher_exact([[passed_a, total_a - passed_a], [passed_b, total_b - passed_b]]).pvalue)


def _constant(values: Sequence[float]) -> bool:
    return all(v == values[0] for v in values)


def mean_interval(values: Sequence[float], level: float = 0.95) -> Interval | None:
    """Student's t interval of a mean; None for fewer than two values."""
    ttest_1samp = _scipy().ttest_1samp

    if len(values) < 2 or not all(math.isfinite(v) for v in values):
        return None
    if _constant(values):
        return float(values[0]), float(values[0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # nearly constant data: the interval says so
        ci = ttest_1samp(values, 0.0).confidence_interval(confidence_level=level)
    return float(ci.low), float(ci.high)


def difference_interval(
    base: Sequence[float], candidate: Sequence[float], paired: bool, level: float = 0.95
) -> Interval | None:
    """The t interval of candidate minus base: of the pairs' differences when ``paired``
    (the sequences then line up), else Welch's for two independent means."""
    ttest_ind = _scipy().ttest_ind

    if paired:
        return mean_interval([c - b for b, c in zip(base, candidate)], level)
    if len(base) < 2 or len(candidate) < 2 or not all(math.isfinite(v) for v in [*base, *candidate]):
        return None
    if _constant(base) and _constant(candidate):
        return float(candidate[0] - base[0]), float(candidate[0] - base[0])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        ci = ttest_ind(candidate, base, equal_var=False).confidence_interval(confidence_level=level)
    return float(ci.low), float(ci.high)
