"""Replacing a file atomically: the new content is written beside it and renamed
over it only when complete, so a reader never sees half a file and a failure
leaves the old one as it was."""
from __future__ import annotations

import contextlib
import os
import tempfile


@contextlib.contextmanager
def replaced_atomically(path, prefix: str):
    """Yields a temporary path in the target's folder; on a normal exit it
    replaces `path` (mode 644), on any exception it is removed."""
    directory = os.path.dirname(os.path.abspath(os.fspath(path)))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=prefix, suffix=".tmp")
    os.close(fd)
    try:
        yield tmp
        os.chmod(tmp, 0o644)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise
