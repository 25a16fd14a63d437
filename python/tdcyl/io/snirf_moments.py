"""SNIRF time-domain moments, dataType 301.

Each measurement-list entry is one moment of one source-detector-wavelength
triple: its dataTypeIndex points into probe/momentOrders, 0 the total counts N,
1 the mean time of flight <t>, 2 the variance (second central moment) V, the
higher orders normalised by N. <t> and V are in the entry's dataUnit when it
names a time ("ps", "ns^2", ...), else in the file's TimeUnit (and its square).
Each time point of dataTimeSeries is a frame of the recording.
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

from .._atomic import replaced_atomically
from ._measurement import fail
from ._snirf_fields import Reader, indexed, read_file
from .snirf import (_TIME, MOMENTS, PACKED, _h5py, _nirs, block_list, block_values, describe, first_order,
                    frame_times, layout_of, write_head, write_lists)

__all__ = ["Moments", "read_snirf_moments", "write_snirf_moments"]

_ORDERS = ("N", "mean_ps", "variance_ps2")


@dataclass
class Moments:
    """Moments of each channel's distribution of times of flight, frame by frame.

    Attributes
    ----------
    N : ndarray, shape (frames, channels)
        Total counts (moment of order 0).
    mean_ps : ndarray, shape (frames, channels)
        Mean time of flight (order 1), ps.
    variance_ps2 : ndarray, shape (frames, channels)
        Variance (order 2, central), ps^2. NaN, in any of the three, where the
        file holds no moment of that order.
    frame_times_s : ndarray, shape (frames,)
        Start of each frame, s.
    wavelength_nm, rho_mm : ndarray, shape (channels,)
        NaN where the file does not say.
    channel_names : list of str
        Per channel, how the file names it.
    meta : dict
        The file's metaDataTags.

    Examples
    --------
    >>> mo = Moments([[1e6, 2e6]], [[1800.0, 2100.0]], [[2.5e5, 3e5]], [0.0], 760.0, [20.0, 30.0])
    >>> mo.mean_ps.shape, mo.wavelength_nm
    ((1, 2), array([760., 760.]))
    """

    N: np.ndarray
    mean_ps: np.ndarray
    variance_ps2: np.ndarray
    frame_times_s: np.ndarray
    wavelength_nm: np.ndarray
    rho_mm: np.ndarray
    channel_names: list = None
    meta: dict = field(default_factory=dict)
    path: str = ""

    def __post_init__(self):
        where = self.path or "moments"
        self.frame_times_s = np.asarray(self.frame_times_s, dtype=float).reshape(-1)
        for name in _ORDERS:
            v = np.asarray(getattr(self, name), dtype=float)
            if v.ndim != 2 or v.shape[0] != self.frame_times_s.size:
                fail(where, f"{name} must be frames x channels with one frame per frame_times_s "
                            f"({self.frame_times_s.size}), got shape {v.shape}")
            setattr(self, name, v)
        nch = self.N.shape[1]
        if self.mean_ps.shape != self.N.shape or self.variance_ps2.shape != self.N.shape:
            fail(where, "N, mean_ps and variance_ps2 must have one shape")
        for name in ("wavelength_nm", "rho_mm"):
            v = np.broadcast_to(np.asarray(getattr(self, name), dtype=float).reshape(-1), (nch,)).copy()
            setattr(self, name, v)
        if self.channel_names is None:
            self.channel_names = [str(i) for i in range(nch)]


def _scale(r: Reader, where: str, unit: str, order: int, tunit: str) -> float:
    """Factor from the file's unit of a moment of this order to ps^order."""
    if order == 0:
        return 1.0
    if not unit:
        return _TIME[tunit] ** order
    base = unit if order == 1 else unit[:-2] if unit.endswith("^2") else unit[:-1] if unit.endswith("2") else ""
    if base not in _TIME:
        r.fail(f"{where}: dataUnit {unit!r} of a moment of order {order} is not a time" +
               ("^2" if order == 2 else "") + f" (known: {list(_TIME)})")
    return _TIME[base] ** order


