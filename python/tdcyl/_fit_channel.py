"""The measured histogram as the fit sees it: the fit range, the background before the
pulse, the Poisson deviance residuals and the runs test of their signs."""
from __future__ import annotations

import math

import numpy as np
import scipy.stats

from . import _checks as chk
from .irf import uniform_bin_width

__all__ = ["fit_range_slice", "pre_pulse_background"]

PRE_PULSE_MARGIN_PS = 200.0  # the pre-pulse window ends this long before the rise reaches 10 % of the peak
# The model's error relative to its peak in a fit with exact Jacobian: 1e-9 of a
# peak bin of N counts is below 0.01 standard deviations of any bin of the
# histogram while N < 1e7 (the deviance sees nothing of it); forward
# differences of relative step 1e-5 need the default 1e-11.
EXACT_TOLERANCE = 1e-9


_UNHELD = "cannot be held within the tolerance"  # the engine's words for samples beyond it


def unheld_notes(notes, bound: float, noise: float, n_bins: int) -> list:
    """The model's warnings with those about samples beyond the engine's tolerance (of any
    number of curves) made one line, or left out where they cannot matter to the fit.

    bound: the most those samples can move any bin of the fit (counts): their largest error
    relative to the curve's peak times that peak, the bin width and the counts per unit of the
    model (a bin's integral of the curve errs by no more, and the unit-area IRF only spreads
    it). noise: the least standard deviation of a bin in the fit range (counts). They cannot
    matter when bound times sqrt(n_bins), what they can add to the deviance's gradient, stays
    below 0.01 of the noise (the rule of EXACT_TOLERANCE): no estimate moves by 0.01 sigma."""
    unheld = [n for n in notes if _UNHELD in n]
    rest = [n for n in notes if _UNHELD not in n]
    if not unheld or bound * math.sqrt(n_bins) <= 0.01 * noise:
        return rest
    more = f" (and {len(unheld) - 1} more curves alike)" if len(unheld) > 1 else ""
    return rest + [f"{unheld[0].rstrip('.')}{more}; in this fit they move a bin by up to {bound:.2g} counts, "
                   f"{bound / noise if noise > 0 else math.inf:.2g} of the least noise of a bin"]


def jacobian_mode(jac, eng: str, index_free: bool) -> str:
    """"exact" or "numeric" for a fit's jac argument: exact by default where the engine
    has the derivatives (the fast engine, no refractive index free)."""
    if jac is not None and (not isinstance(jac, str) or jac not in ("exact", "numeric")):
        raise ValueError(f"jac must be 'exact', 'numeric' or None, not {jac!r}")
    possible = eng == "fast" and not index_free
    if jac == "exact" and not possible:
        raise ValueError("jac: 'exact' needs engine='fast' and no free refractive index "
                         "(the engine has no derivative by n)")
    return jac or ("exact" if possible else "numeric")


def _poisson_deviance_residuals(m, y):
    """sign(m - y) sqrt(2 (m - y + y ln(y / m))): squares sum to the Poisson deviance,
    whose minimum is the maximum-likelihood estimate; about (m - y)/sqrt(m) near m = y."""
    m = np.maximum(m, 1e-300)
    y = np.asarray(y, dtype=float)
    log_term = y * np.log(np.divide(y, m, out=np.ones_like(m), where=y > 0))  # 0 where y = 0
    d = 2.0 * (m - y + log_term)
    return np.sign(m - y) * np.sqrt(np.maximum(d, 0.0))


def no_pulse(y, deviance: float, n_params: int, min_p: float) -> str:
    """Why the counts show no pulse ("" when they do): the model's curve must describe them better
    than a constant level does, by the likelihood-ratio test (the deviance of the best constant,
    the mean, minus the fit's, is chi2 with n_params - 1 degrees of freedom when there is no pulse).
    Dark counts or flat noise pass the chi2 test with a free background but fail this one."""
    y = np.asarray(y, dtype=float)
    flat = float(np.sum(_poisson_deviance_residuals(np.full(y.shape, max(float(np.mean(y)), 1e-300)), y) ** 2))
    p = float(scipy.stats.chi2.sf(flat - deviance, max(n_params - 1, 1)))
    if p < min_p:
        return ""
    return (f"no pulse in the counts: a constant level describes them as well as the model (likelihood-ratio "
            f"test p = {p:.2g} >= {min_p:g}; deviance {flat:.4g} flat, {deviance:.4g} fitted)")


