"""The forward model through Python against tdcyl-cli, its derivatives against difference quotients, the
frequency domain against closed forms and moments of the curve, and the checks of its arguments."""
import math
import os
import re
import signal
import subprocess
import sys
import threading
import warnings

import numpy as np
import pytest

import tdcyl

# A cheap layered geometry: round(20 a) = 160 zeros per order.
THREE = [tdcyl.Layer(1.0, 0.01, 1.4, 3.0), tdcyl.Layer(1.3, 0.02, 1.33, 5.0), tdcyl.Layer(0.9, 0.015, 1.45, 20.0)]
CHEAP = dict(layers=THREE[:2], radius=8.0, rho=5.0)


@pytest.mark.parametrize("case", ["example file", "off-axis layered"])
def test_faithful_engine_equals_cli_byte_for_byte(case, cli, source_dir, tmp_path):
    # The second: values that are not exact binary fractions, and n = 1.4 only below
    # the top layer: the file reader's decimal conversion and the boundary constant must both match.
    if case == "example file":
        kwargs = tdcyl.read_input(source_dir / "examples" / "single_layer_off_axis.dat").kwargs()
    else:
        kwargs = dict(layers=THREE, radius=7.3, rho=4.1, rho0=2.7, phi=0.9, M=2, mmax=4)
    tdcyl.write_input(tmp_path / "input.dat", **kwargs)
    subprocess.run([cli, "--input", tmp_path / "input.dat", "--output", tmp_path / "cli.dat", "--quiet"], check=True)
    curve = tdcyl.reflectance(**kwargs, engine="faithful", threads=3)
    tdcyl.write_result(tmp_path / "python.dat", curve)
    assert (tmp_path / "python.dat").read_bytes() == (tmp_path / "cli.dat").read_bytes()
    # The result file reads back to the same numbers (15 significant digits), the input file to the arguments.
    back = tdcyl.read_result(tmp_path / "cli.dat")
    np.testing.assert_array_equal(back.t_ps, curve.t_ps)
    np.testing.assert_allclose(back.reflectance, curve.reflectance, rtol=6e-15, atol=0)
    assert tdcyl.read_input(tmp_path / "input.dat").kwargs() == {**kwargs, "layers": list(map(tuple, kwargs["layers"]))}


@pytest.mark.parametrize("engine", tdcyl.ENGINES)
def test_several_distances_equal_one_call_per_distance(engine):
    # Ten distances for the fast engine: more than one block of detectors in its kernel.
    rhos = np.linspace(0.0, 7.9, 10 if engine == "fast" else 3)
    geometry = dict(layers=CHEAP["layers"], radius=CHEAP["radius"], rho0=1.5, phi=0.4, mmax=2, all_samples=True,
                    engine=engine)
    curves = tdcyl.reflectance(rho=rhos, **geometry)
    np.testing.assert_array_equal(curves.rho, rhos)
    for r, curve in zip(rhos, curves):
        np.testing.assert_array_equal(curve.reflectance, tdcyl.reflectance(rho=r, **geometry).reflectance)
    # Without all_samples every curve keeps its own six decades: no common grid.
    with pytest.raises(ValueError, match="all_samples=True"):
        tdcyl.reflectance(CHEAP["layers"], CHEAP["radius"], [0.0, 7.9], engine="faithful").reflectance


@pytest.mark.parametrize("engine, kwargs, remedy", [
    ("faithful", dict(rho=[0.0, 5.0]), "the fast engine (engine='fast', the default)"),  # ringing at the source
    ("fast", dict(rho=[2.0, 5.0], rho0=1.5, phi=0.4), "but mmax=0 sums only the order 0"),
    ("fast", dict(rho=[2.0, 5.0], rho0=1.5, phi=0.4, mmax=1), "raise mmax= or pass a larger tolerance="),
    ("faithful", dict(rho=[2.0, 5.0], rho0=1.5, phi=0.4, mmax=1), "raise mmax= (now 1, at most 500)"),
])
def test_warnings_name_their_distance_and_remedies_as_arguments(engine, kwargs, remedy):
    with pytest.warns(RuntimeWarning) as caught:
        curves = tdcyl.reflectance(CHEAP["layers"], CHEAP["radius"], engine=engine, **kwargs)
    texts = [str(w.message) for w in caught]
    assert texts == [w for c in curves for w in c.warnings]
    assert all(w.startswith(f"rho = {c.rho:g} mm: ") for c in curves for w in c.warnings)
    # The parameter file's names and the programs' options mean nothing to a Python caller.
    assert not any(word in w for w in texts for word in ("MMAX", "parameter file", "--", "window"))
    assert any(remedy in w for w in texts), texts


