"""Becker & Hickl .sdt files (SPCM "Setup & Data" and DLL data files), decay curves.

Layout (little-endian, packed): a 42-byte file header (revision, offsets and
lengths of the info text, the setup, the data blocks and the measurement
descriptions, header_valid = 0x5555); each measurement description holds the
TAC range tac_r (s), the TAC gain tac_g and the number of ADC bins adc_re, so
that a bin is tac_r / (tac_g adc_re) wide; each data block has a 22-byte header
(offset of its data, offset of the next block, block type, number of its
measurement description, length of its data in bytes) and its curves of adc_re
bins. A block type with bit 0x1000 set stores the data as a ZIP archive with
the member "data_block".
"""
from __future__ import annotations

import io
import math
import os
import struct
import zipfile

import numpy as np

from ._measurement import Measurement, bin_centres, check_counts, check_span, fail

__all__ = ["read_sdt"]

_HEADER = struct.Struct("<hihihihiihhHIHH")
_BLOCK = struct.Struct("<hiiHhII")       # revisions up to 14
_BLOCK15 = struct.Struct("<BBIIHhII")    # revision 15: 40-bit offsets (an extra high byte each)
_REVISIONS = range(12, 16)
_DTYPES = {0x000: np.dtype("<u2"), 0x100: np.dtype("<u4"), 0x200: np.dtype("<f8")}
_CONTENTS = {0x00: "DECAY_BLOCK", 0x10: "PAGE_BLOCK", 0x20: "FCS_BLOCK", 0x30: "FIDA_BLOCK", 0x40: "FILDA_BLOCK",
             0x50: "MCS_BLOCK", 0x60: "IMG_BLOCK", 0x70: "MCSTA_BLOCK", 0x80: "IMG_MCS_BLOCK", 0x90: "MOM_BLOCK"}
_MEAS_MIN = 96  # bytes of a measurement description up to col_t


def _info(path, raw: bytes) -> dict:
    text = raw.decode("latin-1").replace("\r\n", "\n")
    if not text.startswith("*IDENTIFICATION"):
        fail(path, "the info block does not start with *IDENTIFICATION (corrupt file)")
    meta = {}
    for line in text.splitlines()[1:]:
        if line.strip().startswith("*END"):
            break
        key, sep, value = line.partition(":")
        if sep:
            meta[key.strip()] = value.strip()
    return meta


