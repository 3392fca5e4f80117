"""The folder layouts in which tracking benchmarks keep results and annotations.

Results, one tracker at a time (a folder given may be a tracker folder or a results root that
holds tracker folders; layouts may be mixed in one root):

- plain: ``<tracker>/<sequence>.txt`` (pysot, the LaSOT toolkit's ``<tracker>_tracking_result``,
  pytracking's flat files with a data-set prefix such as ``nfs_``);
- GOT-10k: ``<tracker>/<sequence>/<sequence>_001.txt``, repetitions ``_002``, ``_003``;
- VOT short-term: ``<tracker>/baseline/<sequence>/<sequence>_001.txt``, with the codes 0, 1, 2;
- pytracking: ``<tracker>/<parameter>`` or ``<tracker>/<parameter>_<run>`` folders of plain
  files, runs being repetitions; one tracker per parameter folder name;
- pysot's ``results/<data set>/<tracker>``: a root of data-set folders, one of which is read.

Timing logs (``<sequence>_time.txt``), presence scores (``<sequence>_object_presence_scores.txt``)
and confidence files beside a result file are not sequences. A data-set prefix (``nfs_``,
``uav_``) that every file of a tracker carries is not part of the sequence name.

Annotations: ``<sequence>.txt`` (with the LaSOT toolkit's ``absent/`` and ``att/`` folders
beside), ``<sequence>/groundtruth.txt`` or ``groundtruth_rect.txt`` (``groundtruth_rect.<k>.txt``
is the sequence ``<sequence>.<k>``), also one level down in class folders as LaSOT has them. A
sequence folder may hold absence flags (``absent.txt``, ``full_occlusion.txt``,
``out_of_view.txt``, GOT-10k's ``absence.label``), GOT-10k's ``cover.label`` and OTB's
``attrs.txt``.

Sequence names match ignoring case, with '-', '_' and '.' treated alike.
"""

import os
import re
from dataclasses import dataclass, field

from .textfiles import InputError
from .records import RECORD, read_record

__all__ = [
    "SequenceResult", "Tracker", "Results", "AnnotatedSequence", "Annotations", "sequence_key", "find_results",
    "find_annotations",
]

_SEPARATORS = str.maketrans({"_": "-", ".": "-"})


def sequence_key(name):
    """The form in which sequence names are compared: lower case, '-', '_' and '.' alike."""
    return name.lower().translate(_SEPARATORS)


@dataclass
class SequenceResult:
    """One tracker's result files for one sequence: one per repetition, with their timing logs."""

    name: str
    runs: list
    times: list = field(default_factory=list)


@dataclass
class Tracker:
    name: str
    folder: str
    layout: str  # 'plain', 'GOT-10k', 'VOT', 'pytracking'
    sequences: dict  # sequence key -> SequenceResult
    prefix: str = ""  # the data-set prefix taken off every sequence name
    provenance: dict = None  # how velmora fuse made this track, for a folder it wrote

    @property
    def repetitions(self):
        return max((len(s.runs) for s in self.sequences.values()), default=0)


@dataclass
class Results:
    """The trackers found under the paths given, with a description of what was recognised."""

    trackers: list
    roots: list  # (path, what it was read as)

    @property
    def layouts(self):
        return sorted({t.layout for t in self.trackers})


# ---- Folders ----

def _scan(folder):
    """(files, folders): the names in a folder, sorted, hidden ones left out."""
    try:
        entries = sorted((e for e in os.scandir(folder) if not e.name.startswith(".")), key=lambda e: e.name)
    except OSError as e:
        raise InputError(f"{folder}: cannot list the folder: {e.strerror or e}") from None
    files, folders = [], []
    for entry in entries:
        try:  # a link is followed: a loop or a link into a closed folder is an error, as a file is
            (files if entry.is_file() else folders if entry.is_dir() else []).append(entry.name)
        except OSError as e:
            raise InputError(f"{entry.path}: cannot read: {e.strerror or e}") from None
    return files, folders


def _add(table, key, name, value, where):
    if key in table:
        raise InputError(f"{where}: both {table[key][0]!r} and {name!r} name the same sequence "
                         "(names are matched ignoring case and '-', '_', '.')")
    table[key] = (name, value)


# Files beside result files that hold something else about the same sequence.
_COMPANIONS = ("_time", "_object_presence_scores", "_object_presence_score", "_confidence")
# Text files of benchmark folders that are no results.
_NOT_RESULTS = {"list", "readme", "testing_set", "training_set", "all_dataset"}
_RUN = re.compile(r"(.+)_(\d{3})")


