#!/usr/bin/env python3
"""Mutation sampler for the driver: how many small faults do the tests catch?

Copies the source tree to a work folder (the tree it is given is never
touched), builds the test programs there once, then for each of N mutants
drawn from a seed changes one place in driver/ -- one comparison or logical
operator flipped, or one integer constant changed -- rebuilds, runs the
tests, puts the file back, and reports the mutant's fate:

  killed     a test failed, crashed or ran out of time
  survived   every test passed
  no build   the mutant does not compile (not counted in the kill rate)
  equivalent reviewed and listed in tools/mutate_equivalent.txt as behaving
             exactly as the original (not built, not counted)

and at the end the kill rate, killed / (killed + survived), and the same
with the equivalent mutants counted as survivors.

The tests run are the driver's and the conformance tests (the programs under
tests/driver and tests/conformance), each stopping at its first failure:
together they take seconds, where the whole suite takes a minute. --all runs
every CTest test instead.

usage: mutate.py [--count N] [--seed S] [--source DIR] [--work DIR] [--all]
                 [--jobs J] [--keep] [--list]
"""
import argparse
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile
import time

TEST_PROGRAMS = [
    "tests/driver/miniport/driver_miniport_tests",
    "tests/driver/usb/driver_usb_tests",
    "tests/driver/controller/driver_controller_tests",
    "tests/driver/phy/driver_phy_tests",
    "tests/driver/oid/driver_oid_tests",
    "tests/driver/datapath/datapath_tests",
    "tests/driver/link/driver_link_tests",
    "tests/conformance/conformance_tests",
]
PROGRAM_TIMEOUT = 120  # seconds; a mutant that makes a test hang is killed by it

# Operators as the house format writes them between operands: with a space
# on each side, which tells `a < b` from `static_cast<T>` and `x->y`.
FLIPS = {
    "==": "!=", "!=": "==",
    "<": ">=", ">=": "<", ">": "<=", "<=": ">",
    "&&": "||", "||": "&&",
}
OPERATOR = re.compile(r"(?<= )(==|!=|<=|>=|&&|\|\||<|>)(?= )")
CONSTANT = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])")


