"""The convenience properties (title, author, isbn, ...) on built records,
their absent cases, and records read raw."""
import pytest

import quillet
from conftest import build_record

FULL = quillet.Record(build_record(
    ("001", "c1"),
    ("020", "  $z0000000000$qcancelled"),  # no $a: the next 020's is the first
    ("020", "  $a 0-19-852663-x (pbk.) :$c10.00"),
    ("022", "  $a1234-5678$l8765-4321"),
    ("022", "  $a9999-9999$l1111-1111"),
    ("086", "0 $aA 1.1:$z2004"),
    ("110", "2 $aUnited Nations.$bGeneral Assembly."),
    ("100", "1 $aSecond, Author."),
    ("222", " 0$aJournal of tides$b(Print)"),
    ("240", "10$aTides."),
    ("245", "10$aTides :$ba survey /$cby A. Writer."),
    ("260", "  $aLondon :$bHarbor,$cc1999."),
    ("264", " 1$aParis :$bQuai,$c2001."),
    ("300", "  $a200 p."),
    ("440", " 0$aOld series"),
    ("490", "1 $aSeries statement"),
    ("500", "  $aA note."),
    ("504", "  $aBibliography."),
    ("599", "  $aLocal note."),
    *[(tag, "  $a" + tag) for tag in ("600", "610", "611", "630", "648", "650", "651", "652",
                                      "653", "658", "659", "661", "662", "689", "690", "699")],
    *[(tag, "  $a" + tag) for tag in ("700", "710", "711", "720", "730", "740", "751", "752",
                                      "754", "755", "789", "790", "799")],
    ("800", "1 $aAuthor.$tSeries."),
    ("830", " 0$aUniform series."),
    ("852", "  $aLibrary$hQC1"),
    ("852", "  $aAnnex"),
))

NONE_OR_EMPTY = {"title": None, "author": None, "isbn": None, "issn": None, "issnl": None,
                 "issn_title": None, "sudoc": None, "uniformtitle": None, "series": [],
                 "subjects": [], "addedentries": [], "location": [], "notes": [],
                 "physicaldescription": [], "publisher": None, "pubyear": None}


def tags(fields):
    return [f.tag for f in fields]


def test_every_property_of_a_full_record():
    r = FULL
    assert r.title == "Tides : a survey /"
    assert r.author == "United Nations. General Assembly."  # the first 1XX in record order
    assert r.isbn == "019852663x"
    assert (r.issn, r.issnl, r.issn_title) == ("1234-5678", "8765-4321", "Journal of tides (Print)")
    assert r.sudoc == "A 1.1: 2004"
    assert r.uniformtitle == "Tides."
    assert (r.publisher, r.pubyear) == ("Harbor,", "c1999.")  # the 260 wins over the 264
    assert tags(r.series) == ["440", "490", "800", "830"]
    assert tags(r.subjects) == ["600", "610", "611", "630", "648", "650", "651", "653", "658",
                                "662", "690", "699"]
    assert tags(r.addedentries) == ["700", "710", "711", "720", "730", "740", "752", "754",
                                    "790", "799"]
    assert [f["a"] for f in r.location] == ["Library", "Annex"]
    assert tags(r.notes) == ["500", "504", "599"]
    assert tags(r.physicaldescription) == ["300"]


def test_absent_data_gives_none_or_an_empty_list():
    for r in (quillet.Record(build_record()), quillet.Record(build_record(("001", "x")))):
        assert {name: getattr(r, name) for name in NONE_OR_EMPTY} == NONE_OR_EMPTY
    # Fields present, subfields absent.
    r = quillet.Record(build_record(("020", "  $qpbk."), ("022", "  $yWrong"), ("222", " 0$bOnly b"),
                                    ("245", "00$cNo title proper"), ("260", "  $aPlace")))
    assert (r.isbn, r.issn, r.issnl, r.issn_title, r.title) == (None, None, None, None, None)
    assert (r.publisher, r.pubyear) == (None, None)


@pytest.mark.parametrize("value, isbn", [
    ("0-19-852663-6", "0198526636"),
    ("9781906000014 (hardback)", "9781906000014"),
    ("(pbk.)", None),
    ("--", None),
    ("  12-X", "12X"),
    ("ISBN 0198526636", None),  # the run must lead
])
def test_isbn_is_the_leading_run(value, isbn):
    assert quillet.Record(build_record(("020", "  $a" + value))).isbn == isbn


def test_title_without_b_and_uniform_title_order():
    r = quillet.Record(build_record(("240", "10$aFrom 240"), ("130", "0 $aFrom 130"),
                                    ("245", "10$aPlain title.$cBy someone.")))
    assert r.title == "Plain title."
    assert r.uniformtitle == "From 130"  # 130 before 240 whatever their order
    assert quillet.Record(build_record(("130", "0 $pPart"), ("240", "10$aFrom 240"))).uniformtitle \
        == "From 240"


def test_publication_from_the_264_with_second_indicator_1():
    r = quillet.Record(build_record(("264", " 4$c\u00a92020"), ("264", " 0$bProducer"),
                                    ("264", " 1$aPlace :$bPublisher,$c2021.")))
    assert (r.publisher, r.pubyear) == ("Publisher,", "2021.")
    # A 260 without the subfield leaves it to the 264.
    r = quillet.Record(build_record(("260", "  $aPlace :$c1990"), ("264", " 1$bLater")))
    assert (r.publisher, r.pubyear) == ("Later", "1990")


def test_marc8_text_is_decoded_and_raw_records_give_bytes():
    data = build_record(("020", b"  \x1fa0-19-852663-6"), ("245", b"10\x1faCaf\xe2e :\x1fbun\x1fcX"),
                        ("264", b" 1\x1fbP\xe2e"), leader="     nam  22     4a 4500")
    assert quillet.Record(data).title == "Cafe\u0301 : un"
    raw = quillet.Record(data, raw=True)
    assert raw.title == b"Caf\xe2e : un"
    assert raw.isbn == b"0198526636"
    assert raw.publisher == b"P\xe2e"  # the 264 found by its indicator b"1"
    assert raw.author is None and raw.subjects == []
