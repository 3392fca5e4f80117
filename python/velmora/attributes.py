"""The attributes that benchmarks give their sequences (occlusion, fast motion, ...), for per-attribute scores.

Read from the annotation folder (OTB's ``<sequence>/attrs.txt``, the LaSOT toolkit's
``att/<sequence>.txt``), from a folder of such files, or from a CSV file:

- a file of 0 and 1 flags is the LaSOT toolkit's: 14 flags in its order (LASOT below);
- a file of names (``SV, DEF, FM``) is OTB's: the attributes it names;
- a CSV file either starts with a heading ``sequence,<attribute>,...`` over rows of 0 and 1, or
  holds one row per sequence: its name, then the names of its attributes.
"""

import csv
import os
import re

from .io import InputError, _read_bytes, _text_lines
from .layouts import sequence_key

__all__ = ["LASOT", "OTB", "read_attributes", "groups"]

# The LaSOT toolkit's attributes, in the order of its att files.
LASOT = (("IV", "Illumination Variation"), ("POC", "Partial Occlusion"), ("DEF", "Deformation"),
         ("MB", "Motion Blur"), ("CM", "Camera Motion"), ("ROT", "Rotation"), ("BC", "Background Clutter"),
         ("VC", "Viewpoint Change"), ("SV", "Scale Variation"), ("FOC", "Full Occlusion"), ("FM", "Fast Motion"),
         ("OV", "Out-of-View"), ("LR", "Low Resolution"), ("ARC", "Aspect Ratio Change"))
# OTB's, in the order its toolkits list them.
OTB = (("IV", "Illumination Variation"), ("SV", "Scale Variation"), ("OCC", "Occlusion"), ("DEF", "Deformation"),
       ("MB", "Motion Blur"), ("FM", "Fast Motion"), ("IPR", "In-Plane Rotation"), ("OPR", "Out-of-Plane Rotation"),
       ("OV", "Out-of-View"), ("BC", "Background Clutters"), ("LR", "Low Resolution"))

_TOKENS = re.compile(r"[\s,;]+")


def _read_file(path):
    """The attributes one file gives its sequence, as a list of names."""
    tokens = [t for line in _text_lines(path, _read_bytes(path)) for t in _TOKENS.split(line.strip()) if t]
    if tokens and all(t in ("0", "1") for t in tokens):
        if len(tokens) != len(LASOT):
            raise InputError(f"{path}: {len(tokens)} flags; the LaSOT toolkit's attribute files hold "
                             f"{len(LASOT)} ({', '.join(a for a, _ in LASOT)}); for other flag files give a CSV "
                             "file that names the attributes")
        return [name for (name, _), flag in zip(LASOT, tokens) if flag == "1"]
    return tokens


def _read_csv(path):
    lines = _text_lines(path, _read_bytes(path))
    rows = [row for row in csv.reader(lines) if any(cell.strip() for cell in row)]
    table = {}
    if rows and rows[0][0].strip().lower() == "sequence":
        names = [cell.strip() for cell in rows[0][1:]]
        for number, row in enumerate(rows[1:], 2):
            flags = [cell.strip() for cell in row[1:]]
            if len(flags) != len(names) or any(f not in ("0", "1") for f in flags):
                raise InputError(f"{path}:{number}: expected a sequence name and {len(names)} flags 0 or 1")
            table[row[0].strip()] = [n for n, f in zip(names, flags) if f == "1"]
    else:
        for row in rows:
            table[row[0].strip()] = [a for cell in row[1:] for a in _TOKENS.split(cell.strip()) if a]
    return table


def read_attributes(source, annotations):
    """{sequence key: [attribute names]} from `source` (a CSV file or a folder of files), or from
    the annotation folder's own attribute files when `source` is None."""
    found = {}
    if source is None:
        for key, sequence in annotations.sequences.items():
            if sequence.attribute_path:
                found[key] = _read_file(sequence.attribute_path)
        if not found:
            raise InputError(f"{annotations.root}: no attribute files (OTB's <sequence>/attrs.txt, the LaSOT "
                             "toolkit's att/<sequence>.txt); name a folder or CSV file of them")
        return found
    if os.path.isdir(source):
        try:
            entries = sorted(os.listdir(source))
        except OSError as e:
            raise InputError(f"{source}: cannot list the folder: {e.strerror or e}") from None
        for entry in entries:
            path = os.path.join(source, entry)
            if entry.endswith(".txt") and os.path.isfile(path):
                found[sequence_key(entry[:-4])] = _read_file(path)
            elif os.path.isfile(os.path.join(path, "attrs.txt")):
                found[sequence_key(entry)] = _read_file(os.path.join(path, "attrs.txt"))
    elif os.path.isfile(source):
        found = {sequence_key(name): attributes for name, attributes in _read_csv(source).items()}
    else:
        raise InputError(f"{source}: no such file or folder")
    if not found:
        raise InputError(f"{source}: no attributes found")
    return found


def groups(attributes, keys):
    """{attribute: [sequence keys]} over `keys`, the attributes in the LaSOT or OTB order where known."""
    table = {}
    for key in keys:
        for name in attributes.get(key, ()):
            table.setdefault(name, []).append(key)
    order = {}
    for name, _ in LASOT + OTB:
        order.setdefault(name, len(order))
    return dict(sorted(table.items(), key=lambda item: (order.get(item[0], len(order)), item[0])))
