"""Measurement files built byte by byte from the formats' public layouts; tdcyl-fit."""
import io
import os
import re
import shutil
import signal
import stat
import struct
import subprocess
import sys
import zipfile

import h5py
import numpy as np
import pandas as pd
import pytest

import tdcyl
import tdcyl.io as tio
from tdcyl._study_global import write_table

C = np.array([[0, 3, 60000, 5, 1, 0], [2, 0, 9, 4, 4000000000, 7]], dtype=np.uint32)
INT, FLOAT, ANSI, EMPTY = 0x10000008, 0x20000008, 0x4001FFFF, 0xFFFF0008


def tag(name, value, index=-1, kind=INT):  # 32-byte name, int32 index, uint32 type, 8-byte value
    raw = struct.pack("<d", value) if kind == FLOAT else struct.pack("<q", value)
    return name.encode().ljust(32, b"\0") + struct.pack("<iI", index, kind) + raw


def phu(res=(4e-12, 4e-12), offset_shift=0, slots=(1, 0)):  # two curves of 6 bins, curve 1's data first
    tags = [tag("Blob", 5, kind=0xFFFFFFFF) + b"\x01" * 5, tag("File_Comment", 8, kind=ANSI) + b"comment\0",
            tag("Wide", 6, kind=0x4002FFFF) + "\u00b5s\0".encode("utf-16-le"), tag("Offset", -7),
            tag("HistoResult_NumberOfCurves", 2), tag("HistResDscr_MDescStopAfter", 1500, 0)]
    start = 16 + 48 * 13 + 5 + 8 + 6 + 16  # header, then 16 bytes of padding before the data
    for i in range(2):
        tags += [tag("HistResDscr_HistogramBins", 6, i), tag("HistResDscr_MDescResolution", res[i], i, FLOAT),
                 tag("HistResDscr_DataOffset", start + 24 * slots[i] + offset_shift, i)]
    return (b"PQHISTO\0" + b"1.0.00\0\0" + b"".join(tags) + tag("Header_End", 0, kind=EMPTY) + bytes(16)
            + C[[1, 0]].tobytes())


def ptu(rtype=0x01010304, records=None, res=25e-12, sync=4_000_000_000):
    if records is None and rtype == 0x00010303:  # PicoHarp: channel 4 bits (15 special), dtime 12, nsync 16
        records = [1 << 28 | 2 << 16 | 5, 1 << 28 | 2 << 16 | 9, 4 << 28 | 0 << 16, 15 << 28 | 0, 1 << 28 | 7 << 16]
    elif records is None:  # HydraHarp V2: special 1 bit, channel 6 (0-based), dtime 15, nsync 10
        records = [0 << 25 | 2 << 10 | 5, 0 << 25 | 2 << 10 | 9, 3 << 25 | 0 << 10, 1 << 31 | 63 << 25 | 3,
                   1 << 31 | 1 << 25 | 7 << 10, 0 << 25 | 7 << 10]
    tags = [tag("TTResultFormat_TTTRRecType", rtype), tag("TTResult_NumberOfRecords", len(records)),
            tag("MeasDesc_Resolution", res, kind=FLOAT), tag("TTResult_SyncRate", sync),
            tag("MeasDesc_AcquisitionTime", 1500)]
    return b"PQTTTR\0\0" + b"1.0.00\0\0" + b"".join(tags) + tag("Header_End", 0, kind=EMPTY) + \
        struct.pack(f"<{len(records)}I", *records)


def sdt(valid=0x5555, type0=0x011, raw0=None, loop=False, shared=False, type1=0x1101, len1=24, zip_patch=None,
        blocks=2, tac_r=50e-12, adc=6, info=b"*IDENTIFICATION\r\n ID : SPC Setup & Data File\r\n*END\r\n"):
    """Header, info, two measurement descriptions of 120 bytes, then block 1 (ZIP of a u4 curve, description 0)
    before block 0 (a page of two u2 curves, description 1), which the header names first."""
    desc = bytearray(240)
    for k, col_t in ((0, 7.0), (1, 2.5)):
        struct.pack_into("<fh12xH8xf", desc, 120 * k + 64, tac_r, 15, adc, col_t)  # tac_r, tac_g, adc_re, col_t
    raw0 = C.astype("<u2").tobytes() if raw0 is None else raw0
    z = io.BytesIO()
    with zipfile.ZipFile(z, "w", zipfile.ZIP_DEFLATED) as f:
        f.writestr("data_block", C[1].astype("<u4").tobytes())
    z = bytearray(z.getvalue())
    if zip_patch:  # (offset in the central directory entry, format, value)
        struct.pack_into(zip_patch[1], z, z.find(b"PK\x01\x02") + zip_patch[0], zip_patch[2])
    b1 = 42 + len(info) + 240
    b0 = b1 + 22 + len(z)
    head = struct.pack("<hihihihiihhHIHH", 0x24C, 42, len(info), 0, 0, b0, blocks, 0, 42 + len(info), 2, 120,
                       valid, 10**9, 0, 0)
    return head + info + bytes(desc) + \
        struct.pack("<hiiHhII", 1, b0 + 22 if shared else b1 + 22, b0, type1, 0, 0, len1) + z + \
        struct.pack("<hiiHhII", 0, b0 + 22, b0 if loop else b1, type0, 1, 0, len(raw0)) + raw0


