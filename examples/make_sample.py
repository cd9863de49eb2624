#!/usr/bin/env python3
"""Writes examples/sample.grd: a 12 x 8 grid of a smooth hill on a slope, with
spacing 25 from (1000, 2000), blank threshold -9999 and a few blank nodes."""
import math
import struct

columns, rows = 12, 8
x_min, y_min, spacing, blank = 1000.0, 2000.0, 25.0, -9999.0
nodes = []
for r in range(rows):  # file order: highest y first
    y = y_min + (rows - 1 - r) * spacing
    for c in range(columns):
        x = x_min + c * spacing
        z = 120.0 + 0.05 * (x - x_min) + 35.0 * math.exp(-((x - 1140) ** 2 + (y - 2090) ** 2) / 8000.0)
        if (r, c) in {(0, 0), (0, 1), (1, 0), (5, 7), (7, 11)}:
            z = blank
        nodes.append(z)
values = [z for z in nodes if z > blank]
header = [columns, rows, x_min, y_min, spacing, blank, 0.0, min(values), max(values), 0.0, 0.0, 0.0]
with open("examples/sample.grd", "wb") as out:
    out.write(struct.pack("<12f", *header))
    out.write(struct.pack(f"<{len(nodes)}f", *nodes))
