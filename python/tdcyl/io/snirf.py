"""SNIRF (HDF5) time-domain gated data, dataType 201.

Each measurement-list entry of a data block is one gate of one source-detector-
wavelength triple: its dataTypeIndex points into probe/timeDelays (the gate's
start) and probe/timeDelayWidths (its width), in the file's TimeUnit. A
Measurement channel is one triple at one time point of dataTimeSeries (one
frame), its gates the bins, in the order in which the triples first appear in
the measurement list; ρ is the distance between the source's and the
detector's positions (3-D when given, else 2-D). Every data block of every
/nirs group is read: their channels follow one another, in the order of the
groups and blocks, and they must share one set of gates.

IRF convention (SNIRF has no IRF field): the instrument response is stored as a
further data block of the same gated layout whose measurement-list entries all
carry dataTypeLabel = "IRF". It is read into Measurement.irf and left out of
the measurement; readers unaware of it see one more gated data block.
"""
from __future__ import annotations

import math

import numpy as np

from .._atomic import replaced_atomically
from ._measurement import Measurement, canonical_ps, check_counts
from ._snirf_fields import Reader, h5py_module, indexed, measurement_list, read_file

__all__ = ["read_snirf", "write_snirf", "IRF_LABEL"]

IRF_LABEL = "IRF"
GATED, MOMENTS = 201, 301
_TIME = {"s": 1e12, "ms": 1e9, "us": 1e6, "\u03bcs": 1e6, "ns": 1e3, "ps": 1.0}
_LENGTH = {"m": 1e3, "cm": 10.0, "mm": 1.0, "um": 1e-3, "\u03bcm": 1e-3}


_h5py = h5py_module


def read_snirf(path, *, frames: bool = False) -> Measurement:
    """Reads the time-domain gated data of a SNIRF file.

    Parameters
    ----------
    path : str or os.PathLike
        A regular file (a FIFO, a device or a folder is refused before it is opened).
    frames : bool
        False: each time point of dataTimeSeries is a further channel ("... frame k").
        True: a recording, counts frames x channels x bins and ``frame_times_s``
        from each block's ``time`` (the blocks must share it).

    Returns
    -------
    Measurement
        Channels of every gated data block of every /nirs group, the bins their
        gates; an "IRF" block (see the module's convention) in ``.irf``.

    Raises
    ------
    ValueError
        Naming the file and what is wrong: not HDF5 or not SNIRF, a field
        missing or of the wrong kind, an index outside its list, a data type
        other than gated, blocks with different gates, a dataset larger than
        the file can hold.

    Examples
    --------
    >>> m = read_snirf("phantom.snirf")            # doctest: +SKIP
    >>> m.counts.shape, m.rho_mm, m.irf is not None  # doctest: +SKIP
    ((2, 400), array([20., 20.]), True)
    """
    return read_file(path, lambda r: _read(r, frames))


def _read(r: Reader, frames: bool) -> Measurement:
    if "formatVersion" not in r.file:
        r.fail("not a SNIRF file (no /formatVersion)")
    groups = indexed(r, r.file, "nirs")
    if not groups:
        r.fail("no /nirs group")
    meta, blocks = {}, []
    for nirs in groups:
        tags, found = _nirs(r, nirs, lambda r, d, p: _gated(r, d, p, frames))
        meta = meta or tags
        blocks += found
    measurement = _merge(r, [b for b in blocks if not b["irf"]], frames=frames)
    if measurement is None:
        r.fail("no gated data block (only an IRF)" if blocks else "no data block")
    measurement.irf = _merge(r, [b for b in blocks if b["irf"]], against=measurement)
    measurement.meta = meta
    acq = meta.get("AcquisitionTime")
    if isinstance(acq, (int, float)) and not isinstance(acq, bool):
        measurement.acquisition_time_s = float(acq)
    return measurement


