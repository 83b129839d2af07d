"""quillet.dask, the tag_stats.py and catalogue_report.py examples."""
import gzip
import subprocess
import sys

import pytest

import quillet
from conftest import CORPUS, ROOT, SAMPLE, build_record

dask = pytest.importorskip("dask")
import quillet.dask  # noqa: E402

# Debian's tornado warns about its own use by distributed's cluster.
pytestmark = pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")


def test_blocks_cut_inside_records_give_each_record_once(tmp_path):
    path = tmp_path / "three.mrc"
    path.write_bytes(SAMPLE.read_bytes() * 3)
    want = [(r.offset, r.as_marc()) for r in quillet.read(path)]
    # 1000-byte blocks: every boundary but by chance falls inside a record.
    bag = quillet.dask.read_marc(str(path), blocksize=1000)
    assert bag.npartitions > 20
    got = bag.map(lambda r: (r.offset, r.as_marc())).compute(scheduler="sync")
    assert got == want
    both = quillet.dask.read_marc([str(path), str(SAMPLE)], blocksize="2KiB")
    assert both.count().compute(scheduler="sync") == 3 * 12 + 12


def test_bags_of_records_compute_list_and_repartition(tmp_path):
    path = tmp_path / "two.mrc"
    path.write_bytes(SAMPLE.read_bytes() * 2)
    want = [r.as_marc() for r in quillet.read(path)]
    bag = quillet.dask.read_marc(str(path), blocksize=1500)
    with dask.config.set(scheduler="sync"):
        assert [r.as_marc() for r in bag.compute()] == want
        assert [r.as_marc() for r in list(bag)] == want
        assert [r.as_marc() for r in bag.repartition(3).compute()] == want
        assert bag.take(2, npartitions=-1)[1].as_marc() == want[1]


def test_tag_stats_prints_what_quillet_dump_prints(dump, tmp_path):
    files = [str(SAMPLE), str(SAMPLE)]
    want = subprocess.run([dump, "--stats", *files], capture_output=True, check=True).stdout
    got = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "python" / "tag_stats.py"), "--workers", "2",
         "--blocksize", "3000", *files],
        capture_output=True, check=True).stdout
    assert got == want


def test_tag_stats_runs_on_an_existing_cluster(dump):
    from dask.distributed import LocalCluster
    want = subprocess.run([dump, "--stats", str(SAMPLE)], capture_output=True, check=True).stdout
    with LocalCluster(n_workers=1, processes=False, protocol="tcp", host="127.0.0.1",
                      dashboard_address=None) as cluster:
        got = subprocess.run(
            [sys.executable, str(ROOT / "examples" / "python" / "tag_stats.py"),
             "--scheduler", cluster.scheduler_address, str(SAMPLE)],
            capture_output=True, check=True, timeout=120).stdout
    assert got == want


def plain(frame):
    """The frame's columns as lists, missing values as None (the categories
    of frames built block by block come in another order)."""
    return {c: [None if not isinstance(v, list) and pd.isna(v) else v for v in frame[c]]
            for c in frame.columns}


def assert_same_tables(paths, blocksize, wide=("001", "245ab", "6XXa*", "008/35-37")):
    tables = [(quillet.to_long, quillet.dask.to_long), (quillet.problems, quillet.dask.problems)]
    if wide:
        tables.append((lambda p: quillet.to_wide(p, list(wide)),
                       lambda p, **k: quillet.dask.to_wide(p, list(wide), **k)))
    for one, many in tables:
        want = plain(pd.concat([one(p) for p in paths], ignore_index=True))
        frame = many(paths, blocksize=blocksize)
        assert frame.npartitions > len(paths)
        got = frame.compute(scheduler="sync")
        assert plain(got) == want
        # The metadata is that of the frames, as on one machine.
        dtypes = list(one(paths[0]).dtypes.astype(str))
        assert list(got.dtypes.astype(str)) == list(frame.dtypes.astype(str)) == dtypes


