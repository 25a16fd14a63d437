"""tdcyl-fit's files: which inputs a study holds, where its results may go, who writes them,
and what each result row was computed from (so that a rerun knows what is stale)."""
from __future__ import annotations

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import re

from ._fit_model_file import UsageError
from ._regular import kind, open_regular

# The first line of the tables tdcyl-fit writes: per curve, --global, --global --per-file (and
# --series' baseline), --series.
_RESULTS_HEAD = re.compile(r"^(file,channel|files,curves|file,curves|file,frame),")
DONE = ("ok", "not converged", "rejected", "undetermined")
PROVENANCE = ("tdcyl_version", "options", "model_file", "model_sha256", "irf_file", "irf_sha256", "file_size",
              "file_sha256")


class _NotRegular(Exception):
    pass


def _refuse(mode):
    raise _NotRegular(mode)


def _is_table(f) -> bool:
    return bool(_RESULTS_HEAD.match(f.read(64).decode("utf-8", "replace")))


def is_results_table(path) -> bool:
    """Whether path is a table tdcyl-fit wrote (recognised by its header line); a FIFO or a device
    is not, and is never opened to find out."""
    try:
        f, _ = open_regular(path, _refuse)
    except (OSError, _NotRegular):
        return False
    with f:
        return _is_table(f)


def _real(path) -> str:
    return os.path.realpath(os.fspath(path))


def measurement_files(items, skip=(), recursive=True) -> tuple[list, int]:
    """The measurement files named or found in folders (subfolders too when recursive; hidden ones
    not), in name order, and how many results tables (named or found) were left out. `skip`: paths never taken (the
    IRF, the results file)."""
    from .io import FORMATS
    skip = {_real(p) for p in skip}
    out, tables = [], 0
    for item in items:
        if not os.path.isdir(item):
            if os.path.isfile(item) and is_results_table(item):  # a shell's *.csv takes them too
                tables += 1
            else:
                out.append(os.path.normpath(item))
            continue
        for folder, subfolders, names in os.walk(item):
            subfolders[:] = sorted(d for d in subfolders if not d.startswith(".")) if recursive else []
            for name in sorted(names):
                p = os.path.join(folder, name)
                if os.path.splitext(name)[1].lower() not in FORMATS or _real(p) in skip or name.startswith("."):
                    continue
                if not os.path.isfile(p):
                    continue
                if is_results_table(p):
                    tables += 1
                    continue
                out.append(os.path.normpath(p))
    return list(dict.fromkeys(out)), tables


def check_out(out, inputs, protected, plots=None) -> None:
    """Refuses, before anything is read, a results path that would destroy what the user owns: an
    input, the IRF or the model file, anything but a regular file, or a file that is not a results
    table of tdcyl-fit (an empty file is taken). The plots' folder is checked (and made) too."""
    folder = os.path.dirname(os.path.abspath(out))
    if not os.path.isdir(folder):
        raise UsageError(f"--out {out}: the folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UsageError(f"--out {out}: the folder {folder} is not writable")
    real = _real(out)
    for p in list(inputs) + [p for p in protected if p]:
        if _real(p) == real:
            raise UsageError(f"--out {out} is an input of this run ({p}): it would be replaced by the results")
    if os.path.lexists(out):
        _check_existing_out(out)
    if plots:
        if os.path.exists(plots) and not os.path.isdir(plots):
            raise UsageError(f"--plots {plots} exists and is not a folder")
        try:
            os.makedirs(plots, exist_ok=True)
        except OSError as exc:
            raise UsageError(f"--plots {plots}: {exc.strerror}") from None


def _check_existing_out(out) -> None:
    """An existing --out must be a regular file, empty or a results table: looked at through one descriptor."""
    try:
        f, size = open_regular(out, _refuse)
    except _NotRegular:
        raise UsageError(f"--out {out} is not a regular file (a folder, FIFO or device); name a results file") \
            from None
    except OSError as exc:
        raise UsageError(f"--out {out}: {exc.strerror}") from None
    with f:
        if size > 0 and not _is_table(f):
            raise UsageError(f"--out {out} exists and is not a tdcyl-fit results table: name another file "
                             "(it is left as it is)")


@contextlib.contextmanager
def writer_lock(out):
    """One writer per results file: an exclusive lock on OUT.lock, refused (UsageError) while another
    tdcyl-fit holds it. The lock dies with its process, so a crash leaves nothing to clean up."""
    path = os.fspath(out) + ".lock"
    while True:
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o644)
        except OSError as exc:
            raise UsageError(f"--out {out}: cannot create the lock file {path}: {exc.strerror}") from None
        if not re.fullmatch(rb"\d*\n?", os.pread(fd, 64, 0)):  # someone's own file of that name: left alone
            os.close(fd)
            raise UsageError(f"--out {out}: {path} exists and is not a tdcyl-fit lock; name another --out")
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise UsageError(f"--out {out}: another tdcyl-fit is writing it (lock {path}); wait for it to end "
                             "or name another --out") from None
        try:  # the holder before us may have removed the file it locked: lock the one that is there
            same = os.fstat(fd).st_ino == os.stat(path).st_ino
        except FileNotFoundError:
            same = False
        if same:
            break
        os.close(fd)
    try:
        os.ftruncate(fd, 0)
        os.write(fd, f"{os.getpid()}\n".encode())
        yield
    finally:
        with contextlib.suppress(OSError):
            os.unlink(path)
        os.close(fd)


