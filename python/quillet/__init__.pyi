from ._quillet import Field as Field, Problem as Problem, Reader as Reader, Record as Record
from ._quillet import FieldNotFound as FieldNotFound, Indicators as Indicators, Leader as Leader
from ._quillet import Subfield as Subfield
from ._quillet import Source, __version__ as __version__
from ._writer import Writer as Writer, write as write

def read(source: Source, *, charset: str = "auto", raw: bool = False, nfc: bool = False,
         strict: bool = False, start: int = 0) -> Reader: ...
from .table import problems as problems, to_long as to_long, to_wide as to_wide
