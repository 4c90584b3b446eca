#!/usr/bin/env python3
"""Writes the small track files the track tests read. Independent of the C++
code on purpose: it encodes the file layout from its description.

Layout: "Version:", then int32 version 179, capacity, head, m_nPts, m_seqNum
(little-endian), then capacity slots of 56 bytes: 32 bytes of NUL-terminated
coords text, then int32 lat, lon, alt, spd, time, hdg.
"""
import struct

BASE_TIME = 1237811719  # 23 March 2009 12:35:19 UTC


def slot(k):
    """The k-th point ever recorded (k = 0 oldest)."""
    lon, lat, alt = 11.5 + k * 0.001, 48.1 + k * 0.001, 500.0 + k
    text = ("%.5f,%.5f,%.1f\n" % (lon, lat, alt)).encode()
    return struct.pack("<32s6i", text, int(lat * 100000), int(lon * 100000), int(alt * 10),
                       100 + k, BASE_TIME + 10 * k, k)


def track_file(capacity, head, n_pts, seq, slots):
    assert len(slots) == capacity
    return b"Version:" + struct.pack("<5i", 179, capacity, head, n_pts, seq) + b"".join(slots)


empty = b"\0" * 56

# Capacity 10, full and wrapped: 14 points were recorded, the newest (k=13)
# in slot 3, the oldest kept (k=4) in slot 4.
wrapped = [None] * 10
for k in range(4, 14):
    wrapped[k % 10] = slot(k)
with open("cap10_wrapped.trk", "wb") as f:
    f.write(track_file(10, 3, 10, 14, wrapped))

# Capacity 10, four points in slots 0..3, the rest empty.
with open("cap10_partial.trk", "wb") as f:
    f.write(track_file(10, 3, 4, 4, [slot(k) for k in range(4)] + [empty] * 6))
