"""quillet.to_long, to_wide and problems: the tables built natively."""
import gzip
import io

import pytest

import quillet
from conftest import CORPUS, SAMPLE, build_record

pd = pytest.importorskip("pandas")

MARC8 = "     nam  22     4a 4500"  # leader/09 blank


def rows(frame):
    """The frame's rows as tuples, missing values as None."""
    return [tuple(None if not isinstance(v, list) and pd.isna(v) else v for v in row)
            for row in frame.itertuples(index=False)]


def long_from_records(source):
    """to_long's rows (but file), made from the record objects."""
    out = []
    for n, r in enumerate(quillet.read(source), 1):
        for i, f in enumerate(r.fields):
            head = (n, r.offset, r.control_number, i, f.tag)
            if f.is_control_field():
                out.append(head + (None, None, None, None, f.data))
            elif not f.subfields:
                out.append(head + (f.indicator1, f.indicator2, None, None, None))
            for k, (code, value) in enumerate(f.subfields):
                out.append(head + (f.indicator1, f.indicator2, k, code, value))
    return out


def problems_from_records(source):
    out, last = [], None
    reader = quillet.read(source)
    for n, r in enumerate(reader, 1):
        if "001" in r:
            last = r.control_number
        out.extend((n, p.offset, last, p.kind, str(p)) for p in r.problems)
    out.extend((None, p.offset, last, p.kind, str(p)) for p in reader.problems)
    return out


def test_long_rows_of_built_records():
    first = build_record(("001", "cn1"), ("245", "10$aTitle$bRest"), ("500", "1 "),
                         ("650", " 0pre$aA$"))
    second = build_record(("245", "00$aOther"))
    frame = quillet.to_long(first + second)
    assert list(frame.columns) == quillet.table.LONG_COLUMNS
    assert set(frame["file"]) == {"<bytes>"}
    at = len(first)
    assert rows(frame.drop(columns="file")) == [
        (1, 0, "cn1", 0, "001", None, None, None, None, "cn1"),
        (1, 0, "cn1", 1, "245", "1", "0", 0, "a", "Title"),
        (1, 0, "cn1", 1, "245", "1", "0", 1, "b", "Rest"),
        (1, 0, "cn1", 2, "500", "1", " ", None, None, None),  # no subfield: one row
        (1, 0, "cn1", 3, "650", " ", "0", 0, "", "pre"),  # bytes before the first $
        (1, 0, "cn1", 3, "650", " ", "0", 1, "a", "A"),
        (1, 0, "cn1", 3, "650", " ", "0", 2, "", ""),  # a delimiter with no code
        (2, at, None, 0, "245", "0", "0", 0, "a", "Other"),
    ]
    for column in ("tag", "ind1", "ind2", "code"):
        assert frame[column].dtype == "category"
    assert str(frame["subfield"].dtype) == "Int32"
    assert rows(quillet.to_long(first, tags=["6XX", "001"])[["field", "value"]]) == [
        (0, "cn1"), (3, "pre"), (3, "A"), (3, "")]
    assert len(quillet.to_long(first, tags="999")) == 0
    assert len(quillet.to_long(b"")) == 0


def test_marc8_text_is_decoded_as_records_decode_it():
    # 0xE2 is the acute accent before its letter; 0xA0 has no character.
    data = build_record(("001", "m8"), ("245", b"10\x1faCaf\xe2e\x1fb\xa0x"), leader=MARC8)
    frame = quillet.to_long(data)
    assert list(frame["value"]) == ["m8", "Cafe\u0301", "\ufffdx"]
    assert [r for r in rows(frame.drop(columns="file"))] == long_from_records(data)
    raw = quillet.to_long(data, charset="raw")
    assert list(raw["value"]) == [b"m8", b"Caf\xe2e", b"\xa0x"]
    assert list(raw["tag"]) == [b"001", b"245", b"245"]
    assert list(quillet.to_long(data, charset="utf-8")["value"])[1] == "Caf\ufffde"
    (problem,) = rows(quillet.problems(data).drop(columns="file"))
    assert problem[:4] == (1, problem[1], "m8", "unmapped") and problem[1] > 24
    assert len(quillet.problems(data, charset="raw")) == 0


