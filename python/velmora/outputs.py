"""Writing outputs without ever losing a byte of what is there.

All the outputs of one command form one transaction (Outputs): each is checked when it is
named, before anything is computed; the content is written to temporaries beside the targets;
commit() renames them all into place at the end. A failure or an interrupt before then leaves
every target as it was and no temporary behind (only kill -9 can leave one).

- A file output may replace any file but an input; a link given as output is followed; a device
  or a pipe (/dev/stdout) is written directly, at commit.
- A folder output is written only when it is new (or empty), or when velmora wrote it: its
  record .velmora.json lists every file in it, and it holds nothing else (no other file, no
  link). The new content is built in a fresh sibling folder and swapped in by renames, so the
  folder is the old one or the complete new one; no link inside is followed, nothing stale
  survives. The record of every folder lists its files.
- Nothing is written into a folder the command reads, over one of its inputs, or over an input
  held inside an output folder (velmora.inputs).
"""

import contextlib
import ctypes
import errno
import json
import os
import secrets
import shutil
import signal
import stat

from .inputs import Inputs, inside as _inside
from .textfiles import InputError
from .records import RECORD, foreign as _foreign, read_record, relative as _relative

__all__ = ["Inputs", "Outputs", "OutputFile", "OutputFolder", "RECORD", "write_file", "into_folder", "read_record",
           "interrupts", "Interrupted", "remove_temporaries"]

_TMP = ".velmora-tmp"


# ---- Temporaries, interrupts ----

_LIVE = set()  # temporaries that exist or are being made: removed on every way out
_deferring = 0  # inside a stretch that a signal must not cut (renames, clean-up)
_pending = []  # signals that arrived meanwhile


class Interrupted(KeyboardInterrupt):
    """SIGINT, SIGTERM or SIGHUP: unwinds the command like Ctrl-C, so that temporaries are removed.
    args[0] is the signal number."""


def _interrupt(signum, frame):
    if _deferring:
        _pending.append(signum)
        return
    raise Interrupted(signum)


@contextlib.contextmanager
def _deferred(reraise=True):
    """Signals wait until the block is over (renames that belong together, clean-up)."""
    global _deferring
    _deferring += 1
    try:
        yield
    finally:
        _deferring -= 1
    if reraise and not _deferring and _pending:
        raise Interrupted(_pending.pop(0))


def _temporary_name(target):
    folder, base = os.path.split(target)
    return os.path.join(folder, f".{base}.{secrets.token_hex(4)}{_TMP}")


def _forget(path):
    _LIVE.discard(path)


def _remove(path):
    """Removes a temporary file or folder; never follows a link inside it."""
    try:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    except FileNotFoundError:
        pass
    except OSError:
        return  # stays registered; the last sweep tries again
    _forget(path)


def remove_temporaries():
    """Removes every temporary still there (after a failure or an interrupt)."""
    with _deferred(reraise=False):
        for path in sorted(_LIVE, reverse=True):
            _remove(path)


@contextlib.contextmanager
def interrupts():
    """For the length of a command: SIGINT, SIGTERM and SIGHUP unwind it (Interrupted), and every
    temporary is removed on the way out, whatever ends it. Only in the main thread."""
    global _deferring
    previous = {}
    for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        with contextlib.suppress(ValueError, OSError):  # not the main thread, or not allowed
            previous[signum] = signal.signal(signum, _interrupt)
    try:
        yield
    finally:
        _deferring += 1  # from here on a signal is only noted: the command is over
        try:
            remove_temporaries()
            for signum, handler in previous.items():
                signal.signal(signum, handler)
        finally:
            _deferring -= 1
            _pending.clear()


# ---- Writing ----

_UMASK = None


def _umask():
    global _UMASK
    if _UMASK is None:  # read once: reading it means setting it
        _UMASK = os.umask(0o022)
        os.umask(_UMASK)
    return _UMASK


