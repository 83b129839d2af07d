"""quillet under the names most Python MARC scripts are written against, so
that such a script ports by changing its import:

    from quillet import pymarc

    with open("records.mrc", "rb") as fh:
        for record in pymarc.MARCReader(fh):
            print(record.title, record["245"]["a"])

The readers and writers are thin wrappers of quillet.read() and
quillet.Writer; the records are quillet's own. Where quillet does better
than the names' usual meaning (a damaged record is read, repaired, instead
of raising; MARC-8 is told from the bytes as well as from leader/09), it
keeps its own behaviour; where a name or an argument could only half mean
what it usually does, it is left out or refused with a ValueError naming
what to use instead. The Python guide, "Coming from pymarc", has the table.
"""
import collections
import io
import re

import quillet
from quillet._writer import Writer as _FileWriter, xml_collection as _xml_collection
from quillet._writer import xml_record as _xml_record

# The MARC21 slim namespace, as the library's MARCXML writer states it.
MARCXML_NAMESPACE = re.search(r'xmlns="([^"]*)"', _xml_collection()[0]).group(1)

Record = quillet.Record
Field = quillet.Field
# Named tuples that the record's own (code, value) and indicator pairs
# compare equal to, until quillet gives its own.
Subfield = getattr(quillet, "Subfield", None) or collections.namedtuple("Subfield", "code value")
Indicators = (getattr(quillet, "Indicators", None)
              or collections.namedtuple("Indicators", "first second"))
if hasattr(quillet, "Leader"):
    Leader = quillet.Leader


class MarcError(Exception):
    """The base of this module's exceptions. quillet itself does not raise
    them for damage: it reads the record repaired (see MARCReader)."""


class RecordLengthInvalid(MarcError):
    """The record's declared length is wrong, or the record is cut short."""


class RecordLeaderInvalid(MarcError):
    """The leader cannot be read."""


class BaseAddressInvalid(MarcError):
    """The base address does not point after the directory."""


class BaseAddressNotFound(MarcError):
    """No directory terminator where the base address says."""


class RecordDirectoryInvalid(MarcError):
    """The directory cannot address the fields."""


class NoFieldsFound(MarcError):
    """A record without a single field."""


if hasattr(quillet, "FieldNotFound"):
    FieldNotFound = quillet.FieldNotFound
else:
    class FieldNotFound(MarcError):
        """A field asked for that the record does not have."""


class BadSubfieldCodeWarning(MarcError, Warning):
    """A subfield delimiter without a code. Not issued: the reader lists the
    repair in ``record.problems`` ("subfield_without_code") instead."""


# The reader's repairs of a record's frame, the damage this module's names
# raise for, by the exception class that stands for it. Repairs inside a
# field (a missing terminator, a delimiter without a code, ...) and text
# problems (MARC-8 or UTF-8 that does not decode) are listed in
# record.problems but are no exception here: the field is read either way.
_FRAME_DAMAGE = {
    "length_repaired": RecordLengthInvalid,
    "long_record": RecordLengthInvalid,
    "missing_record_terminator": RecordLengthInvalid,
    "truncated": RecordLengthInvalid,
    "bad_length": RecordLengthInvalid,
    "bad_base_address": BaseAddressInvalid,
    "directory_split": RecordDirectoryInvalid,
    "bad_directory_entry": RecordDirectoryInvalid,
    "field_out_of_record": RecordDirectoryInvalid,
}


def _frame_exception(record):
    """The exception standing for the repairs of `record`'s frame (the
    class of the first, the words of all), or None."""
    repairs = [p for p in record.problems if p.kind in _FRAME_DAMAGE]
    if not repairs:
        return None
    return _FRAME_DAMAGE[repairs[0].kind]("; ".join(str(p) for p in repairs))


def _record_bytes(record):
    """The bytes a record was read from."""
    raw = getattr(record, "raw", None)
    return raw if isinstance(raw, bytes) else record.as_marc()


def _binary_source(source, encoding="utf-8"):
    """`source` as quillet.read() takes it: a text file is read and encoded."""
    if isinstance(source, io.TextIOBase) or (hasattr(source, "read") and hasattr(source, "encoding")
                                             and not hasattr(source, "readinto")):
        return source.read().encode(encoding)
    return source


class MARCReader:
    """The ISO 2709 records of ``marc_target`` (a binary file object or
    bytes; a path as well), one Record at a time, damaged ones repaired.

    ``to_unicode=True`` (the only value taken) gives text as str: UTF-8, or
    MARC-8 decoded, as each record's leader/09 and bytes say;
    ``force_utf8=True`` reads every record as UTF-8. Bytes that do not
    decode become U+FFFD and are listed in ``record.problems``, whatever
    ``utf8_handling`` ("strict" or "replace"); nothing is printed, so
    ``hide_utf8_warnings`` changes nothing, and ``file_encoding`` only went
    with ``to_unicode=False``. For the bytes undecoded, use
    ``quillet.read(path, raw=True)``.

    A damaged record is read, repaired, and never raises. With
    ``permissive=True`` each record also sets ``current_chunk`` (its bytes
    as read) and ``current_exception``: None for a sound record, for a
    repaired frame (length, base address, directory) an exception of the
    matching class whose words list the repairs; the record is yielded all
    the same. Only a record without a single field yields None (with
    NoFieldsFound). For one thread at a time.
    """

    def __init__(self, marc_target, to_unicode=True, force_utf8=False, hide_utf8_warnings=False,
                 utf8_handling="strict", file_encoding="iso8859-1", permissive=False):
        if not to_unicode:
            raise ValueError("to_unicode=False is not offered: quillet.read(source, raw=True) "
                             "gives the bytes undecoded")
        if utf8_handling not in ("strict", "replace"):
            raise ValueError('utf8_handling="%s" is not offered: bytes that are not UTF-8 '
                             'become U+FFFD ("replace") and are listed in record.problems'
                             % utf8_handling)
        self.file_handle = marc_target if hasattr(marc_target, "read") else None
        self.permissive = permissive
        self.force_utf8 = force_utf8
        self.current_chunk = None
        self.current_exception = None
        self._records = quillet.read(marc_target, charset="utf-8" if force_utf8 else "auto",
                                     format="marc")

    def __iter__(self):
        # Not permissive, there is nothing to note per record: the loop runs
        # on quillet's reader directly.
        return self if self.permissive else self._records

    def __next__(self):
        record = next(self._records)
        if not self.permissive:
            return record
        self.current_chunk = _record_bytes(record)
        if len(record) == 0:
            self.current_exception = NoFieldsFound("a record without fields")
            return None
        self.current_exception = _frame_exception(record)
        return record

    def close(self):
        """Closes the file the records are read from, if one was given."""
        if self.file_handle is not None:
            self.file_handle.close()