@pytest.mark.parametrize("M", [1, 2])
def test_all_samples_is_the_whole_grid_around_the_selection(M):
    layers = [tdcyl.Layer(1.0, 0.02, 1.4, 30.0)]
    chosen = tdcyl.reflectance(layers, 20.0, 10.0, M=M)
    every = tdcyl.reflectance(layers, 20.0, 10.0, M=M, all_samples=True)
    K = 1024 // (2 * M)
    np.testing.assert_array_equal(every.t_ps, 10.0 * np.arange(1, K + 1))
    assert len(chosen) < K
    index = np.searchsorted(every.t_ps, chosen.t_ps)
    np.testing.assert_array_equal(every.reflectance[index], chosen.reflectance)
    rest = np.delete(np.abs(every.reflectance), index)
    assert np.all(rest * 1e6 < np.max(np.abs(every.reflectance)))


def test_the_gil_is_released_and_ctrl_c_stops_a_long_computation():
    old = sys.getswitchinterval()
    sys.setswitchinterval(100.0)  # no forced switches: the main thread runs only if the worker lets go
    done = []
    worker = threading.Thread(target=lambda: done.append(tdcyl.reflectance(**CHEAP, threads=1, engine="faithful")))
    try:
        worker.start()
        finished_before_main_ran = bool(done)
        worker.join()
    finally:
        sys.setswitchinterval(old)
    assert not finished_before_main_ran
    # A run of minutes (201 orders of 1000 zeros at 513 frequencies): without the cancel the
    # interrupt would only arrive after it. Python's own handler, even where SIGINT was ignored.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            tdcyl.reflectance(THREE[:2], 50.0, 20.0, rho0=10.0, phi=0.3, mmax=200, engine="faithful")
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, previous)


def test_python_floats_are_read_as_their_decimals():
    # 1.4 as a Python float is not the 80-bit 1.4 of the parameter file; the call must still select the
    # boundary constant of n = 1.4 exactly, so n given as a float and as the nearest neighbouring double differ.
    layers = np.array([[1.0, 0.01, 1.4, 30.0]])
    a = tdcyl.reflectance(layers, 20.0, 10.0, all_samples=True, engine="faithful").reflectance
    layers[0, 2] = np.nextafter(1.4, 2.0)
    b = tdcyl.reflectance(layers, 20.0, 10.0, all_samples=True, engine="faithful").reflectance
    assert not np.array_equal(a, b)
    np.testing.assert_allclose(a, b, rtol=1e-6, atol=1e-12 * np.max(a))


D_ONE = [(1.0, 0.01, 1.4, 20.0)]
D_TWO = [(1.0, 0.01, 1.4, 8.0), (1.5, 0.03, 1.4, 40.0)]
D_THREE = [(1.0, 0.01, 1.33, 5.0), (1.2, 0.02, 1.4, 6.0), (1.5, 0.03, 1.45, 20.0)]
COLUMN = {"musp": 0, "mua": 1, "l": 3}


