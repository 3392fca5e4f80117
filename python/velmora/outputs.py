"""Writing the command line's outputs without ever losing a byte of its inputs.

Every output is written to a temporary file in the target's folder, flushed to the disk and
renamed over the target only when complete, so a failure or an interrupt leaves the old file as
it was and no temporary file behind. Before anything is written, each output is compared with
every input the command reads (by device and inode, and by resolved path), and refused when it
would write over an input or into a folder the command reads.
"""

import contextlib
import os
import shutil
import signal
import stat
import tempfile

from .io import InputError

__all__ = ["Inputs", "write_file", "OutputFolder", "handle_termination"]


def _identity(path):
    """(device, inode) of what `path` names, following links; None if nothing is there."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    return st.st_dev, st.st_ino


def _inside(path, folder):
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


class Inputs:
    """The files and folders a command reads, for the checks of its outputs."""

    def __init__(self):
        self._files = {}  # (device, inode) or resolved path -> the path as the command named it
        self._folders = {}  # resolved path -> (the path as named, what it is)
        self._tracker_folders = []  # resolved paths

    def file(self, path):
        for key in (_identity(path), os.path.realpath(path)):
            if key is not None:
                self._files.setdefault(key, path)

    def folder(self, path, what, tracker=False):
        resolved = os.path.realpath(path)
        self._folders.setdefault(resolved, (path, what))
        identity = _identity(path)
        if identity is not None:
            self._files.setdefault(identity, path)
        if tracker:
            self._tracker_folders.append(resolved)

    def _input_named_by(self, path):
        for key in (_identity(path), os.path.realpath(path)):
            if key in self._files:
                return self._files[key]
        return None

    def _read_folder_holding(self, resolved):
        for folder, (named, what) in self._folders.items():
            if _inside(resolved, folder):
                return named, what
        return None

    def check_file(self, path, option):
        """Refuses (InputError) an output file that would replace an input or land in a read folder."""
        same = self._input_named_by(path)
        if same is not None:
            raise InputError(f"{option} {path}: this is an input of the command ({same}); refusing to write over it")
        if os.path.isdir(path):
            raise InputError(f"{option} {path}: is a folder, not a file")
        holder = self._read_folder_holding(os.path.dirname(os.path.realpath(path)))
        if holder is not None:
            raise InputError(f"{option} {path}: would be written into {holder[0]} ({holder[1]}), which the command "
                             "reads; choose another place")

    def check_folder(self, path, option):
        """Refuses an output folder that is an input, lies in a read folder or holds a tracker folder."""
        same = self._input_named_by(path)
        if same is not None:
            raise InputError(f"{option} {path}: this is an input of the command ({same}); refusing to write into it")
        resolved = os.path.realpath(path)
        holder = self._read_folder_holding(resolved)
        if holder is not None:
            raise InputError(f"{option} {path}: lies in {holder[0]} ({holder[1]}), which the command reads; "
                             "choose another place")
        # Files written beside tracker folders would turn their results root into a tracker folder.
        for tracker in self._tracker_folders:
            if os.path.dirname(tracker) == resolved:
                raise InputError(f"{option} {path}: holds the tracker folder {os.path.basename(tracker)} that the "
                                 "command reads; writing result files beside it would make it a tracker folder "
                                 "itself; choose another place")


_UMASK = None


def _umask():
    global _UMASK
    if _UMASK is None:  # read once: reading it means setting it
        _UMASK = os.umask(0o022)
        os.umask(_UMASK)
    return _UMASK


def _mode(target):
    """The mode of the file a new one replaces, or that of a new file."""
    try:
        return stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        return 0o666 & ~_umask()


def _stage(target, data):
    """Writes `data` to a new temporary file beside `target`, flushed to the disk; returns its path."""
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".velmora-tmp",
                               dir=os.path.dirname(target))
    try:
        with os.fdopen(fd, "wb") as f:
            if callable(data):
                data(f)
            else:
                f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, _mode(target))
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise
    return tmp


def _cannot_write(path, e):
    return InputError(f"{path}: cannot write: {e.strerror or e}")


def write_file(path, data):
    """Writes `data` (bytes, or a function that writes to a binary file) to `path` atomically.

    A link is followed: the file it names is the one replaced, keeping its mode. A device or a
    pipe (/dev/stdout, say) is written to directly: it cannot be replaced. On any failure or
    interrupt the old file stays as it was and no temporary file remains; OSError becomes an
    InputError naming the path.
    """
    target = os.path.realpath(path)
    try:
        if os.path.exists(target) and not os.path.isfile(target):
            with open(target, "wb") as f:
                data(f) if callable(data) else f.write(data)
            return
        tmp = _stage(target, data)
        try:
            os.replace(tmp, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
            raise
    except OSError as e:
        raise _cannot_write(path, e) from None


class OutputFolder:
    """A folder of output files that changes all at once or not at all.

    A new folder is built under a temporary name beside it and renamed into place by commit().
    In an existing folder every file is first written beside its target under a temporary name,
    and commit() renames them all into place. Leaving the ``with`` block without commit()
    removes whatever was written.
    """

    def __init__(self, path):
        self.path = path
        self._target = os.path.realpath(path)
        self._building = None  # the temporary folder that becomes the target
        self._staged = []  # (temporary file, target) in an existing folder

    def __enter__(self):
        if os.path.isdir(self._target):
            return self
        if os.path.lexists(self._target):
            raise InputError(f"{self.path}: exists and is not a folder")
        parent = os.path.dirname(self._target)
        try:
            os.makedirs(parent, exist_ok=True)
            self._building = tempfile.mkdtemp(prefix=f".{os.path.basename(self._target)}.", suffix=".velmora-tmp",
                                              dir=parent)
            os.chmod(self._building, 0o777 & ~_umask())
        except OSError as e:
            raise InputError(f"{self.path}: cannot create the folder: {e.strerror or e}") from None
        return self

    def write(self, name, data):
        """Writes the file `name` (a relative path) of the folder, to appear at commit()."""
        target = os.path.join(self._building or self._target, name)
        try:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            tmp = _stage(target, data)
        except OSError as e:
            raise _cannot_write(os.path.join(self.path, name), e) from None
        if self._building is not None:
            os.replace(tmp, target)
        else:
            self._staged.append((tmp, target))

    def commit(self):
        try:
            if self._building is not None:
                os.rename(self._building, self._target)
                self._building = None
            for tmp, target in self._staged:
                os.replace(tmp, target)
            self._staged = []
        except OSError as e:
            raise _cannot_write(self.path, e) from None

    def __exit__(self, *exc):
        if self._building is not None:
            shutil.rmtree(self._building, ignore_errors=True)
            self._building = None
        for tmp, _ in self._staged:
            with contextlib.suppress(OSError):
                os.unlink(tmp)
        self._staged = []
        return False


class Terminated(KeyboardInterrupt):
    """SIGTERM or SIGHUP: unwinds like Ctrl-C, so that temporary files are removed."""


def _terminate(signum, frame):
    raise Terminated(signum)


def handle_termination():
    """Makes SIGTERM and SIGHUP unwind the command instead of ending it on the spot."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        with contextlib.suppress(ValueError, OSError):  # not the main thread, or not allowed
            signal.signal(signum, _terminate)
