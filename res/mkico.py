#!/usr/bin/env python3
"""Turns one icon's SVG source into a Windows .ico with 16, 20, 32 and 48 pixel pictures.

    mkico.py SOURCE.svg OUT.ico [SIZE ...]

rsvg-convert draws each size; the pictures go into the .ico as 32-bit BMP entries with
straight alpha and a matching AND mask. BMP rather than PNG entries: every Windows and
Wine version reads them, and the mask keeps old-style drawing (image lists without alpha)
transparent where the picture is. Only the standard library: the PNG that rsvg-convert
writes (8-bit RGBA, not interlaced) is decoded here.
"""
import struct
import subprocess
import sys
import zlib

DEFAULT_SIZES = (16, 20, 32, 48)


def render_png(svg, size):
    return subprocess.run(
        ["rsvg-convert", "--width", str(size), "--height", str(size), "--format", "png", svg],
        check=True, stdout=subprocess.PIPE).stdout


def paeth(a, b, c):
    p = a + b - c
    pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
    if pa <= pb and pa <= pc:
        return a
    return b if pb <= pc else c


def decode_png(data):
    """Rows of (r, g, b, a) tuples, top row first."""
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError("not a PNG")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    width, height, depth, colour, _, _, interlace = header
    channels = {6: 4, 2: 3}.get(colour)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"unsupported PNG: depth {depth}, colour type {colour}")
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev, off = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[off], bytearray(raw[off + 1:off + 1 + stride])
        off += 1 + stride
        for i in range(stride):
            left = line[i - channels] if i >= channels else 0
            up = prev[i]
            upleft = prev[i - channels] if i >= channels else 0
            pred = (0, left, up, (left + up) // 2, paeth(left, up, upleft))[kind]
            line[i] = (line[i] + pred) & 0xFF
        prev = line
        if channels == 4:
            rows.append([tuple(line[i:i + 4]) for i in range(0, stride, 4)])
        else:
            rows.append([tuple(line[i:i + 3]) + (255,) for i in range(0, stride, 3)])
    return width, height, rows


def bmp_entry(width, height, rows):
    """An icon image: BITMAPINFOHEADER (height doubled for the mask), BGRA rows bottom-up,
    then the 1-bit AND mask (set = transparent), rows padded to 32 bits."""
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = bytearray()
    for row in reversed(rows):
        for r, g, b, a in row:
            pixels += bytes((b, g, r, a))
    mask_stride = ((width + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        line = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                line[x // 8] |= 0x80 >> (x % 8)
        mask += line
    return header + bytes(pixels) + bytes(mask)


def build_ico(images):
    """images: (width, height, entry bytes) in the order they go into the directory."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    body = b""
    for width, height, entry in images:
        out += struct.pack("<BBBBHHII", width % 256, height % 256, 0, 0, 1, 32, len(entry),
                           offset + len(body))
        body += entry
    return out + body


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    svg, ico = argv[1], argv[2]
    sizes = [int(s) for s in argv[3:]] or list(DEFAULT_SIZES)
    images = []
    for size in sizes:
        width, height, rows = decode_png(render_png(svg, size))
        if (width, height) != (size, size):
            raise ValueError(f"{svg}: rendered {width}x{height}, wanted {size}x{size}")
        images.append((width, height, bmp_entry(width, height, rows)))
    with open(ico, "wb") as f:
        f.write(build_ico(images))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
