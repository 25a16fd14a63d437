"""The optimiser of `fit`: scipy's trust-region least squares on the
logarithms of the positive layer parameters.

mu_a, mu_s', thicknesses and indices enter the curve through their ratios (a
relative change of mu_a moves the curve alike at 0.005 and at 0.05 /mm), and
their lower bounds lie near 0. On the parameters themselves the trust region
of the reflective method shrinks toward such a bound (mu_a1 = 0.01 sits 0.01
from it) and a fit creeps along the valley of correlated parameters in many
short steps; on their logarithms the valley is straighter and the bound far,
and the fit reaches the same minimum in about half the model calls. Only
the path changes: the residuals, the bounds and the minimum are the same.

A time shift between model and IRF slides the curve along the valley of the
scattering coefficients. It is eliminated (variable projection): at every
point the optimiser tries, a few Gauss-Newton steps find the best shift for
the layer parameters (its column of the Jacobian costs no model call: the
curve is cached and the shift only moves its convolution), and the
optimiser sees the residuals at that shift with their Jacobian projected off
the shift's column; the minimum is that of the joint problem, reached in
about a quarter fewer model calls.
"""
from __future__ import annotations

import numpy as np
import scipy.optimize


def least_squares(residuals, jacobian, x0, lo, hi, x_scale, positive, eliminate=None, **options):
    """scipy.optimize.least_squares (method "trf") with the parameters
    flagged `positive` (lower bound > 0) optimised as their logarithms.

    Parameters
    ----------
    residuals, jacobian : callables of x
        The residual vector and its Jacobian (residuals x parameters).
    x0, lo, hi, x_scale : 1-d arrays
        Start, bounds and scales of x (the scales of the positive parameters
        are replaced by 1, one e-fold).
    positive : 1-d bool array
        The parameters to optimise as logarithms; their lower bounds must be > 0.
    eliminate : (int, callable), optional
        The index k of a parameter solved for at every point by Gauss-Newton
        steps, and a callable of x giving the residuals' derivative by x[k]
        (it should cost no model call).
    **options
        Passed on to scipy.optimize.least_squares (ftol, xtol, gtol, max_nfev).

    Returns
    -------
    scipy.optimize.OptimizeResult
        As least_squares returns it, with `x` and `jac` in the parameters
        themselves (x within [lo, hi]).
    """
    x0, lo, hi = (np.asarray(v, dtype=float) for v in (x0, lo, hi))
    positive = np.asarray(positive, dtype=bool)
    if eliminate is not None and x0.size > 1:  # with the shift alone free there is nothing left to project onto
        return _projected(residuals, jacobian, x0, lo, hi, np.asarray(x_scale, dtype=float), positive, *eliminate,
                          **options)
    if np.any(lo[positive] <= 0):
        raise ValueError("positive: a parameter optimised as a logarithm needs a lower bound > 0")

    def to_x(u):
        x = u.copy()
        x[positive] = np.clip(np.exp(u[positive]), lo[positive], hi[positive])
        return x

    def to_u(x):
        u = np.array(x, dtype=float)
        u[positive] = np.log(u[positive])
        return u

    def jac_u(u):
        x = to_x(u)
        J = np.array(jacobian(x), dtype=float)
        J[:, positive] *= x[positive]  # dx/du = x
        return J

    scale = np.array(x_scale, dtype=float)
    scale[positive] = 1.0
    res = scipy.optimize.least_squares(lambda u: residuals(to_x(u)), to_u(x0), jac=jac_u,
                                       bounds=(to_u(lo), to_u(hi)), x_scale=scale, method="trf", **options)
    res.x = to_x(res.x)
    res.jac = res.jac / np.where(positive, res.x, 1.0)
    return res


def _scaled(column):
    """The column over its largest element, and that element (the deviance's slope
    reaches 1e150 where the model is 0 and the data are not: its square overflows)."""
    big = float(np.max(np.abs(column))) if column.size else 0.0
    return (column / big if big > 0 else column), big


def _projected(residuals, jacobian, x0, lo, hi, x_scale, positive, k, derivative, **options):
    """least_squares with parameter k solved for at every point (variable projection)."""
    keep = np.arange(x0.size) != k
    best = {"at": float(x0[k])}  # the last point's solution starts the next
    last: dict = {}  # the full Jacobian at the last point it was asked for

    def full(y):
        x = np.empty(x0.size)
        x[keep] = y
        s = best["at"]
        for _ in range(8):
            x[k] = s
            r, (column, big) = residuals(x), _scaled(derivative(x))
            if not big > 0:
                break
            step = min(max(s - float(column @ r) / float(column @ column) / big, lo[k]), hi[k]) - s
            s += step
            if abs(step) <= 1e-3 * x_scale[k]:
                break
        x[k] = s
        best["at"] = s
        return x

    def projected_jacobian(y):
        x = full(y)
        J = jacobian(x)
        last.update(y=y.copy(), x=x, J=J)
        (column, big), rest = _scaled(J[:, k]), J[:, keep]
        return rest - np.outer(column, column @ rest) / float(column @ column) if big > 0 else rest

    res = least_squares(lambda y: residuals(full(y)), projected_jacobian, x0[keep], lo[keep], hi[keep], x_scale[keep],
                        positive[keep], **options)
    if last and np.array_equal(last["y"], res.x):
        res.x, res.jac = last["x"], last["J"]
    else:
        res.x = full(res.x)
        res.jac = jacobian(res.x)
    res.fun = residuals(res.x)
    return res
