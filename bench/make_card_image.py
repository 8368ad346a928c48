#!/usr/bin/env python3
"""Builds a memory-card image with no file system: real files written by real encoders, laid
one after another on sector boundaries with random bytes, zeros or nothing between them, the
way a used card looks once its file system is gone. Writes IMAGE and IMAGE.truth.tsv
(name, start sector, size, sha256).

Usage: make_card_image.py WORKDIR IMAGE [--scale N]

Needs: imagemagick, exiftool, cwebp, heif-enc, ffmpeg, flac, oggenc, gzip, bzip2, xz, tar,
sqlite3, zip, 7z. Inputs are seeded, so one machine makes the same image each time; encoders
of other versions may differ, which is why the truth travels with the image.
"""
import hashlib, os, random, subprocess, sys, zipfile

S = 512


def run(*args, **kw):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def ff(*args):
    run("ffmpeg", "-hide_banner", "-loglevel", "error", "-y", *args)


def make_inputs(w, scale):
    os.chdir(w)
    made = []

    def keep(name):
        if os.path.exists(name) and os.path.getsize(name) > 0:
            made.append(name)

    # Pictures of several sizes and encodings.
    for i, (size, extra) in enumerate([
            ("1600x1200", []), ("800x600", ["-interlace", "JPEG"]), ("640x480", ["-colorspace", "Gray"]),
            ("1024x768", ["-define", "jpeg:restart-interval=2"]), ("320x240", ["-sampling-factor", "4:4:4"]),
            ("2048x1536", ["-quality", "95"]), ("1280x960", ["-colorspace", "CMYK"])]):
        name = f"photo{i}.jpg"
        run("convert", "-seed", str(100 + i), "-size", size, "plasma:fractal", *extra, name)
        keep(name)
    run("convert", "-seed", "7", "-size", "160x120", "plasma:fractal", "thumb.jpg")
    for i in range(3):
        name = f"camera{i}.jpg"
        run("convert", "-seed", str(200 + i), "-size", "1920x1080", "plasma:fractal", "-quality", "88", name)
        run("exiftool", "-q", "-overwrite_original", "-Make=Ferrowen", "-Model=Card", "-DateTimeOriginal=2024:06:07 10:00:00",
            "-ThumbnailImage<=thumb.jpg", name)
        keep(name)
    for i, extra in enumerate([[], ["-interlace", "PNG"], ["-colors", "64"], ["-depth", "16"]]):
        name = f"image{i}.png"
        run("convert", "-seed", str(300 + i), "-size", "400x300", "plasma:fractal", *extra, name)
        keep(name)
    run("convert", "-seed", "31", "-size", "300x200", "plasma:fractal", "-colors", "128", "still.gif")
    keep("still.gif")
    run("convert", "-delay", "10", "-size", "120x90", "-seed", "32", "plasma:fractal", "-seed", "33", "plasma:fractal",
        "-seed", "34", "plasma:fractal", "-loop", "0", "anim.gif")
    keep("anim.gif")
    run("convert", "-seed", "35", "-size", "300x200", "plasma:fractal", "BMP3:image24.bmp")
    keep("image24.bmp")
    run("convert", "-seed", "36", "-size", "256x128", "plasma:fractal", "-alpha", "set", "-channel", "A", "-evaluate",
        "set", "60%", "+channel", "-define", "bmp:format=bmp4", "BMP:image32.bmp")
    keep("image32.bmp")
    for i, extra in enumerate([["-compress", "none"], ["-compress", "lzw"], ["-compress", "zip"]]):
        name = f"scan{i}.tif"
        run("convert", "-seed", str(400 + i), "-size", "500x400", "plasma:fractal", *extra, name)
        keep(name)
    run("convert", "-seed", "41", "-size", "400x300", "plasma:fractal", "layer.psd")
    keep("layer.psd")
    run("convert", "-seed", "42", "-size", "600x400", "plasma:fractal", "src.png")
    run("cwebp", "-quiet", "-q", "70", "src.png", "-o", "lossy.webp")
    keep("lossy.webp")
    run("cwebp", "-quiet", "-lossless", "src.png", "-o", "lossless.webp")
    keep("lossless.webp")
    for i in range(2):
        run("convert", "-seed", str(500 + i), "-size", "1024x768", "plasma:fractal", f"h{i}.png")
        try:
            run("heif-enc", "-q", "50", f"h{i}.png", "-o", f"phone{i}.heic")
            keep(f"phone{i}.heic")
        except subprocess.CalledProcessError:
            pass
    # Debian 12's heif-enc aborts on AVIF; ffmpeg's AV1 still picture is the same container.
    ff("-i", "h0.png", "-c:v", "libaom-av1", "-still-picture", "1", "picture.avif")
    keep("picture.avif")

    # Sound.
    secs = str(6 * scale)
    tone = ["-f", "lavfi", "-i", f"sine=frequency=440:sample_rate=44100:duration={secs}"]
    ff(*tone, "-c:a", "libmp3lame", "-b:a", "128k", "-metadata", "title=Card", "song_cbr.mp3"); keep("song_cbr.mp3")
    ff(*tone, "-c:a", "libmp3lame", "-q:a", "4", "song_vbr.mp3"); keep("song_vbr.mp3")
    ff(*tone, "-c:a", "libmp3lame", "-b:a", "96k", "-id3v2_version", "0", "-write_id3v1", "1", "-metadata", "title=V1",
       "song_v1.mp3"); keep("song_v1.mp3")
    ff(*tone, "-c:a", "pcm_s16le", "voice.wav"); keep("voice.wav")
    ff(*tone, "-c:a", "aac", "-b:a", "96k", "voice.m4a"); keep("voice.m4a")
    ff(*tone, "-c:a", "flac", "tone_ff.flac"); keep("tone_ff.flac")
    run("flac", "-s", "-f", "voice.wav", "-o", "tone.flac"); keep("tone.flac")
    run("oggenc", "-Q", "-q", "3", "voice.wav", "-o", "tone.ogg"); keep("tone.ogg")
    ff(*tone, "-c:a", "libopus", "-b:a", "48k", "tone.opus"); keep("tone.opus")
    ff(*tone, "-c:a", "wmav2", "-b:a", "64k", "voice.wma"); keep("voice.wma")

    # Video.
    vsecs = str(4 * scale)
    src = ["-f", "lavfi", "-i", f"testsrc=size=320x240:rate=25:duration={vsecs}", "-f", "lavfi", "-i",
           f"sine=frequency=330:duration={vsecs}"]
    x264 = ["-c:v", "libx264", "-preset", "ultrafast", "-crf", "30", "-pix_fmt", "yuv420p"]
    ff(*src, *x264, "-c:a", "aac", "clip.mp4"); keep("clip.mp4")
    ff(*src, *x264, "-c:a", "aac", "-movflags", "faststart", "clip_fast.mp4"); keep("clip_fast.mp4")
    ff(*src, *x264, "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov", "clip_frag.mp4"); keep("clip_frag.mp4")
    ff(*src, *x264, "-c:a", "aac", "clip.mov"); keep("clip.mov")
    ff(*src, "-c:v", "h263", "-s", "176x144", "-c:a", "aac", "-ar", "8000", "-ac", "1", "clip.3gp"); keep("clip.3gp")
    ff(*src, "-c:v", "mpeg4", "-q:v", "8", "-c:a", "libmp3lame", "clip.avi"); keep("clip.avi")
    ff(*src, "-c:v", "mjpeg", "-q:v", "8", "-an", "motion.avi"); keep("motion.avi")
    ff(*src, "-c:v", "mpeg4", "-q:v", "8", "-c:a", "aac", "clip.mkv"); keep("clip.mkv")
    ff(*src, "-c:v", "libvpx", "-b:v", "300k", "-c:a", "libvorbis", "clip.webm"); keep("clip.webm")
    ff(*src, "-c:v", "flv", "-q:v", "8", "-c:a", "libmp3lame", "-ar", "44100", "clip.flv"); keep("clip.flv")
    ff(*src, "-c:v", "mpeg2video", "-q:v", "8", "-c:a", "mp2", "-f", "vob", "clip.mpg"); keep("clip.mpg")
    ff(*src, "-c:v", "mpeg2video", "-q:v", "8", "-c:a", "mp2", "-f", "mpegts", "clip.ts"); keep("clip.ts")
    ff(*src, "-c:v", "wmv2", "-q:v", "8", "-c:a", "wmav2", "clip.wmv"); keep("clip.wmv")

    # Documents and archives.
    with open("notes.txt", "w") as f:
        rnd = random.Random(5)
        words = ["photo", "card", "holiday", "garden", "river", "music", "letter", "report", "table"]
        for _ in range(4000 * scale):
            f.write(" ".join(rnd.choice(words) for _ in range(12)) + "\n")
    run("gzip", "-9", "-n", "-k", "notes.txt"); keep("notes.txt.gz")
    run("bzip2", "-k", "notes.txt"); keep("notes.txt.bz2")
    run("xz", "-k", "notes.txt"); keep("notes.txt.xz")
    run("tar", "cf", "bundle.tar", "notes.txt", "src.png"); keep("bundle.tar")
    run("tar", "--format=posix", "-cf", "posix.tar", "notes.txt"); keep("posix.tar")
    run("zip", "-q", "-X", "bundle.zip", "notes.txt", "src.png"); keep("bundle.zip")
    run("7z", "a", "-bd", "-bso0", "bundle.7z", "notes.txt"); keep("bundle.7z")
    run("sqlite3", "data.db", "CREATE TABLE t(a, b); WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x+1 FROM c "
        "WHERE x < 3000) INSERT INTO t SELECT x, hex(randomblob(40)) FROM c;"); keep("data.db")
    run("sqlite3", "big.db", "PRAGMA page_size=8192; CREATE TABLE t(a); INSERT INTO t VALUES (zeroblob(50000));")
    keep("big.db")
    for name, part in (("report.docx", "word/document.xml"), ("table.xlsx", "xl/workbook.xml"),
                       ("slides.pptx", "ppt/presentation.xml")):
        with zipfile.ZipFile(name, "w", zipfile.ZIP_DEFLATED) as z:
            z.writestr("[Content_Types].xml", '<?xml version="1.0"?><Types/>')
            z.writestr(part, "<x>" + "Ferrowen " * 500 + "</x>")
        keep(name)
    return made


