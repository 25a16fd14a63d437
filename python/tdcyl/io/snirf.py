"""SNIRF (HDF5) time-domain gated data, dataType 201.

Each measurement-list entry of a data block is one gate of one source-detector-
wavelength triple: its dataTypeIndex points into probe/timeDelays (the gate's
start) and probe/timeDelayWidths (its width), in the file's TimeUnit. A
Measurement channel is one triple at one time point of dataTimeSeries (one
frame), its gates the bins, in the order in which the triples first appear in
the measurement list; ρ is the distance between the source's and the
detector's positions (3-D when given, else 2-D).

IRF convention (SNIRF has no IRF field): the instrument response is stored as a
further data block of the same gated layout whose measurement-list entries all
carry dataTypeLabel = "IRF". It is read into Measurement.irf and left out of
the measurement; readers unaware of it see one more gated data block.
"""
from __future__ import annotations

import math
import os

import numpy as np

from .._atomic import replaced_atomically
from ._measurement import Measurement, canonical_ps, check_counts, fail

__all__ = ["read_snirf", "write_snirf", "IRF_LABEL"]

IRF_LABEL = "IRF"
GATED = 201
_TIME = {"s": 1e12, "ms": 1e9, "us": 1e6, "\u03bcs": 1e6, "ns": 1e3, "ps": 1.0}
_LENGTH = {"m": 1e3, "cm": 10.0, "mm": 1.0, "um": 1e-3, "\u03bcm": 1e-3}


def _h5py():
    try:
        import h5py
    except ImportError:
        raise ImportError("reading and writing SNIRF needs h5py: install the Debian package python3-h5py") from None
    return h5py


def _string(v) -> str:
    v = v[()] if hasattr(v, "shape") else v
    if isinstance(v, np.ndarray):
        v = v.reshape(-1)[0] if v.size else ""
    return v.decode("utf-8", "replace") if isinstance(v, bytes) else str(v)


def _scalar(path, group, name, kind=int):
    if name not in group:
        fail(path, f"{group.name}/{name} is missing")
    v = np.asarray(group[name][()]).reshape(-1)
    if v.size < 1:
        fail(path, f"{group.name}/{name} is empty")
    try:
        return kind(v[0])
    except (TypeError, ValueError):
        fail(path, f"{group.name}/{name} is not a number ({v[0]!r})")


def _indexed(group, prefix):
    """The members prefix1, prefix2, ... (or an unindexed prefix) in the order of their index."""
    found = []
    for key in group:
        tail = key[len(prefix):]
        if key.startswith(prefix) and (tail == "" or tail.isdigit()):
            found.append((int(tail) if tail else 1, key))
    return [group[k] for _, k in sorted(found)]


def _array(path, group, name, ndim):
    if name not in group:
        return None
    a = np.asarray(group[name][()], dtype=float)
    if a.ndim != ndim and not (ndim == 1 and a.ndim == 0):
        fail(path, f"{group.name}/{name} must be {ndim}-d, got shape {a.shape}")
    return a.reshape(-1) if ndim == 1 else a