def _moment_block(r: Reader, data, probe) -> dict:
    """One moments block: values (frames, channels, 3) in ps^order and what each channel is."""
    series, shape, ml = block_list(r, data, MOMENTS, "time-domain moments")
    if probe["momentOrders"] is None:
        r.fail(f"{probe['name']}/momentOrders is needed for moments ({data.name})")
    index = ml["dataTypeIndex"][:, 0]
    if (index > probe["momentOrders"].size).any():
        r.fail(f"{data.name}: dataTypeIndex {int(index.max())} is outside momentOrders "
               f"({probe['momentOrders'].size})")
    order = probe["momentOrders"][index - 1]
    if not np.isin(order, (0, 1, 2)).all():
        r.fail(f"{data.name}: moment order {order[~np.isin(order, (0, 1, 2))][0]:g} is not read (0, 1 and 2 are)")
    order = order.astype(np.int64)
    channel, first = first_order(np.column_stack([ml[k] for k in ("sourceIndex", "detectorIndex",
                                                                   "wavelengthIndex")]))
    if (np.bincount(channel * 3 + order) > 1).any():
        r.fail(f"{data.name}: a channel holds a moment of one order twice")
    scale = np.array([_scale(r, f"{data.name} column {k + 1}", ml["dataUnit"][k], o, probe["unit"])
                      for k, o in enumerate(order)])
    values = np.full((shape[0], first.size, 3), np.nan)
    values[:, channel, order] = block_values(r, data, series, shape[1]) * scale
    wavelength, rho, names = describe(r, data, ml, first, probe)
    return {"name": data.name, "values": values, "wavelength": wavelength, "rho": rho, "names": names,
            "time": frame_times(r, data, shape[0], probe["seconds"])}


def read_snirf_moments(path) -> Moments:
    """Reads the time-domain moments (dataType 301) of every block of every /nirs group of a SNIRF file.

    Parameters
    ----------
    path : str or os.PathLike
        A regular file.

    Returns
    -------
    Moments
        Channels block after block; the blocks must share their frame times.

    Raises
    ------
    ValueError
        Naming the file and what is wrong (another data type, an order other
        than 0, 1, 2, a unit that is not a time, blocks of different frames, ...).

    Examples
    --------
    >>> mo = read_snirf_moments("recording.snirf")  # doctest: +SKIP
    >>> mo.mean_ps.shape                            # doctest: +SKIP
    (17064, 1346)
    """
    return read_file(path, _read)


def _read(r: Reader) -> Moments:
    if "formatVersion" not in r.file:
        r.fail("not a SNIRF file (no /formatVersion)")
    meta, blocks = {}, []
    for nirs in indexed(r, r.file, "nirs"):
        tags, found = _nirs(r, nirs, _moment_block)
        meta = meta or tags
        blocks += found
    if not blocks:
        r.fail("no /nirs group")
    for b in blocks[1:]:
        if b["time"].shape != blocks[0]["time"].shape or not np.array_equal(b["time"], blocks[0]["time"]):
            r.fail(f"{b['name']}: its frame times differ from those of {blocks[0]['name']}")
    values = np.concatenate([b["values"] for b in blocks], axis=1)
    prefix = len(blocks) > 1
    return Moments(*(values[..., k] for k in range(3)), frame_times_s=blocks[0]["time"],
                   wavelength_nm=np.concatenate([b["wavelength"] for b in blocks]),
                   rho_mm=np.concatenate([b["rho"] for b in blocks]), meta=meta, path=r.path,
                   channel_names=[(f"{b['name']}: " if prefix else "") + n for b in blocks for n in b["names"]])


def write_snirf_moments(path, moments: Moments, *, subject="unknown", lists="arrays"):
    """Writes Moments as SNIRF time-domain moments (dataType 301), one row of dataTimeSeries per frame.

    probe/momentOrders is (0, 1, 2); each channel's three columns carry
    dataUnit "", "ps" and "ps^2" (N, <t>, V as given, bit for bit); frame
    times in s; probe and measurement list (``lists``) as `write_snirf` writes them. The
    file is replaced atomically.

    Examples
    --------
    >>> mo = Moments([[1e6]], [[1800.0]], [[2.5e5]], [0.0], 760.0, 20.0)
    >>> write_snirf_moments("m.snirf", mo)          # doctest: +SKIP
    >>> read_snirf_moments("m.snirf").mean_ps       # doctest: +SKIP
    array([[1800.]])
    """
    h5py = _h5py()
    m = moments
    detectors, wavelengths, layout = layout_of(m)
    n = 3 * len(layout)
    columns = {"sourceIndex": np.ones(n, np.int32), "detectorIndex": np.repeat(layout[:, 0], 3),
               "wavelengthIndex": np.repeat(layout[:, 1], 3), "dataType": np.full(n, MOMENTS, np.int32),
               "dataTypeIndex": np.tile(np.arange(1, 4, dtype=np.int32), len(layout))}
    with replaced_atomically(path, ".snirf-") as tmp:
        with h5py.File(tmp, "w", libver="latest") as f:
            nirs, probe = write_head(f, m, subject, wavelengths, detectors, lists)
            probe.create_dataset("momentOrders", data=np.array([0.0, 1.0, 2.0]))
            data = nirs.create_group("data1")
            series = np.stack([m.N, m.mean_ps, m.variance_ps2], axis=-1).reshape(m.frame_times_s.size, n)
            data.create_dataset("dataTimeSeries", data=series, **PACKED)
            data.create_dataset("time", data=m.frame_times_s)
            write_lists(data, columns, {"dataUnit": ["", "ps", "ps^2"] * len(layout)}, lists)