def fast_curve(layers, names=(), **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # cancelling terms far out; the comparison below is its own judge
        return tdcyl.reflectance(layers, radius=30.0, engine="fast", tolerance=1e-13, all_samples=True,
                                 derivatives=names, **kw)


# The bottom thickness of D_THREE is left out: its derivative is below what a difference of curves resolves.
@pytest.mark.parametrize("layers, names, kw", [
    (D_ONE, ("mua1", "musp1", "l1"), dict(rho=10.0)),
    (D_ONE, ("mua1", "musp1", "l1"), dict(rho=10.0, rho0=5.0, times_ps=np.arange(40.0, 3000.0, 37.0))),
    (D_TWO, ("mua1", "musp1", "mua2", "musp2", "l1"), dict(rho=25.0)),
    (D_TWO, ("musp1", "mua2", "l1"), dict(rho=10.0, rho0=5.0, mmax=8)),
    (D_THREE, ("mua1", "musp1", "l1", "mua2", "musp2", "l2", "mua3", "musp3"), dict(rho=15.0)),
], ids=["one layer", "one layer off axis, times", "two layers", "two layers off axis", "three layers"])
def test_derivatives_equal_central_differences(layers, names, kw):
    c = fast_curve(layers, names, **kw)
    assert c.derivatives.shape == (len(c.t_ps), len(names)) and c.derivative_names == names
    # The values are those of the value-only call, bit for bit.
    np.testing.assert_array_equal(c.reflectance, fast_curve(layers, **kw).reflectance)
    live = np.abs(c.reflectance) > 1e-3 * np.abs(c.reflectance).max()
    arr = np.array(layers, float)
    for k, name in enumerate(names):
        kind, layer = re.match(r"([a-z]+)(\d)", name).groups()
        i, j = int(layer) - 1, COLUMN[kind]
        h = 1e-4 * arr[i, j]
        step = np.zeros_like(arr)
        step[i, j] = h
        fd = (fast_curve(arr + step, **kw).reflectance - fast_curve(arr - step, **kw).reflectance) / (2 * h)
        d = c.derivatives[live, k]
        assert np.max(np.abs(d - fd[live])) <= 1e-6 * np.max(np.abs(d)), name


def test_split_layer_derivatives_add_up():
    # Layer 2 cut into two identical halves: the model is the same, and moving a property of
    # both halves moves it in the whole (the middle-layer recursion against the bottom's).
    split = [D_TWO[0], D_TWO[1][:3] + (20.0,), D_TWO[1][:3] + (20.0,)]
    whole = fast_curve(D_TWO, ("mua2", "musp2"), rho=20.0).derivatives
    halves = fast_curve(split, ("mua2", "mua3", "musp2", "musp3"), rho=20.0).derivatives
    np.testing.assert_allclose(halves[:, ::2] + halves[:, 1::2], whole, rtol=0, atol=1e-9 * np.abs(whole).max())


LAYERS = [tdcyl.Layer(1.0, 0.02, 1.4, 8.0), tdcyl.Layer(1.3, 0.03, 1.4, 40.0)]


def semi_infinite_cw(musp, mua, rho, reff=0.493477582093524):
    """Steady-state flux at the surface of a half space (extrapolated boundary,
    source at z0 and its image at -(z0 + 2 zb)), mm^-2."""
    z0 = 1 / (musp + mua)
    zb = 2 * (1 + reff) / (1 - reff) / (3 * musp)
    mueff = math.sqrt(3 * mua * musp)
    r1 = math.hypot(rho, z0)
    r2 = math.hypot(rho, z0 + 2 * zb)
    return (z0 * (mueff + 1 / r1) * math.exp(-mueff * r1) / r1**2
            + (z0 + 2 * zb) * (mueff + 1 / r2) * math.exp(-mueff * r2) / r2**2) / (4 * math.pi)


def semi_infinite_tr(musp, mua, n, rho, t_ps, reff=0.4934775881578057):
    """Flux at the surface of a half space after a unit pulse, mm^-2 ps^-1 (t in ps); Reff of
    n = 1.4 from the Fresnel integrals (the fast engine's, not the 480-point rule's)."""
    z0, zb, dv = 1 / (musp + mua), 2 * (1 + reff) / (1 - reff) / (3 * musp), 0.299792458 / n / (3 * musp)
    t = np.asarray(t_ps, float)
    with np.errstate(divide="ignore", over="ignore", invalid="ignore"):
        r = (z0 * np.exp(-(rho**2 + z0**2) / (4 * dv * t)) + (z0 + 2 * zb) * np.exp(-(rho**2 + (z0 + 2 * zb)**2) /
             (4 * dv * t))) * np.exp(-mua * 0.299792458 / n * t) / (2 * (4 * math.pi * dv)**1.5 * t**2.5)
    return np.nan_to_num(r)


def test_times_ps_give_one_value_per_time_in_the_order_asked():
    # Out of order, a repeat, and a time long before any light arrives (the contour overflowed there;
    # the model is 0 to every digit). A wide homogeneous cylinder is the half space.
    t = np.array([700.0, 35.5, 2500.0, 1e-150, 120.0, 35.5])
    c = tdcyl.reflectance([(1.0, 0.02, 1.4, 100.0)], 150.0, 10.0, times_ps=t, derivatives=("mua1",))
    np.testing.assert_array_equal(c.t_ps, t)
    peak = semi_infinite_tr(1.0, 0.02, 1.4, 10.0, np.arange(1.0, 2000.0)).max()
    np.testing.assert_allclose(c.reflectance, semi_infinite_tr(1.0, 0.02, 1.4, 10.0, t), rtol=0, atol=1e-11 * peak)
    assert c.reflectance[3] == 0.0 and c.derivatives[3, 0] == 0.0 and c.reflectance[1] == c.reflectance[5]


def test_times_ps_that_cannot_be_held_are_nan_in_place_and_none_held_fails():
    # 1 mm inside the rim the terms cancel: double precision holds 1e-13 of the peak at no time there.
    t = np.array([4000.0, 10.0, 2000.0, 1e-150, 100.0, 500.0])
    kw = dict(layers=D_TWO, radius=30.0, rho=29.0, times_ps=t)
    with pytest.raises(ValueError, match=r"no sample at rho = 29 mm can be held within the tolerance 1e-13") as e:
        tdcyl.reflectance(**kw, tolerance=1e-13)
    assert isinstance(e.value, RuntimeError)  # as the grid's failure always was
    named = float(re.search(r"up to (\S+) of the peak", str(e.value)).group(1))
    assert not np.isnan(tdcyl.reflectance(**kw, tolerance=named).reflectance).any()
    with pytest.warns(RuntimeWarning, match=r"of 6 samples at rho = 29 mm \(t = .*NaN") as caught:
        c = tdcyl.reflectance(**kw, tolerance=1e-12, derivatives=("mua2",))
    with pytest.warns(RuntimeWarning, match="returned but unreliable"):
        kept = tdcyl.reflectance(**kw, tolerance=1e-12, all_samples=True)
    nan = np.isnan(c.reflectance)
    assert 0 < nan.sum() < 5 and not nan[3], nan  # some held, some not, at this tolerance
    named = ", ".join(f"{x:g}" for x in t[nan])
    assert str(caught[0].message).startswith(f"{nan.sum()} of 6 samples at rho = 29 mm (t = {named} ps)")
    np.testing.assert_array_equal(c.t_ps, t)
    np.testing.assert_array_equal(np.isnan(c.derivatives[:, 0]), nan)
    np.testing.assert_array_equal(c.reflectance[~nan], kept.reflectance[~nan])
    assert not np.isnan(kept.reflectance).any() and kept.unheld_error > 0.5e-12


@pytest.mark.parametrize("layers", [[tdcyl.Layer(1.0, 0.02, 1.4, 100.0)],
                                    [tdcyl.Layer(1.0, 0.02, 1.4, 30.0), tdcyl.Layer(1.0, 0.02, 1.4, 70.0)]],
                         ids=["one layer", "two equal layers"])
def test_continuous_wave_of_a_large_cylinder_is_the_half_space(layers):
    rhos = np.array([5.0, 15.0, 25.0])
    got = tdcyl.continuous_wave(layers, 60.0, rhos)
    expected = [semi_infinite_cw(1.0, 0.02, r) for r in rhos]
    np.testing.assert_allclose(got, expected, rtol=1e-4)


def test_low_frequencies_are_the_area_and_mean_time_of_flight_of_the_curve():
    curve = tdcyl.reflectance(LAYERS, 20.0, 10.0, engine="fast", wraparound=False, all_samples=True)
    area = np.sum(curve.reflectance) * 10.0  # mm^-2 ps^-1 x ps
    assert tdcyl.continuous_wave(LAYERS, 20.0, 10.0) == pytest.approx(area, rel=1e-3)
    mean_ps = np.sum(curve.t_ps * curve.reflectance) / np.sum(curve.reflectance)
    f = np.array([1e6, 2e6])
    v = tdcyl.frequency_domain(LAYERS, 20.0, 10.0, f)
    np.testing.assert_allclose(-np.angle(v) / (2 * np.pi * f), mean_ps * 1e-12, rtol=1e-3)
    np.testing.assert_allclose(np.abs(v), tdcyl.continuous_wave(LAYERS, 20.0, 10.0), rtol=1e-3)
    both = tdcyl.frequency_domain(LAYERS, 20.0, [10.0, 10.0], f)
    assert both.shape == (2, 2)
    np.testing.assert_array_equal(both[0], v)


@pytest.mark.parametrize("freqs, engine, message", [
    ([-1.0], None, "frequencies_hz must lie in 0"),
    ([1e300], None, "frequencies_hz must lie in 0"),
    ([np.nan], None, "frequencies_hz must be finite"),
    ([], None, "frequencies_hz must hold at least one frequency"),
    ([1e8], "faithful", "needs engine='fast'"),
], ids=["negative", "huge", "nan", "empty", "faithful"])
def test_bad_frequency_domain_arguments(freqs, engine, message):
    with pytest.raises(ValueError, match=message):
        tdcyl.frequency_domain(LAYERS, 20.0, 10.0, freqs, engine=engine)


BAD = [  # by argument
    (dict(layers=[tdcyl.Layer(1.0, 0.01, 1.4, -3.0)]), ValueError, r"layers\[0\]\.thickness"),
    (dict(layers=[(1.0, 0.01, 1.4)]), ValueError, r"layers must have shape \(N, 4\)"),
    (dict(layers=[(1.0, np.nan, 1.4, 10.0)]), ValueError, r"layers\[0\]\.mua must be finite"),
    (dict(layers=[(1.0, 0.0, 1.4, 10.0)]), ValueError, r"layers\[0\]\.mua must be > 0 for a single layer"),
    (dict(layers="thick"), TypeError, r"layers"), (dict(all_samples="yes"), TypeError, r"all_samples"),
    (dict(radius=float("nan")), ValueError, r"radius must be finite"),
    (dict(radius=10**400), ValueError, r"radius must be finite"), (dict(M=2.0), TypeError, "M must be an integer"),
    (dict(radius=2000.0), ValueError, r"radius must be <= 1000"),
    (dict(threads=-1), ValueError, r"threads must be in 0 \.\.\. 1024"),
    (dict(radius=300.0, engine="faithful"), ValueError, r"radius = 300.0 mm gives 6000 Bessel zeros"),
    (dict(tolerance=1e-16), ValueError, r"tolerance must be >= 1e-15"),
    (dict(times_ps=[10.0, -1.0]), ValueError, r"times_ps must be a 1-d array of times in \(0, "),
    (dict(rho=9.0), ValueError, r"rho must be in 0 \.\.\. radius"), (dict(rho=[1.0, -1.0]), ValueError, r"rho\[1\]"),
    (dict(rho=np.ones((2, 2))), ValueError, r"rho must be a number or a non-empty 1-d array"),
    (dict(rho="5"), TypeError, r"rho"), (dict(rho0=8.5), ValueError, r"rho0 must be <= 8.0"),
    (dict(phi=float("inf")), ValueError, r"phi must be finite"), (dict(M=0), ValueError, r"M must be in 1 \.\.\. 512"),
    (dict(mmax=501), ValueError, r"mmax must be in 0 \.\.\. 500"),
    (dict(engine="quick"), ValueError, r"engine must be 'faithful' or 'fast', not 'quick'"),
    (dict(engine=1), TypeError, r"engine must be a string"),
    (dict(engine="faithful", wraparound=False), ValueError, r"wraparound=False .* needs engine='fast'"),
    (dict(engine="faithful", tolerance=1e-6), ValueError, r"tolerance applies to the fast engine"),
    (dict(derivatives=("n1",)), ValueError, "derivatives"), (dict(derivatives=("mua3",)), ValueError, "derivatives"),
    (dict(derivatives=("mua1",), engine="faithful"), ValueError, "derivatives"),
    (dict(derivatives=(1,)), TypeError, "derivatives"),
]


@pytest.mark.parametrize("change, error, message", BAD, ids=[m for _, _, m in BAD])
def test_bad_arguments_raise_before_computing(change, error, message):
    with pytest.raises(error, match=message):
        tdcyl.reflectance(**{**CHEAP, **change})


def test_plot_of_curves_takes_one_label_per_curve():
    curves = tdcyl.reflectance(**{**CHEAP, "rho": [3.0, 5.0]})
    legend = tdcyl.plot(curves).axes[0].get_legend()
    assert [t.get_text() for t in legend.get_texts()] == ["ρ = 3 mm", "ρ = 5 mm"]
    with pytest.raises(ValueError, match="labels: 1 label"):
        tdcyl.plot(curves, labels=["a"])
    with pytest.raises(TypeError, match="plot needs a FitResult, Curve or CurveSet"):
        tdcyl.plot([1, 2])


@pytest.mark.parametrize("read, content, error, message", [
    (tdcyl.read_input, "1\n1.0\n0.01\n1.4\n-5   thickness\n20\n10\n0\n0\n1\n0\n", ValueError,
     r"line 5: l of layer 1 = -5 is outside the allowed range"),
    (tdcyl.read_input, "1\n1,0\n", ValueError, r'line 2: "1,0" is not a real number \(musp of layer 1\)'),
    (tdcyl.read_result, " 1.00000000000000E+0001    2.0E-0005\r\n 2.00000000000000E+0001   x\r\n", ValueError, "line 2"),
    (tdcyl.read_input, None, FileNotFoundError, ""),
    *[(read, path, ValueError, "not a regular file") for read in (tdcyl.read_input, tdcyl.read_result)
      for path in ("/dev/zero", "fifo")],  # endless, and blocking (a FIFO without a writer)
])
def test_bad_files_are_named_by_line_or_refused(tmp_path, read, content, error, message):
    path = tmp_path / "file.dat"
    if content == "fifo":
        os.mkfifo(path)
    elif content == "/dev/zero":
        path = content
    elif content is not None:
        path.write_text(content)
    with pytest.raises(error, match=message):
        read(path)
