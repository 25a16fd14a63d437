"""Measured TCSPC histograms from the files of acquisition software.

    m = tdcyl.io.read("sample.phu")      # PicoQuant .phu/.ptu, SNIRF, Becker & Hickl .sdt, text/CSV
    m.t_ps, m.counts                      # bin centres (ps); counts, channels x bins, as in the file
    m.wavelength_nm, m.rho_mm             # per channel, NaN where the file does not say

The format is recognised by its content (magic bytes, the HDF5 signature) and
then by the extension. Every reader checks what it reads against the file
(magic, sizes, offsets, counts >= 0, equally spaced bins) and refuses a
truncated or corrupt file with a ValueError that names the file and what is
wrong. Every reader refuses what is not a regular file (a FIFO, a device) and
allocates at most MEMORY_FACTOR (10) times the file's size plus MEMORY_MARGIN
(64 MiB): sizes, counts, offsets and block chains are checked against the
file before anything is allocated or unpacked.
"""
from __future__ import annotations

import os
import re
import struct

from ._measurement import MEMORY_FACTOR, MEMORY_MARGIN, Measurement, Opened, Recording, fail, opened, reader
from .picoquant import read_phu, read_ptu
from .sdt import read_sdt
from .snirf import read_snirf, write_snirf
from .snirf_moments import Moments, read_snirf_moments, write_snirf_moments
from .text import read_text, write_text

__all__ = ["Measurement", "Recording", "read", "read_phu", "read_ptu", "read_sdt", "read_snirf", "write_snirf",
           "read_text", "write_text", "FORMATS", "MEMORY_FACTOR", "MEMORY_MARGIN", "Moments", "read_snirf_moments",
           "write_snirf_moments"]

HDF5_SIGNATURE = b"\x89HDF\r\n\x1a\n"
FORMATS = {".phu": read_phu, ".ptu": read_ptu, ".snirf": read_snirf, ".h5": read_snirf, ".sdt": read_sdt,
           ".csv": read_text, ".txt": read_text, ".tsv": read_text, ".dat": read_text}
_BOMS = (b"\xef\xbb\xbf", b"\xff\xfe", b"\xfe\xff")
# Bytes no text file holds (the text reader refuses them): every binary header has some.
_BINARY = re.compile(rb"[\x00-\x08\x0e-\x1f]")


def _by_content(src: Opened):
    """The reader a file's first bytes name, or None. A file that starts with a
    byte-order mark, or whose first bytes could be text, is never taken for a
    binary format."""
    f = src.file
    f.seek(0)
    head = f.read(1032)
    if head.startswith(_BOMS):
        return read_text
    if head[:8] == b"PQHISTO\0":
        return read_phu
    if head[:7] == b"PQTTTR\0":
        return read_ptu
    # HDF5 puts its signature at 0 or, after a user block, at 512, 1024, 2048, ...
    offset = 0
    while offset + 8 <= src.size:
        f.seek(offset)
        if f.read(8) == HDF5_SIGNATURE:
            return read_snirf
        offset = 512 if offset == 0 else offset * 2
    if (len(head) >= 42 and _BINARY.search(head[:42]) and struct.unpack_from("<H", head, 32)[0] == 0x5555
            and 12 <= (head[0] & 0xF) <= 15):
        return read_sdt
    return None


def _format(src: Opened):
    """The reader of a file: by its content, then by its extension."""
    read_format = _by_content(src) or FORMATS.get(os.path.splitext(src.path)[1].lower())
    if read_format is None:
        fail(src.path, "unknown format (not PicoQuant .phu/.ptu, SNIRF, Becker & Hickl .sdt or a text table)")
    return read_format


def read(path, **options) -> Measurement:
    """Reads a measurement, recognising the format by content, then by extension.

    options go to the text reader (time_unit="ps"|"ns"|"s" when the header does
    not name the unit). Raises FileNotFoundError for a missing file,
    IsADirectoryError for a folder, and ValueError naming the file for what is
    not a regular file (a FIFO, a device) or an unknown, truncated or corrupt one.
    A read allocates at most 10 x the file's size + 64 MiB (io.MEMORY_FACTOR,
    io.MEMORY_MARGIN): a file that would need more is refused.
    """
    with opened(path) as src:  # the file is opened once: every step reads through the same descriptor
        read_format = _format(src)
        return reader(lambda s: read_format(s, **options) if read_format is read_text else read_format(s))(src)