def _flat(folder, files):
    """A folder's plain result files: {sequence key: SequenceResult}."""
    names = {f[:-4] for f in files if f.endswith(".txt")}
    table = {}
    for name in sorted(names):
        if name.lower() in _NOT_RESULTS:
            continue
        if any(name.endswith(s) and name[:-len(s)] in names for s in _COMPANIONS):
            continue
        time = name + "_time"
        result = SequenceResult(name, [os.path.join(folder, name + ".txt")],
                                [os.path.join(folder, time + ".txt")] if time in names else [])
        _add(table, sequence_key(name), name, result, folder)
    return {key: result for key, (_, result) in table.items()}


def _numbered(folder, sequence, files):
    """The repetitions <sequence>_001.txt, _002.txt, ... of a sequence folder, or None."""
    runs = sorted((int(m[2]), f) for f in files if f.endswith(".txt") and (m := _RUN.fullmatch(f[:-4]))
                  and m[1] == sequence)
    if not runs:
        return None
    times = [os.path.join(folder, sequence + "_time.txt")] if sequence + "_time.txt" in files else []
    return SequenceResult(sequence, [os.path.join(folder, f) for _, f in runs], times)


def _sequence_folders(folder, folders):
    """Sequence folders holding numbered repetitions (GOT-10k, VOT): {key: SequenceResult}."""
    table = {}
    for name in folders:
        files, _ = _scan(os.path.join(folder, name))
        result = _numbered(os.path.join(folder, name), name, files)
        if result is not None:
            _add(table, sequence_key(name), name, result, folder)
    return {key: result for key, (_, result) in table.items()}


_VOT_EXPERIMENTS = ("baseline", "unsupervised", "longterm", "realtime")
_TRACKER_SUFFIX = re.compile(r"(.+?)_tracking_results?$", re.IGNORECASE)


def _tracker_name(folder_name):
    """The LaSOT toolkit names result folders '<tracker>_tracking_result'."""
    m = _TRACKER_SUFFIX.fullmatch(folder_name)
    return m[1] if m else folder_name


PROVENANCE = RECORD


def _provenance(folder):
    """What velmora fuse recorded in a folder of fused tracks (its list of files aside), or None."""
    record = read_record(folder)
    return None if record is None else {k: v for k, v in record.items() if k != "files"}


def _as_trackers(folder, in_root):
    """The trackers a folder holds, by its own contents; [] when it is no tracker folder.

    A folder of sub-folders that hold plain files is a pytracking tracker when it is read inside
    a results root, or when its sub-folders carry run numbers; otherwise it is a results root.
    """
    name = _tracker_name(os.path.basename(os.path.normpath(os.path.abspath(folder))))
    files, folders = _scan(folder)
    sequences = _flat(folder, files)
    provenance = _provenance(folder)
    if sequences:
        return [Tracker(name, folder, "plain", sequences, provenance=provenance)]
    experiment = next((e for e in _VOT_EXPERIMENTS if e in folders), None)
    if experiment is not None:
        sequences = _sequence_folders(os.path.join(folder, experiment), _scan(os.path.join(folder, experiment))[1])
        if sequences:
            return [Tracker(name, folder, "VOT", sequences, provenance=provenance)]
    sequences = _sequence_folders(folder, folders)
    if sequences and len(sequences) * 2 >= len(folders):
        return [Tracker(name, folder, "GOT-10k", sequences, provenance=provenance)]
    # pytracking: parameter folders, each with runs <parameter>_000, _001, ... or a single one.
    parameters = {}
    for sub in folders:
        inner = _flat(os.path.join(folder, sub), _scan(os.path.join(folder, sub))[0])
        if inner:
            m = _RUN.fullmatch(sub)
            parameters.setdefault(m[1] if m else sub, []).append((sub, inner, m is not None))
    if not parameters:
        return []
    numbered = all(run for runs in parameters.values() for _, _, run in runs)
    if not in_root and not numbered:
        return []
    trackers = []
    for parameter, runs in sorted(parameters.items()):
        keys = set.intersection(*(set(inner) for _, inner, _ in runs))
        sequences = {}
        for key in sorted(keys):
            first = runs[0][1][key]
            sequences[key] = SequenceResult(first.name, [inner[key].runs[0] for _, inner, _ in runs],
                                            [t for _, inner, _ in runs for t in inner[key].times])
        tracker_name = name if len(parameters) == 1 else f"{name}_{parameter}"
        trackers.append(Tracker(tracker_name, folder, "pytracking", sequences))
    return trackers


