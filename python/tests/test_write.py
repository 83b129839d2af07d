"""quillet.write() and quillet.Writer: every format, paths and file objects,
and files that read back to the same records."""
import io
import json
import shutil
import subprocess

import pytest

import quillet
from conftest import CORPUS, ROOT, SAMPLE, build_record

SAMPLE_RECORDS = list(quillet.read(SAMPLE))
FORMATS = ("marc", "xml", "json", "jsonl", "mrk")
SCHEMA = ROOT.parent / "shared" / "data" / "schemas" / "MARC21slim.xsd"


def content(record, control_first=False):
    """What a record says, for comparing it with its copy read back from a
    written file: the leader but for what is recomputed (length, base
    address, entry map), and every field. MARCXML puts the control fields
    first."""
    fields = [(f.tag, f.data) if f.is_control_field() else (f.tag, f.indicators, f.subfields)
              for f in record]
    if control_first:
        fields.sort(key=lambda f: len(f) == 3)
    return record.leader[5:12] + record.leader[17:20], fields


def written(records, format):
    out = io.BytesIO()
    assert quillet.write(records, out, format) == len(records)
    return out.getvalue()


def read_back(data, format):
    return list(quillet.read(data, format="json" if format == "jsonl" else format))


@pytest.mark.parametrize("format", FORMATS)
def test_every_format_reads_back_to_the_same_records(format):
    back = read_back(written(SAMPLE_RECORDS, format), format)
    assert [content(r) for r in back] == [content(r) for r in SAMPLE_RECORDS]
    assert [r.as_dict() for r in back] == [r.as_dict() for r in SAMPLE_RECORDS]


def test_each_format_has_the_shape_of_its_kind():
    assert written(SAMPLE_RECORDS, "marc") == SAMPLE.read_bytes()
    assert written(SAMPLE_RECORDS, "mrk") == (ROOT / "examples" / "sample.mrk").read_bytes()
    golden = (ROOT / "tests" / "golden" / "sample.jsonl").read_bytes()
    assert written(SAMPLE_RECORDS, "jsonl") == golden  # as quillet-dump -f json writes it
    array = json.loads(written(SAMPLE_RECORDS, "json"))
    assert array == [json.loads(line) for line in golden.splitlines()]
    xml = written(SAMPLE_RECORDS, "xml").decode("utf-8")
    assert xml.startswith('<?xml version="1.0" encoding="UTF-8"?>\n'
                          '<collection xmlns="http://www.loc.gov/MARC21/slim">\n  <record>\n')
    assert xml.endswith("  </record>\n</collection>\n")
    assert xml.count("<collection") == 1 and xml.count("<record>") == len(SAMPLE_RECORDS)
    assert json.loads(written([], "json")) == []
    assert written([], "xml").decode().endswith("<collection xmlns=\"http://www.loc.gov/MARC21/slim\">"
                                                "\n</collection>\n")
    assert written([], "marc") == written([], "mrk") == written([], "jsonl") == b""


@pytest.mark.skipif(shutil.which("xmllint") is None or not SCHEMA.is_file(),
                    reason="no xmllint or no MARC21slim.xsd")
def test_marcxml_is_valid_against_the_schema(tmp_path):
    records = SAMPLE_RECORDS + [quillet.Record(build_record(("001", "a<&>\"'"),
                                                            ("245", "10$aT\u00e9 <b> & \"q\"")))]
    for name, batch in (("all.xml", records), ("none.xml", [])):
        quillet.write(batch, tmp_path / name, "xml")
        check = subprocess.run(["xmllint", "--noout", "--schema", str(SCHEMA), str(tmp_path / name)],
                               capture_output=True, text=True)
        assert check.returncode == 0, check.stderr
    assert content(read_back((tmp_path / "all.xml").read_bytes(), "xml")[-1]) == content(records[-1])


