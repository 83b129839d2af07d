"""The record interface: accessors, absent fields, text decoding, problems."""
import json
import pickle
import sys

import pytest

import quillet
from conftest import ROOT, SAMPLE, build_record

SAMPLE_RECORDS = list(quillet.read(SAMPLE))


def test_sample_accessors():
    r = SAMPLE_RECORDS[0]
    assert r.leader == "00917cam a2200253 i 4500"
    assert r.control_number == "100000001"
    assert r.offset == 0 and SAMPLE_RECORDS[1].offset == len(r.as_marc())
    title = r["245"]
    assert (title.tag, title.indicators, title.indicator1, title.indicator2) == ("245", ("1", "4"), "1", "4")
    assert title["a"] == "The cartographer's apprentice :"
    assert title.get_subfields("c", "a") == ["The cartographer's apprentice :", "Eleanor Harwood."]
    assert title.subfields[0] == ("a", "The cartographer's apprentice :")
    assert title.data is None and title.prefix == "" and not title.is_control_field()
    assert r["008"].data.startswith("230915s2023") and r["008"].is_control_field()
    assert [f.tag for f in r.get_fields("6XX")] == ["650", "650", "651"]
    assert [f.tag for f in r.get_fields("100", "245")] == ["100", "245"]
    assert [f.tag for f in r] == [f.tag for f in r.fields] and len(r) == len(r.fields)
    assert "245" in r and "a" in title and "z" not in title


def test_absent_fields_and_subfields():
    r = SAMPLE_RECORDS[0]
    with pytest.raises(KeyError):
        r["999"]
    with pytest.raises(KeyError):
        r["245"]["z"]
    assert r.get("999") is None and r.get("999", "none") == "none"
    assert r["245"].get("z") is None and r.get_fields("999") == []
    assert SAMPLE_RECORDS[-1].control_number is None  # the last sample record has no 001


def test_fields_in_file_order_with_empty_subfields():
    raw = build_record(("001", "x1"), ("500", "  $a$bnote$a"), ("245", "10$aTitle"), ("500", "  $aLast"))
    r = quillet.Record(raw)
    assert [f.tag for f in r] == ["001", "500", "245", "500"]
    assert r["500"].subfields == [("a", ""), ("b", "note"), ("a", "")]
    assert r["500"]["a"] == "" and r.get_fields("500")[1]["a"] == "Last"
    assert r.problems == []


def test_as_dict_and_str_match_the_tool_formats():
    golden = (ROOT / "tests" / "golden" / "sample.jsonl").read_text(encoding="utf-8").splitlines()
    assert [r.as_dict() for r in SAMPLE_RECORDS] == [json.loads(line) for line in golden]
    mrk = (ROOT / "examples" / "sample.mrk").read_text(encoding="utf-8")
    assert "".join(str(r) + "\n\n" for r in SAMPLE_RECORDS) == mrk
    assert str(SAMPLE_RECORDS[0]["245"]).startswith("=245  14$aThe cartographer")


def test_repaired_record_lists_its_problems():
    good = build_record(("001", "r1"), ("245", "10$aTitle"), ("500", "  no delimiter"))
    damaged = b"00999" + good[5:]  # a declared length that is wrong
    r = next(iter(quillet.read(damaged)))
    # The bytes as read stay in `raw`; as_marc() writes the record anew.
    assert r.raw == damaged == r.as_marc(original=True) and r["245"]["a"] == "Title"
    assert r.as_marc() == b"00090" + damaged[5:] and quillet.Record(r.as_marc()).problems[0].kind == "no_subfields"
    kinds = [p.kind for p in r.problems]
    assert kinds == ["length_repaired", "no_subfields"]
    assert r.problems[0].offset == 0 and "length" in str(r.problems[0])
    assert r["500"].subfields == [("", "no delimiter")] and r["500"].prefix == "no delimiter"


def test_marc8_record_is_decoded():
    raw = build_record(("245", b"10\x1faCaf\xe2e \x1b(NAB\x1b(B."), leader="     nam  22     4a 4500")
    assert quillet.Record(raw)["245"]["a"] == "Cafe\u0301 \u0430\u0431."
    assert quillet.Record(raw, nfc=True)["245"]["a"] == "Caf\u00e9 \u0430\u0431."
    assert quillet.Record(raw).leader[9] == "a"
    assert quillet.Record(raw, raw=True)["245"]["a"] == b"Caf\xe2e \x1b(NAB\x1b(B."
    assert quillet.Record(raw, raw=True).leader[9:10] == b" "
    # A MARC-8 code without a character: U+FFFD, and a problem.
    bad = quillet.Record(build_record(("245", b"10\x1fa\xaf"), leader="     nam  22     4a 4500"))
    assert bad["245"]["a"] == "\ufffd"
    assert [p.kind for p in bad.problems] == ["unmapped"]


def test_invalid_utf8_becomes_replacement_character():
    r = quillet.Record(build_record(("245", b"10\x1faA\xff\x1fb\xc3\xa9")))
    assert r["245"].subfields == [("a", "A\ufffd"), ("b", "\u00e9")]
    assert [p.kind for p in r.problems] == ["invalid_utf8"]


def test_records_pickle_as_their_bytes():
    damaged = b"00999" + build_record(("001", "p1"), ("245", "10$aT"))[5:]
    r = next(iter(quillet.read(damaged, nfc=True)))
    copy = pickle.loads(pickle.dumps(r))
    assert copy.as_marc() == r.as_marc() and copy.as_dict() == r.as_dict()
    assert [str(p) for p in copy.problems] == [str(p) for p in r.problems]
    assert len(pickle.dumps(r)) < len(r.as_marc()) + 200


def test_objects_are_freed():
    # Each record and field holds a reference to its type, and each field one
    # to its record: all are given back when they go.
    def use():
        for r in quillet.read(SAMPLE):
            for f in r:
                f.subfields, f.get("a"), str(f)
            r.get_fields("6XX"), r.as_dict(), pickle.loads(pickle.dumps(r)), r.get("999", None)
    use()
    before = sys.getrefcount(quillet.Record), sys.getrefcount(quillet.Field)
    record = SAMPLE_RECORDS[0]
    held = sys.getrefcount(record)
    for _ in range(20):
        use()
        fields = record.fields
        del fields
    assert (sys.getrefcount(quillet.Record), sys.getrefcount(quillet.Field)) == before
    assert sys.getrefcount(record) == held


def test_charset_spellings_and_the_writers():
    raw = build_record(("001", "x1"), ("245", b"10\x1faCaf\xe2e"), leader="     nam  22     4a 4500")
    assert quillet.Record(raw, charset="MARC-8")["245"]["a"] == "Cafe\u0301"
    assert quillet.Record(raw, charset="raw")["245"]["a"] == b"Caf\xe2e"
    with pytest.raises(ValueError, match='unknown charset "latin1"'):
        quillet.Record(raw, charset="latin1")
    r = quillet.Record(raw)
    assert json.loads(r.as_json()) == r.as_dict() and "\n" not in r.as_json()
    xml = r.as_xml()
    assert xml.startswith("<?xml") and xml.endswith("</collection>\n")
    assert "<subfield code=\"a\">Cafe\u0301</subfield>" in xml
