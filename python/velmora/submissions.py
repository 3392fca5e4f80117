"""Fused tracks written as result trees in the layouts the community's toolkits and servers take.

- plain: ``<sequence>.txt``, one box per frame, a lost frame as ``0,0,0,0`` (pysot, the OTB and
  LaSOT toolkits, pytracking);
- GOT-10k: ``<sequence>/<sequence>_001.txt`` (``_002``, ... for repetitions) and
  ``<sequence>/<sequence>_time.txt``, the seconds each frame took, one column per repetition,
  which GOT-10k's evaluation server requires;
- VOT: ``unsupervised/<sequence>/<sequence>_001.txt``, the VOT toolkit's layout for runs without
  resets: the first line is the code ``1`` (initialised with the annotation's box), every other
  line a box, a lost frame ``0,0,0,0``. A fused track is never re-initialised after a failure, so
  it is written as no reset-based (``baseline``) run.

File names take one spelling of each sequence name: the annotation's when there is one, else the
one most trackers use.
"""

import os

import numpy as np

from . import textfiles
from .textfiles import InputError

__all__ = ["LAYOUTS", "choose_layout", "describe_layout", "repetitions", "fused_times", "submission_files",
           "time_file", "timing_files", "fused_files"]

# The --layout names, and the reader's names of the same layouts.
LAYOUTS = {"plain": "plain", "got10k": "GOT-10k", "vot": "VOT"}

_WHAT = {
    "plain": "plain layout (<sequence>.txt)",
    "GOT-10k": "GOT-10k layout (<sequence>/<sequence>_001.txt and <sequence>_time.txt)",
    "VOT": "VOT unsupervised layout (unsupervised/<sequence>/<sequence>_001.txt), a run without resets",
}


def describe_layout(layout):
    return _WHAT[layout]


def choose_layout(trackers, requested=None, reporter=None):
    """The layout to write: `requested` ('plain', 'got10k', 'vot'), else the one all inputs share.

    Inputs in several layouts give the plain layout, with a note saying so.
    """
    if requested is not None:
        if requested not in LAYOUTS:
            raise InputError(f"--layout {requested}: expected one of {', '.join(LAYOUTS)}")
        layout = LAYOUTS[requested]
    else:
        seen = sorted({t.layout for t in trackers})
        layout = seen[0] if len(seen) == 1 and seen[0] in ("GOT-10k", "VOT") else "plain"
        if len(seen) > 1 and reporter is not None:
            reporter.note(f"the trackers come in several layouts ({', '.join(seen)}): writing the plain layout "
                          "(--layout got10k or --layout vot writes another)")
    if layout == "VOT" and reporter is not None and any(t.layout == "VOT" for t in trackers):
        reporter.note("VOT results are reset-based runs; a fused track is never re-initialised after a failure, so "
                      "it is written in the VOT toolkit's layout for runs without resets (unsupervised/), "
                      "not as a baseline run")
    return layout


def repetitions(trackers, layout, repetition=None, reporter=None):
    """The repetitions to fuse, 0-based: repetition k of every tracker with repetition k.

    The plain layout holds one (the first, or `repetition`, 1-based); the others every repetition
    the trackers have in common, or `repetition` alone.
    """
    if layout == "plain" and repetition is None:
        if reporter is not None and any(t.repetitions > 1 for t in trackers):
            reporter.note("fusing the first repetition of every tracker (--repetition chooses another)")
        return [0]
    counts = [min(len(s.runs) for s in t.sequences.values()) for t in trackers]
    shared = min(counts)
    if repetition is not None:
        if not 1 <= repetition <= shared:
            raise InputError(f"--repetition {repetition}: the trackers have {shared:,} "
                             f"repetition{'' if shared == 1 else 's'} in common")
        return [repetition - 1]
    if max(counts) > 1 and reporter is not None:
        reporter.note(f"fusing repetition k of every tracker with repetition k, for k = 1 to {shared}")
    return list(range(shared))