def test_problems_of_repaired_records_and_junk_take_the_last_001():
    good = build_record(("001", "a1"), ("245", "10$aT"))
    no_subfields = build_record(("245", "10T"))  # no 001, a damaged field
    wrong_length = bytearray(build_record(("001", "c3"), ("245", "10$aU")))
    wrong_length[0:5] = b"00090"
    data = good + no_subfields + bytes(wrong_length) + b"junk"
    frame = quillet.problems(data)
    assert list(frame.columns) == quillet.table.PROBLEM_COLUMNS
    got = rows(frame.drop(columns="file"))
    assert got == problems_from_records(data)
    kinds = [(r[0], r[2], r[3]) for r in got]
    assert (2, "a1", "no_subfields") in kinds
    assert (3, "c3", "length_repaired") in kinds
    assert kinds[-1] == (None, "c3", "junk_skipped")
    assert quillet.problems(build_record(("245", "10T")))["control_number"].isna().all()


WIDE_RECORD = build_record(
    ("001", "id"), ("008", "230915s2023    enka          000 0 eng d"), ("020", "  $a123"),
    ("245", "14$aThe title :$bsub /$cby me."), ("650", " 0$aA$xB"), ("650", " 7$aC$2fast"),
    ("650", " 0$xOnly x"))


@pytest.mark.parametrize("selector, want", [
    ("001", "id"), ("008/35-37", "eng"), ("008/07-10", "2023"), ("008/39", "d"),
    ("008/38-45", " d"), ("008/45-47", None), ("LDR/06", "a"), ("LDR/05-07", "nam"),
    ("245a", "The title :"), ("245ab", "The title : sub /"), ("245", "The title : sub / by me."),
    ("245[14]a", "The title :"), ("245[#4]a", None), ("245[1.]c", "by me."), ("650a", "A"),
    ("650a*", ["A", "C"]), ("650[.0]a*", ["A"]), ("650[_7]a*", ["C"]), ("650x*", ["B", "Only x"]),
    ("6XXa*", ["A", "C"]), ("650ax*", ["A B", "C", "Only x"]), ("999a", None), ("999a*", []),
    ("0XX*", ["id", "230915s2023    enka          000 0 eng d", "123"]), ("245z", None),
])
def test_selectors(selector, want):
    frame = quillet.to_wide(WIDE_RECORD, {"c": selector})
    assert list(frame.columns) == ["file", "record", "offset", "c"]
    assert frame["c"][0] == want


@pytest.mark.parametrize("selector, what", [
    ("", "it is empty"), ("24", "three characters"), ("2$5a", "three characters"),
    ("245[1]a", "two characters in brackets"), ("245[10a", "two characters in brackets"),
    ("001[10]", "have no indicators"), ("001a", "have no subfield codes"),
    ("LDRa", "have no subfield codes"), ("245/1-2", "are for the leader and control fields"),
    ("008/", "/N or /N-M"), ("008/35-", "/N or /N-M"), ("008/37-35", "comes before the first"),
    ("008/1234567", "at most six digits"), ("245a*b", "unexpected 'b' at position 5"),
    ("245 a", "unexpected ' ' at position 3"), ("008/1*x", "unexpected 'x' at position 6"),
])
def test_malformed_selectors_are_refused_by_name(selector, what):
    with pytest.raises(ValueError) as e:
        quillet.to_wide(SAMPLE, {"col": selector})
    assert str(e.value).startswith(f'bad selector "{selector}" for column "col": ')
    assert what in str(e.value)


