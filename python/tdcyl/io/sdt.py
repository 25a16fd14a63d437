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

Before anything is read the block chain is walked: a chain that comes back to
a block, blocks whose data share bytes, and data that would unpack to more
than the memory cap are refused; a ZIP member's declared size must be the
block's, and no more than that is unpacked.
"""
from __future__ import annotations

import io
import math
import struct
import zipfile

import numpy as np

from ._measurement import Measurement, Opened, bin_centres, check_counts, check_memory, check_span, fail, reader

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


def _descriptions(path, f, offset: int, count: int, length: int) -> list:
    """(bin width ps, bins, collection time s) of each measurement description."""
    desc = []
    for k in range(count):
        f.seek(offset + k * length)
        d = f.read(_MEAS_MIN)
        tac_r, tac_g = struct.unpack_from("<fh", d, 64)
        tac_r = float(f"{tac_r:.7g}")  # a float32 of a setting in decimal: its 7 digits
        adc_re, = struct.unpack_from("<H", d, 82)
        adc_re = adc_re or 65536  # 0 stands for 65536
        col_t, = struct.unpack_from("<f", d, 92)
        if not (math.isfinite(tac_r) and tac_r > 0 and tac_g >= 1 and adc_re >= 2):
            fail(path, f"measurement description {k}: TAC range {tac_r} s, gain {tac_g}, {adc_re} ADC bins "
                       "(a positive range, gain >= 1 and >= 2 bins needed)")
        desc.append((tac_r / (tac_g * adc_re) * 1e12, adc_re, float(col_t)))
    return desc


def _chain(path, f, rev: int, first: int, nblocks: int, size: int, desc: list) -> list:
    """The data blocks' (data offset, bytes in the file, dtype, bins, bytes unpacked, zipped), their chain
    followed from the first and checked against the file before any data is read."""
    blocks, seen, offset = [], set(), first
    for b in range(nblocks):
        if offset in seen:
            fail(path, f"data block {b}: the chain of blocks comes back to byte {offset} (corrupt file)")
        seen.add(offset)
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
        if not 0 <= mdesc < len(desc):
            fail(path, f"data block {b}: measurement description {mdesc} does not exist ({len(desc)} do)")
        w, bins, _ = desc[mdesc]
        if blen <= 0 or blen % (dtype.itemsize * bins):
            fail(path, f"data block {b}: {blen} bytes are not whole curves of {bins} {dtype} values")
        if blocks and (bins != blocks[0][3] or not math.isclose(w, desc[blocks[0][6]][0], rel_tol=1e-9)):
            fail(path, f"data block {b} has {bins} bins of {w:g} ps, block 0 {blocks[0][3]} of "
                       f"{desc[blocks[0][6]][0]:g} ps")
        zipped = bool(btype & 0x1000)
        stored = nxt - dat if zipped else blen  # a ZIP archive ends where the next block's header starts
        check_span(path, dat, stored, size, f"data block {b}" + (" (compressed)" if zipped else ""))
        blocks.append((dat, stored, dtype, bins, blen, zipped, mdesc))
        offset = nxt
    spans = sorted((dat, dat + stored, b) for b, (dat, stored, *_) in enumerate(blocks))
    for (_, end1, b1), (start2, _, b2) in zip(spans, spans[1:]):
        if start2 < end1:
            fail(path, f"data blocks {b1} and {b2} share bytes of the file (corrupt file)")
    check_memory(path, sum(blen // dtype.itemsize * 8 for _, _, dtype, _, blen, _, _ in blocks), size,
                 "the data blocks' counts")
    return blocks


def _unzip(path, b: int, raw: bytes, blen: int) -> bytes:
    """The member "data_block" of a compressed block: its declared size checked first, at most blen bytes read."""
    with zipfile.ZipFile(io.BytesIO(raw)) as z:
        try:
            info = z.getinfo("data_block")
        except KeyError:
            fail(path, f"data block {b}: the ZIP archive holds no member 'data_block'")
        if info.flag_bits & 0x1:
            fail(path, f"data block {b}: the ZIP member is encrypted")
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            fail(path, f"data block {b}: ZIP compression method {info.compress_type} is not supported "
                       "(stored and deflated are)")
        if info.file_size != blen:
            fail(path, f"data block {b}: the ZIP member holds {info.file_size} bytes, the header says {blen}")
        with z.open(info) as member:
            data = member.read(blen + 1)
    if len(data) != blen:
        fail(path, f"data block {b}: {len(data)} bytes unpacked, the header says {blen}")
    return data


def read_sdt(path) -> Measurement:
    """Becker & Hickl .sdt: every decay curve of every data block is one channel."""
    return _read_sdt(path)


@reader
def _read_sdt(src: Opened) -> Measurement:
    path, size, f = src.path, src.size, src.file
    f.seek(0)
    raw = f.read(_HEADER.size)
    if len(raw) < _HEADER.size:
        fail(path, f"too short for a Becker & Hickl SDT file ({size} bytes)")
    (revision, info_offs, info_len, _, _, data_offs, nblocks, _, meas_offs, nmeas, meas_len,
     valid, reserved1, _, _) = _HEADER.unpack(raw)
    if valid != 0x5555:
        fail(path, f"not a valid Becker & Hickl SDT file (header_valid 0x{valid:04X}, not 0x5555)")
    rev = revision & 0xF
    if rev not in _REVISIONS:
        fail(path, f"SDT file revision {rev} is not supported (revisions {_REVISIONS.start} to "
                   f"{_REVISIONS.stop - 1} are)")
    if nblocks == 0x7FFF:  # more blocks than an int16 holds: the count is in reserved1
        nblocks = reserved1
    if not 1 <= nblocks <= size // _BLOCK.size:
        fail(path, f"{nblocks} data blocks (no_of_data_blocks): a file of {size} bytes holds 1 to "
                   f"{size // _BLOCK.size}")
    check_span(path, info_offs, info_len, size, "info block")
    f.seek(info_offs)
    meta = _info(path, f.read(info_len))
    if nmeas < 1 or meas_len < _MEAS_MIN:
        fail(path, f"measurement descriptions: {nmeas} of {meas_len} bytes (at least 1 of {_MEAS_MIN} needed)")
    check_span(path, meas_offs, nmeas * meas_len, size, "measurement descriptions")
    desc = _descriptions(path, f, meas_offs, nmeas, meas_len)
    blocks = _chain(path, f, rev, data_offs, nblocks, size, desc)
    bins = blocks[0][3]
    counts = np.empty((sum(blen // (dtype.itemsize * bins) for _, _, dtype, _, blen, _, _ in blocks), bins))
    names, row = [], 0
    for b, (dat, stored, dtype, _, blen, zipped, _) in enumerate(blocks):
        if zipped:
            f.seek(dat)
            values = np.frombuffer(_unzip(path, b, f.read(stored), blen), dtype)
        else:
            values = np.memmap(f, dtype, "r", dat, (blen // dtype.itemsize,))
        n = blen // (dtype.itemsize * bins)
        counts[row:row + n] = values.reshape(n, bins)
        check_counts(path, counts[row:row + n], f"data block {b}")
        names += [f"block {b} curve {i}" for i in range(n)]
        row += n
    meta["revision"] = revision
    width, _, col_t = desc[blocks[0][6]]
    return Measurement(t_ps=bin_centres(path, 0.0, width, bins), counts=counts, bin_width_ps=width,
                       acquisition_time_s=col_t if math.isfinite(col_t) and col_t > 0 else math.nan,
                       meta=meta, channel_names=names, path=path, format="sdt")
