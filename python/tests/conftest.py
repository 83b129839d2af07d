"""Shared fixtures: paths of the project and one small record builder."""
import os
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLE = ROOT / "examples" / "sample.mrc"
CORPUS = ROOT.parent / "shared" / "data" / "real"


def build_record(*fields, leader="     nam a22     4a 4500"):
    """ISO 2709 bytes of a record: `fields` are (tag, content) pairs, content
    as str ('$' stands for the subfield delimiter) or bytes (as they are);
    lengths, base address and directory are computed."""
    directory = data = b""
    for tag, content in fields:
        body = content.replace("$", "\x1f").encode() if isinstance(content, str) else content
        body += b"\x1e"
        directory += tag.encode() + b"%04d%05d" % (len(body), len(data))
        data += body
    base = 24 + len(directory) + 1
    head = leader.encode()
    return (b"%05d" % (base + len(data) + 1) + head[5:12] + b"%05d" % base + head[17:24]
            + directory + b"\x1e" + data + b"\x1d")


@pytest.fixture
def dump():
    """The quillet-dump to compare with: $QUILLET_DUMP, else one on PATH."""
    path = os.environ.get("QUILLET_DUMP") or shutil.which("quillet-dump")
    if not path:
        pytest.skip("no quillet-dump: set QUILLET_DUMP")
    return path