def _runs_p_value(r) -> float:
    """One-sided p of the runs test on the residuals' signs: as few runs as these or fewer
    if the signs were random (normal approximation). Few long runs: the model misses a shape."""
    s = np.sign(r[r != 0])
    n1, n2 = int(np.sum(s > 0)), int(np.sum(s < 0))
    n = n1 + n2
    if n1 == 0 or n2 == 0:
        return 0.0 if n > 1 else 1.0
    runs = 1 + int(np.sum(s[1:] != s[:-1]))
    mean = 2.0 * n1 * n2 / n + 1
    var = (mean - 1) * (mean - 2) / (n - 1)
    return float(scipy.stats.norm.cdf((runs - mean) / math.sqrt(var))) if var > 0 else 1.0


def _pre_pulse(t, y) -> tuple[float, float]:
    """Mean and its standard error of the bins that end PRE_PULSE_MARGIN_PS before the rise."""
    width = t[1] - t[0]
    rise = int(np.argmax(y >= 0.1 * np.max(y)))
    before = (t + 0.5 * width) <= t[rise] - 0.5 * width - PRE_PULSE_MARGIN_PS
    n = int(np.count_nonzero(before))
    if n < 5:
        raise ValueError(f"background: 'pre-pulse' needs at least 5 bins ending {PRE_PULSE_MARGIN_PS:g} ps "
                         f"before the rise, the measurement has {n}")
    peak = float(np.max(y))  # in units of the peak: the squares of counts near 1e300 overflow
    yb = y[before] / peak
    return float(np.mean(yb)) * peak, float(np.std(yb, ddof=1) / math.sqrt(n)) * peak


def pre_pulse_background(t_ps, counts) -> float:
    """Mean counts per bin before the pulse: the bins that end at least
    PRE_PULSE_MARGIN_PS before the first bin of the rise at 10 % of the peak
    (dark counts and afterpulsing alone arrive there). ValueError with fewer than 5 such bins."""
    t = chk.real_array("t_ps", t_ps, min_size=2)
    uniform_bin_width("t_ps", t)
    y = chk.real_array("counts", counts)
    if y.shape != t.shape:
        raise ValueError(f"counts must have the shape of t_ps {t.shape}, got {y.shape}")
    if not np.max(y) > 0:
        raise ValueError("counts: the histogram holds no counts")
    return _pre_pulse(t, y)[0]


def _background(value):
    """(fitted?, given level or None for 'pre-pulse') of fit's background argument."""
    if value is None:
        return False, 0.0
    if isinstance(value, str):
        if value not in ("free", "pre-pulse"):
            raise ValueError(f"background must be 'free', 'pre-pulse', a number or None, not {value!r}")
        return value == "free", None
    if not chk._is_real_scalar(value):
        raise TypeError(f"background must be 'free', 'pre-pulse', a number or None, not {type(value).__name__}")
    return False, chk.real("background", value, minimum=0.0, unit="counts per bin")


def fit_range_slice(counts, fit_range=(0.8, 0.01)) -> slice:
    """The bins from the rise's first bin at or above fit_range[0] of the peak to
    the tail's last bin at or above fit_range[1] of the peak."""
    c = chk.real_array("counts", counts)
    rise, tail = chk.real_pair("fit_range", fit_range)
    if not (0 < tail < 1 and 0 < rise <= 1):
        raise ValueError(f"fit_range must be two fractions of the peak (rise, tail) in (0, 1], got {fit_range}")
    p = int(np.argmax(c))
    peak = c[p]
    below = np.flatnonzero(c[:p] < rise * peak)  # the rise starts after the last of these
    after = np.flatnonzero(c[p + 1:] < tail * peak)  # the tail ends before the first of these
    return slice(int(below[-1]) + 1 if below.size else 0, p + 1 + int(after[0]) if after.size else c.size)
