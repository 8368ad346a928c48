#!/usr/bin/env bash
# How exactly carving measures files on a used card: builds a card image of real files with
# random bytes, zeros or nothing between them (make_card_image.py), carves it with
# ferrowen-cli, and scores every placed file exact / over-long / short or wrong / missed.
# When photorec is installed, its result on the same image is scored beside it.
#
# Usage: bench/carving_card.sh BUILD_DIR [WORK_DIR] [--scale N]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$1" && pwd)
work=${2:-/tmp/ferrowen-card}
shift $(( $# >= 2 ? 2 : 1 ))
mkdir -p "$work"
if [[ ! -f "$work/card.img" ]]; then
  python3 "$here/make_card_image.py" "$work/inputs" "$work/card.img" "$@"
fi
rm -rf "$work/ferrowen"
status=0
"$build/cli/ferrowen-cli" recover "$work/card.img" --out "$work/ferrowen" > "$work/ferrowen.log" 2>&1 ||
  status=$?
echo "ferrowen (exit $status):"
python3 "$here/carving_exactness.py" "$work/card.img.truth.tsv" "$work/ferrowen" --list
if command -v photorec > /dev/null; then
  rm -rf "$work/photorec" && mkdir -p "$work/photorec"
  # Run from the work folder: its log goes to the current folder.
  (cd "$work" && photorec /log /d "$work/photorec/r" /cmd "$work/card.img" \
    partition_none,fileopt,everything,enable,search > /dev/null 2>&1) || true
  echo "photorec:"
  python3 "$here/carving_exactness.py" "$work/card.img.truth.tsv" "$work/photorec" > "$work/photorec.score"
  head -1 "$work/photorec.score"
fi