def _block(path, data, probe, tscale, lscale, positions):
    """A Measurement of one gated data block; (measurement, is_irf)."""
    series = _array(path, data, "dataTimeSeries", 2)
    if series is None:
        fail(path, f"{data.name}/dataTimeSeries is missing")
    entries = _indexed(data, "measurementList")
    if not entries or series.shape[1] != len(entries):
        fail(path, f"{data.name}: {len(entries)} measurement-list entries for the {series.shape[1]} columns "
                   "of dataTimeSeries")
    delays, widths = _array(path, probe, "timeDelays", 1), _array(path, probe, "timeDelayWidths", 1)
    if delays is None or widths is None or delays.size != widths.size or delays.size < 2:
        fail(path, "probe/timeDelays and probe/timeDelayWidths must hold the gates (equal sizes, at least 2)")
    wavelengths = _array(path, probe, "wavelengths", 1)
    triples, gates, labels = {}, {}, set()
    for k, e in enumerate(entries):
        dtype = _scalar(path, e, "dataType")
        if dtype != GATED:
            fail(path, f"{e.name}: dataType {dtype} is not time-domain gated ({GATED}), the only kind read here")
        key = tuple(_scalar(path, e, n) for n in ("sourceIndex", "detectorIndex", "wavelengthIndex"))
        gate = _scalar(path, e, "dataTypeIndex")
        if not 1 <= gate <= delays.size:
            fail(path, f"{e.name}: dataTypeIndex {gate} is outside the {delays.size} gates of probe/timeDelays")
        if (key, gate) in gates:
            fail(path, f"{e.name}: gate {gate} of source {key[0]}, detector {key[1]}, wavelength {key[2]} twice")
        gates[(key, gate)] = k
        actual = _scalar(path, e, "wavelengthActual", float) if "wavelengthActual" in e else None
        triples.setdefault(key, actual)
        labels.add(_string(e["dataTypeLabel"]) if "dataTypeLabel" in e else "")
    used = sorted({g for _, g in gates})
    for key in triples:
        missing = [g for g in used if (key, g) not in gates]
        if missing:
            fail(path, f"{data.name}: source {key[0]}, detector {key[1]}, wavelength {key[2]} lacks gates {missing}")
    order = np.argsort(delays[np.array(used) - 1], kind="stable")
    used = [used[i] for i in order]
    d, w = delays[np.array(used) - 1] * tscale, widths[np.array(used) - 1] * tscale
    if not (np.all(np.isfinite(d)) and np.all(np.isfinite(w)) and np.all(w > 0)):
        fail(path, "probe/timeDelays and timeDelayWidths must be finite, the widths > 0")
    if np.max(np.abs(w - w[0])) > 1e-6 * w[0] or np.max(np.abs(np.diff(d) - w[0])) > 1e-6 * w[0]:
        fail(path, "the gates are not contiguous bins of one width (timeDelays must step by timeDelayWidths)")
    counts, wl, rho, names = [], [], [], []
    for frame in range(series.shape[0]):
        for key, actual in triples.items():
            counts.append(series[frame, [gates[(key, g)] for g in used]])
            s, det, wi = key
            if wavelengths is not None and not 1 <= wi <= wavelengths.size:
                fail(path, f"wavelengthIndex {wi} is outside probe/wavelengths ({wavelengths.size})")
            wl.append(actual if actual is not None else wavelengths[wi - 1] if wavelengths is not None else math.nan)
            rho.append(positions(s, det) * lscale)
            names.append(f"S{s}-D{det} wavelength {wi}" + (f" frame {frame + 1}" if series.shape[0] > 1 else ""))
    counts = check_counts(path, np.array(counts), f"{data.name}/dataTimeSeries")
    t = canonical_ps(d + 0.5 * w)
    return Measurement(t_ps=t, counts=counts, bin_width_ps=float(np.mean(np.diff(t))), wavelength_nm=wl,
                       rho_mm=rho, channel_names=names, path=path, format="snirf"), labels == {IRF_LABEL}


def read_snirf(path) -> Measurement:
    """SNIRF time-domain gated data: the first nirs group's gated blocks (an "IRF" block in .irf)."""
    path = os.fspath(path)
    h5py = _h5py()
    try:
        f = h5py.File(path, "r")
    except OSError as exc:
        fail(path, f"not a readable HDF5 file ({exc})")
    with f:
        try:
            return _read(path, f)
        except (KeyError, OSError, TypeError) as exc:  # HDF5's own errors inside a damaged file
            fail(path, f"corrupt SNIRF file ({exc})")


def _read(path, f):
    if "formatVersion" not in f:
        fail(path, "not a SNIRF file (no /formatVersion)")
    groups = _indexed(f, "nirs")
    if not groups:
        fail(path, "no /nirs group")
    nirs = groups[0]
    if "probe" not in nirs:
        fail(path, f"{nirs.name}/probe is missing")
    probe = nirs["probe"]
    tags = nirs["metaDataTags"] if "metaDataTags" in nirs else {}
    meta = {k: (_string(tags[k]) if tags[k].dtype.kind in "SOU" else np.asarray(tags[k][()]).tolist())
            for k in tags}
    tunit, lunit = meta.get("TimeUnit", "s"), meta.get("LengthUnit", "mm")
    if tunit not in _TIME or lunit not in _LENGTH:
        fail(path, f"TimeUnit {tunit!r} or LengthUnit {lunit!r} unknown (known: {list(_TIME)}, {list(_LENGTH)})")
    src = _array(path, probe, "sourcePos3D", 2)
    det = _array(path, probe, "detectorPos3D", 2)
    if src is None or det is None:
        src, det = _array(path, probe, "sourcePos2D", 2), _array(path, probe, "detectorPos2D", 2)

    def distance(s, d):
        if src is None or det is None:
            return math.nan
        if not (1 <= s <= src.shape[0] and 1 <= d <= det.shape[0]):
            fail(path, f"source {s} or detector {d} is not in the probe ({src.shape[0]} sources, "
                       f"{det.shape[0]} detectors)")
        return float(np.linalg.norm(src[s - 1] - det[d - 1]))

    measurement, irf = None, None
    for data in _indexed(nirs, "data"):
        m, is_irf = _block(path, data, probe, _TIME[tunit], _LENGTH[lunit], distance)
        if is_irf:
            irf = irf or m
        elif measurement is None:
            measurement = m
    if measurement is None:
        fail(path, "no gated data block (only an IRF)" if irf else "no data block")
    measurement.meta = meta
    measurement.irf = irf
    acq = meta.get("AcquisitionTime")
    if isinstance(acq, (int, float)):
        measurement.acquisition_time_s = float(acq)
    return measurement