def text(rows="0.0025;1;2\n0.0075;0;3\n0.0125;5;0\n", acq="2", header="t [ns];a;b", encoding="utf-8"):
    return (f"% a comment\n# wavelength_nm: 760, 830\n# rho_mm: 30\n# acquisition_time_s: {acq}\n{header}\n"
            + rows).encode(encoding)


def test_readers(tmp_path, monkeypatch):
    """Every field of hand-built files with several curves, detectors, blocks and record chunks."""
    monkeypatch.setattr(tdcyl.io.picoquant, "_CHUNK", 2)  # the records in three chunks, added up
    for name, data in [("a.phu", phu()), ("b.ptu", ptu()), ("c.ptu", ptu(0x00010303)), ("d.sdt", sdt()),
                       ("m.ptu", ptu(0x00010307, [1 << 25 | 32767 << 10, 1 << 25 | 1 << 10], 1e-12, 1000)),
                       ("e.sdt", sdt(tac_r=50e-9, adc=0, raw0=bytes(1 << 17), blocks=1))]:  # adc_re 0: 65536 bins
        (tmp_path / name).write_bytes(data)
    m = tio.read(tmp_path / "a.phu")
    assert m.format == "phu" and np.array_equal(m.counts, C) and m.t_ps.tolist() == [2, 6, 10, 14, 18, 22]
    assert (m.meta["File_Comment"], m.meta["Wide"], m.meta["Offset"]) == ("comment", "\u00b5s", -7)
    assert np.isnan(m.rho_mm).all() and m.acquisition_time_s == 1.5 and m.channel_names == ["curve 0", "curve 1"]
    for name in ("b.ptu", "c.ptu"):  # sync period 250 ps / 25 ps = 10 bins; specials and markers left out
        m = tio.read(tmp_path / name)
        assert m.bin_width_ps == 25.0 and m.acquisition_time_s == 1.5
        np.testing.assert_array_equal(m.counts, [[0, 0, 2, 0, 0, 0, 0, 1, 0, 0], [1] + [0] * 9])
        assert m.channel_names == ["detector 1", "detector 4"]
    m = tio.read(tmp_path / "m.ptu")  # a sync period of 1e9 bins: as far as the 15-bit dtime reaches
    assert m.counts.shape == (1, 32768) and m.counts[0, [1, -1]].tolist() == [1, 1] and m.t_ps[-1] == 32767.5
    m = tio.read(tmp_path / "d.sdt")
    assert m.format == "sdt" and np.array_equal(m.counts, [*C.astype(np.uint16), C[1]])
    np.testing.assert_allclose(m.t_ps, (np.arange(6) + 0.5) * 50 / 90, rtol=0, atol=1e-6)  # sub-ps bins
    assert m.acquisition_time_s == 2.5 and m.meta["ID"] == "SPC Setup & Data File"
    assert m.channel_names == ["block 0 curve 0", "block 0 curve 1", "block 1 curve 0"]
    assert tio.read(tmp_path / "e.sdt").t_ps[-1] == pytest.approx(5e4 / 15 * 65535.5 / 65536, abs=1e-6)


