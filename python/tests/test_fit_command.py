"""tdcyl-fit as the batch tool of a study: nothing of the user's destroyed, reruns that refit what
changed, bad model files stopped before any work, per-detector IRFs, one global fit per file."""
import os
import re
import signal
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import tdcyl
import tdcyl.io as tio
from tdcyl._fit_model_file import UsageError, load_model
from tdcyl._study_files import digest, writer_lock
from tdcyl._study_irf import IrfSource

T = (np.arange(300) + 0.5) * 12.2
LAYER = tdcyl.Layer(1.0, 0.01, 1.4, 40.0)
MODEL = "radius = 30.0\n[[layers]]\nmusp = 1.0\nmua = 0.013\nn = 1.4\nthickness = 40.0\n"


def fit_command(*args):
    cmd = [os.environ["TDCYL_FIT"]] if "TDCYL_FIT" in os.environ else [sys.executable, "-m", "tdcyl.fit_command"]
    return subprocess.run(cmd + [str(a) for a in args], capture_output=True, text=True, timeout=300)


def irf_of(delay):
    return np.exp(-0.5 * ((T - delay) / 60.0) ** 2)


def curves(rhos, delays, seed, mua=0.01):
    """Poisson counts at the distances, each channel through its own IRF (its detector's delay)."""
    layer = tdcyl.Layer(1.0, mua, 1.4, 40.0)
    rng, out = np.random.default_rng(seed), []
    for rho, d in zip(rhos, delays):
        c = tdcyl.reflectance([layer], 30.0, rho, all_samples=True)
        m = tdcyl.convolve_irf(c.t_ps, c.reflectance, T, irf_of(d))
        out.append(rng.poisson(np.clip(m, 0, None) * 3e5 / m.sum()).astype(float))
    return np.array(out)


@pytest.fixture(scope="module")
def study(tmp_path_factory):
    """Two files of two detectors (15, 25 mm, delays 400 and 650 ps), one in a subfolder; the IRFs
    in a folder, one file per detector named by its channel."""
    root = tmp_path_factory.mktemp("study")
    (root / "data" / "day2").mkdir(parents=True)
    (root / "irfs").mkdir()
    for k, d in enumerate((400.0, 650.0)):
        tio.write_text(root / "irfs" / f"counts_{k}.csv", tio.Measurement(T, irf_of(d)[None] * 1e4, 12.2))
    for name, seed in (("data/a.csv", 1), ("data/day2/b.csv", 2)):
        tio.write_text(root / name, tio.Measurement(T, curves((15.0, 25.0), (400.0, 650.0), seed), 12.2,
                                                    [760.0, 760.0], [15.0, 25.0]))
    (root / "m.toml").write_text(MODEL + '[fit]\nfree = ["mua1", "musp1"]\nstarts = 1\n')
    return root


def run(study, *extra, out="r.csv"):
    return fit_command(study / "data", "--irf", study / "irfs", "--model", study / "m.toml", "--out",
                       study / out, "--workers", "1", *extra)


def test_per_detector_irfs_and_reruns(study):
    # The results go into the scanned folder, beside an older table: neither is read as a measurement.
    (study / "data" / "old.csv").write_text("file,channel,status\nx.csv,0,ok\n")
    first = run(study, out="data/r.csv")
    table = pd.read_csv(study / "data" / "r.csv")
    assert first.returncode == 0 and "4 curves in 2 files" in first.stderr, first.stderr
    assert len(table) == 4 and set(table["status"]) == {"ok"}  # both files: the subfolder is scanned
    for _, row in table.iterrows():  # the same as a direct fit with the detector's own IRF
        m = tio.read(row["file"])
        ch = int(row["channel"])
        direct = tdcyl.fit(m, ch, (T, irf_of((400.0, 650.0)[ch])), {"layers": [tdcyl.Layer(1.0, 0.013, 1.4, 40.0)],
                                                                     "radius": 30.0})
        assert row["mua1"] == pytest.approx(direct.values["mua1"], rel=1e-6)  # the optimiser stops at ftol
        assert abs(row["mua1"] - 0.01) < 3 * row["mua1_sigma"]
    same = run(study, out="data/r.csv")  # nothing changed: nothing refitted
    assert same.returncode == 0 and "4 curves in 2 files: 0 fitted now" in same.stderr, same.stderr
    again = run(study, "--free", "mua1", out="data/r.csv")  # other options: every row again, with the new ones
    table = pd.read_csv(study / "data" / "r.csv")
    assert "4 fitted now (4 again" in again.stderr and "musp1" not in table.columns.drop("options")
    assert all('"free": ["mua1"]' in o for o in table["options"])
    one = fit_command(study / "data" / "a.csv", "--irf", study / "irfs", "--model", study / "m.toml", "--out",
                      study / "data" / "r.csv", "--free", "mua1")  # one file: the other's rows are kept
    assert one.returncode == 0 and "0 fitted now" in one.stderr
    assert pd.read_csv(study / "data" / "r.csv").equals(table)


