"""The object every reader returns, and the checks they share."""
from __future__ import annotations

import contextlib
import functools
import math
import os
import stat
import struct
import typing
import zipfile
import zlib
from dataclasses import dataclass, field

import numpy as np

from .._regular import kind, open_regular

# What a read may allocate: MEMORY_FACTOR times the file's size plus MEMORY_MARGIN bytes.
MEMORY_FACTOR = 10
MEMORY_MARGIN = 64 << 20
# A TCSPC time axis: bins of at least 1 fs, centres within +-1000 s (the 1e-6-ps
# rounding of canonical_ps keeps 3 digits of a 1-fs bin and never overflows there).
MIN_BIN_PS = 1e-3
MAX_TIME_PS = 1e15


def fail(path, what: str):
    """ValueError naming the file and what is wrong with it."""
    raise ValueError(f"{os.fspath(path)}: {what}")


def memory_cap(size: int) -> int:
    """Bytes a read of a file of `size` bytes may allocate."""
    return MEMORY_FACTOR * size + MEMORY_MARGIN


def check_memory(path, nbytes: int, size: int, what: str):
    """Refuses, before allocating, what would take more than the memory cap."""
    if nbytes > memory_cap(size):
        fail(path, f"{what} would take {nbytes / 2**20:.0f} MiB, more than a file of {size} bytes may ask "
                   f"({MEMORY_FACTOR} x its size + {MEMORY_MARGIN >> 20} MiB): corrupt or hostile file")


# Failures of the libraries a reader uses on bytes it did not expect.
_CORRUPT = (struct.error, zipfile.BadZipFile, zlib.error, UnicodeError, EOFError, OverflowError, IndexError,
            KeyError, NotImplementedError, RuntimeError, ValueError)


@dataclass(frozen=True)
class Opened:
    """A measurement file opened once: its name (for messages), the binary file and its size in bytes."""

    path: str
    file: typing.BinaryIO
    size: int


@contextlib.contextmanager
def opened(path):
    """The file at path opened once, when it is a regular file (symlinks followed); an Opened as it is.

    Anything else is refused: a FIFO or a terminal would block the read
    forever and a device such as /dev/zero never ends. FileNotFoundError for a
    missing path, IsADirectoryError for a folder, ValueError naming what else
    it is.
    """
    if isinstance(path, Opened):
        yield path
        return
    path = os.fspath(path)
    if ("\0" if isinstance(path, str) else b"\0") in path:
        fail(repr(path), "not a valid file name")

    def refuse(mode):
        if stat.S_ISDIR(mode):
            raise IsADirectoryError(f"{path}: is a folder, not a measurement file")
        fail(path, f"is {kind(mode)}, not a measurement file")
    try:
        f, size = open_regular(path, refuse)
    except FileNotFoundError:
        raise FileNotFoundError(f"{path}: no such file") from None
    with f:
        yield Opened(path, f, size)


def reader(read):
    """An exported reader: read(src, ...) reads the Opened file src, the path opened once and checked to
    be a regular file; every failure is an OSError of the file system or a ValueError naming the file."""
    @functools.wraps(read)
    def checked(path, *args, **kwargs):
        with opened(path) as src:
            try:
                return read(src, *args, **kwargs)
            except _CORRUPT as exc:
                if type(exc) is ValueError and str(exc).startswith(f"{src.path}: "):
                    raise
                fail(src.path, f"corrupt or unsupported file ({type(exc).__name__}: {exc})")
    return checked


def canonical_ps(t) -> np.ndarray:
    """Times rounded to 1e-6 ps: far below any bin, and the same numbers after a
    trip through seconds, so that a written and read file gives the same bits."""
    return np.round(np.asarray(t, dtype=float) * 1e6) / 1e6


def check_time_axis(path, first_ps: float, last_ps: float, width_ps: float):
    """Bins of at least MIN_BIN_PS, centres within +-MAX_TIME_PS."""
    if not max(abs(first_ps), abs(last_ps)) <= MAX_TIME_PS:
        fail(path, f"the time axis runs from {first_ps!r} to {last_ps!r} ps, beyond +-{MAX_TIME_PS:g} ps (1000 s) "
                   "where no TCSPC histogram lies; check the time unit or the resolution")
    if not (math.isfinite(width_ps) and width_ps >= MIN_BIN_PS):
        fail(path, f"bins of {width_ps!r} ps: a TCSPC histogram has bins of at least {MIN_BIN_PS:g} ps (1 fs); "
                   "check the time unit or the resolution")


def bin_centres(path, start_ps: float, width_ps: float, n: int) -> np.ndarray:
    """Centres of n contiguous bins of width_ps, the first starting at start_ps."""
    if not (math.isfinite(start_ps) and math.isfinite(width_ps)):
        fail(path, f"the time axis is not a number (start {start_ps!r} ps, bins of {width_ps!r} ps)")
    check_time_axis(path, start_ps + 0.5 * width_ps, start_ps + (n - 0.5) * width_ps, width_ps)
    return canonical_ps(start_ps + (np.arange(n) + 0.5) * width_ps)


