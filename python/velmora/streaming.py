"""Live fusion: trackers' boxes fused frame by frame as they arrive, each fused box given as soon as
it is final. What ``velmora stream`` runs, and what ``velmora fuse --trajectory --lag L`` writes::

    from velmora import streaming
    live = streaming.LiveFusion(4, trajectory=True, lag=5)
    for boxes in frames:            # (4, 4) arrays, tracker by tracker; NaN or zero: lost
        for box in live.push(boxes):
            print(box)
    for box in live.finish():
        print(box)

Lost boxes follow the rules of the whole-sequence fusion (velmora.benchmark.fuse_sequence), so a
stream gives what ``velmora fuse`` gives on the same boxes: frame by frame, a tracker that lost
the target takes no part in that frame; the trajectory optimisation takes lost boxes as zero
boxes, starts anew after a frame in which every tracker lost the target (written 0,0,0,0), and a
frame whose path passes through a lost box takes the frame-by-frame fusion of the trackers
present. With lag L, frame t is final once frame t + L has arrived; ``fuse --trajectory``
without a lag is the unbounded lag.
"""

import collections
import re
from dataclasses import dataclass

import numpy as np

from . import metrics, textfiles
from .messages import listing
from .textfiles import InputError

__all__ = ["LiveFusion", "fuse_live", "StreamTrackers", "stream_trackers", "parse_frame", "run_stream"]


def _library():
    import velmora  # the package's own functions, which check their input
    return velmora


class LiveFusion:
    """Fuses one frame of `n_trackers` boxes per push; returns the boxes that became final.

    `weights` (one per tracker, None: 1.0) and the parameters (alpha, beta, sigma; None: the
    ones in force now) are fixed when it is made. Frame by frame, `lag` must be 0.
    """

    def __init__(self, n_trackers, weights=None, trajectory=False, lag=0, refine=True, **parameters):
        self.n_trackers, self.trajectory, self.lag, self.refine = n_trackers, trajectory, lag, refine
        self.weights = None if weights is None else np.asarray(weights, dtype=np.float32)
        self.parameters = {k: v for k, v in parameters.items() if v is not None}
        self._frame_parameters = {k: v for k, v in self.parameters.items() if k != "beta"}
        self._stream = None if trajectory else self._new_stream()
        self._waiting = collections.deque()  # (frame, library boxes, present) of frames not yet final
        self.frames = 0
        self.lost = []  # frames in which no tracker had a usable box
        self.stray = []  # frames whose trajectory passed through a lost box

    def _new_stream(self):
        return _library().OnlineFuser(self.n_trackers, trajectory=self.trajectory, lag=self.lag,
                                      weights=self.weights, refine=self.refine,
                                      **(self.parameters if self.trajectory else self._frame_parameters))

    def _frame_by_frame(self, boxes, present):
        """The fusion of one frame by the trackers present in it."""
        return _library().fuse(boxes[:, None], selection=np.flatnonzero(present).tolist(), weights=self.weights,
                               refine=self.refine, **self._frame_parameters)[0]

    def push(self, boxes):
        """Adds one frame, an (n_trackers, 4) array (a NaN or zero box: lost); returns (k, 4) float32.

        A frame the library refuses raises ValueError and changes nothing.
        """
        raw = np.asarray(boxes, dtype=np.float64)
        if raw.shape != (self.n_trackers, 4):
            raise ValueError(f"boxes: expected shape ({self.n_trackers}, 4), got {raw.shape}")
        lost = metrics.lost_frames(raw)
        library = raw.astype(np.float32)
        library[lost] = 0.0
        present = ~lost
        if self.weights is not None:
            present &= self.weights != 0  # a weight of 0 attracts nothing
        frame, self.frames = self.frames, self.frames + 1
        try:
            return self._push(frame, library, present)
        except ValueError:
            self.frames -= 1
            raise

    def _push(self, frame, library, present):
        if not self.trajectory:
            if present.all():
                return self._stream.push(library)
            if not present.any():
                self.lost.append(frame)
                return np.zeros((1, 4), np.float32)
            return self._frame_by_frame(library, present)[None]
        if not present.any():
            # The trajectory cannot score this frame: the path so far ends here, and a new one
            # starts with the next frame that has a box.
            done = self.finish_path()
            self.lost.append(frame)
            return np.concatenate([done, np.zeros((1, 4), np.float32)])
        stream = self._stream or self._new_stream()
        decided = stream.push(library)  # raises before anything changes
        self._stream = stream
        self._waiting.append((frame, library, present))
        return self._settle(decided)

    def _settle(self, decided):
        """The decided boxes, in frame order, each lost one replaced by its frame's own fusion."""
        decided = decided.copy()
        for i in range(len(decided)):
            frame, library, present = self._waiting.popleft()
            if metrics.lost_frames(decided[i:i + 1])[0]:
                self.stray.append(frame)
                decided[i] = self._frame_by_frame(library, present)
        return decided

    def finish_path(self):
        """Decides the frames the current trajectory holds back; returns (k, 4) float32."""
        if not self.trajectory or self._stream is None:
            return np.zeros((0, 4), np.float32)
        decided = self._settle(self._stream.finish())
        self._stream = None
        return decided

    def finish(self):
        """Ends the stream: the frames not yet final, (k, 4) float32."""
        if not self.trajectory:
            return self._stream.finish()
        return self.finish_path()

    def report(self, reporter, name):
        """Warns, once, of the frames written as lost and those that took the frame-by-frame fusion."""
        if self.stray:
            reporter.warn(f"sequence {name!r}: the trajectory passed through a lost box in {len(self.stray)} "
                          f"frame(s) (first at line {self.stray[0] + 1}); they take the frame-by-frame fusion")
        if self.lost:
            reporter.warn(f"sequence {name!r}: no tracker has a usable box in {len(self.lost)} frame(s) "
                          f"(first at line {self.lost[0] + 1}); they are written as lost (0,0,0,0)")


