#!/usr/bin/env python3
"""What the driver carries over the modelled bus and wire, in virtual time.

For each bus speed, frame size and direction it runs usbeth-sim on a generated
scenario: the adapter up at the defaults, then the protocol (tx), the link
partner (rx) or both offering frames faster than anything can carry them. It
counts the frames that reached the wire (tx) and that the driver indicated
(rx) over whole seconds of virtual time once the traffic has settled, and
prints them as frames/s and Mb/s (Ethernet frame bytes, FCS not counted) next
to the bounds: full-speed bulk (19 packets of 64 bytes per 1 ms frame),
high-speed bulk (13 packets of 512 bytes per 125 us microframe), one transfer
per (micro)frame (one transfer in flight, completion seen at the boundary)
and the 100 Mb/s wire (preamble, FCS and inter-frame gap included).

    tools/bench/throughput.py [--sim PATH] [--speeds full,high] [--sizes 60,590,1514]
                              [--directions tx,rx,both] [--seconds 2]
                              [--completion frame] [--wire link-rate] [--registry K=V ...]

Runs from any folder; usbeth-sim is looked for in build/default of the
repository this script is in unless --sim names it.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DEFAULT_SIM = os.path.join(REPO, "build", "default", "tools", "sim", "usbeth-sim")

FRAME_NS = {"full": 1_000_000, "high": 125_000}
PACKET = {"full": 64, "high": 512}
BUDGET = {"full": 19, "high": 13}
WIRE_MBPS = 100
START_MS = 2000  # the link is up by then (auto-negotiation takes 1.5 s)
SETTLE_S = 1  # seconds of traffic not counted
OFFERED_PPS = 200000  # more than the wire carries at any size


def packets(transfer_bytes, packet):
    """Packets of one bulk transfer, a zero-length one ending a whole number."""
    n = max(1, math.ceil(transfer_bytes / packet))
    return n + (1 if transfer_bytes % packet == 0 else 0)


def tx_transfer(size):
    return max(size + 2, 60)  # length prefix, short frames padded to 60


def rx_transfer(size):
    return max(size, 60) + 8  # frame, CRC and the status trailer


def bounds(speed, size, direction):
    """For one direction: frames/s by the bus bound (the direction alone on the
    bus), by one transfer per (micro)frame, and by the wire; and the bus's
    packets per second with the packets one frame takes. Both ways, the two
    directions share the bus's packets in whatever proportion the bus serves
    them, so a direction's share of the bus is its packets over all of them:
    the two shares add up to at most 100%."""
    p = packets((tx_transfer if direction == "tx" else rx_transfer)(size), PACKET[speed])
    per_second = 1e9 / FRAME_NS[speed]
    budget = BUDGET[speed] * per_second
    bus = budget / p
    one = per_second / math.ceil(p / BUDGET[speed])
    wire = WIRE_MBPS * 1e6 / (8 * (8 + max(size, 60) + 4 + 12))
    return bus, one, wire, budget, p


def scenario(speed, size, direction, seconds, completion, wire, registry):
    lines = [
        "[simulation]",
        f'name = "throughput {speed} {size} {direction}"',
        f"duration_ms = {START_MS + (SETTLE_S + seconds) * 1000 + 200}",
        f'bus = "{speed}"',
        f'completion = "{completion}"',
        f'wire = "{wire}"',
        "",
        "[[board.phy]]",
        "address = 1",
        "id = 0x00406210",
        "",
    ]
    if registry:
        lines.append("[registry]")
        for key, value in registry:
            lines.append(f'{key} = "{value}"')
        lines.append("")
    lines += [
        "[[event]]",
        f"at_ms = {START_MS}",
        'action = "traffic"',
        f'direction = "{direction}"',
        f"frame_size = {size}",
        f"rate_pps = {OFFERED_PPS}",
        f"duration_ms = {(SETTLE_S + seconds) * 1000}",
        "",
    ]
    return "\n".join(lines)


def measure(sim, speed, size, direction, seconds, completion, wire, registry, workdir):
    name = f"{speed}-{size}-{direction}"
    path = os.path.join(workdir, name + ".toml")
    events = os.path.join(workdir, name + ".jsonl")
    with open(path, "w") as f:
        f.write(scenario(speed, size, direction, seconds, completion, wire, registry))
    run = subprocess.run([sim, "-q", "--events", events, path], capture_output=True, text=True)
    first = (START_MS + SETTLE_S * 1000) * 1_000_000
    last = first + seconds * 1_000_000_000
    tx = rx = 0
    with open(events) as f:
        for line in f:
            r = json.loads(line)
            if r.get("kind") != "second":
                continue
            # A "second" record covers the second before its time.
            t = round(r["time_ms"] * 1_000_000)
            if first < t <= last:
                tx += r.get("tx_frames", 0)
                rx += r.get("rx_frames", 0)
    return tx / seconds, rx / seconds, run.returncode, run.stderr.strip()


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--sim", default=DEFAULT_SIM, help="the usbeth-sim to run")
    ap.add_argument("--speeds", default="full,high")
    ap.add_argument("--sizes", default="60,590,1514")
    ap.add_argument("--directions", default="tx,rx,both")
    ap.add_argument("--seconds", type=int, default=2, help="seconds of virtual time counted")
    ap.add_argument("--completion", default="frame", choices=["frame", "before-return", "seeded"])
    ap.add_argument("--wire", default="link-rate", choices=["link-rate", "unlimited"])
    ap.add_argument("--registry", action="append", default=[], metavar="KEY=VALUE",
                    help="a registry setting of the adapter (hexadecimal, as the INF gives it)")
    a = ap.parse_args()
    if not os.access(a.sim, os.X_OK):
        sys.exit(f"throughput: {a.sim} not found; build usbeth-sim or give --sim")
    registry = [tuple(kv.split("=", 1)) for kv in a.registry]

    print(f"usbeth-sim throughput: completion {a.completion}, wire {a.wire}"
          + (", registry " + " ".join(a.registry) if a.registry else "")
          + f"; offered {OFFERED_PPS} frames/s each way, counted over {a.seconds} s")
    print("Mb/s counts Ethernet frame bytes without FCS; 'per frame' is one transfer per "
          "(micro)frame.")
    print("'bus bound' is the direction alone on the bus; 'of bus' is its share of the bus's "
          "packets, both ways\nthe two directions' shares and their sum (b/+), at most 100%.")
    head = (f"{'bus':5} {'size':>5} {'dir':4} | {'carried fr/s':>12} {'Mb/s':>7} | "
            f"{'bus bound':>9} {'Mb/s':>7} | {'per frame':>9} | {'wire':>7} {'Mb/s':>6} | "
            f"{'of bus':>6} {'of wire':>7}")
    print(head)
    print("-" * len(head))
    failures = 0
    with tempfile.TemporaryDirectory(prefix="usbeth-throughput-") as workdir:
        for speed in a.speeds.split(","):
            for size in [int(s) for s in a.sizes.split(",")]:
                for direction in a.directions.split(","):
                    tx, rx, code, err = measure(a.sim, speed, size, direction, a.seconds,
                                                a.completion, a.wire, registry, workdir)
                    rows = {"tx": [("tx", tx)], "rx": [("rx", rx)],
                            "both": [("tx", tx), ("rx", rx)]}[direction]
                    used = 0.0  # share of the bus's packets, all directions of the run
                    for label, fps in rows:
                        bus, one, wire, budget, p = bounds(speed, size, label)
                        share = fps * p / budget
                        used += share
                        d = label if direction != "both" else "b/" + label
                        mbps = fps * size * 8 / 1e6
                        print(f"{speed:5} {size:5} {d:4} | {fps:12.0f} {mbps:7.2f} | "
                              f"{bus:9.0f} {bus * size * 8 / 1e6:7.2f} | {one:9.0f} | "
                              f"{wire:7.0f} {wire * size * 8 / 1e6:6.2f} | "
                              f"{share:6.1%} {fps / wire:7.1%}")
                    if direction == "both":
                        print(f"{speed:5} {size:5} {'b/+':4} | {'':12} {'':7} | {'':9} {'':7} | "
                              f"{'':9} | {'':7} {'':6} | {used:6.1%}")
                    if code != 0:
                        failures += 1
                        print(f"  usbeth-sim exited {code}: {err.splitlines()[-1] if err else ''}")
                    sys.stdout.flush()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
