#!/usr/bin/env bash
# Builds the disk-image fixtures in tests/fixtures/ with the real file-system
# tools (mkfs.fat + mtools, mkntfs + ntfs-3g, sfdisk, sgdisk) so the recovery
# engine is tested against bytes it did not write itself.
#
# Every image comes with a ground-truth manifest. Before anything is written
# out, an independent reader (FAT) or a read-only mount plus cluster-bitmap
# bookkeeping (NTFS) proves that the manifest matches the image, so a change
# in tool behaviour breaks this script instead of silently breaking the tests.
#
# Run as root (ntfs-3g needs /dev/fuse):  sudo tools/make_fixtures.sh
# Output directory can be overridden with FIXTURE_OUT=/some/dir;
# FIXTURE_KEEP_WORK=1 keeps the scratch folder for a post-mortem.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
OUT="${FIXTURE_OUT:-$ROOT/tests/fixtures}"

die() { echo "make_fixtures: $*" >&2; exit 1; }
log() { echo "== $*"; }

# ------------------------------------------------------------- NTFS listings
# What ntfs-3g's own tools see on the published NTFS volumes, kept next to the
# images so that tests can compare against them where ntfs-3g is not installed:
#   <name>.undelete.txt     ntfsundelete --scan
#   <name>.ntfscluster.txt  ntfscluster --info (free cluster count)
#   <name>.free.tsv         every run of free clusters in $Bitmap (read with
#                           ntfscat), limited to the volume's clusters
# They only read the archives already in $OUT; the images stay as they are.
# Without building anything:  tools/make_fixtures.sh --ntfs-listings
ntfs_listing() { # raw-volume-image name
    local img=$1 name=$2 clusters
    LC_ALL=C.UTF-8 TZ=UTC ntfsundelete --scan "$img" >"$OUT/$name.undelete.txt" 2>/dev/null ||
        die "ntfsundelete --scan failed on $name"
    ntfscluster --info "$img" >"$OUT/$name.ntfscluster.txt" 2>/dev/null ||
        die "ntfscluster --info failed on $name"
    clusters=$(ntfsinfo -m "$img" 2>/dev/null | awk -F': ' '/Volume Size in Clusters/ {print $2}')
    [[ -n $clusters ]] || die "ntfsinfo -m gave no cluster count for $name"
    ntfscat -i 6 "$img" 2>/dev/null | python3 -c '
import sys
clusters = int(sys.argv[1])
bits = sys.stdin.buffer.read()
print("first_cluster\tclusters")
c = 0
while c < clusters:
    if bits[c // 8] >> (c % 8) & 1:
        c += 1
        continue
    start = c
    while c < clusters and not bits[c // 8] >> (c % 8) & 1:
        c += 1
    print("%d\t%d" % (start, c - start))
' "$clusters" >"$OUT/$name.free.tsv" || die "cannot read \$Bitmap of $name"
    log "$name: $(($(wc -l <"$OUT/$name.free.tsv") - 1)) free runs"
}
publish_ntfs_listings() {
    for tool in ntfsundelete ntfscluster ntfsinfo ntfscat python3; do
        command -v "$tool" >/dev/null 2>&1 || die "$tool is missing (apt-get install ntfs-3g)"
    done
    local tmp start count
    tmp="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-listings.XXXXXX")"
    gzip -dc "$OUT/ntfs.img.gz" >"$tmp/ntfs.img"
    ntfs_listing "$tmp/ntfs.img" ntfs
    start=$(awk -F'\t' '$1 == 2 {print $2}' "$OUT/gpt.partitions.tsv")
    count=$(awk -F'\t' '$1 == 2 {print $3}' "$OUT/gpt.partitions.tsv")
    gzip -dc "$OUT/gpt.img.gz" >"$tmp/gpt.img"
    dd if="$tmp/gpt.img" of="$tmp/gpt.p2.img" bs=512 skip="$start" count="$count" status=none
    ntfs_listing "$tmp/gpt.p2.img" gpt.p2
    rm -rf "$tmp"
}
if [[ ${1:-} == --ntfs-listings ]]; then
    publish_ntfs_listings
    exit 0
fi

[[ $(id -u) -eq 0 ]] || die "must run as root (FUSE mounts, apt-get)"

# ------------------------------------------------------------------ tools
need=()
for pair in mkfs.fat:dosfstools mcopy:mtools mkntfs:ntfs-3g ntfs-3g:ntfs-3g \
            sfdisk:fdisk sgdisk:gdisk sha256sum:coreutils python3:python3 \
            mountpoint:util-linux; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need+=("${pair#*:}")
done
# Frozen clocks make the images byte-for-byte reproducible; without the
# library the images still come out right, only their timestamps vary.
find_faketime() { find /usr/lib -name libfaketime.so.1 -path '*faketime*' 2>/dev/null | head -n1; }
[[ -n $(find_faketime) ]] || need+=(faketime)
if ((${#need[@]})); then
    log "installing: ${need[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
FAKELIB="$(find_faketime)"
[[ -e /dev/fuse ]] || die "/dev/fuse is missing; ntfs-3g cannot mount images"

export LC_ALL=C.UTF-8 TZ=UTC MTOOLS_SKIP_CHECK=1

# Runs a command with the wall clock frozen at $1 (UTC).
when() {
    local t=$1; shift
    if [[ -n $FAKELIB ]]; then
        LD_PRELOAD="$FAKELIB" FAKETIME="$t" FAKETIME_DONT_FAKE_MONOTONIC=1 "$@"
    else
        "$@"
    fi
}

WORK="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-fixtures.XXXXXX")"
NTFS_PID=""
NTFS_MNT=""
cleanup() {
    local rc=$?
    if [[ -n $NTFS_MNT ]] && mountpoint -q "$NTFS_MNT"; then
        umount "$NTFS_MNT" 2>/dev/null || umount -l "$NTFS_MNT" 2>/dev/null || true
    fi
    if [[ -n $NTFS_PID ]]; then
        kill "$NTFS_PID" 2>/dev/null || true
        wait "$NTFS_PID" 2>/dev/null || true
    fi
    if [[ -n ${FIXTURE_KEEP_WORK:-} ]]; then
        echo "work folder kept: $WORK" >&2
    else
        rm -rf "$WORK"
    fi
    exit $rc
}
trap cleanup EXIT
trap 'exit 130' INT TERM

FX="$WORK/fx.py"
cat >"$FX" <<'PYEOF'
import hashlib
import os
import random
import struct
import sys
import zlib

# ---------------------------------------------------------------- content

WORDS = (
    "the of and to in is for on with as by at from disk file sector cluster "
    "table entry record volume folder image data block index root chain free "
    "deleted recover byte offset size name long short boot copy read write "
    "report summer winter photo letter invoice backup archive music note draft "
    "final review budget travel family garden kitchen river mountain city"
).split()


def _rng(tag):
    return random.Random("ferrowen-fixture:" + tag)


def _blocks(tag, n, no_ff=False):
    # Every 512-byte block starts with its own label so a recovered file can be
    # checked block by block (misordered fragments show up at once); the rest
    # of the block repeats a per-file pattern, which keeps the archive small.
    r = _rng(tag + ":blocks")
    ident = hashlib.sha1(tag.encode()).hexdigest()[:12].encode()
    pattern = r.randbytes(61)
    if no_ff:
        pattern = pattern.replace(b"\xff", b"\xfe")
    out = bytearray()
    i = 0
    while len(out) < n:
        head = b"FXBLK " + ident + b" %08d\n" % i
        out += head + (pattern * 9)[: 512 - len(head)]
        i += 1
    return bytes(out[:n])


def _text(tag, n):
    r = _rng(tag + ":text")
    out = bytearray()
    line = 0
    while len(out) < n:
        words = " ".join(r.choice(WORDS) for _ in range(r.randint(5, 12)))
        out += ("%05d %s.\n" % (line, words.capitalize())).encode()
        line += 1
    return bytes(out[:n])


def _rand(tag, n):
    return _rng(tag + ":rand").randbytes(n)


def _jpeg(n, scan):
    head = bytearray(b"\xff\xd8")
    head += b"\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00"
    head += b"\xff\xdb\x00\x43\x00" + bytes((i * 7 + 3) % 97 + 1 for i in range(64))
    head += b"\xff\xc0\x00\x11\x08\x01\xe0\x02\x80\x03\x01\x22\x00\x02\x11\x01\x03\x11\x01"
    head += b"\xff\xda\x00\x0c\x03\x01\x00\x02\x11\x03\x11\x00\x3f\x00"
    body_len = n - len(head) - 2
    if body_len < 0:
        raise SystemExit("jpeg too small: %d" % n)
    # Entropy-coded data never holds a bare 0xFF, so the end marker is unique.
    return bytes(head) + scan(body_len).replace(b"\xff", b"\xfe") + b"\xff\xd9"


def _chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def _png(n, payload):
    ihdr = _chunk(b"IHDR", struct.pack(">IIBBBBB", 640, 480, 8, 2, 0, 0, 0))
    fixed = 8 + len(ihdr) + 12 + 12
    if n < fixed:
        raise SystemExit("png too small: %d" % n)
    return b"\x89PNG\r\n\x1a\n" + ihdr + _chunk(b"IDAT", payload(n - fixed)) + _chunk(b"IEND", b"")


def _mp4(tag, n):
    ftyp = struct.pack(">I", 32) + b"ftypisom" + struct.pack(">I", 0x200) + b"isomiso2avc1mp41"
    mdat_len = n - len(ftyp)
    return ftyp + struct.pack(">I", mdat_len) + b"mdat" + _blocks(tag, mdat_len - 8)


def _zip(tag, n):
    head = (b"PK\x03\x04\x14\x00\x00\x00\x00\x00\x00\x60\xcf\x52" + b"\x00" * 12
            + b"\x08\x00\x00\x00data.bin")
    eocd = b"PK\x05\x06" + b"\x00" * 18
    return head + _blocks(tag, n - len(head) - len(eocd)) + eocd


def _pdf(tag, n):
    head = b"%PDF-1.4\n%\xe2\xe3\xcf\xd3\n"
    tail = b"\n%%EOF\n"
    return head + _text(tag, n - len(head) - len(tail)) + tail


def make_content(tag, size, kind):
    if size == 0:
        return b""
    makers = {
        "text": lambda: _text(tag, size),
        "blocks": lambda: _blocks(tag, size),
        "rand": lambda: _rand(tag, size),
        "jpeg": lambda: _jpeg(size, lambda k: _blocks(tag, k, no_ff=True)),
        "jpegr": lambda: _jpeg(size, lambda k: _rand(tag, k)),
        "png": lambda: _png(size, lambda k: _blocks(tag, k)),
        "pngr": lambda: _png(size, lambda k: _rand(tag, k)),
        "mp4": lambda: _mp4(tag, size),
        "zip": lambda: _zip(tag, size),
        "pdf": lambda: _pdf(tag, size),
    }
    if kind not in makers:
        raise SystemExit("unknown content kind " + kind)
    return makers[kind]()


def cmd_gen(stage, image):
    """stdin: size<TAB>kind<TAB>path; 'dir' makes a folder."""
    for line in sys.stdin.read().splitlines():
        if not line.strip():
            continue
        size, kind, path = line.split("\t")
        full = os.path.join(stage, path)
        if kind == "dir":
            os.makedirs(full, exist_ok=True)
            continue
        data = make_content(image + "/" + path, int(size), kind)
        assert len(data) == int(size), (path, len(data), size)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)


# ---------------------------------------------------------------- manifest

def _read_list(path):
    if not path or not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        return [l.rstrip("\n") for l in f if l.strip()]


def _under(path, roots):
    return any(path == r or path.startswith(r + "/") for r in roots)


def cmd_manifest(stage, deleted_file, overwritten_file, out):
    deleted = _read_list(deleted_file)
    overwritten = set(_read_list(overwritten_file))
    rows = []
    for dirpath, dirnames, filenames in os.walk(stage):
        rel = os.path.relpath(dirpath, stage)
        for d in dirnames:
            p = d if rel == "." else rel + "/" + d
            rows.append((p, "-", "-", "deleted" if _under(p, deleted) else "live"))
        for fn in filenames:
            p = fn if rel == "." else rel + "/" + fn
            with open(os.path.join(dirpath, fn), "rb") as f:
                data = f.read()
            sha = "-" if p in overwritten else hashlib.sha256(data).hexdigest()
            rows.append((p, str(len(data)), sha, "deleted" if _under(p, deleted) else "live"))
    known = {r[0] for r in rows}
    missing = [p for p in list(overwritten) + deleted if p not in known]
    if missing:
        raise SystemExit("manifest: listed but not staged: %r" % missing)
    rows.sort(key=lambda r: r[0].encode("utf-8"))
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("path\tsize\tsha256\tstate\n")
        for r in rows:
            f.write("\t".join(r) + "\n")


def load_manifest(path):
    with open(path, encoding="utf-8") as f:
        lines = f.read().splitlines()
    assert lines[0] == "path\tsize\tsha256\tstate"
    return [tuple(l.split("\t")) for l in lines[1:]]


def cmd_summary(manifest):
    rows = load_manifest(manifest)
    def n(d, s):
        return sum(1 for r in rows if (r[1] == "-") == d and r[3] == s)
    print("files %d live / %d deleted, folders %d live / %d deleted, %d with unknown content"
          % (n(False, "live"), n(False, "deleted"), n(True, "live"), n(True, "deleted"),
             sum(1 for r in rows if r[1] != "-" and r[2] == "-")))


# ---------------------------------------------------------------- FAT reader
# An independent reader, only here to prove the manifest matches the bytes the
# real tools wrote: every live and deleted entry must be found with the right
# name, size and content, and nothing else may be found.

def _sfn_checksum(raw11):
    s = 0
    for b in raw11:
        s = (((s & 1) << 7) + (s >> 1) + b) & 0xFF
    return s


class Fat:
    def __init__(self, img):
        self.f = open(img, "rb")
        bs = self.read(0, 512)
        if bs[510:512] != b"\x55\xaa":
            raise SystemExit("fatcheck: no boot signature")
        self.bps = struct.unpack_from("<H", bs, 11)[0]
        self.spc = bs[13]
        rsv = struct.unpack_from("<H", bs, 14)[0]
        nfats = bs[16]
        rootents = struct.unpack_from("<H", bs, 17)[0]
        tot = struct.unpack_from("<H", bs, 19)[0] or struct.unpack_from("<I", bs, 32)[0]
        fatsz = struct.unpack_from("<H", bs, 22)[0] or struct.unpack_from("<I", bs, 36)[0]
        self.rootsecs = (rootents * 32 + self.bps - 1) // self.bps
        self.rootsec = rsv + nfats * fatsz
        self.datasec = self.rootsec + self.rootsecs
        self.nclusters = (tot - self.datasec) // self.spc
        self.type = 12 if self.nclusters < 4085 else 16 if self.nclusters < 65525 else 32
        self.rootclus = struct.unpack_from("<I", bs, 44)[0] if self.type == 32 else 0
        self.fat = self.read(rsv * self.bps, fatsz * self.bps)
        self.csize = self.spc * self.bps

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def next(self, c):
        if self.type == 12:
            v = struct.unpack_from("<H", self.fat, c + c // 2)[0]
            v = v >> 4 if c & 1 else v & 0xFFF
            return None if v >= 0xFF8 else v
        if self.type == 16:
            v = struct.unpack_from("<H", self.fat, c * 2)[0]
            return None if v >= 0xFFF8 else v
        v = struct.unpack_from("<I", self.fat, c * 4)[0] & 0x0FFFFFFF
        return None if v >= 0x0FFFFFF8 else v

    def chain(self, c):
        out = []
        while c is not None and 2 <= c < self.nclusters + 2:
            out.append(c)
            if len(out) > self.nclusters:
                raise SystemExit("fatcheck: FAT loop")
            c = self.next(c)
        return out

    def cluster(self, c):
        return self.read((self.datasec + (c - 2) * self.spc) * self.bps, self.csize)

    def root_bytes(self):
        if self.type == 32:
            return b"".join(self.cluster(c) for c in self.chain(self.rootclus))
        return self.read(self.rootsec * self.bps, self.rootsecs * self.bps)

    def deleted_dir_bytes(self, start):
        # A freed folder has no chain left: take clusters in order until the
        # end-of-folder marker turns up.
        out = b""
        c = start
        for _ in range(64):
            data = self.cluster(c)
            out += data
            if any(data[i] == 0 for i in range(0, len(data), 32)):
                break
            c += 1
        return out

    @staticmethod
    def parse(data):
        entries = []
        lfn = []
        for i in range(0, len(data), 32):
            e = data[i:i + 32]
            if e[0] == 0:
                break
            attr = e[11]
            deleted = e[0] == 0xE5
            if attr == 0x0F:
                lfn.append(e)
                continue
            raw = bytes(e[0:11])
            name = None
            if lfn:
                # Slots sit last-part-first in front of the short entry; a
                # deleted short entry lost its first byte, so try them all.
                chk = lfn[0][13]
                ok = all(l[13] == chk for l in lfn)
                if ok and not deleted:
                    ok = _sfn_checksum(raw) == chk
                elif ok:
                    ok = any(_sfn_checksum(bytes([b]) + raw[1:]) == chk for b in range(256))
                if ok:
                    parts = b"".join(l[1:11] + l[14:26] + l[28:32] for l in reversed(lfn))
                    name = parts.decode("utf-16-le").split("\x00")[0]
            lfn = []
            if attr & 0x08:
                continue
            if name is None:
                first = b"\xe5" if raw[0] == 0x05 else raw[0:1]
                base = (first + raw[1:8]).decode("cp850").rstrip(" ")
                ext = raw[8:11].decode("cp850").rstrip(" ")
                if e[12] & 0x08:
                    base = base.lower()
                if e[12] & 0x10:
                    ext = ext.lower()
                if deleted:
                    base = "?" + base[1:]
                name = base + ("." + ext if ext else "")
            if name in (".", ".."):
                continue
            start = struct.unpack_from("<H", e, 26)[0] | (struct.unpack_from("<H", e, 20)[0] << 16)
            size = struct.unpack_from("<I", e, 28)[0]
            entries.append((name, bool(attr & 0x10), start, size, deleted))
        return entries

    def walk(self):
        found = []
        frag = {}

        def visit(data, prefix, parent_deleted):
            for name, isdir, start, size, deleted in self.parse(data):
                path = prefix + name
                gone = deleted or parent_deleted
                state = "deleted" if gone else "live"
                if isdir:
                    found.append((path, "-", "-", state))
                    if gone:
                        visit(self.deleted_dir_bytes(start), path + "/", True)
                    else:
                        visit(b"".join(self.cluster(c) for c in self.chain(start)), path + "/", False)
                    continue
                if size == 0:
                    content = b""
                elif gone:
                    need = (size + self.csize - 1) // self.csize
                    content = b"".join(self.cluster(start + k) for k in range(need))[:size]
                else:
                    ch = self.chain(start)
                    frag[path] = 1 + sum(1 for a, b in zip(ch, ch[1:]) if b != a + 1)
                    content = b"".join(self.cluster(c) for c in ch)[:size]
                    if len(content) != size:
                        raise SystemExit("fatcheck: chain too short for " + path)
                found.append((path, str(size), hashlib.sha256(content).hexdigest(), state))

        visit(self.root_bytes(), "", False)
        return found, frag


def _names_match(disk, truth):
    a_parts, b_parts = disk.split("/"), truth.split("/")
    if len(a_parts) != len(b_parts):
        return False
    for a, b in zip(a_parts, b_parts):
        if a.startswith("?"):
            # Deleted 8.3-only name: its first character is gone for good.
            if len(a) != len(b) or a[1:].lower() != b[1:].lower():
                return False
        elif a != b:
            return False
    return True


def cmd_fatcheck(img, manifest, *want_fragmented):
    fat = Fat(img)
    found, frag = fat.walk()
    left = list(found)
    problems = []
    for t in load_manifest(manifest):
        hit = next((d for d in left if _names_match(d[0], t[0]) and d[1] == t[1]
                    and d[3] == t[3] and (t[2] == "-" or d[2] == t[2])), None)
        if hit is None:
            problems.append("not on disk as described: %r" % (t,))
        else:
            left.remove(hit)
    problems += ["on disk but not in manifest: %r" % (d,) for d in left]
    for p in want_fragmented:
        if frag.get(p, 0) < 2:
            problems.append("expected %s to be fragmented, fragments=%s" % (p, frag.get(p)))
    if problems:
        raise SystemExit("fatcheck %s:\n  " % img + "\n  ".join(problems))
    multi = {k: v for k, v in frag.items() if v > 1}
    print("fatcheck %s: FAT%d, %d cluster bytes, %d entries match, fragmented: %s"
          % (os.path.basename(img), fat.type, fat.csize, len(found), multi or "none"))


# ---------------------------------------------------------------- NTFS helpers

def cmd_runs(infofile, out):
    """`ntfsinfo -v` output -> 'lcn length' per run of the unnamed $DATA."""
    in_data = False
    lines = []
    with open(infofile, encoding="utf-8", errors="replace") as f:
        for line in f:
            s = line.strip()
            if s.startswith("Dumping attribute"):
                in_data = "$DATA" in s
            parts = s.split()
            if in_data and len(parts) == 3 and all(p.startswith("0x") for p in parts):
                lines.append("%d %d\n" % (int(parts[1], 16), int(parts[2], 16)))
    with open(out, "w") as f:
        f.writelines(lines)
    return len(lines)


def cmd_fragments(infofile):
    tmp = infofile + ".runs"
    print(cmd_runs(infofile, tmp))


def cmd_ntfsclassify(bitmap, live_inodes, records):
    """Sorts deleted files by what later writes left of them.

    records: path<TAB>inode<TAB>runs-file per deleted file.
    Prints 'gone<TAB>path' when the MFT record now belongs to a live file
    (the metadata itself is lost) and 'overwritten<TAB>path' when a cluster it
    used is allocated again (its content can no longer be trusted)."""
    bits = open(bitmap, "rb").read()
    live = set(l.strip() for l in open(live_inodes) if l.strip())
    for line in open(records, encoding="utf-8"):
        if not line.strip():
            continue
        path, inode, runs = line.rstrip("\n").split("\t")
        if inode in live:
            print("gone\t" + path)
            continue
        used = False
        for r in open(runs):
            if not r.strip():
                continue
            lcn, n = map(int, r.split())
            if any(bits[c // 8] >> (c % 8) & 1 for c in range(lcn, lcn + n)):
                used = True
                break
        if used:
            print("overwritten\t" + path)


def cmd_treecheck(root, manifest):
    """The live entries of a mounted volume must equal the manifest's."""
    truth = {t[0]: t for t in load_manifest(manifest) if t[3] == "live"}
    seen = {}
    for dirpath, dirnames, filenames in os.walk(root):
        rel = os.path.relpath(dirpath, root)
        for d in dirnames:
            p = d if rel == "." else rel + "/" + d
            seen[p] = (p, "-", "-", "live")
        for fn in filenames:
            p = fn if rel == "." else rel + "/" + fn
            with open(os.path.join(dirpath, fn), "rb") as f:
                data = f.read()
            seen[p] = (p, str(len(data)), hashlib.sha256(data).hexdigest(), "live")
    if seen != truth:
        extra = sorted(set(seen.values()) - set(truth.values()))
        missing = sorted(set(truth.values()) - set(seen.values()))
        raise SystemExit("treecheck: mismatch\n  extra %r\n  missing %r" % (extra, missing))
    print("treecheck: %d live entries match" % len(seen))


def cmd_partitions(json_file, out):
    import json
    pt = json.load(open(json_file, encoding="utf-8"))["partitiontable"]
    gpt = pt["label"] == "gpt"
    with open(out, "w", encoding="utf-8", newline="\n") as f:
        f.write("index\tstart_sector\tsector_count\ttype\tname\n")
        for p in pt["partitions"]:
            idx = p["node"].rsplit("img", 1)[1]
            typ = p["type"].upper() if gpt else "0x%02x" % int(p["type"], 16)
            f.write("%s\t%d\t%d\t%s\t%s\n" % (idx, p["start"], p["size"], typ, p.get("name", "") or "-"))


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    {
        "gen": cmd_gen,
        "manifest": cmd_manifest,
        "summary": cmd_summary,
        "fatcheck": cmd_fatcheck,
        "runs": cmd_runs,
        "fragments": cmd_fragments,
        "ntfsclassify": cmd_ntfsclassify,
        "treecheck": cmd_treecheck,
        "partitions": cmd_partitions,
    }[cmd](*args)
PYEOF
fx() { python3 "$FX" "$@"; }

# ------------------------------------------------------------------ per image
# Each image has a stage folder mirroring everything ever written to it, a
# list of deleted paths (a folder covers its whole subtree) and a list of
# deleted files whose clusters were handed out again.
NAME="" STAGE="" DELETED="" OVERWRITTEN="" IMG="" BATCH=""
begin() {
    NAME=$1
    IMG="$WORK/$NAME.img"
    STAGE="$WORK/$NAME/stage"
    DELETED="$WORK/$NAME/deleted.txt"
    OVERWRITTEN="$WORK/$NAME/overwritten.txt"
    rm -rf "$WORK/$NAME" "$IMG"
    mkdir -p "$STAGE"
    : >"$DELETED"; : >"$OVERWRITTEN"
    log "$NAME"
}

# stdin: lines "size kind path" (the path may hold spaces). Generates the
# files into STAGE and leaves them, tab-separated and in order, in BATCH.
stage_batch() {
    local size kind path
    BATCH="$WORK/$NAME/batch.tsv"
    : >"$BATCH"
    while read -r size kind path; do
        [[ -z ${size:-} || $size == \#* ]] && continue
        printf '%s\t%s\t%s\n' "$size" "$kind" "$path" >>"$BATCH"
    done
    fx gen "$STAGE" "$NAME" <"$BATCH"
}

finish() { # writes the manifest from the stage; $1 overrides its name
    local dest=${1:-$NAME}
    fx manifest "$STAGE" "$DELETED" "$OVERWRITTEN" "$WORK/$dest.manifest.tsv"
}

# ---- FAT through mtools
T_WRITE="2021-06-15 12:00:00"
T_DELETE="2022-03-01 09:30:00"
declare -A MADE=()
fat_mkdirs() { # creates every missing parent folder of $1 inside IMG
    local dir=$1 acc=""
    local IFS=/
    for part in $dir; do
        acc=${acc:+$acc/}$part
        if [[ -z ${MADE["$IMG|$acc"]:-} ]]; then
            when "$T_WRITE" mmd -i "$IMG" "::/$acc"
            MADE["$IMG|$acc"]=1
        fi
    done
}
fat_copy_batch() { # copies the files listed in BATCH, in order
    local size kind path
    while IFS=$'\t' read -r size kind path; do
        if [[ $kind == dir ]]; then
            fat_mkdirs "$path"
            continue
        fi
        [[ $path == */* ]] && fat_mkdirs "${path%/*}"
        when "$T_WRITE" mcopy -i "$IMG" "$STAGE/$path" "::/$path" </dev/null
    done <"$BATCH"
}
fat_put() { # stdin as for stage_batch
    stage_batch
    fat_copy_batch
}
fat_del() { for p in "$@"; do when "$T_DELETE" mdel -i "$IMG" "::/$p"; echo "$p" >>"$DELETED"; done; }
fat_deltree() { for p in "$@"; do when "$T_DELETE" mdeltree -i "$IMG" "::/$p"; echo "$p" >>"$DELETED"; done; }
# Deletes a file that the very next write takes over completely (directory
# slots and clusters), so nothing of it is left and it stays out of the
# manifest; fatcheck fails if any trace of it survives.
fat_erase() { for p in "$@"; do when "$T_WRITE" mdel -i "$IMG" "::/$p"; rm -f "$STAGE/$p"; done; }

# ---- NTFS through ntfs-3g
ntfs_mount() { # image mountpoint time [ro]
    local opts=no_detach
    [[ ${4:-} == ro ]] && opts=ro,no_detach
    mkdir -p "$2"
    when "$3" ntfs-3g -o "$opts" "$1" "$2" >"$WORK/ntfs-3g.log" 2>&1 &
    NTFS_PID=$!
    NTFS_MNT=$2
    for _ in $(seq 200); do
        mountpoint -q "$2" && return 0
        kill -0 "$NTFS_PID" 2>/dev/null || break
        sleep 0.1
    done
    die "ntfs-3g could not mount $1 on $2: $(cat "$WORK/ntfs-3g.log")"
}
ntfs_umount() {
    sync
    umount "$NTFS_MNT"
    # The image is only complete once the daemon has flushed and exited.
    wait "$NTFS_PID" || die "ntfs-3g exited with an error: $(cat "$WORK/ntfs-3g.log")"
    NTFS_PID=""
    NTFS_MNT=""
}
ntfs_copy_batch() { # mountpoint
    local size kind path
    while IFS=$'\t' read -r size kind path; do
        if [[ $kind == dir ]]; then mkdir -p "$1/$path"; continue; fi
        mkdir -p "$(dirname "$1/$path")"
        cp "$STAGE/$path" "$1/$path"
    done <"$BATCH"
}
ntfs_put() { # mountpoint; stdin as for stage_batch
    stage_batch
    ntfs_copy_batch "$1"
}
# Remembers MFT record and cluster runs of files about to be deleted, so the
# final image can be checked for what later writes took over.
ntfs_record() { # image inodes-file paths...
    local img=$1 inodes=$2; shift 2
    local p ino n=0
    for p in "$@"; do
        ino=$(awk -F'\t' -v p="$p" '$2 == p {print $1}' "$inodes")
        [[ -n $ino ]] || die "no inode recorded for $p"
        n=$((n + 1))
        ntfsinfo -v -F "/$p" "$img" >"$WORK/$NAME/info.$n" 2>&1 || die "ntfsinfo failed for $p"
        fx runs "$WORK/$NAME/info.$n" "$WORK/$NAME/runs.$n"
        printf '%s\t%s\t%s\n' "$p" "$ino" "$WORK/$NAME/runs.$n" >>"$WORK/$NAME/records.tsv"
    done
}
ntfs_inodes() { # mountpoint -> "inode<TAB>path" for every entry
    (cd "$1" && find . -mindepth 1 -printf '%i\t%P\n')
}
# Marks what later writes destroyed: removes gone entries from the stage and
# lists overwritten ones.
ntfs_classify() { # image mountpoint time
    local img=$1 mnt=$2 t=$3 kind path
    ntfscat -i 6 "$img" >"$WORK/$NAME/bitmap" 2>/dev/null || die "cannot read the cluster bitmap"
    ntfs_mount "$img" "$mnt" "$t" ro
    ntfs_inodes "$mnt" | cut -f1 >"$WORK/$NAME/live-inodes"
    ntfs_umount
    [[ -s $WORK/$NAME/records.tsv ]] || return 0
    fx ntfsclassify "$WORK/$NAME/bitmap" "$WORK/$NAME/live-inodes" "$WORK/$NAME/records.tsv" |
        while IFS=$'\t' read -r kind path; do
            case $kind in
                gone) rm -rf "${STAGE:?}/$path"
                      grep -vxF -- "$path" "$DELETED" >"$DELETED.tmp" || true
                      mv "$DELETED.tmp" "$DELETED" ;;
                overwritten) echo "$path" >>"$OVERWRITTEN" ;;
            esac
        done
}
ntfs_verify() { # image mountpoint time
    ntfs_mount "$1" "$2" "$3" ro
    fx treecheck "$2" "$WORK/$NAME.manifest.tsv"
    ntfs_umount
    # Cross-check the deleted side with ntfs-3g's own undelete tool: every
    # deleted file the manifest vouches for must come back byte for byte.
    local path size sha state ino n=0 got
    mkdir -p "$WORK/$NAME/undelete"
    while IFS=$'\t' read -r path size sha state; do
        [[ $state == deleted && $size != - && $sha != - && $size != 0 ]] || continue
        ino=$(awk -F'\t' -v p="$path" '$2 == p {print $1}' "$WORK/$NAME/inodes.tsv")
        n=$((n + 1))
        ntfsundelete -u -f -i "$ino" -d "$WORK/$NAME/undelete" -o "$n" "$1" >/dev/null 2>&1 ||
            die "ntfsundelete could not bring back $path"
        got=$(head -c "$size" "$WORK/$NAME/undelete/$n" | sha256sum | cut -d' ' -f1)
        [[ $got == "$sha" ]] || die "deleted $path does not hold what the manifest says"
    done < <(tail -n +2 "$WORK/$NAME.manifest.tsv")
    echo "undelete cross-check: $n deleted files match"
}

publish() { # image-file name
    gzip -9n -c "$1" >"$OUT/$2.img.gz"
}

# ================================================================== fat12
build_fat12() {
    begin fat12
    when "$T_WRITE" mkfs.fat -F 12 -C -i 46523132 -n FERROWEN "$IMG" 1440 >/dev/null
    fat_put <<'EOF'
900     text    README.TXT
0       text    empty.dat
1       rand    tiny.bin
5000    text    Documents/Report 2021.txt
300     text    Documents/café.txt
1800    text    Documents/Résumé final.txt
2500    text    Documents/Фото.txt
1200    text    Documents/Letters/Dear Alice.txt
2600    text    Documents/Letters/Draft letter to Bob.txt
700     text    Documents/Letters/Письмо.txt
40000   jpegr   Pictures/照片.jpg
61000   jpeg    Pictures/holiday photo.jpg
8000    png     Pictures/logo.png
12000   pngr    Pictures/Скриншот.png
30000   jpeg    Pictures/Archive/old scan.jpg
9000    pdf     Pictures/Archive/Übersicht.pdf
700     text    Old Stuff/notes.txt
3300    text    Old Stuff/Старые заметки.txt
5000    png     Old Stuff/Deep/image.png
10      rand    Old Stuff/Deep/tiny.bin
0       dir     Empty Folder
3000    rand    scratch.bin
EOF
    fat_del "Documents/Letters/Draft letter to Bob.txt" "Pictures/holiday photo.jpg" \
            "Pictures/Скриншот.png" scratch.bin
    fat_deltree "Old Stuff"
    finish
    fx fatcheck "$IMG" "$WORK/$NAME.manifest.tsv"
    publish "$IMG" fat12
}

# ================================================================== fat16
build_fat16() {
    begin fat16
    when "$T_WRITE" mkfs.fat -F 16 -C -i 46523136 -n FERROWEN16 "$IMG" 16384 >/dev/null
    fat_put < <(
        echo "1500 text README.TXT"
        echo "12000 text Documents/Budget 2021.txt"
        echo "4000 text Documents/café menu.txt"
        echo "2600 text Documents/Договор аренды.txt"
        echo "3100 text Documents/會議記錄.txt"
        echo "45000 pdf Documents/Manual.pdf"
        for i in $(seq -w 1 12); do echo "$((700 + 413 * 10#$i)) text Documents/Notes/note $i.txt"; done
        for i in $(seq -w 1 10); do echo "$((20000 + 3001 * 10#$i)) jpeg Photos/2020/IMG_00$i.JPG"; done
        echo "25000 jpegr Photos/2020/照片 夏天.jpg"
        echo "18000 pngr Photos/Фото семьи.png"
        for i in $(seq -w 1 6); do echo "$((300000 + 17000 * 10#$i)) blocks Music/Album/Track $i.mp3"; done
        echo "1800000 mp4 Videos/birthday.mp4"
        echo "7000 zip Archive/backup 2019.zip"
        echo "1200 text Archive/Old/readme.txt"
        echo "900 text Archive/Old/Très vieux.txt"
        echo "64000 text Archive/Old/Deeper/log.txt"
        echo "5000 png Archive/Old/Deeper/chart.png"
    )
    # Fragmentation: A, B, C in a row, B removed, then D is written. D takes
    # B's directory slots (same slot count) and its clusters, then continues
    # after C.
    fat_put <<'EOF'
65536   blocks  Videos/part A.bin
32768   blocks  Videos/gap filler.bin
65536   blocks  Videos/part C.bin
EOF
    fat_erase "Videos/gap filler.bin"
    fat_put <<'EOF'
200000  mp4     Videos/split clip.mp4
EOF
    fat_del "Documents/Budget 2021.txt" "Documents/Договор аренды.txt" "Photos/2020/IMG_0003.JPG" \
            "Photos/2020/照片 夏天.jpg" "Music/Album/Track 4.mp3" "Documents/Notes/note 07.txt"
    fat_deltree "Archive/Old"
    finish
    fx fatcheck "$IMG" "$WORK/$NAME.manifest.tsv" "Videos/split clip.mp4"
    publish "$IMG" fat16
}

# ================================================================== fat32
build_fat32() {
    begin fat32
    when "$T_WRITE" mkfs.fat -F 32 -s 1 -C -i 46523332 -n FERROWEN32 "$IMG" 40960 >/dev/null
    fat_put < <(
        echo "2000 text README.TXT"
        for m in core ui cli; do
            for f in $(seq -w 1 25); do
                echo "$((150 + 97 * 10#$f)) text Projects/ferro/src/$m/unit_$f.cpp"
            done
            echo "0 dir Projects/ferro/src/$m/tests/data/empty"
            for f in 1 2 3; do echo "$((400 * f)) text Projects/ferro/src/$m/tests/test_$f.cpp"; done
        done
        for f in 1 2 3 4; do echo "$((800 * f)) rand Projects/ferro/build/obj/module_$f.o"; done
        echo "1500 text Projects/ferro/build/build log.txt"
        echo "2200 rand Projects/ferro/build/obj/deep/last.o"
        for y in 2018 2019; do
            for i in $(seq -w 1 20); do echo "$((3000 + 211 * 10#$i)) jpeg Photos/$y/Summer/Beach/IMG_$y$i.JPG"; done
            for i in $(seq -w 1 5); do echo "$((5000 + 999 * 10#$i)) pngr Photos/$y/Winter/Снег $i.png"; done
        done
        echo "7000 jpegr Photos/2019/Winter/雪景.jpg"
        for i in $(seq -w 1 60); do echo "$((500 + 37 * 10#$i)) text Mail/Inbox/message $i.eml"; done
        for i in $(seq -w 1 30); do echo "$((400 + 41 * 10#$i)) text Mail/Sent/réponse $i.eml"; done
        for i in $(seq -w 1 8); do echo "$((60000 + 5000 * 10#$i)) blocks Music/Artist/Album One/$i track.mp3"; done
        echo "1000000 mp4 Videos/clip.mp4"
        echo "3000 pdf Documents/Заявление.pdf"
        echo "2500 text Documents/naïve café notes.txt"
    )
    fat_del "Projects/ferro/src/core/unit_05.cpp" "Projects/ferro/src/ui/tests/test_2.cpp" \
            "Photos/2019/Summer/Beach/IMG_201907.JPG" "Photos/2019/Winter/雪景.jpg" \
            "Mail/Inbox/message 13.eml" "Mail/Sent/réponse 29.eml" "Music/Artist/Album One/3 track.mp3" \
            "Documents/Заявление.pdf"
    fat_deltree "Projects/ferro/build"
    finish
    fx fatcheck "$IMG" "$WORK/$NAME.manifest.tsv"
    publish "$IMG" fat32
}

# ================================================================== ntfs
T_NTFS1="2021-09-20 08:15:00"
T_NTFS2="2021-11-02 17:40:00"
T_NTFS3="2022-02-14 10:05:00"
# Builds an NTFS volume in $IMG: content from stdin (as for stage_batch), then the
# given paths deleted. With fill=1 the free space is filled first and every
# other filler freed, so the next large file has to be split across gaps.
ntfs_build() { # size-MiB label hidden-sectors fill big-file-line delete...
    local mib=$1 label=$2 hidden=$3 fill=$4 big=$5; shift 5
    local mnt="$WORK/$NAME/mnt"
    truncate -s "${mib}M" "$IMG"
    when "$T_NTFS1" mkntfs -F -Q -L "$label" -p "$hidden" -H 255 -S 63 "$IMG" >/dev/null 2>&1 ||
        die "mkntfs failed"
    ntfs_mount "$IMG" "$mnt" "$T_NTFS1"
    ntfs_put "$mnt"
    local fillers=()
    if ((fill)); then
        local avail n i
        avail=$(df -B1 --output=avail "$mnt" | tail -n1)
        # Leave some room for the MFT and index growth.
        n=$(((avail - 512 * 1024) / (256 * 1024)))
        ((n >= 6)) || die "not enough room for fillers"
        for i in $(seq -w 1 "$n"); do echo "262144 blocks Filler/fill_$i.bin"; done | ntfs_put "$mnt"
    fi
    ntfs_inodes "$mnt" >"$WORK/$NAME/inodes.tsv"
    # Everything that gets deleted later, folders expanded to their files.
    local targets=() p q
    for p in "${fillers[@]}" "$@"; do
        if [[ -d $mnt/$p ]]; then
            while IFS= read -r -d '' q; do targets+=("$p${q:+/$q}"); done \
                < <(cd "$mnt/$p" && find . -printf '%P\0')
        else
            targets+=("$p")
        fi
    done
    ntfs_umount
    if ((fill)); then
        # The allocator does not place files in name order, so free every
        # other filler by position on disk: each gap is then walled in.
        local f lcn
        for f in "$WORK/$NAME/stage/Filler"/*.bin; do
            p="Filler/${f##*/}"
            ntfsinfo -v -F "/$p" "$IMG" >"$WORK/$NAME/filler.info" 2>&1 || die "ntfsinfo failed for $p"
            fx runs "$WORK/$NAME/filler.info" "$WORK/$NAME/filler.runs"
            lcn=$(head -n1 "$WORK/$NAME/filler.runs" | cut -d' ' -f1)
            printf '%s\t%s\n' "$lcn" "$p"
        done | sort -n | awk -F'\t' 'NR % 2 == 1 {print $2}' >"$WORK/$NAME/fillers-to-free"
        mapfile -t fillers <"$WORK/$NAME/fillers-to-free"
        targets=("${fillers[@]}" "${targets[@]}")
    fi
    : >"$WORK/$NAME/records.tsv"
    ntfs_record "$IMG" "$WORK/$NAME/inodes.tsv" "${targets[@]}"
    if ((fill)); then
        ntfs_mount "$IMG" "$mnt" "$T_NTFS2"
        for p in "${fillers[@]}"; do rm -f "$mnt/$p"; echo "$p" >>"$DELETED"; done
        echo "$big" | ntfs_put "$mnt"
        ntfs_umount
        local bigpath frags
        read -r _ _ bigpath <<<"$big"
        ntfsinfo -v -F "/$bigpath" "$IMG" >"$WORK/$NAME/big.info" 2>&1
        frags=$(fx fragments "$WORK/$NAME/big.info")
        ((frags >= 2)) || die "$bigpath came out in $frags run(s); expected fragmentation"
        log "$bigpath: $frags runs"
    fi
    ntfs_mount "$IMG" "$mnt" "$T_NTFS3"
    for p in "$@"; do rm -rf "${mnt:?}/$p"; echo "$p" >>"$DELETED"; done
    ntfs_umount
    ntfs_classify "$IMG" "$mnt" "$T_NTFS3"
}

build_ntfs() {
    begin ntfs
    ntfs_build 16 Ferrowen 0 1 "1300000 zip Backup/fragmented archive.zip" \
        "Documents/Résumé.txt" "Documents/Фото/Отпуск.jpg" "Media/podcast.mp3" "Temp" <<'EOF'
20000   text    Documents/Quarterly report.txt
400     text    Documents/Résumé.txt
600     text    Documents/Фото/small note.txt
30000   jpeg    Documents/Фото/Отпуск.jpg
20000   jpegr   Documents/Фото/照片.jpg
1500    text    Projects/ferro/src/main.cpp
650     text    Projects/ferro/src/util/strings.cpp
5000    pngr    Projects/ferro/docs/diagram.png
1200000 mp4     Media/large video.mp4
200000  blocks  Media/podcast.mp3
120     text    café.txt
5       text    tiny.txt
0       text    empty.txt
0       dir     Empty Folder
500     text    Temp/Заметки.txt
9000    text    Temp/cache/a.tmp
300     text    Temp/cache/deep/b.tmp
40000   jpeg    Temp/cache/deep/preview.jpg
EOF
    finish
    ntfs_verify "$IMG" "$WORK/$NAME/mnt" "$T_NTFS3"
    publish "$IMG" ntfs
}

# ================================================================== mbr
build_mbr() {
    begin mbr
    local disk="$WORK/mbr-disk.img"
    truncate -s 24M "$disk"
    sfdisk -q "$disk" <<'EOF'
label: dos
label-id: 0x46455257
unit: sectors

start=2048, size=16384, type=e
start=18432, type=5
size=12288, type=1
type=83
EOF
    sfdisk --json "$disk" >"$WORK/mbr.json"
    fx partitions "$WORK/mbr.json" "$WORK/mbr.partitions.tsv"

    # p1: FAT16, made on its own and copied in at its start sector.
    begin mbr.p1
    when "$T_WRITE" mkfs.fat -F 16 -s 2 -h 2048 -C -i 4d425231 -n PRIMARY "$IMG" 8192 >/dev/null
    fat_put <<'EOF'
3000    text    hello.txt
25000   jpeg    Pictures/cat.jpg
15000   pngr    Pictures/Схема.png
6000    text    Pictures/notes été.txt
EOF
    fat_del "Pictures/cat.jpg"
    finish mbr.p1
    fx fatcheck "$IMG" "$WORK/mbr.p1.manifest.tsv"
    dd if="$IMG" of="$disk" bs=512 seek=2048 conv=notrunc status=none

    # p5 (first logical): FAT12.
    begin mbr.p5
    when "$T_WRITE" mkfs.fat -F 12 -h 20480 -C -i 4d425235 -n LOGICAL "$IMG" 6144 >/dev/null
    fat_put <<'EOF'
2000    text    logical.txt
9000    jpeg    kept.jpg
4000    text    gone.txt
EOF
    fat_del gone.txt
    finish mbr.p5
    fx fatcheck "$IMG" "$WORK/mbr.p5.manifest.tsv"
    dd if="$IMG" of="$disk" bs=512 seek=20480 conv=notrunc status=none

    sfdisk --dump "$disk" | sed "s#$WORK/mbr-disk.img#mbr.img#g" >"$WORK/mbr.sfdisk.txt"
    publish "$disk" mbr
}

# ================================================================== gpt
build_gpt() {
    begin gpt
    local disk="$WORK/gpt-disk.img"
    truncate -s 24M "$disk"
    sgdisk -o -U 46455257-0000-4000-8000-000000000001 \
        -n 1:2048:+6M  -t 1:0700 -c 1:Photos -u 1:46455257-0000-4000-8000-000000000011 \
        -n 2:0:+8M     -t 2:0700 -c 2:Backup -u 2:46455257-0000-4000-8000-000000000012 \
        -n 3:0:0       -t 3:8300 -c 3:Данные -u 3:46455257-0000-4000-8000-000000000013 \
        "$disk" >/dev/null
    sfdisk --json "$disk" >"$WORK/gpt.json"
    fx partitions "$WORK/gpt.json" "$WORK/gpt.partitions.tsv"
    local p2start p2count
    p2start=$(awk -F'\t' '$1 == 2 {print $2}' "$WORK/gpt.partitions.tsv")
    p2count=$(awk -F'\t' '$1 == 2 {print $3}' "$WORK/gpt.partitions.tsv")

    begin gpt.p1
    when "$T_WRITE" mkfs.fat -F 16 -s 1 -h 2048 -C -i 47505431 -n PHOTOS "$IMG" 6144 >/dev/null
    fat_put <<'EOF'
12000   jpeg    DCIM/100CAM/IMG_0001.JPG
14000   jpeg    DCIM/100CAM/IMG_0002.JPG
16000   jpegr   DCIM/100CAM/IMG_0003.JPG
7000    png     DCIM/Édité/crop.png
EOF
    fat_del "DCIM/100CAM/IMG_0002.JPG"
    finish gpt.p1
    fx fatcheck "$IMG" "$WORK/gpt.p1.manifest.tsv"
    dd if="$IMG" of="$disk" bs=512 seek=2048 conv=notrunc status=none

    begin gpt.p2
    ntfs_build "$((p2count / 2048))" Backup "$p2start" 0 "" "old/Удалённый.txt" <<'EOF'
30000   text    backup.log
500     text    old/Удалённый.txt
300000  zip     old/archive.zip
EOF
    finish gpt.p2
    ntfs_verify "$IMG" "$WORK/$NAME/mnt" "$T_NTFS3"
    dd if="$IMG" of="$disk" bs=512 seek="$p2start" conv=notrunc status=none

    sgdisk -p "$disk" | sed "s#$WORK/gpt-disk.img#gpt.img#g" >"$WORK/gpt.sgdisk.txt"
    publish "$disk" gpt
}

# ================================================================== fat32_reformat
# A FAT32 volume of 260 MiB (the least mtools takes as FAT32 with 4 KiB clusters), filled and
# partly deleted, then quick-formatted again with 32 KiB clusters and an unaligned data area:
# the new FATs and root cluster land inside the old FAT area, so every old folder and file
# survives, but only the old geometry (kept in fat32_reformat.geometry.tsv) finds them. The
# manifest describes the volume before the format.
build_fat32_reformat() {
    begin fat32_reformat
    when "$T_WRITE" mkfs.fat -F 32 -s 8 -C -i 46523352 -n OLDVOL32 "$IMG" 266240 >/dev/null 2>&1
    fat_put < <(
        echo "2000 text README.TXT"
        echo "0 text empty.txt"
        echo "1 rand one byte.bin"
        for f in $(seq -w 1 12); do echo "$((900 + 311 * 10#$f)) text Documents/Quarterly report $f.txt"; done
        echo "3000 pdf Documents/Заявление на отпуск.pdf"
        # No Latin-1 letters here: mtools writes them into the 8.3 alias as single bytes of
        # code page 850, which the directory-sector recogniser (made for double-byte names)
        # refuses, and the deep scan would never be handed the sector.
        echo "2500 text Documents/Ωmega notes.txt"
        echo "4100 text Documents/會議記錄 2021.txt"
        for f in $(seq -w 1 6); do echo "$((700 + 97 * 10#$f)) text Documents/Letters/2021/Letter to a friend $f.txt"; done
        echo "1800 text Documents/Letters/2021/Deep/Deeper/Deepest/bottom of the tree.txt"
        for y in 2019 2020; do
            for i in $(seq -w 1 16); do echo "$((9000 + 1733 * 10#$i)) jpeg Photos/$y/Summer holiday/IMG_$y$i.JPG"; done
            for i in $(seq -w 1 4); do echo "$((6000 + 999 * 10#$i)) png Photos/$y/Снег $i.png"; done
        done
        for i in $(seq -w 1 8); do echo "$((90000 + 15001 * 10#$i)) blocks Music/Artist Name/Album One/$i track title.mp3"; done
        echo "700000 mp4 Videos/holiday clip.mp4"
        for i in $(seq -w 1 40); do echo "$((500 + 37 * 10#$i)) text Mail/Inbox/message $i.eml"; done
        for m in core ui; do
            for f in $(seq -w 1 25); do echo "$((150 + 97 * 10#$f)) text Projects/ferro/src/$m/unit_$f.cpp"; done
        done
        for f in 1 2 3 4; do echo "$((800 * f)) blocks Projects/ferro/build/obj/module_$f.o"; done
        echo "1500 text Projects/ferro/build/build log.txt"
        # One piece of long name first, then names of two pieces: the 42nd of those has its
        # first piece at the end of the folder's first cluster and the rest in the next one.
        echo "1200 text Big folder/notes.text"
        for i in $(seq -w 1 60); do echo "$((1000 + 53 * 10#$i)) blocks Big folder/file number $i.dat"; done
    )
    fat_del "Documents/Quarterly report 05.txt" "Photos/2020/Summer holiday/IMG_202007.JPG" \
            "Mail/Inbox/message 13.eml" "Music/Artist Name/Album One/3 track title.mp3" \
            "Documents/Заявление на отпуск.pdf" "Big folder/file number 50.dat"
    fat_deltree "Projects/ferro/build"
    finish
    fx fatcheck "$IMG" "$WORK/$NAME.manifest.tsv"
    python3 - "$IMG" >"$WORK/$NAME.geometry.tsv" <<'PY'
import struct, sys
b = open(sys.argv[1], "rb").read(512)
spc, rsv, nfats = b[13], struct.unpack_from("<H", b, 14)[0], b[16]
fat = struct.unpack_from("<I", b, 36)[0]
print("sectors_per_cluster\tfirst_data_sector\troot_cluster")
print("%d\t%d\t%d" % (spc, rsv + nfats * fat, struct.unpack_from("<I", b, 44)[0]))
PY
    when "$T_DELETE" mkfs.fat -F 32 -s 64 -a -i 46523353 -n NEWVOL32 "$IMG" >/dev/null 2>&1
    cp "$WORK/$NAME.geometry.tsv" "$OUT/"
    publish "$IMG" fat32_reformat
}

# FIXTURE_ONLY="fat32_reformat ..." builds just the named images and their text files.
if [[ -n ${FIXTURE_ONLY:-} ]]; then
    mkdir -p "$OUT"
    for only in $FIXTURE_ONLY; do
        "build_$only"
        cp "$WORK/$only.manifest.tsv" "$OUT/"
    done
    exit 0
fi

mkdir -p "$OUT"
build_fat12
build_fat16
build_fat32
build_ntfs
build_mbr
build_gpt
build_fat32_reformat

# The cluster counts fsck.fat reports, against which the FAT engines' free-space walk is tested.
for name in fat12 fat16 fat32; do
    gzip -dc "$OUT/$name.img.gz" >"$WORK/$name.fsck.img"
    fsck.fat -n -v "$WORK/$name.fsck.img" | tail -n1 |
        sed -E 's#.*, ([0-9]+)/([0-9]+) clusters#used_clusters\ttotal_clusters\n\1\t\2#' >"$OUT/$name.fsck.tsv"
    rm -f "$WORK/$name.fsck.img"
done

# The exFAT volumes are made by their own script, with the exFAT tools.
FIXTURE_OUT="$OUT" bash "$ROOT/tools/make_exfat_fixtures.sh"
FIXTURE_OUT="$OUT" bash "$ROOT/tools/make_ntfs_compressed_fixture.sh"

cp "$WORK"/*.manifest.tsv "$WORK"/*.partitions.tsv "$WORK/mbr.sfdisk.txt" "$WORK/gpt.sgdisk.txt" "$OUT/"
publish_ntfs_listings
log "summary"
for m in "$OUT"/*.manifest.tsv; do
    printf '%-28s %s\n' "$(basename "$m")" "$(fx summary "$m")"
done
du -cb "$OUT"/*.img.gz | tail -n1 | awk '{printf "compressed images: %.2f MiB\n", $1 / 1048576}'
