#!/usr/bin/env python3
"""Writes the databases whose metadata lies about the file behind it.

    python3 tests/geo/make-broken.py [OUTPUT-DIR]

Each one is fixture.mmdb (or ipv4-only.mmdb) with its metadata map decoded,
one or two values changed and the map encoded again after the tree and data,
which stay as they are. The MaxMind DB writer refuses to write such files,
hence this script. Output is byte-for-byte reproducible. The same files seed
the geolocation fuzz target (fuzz/corpus/fuzz_geo/).
"""

import os
import struct
import sys

MARKER = b"\xab\xcd\xefMaxMind.com"

# Type numbers of the MaxMind DB data section format.
POINTER, UTF8, DOUBLE, BYTES, UINT16, UINT32, MAP = 1, 2, 3, 4, 5, 6, 7
INT32, UINT64, UINT128, ARRAY, BOOLEAN, FLOAT = 8, 9, 10, 11, 14, 15


def decode(buf, pos):
    """Returns ((type, value), next position); enough for metadata maps."""
    ctrl = buf[pos]
    pos += 1
    kind = ctrl >> 5
    if kind == 0:
        kind = 7 + buf[pos]
        pos += 1
    size = ctrl & 0x1F
    if size >= 29:
        extra = size - 28
        number = int.from_bytes(buf[pos:pos + extra], "big")
        pos += extra
        size = {29: 29, 30: 285, 31: 65821}[ctrl & 0x1F] + number
    if kind == MAP:
        items = []
        for _ in range(size):
            key, pos = decode(buf, pos)
            value, pos = decode(buf, pos)
            items.append((key[1], value))
        return (MAP, items), pos
    if kind == ARRAY:
        items = []
        for _ in range(size):
            item, pos = decode(buf, pos)
            items.append(item)
        return (ARRAY, items), pos
    raw = buf[pos:pos + size]
    pos += size
    if kind == UTF8:
        return (UTF8, raw.decode()), pos
    if kind in (UINT16, UINT32, UINT64, UINT128):
        return (kind, int.from_bytes(raw, "big")), pos
    raise ValueError("unexpected type %d in metadata" % kind)


def control(kind, size):
    head = bytearray()
    if size < 29:
        low = size
    elif size < 285:
        low, head = 29, bytearray([size - 29])
    elif size < 65821:
        low, head = 30, bytearray((size - 285).to_bytes(2, "big"))
    else:
        low, head = 31, bytearray((size - 65821).to_bytes(3, "big"))
    if kind <= 7:
        return bytes([kind << 5 | low]) + head
    return bytes([low, kind - 7]) + head


def encode(item):
    kind, value = item
    if kind == MAP:
        out = control(MAP, len(value))
        for key, member in value:
            out += encode((UTF8, key)) + encode(member)
        return out
    if kind == ARRAY:
        return control(ARRAY, len(value)) + b"".join(encode(v) for v in value)
    if kind == UTF8:
        raw = value.encode()
        return control(UTF8, len(raw)) + raw
    raw = value.to_bytes((value.bit_length() + 7) // 8, "big")
    return control(kind, len(raw)) + raw


def patched(source, **changes):
    """The source file with metadata values replaced (name=(type, value))."""
    start = source.rfind(MARKER)
    (kind, items), _ = decode(source, start + len(MARKER))
    assert kind == MAP
    items = [(k, changes.pop(k, v)) for k, v in items]
    assert not changes, changes
    return source[:start] + MARKER + encode((MAP, items))


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else here
    with open(os.path.join(here, "fixture.mmdb"), "rb") as f:
        fixture = f.read()
    with open(os.path.join(here, "ipv4-only.mmdb"), "rb") as f:
        ipv4_only = f.read()
    nodes = dict(decode(fixture, fixture.rfind(MARKER) + len(MARKER))[0][1])["node_count"][1]

    files = {
        # The library's own check wraps at 2^32 with these.
        "nodes-4294967295-r24.mmdb": patched(fixture, node_count=(UINT32, 2**32 - 1)),
        "nodes-4294967294-r28.mmdb": patched(
            fixture, node_count=(UINT32, 2**32 - 2), record_size=(UINT16, 28)),
        "nodes-4294967295-r32.mmdb": patched(
            fixture, node_count=(UINT32, 2**32 - 1), record_size=(UINT16, 32)),
        # A tree one node longer than written: every data record lands one
        # node (6 bytes) early in the data section.
        "nodes-plus-one.mmdb": patched(fixture, node_count=(UINT32, nodes + 1)),
        # The tree alone is longer than the file.
        "nodes-past-end.mmdb": patched(fixture, node_count=(UINT32, len(fixture))),
        # An IPv6 tree read as IPv4 and the reverse; ip_version 5 is neither.
        "ipv6-tree-as-ipv4.mmdb": patched(fixture, ip_version=(UINT16, 4)),
        "ipv4-tree-as-ipv6.mmdb": patched(ipv4_only, ip_version=(UINT16, 6)),
        "ip-version-5.mmdb": patched(fixture, ip_version=(UINT16, 5)),
    }
    for name, data in sorted(files.items()):
        with open(os.path.join(out_dir, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
