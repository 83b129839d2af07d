"""quillet.Writer and quillet.write(): records into a file in every format
the package reads.

Each record is written by the library's own writers (as_marc(), as_xml(),
as_json(), str()); the Writer adds only what a file of many records needs
around them: the one <collection> of MARCXML, the brackets and commas of a
JSON array, the blank line after each mnemonic record.
"""
import io
import os

from ._quillet import Record

FORMATS = ("marc", "xml", "json", "jsonl", "mrk")

# The smallest record: a leader, an empty directory. Its MARCXML document
# gives what the library writes around records (the declaration, the
# <collection> with its namespace, their ends), so that no part of the
# format is spelled here.
_EMPTY_RECORD = b"00026     2200025   4500\x1e\x1d"


def _is_text(file):
    """Whether `file` takes str (a text file) rather than bytes."""
    if isinstance(file, io.TextIOBase):
        return True
    if isinstance(file, (io.RawIOBase, io.BufferedIOBase)):
        return False
    mode = getattr(file, "mode", None)
    if isinstance(mode, str):
        return "b" not in mode
    return hasattr(file, "encoding")


def _read_raw(record):
    """Whether `record` was read raw: its tags (and leader, before records
    could be changed) are bytes."""
    if isinstance(record.leader, bytes):
        return True
    for field in record:
        return isinstance(field.tag, bytes)
    return False


def _split_xml(document):
    """A one-record MARCXML document as (what comes before the record's
    line, the record's lines, what comes after them)."""
    start = document.rfind("\n", 0, document.find("<record")) + 1
    end = document.rfind("</record>")
    if start <= 0 or end < start:
        raise ValueError("as_xml() gave no <record> inside a <collection>")
    end = document.index("\n", end) + 1
    return document[:start], document[start:end], document[end:]


def xml_record(record):
    """The <record> element of `record` (with its indentation and line end),
    out of the one-record document as_xml() gives."""
    return _split_xml(record.as_xml())[1]


def xml_collection():
    """What a MARCXML file of records starts and ends with, as the library
    writes it: (the declaration and <collection ...>, </collection>)."""
    start, _, end = _split_xml(Record(_EMPTY_RECORD).as_xml())
    return start, end


class Writer:
    """Writes records one at a time into a file of one format.

    ``target`` is a path (str or os.PathLike: the file is created, or
    truncated, and closed by close()) or a file object opened for writing,
    which close() leaves open. Binary files take every format; text files
    (``open(p, "w", encoding="utf-8")``, io.StringIO) every one but "marc".
    ``format``:

    - "marc": ISO 2709, each record's as_marc();
    - "xml": one MARCXML document, a <collection> in the MARC21 slim
      namespace holding every record;
    - "json": MARC-in-JSON, one JSON array of the records;
    - "jsonl": MARC-in-JSON, one record per line (as quillet-dump -f json
      writes it, and as can be appended to);
    - "mrk": mnemonic text, each record's str() and a blank line (as
      quillet-dump writes it).

    Text is UTF-8: a record read raw is decoded for the text formats as
    quillet.read() decodes by default. The end of an "xml" or "json" file (``</collection>``,
    ``]``) is written by close(), which the ``with`` statement calls: a file
    not closed is cut short. Every file written reads back through
    quillet.read(). A Writer is for one thread at a time.
    """

    def __init__(self, target, format="marc"):
        if format not in FORMATS:
            raise ValueError('unknown output format "%s": use "marc", "xml", "json", "jsonl" or '
                             '"mrk"' % format)
        self.format = format
        self.count = 0
        self._owned = isinstance(target, (str, os.PathLike))
        self._file = open(target, "wb") if self._owned else target
        self._text = not self._owned and _is_text(self._file)
        if self._text and format == "marc":
            raise TypeError("ISO 2709 records are bytes: open the file in binary mode ('wb')")
        self._closed = False
        if format == "xml":
            self._start, self._end = xml_collection()
            self._put(self._start)
        elif format == "json":
            self._put("[")

    def _put(self, text):
        if self._text:
            self._file.write(text)
        else:
            self._file.write(text.encode("utf-8"))

    def write(self, record):
        """Writes one record."""
        if self._closed:
            raise ValueError("write to a closed Writer")
        if self.format == "marc":
            self._file.write(record.as_marc())
            self.count += 1
            return
        if _read_raw(record):
            # The text formats hold text, so the bytes are decoded here as
            # quillet.read() would have (MARC-8 or UTF-8).
            record = type(record)(record.as_marc())
        if self.format == "xml":
            self._put(xml_record(record))
        elif self.format == "json":
            self._put(("\n" if self.count == 0 else ",\n") + record.as_json())
        elif self.format == "jsonl":
            self._put(record.as_json() + "\n")
        else:
            self._put(str(record) + "\n\n")
        self.count += 1

    def close(self):
        """Writes the end of the file ("xml", "json"), flushes it, and closes
        it if the Writer opened it. A second call does nothing."""
        if self._closed:
            return
        self._closed = True
        try:
            if self.format == "xml":
                self._put(self._end)
            elif self.format == "json":
                self._put("\n]\n" if self.count else "]\n")
        finally:
            if self._owned:
                self._file.close()
            elif hasattr(self._file, "flush"):
                self._file.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def write(records, target, format="marc"):
    """Writes every record of the iterable ``records`` into ``target`` (a
    path or a file object opened for writing) in ``format`` ("marc", "xml",
    "json", "jsonl" or "mrk"; see Writer), and returns how many it wrote.
    A path is created or truncated, and closed at the end; a file object is
    left open."""
    with Writer(target, format) as writer:
        for record in records:
            writer.write(record)
    return writer.count