def read_sdt(path) -> Measurement:
    """Becker & Hickl .sdt: every decay curve of every data block is one channel."""
    path = os.fspath(path)
    size = os.path.getsize(path)
    with open(path, "rb") as f:
        raw = f.read(_HEADER.size)
        if len(raw) < _HEADER.size:
            fail(path, f"too short for a Becker & Hickl SDT file ({size} bytes)")
        (revision, info_offs, info_len, setup_offs, setup_len, data_offs, nblocks, _, meas_offs, nmeas, meas_len,
         valid, reserved1, _, _) = _HEADER.unpack(raw)
        if valid != 0x5555:
            fail(path, f"not a valid Becker & Hickl SDT file (header_valid 0x{valid:04X}, not 0x5555)")
        rev = revision & 0xF
        if rev not in _REVISIONS:
            fail(path, f"SDT file revision {rev} is not supported (revisions {_REVISIONS.start} to "
                       f"{_REVISIONS.stop - 1} are)")
        if nblocks == 0x7FFF:  # more blocks than an int16 holds: the count is in reserved1
            nblocks = reserved1
        if nblocks < 1:
            fail(path, f"no data blocks (no_of_data_blocks = {nblocks})")
        check_span(path, info_offs, info_len, size, "info block")
        f.seek(info_offs)
        meta = _info(path, f.read(info_len))
        if nmeas < 1 or meas_len < _MEAS_MIN:
            fail(path, f"measurement descriptions: {nmeas} of {meas_len} bytes (at least 1 of {_MEAS_MIN} needed)")
        check_span(path, meas_offs, nmeas * meas_len, size, "measurement descriptions")
        desc = []
        for k in range(nmeas):
            f.seek(meas_offs + k * meas_len)
            d = f.read(_MEAS_MIN)
            tac_r, tac_g = struct.unpack_from("<fh", d, 64)
            tac_r = float(f"{tac_r:.7g}")  # a float32 of a setting in decimal: its 7 digits
            adc_re, = struct.unpack_from("<h", d, 82)
            col_t, = struct.unpack_from("<f", d, 92)
            if not (math.isfinite(tac_r) and tac_r > 0 and tac_g >= 1 and adc_re >= 2):
                fail(path, f"measurement description {k}: TAC range {tac_r} s, gain {tac_g}, {adc_re} ADC bins "
                           "(a positive range, gain >= 1 and >= 2 bins needed)")
            desc.append((tac_r / (tac_g * adc_re) * 1e12, int(adc_re), float(col_t)))
        curves, names, width = [], [], None
        offset = data_offs
        for b in range(nblocks):
            check_span(path, offset, _BLOCK.size, size, f"data block {b} header")
            f.seek(offset)
            raw = f.read(_BLOCK.size)
            if rev == 15:
                ext_data, ext_next, dat, nxt, btype, mdesc, _, blen = _BLOCK15.unpack(raw)
                dat, nxt = dat | ext_data << 32, nxt | ext_next << 32
            else:
                _, dat, nxt, btype, mdesc, _, blen = _BLOCK.unpack(raw)
            content = btype & 0xF0
            if content not in (0x00, 0x10):
                fail(path, f"data block {b}: {_CONTENTS.get(content, hex(content))} is not supported "
                           "(decay and page blocks are)")
            if (btype & 0xF00) not in _DTYPES:
                fail(path, f"data block {b}: unknown data type 0x{btype & 0xF00:03X}")
            dtype = _DTYPES[btype & 0xF00]
            if not 0 <= mdesc < nmeas:
                fail(path, f"data block {b}: measurement description {mdesc} does not exist ({nmeas} do)")
            w, bins, col_t = desc[mdesc]
            if blen <= 0 or blen % (dtype.itemsize * bins):
                fail(path, f"data block {b}: {blen} bytes are not whole curves of {bins} {dtype} values")
            if width is not None and (bins != curves[0].shape[1] or not math.isclose(w, width, rel_tol=1e-9)):
                fail(path, f"data block {b} has {bins} bins of {w:g} ps, block 0 {curves[0].shape[1]} of "
                           f"{width:g} ps")
            width = w
            if btype & 0x1000:
                check_span(path, dat, nxt - dat, size, f"data block {b} (compressed)")
                f.seek(dat)
                with zipfile.ZipFile(io.BytesIO(f.read(nxt - dat))) as z:
                    if "data_block" not in z.namelist():
                        fail(path, f"data block {b}: the ZIP archive holds no member 'data_block'")
                    data = z.read("data_block")
                if len(data) != blen:
                    fail(path, f"data block {b}: {len(data)} bytes unpacked, the header says {blen}")
                values = np.frombuffer(data, dtype)
            else:
                check_span(path, dat, blen, size, f"data block {b}")
                values = np.memmap(path, dtype, "r", dat, (blen // dtype.itemsize,))
            block = check_counts(path, np.array(values, dtype=float).reshape(-1, bins), f"data block {b}")
            curves.append(block)
            names += [f"block {b} curve {i}" for i in range(block.shape[0])]
            offset = nxt
    meta["revision"] = revision
    return Measurement(t_ps=bin_centres(path, 0.0, width, curves[0].shape[1]), counts=np.vstack(curves),
                       bin_width_ps=width, acquisition_time_s=desc[0][2] if desc[0][2] > 0 else math.nan,
                       meta=meta, channel_names=names, path=path, format="sdt")
