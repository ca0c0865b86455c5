"""How much a Sharpe ratio can be trusted: the probabilistic and deflated Sharpe ratios and the
minimum track record length.

All Sharpe ratios here are per period (a daily Sharpe for daily returns: the annual figure over
sqrt(252)); skewness and kurtosis are the plain moment ratios (kurtosis 3 for a normal
distribution, not the excess).

Sources: D. H. Bailey and M. López de Prado, "The Sharpe Ratio Efficient Frontier", Journal of
Risk 15(2), 2012 (PSR and the minimum track record length); "The Deflated Sharpe Ratio:
Correcting for Selection Bias, Backtest Overfitting and Non-Normality", Journal of Portfolio
Management 40(5), 2014 (DSR).
"""

from __future__ import annotations

import math
from statistics import NormalDist
from typing import Any

import numpy as np

__all__ = [
    "deflated_sharpe_ratio",
    "expected_max_sharpe",
    "min_track_record",
    "probabilistic_sharpe_ratio",
    "sharpe_moments",
]

_EULER_GAMMA = 0.5772156649015329
_NORMAL = NormalDist()
_cdf = np.vectorize(_NORMAL.cdf, otypes=[np.float64])


def sharpe_moments(returns: np.ndarray) -> tuple[int, float, float, float]:
    """(observations, per-period Sharpe ratio, skewness, kurtosis) of a series of returns.

    The Sharpe ratio is the mean over the sample standard deviation (ddof 1), as in
    `Report.stats`; skewness and kurtosis are the moment ratios m3 / m2**1.5 and m4 / m2**2.
    NaN where there are fewer than two returns or no variation. Never raises: on returns so large
    or so small that a moment passes the float range, the ratios are what IEEE arithmetic makes of
    it (inf or NaN), as in the numeric core's figures.
    """
    r = np.asarray(returns, dtype=np.float64)
    n = len(r)
    if n < 2:
        return n, math.nan, math.nan, math.nan
    # NumPy floats throughout, not Python's: a power past the float range is inf (or 0, and 0 / 0
    # NaN) rather than an OverflowError or ZeroDivisionError, and says nothing.
    with np.errstate(all="ignore"):
        mean = float(r.sum()) / n
        c = r - mean
        c2 = c * c
        m2 = float(c2.sum()) / n
        if not m2 > 0:
            return n, math.nan, math.nan, math.nan
        sd = math.sqrt(m2 * n / (n - 1))
        m = np.float64(m2)
        skew = float(np.float64(float((c2 * c).sum()) / n) / m**1.5)
        kurt = float(np.float64(float((c2 * c2).sum()) / n) / m**2)
    return n, mean / sd, skew, kurt


def _sharpe_sd_factor(sr: Any, skew: Any, kurt: Any) -> Any:
    """1 - skew SR + (kurt - 1) / 4 SR^2: the variance of the Sharpe estimate times (n - 1)."""
    return 1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr * sr


def probabilistic_sharpe_ratio(sr: Any, n: Any, skew: Any = 0.0, kurt: Any = 3.0, sr_benchmark: Any = 0.0) -> Any:
    """Probability that the true Sharpe ratio exceeds `sr_benchmark`, given the estimate (PSR).

    PSR = Phi((SR - SR*) sqrt(n - 1) / sqrt(1 - skew SR + (kurt - 1) / 4 SR^2))
    (Bailey and López de Prado 2012). Works elementwise on arrays.

    Parameters
    ----------
    sr : float or array
        The estimated Sharpe ratio, per period (not annualised).
    n : int or array
        Number of returns it was estimated from.
    skew, kurt : float or array
        Skewness and kurtosis of the returns (default: normal, 0 and 3).
    sr_benchmark : float or array
        The Sharpe ratio to beat, per period (default 0).

    Returns
    -------
    float or ndarray
        In [0, 1]; NaN where an input is NaN, n <= 1 or the variance term is not positive.

    Examples
    --------
    >>> round(probabilistic_sharpe_ratio(0.1, 252), 3)  # a daily Sharpe of 0.1 over a year
    0.943
    """
    sr, n, skew, kurt, bench = np.broadcast_arrays(*map(_floats, (sr, n, skew, kurt, sr_benchmark)))
    var = _sharpe_sd_factor(sr, skew, kurt)
    with np.errstate(invalid="ignore", divide="ignore"):
        z = np.where((var > 0) & (n > 1), (sr - bench) * np.sqrt(np.maximum(n - 1, 0)) / np.sqrt(var), np.nan)
    return _scalar_or_array(_cdf(z))