def _meta(r: Reader, nirs) -> dict:
    if "metaDataTags" not in nirs:
        return {}
    tags = nirs["metaDataTags"]
    if hasattr(tags, "dtype"):
        r.fail(f"{tags.name} is a dataset where a group is expected")
    meta = {}
    for k in tags:
        ds = r.member(tags, k)
        if ds.dtype.kind in "SOU":
            meta[k] = r.string(ds)
        else:
            v = r.numbers(ds)
            meta[k] = v.item() if v.size == 1 else v.tolist()
    return meta


def _nirs(r: Reader, nirs, block):
    """(metaDataTags, [block(r, data, probe) for each data block]) of one /nirs group."""
    meta = _meta(r, nirs)
    tunit, lunit = meta.get("TimeUnit", "s"), meta.get("LengthUnit", "mm")
    if tunit not in _TIME or lunit not in _LENGTH:
        r.fail(f"{nirs.name}: TimeUnit {tunit!r} or LengthUnit {lunit!r} unknown (known: {list(_TIME)}, "
               f"{list(_LENGTH)})")
    probe = nirs.get("probe")
    if probe is None or hasattr(probe, "dtype"):
        r.fail(f"{nirs.name}/probe is missing")
    probe = _probe(r, probe, _TIME[tunit], _LENGTH[lunit])
    probe["unit"] = tunit
    data = indexed(r, nirs, "data")
    if not data:
        r.fail(f"{nirs.name} has no data block")
    return meta, [block(r, d, probe) for d in data]


def _probe(r: Reader, probe, tscale, lscale) -> dict:
    """Wavelengths (nm), gates (ps) and positions (mm) of a probe group."""
    out = {"name": probe.name, "seconds": tscale / 1e12}
    for key, scale in (("wavelengths", 1.0), ("timeDelays", tscale), ("timeDelayWidths", tscale),
                       ("momentOrders", 1.0)):
        ds = r.member(probe, key)
        out[key] = None if ds is None else r.numbers(ds, 1) * scale
    for dim in ("3D", "2D"):
        src, det = r.member(probe, f"sourcePos{dim}"), r.member(probe, f"detectorPos{dim}")
        if src is not None and det is not None:
            src, det = r.numbers(src, 2), r.numbers(det, 2)
            if not (np.isfinite(src).all() and np.isfinite(det).all()):
                r.fail(f"{probe.name}: sourcePos{dim} and detectorPos{dim} must be finite")
            width = int(dim[0])
            if src.shape[1:] != (width,) or det.shape[1:] != (width,):
                r.fail(f"{probe.name}: sourcePos{dim} and detectorPos{dim} must have {width} columns, got "
                       f"shapes {src.shape} and {det.shape}")
            out["sources"], out["detectors"] = src * lscale, det * lscale
            break
    return out


def _lookup(r: Reader, table, index, what, where):
    """table[index - 1] for 1-based indices, refused by name when outside the table."""
    if table is None:
        return np.full(len(index), np.nan) if what == "wavelengths" else None
    bad = index > len(table)
    if bad.any():
        r.fail(f"{where}: {what.rstrip('s')} index {int(index[bad][0])} is outside {what} ({len(table)})")
    return table[index - 1]


def first_order(keys):
    """(rank of each row's key in order of first appearance, first row of each key in that order)."""
    _, first, inverse = np.unique(keys, axis=0, return_index=True, return_inverse=True)
    order = np.argsort(first, kind="stable")
    rank = np.empty_like(order)
    rank[order] = np.arange(order.size)
    return rank[inverse.reshape(-1)], first[order]