def test_ptu_frames_against_numpy(tmp_path, monkeypatch):
    monkeypatch.setattr(tdcyl.io.picoquant, "_CHUNK", 7)  # the sync count carried across chunks
    rng = np.random.default_rng(3)
    sync = np.sort(np.r_[rng.integers(0, 8000, 400), rng.integers(15000, 20000, 100)])  # a gap of ~7 overflows
    ch, dt = rng.integers(0, 3, 500) * 2, rng.integers(0, 1000, 500)
    records, wraps = [], 0
    for s, c, d in zip(sync, ch, dt):
        if s // 1024 > wraps:  # an overflow record counts the nsync periods (1024 syncs) passed in its nsync
            records.append(1 << 31 | 63 << 25 | s // 1024 - wraps)
            wraps = s // 1024
        records.append(c << 25 | d << 10 | s % 1024)
    (tmp_path / "r.ptu").write_bytes(ptu(records=records, res=1e-9, sync=1_000_000))
    r = tio.read_ptu(tmp_path / "r.ptu", frame_s=2.5e-3)  # 1000 bins of 1 ns; frames of 2500 syncs
    want, _ = np.histogramdd(np.c_[sync // 2500, ch // 2, dt], [np.arange(sync[-1] // 2500 + 2), np.arange(4),
                                                                  np.arange(1001)])
    np.testing.assert_array_equal(r.counts, want)
    assert np.allclose(r.frame_times_s, (np.arange(want.shape[0]) + 0.5) * 2.5e-3) and r.t_ps.size == 1000
    assert r.channel_names == ["detector 1", "detector 3", "detector 5"] and r.bin_width_ps == 1000


@pytest.mark.parametrize("encoding, header, sep", [("utf-8", "t [ns] a b", " "), ("utf-8-sig", "time (ns);a;b", ";"),
                                                   ("utf-16", "t [ns]\ta\tb", "\t"), ("latin-1", "t,a,b", ",")])
def test_text_forms(tmp_path, encoding, header, sep):
    rows = "".join(sep.join(r) + "\r\n" for r in [("2.5e-3", "1", "2"), ("0.0075", "0", "3"), ("0.0125", "5", "0")])
    p = tmp_path / "e.txt"  # a Latin-1/UTF-8/UTF-16 character in the comment
    p.write_bytes(text(rows, header=header, encoding=encoding).replace(b"a comment", "\u00b5".encode(encoding)))
    m = tio.read(p, time_unit="ns" if header == "t,a,b" else None)
    assert (m.t_ps.tolist(), m.counts.tolist(), m.channel_names) == ([2.5, 7.5, 12.5], [[1, 0, 5], [2, 3, 0]],
                                                                     ["a", "b"])
    assert list(m.wavelength_nm) == [760, 830] and list(m.rho_mm) == [30, 30] and m.acquisition_time_s == 2


def h5(path, fields):
    """An HDF5 file of {dataset path: value}; a callable value creates the dataset itself."""
    with h5py.File(path, "w") as f:
        for k, v in fields.items():
            v(f, k) if callable(v) else f.create_dataset(k, data=v)


def ml_arrays(block, **columns):  # SNIRF's measurementLists: one array per field, a value per column
    return {f"{block}/measurementLists/{k}": v for k, v in columns.items()}


def test_snirf_every_field_by_hand(tmp_path):
    """Two /nirs groups (ns and cm; ps and mm), three blocks and an IRF, both forms of the measurement list,
    gates indexed against their order in time, 2-D positions that must not be used; each column holds
    1000 s + 100 d + 10 w + gate (+ 5000 in frame 2)."""
    f = {"formatVersion": "1.1", "nirs1/metaDataTags/TimeUnit": "ns", "nirs1/metaDataTags/LengthUnit": "cm",
         "nirs1/metaDataTags/AcquisitionTime": 4.5, "nirs1/probe/wavelengths": [690.0, 830.0],
         "nirs1/probe/sourcePos3D": [[0, 0, 0], [1, 0, 0]], "nirs1/probe/detectorPos3D": [[0, 3, 0], [4, 3, 0], [1, 1, 0]],
         "nirs1/probe/sourcePos2D": [[9, 9], [9, 9]], "nirs1/probe/detectorPos2D": [[0, 0]] * 3,
         "nirs1/probe/timeDelays": [0.2, 0.1, 0.0, 5.0], "nirs1/probe/timeDelayWidths": [0.1] * 4,
         "nirs2/metaDataTags/TimeUnit": "ps", "nirs2/probe/wavelengths": [760.0], "nirs2/probe/timeDelays": [0, 100, 200],
         "nirs2/probe/timeDelayWidths": [100.0] * 3, "nirs2/probe/sourcePos3D": [[0, 0, 0]],
         "nirs2/probe/detectorPos3D": [[0, 0, 7]]}
    entries = [(2, 1, 1, 2), (1, 2, 2, 3), (2, 1, 1, 1), (1, 2, 2, 1), (2, 1, 1, 3), (1, 2, 2, 2)]
    for k, (s, d, w, g) in enumerate(entries, start=1):
        f.update({f"nirs1/data1/measurementList{k}/{n}": v for n, v in
                  dict(sourceIndex=s, detectorIndex=d, wavelengthIndex=w, dataType=201, dataTypeIndex=g).items()})
    f["nirs1/data1/measurementList1/wavelengthActual"] = 692.5
    f["nirs1/data1/measurementList2/dataTypeIndex"] = [3, 4]  # (delay, width) indices
    f["nirs1/data2/dataOffset"] = [0.5] * 3
    f["nirs1/data1/dataTimeSeries"] = [[1000 * s + 100 * d + 10 * w + g for s, d, w, g in entries]]
    for block, frames, label, ch in (("nirs1/data2", 2, None, [(1, 3, 1)]), ("nirs1/data3", 1, "IRF", [(2, 1, 1), (1, 2, 2), (1, 3, 1)]),
                                     ("nirs2/data1", 1, None, [(1, 1, 1)])):
        cols = [(s, d, w, g) for s, d, w in ch for g in (3, 1, 2)]
        f[f"{block}/dataTimeSeries"] = [[5000 * i + 1000 * s + 100 * d + 10 * w + g for s, d, w, g in cols] for i in range(frames)]
        f.update(ml_arrays(block, **{n: [c[i] for c in cols] for i, n in enumerate(("sourceIndex", "detectorIndex",
                                                                              "wavelengthIndex", "dataTypeIndex"))}))
        f.update(ml_arrays(block, dataType=[201] * len(cols), **({"dataTypeLabel": [label] * len(cols)} if label else {})))
    h5(tmp_path / "g.snirf", f)
    m = tio.read_snirf(tmp_path / "g.snirf")
    row = lambda s, d, w: 1000 * s + 100 * d + 10 * w + np.array([3, 2, 1])
    np.testing.assert_array_equal(m.t_ps, [50, 150, 250])
    np.testing.assert_array_equal(m.counts, [row(2, 1, 1), row(1, 2, 2), row(1, 3, 1) + 0.5, row(1, 3, 1) + 5000.5, row(1, 1, 1)[::-1]])
    np.testing.assert_array_equal(m.irf.counts, [row(2, 1, 1), row(1, 2, 2), row(1, 3, 1)])
    np.testing.assert_allclose(m.rho_mm, [10 * 10**0.5, 50, 10 * 2**0.5, 10 * 2**0.5, 7], rtol=1e-15)
    assert list(m.wavelength_nm) == [692.5, 830, 690, 690, 760] and m.acquisition_time_s == 4.5
    assert m.channel_names[0] == "/nirs1/data1: S2-D1 wavelength 1" and m.channel_names[3] == "/nirs1/data2: S1-D3 wavelength 1 frame 2"


def test_snirf_round_trip_bit_for_bit_and_valid(tmp_path):
    t = 3.3 + (np.arange(7) + 0.5) * 12.2
    rng = np.random.default_rng(4)
    m = tio.Measurement(t, rng.integers(0, 2**40, (3, 7)), 12.2, [760, 830, 760], [20, 30, 20], 4.5)
    irf = tio.Measurement(t, rng.integers(0, 99, (3, 7)), 12.2)
    for lists in ("groups", "arrays"):  # SNIRF 1.1's measurementList1, ...; the arrays of the version after it
        tio.write_snirf(tmp_path / "m.snirf", m, irf=irf, lists=lists)
        r = tio.read(tmp_path / "m.snirf")
        for a, b in [(r.t_ps, m.t_ps), (r.counts, m.counts), (r.irf.counts, irf.counts), (r.rho_mm, m.rho_mm),
                     (r.wavelength_nm, m.wavelength_nm), (r.bin_width_ps, m.bin_width_ps)]:
            assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
        if lists == "groups":
            with h5py.File(tmp_path / "m.snirf", "r") as f:
                assert f["formatVersion"][()] == b"1.1" and f["nirs/data2/measurementList12/detectorIndex"][()] == 2
    with h5py.File(tmp_path / "m.snirf", "r") as f:  # SNIRF's required fields; strings variable-length, scalars scalar
        for k in ("SubjectID", "MeasurementDate", "MeasurementTime", "LengthUnit", "TimeUnit", "FrequencyUnit"):
            assert h5py.check_string_dtype(f["nirs/metaDataTags/" + k].dtype).length is None and f["nirs/metaDataTags/" + k].shape == ()
        assert f["formatVersion"].shape == () and f["nirs/probe/sourcePos3D"].shape == (1, 3)
        assert f["nirs/data1/dataTimeSeries"].shape == (1, 21) and f["nirs/data1/time"].shape == (1,)
        p, ml = f["nirs/probe"], f["nirs/data2/measurementLists"]
        assert {k: ml[k].shape for k in ml} == {k: (21,) for k in ("sourceIndex", "detectorIndex", "wavelengthIndex",
                                                                   "dataType", "dataTypeIndex", "dataTypeLabel")}
        k = 7 + 4  # channel 2, gate 5: 830 nm, 30 mm
        assert p["wavelengths"][ml["wavelengthIndex"][k] - 1] == 830 and ml["dataType"][k] == 201
        assert p["detectorPos3D"][ml["detectorIndex"][k] - 1][0] == 30 and ml["dataTypeLabel"][k] == b"IRF"
        assert abs(p["timeDelays"][ml["dataTypeIndex"][k] - 1] - (t[4] - 6.1) * 1e-12) < 1e-24


@pytest.mark.parametrize("patch", ["free space of 0 bytes", "TimeUnit longer than its reference"])
def test_damaged_global_heap_refused_not_crashed_on(tmp_path, patch):
    """libhdf5 loops forever on the first damage and writes past its buffer on the second."""
    h5(tmp_path / "g.snirf", snirf_base(nirs_metaDataTags_TimeUnit="s", nirs_metaDataTags_LengthUnit="mm"))
    b = bytearray((tmp_path / "g.snirf").read_bytes())
    at = b.index(b"GCOL\x01\0\0\0") + 16  # objects: index u16, references u16, 4 reserved, size u64, data
    if patch.startswith("free"):
        while struct.unpack_from("<H", b, at)[0]:
            at += 16 + (struct.unpack_from("<Q", b, at + 8)[0] + 7) // 8 * 8
    else:
        at = b.index(b"\x01" + bytes(7) + b"s") - 8  # TimeUnit "s": 1 byte
    struct.pack_into("<Q", b, at + 8, 0 if patch.startswith("free") else 8)
    (tmp_path / "g.snirf").write_bytes(b)
    with pytest.raises(ValueError, match="g.snirf: .*(global heap collection at byte|does not hold it)"):
        tio.read_snirf(tmp_path / "g.snirf")


def test_snirf_moments_by_hand(tmp_path):
    """dataType 301 as SNIRF documents it: momentOrders indexed by dataTypeIndex (here not in order), N, <t> and
    V per channel and frame; TimeUnit ms for time (start, step) and for moments without a dataUnit; 2-D positions."""
    f = {"formatVersion": "1.1", "nirs/metaDataTags/TimeUnit": "ms", "nirs/probe/wavelengths": [690.0, 830.0],
         "nirs/probe/sourcePos2D": [[0.0, 0]], "nirs/probe/detectorPos2D": [[30.0, 0], [0, 15.0]],
         "nirs/probe/momentOrders": [2.0, 0, 1], "nirs/data1/time": [10.0, 250.0],
         "nirs/data1/dataTimeSeries": [[5e5, 2e-6, 4e-14, 1e6, 1.5e-6, 3e5], [6e5, 2.5e-6, 5e-14, 2e6, 1.25e-6, 2e5],
                                      [7e5, 3e-6, 6e-14, 3e6, 1e-6, 1e5]]}
    for k, (d, w, index, unit) in enumerate([(1, 1, 2, None), (1, 1, 3, None), (1, 1, 1, None), (2, 2, 2, None),
                                             (2, 2, 3, None), (2, 2, 1, "ps^2")], start=1):
        f.update({f"nirs/data1/measurementList{k}/{n}": v for n, v in dict(
            sourceIndex=1, detectorIndex=d, wavelengthIndex=w, dataType=301, dataTypeIndex=index).items()})
        if unit:
            f[f"nirs/data1/measurementList{k}/dataUnit"] = unit
    h5(tmp_path / "m.snirf", f)
    mo = tio.read_snirf_moments(tmp_path / "m.snirf")
    np.testing.assert_allclose(mo.frame_times_s, [0.01, 0.26, 0.51], rtol=1e-15)
    np.testing.assert_array_equal(mo.N, [[5e5, 1e6], [6e5, 2e6], [7e5, 3e6]])
    np.testing.assert_allclose(mo.mean_ps, [[2000, 1500], [2500, 1250], [3000, 1000]], rtol=1e-15)
    np.testing.assert_allclose(mo.variance_ps2, [[4e4, 3e5], [5e4, 2e5], [6e4, 1e5]], rtol=1e-15)
    assert list(mo.rho_mm) == [30, 15] and list(mo.wavelength_nm) == [690, 830]
    with pytest.raises(ValueError, match="m.snirf: .*dataType 301.*read_snirf_moments"):
        tio.read(tmp_path / "m.snirf")
    for edit, message in (({"nirs/probe/momentOrders": [3.0, 0, 1]}, "moment order 3 is not read"),
                          ({"nirs/data1/measurementList6/dataUnit": "mm"}, "dataUnit 'mm' .* order 2 is not a time")):
        h5(tmp_path / "m.snirf", {**f, **edit})
        with pytest.raises(ValueError, match="m.snirf: .*" + message):
            tio.read_snirf_moments(tmp_path / "m.snirf")


def test_recordings_round_trip_bit_for_bit(tmp_path):
    rng, t = np.random.default_rng(2), 1.5 + (np.arange(6) + 0.5) * 24.4
    times = np.cumsum(rng.uniform(0.1, 0.3, 4))
    m = tio.Measurement(t, rng.integers(0, 2**40, (4, 3, 6)), 24.4, [690, 830, 830], [10, 30, 30], frame_times_s=times)
    mo = tio.Moments(*rng.uniform(1e2, 1e6, (3, 4, 3)), times, [690, 830, 830], [10, 30, 30])
    tio.write_snirf(tmp_path / "r.snirf", m, irf=tio.Measurement(t, np.eye(3, 6), 24.4))
    tio.write_snirf_moments(tmp_path / "m.snirf", mo)
    r, rm = tio.read_snirf(tmp_path / "r.snirf", frames=True), tio.read_snirf_moments(tmp_path / "m.snirf")
    for a, b in [(r.counts, m.counts), (r.frame_times_s, times), (r.irf.counts, np.eye(3, 6)), (r.t_ps, m.t_ps),
                 (r.rho_mm, m.rho_mm), (r.wavelength_nm, m.wavelength_nm), (rm.frame_times_s, times)] + \
            [(getattr(rm, k), getattr(mo, k)) for k in ("N", "mean_ps", "variance_ps2", "rho_mm", "wavelength_nm")]:
        assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
    assert tio.read(tmp_path / "r.snirf").counts.shape == (12, 6)  # frames as further channels, as before


def snirf_base(**edit):
    """A valid gated file of one channel and three gates (1e-11 s), the fields of `edit` replaced (None: left out)."""
    f = {"formatVersion": "1.1", "nirs/metaDataTags/TimeUnit": "s", "nirs/probe/wavelengths": [760.0],
         "nirs/probe/sourcePos3D": [[0.0, 0, 0]], "nirs/probe/detectorPos3D": [[20.0, 0, 0]],
         "nirs/probe/timeDelays": [0, 1e-11, 2e-11], "nirs/probe/timeDelayWidths": [1e-11] * 3,
         "nirs/data1/dataTimeSeries": [[1.0, 2, 3]], "nirs/data1/time": [0.0]}
    f.update(ml_arrays("nirs/data1", sourceIndex=[1] * 3, detectorIndex=[1] * 3, wavelengthIndex=[1] * 3,
                       dataType=[201] * 3, dataTypeIndex=[1, 2, 3]))
    f.update({k.replace("_", "/"): v for k, v in edit.items()})
    return {k: v for k, v in f.items() if v is not None}


HUGE = lambda f, k: f.create_dataset(k, shape=(1, 400_000_000) if "Series" in k else (400_000_000,), chunks=(1 << 16,)
                                    if "Series" not in k else (1, 1 << 16), dtype="f8")
L = "nirs_data1_measurementLists_"
BAD_SNIRF = [(dict(nirs_probe_timeDelays=["a", "b", "c"]), "timeDelays is text"),
             ({L + "dataTypeIndex": [1, np.inf, 3]}, "dataTypeIndex holds inf, not an index"),
             ({L + "wavelengthIndex": [0, 0, 0]}, "wavelengthIndex holds 0"),
             ({L + "detectorIndex": [2, 2, 2]}, "detector index 2 is outside detectors"),
             (dict(nirs_data1_dataTimeSeries=[[1.0]], **{L + k: [v] for k, v in (("sourceIndex", 1), ("detectorIndex", 1),
               ("wavelengthIndex", 1), ("dataType", 201), ("dataTypeIndex", 1))}), "one gate only"),
             ({L + "dataTypeIndex": [1, 1, 3]}, "gate 1 .* twice"),
             ({"nirs/metaDataTags/Note/x": 1}, "metaDataTags/Note is a group"),
             (dict(nirs_probe_timeDelays=[0, 1e-11, 3e-11]), "not contiguous"),
             (dict(nirs_data1_dataTimeSeries=HUGE), "per column of dataTimeSeries \\(400000000\\)"),
             (dict(nirs_data1_dataTimeSeries=HUGE, **{L + k: HUGE for k in ("sourceIndex", "detectorIndex")}),
              "declares shape \\(400000000,\\).*more than a file"),
             (dict(nirs_data1_dataTimeSeries=[[1.0, -2, 3]]), "1 negative values"),
             (dict(nirs_data1_dataTimeSeries=[1.0, 2, 3]), "must be a 2-d array"),
             (dict(nirs_metaDataTags_TimeUnit="fortnight"), "TimeUnit 'fortnight'"),
             ({"nirs/data1/measurementList1/sourceIndex": 1}, "both measurementList1, ... and measurementLists"),
             ({**{L + k: None for k in ("sourceIndex", "detectorIndex", "wavelengthIndex", "dataType", "dataTypeIndex")},
               **{f"nirs/data1/measurementList{k}/{n}": 1 for k in (1, 2, 4) for n in ("sourceIndex", "detectorIndex",
                  "wavelengthIndex", "dataTypeIndex")}}, "skips measurementList3"),
             ({L + "dataType": [1, 1, 1]}, "data1: column 1 has dataType 1"),
             ({L + "dataTypeLabel": ["IRF", "", ""]}, "some measurement-list entries are labelled 'IRF'"),
             ({"nirs/data2/dataTimeSeries": [[1.0, 2]], "nirs/data2/measurementLists/dataType": [201, 201],
               **ml_arrays("nirs/data2", sourceIndex=[1, 1], detectorIndex=[1, 1], wavelengthIndex=[1, 1],
                           dataTypeIndex=[1, 2])}, "data2: its gates \\(2 from 5 ps\\) differ")]


@pytest.mark.parametrize("edit, message", BAD_SNIRF, ids=[m[:24] for _, m in BAD_SNIRF])
def test_malicious_snirf_refused_by_name(tmp_path, edit, message):
    h5(tmp_path / "g.snirf", snirf_base(**edit))
    assert os.path.getsize(tmp_path / "g.snirf") < 100_000
    with pytest.raises(ValueError, match=re.escape(str(tmp_path / "g.snirf")) + ": .*" + message):
        tio.read_snirf(tmp_path / "g.snirf")
    if message.startswith("timeDelays"):  # what is not a regular file is refused before it is opened
        os.mkfifo(tmp_path / "f.snirf")
        with pytest.raises(ValueError, match="f.snirf: is a FIFO"):
            tio.read_snirf(tmp_path / "f.snirf")


BAD = [("a.phu", lambda: phu()[:-3], "past the end"),
       ("a.phu", lambda: b"PQHISTX" + phu()[7:], "magic"),
       ("a.phu", lambda: phu(offset_shift=10**6), "curve 0 at byte .* past the end"),
       ("a.phu", lambda: phu(res=(float("nan"), 4e-12)), "MDescResolution\\(0\\) must be a bin width"),
       ("a.phu", lambda: phu(res=(4e-12, 8e-12)), "curve 1 has 6 bins of 8 ps, curve 0 6 of 4 ps"),
       ("a.phu", lambda: phu(slots=(0, 0)), "curves 0 and 1 share data bytes"),
       ("a.phu", lambda: phu(offset_shift=-600), "curve 0: data offset 99 points into the header"),
       ("b.ptu", lambda: ptu()[:-2], "6 records at byte .* past the end"),
       ("b.ptu", lambda: ptu(0x00010203), "PicoHarp T2 records are not supported"),
       ("b.ptu", lambda: ptu(res=1e-300, sync=1), "MeasDesc_Resolution must be a bin width"),
       ("d.sdt", lambda: sdt(valid=0x1111), "header_valid 0x1111"),
       ("d.sdt", lambda: sdt()[:-30], "past the end|corrupt"),
       ("d.sdt", lambda: sdt(type0=0x211, raw0=np.array([1, 2, -3, 0, 0, 0], "<f8").tobytes()), "1 negative values"),
       ("d.sdt", lambda: sdt(loop=True), "block 1: the chain of blocks comes back"),
       ("d.sdt", lambda: sdt(shared=True, type1=0x101), "blocks 0 and 1 share bytes"),
       ("d.sdt", lambda: sdt(len1=48), "block 1: the ZIP member holds 24 bytes, the header says 48"),
       ("d.sdt", lambda: sdt(zip_patch=(8, "<H", 1)), "block 1: the ZIP member is encrypted"),
       ("d.sdt", lambda: sdt(zip_patch=(10, "<H", 99)), "ZIP compression method 99 is not supported"),
       ("d.sdt", lambda: sdt(len1=24 * 89478485), "counts would take 4096 MiB, more than"),
       ("d.sdt", lambda: sdt(blocks=0x7FFF), "1000000000 data blocks"),
       ("d.sdt", lambda: sdt(type0=0x061), "data block 0: IMG_BLOCK is not supported"),
       ("d.sdt", lambda: sdt(info=b"*SETUP\r\n" + bytes(44)), "info block does not start with \\*IDENTIFICATION"),
       ("e.csv", lambda: text("0.0025;1;2\n0.0075;nan;3\n"), "not finite"),
       ("e.csv", lambda: text("0.0025;1;2\n0.0075;0;3\n0.013;5;0\n"), "not equally spaced"),
       ("e.csv", lambda: text("0,0025;1;2\n0,0075;0;3\n"), "decimal commas"),
       ("e.csv", lambda: text(acq=""), "acquisition_time_s: one number of seconds expected"),
       ("e.csv", lambda: text(acq="-2"), "acquisition_time_s must be finite and >= 0"),
       ("e.csv", lambda: text(header="t [ns];a;b\n# wavelength_nm: inf, 830"), "wavelength_nm must be finite"),
       ("e.csv", lambda: text(header="".join(f"# k{i}: v\n" for i in range(10001))), "more than 10000 '# key: value'"),
       ("e.csv", lambda: text("0.0025;1;2\n" + "9" * (1 << 20) + "1"), "line 7 is longer than 1048576 characters"),
       ("e.csv", lambda: text("1e300;1;2\n2e300;0;3\n", header="t [s];a;b"), "time axis runs from inf"),
       ("e.csv", lambda: text("0.0025;1;2\n0.0075;0\x01;3\n"), "line 7: control character 0x01"),
       ("g.snirf", lambda: b"\x89HDF\r\n\x1a\n" + bytes(40), "not a readable HDF5 file")]
READERS = {".phu": tio.read_phu, ".ptu": tio.read_ptu, ".sdt": tio.read_sdt, ".csv": tio.read_text}


@pytest.mark.parametrize("name, build, message", BAD, ids=[f"{n}-{m[:20]}" for n, _, m in BAD])
def test_corrupt_files_are_refused_by_name(tmp_path, name, build, message):
    p = tmp_path / name
    p.write_bytes(build())
    for read in (tio.read, READERS.get(p.suffix, tio.read)):
        with pytest.raises(ValueError, match=re.escape(str(p)) + ": .*" + message):
            read(p)


@pytest.mark.parametrize("read", [tio.read, *READERS.values()])
def test_only_regular_files_are_read(tmp_path, read):
    os.mkfifo(tmp_path / "f")
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("blocked on a FIFO"))
    signal.alarm(10)  # a reader that opens the FIFO blocks: fail rather than hang
    with pytest.raises(ValueError, match="f: is a FIFO"):
        read(tmp_path / "f")
    signal.alarm(0)
    with pytest.raises(IsADirectoryError, match="is a folder"):
        read(tmp_path)


