"""Runs the three contenders on fresh, identical copies of each case's files,
interleaved (every round runs every case by every contender, in an order that
turns from round to round), and prints min / median / max of each figure per
contender and the ratios of the medians.

Every contender prints "file NS" (the system clock, in nanoseconds since the
epoch) as each file is done; all figures are taken from those stamps and from
this script's own clock, the same way for each:
  warm    time per file over files 2..N: (done(N) - done(1)) / (N - 1)
  start   the first file's extra time: (done(1) - launch) - warm
  job     the whole job, from launching the process to its exit

Usage: compare.py ROUNDS WORK CASE... where WORK holds one folder per case
(CASE is NAME:KIND, KIND doc or xls) and CASE's files are its *.doc or *.xls.
"""
import hashlib
import os
import shutil
import statistics
import subprocess
import sys
import time

FIND, REPLACE = "旧文本", "新文本"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("BUILD", os.path.join(ROOT, "build"))


def listed(name, kind):
    """As the program lists them: "*.doc" also takes .docx and .docm, "*.xls" .xlsx."""
    return not name.startswith(".") and os.path.splitext(name)[1].lower().startswith("." + kind)

CONTENDERS = [
    ("ravelsk", lambda kind, folder: [os.path.join(BUILD, "ravelsk_bench"), kind, folder, FIND, REPLACE]),
    ("plain", lambda kind, folder: [os.path.join(BUILD, "ravelsk_plain_loop"), kind, folder, FIND, REPLACE]),
    ("peer", lambda kind, folder: ["/usr/bin/python3", os.path.join(ROOT, "bench", "baseline.py"),
                                   kind, folder, FIND, REPLACE]),
]


def digests(folder):
    return {n: hashlib.md5(open(os.path.join(folder, n), "rb").read()).hexdigest()
            for n in sorted(os.listdir(folder)) if not n.startswith(".")}


def run_once(name, command, kind, source, scratch):
    folder = os.path.join(scratch, name)
    shutil.rmtree(folder, ignore_errors=True)
    shutil.copytree(source, folder)
    launch = time.time_ns()
    done = subprocess.run(command(kind, folder), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    end = time.time_ns()
    if done.returncode != 0:
        sys.exit(f"{name} failed on {source}:\n{done.stderr}")
    stamps = [int(line.split()[1]) for line in done.stdout.splitlines() if line.startswith("file ")]
    files = [n for n in os.listdir(source) if listed(n, kind)]
    if len(stamps) != len(files) or len(stamps) < 2:
        sys.exit(f"{name}: {len(stamps)} files done of {len(files)} in {source}")
    before, after = digests(source), digests(folder)
    changed = sorted(n for n in before if before[n] != after.get(n))
    leftovers = sorted(set(after) - set(before))
    if leftovers:
        sys.exit(f"{name} left files behind: {leftovers}")
    shutil.rmtree(folder)
    warm = (stamps[-1] - stamps[0]) / (len(stamps) - 1) / 1e6
    return {"warm": warm, "start": (stamps[0] - launch) / 1e6 - warm, "job": (end - launch) / 1e6}, changed


def main():
    rounds = int(sys.argv[1])
    work = sys.argv[2]
    cases = [c.split(":") for c in sys.argv[3:]]
    scratch = os.path.join(work, "scratch")
    os.makedirs(scratch, exist_ok=True)
    figures = {(case, name): [] for case, _ in cases for name, _ in CONTENDERS}
    for r in range(rounds):
        for case, kind in cases:
            turned = CONTENDERS[r % len(CONTENDERS):] + CONTENDERS[:r % len(CONTENDERS)]
            changed_by = {}
            for name, command in turned:
                result, changed = run_once(name, command, kind, os.path.join(work, case), scratch)
                figures[(case, name)].append(result)
                changed_by[name] = changed
            if len({tuple(c) for c in changed_by.values()}) != 1:
                sys.exit(f"{case}: the contenders changed different files: {changed_by}")
            if not changed_by["plain"]:
                sys.exit(f"{case}: no file changed")
        print(f"round {r + 1} of {rounds} done", file=sys.stderr, flush=True)

    names = [n for n, _ in CONTENDERS]
    for case, kind in cases:
        names_of_case = [n for n in os.listdir(os.path.join(work, case)) if listed(n, kind)]
        endings = "/".join(sorted({os.path.splitext(n)[1].lower() for n in names_of_case}))
        print(f"\n{case} ({len(names_of_case)} {endings} files, {rounds} rounds)")
        print(f"  {'':<16}" + "".join(f"{n + ' min/median/max':>30}" for n in names)
              + f"{'ravelsk/plain':>15}{'ravelsk/peer':>14}")
        for key, label in (("warm", "ms per file"), ("start", "start ms"), ("job", "whole job ms")):
            cells, medians = [], {}
            for n in names:
                values = [f[key] for f in figures[(case, n)]]
                medians[n] = statistics.median(values)
                cells.append(f"{min(values):.1f} / {medians[n]:.1f} / {max(values):.1f}")
            print(f"  {label:<16}" + "".join(f"{c:>30}" for c in cells)
                  + f"{medians['ravelsk'] / medians['plain']:>15.2f}"
                  + f"{medians['ravelsk'] / medians['peer']:>14.2f}")
        # The contenders of one round ran minutes apart at most, under much
        # the same load: the ratio within each round, then their median.
        paired = {other: statistics.median(
            o["warm"] / p["warm"] for o, p in zip(figures[(case, "ravelsk")], figures[(case, other)]))
            for other in ("plain", "peer")}
        label = "ms per file: the median of each round's own ratio"
        print(f"  {label:<106}{paired['plain']:>15.2f}{paired['peer']:>14.2f}")


main()
