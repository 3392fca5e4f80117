"""The record of a folder velmora wrote: .velmora.json, how its content was made and which files it holds.

velmora.outputs writes it into every folder it writes, and rewrites a folder only when its
record lists everything in it; velmora.layouts reads it as the provenance of fused tracks.
"""

import json
import os
import stat

from .textfiles import InputError

__all__ = ["RECORD", "read_record", "relative", "foreign"]

RECORD = ".velmora.json"


def read_record(folder):
    """The record of a folder velmora wrote ({...} with 'files'), None when there is none.

    InputError when .velmora.json is there but is no record velmora writes (not JSON, not an
    object, NaN or infinite numbers, or a list of files that is no list of relative paths).
    """
    path = os.path.join(folder, RECORD)
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return None
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    if not stat.S_ISREG(st.st_mode) or st.st_size > 64 << 20:
        raise InputError(f"{path}: not a record velmora writes (a plain JSON file); remove it if it is not "
                         "velmora's")

    def constant(name):
        raise ValueError(f"{name} is no number velmora writes")

    try:
        with open(path, "rb") as f:
            record = json.loads(f.read().decode("utf-8"), parse_constant=constant)
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    except ValueError as e:  # UnicodeDecodeError and json's errors too
        raise InputError(f"{path}: not a record velmora writes ({e}); remove it if it is not velmora's") from None
    files = record.get("files") if isinstance(record, dict) else None
    if not isinstance(record, dict) or ("files" in record and not (
            isinstance(files, list) and all(isinstance(f, str) and relative(f) for f in files))):
        raise InputError(f"{path}: not a record velmora writes; remove it if it is not velmora's")
    return record


def relative(name):
    parts = name.split("/")
    return bool(name) and not name.startswith("/") and all(p not in ("", ".", "..") for p in parts)


def foreign(folder, listed):
    """The first entry of `folder` that its record does not list (a link, a file or folder velmora
    did not write), as 'name' or 'name/'; None when it holds only what is listed. Follows no link."""
    wanted = set(listed) | {RECORD}
    folders = {os.path.dirname(n) for n in wanted}
    for name in list(folders):
        while name:
            name = os.path.dirname(name)
            folders.add(name)
    pending = [""]
    while pending:
        relative = pending.pop()
        with os.scandir(os.path.join(folder, relative)) as entries:
            for entry in sorted(entries, key=lambda e: e.name):
                name = os.path.join(relative, entry.name)
                if entry.is_symlink():
                    return name + " (a link)"
                if entry.is_dir(follow_symlinks=False):
                    if name not in folders:
                        return name + "/"
                    pending.append(name)
                elif not (entry.is_file(follow_symlinks=False) and name in wanted):
                    return name
    return None