@pytest.mark.parametrize("name", ["csv/phantom.csv", "phu/phantom_1.phu", "ptu/phantom.ptu", "sdt/phantom.sdt",
                                  "snirf/phantom.snirf"])
def test_a_path_swapped_after_the_check_is_not_read(source_dir, tmp_path, monkeypatch, name):
    p = tmp_path / os.path.basename(name)  # swapped for an empty file right after it is opened: a reader
    shutil.copy(source_dir / "examples" / "measurements" / name, p)  # that opens it again by name fails
    expected, real_open = tio.read(p), os.open

    def open_then_swap(path, *args, **kwargs):
        fd = real_open(path, *args, **kwargs)
        if os.fspath(path) == str(p):
            (tmp_path / "empty").write_bytes(b"")
            os.replace(tmp_path / "empty", p)
        return fd
    monkeypatch.setattr(os, "open", open_then_swap)
    for read in (tio.read, READERS.get(p.suffix, tio.read_snirf)):
        np.testing.assert_array_equal(read(p).counts, expected.counts)
        shutil.copy(source_dir / "examples" / "measurements" / name, p)


def test_text_is_never_taken_for_a_binary_format(tmp_path):
    p, q, h = tmp_path / "t.txt", tmp_path / "u.txt", tmp_path / "h.txt"  # bytes 32-33 0x5555 are SDT's header_valid
    p.write_bytes(b"Lag [ns] counts_a counts_b______UU\n1 2 3\n2 3 4\n")
    q.write_bytes("t [ns]\tcounts_a\u5555\n1\t2\n2\t3\n".encode("utf-16"))  # BOM FF FE: SDT revision 15
    assert tio.read(p).format == tio.read(q).format == "text"
    with h5py.File(h, "w", userblock_size=512) as f:  # HDF5 after a user block, whatever the name
        f["x"] = 1
    with pytest.raises(ValueError, match="not a SNIRF file"):
        tio.read(h)


