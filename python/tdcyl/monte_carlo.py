"""Monte Carlo photon transport in the diffusion model's layered cylinder.

The same layers, radius, distances and units as tdcyl.reflectance (mm, 1/mm,
ps; reflectance in mm^-2 ps^-1), so that the diffusion curve and the
transport curve of one geometry can be set side by side, and the bias of a
diffusion fit measured. White Monte Carlo: every detected photon keeps its
time and its path length in each layer, so the curve for other absorption
follows by re-weighting (MonteCarloResult.reweight), without a new run.
"""
from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

import numpy as np

from . import _checks as _chk
from . import _core

__all__ = ["monte_carlo", "MonteCarloResult", "DEFAULT_G"]

DEFAULT_G = 0.9  # anisotropy of a layer whose g is not given
SOURCES = ("pencil", "isotropic")
DETECTORS = ("ring", "disk")
RIMS = ("fresnel", "absorbing")
N_OUTSIDE = 1.0  # the diffusion model's outer medium
_TALLIES = _core.MC_TALLIES
_RECORDS = ("detector", "time", "weight", "paths", "photon")


@dataclass(frozen=True)
class MonteCarloResult:
    """Time-resolved reflectance from a Monte Carlo run, with its detected photons.

    Attributes
    ----------
    t_ps : ndarray
        Bin centres in ps; edges_ps holds the len(t_ps) + 1 bin edges.
    reflectance, stderr : ndarray
        Reflectance in mm^-2 ps^-1 (detected weight per launched photon, per
        detector area and bin width) and its standard error, shaped
        (len(rho), len(t_ps)), or (len(t_ps),) for a scalar rho.
    rho : ndarray
        Detector distances from the axis in mm.
    mua : ndarray
        The absorption of each layer the curve is for (1/mm).
    totals : dict
        Fractions of the launched photons' weight at the run's mua:
        specular, reflected (top face, anywhere), transmitted (bottom face),
        rim, absorbed, timed_out (still inside at the last bin edge),
        roulette (lost minus gained by Russian roulette, zero on average);
        events is the number of scattering events per photon.
    derivatives : ndarray or None
        With reweight(..., derivatives=True): d reflectance / d mua_i, shape
        reflectance.shape + (layers,), in mm^-2 ps^-1 per 1/mm.
    """

    t_ps: np.ndarray
    edges_ps: np.ndarray
    reflectance: np.ndarray
    stderr: np.ndarray
    rho: np.ndarray
    mua: np.ndarray
    photons: int
    totals: dict
    setup: dict = field(repr=False)
    # Detected photons: detector index, exit time (ps), weight factor (specular
    # loss, roulette and splitting), path length per layer (mm, float32), and
    # the launched photon each record descends from (copies made by splitting
    # share it).
    detector: np.ndarray = field(repr=False, default=None)
    time: np.ndarray = field(repr=False, default=None)
    weight: np.ndarray = field(repr=False, default=None)
    paths: np.ndarray = field(repr=False, default=None)
    photon: np.ndarray | None = field(repr=False, default=None)
    derivatives: np.ndarray | None = field(repr=False, default=None)

    def reweight(self, mua, *, derivatives=False) -> "MonteCarloResult":
        """The curve for other absorption coefficients of the layers, from the same photons.

        Each detected photon's weight becomes exp(-sum_i mua_i L_i) of its
        path lengths L_i (Beer-Lambert per layer). Exact for the model
        (scattering is unchanged); the statistical error grows as mua moves
        below the run's, since few photons with long paths were kept.

        Parameters
        ----------
        mua : sequence of float
            Absorption coefficient of each layer in 1/mm (>= 0), top first.
        derivatives : bool
            Also d reflectance / d mua_i (-sum w L_i per bin), in .derivatives.

        Returns
        -------
        MonteCarloResult with the new reflectance, stderr and mua (totals
        stay those of the run).

        Examples
        --------
        >>> import tdcyl
        >>> r = tdcyl.monte_carlo([tdcyl.Layer(1.0, 0.01, 1.4, 50)], radius=50, rho=10, photons=4096)
        >>> r.reweight([0.02]).mua
        array([0.02])
        """
        mua = _chk.real_array("mua", mua)
        if mua.size != self.paths.shape[1]:
            raise ValueError(f"mua must hold one value per layer ({self.paths.shape[1]}), got {mua.size}")
        if np.any(mua < 0):
            raise ValueError("mua must be >= 0 1/mm")
        derivatives = _chk.boolean("derivatives", derivatives)
        return replace(self, mua=mua, **_binned(self, mua, derivatives))

    def effective_photons(self) -> np.ndarray:
        """The number of independent detected photons each distance's curve is worth.

        (sum w)^2 / sum_k W_k^2 over the launched photons k, W_k the weight
        (at self.mua) that photon k and its splitting copies brought to the
        detector within the bins: the count of a Poisson-like measurement
        whose relative error of the total equals the run's. Without splitting
        and with equal weights it is the number of detected photons.

        Returns
        -------
        ndarray of float, one per distance (a float for a scalar rho)

        Examples
        --------
        >>> r = tdcyl.monte_carlo([tdcyl.Layer(1.0, 0.01, 1.4, 50)], radius=50, rho=[5, 10], photons=4096)
        >>> r.effective_photons().shape
        (2,)
        """
        nd = len(self.setup["rho"])
        w, _, ok = _in_bins(self, self.mua)
        det = self.detector[ok].astype(np.int64)
        total = np.bincount(det, w, nd)
        square = np.bincount(*_per_photon(self.photon, ok, det, w), nd)
        out = np.divide(total**2, square, out=np.zeros(nd), where=square > 0)
        return out[0] if self.setup["scalar"] else out

    def save(self, path) -> None:
        """Stores the run (detected photons and setup) in a Zarr directory store at path.

        Examples
        --------
        >>> r.save("run.zarr")  # doctest: +SKIP
        >>> tdcyl.MonteCarloResult.load("run.zarr").reweight([0.02])  # doctest: +SKIP
        """
        import zarr
        root = zarr.open_group(str(path), mode="w")
        for name in _RECORDS:
            data = getattr(self, name)
            if data is None:
                continue
            root.array(name, data, chunks=(max(1, min(len(data), 1 << 18)),) + data.shape[1:])
        root.attrs["setup"] = self.setup
        root.attrs["photons"] = int(self.photons)
        root.attrs["totals"] = {k: float(v) for k, v in self.totals.items()}
        root.attrs["mua"] = self.mua.tolist()

    @classmethod
    def load(cls, path) -> "MonteCarloResult":
        """A run stored by save(), its curve binned again at the stored mua."""
        import zarr
        root = zarr.open_group(str(path), mode="r")
        setup = dict(root.attrs["setup"])
        raw = {name: root[name][...] for name in _RECORDS if name in root}
        return _result(setup, raw, int(root.attrs["photons"]), dict(root.attrs["totals"]),
                       np.asarray(root.attrs["mua"], float))


