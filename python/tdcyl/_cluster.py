"""Where batches run: the caller's dask.distributed Client or a LocalCluster for one call, the progress
display, and an interrupt that stops the run cleanly (the finished chunks stay stored)."""
from __future__ import annotations

import contextlib
import logging
import math
import os
import signal
import sys
import threading
import time
import uuid

import numpy as np

MAX_WORKERS = 1024


def cores() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:
        return max(1, os.cpu_count() or 1)


def check_cluster_args(client, workers) -> None:
    """TypeError/ValueError naming the argument, before any cluster is started."""
    if client is not None:
        from distributed import Client
        if not isinstance(client, Client):
            raise TypeError(f"client must be a dask.distributed Client, not {type(client).__name__} "
                            "(connect with distributed.Client('tcp://HOST:8786'))")
    if workers is not None:
        if client is not None:
            raise ValueError("workers applies to the local cluster only (client is given)")
        if isinstance(workers, (bool, np.bool_)) or not isinstance(workers, (int, np.integer)):
            raise TypeError(f"workers must be an integer, not {type(workers).__name__}")
        if not 1 <= workers <= MAX_WORKERS:
            raise ValueError(f"workers must be in 1 ... {MAX_WORKERS}, got {workers}")


def connect(address: str, timeout: float = 30):
    """A Client of the scheduler at address; ValueError at once for an address that cannot be one.

    The address is parsed before a Client exists: a Client whose constructor
    fails on the address leaves an object whose finaliser waits for a loop
    that never ran.
    """
    from distributed import Client
    from distributed.comm.addressing import normalize_address, parse_address
    from distributed.comm.registry import get_backend
    try:
        scheme, location = parse_address(normalize_address(address))
        backend = get_backend(scheme)
        if scheme != "inproc":
            backend.get_address_host_port(location)
    except ValueError as exc:
        raise ValueError(f"scheduler address {address!r}: {exc}") from None
    try:
        return Client(address, timeout=timeout, set_as_default=False)
    except OSError as exc:
        raise OSError(f"no scheduler answers at {address!r}: {exc}") from None


@contextlib.contextmanager
def _sigint_ignored():
    """Worker processes started in here ignore Ctrl-C (they inherit it): only this process handles it."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.signal(signal.SIGINT, signal.SIG_IGN)
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)


@contextlib.contextmanager
def cluster(client, workers):
    """The given client, or a LocalCluster (one single-threaded worker process per core) for the call."""
    if client is not None:
        yield client
        return
    import dask
    from distributed import Client, LocalCluster
    # No statistical profiler in the workers: it samples their stacks every 10 ms for a
    # dashboard nobody sees of a cluster that lives for one call (about 5 % of a fit).
    with _sigint_ignored(), dask.config.set({"distributed.worker.profile.enabled": False}):
        local = LocalCluster(n_workers=cores() if workers is None else int(workers), threads_per_worker=1,
                             processes=True, dashboard_address=":0", silence_logs=logging.CRITICAL)
    try:
        own = Client(local, set_as_default=False)
        try:
            yield own
        finally:
            own.close()
    finally:
        local.close()


def check_progress(progress) -> None:
    if progress is not None and not isinstance(progress, (bool, np.bool_)) and not callable(progress):
        raise TypeError(f"progress must be None, True, False or a callable, not {type(progress).__name__}")


class Progress:
    """finished / total, rate and time left on a terminal (stderr), or a callback, or nothing."""

    def __init__(self, progress, total: int, done: int, what: str):
        check_progress(progress)
        self.callback = progress if callable(progress) else None
        if progress is None:
            progress = sys.stderr.isatty()
        self.show = bool(progress) and self.callback is None
        self.total, self.done, self.start_done = total, done, done
        self.what = what
        self.started = self.last = time.monotonic()

    def begin(self):
        """The rate counts from here (the cluster is up)."""
        self.started = self.last = time.monotonic()

    def add(self, count: int):
        self.done += count
        if self.callback is not None:
            self.callback(self.done, self.total)
        if self.show:
            now = time.monotonic()
            if now - self.last >= 0.2 or self.done == self.total:
                self.last = now
                made, elapsed = self.done - self.start_done, now - self.started
                rate = made / elapsed if elapsed > 0 else 0.0
                left = (self.total - self.done) / rate if rate > 0 else math.inf
                eta = "--:--" if not math.isfinite(left) else f"{int(left) // 60:d}:{int(left) % 60:02d}"
                sys.stderr.write(f"\r{self.done}/{self.total} {self.what}  {rate:.3g} {self.what}/s  {eta} left   ")
                sys.stderr.flush()

    def close(self):
        if self.show:
            sys.stderr.write("\n")
            sys.stderr.flush()


def run(client, workers, tasks, on_result, progress: Progress) -> None:
    """Submits tasks {key: (function, args)}; on_result(key, result) as each finishes (in this process).

    tasks may also be a function of the number of worker threads returning
    them (tasks sized to the cluster); it is called once the cluster is up.
    On any exception (an interrupt included) the pending tasks are cancelled
    before it propagates; what on_result has stored stays stored.
    """
    if not tasks:
        return
    from distributed import as_completed
    with cluster(client, workers) as c:
        if callable(tasks):
            tasks = tasks(max(1, sum(c.nthreads().values())))
        progress.begin()
        futures = {}
        try:
            token = uuid.uuid4().hex[:8]
            # One graph per function (not a submit per task: each costs the client a look at the
            # caller's source), and the results come with the completions (not a round trip each).
            by_function = {}
            for key, (function, args) in tasks.items():
                by_function.setdefault(function, []).append((key, args))
            for function, items in by_function.items():
                keys = [f"tdcyl-{key[0]}-{token}-{key[1]}" for key, _ in items]
                mapped = c.map(function, *zip(*(args for _, args in items)), key=keys, pure=False)
                futures.update(zip(mapped, (key for key, _ in items)))
            for f, result in as_completed(list(futures), with_results=True, loop=c.loop):
                if f.status != "finished":
                    f.result()  # a cancelled task: its CancelledError
                on_result(futures.pop(f), result)
                f.release()
        finally:
            if futures:
                with contextlib.suppress(Exception):
                    c.cancel(list(futures))
            progress.close()
