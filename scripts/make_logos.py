#!/usr/bin/env python3
"""Writes the device icons logo16.gif, logo32.gif and logo48.gif.

Each icon is a GIF89a image with a 256-colour global table: a teal disc with
a white upward arrow on a white ground, edges smoothed by 4x4 supersampling.
Standard library only; the LZW coder is our own.

Usage: make_logos.py [output directory]   (default: etc/ beside this script)
"""

import os
import struct
import sys

SIZES = (16, 32, 48)
SUPERSAMPLE = 4
# Two colour ramps share the table: 0..127 blend white into teal (disc edge),
# 128..255 blend teal into white (arrow edge).
WHITE = (255, 255, 255)
TEAL = (0, 110, 140)


def blend(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def palette():
    colours = [blend(WHITE, TEAL, i / 127) for i in range(128)]
    colours += [blend(TEAL, WHITE, i / 127) for i in range(128)]
    return colours


def inside_arrow(x, y):
    """Unit coordinates (0..1): an upward arrow, head above a shaft."""
    if 0.22 <= y <= 0.50:  # head: a triangle whose tip sits at y = 0.22
        return abs(x - 0.5) <= (y - 0.22) * 0.95
    return 0.50 < y <= 0.78 and abs(x - 0.5) <= 0.09


def inside_disc(x, y):
    return (x - 0.5) ** 2 + (y - 0.5) ** 2 <= 0.47 ** 2


def pixels(size):
    """Palette indices, row by row."""
    n = SUPERSAMPLE
    out = bytearray()
    for row in range(size):
        for col in range(size):
            disc = arrow = 0
            for sy in range(n):
                for sx in range(n):
                    x = (col + (sx + 0.5) / n) / size
                    y = (row + (sy + 0.5) / n) / size
                    if inside_disc(x, y):
                        disc += 1
                        arrow += inside_arrow(x, y)
            samples = n * n
            if arrow:
                out.append(128 + round(127 * arrow / samples))
            else:
                out.append(round(127 * disc / samples))
    return bytes(out)


def lzw_encode(data, min_code_size=8):
    """GIF LZW: variable-width codes, packed least significant bit first."""
    clear = 1 << min_code_size
    end = clear + 1
    bits = bytearray()
    acc = 0
    acc_bits = 0

    def emit(code, width):
        nonlocal acc, acc_bits
        acc |= code << acc_bits
        acc_bits += width
        while acc_bits >= 8:
            bits.append(acc & 0xFF)
            acc >>= 8
            acc_bits -= 8

    def fresh_table():
        return {bytes([i]): i for i in range(clear)}

    table = fresh_table()
    next_code = end + 1
    width = min_code_size + 1
    emit(clear, width)
    prefix = b""
    for byte in data:
        candidate = prefix + bytes([byte])
        if candidate in table:
            prefix = candidate
            continue
        emit(table[prefix], width)
        if next_code < 4096:
            table[candidate] = next_code
            # The decoder widens its codes one code later than we add them.
            if next_code == (1 << width) and width < 12:
                width += 1
            next_code += 1
        else:
            emit(clear, width)
            table = fresh_table()
            next_code = end + 1
            width = min_code_size + 1
        prefix = bytes([byte])
    if prefix:
        emit(table[prefix], width)
    emit(end, width)
    if acc_bits:
        bits.append(acc & 0xFF)
    return bytes(bits)


def sub_blocks(data):
    out = bytearray()
    for i in range(0, len(data), 255):
        chunk = data[i:i + 255]
        out.append(len(chunk))
        out += chunk
    out.append(0)
    return bytes(out)


def gif(size):
    out = bytearray(b"GIF89a")
    # Global colour table present, 8 bits of colour resolution, 256 entries.
    out += struct.pack("<HHBBB", size, size, 0xF7, 0, 0)
    for colour in palette():
        out += bytes(colour)
    out += b"\x2c" + struct.pack("<HHHHB", 0, 0, size, size, 0)
    out.append(8)
    out += sub_blocks(lzw_encode(pixels(size)))
    out += b"\x3b"
    return bytes(out)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "etc")
    for size in SIZES:
        with open(os.path.join(target, f"logo{size}.gif"), "wb") as f:
            f.write(gif(size))


if __name__ == "__main__":
    main()
