#!/usr/bin/env bash
# Makes the second carving fixture: small files in the formats of today's cameras, phones and
# players, written by real encoders (ImageMagick, exiftool, cwebp, heif-enc, ffmpeg, flac,
# oggenc, bzip2, xz, tar), placed on sector boundaries with random bytes, zeros or nothing
# between them, and the ground truth of where each one lies.
#
# Output (committed): tests/fixtures/carving/modern.img.gz and modern.truth.tsv, with the
# columns of carving.truth.tsv (name, extension, code, first sector, size, sha256, exact).
# Needs: imagemagick libimage-exiftool-perl webp libheif-examples ffmpeg flac vorbis-tools.
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/fixtures/carving
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
ff() { ffmpeg -hide_banner -loglevel error -y -bitexact "$@"; }
tone=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=1")

convert -seed 1 -size 96x64 plasma:fractal -quality 70 plain.jpg
exiftool -q -overwrite_original -JFIF:all= plain.jpg          # no JFIF or Exif segment
convert -seed 2 -size 120x90 plasma:fractal -interlace JPEG -quality 70 progressive.jpg
convert -seed 3 -size 64x48 plasma:fractal -alpha set -channel A -evaluate set 50% +channel \
  -define bmp:format=bmp4 BMP:alpha32.bmp
convert -seed 4 -size 96x64 plasma:fractal src.png
cwebp -quiet -q 60 src.png -o lossy.webp
cwebp -quiet -lossless src.png -o lossless.webp
heif-enc -q 40 src.png -o phone.heic >/dev/null
ff -i src.png -c:v libaom-av1 -still-picture 1 picture.avif
ff "${tone[@]}" -c:a aac -b:a 24k voice.m4a
ff "${tone[@]}" -c:a libmp3lame -b:a 32k -id3v2_version 0 -write_id3v1 1 -metadata title=V1 v1only.mp3
ff "${tone[@]}" -c:a pcm_s16le tone.wav
flac -s -f tone.wav -o tone.flac
oggenc -Q -q 1 tone.wav -o tone.ogg
ff "${tone[@]}" -c:a libopus -b:a 16k tone.opus
for i in $(seq 1 300); do echo "line $i of the modern carving fixture"; done > notes.txt
bzip2 -9 -k notes.txt
xz -k notes.txt
TZ=UTC touch -d 2020-01-01 notes.txt src.png
tar --owner=0 --group=0 --numeric-owner -cf bundle.tar notes.txt src.png

python3 - "$OLDPWD/$out" <<'PY'
import hashlib, random, sys
out, S = sys.argv[1], 512
# name, carved extension, code, exact
files = [
    ("plain.jpg", "jpg", 10, 1), ("lossy.webp", "webp", 50, 1), ("voice.m4a", "m4a", 53, 1),
    ("progressive.jpg", "jpg", 10, 1), ("tone.flac", "flac", 55, 1), ("phone.heic", "heic", 51, 1),
    ("alpha32.bmp", "bmp", 29, 1), ("tone.ogg", "ogg", 56, 1), ("notes.txt.bz2", "bz2", 57, 1),
    ("picture.avif", "avif", 52, 1), ("v1only.mp3", "mp3", 12, 1), ("lossless.webp", "webp", 50, 1),
    ("notes.txt.xz", "xz", 58, 1), ("tone.opus", "ogg", 56, 1), ("bundle.tar", "tar", 59, 1),
]
rng = random.Random(20261207)
image = bytearray(S * 8)
rows = []
for i, (name, ext, code, exact) in enumerate(files):
    data = open(name, "rb").read()
    start = len(image) // S
    image += data
    # The last sector's slack and the gap: random, zeros, or the next file at once.
    kind = i % 3
    slack = -len(image) % S
    image += rng.randbytes(slack) if kind == 0 else bytes(slack)
    if kind == 0:
        image += rng.randbytes(S * rng.randint(1, 4))
    elif kind == 1:
        image += bytes(S * rng.randint(1, 4))
    rows.append((name, ext, code, start, len(data), hashlib.sha256(data).hexdigest(), exact))
image += rng.randbytes(S * 8)
open(f"{out}/modern.img", "wb").write(image)
with open(f"{out}/modern.truth.tsv", "w") as f:
    f.write("# name\text\tcode\tstart_sector\tsize\tsha256\texact\n")
    for r in rows:
        f.write("\t".join(str(x) for x in r) + "\n")
PY
cd "$OLDPWD"
gzip -9 -n -f "$out/modern.img"
ls -l "$out"
