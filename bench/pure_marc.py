"""A small pure-Python ISO 2709 reader and writer: the loop a script written
without a native reader runs, for bench/python_loops.py to time against.
Text is read as UTF-8 (bytes that are not become U+FFFD); records whose
framing is damaged are not repaired. Not part of the package."""

FT, RT, SD = b"\x1e", b"\x1d", b"\x1f"


class Field:
    __slots__ = ("tag", "indicators", "subfields", "data")

    def __init__(self, tag, indicators=None, subfields=None, data=None):
        self.tag, self.indicators, self.subfields, self.data = tag, indicators, subfields, data

    def get(self, code):
        for c, v in self.subfields or ():
            if c == code:
                return v
        return None

    def set(self, code, value):
        matches = [i for i, (c, _) in enumerate(self.subfields) if c == code]
        if len(matches) != 1:
            raise KeyError(code)
        self.subfields[matches[0]] = (code, value)


class Record:
    __slots__ = ("leader", "fields")

    def __init__(self, leader, fields):
        self.leader, self.fields = leader, fields

    def get(self, tag):
        for f in self.fields:
            if f.tag == tag:
                return f
        return None

    def remove_fields(self, hundred):
        self.fields = [f for f in self.fields if f.tag[0] != hundred]

    def add_ordered_field(self, field):
        for i, f in enumerate(self.fields):
            if f.tag > field.tag:
                self.fields.insert(i, field)
                return
        self.fields.append(field)

    def as_marc(self):
        directory, data, at = [], [], 0
        for f in self.fields:
            if f.data is not None:
                body = f.data.encode() + FT
            else:
                body = (f.indicators.encode() + b"".join(SD + c.encode() + v.encode()
                                                         for c, v in f.subfields) + FT)
            directory.append(b"%s%04d%05d" % (f.tag.encode(), len(body), at))
            data.append(body)
            at += len(body)
        base = 24 + 12 * len(directory) + 1
        leader = self.leader.encode()
        return (b"%05d" % (base + at + 1) + leader[5:9] + b"a" + leader[10:12] + b"%05d" % base
                + leader[17:] + b"".join(directory) + FT + b"".join(data) + RT)


def read(path):
    with open(path, "rb") as f:
        blob = f.read()
    pos = 0
    while pos + 24 <= len(blob):
        length = int(blob[pos:pos + 5])
        rec = blob[pos:pos + length]
        pos += length
        base = int(rec[12:17])
        fields = []
        for e in range(24, base - 1, 12):
            tag = rec[e:e + 3].decode("ascii", "replace")
            size, start = int(rec[e + 3:e + 7]), int(rec[e + 7:e + 12])
            body = rec[base + start:base + start + size - 1]
            if tag.startswith("00"):
                fields.append(Field(tag, data=body.decode("utf-8", "replace")))
            else:
                parts = body[2:].split(SD)
                fields.append(Field(tag, body[:2].decode("utf-8", "replace"),
                                    [(p[:1].decode("utf-8", "replace"),
                                      p[1:].decode("utf-8", "replace")) for p in parts[1:]]))
        yield Record(rec[:24].decode("ascii", "replace"), fields)
