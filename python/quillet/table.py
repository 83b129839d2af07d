"""Records as pandas DataFrames, built natively.

    import quillet
    subfields = quillet.to_long("dump.mrc")                   # one row per subfield
    books = quillet.to_wide("dump.mrc", {"id": "001", "title": "245a"})
    damage = quillet.problems("dump.mrc")                     # what was repaired

The library walks the records in C++ with the GIL released, decodes their
text (MARC-8 or UTF-8, as quillet.read() does) and fills the columns:
NumPy arrays of numbers, categorical codes for tags, indicators, subfield
codes and problem kinds, and one Python str per value. The DataFrame is made
once per source; no Python object is made per record or per field.

``source`` is anything quillet.read() takes: a path, a binary file object
(read whole first) or bytes, in any format it reads (``format="auto"``
tells them apart).
"""
import os

import numpy as np
import pandas as pd

from . import _quillet

__all__ = ["to_long", "to_wide", "problems", "LONG_COLUMNS", "PROBLEM_COLUMNS"]

LONG_COLUMNS = ["file", "record", "offset", "control_number", "field", "tag", "ind1", "ind2",
                "subfield", "code", "value"]
WIDE_COLUMNS = ["file", "record", "offset"]
PROBLEM_COLUMNS = ["file", "record", "offset", "control_number", "kind", "message"]


def to_long(source, tags=None, *, charset="auto", format="auto"):
    """One row per subfield and per control field of every record.

    Columns: ``file`` (the path, or "<bytes>"), ``record`` (its number in the
    file, from 1, as ``quillet-dump --index`` counts), ``offset`` (the
    record's byte offset in the file), ``control_number`` (the record's 001,
    None without one), ``field`` (the field's position in the record, from
    0: ``record.fields[field]``), ``tag``, ``ind1``, ``ind2`` (None for a
    control field), ``subfield`` (its position in ``field.subfields``, from
    0; <NA> for a control field), ``code`` (the subfield code; "" for bytes
    before a field's first delimiter; None for a control field) and
    ``value`` (a control field's text or the subfield's). A data field with
    no subfield has one row with no subfield, code or value. ``tag``,
    ``ind1``, ``ind2`` and ``code`` are categorical.

    ``tags`` keeps only the fields whose tag matches one of the patterns
    (["245", "6XX"]). ``charset`` is quillet.read()'s: "raw" gives bytes
    in place of every str.
    """
    return _long(source, tags, charset, format)[0]


def to_wide(source, columns, *, charset="auto", format="auto"):
    """One row per record: ``file``, ``record``, ``offset``, then a column
    per selector of ``columns`` (a dict of name to selector, or a list of
    selectors, each its own name).

    A selector is a tag (``245``; ``X`` or ``.`` for any character:
    ``6XX``) or ``LDR``, then optionally indicators in brackets (``[14]``;
    ``#`` or ``_`` for a blank, ``.`` for any), subfield codes (``245ab``:
    the values of $a and $b joined by a blank; none: every subfield) or, for
    the leader and control fields, character positions (``008/35-37``,
    ``LDR/06``; counted in bytes from 0, both ends included), and last
    ``*`` for every occurrence as a list. Without ``*`` the column holds the
    first field that has the codes (None when no field has); with it, a
    list of one item per such field (empty when none). Malformed selectors
    raise ValueError naming the selector and what is wrong.
    """
    return _wide(source, columns, charset, format)[0]


def problems(source, *, charset="auto", format="auto"):
    """One row per problem: what the reader repaired and what the text
    could not decode, as ``record.problems`` lists them, then what belongs
    to no record (junk after the last one: ``record`` <NA>).

    Columns: ``file``, ``record`` (the record's number, from 1), ``offset``
    (the byte offset of the damage in the file), ``control_number`` (the
    record's 001; for a record without one, the 001 of the last record
    before it that has one, so the damage can be found near a known
    record; None when there is none), ``kind`` (categorical; the names of
    ``Problem.kind``), ``message`` (the message with its particulars, as
    ``str(problem)``).
    """
    return _problems(source, charset, format)[0]