def code_part(line):
    """The line without its // comment and with string and character
    literals blanked (same length), so that positions still match."""
    out = []
    i, quote = 0, None
    while i < len(line):
        c = line[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            out.append(" " if c != quote else c)
            if c == quote:
                quote = None
        elif c in "\"'":
            quote = c
            out.append(c)
        elif line.startswith("//", i):
            break
        else:
            out.append(c)
        i += 1
    return "".join(out)


def changed_constant(text):
    """0 becomes 1, 1 becomes 0, anything else one more; hex stays hex, as wide."""
    is_hex = text.lower().startswith("0x")
    value = int(text, 16) if is_hex else int(text)
    new = 1 if value == 0 else (0 if value == 1 else value + 1)
    return "0x%0*X" % (len(text) - 2, new) if is_hex else str(new)


def mutation_sites(root):
    """Every (file, line number, column, old text, new text) in driver/*.cpp."""
    sites = []
    for folder, _, files in os.walk(os.path.join(root, "driver")):
        for name in sorted(files):
            if not name.endswith(".cpp"):
                continue
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            in_block_comment = False
            with open(path) as f:
                lines = f.read().split("\n")
            for number, line in enumerate(lines, 1):
                code = code_part(line)
                if in_block_comment:
                    if "*/" not in code:
                        continue
                    in_block_comment = False
                    code = " " * (code.index("*/") + 2) + code[code.index("*/") + 2:]
                if "/*" in code:
                    start = code.index("/*")
                    end = code.find("*/", start + 2)
                    if end < 0:
                        in_block_comment = True
                        code = code[:start]
                    else:
                        code = code[:start] + " " * (end + 2 - start) + code[end + 2:]
                stripped = code.strip()
                if not stripped or stripped.startswith("#") or "static_assert" in code:
                    continue
                for m in OPERATOR.finditer(code):
                    sites.append((rel, number, m.start(), m.group(1), FLIPS[m.group(1)]))
                for m in CONSTANT.finditer(code):
                    sites.append((rel, number, m.start(), m.group(1), changed_constant(m.group(1))))
    return sites


def line_keys(root, rel):
    """For each line number of a file: (stripped text, its occurrence among
    identical stripped lines of the file so far, 1-based)."""
    with open(os.path.join(root, rel)) as f:
        lines = f.read().split("\n")
    seen, keys = {}, {}
    for number, line in enumerate(lines, 1):
        text = line.strip()
        seen[text] = seen.get(text, 0) + 1
        keys[number] = (text, seen[text])
    return keys


def load_equivalents(path):
    """{(file, line text, occurrence, old, new): why} from the reviewed list."""
    equivalents = {}
    if not os.path.exists(path):
        return equivalents
    with open(path) as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            parts = [p.strip() for p in line.split(" | ")]
            if len(parts) != 4 or " -> " not in parts[2]:
                sys.exit("%s:%d: expected 'file | line [#k] | old -> new | why'" % (path, number))
            rel, text, change, why = parts
            occurrence = 1
            m = re.match(r"^(.*?)\s+#(\d+)$", text)
            if m:
                text, occurrence = m.group(1), int(m.group(2))
            old, new = [x.strip() for x in change.split(" -> ")]
            equivalents[(rel, text, occurrence, old, new)] = why
    return equivalents


def equivalence_of(root, site, equivalents, cache):
    """Why a site's mutant is equivalent, or None."""
    rel, number, _, old, new = site
    if rel not in cache:
        cache[rel] = line_keys(root, rel)
    text, occurrence = cache[rel][number]
    return equivalents.get((rel, text, occurrence, old, new))


def run(cmd, cwd, timeout=None, log=None):
    try:
        p = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    if log is not None:
        log.append(p.stdout)
    return p.returncode


def build(build_dir, targets, jobs):
    cmd = ["cmake", "--build", build_dir, "--parallel", str(jobs)]
    if targets:
        cmd += ["--target"] + targets
    return run(cmd, build_dir) == 0


def tests_pass(build_dir, run_all):
    """True when every test passes; the name of what failed otherwise."""
    if run_all:
        rc = run(["ctest", "--test-dir", build_dir, "--stop-on-failure", "-j", "2",
                  "--timeout", str(PROGRAM_TIMEOUT)], build_dir, timeout=3600)
        return True if rc == 0 else "ctest"
    for program in TEST_PROGRAMS:
        rc = run([os.path.join(build_dir, program), "--gtest_fail_fast", "--gtest_brief=1"],
                 build_dir, timeout=PROGRAM_TIMEOUT)
        if rc != 0:
            return os.path.basename(program) + (" (timeout)" if rc is None else "")
    return True


def copy_tree(source, work):
    """The tracked files of the source (git ls-files), or all but build/ and .git."""
    try:
        files = subprocess.run(["git", "ls-files", "-z"], cwd=source, check=True,
                               stdout=subprocess.PIPE).stdout.decode().split("\0")
        files = [f for f in files if f]
    except (subprocess.CalledProcessError, FileNotFoundError):
        files = None
    if files is None:
        shutil.copytree(source, work, ignore=shutil.ignore_patterns("build", ".git"))
        return
    for rel in files:
        src = os.path.join(source, rel)
        if not os.path.isfile(src):
            continue
        dst = os.path.join(work, rel)
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy2(src, dst)


def main():
    here = os.path.realpath(os.path.join(os.path.dirname(__file__), ".."))
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--count", type=int, default=50, help="mutants to try (default 50)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the draw (default 1)")
    ap.add_argument("--source", default=here, help="tree to copy (default: this checkout)")
    ap.add_argument("--work", help="work folder (default: a new one under the temp folder)")
    ap.add_argument("--all", action="store_true", help="run every CTest test per mutant")
    ap.add_argument("--jobs", type=int, default=2, help="compile jobs (default 2)")
    ap.add_argument("--keep", action="store_true", help="keep the work folder afterwards")
    ap.add_argument("--list", action="store_true", help="print the drawn mutants and stop")
    ap.add_argument("--equivalents", default=os.path.join(here, "tools", "mutate_equivalent.txt"),
                    help="reviewed equivalent mutants (default tools/mutate_equivalent.txt)")
    args = ap.parse_args()
    equivalents = load_equivalents(args.equivalents)
    line_cache = {}

    source = os.path.realpath(args.source)
    sites = mutation_sites(source)
    if not sites:
        sys.exit("no mutation sites under %s/driver" % source)
    rng = random.Random(args.seed)
    drawn = rng.sample(sites, min(args.count, len(sites)))
    print("%d places to mutate in driver/; %d drawn with seed %d" % (len(sites), len(drawn),
                                                                      args.seed), flush=True)
    if args.list:
        for i, site in enumerate(drawn, 1):
            rel, number, _, old, new = site
            why = equivalence_of(source, site, equivalents, line_cache)
            print("%3d  %s:%d  %s -> %s%s" % (i, rel, number, old, new,
                                             "  (equivalent)" if why else ""))
        return 0

    work = args.work or tempfile.mkdtemp(prefix="usbeth-mutants-")
    if os.path.realpath(work) == source or source.startswith(os.path.realpath(work) + os.sep):
        sys.exit("the work folder must not be the source tree")
    os.makedirs(work, exist_ok=True)
    copy_tree(source, work)
    build_dir = os.path.join(work, "build")
    configure = ["cmake", "-S", work, "-B", build_dir, "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    if shutil.which("ccache"):
        configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    log = []
    if run(configure, work, log=log) != 0:
        sys.exit("configuring the copy failed:\n" + "".join(log))
    targets = None if args.all else [os.path.basename(p) for p in TEST_PROGRAMS]
    print("building the copy in %s ..." % build_dir, flush=True)
    if not build(build_dir, targets, args.jobs):
        sys.exit("the unmutated copy does not build")
    if tests_pass(build_dir, args.all) is not True:
        sys.exit("the unmutated copy fails its tests: nothing to measure")

    fates = {"killed": 0, "survived": 0, "no build": 0, "equivalent": 0}
    survivors = []
    try:
        for i, site in enumerate(drawn, 1):
            rel, number, column, old, new = site
            why = equivalence_of(source, site, equivalents, line_cache)
            if why:
                fates["equivalent"] += 1
                print("%3d  %-9s %-34s %s -> %s   %s" % (i, "equivalent", "%s:%d" % (rel, number),
                                                        old, new, why[:70]), flush=True)
                continue
            path = os.path.join(work, rel)
            with open(path) as f:
                original = f.read()
            lines = original.split("\n")
            line = lines[number - 1]
            assert line[column:column + len(old)] == old, (rel, number, column, old)
            lines[number - 1] = line[:column] + new + line[column + len(old):]
            started = time.time()
            try:
                with open(path, "w") as f:
                    f.write("\n".join(lines))
                if not build(build_dir, targets, args.jobs):
                    fate, why = "no build", ""
                else:
                    result = tests_pass(build_dir, args.all)
                    fate, why = ("survived", "") if result is True else ("killed", result)
            finally:
                with open(path, "w") as f:
                    f.write(original)
            fates[fate] += 1
            if fate == "survived":
                survivors.append((rel, number, old, new, line.strip()))
            print("%3d  %-9s %-34s %s -> %s   %s  (%.0f s)%s" % (
                i, fate, "%s:%d" % (rel, number), old, new, line.strip()[:60],
                time.time() - started, ("  [" + why + "]") if why else ""), flush=True)
    finally:
        if not args.keep and not args.work:
            shutil.rmtree(work, ignore_errors=True)

    counted = fates["killed"] + fates["survived"]
    print("\n%d killed, %d survived, %d did not build, %d equivalent" % (
        fates["killed"], fates["survived"], fates["no build"], fates["equivalent"]))
    if counted:
        print("kill rate: %.1f%% (%d of %d mutants that built, equivalent ones left out)" % (
            100.0 * fates["killed"] / counted, fates["killed"], counted))
    if fates["equivalent"]:
        print("kill rate counting the equivalent ones as survivors: %.1f%% (%d of %d)" % (
            100.0 * fates["killed"] / (counted + fates["equivalent"]), fates["killed"],
            counted + fates["equivalent"]))
    for rel, number, old, new, text in survivors:
        print("survivor: %s:%d  %s -> %s  in  %s" % (rel, number, old, new, text))
    return 0


if __name__ == "__main__":
    sys.exit(main())