def corpus_files(w, corpus_img, truth):
    """The documents of the committed carving corpus (doc, xls, ppt, pdf, cab, ttf...)."""
    out = []
    if not (os.path.exists(corpus_img) and os.path.exists(truth)):
        return out
    data = open(corpus_img, "rb").read()
    for line in open(truth):
        if line.startswith("#"):
            continue
        name, ext, code, start, size, *_ = line.split("\t")
        if name.split(".")[-1] in ("doc", "xls", "ppt", "pdf", "cab", "ttf", "ico", "rar"):
            path = os.path.join(w, "corpus_" + name)
            open(path, "wb").write(data[int(start) * S:int(start) * S + int(size)])
            out.append("corpus_" + name)
    return out


def lay_out(w, names, image, seed):
    rng = random.Random(seed)
    order = names * 1
    rng.shuffle(order)
    img = bytearray(S * 64)
    rows = []
    for i, name in enumerate(order):
        data = open(os.path.join(w, name), "rb").read()
        start = len(img) // S
        img += data
        img += bytes(-len(img) % S) if rng.random() < 0.5 else rng.randbytes(-len(img) % S)
        gap = rng.choice(["random", "random", "random", "zeros", "none"])
        if gap == "random":
            img += rng.randbytes(S * rng.randint(1, 64))
        elif gap == "zeros":
            img += bytes(S * rng.randint(1, 16))
        rows.append((name, start, len(data), hashlib.sha256(data).hexdigest()))
    img += rng.randbytes(S * 64)
    open(image, "wb").write(img)
    with open(image + ".truth.tsv", "w") as f:
        f.write("# name\tstart_sector\tsize\tsha256\n")
        for r in rows:
            f.write("\t".join(str(x) for x in r) + "\n")
    return len(img), len(rows)


def main():
    w, image = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    scale = int(sys.argv[4]) if len(sys.argv) > 4 and sys.argv[3] == "--scale" else 1
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    os.makedirs(w, exist_ok=True)
    names = make_inputs(w, scale)
    fixture = os.path.join(repo, "tests/fixtures/carving")
    unpacked = os.path.join(w, "carving.img")
    subprocess.run(f"gzip -dc '{fixture}/carving.img.gz' > '{unpacked}'", shell=True, check=True)
    names += corpus_files(w, unpacked, os.path.join(fixture, "carving.truth.tsv"))
    size, count = lay_out(w, names, image, 20261207)
    print(f"{image}: {count} files, {size / 2**20:.1f} MiB")


if __name__ == "__main__":
    main()
