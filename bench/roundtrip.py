#!/usr/bin/env python3
"""Names and folders kept: a volume made and filled by the real tools, part of it deleted,
recovered by ferrowen-cli, and every deleted file looked for at its own path.

A random tree (folders up to five deep; names in several scripts, with spaces, long or 8.3)
of files with distinct random contents is written through the kernel (FAT), exfat-fuse or
ntfs-3g; then about a third of the files and a few whole folders are deleted, and nothing more
is written, so every deleted file's data is still on the volume. Each deleted file is scored:
  exact     its own bytes at its own path
  renamed   its own bytes elsewhere (a FAT short name loses its first letter when deleted)
  wrong     a file at its path with other bytes
  missed    nowhere
and every other file recovered counts as extra (a carved copy of a named file, or junk).
Files that were not deleted must not come back unless asked for (--present), and then exact.
With --reformat nothing is deleted: the volume is formatted again over the tree, and every file
is looked for.

usage (root: loop devices, FUSE):
  bench/roundtrip.py BUILD_DIR [--fs fat12|fat16|fat32|exfat|ntfs] [--seed N] [--mib N]
"""
import argparse
import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile

SCRIPTS = [
    "abcdefghijklmnopqrstuvwxyz",
    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789",
    "éèàçüößñ",
    "абвгдежзийклмнопрстуфхцчшщыэюя",
    "照片夏天文件目录图片视频音乐",
    "αβγδεζηθικλμνξοπρστυφχψω",
]


def random_name(rng, ext):
    kind = rng.random()
    if kind < 0.2:  # 8.3, upper case: a FAT short name only
        stem = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789") for _ in range(rng.randint(1, 8)))
        return stem + ext.upper()
    words = []
    for _ in range(rng.randint(1, 6 if kind > 0.9 else 3)):
        alphabet = rng.choice(SCRIPTS)
        words.append("".join(rng.choice(alphabet) for _ in range(rng.randint(2, 12))))
    return " ".join(words) + ext


# Files open as their kind does, so that the check of a picture's first bytes passes as it would
# for a real photo; the rest is random.
MAGIC = {
    ".jpg": b"\xff\xd8\xff\xe0\x00\x10JFIF\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00",
    ".pdf": b"%PDF-1.7\n",
    ".mp4": b"\x00\x00\x00\x18ftypmp42\x00\x00\x00\x00mp42isom",
    ".docx": b"PK\x03\x04\x14\x00\x06\x00",
}


def random_bytes(rng, ext, size):
    magic = MAGIC.get(ext.lower(), b"")
    return (magic + rng.randbytes(max(0, size - len(magic))))[:size]


def build_tree(rng, files, folders):
    dirs = [""]
    for _ in range(folders):
        parent = rng.choice([d for d in dirs if d.count("/") < 4])
        dirs.append((parent + "/" if parent else "") + random_name(rng, ""))
    tree = {}
    for _ in range(files):
        folder = rng.choice(dirs)
        ext = rng.choice([".jpg", ".txt", ".mp4", ".pdf", ".bin", ".docx"])
        name = random_name(rng, ext)
        path = (folder + "/" if folder else "") + name
        if path.lower() in {p.lower() for p in tree}:
            continue
        size = rng.choice([0, 1, 511, 512, 4097]) if rng.random() < 0.1 else rng.randint(1, 300_000)
        tree[path] = random_bytes(rng, ext, size)
    return dirs, tree


def run(*cmd, **kw):
    return subprocess.run(cmd, check=True, capture_output=True, **kw)


def make_volume(fs, image, mib):
    with open(image, "r+b" if os.path.exists(image) else "wb") as f:  # keeps what is there
        f.truncate(mib << 20)
    if fs.startswith("fat"):
        run("mkfs.fat", "-F", fs[3:], "-n", "TRIP", image)
    elif fs == "exfat":
        run("mkfs.exfat", "-L", "TRIP", image)
    else:
        run("mkntfs", "-F", "-Q", "-L", "TRIP", image)


class Volume:
    """Writes and deletes through the real drivers: mtools for FAT (no kernel driver needed),
    exfat-fuse on a loop device, ntfs-3g."""

    def __init__(self, fs, image, mnt):
        self.fs, self.image, self.mnt, self.loop = fs, image, mnt, None
        self.mtools = fs.startswith("fat")
        if self.mtools:
            os.environ.update(MTOOLS_SKIP_CHECK="1", LANG="C.UTF-8", LC_ALL="C.UTF-8")
        elif fs == "exfat":
            self.loop = run("losetup", "-f", "--show", image).stdout.decode().strip()
            run("mount.exfat-fuse", self.loop, mnt)
        else:
            run("ntfs-3g", image, mnt)

    def mkdir(self, path):
        if self.mtools:
            run("mmd", "-i", self.image, "::/" + path)
        else:
            os.makedirs(os.path.join(self.mnt, path), exist_ok=True)

    def write(self, path, data):
        if self.mtools:
            local = os.path.join(self.mnt, "staged")
            with open(local, "wb") as f:
                f.write(data)
            run("mcopy", "-i", self.image, local, "::/" + path)
        else:
            with open(os.path.join(self.mnt, path), "wb") as f:
                f.write(data)

    def remove(self, path):
        if self.mtools:
            run("mdel", "-i", self.image, "::/" + path)
        else:
            os.remove(os.path.join(self.mnt, path))

    def remove_tree(self, path):
        if self.mtools:
            run("mdeltree", "-i", self.image, "::/" + path)
        else:
            shutil.rmtree(os.path.join(self.mnt, path))

    def close(self):
        os.sync()
        if not self.mtools:
            run("umount", self.mnt)
        if self.loop:
            run("losetup", "-d", self.loop)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def recovered_files(out):
    found = {}
    for root, _, names in os.walk(out):
        for name in names:
            full = os.path.join(root, name)
            with open(full, "rb") as f:
                found[os.path.relpath(full, out)] = f.read()
    return found


