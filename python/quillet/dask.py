"""Records of large files on Dask: a bag of records, or DataFrames built
natively block by block.

    import quillet.dask
    bag = quillet.dask.read_marc("dumps/*.mrc.gz" or ["a.mrc", "b.xml"])
    bag.map(lambda r: r.control_number).distinct().count().compute()
    subfields = quillet.dask.to_long("dumps/*.mrc")          # a dask DataFrame
    quillet.dask.write(bag.filter(keep), "out-*.mrc")          # a file per partition

Each file's format is told once from its first bytes (or given), and the
file is cut into blocks of about ``blocksize`` bytes where a record ends:
ISO 2709 at record terminators (0x1D), MARCXML after each record's end tag
whatever its prefix (``</record>``, ``</marc:record>``), MARC-in-JSON lines
at line ends. A block starts after the first record end at or after its
nominal start and ends after the first one at or after its nominal end (as
``dask.bytes.read_bytes`` cuts at a delimiter), so a record that a nominal
boundary falls inside is read once, by the block it starts in. A MARCXML
block is read inside the file's own opening of the collection (its
namespace prefixes declared), so its records read as in the whole file.
Gzip-compressed files, mnemonic text and MARC-in-JSON that is not one
object per line cannot be cut and are read whole, one block each.
Errors raised on a worker name the file and the byte offset of the block.
"""
import re

from dask import delayed
import dask.bag
from dask.utils import parse_bytes
from fsspec.core import get_fs_token_paths, open_files

from . import _quillet, read

__all__ = ["read_marc", "to_long", "to_wide", "problems", "write"]

_GZIP = b"\x1f\x8b"
_HEAD = 1 << 16  # bytes read to tell a file's format and find its first record
_FORMATS = ("marc", "xml", "json", "mrk")


class RecordBag(dask.bag.Bag):
    """The bag read_marc() returns: a dask.bag.Bag of quillet.Record whose
    ``to_dataframe()`` is ``quillet.dask.to_long(bag)`` (a bag made from it by
    map, filter... is a plain bag again for that matter: its items are
    whatever the function returned)."""

    _source = None  # (fs, blocks, options) of the bag read_marc made

    def to_dataframe(self, meta=None, columns=None, optimize_graph=True):
        if self._source is None or meta is not None:
            return super().to_dataframe(meta=meta, columns=columns,
                                        optimize_graph=optimize_graph)
        frame = to_long(self)
        return frame if columns is None else frame[list(columns)]


def read_marc(paths, blocksize="64MiB", *, charset="auto", raw=False, nfc=False, format="auto",
              storage_options=None):
    """A bag of the records of ``paths`` (a path, a glob or a list, local or
    any fsspec URL), in file order within each partition.

    ``blocksize`` is a number of bytes or a string such as "64MiB"; None reads
    each file whole. ``format`` is quillet.read()'s, told once per file from
    its first bytes when "auto". The text options are those of
    quillet.read(); record and problem offsets are offsets in their file.
    """
    fs, blocks = _plan(paths, blocksize, format, storage_options)
    options = {"charset": charset, "raw": raw, "nfc": nfc}
    parts = [delayed(_block_records, pure=True)(fs, b, options) for b in blocks]
    plain = dask.bag.from_delayed(parts)
    bag = RecordBag(plain.dask, plain.name, plain.npartitions)
    bag._source = (fs, blocks, options)
    return bag


def to_long(source, tags=None, *, blocksize="64MiB", charset="auto", format="auto",
            storage_options=None):
    """quillet.to_long() of every file, as a dask DataFrame of one partition
    per block, each built by the native code on a worker. ``source`` is what
    read_marc() takes, or a bag read_marc() made (its files, blocks and
    charset). Records are numbered within each file, as on one machine."""
    from . import table  # pandas, for the tables only
    return _frame(source, blocksize, charset, format, storage_options, table._long, (tags,))


