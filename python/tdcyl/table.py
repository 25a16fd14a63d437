"""Tables of cases for a sweep: one row per curve, the columns of the parameter file.

Columns: N (number of layers), muspI, muaI, nI, lI for layer I = 1 ... N
(1/mm, 1/mm, refractive index, mm), radius, rho, rho0, phi, M, mmax. rho0,
phi, M and mmax may be left out (0, 0, 1, 0); N may be left out when every row
has the same number of layers (then the layer columns give it). Layer columns
beyond a row's N are ignored and may be empty. Rows are numbered from 0, the
index of the case in the result.

Every row is checked before anything is computed, with the checks of
tdcyl.reflectance(); a bad value is reported by row and column.
"""
from __future__ import annotations

import math
import os
import re
import warnings
from dataclasses import dataclass

import numpy as np

from . import _core
from ._checks import LAYER_PARAM, UNITS, geometry, integer, rho_array

__all__ = ["Case", "CheckedTable", "check_table", "LAYER_QUANTITIES", "SCALAR_COLUMNS", "UNITS"]

LAYER_QUANTITIES = ("musp", "mua", "n", "l")
SCALAR_COLUMNS = ("radius", "rho", "rho0", "phi", "M", "mmax")
_DEFAULTS = {"rho0": 0.0, "phi": 0.0, "M": 1, "mmax": 0}
_INTEGER_COLUMNS = ("N", "M", "mmax")
# How the model's checks name a value, and the table column it comes from.
_MODEL_NAME = re.compile(r"^(layers\[(\d+)\]\.(musp|mua|n|thickness)|layers|radius|rho0|rho|phi|mmax|M)\b")


@dataclass(frozen=True)
class Case:
    """One checked row: the arguments of tdcyl.reflectance()."""

    layers: tuple  # N tuples (musp, mua, n, thickness)
    radius: float
    rho: float
    rho0: float
    phi: float
    M: int
    mmax: int

    def kwargs(self) -> dict:
        return dict(layers=np.array(self.layers, dtype=float), radius=self.radius, rho=self.rho, rho0=self.rho0,
                    phi=self.phi, M=self.M, mmax=self.mmax)


@dataclass
class CheckedTable:
    """A table after the checks.

    columns: the parameter columns in store order, each a float array (int for
    N, M and mmax when every row holds an integer there); cases: the Case of
    each row, None for a bad row; errors: {row: "row i, column c: message"}.
    """

    columns: dict
    cases: list
    errors: dict

    def __len__(self) -> int:
        return len(self.cases)


def _raw_columns(table) -> tuple[dict, int]:
    """{column name: 1-d object/number array} and the number of rows."""
    if isinstance(table, (str, os.PathLike)):
        import pandas as pd
        path = os.fspath(table)
        try:
            # index_col=False: rows with more fields than the header are an error, not an index column
            # that shifts every value by one column.
            with warnings.catch_warnings():
                warnings.simplefilter("error", pd.errors.ParserWarning)
                table = pd.read_csv(path, skipinitialspace=True, comment="#", dtype=str, keep_default_na=False,
                                    index_col=False)
        except FileNotFoundError:
            raise
        except pd.errors.ParserWarning:
            raise ValueError(f"{path}: the data rows have more fields than the header") from None
        except Exception as exc:
            raise ValueError(f"{path}: not a readable CSV table: {exc}") from None
    if hasattr(table, "to_dict") and hasattr(table, "columns"):  # a pandas DataFrame
        cols = {str(c).strip(): np.asarray(table[c].to_numpy(), dtype=object) for c in table.columns}
    elif isinstance(table, dict):
        cols = {}
        for name, values in table.items():
            arr = np.asarray(values, dtype=object)
            if arr.ndim != 1:
                raise ValueError(f"column {name}: a 1-d sequence of values per row is needed, got shape {arr.shape}")
            cols[str(name).strip()] = arr
    else:
        raise TypeError("table must be a pandas DataFrame, a dict of columns or the path of a CSV file, "
                        f"not {type(table).__name__}")
    lengths = {len(v) for v in cols.values()}
    if len(lengths) > 1:
        raise ValueError(f"the columns have different lengths: {sorted(lengths)}")
    rows = lengths.pop() if lengths else 0
    if rows == 0:
        raise ValueError("the table has no rows")
    return cols, rows


def _number(value) -> float | None:
    """A cell as a float; None for an empty cell; ValueError for anything else."""
    if value is None:
        return None
    if isinstance(value, (bool, np.bool_)):
        raise ValueError(f"{value!r} is not a number")
    if isinstance(value, str):
        text = value.strip()
        if not text:
            return None
        try:
            return float(text)
        except ValueError:
            raise ValueError(f"{value!r} is not a number") from None
    try:
        v = float(value)
    except (TypeError, ValueError):
        raise ValueError(f"{value!r} is not a number") from None
    return None if math.isnan(v) else v


def _numbers(column) -> np.ndarray | None:
    """A column of numbers or number strings at once (float() per string, as the cell check), or None."""
    try:
        if column.dtype == object:
            if any(isinstance(v, (bool, np.bool_)) for v in column):
                return None
            column = np.where(column == "", "nan", column)
        return column.astype(float)
    except (TypeError, ValueError):
        return None