def fuse_live(boxes, weights=None, lag=0, refine=True, name="", reporter=None, **parameters):
    """What a live trajectory fusion with `lag` gives on one sequence's tracker boxes (a list of
    (frames, 4) arrays): a (frames, 4) float32 array, as velmora.benchmark.fuse_sequence gives."""
    stack = np.stack([np.asarray(b, dtype=np.float64) for b in boxes])
    live = LiveFusion(len(stack), weights, trajectory=True, lag=lag, refine=refine, **parameters)
    pieces = [live.push(stack[:, f]) for f in range(stack.shape[1])] + [live.finish()]
    if reporter is not None:
        live.report(reporter, name)
    return np.concatenate(pieces)


# ---- The stream of the command line ----

@dataclass
class StreamTrackers:
    """The trackers of a stream: their names, the fused ones (indices into a line, in order) and
    their weights (None: 1.0)."""

    names: list
    fused: list
    weights: object = None
    source: str = ""  # where the names come from


def stream_trackers(count, weights_path=None, selection_path=None):
    """The trackers of a stream of `count` boxes per line. A weights file names them, in its
    order; without one they are named 0 to count - 1. A selection file lists the fused ones."""
    if weights_path:
        table = textfiles.read_weights(weights_path)
        if len(table) != count:
            raise InputError(f"{weights_path}: {len(table)} weights for {count} trackers; a line holds the trackers "
                             "of the weights file, in its order")
        names, weights, source = list(table), list(table.values()), weights_path
    else:
        names, weights, source = [str(k) for k in range(count)], None, ""
    fused = list(range(count))
    if selection_path:
        chosen = textfiles.read_names(selection_path)
        unknown = [n for n in chosen if n not in names]
        if unknown:
            known = f"the trackers of {weights_path}" if weights_path else f"tracker numbers 0 to {count - 1}"
            raise InputError(f"{selection_path}: no tracker {unknown[0]!r} among {known}")
        fused = [names.index(n) for n in chosen]
    return StreamTrackers(names, fused, None if weights is None else [weights[k] for k in fused], source)


