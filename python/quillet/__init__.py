"""ISO 2709 (MARC) records at native speed.

    import quillet
    for record in quillet.read("records.mrc"):
        print(record.control_number, record["245"]["a"])

Damaged records are read, repaired as far as they can be, and their
repairs listed in ``record.problems``; only a missing file (OSError) or
input that is no ISO 2709 at all (ValueError) raises.

    quillet.write(records, "out.xml", format="xml")   # or "marc", "json", "jsonl", "mrk"

``quillet.pymarc`` offers the same under the names of the Python MARC
library most scripts are written for.
"""
from ._quillet import (Field, FieldNotFound, Indicators, Leader, Problem, Reader, Record, Subfield,
                       __version__)
from . import _conveniences
from ._writer import Writer, write

__all__ = ["Field", "FieldNotFound", "Indicators", "Leader", "Problem", "Reader", "Record",
           "Subfield", "Writer", "problems", "read", "to_long", "to_wide", "write", "__version__"]

# title, author, isbn, ...: read-only properties of every record.
_conveniences.attach(Record)


def read(source, *, charset="auto", raw=False, nfc=False, strict=False, start=0, format="auto"):
    """Iterates over the records of ``source``, in file order.

    ``source`` is a path (str or os.PathLike), a binary file object or
    bytes; gzip-compressed input is read through. Text comes as str, decoded
    from MARC-8 or UTF-8 as ``charset`` says ("auto": by leader/09 and the
    bytes; "marc8"; "utf-8"; "raw"; in any case, with or without the
    hyphen), composed to NFC when ``nfc``; with ``raw=True`` (the same as
    ``charset="raw"``) everything taken from the record is bytes, as it
    stands.
    ``format`` is the input's: "auto" (told from its first bytes), "marc"
    (ISO 2709), "xml" (MARCXML), "json" (MARC-in-JSON) or "mrk" (mnemonic
    text); records of every format come as records alike.
    ``strict`` frames records by their declared length only. ``start`` is
    where ``source`` begins in the file it was cut from, added to every
    offset (of records and problems).

    Raises FileNotFoundError (or another OSError) when the path cannot be
    opened, ValueError when the input is in no format read, or read as
    ISO 2709 (format="marc") looks like another.
    """
    return Reader(source, charset=charset, raw=raw, nfc=nfc, strict=strict, start=start,
                  format=format)


def __getattr__(name):
    # The tables need pandas: imported on first use, so that reading
    # records does not.
    if name in ("to_long", "to_wide", "problems"):
        from . import table
        return getattr(table, name)
    raise AttributeError(f"module 'quillet' has no attribute {name!r}")
