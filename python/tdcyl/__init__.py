"""tdcyl: time-resolved diffuse reflectance of a layered turbid cylinder (diffusion equation).

The forward model is the run core of tdcyl-cli; the rest (IRF convolution,
fitting, plots) is numpy/scipy/matplotlib. Lengths in mm, coefficients in
1/mm, times in ps, reflectance in mm^-2 ps^-1.

    import tdcyl
    curve = tdcyl.reflectance([tdcyl.Layer(musp=1.0, mua=0.01, n=1.4, thickness=10),
                               tdcyl.Layer(musp=1.2, mua=0.02, n=1.4, thickness=40)],
                              radius=30, rho=20, engine="faithful")
    curve.t_ps, curve.reflectance
"""
from . import _core
from ._core import RunError
from .files import InputParams, read_input, read_result, write_input, write_result
from .fitting import FitResult, fit, fit_range_slice
from .irf import bin_integrals, convolve_irf
from .model import (DEFAULT_ENGINE, ENGINES, Curve, CurveSet, Layer, continuous_wave,
                    frequency_domain, reflectance)
from .plotting import plot
from .batch import fit_many, sweep  # Dask, Zarr and xarray load on first use
from .grid import grid
from .global_fit import GlobalFitResult, fit_global
from . import spectra
from ._moments import DtofMoments, ModelMoments, dtof_moments, moments
from .series import SeriesResult, fit_series
from .monte_carlo import MonteCarloResult, monte_carlo

__version__ = _core.VERSION

__all__ = [
    "Layer", "Curve", "CurveSet", "reflectance", "frequency_domain", "continuous_wave",
    "ENGINES", "DEFAULT_ENGINE", "RunError",
    "InputParams", "read_input", "write_input", "read_result", "write_result",
    "convolve_irf", "bin_integrals", "fit", "FitResult", "fit_range_slice", "plot",
    "sweep", "grid", "fit_many", "fit_global", "GlobalFitResult", "spectra",
    "moments", "ModelMoments", "dtof_moments", "DtofMoments", "fit_series", "SeriesResult",
    "monte_carlo", "MonteCarloResult",
]
