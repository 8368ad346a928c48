#!/usr/bin/env bash
# Whole-process benchmark of a deep scan. Builds a FAT32 image (2 GiB by default) whose free
# space holds random bytes and a few hundred deleted files, then times, in one run:
#   cat of the image with the page cache warm (what reading it costs),
#   ferrowen-cli scan of the whole image,
#   PhotoRec (Debian's testdisk) searching the whole image,
# and prints the ratios ferrowen/cat and ferrowen/PhotoRec.
#
# usage: bench/whole_scan.sh [BUILD_DIR] [SIZE_MIB]   (as root; installs what it lacks)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
size_mib=${2:-2048}
cli="$build/cli/ferrowen-cli"
[[ -x $cli ]] || { echo "build ferrowen-cli first (cmake --build $build)" >&2; exit 2; }

need=()
for tool in mkfs.fat:dosfstools mcopy:mtools photorec:testdisk bc:bc; do
    command -v "${tool%%:*}" >/dev/null || need+=("${tool##*:}")
done
if ((${#need[@]})); then
    apt-get update -q && apt-get install -y -q --no-install-recommends "${need[@]}"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
image="$work/bench.img"
export MTOOLS_SKIP_CHECK=1 XDG_DATA_HOME="$work/data"

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
for i in $(seq 1 300 | awk 'NR % 3 == 0'); do mdel -i "$image" "::/DCIM/100CANON/IMG_$i.JPG"; done
rm -f "$work"/IMG_*.JPG

seconds() {  # runs a command, prints its wall time in seconds
    local start end
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1 || true
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l
}

cat "$image" >/dev/null  # warm the page cache
t_cat=$(seconds cat "$image")
t_ferrowen=$(seconds "$cli" scan "$image" --json)
t_photorec=$(cd "$work" && seconds photorec /d "$work/photorec" /cmd "$image" wholespace,search)

printf 'image            %d MiB\n' "$size_mib"
printf 'cat              %8.2f s\n' "$t_cat"
printf 'ferrowen-cli     %8.2f s   (%.2f x cat)\n' "$t_ferrowen" "$(echo "$t_ferrowen / $t_cat" | bc -l)"
printf 'photorec         %8.2f s   (ferrowen takes %.2f x photorec)\n' "$t_photorec" \
    "$(echo "$t_ferrowen / $t_photorec" | bc -l)"