class JSONReader:
    """The records of MARC-in-JSON ``marc_target``: JSON text (str or
    bytes, in ``encoding``), a file object, or a path; one record object, an
    array of them, or JSON lines. A binary file is read as it is iterated,
    whatever ``stream``."""

    def __init__(self, marc_target, encoding="utf-8", stream=False):
        source = marc_target
        if isinstance(source, str) and source.lstrip()[:1] in ("[", "{"):
            source = source.encode("utf-8")
        elif isinstance(source, (bytes, bytearray)) and encoding.replace("-", "").lower() != "utf8":
            source = bytes(source).decode(encoding).encode("utf-8")
        else:
            source = _binary_source(source)
        self.stream = stream
        self._records = quillet.read(source, format="json")

    def __iter__(self):
        return self._records

    def __next__(self):
        return next(self._records)


def parse_xml_to_array(xml_file, strict=False, normalize_form=None):
    """Every record of the MARCXML document ``xml_file`` (a path or a file
    object), as a list. Records are read with or without the MARC21 slim
    namespace, whatever ``strict``. ``normalize_form`` "NFC" composes the
    text; None leaves it as it is; the other forms are not offered."""
    return list(_xml_records(xml_file, normalize_form))


def _xml_records(xml_file, normalize_form):
    if normalize_form not in (None, "NFC"):
        raise ValueError('normalize_form="%s" is not offered: use "NFC" or None' % normalize_form)
    return quillet.read(_binary_source(xml_file), format="xml", nfc=normalize_form == "NFC")


def record_to_xml(record, quiet=False, namespace=False):
    """The MARCXML <record> element of ``record``, as UTF-8 bytes, in the
    MARC21 slim namespace when ``namespace``. ``quiet`` changes nothing:
    nothing is printed."""
    element = _xml_record(record).strip()
    if namespace:
        element = element.replace("<record", '<record xmlns="%s"' % MARCXML_NAMESPACE, 1)
    return element.encode("utf-8")


def map_records(function, *files):
    """Calls ``function`` with each record of each ISO 2709 file object (or
    bytes, or path) in turn."""
    for file in files:
        for record in MARCReader(file):
            function(record)


def map_xml(function, *files):
    """Calls ``function`` with each record of each MARCXML file in turn, as
    they are read."""
    for file in files:
        for record in _xml_records(file, None):
            function(record)


class Writer:
    """The base of the writers: ``write(record)`` and ``close()`` over a
    file object opened for writing. ``close()`` writes the end the format
    needs and, unless ``close_fh=False``, closes the file. For one thread at
    a time."""

    format = "marc"

    def __init__(self, file_handle):
        self.file_handle = file_handle
        self._writer = _FileWriter(file_handle, self.format)

    def write(self, record):
        """Writes one record."""
        self._writer.write(record)

    def close(self, close_fh=True):
        """Ends the file's content and closes the file unless ``close_fh`` is
        False (to read an io.BytesIO written into, say)."""
        self._writer.close()
        if close_fh and hasattr(self.file_handle, "close"):
            self.file_handle.close()


class MARCWriter(Writer):
    """ISO 2709 records, each its ``as_marc()``, into a binary file."""

    format = "marc"


class XMLWriter(Writer):
    """One MARCXML <collection> of the records (UTF-8), into a binary or a
    text file; close() writes its end."""

    format = "xml"


class JSONWriter(Writer):
    """One JSON array of MARC-in-JSON records, into a text or a binary file;
    close() writes its end."""

    format = "json"


class TextWriter(Writer):
    """Mnemonic text (=LDR, =245  10$a...), each record and a blank line, as
    quillet-dump writes it and quillet.read() reads it."""

    format = "mrk"


__all__ = [
    "BadSubfieldCodeWarning", "BaseAddressInvalid", "BaseAddressNotFound", "Field",
    "FieldNotFound", "Indicators", "JSONReader", "JSONWriter", "MARCReader", "MARCWriter",
    "MarcError", "NoFieldsFound", "Record", "RecordDirectoryInvalid", "RecordLeaderInvalid",
    "RecordLengthInvalid", "Subfield", "TextWriter", "Writer", "XMLWriter", "map_records",
    "map_xml", "parse_xml_to_array", "record_to_xml",
] + (["Leader"] if hasattr(quillet, "Leader") else [])
