#!/usr/bin/python3
"""Writes the benchmark workbooks: one sheet, 20 columns, 70% numbers
(integers and 6-decimal floats), 20% short repeated strings (shared string
table), 10% formulas with cached numeric results. Deterministic.

Usage: bench/gen_workbooks.py OUT_DIR CELLS [CELLS ...]
Writes OUT_DIR/bench-<CELLS>.xls (python3-xlwt, BIFF8) and
OUT_DIR/bench-<CELLS>.xlsx (python3-xlsxwriter) for each cell count.
"""
import os
import random
import sys

import xlsxwriter
import xlwt

COLUMNS = 20
WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta",
         "iota", "kappa", "lambda", "mu", "nu", "xi", "omicron", "pi"]


def cells(count):
    """Yields (row, col, kind, value) in row order; kind is n, s or f."""
    rng = random.Random(20261210)
    for i in range(count):
        row, col = divmod(i, COLUMNS)
        draw = rng.random()
        if draw < 0.70:
            if rng.random() < 0.5:
                yield row, col, "n", float(rng.randint(-100000, 1000000))
            else:
                yield row, col, "n", round(rng.uniform(-1000, 1000), 6)
        elif draw < 0.90:
            yield row, col, "s", rng.choice(WORDS) + str(rng.randint(0, 99))
        else:
            yield row, col, "f", float(rng.randint(0, 1000))


def column_name(col):
    name = ""
    col += 1
    while col:
        col, rem = divmod(col - 1, 26)
        name = chr(65 + rem) + name
    return name


def write_xls(path, count):
    book = xlwt.Workbook()
    sheet = book.add_sheet("Data")
    for row, col, kind, value in cells(count):
        if kind == "f":
            sheet.write(row, col, xlwt.Formula("%d+1" % int(value)))
        else:
            sheet.write(row, col, value)
    book.save(path)


def write_xlsx(path, count):
    book = xlsxwriter.Workbook(path, {"constant_memory": False})
    sheet = book.add_worksheet("Data")
    for row, col, kind, value in cells(count):
        if kind == "f":
            sheet.write_formula(row, col, "=%d+1" % int(value), value + 1)
        elif kind == "s":
            sheet.write_string(row, col, value)
        else:
            sheet.write_number(row, col, value)
    book.close()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for count in map(int, sys.argv[2:]):
        if count > 65536 * COLUMNS:
            raise SystemExit("a .xls sheet holds at most 65536 rows")
        write_xls(os.path.join(out, "bench-%d.xls" % count), count)
        write_xlsx(os.path.join(out, "bench-%d.xlsx" % count), count)


if __name__ == "__main__":
    main()
