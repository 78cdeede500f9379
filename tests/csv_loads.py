#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Saved graph data loads unchanged in Python.

Runs the deska and generator test cases that save a CSV file through the
graph's file dialog (each in its own process, as on a fresh start), with
LABBENCH_CSV_CHECK naming a folder where they leave the file and the plotted
values beside it (exact, as hexadecimal floating point). Then loads each file
with the csv module, numpy.genfromtxt(..., comments="#") and
pandas.read_csv(..., comment="#") and compares every value with the plot.

Usage: csv_loads.py --deska DESKA_TEST --generator GENERATOR_TESTS --work FOLDER
"""
import argparse
import csv
import math
import os
import shutil
import subprocess
import sys

import numpy
import pandas

CASES = [
    ("deska", "Captures/DeskaDataOut.CsvHoldsEveryPlottedValueAndWhatThePanelShows/",
     ["deska_default", "deska_slow_gain2_de"], ["time (ms)", "voltage (V)"]),
    ("generator", "Previews/GeneratorDataOut.CsvHoldsEveryPreviewValueAndWhatThePanelShows/",
     ["generator_preview", "generator_preview_de"],
     ["Degrees into the period", "Relative code"]),
]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAIL:", what)


def expected_points(path):
    with open(path, encoding="ascii") as f:
        pairs = [line.split() for line in f]
    return [float.fromhex(x) for x, _ in pairs], [float.fromhex(y) for _, y in pairs]


def check_file(name, header, work):
    path = os.path.join(work, name + ".csv")
    x, y = expected_points(os.path.join(work, name + ".expected"))
    check(len(x) > 0, f"{name}: no plotted values were kept")

    with open(path, newline="", encoding="utf-8") as f:
        rows = [r for r in csv.reader(f) if not r[0].startswith("#")]
    check(rows[0] == header, f"{name}: csv module reads the header {rows[0]}")
    check([float(r[0]) for r in rows[1:]] == x, f"{name}: csv module, x column")
    check([float(r[1]) for r in rows[1:]] == y, f"{name}: csv module, y column")

    table = numpy.genfromtxt(path, delimiter=",", comments="#", encoding="utf-8")
    check(table.shape == (len(x) + 1, 2), f"{name}: numpy reads the shape {table.shape}")
    check(all(math.isnan(v) for v in table[0]), f"{name}: numpy reads the header row as text")
    check(numpy.array_equal(table[1:, 0], numpy.array(x)), f"{name}: numpy, x column")
    check(numpy.array_equal(table[1:, 1], numpy.array(y)), f"{name}: numpy, y column")

    frame = pandas.read_csv(path, comment="#")
    check(list(frame.columns) == header, f"{name}: pandas reads the columns {list(frame.columns)}")
    # pandas' default number parser may be one unit in the last place off;
    # its round-trip parser reads every value exactly.
    check(numpy.allclose(frame.iloc[:, 1].to_numpy(), y, rtol=1e-15, atol=0),
          f"{name}: pandas, y column")
    exact = pandas.read_csv(path, comment="#", float_precision="round_trip")
    check(numpy.array_equal(exact.iloc[:, 0].to_numpy(), x), f"{name}: pandas exact, x column")
    check(numpy.array_equal(exact.iloc[:, 1].to_numpy(), y), f"{name}: pandas exact, y column")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--deska", required=True)
    parser.add_argument("--generator", required=True)
    parser.add_argument("--work", required=True)
    args = parser.parse_args()
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    env = dict(os.environ, LABBENCH_CSV_CHECK=args.work, QT_QPA_PLATFORM="offscreen")
    programs = {"deska": args.deska, "generator": args.generator}
    for program, prefix, names, header in CASES:
        for name in names:
            run = subprocess.run([programs[program], "--gtest_filter=" + prefix + name],
                                 env=env, capture_output=True, text=True, timeout=120)
            if run.returncode != 0:
                print(run.stdout[-3000:], run.stderr[-3000:])
            check(run.returncode == 0, f"{name}: the saving test case failed")
            if run.returncode == 0:
                check_file(name, header, args.work)
    print("csv_loads: %d problem(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
