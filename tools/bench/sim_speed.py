#!/usr/bin/env python3
"""How fast usbeth-sim runs, as a multiple of real time.

Two cases, each a scenario written here and run with `usbeth-sim -q`:

  saturated  high-speed bus, the realistic bus and wire (the scenario defaults),
             60 s of 1514-byte frames offered both ways faster than the wire
             carries them (after 2 s for the link to come up)
  flaps      an hour with no traffic in which the cable goes out and back in
             (out for 7 s every 20 s, so every flap is seen by the link poll)

Each prints the virtual seconds, the wall-clock seconds of the run and their
ratio, and the same for the processor time the run took (user and system),
which a machine shared with other work does not inflate; the best of --runs
is kept.

    tools/bench/sim_speed.py [--sim PATH] [--cases saturated,flaps] [--runs 1]
                             [--seconds 60] [--hours 1]

Runs from any folder; usbeth-sim is looked for in build/default of the
repository this script is in unless --sim names it.
"""

import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_SIM = os.path.join(REPO, "build", "default", "tools", "sim", "usbeth-sim")

START_MS = 2000  # the link is up by then (auto-negotiation takes 1.5 s)
OFFERED_PPS = 20000  # each way; the 100 Mb/s wire carries 8,127 frames/s of 1514 bytes
FLAP_PERIOD_MS = 20000
FLAP_DOWN_MS = 7000

HEADER = ["[[board.phy]]", "address = 1", "id = 0x00406210", ""]


def saturated(seconds):
    return "\n".join([
        "[simulation]",
        'name = "saturated both ways at high speed"',
        f"duration_ms = {START_MS + seconds * 1000}",
        'bus = "high"',
        "",
        *HEADER,
        "[[event]]",
        f"at_ms = {START_MS}",
        'action = "traffic"',
        'direction = "both"',
        "frame_size = 1514",
        f"rate_pps = {OFFERED_PPS}",
        "",
    ]), START_MS + seconds * 1000


def flaps(hours):
    duration = int(hours * 3600 * 1000)
    lines = [
        "[simulation]",
        'name = "link flaps, no traffic"',
        f"duration_ms = {duration}",
        "",
        *HEADER,
    ]
    at = FLAP_PERIOD_MS
    while at + FLAP_DOWN_MS < duration:
        for action, when in (("unplug", at), ("plug", at + FLAP_DOWN_MS)):
            lines += ["[[event]]", f"at_ms = {when}", f'action = "{action}"', "phy = 1", ""]
        at += FLAP_PERIOD_MS
    return "\n".join(lines), duration


def run(sim, text, name, workdir):
    path = os.path.join(workdir, name + ".toml")
    with open(path, "w") as f:
        f.write(text)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.monotonic()
    done = subprocess.run([sim, "-q", path], capture_output=True, text=True)
    real = time.monotonic() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return real, cpu, done.returncode, done.stderr.strip()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sim", default=DEFAULT_SIM, help="the usbeth-sim to run")
    ap.add_argument("--cases", default="saturated,flaps")
    ap.add_argument("--runs", type=int, default=1, help="runs of each case; the best is kept")
    ap.add_argument("--seconds", type=int, default=60, help="saturated: seconds of traffic")
    ap.add_argument("--hours", type=float, default=1, help="flaps: hours simulated")
    a = ap.parse_args()
    if not os.access(a.sim, os.X_OK):
        sys.exit(f"sim_speed: {a.sim} not found; build usbeth-sim or give --sim")
    builders = {"saturated": lambda: saturated(a.seconds), "flaps": lambda: flaps(a.hours)}
    failures = 0
    print(f"{'case':10} {'virtual s':>10} {'real s':>8} {'x real time':>12} {'cpu s':>8} "
          f"{'x on cpu':>10}")
    with tempfile.TemporaryDirectory(prefix="usbeth-sim-speed-") as workdir:
        for case in a.cases.split(","):
            if case not in builders:
                sys.exit(f"sim_speed: no case {case!r} (saturated, flaps)")
            text, virtual_ms = builders[case]()
            best = best_cpu = None
            for _ in range(a.runs):
                real, cpu, code, err = run(a.sim, text, case, workdir)
                if code != 0:
                    failures += 1
                    print(f"  usbeth-sim exited {code}: {err.splitlines()[-1] if err else ''}")
                best = real if best is None else min(best, real)
                best_cpu = cpu if best_cpu is None else min(best_cpu, cpu)
            virtual = virtual_ms / 1000
            print(f"{case:10} {virtual:10.0f} {best:8.2f} {virtual / best:12.0f} {best_cpu:8.2f} "
                  f"{virtual / max(best_cpu, 1e-3):10.0f}")
            sys.stdout.flush()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
