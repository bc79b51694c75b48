"""Ending a run cleanly on SIGINT, SIGTERM or SIGHUP, wherever it is.

Python runs signal handlers in the main thread only, and only between
bytecodes: a Ctrl-C that arrives while the main thread is inside the netCDF
or HDF5 library waits for the library call to return, and an exception raised
there can be caught and dropped by the library's own clean-up. So the run's
work (reading, computing, writing) goes to a worker thread and the main thread
only waits: a signal is always handled at once, and always by code of ours.

On a signal the main thread closes the write gates (no new chunk is written),
waits a moment for the writes in flight, removes every partial output still
registered and reports. A worker still stuck inside a library call after that
cannot be stopped from Python; the caller then ends the process with
``os._exit`` (nothing of value is left in it: its outputs are removed).
"""

from __future__ import annotations

import os
import shutil
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

from .watchdog import Watchdog

# Seconds the main thread waits, after a signal, for the work to wind down
# before it removes the partial outputs regardless.
GRACE = 3.0
# Seconds after a signal by which a run that cannot handle it (a C loop holds
# the interpreter lock) is killed by the watchdog: past GRACE twice over.
DEADLINE = 10.0

HANDLED = tuple(
    s for s in (signal.SIGINT, signal.SIGTERM, getattr(signal, "SIGHUP", None)) if s is not None
)


class Interrupted(BaseException):
    """A signal ended the run (a BaseException: no ``except Exception`` may swallow it)."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum

    @property
    def exit_status(self) -> int:
        return 128 + self.signum

    def describe(self) -> str:
        if self.signum == signal.SIGINT:
            return "interrupted"
        return f"stopped by {signal.Signals(self.signum).name}"


class WriteGate:
    """Counts the chunk writes in flight; once closed, refuses new ones.

    Clean-up after a failure or a signal closes the gate and waits for the
    writes already started, so that no writer thread recreates a file inside
    an output directory after it has been removed.
    """

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self._active = 0
        self._closed = False

    @contextmanager
    def write(self) -> Iterator[None]:
        with self._cond:
            if self._closed:
                raise OSError("output cancelled: the run is stopping")
            self._active += 1
        try:
            yield
        finally:
            with self._cond:
                self._active -= 1
                self._cond.notify_all()

    def close(self, timeout: float) -> bool:
        """Refuse new writes and wait for those in flight; False if they did not end in time."""
        with self._cond:
            self._closed = True
            return self._cond.wait_for(lambda: self._active == 0, timeout)


# Partial outputs of this process, each with the gate of its writes: removed
# on failure by whoever staged them, and by the main thread on a signal. A
# gate once closed stays closed: a task of a failed run that reaches its write
# later (the scheduler does not cancel tasks already handed to its threads)
# is refused instead of recreating the removed output.
_partials: dict[str, WriteGate] = {}
_partials_lock = threading.Lock()
# Held across the check-and-rename that publishes an output, and by the main
# thread when it starts to stop the run: an output is either published before
# the stop or never.
commit_lock = threading.Lock()
_stopping = threading.Event()


def stopping() -> bool:
    return _stopping.is_set()


_watchdog: Watchdog | None = None


def register(path: str) -> WriteGate:
    gate = WriteGate()
    with _partials_lock:
        _partials[path] = gate
        if _watchdog is not None:
            _watchdog.note(path, staged=True)
    return gate


def unregister(path: str) -> None:
    with _partials_lock:
        _partials.pop(path, None)
        if _watchdog is not None:
            _watchdog.note(path, staged=False)


def gate_for(path: str) -> WriteGate:
    """The gate of the partial output at ``path`` (a closed one if it is not staged)."""
    with _partials_lock:
        gate = _partials.get(path)
    if gate is None:
        gate = WriteGate()
        gate.close(0.0)
    return gate


def remove_path(path: str) -> None:
    """Remove a file, symlink or directory tree; a path already gone is fine."""
    p = Path(path)
    try:
        if p.is_dir() and not p.is_symlink():
            shutil.rmtree(p)
        else:
            p.unlink()
    except FileNotFoundError:
        pass


def remove_partials() -> None:
    """Close every gate, wait (briefly) for the writes in flight, remove the partials."""
    with _partials_lock:
        staged = dict(_partials)
        _partials.clear()
    deadline = time.monotonic() + GRACE
    for gate in staged.values():
        gate.close(max(deadline - time.monotonic(), 0.0))
    for path in staged:
        try:
            remove_path(path)
        except OSError:
            pass


class Worker:
    """The run's work in a daemon thread, its outcome handed back to the main thread."""

    def __init__(self, job: Callable[[], Any]) -> None:
        self._job = job
        self._done = threading.Event()
        self._result: Any = None
        self._error: BaseException | None = None
        self.thread = threading.Thread(target=self._run, name="tarnwell-run", daemon=True)

    def _run(self) -> None:
        try:
            self._result = self._job()
        except BaseException as err:  # handed to the main thread as it is
            self._error = err
        finally:
            self._done.set()

    def wait(self) -> Any:
        self.thread.start()
        # A bounded wait: the handlers of signals that arrive meanwhile run
        # between the waits even where a lock wait could not be interrupted.
        while not self._done.wait(0.25):
            pass
        if self._error is not None:
            raise self._error.with_traceback(self._error.__traceback__)
        return self._result


