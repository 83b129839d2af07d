"""quillet.read(): the three input kinds, errors, and agreement with quillet-dump."""
import io
import json
import subprocess
from pathlib import Path

import pytest

import quillet
from conftest import CORPUS, ROOT, SAMPLE, build_record


def summary(records):
    return [(r.offset, r.as_marc(), r.as_dict()) for r in records]


def test_path_file_and_bytes_give_the_same_records():
    data = SAMPLE.read_bytes()
    want = summary(quillet.read(str(SAMPLE)))
    assert len(want) == 12
    assert summary(quillet.read(SAMPLE)) == want  # os.PathLike
    with open(SAMPLE, "rb") as f:
        assert summary(quillet.read(f)) == want
    assert summary(quillet.read(io.BytesIO(data))) == want
    assert summary(quillet.read(data)) == want
    assert summary(quillet.read(bytearray(data))) == want
    assert summary(quillet.read(memoryview(data))) == want


def test_file_read_in_small_pieces():
    class Trickle(io.RawIOBase):
        def __init__(self, data):
            self.data = data
        def readable(self):
            return True
        def read(self, n=-1):  # seven bytes at a time, and not as bytes
            piece, self.data = self.data[:7], self.data[7:]
            return bytearray(piece)
    assert summary(quillet.read(Trickle(SAMPLE.read_bytes()))) == summary(quillet.read(SAMPLE))


def test_errors_raise_with_the_tool_words(tmp_path):
    with pytest.raises(FileNotFoundError):
        quillet.read(tmp_path / "missing.mrc")
    mrk = tmp_path / "sample.mrk"
    mrk.write_text("=LDR  00000nam a2200000 a 4500\n")
    with pytest.raises(ValueError, match=r"this looks like mnemonic MARC text \(.mrk\) \(it starts with =LDR\)"):
        quillet.read(mrk, format="marc")
    with pytest.raises(ValueError, match=r'no ISO 2709 record found \(it starts with "root:x:0:0:root:..."\)'):
        list(quillet.read(b"root:x:0:0:root:/root:/bin/bash\n"))
    assert list(quillet.read(b"")) == []
    with pytest.raises(ValueError, match='unknown input format "csv"'):
        quillet.read(SAMPLE, format="csv")
    with pytest.raises(TypeError):
        quillet.read(42)
    with pytest.raises(TypeError):
        quillet.Field()  # fields come from records
    with pytest.raises(TypeError, match="binary mode"):
        list(quillet.read(io.StringIO("00000")))
    with pytest.raises(ValueError, match="charset"):
        quillet.read(SAMPLE, charset="latin-1")


def test_every_format_is_read_as_records():
    records = list(quillet.read(SAMPLE))
    want = [(r.as_marc(), r.as_dict()) for r in records]
    mrk = (ROOT / "examples" / "sample.mrk").read_bytes()
    jsonl = "".join(r.as_json() + "\n" for r in records).encode()
    xml = records[0].as_xml().encode()
    for source in (mrk, io.BytesIO(mrk), jsonl):
        assert [(r.as_marc(), r.as_dict()) for r in quillet.read(source)] == want
    assert [r.as_marc() for r in quillet.read(xml, format="xml")] == [records[0].as_marc()]
    damaged = quillet.read(b"=LDR  00000nam a2200000 a 4500\n=245  10$aT\nno tag\n", format="mrk")
    (record,) = list(damaged)
    assert [(p.kind, str(p)) for p in record.problems] == [
        ("unknown_content",
         "content the format does not define skipped (line 3, column 1: a line that is not =TAG)")]


def test_exception_from_read_is_raised():
    class Failing(io.RawIOBase):
        def readable(self):
            return True
        def read(self, n=-1):
            raise OSError("disk on fire")
    with pytest.raises(OSError, match="disk on fire"):
        list(quillet.read(Failing()))

    # A failure after some bytes: the records before it are given first.
    class FailingLater(io.RawIOBase):
        def __init__(self):
            self.chunks = [SAMPLE.read_bytes()[:3000]]
        def readable(self):
            return True
        def read(self, n=-1):
            if self.chunks:
                return self.chunks.pop()
            raise OSError("disk on fire")
    got = []
    with pytest.raises(OSError, match="disk on fire"):
        for record in quillet.read(FailingLater()):
            got.append(record.control_number)
    assert got[:2] == ["100000001", "100000002"]


def test_junk_after_the_last_record_is_on_the_reader():
    reader = quillet.read(build_record(("001", "j")) + b"junk")
    assert len(list(reader)) == 1
    assert [p.kind for p in reader.problems] == ["junk_skipped"]


def test_a_record_of_terminators_is_no_field():
    # A megabyte of field terminators: counted by one problem, not a
    # million empty fields.
    data = b"00000nam  2299999   4500" + b"\x1e" * (1 << 20) + b"\x1d"
    for rec in quillet.read(data):
        assert rec.fields == []
        assert len(rec.problems) < 10
        last = rec.problems[-1]
        assert last.kind == "empty_fields_skipped"
        assert str(last) == "empty fields between field terminators skipped (948601)"


def test_gzip_input_is_read_through(tmp_path):
    import gzip
    path = tmp_path / "sample.mrc.gz"
    path.write_bytes(gzip.compress(SAMPLE.read_bytes()))
    assert summary(quillet.read(path)) == summary(quillet.read(SAMPLE))


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus folder")
def test_every_real_file_agrees_with_quillet_dump_json_and_mrk(dump):
    files = sorted(p for p in CORPUS.rglob("*") if p.is_file() and p.suffix not in (".md", ".tsv"))
    compared = 0
    for path in files:
        out = subprocess.run([dump, "-q", "-f", "json", str(path)], capture_output=True)
        if out.returncode > 1:  # not ISO 2709: Python says so too
            with pytest.raises(ValueError):
                list(quillet.read(path))
            continue
        want = [json.loads(line) for line in out.stdout.decode("utf-8").splitlines()]
        records = list(quillet.read(path))
        assert [r.as_dict() for r in records] == want, path
        mrk = subprocess.run([dump, "-q", str(path)], capture_output=True).stdout.decode("utf-8")
        assert "".join(str(r) + "\n\n" for r in records) == mrk, path
        compared += len(records)
    assert compared > 1000
