#!/usr/bin/env bash
# Builds the demo disk the README's first command recovers: an MBR disk holding a FAT32, an
# NTFS and an exFAT partition with photos, documents and a folder tree that were then deleted,
# as a user who just lost them would have it. Writes tests/fixtures/demo.img.gz and
# demo.manifest.tsv.
#
# Runs as root on Debian (ImageMagick, mtools, dosfstools, ntfs-3g with /dev/fuse, exfatprogs
# and exfat-fuse with loop devices, fdisk, faketime). Files come from fixed seeds and frozen clocks, so a rebuild holds the same files
# (mkntfs still varies a few bytes of its own).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FIXTURE_OUT:-$root/tests/fixtures}
work=$(mktemp -d)
mnt="$work/mnt"
loop=""
cleanup() {
    mountpoint -q "$mnt" 2>/dev/null && umount "$mnt"
    [[ -n $loop ]] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8

need=()
for tool in convert:imagemagick mcopy:mtools mkfs.fat:dosfstools mkntfs:ntfs-3g sfdisk:fdisk \
    faketime:faketime mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse losetup:mount; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
if ((${#need[@]})); then
    apt-get update -q && apt-get install -y -q --no-install-recommends "${need[@]}"
fi

# A one-page PDF with its cross-reference table and end marker, written by hand because
# ImageMagick's policy forbids writing PDF here.
write_pdf() {
    local text=$1 body offsets=() n
    body="%PDF-1.4"$'\n'
    local objects=(
        "<< /Type /Catalog /Pages 2 0 R >>"
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>"
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 300 200] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>"
        "<< /Length $((${#text} + 30)) >>"$'\nstream\n'"BT /F1 12 Tf 20 100 Td ($text) Tj ET"$'\nendstream'
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"
    )
    for n in "${!objects[@]}"; do
        offsets+=("${#body}")
        body+="$((n + 1)) 0 obj"$'\n'"${objects[$n]}"$'\n'"endobj"$'\n'
    done
    local xref=${#body}
    body+="xref"$'\n'"0 6"$'\n'"0000000000 65535 f "$'\n'
    for n in "${offsets[@]}"; do body+=$(printf '%010d 00000 n ' "$n")$'\n'; done
    body+="trailer"$'\n'"<< /Size 6 /Root 1 0 R >>"$'\n'"startxref"$'\n'"$xref"$'\n'"%%EOF"$'\n'
    printf '%s' "$body"
}

# Small real pictures and documents, each different so that every recovery is checkable.
make_files() {
    local dir=$1
    mkdir -p "$dir"
    local i
    for i in 1 2 3 4; do
        convert -seed "$i" -size 160x120 "plasma:" "$dir/IMG_000$i.jpg" 2>/dev/null ||
            convert -size 160x120 "gradient:red-blue" -rotate "$((i * 40))" "$dir/IMG_000$i.jpg"
    done
    convert -seed 7 -size 200x150 "plasma:" "$dir/Beach sunset.png" 2>/dev/null ||
        convert -size 200x150 "gradient:yellow-green" "$dir/Beach sunset.png"
    convert -size 64x64 "xc:white" -fill black -draw "circle 32,32 20,20" "$dir/icon.gif"
    printf 'Dear Anna,\nthe photos from the trip are attached.\n' >"$dir/Letter to Anna.txt"
    for i in $(seq 1 40); do echo "Line $i of the trip notes, written on day $((i % 7))."; done \
        >"$dir/Trip notes.txt"
    write_pdf "Invoice 2026-11: 3 nights, 2 guests" >"$dir/Invoice.pdf"
}

fat_partition() {
    local img=$1 files=$2
    faketime '2026-11-20 10:00:00' mkfs.fat -F 32 -s 1 -n DEMOFAT -i 0DE0FA32 -C "$img" 36864 >/dev/null
    mmd -i "$img" ::/DCIM ::/DCIM/100CANON ::/Documents ::/Holiday ::/Holiday/Day1
    faketime '2026-11-21 09:00:00' mcopy -i "$img" "$files/IMG_0001.jpg" "$files/IMG_0002.jpg" \
        "$files/IMG_0003.jpg" ::/DCIM/100CANON/
    faketime '2026-11-21 09:00:00' mcopy -i "$img" "$files/Beach sunset.png" "$files/IMG_0004.jpg" \
        ::/Holiday/Day1/
    faketime '2026-11-21 09:00:00' mcopy -i "$img" "$files/Letter to Anna.txt" \
        "$files/Invoice.pdf" ::/Documents/
    faketime '2026-11-21 09:00:00' mcopy -i "$img" "$files/Trip notes.txt" ::/
    # What the user lost: two photos, a letter and the whole holiday folder.
    faketime '2026-11-22 18:00:00' mdel -i "$img" ::/DCIM/100CANON/IMG_0001.jpg \
        ::/DCIM/100CANON/IMG_0003.jpg "::/Documents/Letter to Anna.txt"
    faketime '2026-11-22 18:00:00' mdeltree -i "$img" ::/Holiday
}

ntfs_partition() {
    local img=$1 files=$2
    truncate -s 16M "$img"
    faketime '2026-11-20 10:00:00' mkntfs -F -Q -q -L DEMONTFS -s 512 -c 4096 -p 0 -H 0 -S 0 "$img"
    mkdir -p "$mnt"
    faketime '2026-11-21 09:00:00' ntfs-3g -o no_detach "$img" "$mnt" &
    local daemon=$!
    for _ in $(seq 50); do mountpoint -q "$mnt" && break; sleep 0.1; done
    mkdir -p "$mnt/Photos/2026" "$mnt/Work"
    cp "$files/IMG_0002.jpg" "$files/icon.gif" "$mnt/Photos/2026/"
    cp "$files/Beach sunset.png" "$mnt/Photos/"
    cp "$files/Invoice.pdf" "$files/Trip notes.txt" "$mnt/Work/"
    sync
    rm "$mnt/Photos/2026/IMG_0002.jpg" "$mnt/Work/Invoice.pdf"
    rm -r "$mnt/Photos/2026"
    sync
    umount "$mnt"
    wait "$daemon" || true
}

# An SDXC card's file system. The driver wants a block device, so the image is attached to a
# loop device first.
exfat_partition() {
    local img=$1 files=$2
    truncate -s 16M "$img"
    mkfs.exfat -L DEMOEXFAT "$img" >/dev/null
    loop=$(losetup -f --show "$img")
    mkdir -p "$mnt"
    mount.exfat-fuse "$loop" "$mnt"
    mkdir -p "$mnt/DCIM/100MEDIA" "$mnt/Reise nach Köln"
    cp "$files/IMG_0003.jpg" "$files/IMG_0004.jpg" "$mnt/DCIM/100MEDIA/"
    cp "$files/Beach sunset.png" "$mnt/Reise nach Köln/Dom bei Nacht.png"
    cp "$files/Trip notes.txt" "$mnt/Reise nach Köln/Notizen für Jörg.txt"
    sync
    rm "$mnt/DCIM/100MEDIA/IMG_0004.jpg" "$mnt/Reise nach Köln/Dom bei Nacht.png" \
        "$mnt/Reise nach Köln/Notizen für Jörg.txt"
    sync
    umount "$mnt"
    losetup -d "$loop"
    loop=""
}

files="$work/files"
make_files "$files"
fat_partition "$work/fat.img" "$files"
ntfs_partition "$work/ntfs.img" "$files"
exfat_partition "$work/exfat.img" "$files"

disk="$work/demo.img"
truncate -s 56M "$disk"
sfdisk -q "$disk" <<'EOF'
label: dos
label-id: 0xdeadbeef
start=2048, size=36864, type=c
start=38912, size=32768, type=7
start=73728, size=32768, type=7
EOF
dd if="$work/fat.img" of="$disk" bs=512 seek=2048 conv=notrunc status=none
dd if="$work/ntfs.img" of="$disk" bs=512 seek=38912 conv=notrunc status=none
dd if="$work/exfat.img" of="$disk" bs=512 seek=73728 conv=notrunc status=none
gzip -9n -c "$disk" >"$out/demo.img.gz"

{
    printf 'partition\tpath\tsize\tsha256\tstate\n'
    for f in IMG_0001.jpg IMG_0003.jpg; do
        printf '1\tDCIM/100CANON/%s\t%s\t%s\tdeleted\n' "$f" "$(stat -c %s "$files/$f")" \
            "$(sha256sum <"$files/$f" | cut -d' ' -f1)"
    done
    printf '1\tDocuments/Letter to Anna.txt\t%s\t%s\tdeleted\n' \
        "$(stat -c %s "$files/Letter to Anna.txt")" "$(sha256sum <"$files/Letter to Anna.txt" | cut -d' ' -f1)"
    for f in "Beach sunset.png" IMG_0004.jpg; do
        printf '1\tHoliday/Day1/%s\t%s\t%s\tdeleted\n' "$f" "$(stat -c %s "$files/$f")" \
            "$(sha256sum <"$files/$f" | cut -d' ' -f1)"
    done
    for f in IMG_0002.jpg icon.gif; do
        printf '2\tPhotos/2026/%s\t%s\t%s\tdeleted\n' "$f" "$(stat -c %s "$files/$f")" \
            "$(sha256sum <"$files/$f" | cut -d' ' -f1)"
    done
    printf '2\tWork/Invoice.pdf\t%s\t%s\tdeleted\n' "$(stat -c %s "$files/Invoice.pdf")" \
        "$(sha256sum <"$files/Invoice.pdf" | cut -d' ' -f1)"
    while IFS='|' read -r path source; do
        printf '3\t%s\t%s\t%s\tdeleted\n' "$path" "$(stat -c %s "$files/$source")" \
            "$(sha256sum <"$files/$source" | cut -d' ' -f1)"
    done <<'LIST'
DCIM/100MEDIA/IMG_0004.jpg|IMG_0004.jpg
Reise nach Köln/Dom bei Nacht.png|Beach sunset.png
Reise nach Köln/Notizen für Jörg.txt|Trip notes.txt
LIST
} >"$out/demo.manifest.tsv"
ls -l "$out/demo.img.gz"
