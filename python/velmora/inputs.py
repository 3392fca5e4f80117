"""The files and folders a command reads, for the checks of its outputs (velmora.outputs).

Every file a command reads is an input: results, timing logs, annotation, flag, label and meta
files, weights, selections, sequence lists and attribute files, and the folders they were found
in. Inputs and outputs are compared by device and inode as well as by resolved path, so hard and
symbolic links count.
"""

import os

from .textfiles import InputError

__all__ = ["Inputs", "inside"]


def _identity(path):
    """(device, inode) of what `path` names, following links; None if nothing is there."""
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_dev, st.st_ino


def inside(path, folder):
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
            if inside(resolved, folder):
                return named, what
        return None

    def _inputinside(self, resolved):
        """An input (file or folder) that lies inside the folder `resolved`, as named, or None."""
        for key, named in self._files.items():
            if isinstance(key, str) and key != resolved and inside(key, resolved):
                return named
        for folder, (named, _) in self._folders.items():
            if folder != resolved and inside(folder, resolved):
                return named
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
        """Refuses an output folder that is an input, lies in a read folder, holds an input or a tracker folder."""
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
        inner = self._inputinside(resolved)
        if inner is not None:
            raise InputError(f"{option} {path}: holds {inner}, an input of the command, which rewriting the folder "
                             "would delete; choose another place")
