#!/usr/bin/env python3
"""The seeded soak over many seeds at once: one `usbeth-sim soak` per seed,
as many at a time as there are cores, with the totals at the end.

Each seed's run prints its own progress to DIR/seedS.log and writes the
scenarios of its failures (shrunk, replayable with `usbeth-sim FILE`) to
DIR/seedS/. The summary gives, per seed and in all: simulated hours, real
time, events, faults injected, frames checked, failures. The exit status is
0 when every seed ran clean, 6 when any failure was found, 2 when a run could
not be made.

usage: soak-seeds.py [--seeds A-B | --seeds S,S,...] [--hours H] [--faults 0-3]
                     [--jobs J] [--out DIR] [--sim PATH] [--episode-minutes M]
"""
import argparse
import os
import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

SUMMARY = re.compile(
    r"soak: seed (\d+), faults level (\d+): ([\d.]+) simulated hours in ([\d.]+) s of real "
    r"time; (\d+) episodes, (\d+) events, (\d+) faults injected, (\d+) frames checked, "
    r"(\d+) failures")


def parse_seeds(text):
    seeds = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        m = re.fullmatch(r"(\d+)-(\d+)", part)
        if m:
            lo, hi = int(m.group(1)), int(m.group(2))
            if hi < lo:
                raise ValueError("seed range %s runs backwards" % part)
            seeds.extend(range(lo, hi + 1))
        elif part.isdigit():
            seeds.append(int(part))
        else:
            raise ValueError("not a seed or a range of seeds: %r" % part)
    if not seeds:
        raise ValueError("no seeds")
    return seeds


def parse_summary(text):
    """The figures of a run's last summary line, or None."""
    found = None
    for line in text.splitlines():
        m = SUMMARY.search(line)
        if m:
            g = m.groups()
            found = {"seed": int(g[0]), "faults": int(g[1]), "hours": float(g[2]),
                     "real": float(g[3]), "episodes": int(g[4]), "events": int(g[5]),
                     "injected": int(g[6]), "frames": int(g[7]), "failures": int(g[8])}
    return found


def run_seed(args, seed):
    out = os.path.join(args.out, "seed%d" % seed)
    os.makedirs(out, exist_ok=True)
    cmd = [args.sim, "soak", "--hours", str(args.hours), "--seed", str(seed),
           "--faults", str(args.faults), "--out", out]
    if args.episode_minutes:
        cmd += ["--episode-minutes", str(args.episode_minutes)]
    log_path = os.path.join(args.out, "seed%d.log" % seed)
    with open(log_path, "w") as log:
        rc = subprocess.run(cmd, stdout=log, stderr=subprocess.STDOUT).returncode
    with open(log_path) as log:
        text = log.read()
    summary = parse_summary(text)
    files = sorted(os.path.join(out, f) for f in os.listdir(out) if f.endswith(".toml"))
    return seed, rc, summary, files, log_path


def main():
    here = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seeds", default="1-20", help="seeds: A-B or a list (default 1-20)")
    ap.add_argument("--hours", type=float, default=1.0, help="simulated hours per seed")
    ap.add_argument("--faults", type=int, default=2, choices=range(0, 4),
                    help="fault level of every run (default 2: device and allocation faults)")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="runs at once")
    ap.add_argument("--out", default="soak-out", help="folder for logs and failures")
    ap.add_argument("--sim", default=os.path.join(here, "build", "default", "tools", "sim",
                                                  "usbeth-sim"), help="the usbeth-sim program")
    ap.add_argument("--episode-minutes", type=int, default=0,
                    help="simulated minutes per episode (default: the program's)")
    args = ap.parse_args()
    try:
        seeds = parse_seeds(args.seeds)
    except ValueError as e:
        print("soak-seeds: %s" % e, file=sys.stderr)
        return 2
    if not os.access(args.sim, os.X_OK):
        print("soak-seeds: %s is not a program (build the default preset first)" % args.sim,
              file=sys.stderr)
        return 2
    if args.hours <= 0 or args.jobs < 1:
        print("soak-seeds: --hours and --jobs must be positive", file=sys.stderr)
        return 2
    os.makedirs(args.out, exist_ok=True)

    started = time.time()
    results = []
    print("soak-seeds: %d seeds x %g h at fault level %d, %d at a time" % (
        len(seeds), args.hours, args.faults, args.jobs), flush=True)
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for seed, rc, s, files, log in pool.map(lambda x: run_seed(args, x), seeds):
            results.append((seed, rc, s, files, log))
            if s is None:
                print("seed %-4d exit %d, no summary (see %s)" % (seed, rc, log), flush=True)
                continue
            print("seed %-4d %7.1f h in %6.1f s (%6.0fx)  %6d events %5d faults %9d frames  "
                  "%d failures" % (seed, s["hours"], s["real"], 3600 * s["hours"] / max(s["real"], 1e-9),
                                   s["events"], s["injected"], s["frames"], s["failures"]),
                  flush=True)
            for f in files:
                print("          failure scenario: %s" % f, flush=True)

    wall = time.time() - started
    ok = [s for _, _, s, _, _ in results if s]
    hours = sum(s["hours"] for s in ok)
    failures = sum(s["failures"] for s in ok)
    broken = [seed for seed, rc, s, _, _ in results if s is None or rc not in (0, 6)]
    print("soak-seeds: %d seeds, %.1f simulated hours in %.0f s of real time (%.0f CPU-s), "
          "%d events, %d faults injected, %d frames checked, %d failures%s" % (
              len(results), hours, wall, sum(s["real"] for s in ok),
              sum(s["events"] for s in ok), sum(s["injected"] for s in ok),
              sum(s["frames"] for s in ok), failures,
              "; runs that did not finish: %s" % broken if broken else ""))
    if broken:
        return 2
    return 6 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
