"""Point clouds as binary little-endian PLY files.

The header is the format's plain form, which every PLY reader takes:

    ply
    format binary_little_endian 1.0
    comment <one line each>
    element vertex <N>
    property float x            (then y, z; mm)
    property uchar red          (then green, blue)
    property uint frame
    property float quality
    end_header

followed by N packed records in that order (4+4+4+1+1+1+4+4 = 23 bytes each)."""
import os
from typing import NamedTuple

import numpy as np

from .errors import RigError
from .output import atomic_output

# The cloud's vertex record: PLY type name per NumPy type, in file order.
VERTEX = np.dtype([("x", "<f4"), ("y", "<f4"), ("z", "<f4"), ("red", "u1"), ("green", "u1"),
                   ("blue", "u1"), ("frame", "<u4"), ("quality", "<f4")])
_PLY_TYPES = {"f4": "float", "u1": "uchar", "u4": "uint", "i4": "int", "f8": "double",
              "i1": "char", "i2": "short", "u2": "ushort"}
_NUMPY_TYPES = {v: k for k, v in _PLY_TYPES.items()}
_NUMPY_TYPES.update(float32="f4", float64="f8", uint8="u1", int8="i1", int16="i2",
                    uint16="u2", int32="i4", uint32="u4")


class Ply(NamedTuple):
    """A read PLY file: `format` (its format line's word), `comments` (list of str),
    `element` ("vertex"), `properties` ([(name, PLY type), ...]) and the records."""
    format: str
    comments: list
    element: str
    properties: list
    vertices: np.ndarray


def header(count, comments, dtype=VERTEX):
    """The header bytes for `count` records of `dtype`. A comment is one line: line breaks
    and other control characters in it (a file name can hold them) become spaces."""
    lines = ["ply", "format binary_little_endian 1.0"]
    for c in comments:
        lines.append("comment " + "".join(ch if ch.isprintable() else " " for ch in str(c)))
    lines.append(f"element vertex {int(count)}")
    for name in dtype.names:
        lines.append(f"property {_PLY_TYPES[dtype[name].str[1:]]} {name}")
    lines.append("end_header")
    return ("\n".join(lines) + "\n").encode("utf-8")


def write_ply(path, vertices, comments=()):
    """Write the structured array `vertices` (VERTEX records) to `path` as a binary PLY,
    written whole or not at all."""
    v = np.ascontiguousarray(vertices, dtype=VERTEX)
    data = header(len(v), comments) + v.tobytes()
    with atomic_output(path) as f:
        f.write(data)


def read_ply(path):
    """A binary little-endian PLY of one element of scalar properties (what write_ply
    writes) as a Ply. Anything else is a RigError naming the file."""
    path = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise RigError(f"cannot read PLY file {path} ({e.strerror or e})") from None
    end = data.find(b"end_header\n")
    if not data.startswith(b"ply\n") or end < 0:
        raise RigError(f"{path} is not a PLY file")
    lines = data[:end].decode("utf-8", "replace").split("\n")[1:]
    fmt, comments, element, count, props = None, [], None, 0, []
    for line in lines:
        words = line.split()
        if not words:
            continue
        if words[0] == "format":
            fmt = words[1] if len(words) == 3 and words[2] == "1.0" else None
        elif words[0] == "comment":
            comments.append(line[len("comment "):])
        elif (words[0] == "element" and len(words) == 3 and words[2].isdigit()
              and element is None):
            element, count = words[1], int(words[2])
        elif (words[0] == "property" and len(words) == 3 and words[1] in _NUMPY_TYPES
              and element is not None):
            props.append((words[2], words[1]))
        else:
            raise RigError(f"PLY file {path}: header line {line!r} is not one this reader takes")
    if fmt != "binary_little_endian" or element is None or not props:
        raise RigError(f"PLY file {path} is not binary little-endian with one element")
    dtype = np.dtype([(name, "<" + _NUMPY_TYPES[t]) for name, t in props])
    body = data[end + len(b"end_header\n"):]
    if len(body) != count * dtype.itemsize:
        raise RigError(f"PLY file {path} holds {len(body)} bytes of records, not "
                       f"{count} x {dtype.itemsize}")
    return Ply(fmt, comments, element, props, np.frombuffer(body, dtype=dtype, count=count))