@pytest.mark.parametrize("write", [
    lambda p, m: tio.write_text(p, m), lambda p, m: tio.write_snirf(p, m),
    lambda p, m: write_table(p, pd.DataFrame({"a": [1]})),
    lambda p, m: tdcyl.write_input(p, [tdcyl.Layer(1.0, 0.01, 1.4, 10.0)], 30.0, 15.0)])
def test_writers_keep_links_and_modes(tmp_path, write):
    m, target, link = tio.Measurement([5, 15], [[1, 2]], 10), tmp_path / "d" / "target", tmp_path / "link"
    target.parent.mkdir()
    target.write_bytes(b"old")
    target.chmod(0o600)
    link.symlink_to(target)
    write(link, m)
    assert link.is_symlink() and target.read_bytes() != b"old" and stat.S_IMODE(target.stat().st_mode) == 0o600
    with pytest.raises(ZeroDivisionError), tdcyl._atomic.replaced_atomically(target, ".x-") as tmp:
        open(tmp, "w").write(str(1 / 0))
    assert os.listdir(tmp_path / "d") == ["target"]
    old = os.umask(0o027)
    write(tmp_path / "new", m)
    assert os.umask(old) == 0o027 and stat.S_IMODE((tmp_path / "new").stat().st_mode) == 0o640


