#!/usr/bin/python3
"""Tabulon side by side with its floors and the independent readers Debian
offers, in one run: medians of whole-workbook reads of the benchmark
workbooks, ratios, peak memory per cell, and a plot.

Usage: bench/compare.py --build BUILD_DIR [--data DIR] [--cells 10000,100000,1000000]
                        [--repeats N] [--plot bench/perf.png] [--skip-slow]

Rows (all in process unless said otherwise):
  tabulon       cold request: one getMultiCellValueRef request for a 20 x 50
                block through the loaded plug-in, with a byte of the file
                changed before each request, so that each one parses the
                whole file (in a process that has served before)
  tabulon warm  the same request again on the unchanged file
  read+compare  the warm floor: the file's bytes read into a reused buffer and
                compared with a kept copy
  tabulon Read  TXLSWorkbook::Read alone (a full read every time)
  inflate       zlib alone inflating every member of the .xlsx, held in
                memory, into a reused buffer (the cold floor)
  xls2csv       catdoc's xls2csv converting the .xls to CSV (whole process)
  xlrd          python3-xlrd open_workbook + every cell value
  openpyxl      python3-openpyxl load_workbook(read_only=True) + every cell value
The readers load the whole workbook and visit every cell. Peak memory: maximum
RSS of a tabulon-query process doing one request, minus that of the same
request on an empty workbook, per cell; "file B/cell" is the size of the
workbook file per cell, which the plug-in keeps between requests.
"""
import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
PY = "/usr/bin/python3"
BLOCK = "1!A1:T50"

PY_READER = r"""
import sys, time
kind, path, repeats = sys.argv[1], sys.argv[2], int(sys.argv[3])
times = []
for _ in range(repeats):
    t = time.perf_counter()
    n = 0
    if kind == "xlrd":
        import xlrd
        book = xlrd.open_workbook(path)
        for sheet in book.sheets():
            for r in range(sheet.nrows):
                for v in sheet.row_values(r):
                    n += 1
    else:
        import openpyxl
        book = openpyxl.load_workbook(path, read_only=True)
        for sheet in book.worksheets:
            for row in sheet.iter_rows(values_only=True):
                for v in row:
                    n += 1
        book.close()
    times.append(time.perf_counter() - t)
times.sort()
print(times[len(times) // 2], n)
"""


def median_of_runs(command, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def tabulon_times(build, data, repeats):
    """Median times per (case, file) from the Google Benchmark binary."""
    out = subprocess.run(
        [os.path.join(build, "bench", "tabulon_bench"), "--benchmark_format=json",
         "--benchmark_repetitions=%d" % repeats, "--benchmark_report_aggregates_only=true",
         "--benchmark_min_time=0.01"],
        check=True, capture_output=True, text=True, env=dict(os.environ, TABULON_BENCH_DATA=data)).stdout
    result = {}
    for bench in json.loads(out)["benchmarks"]:
        if bench.get("aggregate_name") != "median":
            continue
        kind, name = bench["run_name"].split("/", 1)
        unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]]
        result[(kind, name)] = bench["real_time"] * unit
    return result


