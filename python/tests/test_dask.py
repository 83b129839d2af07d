"""quillet.dask and the tag_stats.py example."""
import subprocess
import sys

import pytest

import quillet
from conftest import ROOT, SAMPLE

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
