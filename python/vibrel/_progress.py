"""Progress of long calls: a callback, a `tqdm` bar when tqdm is installed, or a
line on stderr."""

from __future__ import annotations

import sys
import time

_SHOW_AFTER = 2.0  # seconds before a plain progress line appears


class Line:
    """A progress line on stderr for a step that runs longer than a couple of seconds."""

    def __init__(self, label: str, total: int) -> None:
        self.label, self.total = label, total
        self.start = self.last = time.perf_counter()
        self.shown = False
        self.tty = sys.stderr.isatty()

    def __call__(self, done: int) -> None:
        now = time.perf_counter()
        if now - self.start < _SHOW_AFTER or (not self.tty and now - self.last < 5.0):
            return
        self.last, self.shown = now, True
        rate = done / (now - self.start)
        eta = (self.total - done) / rate if rate > 0 else 0.0
        line = (f"  {self.label}: {done:,}/{self.total:,} ({100 * done / max(self.total, 1):.0f}%), "
                f"about {eta:.0f} s left")
        print(("\r" + line.ljust(72)) if self.tty else line, end="" if self.tty else "\n",
              file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.shown and self.tty:
            print("\r" + " " * 72 + "\r", end="", file=sys.stderr, flush=True)


class _Bar:
    def __init__(self, label: str, total: int) -> None:
        from tqdm import tqdm
        self.bar, self.done = tqdm(total=total, desc=label, unit="row", leave=False), 0

    def __call__(self, done: int) -> None:
        self.bar.update(done - self.done)
        self.done = done

    def close(self) -> None:
        self.bar.close()


class _Callback:
    def __init__(self, callback, label: str, total: int) -> None:
        self.callback, self.label, self.total = callback, label, total

    def __call__(self, done: int) -> None:
        self.callback(self.label, done, self.total)

    def close(self) -> None:
        pass


class _Silent:
    def __call__(self, done: int) -> None:
        pass

    def close(self) -> None:
        pass


def reporter(verbose, label: str, total: int):
    """The progress reporter of `verbose`: False says nothing, a callable is called
    as callable(label, done, total), True shows a tqdm bar or a stderr line."""
    if callable(verbose):
        return _Callback(verbose, label, total)
    if not verbose:
        return _Silent()
    try:
        return _Bar(label, total)
    except ImportError:
        return Line(label, total)
