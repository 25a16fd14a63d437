"""The Python blocks of the README and the guide run as a new user runs them, and what they state holds."""
import ast
import os
import re
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

import tdcyl


@pytest.fixture
def page(source_dir, tmp_path, monkeypatch):
    """A page's text and its ```python blocks, in a fresh folder holding the examples (the pages' paths)."""
    shutil.copytree(source_dir / "examples", tmp_path / "examples")
    monkeypatch.chdir(tmp_path)

    def read(name):
        text = (source_dir / name).read_text()
        return text, re.findall(r"```python\n(.*?)```", text, re.S)
    return read


@pytest.fixture
def readme(page):
    return page("README.md")


def test_first_steps_run_without_warnings_and_write_the_clis_bytes(readme, cli):
    code = readme[1][0]
    ns = {}
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the first steps must not meet a warning
        exec(compile(code, "README.md", "exec"), ns)
    # `expression  # literal...`: the stated value.
    for expr, stated in re.findall(r"^(\S[^#\n]*?)\s+#\s*(\([^)]*\))", code, re.M):
        assert eval(expr, ns) == ast.literal_eval(stated), expr
    for options, written in [([], "reflectance.dat"), (["--engine", "fast"], "fast.dat")]:
        subprocess.run([cli, "--input", "examples/two_layers.dat", "--output", "cli.dat", "--quiet", *options],
                       check=True)
        assert open("cli.dat", "rb").read() == open(written, "rb").read(), options
    # "within 1e-7 relative over the three decades below the peak and within 1e-8 of the peak"
    a, b = tdcyl.read_result("reflectance.dat"), tdcyl.read_result("fast.dat")
    t, i, j = np.intersect1d(a.t_ps, b.t_ps, return_indices=True)
    ra, rb, peak = a.reflectance[i], b.reflectance[j], a.reflectance.max()
    assert np.max(np.abs(rb - ra)) < 1e-8 * peak
    top = ra >= 1e-3 * peak
    assert np.max(np.abs(rb[top] / ra[top] - 1)) < 1e-7
    # Nearer the source the faithful transform rings: "1e-2 of the peak at 5 mm and 1e-5 at 10 mm".
    near = {e: tdcyl.reflectance(**ns["params"].kwargs() | {"rho": [5, 10]}, engine=e, all_samples=True).reflectance
            for e in tdcyl.ENGINES}
    off = np.max(np.abs(near["faithful"] - near["fast"]), axis=1) / np.max(near["fast"], axis=1)
    assert 5e-3 < off[0] < 2e-2 and 5e-6 < off[1] < 2e-5


def test_sweep_blocks_write_and_read_the_store(page):
    sweep, read = page("docs/guide/many_curves.md")[1][0:2]
    open("sweep_example.py", "w").write(sweep)
    out = subprocess.run([sys.executable, "sweep_example.py"], check=True, capture_output=True, text=True).stdout
    assert "case: 18" in out
    ns = {}
    exec(compile(read, "README.md", "exec"), ns)
    assert ns["ds"].reflectance.dims == ("case", "time")
    assert {"engine", "tolerance", "wraparound", "version", "chunk"} <= set(ns["ds"].attrs)
    assert ns["deep"].sizes["case"] == 3  # mua2 = 0.02 and rho = 15 leave the three mua1


def test_fit_example_reproduces_the_guides_table(page, source_dir):
    readme = page("docs/guide/curves.md")
    out = subprocess.run([sys.executable, str(source_dir / "examples" / "fit_two_layers.py")], check=True,
                         capture_output=True, text=True, env={**os.environ, "PYTHONWARNINGS": "ignore"}).stdout
    fitted = {row[0]: [float(v) for v in row[2:]] for row in map(str.split, out.splitlines()) if len(row) == 4
              and row[0] in ("mua1", "musp1", "mua2", "musp2")}
    rows = re.findall(r"^\| (μa|μs′)(\d) \[mm⁻¹\] \| [\d.]+ \| ([\d.]+) \| ([\d.]+) \|$", readme[0], re.M)
    assert len(rows) == 4
    for symbol, layer, value, sigma in rows:
        name = {"μa": "mua", "μs′": "musp"}[symbol] + layer
        for stated, got in zip((value, sigma), fitted[name]):
            assert abs(got - float(stated)) <= 0.5 * 10.0 ** -len(stated.split(".")[1]), (name, got, stated)
    chi2 = re.search(r"χ²/dof = ([\d.]+) \((\d+) degrees of freedom\)", readme[0])
    assert f"chi2/dof = {chi2[1]} ({chi2[2]} degrees of freedom)" in out


def test_quick_fit_of_a_file_finds_the_true_values(readme):
    ns = {}
    exec(compile(readme[1][1], "README.md", "exec"), ns)
    r = ns["result"]  # "true: mua1 0.010, musp1 1.0 (1/mm)"
    assert r.success and os.path.getsize("fit.png") > 0
    for name, true in (("mua1", 0.010), ("musp1", 1.0)):
        assert abs(r.values[name] - true) < 2 * r.stderr[name], name


def test_monte_carlo_block_sets_both_curves_on_one_grid(readme):
    ns = {}
    exec(compile(readme[1][2], "README.md", "exec"), ns)
    mc, diffusion, other = ns["mc"], ns["diffusion"], ns["other"]
    assert mc.reflectance.shape == diffusion.reflectance.shape == other.reflectance.shape == (2, 512)
    # Past the peak at 10 mm the two models agree to tens of per cent, and more absorption lowers the tail.
    late = (mc.t_ps > 1000) & (mc.t_ps < 1500)
    assert 0.6 < mc.reflectance[0, late].sum() / diffusion.reflectance[0, late].sum() < 1.6
    assert other.reflectance[0, late].sum() < mc.reflectance[0, late].sum()
