"""Opening a user's file for reading once, through one descriptor, and only when it is a regular file."""
from __future__ import annotations

import os
import stat


def kind(mode: int) -> str:
    """What a file of this st_mode is, as a message names it ("a folder", "a FIFO (named pipe)", ...)."""
    return ("a folder" if stat.S_ISDIR(mode) else "a FIFO (named pipe)" if stat.S_ISFIFO(mode)
            else "a character device" if stat.S_ISCHR(mode) else "a block device" if stat.S_ISBLK(mode)
            else "a socket" if stat.S_ISSOCK(mode) else "not a regular file")


def open_regular(path, refuse):
    """The regular file at path opened for reading (binary, buffered), and its size in bytes.

    For anything else refuse(st_mode) is called, and must raise. The path is
    looked at before it is opened, so that a device is never opened (opening
    some has effects of its own), and the open descriptor is looked at again:
    what is read is what was checked, even when the path is swapped for a FIFO
    or a device in between. Opened without blocking, since a FIFO without a
    writer would wait in open() forever. FileNotFoundError and the other
    OSErrors of the file system as they come.
    """
    path = os.fspath(path)
    mode = os.stat(path).st_mode
    if not stat.S_ISREG(mode):
        refuse(mode)
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        info = os.fstat(fd)
        if not stat.S_ISREG(info.st_mode):
            refuse(info.st_mode)
        os.set_blocking(fd, True)
        return os.fdopen(fd, "rb"), info.st_size
    except BaseException:
        os.close(fd)
        raise
