"""quillet.pymarc: scripts written against the usual names, run on quillet
(read, filter, write every format, read back), and the permissive reader
over damaged records."""
import io
import xml.etree.ElementTree as ET

import pytest

import quillet
from quillet import pymarc
from conftest import CORPUS, SAMPLE, build_record

NS = "{http://www.loc.gov/MARC21/slim}"


def content(record):
    return [(f.tag, f.data) if f.is_control_field() else (f.tag, f.indicators, f.subfields)
            for f in record]


def history_titles(records):
    """A filter as scripts write it: the titles of the records with a 650 $x
    History."""
    return [r.title for r in records
            if any(x == "History." or x == "History" for f in r.get_fields("650")
                   for x in f.get_subfields("x"))]


def test_a_script_reads_filters_and_writes_every_format():
    with open(SAMPLE, "rb") as fh:
        reader = pymarc.MARCReader(fh, to_unicode=True, force_utf8=False, hide_utf8_warnings=True)
        kept = [r for r in reader if "650" in r and r["650"].get("x") is not None]
    assert history_titles(kept) == [
        "The cartographer's apprentice : a history of survey and mapping in the age of sail /",
        "Histoire des phares de Bretagne : de Ouessant \u00e0 l'\u00eele de Sein /"]

    marc, xml, text_json, text = io.BytesIO(), io.BytesIO(), io.StringIO(), io.StringIO()
    writers = [pymarc.MARCWriter(marc), pymarc.XMLWriter(xml), pymarc.JSONWriter(text_json),
               pymarc.TextWriter(text)]
    for record in kept:
        for writer in writers:
            writer.write(record)
    for writer in writers:
        writer.close(close_fh=False)
    want = [content(r) for r in kept]
    assert [content(r) for r in pymarc.MARCReader(marc.getvalue())] == want
    assert [content(r) for r in pymarc.parse_xml_to_array(io.BytesIO(xml.getvalue()))] == want
    assert [content(r) for r in pymarc.JSONReader(text_json.getvalue())] == want
    assert [content(r) for r in quillet.read(text.getvalue().encode(), format="mrk")] == want

    closed = io.BytesIO()
    writer = pymarc.XMLWriter(closed)
    writer.write(kept[0])
    writer.close()  # the file too, by default
    assert closed.closed


def test_readers_take_what_scripts_pass():
    data = SAMPLE.read_bytes()
    want = [r.as_marc() for r in quillet.read(data)]
    for source in (data, io.BytesIO(data), str(SAMPLE)):
        assert [r.as_marc() for r in pymarc.MARCReader(source)] == want
    json_text = "[" + ",".join(r.as_json() for r in quillet.read(data)) + "]"
    for source in (json_text, json_text.encode(), io.StringIO(json_text),
                   io.BytesIO(json_text.encode())):
        assert [r.as_marc() for r in pymarc.JSONReader(source)] == want
    latin = quillet.Record(build_record(("245", "10$aCaf\u00e9")))
    assert [r["245"]["a"] for r in pymarc.JSONReader(latin.as_json().encode("latin-1"),
                                                     encoding="latin-1")] == ["Caf\u00e9"]
    xml = quillet.Record(data).as_xml()
    assert len(pymarc.parse_xml_to_array(io.StringIO(xml))) == 1
    with pytest.raises(ValueError, match="looks like MARCXML"):
        pymarc.MARCReader(xml.encode())


def test_charset_arguments():
    marc8 = build_record(("245", b"10\x1faCaf\xe2e"), leader="     nam  22     4a 4500")
    assert next(iter(pymarc.MARCReader(marc8)))["245"]["a"] == "Cafe\u0301"  # MARC-8 decoded
    assert next(iter(pymarc.MARCReader(marc8, force_utf8=True)))["245"]["a"] == "Caf\ufffde"
    # UTF-8 text under a blank leader/09, and MARC-8 under an a, are told
    # from their bytes.
    mislabelled = build_record(("245", "10$aCaf\u00e9"), leader="     nam  22     4a 4500")
    assert next(iter(pymarc.MARCReader(mislabelled)))["245"]["a"] == "Caf\u00e9"
    marc8_as_utf8 = build_record(("245", b"10\x1faCaf\xe2e"), leader="     nam a22     4a 4500")
    assert next(iter(pymarc.MARCReader(marc8_as_utf8)))["245"]["a"] == "Cafe\u0301"
    with pytest.raises(ValueError, match="raw=True"):
        pymarc.MARCReader(marc8, to_unicode=False)
    with pytest.raises(ValueError, match="U\\+FFFD"):
        pymarc.MARCReader(marc8, utf8_handling="ignore")
    decomposed = quillet.Record(marc8).as_xml().encode()
    assert pymarc.parse_xml_to_array(io.BytesIO(decomposed))[0]["245"]["a"] == "Cafe\u0301"
    nfc = pymarc.parse_xml_to_array(io.BytesIO(decomposed), normalize_form="NFC")
    assert nfc[0]["245"]["a"] == "Caf\u00e9"
    with pytest.raises(ValueError, match="NFD"):
        pymarc.parse_xml_to_array(io.BytesIO(decomposed), normalize_form="NFD")