def fit_command(*args):
    cmd = [os.environ["TDCYL_FIT"]] if "TDCYL_FIT" in os.environ else [sys.executable, "-m", "tdcyl.fit_command"]
    return subprocess.run(cmd + [str(a) for a in args], capture_output=True, text=True, timeout=300)


def test_fit_command_on_a_folder(tmp_path, source_dir):
    ex = source_dir / "examples" / "measurements"
    folder = tmp_path / "m"
    folder.mkdir()
    shutil.copy(ex / "sdt" / "phantom.sdt", folder)
    shutil.copy(ex / "csv" / "phantom.csv", folder)
    (folder / "broken.phu").write_bytes(b"PQHISTO\0" + bytes(30))
    runs = [fit_command(folder, "--irf", ex / "sdt" / "irf.sdt", "--model", ex / "model.toml", "--out",
                        tmp_path / "r.csv") for _ in range(2)]
    table = pd.read_csv(tmp_path / "r.csv")
    assert table["status"].tolist() == ["failed", "ok", "ok"]  # files in name order
    assert "broken.phu: truncated header" in table["message"][0]
    assert ((table["mua1"][1:] - 0.010).abs() < 3 * table["mua1_sigma"][1:]).all()
    for run, now in zip(runs, ("2 fitted now", "0 fitted now")):
        assert run.returncode == 1, run.stderr
        assert re.search(f"3 curves in 3 files: {now}.*2 ok, 0 not converged, 0 rejected.*, 1 failed",
                         run.stderr.splitlines()[-1])