def _tracker_times(result, k, frames):
    """Seconds per frame of repetition k of one tracker's sequence, from its timing logs, or None.

    A GOT-10k timing log holds one column per repetition; pytracking writes one log per run.
    """
    if not result.times:
        return None
    path = result.times[k] if len(result.times) == len(result.runs) and len(result.times) > 1 else result.times[0]
    values = textfiles.read_values(path)
    if len(values) == 0 or len(values) % frames:
        return None
    table = values.reshape(frames, -1)
    column = k if table.shape[1] > 1 else 0
    return table[:, column] if column < table.shape[1] else None


def fused_times(results, k, frames, fusion_seconds):
    """Seconds per frame of a fused track: the input trackers' times for the frame, summed in
    tracker order, plus the fusion's own time for the sequence spread evenly over its frames.

    None when some tracker has no timing for this sequence and repetition.
    """
    total = np.zeros(frames)
    for result in results:
        times = _tracker_times(result, k, frames)
        if times is None:
            return None
        total += times
    return total + fusion_seconds / frames


def submission_files(layout, name, k, boxes, times=None):
    """[(path in the output folder, bytes)] of repetition k of a fused sequence, in `layout`."""
    text = textfiles.format_boxes(boxes)
    if layout == "GOT-10k":
        return [(os.path.join(name, f"{name}_{k + 1:03d}.txt"), text.encode())]
    if layout == "VOT":
        lines = text.splitlines(keepends=True)
        return [(os.path.join("unsupervised", name, f"{name}_{k + 1:03d}.txt"), "".join(["1\n"] + lines[1:]).encode())]
    return [(name + ".txt", text.encode())]


def time_file(name, columns):
    """(path, bytes) of GOT-10k's ``<sequence>_time.txt``: a row per frame, a column per repetition."""
    table = np.stack(columns, axis=1)
    text = "".join(",".join(f"{v:.8f}" for v in row) + "\n" for row in table)
    return os.path.join(name, f"{name}_time.txt"), text.encode()


def _listing(names, limit=3):
    names = list(names)
    return ", ".join(names[:limit]) + (f" and {len(names) - limit} more" if len(names) > limit else "")


def timing_files(trackers, keys, names, fused, seconds, repetitions, reporter):
    """GOT-10k's ``<sequence>_time.txt`` of every fused sequence whose trackers all have timing.

    `fused` and `seconds` map (sequence key, repetition) to the fused boxes and the seconds their
    fusion took. A sequence without timing is said once, in one warning naming the trackers that
    lack it. Returns ([(path, bytes)], a phrase for the closing note).
    """
    files, untimed = [], []
    for key in keys:
        columns = [fused_times([t.sequences[key] for t in trackers], k, len(fused[key, k]), seconds[key, k])
                   for k in repetitions]
        if any(c is None for c in columns):
            untimed.append(key)
        else:
            files.append(time_file(names[key], columns))
    if untimed:
        lacking = [t.name for t in trackers if any(not t.sequences[key].times for key in untimed)]
        count = f"{len(untimed)} sequence" + ("s" if len(untimed) != 1 else "")
        reporter.warn(f"no <sequence>_time.txt written for {count} ({_listing(names[k] for k in untimed)}): " +
                      (f"no timing logs from {_listing(lacking, 5)}" if lacking else
                       "a tracker's timing log does not match its frames") + "; GOT-10k's server needs them")
    timed = "; each frame's time is the trackers' times plus the fusion's" if len(untimed) < len(keys) else ""
    return files, timed


def fused_files(layout, trackers, keys, names, fused, seconds, repetitions, reporter):
    """[(path, bytes)] of every fused track in `layout`, with GOT-10k's timing files, and a phrase
    saying what they hold for the closing note. Arguments as timing_files takes them."""
    files = [f for (key, k), boxes in fused.items() for f in submission_files(layout, names[key], k, boxes)]
    timed = ""
    if layout == "GOT-10k":
        timing, timed = timing_files(trackers, keys, names, fused, seconds, repetitions, reporter)
        files += timing
    return files, describe_layout(layout) + timed
