#!/usr/bin/env python3
"""Seeded mutation testing for the engine sources.

Makes small faults in the C++ sources (one place in one file per mutant), rebuilds
incrementally, runs ctest and counts how many of the faults the suite notices.

    python3 tools/mutate.py --source . --build build-mut --count 60 --seed 1
    python3 tools/mutate.py --build build-mut --restore   # after a crash

Run it under `nice` on a shared machine; builds and tests inherit the niceness.
Standard library only.
"""
from __future__ import annotations

import argparse
import base64
import json
import os
import random
import re
import shlex
import signal
import subprocess
import sys
import time
from dataclasses import asdict, dataclass, field
from pathlib import Path

DEFAULT_FOLDERS = ["fat", "ntfs", "exfat", "carving", "engine", "store", "disk", "foundation", "ext"]
OPERATORS = ["flip-cmp", "off-by-one", "delete-stmt", "swap-return"]
JOURNAL_NAME = "mutate-journal.json"

FLIP = {"<": ">=", ">=": "<", ">": "<=", "<=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&"}
BOUND = {"<": "<=", "<=": "<", ">": ">=", ">=": ">"}

# A binary operator with blanks on both sides. The project's formatting puts blanks around
# comparisons and none inside template brackets, so `vector<int>` and `a<<b` never match.
RELATION_RE = re.compile(r"(?<=\s)(<=|>=|==|!=|&&|\|\||<|>)(?=\s|$)")
# An integer literal right of a binary + or - or of an ordering: `n - 1`, `i + 2`, `x < 16`.
LITERAL_RE = re.compile(
    r"(?P<operand>[\w)\]])(?P<op>\s*[-+]\s*|\s+(?:<=|>=|<|>)\s+)"
    r"(?P<num>0[xX][0-9a-fA-F]+|\d+)(?P<suffix>[uUlLzZ]*)(?![\w.'])")
# A statement that only acts: a call, an assignment or an increment on a plain lvalue.
# Declarations (`Type name = ...`) never match because two names stand side by side there.
ACTION_RE = re.compile(
    r"^\s*(?:\+\+|--|\*)?[A-Za-z_]\w*"
    r"(?:\s*(?:\.|->|::)\s*[A-Za-z_]\w*|\[[^\]]*\])*"
    r"\s*(?:\(|=(?!=)|(?:[-+*/%&|^]|<<|>>)=|\+\+|--)")
NOT_ACTIONS = {"return", "break", "continue", "goto", "throw", "case", "default", "using",
               "typedef", "static_assert", "if", "for", "while", "do", "switch", "else",
               "delete", "sizeof", "template", "namespace", "co_return", "co_yield"}
RETURN_RE = re.compile(r"\breturn\s+(-?\d+|true|false|[A-Z][A-Z0-9_]+|k[A-Z]\w*)\s*;")


@dataclass
class Site:
    """One place a mutation can be made, with the replacements it may take."""
    file: str           # relative to the source root
    line: int
    start: int          # character offsets into the file's text
    end: int
    op: str
    original: str
    replacements: list[str]


@dataclass
class Mutant:
    file: str
    line: int
    start: int
    end: int
    op: str
    original: str
    replacement: str
    before: str = ""    # the changed line, before and after, for the report
    after: str = ""
    outcome: str = ""
    seconds: float = 0.0
    note: str = ""
    failed_tests: list[str] = field(default_factory=list)

    def label(self) -> str:
        return f"{self.file}:{self.line} {self.op:<11} '{self.before}' -> '{self.after}'"


# ---------------------------------------------------------------- lexical scanning

