"""The text files of tracking benchmarks: box files, flags and labels, weights and tracker lists.

A box file holds one box per line: x, y, width, height, separated by commas, tabs or spaces
(mixed freely), integers or floats, LF or CRLF line ends, with or without a final line end. A
line of eight numbers is a polygon, read as its axis-aligned bounding box. A line of NaN or of
zeros stands for a frame where the tracker lost the target; it is kept, so that line k is always
frame k. Every number must be finite as a float32; NaN only as a whole line. Blank lines at the
very end of a file are ignored; any other line that is not a box is an error naming the file and
the line. The fast reader is the extension's; this module words its diagnostics.

Nothing here writes a file: every output goes through velmora.outputs.
"""

import math
import os
import re

import numpy as np

from . import _core

__all__ = [
    "InputError", "read_boxes", "read_box_file", "read_values", "read_labels", "read_flags", "format_boxes",
    "format_weights", "format_names", "finite_float32", "read_weights", "read_names", "read_lines",
]


class InputError(Exception):
    """Input the tool cannot use; the message names the file (and the line, where there is one)."""


# Doubles from here up round to infinity as float32 (FLT_MAX plus half its last unit).
FLOAT32_LIMIT = float(np.finfo(np.float32).max) + 2.0 ** 103


def finite_float32(value):
    """Whether a number is finite once rounded to float32 (1e39 is not)."""
    return abs(value) < FLOAT32_LIMIT


# The weights, selection and list files are a few lines each: a bigger file is no such file.
_SMALL_FILE = 64 << 20


def _read_bytes(path, limit=_SMALL_FILE):
    try:
        with open(path, "rb") as f:
            raw = f.read(limit + 1)
    except OSError as e:
        raise InputError(f"{path}: cannot read: {e.strerror or e}") from None
    if len(raw) > limit:
        raise InputError(f"{path}: over {limit >> 20} MB; not a file of names, weights or attributes")
    return raw


def _text_lines(path, raw):
    """The lines of a file's bytes without line ends, trailing blank lines dropped."""
    if b"\0" in raw:
        line = raw[:raw.index(b"\0")].count(b"\n") + 1
        raise InputError(f"{path}:{line}: holds a NUL byte; not a text file")
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError as e:
        raise InputError(f"{path}: not a text file (byte {e.start} is not UTF-8)") from None
    lines = [line[:-1] if line.endswith("\r") else line for line in text.split("\n")]
    while lines and not lines[-1].strip():
        lines.pop()
    return lines


def read_lines(path):
    """The lines of a small text file (names, weights, attributes) without line ends, trailing blank
    lines dropped."""
    return _text_lines(path, _read_bytes(path))


def _describe(line):
    shown = line if len(line) <= 60 else line[:57] + "..."
    return repr(shown)


_TOKENS = re.compile(r"[\s,]+")


def _shown(path, number, text):
    """A refused line or token of the fast reader, as text (which it must be)."""
    try:
        return text.decode("utf-8")
    except UnicodeDecodeError:
        raise InputError(f"{path}:{number}: not a text file (not UTF-8)") from None


def _unreadable(path, number, problem, text, what):
    """The error for the problems the fast reader finds before any number: None for the others."""
    if problem == "read":
        return InputError(f"{path}: cannot read: {text.decode('utf-8', 'replace')}")
    if problem == "nul":
        return InputError(f"{path}:{number}: holds a NUL byte; not a text file")
    if problem == "long":
        return InputError(f"{path}:{number}: {what} of over 1000 characters; not a file of boxes or numbers")
    if problem == "changed":
        return InputError(f"{path}: changed while it was read")
    return None


def _box_problem(path, number, problem, text, codes):
    """The error for line `number` of a box file that the fast reader stopped at."""
    error = _unreadable(path, number, problem, text, "a line")
    if error is not None:
        return error
    line = _shown(path, number, text)
    tokens = [t for t in _TOKENS.split(line.strip()) if t]
    if problem == "blank":
        text = "blank line"
    elif problem == "partial_nan":
        text = f"{_describe(line)} is NaN in part only; a lost target is a whole line of NaN"
    else:
        for token in tokens:
            try:
                value = float(token)
            except ValueError:
                continue
            if not math.isnan(value) and not finite_float32(value):
                text = f"{token!r} is not a finite float32 number"
                break
        else:
            wanted = "four numbers x, y, width, height" + (", eight (a polygon) or a code 0, 1 or 2" if codes else "")
            text = f"cannot read {_describe(line)} as {wanted}"
    return InputError(f"{path}:{number}: {text}")


