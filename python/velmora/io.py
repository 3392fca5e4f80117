"""Box files and the folder layouts of tracking benchmarks.

A box file holds one box per line: x, y, width, height, separated by commas, tabs or spaces
(mixed freely), integers or floats, LF or CRLF line ends, with or without a final line end.
A line of NaN or of zeros stands for a frame where the tracker lost the target; it is kept,
so that line k is always frame k. Blank lines at the very end of a file are ignored; any other
line that is not four numbers is an error naming the file and the line.

Layouts:

- a tracker folder holds one ``<sequence>.txt`` per sequence; a results root holds one tracker
  folder per tracker, named after the tracker;
- an annotation folder holds ``<sequence>.txt``, or ``<sequence>/groundtruth.txt``, or
  ``<sequence>/groundtruth_rect.txt`` (``groundtruth_rect.<k>.txt`` gives the sequence
  ``<sequence>.<k>``), possibly one level down in class folders. A sequence folder may hold
  absence flags: ``absent.txt``, ``full_occlusion.txt`` and ``out_of_view.txt``, one 0 or 1
  per frame, 1 where the target is not visible.

Sequence names match case-insensitively, with '-', '_' and '.' treated alike.
"""

import math
import os
import re

import numpy as np

__all__ = [
    "InputError", "read_boxes", "format_boxes", "write_boxes", "read_flags", "sequence_key",
    "tracker_files", "find_trackers", "find_annotations", "Annotation", "read_weights", "write_weights",
    "read_names", "write_names", "write_text", "lost_frames",
]


class InputError(Exception):
    """Input the tool cannot use; the message names the file (and the line, where there is one)."""


_NUMBER = r"[+-]?(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|[+-]?nan"
_SEPARATOR = r"\s*,\s*|[ \t]+"
_BOX_LINE = re.compile(r"[ \t]*({0})(?:{1})({0})(?:{1})({0})(?:{1})({0})[ \t]*".format(_NUMBER, _SEPARATOR),
                       re.IGNORECASE | re.ASCII)
_FLAG_TOKEN = re.compile(r"[01](?:\.0*)?")


def _read_lines(path):
    """The file's lines without line ends, trailing blank lines dropped."""
    try:
        with open(path, "rb") as f:
            raw = f.read()
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise InputError(f"{path}: not a text file (byte {e.start} is not UTF-8)") from None
    lines = text.split("\n")
    for i, line in enumerate(lines):
        if line.endswith("\r"):
            lines[i] = line[:-1]
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def _describe(line):
    shown = line if len(line) <= 60 else line[:57] + "..."
    return repr(shown)


def read_boxes(path):
    """Reads a box file into a (frames, 4) float64 array; lost frames stay NaN or zero.

    float64 keeps the numbers exactly as written; the fusion converts to float32 itself.
    """
    lines = _read_lines(path)
    rows = []
    match = _BOX_LINE.fullmatch
    for i, line in enumerate(lines):
        m = match(line)
        if m is None:
            if not line.strip():
                problem = "blank line"
            else:
                problem = f"cannot read {_describe(line)} as four numbers x, y, width, height"
            raise InputError(f"{path}:{i + 1}: {problem}")
        rows.append(m.groups())
    return np.array(rows, dtype=np.float64).reshape(len(rows), 4)


def read_flags(path):
    """Reads an absence-flag file (0 or 1 per frame, any separators) into a bool array."""
    flags = []
    for i, line in enumerate(_read_lines(path)):
        for token in re.split(r"[\s,]+", line.strip()):
            if not token:
                continue
            if not _FLAG_TOKEN.fullmatch(token):
                raise InputError(f"{path}:{i + 1}: cannot read {_describe(token)} as a flag 0 or 1")
            flags.append(token[0] == "1")
    return np.array(flags, dtype=bool)


def _format_number(value):
    """The shortest text that reads back as exactly this double ('nan' for NaN)."""
    v = float(value)
    return "nan" if math.isnan(v) else repr(v)


_shortest32 = str  # numpy's str of a float32 is the shortest text that rounds back to it


def _format_numbers(values):
    """Texts of a flat array of numbers that read back as the same numbers.

    float32 values get their shortest float32 text ("101.49"), kept only where a reader that
    parses into a double and then rounds to float32 gets the same value back; elsewhere, and for
    every other type, the text is the value's exact double text, which reads back unchanged
    whether parsed into float32 or float64.
    """
    if values.dtype != np.float32:
        return [_format_number(v) for v in values.tolist()]
    texts = [_shortest32(v) for v in values]
    with np.errstate(invalid="ignore"):
        back = np.array(texts, dtype=np.float64).astype(np.float32)
    for i in np.flatnonzero((back != values) & ~(np.isnan(back) & np.isnan(values))):
        texts[i] = _format_number(values[i])
    return texts