def _gates(r: Reader, data, ml, probe):
    """(column of each channel's gate (channels, gates), gate starts and widths in ps, first column of each
    channel); channels in order of first appearance, gates in order of time."""
    if probe["timeDelays"] is None or probe["timeDelayWidths"] is None:
        r.fail(f"{probe['name']}: timeDelays and timeDelayWidths are needed for gated data ({data.name})")
    where = f"{data.name}/measurementList dataTypeIndex"
    index = ml["dataTypeIndex"]
    starts = _lookup(r, probe["timeDelays"], index[:, 0], "timeDelays", where)
    widths = _lookup(r, probe["timeDelayWidths"], index[:, 1], "timeDelayWidths", where)
    channel, first = first_order(np.column_stack([ml[k] for k in ("sourceIndex", "detectorIndex",
                                                                    "wavelengthIndex")]))
    gate, gfirst = first_order(np.column_stack([starts, widths]))  # one gate, however it is indexed
    by_time = np.argsort(starts[gfirst], kind="stable")
    rank = np.empty_like(by_time)
    rank[by_time] = np.arange(by_time.size)
    gate = rank[gate]
    nch, ngates = first.size, gfirst.size
    cell = channel * ngates + gate
    seen = np.bincount(cell, minlength=nch * ngates)
    for bad, what in ((seen > 1, "twice"), (seen == 0, "missing")):
        if bad.any():
            c, g = divmod(int(np.argmax(bad)), ngates)
            s, d, w = (int(ml[k][first[c]]) for k in ("sourceIndex", "detectorIndex", "wavelengthIndex"))
            r.fail(f"{data.name}: gate {int(index[gfirst[by_time[g]], 0])} of source {s}, detector {d}, "
                   f"wavelength {w} {what} in the measurement list")
    table = np.empty(nch * ngates, np.int64)
    table[cell] = np.arange(cell.size)
    d, w = starts[gfirst[by_time]], widths[gfirst[by_time]]
    if ngates < 2:
        r.fail(f"{data.name}: one gate only (a histogram needs at least 2 bins)")
    if not (np.isfinite(d).all() and np.isfinite(w).all() and (w > 0).all()):
        r.fail(f"{probe['name']}: timeDelays and timeDelayWidths must be finite, the widths > 0")
    if np.max(np.abs(w - w[0])) > 1e-6 * w[0] or np.max(np.abs(np.diff(d) - w[0])) > 1e-6 * w[0]:
        r.fail(f"{data.name}: the gates are not contiguous bins of one width (timeDelays must step by "
               "timeDelayWidths)")
    return table.reshape(nch, ngates), d, w, first


def frame_times(r: Reader, data, frames: int, seconds: float) -> np.ndarray:
    """Start of each time point of a block, s: data/time holds one per point, or (start, step)."""
    t = r.numbers(r.member(data, "time", required=True), 1)
    if t.size == 2 and frames != 2:
        t = t[0] + t[1] * np.arange(frames)
    if t.size != frames or not np.isfinite(t).all():
        r.fail(f"{data.name}/time must hold the {frames} times of dataTimeSeries' rows (or start and step), "
               f"got {t.size} values" + ("" if np.isfinite(t).all() else " not all finite"))
    return t * seconds


def block_list(r: Reader, data, kind: int, what: str):
    """(dataTimeSeries as a dataset, its shape, the measurement list) of a block whose columns are all of the
    data type `kind`; the list read and checked before the series."""
    series = r.member(data, "dataTimeSeries", required=True)
    shape = series.shape or ()
    if len(shape) != 2 or 0 in shape:
        r.fail(f"{series.name} must be a 2-d array (time points x columns), got shape {shape}")
    ml = measurement_list(r, data, shape[1])
    types = ml["dataType"]
    if (types != kind).any():
        k = int(np.argmax(types != kind))
        hint = {MOMENTS: " (moments: read them with tdcyl.io.read_snirf_moments)",
                GATED: " (gated data: read them with tdcyl.io.read_snirf)"}.get(types[k], "")
        r.fail(f"{data.name}: column {k + 1} has dataType {types[k]}, not {what} ({kind}): "
               f"the block cannot be read{hint}")
    return series, shape, ml