def digest(path) -> tuple[int, str]:
    """(size in bytes, SHA-256 of the content) of a file; OSError for what is not a regular file (a FIFO
    would block the read forever)."""
    def refuse(mode):
        raise OSError(errno.EINVAL, f"{os.fspath(path)} is {kind(mode)}, not a regular file")
    h = hashlib.sha256()
    size = 0
    f, _ = open_regular(path, refuse)
    with f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
            size += len(block)
    return size, h.hexdigest()


def provenance(options: dict, model_path, irf_paths) -> dict:
    """The columns every row carries: program version, options, model and IRF files with their digests."""
    from . import __version__
    irf_paths = sorted(irf_paths)
    irf_sha = hashlib.sha256("".join(digest(p)[1] for p in irf_paths).encode()).hexdigest() if irf_paths else ""
    return dict(tdcyl_version=__version__, options=json.dumps(options, sort_keys=True, default=str),
                model_file=os.path.abspath(model_path), model_sha256=digest(model_path)[1],
                irf_file=" ".join(os.path.abspath(p) for p in irf_paths), irf_sha256=irf_sha)


def stale(row: dict, current: dict) -> str:
    """Why a stored row does not hold for this run ("" when it does): what changed since it was fitted."""
    if row.get("status") not in DONE:
        return "not fitted"
    changed = [k for k in ("tdcyl_version", "options", "model_sha256", "irf_sha256", "file_size", "file_sha256")
               if str(row.get(k, "")) != str(current.get(k, ""))]
    return ", ".join(changed)


def read_results(out):
    """The rows of an earlier results table by (absolute file path, channel); {} when there is none."""
    import pandas as pd
    if not os.path.exists(out) or os.path.getsize(out) == 0:
        return {}
    try:
        old = pd.read_csv(out, keep_default_na=False, na_values=[""], dtype={"channel": str, "file_size": str})
    except (OSError, ValueError) as exc:
        raise UsageError(f"--out {out}: not a results table ({exc})") from None
    key = "file" if "file" in old.columns else None
    if key is None:
        return {}
    return {(os.path.abspath(str(r["file"])), str(r.get("channel", ""))): r for r in old.to_dict("records")}


def other_rows(old: dict, files) -> list:
    """Rows of an earlier table for files this run does not take: kept as they were, not lost."""
    taken = {os.path.abspath(f) for f in files}
    return [r for (path, _), r in old.items() if path not in taken]


def read_curves(path) -> dict:
    """An earlier table of the curves of global fits, as {absolute file path: [rows]}."""
    out = {}
    for (file, _), r in read_results(path).items():
        out.setdefault(file, []).append(r)
    return out
