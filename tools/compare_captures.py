#!/usr/bin/env python3
"""Compares usbmon captures (pcap, link type 220) URB record by URB record.

  compare_captures.py files A.pcap B.pcap
      compares two captures; prints the first difference, decoded, and exits 1
      when they differ.

  compare_captures.py sims --reference SIM64 --sim SIM32 --image usbeth.sys
                           [--emulator qemu-i386] [--out DIR] [--skip-without-reference]
                           [--scenario FILE]
      runs the embedded default scenario (or FILE) three times, with the 64-bit
      simulator (linked driver), the 32-bit one (linked driver) and the 32-bit
      one running the image, and compares each run's usbmon capture and event
      log with the 64-bit run's: the same URBs in the same order, with the
      same setup packets, data, statuses and virtual times.

Exit status: 0 identical, 1 different, 2 a run failed or a file is unusable,
77 (sims with --skip-without-reference) the 64-bit simulator is not built.
"""

import argparse
import os
import struct
import subprocess
import sys
import tempfile

PCAP_MAGIC_US = 0xA1B2C3D4
LINKTYPE_USB_LINUX_MMAPPED = 220
USBMON_HEADER = struct.Struct("<QcBBBHccqiiII8siiII")
XFER_NAMES = {0: "Z", 1: "I", 2: "C", 3: "B"}
FIELDS = ("id", "type", "xfer_type", "endpoint", "device", "bus", "flag_setup", "flag_data",
          "ts_sec", "ts_usec", "status", "length", "len_cap", "setup", "interval",
          "start_frame", "xfer_flags", "ndesc")


class CaptureError(Exception):
    pass


def read_capture(path):
    """The capture's records as (pcap time in us, usbmon fields dict, data bytes)."""
    try:
        with open(path, "rb") as f:
            blob = f.read()
    except OSError as e:
        raise CaptureError(f"{path}: {e.strerror}")
    if len(blob) < 24:
        raise CaptureError(f"{path}: too short for a pcap file")
    magic, _, _, _, _, _, linktype = struct.unpack_from("<IHHiIII", blob, 0)
    if magic != PCAP_MAGIC_US:
        raise CaptureError(f"{path}: not a little-endian microsecond pcap file")
    if linktype != LINKTYPE_USB_LINUX_MMAPPED:
        raise CaptureError(f"{path}: link type {linktype}, not usbmon (220)")
    records = []
    at = 24
    while at < len(blob):
        if at + 16 > len(blob):
            raise CaptureError(f"{path}: record {len(records)} is cut short")
        sec, usec, caplen, _ = struct.unpack_from("<IIII", blob, at)
        at += 16
        packet = blob[at:at + caplen]
        at += caplen
        if len(packet) != caplen or caplen < USBMON_HEADER.size:
            raise CaptureError(f"{path}: record {len(records)} is cut short")
        fields = dict(zip(FIELDS, USBMON_HEADER.unpack_from(packet, 0)))
        records.append((sec * 1_000_000 + usec, fields, packet[USBMON_HEADER.size:]))
    return records


def describe(record):
    """One line in the spirit of the usbmon text format."""
    time_us, f, data = record
    ep = f["endpoint"]
    direction = "i" if ep & 0x80 else "o"
    kind = XFER_NAMES.get(f["xfer_type"], "?") + direction
    line = (f"{time_us // 1_000_000}.{time_us % 1_000_000:06d} s URB {f['id']} "
            f"{f['type'].decode('latin-1')} {kind}:{f['device']}:{ep & 0x7F} "
            f"status {f['status']} length {f['length']}")
    if f["flag_setup"] == b"\x00":
        line += " setup " + f["setup"].hex(" ")
    if data:
        shown = data[:16].hex(" ")
        line += f" data[{len(data)}] {shown}{' ...' if len(data) > 16 else ''}"
    return line


def first_difference(a, b, name_a="A", name_b="B"):
    """None when the record lists are equal, else lines that describe the
    first record where they part."""
    for i, (ra, rb) in enumerate(zip(a, b)):
        if ra == rb:
            continue
        lines = [f"record {i} (of {len(a)} in {name_a}, {len(b)} in {name_b}) differs:"]
        width = max(len(name_a), len(name_b))
        lines.append(f"  {name_a:<{width}}: {describe(ra)}")
        lines.append(f"  {name_b:<{width}}: {describe(rb)}")
        if ra[0] != rb[0]:
            lines.append(f"  capture time: {ra[0]} us vs {rb[0]} us")
        for field in FIELDS:
            if ra[1][field] != rb[1][field]:
                lines.append(f"  field {field}: {ra[1][field]!r} vs {rb[1][field]!r}")
        da, db = ra[2], rb[2]
        if da != db:
            at = next((k for k in range(min(len(da), len(db))) if da[k] != db[k]),
                      min(len(da), len(db)))
            lines.append(f"  data: {len(da)} vs {len(db)} bytes, first difference at byte {at}: "
                         f"{da[at:at + 8].hex(' ') or '(end)'} vs {db[at:at + 8].hex(' ') or '(end)'}")
        if i > 0:
            lines.append(f"  the record before agrees: {describe(a[i - 1])}")
        return lines
    if len(a) != len(b):
        shorter, longer, name = (a, b, name_b) if len(a) < len(b) else (b, a, name_a)
        return [f"{name_a} has {len(a)} records, {name_b} {len(b)}; the first {len(shorter)} agree",
                f"  next in {name}: {describe(longer[len(shorter)])}"]
    return None