def test_fit_command_global_over_the_files_of_one_measurement(tmp_path):
    # Two files (15 and 25 mm) of curves at 760 and 830 nm: one layer of 50 uM HbO2, 20 uM HHb, 70 % water.
    t, rng = (np.arange(400) + 0.5) * 12.2, np.random.default_rng(5)
    irf = np.exp(-0.5 * ((t - 800.0) / 64.0) ** 2)
    for rho in (15.0, 25.0):
        counts = []
        for wl in (760.0, 830.0):
            mua = float(tdcyl.spectra.absorption(wl, HbO2=50, HHb=20, water=0.7))
            c = tdcyl.reflectance([tdcyl.Layer(1.0, mua, 1.4, 40.0)], 30.0, rho, all_samples=True)
            e = tdcyl.convolve_irf(c.t_ps, c.reflectance, t, irf)
            counts.append(rng.poisson(np.clip(e, 0, None) * 1e6 / e.sum()))
        tio.write_text(tmp_path / f"{rho:g}.csv", tio.Measurement(t, np.array(counts), 12.2, [760, 830], [rho] * 2))
    tio.write_text(tmp_path / "irf.csv", tio.Measurement(t, irf[None] * 1e5, 12.2, [800], [0]))
    (tmp_path / "m.toml").write_text("radius = 30.0\n[[layers]]\nmusp = 1.0\nmua = 0.01\nn = 1.4\nthickness = 40.0\n"
                                     '[fit]\nfree = ["HbO2_1", "HHb_1"]\nstarts = 1\n'
                                     "[fit.spectral]\nHbO2_1 = 30.0\nHHb_1 = 30.0\nwater_1 = 0.7\n")
    args = ["--global", tmp_path / "15.csv", tmp_path / "25.csv", "--irf", tmp_path / "irf.csv", "--model",
            tmp_path / "m.toml", "--out", tmp_path / "g.csv"]
    run = fit_command(*args)
    row = pd.read_csv(tmp_path / "g.csv").iloc[0]
    assert run.returncode == 0 and (row["status"], row["curves"]) == ("ok", 4) and "StO2_1" in run.stdout, run.stderr
    for name, true in (("HbO2_1", 50), ("HHb_1", 20), ("tHb_1", 70), ("StO2_1", 50 / 70)):
        assert abs(row[name] - true) < 3 * row[f"{name}_sigma"], name
    assert row["HbO2_1_low"] < 50 < row["HbO2_1_high"]
    run = fit_command(*args, "--workers", "2")
    assert run.returncode == 2 and "--global fits in this process" in run.stderr