def test_one_global_fit_per_file_is_the_global_fit_of_that_file(study):
    done = run(study, "--global", "--per-file", out="g.csv")
    table = pd.read_csv(study / "g.csv")
    assert done.returncode == 0, done.stderr
    assert list(table["curves"]) == [2, 2] and "2 fitted now" in done.stderr
    per_curve = pd.read_csv(study / "g.curves.csv")
    assert len(per_curve) == 4 and {"shift", "scale", "deviance_bins", "status"} <= set(per_curve.columns)
    for _, row in table.iterrows():
        m = tio.read(row["file"])
        chans = [dict(t_ps=T, counts=m.counts[k], irf=(T, irf_of(d)), rho=m.rho_mm[k], wavelength_nm=760.0)
                 for k, d in enumerate((400.0, 650.0))]
        g = tdcyl.fit_global(chans, {"layers": [tdcyl.Layer(1.0, 0.013, 1.4, 40.0)], "radius": 30.0},
                             ["mua1", "musp1"], starts=1)
        assert row["mua1"] == pytest.approx(g.values["mua1"], rel=1e-9)
        assert row["mua1@760"] == pytest.approx(g.optical(760.0)["mua1"][0], rel=1e-9)


def test_irf_block_of_a_snirf_file_per_channel(tmp_path):
    irfs = tio.Measurement(T, np.array([irf_of(400.0), irf_of(650.0)]) * 1e4, 12.2, [690.0, 690.0], [0.0, 0.0])
    m = tio.Measurement(T, curves((15.0, 25.0), (400.0, 650.0), 3), 12.2, [690.0, 690.0], [15.0, 25.0])
    tio.write_snirf(tmp_path / "s.snirf", m, irfs)
    source, read = IrfSource(tmp_path / "s.snirf"), tio.read(tmp_path / "s.snirf")
    for k in (0, 1):  # both at 690 nm: only the channel tells them apart
        assert np.array_equal(source.for_channel(read, k)[1], irfs.counts[k])
        assert np.array_equal(IrfSource(None).for_channel(read, k)[1], irfs.counts[k])


def test_fit_many_takes_measurements_and_flags_an_undetermined_parameter(study):
    # A 40-mm top layer seen at 15 and 25 mm: the layer below it is beyond the photons' reach.
    m, irfs = tio.read(study / "data" / "a.csv"), tio.Measurement(T, [irf_of(400.0), irf_of(650.0)], 12.2)
    model = {"layers": [tdcyl.Layer(1.0, 0.013, 1.4, 40.0), tdcyl.Layer(1.0, 0.01, 1.4, 20.0)], "radius": 30.0}
    table = tdcyl.fit_many(m, irfs, model, ("mua1", "musp1", "mua2"), workers=1)
    for ch, row in table.iterrows():
        direct = tdcyl.fit(m, ch, (T, irf_of((400.0, 650.0)[ch])), model, ("mua1", "musp1", "mua2"))
        assert row["mua1"] == pytest.approx(direct.values["mua1"], rel=1e-6)  # the optimiser stops at ftol
        assert (row["status"], row["message"]) == ("undetermined", "not determined by the data: mua2")


def foreign(path):
    path.write_text("subject,score\n1,2\n")


DATA_LOSS = {  # what --out names, and what the refusal says
    "the measurement": (lambda s: s / "data" / "a.csv", "is an input of this run"),
    "an IRF": (lambda s: s / "irfs" / "counts_0.csv", "is an input of this run"),
    "the model": (lambda s: s / "m.toml", "is an input of this run"),
    "a foreign table": (lambda s: s / "scores.csv", "is not a tdcyl-fit results table"),
    "a FIFO": (lambda s: s / "pipe", "not a regular file"),
}


@pytest.mark.parametrize("case", DATA_LOSS)
def test_out_never_destroys_what_the_user_owns(study, case):
    where, why = DATA_LOSS[case]
    target = where(study)
    if case == "a FIFO":
        os.mkfifo(target)
    elif case == "a foreign table":
        foreign(target)
        foreign(target.with_name("scores.curves.txt"))
    before = None if case == "a FIFO" else target.read_bytes()
    done = fit_command(study / "data", "--irf", study / "irfs", "--model", study / "m.toml", "--out", target)
    assert done.returncode == 2 and why in done.stderr, done.stderr
    if case == "a foreign table":  # --global's table of the curves beside its results: the same rules
        done = fit_command("--global", study / "data", "--irf", study / "irfs", "--model", study / "m.toml",
                           "--out", target.with_name("scores.txt"))
        assert done.returncode == 2 and "scores.curves.txt exists and is not" in done.stderr, done.stderr
    if before is not None:
        assert target.read_bytes() == before


def test_plots_naming_a_file_and_a_second_writer_are_refused_first(study):
    foreign(study / "notes.txt")
    done = run(study, "--plots", study / "notes.txt", out="p.csv")
    assert done.returncode == 2 and "is not a folder" in done.stderr and not (study / "p.csv").exists()
    assert (study / "notes.txt").read_text() == "subject,score\n1,2\n"
    with writer_lock(study / "p.csv"):
        done = run(study, out="p.csv")
    assert done.returncode == 2 and "another tdcyl-fit is writing it" in done.stderr
    assert not (study / "p.csv").exists()