def test_record_to_xml_is_the_record_element():
    record = next(iter(quillet.read(SAMPLE)))
    plain = pymarc.record_to_xml(record)
    assert isinstance(plain, bytes) and plain.startswith(b"<record>") and plain.endswith(b"</record>")
    assert ET.fromstring(plain).find("leader").text == record.leader
    element = ET.fromstring(pymarc.record_to_xml(record, namespace=True))
    assert element.tag == NS + "record"
    assert element.find(NS + "datafield[@tag='245']/" + NS + "subfield[@code='a']").text \
        == record["245"]["a"]


def test_map_records_and_map_xml(tmp_path):
    seen = []
    with open(SAMPLE, "rb") as one, open(SAMPLE, "rb") as two:
        pymarc.map_records(lambda r: seen.append(r.control_number), one, two)
    assert len(seen) == 24 and seen[:2] == ["100000001", "100000002"] and seen[12] == "100000001"
    path = tmp_path / "s.xml"
    quillet.write(quillet.read(SAMPLE), path, "xml")
    titles = []
    pymarc.map_xml(lambda r: titles.append(r.title), str(path))
    assert titles == [r.title for r in quillet.read(SAMPLE)]


def test_permissive_reader_says_what_was_repaired():
    good = build_record(("001", "g"), ("245", "10$aGood"))
    long = b"00999" + build_record(("001", "l"), ("245", "10$aLength"))[5:]
    empty = build_record()
    reader = pymarc.MARCReader(good + long + empty, permissive=True)
    got = []
    for record in reader:
        got.append((record and record.control_number, type(reader.current_exception),
                    reader.current_chunk))
    assert got == [("g", type(None), good), ("l", pymarc.RecordLengthInvalid, long),
                   (None, pymarc.NoFieldsFound, empty)]
    # Not permissive: the same records, none of them None, no exception.
    assert [len(r) for r in pymarc.MARCReader(good + long + empty)] == [2, 2, 0]


BAD_RECORDS = sorted(CORPUS.rglob("bad_records.mrc")) if CORPUS.is_dir() else []


@pytest.mark.skipif(not BAD_RECORDS, reason="no corpus")
def test_permissive_reader_over_damaged_real_files():
    with open(BAD_RECORDS[0], "rb") as fh:
        reader = pymarc.MARCReader(fh, permissive=True)
        got = [(r is None, type(reader.current_exception).__name__) for r in reader]
    assert got == [(False, "NoneType"), (False, "BaseAddressInvalid"),
                   (False, "BaseAddressInvalid"), (False, "RecordDirectoryInvalid"),
                   (False, "RecordDirectoryInvalid"), (False, "BaseAddressInvalid"),
                   (True, "NoFieldsFound"), (False, "NoneType")]
    # Every file the corpus lists as structurally invalid: every record comes
    # (None only without fields), its chunk being its bytes in the file.
    manifest = (CORPUS / "MANIFEST.tsv").read_text(encoding="utf-8").splitlines()
    damaged = [line.split("\t")[-1] for line in manifest if "structurally invalid" in line]
    assert len(damaged) >= 10
    repaired = 0
    for name in damaged:
        data = (CORPUS / name).read_bytes()
        reader = pymarc.MARCReader(io.BytesIO(data), permissive=True)
        if name.endswith("invalidMarcFile.mrc"):  # no record at all: raises, permissive or not
            with pytest.raises(ValueError, match="no ISO 2709 record found"):
                list(reader)
            continue
        for record, plain in zip(reader, quillet.read(data), strict=True):
            assert (record is None) == (len(plain) == 0), name
            assert reader.current_chunk == data[plain.offset:plain.offset + len(reader.current_chunk)]
            repaired += reader.current_exception is not None
    assert repaired >= 15


@pytest.mark.skipif(not hasattr(quillet, "Subfield"), reason="records cannot be changed yet")
def test_a_script_changes_records_and_writes_them():
    out = io.BytesIO()
    writer = pymarc.MARCWriter(out)
    with open(SAMPLE, "rb") as fh:
        for record in pymarc.MARCReader(fh):
            record.remove_fields(*{f.tag for f in record.get_fields("9XX")})
            record.add_ordered_field(pymarc.Field(tag="500", indicators=pymarc.Indicators(" ", " "),
                                                  subfields=[pymarc.Subfield("a", "Edited.")]))
            if "245" in record:
                record["245"]["a"] = "New title"
            writer.write(record)
    writer.close(close_fh=False)
    back = list(pymarc.MARCReader(out.getvalue()))
    assert len(back) == 12 and not any(r.get_fields("9XX") for r in back)
    assert all("Edited." in r.get_fields("500")[-1].get_subfields("a") for r in back)
    assert back[0].title.startswith("New title ")