def block_values(r: Reader, data, series, columns: int) -> np.ndarray:
    """dataTimeSeries plus dataOffset (the offset that makes its values absolute)."""
    values = r.numbers(series, 2)
    offset = r.member(data, "dataOffset")
    if offset is not None:
        offset = r.numbers(offset, 1)
        if offset.size != columns:
            r.fail(f"{data.name}/dataOffset holds {offset.size} values for {columns} columns")
        values = values + offset
    return values


def describe(r: Reader, data, ml, first, probe):
    """(wavelength nm, ρ mm, name) of the channels whose first columns are `first`."""
    src, det, wi = (ml[k][first] for k in ("sourceIndex", "detectorIndex", "wavelengthIndex"))
    where = f"{data.name}/measurementList"
    wavelength = _lookup(r, probe["wavelengths"], wi, "wavelengths", where)
    actual = ml["wavelengthActual"][first]
    wavelength = np.where(np.isfinite(actual), actual, wavelength)
    s, t = _lookup(r, probe.get("sources"), src, "sources", where), _lookup(r, probe.get("detectors"), det,
                                                                            "detectors", where)
    rho = np.full(first.size, np.nan) if s is None else np.linalg.norm(s - t, axis=1)
    return wavelength, rho, [f"S{a}-D{b} wavelength {c}" for a, b, c in zip(src, det, wi)]


def _gated(r: Reader, data, probe, frames: bool = False) -> dict:
    """One gated data block: counts (frames, channels, gates) and what each channel is."""
    series, shape, ml = block_list(r, data, GATED, "time-domain gated")
    labels = set(ml["dataTypeLabel"])
    if IRF_LABEL in labels and labels != {IRF_LABEL}:
        r.fail(f"{data.name}: some measurement-list entries are labelled {IRF_LABEL!r} and some not (an IRF "
               "block labels all of them)")
    table, d, w, first = _gates(r, data, ml, probe)
    counts = check_counts(r.path, block_values(r, data, series, shape[1])[:, table], f"{series.name}")
    wavelength, rho, names = describe(r, data, ml, first, probe)
    return {"name": data.name, "t_ps": canonical_ps(d + 0.5 * w), "counts": counts, "wavelength": wavelength,
            "rho": rho, "names": names, "irf": labels == {IRF_LABEL},
            "time": frame_times(r, data, shape[0], probe["seconds"]) if frames else None}


def _merge(r: Reader, blocks, against: Measurement | None = None, frames: bool = False) -> Measurement | None:
    """One Measurement of blocks that share their gates: channels block after block, frame after frame (or
    along a frame axis)."""
    if not blocks:
        return None
    if frames:
        return _recording(r, blocks)
    t = against.t_ps if against is not None else blocks[0]["t_ps"]
    counts, wavelength, rho, names = [], [], [], []
    for b in blocks:
        if b["t_ps"].shape != t.shape or not np.array_equal(b["t_ps"], t):
            r.fail(f"{b['name']}: its gates ({b['t_ps'].size} from {b['t_ps'][0]:g} ps) differ from those of "
                   f"{blocks[0]['name'] if against is None else 'the measurement'} ({t.size} from {t[0]:g} ps): "
                   "blocks of different gates in one file are not supported")
        frames = b["counts"].shape[0]
        prefix = f"{b['name']}: " if len(blocks) > 1 else ""
        for f in range(frames):
            counts.append(b["counts"][f])
            wavelength.append(b["wavelength"])
            rho.append(b["rho"])
            names += [prefix + n + (f" frame {f + 1}" if frames > 1 else "") for n in b["names"]]
    return Measurement(t_ps=t, counts=np.concatenate(counts), bin_width_ps=float(np.mean(np.diff(t))),
                       wavelength_nm=np.concatenate(wavelength), rho_mm=np.concatenate(rho),
                       channel_names=names, path=r.path, format="snirf")


PACKED = {"compression": "gzip", "shuffle": True}


#: formatVersion by the form of the measurement list: measurementLists arrays came after SNIRF 1.1.
VERSIONS = {"arrays": "1.2.0-development", "groups": "1.1"}