def read_box_file(path, codes=False):
    """Reads a box file: ((lines, 4) float64 boxes, per-line kinds).

    Boxes keep the numbers exactly as written (the fusion rounds to float32 itself); a polygon
    line gives its axis-aligned bounding box. kinds holds -1 for a box line, -2 for a polygon and,
    with codes (VOT results), 0, 1 or 2 for a code line, whose box is NaN. The file is read in
    pieces: it costs its arrays (33 bytes a line) and no copy of its bytes.
    """
    boxes, kinds, failure = _core.read_box_file(os.fsencode(path), codes)
    if failure is not None:
        raise _box_problem(path, *failure, codes)
    return boxes, kinds


def read_boxes(path):
    """Reads a box file into a (frames, 4) float64 array; lost frames stay NaN or zero."""
    return read_box_file(path)[0]


def _value_problem(path, number, problem, token, what):
    error = _unreadable(path, number, problem, token, "a number")
    if error is not None:
        return error
    text = _shown(path, number, token)
    hint = "; lines end in LF or CRLF" if "\r" in text else ""
    return InputError(f"{path}:{number}: cannot read {_describe(text)} as {what}{hint}")


def read_values(path):
    """The numbers of a file (commas, spaces, tabs, line ends between them) as a float64 array."""
    values, failure = _core.read_value_file(os.fsencode(path))
    if failure is not None:
        raise _value_problem(path, *failure, "a number")
    return values


def read_labels(path, top, what):
    """Whole numbers from 0 to `top`, one per frame (any separators), as an int8 array."""
    values, failure = _core.read_value_file(os.fsencode(path), top)
    if failure is not None:
        raise _value_problem(path, *failure, what)
    return values


def read_flags(path):
    """Reads an absence-flag file (0 or 1 per frame, any separators) into a bool array."""
    return read_labels(path, 1, "a flag 0 or 1").astype(bool)


def read_resolution(path):
    """The image size in a GOT-10k meta_info.ini ('resolution: (1280, 720)').

    GOT-10k's measures clip the boxes to the image, so a file that does not give the size is an
    error, not a sequence scored without clipping.
    """
    for number, line in enumerate(read_lines(path), 1):
        key, _, value = line.partition(":")
        if key.strip() == "resolution":
            try:
                width, height = (float(v) for v in value.strip().strip("()").split(","))
            except ValueError:
                width = height = math.nan
            if not (0 < width < math.inf and 0 < height < math.inf):
                raise InputError(f"{path}:{number}: cannot read {value.strip()!r} as the image size "
                                 "'(width, height)'")
            return width, height
    raise InputError(f"{path}: no line 'resolution: (width, height)', the image size GOT-10k's measures clip to")


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


def as_written(boxes):
    """The (frames, 4) float64 boxes a reader of format_boxes(boxes) gets: the written numbers.

    A float32 value and the shortest text that rounds back to it are two different doubles
    (0.95000005f is 0.950000047..., its text 0.95000005); scores of a track that is also written
    are taken from the text, so that they are those of the file.
    """
    texts = _format_numbers(np.asarray(boxes, dtype=np.float32).ravel())
    return np.array([float(text) for text in texts], dtype=np.float64).reshape(-1, 4)


# ---- Weights and tracker lists ----

def _content_lines(path):
    """(line number, text) of the lines that are neither blank nor '#' comments."""
    return [(i + 1, line.strip()) for i, line in enumerate(read_lines(path))
            if line.strip() and not line.lstrip().startswith("#")]


def read_weights(path):
    """A weights file: {tracker name: weight}, one 'name<TAB>weight' line per tracker (the benchmark
    layer puts them in tracker order, benchmark.matching.weight_list)."""
    weights = {}
    for number, line in _content_lines(path):
        parts = line.rsplit(None, 1)
        value = None
        if len(parts) == 2:
            try:
                value = float(parts[1])
            except ValueError:
                pass
        if value is None or math.isnan(value) or not finite_float32(value):
            raise InputError(f"{path}:{number}: cannot read {_describe(line)} as a tracker name and a weight "
                             "(finite as a float32)")
        if parts[0] in weights:
            raise InputError(f"{path}:{number}: tracker {parts[0]!r} has a second weight")
        weights[parts[0]] = value
    if not weights:
        raise InputError(f"{path}: no weights in the file")
    return weights


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


def format_weights(names, weights, comment=None):
    """The text of a weights file: 'name<TAB>weight' per tracker, each weight exact."""
    lines = [f"# {comment}\n"] if comment else []
    return "".join(lines + [f"{name}\t{_format_number(w)}\n" for name, w in zip(names, weights)])


def format_names(names, comment=None):
    """The text of a tracker list: one name per line."""
    lines = [f"# {comment}\n"] if comment else []
    return "".join(lines + [name + "\n" for name in names])