def to_wide(source, columns, *, blocksize="64MiB", charset="auto", format="auto",
            storage_options=None):
    """quillet.to_wide() of every file, as a dask DataFrame (see to_long())."""
    from . import table
    table._selectors(columns)  # malformed selectors are refused here, not on a worker
    return _frame(source, blocksize, charset, format, storage_options, table._wide, (columns,))


def problems(source, *, blocksize="64MiB", charset="auto", format="auto", storage_options=None):
    """quillet.problems() of every file, as a dask DataFrame (see to_long()).
    A record without a 001 takes the last one before it in its file, across
    blocks, and lines in the messages of text formats count from the file's
    start, as on one machine."""
    from . import table
    return _frame(source, blocksize, charset, format, storage_options, table._problems, ())


def write(bag, urlpath, *, format="marc", name_function=None, storage_options=None,
          compute=True):
    """Writes each partition of a bag of records as one file of ``format``:
    "marc" (ISO 2709, each record's bytes), "xml" (a MARCXML collection),
    "json" (MARC-in-JSON lines) or "mrk" (mnemonic text). ``urlpath`` is a
    path with one ``*`` (replaced by the partition's number, or by
    ``name_function(i)``) or a list of one path per partition. Returns the
    paths written; with ``compute=False``, the delayed writes."""
    if format not in _FORMATS:
        raise ValueError(f'unknown output format "{format}": use "marc", "xml", "json" or "mrk"')
    files = open_files(urlpath, mode="wb", num=bag.npartitions, name_function=name_function,
                       **(storage_options or {}))
    if len(files) != bag.npartitions:
        raise ValueError(f"{len(files)} paths for {bag.npartitions} partitions")
    writes = [delayed(_write_partition, pure=False)(part, f, format)
              for part, f in zip(bag.to_delayed(), files)]
    if not compute:
        return writes
    return list(dask.compute(*writes))


# --- Planning, on the client -------------------------------------------------

class _Blocks:
    """How one file is cut: its format, size, and for MARCXML the text that
    opens and closes its collection, which every block is read inside."""

    def __init__(self, path, length, format, whole, opening=b"", closing=b""):
        self.path, self.length, self.format, self.whole = path, length, format, whole
        self.opening, self.closing = opening, closing


def _plan(paths, blocksize, format, storage_options):
    if format != "auto" and _format_name(format) is None:
        raise ValueError(f'unknown input format "{format}": use "auto", "marc", "xml", "json" '
                         'or "mrk"')
    if isinstance(paths, RecordBag) and paths._source is not None:
        fs, blocks, _ = paths._source
        return fs, blocks
    fs, _, files = get_fs_token_paths(paths, mode="rb", storage_options=storage_options)
    if not files:
        raise FileNotFoundError(f"no file matches {paths!r}")
    size = None if blocksize is None else parse_bytes(blocksize)
    blocks = []
    for path in files:
        length = fs.size(path)
        with fs.open(path, "rb") as f:
            head = f.read(_HEAD)
        file = _file_plan(path, length, head, format, size is None)
        if file.whole:
            blocks.append((file, 0, None))
        else:
            blocks.extend((file, offset, size) for offset in range(0, max(length, 1), size))
    return fs, blocks


def _file_plan(path, length, head, format, whole):
    if head[:2] == _GZIP:
        return _Blocks(path, length, format, True)
    fmt = _format_name(format) if format != "auto" else _quillet._detect_format(head)
    if fmt in ("auto", "mrk"):  # unknown (the reader says what it is), or mnemonic text
        return _Blocks(path, length, format, True)
    if fmt == "json" and not _json_lines(head):
        return _Blocks(path, length, fmt, True)
    if fmt == "xml":
        first = _XML_START.search(head)
        if first is None:  # no record in the head: read whole
            return _Blocks(path, length, fmt, True)
        opening = head[:first.start()]
        root = _XML_ROOT.findall(opening)
        if not root:  # records one after another, in no collection: nothing to open
            return _Blocks(path, length, fmt, whole)
        return _Blocks(path, length, fmt, whole, opening, b"</" + root[-1] + b">")
    return _Blocks(path, length, fmt, whole)