def format_boxes(boxes):
    """The text of a box file: one 'x,y,width,height' line per box, each ending in LF."""
    boxes = np.asarray(boxes)
    if boxes.ndim != 2 or boxes.shape[1] != 4:
        raise ValueError(f"boxes must have shape (frames, 4), not {boxes.shape}")
    texts = _format_numbers(boxes.ravel())
    return "".join(",".join(texts[i:i + 4]) + "\n" for i in range(0, len(texts), 4))


def write_boxes(path, boxes):
    text = format_boxes(boxes)
    try:
        with open(path, "w", encoding="ascii", newline="\n") as f:
            f.write(text)
    except OSError as e:
        raise InputError(f"{path}: cannot write: {e.strerror or e}") from None


def lost_frames(boxes):
    """True where a box stands for a lost target: a NaN in it, or no positive width and height."""
    boxes = np.asarray(boxes)
    with np.errstate(invalid="ignore"):
        return np.isnan(boxes).any(axis=1) | ~(boxes[:, 2] > 0) | ~(boxes[:, 3] > 0)


# ---- Layouts ----

_SEPARATORS = str.maketrans({"_": "-", ".": "-"})


def sequence_key(name):
    """The form in which sequence names are compared: lower case, '-', '_' and '.' alike."""
    return name.lower().translate(_SEPARATORS)


def _listdir(path):
    try:
        return sorted(e for e in os.listdir(path) if not e.startswith("."))
    except OSError as e:
        raise InputError(f"{path}: cannot list the folder: {e.strerror or e}") from None


def _add(table, key, name, value, where):
    if key in table:
        raise InputError(f"{where}: both {table[key][0]!r} and {name!r} name the same sequence "
                         "(names are matched ignoring case and '-', '_', '.')")
    table[key] = (name, value)


def tracker_files(folder):
    """A tracker folder's result files: {sequence key: (sequence name, path)}.

    A '<name>_time.txt' beside '<name>.txt' is a timing log that some toolkits write; it is not a
    sequence.
    """
    entries = _listdir(folder)
    names = {e[:-4] for e in entries if e.endswith(".txt") and os.path.isfile(os.path.join(folder, e))}
    files = {}
    for name in sorted(names):
        if name.endswith("_time") and name[:-5] in names:
            continue
        _add(files, sequence_key(name), name, os.path.join(folder, name + ".txt"), folder)
    return files


def _holds_results(folder):
    return any(e.endswith(".txt") and os.path.isfile(os.path.join(folder, e)) for e in _listdir(folder))


def find_trackers(paths):
    """Tracker folders from paths that are tracker folders or results roots: [(name, folder)].

    A folder holding '.txt' files is a tracker folder, named after the folder; any other folder is a
    results root whose sub-folders holding '.txt' files are tracker folders, in name order.
    """
    found = []
    for path in paths:
        if not os.path.isdir(path):
            raise InputError(f"{path}: no such folder")
        path = os.path.normpath(path)
        if _holds_results(path):
            found.append((os.path.basename(os.path.abspath(path)), path))
            continue
        inner = [(e, os.path.join(path, e)) for e in _listdir(path) if os.path.isdir(os.path.join(path, e))]
        inner = [(name, folder) for name, folder in inner if _holds_results(folder)]
        if not inner:
            raise InputError(f"{path}: neither a tracker folder (no .txt files) nor a results root "
                             "(no sub-folder holds .txt files)")
        found.extend(inner)
    seen = {}
    for name, folder in found:
        if name in seen:
            raise InputError(f"{folder}: tracker name {name!r} is also the name of {seen[name]}")
        seen[name] = folder
    return found


