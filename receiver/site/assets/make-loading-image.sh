#!/usr/bin/env bash
# Makes loading-com.jpg, the waiting image the receiver serves, from loading.html: headless
# chromium renders the page to PNG, a few lines of Python (standard library only) turn the
# PNG into PPM, and cjpeg (libjpeg-turbo-progs) encodes it. The JPEG is committed; the build
# only embeds it, so none of these tools is needed to build the receiver.
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --force-device-scale-factor=1 \
  --window-size=360,120 --screenshot="$work/loading.png" "file://$PWD/loading.html" 2>/dev/null
python3 - "$work/loading.png" "$work/loading.ppm" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n'
pos, idat = 8, b''
while pos < len(data):
    length, kind = struct.unpack('>I4s', data[pos:pos + 8])
    body = data[pos + 8:pos + 8 + length]
    if kind == b'IHDR':
        width, height, depth, colour = struct.unpack('>IIBB', body[:10])
    elif kind == b'IDAT':
        idat += body
    pos += 12 + length
assert depth == 8 and colour in (2, 6), (depth, colour)
bpp = 3 if colour == 2 else 4
raw, stride, out, prev = zlib.decompress(idat), width * bpp, bytearray(), bytearray(width * bpp)
for y in range(height):
    kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
    for i in range(stride):
        a = line[i - bpp] if i >= bpp else 0
        b, c = prev[i], (prev[i - bpp] if i >= bpp else 0)
        if kind == 1: line[i] = (line[i] + a) & 255
        elif kind == 2: line[i] = (line[i] + b) & 255
        elif kind == 3: line[i] = (line[i] + (a + b) // 2) & 255
        elif kind == 4:
            p = a + b - c; pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
    for x in range(width):
        out += line[x * bpp:x * bpp + 3]
    prev = line
open(sys.argv[2], 'wb').write(b'P6 %d %d 255\n' % (width, height) + out)
PY
cjpeg -quality 85 -optimize "$work/loading.ppm" > loading-com.jpg
echo "loading-com.jpg: $(stat -c %s loading-com.jpg) bytes"