pd = pytest.importorskip("pandas")


def prefixed_xml(records):
    """MARCXML of `records` under the prefix marc:, declared on the collection only."""
    body = "".join(r.as_xml().split("<collection xmlns=\"http://www.loc.gov/MARC21/slim\">\n", 1)[1]
                   .rsplit("</collection>", 1)[0] for r in records)
    body = body.replace("<", "<marc:").replace("<marc:/", "</marc:")
    return ('<?xml version="1.0" encoding="UTF-8"?>\n'
            '<marc:collection xmlns:marc="http://www.loc.gov/MARC21/slim">\n'
            + body + "</marc:collection>\n")


def test_tables_of_every_format_cut_into_tiny_blocks(tmp_path):
    records = list(quillet.read(SAMPLE)) * 3
    damaged = build_record(("245", "10T")) + build_record(("001", "x"), ("245", "10$aU"))
    files = {"a.mrc": SAMPLE.read_bytes() + damaged + SAMPLE.read_bytes(),
             "b.xml": prefixed_xml(records).encode(),
             "c.json": "".join(r.as_json() + "\n" for r in records).encode(),
             "d.mrk": "".join(str(r) + "\n\n" for r in records).encode()}
    paths = []
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
        paths.append(str(tmp_path / name))
    assert_same_tables(paths, 700)
    assert quillet.dask.read_marc(paths, blocksize=700).count().compute(scheduler="sync") == 24 + 2 + 3 * 36
    # Dask's own to_csv takes the frames, a file per partition.
    frame = quillet.dask.to_long(paths[:2], blocksize=700)
    written = frame.to_csv(str(tmp_path / "long-*.csv"), index=False, compute_kwargs={"scheduler": "sync"})
    back = pd.concat([pd.read_csv(p, dtype=str, keep_default_na=False) for p in written])
    assert list(back["value"]) == [v if isinstance(v, str) else "" for v in
                                   pd.concat([quillet.to_long(p) for p in paths[:2]])["value"]]


@pytest.mark.skipif(not CORPUS.is_dir(), reason="no corpus folder")
def test_tables_of_real_files_cut_into_blocks_equal_one_machine_tables(dump, tmp_path):
    files = [str(p) for p in sorted(CORPUS.rglob("*"))
             if p.is_file() and p.suffix not in (".md", ".tsv") and p.name != "invalidMarcFile.mrc"]
    assert_same_tables(files, 50_000)
    for fmt in ("xml", "json"):
        out = tmp_path / f"all.{fmt}"
        with open(out, "wb") as f:
            subprocess.run([dump, "-q", "-f", fmt, *files], stdout=f)
        assert_same_tables([str(out)], 300_007, wide=())


def test_errors_on_workers_name_the_file_and_the_block(tmp_path):
    junk = tmp_path / "junk.mrc"
    junk.write_bytes(b"root:x:0:0:root:/root:/bin/bash\n" * 100)
    with pytest.raises(ValueError, match=rf"^{junk}, block at byte 0: no ISO 2709 record found"):
        quillet.dask.to_long(str(junk), blocksize=1000, format="marc").compute(scheduler="sync")
    with pytest.raises(ValueError, match=rf"^{junk}, block at byte 0: no ISO 2709 record found"):
        quillet.dask.read_marc(str(junk), blocksize=1000, format="marc").compute(scheduler="sync")
    cut = tmp_path / "cut.mrc.gz"
    cut.write_bytes(gzip.compress(SAMPLE.read_bytes())[:-30])
    with pytest.raises(OSError, match=rf"^{cut}, block at byte 0: "):
        quillet.dask.problems(str(cut)).compute(scheduler="sync")
    with pytest.raises(ValueError, match='bad selector "24" for column "24"'):
        quillet.dask.to_wide(str(SAMPLE), ["24"])


