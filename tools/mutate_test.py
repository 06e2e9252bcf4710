#!/usr/bin/env python3
"""Checks of the mutation sampler's choice of places: operators and constants
in code only, never in comments, strings, template brackets or names; the
same seed draws the same mutants."""
import os
import random
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import mutate  # noqa: E402


def sites_of(text):
    with tempfile.TemporaryDirectory() as root:
        os.makedirs(os.path.join(root, "driver"))
        with open(os.path.join(root, "driver", "x.cpp"), "w") as f:
            f.write(text)
        return [(line, old, new) for _, line, _, old, new in mutate.mutation_sites(root)]


class Sites(unittest.TestCase):
    def test_operators_between_operands_are_flipped(self):
        self.assertEqual(sites_of("if (a < b && c != d) x();\n"),
                         [(1, "<", ">="), (1, "&&", "||"), (1, "!=", "==")])

    def test_templates_arrows_and_shifts_are_not_operators(self):
        self.assertEqual(sites_of("auto p = static_cast<T*>(q)->r << s >> t;\n"), [])

    def test_comments_strings_and_preprocessor_lines_are_skipped(self):
        text = ('// a == b 3\n#define X 4\n/* c < d\n   5 */ y = "e != f 6";\n'
                "static_assert(sizeof(A) == 8, \"\");\n")
        self.assertEqual(sites_of(text), [])

    def test_constants_change_and_names_with_digits_do_not(self):
        self.assertEqual(sites_of("x = kPhy2 + 0 + 1 + 0x0C00 + 300u;\n"),
                         [(1, "0", "1"), (1, "1", "0"), (1, "0x0C00", "0x0C01"), (1, "300", "301")])

    def test_the_same_seed_draws_the_same_mutants(self):
        root = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
        sites = mutate.mutation_sites(root)
        self.assertGreater(len(sites), 100)
        self.assertEqual(random.Random(7).sample(sites, 10), random.Random(7).sample(sites, 10))


class Equivalents(unittest.TestCase):
    def test_an_entry_picks_one_of_identical_lines_by_its_occurrence(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "driver"))
            with open(os.path.join(root, "driver", "x.cpp"), "w") as f:
                f.write("  x = 1;\n  y = 2;\n  x = 1;\n")
            listing = os.path.join(root, "eq.txt")
            with open(listing, "w") as f:
                f.write("# reviewed\ndriver/x.cpp | x = 1; #2 | 1 -> 0 | dead store\n")
            equivalents = mutate.load_equivalents(listing)
            cache = {}
            marked = [(line, bool(mutate.equivalence_of(root, site, equivalents, cache)))
                      for site in mutate.mutation_sites(root) for line in [site[1]]]
            self.assertEqual(marked, [(1, False), (2, False), (3, True)])

    def test_every_reviewed_entry_still_names_a_place_in_the_driver(self):
        # An entry whose line was edited silently stops matching; the review
        # must then be done again rather than the entry left behind.
        root = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
        equivalents = mutate.load_equivalents(os.path.join(root, "tools", "mutate_equivalent.txt"))
        self.assertGreater(len(equivalents), 0)
        cache = {}
        matched = {mutate.equivalence_of(root, site, equivalents, cache)
                   for site in mutate.mutation_sites(root)}
        for key, why in equivalents.items():
            self.assertIn(why, matched, "no mutation site matches %s" % (key,))


if __name__ == "__main__":
    unittest.main()
