#!/usr/bin/env python3
"""Instructions per frame of the data path, counted by callgrind.

Runs bench_datapath under `valgrind --tool=callgrind` twice per benchmark,
for a short and a long fixed number of frames, and divides the difference
by the difference in frames, so that bring-up and teardown cancel out. It
reports the instructions executed in the driver's own source files (self
cost of code under driver/, including what was inlined from driver headers)
and in the whole process (host kernel, bus, board, C library).

usage: driver_instructions.py [--max=N] BENCH_BINARY [BENCHMARK ...]
       (default benchmarks: send/60 send/1514 receive/60 receive/1514)
       --max=N exits 1 when the driver spends more than N instructions per
       frame in any of them (a budget that CTest holds the driver to)
"""
import os
import re
import subprocess
import sys
import tempfile

SHORT, LONG = 200, 1200
ROOT = os.path.realpath(os.path.join(os.path.dirname(__file__), "..", ".."))
DRIVER = os.path.join(ROOT, "driver") + os.sep
TOTALS = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?PROGRAM TOTALS")
LINE = re.compile(r"^\s*([\d,]+)\s+(?:\([^)]*\)\s+)?(\S.*?):")


def in_driver(path):
    """Whether a source file named in the debug information is the driver's.

    Under this tree's driver/ folder, or a file of the same name under the
    driver/ folder of another checkout: object files shared by a compiler
    cache keep the folder they were first compiled in."""
    if path.startswith(DRIVER):
        return True
    marker = os.sep + "driver" + os.sep
    at = path.rfind(marker)
    return at >= 0 and os.path.isfile(os.path.join(DRIVER, path[at + len(marker):]))


def count(binary, benchmark, frames, workdir):
    """Process and driver instructions of one run of `benchmark` over `frames`.

    Callgrind and callgrind_annotate both run in `workdir`: file names that
    lie under the working folder are printed relative to it, so a relative
    name is resolved against that folder, and no source lies under it.
    """
    out = os.path.join(workdir, "callgrind.%s.%d" % (benchmark.replace("/", "_"), frames))
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out, binary,
         "--frames=%d" % frames, "--benchmark_filter=^%s/" % benchmark],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=workdir)
    annotate = ["callgrind_annotate", "--inclusive=no", "--threshold=100", "--auto=no", out]
    text = subprocess.run(annotate, check=True, capture_output=True, text=True,
                          cwd=workdir).stdout
    total = driver = 0
    for line in text.splitlines():
        t = TOTALS.match(line)
        if t:
            total = int(t.group(1).replace(",", ""))
            continue
        m = LINE.match(line)
        if not m:
            continue
        ir = int(m.group(1).replace(",", ""))
        if in_driver(os.path.realpath(os.path.join(workdir, m.group(2)))):
            driver += ir
    if total == 0:
        sys.exit("no totals in callgrind output for %s" % benchmark)
    if driver == 0:
        sys.exit("no instructions of %s found in callgrind output for %s" % (DRIVER, benchmark))
    return total, driver


def main():
    args = sys.argv[1:]
    budget = None
    if args and args[0].startswith("--max="):
        budget = float(args.pop(0)[len("--max="):])
    if not args:
        sys.exit(__doc__)
    binary = os.path.realpath(args[0])
    benchmarks = args[1:] or ["send/60", "send/1514", "receive/60", "receive/1514"]
    over = []
    print("%-14s %16s %16s" % ("benchmark", "driver Ir/frame", "process Ir/frame"))
    with tempfile.TemporaryDirectory() as workdir:
        for benchmark in benchmarks:
            total_a, driver_a = count(binary, benchmark, SHORT, workdir)
            total_b, driver_b = count(binary, benchmark, LONG, workdir)
            frames = LONG - SHORT
            per_frame = (driver_b - driver_a) / frames
            print("%-14s %16.0f %16.0f" % (benchmark, per_frame, (total_b - total_a) / frames),
                  flush=True)
            if budget is not None and per_frame > budget:
                over.append(benchmark)
    if over:
        sys.exit("over the budget of %.0f driver instructions per frame: %s" %
                 (budget, " ".join(over)))


if __name__ == "__main__":
    main()
