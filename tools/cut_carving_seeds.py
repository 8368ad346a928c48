#!/usr/bin/env python3
"""Cuts the carving fuzz seeds from the carving fixtures: every placed file of
tests/fixtures/carving/{carving,modern}.img.gz, whole (up to the estimator target's 256 KiB
limit), followed by a sector of the bytes that follow it on the image, into
tests/fuzz/corpus/fuzz_estimators/, and its first sector into tests/fuzz/corpus/fuzz_signatures/.
Seeds carry fixed names and are overwritten on a rerun.

usage: tools/cut_carving_seeds.py
"""
import gzip, os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
S = 512
LIMIT = 1 << 18


def main():
    corpus = os.path.join(ROOT, "tests/fuzz/corpus")
    for fixture in ("carving", "modern"):
        base = os.path.join(ROOT, "tests/fixtures/carving", fixture)
        image = gzip.open(base + ".img.gz").read()
        for line in open(base + ".truth.tsv"):
            if line.startswith("#"):
                continue
            name, ext, code, start, size, *_ = line.split("\t")
            start, size = int(start) * S, int(size)
            seed = name.replace(".", "_")
            whole = image[start:start + size + S]
            if len(whole) <= LIMIT:
                with open(os.path.join(corpus, "fuzz_estimators", seed), "wb") as f:
                    f.write(whole)
            with open(os.path.join(corpus, "fuzz_signatures", seed), "wb") as f:
                f.write(image[start:start + S])


if __name__ == "__main__":
    main()
