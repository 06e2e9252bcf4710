#!/usr/bin/env python3
"""Checks of the usbmon capture comparison: equal captures are equal, and a
difference in any part of a record (time, header field, data, a record
missing) is found at the right record and named."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare_captures as cc  # noqa: E402

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "compare_captures.py")


def urb(urb_id, kind, time_us, data=b"", status=0, endpoint=0x81, setup=None):
    header = cc.USBMON_HEADER.pack(urb_id, kind, 3, endpoint, 2, 1,
                                   b"\x00" if setup else b"-", b"\x00" if data else b"<",
                                   time_us // 1_000_000, time_us % 1_000_000, status, len(data),
                                   len(data), setup or bytes(8), 0, 0, 0, 0)
    return time_us, header + data


def pcap(records, linktype=220):
    blob = struct.pack("<IHHiIII", cc.PCAP_MAGIC_US, 2, 4, 0, 0, 65535, linktype)
    for time_us, packet in records:
        blob += struct.pack("<IIII", time_us // 1_000_000, time_us % 1_000_000, len(packet),
                            len(packet))
        blob += packet
    return blob


def sample():
    return [urb(1, b"S", 1000, setup=bytes([0xC0, 1, 0, 0, 0x10, 0, 2, 0]), endpoint=0x80),
            urb(1, b"C", 1125, data=b"\x34\x12", endpoint=0x80),
            urb(2, b"S", 2000, data=bytes(range(64)), endpoint=0x02, status=-115),
            urb(2, b"C", 2400, endpoint=0x02)]


class Compare(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()

    def tearDown(self):
        self.dir.cleanup()

    def write(self, name, blob):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(blob)
        return path

    def diff(self, other):
        a = cc.read_capture(self.write("a.pcap", pcap(sample())))
        b = cc.read_capture(self.write("b.pcap", pcap(other)))
        return cc.first_difference(a, b, "a", "b")

    def test_equal_captures_are_equal(self):
        self.assertIsNone(self.diff(sample()))
        self.assertEqual(len(cc.read_capture(self.write("c.pcap", pcap(sample())))), 4)

    def test_a_data_byte_is_found_at_its_record_and_offset(self):
        other = sample()
        data = bytearray(range(64))
        data[37] ^= 0xFF
        other[2] = urb(2, b"S", 2000, data=bytes(data), endpoint=0x02, status=-115)
        lines = self.diff(other)
        self.assertIn("record 2 ", lines[0])
        self.assertTrue(any("first difference at byte 37" in line for line in lines), lines)

    def test_a_virtual_time_is_found(self):
        other = sample()
        other[1] = urb(1, b"C", 1126, data=b"\x34\x12", endpoint=0x80)
        lines = self.diff(other)
        self.assertIn("record 1 ", lines[0])
        self.assertTrue(any("capture time: 1125 us vs 1126 us" in line for line in lines), lines)

    def test_a_header_field_is_named(self):
        other = sample()
        other[3] = urb(2, b"C", 2400, endpoint=0x02, status=-32)
        lines = self.diff(other)
        self.assertIn("record 3 ", lines[0])
        self.assertTrue(any(line.startswith("  field status: 0 vs -32") for line in lines), lines)
        self.assertFalse(any("field id" in line for line in lines), lines)

    def test_a_missing_record_is_reported_with_the_one_after_the_common_part(self):
        lines = self.diff(sample()[:3])
        self.assertEqual(lines[0], "a has 4 records, b 3; the first 3 agree")
        self.assertIn("URB 2 C", lines[1])

    def test_a_capture_of_another_link_type_is_refused(self):
        with self.assertRaisesRegex(cc.CaptureError, "link type 1, not usbmon"):
            cc.read_capture(self.write("eth.pcap", pcap(sample(), linktype=1)))

    def test_the_program_exits_1_on_a_difference_and_0_on_none(self):
        a = self.write("a.pcap", pcap(sample()))
        b = self.write("b.pcap", pcap(sample()[:2]))
        same = subprocess.run([sys.executable, SCRIPT, "files", a, a], capture_output=True)
        differ = subprocess.run([sys.executable, SCRIPT, "files", a, b], capture_output=True)
        self.assertEqual(same.returncode, 0)
        self.assertEqual(differ.returncode, 1)


if __name__ == "__main__":
    unittest.main()
