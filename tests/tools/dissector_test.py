#!/usr/bin/env python3
"""Checks the Wireshark dissector tools/wireshark/usbeth.lua against the simulator's own record.

usbeth-sim runs the default scenario, every example and tests/tools/dissector/framing.toml,
writing its usbmon capture, its wire capture and its event log; tshark decodes the usbmon
capture with the dissector. Its fields are compared with:
  * this script's own decode of the usbmon capture, read byte by byte: every register request
    and completion (register names as hw/registers.h gives them, values), every MII command
    and read-back (PHY, register, value, done bit), EEPROM words, every bulk-out transfer
    (length prefix, Ethernet addresses, padding, zero-length transfers, keep-alives), every
    receive trailer (status byte, drop);
  * the event log: the station address, the PHY identifiers of the board, the PHYs chosen,
    the count of frames given a bad receive status, the frames sent and indicated;
  * the wire capture: the Ethernet addresses of the frames that reached the cable.
A capture longer than FRAME_BUDGET frames (the high-speed example) is checked frame by frame
over its first FRAME_BUDGET frames, without the totals, to keep the test short.
Synthetic captures written here cover what the simulator never produces: runts, oversized and
truncated transfers, a wrong frame check sequence, a missing zero-length transfer, failed
transfers, an MII operation not done, and the ways a device is bound to the dissector.

Exits 77 (CTest's skip code) when tshark is not installed.
"""

import argparse
import collections
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
from concurrent.futures import ThreadPoolExecutor

ARGS = None
CAPTURES = {}  # scenario name -> Capture
FRAME_BUDGET = 14000

# ---- pcap files ------------------------------------------------------------------------


def read_pcap(path):
    with open(path, "rb") as f:
        buf = f.read()
    magic = struct.unpack_from("<I", buf, 0)[0]
    if magic not in (0xA1B2C3D4, 0xA1B23C4D):
        raise ValueError(f"{path}: not a little-endian pcap file")
    linktype = struct.unpack_from("<I", buf, 20)[0]
    packets, off = [], 24
    while off + 16 <= len(buf):
        _, _, incl, _ = struct.unpack_from("<IIII", buf, off)
        off += 16
        packets.append(buf[off:off + incl])
        off += incl
    return linktype, packets


Urb = collections.namedtuple(
    "Urb", "frame id type xfer ep dev bus setup status length data")


def parse_usbmon(packets):
    urbs = []
    for number, p in enumerate(packets, 1):
        urb_id, typ, xfer, ep, dev, bus, flag_setup, _ = struct.unpack_from("<QcBBBHcc", p, 0)
        status, length, dlen = struct.unpack_from("<iII", p, 28)
        setup = p[40:48] if flag_setup == b"\0" else None
        urbs.append(Urb(number, urb_id, typ.decode(), xfer, ep, dev, bus, setup, status, length,
                        p[64:64 + dlen]))
    return urbs


class UsbmonWriter:
    """Writes a usbmon capture (link type 220) URB by URB, for the synthetic cases."""

    def __init__(self, bus=1, dev=7):
        self.bus, self.dev, self.records, self.next_id = bus, dev, [], 0x1000

    def _record(self, urb_id, typ, xfer, ep, setup, status, length, data, flags=0):
        head = struct.pack("<QcBBBHcc", urb_id, typ.encode(), xfer, ep, self.dev, self.bus,
                           b"\0" if setup else b"-",
                           b"\0" if data else (b"<" if ep & 0x80 else b">"))
        head += struct.pack("<qiiII", 0, len(self.records) * 100, status, length, len(data))
        head += (setup or bytes(8)) + struct.pack("<iiII", 0, 0, flags, 0)
        assert len(head) == 64
        self.records.append(head + data)

    def control(self, setup, data_out=b"", data_in=b"", status=0):
        self.next_id += 1
        length = struct.unpack_from("<H", setup, 6)[0]
        self._record(self.next_id, "S", 2, 0x80 if setup[0] & 0x80 else 0, setup, -115, length,
                     data_out)
        self._record(self.next_id, "C", 2, 0x80 if setup[0] & 0x80 else 0, None, status,
                     len(data_in) if setup[0] & 0x80 else length, data_in)

    def completion_only(self, data_in):
        """The completion of a control read whose submission is not in the capture."""
        self.next_id += 1
        self._record(self.next_id, "C", 2, 0x80, None, 0, len(data_in), bytes(data_in))

    def descriptor(self, vendor, product):
        desc = bytes([18, 1, 0, 2, 0, 0, 0, 64]) + struct.pack("<HH", vendor, product) + \
            bytes([0, 1, 1, 2, 3, 1])
        self.control(bytes([0x80, 6, 0, 1, 0, 0, 18, 0]), data_in=desc)

    def write_regs(self, reg, data, status=0):
        setup = struct.pack("<BBHHH", 0x40, 0xF1, data[0] if len(data) == 1 else 0, reg, len(data))
        self.control(setup, data_out=bytes(data), status=status)

    def read_regs(self, reg, data, status=0):
        setup = struct.pack("<BBHHH", 0xC0, 0xF0, 0, reg, len(data))
        self.control(setup, data_in=bytes(data), status=status)

    def bulk_out(self, data, status=0):
        self.next_id += 1
        self._record(self.next_id, "S", 3, 0x02, None, -115, len(data), bytes(data))
        self._record(self.next_id, "C", 3, 0x02, None, status, len(data), b"")

    def bulk_in(self, data, status=0, captured=None):
        self.next_id += 1
        self._record(self.next_id, "S", 3, 0x81, None, -115, 1536, b"", flags=0x200)
        data = bytes(data)
        self._record(self.next_id, "C", 3, 0x81, None, status, len(data),
                     data if captured is None else data[:captured], flags=0x200)

    def save(self, path):
        with open(path, "wb") as f:
            f.write(struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 220))
            for i, r in enumerate(self.records):
                f.write(struct.pack("<IIII", 0, i * 100, len(r), len(r)) + r)