def strip_part(rel):
    """p1/Photos/x.jpg -> Photos/x.jpg; a volume without a table is recovered at the top."""
    head, _, rest = rel.partition("/")
    return rest if head.startswith("p") and head[1:].isdigit() and rest else rel


def score(tree, deleted, found, present_listed):
    by_path = {strip_part(rel): data for rel, data in found.items()}
    by_hash = {}
    for rel, data in by_path.items():
        by_hash.setdefault(sha(data), []).append(rel)
    counts = dict(exact=0, renamed=0, wrong=0, missed=0, empty=0, present_back=0,
                  present_wrong=0)
    examples = []
    used = set()  # recovered paths that stand for a deleted file
    for path in sorted(tree):
        data = tree[path]
        if path not in deleted:
            if path in by_path:
                counts["present_back"] += 1
                counts["present_wrong"] += by_path[path] != data
            continue
        if not data:  # nothing to recover; counted apart
            counts["empty"] += 1
            used.add(path)
        elif by_path.get(path) == data:
            counts["exact"] += 1
            used.add(path)
        elif path in by_path:
            counts["wrong"] += 1
            used.add(path)
            examples.append(f"wrong   {path} ({len(by_path[path])} bytes, wanted {len(data)})")
        elif sha(data) in by_hash:
            counts["renamed"] += 1
            used.add(by_hash[sha(data)][0])
            examples.append(f"renamed {path} -> {by_hash[sha(data)][0]}")
        else:
            counts["missed"] += 1
            examples.append(f"missed  {path} ({len(data)} bytes)")
    if not present_listed:
        counts.pop("present_wrong")
    # Recovered files that are none of the deleted files: carved copies of a named file, or junk.
    extras = [p for p in by_path if p not in used and p not in tree]
    counts["extra"] = len(extras)
    examples += [f"extra   {p} ({len(by_path[p])} bytes)" for p in extras]
    return counts, examples


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--fs", default="fat32")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--mib", type=int, default=0)
    ap.add_argument("--files", type=int, default=150)
    ap.add_argument("--present", action="store_true")
    ap.add_argument("--reformat", action="store_true",
                    help="delete nothing; format the volume again over the whole tree")
    ap.add_argument("--keep", help="keep the image and the recovered tree here")
    args = ap.parse_args()
    cli = os.path.join(os.path.abspath(args.build), "cli", "ferrowen-cli")
    rng = random.Random(args.seed)
    mib = args.mib or {"fat12": 8, "fat16": 64, "fat32": 96}.get(args.fs, 96)
    if args.fs == "fat12":
        args.files = min(args.files, 40)
    work = args.keep or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    image, mnt, out = (os.path.join(work, n) for n in ("volume.img", "mnt", "out"))
    os.makedirs(mnt, exist_ok=True)
    shutil.rmtree(out, ignore_errors=True)
    dirs, tree = build_tree(rng, args.files, max(3, args.files // 8))
    make_volume(args.fs, image, mib)
    volume = Volume(args.fs, image, mnt)
    try:
        for d in dirs[1:]:
            volume.mkdir(d)
        for path, data in tree.items():
            volume.write(path, data)
        os.sync()
        # Whole folders, none inside another, then single files outside them.
        gone_dirs = []
        gone_dirs = []
        for d in rng.sample(dirs[1:], k=len(dirs) - 1):
            if not args.reformat and len(gone_dirs) < 2 and not any(d.startswith(g + "/") or g.startswith(d + "/")
                                              for g in gone_dirs):
                gone_dirs.append(d)
        in_gone = {p for p in tree for d in gone_dirs if p.startswith(d + "/")}
        singles = {p for p in tree if p not in in_gone and rng.random() < 0.33}
        if args.reformat:
            singles = set()
        for path in singles:
            volume.remove(path)
        for d in gone_dirs:
            volume.remove_tree(d)
        deleted = singles | in_gone
    finally:
        volume.close()
    if args.reformat:  # a quick format: only the new volume's own structures are written
        make_volume(args.fs, image, mib)
        deleted = set(tree)
    env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "data"))
    cmd = [cli, "recover", image, "--out", out] + (["--present"] if args.present else [])
    status = subprocess.run(cmd, capture_output=True, env=env).returncode
    counts, examples = score(tree, deleted, recovered_files(out), args.present)
    print(f"{args.fs} seed {args.seed}: {len(tree)} files, {len(deleted)} deleted, exit {status}: "
          + ", ".join(f"{k} {v}" for k, v in counts.items()))
    # The rarer kinds first: a renamed file is most often a FAT short name's lost first letter.
    examples.sort(key=lambda line: line.startswith("renamed"))
    for line in examples[:12]:
        print("  " + line)
    if not args.keep:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
