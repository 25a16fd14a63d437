"""Measurement files built byte by byte from the formats' public layouts; tdcyl-fit."""
import io
import os
import re
import shutil
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

C = np.array([[0, 3, 60000, 5, 1, 0], [2, 0, 9, 4, 4000000000, 7]], dtype=np.uint32)
INT, FLOAT, ANSI, EMPTY = 0x10000008, 0x20000008, 0x4001FFFF, 0xFFFF0008


def tag(name, value, index=-1, kind=INT):  # 32-byte name, int32 index, uint32 type, 8-byte value
    raw = struct.pack("<d", value) if kind == FLOAT else struct.pack("<q", value)
    return name.encode().ljust(32, b"\0") + struct.pack("<iI", index, kind) + raw


def phu(res=4e-12, offset_shift=0):
    tags = [tag("File_Comment", 8, kind=ANSI) + b"comment\0", tag("HistoResult_NumberOfCurves", 2)]
    start = 16 + 48 * 9 + 8 + 16  # header, then 16 bytes of padding before the data
    for i in range(2):
        tags += [tag("HistResDscr_HistogramBins", 6, i), tag("HistResDscr_MDescResolution", res, i, FLOAT),
                 tag("HistResDscr_DataOffset", start + 24 * i + offset_shift, i)]
    return b"PQHISTO\0" + b"1.0.00\0\0" + b"".join(tags) + tag("Header_End", 0, kind=EMPTY) + bytes(16) + C.tobytes()


def ptu(rtype=0x01010304, records=None):
    if records is None and rtype == 0x00010303:  # PicoHarp: channel 4 bits (15 special), dtime 12, nsync 16
        records = [1 << 28 | 2 << 16 | 5, 1 << 28 | 2 << 16 | 9, 3 << 28 | 0 << 16, 15 << 28 | 0, 1 << 28 | 7 << 16]
    elif records is None:  # HydraHarp V2: special 1 bit, channel 6 (0-based), dtime 15, nsync 10
        records = [0 << 25 | 2 << 10 | 5, 0 << 25 | 2 << 10 | 9, 2 << 25 | 0 << 10, 1 << 31 | 63 << 25 | 3,
                   1 << 31 | 1 << 25 | 7 << 10, 0 << 25 | 7 << 10]
    tags = [tag("TTResultFormat_TTTRRecType", rtype), tag("TTResult_NumberOfRecords", len(records)),
            tag("MeasDesc_Resolution", 25e-12, kind=FLOAT), tag("TTResult_SyncRate", 4_000_000_000),
            tag("MeasDesc_AcquisitionTime", 1500)]
    return b"PQTTTR\0\0" + b"1.0.00\0\0" + b"".join(tags) + tag("Header_End", 0, kind=EMPTY) + \
        struct.pack(f"<{len(records)}I", *records)


def sdt(valid=0x5555, block_type=0x000, values=None):
    info = b"*IDENTIFICATION\r\n ID : SPC Setup & Data File\r\n*END\r\n"
    desc = bytearray(120)
    struct.pack_into("<fh", desc, 64, 60e-12, 2)  # tac_r, tac_g: bins of 60 ps / (2 * 6) = 5 ps
    struct.pack_into("<hf", desc, 82, 6, 0.0)
    struct.pack_into("<f", desc, 92, 2.5)          # collection time, s
    raw = values if values is not None else C[0].astype("<u2").tobytes()
    z = io.BytesIO()
    with zipfile.ZipFile(z, "w") as f:
        f.writestr("data_block", C[1].astype("<u4").tobytes())
    z = z.getvalue()
    b0 = 42 + len(info) + 120
    b1 = b0 + 22 + len(raw)
    head = struct.pack("<hihihihiihhHIHH", 0x24C, 42, len(info), 0, 0, b0, 2, 0, 42 + len(info), 1, 120, valid,
                       0, 0, 0)
    return head + info + bytes(desc) + struct.pack("<hiiHhII", 0, b0 + 22, b1, 0x001 | block_type, 0, 0,
                                                    len(raw)) + raw + \
        struct.pack("<hiiHhII", 1, b1 + 22, b1 + 22 + len(z), 0x1101, 0, 0, 24) + z


def text(rows="0.0025;1;2\n0.0075;0;3\n0.0125;5;0\n"):
    return ("% a comment\n# wavelength_nm: 760, 830\n# rho_mm: 30\n# acquisition_time_s: 2\nt [ns];a;b\n"
            + rows).encode()


def test_readers(tmp_path):
    for name, data in [("a.phu", phu()), ("b.ptu", ptu()), ("c.ptu", ptu(0x00010303)), ("d.sdt", sdt()),
                       ("e.csv", text())]:
        (tmp_path / name).write_bytes(data)
    m = tio.read(tmp_path / "a.phu")
    assert m.format == "phu" and np.array_equal(m.counts, C) and m.bin_width_ps == 4.0
    np.testing.assert_array_equal(m.t_ps, [2, 6, 10, 14, 18, 22])
    assert m.meta["File_Comment"] == "comment" and np.isnan(m.rho_mm).all()
    for name in ("b.ptu", "c.ptu"):  # sync period 250 ps / 25 ps = 10 bins; specials and markers left out
        m = tio.read(tmp_path / name)
        assert m.bin_width_ps == 25.0 and m.acquisition_time_s == 1.5
        np.testing.assert_array_equal(m.counts, [[0, 0, 2, 0, 0, 0, 0, 1, 0, 0], [1] + [0] * 9])
    m = tio.read(tmp_path / "d.sdt")
    assert m.format == "sdt" and np.array_equal(m.counts, C) and m.bin_width_ps == 5.0
    assert m.acquisition_time_s == 2.5 and m.meta["ID"] == "SPC Setup & Data File"
    m = tio.read(tmp_path / "e.csv")
    np.testing.assert_array_equal(m.t_ps, [2.5, 7.5, 12.5])
    np.testing.assert_array_equal(m.counts, [[1, 0, 5], [2, 3, 0]])
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
       ("a.phu", lambda: phu(res=float("nan")), "MDescResolution\\(0\\) must be a positive time"),
       ("b.ptu", lambda: ptu()[:-2], "6 records at byte .* past the end"),
       ("b.ptu", lambda: ptu(0x00010203), "PicoHarp T2 records are not supported"),
       ("d.sdt", lambda: sdt(valid=0x1111), "header_valid 0x1111"),
       ("d.sdt", lambda: sdt()[:-30], "past the end|corrupt"),
       ("d.sdt", lambda: sdt(block_type=0x200, values=np.array([1, 2, -3, 0, 0, 0], "<f8").tobytes()), "1 negative values"),
       ("e.csv", lambda: text("0.0025;1;2\n0.0075;nan;3\n"), "not finite"),
       ("e.csv", lambda: text("0,0025;1;2\n0,0075;0;3\n"), "decimal commas"),
       ("g.snirf", lambda: b"\x89HDF\r\n\x1a\n" + bytes(40), "not a readable HDF5 file")]


@pytest.mark.parametrize("name, build, message", BAD, ids=[f"{n}-{m[:20]}" for n, _, m in BAD])
def test_corrupt_files_are_refused_by_name(tmp_path, name, build, message):
    p = tmp_path / name
    p.write_bytes(build())
    with pytest.raises(ValueError, match=re.escape(str(p)) + ": .*" + message):
        tio.read(p)


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