def min_track_record(
    sr: Any, skew: Any = 0.0, kurt: Any = 3.0, sr_benchmark: Any = 0.0, confidence: float = 0.95
) -> Any:
    """The fewest returns for the Sharpe ratio to beat `sr_benchmark` at `confidence` (MinTRL).

    MinTRL = 1 + (1 - skew SR + (kurt - 1) / 4 SR^2) (z_confidence / (SR - SR*))^2
    (Bailey and López de Prado 2012), in periods (rows of daily returns).

    Parameters
    ----------
    sr : float or array
        The estimated Sharpe ratio, per period.
    skew, kurt : float or array
        Skewness and kurtosis of the returns (default: normal).
    sr_benchmark : float or array
        The Sharpe ratio to beat, per period (default 0).
    confidence : float
        The probability asked for, in (0, 1) (default 0.95).

    Returns
    -------
    float or ndarray
        Periods; inf where SR <= SR* (no track record is long enough), NaN where an input is NaN.

    Examples
    --------
    >>> round(min_track_record(0.1))  # a daily Sharpe of 0.1 (1.6 a year): about 273 days
    273
    """
    if not 0.0 < confidence < 1.0:
        raise ValueError(f"confidence must be in (0, 1), got {confidence!r}")
    z = _NORMAL.inv_cdf(confidence)
    sr, skew, kurt, bench = np.broadcast_arrays(*map(_floats, (sr, skew, kurt, sr_benchmark)))
    var = _sharpe_sd_factor(sr, skew, kurt)
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.where(sr > bench, 1.0 + var * (z / (sr - bench)) ** 2, np.inf)
    out = np.where(np.isnan(sr) | np.isnan(var) | np.isnan(bench), np.nan, out)
    return _scalar_or_array(out)


def expected_max_sharpe(n_trials: int, variance: float) -> float:
    """The expected largest of `n_trials` Sharpe ratio estimates when every true one is 0.

    E[max SR] = sqrt(V) ((1 - gamma) Phi^-1(1 - 1/N) + gamma Phi^-1(1 - 1/(N e))), gamma the
    Euler-Mascheroni constant (Bailey and López de Prado 2014). `variance` is the variance of
    the trials' Sharpe ratios (per period); 0 for a single trial.
    """
    if n_trials < 1:
        raise ValueError(f"n_trials must be at least 1, got {n_trials}")
    if n_trials == 1 or not variance > 0:
        return 0.0 if variance >= 0 or n_trials == 1 else math.nan
    a = _NORMAL.inv_cdf(1.0 - 1.0 / n_trials)
    b = _NORMAL.inv_cdf(1.0 - 1.0 / (n_trials * math.e))
    return math.sqrt(variance) * ((1.0 - _EULER_GAMMA) * a + _EULER_GAMMA * b)


def deflated_sharpe_ratio(sr: Any, n: Any, skew: Any, kurt: Any, n_trials: int, variance: float) -> Any:
    """PSR against the Sharpe ratio the best of `n_trials` would reach by luck alone (DSR).

    DSR = PSR(SR0) with SR0 = `expected_max_sharpe(n_trials, variance)` (Bailey and López de
    Prado 2014): the probability that the selected strategy's true Sharpe ratio is above zero
    once the search that found it is accounted for.

    Parameters
    ----------
    sr, n, skew, kurt : float or array
        The strategy's per-period Sharpe ratio, its number of returns, their skewness and kurtosis.
    n_trials : int
        How many strategies (parameter sets) were tried.
    variance : float
        The variance of their per-period Sharpe ratios.

    Examples
    --------
    The paper's example: annual Sharpe 2.5 over 1,250 days, 100 trials whose annual Sharpe
    ratios have variance 0.5, skewness -3, kurtosis 10:

    >>> round(deflated_sharpe_ratio(2.5 / 250**0.5, 1250, -3, 10, 100, 0.5 / 250), 4)
    0.9004
    """
    return probabilistic_sharpe_ratio(sr, n, skew, kurt, expected_max_sharpe(n_trials, variance))


def _floats(x: Any) -> np.ndarray:
    return np.asarray(x, dtype=np.float64)


def _scalar_or_array(x: np.ndarray) -> Any:
    return float(x) if x.ndim == 0 else x