def check_table(table) -> CheckedTable:
    """Reads and checks a table (DataFrame, dict of columns or CSV path); see the module's docstring.

    Problems of the table as a whole (an unknown or missing column, no rows)
    raise ValueError at once; a bad value is recorded for its row.
    """
    raw, rows = _raw_columns(table)
    deepest = _deepest_layer(raw)
    order = ["N"] + [f"{q}{i}" for i in range(1, deepest + 1) for q in LAYER_QUANTITIES] + list(SCALAR_COLUMNS)
    errors: dict = {}
    cases: list = [None] * rows

    def fail(row, col, msg):
        errors.setdefault(row, f"row {row}, column {col}: {msg}")

    values = _cell_values(raw, order, rows, deepest, fail)
    for r in range(rows):
        if r in errors:
            continue
        try:
            case = _row_case(values, r, deepest)
            _check_case(case)
        except _CellError as exc:
            fail(r, exc.column, exc.message)
            continue
        cases[r] = case

    columns = {}
    for col in order:
        v = values[col]
        if col in _INTEGER_COLUMNS and np.all(np.isfinite(v)) and np.all(v == np.floor(v)):
            v = v.astype(np.int64)
        columns[col] = v
    return CheckedTable(columns=columns, cases=cases, errors=errors)


def _deepest_layer(raw: dict) -> int:
    """The deepest layer the columns describe; ValueError for an unknown or a missing column."""
    layer_cols = {}
    for name in raw:
        m = LAYER_PARAM.match(name)
        if m:
            layer_cols.setdefault(int(m.group(2)), set()).add(m.group(1))
        elif name not in SCALAR_COLUMNS and name != "N":
            raise ValueError(f"column {name!r} is not a parameter (columns: N, muspI, muaI, nI, lI for layer I, "
                             f"{', '.join(SCALAR_COLUMNS)})")
    for col in ("radius", "rho"):
        if col not in raw:
            raise ValueError(f"column {col!r} is missing")
    if not layer_cols:
        raise ValueError("the table has no layer columns (muspI, muaI, nI, lI for layer I = 1 ... N)")
    deepest = max(layer_cols)
    if deepest > _core.MAX_LAYERS:
        raise ValueError(f"column {sorted(layer_cols[deepest])[0]}{deepest}: at most {_core.MAX_LAYERS} layers")
    for layer in range(1, deepest + 1):
        for q in LAYER_QUANTITIES:
            if q not in layer_cols.get(layer, ()):
                raise ValueError(f"column {q}{layer} is missing (the table has columns of layer {deepest})")
    return deepest


def _cell_values(raw: dict, order: list, rows: int, deepest: int, fail) -> dict:
    """Each column of `order` as floats (NaN: empty or bad, a bad cell passed to fail(row, column,
    message)); a column left out takes its default."""
    values = {c: np.full(rows, np.nan) for c in order}
    for col in order:
        if col in raw:
            fast = _numbers(raw[col])
            if fast is not None:
                values[col] = fast
                continue
            for r, cell in enumerate(raw[col]):
                try:
                    v = _number(cell)
                except ValueError as exc:
                    fail(r, col, str(exc))
                    continue
                if v is not None:
                    values[col][r] = v
        elif col in _DEFAULTS:
            values[col][:] = _DEFAULTS[col]
        elif col == "N":
            values[col][:] = deepest
    return values


def _row_case(values: dict, r: int, deepest: int) -> Case:
    """Row r as a Case, before the model's checks; _CellError for an empty or a non-integer cell."""
    for col in _INTEGER_COLUMNS:
        v = values[col][r]
        if math.isnan(v):
            raise _CellError(col, "empty")
        if not math.isfinite(v) or v != math.floor(v):
            raise _CellError(col, f"must be an integer, got {v!r}")
    n_layers = int(values["N"][r])
    if n_layers < 1:
        raise _CellError("N", f"must be >= 1, got {n_layers}")
    if n_layers > deepest:
        raise _CellError("N", f"{n_layers} layers, but the table has no columns for layer {deepest + 1}")
    for col in [f"{q}{i}" for i in range(1, n_layers + 1) for q in LAYER_QUANTITIES] + \
            ["radius", "rho", "rho0", "phi"]:
        if math.isnan(values[col][r]):
            raise _CellError(col, "empty")
    layers = tuple(tuple(float(values[f"{q}{i}"][r]) for q in LAYER_QUANTITIES)
                   for i in range(1, n_layers + 1))
    return Case(layers=layers, radius=float(values["radius"][r]), rho=float(values["rho"][r]),
                rho0=float(values["rho0"][r]), phi=float(values["phi"][r]), M=int(values["M"][r]),
                mmax=int(values["mmax"][r]))


class _CellError(Exception):
    def __init__(self, column: str, message: str):
        super().__init__(message)
        self.column = column
        self.message = message


def _check_case(case: Case) -> None:
    """The checks of tdcyl.reflectance(), their messages turned to the table's column names."""
    try:
        _, a, *_ = geometry(np.array(case.layers, dtype=float), case.radius, case.rho0, case.phi, case.mmax)
        rho_array(case.rho, a)
        integer("M", case.M, 1, 512)
    except (ValueError, TypeError) as exc:
        msg = str(exc)
        m = _MODEL_NAME.match(msg)
        if m is None:
            raise _CellError("?", msg) from None
        if m.group(2) is not None:
            quantity = {"thickness": "l"}.get(m.group(3), m.group(3))
            column = f"{quantity}{int(m.group(2)) + 1}"
            msg = msg[len(m.group(0)):].lstrip()
        elif m.group(1) == "layers":
            column = "N"
        else:
            column = m.group(1)
        raise _CellError(column, msg) from None

