"""MARCXML file to a list of records: quillet against the standard library's
xml.etree.ElementTree.iterparse building the same fields, in one run.

    python_xml.py [-r RUNS] FILE.xml
    python_xml.py --check FILE.xml    that etree and quillet build the same fields

Times, RUNS times over (the workloads alternate, so that a slow spell of the
machine falls on all of them), from the page cache, in this one process:

  quillet          list(quillet.read(FILE, format="xml")): the records, each
                   with its fields to be asked for
  quillet+fields   the same, then each record's leader and fields as the
                   tuples etree builds (what a script that reads every field
                   pays in all)
  etree            iterparse over the file, each <record> made into its
                   leader and a list of fields, (tag, data) for a control
                   field and (tag, ind1, ind2, [(code, value), ...]) for a
                   data field, each element cleared once used

and prints the median wall and CPU seconds of each, and etree's CPU
seconds over each one's (the CPU time is the steadier on a shared machine). Both read
with and without the MARC21 slim namespace; etree here reads it with.
"""
import argparse
import gc
import statistics
import time
import xml.etree.ElementTree as ET

import quillet

NS = "{http://www.loc.gov/MARC21/slim}"
RECORD, LEADER, CONTROL, DATA, SUBFIELD = (NS + name for name in
                                           ("record", "leader", "controlfield", "datafield",
                                            "subfield"))


def with_quillet(path):
    return list(quillet.read(path, format="xml"))


def fields_of(record):
    return record.leader, [(f.tag, f.data) if f.is_control_field()
                           else (f.tag, f.indicator1, f.indicator2, f.subfields) for f in record]


def with_quillet_fields(path):
    return [fields_of(r) for r in quillet.read(path, format="xml")]


def with_etree(path):
    records = []
    context = ET.iterparse(path, events=("start", "end"))
    _, root = next(context)
    for event, element in context:
        if event != "end" or element.tag != RECORD:
            continue
        leader, fields = "", []
        for child in element:
            if child.tag == CONTROL:
                fields.append((child.get("tag"), child.text or ""))
            elif child.tag == DATA:
                fields.append((child.get("tag"), child.get("ind1"), child.get("ind2"),
                               [(s.get("code"), s.text or "") for s in child if s.tag == SUBFIELD]))
            elif child.tag == LEADER:
                leader = child.text or ""
        records.append((leader, fields))
        element.clear()
        root.clear()  # the records already read, so that memory does not follow the file
    return records


def check(path):
    """Exits with a message unless both build the same records, but for
    what quillet's reader repairs as it builds each record's bytes: the
    record length and base address (recomputed for its UTF-8 bytes),
    leader/20-23 (always 4500), and indicators and subfield codes that are
    no ASCII letter, digit or blank (the damaged records of the input)."""
    def same(record):
        leader, fields = record
        return leader[5:12] + leader[17:20], fields
    ours, theirs = with_quillet_fields(path), with_etree(path)
    differ = [i for i, (a, b) in enumerate(zip(ours, theirs)) if same(a) != same(b)]
    if len(ours) != len(theirs) or len(differ) > len(ours) // 100:
        raise SystemExit("quillet and etree read %s differently" % path)
    print("%d records, %d with the same fields" % (len(ours), len(ours) - len(differ)))


WORKLOADS = {"quillet": with_quillet, "quillet+fields": with_quillet_fields, "etree": with_etree}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("-r", "--runs", type=int, default=3)
    parser.add_argument("--check", action="store_true")
    parser.add_argument("file")
    args = parser.parse_args()
    if args.check:
        check(args.file)
        return
    wall = {name: [] for name in WORKLOADS}
    cpu = {name: [] for name in WORKLOADS}
    counts = {}
    for _ in range(args.runs):
        for name, workload in WORKLOADS.items():
            gc.collect()
            start, start_cpu = time.perf_counter(), time.process_time()
            result = workload(args.file)
            cpu[name].append(time.process_time() - start_cpu)
            wall[name].append(time.perf_counter() - start)
            counts[name] = len(result)
            del result
    if len(set(counts.values())) != 1:
        raise SystemExit("the workloads disagree on the number of records: %s" % counts)
    print("%d records, median of %d runs; CPU seconds of this process beside the wall's"
          % (counts["etree"], args.runs))
    print("%-16s %9s %9s %14s" % ("workload", "wall s", "CPU s", "etree / this"))
    etree = statistics.median(cpu["etree"])
    for name in WORKLOADS:
        seconds = statistics.median(cpu[name])
        print("%-16s %9.3f %9.3f %14.2f" % (name, statistics.median(wall[name]), seconds,
                                             etree / seconds))


if __name__ == "__main__":
    main()
