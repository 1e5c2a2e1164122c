#!/usr/bin/python3
"""Differential cross-check of Tabulon against independent readers.

Makes a matrix of workbooks with varied content through several third-party
writers, asks the built plug-in for every cell of every sheet and compares its
answer with what an independent reader sees in the same file: python3-xlrd for
.xls, python3-openpyxl (cached values, dates left as serial numbers) for .xlsx.
Values of the independent reader are turned into text by the plug-in's rule
(15 significant digits, "TRUE"/"FALSE", error texts, dates as serial numbers).

Run from the source tree after building the plug-in:

    cmake --preset dev && cmake --build --preset dev -j2 --target Tabulon
    tools/xcheck/xcheck.py generate /tmp/xcheck          # writes the workbooks
    tools/xcheck/xcheck.py compare /tmp/xcheck [--plugin build/dev/src/plugin/Tabulon.qdx]

`generate` needs python3-xlwt, python3-xlsxwriter, python3-openpyxl,
LibreOffice (soffice) and Gnumeric (ssconvert), optionally SheetJS (the npm
package xlsx, found by node through NODE_PATH); a missing converter only
leaves its files out. The BIFF5 files in code pages 1251 and 932 come from
ssconvert run in locales compiled by localedef (package locales' sources in
/usr/share/i18n); their sources hold texts only, since xlrd reads the byte
count of a BIFF5 STRING record as a character count. `compare` prints one line per differing cell and a
summary; its exit status is 1 when any cell differs or a file fails to read.
The workbooks are generated data: never commit them.

Templates (.xltx) are read under their own name, and a chart sheet stands
between two worksheets: chart sheets make no sheet, so the worksheets are
numbered as openpyxl's worksheets list them. Answers write characters XML
cannot carry as "_xHHHH_"; compare writes the reader's values the same way.

Differences that remain by design (the plug-in's behaviour is the intended one):
- Gnumeric's .xlsx writes texts with leading or trailing blanks (also rich-text
  runs such as "plain " + "bold") without xml:space="preserve"; the plug-in trims
  such texts, as Excel does, openpyxl keeps the blanks. compare counts them as
  "in blanks only".
- The reference side decodes "_xHHHH_" escapes of .xlsx texts itself (openpyxl
  only drops "x005F_"); writers that store a literal "_x0041_" unescaped
  (openpyxl, Gnumeric, SheetJS) read back as "A" in Excel and in the plug-in.
"""
import argparse
import ctypes
import datetime
import decimal
import os
import re
import shutil
import subprocess
import sys
import tempfile

LONG_ASCII = "".join(chr(0x41 + i % 26) for i in range(9000))
LONG_WIDE = "Длинный текст, " * 700 + "конец"          # > 8224 bytes as UTF-16
LONG_MIXED = ("abc\u20ac" * 2500) + "\U0001F600 end"   # 16-bit text across CONTINUE

NUMBERS = [
    0, 1, -1, 42, 100, 536870911, -536870912, 536870912, -536870913, 1.25, 12.34, -0.5,
    123456789012345678, 1234567890123456789, 1e-300, 1e300, -1e300, 0.1 + 0.2, 1 / 3, 2 / 3,
    -0.00001, 1e15, 999999999999999, 0.0001, 0.00012, 123456.789, 3.14159265358979,
    2 ** 53, 2 ** 53 + 1, 1e21, 12345678901234.5, 5e-324,
    1.7976931348623e308, 2.2250738585072014e-308, 0.5, 1e-5, 9.999999999999999e14, 99999999999999.99,
    0.000123456789012345678, 4.35, 1.005, 2.675, 1.15, 8.325, 1234.5678, -7.0e-10,
]

TEXTS = [
    "plain", "Zürich & <Co> \"q\" 'a'", "Привет, мир", "日本語のテキスト", "emoji \U0001F600 \U0001F4A9",
    "  leading and trailing  ", "line1\nline2", "tab\there", "€ ƒ „ … † ‡ ˆ ‰ Š",
    "Ελληνικά", "עברית", "中文字符", "x", " ", "ends with space ", "\u00a0nbsp",
    "cr\r\nlf", "ctl\x01\x1fend", "_x0041_ literal", "a_x000D_b", "\ufeffbom \ufffd",
]

DATES = [
    datetime.datetime(2024, 3, 1, 12, 0), datetime.datetime(1900, 3, 1), datetime.datetime(2000, 1, 1, 23, 59, 59),
    datetime.datetime(1999, 12, 31, 6, 30), datetime.datetime(2038, 1, 19, 3, 14, 7),
]

ERRORS = ["#DIV/0!", "#N/A", "#NAME?", "#NULL!", "#NUM!", "#REF!", "#VALUE!"]

