"""Warnings, notes and progress of the benchmark layer, on standard error.

Warnings always show; notes and progress only when not quiet. Progress lines appear only for
work that has been running for over a second: rewritten in place on a terminal, at most one a
second in a log. A message that cannot be written (standard error closed or full) is dropped:
there is nowhere left to report it.
"""

import sys
import time

__all__ = ["Reporter"]

PROG = "velmora"


def listing(names, limit=5):
    """The first `limit` names, comma-separated, and how many more there are."""
    names = list(names)
    shown = ", ".join(names[:limit])
    return shown + (f" and {len(names) - limit} more" if len(names) > limit else "")
_clock = time.monotonic


class Reporter:
    """Where the benchmark layer reports: ``warn`` always, ``note`` and ``progress`` unless quiet."""

    def __init__(self, quiet=False, stream=None):
        self.quiet = quiet
        self.stream = stream
        self.midline = False  # a progress line on a terminal, not yet ended
        self.warnings = 0

    def _write(self, text, end="\n"):
        stream = self.stream if self.stream is not None else sys.stderr
        try:
            print(text, end=end, file=stream, flush=True)
        except (OSError, ValueError):
            pass

    def _print(self, text):
        if self.midline:
            self._write("")
            self.midline = False
        self._write(text)

    def warn(self, message):
        self.warnings += 1
        self._print(f"{PROG}: warning: {message}")

    def error(self, message):
        """The one line that ends a command."""
        self._print(f"{PROG}: {message}")

    def note(self, message):
        if not self.quiet:
            self._print(f"{PROG}: {message}")

    def progress(self, what, total):
        return _Progress(self, what, total)


class _Progress:
    """'done of total' lines, shown only for work that has been running for over a second."""

    def __init__(self, reporter, what, total):
        self.reporter = reporter
        self.what = what
        self.total = total
        self.done = 0
        self.start = _clock()
        self.last = None
        stream = reporter.stream if reporter.stream is not None else sys.stderr
        self.tty = stream.isatty() if hasattr(stream, "isatty") else False

    def step(self):
        self.done += 1
        if self.reporter.quiet:
            return
        now = _clock()
        if now - self.start < 1.0:
            return
        # A terminal line is rewritten in place; a log gets at most one line a second.
        interval = 0.2 if self.tty else 1.0
        if self.last is not None and now - self.last < interval and self.done < self.total:
            return
        self.last = now
        text = f"{PROG}: {self.what}: {self.done}/{self.total} sequences"
        if self.tty:
            self.reporter._write("\r" + text, end="")
            self.reporter.midline = True
        else:
            self.reporter._write(text)

    def close(self):
        if self.reporter.midline:
            self.reporter._write("")
            self.reporter.midline = False

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
