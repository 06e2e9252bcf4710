#!/usr/bin/env python3
"""Checks of the many-seed soak: its seed lists, its reading of each run's
summary, and one short run of two seeds that must add up.

usage: soak_seeds_test.py USBETH_SIM"""
import importlib.util
import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
spec = importlib.util.spec_from_file_location("soak_seeds", os.path.join(HERE, "soak-seeds.py"))
soak_seeds = importlib.util.module_from_spec(spec)
spec.loader.exec_module(soak_seeds)
SIM = None


class Seeds(unittest.TestCase):
    def test_ranges_and_lists(self):
        self.assertEqual(soak_seeds.parse_seeds("1-3,7"), [1, 2, 3, 7])
        for bad in ("3-1", "x", "", "1-"):
            with self.assertRaises(ValueError):
                soak_seeds.parse_seeds(bad)

    def test_the_last_summary_line_is_read(self):
        text = ("soak: 1.0/2.0 h simulated, 857x real time, 175 events, 24 faults, 1 frames, "
                "0 failures\nsoak: seed 9, faults level 2: 2.0 simulated hours in 5.2 s of real "
                "time; 2 episodes, 404 events, 36 faults injected, 223078 frames checked, "
                "1 failures\n")
        s = soak_seeds.parse_summary(text)
        self.assertEqual((s["seed"], s["hours"], s["frames"], s["failures"]), (9, 2.0, 223078, 1))
        self.assertIsNone(soak_seeds.parse_summary("soak: nothing here\n"))


@unittest.skipIf(SIM is None and len(sys.argv) < 2, "no usbeth-sim given")
class ShortRun(unittest.TestCase):
    def test_two_seeds_add_up(self):
        with tempfile.TemporaryDirectory() as out:
            p = subprocess.run([sys.executable, os.path.join(HERE, "soak-seeds.py"), "--sim", SIM,
                                "--seeds", "3,4", "--hours", "0.1", "--episode-minutes", "3",
                                "--faults", "2", "--jobs", "2", "--out", out],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            self.assertEqual(p.returncode, 0, p.stdout)
            self.assertIn("seed 3 ", p.stdout)
            self.assertIn("seed 4 ", p.stdout)
            self.assertIn("2 seeds, 0.2 simulated hours", p.stdout)
            self.assertTrue(os.path.exists(os.path.join(out, "seed3.log")))

    def test_a_missing_program_is_refused(self):
        p = subprocess.run([sys.executable, os.path.join(HERE, "soak-seeds.py"), "--sim",
                            "/nonexistent/usbeth-sim"], stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, text=True)
        self.assertEqual(p.returncode, 2)
        self.assertIn("is not a program", p.stdout)


if __name__ == "__main__":
    if len(sys.argv) > 1:
        SIM = sys.argv.pop(1)
    unittest.main()
