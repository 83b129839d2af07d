"""The read-only convenience properties of quillet.Record: title, author,
isbn and the others scripts expect from a MARC 21 record.

Each is a plain function of a record, attached to the Record type as a
property when the package is imported (`attach()`). They read through the
record's public interface only (get_fields, the fields' get and subfields),
so they work on records read from bytes and on records built or changed in
Python alike. A value comes as the record's text does: str, or bytes for a
record read raw (charset="raw"), joined with a blank of the same type.
Absent data gives None, or [] for the lists of fields.
"""
import re

_ISBN = re.compile(r"\s*([0-9Xx-]+)")
_ISBN_RAW = re.compile(rb"\s*([0-9Xx-]+)")

_SERIES = ("440", "490", "800", "810", "811", "830")
_SUBJECTS = ("600", "610", "611", "630", "648", "650", "651", "653", "654", "655", "656", "657",
             "658", "662", "69X")
_ADDED_ENTRIES = ("700", "710", "711", "720", "730", "740", "752", "753", "754", "79X")


def _joined(first, second):
    """`first`, then a blank and `second` when there is a second: str or
    bytes, as the record's text is."""
    if second is None:
        return first
    return first + (b" " if isinstance(first, bytes) else " ") + second


def _first_value(record, tags, code, second_indicator=None):
    """The first `code` value in the fields of `tags`, in record order; with
    `second_indicator`, only of fields that have it."""
    for field in record.get_fields(*tags):
        if second_indicator is not None and field.indicator2 not in second_indicator:
            continue
        value = field.get(code)
        if value is not None:
            return value
    return None


def _title_of(record, tag):
    """`tag`'s $a, then a blank and its $b when it has one; None without a $a."""
    field = record.get(tag)
    if field is None or field.get("a") is None:
        return None
    return _joined(field["a"], field.get("b"))


def title(record):
    """245 $a, then a blank and $b when there is a $b; None without a 245 $a."""
    return _title_of(record, "245")


def author(record):
    """The first 100, 110 or 111, as format_field(); None without one."""
    fields = record.get_fields("100", "110", "111")
    return fields[0].format_field() if fields else None


def isbn(record):
    """The first 020 $a's leading run of digits, X (or x) and hyphens, blanks
    before it skipped and the hyphens removed; None without an 020 $a or
    when it starts with none of them ("(pbk.)")."""
    value = _first_value(record, ("020",), "a")
    if value is None:
        return None
    found = (_ISBN_RAW if isinstance(value, bytes) else _ISBN).match(value)
    if found is None:
        return None
    number = found.group(1).replace(b"-" if isinstance(value, bytes) else "-",
                                    b"" if isinstance(value, bytes) else "")
    return number or None


def issn(record):
    """The first 022 $a."""
    return _first_value(record, ("022",), "a")


def issnl(record):
    """The first 022 $l (the linking ISSN)."""
    return _first_value(record, ("022",), "l")


def issn_title(record):
    """222 $a (the key title), then a blank and $b when there is a $b."""
    return _title_of(record, "222")


def sudoc(record):
    """The first 086 (a government document number), as format_field()."""
    field = record.get("086")
    return None if field is None else field.format_field()


def uniformtitle(record):
    """The first 130 $a, else the first 240 $a."""
    value = _first_value(record, ("130",), "a")
    return value if value is not None else _first_value(record, ("240",), "a")


def series(record):
    """Every 440, 490, 800, 810, 811 and 830, in record order."""
    return record.get_fields(*_SERIES)


def subjects(record):
    """Every 600, 610, 611, 630, 648, 650, 651, 653-658, 662 and 690-699, in
    record order."""
    return record.get_fields(*_SUBJECTS)


def addedentries(record):
    """Every 700, 710, 711, 720, 730, 740, 752-754 and 790-799, in record
    order."""
    return record.get_fields(*_ADDED_ENTRIES)


def location(record):
    """Every 852, in record order."""
    return record.get_fields("852")


def notes(record):
    """Every 5XX, in record order."""
    return record.get_fields("5XX")


def physicaldescription(record):
    """Every 300, in record order."""
    return record.get_fields("300")


def _publication(record, code):
    # A 260 (publication, before RDA) wins over a 264 (production,
    # publication, distribution...): of the 264s only the publication
    # statement, second indicator 1, is taken.
    value = _first_value(record, ("260",), code)
    if value is not None:
        return value
    return _first_value(record, ("264",), code, second_indicator=("1", b"1"))


def publisher(record):
    """The first 260 $b; without one, the $b of the first 264 whose second
    indicator is 1 (publication) and that has a $b."""
    return _publication(record, "b")


def pubyear(record):
    """The first 260 $c; without one, the $c of the first 264 whose second
    indicator is 1 and that has a $c. The text as it stands ("c2023.")."""
    return _publication(record, "c")


PROPERTIES = (title, author, isbn, issn, issnl, issn_title, sudoc, uniformtitle, series,
              subjects, addedentries, location, notes, physicaldescription, publisher, pubyear)


def attach(record_type):
    """Makes each function of PROPERTIES a read-only property of
    `record_type`, under its name."""
    for function in PROPERTIES:
        setattr(record_type, function.__name__, property(function, doc=function.__doc__))
