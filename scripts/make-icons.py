#!/usr/bin/env python3
"""Draws the program's icons (resources/icons/*.ico) with nothing but the
standard library: shapes rendered at 4x and averaged down for smooth edges,
written as 32-bit ICO images. Run it again after changing a picture; the .ico
files are committed so that a build needs no Python."""
import os
import struct

SS = 4  # supersampling factor


def rounded_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x <= x1 and y0 <= y <= y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def circle(cx, cy, r):
    return lambda x, y: (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x <= x1 and y0 <= y <= y1


def render(size, layers):
    """layers: list of (shape in unit coordinates 0..1, (r, g, b, a))."""
    px = []
    n = size * SS
    for py in range(size):
        row = []
        for pxl in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(SS):
                for sx in range(SS):
                    x = (pxl * SS + sx + 0.5) / n
                    y = (py * SS + sy + 0.5) / n
                    c = (0, 0, 0, 0)
                    for shape, colour in layers:
                        if shape(x, y):
                            a = colour[3] / 255.0
                            c = tuple(colour[i] * a + c[i] * (1 - a) for i in range(3)) + (
                                255 * a + c[3] * (1 - a),)
                    for i in range(4):
                        acc[i] += c[i]
            k = SS * SS
            a = acc[3] / k
            if a > 0:
                # colours were accumulated premultiplied by coverage of the layers
                rgb = [min(255, int(round(acc[i] / k * 255 / a))) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], int(round(a))))
        px.append(row)
    return px


def ico_image(pixels):
    size = len(pixels)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    xor = bytearray()
    for row in reversed(pixels):
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask_row = ((size + 31) // 32) * 4
    and_mask = bytearray()
    for row in reversed(pixels):
        bits = bytearray(mask_row)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        and_mask += bits
    return header + bytes(xor) + bytes(and_mask)


def write_ico(path, images):
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    blobs = []
    for pixels in images:
        blob = ico_image(pixels)
        size = len(pixels)
        out += struct.pack('<BBBBHHII', size % 256, size % 256, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
        blobs.append(blob)
    with open(path, 'wb') as f:
        f.write(out + b''.join(blobs))


BODY = (38, 50, 66, 255)
EDGE = (16, 22, 30, 255)
SCREEN = (0, 101, 156, 255)   # the log's own blue
GLOW = (206, 207, 255, 255)   # the log's text colour
WHITE = (255, 255, 255, 255)


def phone(dim=False, screen=SCREEN):
    body = (96, 100, 108, 255) if dim else BODY
    scr = (150, 156, 166, 255) if dim else screen
    return [
        (rounded_rect(0.22, 0.04, 0.78, 0.96, 0.10), EDGE),
        (rounded_rect(0.26, 0.07, 0.74, 0.93, 0.08), body),
        (rect(0.31, 0.16, 0.69, 0.78), scr),
        (circle(0.50, 0.86, 0.04), (200, 200, 200, 255)),
    ]


def badge(colour, ring=WHITE):
    return [(circle(0.74, 0.74, 0.25), ring), (circle(0.74, 0.74, 0.19), colour)]


def app_icon(size):
    layers = phone()
    # a viewer's screen lines on the phone: the relayed picture
    layers += [(rect(0.36, 0.24, 0.64, 0.30), GLOW), (rect(0.36, 0.36, 0.58, 0.42), GLOW),
               (rect(0.36, 0.48, 0.62, 0.54), GLOW)]
    layers += badge((255, 176, 32, 255))  # the link
    return render(size, layers)


# Every size Windows asks for a small icon from 100 % to 300 % (16 at 96 DPI, 32
# at 192), so the tray and the caption never get a stretched picture; the large
# icons likewise up to 64.
SMALL_SIZES = (16, 20, 24, 32, 40, 48)
LARGE_SIZES = (32, 40, 48, 64)


def state_icon(colour, dim=False, bar=False):
    layers = phone(dim=dim)
    layers += badge(colour)
    if bar:  # the "no entry" bar of a stopped engine
        layers.append((rect(0.62, 0.69, 0.86, 0.79), WHITE))
    return [render(size, layers) for size in SMALL_SIZES]


def main():
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'resources', 'icons')
    os.makedirs(here, exist_ok=True)
    write_ico(os.path.join(here, 'app.ico'), [app_icon(size) for size in SMALL_SIZES + (64,)])
    write_ico(os.path.join(here, 'disconnected.ico'), state_icon((128, 128, 128, 255)))
    write_ico(os.path.join(here, 'noserver.ico'), state_icon((240, 160, 0, 255)))
    write_ico(os.path.join(here, 'noclient.ico'), state_icon((40, 120, 230, 255)))
    write_ico(os.path.join(here, 'connected.ico'), state_icon((30, 170, 60, 255)))
    write_ico(os.path.join(here, 'stopped.ico'), state_icon((200, 40, 40, 255), dim=True, bar=True))
    # About (author) and Version pictures, 32 pixels at 96 DPI
    write_ico(os.path.join(here, 'about.ico'), [render(size, [
        (circle(0.5, 0.34, 0.20), (0, 101, 156, 255)),
        (rounded_rect(0.18, 0.58, 0.82, 1.2, 0.30), (0, 101, 156, 255)),
        (circle(0.5, 0.34, 0.14), (206, 207, 255, 255))]) for size in LARGE_SIZES])
    write_ico(os.path.join(here, 'version.ico'), [render(size, [
        (rounded_rect(0.10, 0.10, 0.90, 0.90, 0.14), (0, 101, 156, 255)),
        (rect(0.24, 0.28, 0.76, 0.36), WHITE), (rect(0.24, 0.46, 0.66, 0.54), WHITE),
        (rect(0.24, 0.64, 0.56, 0.72), WHITE)]) for size in LARGE_SIZES])


if __name__ == '__main__':
    main()
