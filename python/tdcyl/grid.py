"""Cartesian grids of parameters: the table of a sweep over every combination."""
from __future__ import annotations

import numpy as np

__all__ = ["grid"]


def grid(axes=None, /, **more):
    """Every combination of the given values once, as a table (pandas DataFrame).

    Axes are named by the table's columns (N, muspI, muaI, nI, lI, radius, rho,
    rho0, phi, M, mmax) and given as keywords (or a dict first, for names that
    are no identifiers); a scalar is a fixed value. Order: like nested loops in
    the order the axes are given, the first axis slowest and the last fastest
    (row-major). With axes a (length A) and b (length B), row i holds
    a[i // B] and b[i % B].

        tdcyl.grid(N=2, mua1=[0.01, 0.02], mua2=[0.01, 0.02, 0.03], musp1=1.0, ...)

    A value given twice on one axis would repeat combinations: ValueError.
    """
    import pandas as pd

    named = dict(axes or {})
    for key in more:
        if key in named:
            raise ValueError(f"axis {key!r} is given twice")
    named.update(more)
    if not named:
        raise ValueError("grid: no axes given")
    values = {}
    for name, v in named.items():
        arr = np.asarray(v)
        if arr.ndim == 0:
            arr = arr.reshape(1)
        if arr.ndim != 1:
            raise ValueError(f"axis {name!r}: a scalar or a 1-d sequence of values is needed, got shape {arr.shape}")
        if arr.size == 0:
            raise ValueError(f"axis {name!r} is empty")
        _, first, counts = np.unique(arr, return_index=True, return_counts=True)
        if np.any(counts > 1):
            raise ValueError(f"axis {name!r}: the value {arr[first[np.argmax(counts > 1)]]!r} is given twice")
        values[name] = arr
    shape = tuple(a.size for a in values.values())
    index = np.indices(shape).reshape(len(shape), -1)
    return pd.DataFrame({name: arr[index[k]] for k, (name, arr) in enumerate(values.items())})