# Data-set folders of pysot's results/<data set>/<tracker> layout.
_DATASET = re.compile(r"(otb|tb-?\d|cvpr1\d|lasot|uav|nfs|got-?10k|vot|trackingnet|tnl2k|tc-?128|tcolor|dtb|"
                      r"visdrone|avist|oxuva|itb)", re.IGNORECASE)
# Data-set prefixes of pytracking's sequence names.
_PREFIXES = ("nfs", "uav")


def _strip_prefix(tracker):
    """Takes a data-set prefix off every sequence name when all of them carry it."""
    names = [s.name for s in tracker.sequences.values()]
    for prefix in _PREFIXES:
        if names and all(n.lower().startswith(prefix) and n[len(prefix):len(prefix) + 1] in ("_", "-") for n in names):
            stripped = {}
            for result in tracker.sequences.values():
                result.name = result.name[len(prefix) + 1:]
                _add(stripped, sequence_key(result.name), result.name, result, tracker.folder)
            tracker.sequences = {key: result for key, (_, result) in stripped.items()}
            tracker.prefix = names[0][:len(prefix) + 1]
            return


def _root(path, dataset):
    """The trackers of a results root, or of the chosen data-set folder of a pysot root."""
    _, folders = _scan(path)
    inner = {sub: _as_trackers(os.path.join(path, sub), in_root=True) for sub in folders}
    found = [t for sub in folders for t in inner[sub]]
    datasets = [sub for sub in folders if _DATASET.match(sub) and
                any(_as_trackers(os.path.join(path, sub, t), in_root=True) for t in _scan(os.path.join(path, sub))[1])]
    if datasets and len(datasets) * 2 >= len(folders):
        if dataset is None and len(datasets) == 1:
            dataset = datasets[0]
        chosen = next((d for d in datasets if dataset is not None and d.lower() == dataset.lower()), None)
        if chosen is None and dataset is not None:
            raise InputError(f"{path}: no data set named {dataset!r}; the data sets here are {', '.join(datasets)}: "
                             "name one with --dataset, or give its folder")
        if chosen is None:
            raise InputError(f"{path}: holds the results of several data sets ({', '.join(datasets)}); "
                             "name one with --dataset, or give its folder")
        root = os.path.join(path, chosen)
        return [t for sub in _scan(root)[1] for t in _as_trackers(os.path.join(root, sub), in_root=True)], \
            f"pysot results root, data set {chosen}"
    return found, "results root"


def _writable_name(name):
    """Whether a tracker name reads back from a weights or selection file as itself."""
    return name == name.strip() and not name.startswith("#") and name.isprintable()


def find_results(paths, dataset=None):
    """The trackers under `paths`, each a tracker folder or a results root, in any layout above.

    `dataset` picks the data-set folder of a pysot results root that holds several.
    """
    trackers, roots = [], []
    for path in paths:
        if not os.path.isdir(path):
            raise InputError(f"{path}: " + ("a file, not a tracker folder or results root" if os.path.exists(path)
                                            else "no such folder"))
        path = os.path.normpath(path)
        found = _as_trackers(path, in_root=False)
        what = f"{found[0].layout} tracker folder" if found else None
        if not found:
            found, what = _root(path, dataset)
        if not found:
            raise InputError(f"{path}: neither a tracker folder nor a results root: no result files found in any "
                             "layout known (<tracker>/<sequence>.txt, GOT-10k, VOT, pytracking, pysot)")
        roots.append((path, what))
        trackers.extend(found)
    seen = {}
    for tracker in trackers:
        _strip_prefix(tracker)
        if not _writable_name(tracker.name):
            raise InputError(f"{tracker.folder}: the tracker name {tracker.name!r} would not survive velmora's "
                             "weights and selection files (a name may not start with '#', start or end with a "
                             "space, or hold a line break or other control character); rename the folder")
        if tracker.name in seen:
            raise InputError(f"{tracker.folder}: tracker name {tracker.name!r} is also the name of "
                             f"{seen[tracker.name]}")
        seen[tracker.name] = tracker.folder
    return Results(sorted(trackers, key=lambda t: t.name), roots)


# ---- Annotations ----

@dataclass
class AnnotatedSequence:
    """Where one annotated sequence lives: its box file and the files about its frames."""

    name: str
    path: str
    flag_paths: tuple = ()  # absence flags, 1 where the target is not visible
    cover_path: str = None  # GOT-10k's visible share of the target per frame, 0 to 8
    attribute_path: str = None  # OTB's attrs.txt or the LaSOT toolkit's att/<sequence>.txt
    meta_path: str = None  # GOT-10k's meta_info.ini, which gives the image size