def peak_rss_kb(build, workbook, workdir):
    """Maximum RSS of a tabulon-query process answering one block request."""
    shutil.copy(os.path.join(build, "src", "plugin", "Tabulon.qdx"), os.path.join(workdir, "Tabulon.qdx"))
    with open(os.path.join(workdir, "Tabulon.qdx.config"), "w") as f:
        f.write('<config><data file="%s"><read domains="bench" rooms="" nickNames=""/>'
                '<write domains="" rooms="" nickNames=""/></data></config>' % os.path.abspath(workbook))
    run = subprocess.run(["/usr/bin/time", "-f", "%M", os.path.join(build, "tools", "tabulon-query"),
                          "--plugin", os.path.join(workdir, "Tabulon.qdx"), "--domain", "bench",
                          "--range", BLOCK], capture_output=True, text=True)
    if run.returncode != 0:
        raise SystemExit("tabulon-query failed on %s: %s" % (workbook, run.stdout + run.stderr))
    return int(run.stderr.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build", "release"))
    parser.add_argument("--data", default=os.path.join(ROOT, "bench", "data"))
    parser.add_argument("--cells", default="10000,100000,1000000")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--plot", default=os.path.join(HERE, "perf.png"))
    parser.add_argument("--skip-slow", action="store_true", help="leave out the Python readers")
    args = parser.parse_args()
    counts = [int(c) for c in args.cells.split(",")]

    # Workbooks (deterministic; made once), and the empty ones for the memory baseline.
    missing = [c for c in counts + [0]
               if not all(os.path.exists(os.path.join(args.data, "bench-%d.%s" % (c, e))) for e in ("xls", "xlsx"))]
    if missing:
        subprocess.run([PY, os.path.join(HERE, "gen_workbooks.py"), args.data] + [str(c) for c in missing], check=True)

    tab = tabulon_times(args.build, args.data, args.repeats)
    rows = []  # (format, cells, reader, seconds, (peak, file bytes per cell) or None)
    workdir = tempfile.mkdtemp(prefix="tabulon-compare-")
    try:
        empty = {e: peak_rss_kb(args.build, os.path.join(args.data, "bench-0.%s" % e), workdir) for e in ("xls", "xlsx")}
        for cells in counts:
            for ext in ("xls", "xlsx"):
                path = os.path.join(args.data, "bench-%d.%s" % (cells, ext))
                name = os.path.basename(path)
                rss = peak_rss_kb(args.build, path, workdir)
                memory = ((rss - empty[ext]) * 1024.0 / cells, os.path.getsize(path) / cells)
                rows.append((ext, cells, "tabulon", tab[("Cold", name)], memory))
                rows.append((ext, cells, "tabulon warm", tab[("Warm", name)], None))
                rows.append((ext, cells, "read+compare", tab[("Floor", name)], None))
                rows.append((ext, cells, "tabulon Read", tab[("Read", name)], None))
                if ext == "xlsx":
                    rows.append((ext, cells, "inflate", tab[("Inflate", name)], None))
                else:
                    rows.append((ext, cells, "xls2csv",
                                 median_of_runs(["xls2csv", path], args.repeats), None))
                if not args.skip_slow:
                    slow_repeats = 1 if cells >= 1000000 else min(args.repeats, 3)
                    for reader in (("xlrd", "openpyxl") if ext == "xlsx" else ("xlrd",)):
                        out = subprocess.run([PY, "-c", PY_READER, reader, path, str(slow_repeats)],
                                             check=True, capture_output=True, text=True).stdout.split()
                        rows.append((ext, cells, reader, float(out[0]), None))
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    # Table: every reader against Tabulon's request time.
    print("| format | cells | reader | median s | x Tabulon | peak B/cell | file B/cell |")
    print("|---|---:|---|---:|---:|---:|---:|")
    for ext, cells, reader, seconds, memory in rows:
        base = next(s for e, c, r, s, _ in rows if e == ext and c == cells and r == "tabulon")
        print("| .%s | %d | %s | %.4f | %.2f | %s |" % (
            ext, cells, reader, seconds, seconds / base, "%.0f | %.0f" % memory if memory else " |"))

    # Targets of the 1M-cell files.
    def get(ext, cells, reader):
        return next((s for e, c, r, s, _ in rows if e == ext and c == cells and r == reader), None)
    big, mid = max(counts), (100000 if 100000 in counts else None)
    print()
    for ext in ("xls", "xlsx"):
        warm, floor = get(ext, big, "tabulon warm"), get(ext, big, "read+compare")
        print(".%s warm request at %d cells: %.4f s, %.2f x read+compare (target <= 2)" % (ext, big, warm, warm / floor))
    xls, xlsx, inflate = get("xls", big, "tabulon"), get("xlsx", big, "tabulon"), get("xlsx", big, "inflate")
    print(".xls cold request at %d cells: %.4f s (target <= 0.045 s)" % (big, xls))
    print(".xlsx cold request at %d cells: %.4f s (target <= 0.15 s), %.2f x inflate (target <= 2.5)" % (
        big, xlsx, xlsx / inflate))
    mem = {e: next(m for ee, c, r, s, m in rows if ee == e and c == big and r == "tabulon") for e in ("xls", "xlsx")}
    print("peak memory above empty: .xls %.0f B/cell (file %.0f), .xlsx %.0f B/cell (file %.0f) "
          "(target <= 100 + file)" % (mem["xls"] + mem["xlsx"]))
    if mid:
        for ext in ("xls", "xlsx"):
            print("%s: %d-cell cold time / %d-cell cold time = %.1f (linear: 10)" % (
                ext, big, mid, get(ext, big, "tabulon") / get(ext, mid, "tabulon")))

    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("\n(no plot: python3-matplotlib is not installed)")
        return
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    for ax, ext in zip(axes, ("xls", "xlsx")):
        for reader in sorted({r for e, c, r, s, p in rows if e == ext}):
            points = sorted((c, s) for e, c, r, s, p in rows if e == ext and r == reader)
            ax.plot([p[0] for p in points], [p[1] for p in points], marker="o", label=reader)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("cells")
        ax.set_ylabel("seconds (median)")
        ax.set_title(".%s: requests and whole-workbook reads" % ext)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(args.plot, dpi=90)
    print("\nplot: %s" % os.path.relpath(args.plot, ROOT))


if __name__ == "__main__":
    main()