def write_snirf(path, measurement: Measurement, irf: Measurement | None = None, *, subject="unknown"):
    """Writes a Measurement (and an IRF, see the module's convention) as SNIRF gated data.

    One source at the origin; one detector per distinct ρ (on the x axis, mm),
    more when a (ρ, wavelength) pair repeats; times in seconds. The file is
    written to a temporary file and renamed, so an interrupted write leaves no
    partial file.
    """
    h5py = _h5py()
    path = os.fspath(path)
    m = measurement
    blocks = [(m, "")] + ([(irf, IRF_LABEL)] if irf is not None else [])
    if irf is not None and (irf.t_ps.shape != m.t_ps.shape or not np.array_equal(irf.t_ps, m.t_ps)):
        raise ValueError("irf: its bins must be those of the measurement")
    wavelengths, detectors, seen, layout = [], [], {}, []
    for rho, wl in zip(m.rho_mm, m.wavelength_nm):
        key = (repr(float(rho)), repr(float(wl)))
        n = seen[key] = seen.get(key, 0) + 1
        if (key[0], n) not in detectors:
            detectors.append((key[0], n))
        if key[1] not in wavelengths:
            wavelengths.append(key[1])
        layout.append((detectors.index((key[0], n)) + 1, wavelengths.index(key[1]) + 1))
    gates = m.t_ps.size
    vlen = h5py.string_dtype("utf-8")
    with replaced_atomically(path, ".snirf-") as tmp:
        with h5py.File(tmp, "w", libver="latest") as f:  # compact groups: a third of the size
            f.create_dataset("formatVersion", data="1.1", dtype=vlen)
            nirs = f.create_group("nirs")
            tags = nirs.create_group("metaDataTags")
            for k, v in {"SubjectID": subject, "MeasurementDate": "unknown", "MeasurementTime": "unknown",
                         "LengthUnit": "mm", "TimeUnit": "s", "FrequencyUnit": "Hz"}.items():
                tags.create_dataset(k, data=v, dtype=vlen)
            if math.isfinite(m.acquisition_time_s):
                tags.create_dataset("AcquisitionTime", data=m.acquisition_time_s)
            probe = nirs.create_group("probe")
            probe.create_dataset("wavelengths", data=np.array([float(w) for w in wavelengths]))
            probe.create_dataset("sourcePos3D", data=np.zeros((1, 3)))
            probe.create_dataset("detectorPos3D", data=np.array([[float(r), 0.0, 0.0] for r, _ in detectors]))
            probe.create_dataset("timeDelays", data=(m.t_ps - 0.5 * m.bin_width_ps) * 1e-12)
            probe.create_dataset("timeDelayWidths", data=np.full(gates, m.bin_width_ps * 1e-12))
            for j, (block, label) in enumerate(blocks, start=1):
                if block.channels != m.channels:
                    raise ValueError(f"irf: {block.channels} channels for the measurement's {m.channels}")
                data = nirs.create_group(f"data{j}")
                data.create_dataset("dataTimeSeries", data=block.counts.reshape(1, -1))
                data.create_dataset("time", data=np.zeros(1))
                k = 0
                for c, (d, wi) in enumerate(layout):
                    for g in range(gates):
                        k += 1
                        e = data.create_group(f"measurementList{k}")
                        for name, v in (("sourceIndex", 1), ("detectorIndex", d), ("wavelengthIndex", wi),
                                        ("dataType", GATED), ("dataTypeIndex", g + 1)):
                            e.create_dataset(name, data=np.int32(v))
                        if label:
                            e.create_dataset("dataTypeLabel", data=label, dtype=vlen)