@pytest.mark.parametrize("text, key", [
    ('radius = "30"\n', "radius"), ("M = 1.5\n", "M"),
    ('[fit]\nfree = [1, 2]\n', "free"), ("[fit]\nbounds = 5\n", "bounds"),
    ('[fit]\nfre = ["mua1"]\n', "fre"), ('[fit]\nfree = ["mua3"]\n', "mua3"),
    ("[fit]\nbounds = {mua1 = [0.02, 0.1]}\n", "bounds.mua1"),  # the start, 0.013, outside
])
def test_bad_model_files_stop_before_any_work(study, tmp_path, text, key):
    body = MODEL.replace("radius = 30.0\n", "") if key == "radius" else MODEL
    lead, _, rest = text.partition("[fit]")
    (tmp_path / "bad.toml").write_text(lead + body + ("[fit]" + rest if rest else ""))
    done = fit_command(study / "data", "--irf", study / "irfs", "--model", tmp_path / "bad.toml", "--out",
                       tmp_path / "r.csv")
    lines = done.stderr.strip().splitlines()
    assert done.returncode == 2 and len(lines) == 1 and "bad.toml" in lines[0] and key in lines[0], done.stderr
    assert not (tmp_path / "r.csv").exists()


@pytest.mark.parametrize("read, error", [(digest, OSError), (load_model, UsageError)])
def test_a_fifo_as_an_input_is_refused_not_waited_on(tmp_path, read, error):
    os.mkfifo(tmp_path / "f")  # a measurement's digest and the model file are read before any reader runs
    signal.signal(signal.SIGALRM, lambda *_: pytest.fail("blocked on a FIFO"))
    signal.alarm(10)
    with pytest.raises(error, match="FIFO"):
        read(tmp_path / "f")
    signal.alarm(0)


def test_version_on_every_command():
    for cmd in ([], ["-m", "tdcyl"], ["-m", "tdcyl", "sweep"]):
        args = [sys.executable, *cmd, "--version"] if cmd else None
        done = fit_command("--version") if args is None else subprocess.run(args, capture_output=True, text=True)
        assert done.returncode == 0 and re.search(re.escape(tdcyl.__version__) + r"\s*$", done.stdout), done



def test_series_of_a_snirf_recording_and_its_out_protected(tmp_path):
    # 20 frames at 15 and 25 mm through their detectors' IRFs; mua1 0.010, then 0.012 from frame 10
    # (fewer photons: the scale stays the rest's).
    mua, rng = np.repeat([0.010, 0.012], 10), np.random.default_rng(5)
    shapes = {}
    for m in (0.010, 0.012):
        curve = tdcyl.reflectance([tdcyl.Layer(1.0, m, 1.4, 40.0)], 30.0, [15.0, 25.0], all_samples=True)
        shapes[m] = np.clip([tdcyl.convolve_irf(curve.t_ps, r, T, irf_of(d)) for r, d in
                             zip(curve.reflectance, (400.0, 650.0))], 0, None)
    unit = 3e5 / shapes[0.010].sum(axis=1, keepdims=True)
    counts = np.array([rng.poisson(shapes[m] * unit) for m in mua], dtype=float)
    rec = tio.Measurement(T, counts, 12.2, [760.0, 760.0], [15.0, 25.0], frame_times_s=0.5 * np.arange(20))
    tio.write_snirf(tmp_path / "rec.snirf", rec, tio.Measurement(T, [irf_of(400.0), irf_of(650.0)], 12.2,
                                                                 [760.0, 760.0], [15.0, 25.0]))
    (tmp_path / "m.toml").write_text(MODEL + '[fit]\nfree = ["mua1", "musp1"]\n')
    foreign(tmp_path / "scores.csv")
    args = (tmp_path / "rec.snirf", "--model", tmp_path / "m.toml", "--series", "--baseline", "0:10")
    refused = fit_command(*args, "--out", tmp_path / "scores.csv")
    assert refused.returncode == 2 and "is not a tdcyl-fit results table" in refused.stderr, refused.stderr
    assert (tmp_path / "scores.csv").read_text() == "subject,score\n1,2\n"
    for method in ("moments", "nonlinear"):
        done = fit_command(*args, "--method", method, "--out", tmp_path / "r.csv", "--plots", tmp_path / "p")
        assert done.returncode == 0, done.stderr
        table = pd.read_csv(tmp_path / "r.csv")
        assert list(table.columns[:3]) == ["file", "frame", "time_s"] and len(table) == 20
        base = pd.read_csv(tmp_path / "r.baseline.csv")
        assert abs(base["mua1_baseline"][0] - 0.010) < 4 * base["mua1_baseline_sigma"][0]
        # A frame's sigma is that of its change against the baseline (whose own error is common to all).
        z = (table["mua1"] - base["mua1_baseline"][0] - (mua - 0.010)) / table["mua1_sigma"]
        assert np.all(np.abs(z) < 4), (method, z.to_numpy())
    assert (tmp_path / "p" / "rec.snirf.series.png").stat().st_size > 10000
