#!/usr/bin/env python3
# Draws the program's two pictures and writes them into res/: the window
# icon app.ico (one 32 x 32 image, 16 colours, 4-bit bitmap with an AND
# mask) and the About box picture about.bmp (64 x 64, 16 colours, 4 bpp).
# Both are drawn here from rectangles, so the binaries can be rebuilt at
# any time with "python3 tools/mkart.py"; only the standard library is used.
import os
import struct
import sys

# The classic 16-colour palette, as (red, green, blue).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, SILVER, GREY, RED, LIME, YELLOW, WHITE = 0, 7, 8, 9, 10, 11, 15

# Colour index that marks a transparent icon pixel; it is written as black
# with the AND bit set, so the screen shows through.
CLEAR = -1


def MakeCanvas(width, height, colour):
    return [[colour] * width for _ in range(height)]


def FillRect(canvas, x0, y0, x1, y1, colour):
    """Fills the rectangle with corners (x0, y0) and (x1, y1), both inclusive."""
    for y in range(y0, y1 + 1):
        for x in range(x0, x1 + 1):
            canvas[y][x] = colour


def FrameRect(canvas, x0, y0, x1, y1, colour):
    FillRect(canvas, x0, y0, x1, y0, colour)
    FillRect(canvas, x0, y1, x1, y1, colour)
    FillRect(canvas, x0, y0, x0, y1, colour)
    FillRect(canvas, x1, y0, x1, y1, colour)


def DrawDownArrow(canvas, centre, top, shaftBottom, headRows, colour):
    """A down arrow two pixels wide at centre/centre+1, head below the shaft."""
    FillRect(canvas, centre - 1, top, centre + 2, shaftBottom, colour)
    for row in range(headRows):
        half = headRows - row
        FillRect(canvas, centre - half, shaftBottom + 1 + row,
                 centre + 1 + half, shaftBottom + 1 + row, colour)


def DrawIcon():
    """A flash chip with pins on all four sides and a download arrow."""
    canvas = MakeCanvas(32, 32, CLEAR)
    for i in range(4):
        p = 10 + 4 * i
        FillRect(canvas, p, 4, p + 1, 7, SILVER)      # top pins
        FillRect(canvas, p, 24, p + 1, 27, SILVER)    # bottom pins
        FillRect(canvas, 4, p, 7, p + 1, SILVER)      # left pins
        FillRect(canvas, 24, p, 27, p + 1, SILVER)    # right pins
    FillRect(canvas, 8, 8, 23, 23, BLACK)
    FrameRect(canvas, 8, 8, 23, 23, GREY)
    FillRect(canvas, 10, 10, 11, 11, WHITE)           # pin-1 mark
    DrawDownArrow(canvas, 15, 11, 16, 4, YELLOW)
    return canvas


def DrawAbout():
    """A chip sending its contents down an arrow into a set-top box."""
    canvas = MakeCanvas(64, 64, SILVER)
    # Chip at the top.
    for y in (6, 10, 14):
        FillRect(canvas, 20, y, 23, y + 1, GREY)
        FillRect(canvas, 40, y, 43, y + 1, GREY)
    FillRect(canvas, 24, 4, 39, 17, BLACK)
    FillRect(canvas, 26, 6, 27, 7, WHITE)
    # Arrow into the box.
    DrawDownArrow(canvas, 31, 20, 29, 6, YELLOW)
    # The box: body, lit top edge, display, buttons, LED and feet.
    FillRect(canvas, 6, 38, 57, 55, GREY)
    FrameRect(canvas, 6, 38, 57, 55, BLACK)
    FillRect(canvas, 7, 39, 56, 39, WHITE)
    FillRect(canvas, 12, 43, 27, 50, BLACK)
    for x in (14, 20):                                 # two lit digits
        FrameRect(canvas, x, 45, x + 4, 48, LIME)
    FillRect(canvas, 36, 46, 39, 47, SILVER)
    FillRect(canvas, 42, 46, 45, 47, SILVER)
    FillRect(canvas, 50, 46, 51, 47, RED)
    FillRect(canvas, 10, 56, 15, 57, BLACK)
    FillRect(canvas, 48, 56, 53, 57, BLACK)
    return canvas


def PackPalette():
    return b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)


def PackPixels4(canvas):
    """4-bit rows, bottom row first, each padded to a multiple of 4 bytes."""
    rows = []
    for line in reversed(canvas):
        indexes = [BLACK if c == CLEAR else c for c in line]
        data = bytes((indexes[i] << 4) | indexes[i + 1]
                     for i in range(0, len(indexes), 2))
        rows.append(data + b"\0" * (-len(data) % 4))
    return b"".join(rows)


def PackMask(canvas):
    """1-bit AND mask rows, bottom row first: 1 where the icon is clear."""
    rows = []
    for line in reversed(canvas):
        bits = 0
        for c in line:
            bits = (bits << 1) | (1 if c == CLEAR else 0)
        data = bits.to_bytes(len(line) // 8, "big")
        rows.append(data + b"\0" * (-len(data) % 4))
    return b"".join(rows)


def PackInfoHeader(width, height, imageSize):
    return struct.pack("<IiiHHIIiiII", 40, width, height, 1, 4, 0,
                       imageSize, 0, 0, 16, 0)


def BuildIcon(canvas):
    size = len(canvas)
    pixels = PackPixels4(canvas)
    mask = PackMask(canvas)
    image = (PackInfoHeader(size, size * 2, len(pixels) + len(mask))
             + PackPalette() + pixels + mask)
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", size, size, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def BuildBitmap(canvas):
    size = len(canvas)
    pixels = PackPixels4(canvas)
    info = PackInfoHeader(size, size, len(pixels)) + PackPalette()
    offset = 14 + len(info)
    fileHeader = struct.pack("<2sIHHI", b"BM", offset + len(pixels), 0, 0, offset)
    return fileHeader + info + pixels


def WriteFile(path, data):
    with open(path, "wb") as out:
        out.write(data)
    print("wrote %s (%d bytes)" % (path, len(data)))


def Main():
    resDir = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "res")
    resDir = os.path.normpath(resDir)
    if not os.path.isdir(resDir):
        sys.stderr.write("mkart: no res folder at %s\n" % resDir)
        return 1
    WriteFile(os.path.join(resDir, "app.ico"), BuildIcon(DrawIcon()))
    WriteFile(os.path.join(resDir, "about.bmp"), BuildBitmap(DrawAbout()))
    return 0


if __name__ == "__main__":
    sys.exit(Main())