def _random_numbers(n=3000):
    """Doubles of every magnitude, halfway digits and long decimals (fixed seed)."""
    import random
    rnd = random.Random(20240301)
    out = []
    for i in range(n):
        k = i % 6
        if k == 0:
            out.append(rnd.uniform(-1e6, 1e6))
        elif k == 1:
            out.append(10 ** rnd.uniform(-310, 307) * rnd.choice((1, -1)))
        elif k == 2:
            out.append(float(rnd.randrange(-2 ** 53, 2 ** 53)))
        elif k == 3:    # 16 significant digits ending in 5: the 15-digit rounding boundary
            out.append(float("%d.%014d5e%d" % (rnd.randrange(1, 10), rnd.randrange(10 ** 14), rnd.randrange(-20, 20))))
        elif k == 4:
            out.append(float("%.17g" % rnd.random()))
        else:
            out.append(rnd.randrange(1, 10 ** 6) / rnd.choice((3, 7, 100, 1000, 1024)))
    return out


RANDOM = _random_numbers()
MANY = 4000          # distinct strings of the large shared string table


# ---- Writers ----------------------------------------------------------------------

def bmp_only(text):
    """The text with characters beyond U+FFFF replaced by U+263A."""
    return "".join(ch if ord(ch) <= 0xFFFF else "\u263a" for ch in text)


