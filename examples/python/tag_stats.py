#!/usr/bin/env python3
"""The table of `quillet-dump --stats`, computed with Dask.

    tag_stats.py FILE...                         a local cluster of all cores
    tag_stats.py --workers 2 FILE...             a local cluster of 2 workers
    tag_stats.py --scheduler tcp://HOST:8786 FILE...   an existing cluster

Per tag, the records holding it and its occurrences; per tag and subfield
code, the same; then records, bytes and problems by kind. Tab-separated on
standard output, in tag order, byte for byte what quillet-dump prints.
The files must be readable by every worker under the same names.
"""
import argparse
import os
import sys
import time

import quillet.dask


def count(records):
    """The counts of one partition: records, bytes, problems by message,
    and [records, occurrences] per tag and per tag$code."""
    n = nbytes = 0
    problems = {}
    fields = {}     # key: [records, occurrences, the last record counted]
    subfields = {}

    def tally(table, key):
        c = table.get(key)
        if c is None:
            c = table[key] = [0, 0, 0]
        c[1] += 1
        if c[2] != n:
            c[2] = n
            c[0] += 1

    for rec in records:
        n += 1
        nbytes += len(rec.as_marc())
        for p in rec.problems:
            problems[p.message] = problems.get(p.message, 0) + 1
        for f in rec:
            tag = f.tag
            tally(fields, tag)
            pairs = f.subfields
            if f.prefix:  # bytes before the first delimiter: no subfield
                pairs = pairs[1:]
            for code, _ in pairs:
                tally(subfields, tag + b"$" + code)
    return {"records": n, "bytes": nbytes, "problems": problems,
            "fields": {k: v[:2] for k, v in fields.items()},
            "subfields": {k: v[:2] for k, v in subfields.items()}}


def merge(parts):
    """Sums the counts of several partitions."""
    total = {"records": 0, "bytes": 0, "problems": {}, "fields": {}, "subfields": {}}
    for part in parts:
        total["records"] += part["records"]
        total["bytes"] += part["bytes"]
        for k, v in part["problems"].items():
            total["problems"][k] = total["problems"].get(k, 0) + v
        for name in ("fields", "subfields"):
            for k, (records, occurrences) in part[name].items():
                c = total[name].setdefault(k, [0, 0])
                c[0] += records
                c[1] += occurrences
    return total


def escaped(key):
    """Bytes of a tag or tag$code as quillet-dump prints them: control bytes
    as {0xHH}, '{' as {lcub}."""
    out = bytearray()
    for b in key:
        if b == 0x7B:
            out += b"{lcub}"
        elif b < 0x20 or b == 0x7F:
            out += b"{0x%02X}" % b
        else:
            out.append(b)
    return bytes(out)


def table(total):
    out = [b"records\t\t%d\t\n" % total["records"], b"bytes\t\t%d\t\n" % total["bytes"]]
    for message in sorted(total["problems"], key=lambda m: m.encode()):
        out.append(b"problem\t%s\t%d\t\n" % (message.encode(), total["problems"][message]))
    by_tag = {}
    for key in total["subfields"]:
        by_tag.setdefault(key[:3], []).append(key)
    for tag in sorted(total["fields"]):
        records, occurrences = total["fields"][tag]
        out.append(b"field\t%s\t%d\t%d\n" % (escaped(tag), records, occurrences))
        for key in sorted(by_tag.get(tag, ())):
            records, occurrences = total["subfields"][key]
            out.append(b"subfield\t%s\t%d\t%d\n" % (escaped(key), records, occurrences))
    return b"".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("files", nargs="+", metavar="FILE")
    parser.add_argument("--scheduler", metavar="ADDRESS",
                        help="an existing Dask scheduler, e.g. tcp://HOST:8786")
    parser.add_argument("--workers", type=int, default=os.cpu_count() or 1,
                        help="workers of the local cluster (default: one per core)")
    parser.add_argument("--blocksize", default="8MiB",
                        help="bytes per block of a file (default: 8MiB)")
    parser.add_argument("--verbose", action="store_true",
                        help="say on standard error how long the cluster and the count took")
    args = parser.parse_args()
    for f in args.files:
        if not os.path.exists(f):
            parser.error(f"no such file: {f}")

    started = time.perf_counter()
    import dask
    from dask.distributed import Client, LocalCluster
    # Worker processes forked from a fresh server process start in about half
    # the time of spawned ones, which import everything anew (bench/README.md).
    dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"})
    if args.scheduler:
        client = Client(args.scheduler)
    else:
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        client = Client(cluster)
    with client:
        ready = time.perf_counter()
        # Bytes as they stand: tags and codes are counted as quillet-dump
        # counts them, and no text needs decoding.
        records = quillet.dask.read_marc(args.files, blocksize=args.blocksize, raw=True)
        total = records.reduction(count, merge).compute()
        done = time.perf_counter()
    if args.verbose:
        print(f"tag_stats: cluster ready in {ready - started:.2f} s, "
              f"{records.npartitions} blocks counted in {done - ready:.2f} s", file=sys.stderr)
    sys.stdout.buffer.write(table(total))
    return 0


if __name__ == "__main__":
    sys.exit(main())
