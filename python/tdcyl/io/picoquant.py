"""PicoQuant unified files: .phu histograms and .ptu T3 photon records.

Both start with an 8-byte magic ("PQHISTO" or "PQTTTR", NUL-padded) and an
8-byte version, then tags of 48 bytes: a 32-byte name, an int32 index (-1
when not indexed), a uint32 type and an 8-byte value. Strings, float arrays and
blobs put their length in the value and their bytes right after the tag. The
header ends with the tag "Header_End"; a .ptu's records follow it.

What a read allocates is bounded by the file: curves must not share bytes, and
a .ptu's histogram is never longer than its records' dtime field can count
(4096 bins for PicoHarp, 32768 for the others), whatever the sync rate says.
"""
from __future__ import annotations

import math
import numbers
import struct

import numpy as np

from ._measurement import Measurement, Opened, Recording, bin_centres, check_memory, check_span, fail, opened, reader

__all__ = ["read_phu", "read_ptu", "read_tags"]

_EMPTY, _BOOL, _INT, _BITSET, _COLOR = 0xFFFF0008, 0x00000008, 0x10000008, 0x11000008, 0x12000008
_FLOAT, _DATETIME, _FLOAT_ARRAY = 0x20000008, 0x21000008, 0x2001FFFF
_ANSI, _WIDE, _BLOB = 0x4001FFFF, 0x4002FFFF, 0xFFFFFFFF
_TAG = struct.Struct("<32siIQ")

# TTResultFormat_TTTRRecType: name and bit layout of the T3 records read here.
_T3 = {0x00010303: ("PicoHarp T3", "pt3"), 0x00010304: ("HydraHarp V1 T3", "ht3"),
       0x01010304: ("HydraHarp V2 T3", "ht3"), 0x00010305: ("TimeHarp 260N T3", "ht3"),
       0x00010306: ("TimeHarp 260P T3", "ht3"), 0x00010307: ("MultiHarp T3", "ht3")}
# (detector channels, dtime bins) a layout can hold: 4 bits of channel 1-4 and 12 of dtime; 6 and 15
_RANGE = {"pt3": (4, 1 << 12), "ht3": (64, 1 << 15)}
_OTHER = {0x00010203: "PicoHarp T2", 0x00010204: "HydraHarp V1 T2", 0x01010204: "HydraHarp V2 T2",
          0x00010205: "TimeHarp 260N T2", 0x00010206: "TimeHarp 260P T2", 0x00010207: "MultiHarp T2"}
_CHUNK = 1 << 20  # records per read of a .ptu


def read_tags(path, magic: bytes):
    """({(name, index): value}, end of the header) of a PicoQuant tagged file (a path or an Opened file)."""
    with opened(path) as src:
        return _tags(src, magic)


