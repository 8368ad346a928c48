#!/usr/bin/env bash
# Builds tests/fixtures/ntfs_compressed.img.gz and its manifest: a 24 MiB NTFS volume (mkntfs,
# 4 KiB clusters) whose folder "Compressed" carries the compressed attribute, so that ntfs-3g
# mounted with -o compression writes every file made in it as compression units. The files
# are hashed through a fresh mount (the driver decompressing what is on disk), then deleted
# with rm; the manifest lists them as deleted with those hashes.
#
#   notes.txt     text, less than one unit (one partial unit)
#   report.txt    text over three units, the last one partial
#   holes.bin     text with 128 KiB of zeros between: units that hold no clusters at all
#   mixed.bin     random bytes (units stored as they are), then text (compressed units)
#
# Run as root (a loop device and /dev/fuse).  FIXTURE_OUT=/some/dir overrides the output.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${FIXTURE_OUT:-$ROOT/tests/fixtures}"
NAME=ntfs_compressed

die() { echo "make_ntfs_compressed_fixture: $*" >&2; exit 1; }
log() { echo "== $*"; }

[[ $(id -u) -eq 0 ]] || die "must run as root (loop devices, FUSE mounts)"
if ! command -v mkntfs >/dev/null 2>&1 || ! command -v ntfs-3g >/dev/null 2>&1; then
    log "installing: ntfs-3g"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ntfs-3g >/dev/null
fi
for tool in losetup mountpoint python3 sha256sum gzip; do
    command -v "$tool" >/dev/null 2>&1 || die "$tool is missing"
done
[[ -e /dev/fuse ]] || die "/dev/fuse is missing; ntfs-3g cannot mount images"
export LC_ALL=C.UTF-8 TZ=UTC

WORK="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-compressed.XXXXXX")"
IMG="$WORK/$NAME.img"
MNT="$WORK/mnt"
LOOP=""
NTFS_PID=""
cleanup() {
    local rc=$?
    if mountpoint -q "$MNT" 2>/dev/null; then umount "$MNT" 2>/dev/null || umount -l "$MNT" || true; fi
    if [[ -n $NTFS_PID ]]; then wait "$NTFS_PID" 2>/dev/null || true; fi
    if [[ -n $LOOP ]]; then losetup -d "$LOOP" 2>/dev/null || true; fi
    rm -rf "$WORK"
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mount_volume() {
    mkdir -p "$MNT"
    ntfs-3g -o compression,no_detach "$LOOP" "$MNT" >"$WORK/ntfs-3g.log" 2>&1 &
    NTFS_PID=$!
    for _ in $(seq 200); do
        mountpoint -q "$MNT" && return 0
        kill -0 "$NTFS_PID" 2>/dev/null || break
        sleep 0.1
    done
    die "ntfs-3g could not mount $LOOP: $(cat "$WORK/ntfs-3g.log")"
}
umount_volume() {
    sync
    umount "$MNT"
    # The volume is only complete once the driver has flushed and exited.
    wait "$NTFS_PID" || die "ntfs-3g exited with an error: $(cat "$WORK/ntfs-3g.log")"
    NTFS_PID=""
}

truncate -s 24M "$IMG"
LOOP="$(losetup -f --show "$IMG")"
mkntfs -f -F -c 4096 -L Compressed "$LOOP" >/dev/null 2>&1 || die "mkntfs failed"

mount_volume
python3 - "$MNT" <<'PYEOF'
import os
import random
import sys

mnt = sys.argv[1]
folder = os.path.join(mnt, "Compressed")
os.mkdir(folder)
# The folder's Windows attributes, big-endian: 0x800 marks it compressed, and files made in it
# inherit the mark.
os.setxattr(folder, "system.ntfs_attrib_be", (0x800).to_bytes(4, "big"))

rng = random.Random(20240613)
words = ("disk sector cluster volume record folder index deleted recover byte offset size "
         "name boot copy read write report photo letter invoice backup archive music note "
         "draft final review budget travel family garden kitchen river mountain city").split()


def text(n):
    out = bytearray()
    while len(out) < n:
        line = " ".join(rng.choice(words) for _ in range(rng.randint(4, 14)))
        out += (line[0].upper() + line[1:] + ".\n").encode()
    return bytes(out[:n])


files = {
    "notes.txt": text(30000),
    "report.txt": text(200000),
    "holes.bin": text(65536) + bytes(131072) + text(70000),
    "mixed.bin": rng.randbytes(70000) + text(70000),
}
for name, data in files.items():
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
PYEOF
umount_volume

# A fresh mount, so that the hashes are of what the driver reads back from the volume.
mount_volume
python3 - "$MNT/Compressed" "$WORK/$NAME.manifest.tsv" <<'PYEOF'
import hashlib
import os
import sys

folder, manifest = sys.argv[1], sys.argv[2]
rows = ["path\tsize\tsha256\tstate", "Compressed\t-\t-\tlive"]
for name in sorted(os.listdir(folder)):
    path = os.path.join(folder, name)
    attrib = int.from_bytes(os.getxattr(path, "system.ntfs_attrib_be"), "big")
    st = os.stat(path)
    # A file the driver did not compress would test nothing here.
    if not attrib & 0x800 or st.st_blocks * 512 >= st.st_size:
        raise SystemExit("%s is not stored compressed (attributes %#x, %d blocks)"
                         % (name, attrib, st.st_blocks))
    with open(path, "rb") as f:
        data = f.read()
    rows.append("Compressed/%s\t%d\t%s\tdeleted" % (name, len(data), hashlib.sha256(data).hexdigest()))
    print("%-12s %7d bytes in %7d on disk" % (name, len(data), st.st_blocks * 512))
with open(manifest, "w") as f:
    f.write("\n".join(rows) + "\n")
PYEOF
rm "$MNT"/Compressed/*
umount_volume
losetup -d "$LOOP"
LOOP=""

mkdir -p "$OUT"
gzip -9n <"$IMG" >"$OUT/$NAME.img.gz"
cp "$WORK/$NAME.manifest.tsv" "$OUT/"
log "$NAME: $(($(wc -l <"$OUT/$NAME.manifest.tsv") - 2)) deleted compressed files"
