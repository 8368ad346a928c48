#!/usr/bin/env bash
# Whole-process timings of ferrowen-cli on an exFAT volume, TZ unset as it usually is. Builds an
# image (1 GiB by default) whose free space holds random bytes, with a few hundred files in
# folders written through exfat-fuse and every third one deleted, then reports the median of
# RUNS runs of:
#   quick: a scan of the healthy volume (its own folders, then the free space only);
#   deep:  a scan of the same volume with both boot regions wiped, so that the whole volume is
#          read and the folders are rebuilt from the directory sectors found;
# each as MB/s of the volume and with the number of files listed.
#
# usage: bench/exfat_scan.sh [BUILD_DIR] [SIZE_MIB]   (as root: loop device, FUSE)
#   RUNS (environment): runs per measurement, default 3.
set -euo pipefail
unset TZ
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size_mib=${2:-1024}
runs=${RUNS:-3}
cli="$build/cli/ferrowen-cli"
[[ -x $cli ]] || { echo "build ferrowen-cli first (cmake --build $build)" >&2; exit 2; }
[[ $(id -u) -eq 0 ]] || { echo "run as root (loop device, FUSE)" >&2; exit 2; }

need=()
for tool in mkfs.exfat:exfatprogs mount.exfat-fuse:exfat-fuse losetup:mount bc:bc; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
if ((${#need[@]})); then
    apt-get update -q && apt-get install -y -q --no-install-recommends "${need[@]}"
fi

work=$(mktemp -d)
mnt="$work/mnt"
loop=""
detach() {
    if mountpoint -q "$mnt"; then umount "$mnt" 2>/dev/null || umount -l "$mnt" || true; fi
    if [[ -n $loop ]]; then losetup -d "$loop" 2>/dev/null || true; fi
    loop=""
}
cleanup() {
    detach
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
export XDG_DATA_HOME="$work/data"
mkdir -p "$mnt"

image="$work/exfat.img"
damaged="$work/exfat_damaged.img"
echo "building a ${size_mib} MiB exFAT image with random free space..."
# Random bytes first: the formatter writes only its own structures.
head -c "$((size_mib * 1048576))" /dev/urandom >"$image"
mkfs.exfat -c 32K -L BENCH "$image" >/dev/null
loop=$(losetup -f --show "$image")
mount.exfat-fuse "$loop" "$mnt"
for d in 1 2 3 4 5 6; do
    mkdir -p "$mnt/DCIM/10${d}MEDIA" "$mnt/Docs/Folder $d/Inner"
    for i in $(seq 1 40); do
        { printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00'
          head -c "$((20000 + i * 997))" /dev/urandom
          printf '\xff\xd9'; } >"$mnt/DCIM/10${d}MEDIA/IMG_$d$i.JPG"
    done
    for i in $(seq 1 10); do
        head -c "$((3000 + i * 311))" /dev/urandom >"$mnt/Docs/Folder $d/Inner/note $i.bin"
    done
done
for d in 1 2 3 4 5 6; do
    for i in $(seq 3 3 40); do rm -f "$mnt/DCIM/10${d}MEDIA/IMG_$d$i.JPG"; done
done
sync
detach
cp "$image" "$damaged"
dd if=/dev/zero of="$damaged" bs=512 count=24 conv=notrunc status=none

seconds() {  # runs a command, prints its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() {  # runs a command RUNS times, prints the median wall time
    local times=()
    for _ in $(seq 1 "$runs"); do times+=("$(seconds "$@")"); done
    printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p"
}
listed() {  # the number of files a scan lists
    "$cli" scan "$1" 2>/dev/null | sed -n 's/^\([0-9]*\) files found$/\1/p'
}

t_quick=$(median "$cli" scan "$image")
t_deep=$(median "$cli" scan "$damaged")
mb=$(echo "$size_mib * 1.048576" | bc -l)
printf 'volume      %d MiB exFAT, 32 KiB clusters, %d runs each, medians\n' "$size_mib" "$runs"
printf 'quick scan  %6.2f s  %7.1f MB/s  %s files listed\n' "$t_quick" \
    "$(echo "$mb / $t_quick" | bc -l)" "$(listed "$image")"
printf 'deep scan   %6.2f s  %7.1f MB/s  %s files listed (boot regions wiped)\n' "$t_deep" \
    "$(echo "$mb / $t_deep" | bc -l)" "$(listed "$damaged")"