# The box files' grammar (velmora.textfiles): numbers, or NaN, separated by a comma (spaces or tabs
# around it allowed) or by spaces or tabs.
_NUMBER = re.compile(rb"[+-]?(?:(?:\d+(?:\.\d*)?|\.\d+)(?:[eE][+-]?\d+)?|[nN][aA][nN])")
_SEPARATOR = re.compile(rb"[ \t]*,[ \t]*|[ \t]+")


def parse_frame(line, count):
    """One stream line (bytes), `count` boxes in the box files' grammar, as a (count, 4) float64
    array; ValueError says what is wrong with it."""
    text = line.rstrip(b"\r\n").strip(b" \t")
    if not text:
        raise ValueError("blank line")
    tokens = _SEPARATOR.split(text)
    for token in tokens:
        if not _NUMBER.fullmatch(token):
            raise ValueError(f"cannot read {token.decode('utf-8', 'replace')!r} as a number")
    if len(tokens) != 4 * count:
        raise ValueError(f"{len(tokens)} numbers; a line holds 4 per tracker, {4 * count} for {count} trackers")
    boxes = np.array([float(t) for t in tokens]).reshape(count, 4)
    nan = np.isnan(boxes)
    partial = np.flatnonzero(nan.any(axis=1) & ~nan.all(axis=1))
    if len(partial):
        raise ValueError(f"the box of tracker {partial[0]} is NaN in part only; a lost target is a whole box of NaN")
    for token, value in zip(tokens, boxes.ravel()):
        if not np.isnan(value) and not textfiles.finite_float32(value):
            raise ValueError(f"{token.decode()!r} is not a finite float32 number")
    return boxes


def run_stream(source, write, live, trackers, name="<stdin>"):
    """Reads frames from `source` (lines of bytes), pushes each, and writes every final box as an
    'x,y,width,height' line through `write` at once. The end of input finishes the stream. A bad
    line raises InputError naming it, after everything before it has been written. Returns the
    number of frames."""
    blank = None  # a blank line is an error unless only blank lines follow it
    number = 0
    for number, line in enumerate(source, 1):
        if number == 1 and line.startswith(b"\xef\xbb\xbf"):
            line = line[3:]
        if not line.strip():
            blank = blank or number
            continue
        if blank:
            raise InputError(f"{name}:{blank}: blank line")
        try:
            boxes = parse_frame(line, len(trackers.names))
            decided = live.push(boxes[trackers.fused])
        except ValueError as e:
            raise InputError(f"{name}:{number}: {e}") from None
        if len(decided):
            write(textfiles.format_boxes(decided))
    rest = live.finish()
    if len(rest):
        write(textfiles.format_boxes(rest))
    return live.frames


def fuse_stream(source, write, count, weights_path=None, selection_path=None, trajectory=False, lag=None, refine=True,
                reporter=None, **parameters):
    """Fuses a stream of `count` boxes per line from `source`, each fused box written through `write`
    as soon as it is final (run_stream); the trackers are named and chosen as stream_trackers says,
    and `lag` frames of look-ahead serve the trajectory optimisation. What the stream met is
    reported at its end, also when a bad line stops it."""
    trackers = stream_trackers(count, weights_path, selection_path)
    lag = lag or 0
    if not trajectory:
        parameters.pop("beta", None)
    live = LiveFusion(len(trackers.fused), trackers.weights, trajectory, lag if trajectory else 0, refine,
                      **parameters)
    named = f" (named by {trackers.source})" if trackers.source else ""
    fused = "all" if len(trackers.fused) == count else listing([trackers.names[k] for k in trackers.fused])
    mode = f"trajectory optimisation, lag {lag}" if trajectory else "frame by frame"
    reporter.note(f"reading frames of {count} boxes from standard input, trackers "
                  f"{listing(trackers.names)}{named}; fusing {fused}, {mode}; each fused box is written as soon as "
                  "it is final")
    try:
        run_stream(source, write, live, trackers)
    finally:
        live.report(reporter, "standard input")
