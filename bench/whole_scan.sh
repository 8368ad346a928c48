#!/usr/bin/env bash
# Whole-process benchmark of a deep scan, with TZ unset as it usually is. Builds a FAT32 image
# (2 GiB by default) whose free space holds random bytes and a few hundred deleted files, then
# reports, in one run:
#   warm page cache: the median of RUNS runs each of cat of the image, ferrowen-cli scan of the
#     whole image and PhotoRec (Debian's testdisk) searching the whole image, with the ratios;
#     the system calls of one scan (strace -c -f) and its peak resident memory;
#   cold cache: the image on a read-only loop device, the page cache dropped before each run,
#     dd iflag=direct bs=4M of the device against ferrowen-cli scan of the device.
#
# usage: bench/whole_scan.sh [BUILD_DIR] [SIZE_MIB] [IMAGE]   (as root; installs what it lacks)
#   IMAGE: an image to use instead of building one (kept afterwards).
#   RUNS (environment): runs per measurement, default 3.
set -euo pipefail
unset TZ
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size_mib=${2:-2048}
given_image=${3:-}
runs=${RUNS:-3}
cli="$build/cli/ferrowen-cli"
[[ -x $cli ]] || { echo "build ferrowen-cli first (cmake --build $build)" >&2; exit 2; }

need=()
for tool in mkfs.fat:dosfstools mcopy:mtools photorec:testdisk bc:bc strace:strace \
    /usr/bin/time:time losetup:mount; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
if ((${#need[@]})); then
    apt-get update -q && apt-get install -y -q --no-install-recommends "${need[@]}"
fi

work=$(mktemp -d)
loop=""
cleanup() {
    [[ -n $loop ]] && losetup -d "$loop" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
export MTOOLS_SKIP_CHECK=1 XDG_DATA_HOME="$work/data"

if [[ -n $given_image ]]; then
    image=$given_image
    size_mib=$(($(stat -c %s "$image") / 1048576))
else
    image="$work/bench.img"
    echo "building a ${size_mib} MiB FAT32 image with random free space..."
    # Random bytes first: the formatter writes only its own structures, so the data area keeps
    # them, as on a card that has been filled and emptied many times.
    head -c "$((size_mib * 1048576))" /dev/urandom >"$image"
    mkfs.fat -F 32 -n BENCH "$image" >/dev/null
    mmd -i "$image" ::/DCIM ::/DCIM/100CANON ::/Docs
    for i in $(seq 1 300); do
        # A JPEG-looking file: the signature, a JFIF header and random content.
        { printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00'
          head -c "$((20000 + i * 37))" /dev/urandom
          printf '\xff\xd9'; } >"$work/IMG_$i.JPG"
    done
    mcopy -i "$image" "$work"/IMG_*.JPG ::/DCIM/100CANON/
    for i in $(seq 3 3 300); do mdel -i "$image" "::/DCIM/100CANON/IMG_$i.JPG"; done
    rm -f "$work"/IMG_*.JPG
fi

seconds() {  # runs a command, prints its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}
median() {  # runs a command RUNS times (after `prepare`, when set), prints the median time
    local times=()
    for ((r = 0; r < runs; r++)); do
        [[ -n ${prepare:-} ]] && $prepare
        times+=("$(seconds "$@")")
    done
    printf '%s\n' "${times[@]}" | sort -g | sed -n "$(((runs + 1) / 2))p"
}
ratio() { echo "$1 / $2" | bc -l; }
drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
photorec_run() { rm -rf "$work/photorec"*; (cd "$work" && photorec /d "$work/photorec" /cmd "$image" wholespace,search); }

cat "$image" >/dev/null  # warm the page cache
prepare=""
t_cat=$(median cat "$image")
t_ferrowen=$(median "$cli" scan "$image" --json)
t_photorec=$(median photorec_run)

printf 'image                 %d MiB, %d runs each, medians\n' "$size_mib" "$runs"
printf 'warm cat              %8.2f s\n' "$t_cat"
printf 'warm ferrowen-cli     %8.2f s   (%.2f x cat)\n' "$t_ferrowen" "$(ratio "$t_ferrowen" "$t_cat")"
printf 'warm photorec         %8.2f s   (ferrowen takes %.2f x photorec)\n' "$t_photorec" \
    "$(ratio "$t_ferrowen" "$t_photorec")"

strace -f -c -o "$work/strace.txt" "$cli" scan "$image" --json >/dev/null 2>&1 || true
echo "system calls of one scan (strace -c -f):"
{ head -n 12 "$work/strace.txt"; tail -n 1 "$work/strace.txt"; } | grep -v '^-' | sed 's/^/  /'
/usr/bin/time -f '%M' -o "$work/rss.txt" "$cli" scan "$image" --json >/dev/null 2>&1 || true
printf 'peak resident memory  %d KiB\n' "$(cat "$work/rss.txt")"

if loop=$(losetup -f --show -r "$image" 2>/dev/null); then
    prepare=drop_caches
    t_dd=$(median dd if="$loop" of=/dev/null iflag=direct bs=4M)
    t_cold=$(median "$cli" scan "$loop" --json)
    printf 'cold dd iflag=direct  %8.2f s   (%s)\n' "$t_dd" "$loop"
    printf 'cold ferrowen-cli     %8.2f s   (%.2f x dd)\n' "$t_cold" "$(ratio "$t_cold" "$t_dd")"
else
    echo "cold run skipped: no loop device (losetup failed)"
fi
