from typing import Callable, List, Optional, Sequence, Union

import dask.bag
import dask.dataframe
from dask.delayed import Delayed

from .table import Columns

Paths = Union[str, Sequence[str]]
BlockSize = Union[int, str, None]

class RecordBag(dask.bag.Bag):
    def to_dataframe(self, meta: object = None, columns: Optional[Sequence[str]] = None,
                     optimize_graph: bool = True) -> dask.dataframe.DataFrame: ...

def read_marc(paths: Paths, blocksize: BlockSize = "64MiB", *, charset: str = "auto",
              raw: bool = False, nfc: bool = False, format: str = "auto",
              storage_options: Optional[dict] = None) -> RecordBag: ...
def to_long(source: Union[Paths, RecordBag], tags: Optional[Union[str, Sequence[str]]] = None, *,
            blocksize: BlockSize = "64MiB", charset: str = "auto", format: str = "auto",
            storage_options: Optional[dict] = None) -> dask.dataframe.DataFrame: ...
def to_wide(source: Union[Paths, RecordBag], columns: Columns, *, blocksize: BlockSize = "64MiB",
            charset: str = "auto", format: str = "auto",
            storage_options: Optional[dict] = None) -> dask.dataframe.DataFrame: ...
def problems(source: Union[Paths, RecordBag], *, blocksize: BlockSize = "64MiB",
             charset: str = "auto", format: str = "auto",
             storage_options: Optional[dict] = None) -> dask.dataframe.DataFrame: ...
def write(bag: dask.bag.Bag, urlpath: Union[str, Sequence[str]], *, format: str = "marc",
          name_function: Optional[Callable[[int], str]] = None,
          storage_options: Optional[dict] = None,
          compute: bool = True) -> Union[List[str], List[Delayed]]: ...
