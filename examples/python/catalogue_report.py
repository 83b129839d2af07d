#!/usr/bin/env python3
"""A catalogue's profile, computed with Dask on tables built natively.

    catalogue_report.py FILE...                           a local cluster of all cores
    catalogue_report.py --workers 2 FILE...               a local cluster of 2 workers
    catalogue_report.py --scheduler tcp://HOST:8786 FILE...   an existing cluster

Prints tab-separated lines KIND KEY COUNT, each kind in order of count
(most first, then by key):

    records   FILE       records in each file
    language  eng        records by 008/35-37 (language of the item)
    year      2023       records by 008/07-10 (date of publication)
    library   MAIN       records holding the library in an 852 $a
    duplicate 12345      001s found in more than one file: in how many
    problem   no_subfields   problems by kind (quillet.problems())

A record without an 008, or an 852, is counted under "-". Files may be of any
format quillet.read() reads; every worker must see them under the same names.
"""
import argparse
import os
import sys
import time

import pandas as pd
from dask import delayed

import quillet.dask

COLUMNS = {"id": "001", "language": "008/35-37", "year": "008/07-10", "libraries": "852a*"}


def block_counts(wide):
    """The counts of one block's to_wide frame: small Series, summed later."""
    libraries = {}
    for held in wide["libraries"]:
        for library in set(held) or ("-",):
            libraries[library] = libraries.get(library, 0) + 1
    ids = wide[["id", "file"]].dropna().drop_duplicates()
    return {
        "records": wide["file"].value_counts(),
        "language": wide["language"].fillna("-").value_counts(),
        "year": wide["year"].fillna("-").value_counts(),
        "library": pd.Series(libraries, dtype="int64"),
        # 001 and file pairs: a 001 counts once per file.
        "duplicate": pd.Series(1, index=pd.MultiIndex.from_frame(ids.astype(str))),
    }


def problem_counts(problems):
    return {"problem": problems["kind"].value_counts()}


def merge(parts):
    """Sums the counts of several blocks (a 001 and file pair once)."""
    total = {}
    for part in parts:
        for kind, counts in part.items():
            counts = counts.groupby(level=list(range(counts.index.nlevels))).sum()
            if kind in total:
                counts = total[kind].add(counts, fill_value=0)
            if kind == "duplicate":
                counts = counts.clip(upper=1)
            total[kind] = counts
    return total


def report(wide, problems):
    """One Dask computation: the counts of each block, summed in a tree."""
    parts = [delayed(block_counts)(w) for w in wide.to_delayed()]
    parts += [delayed(problem_counts)(p) for p in problems.to_delayed()]
    while len(parts) > 1:
        parts = [delayed(merge)(parts[i:i + 8]) for i in range(0, len(parts), 8)]
    return parts[0]


def lines(results):
    out = []
    for kind in ("records", "language", "year", "library", "duplicate", "problem"):
        counts = results.get(kind, pd.Series(dtype="int64"))
        if kind == "duplicate":  # files per 001
            counts = counts.groupby(level=0).sum()
            counts = counts[counts > 1]
        items = sorted(((str(k), int(v)) for k, v in counts.items()), key=lambda kv: (-kv[1], kv[0]))
        out.extend(f"{kind}\t{key}\t{n}\n" for key, n in items)
    return "".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="an existing Dask scheduler, e.g. tcp://HOST:8786")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of the local cluster (default: one per core)")
    parser.add_argument("--threads", action="store_true",
                        help="a local cluster of threads of one process, not worker processes")
    parser.add_argument("--blocksize", default="32MiB",
                        help="bytes per block of a file (default: 32MiB)")
    parser.add_argument("--verbose", action="store_true",
                        help="say on standard error how long the cluster and the report took")
    args = parser.parse_args()
    for f in args.files:
        if not os.path.exists(f):
            parser.error(f"no such file: {f}")
    files = [os.path.abspath(f) for f in args.files]

    started = time.perf_counter()
    import dask
    from dask.distributed import Client, LocalCluster
    # Worker processes forked from a fresh server process start in about half
    # the time of spawned ones, which import everything anew (bench/README.md).
    dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"})
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        # Worker processes by default: reading a block releases the GIL, but
        # a third of the work (the counts in pandas) holds it, so on two free
        # cores two processes gained 1.77x against 1.27x for two threads of
        # one (bench/README.md); threads start faster.
        if not args.threads:
            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                   dashboard_address=None)
        else:
            # (tcp: Debian's distributed fails some tasks over its in-process
            # transport.)
            cluster = LocalCluster(n_workers=1, threads_per_worker=args.workers, processes=False,
                                   protocol="tcp", host="127.0.0.1", dashboard_address=None)
        client = Client(cluster)
    with client:
        ready = time.perf_counter()
        wide = quillet.dask.to_wide(files, COLUMNS, blocksize=args.blocksize)
        problems = quillet.dask.problems(files, blocksize=args.blocksize)
        results = client.compute(report(wide, problems), sync=True)
        done = time.perf_counter()
    if args.verbose:
        print(f"catalogue_report: cluster ready in {ready - started:.2f} s, "
              f"{wide.npartitions} blocks in {done - ready:.2f} s", file=sys.stderr)
    sys.stdout.write(lines(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
