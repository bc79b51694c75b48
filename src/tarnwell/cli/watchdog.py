"""A second process that ends the run if a signal is not handled in time.

Python runs a signal's handler in the main thread, and only once that thread
holds the interpreter lock. Code in C that keeps the lock for minutes (one
regular expression over a hostile string does) keeps every thread of the
process from running Python, the handler among them: a Ctrl-C would then be
acted on only when that code returns, if ever. No thread of the process can
help, so a small process watches instead.

The interpreter's own C-level signal handler writes the signal's number to
the "wakeup" file descriptor the moment the signal arrives, without the
interpreter lock; that descriptor is a pipe to the watchdog. The run also
tells the watchdog which partial outputs it is writing. If the run is still
alive ``deadline`` seconds after a signal (its own clean-up, which has bounded
waits, has then failed to get the lock), the watchdog kills it, removes those
partial outputs and prints the one line the run would have printed. When the
run ends, its ends of the pipes close and the watchdog exits.

Run as a script (``python -I -S watchdog.py ...``), it needs only the
standard library and starts in a few milliseconds.
"""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import sys
import time


class Watchdog:
    """The run's side: starts the watchdog and keeps it told of the partial outputs."""

    def __init__(self, deadline: float, prefix: str) -> None:
        wake_read, self._wake = os.pipe()
        control_read, self._control = os.pipe()
        os.set_blocking(self._wake, False)  # as the signal machinery requires
        args = [sys.executable, "-I", "-S", os.path.abspath(__file__), str(os.getpid())]
        args += [str(wake_read), str(control_read), repr(deadline), prefix]
        try:
            # Its own session: a Ctrl-C at the terminal reaches the run, not the watchdog.
            self._process: subprocess.Popen[bytes] | None = subprocess.Popen(
                args,
                pass_fds=(wake_read, control_read),
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                start_new_session=True,
            )
        except OSError:
            self._process = None
        finally:
            os.close(wake_read)
            os.close(control_read)
        self._previous = signal.set_wakeup_fd(self._wake, warn_on_full_buffer=False)

    def note(self, path: str, staged: bool) -> None:
        """Tell the watchdog that ``path`` is (or no longer is) a partial output."""
        try:
            os.write(self._control, (b"+" if staged else b"-") + os.fsencode(path) + b"\n")
        except OSError:  # the watchdog is gone: the run goes on unwatched
            pass

    def close(self) -> None:
        signal.set_wakeup_fd(self._previous)
        for fd in (self._wake, self._control):
            os.close(fd)
        if self._process is not None:
            try:
                self._process.wait(2.0)  # it exits as soon as it reads the end of the pipes
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()


def _remove(path: str) -> None:
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        else:
            os.unlink(path)
    except OSError:
        pass


_STOPPING = {int(getattr(signal, n)) for n in ("SIGINT", "SIGTERM", "SIGHUP") if hasattr(signal, n)}


def _watch(argv: list[str]) -> None:
    for signum in _STOPPING:
        signal.signal(signum, signal.SIG_IGN)
    parent, wake, control = int(argv[0]), int(argv[1]), int(argv[2])
    deadline, prefix = float(argv[3]), argv[4]
    partials: set[str] = set()
    pending = b""
    due: float | None = None
    signum = 0
    while True:
        timeout = None if due is None else max(due - time.monotonic(), 0.0)
        ready, _, _ = select.select([wake, control], [], [], timeout)
        for fd in ready:
            data = os.read(fd, 65536)
            if not data:
                return  # the run has ended
            if fd == wake:
                # The byte of every signal with a Python handler arrives here;
                # only those that stop the run start the clock.
                stops = [s for s in data if s in _STOPPING]
                if stops and due is None:
                    signum, due = stops[0], time.monotonic() + deadline
            elif fd == control:
                *lines, pending = (pending + data).split(b"\n")
                for line in lines:
                    path = os.fsdecode(line[1:])
                    partials.add(path) if line[:1] == b"+" else partials.discard(path)
        if due is not None and time.monotonic() >= due:
            break
    try:
        os.kill(parent, signal.SIGKILL)  # first: a dead run recreates nothing
    except OSError:
        return
    for path in partials:
        _remove(path)
    what = "interrupted" if signum == signal.SIGINT else f"stopped by {signal.Signals(signum).name}"
    said = f"{prefix}: {what}; no output written (killed: it did not stop within {deadline:g} s)"
    os.write(2, (said + "\n").encode())


if __name__ == "__main__":
    _watch(sys.argv[1:])
