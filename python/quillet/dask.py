"""Records of large files as a Dask bag, read block by block on the workers.

    import quillet.dask
    bag = quillet.dask.read_marc("dumps/*.mrc.gz" or ["a.mrc", "b.mrc"])
    bag.map(lambda r: r.control_number).distinct().count().compute()

Each file is cut into blocks of about ``blocksize`` bytes at record
terminators (0x1D), as ``dask.bytes.read_bytes`` cuts at a delimiter: a block
starts after the first terminator at or after its nominal start, and ends
after the first terminator at or after its nominal end, so a record that a
nominal boundary falls inside is read once, by the block it starts in.
Gzip-compressed files cannot be cut and are read whole, one block each.
Records pickle as their bytes, so they travel between workers cheaply.
"""
from dask import delayed
import dask.bag
from dask.utils import parse_bytes
from fsspec.core import get_fs_token_paths
from fsspec.utils import seek_delimiter

from . import read

__all__ = ["read_marc"]

_TERMINATOR = b"\x1d"
_GZIP = b"\x1f\x8b"


def read_marc(paths, blocksize="64MiB", *, charset="auto", raw=False, nfc=False,
              storage_options=None):
    """A dask.bag of the records of ``paths`` (a path, a glob or a list,
    local or any fsspec URL), in file order within each partition.

    ``blocksize`` is a number of bytes or a string such as "64MiB"; None reads
    each file whole. The text options are those of quillet.read(); record
    and problem offsets are offsets in their file.
    """
    fs, _, files = get_fs_token_paths(paths, mode="rb", storage_options=storage_options)
    if not files:
        raise FileNotFoundError(f"no file matches {paths!r}")
    size = None if blocksize is None else parse_bytes(blocksize)
    options = {"charset": charset, "raw": raw, "nfc": nfc}
    parts = []
    for path in files:
        length = fs.size(path)
        with fs.open(path, "rb") as f:
            whole = size is None or f.read(2) == _GZIP
        if whole:
            parts.append(delayed(_block_records)(fs, path, 0, None, options))
            continue
        for offset in range(0, max(length, 1), size):
            parts.append(delayed(_block_records)(fs, path, offset, size, options))
    return dask.bag.from_delayed(parts)


class _Block:
    """The bytes of one block and how to read them: a partition of the bag.
    Iterating frames its records anew each time, so a partition holds one
    buffer instead of thousands of record objects, and pickles as its bytes."""

    def __init__(self, data, start, options):
        self.data, self.start, self.options = data, start, options

    def __iter__(self):
        if not self.data:
            return iter(())
        # A block is cut out of ISO 2709 at record terminators: its first
        # bytes may look like anything, so its format is not guessed.
        return iter(read(self.data, start=self.start, format="marc", **self.options))

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


def _block_records(fs, path, offset, size, options):
    with fs.open(path, "rb") as f:
        if size is None:
            return _Block(f.read(), 0, options)
        start = 0
        if offset > 0:
            f.seek(offset)
            seek_delimiter(f, _TERMINATOR, 1 << 16)
            start = f.tell()
        f.seek(offset + size)
        seek_delimiter(f, _TERMINATOR, 1 << 16)
        end = f.tell()
        f.seek(start)
        data = f.read(max(end - start, 0))
    return _Block(data, start, options)
