#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus into tests/fuzz/corpus/: each file is one
precision byte followed by a binary grid file (twelve little-endian float32
header words, then the nodes)."""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def grid(precision, header, nodes=(), cut=None):
    data = precision.encode() + struct.pack(f"<{len(header)}f", *header)
    data += struct.pack(f"<{len(nodes)}f", *nodes)
    return data if cut is None else data[:cut]


def words(columns, rows, x=10.0, y=20.0, spacing=5.0, blank=0.0, low=1.0, high=9.0):
    return [columns, rows, x, y, spacing, blank, 0.0, low, high, 0.0, 0.0, 0.0]


SEEDS = {
    "small-default": grid("-", words(3, 2), [1, 2, 3, 4, 5, 6]),
    "blanks-fixed-2": grid("2", words(3, 2, blank=-1), [3.14159, -1, -2, 0.125, math.nan, 7]),
    "specials-general-9": grid("9", words(2, 3, blank=-math.inf),
                               [math.inf, -math.inf, 3.4e38, 1e-45, -0.0, 3.25]),
    "fixed-8-wide": grid("8", words(2, 1, x=-1e30, spacing=1e29), [123456.789, -0.000001]),
    "zero-columns": grid("0", words(0, 3)),
    "zero-rows": grid("5", words(4, 0), [1, 2]),
    "fractional-counts": grid("7", words(2.99, 1.5, spacing=0.1), [1.5, 2.5]),
    "negative-half": grid("1", words(-0.5, 2)),
    "nan-count": grid("3", words(math.nan, 2), [1, 2]),
    "huge-counts": grid("4", words(2e9, 2e9), [1]),
    "short-grid": grid("6", words(4, 4), [1, 2, 3], cut=1 + 48 + 10),
    "short-header": grid("-", words(1, 1), cut=1 + 30),
    "surplus": grid("x", words(1, 1, spacing=math.nan), [42, 43, 44]),
}

for name, data in SEEDS.items():
    with open(os.path.join(HERE, "corpus", name), "wb") as out:
        out.write(data)
