#!/usr/bin/python3
"""Draws the VeltaAI app icon and splash image.

Writes app.ico (seven 32-bit images: 256 stored as PNG, 128/96/64/32/20/16 as
DIBs) and splash.png (a rounded card with transparent corners and a soft edge)
next to this script. Everything is drawn here; nothing is read from elsewhere
except a system font for the name on the splash.
"""
import io
import os
import struct
import sys

from PIL import Image, ImageChops, ImageDraw, ImageFilter, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
ICON_SIZES = [256, 128, 96, 64, 32, 20, 16]

INDIGO = (79, 70, 229)
CYAN = (6, 182, 212)
NAVY = (15, 23, 42)
VIOLET = (67, 56, 202)

FONTS = [
    "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
    "/usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc",
    "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf",
]


def lerp(a, b, t):
    return tuple(round(x + (y - x) * t) for x, y in zip(a, b))


def diagonal_gradient(size, c0, c1):
    """RGBA image whose colour runs from c0 (top left) to c1 (bottom right)."""
    w, h = size
    img = Image.new("RGBA", size)
    px = img.load()
    span = max(w + h - 2, 1)
    for y in range(h):
        for x in range(w):
            px[x, y] = lerp(c0, c1, (x + y) / span) + (255,)
    return img


def rounded_mask(size, box, radius):
    mask = Image.new("L", size, 0)
    ImageDraw.Draw(mask).rounded_rectangle(box, radius=radius, fill=255)
    return mask


def sparkle(draw, cx, cy, r, fill):
    """Four-pointed star: the 'AI' spark next to the V."""
    k = r * 0.22
    pts = [(cx, cy - r), (cx + k, cy - k), (cx + r, cy), (cx + k, cy + k),
           (cx, cy + r), (cx - k, cy + k), (cx - r, cy), (cx - k, cy - k)]
    draw.polygon(pts, fill=fill)


def draw_logo(n):
    """The app mark at n x n: gradient tile, white V, spark. Drawn at 4x then reduced."""
    s = n * 4
    tile = diagonal_gradient((s, s), INDIGO, CYAN)
    mask = rounded_mask((s, s), (0, 0, s - 1, s - 1), radius=int(s * 0.22))
    mark = Image.new("L", (s, s), 0)
    d = ImageDraw.Draw(mark)
    w = int(s * 0.13)
    top, bottom = s * 0.27, s * 0.76
    left, mid, right = s * 0.24, s * 0.47, s * 0.70
    d.line([(left, top), (mid, bottom)], fill=255, width=w)
    d.line([(mid, bottom), (right, top)], fill=255, width=w)
    for x, y in [(left, top), (mid, bottom), (right, top)]:
        d.ellipse([x - w / 2, y - w / 2, x + w / 2, y + w / 2], fill=255)
    sparkle(d, s * 0.78, s * 0.24, s * 0.12, 255)
    white = Image.new("RGBA", (s, s), (255, 255, 255, 255))
    tile = Image.composite(white, tile, mark)
    tile.putalpha(mask)
    return tile.resize((n, n), Image.LANCZOS)


def dib_entry(img):
    """32-bit BGRA DIB as stored in an icon: doubled height, bottom-up rows, AND mask."""
    w, h = img.size
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    rows = []
    px = img.load()
    for y in range(h - 1, -1, -1):
        row = bytearray()
        for x in range(w):
            r, g, b, a = px[x, y]
            row += bytes((b, g, r, a))
        rows.append(bytes(row))
    stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for y in range(h - 1, -1, -1):
        bits = bytearray(stride)
        for x in range(w):
            if px[x, y][3] == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + b"".join(rows) + bytes(mask)


def write_ico(path, images):
    blobs = []
    for img in images:
        if img.size[0] == 256:
            buf = io.BytesIO()
            img.save(buf, "PNG", optimize=True)
            blobs.append(buf.getvalue())
        else:
            blobs.append(dib_entry(img))
    out = bytearray(struct.pack("<HHH", 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for img, blob in zip(images, blobs):
        w = img.size[0]
        b = 0 if w == 256 else w
        out += struct.pack("<BBBBHHII", b, b, 0, 0, 1, 32, len(blob), offset)
        offset += len(blob)
    for blob in blobs:
        out += blob
    with open(path, "wb") as f:
        f.write(out)


def load_font(size):
    for path in FONTS:
        if os.path.exists(path):
            return ImageFont.truetype(path, size)
    sys.exit("no usable font found (install fonts-dejavu-core)")


def draw_splash(w=600, h=360, margin=20, feather=6):
    """Rounded card on a transparent canvas; the card's edge fades out softly."""
    size = (w, h)
    card_box = (margin, margin, w - margin - 1, h - margin - 1)
    card = Image.new("RGBA", size)
    # A horizontal ramp under a vertical shade, so every spot of the card differs.
    base = Image.linear_gradient("L").rotate(90).resize(size)
    px = card.load()
    bp = base.load()
    for y in range(h):
        shade = y / (h - 1)
        for x in range(w):
            t = 1 - bp[x, y] / 255
            c = lerp(NAVY, VIOLET, t * 0.85)
            c = lerp(c, (0, 0, 0), shade * 0.25)
            px[x, y] = c + (255,)

    d = ImageDraw.Draw(card)
    logo = draw_logo(132)
    card.alpha_composite(logo, (margin + 44, (h - 132) // 2))
    name_font = load_font(72)
    tag_font = load_font(20)
    tx = margin + 44 + 132 + 32
    d.text((tx, h // 2 - 62), "VeltaAI", font=name_font, fill=(255, 255, 255, 255))
    d.text((tx + 4, h // 2 + 30), "Starting\u2026", font=tag_font, fill=(165, 180, 252, 255))
    # Accent bar along the bottom of the card.
    bar = diagonal_gradient((w - 2 * margin - 80, 6), INDIGO, CYAN)
    card.alpha_composite(bar, (margin + 40, h - margin - 34))

    mask = rounded_mask(size, card_box, radius=28)
    soft = mask.filter(ImageFilter.GaussianBlur(feather))
    # Keep the inside fully opaque; only the rim fades.
    alpha = ImageChops.multiply(soft, mask.filter(ImageFilter.MaxFilter(2 * feather + 1)))
    alpha = ImageChops.lighter(alpha, mask.filter(ImageFilter.MinFilter(2 * feather + 1)))
    card.putalpha(alpha)
    # Fully transparent pixels carry no colour.
    px = card.load()
    for y in range(h):
        for x in range(w):
            if px[x, y][3] == 0:
                px[x, y] = (0, 0, 0, 0)
    return card


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else HERE
    big = draw_logo(256)
    images = [big if n == 256 else draw_logo(n) for n in ICON_SIZES]
    write_ico(os.path.join(out, "app.ico"), images)
    big.save(os.path.join(out, "app-256.png"), optimize=True)
    draw_splash().save(os.path.join(out, "splash.png"), optimize=True)


if __name__ == "__main__":
    main()
