"""Which sequences and trackers a command works on: sequence lists, the roles of the folders given,
what only some trackers have, and trackers that are one and the same.

A sequence list (``--sequences FILE``) holds one name per line, as the LaSOT toolkit's
``testing_set.txt``; names match ignoring case and '-', '_', '.'.
"""

import filecmp
import os

from .textfiles import InputError
from .layouts import sequence_key

__all__ = ["ListError", "check_roles", "listed_keys", "report_coverage", "identical_trackers"]


class ListError(InputError):
    """A sequence list names a sequence that the results or the annotation lack."""


def _plural(n, noun, plural=None):
    return f"{n:,} {noun if n == 1 else plural or noun + 's'}"


def _listing(names, limit=5):
    names = list(names)
    return ", ".join(names[:limit]) + (f" and {len(names) - limit} more" if len(names) > limit else "")


_GROUNDTRUTH = ("groundtruth.txt", "groundtruth_rect.txt")


def _annotation_signs(folder):
    """Why a folder looks like an annotation rather than results, or None."""
    try:
        entries = {e.name: e.is_dir() for e in os.scandir(folder)}
    except OSError:
        return None
    folders = [name for name, is_dir in entries.items() if is_dir]
    lowered = {name.lower() for name in folders}
    if {"absent", "att"} & lowered and any(name.endswith(".txt") for name in entries):
        return "the LaSOT toolkit's annos/, with " + " and ".join(f"{f}/" for f in ("absent", "att") if f in lowered)
    if any(name in entries for name in _GROUNDTRUTH):
        return "a sequence folder with its groundtruth file"
    for sub in folders:
        inner = os.path.join(folder, sub)
        if any(os.path.isfile(os.path.join(inner, name)) for name in _GROUNDTRUTH + ("absence.label", "cover.label")):
            return f"sequence folders with groundtruth files, such as {sub}/"
    return None


def _within(path, folder):
    path, folder = os.path.realpath(path), os.path.realpath(folder)
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def check_roles(results, annotations):
    """Refuses folders given in each other's place: results with an annotation's layout, or an
    annotation folder that is (or holds, or lies in) one of the tracker folders."""
    anno = annotations.root
    for path, _ in results.roots:
        for folder in [path] + [t.folder for t in results.trackers if _within(t.folder, path)]:
            why = _annotation_signs(folder)
            if why is not None:
                raise InputError(f"{folder}: given as results, but it has an annotation's layout ({why}); the "
                                 f"annotation given is {anno}: are the two swapped?")
    for tracker in results.trackers:
        if _within(anno, tracker.folder) or _within(tracker.folder, anno):
            raise InputError(f"{anno}: given as the annotation, but it is the results of tracker {tracker.name} "
                             f"({tracker.folder}); name the annotation folder with --anno and the results before it")
    if os.path.isfile(os.path.join(anno, ".velmora.json")):
        raise InputError(f"{anno}: given as the annotation, but velmora fuse wrote it: it holds fused results")


def listed_keys(names, results, annotations=None):
    """The sequence keys of a list of names, in its order; a name that some tracker (or the
    annotation) lacks is an error naming both."""
    keys, seen = [], set()
    for name in names:
        key = sequence_key(name)
        if key in seen:
            continue
        seen.add(key)
        if annotations is not None and key not in annotations.sequences:
            raise ListError(f"sequence {name!r} is listed but not annotated in {annotations.root}")
        lacking = [t for t in results.trackers if key not in t.sequences]
        if lacking:
            others = f" (nor {_listing(t.name for t in lacking[1:])})" if len(lacking) > 1 else ""
            raise ListError(f"sequence {name!r} is listed but tracker {lacking[0].name} has no result for it in "
                             f"{lacking[0].folder}{others}")
        keys.append(key)
    if not keys:
        raise ListError("the sequence list names no sequence")
    return keys


def report_coverage(results, annotations, spelling, reporter):
    """Says which sequences are left out because not every tracker has them.

    A sequence that several trackers have but not all is a warning (one line, with the names);
    annotated sequences that no tracker or only one of several has are counted in one note: an
    annotation of the whole benchmark beside results of its test set is common, and no fault.
    Returns the keys every tracker has (and that are annotated).
    """
    trackers = results.trackers
    counts = {}
    for tracker in trackers:
        for key in tracker.sequences:
            counts[key] = counts.get(key, 0) + 1
    if annotations is not None:
        for key in annotations.sequences:
            counts.setdefault(key, 0)
        counts = {k: c for k, c in counts.items() if k in annotations.sequences}
    everywhere = {k for k, c in counts.items() if c == len(trackers)}
    several = sorted(k for k, c in counts.items() if 1 < c < len(trackers))
    if several:
        def lacking(key):
            return _listing([t.name for t in trackers if key not in t.sequences], 3)

        reporter.warn(f"{_plural(len(several), 'sequence')} left out, which only some trackers have: "
                      f"{_listing(f'{spelling(k)} (no result file from {lacking(k)})' for k in several)}")
    unused = sum(1 for c in counts.values() if c == 0)
    single = sorted(k for k, c in counts.items() if c == 1 and len(trackers) > 1)
    if unused or single:
        parts = ([f"{_plural(unused, 'annotated sequence')} that no tracker has"] if unused else []) + \
            ([f"{_plural(len(single), 'sequence')} that only one tracker has"] if single else [])
        reporter.note("left out: " + " and ".join(parts))
    return everywhere


def identical_trackers(trackers, keys):
    """Pairs of trackers whose result files of the given sequences are byte for byte the same.

    File sizes are compared first; only trackers whose every size agrees are compared byte by byte.
    """
    def sizes(tracker):
        try:
            return tuple(os.path.getsize(p) for k in keys for p in tracker.sequences[k].runs)
        except OSError:
            return None

    groups = {}
    for tracker in trackers:
        signature = sizes(tracker)
        if signature is not None and keys:
            groups.setdefault(signature, []).append(tracker)
    pairs = []
    for group in groups.values():
        for i, first in enumerate(group):
            for second in group[i + 1:]:
                if all(filecmp.cmp(a, b, shallow=False) for k in keys
                       for a, b in zip(first.sequences[k].runs, second.sequences[k].runs)):
                    pairs.append((first, second))
    return pairs