def test_wide_columns_and_their_refusals():
    frame = quillet.to_wide(SAMPLE, ["001", "245a"])
    assert list(frame.columns) == ["file", "record", "offset", "001", "245a"]
    assert list(frame["record"]) == list(range(1, 13))
    assert list(frame["offset"]) == [r.offset for r in quillet.read(SAMPLE)]
    assert list(frame["001"]) == [r.control_number for r in quillet.read(SAMPLE)]
    with pytest.raises(ValueError, match='column name "record" is taken'):
        quillet.to_wide(SAMPLE, {"record": "001"})
    with pytest.raises(TypeError):
        quillet.to_wide(SAMPLE, {"a": 245})
    with pytest.raises(ValueError, match="at least one column"):
        quillet.to_wide(SAMPLE, {})


def test_every_source_and_format_gives_the_same_table(tmp_path):
    data = SAMPLE.read_bytes()
    want = quillet.to_long(SAMPLE)
    assert set(want["file"]) == {str(SAMPLE)}
    body = want.drop(columns="file")
    gz = tmp_path / "sample.mrc.gz"
    gz.write_bytes(gzip.compress(data))
    for source in (data, bytearray(data), memoryview(data), io.BytesIO(data), gz):
        assert quillet.to_long(source).drop(columns="file").equals(body)
    with open(SAMPLE, "rb") as f:
        assert set(quillet.to_long(f)["file"]) == {str(SAMPLE)}
    records = list(quillet.read(SAMPLE))
    texts = {"xml": "".join(r.as_xml() for r in records),
             "json": "".join(r.as_json() + "\n" for r in records),
             "mrk": "".join(str(r) + "\n\n" for r in records)}
    for fmt, text in texts.items():
        got = quillet.to_long(text.encode(), format=fmt).drop(columns=["file", "offset"])
        pd.testing.assert_frame_equal(got, body.drop(columns="offset"), check_categorical=False)


def test_errors():
    with pytest.raises(FileNotFoundError):
        quillet.to_long("/nonexistent/x.mrc")
    with pytest.raises(ValueError, match=r'<bytes>: no ISO 2709 record found \(it starts with "root'):
        quillet.problems(b"root:x:0:0:root:/root:/bin/bash\n")
    with pytest.raises(ValueError, match="this looks like MARCXML"):
        quillet.to_wide(b"<?xml version='1.0'?><collection/>", ["001"], format="marc")
    with pytest.raises(ValueError, match='unknown input format "csv"'):
        quillet.to_long(SAMPLE, format="csv")
    with pytest.raises(ValueError, match="charset"):
        quillet.to_long(SAMPLE, charset="latin-1")
    with pytest.raises(ValueError, match='bad tag "24"'):
        quillet.to_long(SAMPLE, tags=["24"])
    with pytest.raises(TypeError):
        quillet.to_long(42)
    with pytest.raises(TypeError, match="binary mode"):
        quillet.to_long(io.StringIO("00000"))


def test_frames_go_to_csv_json_and_parquet_when_there_is_pyarrow(tmp_path):
    frame = quillet.to_long(SAMPLE)
    back = pd.read_csv(io.StringIO(frame.to_csv(index=False)), dtype=str, keep_default_na=False)
    assert list(back["value"]) == list(frame["value"])
    assert len(pd.read_json(io.StringIO(frame.to_json(orient="records")))) == len(frame)
    pytest.importorskip("pyarrow")  # Debian 12 has none
    frame.to_parquet(tmp_path / "t.parquet")
    assert pd.read_parquet(tmp_path / "t.parquet")["value"].tolist() == list(frame["value"])


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus folder")
def test_every_real_file_gives_the_rows_and_problems_of_its_records():
    compared = 0
    for path in sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix not in (".md", ".tsv")):
        try:
            want = long_from_records(path)
        except ValueError:  # not a format read: the tables say so too
            with pytest.raises(ValueError):
                quillet.to_long(path)
            continue
        assert rows(quillet.to_long(path).drop(columns="file")) == want, path
        assert rows(quillet.problems(path).drop(columns="file")) == problems_from_records(path), path
        compared += len(want)
    assert compared > 100000