def _mode(target, default=0o666):
    """The mode of what a new file or folder replaces, or that of a new one."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except OSError:
        return default & ~_umask()


def _write_data(f, data):
    if callable(data):
        data(f)
    else:
        f.write(data)


def _stage(target, data, mode=None):
    """Writes `data` to a new temporary file beside `target`, flushed to the disk; returns its path."""
    tmp = _temporary_name(target)
    _LIVE.add(tmp)
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600)
        with os.fdopen(fd, "wb") as f:
            _write_data(f, data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _mode(target) if mode is None else mode)
    except BaseException:
        _remove(tmp)
        raise
    return tmp


def _cannot_write(path, e):
    return InputError(f"{path}: cannot write: {e.strerror or e}")


def _parent_ready(target, option, path):
    """Refuses an output whose folder cannot be written (missing parents are made at staging)."""
    parent = os.path.dirname(target)
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise InputError(f"{option} {path}: {parent} is not a folder")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise InputError(f"{option} {path}: cannot write into {parent}: Permission denied")


def _make_parents(target, made):
    """Makes the missing folders above `target`, noting them in `made` (removed again on failure)."""
    missing = []
    parent = os.path.dirname(target)
    while not os.path.isdir(parent):
        missing.append(parent)
        parent = os.path.dirname(parent)
    for folder in reversed(missing):
        os.mkdir(folder, 0o777)
        made.append(folder)


class OutputFile:
    """One output file of a transaction: write() stages its content, the commit renames it in."""

    def __init__(self, path, option):
        self.path, self.option = path, option
        self.target = os.path.realpath(path)
        # A device or a pipe (/dev/stdout, whose link names no real file) cannot be replaced.
        self.direct = os.path.exists(path) and not os.path.isfile(path)
        self._tmp = None
        self._direct = None  # the content for a device or a pipe, written at commit

    def write(self, data):
        """The file's content: bytes, or a function that writes to a binary file."""
        try:
            if self.direct:
                self._direct = data
                return
            if self._tmp is not None:
                _remove(self._tmp)
            self._tmp = _stage(self.target, data)
        except OSError as e:
            raise _cannot_write(self.path, e) from None

    def _commit(self):
        if self._direct is not None:
            with open(self.path, "wb") as f:
                _write_data(f, self._direct)
        elif self._tmp is not None:
            os.replace(self._tmp, self.target)
            _forget(self._tmp)
            self._tmp = None


