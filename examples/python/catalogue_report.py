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

import quillet.dask

COLUMNS = {"id": "001", "language": "008/35-37", "year": "008/07-10", "libraries": "852a*"}


def libraries(frame):
    """(record, library) pairs of one partition, each library once per record."""
    pairs = frame[["file", "record", "libraries"]].explode("libraries")
    pairs["libraries"] = pairs["libraries"].fillna("-")
    return pairs.drop_duplicates()


def report(wide, problems):
    """The Dask computations of the report, to be computed together."""
    meta = {"file": "object", "record": "int64", "libraries": "object"}
    ids = wide[["file", "id"]].dropna()
    ids = ids.assign(file=ids["file"].astype(str)).drop_duplicates()
    return {
        "records": wide["file"].astype(str).value_counts(),
        "language": wide["language"].fillna("-").value_counts(),
        "year": wide["year"].fillna("-").value_counts(),
        "library": wide.map_partitions(libraries, meta=meta)["libraries"].value_counts(),
        "duplicate": ids.groupby("id")["file"].count(),
        "problem": problems["kind"].astype(str).value_counts(),
    }


def lines(results):
    out = []
    for kind, counts in results.items():
        if kind == "duplicate":
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
    parser.add_argument("--processes", action="store_true",
                        help="a local cluster of worker processes, not threads of one")
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
    from dask.distributed import Client, LocalCluster
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        # Threads of one process by default: reading and decoding a block,
        # most of the work, releases the GIL, and such a cluster starts in a
        # fraction of the time worker processes take (bench/README.md).
        if args.processes:
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
        computations = report(wide, problems)
        results = dict(zip(computations, client.compute(list(computations.values()), sync=True)))
        done = time.perf_counter()
    if args.verbose:
        print(f"catalogue_report: cluster ready in {ready - started:.2f} s, "
              f"{wide.npartitions} blocks in {done - ready:.2f} s", file=sys.stderr)
    sys.stdout.write(lines(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())