def check_counts(path, counts, what="counts") -> np.ndarray:
    c = np.asarray(counts, dtype=float)
    bad = ~np.isfinite(c)
    if bad.any():
        fail(path, f"{what}: {np.count_nonzero(bad)} values are not finite (first at index "
                   f"{tuple(int(i) for i in np.argwhere(bad)[0])})")
    if (c < 0).any():
        fail(path, f"{what}: {np.count_nonzero(c < 0)} negative values (first at index "
                   f"{tuple(int(i) for i in np.argwhere(c < 0)[0])})")
    return c


def check_span(path, offset: int, length: int, size: int, what: str):
    """The bytes [offset, offset + length) must lie inside a file of `size` bytes."""
    if offset < 0 or length < 0:
        fail(path, f"{what}: negative offset or length ({offset}, {length})")
    if offset + length > size:
        fail(path, f"{what} at byte {offset} with {length} bytes lies past the end of the file "
                   f"({size} bytes): truncated or corrupt")


@dataclass
class Measurement:
    """One file's histograms.

    Attributes
    ----------
    t_ps : ndarray, shape (bins,)
        Centres of the equally spaced time bins, ps (on the clock of the
        instrument: the fit's shift takes the offset to the IRF).
    counts : ndarray, shape (channels, bins)
        Counts as in the file (float64, exact for integers); shape (frames,
        channels, bins) for a recording, when frame_times_s is given.
    bin_width_ps : float
    wavelength_nm, rho_mm : ndarray, shape (channels,)
        Per channel, NaN where the file does not say.
    acquisition_time_s : float
        NaN when unknown.
    meta : dict
        The file's own header fields (names as in the file).
    channel_names : list of str
        Per channel, how the file names it.
    irf : Measurement or None
        An IRF stored in the same file (SNIRF).
    frame_times_s : ndarray, shape (frames,), or None
        Start of each frame of a recording, s; None for one histogram per channel.
    """

    t_ps: np.ndarray
    counts: np.ndarray
    bin_width_ps: float
    wavelength_nm: np.ndarray = None
    rho_mm: np.ndarray = None
    acquisition_time_s: float = math.nan
    meta: dict = field(default_factory=dict)
    channel_names: list = None
    path: str = ""
    format: str = ""
    irf: "Measurement | None" = field(default=None, repr=False)
    frame_times_s: np.ndarray = None

    def __post_init__(self):
        where = self.path or "measurement"
        self.counts = np.asarray(self.counts, dtype=float)
        if self.frame_times_s is None:
            self.counts = np.atleast_2d(self.counts)
            if self.counts.ndim != 2:
                fail(where, f"counts must be channels x bins, got shape {self.counts.shape} (a recording's "
                            "frames x channels x bins needs frame_times_s)")
        else:
            self.frame_times_s = np.asarray(self.frame_times_s, dtype=float).reshape(-1)
            if self.counts.ndim != 3 or self.counts.shape[0] != self.frame_times_s.size:
                fail(where, f"counts of a recording must be frames x channels x bins with one frame per "
                            f"frame_times_s ({self.frame_times_s.size}), got shape {self.counts.shape}")
            if not np.isfinite(self.frame_times_s).all():
                fail(where, "frame_times_s must be finite")
        nch, nbins = self.counts.shape[-2:]
        t = np.asarray(self.t_ps, dtype=float)
        if t.ndim != 1 or t.size != nbins or nbins < 2:
            fail(where, f"t_ps must hold one centre per bin ({nbins}, at least 2), got shape {t.shape}")
        if not np.all(np.isfinite(t)):
            fail(where, "t_ps holds values that are not finite")
        check_time_axis(where, float(t[0]), float(t[-1]), float(self.bin_width_ps))
        self.t_ps = canonical_ps(t)
        self.bin_width_ps = float(canonical_ps(self.bin_width_ps))
        # both sides rounded to 1e-6 ps: the steps may differ from the width by that much however fine the bins
        if np.max(np.abs(np.diff(self.t_ps) - self.bin_width_ps)) > 1e-6 * self.bin_width_ps + 2e-6:
            fail(where, "time bins are not equally spaced by bin_width_ps")
        check_counts(where, self.counts)
        for name in ("wavelength_nm", "rho_mm"):
            v = getattr(self, name)
            v = np.full(nch, np.nan) if v is None else np.asarray(v, dtype=float).reshape(-1)
            if v.size == 1 and nch > 1:
                v = np.full(nch, v[0])
            if v.size != nch:
                fail(where, f"{name} must hold one value per channel ({nch}), got {v.size}")
            if np.any(np.isinf(v) | (v < 0)):
                fail(where, f"{name} must be finite and >= 0 (NaN where unknown), got {v.tolist()}")
            setattr(self, name, v)
        if self.channel_names is None:
            self.channel_names = [str(i) for i in range(nch)]
        if len(self.channel_names) != nch:
            fail(where, f"channel_names must name each of the {nch} channels, got {len(self.channel_names)}")
        self.acquisition_time_s = float(self.acquisition_time_s)
        if math.isinf(self.acquisition_time_s) or self.acquisition_time_s < 0:
            fail(where, f"acquisition_time_s must be finite and >= 0 (NaN when unknown), got "
                        f"{self.acquisition_time_s!r}")

    @property
    def channels(self) -> int:
        return self.counts.shape[-2]

    def curve(self, channel: int = 0):
        """(t_ps, counts) of one channel, as tdcyl.fit takes them (counts frames x bins for a recording)."""
        return self.t_ps, self.counts[..., channel, :]

    def __repr__(self) -> str:
        def values(v, unit):
            known = sorted({float(x) for x in v if math.isfinite(x)})
            shown = ", ".join(f"{x:g}" for x in known[:6]) + (", ..." if len(known) > 6 else "")
            return f"[{shown}] {unit}" if known else "not given"
        frames = "" if self.frame_times_s is None else f"{self.frame_times_s.size} frames x "
        return (f"Measurement({self.path or '<memory>'!r}, {self.format or 'arrays'}: {frames}{self.channels} channel{'s' * (self.channels != 1)} x "
                f"{self.t_ps.size} bins of {self.bin_width_ps:g} ps, wavelength {values(self.wavelength_nm, 'nm')}, "
                f"rho {values(self.rho_mm, 'mm')}, {self.counts.sum():.4g} counts"
                f"{', with IRF' if self.irf is not None else ''})")

    def plot(self, path=None, *, channels=None, title=None):
        """Counts of each channel on a log axis (and the IRF, scaled to each peak, dashed), before any fit.

        Parameters
        ----------
        path : str, optional
            Save the figure as PNG there.
        channels : sequence of int, optional
            The channels to draw (default all).
        title : str, optional

        Returns
        -------
        matplotlib Figure

        Examples
        --------
        >>> m = tdcyl.io.read("examples/measurements/snirf/phantom.snirf")  # doctest: +SKIP
        >>> m.plot("phantom.png")  # doctest: +SKIP
        """
        import matplotlib
        if not os.environ.get("MPLBACKEND"):
            matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        chosen = range(self.channels) if channels is None else [int(k) for k in channels]
        counts = self.counts if self.frame_times_s is None else self.counts.sum(axis=0)  # a recording's sum
        fig, ax = plt.subplots(figsize=(7.5, 4.5))
        for k in chosen:
            wl, rho = self.wavelength_nm[k], self.rho_mm[k]
            label = str(self.channel_names[k]) + (f", {wl:g} nm" if math.isfinite(wl) else "") + \
                (f", ρ = {rho:g} mm" if math.isfinite(rho) else "")
            line, = ax.semilogy(self.t_ps, np.maximum(counts[k], 0.5), ".", ms=2.5, label=label)
            if self.irf is not None:
                irf = self.irf.counts[k if self.irf.channels == self.channels else 0]
                if irf.max() > 0:
                    ax.semilogy(self.t_ps, np.maximum(irf * counts[k].max() / irf.max(), 0.5), "--", lw=0.8,
                                color=line.get_color())
        peak = max(float(counts.max()), 1.0)
        ax.set_ylim(0.5, peak * 2)
        ax.set_xlabel("t [ps]")
        ax.set_ylabel("counts per bin")
        ax.set_title(title or os.path.basename(self.path) or "measurement", fontsize=9)
        ax.legend(fontsize=7)
        fig.tight_layout()
        if path is not None:
            fig.savefig(path, dpi=100)
        return fig


@dataclass
class Recording:
    """Histograms over time: one per frame of a measurement.

    Attributes
    ----------
    counts : ndarray, shape (frames, channels, bins)
        Counts of each frame.
    frame_times_s : ndarray, shape (frames,)
        Centre of each frame, s from the measurement's start.
    frame_s : float
        The frames' length, s.
    total : Measurement
        The whole measurement (the sum over frames), which gives t_ps,
        bin_width_ps, wavelength_nm, rho_mm, channel_names, meta, path, format
        and irf, also as attributes of the Recording.
    """

    counts: np.ndarray
    frame_times_s: np.ndarray
    frame_s: float
    total: Measurement

    def __getattr__(self, name):
        if name in ("t_ps", "bin_width_ps", "wavelength_nm", "rho_mm", "acquisition_time_s", "meta",
                    "channel_names", "path", "format", "irf", "channels"):
            return getattr(self.total, name)
        raise AttributeError(name)