def _swap(new, old):
    """Exchanges two folders at once where the system can (renameat2), else by two renames."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        renameat2 = None
    if renameat2 is not None:
        at_fdcwd, rename_exchange = -100, 2
        if renameat2(at_fdcwd, os.fsencode(new), at_fdcwd, os.fsencode(old), rename_exchange) == 0:
            return new  # `new` now names the old content
        code = ctypes.get_errno()
        if code not in (errno.EINVAL, errno.ENOSYS, errno.EOPNOTSUPP):
            raise OSError(code, os.strerror(code), old)
    aside = _temporary_name(old)
    _LIVE.add(aside)
    os.rename(old, aside)
    os.rename(new, old)
    return aside


class OutputFolder:
    """One output folder of a transaction: write() adds a file to the new content, built in a fresh
    sibling folder; the commit writes the record (`record`, plus the list of files) and swaps it in."""

    def __init__(self, path, option, record=None):
        self.path, self.option = path, option
        self.target = os.path.realpath(path)
        self.record = dict(record or {})
        self._building = None
        self._files = []
        self._made = []  # parent folders made for it

    def check(self):
        """Refuses (InputError) a folder velmora may not rewrite, saying why and what to do."""
        what = f"{self.option} {self.path}"
        if not os.path.lexists(self.target):
            return _parent_ready(self.target, self.option, self.path)
        if not os.path.isdir(self.target):
            raise InputError(f"{what}: exists and is not a folder")
        _parent_ready(self.target, self.option, self.path)
        try:
            if not os.listdir(self.target):
                return  # an empty folder holds nothing to lose
            record = read_record(self.target)
            if record is None or "files" not in record:
                raise InputError(f"{what}: an existing folder that velmora did not write (it has no {RECORD} "
                                 "listing its files); velmora writes only a new folder or one it wrote itself: "
                                 "choose a new folder")
            foreign = _foreign(self.target, record["files"])
        except OSError as e:
            raise InputError(f"{what}: cannot list the folder: {e.strerror or e}") from None
        if foreign is not None:
            raise InputError(f"{what}: holds {foreign}, which velmora did not write there (its {RECORD} does not "
                             "list it); rewriting the folder would delete it: move it away or choose a new folder")

    def _start(self):
        if self._building is None:
            _make_parents(self.target, self._made)
            building = _temporary_name(self.target)
            _LIVE.add(building)
            os.mkdir(building, 0o700)
            self._building = building

    def write(self, name, data):
        """Writes the file `name` (a relative path, '/' between folders) of the new content."""
        if not _relative(name) or name == RECORD:
            raise ValueError(f"not a file name for an output folder: {name!r}")
        try:
            self._start()
            target = os.path.join(self._building, *name.split("/"))
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "xb") as f:  # x: a name written twice is a fault of the caller
                _write_data(f, data)
                f.flush()
                os.fsync(f.fileno())
        except OSError as e:
            raise _cannot_write(os.path.join(self.path, name), e) from None
        self._files.append(name)

    def _finish(self):
        """Writes the record and gives the folders their modes: the content is complete."""
        self._start()
        record = dict(self.record, files=sorted(self._files))
        with open(os.path.join(self._building, RECORD), "xb") as f:
            f.write((json.dumps(record, indent=1, allow_nan=False) + "\n").encode())
            f.flush()
            os.fsync(f.fileno())
        for root, folders, _ in os.walk(self._building):
            for name in folders:
                os.chmod(os.path.join(root, name), 0o777 & ~_umask())
        os.chmod(self._building, _mode(self.target, 0o777))

    def _commit(self):
        building, self._building = self._building, None
        if os.path.lexists(self.target):
            old = _swap(building, self.target)
            if old != building:
                _forget(building)
            _remove(old)
        else:
            os.rename(building, self.target)
            _forget(building)

    def _abandon(self):
        if self._building is not None:
            _remove(self._building)
            self._building = None
        for folder in reversed(self._made):
            with contextlib.suppress(OSError):
                os.rmdir(folder)
        self._made = []


class Outputs:
    """All the outputs of one command, written together or not at all.

        with Outputs(inputs) as out:
            table = out.file(args.csv, "--csv")        # checked now, before any work
            fused = out.folder(args.output, "-o", record)
            ...                                        # the work
            table.write(text.encode())                 # staged beside the target
            fused.write("seq.txt", data)
            out.commit()                               # every output renamed in at once

    Leaving the block without commit() removes whatever was staged.
    """

    def __init__(self, inputs=None):
        self.inputs = inputs if inputs is not None else Inputs()
        self._outputs = []
        self._committed = False

    def _check_apart(self, output):
        """Refuses an output that is another one, or lies in (or holds) another output folder."""
        for other in self._outputs:
            folders = [o for o in (output, other) if isinstance(o, OutputFolder)]
            if other.target == output.target or any(_inside(o.target, f.target) for f in folders
                                                    for o in (output, other) if o is not f):
                raise InputError(f"{output.option} {output.path}: also written as {other.option} {other.path}; "
                                 "give each output its own place")

    def file(self, path, option="-o"):
        """An output file, checked against the inputs and the other outputs now."""
        path = os.fspath(path)
        self.inputs.check_file(path, option)
        output = OutputFile(path, option)
        self._check_apart(output)
        parent = os.path.dirname(output.target)
        if not output.direct and not os.path.isdir(parent):
            raise InputError(f"{option} {path}: no such folder {parent}")
        if not output.direct:
            _parent_ready(output.target, option, path)
        self._outputs.append(output)
        return output

    def folder(self, path, option="-o", record=None):
        """An output folder, checked now: new, empty, or one velmora wrote that holds nothing else."""
        path = os.fspath(path)
        self.inputs.check_folder(path, option)
        output = OutputFolder(path, option, record)
        self._check_apart(output)
        output.check()
        self._outputs.append(output)
        return output

    def commit(self):
        """Renames every staged output into place, checking the folders once more first."""
        output = None
        try:
            for output in self._outputs:
                if isinstance(output, OutputFolder):
                    output.check()  # nothing came in meanwhile
                    output._finish()
            with _deferred():
                for output in self._outputs:
                    output._commit()
                self._committed = True
        except OSError as e:
            raise _cannot_write(output.path, e) from None

    def _abandon(self):
        with _deferred(reraise=False):
            for output in self._outputs:
                if isinstance(output, OutputFolder):
                    output._abandon()
                elif output._tmp is not None:
                    _remove(output._tmp)
                    output._tmp = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if not self._committed:
            self._abandon()
        return False


def write_file(path, data, inputs=None, option="-o"):
    """Writes one file atomically (bytes, or a function that writes to a binary file): see Outputs."""
    with Outputs(inputs) as out:
        out.file(path, option).write(data)
        out.commit()


@contextlib.contextmanager
def into_folder(output, inputs=None, option="-o"):
    """The OutputFolder a function of the API writes into: `output` itself when it is one (the
    caller's transaction checks and commits it), else the folder at the path `output`, checked now
    and committed when the block ends without an error."""
    if isinstance(output, OutputFolder):
        yield output
        return
    with Outputs(inputs) as out:
        folder = out.folder(output, option)
        yield folder
        out.commit()