@dataclass
class Annotations:
    root: str
    layout: str
    sequences: dict  # sequence key -> AnnotatedSequence
    flag_folder: str = None  # the LaSOT toolkit's absent/ folder, when there is one


_FLAG_FILES = ("absent.txt", "full_occlusion.txt", "out_of_view.txt", "absence.label")
_NUMBERED_GROUNDTRUTH = re.compile(r"groundtruth_rect\.(\d+)\.txt")


def _sequence_folder(folder, name):
    """The annotated sequences of one sequence folder: [AnnotatedSequence], empty when it holds none."""
    files, _ = _scan(folder)
    entries = set(files)
    flags = tuple(os.path.join(folder, f) for f in _FLAG_FILES if f in entries)
    cover = os.path.join(folder, "cover.label") if "cover.label" in entries else None
    attributes = os.path.join(folder, "attrs.txt") if "attrs.txt" in entries else None
    meta = os.path.join(folder, "meta_info.ini") if "meta_info.ini" in entries else None
    plain = [f for f in ("groundtruth.txt", "groundtruth_rect.txt") if f in entries]
    if len(plain) == 2:
        raise InputError(f"{folder}: holds both groundtruth.txt and groundtruth_rect.txt")
    if plain:
        return [AnnotatedSequence(name, os.path.join(folder, plain[0]), flags, cover, attributes, meta)]
    numbered = sorted((int(m[1]), m[0]) for m in map(_NUMBERED_GROUNDTRUTH.fullmatch, entries) if m)
    return [AnnotatedSequence(f"{name}.{k}", os.path.join(folder, f), (), None, attributes) for k, f in numbered]


def _layout_name(sequences, flag_folder):
    if flag_folder is not None:
        return "LaSOT toolkit (annos/ with absent/)"
    found = list(sequences.values())
    if any(s.path.endswith(".label") or any(f.endswith(".label") for f in s.flag_paths) or s.cover_path
           for s in found):
        return "GOT-10k"
    if any(os.path.basename(f) in ("full_occlusion.txt", "out_of_view.txt") for s in found for f in s.flag_paths):
        return "LaSOT"
    if any(os.path.basename(s.path).startswith("groundtruth_rect") for s in found):
        return "OTB"
    if any(os.path.basename(s.path) == "groundtruth.txt" for s in found):
        return "<sequence>/groundtruth.txt"
    return "<sequence>.txt"


def find_annotations(root):
    """The annotated sequences under an annotation folder, in any layout above."""
    if not os.path.isdir(root):
        raise InputError(f"{root}: no such folder")
    table = {}

    def add(annotation, where):
        _add(table, sequence_key(annotation.name), annotation.name, annotation, where)

    files, folders = _scan(root)
    special = {f.lower(): f for f in folders if f.lower() in ("absent", "att", "nlp")}
    found_folders = []
    for entry in folders:
        if entry.lower() in special:
            continue
        path = os.path.join(root, entry)
        found = _sequence_folder(path, entry)
        if not found:
            # A class folder, as in LaSOT: one more level of sequence folders.
            for inner in _scan(path)[1]:
                found.extend(_sequence_folder(os.path.join(path, inner), inner))
        found_folders.extend(found)
    for entry in files:
        # A list of sequence names (GOT-10k, VOT) is no annotation.
        if entry.endswith(".txt") and not (entry[:-4].lower() in _NOT_RESULTS and found_folders):
            add(AnnotatedSequence(entry[:-4], os.path.join(root, entry)), root)
    for annotation in found_folders:
        add(annotation, root)
    if not table:
        raise InputError(f"{root}: no annotation found (expected <sequence>.txt, <sequence>/groundtruth.txt "
                         "or <sequence>/groundtruth_rect.txt)")
    sequences = {key: annotation for key, (_, annotation) in table.items()}
    # The LaSOT toolkit keeps flags and attributes in folders beside the box files.
    flag_folder = os.path.join(root, special["absent"]) if "absent" in special else None
    for folder, kind in ((flag_folder, "flags"), (os.path.join(root, special["att"]) if "att" in special else None,
                                                   "attributes")):
        if folder is None:
            continue
        for f in _scan(folder)[0]:
            annotation = sequences.get(sequence_key(f[:-4])) if f.endswith(".txt") else None
            if annotation is None:
                continue
            if kind == "flags":
                annotation.flag_paths = annotation.flag_paths + (os.path.join(folder, f),)
            else:
                annotation.attribute_path = os.path.join(folder, f)
    return Annotations(root, _layout_name(sequences, flag_folder), sequences, flag_folder)
