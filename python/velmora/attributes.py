"""The attributes that benchmarks give their sequences (occlusion, fast motion, ...), for per-attribute scores.

Read from the annotation folder (OTB's ``<sequence>/attrs.txt``, the LaSOT toolkit's, OTB's or
UAV123's ``att/<sequence>.txt``), from a folder of such files, or from a CSV file:

- a file of 0 and 1 flags is read by its number of flags, in the order its benchmark's toolkit
  lists them: 11 are OTB's (IV, OPR, SV, OCC, DEF, MB, FM, IPR, OV, BC, LR, the order of the OTB
  toolkit's performance plots), 12 UAV123's (SV, ARC, LR, FM, FOC, POC, OV, BC, IV, VC, CM, SOB,
  the same script's), 14 the LaSOT toolkit's (IV, POC, DEF, MB, CM, ROT, BC, VC, SV, FOC, FM, OV,
  LR, ARC);
- a file of names (``SV, DEF, FM``) is OTB's attrs.txt: the attributes it names;
- a CSV file either starts with a heading ``sequence,<attribute>,...`` over rows of 0 and 1, or
  holds one row per sequence: its name, then the names of its attributes.
"""

import csv
import os
import re

from .textfiles import InputError, read_lines
from .layouts import sequence_key

__all__ = ["LASOT", "OTB", "UAV123", "FLAG_ORDERS", "full_name", "read_attributes", "groups"]

# The LaSOT toolkit's attributes, in the order of its att files.
LASOT = (("IV", "Illumination Variation"), ("POC", "Partial Occlusion"), ("DEF", "Deformation"),
         ("MB", "Motion Blur"), ("CM", "Camera Motion"), ("ROT", "Rotation"), ("BC", "Background Clutter"),
         ("VC", "Viewpoint Change"), ("SV", "Scale Variation"), ("FOC", "Full Occlusion"), ("FM", "Fast Motion"),
         ("OV", "Out-of-View"), ("LR", "Low Resolution"), ("ARC", "Aspect Ratio Change"))
# OTB's, in the order of the OTB toolkit's performance-plot script, which is that of its flag files.
OTB = (("IV", "Illumination Variation"), ("OPR", "Out-of-Plane Rotation"), ("SV", "Scale Variation"),
       ("OCC", "Occlusion"), ("DEF", "Deformation"), ("MB", "Motion Blur"), ("FM", "Fast Motion"),
       ("IPR", "In-Plane Rotation"), ("OV", "Out-of-View"), ("BC", "Background Clutters"), ("LR", "Low Resolution"))
# UAV123's, in the order the same script gives its flags.
UAV123 = (("SV", "Scale Variation"), ("ARC", "Aspect Ratio Change"), ("LR", "Low Resolution"),
          ("FM", "Fast Motion"), ("FOC", "Full Occlusion"), ("POC", "Partial Occlusion"), ("OV", "Out-of-View"),
          ("BC", "Background Clutter"), ("IV", "Illumination Variation"), ("VC", "Viewpoint Change"),
          ("CM", "Camera Motion"), ("SOB", "Similar Object"))
# A flag file's benchmark, by its number of flags.
FLAG_ORDERS = {len(OTB): ("OTB", OTB), len(UAV123): ("UAV123", UAV123), len(LASOT): ("the LaSOT toolkit", LASOT)}

_NAMES = {}
for _abbreviation, _name in LASOT + OTB + UAV123:
    _NAMES.setdefault(_abbreviation, _name)


def full_name(attribute):
    """'Illumination Variation (IV)' for 'IV'; an attribute of no known benchmark as it is."""
    return f"{_NAMES[attribute]} ({attribute})" if attribute in _NAMES else attribute


_TOKENS = re.compile(r"[\s,;]+")


def _read_file(path, orders=None):
    """The attributes one file gives its sequence, as a list of names; `orders` collects the flag
    orders assumed."""
    tokens = [t for line in read_lines(path) for t in _TOKENS.split(line.strip()) if t]
    if tokens and all(t in ("0", "1") for t in tokens):
        if len(tokens) not in FLAG_ORDERS:
            known = "; ".join(f"{n} ({who}: {', '.join(a for a, _ in order)})"
                              for n, (who, order) in sorted(FLAG_ORDERS.items()))
            raise InputError(f"{path}: {len(tokens)} flags; attribute flag files hold {known}; for other flag "
                             "files give a CSV file that names the attributes")
        who, order = FLAG_ORDERS[len(tokens)]
        if orders is not None:
            orders.add(len(tokens))
        return [name for (name, _), flag in zip(order, tokens) if flag == "1"]
    return tokens


def _read_csv(path):
    lines = read_lines(path)
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


def read_attributes(source, annotations, reporter=None):
    """{sequence key: [attribute names]} from `source` (a CSV file or a folder of files), or from
    the annotation folder's own attribute files when `source` is None. The orders in which flag
    files were read are noted on `reporter`."""
    found, orders = {}, set()
    found = _read_attributes(source, annotations, found, orders)
    for n in sorted(orders):
        who, order = FLAG_ORDERS[n]
        if reporter is not None:
            reporter.note(f"attribute files of {n} flags read in {who}'s order: {', '.join(a for a, _ in order)}")
    return found


def _read_attributes(source, annotations, found, orders):
    if source is None:
        for key, sequence in annotations.sequences.items():
            if sequence.attribute_path:
                found[key] = _read_file(sequence.attribute_path, orders)
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
                found[sequence_key(entry[:-4])] = _read_file(path, orders)
            elif os.path.isfile(os.path.join(path, "attrs.txt")):
                found[sequence_key(entry)] = _read_file(os.path.join(path, "attrs.txt"), orders)
    elif os.path.isfile(source):
        found = {sequence_key(name): attributes for name, attributes in _read_csv(source).items()}
    else:
        raise InputError(f"{source}: no such file or folder")
    if not found:
        raise InputError(f"{source}: no attributes found")
    return found


def groups(attributes, keys):
    """{attribute: [sequence keys]} over `keys`, the attributes in the LaSOT, OTB or UAV123 order where known."""
    table = {}
    for key in keys:
        for name in attributes.get(key, ()):
            table.setdefault(name, []).append(key)
    order = {}
    for name, _ in LASOT + OTB + UAV123:
        order.setdefault(name, len(order))
    return dict(sorted(table.items(), key=lambda item: (order.get(item[0], len(order)), item[0])))
