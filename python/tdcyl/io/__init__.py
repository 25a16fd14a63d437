"""Measured TCSPC histograms from the files of acquisition software.

    m = tdcyl.io.read("sample.phu")      # PicoQuant .phu/.ptu, SNIRF, Becker & Hickl .sdt, text/CSV
    m.t_ps, m.counts                      # bin centres (ps); counts, channels x bins, as in the file
    m.wavelength_nm, m.rho_mm             # per channel, NaN where the file does not say

The format is recognised by its content (magic bytes, the HDF5 signature) and
then by the extension. Every reader checks what it reads against the file
(magic, sizes, offsets, counts >= 0, equally spaced bins) and refuses a
truncated or corrupt file with a ValueError that names the file and what is
wrong.
"""
from __future__ import annotations

import os
import struct
import zipfile

from ._measurement import Measurement, fail, regular_file
from .picoquant import read_phu, read_ptu
from .sdt import read_sdt
from .snirf import read_snirf, write_snirf
from .snirf_moments import Moments, read_snirf_moments, write_snirf_moments
from .text import read_text, write_text

__all__ = ["Measurement", "read", "read_phu", "read_ptu", "read_sdt", "read_snirf", "write_snirf", "read_text",
           "write_text", "FORMATS", "Moments", "read_snirf_moments", "write_snirf_moments"]

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
FORMATS = {".phu": read_phu, ".ptu": read_ptu, ".snirf": read_snirf, ".h5": read_snirf, ".sdt": read_sdt,
           ".csv": read_text, ".txt": read_text, ".tsv": read_text, ".dat": read_text}


def _by_content(path: str):
    with open(path, "rb") as f:
        head = f.read(1032)
        if head[:8] == b"PQHISTO\0":
            return read_phu
        if head[:7] == b"PQTTTR\0":
            return read_ptu
        # HDF5 puts its signature at 0 or, after a user block, at 512, 1024, 2048, ...
        offset = 0
        while True:
            f.seek(offset)
            if f.read(8) == HDF5_SIGNATURE:
                return read_snirf
            offset = 512 if offset == 0 else offset * 2
            if offset > os.path.getsize(path):
                break
    if len(head) >= 42 and struct.unpack_from("<H", head, 32)[0] == 0x5555:
        return read_sdt
    return None


def read(path, **options) -> Measurement:
    """Reads a measurement, recognising the format by content, then by extension.

    options go to the text reader (time_unit="ps"|"ns"|"s" when the header does
    not name the unit). Raises FileNotFoundError for a missing file,
    IsADirectoryError for a folder, and ValueError naming the file for what is
    not a regular file (a FIFO, a device) or an unknown, truncated or corrupt one.
    """
    path = regular_file(path)
    reader = _by_content(path) or FORMATS.get(os.path.splitext(path)[1].lower())
    if reader is None:
        fail(path, "unknown format (not PicoQuant .phu/.ptu, SNIRF, Becker & Hickl .sdt or a text table)")
    try:
        return reader(path, **options) if reader is read_text else reader(path)
    except (struct.error, zipfile.BadZipFile, UnicodeDecodeError, EOFError) as exc:
        fail(path, f"corrupt file ({exc})")
