"""Replacing a file atomically: the new content is written beside it and renamed
over it only when complete, so a reader never sees half a file and a failure
leaves the old one as it was."""
from __future__ import annotations

import contextlib
import os
import secrets
import stat


def _new_file(directory: str, prefix: str) -> str:
    """A new empty file in `directory` created with mode 666 less the umask,
    as open(path, "w") would create it."""
    while True:
        tmp = os.path.join(directory, f"{prefix}{secrets.token_hex(6)}.tmp")
        try:
            os.close(os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666))
            return tmp
        except FileExistsError:
            continue


@contextlib.contextmanager
def replaced_atomically(path, prefix: str):
    """Yields a temporary path in the target's folder; on a normal exit it
    replaces the target, on any exception it is removed.

    A symlink is written through: the file it points to is replaced (in that
    file's folder) and the link stays. The replaced file keeps its permission
    bits; a new file gets those open() would give it (666 less the umask).
    """
    target = os.path.realpath(os.fspath(path))
    tmp = _new_file(os.path.dirname(target), prefix)
    try:
        yield tmp
        try:
            os.chmod(tmp, stat.S_IMODE(os.stat(target).st_mode))
        except FileNotFoundError:
            pass
        fd = os.open(tmp, os.O_RDONLY)
        try:
            os.fsync(fd)  # the content on disk before the name points at it
        finally:
            os.close(fd)
        os.replace(tmp, target)
    except BaseException:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(tmp)
        raise