def write_xlsxwriter(path, far_row=1048575, far_col=16383, constant_memory=False, astral=True):
    import xlsxwriter
    fix = (lambda t: t) if astral else bmp_only
    wb = xlsxwriter.Workbook(path, {"strings_to_numbers": False, "constant_memory": constant_memory})
    bold = wb.add_format({"bold": True})
    red = wb.add_format({"color": "red", "italic": True})
    datef = wb.add_format({"num_format": "yyyy-mm-dd hh:mm:ss"})
    ws = wb.add_worksheet("Numbers")
    for i, n in enumerate(NUMBERS):
        ws.write_number(i, 0, n)
        ws.write_number(i, 1, -n)
    ws = wb.add_worksheet("Text")
    for i, t in enumerate(TEXTS):
        ws.write_string(i, 0, fix(t))
    ws.write_string(0, 2, LONG_ASCII)
    ws.write_string(1, 2, LONG_WIDE)
    ws.write_string(2, 2, fix(LONG_MIXED))
    ws.write_rich_string(3, 2, "plain ", bold, "bold", " and ", red, "red italic")
    ws.write_rich_string(4, 2, "Кир ", bold, "жирный", fix(" \U0001F600"))
    ws = wb.add_worksheet("Misc")
    ws.write_boolean(0, 0, True)
    ws.write_boolean(0, 1, False)
    for i, d in enumerate(DATES):
        ws.write_datetime(1 + i, 0, d, datef)
    for i, e in enumerate(ERRORS):
        ws.write_formula(1 + i, 2, "=" + {"#DIV/0!": "1/0", "#N/A": "NA()", "#NAME?": "nosuchname()",
                                         "#NULL!": "A1 B1", "#NUM!": "SQRT(-1)", "#REF!": "#REF!",
                                         "#VALUE!": "\"a\"+1"}[e], None, e)
    ws.write_number(10, 0, 2.5)
    ws.write_formula(10, 1, "=A11*2", None, 5)
    ws.write_formula(10, 2, '="ab"&"c"', None, "abc")
    ws.write_formula(10, 3, "=A11>1", None, True)
    ws.write_formula(10, 4, '=""', None, "")
    ws.write_formula(10, 5, "=A11/3", None, 2.5 / 3)
    for r in range(12, 40):                  # fill-down block (shared formulas once converted)
        ws.write_number(r, 0, r * 1.5)
        ws.write_formula(r, 1, "=A%d*2+1" % (r + 1), None, r * 3.0 + 1)
        ws.write_formula(r, 2, "=B%d&\"x\"" % (r + 1), None, "%gx" % (r * 3.0 + 1))
    ws.write_array_formula(12, 4, 14, 4, "{=A13:A15*10}", None, 180)
    ws.merge_range(41, 0, 42, 3, "merged text", bold)
    ws.write_number(50, 30, 7.25)            # after empty rows and columns
    ws.write_blank(51, 0, None, bold)
    ws = wb.add_worksheet("Empty")
    ws = wb.add_worksheet("Many")
    for i in range(MANY):
        ws.write_string(i % 1000, i // 1000, "item %05d %s" % (i, "ж" * (i % 7)))
    ws = wb.add_worksheet("Random")
    for i, n in enumerate(RANDOM):
        ws.write_number(i % 1000, i // 1000, n)
    ws = wb.add_worksheet("Far")
    ws.write_string(0, 0, "near")
    ws.write_number(far_row, 0, 1.5)
    ws.write_string(0, far_col, "far column")
    ws.write_number(far_row, far_col, 99)
    ws.write_number(65535, 255, 12)
    wb.close()


def write_chartsheet(path):
    """Worksheets with a chart sheet between them (python3-xlsxwriter)."""
    import xlsxwriter
    wb = xlsxwriter.Workbook(path)
    first = wb.add_worksheet("First")
    for i in range(6):
        first.write_string(i, 0, "month %d" % (i + 1))
        first.write_number(i, 1, (i + 1) * 12.5)
    chart = wb.add_chart({"type": "column"})
    chart.add_series({"categories": "=First!$A$1:$A$6", "values": "=First!$B$1:$B$6"})
    wb.add_chartsheet("Chart").set_chart(chart)
    last = wb.add_worksheet("Last")
    last.write_string(0, 0, "after the chart sheet")
    last.write_number(2, 3, 42)
    wb.close()


def write_openpyxl(path):
    import openpyxl
    wb = openpyxl.Workbook()
    ws = wb.active
    ws.title = "Numbers"
    for i, n in enumerate(NUMBERS):
        ws.cell(i + 1, 1, n)
        ws.cell(i + 1, 2, -n)
    ws = wb.create_sheet("Text")
    for i, t in enumerate(TEXTS):
        if not re.search("[\x00-\x08\x0b\x0c\x0e-\x1f]", t):    # openpyxl refuses control characters
            ws.cell(i + 1, 1, t)
    ws.cell(1, 3, LONG_ASCII)
    ws.cell(2, 3, LONG_WIDE)
    ws.cell(3, 3, LONG_MIXED)
    ws = wb.create_sheet("Misc")
    ws.cell(1, 1, True)
    ws.cell(1, 2, False)
    for i, d in enumerate(DATES):
        ws.cell(2 + i, 1, d)
    ws.cell(2, 2, datetime.date(2024, 3, 1))
    ws.cell(3, 2, datetime.time(18, 30, 15))
    for i, e in enumerate(ERRORS):
        c = ws.cell(2 + i, 3, e)
        c.data_type = "e"
    ws.cell(11, 1, 2.5)
    ws.cell(11, 2, "=A11*2")
    ws.merge_cells("A42:D43")
    ws["A42"] = "merged text"
    ws.cell(51, 31, 7.25)
    wb.create_sheet("Empty")
    ws = wb.create_sheet("Many")
    for i in range(MANY):
        ws.cell(i % 1000 + 1, i // 1000 + 1, "item %05d %s" % (i, "ж" * (i % 7)))
    ws = wb.create_sheet("Random")
    for i, n in enumerate(RANDOM):
        ws.cell(i % 1000 + 1, i // 1000 + 1, n)
    ws = wb.create_sheet("Far")
    ws.cell(1, 1, "near")
    ws.cell(1048576, 1, 1.5)
    ws.cell(1, 16384, "far column")
    ws.cell(1048576, 16384, 99)
    wb.save(path)


def write_xlwt(path, astral=True):
    import xlwt
    fix = (lambda t: t) if astral else bmp_only
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Numbers")
    for i, n in enumerate(NUMBERS):
        ws.write(i, 0, n)
        ws.write(i, 1, -n)
    ws = wb.add_sheet("Text")
    for i, t in enumerate(TEXTS):
        ws.write(i, 0, fix(t))
    ws.write(0, 2, LONG_ASCII)
    ws.write(1, 2, LONG_WIDE)
    ws.write(2, 2, fix(LONG_MIXED))
    bold = xlwt.easyxf("font: bold on")
    ws.write_rich_text(3, 2, ["plain ", ("bold", bold.font), " and end"])
    ws = wb.add_sheet("Misc")
    ws.write(0, 0, True)
    ws.write(0, 1, False)
    datef = xlwt.easyxf(num_format_str="yyyy-mm-dd hh:mm:ss")
    for i, d in enumerate(DATES):
        ws.write(1 + i, 0, d, datef)
    for i, e in enumerate(ERRORS):
        ws.row(1 + i).set_cell_error(2, {v: k for k, v in ERROR_TEXTS.items()}[e])
    ws.write(10, 0, 2.5)
    ws.write(10, 1, xlwt.Formula("A11*2"))
    for r in range(12, 40):
        ws.write(r, 0, r * 1.5)
        ws.write(r, 1, xlwt.Formula("A%d*2+1" % (r + 1)))
    ws.write_merge(41, 42, 0, 3, "merged text", bold)
    ws.write(50, 30, 7.25)
    ws.write(51, 0, None, bold)
    ws = wb.add_sheet("Empty")
    ws = wb.add_sheet("Many")
    for i in range(MANY):
        ws.write(i % 1000, i // 1000, "item %05d %s" % (i, "ж" * (i % 7)))
    ws = wb.add_sheet("Random")
    for i, n in enumerate(RANDOM):
        ws.write(i % 1000, i // 1000, n)
    ws = wb.add_sheet("Far")
    ws.write(0, 0, "near")
    ws.write(65535, 0, 1.5)
    ws.write(0, 255, "far column")
    ws.write(65535, 255, 99)
    wb.save(path)


def share_formulas(src, out):
    """A copy of src whose fill-down formulas B13:B40 and C13:C40 of the third
    sheet are shared formulas, as Excel writes them (no writer here does)."""
    import zipfile
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zout:
        for item in zin.infolist():
            data = zin.read(item.filename)
            if item.filename == "xl/worksheets/sheet3.xml":
                text = data.decode("utf-8")
                for si, col in enumerate("BC"):
                    def repl(m, si=si, col=col):
                        row = int(m.group(1))
                        if row == 13:
                            return '<c r="%s13"%s><f t="shared" ref="%s13:%s40" si="%d">' % (col, m.group(2), col, col, si)
                        return '<c r="%s%d"%s><f t="shared" si="%d"/><f-drop>' % (col, row, m.group(2), si)
                    text = re.sub(r'<c r="%s(\d+)"([^>]*)><f>' % col, lambda m: repl(m) if 13 <= int(m.group(1)) <= 40
                                  else m.group(0), text)
                text = re.sub(r"<f-drop>.*?</f>", "", text)
                data = text.encode("utf-8")
            zout.writestr(item, data)


def write_charts(path):
    """A worksheet with a line chart (markers) and an XY chart embedded in it,
    cells before and after them, and two more sheets."""
    import xlsxwriter
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Charts")
    ws.write_row(0, 0, ["Day", "Low", "High"])
    for i in range(12):
        ws.write_row(i + 1, 0, [i + 1, 3.5 + i * 1.25, 10 - i * 0.75])
    ws.write_formula(13, 0, "=SUM(B2:B13)")
    ws.write_formula(13, 1, "=B2>C2")
    ws.write_formula(13, 2, '=A1&" and "&B1')
    for kind, anchor in (({"type": "line"}, "E2"), ({"type": "scatter", "subtype": "straight_with_markers"}, "E20")):
        chart = wb.add_chart(kind)
        for col in "BC":
            chart.add_series({"categories": "=Charts!$A$2:$A$13", "values": "=Charts!$%s$2:$%s$13" % (col, col),
                              "marker": {"type": "diamond"}})
        ws.insert_chart(anchor, chart)
    ws.write(40, 0, "after the charts")
    ws.write(40, 1, 40.5)
    for name in ("Middle", "Last"):
        ws = wb.add_worksheet(name)
        ws.write(1, 1, name + " sheet")
        ws.write(2, 2, -1.5)
    wb.close()


# Texts of one code page each, for the BIFF5 files Gnumeric writes in it.
CODE_PAGE_TEXTS = {
    "ru_RU.CP1251": ["Привет, мир", "Ёж ёлка", "ЪЫЬЭЮЯ абв", "№ 5 — «цитата»", "Ладовность" * 30],
    "ja_JP.SJIS": ["漢字データ", "ｶﾀｶﾅ半角", "テスト表", "ひらがな・カタカナ", "表" * 200, "ｱ表ｲ"],
}


def write_code_page_source(path, locale_name):
    import xlsxwriter
    wb = xlsxwriter.Workbook(path)
    ws = wb.add_worksheet("Texts")
    for i, t in enumerate(CODE_PAGE_TEXTS[locale_name]):
        ws.write_string(i, 0, t)
        ws.write_number(i, 1, i + 0.25)
    ws = wb.add_worksheet(CODE_PAGE_TEXTS[locale_name][0][:4])
    ws.write_string(1, 1, CODE_PAGE_TEXTS[locale_name][1])
    wb.close()


def convert_in_code_page(src, out_dir, name, locale_name):
    """Gnumeric's BIFF5 (excel_biff7) export in a locale whose character set is
    a Windows code page: its CODEPAGE record names that page and the texts are
    stored in it. The locale is compiled into a scratch directory (localedef)."""
    if not (shutil.which("ssconvert") and shutil.which("localedef")):
        return
    language, charset = locale_name.split(".")
    charmap = {"CP1251": "CP1251", "SJIS": "SHIFT_JIS"}[charset]
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(["localedef", "-i", language, "-f", charmap, os.path.join(tmp, locale_name)],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        env = dict(os.environ, LOCPATH=tmp, LANG=locale_name, LC_ALL=locale_name)
        out = os.path.join(out_dir, name)
        subprocess.run(["ssconvert", "--export-type=Gnumeric_Excel:excel_biff7", src, out], env=env,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    print(("made " if os.path.exists(out) else "FAILED ") + out)


def write_big_sst(path):
    """70000 distinct strings: shared string indexes above 65535, many CONTINUE records."""
    texts = ["s%05d %s" % (i, "дж"[i % 2] * (i % 5)) for i in range(70000)]
    if path.endswith(".xls"):
        import xlwt
        wb = xlwt.Workbook(encoding="utf-8")
        ws = wb.add_sheet("Big")
        for i, t in enumerate(texts):
            ws.write(i % 1000, i // 1000, t)
    else:
        import xlsxwriter
        wb = xlsxwriter.Workbook(path)
        ws = wb.add_worksheet("Big")
        for i, t in enumerate(texts):
            ws.write_string(i % 1000, i // 1000, t)
    if path.endswith(".xls"):
        wb.save(path)
    else:
        wb.close()


def convert(tool, src, out_dir, name, target, quiet=False):
    """Converts src into out_dir/name with LibreOffice or Gnumeric."""
    out = os.path.join(out_dir, name)
    with tempfile.TemporaryDirectory() as tmp:
        if tool == "soffice":
            if not shutil.which("soffice"):
                return
            ext = os.path.splitext(name)[1][1:]
            cmd = ["soffice", "-env:UserInstallation=file://" + tmp + "/profile", "--headless",
                   "--convert-to", ext + (":" + target if target else ""), "--outdir", tmp, src]
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
            made = os.path.join(tmp, os.path.splitext(os.path.basename(src))[0] + "." + ext)
            if os.path.exists(made):
                shutil.move(made, out)
        elif tool == "sheetjs":
            # SheetJS (npm package xlsx), when node finds it (NODE_PATH).
            script = ("const X=require('xlsx');const wb=X.readFile(process.argv[1],{cellNF:true});"
                      "X.writeFile(wb,process.argv[2],{bookType:process.argv[3]});")
            if not shutil.which("node"):
                return
            subprocess.run(["node", "-e", script, src, out, target],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        else:
            if not shutil.which("ssconvert"):
                return
            subprocess.run(["ssconvert", "--export-type=" + target, src, out],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
    if not os.path.exists(out) or not quiet:
        print(("made " if os.path.exists(out) else "FAILED ") + out)


def generate(out_dir):
    os.makedirs(out_dir, exist_ok=True)
    base = os.path.join(out_dir, "xlsxwriter.xlsx")
    write_xlsxwriter(base)
    write_xlsxwriter(os.path.join(out_dir, "xlsxwriter-inline.xlsx"), constant_memory=True)
    share_formulas(base, os.path.join(out_dir, "xlsxwriter-shared.xlsx"))
    write_big_sst(os.path.join(out_dir, "bigsst-xlwt.xls"))
    write_big_sst(os.path.join(out_dir, "bigsst-xlsxwriter.xlsx"))
    convert("soffice", os.path.join(out_dir, "bigsst-xlsxwriter.xlsx"), out_dir, "bigsst-lo.xls", "MS Excel 97")
    write_openpyxl(os.path.join(out_dir, "openpyxl.xlsx"))
    write_xlwt(os.path.join(out_dir, "xlwt.xls"))
    convert("soffice", base, out_dir, "lo-from-xlsxwriter.xlsx", "")
    convert("ssconvert", base, out_dir, "gnumeric-from-xlsxwriter.xlsx", "Gnumeric_Excel:xlsx2")
    # Legacy targets cannot hold the far cells: a source within their limits.
    # Gnumeric counts the characters of a shared string in code points, not
    # UTF-16 units, so a surrogate pair puts its .xls out of step: BMP text only.
    with tempfile.TemporaryDirectory() as tmp:
        small = os.path.join(tmp, "small.xlsx")
        write_xlsxwriter(small, far_row=65535, far_col=255, astral=False)
        convert("soffice", small, out_dir, "lo-biff8.xls", "MS Excel 97")
        convert("ssconvert", small, out_dir, "gnumeric-biff8.xls", "Gnumeric_Excel:excel_biff8")
        convert("ssconvert", small, out_dir, "gnumeric-biff7.xls", "Gnumeric_Excel:excel_biff7")
        for book_type, name in (("biff8", "sheetjs-biff8.xls"), ("biff5", "sheetjs-biff5.xls"),
                                ("biff2", "sheetjs-biff2.xls"), ("xlsx", "sheetjs.xlsx")):
            convert("sheetjs", small, out_dir, name, book_type)
        small_xlwt = os.path.join(tmp, "small.xls")
        write_xlwt(small_xlwt, astral=False)
        convert("ssconvert", small_xlwt, out_dir, "gnumeric-from-xlwt.xls", "Gnumeric_Excel:excel_biff8")
    xlwt_file = os.path.join(out_dir, "xlwt.xls")
    convert("soffice", xlwt_file, out_dir, "lo-from-xlwt.xlsx", "")
    convert("ssconvert", xlwt_file, out_dir, "gnumeric-from-xlwt.xlsx", "Gnumeric_Excel:xlsx2")
    convert("soffice", os.path.join(out_dir, "openpyxl.xlsx"), out_dir, "lo-from-openpyxl.xls", "MS Excel 97")
    with tempfile.TemporaryDirectory() as tmp:
        charts = os.path.join(tmp, "charts.xlsx")
        write_charts(charts)
        convert("soffice", charts, out_dir, "lo-charts.xls", "MS Excel 97")
        for locale_name, name in (("ru_RU.CP1251", "gnumeric-biff7-cp1251.xls"),
                                  ("ja_JP.SJIS", "gnumeric-biff7-cp932.xls")):
            source = os.path.join(tmp, name + ".xlsx")
            write_code_page_source(source, locale_name)
            convert_in_code_page(source, out_dir, name, locale_name)
    # Templates, and a chart sheet between two worksheets.
    convert("soffice", base, out_dir, "lo-template.xltx", "Calc MS Excel 2007 XML Template")
    convert("soffice", os.path.join(out_dir, "openpyxl.xlsx"), out_dir, "lo-template-from-openpyxl.xltx",
            "Calc MS Excel 2007 XML Template")
    write_chartsheet(os.path.join(out_dir, "xlsxwriter-chartsheet.xlsx"))
    convert("soffice", os.path.join(out_dir, "xlsxwriter-chartsheet.xlsx"), out_dir, "lo-chartsheet.xlsx", "")


# ---- The plug-in's text of a value ------------------------------------------------

ERROR_TEXTS = {0x00: "#NULL!", 0x07: "#DIV/0!", 0x0F: "#VALUE!", 0x17: "#REF!", 0x1D: "#NAME?",
               0x24: "#NUM!", 0x2A: "#N/A"}


def number_text(x):
    """15 significant digits, fixed notation from 1E-4 to below 1E15."""
    x = float(x)
    if x != x:
        return "NAN"
    if x in (float("inf"), float("-inf")):
        return "INF" if x > 0 else "-INF"
    if x == 0:
        return "0"
    d = decimal.Decimal(abs(x))
    # 18 digits rounded to nearest, then 15 with halves up, as the plug-in does.
    ctx = decimal.Context(prec=18, rounding=decimal.ROUND_HALF_EVEN)
    d18 = ctx.plus(d)
    d15 = decimal.Context(prec=15, rounding=decimal.ROUND_HALF_UP).plus(d18)
    sign, digits, exp = d15.as_tuple()
    digits = "".join(map(str, digits)).rstrip("0") or "0"
    e = len(d15.as_tuple().digits) + exp     # value = 0.d1d2... * 10^e
    out = "-" if x < 0 else ""
    if -3 <= e <= 15:
        if e <= 0:
            return out + "0." + "0" * (-e) + digits
        head = digits[:e].ljust(e, "0")
        rest = digits[e:]
        return out + head + ("." + rest if rest else "")
    return out + digits[0] + ("." + digits[1:] if len(digits) > 1 else "") + "E" + str(e - 1)


# ---- Independent readers ----------------------------------------------------------

def xlrd_cells(path):
    import xlrd
    book = xlrd.open_workbook(path)
    sheets = []
    for sh in book.sheets():
        cells = {}
        for r in range(sh.nrows):
            for c in range(sh.ncols):
                cell = sh.cell(r, c)
                t = cell.ctype
                if t in (xlrd.XL_CELL_EMPTY, xlrd.XL_CELL_BLANK):
                    continue
                if t in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_DATE):
                    cells[(r, c)] = number_text(cell.value)
                elif t == xlrd.XL_CELL_BOOLEAN:
                    cells[(r, c)] = "TRUE" if cell.value else "FALSE"
                elif t == xlrd.XL_CELL_ERROR:
                    cells[(r, c)] = ERROR_TEXTS.get(cell.value, "[int] No error value")
                else:
                    cells[(r, c)] = cell.value
        sheets.append((sh.name, cells))
    return sheets


def xls_cells(path):
    """xlrd, or when xlrd cannot read the file, LibreOffice's copy as .xlsx read by openpyxl."""
    try:
        return xlrd_cells(path)
    except Exception as e:              # noqa: BLE001
        print("  (xlrd failed: %s; reading LibreOffice's .xlsx copy instead)" % e)
    with tempfile.TemporaryDirectory() as tmp:
        convert("soffice", path, tmp, "copy.xlsx", "", quiet=True)
        return openpyxl_cells(os.path.join(tmp, "copy.xlsx"))


def unescape_xstring(text):
    """ECMA-376 escapes of characters XML cannot hold: "_xHHHH_", "_x005F_" for "_"."""
    return re.sub("_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), text)


def openpyxl_cells(path):
    import openpyxl
    from openpyxl.reader import excel, strings
    from openpyxl.worksheet import _reader
    # Dates stay serial numbers, as the file holds them; shared strings stay
    # as stored (openpyxl only drops "x005F_"), the escapes are decoded below.
    orig = _reader.WorkSheetParser.__init__
    orig_sst = excel.read_string_table

    def init(self, src, shared_strings, data_only=False, epoch=None, *a, **k):
        orig(self, src, shared_strings, data_only, epoch, set(), set())

    def read_sst(xml_source):
        out = []
        for _, node in strings.iterparse(xml_source):
            if node.tag == "{%s}si" % strings.SHEET_MAIN_NS:
                out.append(strings.Text.from_tree(node).content)
                node.clear()
        return out
    _reader.WorkSheetParser.__init__ = init
    excel.read_string_table = read_sst
    try:
        book = openpyxl.load_workbook(path, data_only=True)
    finally:
        _reader.WorkSheetParser.__init__ = orig
        excel.read_string_table = orig_sst
    sheets = []
    for ws in book.worksheets:
        cells = {}
        for cell in ws._cells.values():     # only the cells present (no fill-in of the used area)
            v = cell.value
            if v is None:
                continue
            if cell.data_type == "e":
                v = str(v)
            elif isinstance(v, bool):
                v = "TRUE" if v else "FALSE"
            elif isinstance(v, (int, float)):
                v = number_text(v)
            else:
                v = unescape_xstring(str(v))
            cells[(cell.row - 1, cell.column - 1)] = v
        sheets.append((ws.title, cells))
    return sheets


# ---- The plug-in ------------------------------------------------------------------

def col_name(c):
    s = ""
    c += 1
    while c:
        c, m = divmod(c - 1, 26)
        s = chr(65 + m) + s
    return s


class Plugin:
    """One loaded copy of the library, configured for one workbook file name."""

    def __init__(self, library, workdir, ext):
        self.dir = os.path.join(workdir, "plugin-" + ext)
        os.makedirs(self.dir, exist_ok=True)
        lib = os.path.join(self.dir, "Tabulon.qdx")
        shutil.copy(library, lib)
        self.workbook = os.path.join(self.dir, "workbook." + ext)
        with open(os.path.join(self.dir, "Tabulon.qdx.config"), "w") as f:
            f.write('<config><data file="workbook.%s"><read domains="" rooms="" nickNames=""/>'
                    '<write domains="" rooms="" nickNames=""/></data></config>' % ext)
        self.lib = ctypes.CDLL(lib)
        self.lib.iniSocketXtra.restype = ctypes.c_char_p
        self.lib.iniSocketXtra(1)
        for fn in (self.lib.getCellValueRef, self.lib.getMultiCellValueRef):
            fn.restype = ctypes.c_void_p
            fn.argtypes = [ctypes.c_int32, ctypes.c_int32] + [ctypes.c_char_p] * 4
        self.libc = ctypes.CDLL(None)
        self.libc.free.argtypes = [ctypes.c_void_p]

    def _ask(self, fn, request):
        p = fn(0, 0, b"", b"", b"", request.encode("ascii"))
        if not p:
            raise RuntimeError("no answer")
        raw = ctypes.string_at(p)
        self.libc.free(p)
        return raw

    @staticmethod
    def _pieces(raw):
        if raw.startswith(b'<result state="error">'):
            msg = raw[len(b'<result state="error"><error>'):-len(b"</error></result>")]
            raise RuntimeError(msg.decode("cp1252", "replace"))
        out = {}
        for m in re.finditer(rb'<xls sheet="\d+" cell="([A-Z]+)(\d+)"><!\[CDATA\[(.*?)\]\]></xls>', raw, re.S):
            text = m.group(3).decode("utf-8")
            col = 0
            for ch in m.group(1).decode():
                col = col * 26 + ord(ch) - 64
            out[(int(m.group(2)) - 1, col - 1)] = text
        return out

    def block(self, sheet, r0, c0, r1, c1):
        req = '<range><r sheet="%d" cellMin="%s%d" cellMax="%s%d"/></range>' % (
            sheet, col_name(c0), r0 + 1, col_name(c1), r1 + 1)
        return self._pieces(self._ask(self.lib.getMultiCellValueRef, req))

    def cells(self, sheet, refs):
        req = "<cells>" + "".join('<c sheet="%d" cell="%s%d"/>' % (sheet, col_name(c), r + 1)
                                  for r, c in refs) + "</cells>"
        return self._pieces(self._ask(self.lib.getCellValueRef, req))


def answer_text(text):
    """A value as the plug-in's answer carries it: characters XML cannot carry
    (C0 controls but tab, line feed and CR; U+FFFE, U+FFFF; unpaired
    surrogates) as "_xHHHH_"."""
    units = text.encode("utf-16-le", "surrogatepass")
    out = []
    i = 0
    while i < len(units):
        u = units[i] | units[i + 1] << 8
        if 0xD800 <= u <= 0xDBFF and i + 3 < len(units) and 0xDC00 <= (units[i + 2] | units[i + 3] << 8) <= 0xDFFF:
            out.append(units[i:i + 4].decode("utf-16-le"))
            i += 4
            continue
        if (u < 0x20 and u not in (0x09, 0x0A, 0x0D)) or u in (0xFFFE, 0xFFFF) or 0xD800 <= u <= 0xDFFF:
            out.append("_x%04X_" % u)
        else:
            out.append(chr(u))
        i += 2
    return "".join(out)


def compare_file(plugin, path, reader):
    shutil.copy(path, plugin.workbook)
    expected = reader(path)
    diffs = []
    compared = 0
    for index, (name, cells) in enumerate(expected, start=1):
        got = {}
        if cells:
            r1 = max(r for r, _ in cells)
            c1 = max(c for _, c in cells)
            dense = {k: v for k, v in cells.items() if k[0] <= 1100 and k[1] <= 80}
            got.update(plugin.block(index, 0, 0, min(r1, 1100) + 1, min(c1, 80) + 1))
            sparse = [k for k in cells if k not in dense]
            if sparse:
                got.update(plugin.cells(index, sparse))
        else:
            got.update(plugin.block(index, 0, 0, 3, 3))
        for key in sorted(set(cells) | set(k for k, v in got.items() if v != "")):
            want = answer_text(cells.get(key, ""))
            have = got.get(key, "")
            compared += 1
            if want != have:
                diffs.append((index, name, key, want, have))
    return compared, diffs


def short(text):
    r = repr(text)
    return r if len(r) <= 70 else r[:40] + "...(%d chars)..." % len(text) + r[-20:]


def compare(work_dir, library):
    files = sorted(f for f in os.listdir(work_dir) if f.endswith((".xls", ".xlsx", ".xltx")))
    scratch = tempfile.mkdtemp(prefix="xcheck-")
    plugins = {ext: Plugin(library, scratch, ext) for ext in ("xls", "xlsx", "xltx")}
    total_cells = total_diffs = failures = 0
    for f in files:
        path = os.path.join(work_dir, f)
        ext = os.path.splitext(f)[1][1:]
        reader = xls_cells if ext == "xls" else openpyxl_cells
        try:
            n, diffs = compare_file(plugins[ext], path, reader)
        except Exception as e:          # noqa: BLE001 - any failure is one line of the report
            print("%s: FAILED %s" % (f, e))
            failures += 1
            continue
        total_cells += n
        total_diffs += len(diffs)
        blanks = sum(1 for d in diffs if re.sub(r"\s", "", d[3]) == re.sub(r"\s", "", d[4]))
        print("%s: %d cells, %d differences (%d in blanks only)" % (f, n, len(diffs), blanks))
        for sheet, name, (r, c), want, have in diffs[:40]:
            print("  %d:%s!%s%d  reader %s  tabulon %s" % (sheet, name, col_name(c), r + 1, short(want), short(have)))
        if len(diffs) > 40:
            print("  ... %d more" % (len(diffs) - 40))
    shutil.rmtree(scratch, ignore_errors=True)
    print("%d files, %d cells compared, %d differences, %d files failed" % (len(files), total_cells, total_diffs, failures))
    return 1 if total_diffs or failures else 0


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)
    g = sub.add_parser("generate")
    g.add_argument("dir")
    c = sub.add_parser("compare")
    c.add_argument("dir")
    c.add_argument("--plugin", default=os.path.join(here, "..", "..", "build", "dev", "src", "plugin", "Tabulon.qdx"))
    args = ap.parse_args()
    if args.cmd == "generate":
        generate(args.dir)
        return 0
    return compare(args.dir, os.path.abspath(args.plugin))


if __name__ == "__main__":
    sys.exit(main())
