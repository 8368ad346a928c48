#!/usr/bin/env bash
# Builds the small disk images the whole-scan fuzz target mutates, with the real file-system
# tools, into tests/fuzz/templates/ (gzip -9n):
#   ntfs_small.img.gz   2 MiB NTFS volume, 512-byte clusters: a folder tree, resident and
#                       non-resident files, a deleted folder tree and deleted files
#   mbr_fat16.img.gz    3 MiB disk: an MBR with one FAT16 partition (512-byte clusters) at
#                       sector 128, with folders and deleted files
# The FAT12 template is the fixture tests/fixtures/fat12.img.gz itself.
#
# Run as root (ntfs-3g needs /dev/fuse):  sudo tools/make_fuzz_templates.sh
# TEMPLATE_OUT=/some/dir writes elsewhere. The images carry the time they were made, so a
# rebuild changes their bytes: remake the seeds that point into them afterwards
# (tools/make_fuzz_seeds.sh).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${TEMPLATE_OUT:-$ROOT/tests/fuzz/templates}"

die() { echo "make_fuzz_templates: $*" >&2; exit 1; }

[[ $(id -u) -eq 0 ]] || die "must run as root (FUSE mount, apt-get)"
need=()
for pair in mkntfs:ntfs-3g ntfs-3g:ntfs-3g mkfs.fat:dosfstools mcopy:mtools sfdisk:fdisk \
            python3:python3 mountpoint:util-linux; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
if ((${#need[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
[[ -e /dev/fuse ]] || die "/dev/fuse is missing; ntfs-3g cannot mount images"
export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1

WORK="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-templates.XXXXXX")"
MNT="$WORK/mnt"
NTFS_PID=""
cleanup() {
    if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" || umount -l "$MNT" || true; fi
    if [[ -n $NTFS_PID ]]; then kill "$NTFS_PID" 2>/dev/null || true; wait "$NTFS_PID" || true; fi
    rm -rf "$WORK"
}
trap cleanup EXIT

# Deterministic file content: text, labelled blocks and JPEG/PNG/PDF headers, so that the
# carving engine finds something in the freed clusters too.
# usage: content KIND SIZE TAG > file
content() {
    python3 - "$@" <<'PYEOF'
import hashlib, random, sys
kind, size, tag = sys.argv[1], int(sys.argv[2]), sys.argv[3]
r = random.Random("ferrowen-fuzz-template:" + tag)
def blocks(n):
    ident = hashlib.sha1(tag.encode()).hexdigest()[:12].encode()
    pattern = bytes(r.randrange(1, 255) for _ in range(61))
    out, i = bytearray(), 0
    while len(out) < n:
        head = b"FXBLK " + ident + b" %08d\n" % i
        out += head + (pattern * 9)[: 512 - len(head)]
        i += 1
    return bytes(out[:n])
def text(n):
    words = "disk file sector folder photo letter budget travel garden river".split()
    out = bytearray()
    while len(out) < n:
        out += (" ".join(r.choice(words) for _ in range(8)) + ".\n").encode()
    return bytes(out[:n])
if kind == "text":
    data = text(size)
elif kind == "jpeg":
    head = b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    data = head + blocks(size - len(head) - 2).replace(b"\xff", b"\xfe") + b"\xff\xd9"
elif kind == "png":
    data = b"\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR" + blocks(size - 16)
elif kind == "pdf":
    data = b"%PDF-1.4\n" + text(size - 16) + b"\n%%EOF\n"
else:
    data = blocks(size)
sys.stdout.buffer.write(data)
PYEOF
}

# The tree both templates get, as "kind size path" lines; folders end in '/'.
TREE='dir 0 Docs/
dir 0 Docs/Letters/
dir 0 Photos/
dir 0 Photos/2020/
dir 0 Temp/
dir 0 Temp/cache/
text 300 readme.txt
text 2600 Docs/notes.txt
pdf 9000 Docs/report.pdf
text 1800 Docs/Letters/dear anna.txt
text 700 Docs/Letters/old letter.txt
jpeg 14000 Photos/2020/beach.jpg
jpeg 21000 Photos/2020/snow.jpg
png 6000 Photos/logo.png
blocks 5000 Temp/session.bin
text 400 Temp/cache/a.txt
jpeg 8000 Temp/cache/thumb.jpg'
# Deleted after writing: a whole tree and single files.
DELETE_TREE=Temp
DELETE_FILES='Photos/2020/snow.jpg
Docs/Letters/old letter.txt'

stage_tree() { # folder
    local kind size path
    while read -r kind size path; do
        if [[ $kind == dir ]]; then mkdir -p "$1/$path"; continue; fi
        content "$kind" "$size" "$path" >"$1/$path"
    done <<<"$TREE"
}

build_ntfs() {
    local img=$WORK/ntfs_small.img
    truncate -s 2M "$img"
    mkntfs -F -Q -q -c 512 -s 512 -L FuzzNtfs "$img" >/dev/null 2>&1 || die "mkntfs failed"
    mkdir -p "$MNT"
    ntfs-3g -o no_detach "$img" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
    NTFS_PID=$!
    for _ in $(seq 100); do mountpoint -q "$MNT" && break; sleep 0.1; done
    mountpoint -q "$MNT" || die "ntfs-3g could not mount: $(cat "$WORK/ntfs-3g.log")"
    stage_tree "$MNT"
    sync
    rm -rf "${MNT:?}/$DELETE_TREE"
    while read -r p; do rm -f "$MNT/$p"; done <<<"$DELETE_FILES"
    sync
    umount "$MNT"
    wait "$NTFS_PID" || die "ntfs-3g exited with an error"
    NTFS_PID=""
    gzip -9n -c "$img" >"$OUT/ntfs_small.img.gz"
}

build_mbr_fat16() {
    local disk=$WORK/mbr_fat16.img start=128 sectors=6016
    local vol="$disk@@$((start * 512))"
    truncate -s 3M "$disk"
    echo "start=$start, size=$sectors, type=6" | sfdisk -q "$disk" >/dev/null
    mkfs.fat -F 16 -s 1 -h "$start" -i 46555A31 -n FUZZ16 --offset "$start" "$disk" \
        $((sectors / 2)) >/dev/null || die "mkfs.fat failed"
    local stage=$WORK/stage kind size path
    mkdir -p "$stage"
    stage_tree "$stage"
    while read -r kind size path; do
        if [[ $kind == dir ]]; then mmd -i "$vol" "::/${path%/}"; continue; fi
        mcopy -i "$vol" "$stage/$path" "::/$path"
    done <<<"$TREE"
    mdeltree -i "$vol" "::/$DELETE_TREE"
    while read -r p; do mdel -i "$vol" "::/$p"; done <<<"$DELETE_FILES"
    gzip -9n -c "$disk" >"$OUT/mbr_fat16.img.gz"
}

mkdir -p "$OUT"
build_ntfs
build_mbr_fat16
ls -l "$OUT"
