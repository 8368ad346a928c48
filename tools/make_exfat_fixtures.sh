#!/usr/bin/env bash
# Builds the exFAT fixtures in tests/fixtures/ with the real tools: mkfs.exfat (exfatprogs)
# formats, the exfat-fuse driver writes and deletes, sfdisk partitions the card image.
#
#   exfat.img.gz             a bare volume: a nested tree, names in several scripts, deleted
#                            files (contiguous and fragmented), a deleted folder tree, a file
#                            extended past what was written to it
#   exfat.fragmented.txt     deleted files whose clusters were interleaved with another file's
#   exfat_card.img.gz        an SDXC-style card: MBR, one type-0x07 partition at sector 8192
#   exfat_card.p1.manifest.tsv, exfat.manifest.tsv   path, size, sha256, live/deleted
#   exfat_reformat.img.gz    a volume filled (nested folders, a folder of many clusters, some
#                            files deleted), then formatted again over itself with the same
#                            cluster size: only a deep scan finds the old folders
#   exfat_reformat.manifest.tsv   what the volume held before the second format
#
# Run as root (loop devices, FUSE):  sudo tools/make_exfat_fixtures.sh [bare] [card] [reformat]
# (no argument: all three).
# FIXTURE_OUT=/some/dir overrides the output folder.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${FIXTURE_OUT:-$ROOT/tests/fixtures}"

die() { echo "make_exfat_fixtures: $*" >&2; exit 1; }
log() { echo "== $*"; }

[[ $(id -u) -eq 0 ]] || die "must run as root (loop devices, FUSE mounts, apt-get)"

need=()
for pair in mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse sfdisk:fdisk losetup:mount \
            python3:python3 sha256sum:coreutils; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
