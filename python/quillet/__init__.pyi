from ._quillet import Field as Field, Problem as Problem, Reader as Reader, Record as Record
from ._quillet import Source, __version__ as __version__

def read(source: Source, *, charset: str = "auto", raw: bool = False, nfc: bool = False,
         strict: bool = False, start: int = 0) -> Reader: ...
from .table import problems as problems, to_long as to_long, to_wide as to_wide