def _format_name(format):
    """The short name of an input format quillet.read() takes, or None."""
    aliases = {"marc": "marc", "iso2709": "marc", "usmarc": "marc", "xml": "xml",
               "marcxml": "xml", "json": "json", "mrk": "mrk", "mnemonic": "mrk"}
    return aliases.get(str(format).lower())


def _json_lines(head):
    """Whether MARC-in-JSON is one object per line: its first line is one."""
    line = head.lstrip(b"\xef\xbb\xbf \t\r\n").split(b"\n", 1)[0].rstrip()
    return line.startswith(b"{") and line.endswith(b"}")


_XML_START = re.compile(rb"<(?:[A-Za-z_][\w.-]*:)?record[\s>/]")
_XML_END = re.compile(rb"</(?:[A-Za-z_][\w.-]*:)?record\s*>")
_XML_ROOT = re.compile(rb"<([A-Za-z_][\w.:-]*)[\s>]")  # start tags of the opening text
_ENDS = {"marc": re.compile(rb"\x1d"), "json": re.compile(rb"\n"), "xml": _XML_END}


# --- Blocks, on the workers --------------------------------------------------

def _seek_end(f, position, pattern, length):
    """The position just after the first match of `pattern` that starts at or
    after `position`, or the file's length."""
    if position >= length:
        return length
    f.seek(position)
    carry = b""
    at = position  # where carry starts
    while True:
        chunk = f.read(1 << 16)
        data = carry + chunk
        match = pattern.search(data)
        if match is not None and (chunk == b"" or match.end() < len(data)):
            return at + match.end()
        if not chunk:
            return length
        keep = min(len(data), 64)  # the longest end tag a match may be cut in
        at += len(data) - keep
        carry = data[-keep:]


def _block(fs, extent):
    """The bytes one block reads (for MARCXML inside its collection's
    opening and closing), the offset in the file they count from, the format
    to read them as, and for text formats the lines of the block's own bytes
    and of the opening put before them (for the line numbers of problems)."""
    file, offset, size = extent
    with fs.open(file.path, "rb") as f:
        if size is None:
            return f.read(), 0, file.format, (0, 0)
        pattern = _ENDS[file.format]
        start = 0 if offset == 0 else _seek_end(f, offset, pattern, file.length)
        end = _seek_end(f, offset + size, pattern, file.length)
        f.seek(start)
        data = f.read(max(end - start, 0))
    if file.format == "marc":
        return data, start, file.format, (0, 0)
    lines = data.count(b"\n")
    if file.format != "xml" or not data:
        return data, start, file.format, (lines, 0)
    before = file.opening if start > 0 else b""
    after = file.closing if end < file.length else b""
    return before + data + after, start - len(before), file.format, (lines, before.count(b"\n"))


def _located(error, extent, start=None):
    """`error` again, its message naming the file and the block's offset."""
    file, offset, _ = extent
    text = str(error)
    for prefix in ("<bytes>: ", f"{file.path}: "):
        if text.startswith(prefix):
            text = text[len(prefix):]
    where = offset if start is None else start
    message = f"{file.path}, block at byte {where}: {text}"
    try:
        located = type(error)(message)
    except Exception:  # an exception type that takes other arguments
        located = RuntimeError(message)
    return located


class _Block:
    """The bytes of one block and how to read them: a partition of the bag.
    Iterating frames its records anew each time, so a partition holds one
    buffer instead of thousands of record objects, and pickles as its bytes."""

    def __init__(self, data, start, format, options, extent):
        self.data, self.start, self.format, self.options = data, start, format, options
        self.extent = extent

    def __iter__(self):
        if not self.data:
            return iter(())
        return self._records()

    def _records(self):
        try:
            reader = read(self.data, start=self.start, format=self.format, **self.options)
        except Exception as e:
            raise _located(e, self.extent, self.start) from e
        while True:
            try:
                record = next(reader)
            except StopIteration:
                return
            except Exception as e:
                raise _located(e, self.extent, self.start) from e
            yield record

    def __len__(self):
        return sum(1 for _ in self)

    def __getitem__(self, index):
        # Dask looks at a partition's first item to tell a sequence of
        # iterators from one of values (and a few operations index further):
        # the first record is framed alone, others as a list.
        if index == 0:
            for record in self:
                return record
            raise IndexError("an empty block")
        return list(self)[index]