def _in_bins(r, mua: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """The weights at mua and bin indices of the detected photons within the bins, and which those are."""
    edges = np.asarray(r.setup["edges_ps"])
    j = np.searchsorted(edges, r.time, side="right") - 1
    ok = (j >= 0) & (j < len(edges) - 1)
    return r.weight[ok] * np.exp(-(r.paths[ok].astype(np.float64) @ mua)), j[ok], ok


def _binned(r, mua: np.ndarray, derivatives: bool) -> dict:
    """reflectance, stderr (and derivatives) of the detected photons of r at mua."""
    setup = r.setup
    edges = np.asarray(setup["edges_ps"])
    nb, nd = len(edges) - 1, len(setup["rho"])
    w, j, ok = _in_bins(r, mua)
    index = r.detector[ok].astype(np.int64) * nb + j
    total = np.bincount(index, w, nd * nb).reshape(nd, nb)
    square = np.bincount(*_per_photon(r.photon, ok, index, w), nd * nb).reshape(nd, nb)
    scale = 1.0 / (r.photons * np.asarray(setup["areas"])[:, None] * np.diff(edges)[None, :])
    var = np.maximum(square - total * total / r.photons, 0.0)
    out = {"reflectance": total * scale, "stderr": np.sqrt(var) * scale}
    if derivatives:
        paths = r.paths[ok].astype(np.float64)
        d = np.stack([np.bincount(index, -w * paths[:, i], nd * nb) for i in range(paths.shape[1])], axis=-1)
        out["derivatives"] = d.reshape(nd, nb, -1) * scale[..., None]
    else:
        out["derivatives"] = None
    if setup["scalar"]:
        out = {k: (v[0] if v is not None else None) for k, v in out.items()}
    return out


def _per_photon(photon, ok, index, w) -> tuple[np.ndarray, np.ndarray]:
    """Bin indices and squared weights per launched photon and bin: the copies of one photon made by
    splitting are correlated, so their weights add before squaring (the variance is that of the
    launched photons' contributions)."""
    if photon is None:
        return index, w * w
    p = photon[ok]
    if not np.any(p[1:] == p[:-1]):  # one record per photon and detector: nothing to merge
        return index, w * w
    order = np.lexsort((index, p))
    p, i, ws = p[order], index[order], w[order]
    start = np.flatnonzero(np.r_[True, (p[1:] != p[:-1]) | (i[1:] != i[:-1])])
    sums = np.add.reduceat(ws, start) if len(ws) else ws
    return i[start], sums * sums


def _result(setup: dict, raw: dict, photons: int, totals: dict, mua: np.ndarray) -> MonteCarloResult:
    edges = np.asarray(setup["edges_ps"], float)
    r = MonteCarloResult(t_ps=0.5 * (edges[1:] + edges[:-1]), edges_ps=edges, reflectance=None, stderr=None,
                         rho=np.asarray(setup["rho"], float), mua=mua, photons=photons, totals=totals, setup=setup,
                         detector=raw["detector"], time=raw["time"], weight=raw["weight"], paths=raw["paths"],
                         photon=raw.get("photon"))
    return replace(r, **_binned(r, mua, False))


def _layers_with_g(layers, g) -> tuple[np.ndarray, np.ndarray]:
    """The checked (N, 4) layers array and each layer's g: from g=, else an (N, 5) array's last
    column, else each Layer's g, else DEFAULT_G."""
    column = None
    try:
        shape = () if isinstance(layers, (str, bytes)) else np.shape(layers)
    except ValueError:  # ragged: layers_array names it
        shape = ()
    if len(shape) in (1, 2) and shape[-1] == 5:
        arr = np.asarray(layers, dtype=float).reshape(-1, 5)
        layers, column = arr[:, :4], arr[:, 4]
    table = _chk.layers_array(layers)
    n = table.shape[0]
    if g is not None:
        gs = _chk.real_array("g", np.broadcast_to(g, (n,)) if np.ndim(g) == 0 else g)
    elif column is not None:
        gs = column
    else:
        rows = [layers] if isinstance(layers, tuple) and hasattr(layers, "g") else layers
        given = [getattr(row, "g", None) for row in rows] if len(rows) == n else [None] * n
        gs = np.array([DEFAULT_G if v is None else v for v in given], dtype=float)
    if gs.shape != (n,):
        raise ValueError(f"g must be one value or one per layer ({n}), got shape {gs.shape}")
    if not np.all(np.isfinite(gs)) or np.any(np.abs(gs) >= 1):
        raise ValueError("g must lie in (-1, 1) for every layer")
    return table, gs


def _time_edges(M, bins_ps) -> np.ndarray:
    if bins_ps is None:
        m = _chk.integer("M", M, 1, 512)
        k = np.arange(1, 512 // m + 1)
        return np.concatenate([[5.0], 10.0 * k + 5.0])  # bins of 10 ps about 10, 20, ... ps
    edges = _chk.real_array("bins_ps", bins_ps, min_size=2)
    if edges[0] < 0 or np.any(np.diff(edges) <= 0) or edges[-1] > 1e6:
        raise ValueError("bins_ps must be increasing bin edges in 0 ... 1e6 ps")
    return edges


def _detectors(rhos, radius, rho0, phi, detector, width) -> tuple[str, list, list]:
    """The detector kind, the engine's detector specs and their areas (mm^2)."""
    kind = detector if detector is not None else ("ring" if rho0 == 0 else "disk")
    if kind not in DETECTORS:
        raise ValueError(f"detector must be 'ring' or 'disk', not {kind!r}")
    if kind == "ring" and rho0 != 0:
        raise ValueError("detector='ring' needs rho0 = 0 (a ring about the axis averages over phi, which the "
                         "model does not); use detector='disk'")
    w = _chk.real("width", width, minimum=0, strict=True, unit="mm")
    specs, areas = [], []
    if np.max(rhos) + w / 2 > radius:
        raise ValueError(f"width: a detector of width {w} mm at rho = {np.max(rhos)} mm reaches beyond the rim "
                         f"(radius {radius} mm), where its area would be wrong")
    for r in rhos:
        if kind == "ring":
            lo, hi = max(0.0, r - w / 2), r + w / 2
            specs.append((True, 0.0, 0.0, lo, hi))
            areas.append(math.pi * (hi * hi - lo * lo))
        else:
            specs.append((False, r * math.cos(phi), r * math.sin(phi), 0.0, w / 2))
            areas.append(math.pi * w * w / 4)
    return kind, specs, areas


def monte_carlo(layers, radius, rho, rho0=0.0, phi=0.0, *, photons, seed=0, g=None, source="pencil",
                detector=None, width=1.0, M=1, bins_ps=None, rim="fresnel", threads=0, roulette=1e-4,
                splitting=0.0, client=None, tasks=None) -> MonteCarloResult:
    """Time-resolved reflectance of the layered cylinder by Monte Carlo photon transport.

    Henyey-Greenstein scattering with mu_s = musp / (1 - g) per layer;
    Fresnel reflection and refraction at every face between layers of
    different index and at the outer faces against the model's outer index 1;
    photons are followed to the last bin edge.

    Parameters
    ----------
    layers : sequence of Layer, or array (N, 4) or (N, 5) with g last
        As for reflectance(); a Layer's g (or the fifth column) is its anisotropy.
    radius, rho, rho0, phi : float
        As for reflectance(): cylinder radius, detector distance(s) from the
        axis (float or 1-d array), source distance from the axis (mm) and
        azimuth between source and detector (rad).
    photons : int
        Photons launched (>= 1).
    seed : int
        Seed of the counter-based generator (0 ... 2**64 - 1): photon k draws
        from its own Philox stream (seed, k), so a result depends on the seed
        and the photon count only, not on threads or tasks.
    g : float or sequence, optional
        Anisotropy of every layer or of each, overriding the layers' g
        (default: each Layer's g, else 0.9).
    source : 'pencil' or 'isotropic'
        'pencil' (default): a beam entering normally at (rho0, 0) on the top
        face at t = 0, its specular reflection lost, as in a measurement.
        'isotropic': the diffusion model's source, a point at depth
        1/(mua1 + musp1) emitting in all directions.
    detector : 'ring' or 'disk', optional
        'ring': the annulus rho +- width/2 about the axis (needs rho0 = 0);
        'disk': a disk of diameter width centred on the detector point.
        Default: 'ring' with the source on the axis, 'disk' otherwise.
        Any photon leaving through the area counts, whatever its direction.
    width : float
        Detector width in mm (default 1).
    M, bins_ps :
        The time bins: 10-ps bins centred on the model's samples 10, 20, ...
        ps (512/M of them), or the bin edges bins_ps (ps, increasing).
    rim : 'fresnel' or 'absorbing'
        'fresnel' (default): the rim reflects as an interface to index 1,
        the boundary the model's extrapolated rim stands for; 'absorbing':
        every photon reaching it is lost.
    threads : int
        Threads (0: all cores); the result does not depend on it.
    roulette : float
        Russian roulette below this weight (at the layers' mua): one photon in
        ten goes on with ten times its weight. Unbiased at any mua.
    splitting : float
        Radial splitting, in mm (0, the default: off). A photon's importance
        doubles every `splitting` mm of distance from the source, up to the
        farthest detector: at each scattering a photon that moved up k levels
        goes on as 2**k copies of 1/2**k its weight, one that moved down goes
        on with probability 2**-k and 2**k its weight. Unbiased; far
        detectors see many more photons per launched one (head, 30 mm, 3 mm:
        see the docs' Monte Carlo page for the measured gain). Standard errors
        count each launched photon's copies together.
    client : dask.distributed.Client, optional
        Run the photons as tasks on its workers (blocks of whole multiples of
        _core.MC_BLOCK_PHOTONS photons, merged in photon order: the same
        result as one local run).
    tasks : int, optional
        Number of tasks with a client (default: twice the workers' threads).

    Returns
    -------
    MonteCarloResult

    Examples
    --------
    >>> import tdcyl
    >>> layer = tdcyl.Layer(musp=1.0, mua=0.01, n=1.4, thickness=50, g=0.9)
    >>> mc = tdcyl.monte_carlo([layer], radius=50, rho=20, photons=20000, seed=1)
    >>> mc.reflectance.shape == mc.t_ps.shape == mc.stderr.shape
    True
    """
    table, gs = _layers_with_g(layers, g)
    a = _chk.real("radius", radius, minimum=0, strict=True, unit="mm")
    r0 = _chk.real("rho0", rho0, minimum=0, unit="mm")
    if r0 >= a:
        raise ValueError(f"rho0 must be < radius = {a} mm, got {r0}")
    ph = _chk.real("phi", phi)
    rhos, scalar = _chk.rho_array(rho, a)
    n_photons = _chk.integer("photons", photons, 1, 2**62)
    seed = _chk.integer("seed", seed, 0, 2**64 - 1)
    if source not in SOURCES:
        raise ValueError(f"source must be 'pencil' or 'isotropic', not {source!r}")
    if rim not in RIMS:
        raise ValueError(f"rim must be 'fresnel' or 'absorbing', not {rim!r}")
    kind, specs, areas = _detectors(rhos, a, r0, ph, detector, width)
    edges = _time_edges(M, bins_ps)
    thr = _chk.integer("threads", threads, 0, 1024) or _cores()
    rw = _chk.real("roulette", roulette, minimum=0, strict=True)
    if rw >= 1:
        raise ValueError(f"roulette must be < 1, got {rw}")
    split_mm, split_levels = _splitting(splitting, specs, r0)
    args = dict(musp=table[:, 0].tolist(), mua=table[:, 1].tolist(), n=table[:, 2].tolist(),
                l=table[:, 3].tolist(), g=gs.tolist(), radius=a, rho0=r0, n_outside=N_OUTSIDE, source=source,
                rim=rim, detectors=specs, t_max_ps=float(edges[-1]), seed=seed, roulette_weight=rw,
                split_mm=split_mm, split_levels=split_levels)
    if client is None:
        raw = _core.monte_carlo(**args, first_photon=0, photons=n_photons, threads=thr)
    else:
        raw = _on_dask(client, args, n_photons, tasks)
    raw["time"] = raw.pop("t_ps")
    setup = dict(layers=np.column_stack([table, gs]).tolist(), radius=a, rho=rhos.tolist(), rho0=r0, phi=ph,
                 source=source, rim=rim, detector=kind, width=float(width),
                 edges_ps=edges.tolist(), areas=areas, seed=seed, scalar=scalar,
                 splitting=split_mm)
    return _result(setup, raw, n_photons, _totals(raw["blocks"], n_photons), table[:, 1].copy())


def _splitting(splitting, specs, rho0) -> tuple[float, int]:
    """The splitting distance (mm) and the number of levels up to the farthest detector's far edge."""
    mm = _chk.real("splitting", splitting, minimum=0, unit="mm")
    if mm == 0:
        return 0.0, 0
    reach = max(hi if ring else math.hypot(x - rho0, y) + hi for ring, x, y, _, hi in specs)
    levels = int(reach // mm)
    if levels > _core.MC_MAX_SPLIT_LEVELS:
        raise ValueError(f"splitting: {mm} mm gives {levels} levels up to the farthest detector ({reach:g} mm), "
                         f"more than {_core.MC_MAX_SPLIT_LEVELS}; take at least {reach / _core.MC_MAX_SPLIT_LEVELS:.3g} mm")
    return mm, levels


def _cores() -> int:
    import os
    return max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)


def _totals(blocks: np.ndarray, photons: int) -> dict:
    """Fractions of the launched weight, each an exactly rounded sum over the blocks (any split, same bits)."""
    return {name: math.fsum(blocks[:, i]) / photons for i, name in enumerate(_TALLIES)}


def _task(args: dict, first: int, count: int) -> dict:
    return _core.monte_carlo(**args, first_photon=first, photons=count, threads=1)


def _on_dask(client, args: dict, photons: int, tasks) -> dict:
    """The photons as Dask tasks of whole blocks, merged in photon order."""
    block = _core.MC_BLOCK_PHOTONS
    blocks = -(-photons // block)
    if tasks is None:
        tasks = 2 * max(1, sum(client.nthreads().values()))
    tasks = min(_chk.integer("tasks", tasks, 1, 1 << 20), blocks)
    bounds = [block * (blocks * i // tasks) for i in range(tasks)] + [photons]
    futures = [client.submit(_task, args, lo, hi - lo, pure=False) for lo, hi in zip(bounds[:-1], bounds[1:])]
    parts = client.gather(futures)
    return {k: np.concatenate([p[k] for p in parts]) for k in parts[0]}
