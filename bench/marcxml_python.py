"""A MARCXML file to a list of records from Python: quillet.read against the
standard library's iterparse keeping each record element. Prints the records
and the user CPU seconds of each way named.

    python marcxml_python.py FILE quillet etree [...]
"""
import resource
import sys
import xml.etree.ElementTree as ET

import quillet


def user_seconds():
    return resource.getrusage(resource.RUSAGE_SELF).ru_utime


def with_quillet(path):
    return list(quillet.read(path, format="xml"))


def with_etree(path):
    records = []
    for _, element in ET.iterparse(path):
        if element.tag == "record" or element.tag.endswith("}record"):
            records.append(element)
    return records


def main():
    path = sys.argv[1]
    ways = {"quillet": with_quillet, "etree": with_etree}
    for name in sys.argv[2:]:
        start = user_seconds()
        count = len(ways[name](path))
        print(name, count, round(user_seconds() - start, 3), flush=True)


if __name__ == "__main__":
    main()
