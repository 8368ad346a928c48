#!/usr/bin/env bash
# False positives of carving: scans SIZE MiB of random bytes (no file system, no file in it)
# and counts what carving claims to find there, by type. Every claim is a false positive.
#
# Usage: bench/carving_random.sh BUILD_DIR [SIZE_MIB=1024] [SEED=1]
set -euo pipefail
build=$(cd "$1" && pwd)
mib=${2:-1024}
seed=${3:-1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A seeded stream, so that a claim can be looked at again.
openssl enc -aes-256-ctr -pass "pass:$seed" -nosalt -pbkdf2 < /dev/zero 2> /dev/null |
  head -c $((mib * 1024 * 1024)) > "$work/random.img" || true
"$build/cli/ferrowen-cli" scan "$work/random.img" --json > "$work/scan.json" || true
python3 - "$work/scan.json" "$mib" <<'PY'
import collections, json, sys
files = []
for line in open(sys.argv[1]):
    if line.startswith("{"):
        files += json.loads(line).get("files", [])
kinds = collections.Counter(f["extension"] for f in files)
total = sum(kinds.values())
print(f"{total} files claimed in {sys.argv[2]} MiB of random bytes "
      f"({total * 1024 / int(sys.argv[2]):.1f} per GiB)")
for ext, n in kinds.most_common():
    print(f"  {ext:6} {n}")
PY
