"""The instrument response of each curve of a study: one IRF for all, one per wavelength, one per
detector channel (a SNIRF file's IRF block, a folder of IRF files named by channel, or a
[fit.irf] table of the model file), matched to the curves here."""
from __future__ import annotations

import os

import numpy as np

from ._fit_model_file import UsageError
from ._study_files import is_results_table
from .irf import _irf_channel as _pick


def _read(path, what):
    from . import io
    try:
        m = io.read(path)
    except (OSError, ValueError) as exc:
        raise UsageError(f"{what}: {exc}") from None
    return m.irf or m


class IrfSource:
    """Where the IRFs come from. irf: the --irf argument (a file, a folder, or None: each file's own
    IRF block); mapping: [fit.irf] {channel name: file}, paths relative to the model file's folder."""

    def __init__(self, irf, mapping=None, model_path="."):
        self.file = self.by_name = None
        self.embedded = False
        self.paths = []
        if mapping:
            base = os.path.dirname(os.path.abspath(model_path))
            self.by_name = {}
            for name, p in mapping.items():
                p = os.path.join(base, p)
                self.by_name[str(name)] = _read(p, f"{model_path}: [fit.irf] {name}")
                self.paths.append(p)
        elif irf is not None and os.path.isdir(irf):
            from .io import FORMATS
            self.by_name = {}
            for name in sorted(os.listdir(irf)):
                p = os.path.join(irf, name)
                stem, ext = os.path.splitext(name)
                if os.path.isfile(p) and ext.lower() in FORMATS and not name.startswith(".") \
                        and not is_results_table(p):
                    self.by_name[stem] = _read(p, f"--irf {irf}")
                    self.paths.append(p)
            if not self.by_name:
                raise UsageError(f"--irf {irf}: the folder holds no IRF file")
        elif irf is not None:
            from . import io
            try:
                m = io.read(irf)
            except (OSError, ValueError) as exc:
                raise UsageError(f"--irf: {exc}") from None
            self.embedded = m.irf is not None  # the file's data are a measurement too
            self.file = m.irf or m
            self.paths.append(irf)

    def protected(self):
        """Files a run must not write over nor take as measurements."""
        return [] if self.embedded else list(self.paths)

    def for_channel(self, m, ch: int) -> tuple[np.ndarray, np.ndarray]:
        """(irf_t_ps, irf_counts) of channel ch of measurement m; ValueError saying why none fits."""
        name = str(m.channel_names[ch])
        if self.by_name is not None:
            irf = self.by_name.get(name)
            if irf is None:
                raise ValueError(f"no IRF for channel {name!r} (the IRFs are named {sorted(self.by_name)})")
            k = _pick(irf, m, ch)
        else:
            irf = self.file or m.irf
            if irf is None:
                raise ValueError("no IRF: the file holds none and --irf is not given")
            k = _pick(irf, m, ch)
        if irf.t_ps.shape != m.t_ps.shape or not np.allclose(irf.t_ps, m.t_ps, rtol=0, atol=1e-6 * m.bin_width_ps):
            raise ValueError(f"the IRF's {irf.t_ps.size} bins of {irf.bin_width_ps:g} ps are not the "
                             f"measurement's {m.t_ps.size} bins of {m.bin_width_ps:g} ps")
        return irf.t_ps, irf.counts[k]
