"""The command's standard streams: what is closed at start, and writes that fail.

A descriptor 0 to 2 that is closed when the command starts gets /dev/null, so that no file the
command opens takes its number (and its messages). Results meant for a closed standard output
end the command as a closed pipe does (BrokenPipeError); a failed write (a full disk) becomes
an InputError naming standard output.
"""

import contextlib
import errno
import os
import sys

from .textfiles import InputError

__all__ = ["open_standard_streams", "write", "flush", "silence"]


class _ClosedOutput:
    """Standard output that was closed before the command started."""

    def write(self, text):
        raise BrokenPipeError(errno.EPIPE, "standard output is closed")

    def flush(self):
        pass

    def isatty(self):
        return False


def open_standard_streams():
    """Gives /dev/null to descriptors 0 to 2 that are closed; a closed standard output stays closed
    to the command."""
    closed = []
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            closed.append(fd)
    for fd in closed:
        null = os.open(os.devnull, os.O_RDWR)
        if null != fd:
            os.dup2(null, fd)
            os.close(null)
    if 2 in closed or sys.stderr is None:
        sys.stderr = open(os.devnull, "w")
    if 1 in closed or sys.stdout is None:
        sys.stdout = _ClosedOutput()


def flush():
    """Flushes standard output; a failure other than a closed pipe becomes an error naming it."""
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise InputError(f"standard output: cannot write: {e.strerror or e}") from None


def write(text):
    """Writes to standard output, as flush() reports."""
    try:
        sys.stdout.write(text)
    except BrokenPipeError:
        raise
    except OSError as e:
        raise InputError(f"standard output: cannot write: {e.strerror or e}") from None
    flush()


def silence():
    """The reader of standard output went away (velmora ... | head): nothing is left to say, and
    the interpreter's last flush must not complain either."""
    with contextlib.suppress(OSError, ValueError):
        sys.stdout = open(os.devnull, "w")
