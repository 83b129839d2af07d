from typing import Mapping, Optional, Sequence, Union

import pandas as pd

from ._quillet import Source

LONG_COLUMNS: list[str]
PROBLEM_COLUMNS: list[str]

Columns = Union[Mapping[str, str], Sequence[str]]

def to_long(source: Source, tags: Optional[Union[str, Sequence[str]]] = None, *,
            charset: str = "auto", format: str = "auto") -> pd.DataFrame: ...
def to_wide(source: Source, columns: Columns, *, charset: str = "auto",
            format: str = "auto") -> pd.DataFrame: ...
def problems(source: Source, *, charset: str = "auto", format: str = "auto") -> pd.DataFrame: ...
