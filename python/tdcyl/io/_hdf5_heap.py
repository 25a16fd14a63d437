"""Checks of HDF5's global heap, which libhdf5 trusts without a checksum.

Variable-length strings (every SNIRF string) live in global heap collections
("GCOL"); a dataset holds, per string, its length and the collection's
address and object index. libhdf5 (1.10) walks a collection by the sizes
written in it and copies an object into a buffer of the reference's length
without checking either: one damaged byte makes it loop forever or write
past its buffer. So the collections and the references are checked here,
from the file's bytes, before libhdf5 reads a string.
"""
from __future__ import annotations

import mmap
import os
import zlib

import numpy as np

SIGNATURE, MIN_SIZE, HEADER = b"GCOL\x01\x00\x00\x00", 4096, 16


def _align8(n: int) -> int:
    return (n + 7) & ~7


def collections(f, fail) -> dict:
    """{file offset of each collection: {object index: size}} of the open file f; a malformed collection
    fails."""
    out = {}
    size = os.fstat(f.fileno()).st_size
    if size < MIN_SIZE:
        return out
    with mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        at = mm.find(SIGNATURE)
        while at >= 0:
            out[at] = _objects(mm, at, size, fail)
            at = mm.find(SIGNATURE, at + 1)
    return out


def _objects(mm, at: int, file_size: int, fail) -> dict:
    """The objects of the collection at `at`, walked as libhdf5 walks it, every step bounded."""
    size = int.from_bytes(mm[at + 8:at + 16], "little")
    if size < MIN_SIZE or at + size > file_size:
        fail(f"global heap collection at byte {at} declares {size} bytes (at least {MIN_SIZE}, within the "
             f"file's {file_size}): corrupt")
    objects, p, end = {}, at + HEADER, at + size
    while end - p >= 16:
        idx = int.from_bytes(mm[p:p + 2], "little")
        length = int.from_bytes(mm[p + 8:p + 16], "little")
        need = 16 + _align8(length) if idx else length
        if need < 16 or need > end - p or (idx and idx in objects):
            fail(f"global heap collection at byte {at}: object {idx} at byte {p} of {length} bytes does "
                 "not fit the collection: corrupt")
        if idx:
            objects[idx] = length
        p += need
    return objects


def check_references(reader, ds, heaps: dict):
    """Every string reference of the vlen dataset `ds` must name an object of its own length in a checked
    collection. References libhdf5 keeps in the object header (compact) or behind a filter other than
    deflate and shuffle are left to it."""
    raw = _raw(reader, ds)
    if raw is None:
        return
    base = reader.file.userblock_size
    refs = np.frombuffer(raw[:len(raw) // 16 * 16], dtype=[("len", "<u4"), ("addr", "<u8"), ("idx", "<u4")])
    for length, addr, idx in zip(refs["len"].tolist(), refs["addr"].tolist(), refs["idx"].tolist()):
        if length == 0 and addr == 0:
            continue  # an empty string stores no object
        objects = heaps.get(base + addr)
        if objects is None or objects.get(idx) != length:
            reader.fail(f"{ds.name}: a string refers to object {idx} of {length} bytes in a global heap "
                        f"collection at byte {base + addr} that does not hold it: corrupt")


def _raw(reader, ds) -> bytes | None:
    """The bytes of a dataset as stored (contiguous, or chunked under deflate and shuffle), None otherwise."""
    n = int(np.prod(ds.shape)) if ds.shape else 1
    offset = ds.id.get_offset()
    if offset is not None:
        return reader.read_bytes(offset, 16 * n)
    if ds.chunks is None:
        return None
    dcpl = ds.id.get_create_plist()
    filters = [dcpl.get_filter(i)[0] for i in range(dcpl.get_nfilters())]
    if any(fid not in (1, 2) for fid in filters):
        return None
    out = []
    for i in range(ds.id.get_num_chunks()):
        info = ds.id.get_chunk_info(i)
        mask, data = ds.id.read_direct_chunk(info.chunk_offset)
        for k, fid in reversed(list(enumerate(filters))):
            if mask & (1 << k):
                continue
            if fid == 1:
                try:
                    data = zlib.decompressobj().decompress(data, 16 * int(np.prod(ds.chunks)))
                except zlib.error as exc:
                    raise ValueError(f"{ds.name}: a compressed chunk is corrupt ({exc})") from None
            else:  # shuffle: byte k of every element, element after element
                a = np.frombuffer(data[:len(data) // 16 * 16], np.uint8)
                data = a.reshape(16, -1).T.tobytes()
        out.append(data)
    return b"".join(out)