def test_paths_are_closed_and_file_objects_left_open(tmp_path):
    path = tmp_path / "out.json"
    with quillet.Writer(str(path), format="json") as writer:
        writer.write(SAMPLE_RECORDS[0])
        writer.write(SAMPLE_RECORDS[1])
        assert writer.count == 2
    assert writer._file.closed and len(json.loads(path.read_text(encoding="utf-8"))) == 2
    with pytest.raises(ValueError, match="closed"):
        writer.write(SAMPLE_RECORDS[0])
    writer.close()  # a second close does nothing

    out = io.BytesIO()
    with pytest.raises(RuntimeError):
        with quillet.Writer(out, format="xml") as writer:
            writer.write(SAMPLE_RECORDS[0])
            raise RuntimeError("stop")  # the document is ended all the same
    assert not out.closed
    assert [r.as_marc() for r in quillet.read(out.getvalue())] == [SAMPLE_RECORDS[0].as_marc()]


def test_text_files_take_the_text_formats():
    for format in ("xml", "json", "jsonl", "mrk"):
        out = io.StringIO()
        quillet.write(SAMPLE_RECORDS, out, format)
        assert out.getvalue().encode("utf-8") == written(SAMPLE_RECORDS, format)
    with pytest.raises(TypeError, match="binary mode"):
        quillet.Writer(io.StringIO(), "marc")
    with pytest.raises(ValueError, match='unknown output format "csv"'):
        quillet.Writer(io.BytesIO(), "csv")


def test_records_read_raw_and_from_marc8_are_written():
    data = build_record(("001", "m8"), ("245", b"10\x1faCaf\xe2e"), leader="     nam  22     4a 4500")
    for record in (quillet.Record(data), quillet.Record(data, raw=True)):
        for format in ("xml", "json", "mrk"):
            (back,) = read_back(written([record], format), format)
            assert back["245"]["a"] == "Cafe\u0301" and back.leader[9] == "a"


def representable(record):
    """Whether every tag, indicator, code and value of `record` can be said
    in the text formats: no control characters, no U+FFFD standing for bytes
    that were not text, codes and indicators ASCII."""
    for field in record:
        texts = [field.tag]
        if field.is_control_field():
            texts.append(field.data)
        else:
            texts += list(field.indicators) + [v for pair in field.subfields for v in pair]
            if not all(c.isascii() and c.isprintable() for c in field.indicators):
                return False
            if not all(c == "" or (c.isascii() and c.isalnum()) for c, _ in field.subfields):
                return False
        if any(ch < " " or ch == "\ufffd" for text in texts for ch in text):
            return False
    return True


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus folder")
def test_every_real_file_reads_back_in_every_format():
    compared = 0
    for path in sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix not in (".md", ".tsv")):
        try:
            records = list(quillet.read(path))
        except ValueError:
            continue  # not records
        if not records:
            continue
        for format in FORMATS:
            back = read_back(written(records, format), format)
            assert len(back) == len(records), (path, format)
            for record, copy in zip(records, back):
                if representable(record):
                    assert content(copy) == content(record, format == "xml"), (path, format,
                                                                                record.offset)
                    compared += 1
    assert compared > 5 * 8000


@pytest.mark.skipif(not hasattr(quillet, "Subfield"), reason="records cannot be built yet")
@pytest.mark.parametrize("format", FORMATS)
def test_built_and_changed_records_are_written(format):
    record = quillet.Record()
    record.leader = "00000nam a2200000 a 4500"
    record.add_field(quillet.Field("001", data="b1"),
                     quillet.Field("245", indicators=("1", "0"),
                                   subfields=[quillet.Subfield("a", "Built :"),
                                              quillet.Subfield("b", "a title.")]))
    changed = quillet.Record(SAMPLE_RECORDS[0].as_marc())
    changed.remove_fields("650", "651")
    changed["245"]["a"] = "Changed title"
    back = read_back(written([record, changed], format), format)
    assert [content(r) for r in back] == [content(record), content(changed)]
    assert back[1].title == "Changed title a history of survey and mapping in the age of sail /"
