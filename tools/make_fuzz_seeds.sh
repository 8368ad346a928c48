#!/usr/bin/env bash
# Writes the fuzz seeds that are taken from the real disk images (tests/fixtures/*.img.gz and
# tests/fuzz/templates/*.img.gz) into tests/fuzz/corpus/<target>/, so that every corpus starts
# from structures the file-system tools wrote. Every offset is read from the images
# themselves (boot sectors, directory entries, FILE records), so the seeds follow a rebuilt
# image. Seeds written here carry fixed names and are overwritten on a rerun; hand-made seeds
# in the same folders are left alone.
#
#   fuzz_coordinator        mutation scripts over the three whole-scan images: none (the
#                           undamaged scan), noise over boot sectors, each FAT copy, the root
#                           and sub-folders, the $MFT's first records, deleted files' records,
#                           $MFTMirr, the partition table, and truncation in the data area
#   fuzz_boot_sector        the boot sectors (FAT32 with FSInfo and backup, NTFS with its
#                           backup at the volume's end) of every volume of every image
#   fuzz_fat_quick_walk     the heads (256 KiB) of the real FAT12/FAT16 volumes
#   fuzz_partition_table    the first sectors of the MBR and GPT disks
#   fuzz_ntfs_quick_record  real FILE records, 14 to a seed
#   fuzz_ntfs_deep_record   the $MFT regions of the NTFS partition and the small NTFS volume
#   fuzz_exfat_volume       the exFAT volumes (bare and card partition) compacted to their
#                           first clusters: boot regions, FAT and heap moved together
#   fuzz_exfat_deep         the same compacted volumes fed to the deep parser, with the boot
#                           regions wiped, and the head of the reformatted volume
#   fuzz_lznt1              the compressed units of the deleted files of the compressed NTFS
#                           volume (the allocated clusters of each unit that ends in a hole)
#
# usage: tools/make_fuzz_seeds.sh      (needs python3 and gzip; mke2fs adds an Ext seed)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WORK="$(mktemp -d "${TMPDIR:-/tmp}/ferrowen-seeds.XXXXXX")"
trap 'rm -rf "$WORK"' EXIT

for name in fat12 fat16 fat32 ntfs ntfs_compressed mbr gpt exfat exfat_card exfat_reformat; do
    gzip -dc "$ROOT/tests/fixtures/$name.img.gz" >"$WORK/$name.img"
done
# Only the reformatted volume's first sectors are wanted; the rest is 260 MiB.
gzip -dc "$ROOT/tests/fixtures/fat32_reformat.img.gz" 2>/dev/null | head -c 65536 \
    >"$WORK/fat32_reformat.head" || true
for name in ntfs_small mbr_fat16; do
    gzip -dc "$ROOT/tests/fuzz/templates/$name.img.gz" >"$WORK/$name.img"
done
if command -v mke2fs >/dev/null 2>&1; then
    truncate -s 1M "$WORK/ext2.img"
    E2FSPROGS_FAKE_TIME=1600000000 mke2fs -q -F -t ext2 -b 1024 -L fuzz \
        -U 46455252-4f57-454e-0000-000000000001 \
        -E root_owner=0:0,hash_seed=46455252-4f57-454e-0000-000000000002 \
        "$WORK/ext2.img" >/dev/null 2>&1 || rm -f "$WORK/ext2.img"
fi

python3 - "$ROOT" "$WORK" <<'PYEOF'
import os
import random
import struct
import sys

root, work = sys.argv[1], sys.argv[2]
corpus = os.path.join(root, "tests", "fuzz", "corpus")
SECTOR = 512
written = 0


def image(name):
    with open(os.path.join(work, name), "rb") as f:
        return f.read()


def put(target, name, data):
    global written
    folder = os.path.join(corpus, target)
    os.makedirs(folder, exist_ok=True)
    assert len(data) <= 256 * 1024, (target, name, len(data))
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)
    written += len(data)