# The tables with what Dask carries from one block of a file to the next:
# (frame, records read, the last 001 read or None).

def _long(source, tags, charset, format, start=0, name=None):
    data, name = _input(source, name)
    if isinstance(tags, str):
        tags = [tags]
    c = _quillet._long_columns(data, tags=tags, charset=charset, format=format, start=start,
                               name=name)
    n = len(c["record"])
    frame = pd.DataFrame({
        "file": _file(name, n),
        "record": c["record"],
        "offset": c["offset"],
        "control_number": c["control_number"],
        "field": c["field"],
        "tag": _categorical(c["tag"]),
        "ind1": _categorical(c["ind1"]),
        "ind2": _categorical(c["ind2"]),
        "subfield": pd.arrays.IntegerArray(c["subfield"], c["subfield"] < 0),
        "code": _categorical(c["code"]),
        "value": c["value"],
    }, copy=False)
    return frame, c["records"], None


def _wide(source, columns, charset, format, start=0, name=None):
    pairs = _selectors(columns)
    data, name = _input(source, name)
    c = _quillet._wide_columns(data, pairs, charset=charset, format=format, start=start,
                               name=name)
    n = len(c["record"])
    table = {"file": _file(name, n), "record": c["record"], "offset": c["offset"]}
    for (column, _), values in zip(pairs, c["columns"]):
        table[column] = values
    return pd.DataFrame(table, copy=False), c["records"], None


def _problems(source, charset, format, start=0, name=None):
    data, name = _input(source, name)
    c = _quillet._problem_columns(data, charset=charset, format=format, start=start, name=name)
    n = len(c["record"])
    frame = pd.DataFrame({
        "file": _file(name, n),
        "record": pd.arrays.IntegerArray(c["record"], c["record"] == 0),
        "offset": c["offset"],
        "control_number": c["control_number"],
        "kind": _categorical(c["kind"]),
        "message": c["message"],
    }, copy=False)
    return frame, c["records"], c["last_control_number"]


def _selectors(columns):
    """[(name, selector)] of to_wide's ``columns``, each selector checked."""
    if isinstance(columns, dict):
        pairs = list(columns.items())
    elif isinstance(columns, str):
        pairs = [(columns, columns)]
    else:
        pairs = [(s, s) for s in columns]
    if not pairs:
        raise ValueError("to_wide needs at least one column")
    for column, selector in pairs:
        if not isinstance(column, str) or not isinstance(selector, str):
            raise TypeError(f"a column is a name and a selector, both str, not {column!r}: "
                            f"{selector!r}")
        if column in WIDE_COLUMNS:
            raise ValueError(f'column name "{column}" is taken by the table\'s own column')
        _quillet._parse_selector(column, selector)
    return pairs


def _input(source, name):
    """What the native code reads (a path or bytes) and the name of the file."""
    if isinstance(source, (str, os.PathLike)):
        path = os.fsdecode(os.fspath(source))
        return path, name or path
    if isinstance(source, bytes):
        return source, name or "<bytes>"
    if isinstance(source, (bytearray, memoryview)):
        return bytes(source), name or "<bytes>"
    if hasattr(source, "read"):
        data = source.read()
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise TypeError("the file must be opened in binary mode ('rb'): read() returned "
                            + type(data).__name__)
        return bytes(data), name or str(getattr(source, "name", "<file>"))
    raise TypeError("a table is read from a path, a binary file object or bytes, not "
                    + type(source).__name__)


def _file(name, n):
    return pd.Categorical.from_codes(np.zeros(n, dtype=np.int8), categories=[name])


def _categorical(pair):
    codes, categories = pair
    return pd.Categorical.from_codes(codes, categories=pd.Index(categories, dtype=object))
