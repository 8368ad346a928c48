#!/usr/bin/env python3
"""Scores carved files against a card image's truth (bench/make_card_image.py): for each placed
file, whether a carved file starting at its sector is byte-exact, over-long (the file and more),
short or wrong, or missing. Carved files are found by the start sector in their names
("<sector>.<ext>", or "f<sector>.<ext>" as other carvers name them).

Usage: carving_exactness.py TRUTH.tsv CARVED_DIR [--list]
"""
import collections, hashlib, os, re, sys


def carved_by_sector(root):
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            m = re.match(r"^f?(\d+)(?:_[^.]*)?\.", name)
            if m:
                found.setdefault(int(m.group(1)), os.path.join(folder, name))
    return found


def main():
    truth, root = sys.argv[1], sys.argv[2]
    listing = "--list" in sys.argv
    found = carved_by_sector(root)
    counts = collections.Counter()
    by_ext = collections.defaultdict(collections.Counter)
    for line in open(truth):
        if line.startswith("#"):
            continue
        name, start, size, digest = line.rstrip("\n").split("\t")
        start, size = int(start), int(size)
        path = found.get(start)
        if path is None:
            verdict = "missed"
        else:
            data = open(path, "rb").read()
            if len(data) == size and hashlib.sha256(data).hexdigest() == digest:
                verdict = "exact"
            elif len(data) > size and hashlib.sha256(data[:size]).hexdigest() == digest:
                verdict = "over-long"
            else:
                verdict = "short-or-wrong"
        counts[verdict] += 1
        by_ext[name.rsplit(".", 1)[-1]][verdict] += 1
        if listing and verdict != "exact":
            got = os.path.getsize(path) if path else 0
            print(f"{verdict:15} {name:24} size {size:>10} carved {got:>10}")
    total = sum(counts.values())
    print(f"files {total}: exact {counts['exact']}, over-long {counts['over-long']}, "
          f"short-or-wrong {counts['short-or-wrong']}, missed {counts['missed']}")
    for ext in sorted(by_ext):
        c = by_ext[ext]
        print(f"  {ext:6} " + ", ".join(f"{k} {v}" for k, v in sorted(c.items())))


if __name__ == "__main__":
    main()