def strip_code(text: str) -> str:
    """Blanks out comments and string/char literals, keeping every offset and newline,
    so that matches on the result can be applied to the original text."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a: int, b: int) -> None:
        for k in range(a, min(b, n)):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == '"' or c == "'":
            prefix = re.search(r"[\w]*$", text[max(0, i - 8):i]).group(0)
            if c == "'" and prefix and prefix[0].isdigit():
                i += 1  # a digit separator: 1'000'000
                continue
            if c == '"' and prefix.endswith("R"):
                m = re.compile(r'"([^()\\\s]{0,16})\(').match(text, i)
                if m:
                    close = text.find(")" + m.group(1) + '"', m.end())
                    j = n if close < 0 else close + len(m.group(1)) + 2
                    blank(i + 1, j - 1)
                    i = j
                    continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            blank(i + 1, j)  # keep the quotes so the literal still reads as an operand
            i = j + 1
        else:
            i += 1
    return "".join(out)


def preprocessor_lines(code_lines: list[str]) -> set[int]:
    """Indices of lines that belong to preprocessor directives (continuations included)."""
    skip, inside = set(), False
    for idx, line in enumerate(code_lines):
        if inside or line.lstrip().startswith("#"):
            skip.add(idx)
            inside = line.rstrip().endswith("\\")
    return skip


def looks_like_template(code_line: str, pos: int) -> bool:
    """True where a spaced `<` or `>` may still be a template bracket: `template <class T>`,
    `operator<`, or an old-style `vector<pair<int, int> >`."""
    before = code_line[:pos].rstrip()
    return "template" in code_line or before.endswith("operator") or before.endswith(">")


def previous_code_line(code_lines: list[str], idx: int, skip: set[int]) -> str:
    for k in range(idx - 1, -1, -1):
        if k not in skip and code_lines[k].strip():
            return code_lines[k].strip()
    return "{"


def find_sites(rel: str, text: str) -> list[Site]:
    """Every candidate mutation in one file, found on the comment- and literal-free text."""
    code = strip_code(text)
    code_lines = code.split("\n")
    skip = preprocessor_lines(code_lines)
    returns = RETURN_RE.findall(code)
    nonzero = sorted({v for v in returns if re.fullmatch(r"-?\d+", v) and int(v) != 0})
    constants = sorted({v for v in returns if not re.fullmatch(r"-?\d+|true|false", v)})
    sites: list[Site] = []
    offset = 0
    for idx, line in enumerate(code_lines):
        lineno, base = idx + 1, offset
        offset += len(line) + 1
        if idx in skip or not line.strip():
            continue

        def add(op: str, a: int, b: int, repl: list[str]) -> None:
            if repl:
                sites.append(Site(rel, lineno, base + a, base + b, op, text[base + a:base + b], repl))

        for m in RELATION_RE.finditer(line):
            tok = m.group(1)
            if tok in "<>" and looks_like_template(line, m.start()):
                continue
            add("flip-cmp", m.start(), m.end(), [FLIP[tok]])
            if tok in BOUND:
                add("off-by-one", m.start(), m.end(), [BOUND[tok]])
        for m in LITERAL_RE.finditer(line):
            left = line[:m.start("operand") + 1]
            if re.search(r"\d[\w.]*[eE]$|\b(?:return|case|throw)$", left):
                continue  # a float's exponent or a negative literal, not a subtraction
            value = int(m.group("num"), 0)
            alts = [value + 1] + ([value - 1] if value > 0 else [])
            hexa = m.group("num")[:2].lower() == "0x"
            add("off-by-one", m.start("num"), m.end("num"),
                [(f"0x{v:X}" if hexa else str(v)) for v in alts])
        stmt = line.strip()
        first = re.match(r"\W*(\w+)", stmt)
        if (stmt.endswith(";") and stmt.count(";") == 1 and ACTION_RE.match(line) and first
                and first.group(1) not in NOT_ACTIONS
                and stmt.count("(") == stmt.count(")") and "{" not in stmt and "}" not in stmt
                and previous_code_line(code_lines, idx, skip)[-1] in ";{}"):
            a = line.index(stmt)
            add("delete-stmt", a, a + len(stmt), [""])
        for m in RETURN_RE.finditer(line):
            v = m.group(1)
            if v in ("true", "false"):
                alts = ["false" if v == "true" else "true"]
            elif re.fullmatch(r"-?\d+", v):
                alts = nonzero if int(v) == 0 else ["0"]
            else:
                group = v.split("_")[0] if "_" in v else v[:1]
                alts = [c for c in constants if c != v and c.startswith(group)]
            add("swap-return", m.start(1), m.end(1), [a for a in alts if a != v])
    return sites


# ---------------------------------------------------------------- choosing mutants

def source_files(root: Path, folders: list[str], headers: bool) -> list[Path]:
    patterns = ["*.cpp"] + (["*.h", "*.hpp"] if headers else [])
    files = {p for f in folders for pat in patterns for p in (root / f).glob(pat)}
    return sorted(files)


def draw_mutants(pools: dict[str, dict[str, list[Site]]], sizes: dict[str, int],
                 texts: dict[str, str], rng: random.Random):
    """Yields mutants forever (until the sites run out): operators take turns so each gets
    about the same share, files are drawn by size, and no line is mutated twice."""
    used: set[tuple[str, int]] = set()
    ops = sorted(op for op in pools if any(pools[op].values()))
    rng.shuffle(ops)
    turn = 0
    while ops:
        op = ops[turn % len(ops)]
        mutant = draw_one(pools[op], sizes, used, rng)
        if mutant is None:
            ops.remove(op)
            continue
        turn += 1
        used.add((mutant.file, mutant.line))
        describe(mutant, texts[mutant.file])
        yield mutant


def draw_one(pool: dict[str, list[Site]], sizes: dict[str, int],
             used: set[tuple[str, int]], rng: random.Random) -> Mutant | None:
    while True:
        files = [f for f in sorted(pool) if pool[f]]
        if not files:
            return None
        f = rng.choices(files, weights=[sizes[f] for f in files])[0]
        site = pool[f].pop(rng.randrange(len(pool[f])))
        if (site.file, site.line) not in used:
            return Mutant(site.file, site.line, site.start, site.end, site.op, site.original,
                          rng.choice(site.replacements))


def describe(m: Mutant, text: str) -> None:
    """Fills in a short excerpt of the line before and after the change."""
    line_start = text.rfind("\n", 0, m.start) + 1
    line_end = text.find("\n", m.start)
    line = text[line_start:line_end if line_end >= 0 else len(text)]
    col = m.start - line_start
    a, b = max(0, col - 24), col + len(m.original) + 24
    m.before = line[a:b].strip()
    m.after = (line[a:col] + m.replacement + line[col + len(m.original):b]).strip()


# ---------------------------------------------------------------- applying and restoring

class Journal:
    """Keeps the original bytes of the file under mutation, in memory and on disk, so that
    the sources can be put back even after the tool itself was killed."""

    def __init__(self, build: Path):
        self.path = build / JOURNAL_NAME
        self.held: tuple[Path, bytes] | None = None

    def apply(self, root: Path, m: Mutant) -> None:
        target = root / m.file
        original = target.read_bytes()
        self.held = (target, original)
        record = {"file": str(target), "original": base64.b64encode(original).decode(),
                  "mutant": asdict(m)}
        tmp = self.path.with_suffix(".tmp")
        tmp.write_text(json.dumps(record))
        os.replace(tmp, self.path)
        text = original.decode("utf-8", "surrogateescape")
        mutated = text[:m.start] + m.replacement + text[m.end:]
        target.write_bytes(mutated.encode("utf-8", "surrogateescape"))

    def restore(self) -> None:
        if self.held is None and self.path.exists():
            record = json.loads(self.path.read_text())
            self.held = (Path(record["file"]), base64.b64decode(record["original"]))
        if self.held is None:
            return
        target, original = self.held
        target.write_bytes(original)
        # The object file was built from the mutant after the mutant was written; a fresh
        # mtime on the restored source makes the next incremental build recompile it.
        os.utime(target)
        self.held = None
        self.path.unlink(missing_ok=True)


# ---------------------------------------------------------------- building and testing

def run(cmd: list[str], timeout: float) -> tuple[int | None, str, float]:
    """Runs a command in its own process group; returns (exit code or None on timeout,
    output, seconds). The whole group is killed on a timeout or an interrupt."""
    started = time.monotonic()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out, time.monotonic() - started
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out, time.monotonic() - started
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise


class Runner:
    def __init__(self, args: argparse.Namespace):
        self.build_cmd = ["cmake", "--build", str(args.build), f"-j{args.jobs}"]
        self.test_cmd = (["ctest", "--test-dir", str(args.build), f"-j{args.jobs}",
                          "--stop-on-failure", "--no-tests=error", "--timeout", str(args.timeout)]
                         + shlex.split(args.ctest_args))
        self.build_timeout = args.build_timeout
        self.suite_timeout = args.suite_timeout

    def build(self) -> tuple[bool, str]:
        code, out, _ = run(self.build_cmd, self.build_timeout)
        return code == 0, out

    def test(self) -> tuple[bool | None, str]:
        """True green, False failed, None timed out as a whole."""
        code, out, _ = run(self.test_cmd, self.suite_timeout)
        return (None if code is None else code == 0), out


def failed_tests(ctest_output: str) -> list[str]:
    names = re.findall(r"Test\s+#\d+: (\S+) \.*\s*\**(?:Failed|Timeout|Exception|Not Run)",
                       ctest_output)
    return names[:5]


def try_mutant(m: Mutant, root: Path, journal: Journal, runner: Runner) -> None:
    started = time.monotonic()
    try:
        journal.apply(root, m)
        built, out = runner.build()
        if not built:
            m.outcome = "stillborn"
        else:
            green, out = runner.test()
            m.outcome = "survived" if green else "killed"
            m.note = "suite timed out" if green is None else ""
            m.failed_tests = failed_tests(out)
    finally:
        journal.restore()
        m.seconds = round(time.monotonic() - started, 1)


# ---------------------------------------------------------------- the command

def parse_args(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--source", type=Path, default=Path("."), help="source root (default .)")
    p.add_argument("--build", type=Path, required=True, help="configured build folder")
    p.add_argument("--folders", nargs="+", help="engine folders to mutate")
    p.add_argument("--headers", action="store_true", help="mutate headers too")
    p.add_argument("--count", type=int, default=50, help="mutants that must actually run")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--ctest-args", default="", help="extra ctest arguments, one string")
    p.add_argument("--timeout", type=int, default=60, help="ctest's per-test timeout, seconds")
    p.add_argument("--suite-timeout", type=int, default=900, help="limit for one ctest run")
    p.add_argument("--build-timeout", type=int, default=900, help="limit for one build")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--report", type=Path, help="JSON report (default BUILD/mutate-report.json)")
    p.add_argument("--list", action="store_true", help="print the chosen mutants and stop")
    p.add_argument("--restore", action="store_true", help="put back a file a crash left mutated")
    return p.parse_args(argv)


def choose(args: argparse.Namespace, root: Path):
    folders = args.folders or [f for f in DEFAULT_FOLDERS if (root / f).is_dir()]
    pools: dict[str, dict[str, list[Site]]] = {op: {} for op in OPERATORS}
    sizes, texts = {}, {}
    for path in source_files(root, folders, args.headers):
        rel = path.relative_to(root).as_posix()
        texts[rel] = path.read_bytes().decode("utf-8", "surrogateescape")
        sizes[rel] = len(texts[rel])
        for site in find_sites(rel, texts[rel]):
            pools[site.op].setdefault(rel, []).append(site)
    return folders, draw_mutants(pools, sizes, texts, random.Random(args.seed))


def summarise(ran: list[Mutant], stillborn: int) -> dict:
    killed = sum(m.outcome == "killed" for m in ran)
    return {"run": len(ran), "killed": killed, "survived": len(ran) - killed,
            "stillborn": stillborn,
            "kill_rate": round(killed / len(ran), 3) if ran else None,
            "seconds_per_mutant": round(sum(m.seconds for m in ran) / len(ran), 1) if ran else None}


def interrupt(signum, frame) -> None:
    """SIGTERM unwinds like Ctrl-C, through the finally blocks that put the sources back."""
    raise KeyboardInterrupt


def main(argv: list[str]) -> int:
    args = parse_args(argv)
    root, build = args.source.resolve(), args.build.resolve()
    args.build = build
    journal = Journal(build)
    if journal.path.exists():
        journal.restore()
        print("restored the file a previous run left mutated", file=sys.stderr)
    if args.restore:
        return 0
    folders, mutants = choose(args, root)
    if args.list:
        for i, m in enumerate(mutants):
            if i == args.count:
                break
            print(f"[{i + 1}/{args.count}] {m.label()}")
        return 0

    signal.signal(signal.SIGTERM, interrupt)
    runner = Runner(args)
    report_path = args.report or build / "mutate-report.json"
    report = {"source": str(root), "build": str(build), "folders": folders, "seed": args.seed,
              "count": args.count, "build_command": runner.build_cmd,
              "test_command": runner.test_cmd, "mutants": []}
    ran: list[Mutant] = []
    stillborn = 0
    started = time.monotonic()
    try:
        if not check_baseline(runner, report):
            return 2
        for m in mutants:
            if len(ran) == args.count:
                break
            try_mutant(m, root, journal, runner)
            report["mutants"].append(asdict(m))
            if m.outcome == "stillborn":
                stillborn += 1
                print(f"[  -/{args.count}] {m.outcome:<9} {m.label()}  ({m.seconds:.0f} s)", flush=True)
                continue
            ran.append(m)
            print(f"[{len(ran)}/{args.count}] {m.outcome:<9} {m.label()}  ({m.seconds:.0f} s)", flush=True)
    except KeyboardInterrupt:
        print("interrupted: sources restored", file=sys.stderr)
    finally:
        journal.restore()
        rebuilt, _ = runner.build()  # leave the build folder matching the sources again
        report["final_rebuild_ok"] = rebuilt
        report["summary"] = summarise(ran, stillborn)
        report["wall_seconds"] = round(time.monotonic() - started, 1)
        if ran:  # baseline, stillborn draws and the final rebuild included
            report["summary"]["wall_seconds_per_run_mutant"] = round(report["wall_seconds"] / len(ran), 1)
        report_path.write_text(json.dumps(report, indent=2))
    print_summary(report["summary"], ran, report_path)
    return 0


def check_baseline(runner: Runner, report: dict) -> bool:
    """Mutants are only worth counting against a suite that passes on the real sources."""
    t0 = time.monotonic()
    built, out = runner.build()
    green, out = runner.test() if built else (False, out)
    report["baseline_seconds"] = round(time.monotonic() - t0, 1)
    if not green:
        print("the unmutated sources do not build and pass; fix that first:\n" + out[-3000:],
              file=sys.stderr)
    else:
        print(f"baseline: built and green in {report['baseline_seconds']:.0f} s", flush=True)
    return bool(green)


def print_summary(summary: dict, ran: list[Mutant], report_path: Path) -> None:
    rate = summary["kill_rate"]
    print(f"\nrun {summary['run']}, killed {summary['killed']}, survived {summary['survived']}, "
          f"stillborn {summary['stillborn']}, kill rate "
          f"{'-' if rate is None else f'{100 * rate:.1f}%'}")
    survivors = [m for m in ran if m.outcome == "survived"]
    if survivors:
        print("survivors:")
        for m in survivors:
            print(f"  {m.label()}")
    print(f"report: {report_path}")


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