def crc32(data):
    import zlib
    return zlib.crc32(data) & 0xFFFFFFFF


def rx_transfer(dst, src, payload, status=0x40, fcs=None, trailer_len=None):
    """A bulk-in transfer as the device frames it: frame, FCS, length, status, 0."""
    frame = bytes(dst) + bytes(src) + b"\x88\xb5" + bytes(payload)
    fcs = crc32(frame) if fcs is None else fcs
    tl = (len(frame) + 4) & 0xFFF if trailer_len is None else trailer_len
    return frame + struct.pack("<IHBB", fcs, tl, status, 0)


# ---- tshark ----------------------------------------------------------------------------

FIELDS = [
    "frame.number", "usbeth.kind", "usbeth.request", "usbeth.reg", "usbeth.count",
    "usbeth.register", "usbeth.register.name", "usbeth.value", "usbeth.request_in",
    "usbeth.mii.phy", "usbeth.mii.reg", "usbeth.mii.op", "usbeth.mii.value", "usbeth.mii.done",
    "usbeth.mii.command_in", "usbeth.eeprom.index", "usbeth.eeprom.word", "usbeth.station",
    "usbeth.tx.length", "usbeth.tx.padding", "usbeth.tx.zero_length_ends", "usbeth.keepalive",
    "eth.src", "eth.dst", "usbeth.rx.status", "usbeth.rx.dropped", "usbeth.rx.frame_length",
    "usbeth.rx.bad_status", "usbeth.rx.too_short", "usbeth.rx.too_long", "usbeth.rx.fcs_bad",
    "usbeth.rx.trailer_length_mismatch", "usbeth.tx.zero_length_missing",
    "usbeth.tx.zero_length_unexpected", "usbeth.mii.not_done", "usbeth.failed",
    "usbeth.cancelled", "usbeth.truncated", "usbeth.orphan",
]


def tshark(pcap, prefs=(), count=None, two_pass=False):
    cmd = [ARGS.tshark, "-n", "-X", f"lua_script:{ARGS.lua}", "-r", pcap, "-T", "fields",
           "-E", "occurrence=a", "-E", "aggregator=|", "-E", "separator=\t"]
    if two_pass:
        cmd += ["-2"]
    if count:
        cmd += ["-c", str(count)]
    for p in prefs:
        cmd += ["-o", p]
    for f in FIELDS:
        cmd += ["-e", f]
    run = subprocess.run(cmd, capture_output=True, text=True)
    errors = [l for l in run.stderr.splitlines() if "Lua" in l or "rror" in l]
    if run.returncode != 0 or errors:
        raise AssertionError(f"tshark failed on {pcap}: {run.returncode}\n{run.stderr}")
    rows = {}
    for line in run.stdout.splitlines():
        cells = line.split("\t")
        cells += [""] * (len(FIELDS) - len(cells))
        row = {f: (c.split("|") if c else []) for f, c in zip(FIELDS, cells)}
        rows[int(row["frame.number"][0])] = row
    return rows


def ints(row, field):
    return [int(v, 0) for v in row[field]]


def one(row, field):
    values = ints(row, field)
    return values[0] if values else None


def flag(row, field):
    """An expert field or a boolean: present and true."""
    return any(v in ("1", "True", "true") for v in row[field])


def mac(b):
    return ":".join(f"{x:02x}" for x in b)


# ---- reference names from hw/registers.h -----------------------------------------------