def _tags(src: Opened, magic: bytes):
    path, size, f = src.path, src.size, src.file
    tags = {}
    f.seek(0)
    head = f.read(16)
    if len(head) < 16 or head[:8].rstrip(b"\0") != magic:
        fail(path, f"not a PicoQuant {magic.decode()} file (magic {head[:8]!r})")
    pos = 16
    while True:
        raw = f.read(_TAG.size)
        if len(raw) < _TAG.size:
            fail(path, f"truncated header: no Header_End tag before the end of the file ({size} bytes)")
        name, index, kind, value = _TAG.unpack(raw)
        name = name.split(b"\0", 1)[0].decode("ascii", "replace")
        pos += _TAG.size
        if kind in (_FLOAT_ARRAY, _ANSI, _WIDE, _BLOB):
            check_span(path, pos, value, size, f"tag {name}")
            pos += value
            if kind == _BLOB:  # skipped, not read
                f.seek(pos)
                tags[(name, index)] = f"<{value} bytes>"
                continue
            data = f.read(value)
            if kind == _ANSI:
                value = data.split(b"\0", 1)[0].decode("latin-1")
            elif kind == _WIDE:
                value = data.decode("utf-16-le", "replace").split("\0", 1)[0]
            else:
                value = np.frombuffer(data, "<f8", len(data) // 8).copy()
        elif kind in (_INT, _BITSET, _COLOR):
            value = struct.unpack("<q", struct.pack("<Q", value))[0]
        elif kind in (_FLOAT, _DATETIME):
            value = struct.unpack("<d", struct.pack("<Q", value))[0]
        elif kind == _BOOL:
            value = value != 0
        elif kind == _EMPTY:
            value = None
        else:
            fail(path, f"tag {name}: unknown tag type 0x{kind:08X} at byte {pos - _TAG.size} (corrupt header)")
        tags[(name, index)] = value
        if name == "Header_End":
            return tags, pos


def _get(path, tags, name, index=-1, kind=(int,), default=KeyError):
    if (name, index) not in tags:
        if default is KeyError:
            fail(path, f"the tag {name}{f'({index})' if index >= 0 else ''} is missing")
        return default
    v = tags[(name, index)]
    if isinstance(v, bool) or not isinstance(v, kind):
        fail(path, f"the tag {name} has a value of the wrong type ({v!r})")
    return v


def _meta(tags) -> dict:
    return {(n if i < 0 else f"{n}({i})"): v for (n, i), v in tags.items()}


def _resolution_s(path, name, value) -> float:
    """A bin width in seconds, 1 fs ... 1 s (PicoQuant instruments: 1 ps ... a few us)."""
    if not (math.isfinite(value) and 1e-15 <= value <= 1.0):
        fail(path, f"{name} must be a bin width of 1e-15 to 1 s, got {value!r}")
    return value


def _acquisition_s(tags, *names) -> float:
    for name, index in names:
        v = tags.get((name, index))
        if isinstance(v, int) and not isinstance(v, bool) and v > 0:
            return v * 1e-3  # milliseconds
    return math.nan


def read_phu(path) -> Measurement:
    """PicoQuant .phu: the curves of a histogram file, one channel each.

    Every curve is HistResDscr_HistogramBins(i) uint32 counts at byte
    HistResDscr_DataOffset(i), bins of HistResDscr_MDescResolution(i) seconds.
    All curves must have the same bins and lie in bytes of their own.
    """
    return _read_phu(path)


@reader
def _read_phu(src: Opened) -> Measurement:
    path, size = src.path, src.size
    tags, end = _tags(src, b"PQHISTO")
    n = _get(path, tags, "HistoResult_NumberOfCurves")
    if not 1 <= n <= 1 << 16:
        fail(path, f"HistoResult_NumberOfCurves must be 1 ... 65536, got {n}")
    spans, width = [], None
    for i in range(n):
        bins = _get(path, tags, "HistResDscr_HistogramBins", i)
        offset = _get(path, tags, "HistResDscr_DataOffset", i)
        res = _resolution_s(path, f"HistResDscr_MDescResolution({i})",
                            _get(path, tags, "HistResDscr_MDescResolution", i, (float,)))
        if bins < 2:
            fail(path, f"curve {i}: HistResDscr_HistogramBins must be >= 2, got {bins}")
        if offset < end:
            fail(path, f"curve {i}: data offset {offset} points into the header (it ends at byte {end})")
        check_span(path, offset, 4 * bins, size, f"curve {i}")
        if spans and (bins != spans[0][2] or not math.isclose(res, width, rel_tol=1e-9)):
            fail(path, f"curve {i} has {bins} bins of {res * 1e12:g} ps, curve 0 {spans[0][2]} of "
                       f"{width * 1e12:g} ps: read curves of different bins separately")
        spans.append((offset, i, bins))
        width = res
    ordered = sorted(spans)
    for (o1, i1, b1), (o2, i2, _) in zip(ordered, ordered[1:]):
        if o2 < o1 + 4 * b1:
            fail(path, f"curves {i1} and {i2} share data bytes (at {o1} and {o2}, {4 * b1} bytes each): corrupt file")
    counts = np.empty((n, spans[0][2]))
    for offset, i, bins in spans:
        counts[i] = np.memmap(src.file, "<u4", "r", offset, (bins,))
    width_ps = width * 1e12
    return Measurement(t_ps=bin_centres(path, 0.0, width_ps, counts.shape[1]), counts=counts,
                       bin_width_ps=width_ps, acquisition_time_s=_acquisition_s(
                           tags, ("MeasDesc_AcquisitionTime", -1), ("HistResDscr_MDescStopAfter", 0)),
                       meta=_meta(tags), channel_names=[f"curve {i}" for i in range(n)], path=path, format="phu")


def _decode(layout: str, rec: np.ndarray):
    """(photon mask, detector channel, dtime) of a chunk of T3 records (int64), the last two of its photons."""
    if layout == "pt3":  # channel 4 bits (15: special), dtime 12 bits, nsync 16 bits
        channel = rec >> 28
        photon = (channel >= 1) & (channel <= 4)
        return photon, channel[photon], (rec[photon] >> 16) & 0xFFF
    # special 1 bit, channel 6 bits (0-based), dtime 15 bits, nsync 10 bits
    photon = (rec >> 31) == 0
    return photon, ((rec[photon] >> 25) & 0x3F) + 1, (rec[photon] >> 10) & 0x7FFF


def _syncs(layout: str, rtype: int, rec: np.ndarray, carry: int):
    """The sync number of every record of a chunk, counted from the first sync of the file (carry: the
    syncs before the chunk), and the syncs up to its end. An overflow record adds a period of the nsync
    field (65536 PicoHarp, 1024 the others) or, past HydraHarp V1, as many as its nsync counts (0: one)."""
    if layout == "pt3":
        period, nsync = 1 << 16, rec & 0xFFFF
        overflows = ((rec >> 28) == 15) & (((rec >> 16) & 0xFFF) == 0)
    else:
        period, nsync = 1 << 10, rec & 0x3FF
        overflows = ((rec >> 31) == 1) & (((rec >> 25) & 0x3F) == 63)
        if rtype != 0x00010304:
            overflows = np.where(overflows, np.maximum(nsync, 1), 0)
    base = carry + np.cumsum(overflows * period)
    return base + nsync, int(base[-1])


def _photons(src: Opened, layout: str, rtype: int, start: int, nrec: int, syncs_per_frame=None):
    """Per chunk of records: detector channel, dtime and (with syncs_per_frame) frame of its photons."""
    records = np.memmap(src.file, "<u4", "r", start, (nrec,))
    carry = 0
    for lo in range(0, nrec, _CHUNK):
        rec = np.asarray(records[lo:lo + _CHUNK]).astype(np.int64)
        photon, channel, dtime = _decode(layout, rec)
        frame = None
        if syncs_per_frame:
            sync, carry = _syncs(layout, rtype, rec, carry)
            frame = np.floor(sync[photon] / syncs_per_frame).astype(np.int64)
        yield channel, dtime, frame


def _histogram(src: Opened, layout: str, rtype: int, start: int, nrec: int, syncs_per_frame=None):
    """(channels, dtime bins) counts of the photon records, read in chunks and added; and the number of
    frames they span."""
    nch, nbins = _RANGE[layout]
    hist, frames = np.zeros(nch * nbins, np.int64), 0
    for channel, dtime, frame in _photons(src, layout, rtype, start, nrec, syncs_per_frame):
        h = np.bincount((channel - 1) * nbins + dtime)
        hist[:h.size] += h
        if frame is not None and frame.size:
            frames = max(frames, int(frame.max()) + 1)
    return hist.reshape(nch, nbins), frames


def _frames(src: Opened, layout: str, rtype: int, start: int, nrec: int, syncs_per_frame: float, frames: int,
            used: np.ndarray, nbins: int) -> np.ndarray:
    """(frames, channels, bins) counts of the channels `used` (0-based rows of the histogram)."""
    row = np.full(_RANGE[layout][0] + 1, -1)
    row[used + 1] = np.arange(used.size)
    check_memory(src.path, frames * used.size * nbins * 8, src.size, "the frames' counts")
    out = np.zeros(frames * used.size * nbins)
    for channel, dtime, frame in _photons(src, layout, rtype, start, nrec, syncs_per_frame):
        if frame.size:
            index = (frame * used.size + row[channel]) * nbins + dtime
            lo = int(frame.min()) * used.size * nbins
            h = np.bincount(index - lo)
            out[lo:lo + h.size] += h
    return out.reshape(frames, used.size, nbins)


def read_ptu(path, frame_s: float | None = None) -> Measurement | Recording:
    """PicoQuant .ptu in T3 mode: the histogram of the records' dtime per detector channel.

    dtime counts bins of MeasDesc_Resolution seconds after the sync; the
    histogram spans one sync period (from TTResult_SyncRate; without it, up to
    the largest dtime), at most the 4096 (PicoHarp) or 32768 bins (HydraHarp,
    TimeHarp 260, MultiHarp) the dtime field holds. Detector channels are
    numbered from 1 as the instrument's inputs. T2 records hold no such
    histogram and are refused.

    With frame_s (seconds), a Recording: the histograms of consecutive frames
    of that length from the first sync (counts frames x channels x bins; the
    last frame ends with the last photon and may be partial), the records
    streamed in chunks twice.

    Examples
    --------
    >>> m = tdcyl.io.read_ptu("examples/measurements/ptu/phantom.ptu")  # doctest: +SKIP
    >>> r = tdcyl.io.read_ptu("recording.ptu", frame_s=0.1)  # doctest: +SKIP
    >>> r.counts.shape, r.frame_times_s[:2]  # doctest: +SKIP
    ((600, 2, 1024), array([0.05, 0.15]))
    """
    if frame_s is not None and not (isinstance(frame_s, numbers.Real) and math.isfinite(frame_s) and frame_s > 0):
        raise ValueError(f"frame_s must be a positive number of seconds, got {frame_s!r}")
    return _read_ptu(path, frame_s)


@reader
def _read_ptu(src: Opened, frame_s):
    path, size = src.path, src.size
    tags, end = _tags(src, b"PQTTTR")
    rtype = _get(path, tags, "TTResultFormat_TTTRRecType") & 0xFFFFFFFF
    if rtype not in _T3:
        name = _OTHER.get(rtype, f"unknown record type 0x{rtype:08X}")
        fail(path, f"{name} records are not supported (T3 records of PicoHarp, HydraHarp, TimeHarp 260 and "
                   "MultiHarp are)")
    label, layout = _T3[rtype]
    nrec = _get(path, tags, "TTResult_NumberOfRecords")
    if nrec < 0:
        fail(path, f"TTResult_NumberOfRecords is negative ({nrec})")
    check_span(path, end, 4 * nrec, size, f"{nrec} records")
    res = _resolution_s(path, "MeasDesc_Resolution", _get(path, tags, "MeasDesc_Resolution", kind=(float,)))
    sync = _get(path, tags, "TTResult_SyncRate", default=0)
    syncs_per_frame = _syncs_per_frame(path, frame_s, sync)
    hist, frames = _histogram(src, layout, rtype, end, nrec, syncs_per_frame) if nrec else (np.zeros((1, 0)), 0)
    used = np.flatnonzero(hist.sum(axis=1))
    if used.size == 0:
        fail(path, "no photon records")
    nbins = int(np.flatnonzero(hist.sum(axis=0))[-1]) + 1
    if sync > 0:  # one sync period, as far as dtime reaches
        nbins = max(nbins, min(math.ceil(1.0 / (sync * res) - 1e-9), hist.shape[1]))
    meta = _meta(tags)
    meta["record_type"] = label
    m = Measurement(t_ps=bin_centres(path, 0.0, res * 1e12, nbins), counts=hist[used, :nbins].astype(float),
                    bin_width_ps=res * 1e12, acquisition_time_s=_acquisition_s(tags, ("MeasDesc_AcquisitionTime", -1)),
                    meta=meta, channel_names=[f"detector {c + 1}" for c in used], path=path, format="ptu")
    if frame_s is None:
        return m
    counts = _frames(src, layout, rtype, end, nrec, syncs_per_frame, frames, used, nbins)
    return Recording(counts, (np.arange(frames) + 0.5) * frame_s, frame_s, m)


def _syncs_per_frame(path, frame_s, sync):
    if frame_s is None:
        return None
    if sync <= 0:
        fail(path, "frames need the sync rate (TTResult_SyncRate), which the file does not give")
    if frame_s * sync < 1:
        fail(path, f"frames of {frame_s!r} s are shorter than the sync period ({1 / sync!r} s)")
    return frame_s * sync
