import os
import pathlib
import shutil

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("TDCYL_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))


@pytest.fixture(scope="session")
def source_dir():
    return SOURCE_DIR


@pytest.fixture(scope="session")
def cli():
    """The tdcyl-cli of the same build (ctest sets TDCYL_CLI)."""
    path = os.environ.get("TDCYL_CLI") or shutil.which("tdcyl-cli")
    if not path or not os.access(path, os.X_OK):
        pytest.fail("tdcyl-cli not found: set TDCYL_CLI to the program of this build (ctest does)")
    return path