def partitions(disk):
    """(start, count) of the volumes listed in <disk>.partitions.tsv."""
    rows = []
    with open(os.path.join(root, "tests", "fixtures", disk + ".partitions.tsv")) as f:
        for line in f.read().splitlines()[1:]:
            index, start, count = line.split("\t")[:3]
            rows.append((int(index), int(start), int(count)))
    return {index: (start, count) for index, start, count in rows}


def volume(disk_image, start, count):
    return disk_image[start * SECTOR:(start + count) * SECTOR]


# ------------------------------------------------------------------ structures of the images
class Fat:
    def __init__(self, vol, start=0):
        b = vol[:SECTOR]
        self.start = start * SECTOR  # byte offset of the volume in its disk
        self.bps, self.spc, self.reserved, self.fats, self.root_entries = \
            struct.unpack_from("<HBHBH", b, 11)
        fat16 = struct.unpack_from("<H", b, 0x16)[0]
        self.fat_sectors = fat16 or struct.unpack_from("<I", b, 0x24)[0]
        self.root_sectors = (self.root_entries * 32 + self.bps - 1) // self.bps
        self.first_root = self.reserved + self.fats * self.fat_sectors
        self.data = self.first_root + self.root_sectors
        total = struct.unpack_from("<H", b, 0x13)[0] or struct.unpack_from("<I", b, 0x20)[0]
        self.total = total
        self.vol = vol

    def fat_offset(self, copy):
        return self.start + (self.reserved + copy * self.fat_sectors) * self.bps

    def root_offset(self):
        return self.start + self.first_root * self.bps

    def cluster_offset(self, cluster):
        return self.start + (self.data + (cluster - 2) * self.spc) * self.bps

    def root_folders(self, deleted):
        """First clusters of the root's folders, live or deleted."""
        out = []
        at = self.first_root * self.bps
        for i in range(self.root_entries):
            e = self.vol[at + 32 * i:at + 32 * i + 32]
            if e[0] == 0:
                break
            if e[11] == 0x0F or not e[11] & 0x10 or e[11] & 0x08:
                continue
            if (e[0] == 0xE5) == deleted:
                out.append(struct.unpack_from("<H", e, 26)[0])
        return out


class Ntfs:
    def __init__(self, vol, start=0):
        b = vol[:SECTOR]
        self.start = start * SECTOR
        self.bps = struct.unpack_from("<H", b, 11)[0]
        self.cluster = self.bps * b[13]
        self.total = struct.unpack_from("<Q", b, 0x28)[0]
        self.mft = struct.unpack_from("<Q", b, 0x30)[0] * self.cluster
        self.mirror = struct.unpack_from("<Q", b, 0x38)[0] * self.cluster
        self.vol = vol

    def record(self, n):
        at = self.mft + 1024 * n
        return self.vol[at:at + 1024]

    def records(self, first, last):
        for n in range(first, last):
            r = self.record(n)
            if r[:4] == b"FILE":
                yield n, r

    def name_of(self, rec):
        off = struct.unpack_from("<H", rec, 0x14)[0]
        while off + 8 <= len(rec):
            kind, length = struct.unpack_from("<II", rec, off)
            if kind == 0xFFFFFFFF or length == 0:
                return None
            if kind == 0x30:
                value = rec[off + struct.unpack_from("<H", rec, off + 0x14)[0]:]
                return value[0x42:0x42 + 2 * value[0x40]].decode("utf-16-le", "replace")
            off += length
        return None

    def find(self, name, in_use):
        for n, rec in self.records(16, 4096):
            flags = struct.unpack_from("<H", rec, 0x16)[0]
            if self.name_of(rec) == name and bool(flags & 1) == in_use:
                return n
        raise SystemExit("no record for " + name)


# ---------------------------------------------------------------------- fuzz_coordinator
OVERWRITE, FILL, TRUNCATE, COPY = range(4)
FAT12, NTFS_SMALL, MBR_FAT16 = range(3)
RESUME, CANCEL, BY_PATH = 0x20, 0x40, 0x80