def write_head(f, m, subject: str, wavelengths, detectors, lists: str):
    """formatVersion, /nirs/metaDataTags (times in s, lengths in mm) and the probe's wavelengths and positions:
    one source at the origin, the detectors on the x axis. Returns (nirs, probe)."""
    vlen = _h5py().string_dtype("utf-8")
    if lists not in VERSIONS:
        raise ValueError(f"lists must be one of {list(VERSIONS)}, got {lists!r}")
    f.create_dataset("formatVersion", data=VERSIONS[lists], dtype=vlen)
    nirs = f.create_group("nirs")
    tags = nirs.create_group("metaDataTags")
    for k, v in {"SubjectID": subject, "MeasurementDate": "unknown", "MeasurementTime": "unknown",
                 "LengthUnit": "mm", "TimeUnit": "s", "FrequencyUnit": "Hz"}.items():
        tags.create_dataset(k, data=v, dtype=vlen)
    if math.isfinite(getattr(m, "acquisition_time_s", math.nan)):
        tags.create_dataset("AcquisitionTime", data=m.acquisition_time_s)
    probe = nirs.create_group("probe")
    probe.create_dataset("wavelengths", data=np.array(wavelengths))
    probe.create_dataset("sourcePos3D", data=np.zeros((1, 3)))
    probe.create_dataset("detectorPos3D", data=np.array([[r, 0.0, 0.0] for r in detectors]))
    return nirs, probe


def write_lists(data, columns: dict, strings: dict, lists: str):
    """A block's measurement list: per-column integer `columns` and string `strings` (name: one value per
    column) as measurementLists arrays, or as one measurementList group per column of scalars."""
    vlen = _h5py().string_dtype("utf-8")
    if lists == "arrays":
        group = data.create_group("measurementLists")
        for name, v in columns.items():
            group.create_dataset(name, data=v, **PACKED)
        for name, v in strings.items():
            group.create_dataset(name, data=np.array(v, dtype=object), dtype=vlen, **PACKED)
        return
    for k in range(len(next(iter(columns.values())))):
        group = data.create_group(f"measurementList{k + 1}")
        for name, v in columns.items():
            group.create_dataset(name, data=np.int32(v[k]))
        for name, v in strings.items():
            group.create_dataset(name, data=v[k], dtype=vlen)


def layout_of(m):
    """(detector x positions in mm, wavelengths, per channel (detector, wavelength) 1-based): one detector per
    distinct ρ, a further one where a (ρ, wavelength) pair repeats."""
    wavelengths, detectors, seen, layout = [], [], {}, []
    for rho, wl in zip(m.rho_mm, m.wavelength_nm):
        key = (repr(float(rho)), repr(float(wl)))
        n = seen[key] = seen.get(key, 0) + 1
        if (key[0], n) not in detectors:
            detectors.append((key[0], n))
        if key[1] not in wavelengths:
            wavelengths.append(key[1])
        layout.append((detectors.index((key[0], n)) + 1, wavelengths.index(key[1]) + 1))
    return [float(d) for d, _ in detectors], [float(w) for w in wavelengths], np.array(layout, np.int32)


