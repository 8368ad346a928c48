#!/usr/bin/env bash
# Makes the carving fixture: small files written by real encoders (ImageMagick, ffmpeg,
# LibreOffice, zip, 7z, gzip, gcab, sqlite3, a subset of a Debian font), placed at
# sector-aligned offsets of a raw image with gaps of zero and of random bytes, and the
# ground truth of where each one lies.
#
# Output (committed): tests/fixtures/carving/carving.img.gz and carving.truth.tsv with the
# columns name, extension, expected type code, first sector, size, sha256, exact (1 when its
# length is knowable from an end marker or size field, 0 for streams that end where the
# next file begins).
#
# Needs: imagemagick ffmpeg libreoffice-{writer,calc,impress}-nogui p7zip-full zip gzip gcab
# sqlite3 libimage-exiftool-perl python3-fonttools fonts-dejavu-core. Deterministic inputs;
# encoders may still differ between versions, so the truth is rewritten with the image.
set -euo pipefail
cd "$(dirname "$0")/.."
out=tests/fixtures/carving
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

ff() { ffmpeg -hide_banner -loglevel error -y -bitexact "$@"; }
video_src=(-f lavfi -i "testsrc=size=96x64:rate=10:duration=1")
audio_src=(-f lavfi -i "sine=frequency=440:sample_rate=8000:duration=1")

# Pictures.
convert -seed 7 -size 160x120 plasma:fractal -quality 80 photo_jfif.jpg
convert -seed 8 -size 96x72 plasma:fractal thumb.jpg
convert -seed 9 -size 200x150 plasma:fractal -quality 80 exif_src.jpg
exiftool -q -overwrite_original -JFIF:all= -Make=Ferrowen -Model=Corpus \
  "-ThumbnailImage<=thumb.jpg" exif_src.jpg
mv exif_src.jpg photo_exif.jpg
convert -seed 10 -size 64x48 plasma:fractal -depth 8 image.png
convert -seed 11 -size 64x48 plasma:fractal -colors 32 image.gif
convert -seed 12 -size 40x30 plasma:fractal BMP3:image.bmp
convert -seed 13 -size 48x32 plasma:fractal -compress none image.tif
convert -seed 14 -size 48x32 plasma:fractal image.psd
convert -seed 15 -size 32x32 plasma:fractal -define icon:auto-resize=16,32 image.ico

# Sound and video.
ff "${audio_src[@]}" -c:a libmp3lame -b:a 32k -write_id3v1 1 -metadata title=Corpus sound.mp3
ff "${audio_src[@]}" -c:a pcm_u8 sound.wav
ff "${audio_src[@]}" -c:a wmav2 -b:a 32k sound.wma
ff "${video_src[@]}" -c:v mjpeg -q:v 10 clip.avi
ff "${video_src[@]}" -c:v libx264 -preset ultrafast -crf 40 -pix_fmt yuv420p clip.mp4
ff "${video_src[@]}" -c:v libx264 -preset ultrafast -crf 40 -pix_fmt yuv420p clip.mov
ff "${video_src[@]}" -c:v mpeg4 -q:v 20 clip.mkv
ff "${video_src[@]}" -c:v flv -q:v 20 clip.flv
ff "${video_src[@]}" -c:v mpeg2video -q:v 20 -f vob clip.mpg
ff "${video_src[@]}" -c:v mpeg2video -q:v 20 -f mpegts clip.ts
ff "${video_src[@]}" -c:v wmv2 -q:v 20 clip.wmv

# Documents.
printf 'Ferrowen carving corpus\nA line of text for the word processor.\n' > letter.txt
printf 'name,count\nalpha,1\nbeta,2\ngamma,3\n' > sheet.csv
cat > slide.fodp <<'XML'
<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.2"
 office:mimetype="application/vnd.oasis.opendocument.presentation">
<office:body><office:presentation><draw:page draw:name="p1"><draw:frame svg:x="2cm"
 svg:y="2cm" svg:width="10cm" svg:height="3cm"><draw:text-box><text:p>Ferrowen slide</text:p>
