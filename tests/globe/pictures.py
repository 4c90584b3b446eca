"""PNG pictures for the globe's tests, standard library only: a one-colour
tile for the stand-in tile server, and the share of a screenshot's pixels
that have a given colour (8-bit RGB or RGBA, not interlaced, as Chromium
writes them)."""

import struct
import zlib


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def solid_png(rgb, size=256):
    row = b"\0" + bytes(rgb) * size
    raw = row * size
    return (b"\x89PNG\r\n\x1a\n"
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", size, size, 8, 2, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(raw))
            + _chunk(b"IEND", b""))


def _paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def pixels(png):
    """(width, height, channels, rows of bytes) of a PNG."""
    if png[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    at = 8
    idat = b""
    width = height = channels = 0
    while at < len(png):
        length, kind = struct.unpack(">I4s", png[at:at + 8])
        data = png[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", data)
            if depth != 8 or colour not in (2, 6) or interlace:
                raise ValueError("only 8-bit RGB or RGBA, not interlaced")
            channels = 3 if colour == 2 else 4
        elif kind == b"IDAT":
            idat += data
    raw = zlib.decompress(idat)
    stride = width * channels
    rows = []
    previous = bytearray(stride)
    for y in range(height):
        kind = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for x in range(stride):
            a = line[x - channels] if x >= channels else 0
            b = previous[x]
            c = previous[x - channels] if x >= channels else 0
            if kind == 1:
                line[x] = (line[x] + a) & 255
            elif kind == 2:
                line[x] = (line[x] + b) & 255
            elif kind == 3:
                line[x] = (line[x] + (a + b) // 2) & 255
            elif kind == 4:
                line[x] = (line[x] + _paeth(a, b, c)) & 255
        rows.append(bytes(line))
        previous = line
    return width, height, channels, rows


def share_of_colour(png, rgb, tolerance=40):
    """The share (0 to 1) of the picture's pixels within `tolerance` of `rgb`
    in every channel."""
    width, height, channels, rows = pixels(png)
    hits = 0
    for line in rows:
        for x in range(0, width * channels, channels):
            if (abs(line[x] - rgb[0]) <= tolerance and abs(line[x + 1] - rgb[1]) <= tolerance
                    and abs(line[x + 2] - rgb[2]) <= tolerance):
                hits += 1
    return hits / float(width * height)