def write_snirf(path, measurement: Measurement, irf: Measurement | None = None, *, subject="unknown",
                lists="arrays"):
    """Writes a Measurement (and an IRF) as SNIRF time-domain gated data (dataType 201).

    One source at the origin; one detector per distinct ρ on the x axis (mm),
    more when a (ρ, wavelength) pair repeats; gates from the bins, in seconds.
    Each block's measurement list is stored as arrays (``measurementLists``, of
    the SNIRF version after 1.1), compressed: a few hundred kB where one group
    per entry (``lists="groups"``, SNIRF 1.1) takes megabytes and seconds.
    The IRF is a second block labelled "IRF" (see the module's convention).
    A recording (``frame_times_s`` given) is one row of dataTimeSeries per
    frame, its times in ``time``.
    The file is written beside the target and renamed over it, so an
    interrupted write leaves no partial file.

    Parameters
    ----------
    path : str or os.PathLike
    measurement : Measurement
    irf : Measurement, optional
        The instrument response per channel, on the measurement's bins (one histogram per channel).
    subject : str
        metaDataTags/SubjectID.
    lists : {"arrays", "groups"}
        The form of the measurement list: "groups" for readers of SNIRF 1.1.

    Examples
    --------
    >>> t = (np.arange(4) + 0.5) * 10.0
    >>> m = Measurement(t, [[1, 5, 3, 1]], 10.0, wavelength_nm=760, rho_mm=20)
    >>> write_snirf("m.snirf", m)                    # doctest: +SKIP
    >>> read_snirf("m.snirf").counts                 # doctest: +SKIP
    array([[1., 5., 3., 1.]])
    """
    h5py = _h5py()
    m = measurement
    if irf is not None and (irf.t_ps.shape != m.t_ps.shape or not np.array_equal(irf.t_ps, m.t_ps)):
        raise ValueError("irf: its bins must be those of the measurement")
    if irf is not None and irf.frame_times_s is not None:
        raise ValueError("irf: one histogram per channel, not a recording")
    if irf is not None and irf.channels != m.channels:
        raise ValueError(f"irf: {irf.channels} channels for the measurement's {m.channels}")
    detectors, wavelengths, layout = layout_of(m)
    gates = m.t_ps.size
    with replaced_atomically(path, ".snirf-") as tmp:
        with h5py.File(tmp, "w", libver="latest") as f:
            nirs, probe = write_head(f, m, subject, wavelengths, detectors, lists)
            probe.create_dataset("timeDelays", data=(m.t_ps - 0.5 * m.bin_width_ps) * 1e-12)
            probe.create_dataset("timeDelayWidths", data=np.full(gates, m.bin_width_ps * 1e-12))
            columns = {"sourceIndex": np.ones(m.channels * gates, np.int32),
                       "detectorIndex": np.repeat(layout[:, 0], gates),
                       "wavelengthIndex": np.repeat(layout[:, 1], gates),
                       "dataType": np.full(m.channels * gates, GATED, np.int32),
                       "dataTypeIndex": np.tile(np.arange(1, gates + 1, dtype=np.int32), m.channels)}
            for j, (block, label) in enumerate([(m, "")] + ([(irf, IRF_LABEL)] if irf is not None else []), 1):
                data = nirs.create_group(f"data{j}")
                times = block.frame_times_s if block.frame_times_s is not None else np.zeros(1)
                data.create_dataset("dataTimeSeries", data=block.counts.reshape(times.size, -1), **PACKED)
                data.create_dataset("time", data=times)
                write_lists(data, columns, {"dataTypeLabel": [label] * m.channels * gates} if label else {}, lists)


def _recording(r: Reader, blocks) -> Measurement:
    """Blocks that share their gates and frame times as one recording (frames x channels x bins)."""
    first = blocks[0]
    for b in blocks[1:]:
        for key, what in (("t_ps", "gates"), ("time", "frame times")):
            if b[key].shape != first[key].shape or not np.array_equal(b[key], first[key]):
                r.fail(f"{b['name']}: its {what} differ from those of {first['name']}: blocks of different "
                       f"{what} in one recording are not supported")
    prefix = len(blocks) > 1
    t = first["t_ps"]
    return Measurement(t_ps=t, counts=np.concatenate([b["counts"] for b in blocks], axis=1),
                       bin_width_ps=float(np.mean(np.diff(t))), frame_times_s=first["time"],
                       wavelength_nm=np.concatenate([b["wavelength"] for b in blocks]),
                       rho_mm=np.concatenate([b["rho"] for b in blocks]), path=r.path, format="snirf",
                       channel_names=[(f"{b['name']}: " if prefix else "") + n for b in blocks for n in b["names"]])
