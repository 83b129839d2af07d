from typing import Optional, Sequence, Union

import dask.bag

def read_marc(paths: Union[str, Sequence[str]], blocksize: Union[int, str, None] = "64MiB", *,
              charset: str = "auto", raw: bool = False, nfc: bool = False,
              storage_options: Optional[dict] = None) -> dask.bag.Bag: ...