def _block_records(fs, extent, options):
    try:
        data, start, fmt, _ = _block(fs, extent)
    except Exception as e:
        raise _located(e, extent) from e
    return _Block(data, start, fmt, options, extent)


def _block_table(fs, extent, build, args, charset):
    """(frame, records, last 001, lines) of one block, by the native code."""
    try:
        data, start, fmt, lines = _block(fs, extent)
    except Exception as e:
        raise _located(e, extent) from e
    try:
        return build(data, *args, charset, fmt, start=start, name=extent[0].path) + (lines,)
    except Exception as e:
        raise _located(e, extent, start) from e


# --- The frames --------------------------------------------------------------

def _frame(source, blocksize, charset, format, storage_options, build, args):
    import dask.dataframe as dd
    from dask.dataframe.utils import clear_known_categories

    if isinstance(source, RecordBag) and source._source is not None:
        charset = "raw" if source._source[2]["raw"] else source._source[2]["charset"]
    fs, blocks = _plan(source, blocksize, format, storage_options)
    meta = clear_known_categories(build(b"", *args, charset, "marc", name="")[0])
    frames = []
    carry = None  # per file: (records, last 001, lines) of its blocks so far
    for extent in blocks:
        if extent[1] == 0:
            carry = delayed((0, None, 0))
        result = delayed(_block_table, pure=True)(fs, extent, build, args, charset)
        frames.append(delayed(_continued, pure=True)(result, carry))
        carry = delayed(_carry, pure=True)(delayed(_counts, pure=True)(result), carry)
    if not frames:
        return dd.from_pandas(meta, npartitions=1)
    # Every block's frame is made by the same code as `meta`: no need to check
    # each one against it.
    return dd.from_delayed(frames, meta=meta, verify_meta=False)


def _counts(result):
    """What the next block of the file needs of this one: its records, last
    001 and lines."""
    return result[1], result[2], result[3][0]


def _carry(counts, before):
    records, last, lines = counts
    return (before[0] + records, last if last is not None else before[1], before[2] + lines)


_LINE = re.compile(r"\(line (\d+), column")


def _continued(result, before):
    """The block's frame numbered from the records of the blocks before it
    in its file; for problems, rows of records without a 001 before the
    block's first one take the last 001 of those blocks, and lines in the
    messages of text formats count from the file's start."""
    frame, _, _, (_, opening) = result
    frame = frame.copy(deep=False)  # new columns only: the block's result stays as it was
    records, last, lines = before
    if records:
        frame["record"] = frame["record"] + records
    if "kind" in frame.columns:
        if last is not None:
            cn = frame["control_number"]
            frame["control_number"] = cn.where(cn.notna(), last)
        shift = lines - opening
        if shift:
            frame["message"] = frame["message"].str.replace(
                _LINE, lambda m: f"(line {int(m.group(1)) + shift}, column", regex=True)
    return frame


def _write_partition(records, file, format):
    with file as out:
        if format == "marc":
            for r in records:
                out.write(r.as_marc())
        elif format == "json":
            for r in records:
                out.write(r.as_json().encode() + b"\n")
        elif format == "mrk":
            for r in records:
                out.write(str(r).encode() + b"\n\n")
        else:
            footer = None
            for r in records:
                xml = r.as_xml()
                begin, end = xml.index("<record"), xml.rindex("</record>") + len("</record>")
                if footer is None:
                    out.write(xml[:begin].rstrip(" ").encode())
                    footer = xml[end:]
                out.write(("  " + xml[begin:end] + "\n").encode())
            if footer is None:  # no record: an empty collection
                out.write(b'<?xml version="1.0" encoding="UTF-8"?>\n'
                          b'<collection xmlns="http://www.loc.gov/MARC21/slim">\n')
                footer = "</collection>\n"
            out.write(footer.lstrip("\n").encode())
    return file.path
