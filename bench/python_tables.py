"""The tables against Python loops over record objects, for scripts/bench.
Prints the seconds of the work alone (imports done before the clock starts)
and the rows made.

    python_tables.py long FILE        quillet.to_long(FILE)
    python_tables.py long-loop FILE   the same rows from the record objects in a Python
                                      loop, handed to pandas (categoricals as to_long's)
    python_tables.py wide FILE        quillet.to_wide(FILE) with five columns
    python_tables.py ids FILE         record.get("001") and record["245"]["a"] of each
                                      record (python_loops.py's ids, timed in the process)
"""
import sys
import time

import pandas as pd

import quillet

WIDE = {"id": "001", "title": "245a", "lang": "008/35-37", "isbn": "020a*", "subjects": "650a*"}


def long_loop(path):
    columns = {c: [] for c in ("record", "offset", "control_number", "field", "tag", "ind1",
                               "ind2", "subfield", "code", "value")}
    add = [columns[c].append for c in columns]
    for n, record in enumerate(quillet.read(path), 1):
        offset, cn = record.offset, record.control_number
        for i, field in enumerate(record):
            tag = field.tag
            if field.is_control_field():
                for a, v in zip(add, (n, offset, cn, i, tag, None, None, None, None, field.data)):
                    a(v)
                continue
            ind1, ind2 = field.indicators
            subfields = field.subfields
            if not subfields:
                for a, v in zip(add, (n, offset, cn, i, tag, ind1, ind2, None, None, None)):
                    a(v)
            for k, (code, value) in enumerate(subfields):
                for a, v in zip(add, (n, offset, cn, i, tag, ind1, ind2, k, code, value)):
                    a(v)
    frame = pd.DataFrame(columns)
    for c in ("tag", "ind1", "ind2", "code"):
        frame[c] = frame[c].astype("category")
    frame["subfield"] = frame["subfield"].astype("Int32")
    return len(frame)


def ids(path):
    n = 0
    for record in quillet.read(path):
        record.get("001")
        title = record.get("245")
        if title is not None:
            title.get("a")
        n += 1
    return n


def main():
    mode, path = sys.argv[1], sys.argv[2]
    work = {"long": lambda: len(quillet.to_long(path)), "long-loop": lambda: long_loop(path),
            "wide": lambda: len(quillet.to_wide(path, WIDE)), "ids": lambda: ids(path)}[mode]
    start = time.perf_counter()
    rows = work()
    print(f"{time.perf_counter() - start:.4f} {rows}")


if __name__ == "__main__":
    main()
