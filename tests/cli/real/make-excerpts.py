#!/usr/bin/env python3
"""Makes the excerpts in this folder from the two public logs (README.md).

Usage: make-excerpts.py [LOG_DIR]   (default: ../shared/data/logs beside the
repository). Each excerpt keeps whole lines, byte for byte and in the log's
order: the first 300, then the lines a reader of the first 300 would not see.
"""
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
FIELDS = re.compile(rb'^(\S+) \S+ \S+ \[([^\]]*)\] "([^"]*)" (\S+) (\S+)')
IPV4 = re.compile(rb"^\d+\.\d+\.\d+\.\d+$")


def excerpt(lines, every_hour_step, head_limit):
    keep = set(range(min(300, len(lines))))
    status_seen = {}
    hour_seen = set()
    heads = 0
    for i, line in enumerate(lines):
        m = FIELDS.match(line)
        if not m:
            keep.add(i)  # whatever the pattern misses: a truncated line
            continue
        host, stamp, request, status = m.group(1), m.group(2), m.group(3), m.group(4)
        if line.count(b'"') % 2 != 0:
            keep.add(i)  # a quote left open: the truncated user agent
        method = request.split(b" ")[0]
        # Every method but GET (HEAD only up to head_limit), requests without
        # a protocol or with another than HTTP/1.0 and 1.1, runs of spaces.
        if method == b"HEAD":
            if heads < head_limit:
                keep.add(i)
                heads += 1
        elif method != b"GET":
            keep.add(i)
        protocol = request.rsplit(b" ", 1)[-1]
        if protocol not in (b"HTTP/1.0", b"HTTP/1.1") or b"  " in request:
            keep.add(i)
        # The first three lines of every status.
        if status_seen.get(status, 0) < 3:
            keep.add(i)
        status_seen[status] = status_seen.get(status, 0) + 1
        # The first IPv4 client of every `every_hour_step`-th hour.
        hour = stamp[:14]
        if IPV4.match(host) and hour not in hour_seen:
            hour_seen.add(hour)
            if int(hour[-2:]) % every_hour_step == 0:
                keep.add(i)
    return [lines[i] for i in sorted(keep)]


def main():
    log_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "..", "shared", "data", "logs")
    jobs = [
        ("apache-combined-elastic-2015-10k.log", "apache-combined-elastic-2015.log", 4, 1000),
        ("nasa-http-common-aug1995-20k.log", "nasa-http-common-aug1995.log", 1, 10),
    ]
    for source, target, every_hour_step, head_limit in jobs:
        with open(os.path.join(log_dir, source), "rb") as f:
            lines = f.read().split(b"\n")[:-1]
        kept = excerpt(lines, every_hour_step, head_limit)
        with open(os.path.join(HERE, target), "wb") as f:
            f.write(b"".join(line + b"\n" for line in kept))
        print(f"{target}: {len(kept)} of {len(lines)} lines")


if __name__ == "__main__":
    main()