def run[R](job: Callable[[], R], name: str = "tarnwell") -> R:
    """``job()`` in a worker thread, ended cleanly by SIGINT, SIGTERM or SIGHUP.

    Raises :class:`Interrupted` after the partial outputs are removed; the
    worker may still be alive then (see :func:`hard_exit`). Outside the
    main thread (no signal handlers can be set there) the job runs directly.
    A run that cannot handle the signal within :data:`DEADLINE` seconds is
    killed by a :class:`~.watchdog.Watchdog`, which prints its line as
    ``name: interrupted; ...``.
    """
    if threading.current_thread() is not threading.main_thread():
        return job()
    received: list[int] = []

    def handler(signum: int, frame: Any) -> None:
        if received:
            return  # the run is already stopping; a second Ctrl-C must not cut the clean-up
        received.append(signum)
        raise Interrupted(signum)

    previous = {}
    for signum in HANDLED:
        current = signal.getsignal(signum)
        if current is signal.SIG_IGN:
            continue  # nohup, or a background job of a non-interactive shell: keep it so
        previous[signum] = current
        signal.signal(signum, handler)
    worker = Worker(job)
    _stopping.clear()
    global _last_worker, _watchdog
    _last_worker = worker
    # A frozen application's executable is no Python to run the watchdog with.
    frozen = getattr(sys, "frozen", False)
    watchdog = Watchdog(DEADLINE, name) if previous and not frozen else None
    with _partials_lock:
        _watchdog = watchdog
    interrupted = False
    try:
        return worker.wait()  # type: ignore[no-any-return]
    except Interrupted:
        interrupted = True
        stop()
        raise
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)
        # Interrupted, the caller reports and ends the process: the watchdog
        # stays on guard until then.
        if watchdog is not None and not interrupted:
            with _partials_lock:
                _watchdog = None
            watchdog.close()


_last_worker: Worker | None = None


def stop() -> None:
    """Stop the writers, give the work a moment to end, remove the partial outputs."""
    with commit_lock:
        _stopping.set()
    with _partials_lock:
        gates = list(_partials.values())
    for gate in gates:
        gate.close(GRACE)
    if _last_worker is not None:
        _last_worker.thread.join(GRACE / 2)
    remove_partials()


def hard_exit(status: int) -> None:
    """End the process now, streams flushed.

    After a signal the work may still be inside a library call that cannot be
    joined, and the interpreter's own exit would wait for every thread of a
    pool (dask's among them) to finish its task: the partial outputs are gone,
    so nothing is lost by ending here.
    """
    import sys

    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except Exception:
            pass
    os._exit(status)
