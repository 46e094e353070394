#!/usr/bin/env python3
"""Line and branch coverage of the product sources from one coverage build.

Runs gcov on every .gcda under BUILD (the counts of all objects that compile a
source are added up: a source built into several programs counts once), prints
a table for the sources under the project's product folders and writes each
source's uncovered lines to OUT/<source>.txt, as "line: text".

Usage: coverage-report.py GCOV BUILD SOURCE_ROOT OUT
"""
import gzip
import json
import os
import subprocess
import sys
import tempfile

PRODUCT = ("launcher/VeltaAI.cpp", "uninstaller/Uninstall.cpp", "uninstaller/src/")


def gcov_files(gcov, build):
    """Every source's lines as gcov reports them, one report per object."""
    with tempfile.TemporaryDirectory() as scratch:
        for root, _, names in os.walk(build):
            for name in names:
                if name.endswith(".gcda"):
                    subprocess.run([gcov, "-j", "-b", "-o", root, os.path.join(root, name)],
                                   cwd=scratch, capture_output=True)
                    for report in os.listdir(scratch):
                        with gzip.open(os.path.join(scratch, report)) as f:
                            yield from json.load(f)["files"]
                        os.remove(os.path.join(scratch, report))


def main(gcov, build, source_root, out):
    lines = {}  # source -> line -> count
    branches = {}  # source -> (line, index) -> taken
    for entry in gcov_files(gcov, build):
        path = os.path.relpath(os.path.realpath(os.path.join(build, entry["file"])), source_root)
        if not path.startswith(PRODUCT) or not path.endswith(".cpp"):
            continue
        seen = lines.setdefault(path, {})
        taken = branches.setdefault(path, {})
        for line in entry["lines"]:
            n = line["line_number"]
            seen[n] = seen.get(n, 0) + line["count"]
            for i, branch in enumerate(line.get("branches", [])):
                taken[(n, i)] = taken.get((n, i), 0) + branch["count"]
    os.makedirs(out, exist_ok=True)
    print("%-50s %14s %16s" % ("source", "lines", "branches"))
    for path in sorted(lines):
        seen, taken = lines[path], branches[path]
        hit = sum(1 for c in seen.values() if c)
        bhit = sum(1 for c in taken.values() if c)
        print("%-50s %5d/%-5d %3.0f%% %5d/%-5d %3.0f%%" % (
            path, hit, len(seen), 100 * hit / max(len(seen), 1),
            bhit, len(taken), 100 * bhit / max(len(taken), 1)))
        with open(os.path.join(source_root, path), errors="replace") as f:
            text = f.read().splitlines()
        report = os.path.join(out, path.replace("/", "_") + ".txt")
        with open(report, "w") as f:
            for n in sorted(k for k, c in seen.items() if not c):
                f.write("%d: %s\n" % (n, text[n - 1] if n <= len(text) else ""))
    print("uncovered lines, per source: %s" % out)


if __name__ == "__main__":
    if len(sys.argv) != 5:
        raise SystemExit(__doc__)
    main(*sys.argv[1:])