@pytest.mark.parametrize("fmt", ["marc", "json", "mrk", "xml"])
def test_write_makes_a_file_per_partition(dump, tmp_path, fmt):
    source = tmp_path / "three.mrc"
    source.write_bytes(SAMPLE.read_bytes() * 3)
    bag = quillet.dask.read_marc(str(source), blocksize=4000)
    with dask.config.set(scheduler="sync"):
        written = quillet.dask.write(bag, str(tmp_path / f"out-*.{fmt}"), format=fmt)
    assert len(written) == bag.npartitions > 2
    parts = [open(p, "rb").read() for p in written]
    if fmt == "xml":  # a collection per file
        got = [r.as_marc() for p in written for r in quillet.read(p, format="xml")]
        assert got == [r.as_marc() for r in quillet.read(source)]
        want = subprocess.run([dump, "-f", "xml", str(source)], capture_output=True).stdout
        assert parts[0].startswith(want[:want.index(b"<record")])
    else:
        args = [] if fmt == "mrk" else ["-f", fmt]
        want = subprocess.run([dump, *args, str(source)], capture_output=True).stdout
        assert b"".join(parts) == want


def test_a_bag_of_records_makes_its_table(tmp_path):
    bag = quillet.dask.read_marc(str(SAMPLE), blocksize=3000)
    with dask.config.set(scheduler="sync"):
        assert plain(bag.to_dataframe().compute()) == plain(quillet.to_long(SAMPLE))
        assert list(bag.to_dataframe(columns=["tag"]).columns) == ["tag"]
        # A bag mapped to dicts is Dask's: its items are the function's.
        ids = bag.map(lambda r: {"id": r.control_number}).to_dataframe().compute()
        assert list(ids["id"]) == [r.control_number for r in quillet.read(SAMPLE)]
        assert plain(quillet.dask.problems(bag).compute()) == plain(quillet.problems(SAMPLE))


def test_catalogue_report_counts_what_the_records_hold(tmp_path):
    holdings = b"".join(build_record(("001", f"h{i}"), ("008", "x" * 35 + "fin"),
                                     *[("852", f"  $a{lib}") for lib in libs])
                        for i, libs in enumerate([["MAIN"], ["MAIN", "MAIN", "BRANCH"], []]))
    holdings += build_record(("001", "100000001"), ("245", "10T"))
    files = [tmp_path / "holdings.mrc", tmp_path / "sample.json"]
    files[0].write_bytes(holdings)
    files[1].write_text("".join(r.as_json() + "\n" for r in quillet.read(SAMPLE)))
    out = subprocess.run(
        [sys.executable, str(ROOT / "examples" / "python" / "catalogue_report.py"), "--workers",
         "1", "--blocksize", "700", *map(str, files)],
        capture_output=True, check=True, timeout=300).stdout.decode()
    got = {}
    for line in out.splitlines():
        kind, key, n = line.split("\t")
        got.setdefault(kind, {})[key] = int(n)
    want = {"records": {}, "language": {}, "year": {}, "library": {}, "duplicate": {},
            "problem": {}}
    seen = {}

    def add(kind, key, n=1):
        want[kind][key] = want[kind].get(key, 0) + n

    for path in files:
        for r in quillet.read(path):
            add("records", str(path))
            f008 = r["008"].data if "008" in r else None
            add("language", f008[35:38] if f008 else "-")
            add("year", f008[7:11] if f008 else "-")
            for lib in {f["a"] for f in r.get_fields("852")} or {"-"}:
                add("library", lib)
            for p in r.problems:
                add("problem", p.kind)
            if r.control_number is not None:
                seen.setdefault(r.control_number, set()).add(str(path))
    want["duplicate"] = {k: len(v) for k, v in seen.items() if len(v) > 1}
    assert want["library"] == {"MAIN": 2, "BRANCH": 1, "-": 14}
    assert want["duplicate"] == {"100000001": 2} and want["problem"]
    assert got == want