def header_register_names(path):
    """Register -> the text the header's register map gives it: its mnemonic when it has one
    (RX_CTL0), else the first words of its description (multicast hash, MII PHY address)."""
    names = {}
    pattern = re.compile(r"^//  0x([0-9A-F]{2})(?:\.\.0x([0-9A-F]{2}))?\s+(.*)$")
    with open(path) as f:
        for line in f:
            m = pattern.match(line.rstrip())
            if not m:
                continue
            lo = int(m.group(1), 16)
            hi = int(m.group(2), 16) if m.group(2) else lo
            rest = m.group(3)
            mn = re.match(r"([A-Z][A-Z0-9_]+)\s", rest)
            text = mn.group(1) if mn and "_" in mn.group(1) else re.split(r"[,;.(:]", rest)[0]
            for r in range(lo, hi + 1):
                names.setdefault(r, text.strip())
    return names


# ---- one scenario's captures -----------------------------------------------------------


class Capture:
    def __init__(self, name, scenario, workdir):
        self.name = name
        base = os.path.join(workdir, name)
        self.usb, self.wire, self.events = base + ".usb.pcap", base + ".wire.pcap", base + ".jsonl"
        cmd = [ARGS.sim, "--quiet", "--usb-pcap", self.usb, "--wire-pcap", self.wire,
               "--events", self.events] + ([scenario] if scenario else [])
        run = subprocess.run(cmd, capture_output=True, text=True)
        if run.returncode != 0:
            raise AssertionError(f"usbeth-sim {name} exited {run.returncode}:\n{run.stdout}")
        linktype, packets = read_pcap(self.usb)
        assert linktype == 220, linktype
        # A long capture is checked frame by frame up to FRAME_BUDGET frames only (the
        # high-speed example has some 70,000), and its totals are not compared with the log.
        self.partial = len(packets) > FRAME_BUDGET
        self.urbs = parse_usbmon(packets[:FRAME_BUDGET])
        self.rows = tshark(self.usb, count=FRAME_BUDGET if self.partial else None)
        with open(self.events) as f:
            self.log = [json.loads(l) for l in f]
        _, self.wire_frames = read_pcap(self.wire)

    def records(self, kind):
        return [r for r in self.log if r["kind"] == kind]


def completions_by_id(urbs):
    """Submission frame -> its completion, paired by URB id as usbmon does."""
    open_, pairs = {}, {}
    for u in urbs:
        if u.type == "S":
            open_[u.id] = u
        elif u.type == "C" and u.id in open_:
            pairs[open_.pop(u.id).frame] = u
    return pairs


def register_requests(urbs):
    """(submission, completion) of every vendor register request, in order."""
    pairs = completions_by_id(urbs)
    out = []
    for u in urbs:
        if u.type == "S" and u.xfer == 2 and u.setup and u.setup[1] in (0xF0, 0xF1) and \
                u.setup[0] in (0xC0, 0x40):
            out.append((u, pairs.get(u.frame)))
    return out


def setup_fields(u):
    return struct.unpack_from("<HHH", u.setup, 2)  # wValue, wIndex, wLength