if ((${#need[@]})); then
    log "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
[[ -e /dev/fuse ]] || die "/dev/fuse is missing; exfat-fuse cannot mount"

export LC_ALL=C.UTF-8 TZ=UTC

WORK="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-exfat.XXXXXX")"
MNT="$WORK/mnt"
LOOP=""
mkdir -p "$MNT"
detach() {
    if mountpoint -q "$MNT"; then umount "$MNT" 2>/dev/null || umount -l "$MNT" || true; fi
    if [[ -n $LOOP ]]; then losetup -d "$LOOP" 2>/dev/null || true; fi
    LOOP=""
}
cleanup() {
    local rc=$?
    detach
    rm -rf "$WORK"
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Content: every 512-byte block is labelled with its file and block number, so a recovered
# file read from the wrong clusters shows at once; the rest of a block repeats a per-file
# pattern. JPEG and PNG files carry their real headers.
GEN="$WORK/gen.py"
cat >"$GEN" <<'PYEOF'
import hashlib, os, random, struct, sys, zlib

def blocks(tag, n):
    r = random.Random("ferrowen-exfat:" + tag)
    ident = hashlib.sha1(tag.encode()).hexdigest()[:12].encode()
    pattern = r.randbytes(61)
    out = bytearray()
    i = 0
    while len(out) < n:
        head = b"FXBLK " + ident + b" %08d\n" % i
        out += head + (pattern * 9)[: 512 - len(head)]
        i += 1
    return bytes(out[:n])

def content(tag, n, kind):
    if kind == "jpeg":
        head = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
        return head + blocks(tag, n - len(head) - 2).replace(b"\xff", b"\xfe") + b"\xff\xd9"
    if kind == "png":
        def chunk(k, d):
            return struct.pack(">I", len(d)) + k + d + struct.pack(">I", zlib.crc32(k + d))
        ihdr = chunk(b"IHDR", struct.pack(">IIBBBBB", 640, 480, 8, 2, 0, 0, 0))
        body = n - 8 - len(ihdr) - 24
        return b"\x89PNG\r\n\x1a\n" + ihdr + chunk(b"IDAT", blocks(tag, body)) + chunk(b"IEND", b"")
    return blocks(tag, n)

# gen DEST TAG: stdin lines "size<TAB>kind<TAB>path" ("dir" kind makes a folder).
def gen(dest, tag):
    for line in sys.stdin.read().splitlines():
        size, kind, path = line.split("\t")
        full = os.path.join(dest, path)
        if kind == "dir":
            os.makedirs(full, exist_ok=True)
            continue
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(content(tag + "/" + path, int(size), kind))

# interleave A B SIZE: two files written a cluster at a time in turn, so each is fragmented.
def interleave(a, b, size, tag):
    data = {a: content(tag + "/a", size, "bin"), b: content(tag + "/b", size, "bin")}
    files = {p: open(p, "wb") for p in data}
    for at in range(0, size, 4096):
        for p, f in files.items():
            f.write(data[p][at:at + 4096])
            f.flush()
            os.fsync(f.fileno())
    for f in files.values():
        f.close()

# manifest MOUNT DELETED_LIST OUT: the tree as mounted, before anything is deleted.
def manifest(mount, deleted_list, out):
    deleted = [l.strip() for l in open(deleted_list, encoding="utf-8") if l.strip()]
    under = lambda p: any(p == d or p.startswith(d + "/") for d in deleted)
    rows = []
    for dirpath, dirnames, filenames in os.walk(mount):
        rel = os.path.relpath(dirpath, mount)
        for d in dirnames:
            p = d if rel == "." else rel + "/" + d
            rows.append((p, "-", "-", "deleted" if under(p) else "live"))
        for fn in filenames:
            p = fn if rel == "." else rel + "/" + fn
            data = open(os.path.join(dirpath, fn), "rb").read()
            rows.append((p, str(len(data)), hashlib.sha256(data).hexdigest(),
                         "deleted" if under(p) else "live"))
    rows.sort(key=lambda r: r[0].encode("utf-8"))
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("path\tsize\tsha256\tstate\n")
        for r in rows:
            f.write("\t".join(r) + "\n")

cmd = sys.argv[1]
if cmd == "gen":
    gen(sys.argv[2], sys.argv[3])
elif cmd == "interleave":
    interleave(sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5])
elif cmd == "manifest":
    manifest(sys.argv[2], sys.argv[3], sys.argv[4])
PYEOF
gen() { python3 "$GEN" "$@"; }

# Attaches bytes [offset, offset + size) of the image and mounts them through exfat-fuse.
attach_and_mount() { # image offset-bytes size-bytes
    LOOP=$(losetup -f --show -o "$2" --sizelimit "$3" "$1")
    mount.exfat-fuse "$LOOP" "$MNT"
}
format() { # image offset-bytes size-bytes label
    LOOP=$(losetup -f --show -o "$2" --sizelimit "$3" "$1")
    mkfs.exfat -c 4K -L "$4" "$LOOP" >/dev/null
    losetup -d "$LOOP"
    LOOP=""
}
# Deletes through the driver, writes the manifest first, then unmounts and publishes.
finish() { # name deleted-list
    gen manifest "$MNT" "$2" "$WORK/$1.manifest.tsv"
    while IFS= read -r path; do
        [[ -n $path ]] && rm -rf -- "$MNT/$path"
    done <"$2"
    sync
    detach
}
publish() { # image name
    gzip -9n -c "$1" >"$OUT/$2.img.gz"
    log "$2: $(du -b "$OUT/$2.img.gz" | cut -f1) bytes compressed"
}

build_bare() {
    local img="$WORK/exfat.img" size=$((16 * 1024 * 1024))
    truncate -s "$size" "$img"
    format "$img" 0 "$size" FERROWEN
    attach_and_mount "$img" 0 "$size"
    gen gen "$MNT" exfat <<'EOF'
0	dir	Photos/2023
20000	jpeg	Photos/Großmutter 3.jpg
9000	png	Photos/Фото семьи.png
7000	jpeg	Photos/照片 夏天.jpg
12345	jpeg	Photos/2023/beach.jpg
5000	jpeg	Photos/2023/sunset at the harbour, long exposure.jpg
3000	bin	Docs/report.pdf
4321	bin	Docs/notes with a name longer than fifteen units.txt
6000	jpeg	Trip/day1.jpg
2500	bin	Trip/Maps/route.txt
70000	bin	Trip/Maps/legend.bin
200000	bin	video.mp4
0	bin	empty.txt
EOF
    touch -d "2021-03-04 05:06:08 UTC" "$MNT/Photos/Großmutter 3.jpg"
    gen interleave "$MNT/Docs/fragmented.bin" "$MNT/Docs/kept.bin" 40960 exfat
    # Written short, then extended: the driver may leave the tail unwritten (valid data
    # length below the size); either way the tail reads as zeros.
    gen gen "$MNT" exfat <<'EOF'
5000	bin	extended.bin
EOF
    truncate -s 40000 "$MNT/extended.bin"
    cat >"$WORK/exfat.deleted" <<'EOF'
Photos/Großmutter 3.jpg
Photos/Фото семьи.png
Photos/2023/beach.jpg
Docs/notes with a name longer than fifteen units.txt
Docs/fragmented.bin
Trip
video.mp4
empty.txt
extended.bin
EOF
    printf 'Docs/fragmented.bin\n' >"$OUT/exfat.fragmented.txt"
    finish exfat "$WORK/exfat.deleted"
    publish "$img" exfat
}

build_card() {
    local img="$WORK/exfat_card.img" size=$((32 * 1024 * 1024)) start=8192
    local part=$((size / 512 - start))
    truncate -s "$size" "$img"
    printf 'label: dos\nlabel-id: 0x46657277\nstart=%d, size=%d, type=7\n' "$start" "$part" |
        sfdisk -q "$img" >/dev/null
    format "$img" $((start * 512)) $((part * 512)) CARD
    attach_and_mount "$img" $((start * 512)) $((part * 512))
    gen gen "$MNT" card <<'EOF'
0	dir	DCIM/100MEDIA
0	dir	MISC
150000	jpeg	DCIM/100MEDIA/IMG_0001.JPG
180000	jpeg	DCIM/100MEDIA/IMG_0002.JPG
90000	jpeg	DCIM/100MEDIA/IMG_0003.JPG
500000	bin	DCIM/100MEDIA/VID_0004.MP4
1000	bin	MISC/AUTPRINT.MRK
EOF
    cat >"$WORK/card.deleted" <<'EOF'
DCIM/100MEDIA/IMG_0001.JPG
DCIM/100MEDIA/IMG_0003.JPG
DCIM/100MEDIA/VID_0004.MP4
EOF
    finish exfat_card.p1 "$WORK/card.deleted"
    publish "$img" exfat_card
}

reformat_contents() {
    printf '0\tdir\tAlbum/2019\n0\tdir\tAlbum/2020\n0\tdir\tMany\n'
    for i in 1 2 3 4 5 6; do
        printf '%d\tjpeg\tAlbum/2019/IMG_200%d.jpg\n' $((9000 + 3100 * i)) "$i"
    done
    for i in 1 2 3 4; do
        printf '%d\tjpeg\tAlbum/2020/holiday picture number 0%d.jpg\n' $((15000 + 7000 * i)) "$i"
    done
    printf '23456\tpng\tAlbum/Обложка альбома.png\n'
    printf '4096\tbin\tDocs/Letters/to the bank.txt\n3333\tbin\tDocs/Letters/月報.txt\n'
    printf '65536\tbin\tDocs/tax return 2020.pdf\n777\tbin\tDocs/tiny.txt\n'
    printf '150000\tbin\tMusic/track one.mp3\n98765\tbin\tMusic/track two.mp3\n'
    printf '5000\tbin\tProjects/src/deep/er/main.c\n2100\tbin\tProjects/src/util.c\n'
    for i in $(seq 1 50); do
        printf '%d\tbin\tMany/entry %02d.dat\n' $((1000 + 53 * i)) "$i"
    done
    printf '12000\tbin\treadme at the root.txt\n'
}

build_reformat() {
    local img="$WORK/exfat_reformat.img" size=$((24 * 1024 * 1024))
    truncate -s "$size" "$img"
    format "$img" 0 "$size" BEFORE
    attach_and_mount "$img" 0 "$size"
    reformat_contents | gen gen "$MNT" reformat
    printf '%s\n' "Album/2019/IMG_2002.jpg" "Album/2020/holiday picture number 03.jpg" \
        "Docs/Letters" "Music/track two.mp3" "Many/entry 07.dat" >"$WORK/reformat.deleted"
    finish exfat_reformat "$WORK/reformat.deleted"
    # The same cluster size as before: the old folders stay where the new layout puts them.
    format "$img" 0 "$size" AFTER
    publish "$img" exfat_reformat
    cp "$WORK/exfat_reformat.manifest.tsv" "$OUT/"
}

mkdir -p "$OUT"
targets=("$@")
((${#targets[@]})) || targets=(bare card reformat)
for target in "${targets[@]}"; do
    case $target in
        bare) build_bare && cp "$WORK/exfat.manifest.tsv" "$OUT/" ;;
        card) build_card && cp "$WORK/exfat_card.p1.manifest.tsv" "$OUT/" ;;
        reformat) build_reformat ;;
        *) die "unknown fixture: $target" ;;
    esac
done