class Annotation:
    """Where one annotated sequence lives: its box file and its absence-flag files."""

    FLAG_FILES = ("absent.txt", "full_occlusion.txt", "out_of_view.txt")

    def __init__(self, name, path, flag_paths=()):
        self.name = name
        self.path = path
        self.flag_paths = tuple(flag_paths)

    def read(self, use_flags=True):
        """(boxes, absent): the boxes as read_boxes gives them and a bool per frame, or None."""
        boxes = read_boxes(self.path)
        if not use_flags or not self.flag_paths:
            return boxes, None
        absent = np.zeros(len(boxes), dtype=bool)
        for flag_path in self.flag_paths:
            flags = read_flags(flag_path)
            if len(flags) != len(boxes):
                raise InputError(f"{flag_path}: {len(flags)} flags for the {len(boxes)} frames of {self.path}")
            absent |= flags
        return boxes, absent

    def __repr__(self):
        return f"Annotation({self.name!r}, {self.path!r}, {self.flag_paths!r})"


_NUMBERED_GROUNDTRUTH = re.compile(r"groundtruth_rect\.(\d+)\.txt")


def _sequence_folder(folder, name):
    """The annotated sequences of one sequence folder: [Annotation], empty when it holds none."""
    entries = set(_listdir(folder))
    flags = [os.path.join(folder, f) for f in Annotation.FLAG_FILES if f in entries]
    plain = [f for f in ("groundtruth.txt", "groundtruth_rect.txt") if f in entries]
    if len(plain) == 2:
        raise InputError(f"{folder}: holds both groundtruth.txt and groundtruth_rect.txt")
    if plain:
        return [Annotation(name, os.path.join(folder, plain[0]), flags)]
    numbered = sorted((int(m[1]), m[0]) for m in map(_NUMBERED_GROUNDTRUTH.fullmatch, entries) if m)
    return [Annotation(f"{name}.{k}", os.path.join(folder, f)) for k, f in numbered]


def find_annotations(root):
    """The annotated sequences under an annotation folder: {sequence key: Annotation}."""
    if not os.path.isdir(root):
        raise InputError(f"{root}: no such folder")
    table = {}

    def add(annotation, where):
        _add(table, sequence_key(annotation.name), annotation.name, annotation, where)

    for entry in _listdir(root):
        path = os.path.join(root, entry)
        if os.path.isfile(path) and entry.endswith(".txt"):
            add(Annotation(entry[:-4], path), root)
        elif os.path.isdir(path):
            found = _sequence_folder(path, entry)
            if not found:
                # A class folder, as in LaSOT: one more level of sequence folders.
                for inner in _listdir(path):
                    if os.path.isdir(os.path.join(path, inner)):
                        found.extend(_sequence_folder(os.path.join(path, inner), inner))
            for annotation in found:
                add(annotation, root)
    if not table:
        raise InputError(f"{root}: no annotation found (expected <sequence>.txt, <sequence>/groundtruth.txt "
                         "or <sequence>/groundtruth_rect.txt)")
    return {key: annotation for key, (_, annotation) in table.items()}


# ---- Weights and tracker lists ----

def _content_lines(path):
    """(line number, text) of the lines that are neither blank nor '#' comments."""
    return [(i + 1, line.strip()) for i, line in enumerate(_read_lines(path))
            if line.strip() and not line.lstrip().startswith("#")]


def read_weights(path):
    """A weights file: {tracker name: weight}, one 'name<TAB>weight' line per tracker."""
    weights = {}
    for number, line in _content_lines(path):
        parts = line.rsplit(None, 1)
        value = None
        if len(parts) == 2:
            try:
                value = float(parts[1])
            except ValueError:
                pass
        if value is None or not math.isfinite(value):
            raise InputError(f"{path}:{number}: cannot read {_describe(line)} as a tracker name and a weight")
        if parts[0] in weights:
            raise InputError(f"{path}:{number}: tracker {parts[0]!r} has a second weight")
        weights[parts[0]] = value
    if not weights:
        raise InputError(f"{path}: no weights in the file")
    return weights


def write_weights(path, names, weights, comment=None):
    lines = [f"# {comment}\n"] if comment else []
    lines += [f"{name}\t{_format_number(w)}\n" for name, w in zip(names, weights)]
    write_text(path, "".join(lines))


def read_names(path):
    """A tracker list: one tracker name per line."""
    names = []
    for number, line in _content_lines(path):
        if line in names:
            raise InputError(f"{path}:{number}: tracker {line!r} is listed twice")
        names.append(line)
    if not names:
        raise InputError(f"{path}: no tracker names in the file")
    return names


def write_names(path, names, comment=None):
    lines = [f"# {comment}\n"] if comment else []
    write_text(path, "".join(lines + [name + "\n" for name in names]))


def write_text(path, text):
    try:
        with open(path, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    except OSError as e:
        raise InputError(f"{path}: cannot write: {e.strerror or e}") from None