def op(kind, offset, length, operand=b""):
    return struct.pack("<BIH", kind, offset, length) + operand


def noise(tag, offset, length):
    return op(OVERWRITE, offset, length, random.Random("seed:" + tag).randbytes(length))


def script(control, *ops):
    return bytes([control]) + b"".join(ops)


def coordinator_seeds():
    out = {}
    fat12 = Fat(image("fat12.img"))
    sub = fat12.root_folders(deleted=False)[0]
    gone = fat12.root_folders(deleted=True)[0]
    half = (fat12.data + (fat12.total - fat12.data) // 2) * SECTOR
    out.update({
        "fat12_undamaged": script(FAT12),
        "fat12_boot_noise": script(FAT12, noise("fat12 bpb", 11, 51)),
        "fat12_boot_zeroed": script(FAT12, op(FILL, 0, SECTOR, b"\0")),
        "fat12_fat1_noise": script(FAT12, noise("fat12 fat1", fat12.fat_offset(0), 512)),
        "fat12_fat2_noise": script(FAT12, noise("fat12 fat2", fat12.fat_offset(1) + 3, 300)),
        "fat12_fats_zeroed": script(FAT12, op(FILL, fat12.fat_offset(0) + 3,
                                              2 * fat12.fat_sectors * SECTOR - 3, b"\0")),
        "fat12_root_noise": script(FAT12, noise("fat12 root", fat12.root_offset() + 64, 160),
                                   op(FILL, fat12.root_offset() + 320, 32, b"\xe5")),
        "fat12_subfolder_noise": script(FAT12, noise("fat12 sub", fat12.cluster_offset(sub) + 64,
                                                     200)),
        "fat12_deleted_folder_noise": script(
            FAT12, noise("fat12 gone", fat12.cluster_offset(gone) + 40, 120)),
        "fat12_subfolder_copied_over_root": script(
            FAT12, op(COPY, fat12.root_offset(), 512, struct.pack("<I", fat12.cluster_offset(sub)))),
        "fat12_truncated_mid_data": script(FAT12, op(TRUNCATE, half, 0)),
        "fat12_cancelled_then_resumed": script(FAT12 | CANCEL | RESUME),
        "fat12_by_path_root_noise": script(FAT12 | BY_PATH,
                                           noise("fat12 root2", fat12.root_offset(), 96)),
    })

    ntfs = Ntfs(image("ntfs_small.img"))
    deleted_file = ntfs.find("snow.jpg", in_use=False)
    deleted_folder = ntfs.find("Temp", in_use=False)
    live_folder = ntfs.find("Docs", in_use=True)
    record = lambda n: ntfs.mft + 1024 * n
    out.update({
        "ntfs_undamaged": script(NTFS_SMALL),
        "ntfs_boot_noise": script(NTFS_SMALL, noise("ntfs bpb", 11, 73)),
        "ntfs_boot_zeroed_backup_left": script(NTFS_SMALL, op(FILL, 0, SECTOR, b"\0")),
        "ntfs_mft_first_records_noise": script(
            NTFS_SMALL, *[noise("ntfs mft %d" % n, record(n) + 0x38, 96) for n in range(4)]),
        "ntfs_mft_record0_zeroed": script(NTFS_SMALL, op(FILL, record(0), 1024, b"\0")),
        "ntfs_mft_and_mirror_zeroed": script(NTFS_SMALL, op(FILL, record(0), 4096, b"\0"),
                                             op(FILL, ntfs.mirror, 4096, b"\0")),
        "ntfs_mirror_noise": script(NTFS_SMALL, noise("ntfs mirror", ntfs.mirror + 0x38, 400)),
        "ntfs_deleted_file_record_noise": script(
            NTFS_SMALL, noise("ntfs snow", record(deleted_file) + 0x98, 120)),
        "ntfs_deleted_folder_record_noise": script(
            NTFS_SMALL, noise("ntfs temp", record(deleted_folder) + 0x38, 300)),
        "ntfs_live_folder_index_noise": script(
            NTFS_SMALL, noise("ntfs docs", record(live_folder) + 0x100, 200)),
        "ntfs_deleted_record_over_live": script(
            NTFS_SMALL, op(COPY, record(live_folder), 1024,
                           struct.pack("<I", record(deleted_folder)))),
        "ntfs_truncated_mid_data": script(NTFS_SMALL, op(TRUNCATE, len(ntfs.vol) // 2, 0)),
        "ntfs_cancelled_then_resumed": script(NTFS_SMALL | CANCEL | RESUME),
        "ntfs_by_path_record_noise": script(NTFS_SMALL | BY_PATH,
                                            noise("ntfs path", record(deleted_file) + 0x38, 64)),
    })

    disk = image("mbr_fat16.img")
    start = struct.unpack_from("<I", disk, 446 + 8)[0]
    fat16 = Fat(disk[start * SECTOR:], start)
    sub16 = fat16.root_folders(deleted=False)[0]
    half16 = fat16.start + (fat16.data + (fat16.total - fat16.data) // 2) * SECTOR
    out.update({
        "mbr_fat16_undamaged": script(MBR_FAT16),
        "mbr_partition_entry_noise": script(MBR_FAT16, noise("mbr entry", 446, 16)),
        "mbr_partition_start_moved": script(MBR_FAT16,
                                            op(OVERWRITE, 446 + 8, 4, struct.pack("<I", 100))),
        "mbr_fat16_boot_noise": script(MBR_FAT16, noise("fat16 bpb", fat16.start + 11, 51)),
        "mbr_fat16_fat1_noise": script(MBR_FAT16, noise("fat16 fat1", fat16.fat_offset(0), 512)),
        "mbr_fat16_fat2_zeroed": script(MBR_FAT16, op(FILL, fat16.fat_offset(1),
                                                      fat16.fat_sectors * SECTOR, b"\0")),
        "mbr_fat16_root_noise": script(MBR_FAT16, noise("fat16 root", fat16.root_offset() + 32,
                                                        192)),
        "mbr_fat16_subfolder_noise": script(
            MBR_FAT16, noise("fat16 sub", fat16.cluster_offset(sub16) + 64, 128)),
        "mbr_fat16_truncated_mid_data": script(MBR_FAT16, op(TRUNCATE, half16, 0)),
        "mbr_fat16_by_path": script(MBR_FAT16 | BY_PATH),
    })
    for name, data in out.items():
        put("fuzz_coordinator", name, data)


# ---------------------------------------------------------------------- fuzz_boot_sector
# Control: bits 0-1 the volume size (0 the input's, 1 floppy, 2 2 MiB, 3 16 MiB), bit 2 the
# first sector copied to the last, bit 3 the first sector zeroed.
def boot_seeds():
    head = 8192
    fat32_reformat = image("fat32_reformat.head")
    mbr, gpt = image("mbr.img"), image("gpt.img")
    mp, gp = partitions("mbr"), partitions("gpt")
    volumes = {
        "fat12": (1, image("fat12.img")),
        "fat16": (3, image("fat16.img")),
        "fat32_fsinfo_backup": (3, image("fat32.img")),
        "ntfs": (3, image("ntfs.img")),
        "mbr_p1_fat16": (3, volume(mbr, *mp[1])),
        "mbr_p5_fat12": (3, volume(mbr, *mp[5])),
        "gpt_p1_fat16": (3, volume(gpt, *gp[1])),
        "gpt_p2_ntfs": (3, volume(gpt, *gp[2])),
        "ntfs_small": (2, image("ntfs_small.img")),
    }
    if fat32_reformat:
        volumes["fat32_reformatted"] = (3, fat32_reformat)
    for name, (size, vol) in volumes.items():
        put("fuzz_boot_sector", name, bytes([size]) + vol[:head])
    # NTFS keeps a backup boot sector in the volume's last sector: alone, as when the first
    # one is lost.
    for name, size, vol in (("ntfs_backup_only", 3, image("ntfs.img")),
                            ("gpt_p2_ntfs_backup_only", 3, volume(gpt, *gp[2])),
                            ("ntfs_small_backup_only", 2, image("ntfs_small.img"))):
        put("fuzz_boot_sector", name, bytes([size | 4 | 8]) + vol[-SECTOR:])
    put("fuzz_boot_sector", "mbr_sector", bytes([0]) + mbr[:SECTOR])
    if os.path.exists(os.path.join(work, "ext2.img")):
        put("fuzz_boot_sector", "ext2_superblock", bytes([2]) + image("ext2.img")[:4096])


# ------------------------------------------------------------------- the other targets
def quick_walk_seeds():
    mbr, gpt = image("mbr.img"), image("gpt.img")
    mp, gp = partitions("mbr"), partitions("gpt")
    head = 256 * 1024
    put("fuzz_fat_quick_walk", "fat12_head", image("fat12.img")[:head])
    put("fuzz_fat_quick_walk", "fat16_head", image("fat16.img")[:head])
    put("fuzz_fat_quick_walk", "mbr_p5_fat12_head", volume(mbr, *mp[5])[:head])
    put("fuzz_fat_quick_walk", "gpt_p1_fat16_head", volume(gpt, *gp[1])[:head])


def partition_seeds():
    put("fuzz_partition_table", "mbr_fixture_head", image("mbr.img")[:4096])
    put("fuzz_partition_table", "gpt_fixture_head", image("gpt.img")[:34 * SECTOR])
    put("fuzz_partition_table", "mbr_fat16_template_head", image("mbr_fat16.img")[:4096])


def ntfs_record_seeds():
    ntfs = Ntfs(image("ntfs.img"))
    live, deleted = [], []
    for n, rec in ntfs.records(16, 256):
        (live if struct.unpack_from("<H", rec, 0x16)[0] & 1 else deleted).append(rec)
    put("fuzz_ntfs_quick_record", "fixture_records_16_on",
        b"".join(ntfs.record(n) for n in range(16, 30)))
    put("fuzz_ntfs_quick_record", "fixture_live_records", b"".join(live[:14]))
    put("fuzz_ntfs_quick_record", "fixture_deleted_records", b"".join(deleted[:14]))
    small = Ntfs(image("ntfs_small.img"))
    put("fuzz_ntfs_quick_record", "template_user_records",
        b"".join(small.record(n) for n in range(64, 78)))

    gpt = image("gpt.img")
    p2 = volume(gpt, *partitions("gpt")[2])
    backup = Ntfs(p2)
    put("fuzz_ntfs_deep_record", "gpt_p2_mft_region", p2[backup.mft:backup.mft + 192 * 1024])
    put("fuzz_ntfs_deep_record", "ntfs_small_head", small.vol[:128 * 1024])


def exfat_compact(vol, clusters):
    """The volume cut to its first clusters, with the FAT and heap moved up behind the two
    boot regions and the boot checksums rewritten, so that it fits in a seed."""
    bps = 1 << vol[0x6C]
    cs = bps << vol[0x6D]
    fat_off, _, heap_off = struct.unpack_from("<III", vol, 0x50)
    fat_sectors = ((clusters + 2) * 4 + bps - 1) // bps
    new_fat, new_heap = 24, 24 + fat_sectors
    total = new_heap + clusters * cs // bps
    region = bytearray(vol[:12 * bps])
    struct.pack_into("<QIIII", region, 0x48, total, new_fat, fat_sectors, new_heap, clusters)
    checksum = 0
    for i in range(11 * bps):
        if i in (0x6A, 0x6B, 0x70):
            continue
        checksum = ((checksum >> 1) | ((checksum & 1) << 31)) + region[i] & 0xFFFFFFFF
    region[11 * bps:] = struct.pack("<I", checksum) * (bps // 4)
    out = bytearray(total * bps)
    out[:12 * bps] = region
    out[12 * bps:24 * bps] = region
    fat = vol[fat_off * bps:fat_off * bps + (clusters + 2) * 4]
    out[new_fat * bps:new_fat * bps + len(fat)] = fat
    out[new_heap * bps:] = vol[heap_off * bps:heap_off * bps + clusters * cs]
    return bytes(out)


def exfat_seeds():
    bare = image("exfat.img")
    put("fuzz_exfat_volume", "exfat_first_56_clusters", exfat_compact(bare, 56))
    card = image("exfat_card.img")
    put("fuzz_exfat_volume", "card_p1_first_48_clusters", exfat_compact(card[8192 * SECTOR:], 48))
    put("fuzz_exfat_volume", "exfat_boot_region", bare[:12 * SECTOR])
    compact = exfat_compact(bare, 56)
    put("fuzz_exfat_deep", "exfat_first_56_clusters", b"\x00" + compact)
    put("fuzz_exfat_deep", "exfat_no_boot_regions", b"\x00" + bytes(24 * SECTOR) + compact[24 * SECTOR:])
    put("fuzz_exfat_deep", "exfat_descending_everything", b"\x03" + compact)
    reformat = image("exfat_reformat.img")
    put("fuzz_exfat_deep", "reformat_first_56_clusters", b"\x00" + exfat_compact(reformat, 56))


# ---------------------------------------------------------------------------- fuzz_lznt1
def mapping_pairs(attr, at):
    """(first cluster or None for a hole, clusters) of each run of a non-resident attribute."""
    runs, lcn = [], 0
    while at < len(attr) and attr[at] != 0:
        size_len, off_len = attr[at] & 0x0F, attr[at] >> 4
        length = int.from_bytes(attr[at + 1:at + 1 + size_len], "little")
        delta = int.from_bytes(attr[at + 1 + size_len:at + 1 + size_len + off_len], "little",
                               signed=True)
        at += 1 + size_len + off_len
        if off_len == 0:
            runs.append((None, length))
        else:
            lcn += delta
            runs.append((lcn, length))
    return runs


def compressed_units(ntfs, rec):
    """The stored bytes of each unit of the record's compressed $DATA that ends in a hole."""
    off = struct.unpack_from("<H", rec, 0x14)[0]
    while off + 8 <= len(rec):
        kind, length = struct.unpack_from("<II", rec, off)
        if kind == 0xFFFFFFFF or length == 0:
            return
        attr = rec[off:off + length]
        if kind == 0x80 and attr[8] and struct.unpack_from("<H", attr, 0x0C)[0] & 1:
            unit = 1 << struct.unpack_from("<H", attr, 0x22)[0]
            places = []
            for lcn, n in mapping_pairs(attr, struct.unpack_from("<H", attr, 0x20)[0]):
                places += [None] * n if lcn is None else list(range(lcn, lcn + n))
            for u in range(0, len(places), unit):
                clusters = places[u:u + unit]
                if None in clusters and clusters[0] is not None:
                    yield b"".join(ntfs.vol[c * ntfs.cluster:(c + 1) * ntfs.cluster]
                                   for c in clusters if c is not None)
            return
        off += length


def lznt1_seeds():
    ntfs = Ntfs(image("ntfs_compressed.img"))
    for n, rec in ntfs.records(16, 256):
        name = ntfs.name_of(rec)
        if struct.unpack_from("<H", rec, 0x16)[0] & 1 or name is None:
            continue
        for k, unit in enumerate(compressed_units(ntfs, rec)):
            put("fuzz_lznt1", "%s_unit_%d" % (name.replace(".", "_"), k), unit)


coordinator_seeds()
lznt1_seeds()
exfat_seeds()
boot_seeds()
quick_walk_seeds()
partition_seeds()
ntfs_record_seeds()
print("seeds written: %d bytes" % written)
PYEOF
