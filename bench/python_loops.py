"""Python loops over a file, for scripts/bench: prints the loop's seconds.

    python_loops.py ids FILE     record["001"] and record["245"]["a"] of each record
    python_loops.py walk FILE    every field and every subfield
    python_loops.py floor FILE   the walk's loop over plain lists built beforehand:
                                 what the interpreter alone costs
    python_loops.py edit FILE    each record read, changed (9XX removed, a 500 added in
                                 tag order, 245 $a set) and written as ISO 2709
    python_loops.py edit-pure FILE  the same through bench/pure_marc.py, the reader and
                                 writer of a script without a native one
"""
import sys
import time

import quillet


def ids(path):
    for record in quillet.read(path):
        record.get("001")
        title = record.get("245")
        if title is not None:
            title.get("a")


def walk(path):
    n = 0
    for record in quillet.read(path):
        for field in record:
            if field.is_control_field():
                field.data
            else:
                for code, value in field.subfields:
                    n += 1
    return n


def floor(path):
    records = [[(f.is_control_field(), f.data if f.is_control_field() else f.subfields) for f in r]
               for r in quillet.read(path)]
    start = time.perf_counter()
    n = 0
    for record in records:
        for control, content in record:
            if control:
                content
            else:
                for code, value in content:
                    n += 1
    return time.perf_counter() - start


def edit(path):
    with open("/dev/null", "wb") as out:
        for record in quillet.read(path):
            record.remove_fields("9XX")
            record.add_ordered_field(
                quillet.Field("500", (" ", " "), [quillet.Subfield("a", "Checked.")]))
            title = record.get("245")
            if title is not None:
                try:
                    title["a"] = "New title"
                except KeyError:  # no $a, or more than one
                    pass
            out.write(record.as_marc())


def edit_pure(path):
    import pure_marc
    with open("/dev/null", "wb") as out:
        for record in pure_marc.read(path):
            record.remove_fields("9")
            record.add_ordered_field(pure_marc.Field("500", "  ", [("a", "Checked.")]))
            title = record.get("245")
            if title is not None:
                try:
                    title.set("a", "New title")
                except KeyError:
                    pass
            out.write(record.as_marc())


def main():
    mode, path = sys.argv[1], sys.argv[2]
    start = time.perf_counter()
    result = {"ids": ids, "walk": walk, "floor": floor, "edit": edit,
              "edit-pure": edit_pure}[mode](path)
    print(f"{result if mode == 'floor' else time.perf_counter() - start:.4f}")


if __name__ == "__main__":
    main()
