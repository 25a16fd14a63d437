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


def test_snirf_by_hand(tmp_path):
    """Gates indexed out of order, entries shuffled, 3-4-5 positions in cm."""
    p = tmp_path / "g.snirf"
    with h5py.File(p, "w") as f:
        f["formatVersion"] = "1.1"
        f["nirs/metaDataTags/TimeUnit"] = "ns"
        f["nirs/metaDataTags/LengthUnit"] = "cm"
        f["nirs/probe/wavelengths"] = [690.0, 830.0]
        f["nirs/probe/sourcePos3D"] = [[0.0, 0.0, 0.0]]
        f["nirs/probe/detectorPos3D"] = [[3.0, 4.0, 0.0]]
        f["nirs/probe/timeDelays"] = [0.2, 0.1, 0.0]  # gate 3 is the first in time
        f["nirs/probe/timeDelayWidths"] = [0.1, 0.1, 0.1]
        entries = [(2, 1), (1, 3), (2, 3), (1, 1), (1, 2), (2, 2)]  # (wavelength, gate)
        f["nirs/data1/dataTimeSeries"] = [[100 * w + g for w, g in entries]]
        for k, (w, g) in enumerate(entries, start=1):
            for key, v in dict(sourceIndex=1, detectorIndex=1, wavelengthIndex=w, dataType=201,
                               dataTypeIndex=g).items():
                f[f"nirs/data1/measurementList{k}/{key}"] = v
    m = tio.read(p)
    np.testing.assert_array_equal(m.t_ps, [50, 150, 250])
    np.testing.assert_array_equal(m.counts, [[203, 202, 201], [103, 102, 101]])
    assert list(m.wavelength_nm) == [830, 690] and list(m.rho_mm) == [50, 50]


def test_snirf_round_trip(tmp_path):
    t = 3.3 + (np.arange(7) + 0.5) * 12.2
    rng = np.random.default_rng(4)
    m = tio.Measurement(t, rng.integers(0, 2**40, (3, 7)), 12.2, [760, 830, 760], [20, 20, 20], 4.5)
    irf = tio.Measurement(t, rng.integers(0, 99, (3, 7)), 12.2)
    tio.write_snirf(tmp_path / "m.snirf", m, irf=irf)
    r = tio.read(tmp_path / "m.snirf")
    for a, b in [(r.t_ps, m.t_ps), (r.counts, m.counts), (r.irf.counts, irf.counts), (r.rho_mm, m.rho_mm),
                 (r.wavelength_nm, m.wavelength_nm), (r.bin_width_ps, m.bin_width_ps)]:
        assert np.asarray(a).tobytes() == np.asarray(b).tobytes()
    with h5py.File(tmp_path / "m.snirf", "r") as f:  # the fields SNIRF requires
        tags = f["nirs/metaDataTags"]
        assert {"SubjectID", "MeasurementDate", "MeasurementTime", "LengthUnit", "TimeUnit", "FrequencyUnit"} <= set(tags)
        assert f["formatVersion"][()] and f["nirs/data1/dataTimeSeries"].shape == (1, 21)
        assert f["nirs/data1/time"].shape == (1,) and f["nirs/probe/wavelengths"][:].tolist() == [760, 830]
        e = f["nirs/data1/measurementList9"]
        assert [int(e[k][()]) for k in ("sourceIndex", "wavelengthIndex", "dataType", "dataTypeIndex")] == [1, 2, 201, 2]
        assert f["nirs/probe/sourcePos3D"].shape == (1, 3) and f["nirs/probe/timeDelays"].shape == (7,)


BAD = [("a.phu", lambda: phu()[:-3], "past the end"),
       ("a.phu", lambda: b"PQHISTX" + phu()[7:], "magic"),
       ("a.phu", lambda: phu(offset_shift=10**6), "curve 0 at byte .* past the end"),
       ("a.phu", lambda: phu(res=float("nan")), "MDescResolution\\(0\\) must be a bin width"),
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