class ScenarioChecks:
    """The checks made on every scenario's capture."""

    def check_register_requests(self, cap, names):
        requests = register_requests(cap.urbs)
        self.assertGreater(len(requests), 50)
        decoded = set()
        for s, c in requests:
            _, reg, count = setup_fields(s)
            row = cap.rows[s.frame]
            write = s.setup[1] == 0xF1
            where = f"{cap.name} frame {s.frame}"
            self.assertEqual(one(row, "usbeth.kind"), 2 if write else 1, where)
            self.assertEqual(one(row, "usbeth.request"), s.setup[1], where)
            self.assertEqual(one(row, "usbeth.reg"), reg, where)
            self.assertEqual(one(row, "usbeth.count"), count, where)
            decoded.add(s.frame)
            if write:
                self.assertEqual(ints(row, "usbeth.register"), list(range(reg, reg + count)), where)
                self.assertEqual(ints(row, "usbeth.value"), list(s.data), where)
                for r, name in zip(range(reg, reg + count), row["usbeth.register.name"]):
                    self.assertNotIn("unnamed", name, f"{where}: register 0x{r:02X} written")
                    if r in names:
                        self.assertIn(names[r].lower(), name.lower(), f"{where}: 0x{r:02X}")
            if c is None:
                continue
            crow = cap.rows[c.frame]
            where = f"{cap.name} frame {c.frame}"
            decoded.add(c.frame)
            self.assertEqual(one(crow, "usbeth.kind"), 2 if write else 1, where)
            self.assertEqual(one(crow, "usbeth.request_in"), s.frame, where)
            self.assertEqual(one(crow, "usbeth.reg"), reg, where)
            if not write and c.status == 0:
                self.assertEqual(ints(crow, "usbeth.register"),
                                 list(range(reg, reg + len(c.data))), where)
                self.assertEqual(ints(crow, "usbeth.value"), list(c.data), where)
                for r, name in zip(range(reg, reg + len(c.data)), crow["usbeth.register.name"]):
                    if r in names:
                        self.assertIn(names[r].lower(), name.lower(), f"{where}: 0x{r:02X}")
        # Nothing else is shown as a register request.
        shown = {n for n, row in cap.rows.items() if one(row, "usbeth.kind") in (1, 2)}
        self.assertEqual(shown, decoded, cap.name)

    def check_mii(self, cap):
        """Every MII command and every read-back, against this script's own pairing: the
        read-back of registers 0x26..0x28 belongs to the last command written to 0x25..0x28."""
        last = None
        commands = results = 0
        for s, c in register_requests(cap.urbs):
            _, reg, count = setup_fields(s)
            if s.setup[1] == 0xF1 and reg <= 0x25 and reg + count - 1 >= 0x28:
                d = dict(zip(range(reg, reg + count), s.data))
                last = {"phy": d[0x25], "reg": d[0x28] & 0x1F, "op": d[0x28] & 0x60,
                        "value": d[0x26] | d[0x27] << 8, "frame": s.frame}
                row, where = cap.rows[s.frame], f"{cap.name} frame {s.frame}"
                self.assertEqual(one(row, "usbeth.mii.phy"), last["phy"], where)
                self.assertEqual(one(row, "usbeth.mii.reg"), last["reg"], where)
                self.assertEqual(one(row, "usbeth.mii.op"), last["op"], where)
                if last["op"] == 0x20:
                    self.assertEqual(one(row, "usbeth.mii.value"), last["value"], where)
                commands += 1
            if s.setup[1] != 0xF0 or c is None or c.status != 0 or last is None:
                continue
            d = dict(zip(range(reg, reg + len(c.data)), c.data))
            if 0x28 not in d and not (0x26 in d and 0x27 in d):
                continue
            row, where = cap.rows[c.frame], f"{cap.name} frame {c.frame}"
            self.assertEqual(one(row, "usbeth.mii.phy"), last["phy"], where)
            self.assertEqual(one(row, "usbeth.mii.reg"), last["reg"], where)
            self.assertEqual(one(row, "usbeth.mii.command_in"), last["frame"], where)
            if last["op"] == 0x40 and 0x26 in d and 0x27 in d:
                self.assertEqual(one(row, "usbeth.mii.value"), d[0x26] | d[0x27] << 8, where)
            if 0x28 in d:
                self.assertEqual(flag(row, "usbeth.mii.done"), bool(d[0x28] & 0x80), where)
            results += 1
        self.assertGreater(commands, 10, cap.name)
        self.assertGreater(results, 5, cap.name)

    def check_phys_against_log(self, cap):
        """The identifier of every PHY on the board (event log) is what the dissector shows
        read back from MII registers 2 and 3 at that address; every PHY chosen was read."""
        reads = collections.defaultdict(set)
        for row in cap.rows.values():
            if row["usbeth.mii.command_in"] and row["usbeth.mii.value"] and \
                    one(row, "usbeth.mii.op") == 0x40:
                reads[(one(row, "usbeth.mii.phy"), one(row, "usbeth.mii.reg"))].add(
                    one(row, "usbeth.mii.value"))
        for entry in cap.records("start")[0]["phys"].split():
            addr, ident = entry.split(":")
            addr, ident = int(addr), int(ident, 16)
            self.assertIn(ident >> 16, reads[(addr, 2)], f"{cap.name}: PHY {addr} register 2")
            self.assertIn(ident & 0xFFF0, {v & 0xFFF0 for v in reads[(addr, 3)]},
                          f"{cap.name}: PHY {addr} register 3")
        for r in cap.records("active_phy"):
            self.assertTrue(reads[(r["phy"], 1)], f"{cap.name}: chosen PHY {r['phy']} status")

    def check_station_and_eeprom(self, cap):
        """The station address written at bring-up is the one the event log reports; the
        sixteen EEPROM words are read in order, and words 0..2 hold the address the controller
        loaded from them (the first read of registers 0x10..0x15)."""
        address = cap.records("initialize")[0]["address"]
        writes = [one(r, "usbeth.reg") for r in cap.rows.values() if r["usbeth.station"]]
        stations = [r["usbeth.station"][0] for r in cap.rows.values()
                    if r["usbeth.station"] and one(r, "usbeth.kind") == 2]
        self.assertTrue(writes, cap.name)
        self.assertEqual(stations[0], address, cap.name)
        words = [(one(r, "usbeth.eeprom.index"), one(r, "usbeth.eeprom.word"))
                 for _, r in sorted(cap.rows.items()) if r["usbeth.eeprom.word"]]
        self.assertEqual([i for i, _ in words], list(range(16)), cap.name)
        loaded = [r["usbeth.station"][0] for _, r in sorted(cap.rows.items())
                  if r["usbeth.station"] and one(r, "usbeth.kind") == 1 and r["usbeth.request_in"]]
        eeprom = b"".join(struct.pack("<H", w) for _, w in words[:3])
        self.assertEqual(mac(eeprom), loaded[0], cap.name)

    def check_bulk_out(self, cap):
        station = cap.records("initialize")[0]["address"]
        pairs = completions_by_id(cap.urbs)
        waiting_zlp = None
        kinds = collections.Counter()
        for u in cap.urbs:
            if not (u.xfer == 3 and u.type == "S" and not u.ep & 0x80):
                continue
            row, where = cap.rows[u.frame], f"{cap.name} frame {u.frame}"
            if u.length == 0:
                self.assertEqual(one(row, "usbeth.kind"), 5, where)
                self.assertEqual(one(row, "usbeth.tx.zero_length_ends"), waiting_zlp, where)
                waiting_zlp = None
                kinds["zlp"] += 1
            elif u.length == 32 and u.data[:2] == b"\x20\x00":
                self.assertEqual(one(row, "usbeth.kind"), 4, where)
                self.assertTrue(flag(row, "usbeth.keepalive"), where)
                kinds["keepalive"] += 1
            else:
                n = struct.unpack_from("<H", u.data, 0)[0]
                self.assertEqual(one(row, "usbeth.kind"), 3, where)
                self.assertEqual(one(row, "usbeth.tx.length"), n, where)
                self.assertEqual(row["eth.dst"], [mac(u.data[2:8])], where)
                self.assertEqual(row["eth.src"], [mac(u.data[8:14])], where)
                self.assertEqual(row["eth.src"], [station], where)
                pad = u.length - 2 - n
                self.assertEqual(len(row["usbeth.tx.padding"][0]) // 2 if pad else 0, pad, where)
                self.assertFalse(flag(row, "usbeth.tx.zero_length_missing"), where)
                waiting_zlp = u.frame if u.length % 64 == 0 else None
                kinds["frame"] += 1
                kinds["padded"] += pad > 0
            c = pairs.get(u.frame)
            if c is not None:
                self.assertEqual(one(cap.rows[c.frame], "usbeth.request_in"), u.frame, where)
        if cap.partial:
            return kinds
        # Every frame the driver sent reached the cable (once, though every PHY's cable
        # carries a copy), but those sent without a link.
        summary = cap.records("summary")[0]
        on_wire = {f for f in cap.wire_frames if mac(f[6:12]) == station and f[12:14] == b"\x88\xb5"}
        self.assertEqual(kinds["frame"], len(on_wire) + summary["tx_dropped_no_link"], cap.name)
        wire_pairs = collections.Counter((mac(f[6:12]), mac(f[0:6])) for f in on_wire)
        sent_pairs = collections.Counter((r["eth.src"][0], r["eth.dst"][0])
                                         for r in cap.rows.values()
                                         if one(r, "usbeth.kind") == 3 and r["eth.src"])
        for pair, count in wire_pairs.items():
            self.assertLessEqual(count, sent_pairs[pair], f"{cap.name}: {pair}")
        return kinds

    def check_bulk_in(self, cap):
        kept = bad = 0
        for u in cap.urbs:
            if not (u.xfer == 3 and u.type == "C" and u.ep & 0x80) or u.status != 0 or u.length < 8:
                continue
            row, where = cap.rows[u.frame], f"{cap.name} frame {u.frame}"
            n, status = u.length, u.data[u.length - 2]
            drop = bool(status & 0x1E) or n - 8 > 1514
            self.assertEqual(one(row, "usbeth.rx.status"), status, where)
            self.assertEqual(flag(row, "usbeth.rx.dropped"), drop, where)
            self.assertEqual(flag(row, "usbeth.rx.bad_status"), bool(status & 0x1E), where)
            self.assertEqual(one(row, "usbeth.rx.frame_length"), n - 8, where)
            self.assertEqual(row["eth.dst"], [mac(u.data[0:6])], where)
            self.assertEqual(row["eth.src"], [mac(u.data[6:12])], where)
            self.assertFalse(flag(row, "usbeth.rx.fcs_bad"), where)
            kept += not drop
            bad += bool(status & 0x1E)
        if cap.partial:
            return kept, bad
        summary = cap.records("summary")[0]
        # Frames with a good status are the ones the driver indicated; the partner's frames
        # that reached the device are on the wire.
        self.assertEqual(kept, summary["rx_indicated"], cap.name)
        lost = sum(summary[k] for k in ("rx_lost_no_link", "rx_mii_contention", "rx_filtered",
                                        "rx_fifo_overflows"))
        self.assertEqual(kept + bad, summary["rx_sent_by_partner"] - lost, cap.name)
        return kept, bad

    def check_capture(self, cap, names):
        with self.subTest(capture=cap.name):
            self.check_register_requests(cap, names)
            self.check_mii(cap)
            self.check_phys_against_log(cap)
            self.check_station_and_eeprom(cap)
            kinds = self.check_bulk_out(cap)
            kept, bad = self.check_bulk_in(cap)
            if not cap.partial:
                expected_bad = sum(r["count"] for r in cap.records("bad_status"))
                self.assertEqual(bad, expected_bad, cap.name)
            return kinds, kept, bad


def capture(name):
    if name not in CAPTURES:
        raise unittest.SkipTest(f"scenario {name} not run")
    return CAPTURES[name]


class SimulatorCaptures(unittest.TestCase, ScenarioChecks):
    @classmethod
    def setUpClass(cls):
        cls.names = header_register_names(ARGS.registers)

    def test_header_names_found(self):
        # The reference names come from the header's register map.
        for r, text in [(0x00, "RX_CTL0"), (0x08, "multicast hash"), (0x10, "station address"),
                        (0x25, "MII PHY address"), (0x28, "MII control and status"),
                        (0x7E, "GPIO block")]:
            self.assertEqual(self.names.get(r), text)

    def test_every_scenario(self):
        for name, cap in CAPTURES.items():
            self.check_capture(cap, self.names)

    def test_bad_status_shows_as_expert_info(self):
        cap = capture("bad-status")
        _, kept, bad = self.check_capture(cap, self.names)
        events = sum(r["count"] for r in cap.records("bad_status"))
        summary = cap.records("summary")[0]
        self.assertEqual(events, 30)
        self.assertEqual(bad, events)
        self.assertEqual(bad, summary["OID_GEN_RCV_CRC_ERROR"])
        experts = [n for n, r in cap.rows.items() if flag(r, "usbeth.rx.bad_status")]
        self.assertEqual(len(experts), events)
        for n in experts:
            self.assertEqual(one(cap.rows[n], "usbeth.rx.status") & 0x08, 0x08)

    def test_two_passes_show_what_one_pass_shows(self):
        # tshark -2 (like Wireshark's tree view) dissects every frame again after the first
        # pass; the pairing kept per frame must give the same fields.
        cap = capture("framing")
        self.assertEqual(tshark(cap.usb, two_pass=True), cap.rows)

    def test_framing_scenario(self):
        kinds, _, _ = self.check_capture(capture("framing"), self.names)
        self.assertGreaterEqual(kinds["keepalive"], 2)
        self.assertGreaterEqual(kinds["zlp"], 20)
        self.assertGreaterEqual(kinds["padded"], 20)


# ---- synthetic captures ----------------------------------------------------------------

STATION = bytes.fromhex("006008123456")
PARTNER = bytes.fromhex("020000000002")


class SyntheticCaptures(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="usbeth-dissector-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def decode(self, writer, prefs=()):
        path = os.path.join(self.dir, "synthetic.pcap")
        writer.save(path)
        return parse_usbmon(read_pcap(path)[1]), tshark(path, prefs)

    def test_receive_trailers_the_driver_drops(self):
        w = UsbmonWriter()
        w.descriptor(0x1209, 0x0001)
        cases = [
            ("good", rx_transfer(STATION, PARTNER, bytes(50)), set()),
            ("status bits it ignores", rx_transfer(STATION, PARTNER, bytes(50), status=0xA1), set()),
            ("runt", rx_transfer(STATION, PARTNER, bytes(10), status=0x42), {"bad_status"}),
            ("alignment", rx_transfer(STATION, PARTNER, bytes(50), status=0x50), {"bad_status"}),
            ("too long status", rx_transfer(STATION, PARTNER, bytes(50), status=0x44),
             {"bad_status"}),
            ("1514 bytes", rx_transfer(STATION, PARTNER, bytes(1500)), set()),
            ("1515 bytes", rx_transfer(STATION, PARTNER, bytes(1501)), {"too_long"}),
            ("wrong FCS", rx_transfer(STATION, PARTNER, bytes(50), fcs=0x12345678), {"fcs_bad"}),
            ("trailer length", rx_transfer(STATION, PARTNER, bytes(50), trailer_len=7),
             {"trailer_length_mismatch"}),
            ("too short", bytes(5), {"too_short"}),
        ]
        for _, data, _ in cases:
            w.bulk_in(data)
        w.bulk_in(b"\x00")  # one byte: no frame, not an error
        w.bulk_in(b"", status=-2)  # cancelled read
        w.bulk_in(b"", status=-71)  # failed read
        w.bulk_in(rx_transfer(STATION, PARTNER, bytes(50)), captured=40)
        urbs, rows = self.decode(w)
        done = [u for u in urbs if u.type == "C" and u.xfer == 3]
        experts = ["bad_status", "too_long", "fcs_bad", "trailer_length_mismatch", "too_short"]
        for (name, data, expected), u in zip(cases, done):
            with self.subTest(case=name):
                row = rows[u.frame]
                self.assertEqual({e for e in experts if flag(row, "usbeth.rx." + e)}, expected)
                dropped = bool(expected & {"bad_status", "too_long", "too_short"})
                self.assertEqual(flag(row, "usbeth.rx.dropped"), dropped)
                if len(data) >= 8:
                    self.assertEqual(one(row, "usbeth.rx.status"), data[-2])
                    self.assertEqual(row["eth.src"], [mac(PARTNER)])
        one_byte, cancelled, failed, truncated = [rows[u.frame] for u in done[len(cases):]]
        self.assertFalse(any(flag(one_byte, "usbeth.rx." + e) for e in experts))
        self.assertFalse(one_byte["eth.src"])
        self.assertTrue(flag(cancelled, "usbeth.cancelled"))
        self.assertFalse(flag(cancelled, "usbeth.failed"))
        self.assertTrue(flag(failed, "usbeth.failed"))
        self.assertTrue(flag(truncated, "usbeth.truncated"))
        self.assertFalse(truncated["usbeth.rx.status"])

    def test_bulk_out_zero_length_transfers(self):
        w = UsbmonWriter()
        w.descriptor(0x1209, 0x0001)
        frame62 = PARTNER + STATION + b"\x88\xb5" + bytes(48)
        w.bulk_out(struct.pack("<H", 62) + frame62)  # 64 bytes: a zero-length transfer follows
        w.bulk_out(b"")
        w.bulk_out(struct.pack("<H", 62) + frame62)  # ... but here none does
        w.bulk_out(struct.pack("<H", 20) + frame62[:20] + bytes(38))
        w.bulk_out(b"")  # after a 60-byte transfer
        w.bulk_out(b"\x20\x00" + bytes(11) + b"\x01" + bytes(18))  # keep-alive
        w.bulk_out(struct.pack("<H", 100) + frame62)  # prefix longer than the transfer
        w.bulk_out(struct.pack("<H", 20) + frame62[:20] + bytes(38), status=-71)
        urbs, rows = self.decode(w)
        subs = [rows[u.frame] for u in urbs if u.type == "S" and u.xfer == 3]
        first, zlp, second, short, stray, keepalive, bad, failed = subs
        frames = [u.frame for u in urbs if u.type == "S" and u.xfer == 3]
        self.assertEqual(one(zlp, "usbeth.kind"), 5)
        self.assertEqual(one(zlp, "usbeth.tx.zero_length_ends"), frames[0])
        self.assertFalse(flag(zlp, "usbeth.tx.zero_length_unexpected"))
        self.assertTrue(flag(short, "usbeth.tx.zero_length_missing"))
        self.assertEqual(len(short["usbeth.tx.padding"][0]) // 2, 38)
        self.assertTrue(flag(stray, "usbeth.tx.zero_length_unexpected"))
        self.assertEqual(one(keepalive, "usbeth.kind"), 4)
        self.assertEqual(one(bad, "usbeth.kind"), 3)
        self.assertTrue(bad["usbeth.tx.length"])
        failed_done = [rows[u.frame] for u in urbs if u.type == "C" and u.xfer == 3][-1]
        self.assertTrue(flag(failed_done, "usbeth.failed"))

    def test_mii_read_back_not_done(self):
        w = UsbmonWriter()
        w.descriptor(0x1209, 0x0001)
        w.write_regs(0x25, [4, 0, 0, 0x40 | 5])  # read PHY 4 register 5
        w.read_regs(0x25, [4, 0xE1, 0x45, 0x45])  # not done yet
        w.read_regs(0x25, [4, 0xE1, 0x45, 0xC5])  # done
        w.write_regs(0x25, [4, 0x00, 0x12, 0x20 | 0])  # write 0x1200 to the control register
        w.read_regs(0x28, [0x20, 0])  # not done
        urbs, rows = self.decode(w)
        done = [rows[u.frame] for u in urbs if u.type == "C" and u.xfer == 2][1:]
        _, first, second, _, write_back = done
        for row, is_done in [(first, False), (second, True)]:
            self.assertEqual(one(row, "usbeth.mii.phy"), 4)
            self.assertEqual(one(row, "usbeth.mii.reg"), 5)
            self.assertEqual(one(row, "usbeth.mii.value"), 0x45E1)
            self.assertEqual(flag(row, "usbeth.mii.done"), is_done)
            self.assertEqual(flag(row, "usbeth.mii.not_done"), not is_done)
        self.assertEqual(one(write_back, "usbeth.mii.op"), 0x20)
        self.assertEqual(one(write_back, "usbeth.mii.value"), 0x1200)
        self.assertTrue(flag(write_back, "usbeth.mii.not_done"))

    def test_requests_outside_the_register_protocol(self):
        w = UsbmonWriter()
        w.descriptor(0x1209, 0x0001)
        w.completion_only([1, 2])  # the capture began while a read was in flight
        w.control(struct.pack("<BBHHH", 0xC0, 0x05, 0, 0, 2), data_in=b"\x01\x02")  # vendor 0x05
        w.read_regs(0x01, [0x30])
        urbs, rows = self.decode(w)
        orphan, other_s, other_c, read_s, read_c = [rows[u.frame] for u in urbs[2:]]
        self.assertTrue(flag(orphan, "usbeth.orphan"))
        self.assertFalse(other_s["usbeth.kind"] or other_c["usbeth.kind"])
        self.assertFalse(flag(other_c, "usbeth.orphan"))
        self.assertEqual(ints(read_c, "usbeth.register"), [0x01])
        self.assertEqual(one(read_c, "usbeth.request_in"), urbs[5].frame)

    def register_traffic(self, vendor=None, product=None):
        w = UsbmonWriter(bus=3, dev=9)
        if vendor is not None:
            w.descriptor(vendor, product)
        w.write_regs(0x00, [0xF9, 0x30, 0x02])
        w.bulk_in(rx_transfer(STATION, PARTNER, bytes(50)))
        return w

    def decoded_kinds(self, rows):
        return sorted(one(r, "usbeth.kind") for r in rows.values() if r["usbeth.kind"])

    def test_binding(self):
        both = [2, 2, 6, 6]
        cases = [
            ("simulated adapter", self.register_traffic(0x1209, 0x0001), (), both),
            ("other device", self.register_traffic(0x1234, 0x5678), (), []),
            ("other device set as a product", self.register_traffic(0x1234, 0x5678),
             ("usbeth.products:1234:5678",), both),
            ("no descriptor", self.register_traffic(), (), []),
            ("no descriptor, device set", self.register_traffic(), ("usbeth.devices:3.9",), both),
            ("no descriptor, other device set", self.register_traffic(),
             ("usbeth.devices:3.8",), []),
            ("no descriptor, guessed", self.register_traffic(), ("usbeth.guess:TRUE",), both),
            ("other descriptor is not guessed", self.register_traffic(0x1234, 0x5678),
             ("usbeth.guess:TRUE",), []),
        ]
        def decode(i):
            path = os.path.join(self.dir, f"binding-{i}.pcap")
            cases[i][1].save(path)
            return tshark(path, cases[i][2])

        with ThreadPoolExecutor(max_workers=2) as pool:
            decoded = list(pool.map(decode, range(len(cases))))
        for (name, _, _, expected), rows in zip(cases, decoded):
            with self.subTest(case=name):
                self.assertEqual(self.decoded_kinds(rows), expected)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--lua", required=True)
    parser.add_argument("--examples", required=True)
    parser.add_argument("--registers", required=True)
    parser.add_argument("--framing", required=True)
    parser.add_argument("--tshark", default=shutil.which("tshark"))
    parser.add_argument("--scenarios", help="comma-separated names: run only these scenarios")
    ARGS, rest = parser.parse_known_args()
    if not ARGS.tshark:
        print("SKIPPED: tshark is not installed (Debian package tshark); the dissector is "
              "not tested")
        return 77
    workdir = tempfile.mkdtemp(prefix="usbeth-dissector-")
    try:
        scenarios = {"default": None, "framing": ARGS.framing}
        # Examples that fault the device, inject transfers, send to groups
        # and other stations or run several adapters break the one-to-one
        # between good trailers and indications that the checks below rely
        # on; the synthetic captures cover those cases.
        not_one_to_one = {"broadcast-multicast", "device-faults", "host-faults",
                          "ndis-requests", "two-adapters"}
        for f in sorted(os.listdir(ARGS.examples)):
            if f.endswith(".toml") and f[:-5] not in not_one_to_one:
                scenarios[f[:-5]] = os.path.join(ARGS.examples, f)
        if ARGS.scenarios:
            wanted = ARGS.scenarios.split(",")
            scenarios = {k: v for k, v in scenarios.items() if k in wanted}
        with ThreadPoolExecutor(max_workers=2) as pool:
            caps = pool.map(lambda item: Capture(item[0], item[1], workdir), scenarios.items())
            CAPTURES.update({c.name: c for c in caps})
        result = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2).result
        return 0 if result.wasSuccessful() else 1
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