</draw:text-box></draw:frame></draw:page></office:presentation></office:body></office:document>
XML
lo() { soffice --headless --norestore --convert-to "$1" --outdir . "$2" >/dev/null 2>&1; }
lo doc letter.txt
lo docx letter.txt
lo pdf letter.txt
lo xls sheet.csv
lo xlsx sheet.csv
lo ppt slide.fodp
lo pptx slide.fodp

# Archives and the rest.
TZ=UTC touch -d 2020-01-01 letter.txt sheet.csv
zip -q -X archive.zip letter.txt sheet.csv
zip -q -X -z archive_comment.zip letter.txt <<<'carved comment'
7z a -bd -bso0 -mtm=off -mtc=off -mta=off archive.7z letter.txt sheet.csv
gzip -9 -n -c letter.txt > letter.txt.gz
gcab -c -n archive.cab letter.txt sheet.csv
sqlite3 data.db 'CREATE TABLE t(a, b); INSERT INTO t VALUES (1, "one"), (2, "two");'
/usr/bin/python3 -m fontTools.subset /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf --text="Ferrowen" \
  --output-file=font.ttf --no-hinting 2>/dev/null

# Placement: every file starts on a sector; between files lie zero or random sectors.
python3 - "$OLDPWD/$out" <<'EOF'
import hashlib, os, random, sys
out = sys.argv[1]
S = 512
# name, extension, expected code, exact
files = [
    ("photo_jfif.jpg", "jpg", 10, 1), ("sound.mp3", "mp3", 12, 1), ("image.png", "png", 30, 1),
    ("letter.doc", "doc", 0, 1), ("clip.avi", "avi", 22, 1), ("image.gif", "gif", 31, 1),
    ("letter.docx", "docx", 1, 1), ("sound.wav", "wav", 21, 1), ("image.bmp", "bmp", 29, 1),
    ("clip.mp4", "mp4", 18, 1), ("sheet.xlsx", "xlsx", 4, 1), ("photo_exif.jpg", "jpg", 10, 1),
    ("clip.mkv", "mkv", 19, 1), ("letter.pdf", "pdf", 8, 1), ("image.tif", "tif", 32, 1),
    ("archive.zip", "zip", 35, 1), ("clip.flv", "flv", 27, 1), ("sheet.xls", "xls", 3, 1),
    ("image.ico", "ico", 46, 1), ("clip.mpg", "mpeg", 15, 0), ("archive.7z", "7z", 34, 1),
    ("clip.mov", "mov", 17, 1), ("slide.pptx", "pptx", 6, 1), ("letter.txt.gz", "gz", 36, 1),
    ("image.psd", "psd", 28, 1), ("clip.ts", "ts", 20, 1), ("archive.cab", "cab", 33, 1),
    ("data.db", "db", 39, 1), ("clip.wmv", "wmv", 24, 1), ("slide.ppt", "ppt", 5, 1),
    ("font.ttf", "ttf", 45, 1), ("sound.wma", "wmv", 24, 1), ("archive_comment.zip", "zip", 35, 1),
]
rng = random.Random(20240607)
image = bytearray(S * 16)  # leading zero sectors
rows = []
for i, (name, ext, code, exact) in enumerate(files):
    data = open(name, "rb").read()
    start = len(image) // S
    image += data
    image += bytes(-len(image) % S)  # the file's last sector is padded with zeros
    gap = rng.randint(2, 6)
    if i % 2:
        image += bytes(rng.getrandbits(8) for _ in range(gap * S))
    else:
        image += bytes(gap * S)
    rows.append((name, ext, code, start, len(data), hashlib.sha256(data).hexdigest(), exact))
image += bytes(S * 16)
open(os.path.join(out, "carving.img"), "wb").write(image)
with open(os.path.join(out, "carving.truth.tsv"), "w") as f:
    f.write("# name\text\tcode\tstart_sector\tsize\tsha256\texact\n")
    for r in rows:
        f.write("\t".join(str(x) for x in r) + "\n")
EOF
cd "$OLDPWD"
gzip -9 -n -f "$out/carving.img"
ls -l "$out"