def first_line_difference(path_a, path_b, name_a, name_b):
    with open(path_a) as fa, open(path_b) as fb:
        a, b = fa.read().splitlines(), fb.read().splitlines()
    for i, (la, lb) in enumerate(zip(a, b)):
        if la != lb:
            return [f"event log line {i + 1} differs:", f"  {name_a}: {la}", f"  {name_b}: {lb}"]
    if len(a) != len(b):
        return [f"event logs: {name_a} has {len(a)} lines, {name_b} {len(b)}"]
    return None


def run_sim(command, pcap, events, scenario):
    full = command + ["--quiet", "--usb-pcap", pcap, "--events", events] + scenario
    done = subprocess.run(full, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if done.returncode != 0:
        raise CaptureError(f"{' '.join(full)} exited with {done.returncode}:\n{done.stdout}")


def compare_sims(args):
    if not os.path.exists(args.reference):
        message = (f"{args.reference} is not built: build the default preset first "
                   "(cmake --preset default && cmake --build --preset default)")
        print(("skipped: " if args.skip_without_reference else "") + message)
        return 77 if args.skip_without_reference else 2
    emulator = [args.emulator] if args.emulator else []
    out = args.out or tempfile.mkdtemp(prefix="usbeth-captures-")
    os.makedirs(out, exist_ok=True)
    runs = [("linked, 64-bit", "linked64", [args.reference]),
            ("linked, 32-bit", "linked32", emulator + [args.sim]),
            ("image", "image", emulator + [args.sim, "--driver", args.image])]
    scenario = [args.scenario] if args.scenario else []
    results = {}
    for title, stem, command in runs:
        pcap = os.path.join(out, stem + ".pcap")
        events = os.path.join(out, stem + ".jsonl")
        run_sim(command, pcap, events, scenario)
        results[stem] = (title, pcap, events, read_capture(pcap))
    ref_title, _, ref_events, ref_records = results["linked64"]
    name = args.scenario or "default scenario"
    print(f"{name}, linked 64-bit build: {len(ref_records)} usbmon records "
          f"({len(ref_records) // 2} URBs submitted and completed), captures in {out}")
    differ = False
    for stem in ("image", "linked32"):
        title, _, events, records = results[stem]
        diff = first_difference(ref_records, records, ref_title, title)
        if diff is None:
            diff = first_line_difference(ref_events, events, ref_title, title)
        if diff is None:
            print(f"{title}: identical to the 64-bit linked build "
                  f"({len(records)} records, event log too)")
        else:
            differ = True
            print(f"{title}: DIFFERS from the 64-bit linked build")
            for line in diff:
                print(line)
    return 1 if differ else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="mode", required=True)
    files = sub.add_parser("files", help="compare two usbmon captures")
    files.add_argument("a")
    files.add_argument("b")
    sims = sub.add_parser("sims", help="run the default scenario three ways and compare")
    sims.add_argument("--reference", required=True, help="the 64-bit usbeth-sim")
    sims.add_argument("--sim", required=True, help="the 32-bit usbeth-sim")
    sims.add_argument("--image", required=True, help="usbeth.sys")
    sims.add_argument("--emulator", default="", help="runs the 32-bit simulator (qemu-i386)")
    sims.add_argument("--out", default="", help="folder for the captures (default: a new one)")
    sims.add_argument("--scenario", default="", help="scenario file (default: the embedded one)")
    sims.add_argument("--skip-without-reference", action="store_true",
                      help="exit 77 when the 64-bit simulator is not built")
    args = parser.parse_args()
    try:
        if args.mode == "files":
            diff = first_difference(read_capture(args.a), read_capture(args.b), args.a, args.b)
            if diff is None:
                print("identical")
                return 0
            print("\n".join(diff))
            return 1
        return compare_sims(args)
    except CaptureError as e:
        print(f"compare_captures: {e}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
