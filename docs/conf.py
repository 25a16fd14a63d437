"""Sphinx configuration of the tdcyl documentation.

Built by the test command with warnings as errors:
    PYTHONPATH=build/python /usr/bin/python3 -m sphinx -W -b html docs build/docs
The package must be importable (the build folder's copy or an installed one):
the API reference is generated from its docstrings and the gallery runs the
scripts of examples/.
"""
import os
import re

import tdcyl

_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

project = "tdcyl"
author = "The tdcyl developers"
copyright = "2026, the tdcyl developers"
# One version number: CMakeLists.txt's project(), which the extension carries.
release = version = tdcyl.__version__
_cmake = re.search(r"project\(tdcyl VERSION ([0-9.]+)", open(os.path.join(_root, "CMakeLists.txt")).read())[1]
if version != _cmake:
    raise RuntimeError(f"the imported tdcyl is {version}, CMakeLists.txt says {_cmake}: an old build on PYTHONPATH?")

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip",
                    "auto_examples/*.md5", "auto_examples/*.codeobj.json"]
myst_heading_anchors = 3

autosummary_generate = True
autodoc_default_options = {"members": True, "inherited-members": False}
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

sphinx_gallery_conf = {
    "examples_dirs": os.path.join(_root, "examples"),
    "gallery_dirs": "auto_examples",
    # These run in the build and show their plots; the global fit (two minutes
    # with its profiles; its plot is on the global-fits page) and the Monte
    # Carlo bias (minutes of photons) are shown, not run.
    "filename_pattern": r"/(fit_two|plot_|track_)",
    "ignore_pattern": r"__init__\.py|make_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "abort_on_example_error": True,
}

html_theme = "pydata_sphinx_theme"
html_title = f"tdcyl {version}"
html_static_path = []
