#!/usr/bin/python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/seeds/ and
the dictionaries into fuzz/dict/. Run once after changing it; the output is
committed. Workbook fixtures are added to the corpora by run.sh at run time."""
import io, os, re, struct, zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def put(target, name, data):
    d = os.path.join(HERE, "seeds", target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---- XML texts: requests and configuration files ----------------------------
texts = {
    "cells": '<cells><c sheet="1" cell="B3"/><c sheet="2" cell="$A$10"/></cells>',
    "range": '<range><r sheet="1" cellMin="A1" cellMax="C4"/></range>',
    "config": '<?xml version="1.0" encoding="windows-1251"?>\r\n<config>\n  <data file="prices.xls" password="">\n'
              '    <read domains="main" rooms="lobby#sales" nickNames=""/>\n'
              '    <write domains="" rooms="" nickNames=""/>\n  </data>\n</config>\n',
    "refs": "<r a='x&lt;y&#65;&#x42;&amp;&quot;&apos;&gt;'>t&#1040;<![CDATA[<&]]><!-- c --><?pi data?></r>",
    "doctype": '<!DOCTYPE r>\n<r>x<item/>tail</r><second/>',
}
for name, text in texts.items():
    put("xmldoc_text", name, text)
put("request", "cells", "\x00" + texts["cells"])
put("request", "cells-mixed", '\x00<c><c sheet="1" cell="b2"/><!-- x --><c sheet="01" cell="XFD1048576"/>'
    '<c sheet=" 2 " cell="A10"/><c sheet="true" cell="$C$2"/></c>')
put("request", "range", "\x01" + texts["range"])
put("request", "range-reversed", '\x01<range><r sheet="1" cellMin="C3" cellMax="B2"/><r/></range>')


# ---- The binary document form (after its signature) -------------------------
class Bin:
    def __init__(self, flags=0):
        self.wide = flags & 1
        self.out = bytearray(struct.pack("<I", flags))

    def byte(self, b):
        self.out.append(b)
        return self

    def u32(self, v):
        self.out += struct.pack("<I", v)
        return self

    def compact(self, v):
        if v < 128:
            return self.byte(v)
        if v <= 0x7EFF:
            return self.byte(0x80 | (v >> 8)).byte(v & 0xFF)
        return self.byte(255).u32(v)

    def text(self, s):
        self.compact(len(s))
        self.out += s.encode("utf-16-le" if self.wide else "latin-1")
        return self

    def names(self, names):
        self.compact(len(names))
        for n in names:
            self.text(n)
        self.compact(4096).compact(1).compact(7).compact(len(names))
        for i in range(len(names)):
            self.u32(i)
        return self


NAMES = ["#text", "#cdata-section", "#comment", "#document", "xml", "cells", "c", "sheet", "cell", "version"]
for flags in (0, 1):
    b = Bin(flags).names(NAMES)
    b.compact(0).compact(2)                                                     # document: no attributes, 2 children
    b.byte(7).compact(4).text("").compact(1).compact(9).byte(1).text("1.0").compact(0)  # <?xml version?>
    b.byte(1).compact(5).byte(0).compact(0).compact(4)                          # <cells>
    b.byte(1).compact(6).byte(0).compact(2).compact(7).byte(2).u32(1).compact(8).byte(1).text("B3").compact(0)
    b.byte(3).byte(3).out += struct.pack("<d", 2.5)
    b.byte(4).text("<cdata>").byte(8).text("comment")
    put("xmldoc_binary", "doc%d" % flags, bytes(b.out))


# ---- ZIP packages and their parts ------------------------------------------
PARTS = {
    "[Content_Types].xml": '<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"><Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/><Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/></Types>',
    "_rels/.rels": '<?xml version="1.0" encoding="UTF-8"?>\n<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>',
    "xl/workbook.xml": '<?xml version="1.0"?>\n<workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"><sheets><sheet name="Prices" sheetId="1" r:id="rId1"/><sheet name="Notes" sheetId="2" state="hidden" r:id="rId2"/></sheets><definedNames><definedName name="x" localSheetId="0">Prices!$A$1</definedName></definedNames></workbook>',
    "xl/_rels/workbook.xml.rels": '<?xml version="1.0"?>\n<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/><Relationship Id="rId2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/xl/worksheets/sheet2.xml"/><Relationship Id="rId3" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/><Relationship Id="rId4" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles" Target="styles.xml"/></Relationships>',
    "xl/worksheets/sheet1.xml": '<?xml version="1.0"?>\n<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><dimension ref="A1:C4"/><sheetData><row r="1" spans="1:3"><c r="A1" t="s"><v>0</v></c><c r="B1" t="inlineStr"><is><t xml:space="preserve"> Price </t></is></c><c r="C1" t="str"><f>"Q"</f><v>Qty</v></c></row><row r="2"><c r="A2" s="1" t="b"><v>1</v></c><c r="B2"><v>1.25</v></c><c r="C2" t="e"><v>#DIV/0!</v></c></row><row r="4"><c r="B4"><f t="shared" ref="B4:C4" si="0">B2*C2</f><v>10</v></c><c r="C4"><f t="shared" si="0"/><v>5</v></c><c r="D4"><f t="array" ref="D4:D5">A1:A2</f><v>2</v></c></row></sheetData><mergeCells count="1"><mergeCell ref="A1:B1"/></mergeCells></worksheet>',
    "xl/worksheets/sheet2.xml": '<x:worksheet xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><x:sheetData><x:row><x:c t="s"><x:v>1</x:v></x:c><x:c><x:v>42</x:v></x:c></x:row></x:sheetData></x:worksheet>',
    "xl/sharedStrings.xml": '<?xml version="1.0"?>\n<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" count="2" uniqueCount="2"><si><t>Item &amp; &lt;x&gt; &#228;</t></si><si><r><rPr><b/><sz val="11"/><rFont val="Arial"/></rPr><t>Z\xc3\xbc</t></r><r><t xml:space="preserve">rich </t></r><rPh sb="0" eb="1"><t>ph</t></rPh></si></sst>',
    "xl/styles.xml": '<?xml version="1.0"?>\n<styleSheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><numFmts count="1"><numFmt numFmtId="164" formatCode="0.00%"/></numFmts><fonts count="1"><font><sz val="11"/><color theme="1"/><name val="Calibri"/><family val="2"/><scheme val="minor"/></font></fonts><fills count="1"><fill><patternFill patternType="none"/></fill></fills><borders count="1"><border><left/><right/><top/><bottom/><diagonal/></border></borders><cellStyleXfs count="1"><xf numFmtId="0" fontId="0" fillId="0" borderId="0"/></cellStyleXfs><cellXfs count="2"><xf numFmtId="0" fontId="0" fillId="0" borderId="0" xfId="0"/><xf numFmtId="164" fontId="0" fillId="0" borderId="0" xfId="0" applyNumberFormat="1"><alignment horizontal="center" wrapText="1"/></xf></cellXfs></styleSheet>',
}
for name, text in PARTS.items():
    put("tags", re.sub(r"[^A-Za-z0-9.]", "_", name), text)


def package(method, comment=b""):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, text in PARTS.items():
            z.writestr(zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6)), text.encode("latin-1"), compress_type=method)
        z.comment = comment
    return buf.getvalue()


deflated = package(zipfile.ZIP_DEFLATED)
put("zip", "package-deflated.xlsx", deflated)
put("zip", "package-stored.xlsx", package(zipfile.ZIP_STORED, b"PK comment\r\nline 2"))
# The same package without its central directory: found again from the local headers.
put("zip", "package-truncated.xlsx", deflated[: deflated.rfind(b"PK\x01\x02")])


# ---- Open XML packages with what real writers vary ---------------------------
def package_of(parts, method=zipfile.ZIP_DEFLATED):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", method) as z:
        for name, data in parts.items():
            z.writestr(zipfile.ZipInfo(name, (2024, 1, 2, 3, 4, 6)), data, compress_type=method)
    return buf.getvalue()


def latin1_parts(parts):
    return {n: t.encode("latin-1") for n, t in parts.items()}


# Parts in UTF-16 (with and without a byte order mark, little and big endian).
utf16_parts = latin1_parts(PARTS)
for name, codec, bom in (("xl/worksheets/sheet1.xml", "utf-16-le", b"\xff\xfe"),
                         ("xl/sharedStrings.xml", "utf-16-be", b"\xfe\xff"), ("xl/workbook.xml", "utf-16-le", b"")):
    text = PARTS[name].encode("latin-1").decode("utf-8").replace('<?xml version="1.0"?>',
                                                                  '<?xml version="1.0" encoding="UTF-16"?>')
    utf16_parts[name] = bom + text.encode(codec)
put("xlsx_read", "package-utf16.xlsx", package_of(utf16_parts))

# A template whose parts have other names than a writer's usual ones, found
# through the relationships, with CDATA sections in texts.
renamed = {
    "[Content_Types].xml": PARTS["[Content_Types].xml"].replace(
        '/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml',
        '/book/main.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml'),
    "_rels/.rels": PARTS["_rels/.rels"].replace('Target="xl/workbook.xml"', 'Target="/book/main.xml"'),
    "book/main.xml": PARTS["xl/workbook.xml"],
    "book/_rels/main.xml.rels": PARTS["xl/_rels/workbook.xml.rels"].replace(
        "worksheets/sheet1.xml", "tables/first.xml").replace("/xl/worksheets/sheet2.xml", "../book/tables/Second.xml")
        .replace('"sharedStrings.xml"', '"text/strings.xml"').replace('"styles.xml"', '"/book/looks.xml"'),
    "book/tables/first.xml": PARTS["xl/worksheets/sheet1.xml"].replace(
        "<t xml:space=\"preserve\"> Price </t>", "<t><![CDATA[ Price <&> ]]></t>"),
    "book/tables/Second.xml": PARTS["xl/worksheets/sheet2.xml"],
    "book/text/strings.xml": PARTS["xl/sharedStrings.xml"].replace(
        "<t>Item &amp; &lt;x&gt; &#228;</t>", "<t>Item <![CDATA[& <x>]]> &#228;<![CDATA[]]]]><![CDATA[>]]></t>"),
    "book/looks.xml": PARTS["xl/styles.xml"],
}
put("xlsx_read", "package-template-renamed.xltx", package_of(latin1_parts(renamed)))


# ---- Encrypted workbooks and decryption headers -----------------------------
# The helpers of the scripts that made the encrypted fixtures: the FILEPASS
# record, the record encryption by stream offset, XOR obfuscation, RC4
# CryptoAPI and the compound file (make_encrypted_legacy.py), standard and
# agile package encryption (make_encrypted_xlsx.py).
import hashlib, sys
import olefile
FIXTURES = os.path.join(ROOT, "tests", "fixtures")


def helpers(script, start):
    ns = {"__file__": os.path.join(FIXTURES, script)}
    argv, sys.argv = sys.argv, [sys.argv[0], FIXTURES]
    with open(os.path.join(FIXTURES, script)) as f:
        source = f.read()
    exec(source[source.index(start) if start else 0:source.index("\ndef save(")], ns)
    sys.argv = argv
    return ns


legacy = helpers("make_encrypted_legacy.py", None)
packages = helpers("make_encrypted_xlsx.py", "import base64")
DEFAULT = "VelvetSweatshop"  # the password a read without one tries
ROUNDS = 1000  # the key derivation rounds of the decrypt target


def rc4_md5(stream, password):
    """RC4 with the MD5 key (FILEPASS version 1.1)."""
    salt, verifier = legacy["SALT"], legacy["VERIFIER"]
    h0 = hashlib.md5(password.encode("utf-16-le")).digest()
    h1 = hashlib.md5((h0[:5] + salt) * 16).digest()[:5]
    key = lambda block: hashlib.md5(h1 + struct.pack("<I", block)).digest()
    enc = legacy["rc4"](key(0), verifier + hashlib.md5(verifier).digest())
    s = legacy["with_filepass"](stream, struct.pack("<HHH", 1, 1, 1) + salt + enc)
    streams = {}

    def crypt(p, size, byte):
        if p // 1024 not in streams:
            streams.clear()
            streams[p // 1024] = legacy["rc4"](key(p // 1024), bytes(1024))
        return byte ^ streams[p // 1024][p % 1024]
    return legacy["encrypt"](s, crypt)


def ole_streams(path):
    ole = olefile.OleFileIO(path)
    streams = {"/".join(p): ole.openstream(p).read() for p in ole.listdir()}
    ole.close()
    return streams


def filepass_of(stream):
    return next(body for rid, body in legacy["records"](stream) if rid == 0x002F)


plain_xls = ole_streams(os.path.join(FIXTURES, "enc_prices_plain.xls"))
for name, transform in (("rc4", lambda s: rc4_md5(s, DEFAULT)),
                        ("cryptoapi128", lambda s: legacy["cryptoapi"](s, DEFAULT, 128)),
                        ("cryptoapi40", lambda s: legacy["cryptoapi"](s, DEFAULT, 40)),
                        ("xor", lambda s: legacy["xor_obfuscate"](s, DEFAULT))):
    stream = bytes(transform(bytearray(plain_xls["Workbook"])))
    put("decrypt", "filepass-%s-default" % name, b"\x00" + filepass_of(stream))
    put("xls_read", "%s-default.xls" % name, legacy["compound"](dict(plain_xls, Workbook=stream)))
biff5 = ole_streams(os.path.join(FIXTURES, "prices_biff5_gnumeric.xls"))["Book"]
put("decrypt", "filepass-xor4-default",
    b"\x00" + filepass_of(bytes(legacy["xor_obfuscate"](bytearray(biff5), DEFAULT, biff5=True))))
for fixture in sorted(os.listdir(FIXTURES)):
    if fixture.startswith("enc_") and fixture.endswith(".xls") and "plain" not in fixture:
        streams = ole_streams(os.path.join(FIXTURES, fixture))
        put("decrypt", "filepass-" + fixture[:-4], b"\x00" + filepass_of(streams.get("Workbook") or streams["Book"]))


def package_input(info, package):
    return b"\x01" + struct.pack("<I", len(info)) + info + package


cut = packages["iterated"]
packages["iterated"] = lambda h, salt, pw, spins: cut(h, salt, pw, min(spins, ROUNDS))
payload = deflated + bytes(range(256)) * 8  # more than one 4096-byte segment
for name, (info, package) in (("standard", packages["standard"](payload, DEFAULT, bytes(range(0x20, 0x30)))),
                              ("agile-sha512", packages["agile"](payload, DEFAULT, "sha512", 256, ROUNDS)),
                              ("agile-sha1", packages["agile"](payload, DEFAULT, "sha1", 128, ROUNDS))):
    put("decrypt", "package-%s-default" % name, package_input(info, package))
for fixture in sorted(os.listdir(FIXTURES)):
    if fixture.startswith("enc_") and fixture.endswith(".xlsx") and "plain" not in fixture:
        streams = ole_streams(os.path.join(FIXTURES, fixture))
        put("decrypt", "package-" + fixture[:-5], package_input(streams["EncryptionInfo"], streams["EncryptedPackage"]))
# A whole package that opens with the default password in few rounds.
info, package = packages["agile"](deflated, DEFAULT, "sha256", 128, ROUNDS)
put("xlsx_read", "agile-default.xlsx", legacy["compound"]({"EncryptionInfo": info, "EncryptedPackage": package}))


# ---- Dictionaries ----------------------------------------------------------
def write_dict(name, entries):
    os.makedirs(os.path.join(HERE, "dict"), exist_ok=True)
    with open(os.path.join(HERE, "dict", name), "w") as f:
        for e in entries:
            if isinstance(e, str):
                e = e.encode("latin-1")
            f.write('"' + "".join(chr(c) if 32 <= c < 127 and c not in (34, 92) else "\\x%02X" % c for c in e) + '"\n')


xml_syntax = ["<", ">", "</", "/>", "=\"", "='", "<?xml", "?>", "<?xml version=\"1.0\"?>", "<!--", "-->",
              "<![CDATA[", "]]>", "<!DOCTYPE", "&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#", "&#x", ";",
              "\r\n", "\t", "xml:space=\"preserve\""]
request_words = ["cells", "range", "sheet", "cell", "cellMin", "cellMax", "config", "data", "read", "write",
                 "file", "password", "domains", "rooms", "nickNames", "A1", "$A$1", "XFD1048576", "XFE1", "B3",
                 "1048576", "0x1F", "$1F", "true", "false", "-1", "2147483648", "1e9", " 1,5 "]
write_dict("xml.dict", xml_syntax + request_words)
write_dict("request.dict", xml_syntax + request_words + ['<c sheet="1" cell="', '<r sheet="1" cellMin="A1" cellMax="'])
write_dict("xmldoc_binary.dict", [b"\xff", b"\xff\xff\xff\xff", b"\x80\x00", b"\x7f", b"\x01\x00\x00\x00",
                                  b"\x00\x10\x80", b"#text", b"#document"])

src = open(os.path.join(ROOT, "src", "ooxml", "xml_reader.cpp"), encoding="latin-1").read()
def table(var):
    body = src[src.index(var):]
    body = body[body.index("{") + 1: body.index("};")]
    return re.findall(r'"([^"]*)"', body)
tags = table("kTagNames =")
attrs = table("kAttrNames =")
write_dict("tags.dict", xml_syntax + ["<" + t for t in tags] + ["</" + t + ">" for t in ("c", "row", "si", "sheetData")]
           + [" " + a + "=\"" for a in attrs] + ["xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"",
              "&nbsp;", "&Ucircv;", "&#228;", "\xc3\xa4", "\xe2\x82\xac", "\xef\xbb\xbf", "\xff\xfe"])

zip_words = [b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06", b"PK\x07\x08", b"\x08\x00", b"\x00\x00", b"\xff\xff",
             b"\xff\xff\xff\xff", b"\x14\x00", b"\x10\x00\x00\x00", b"[Content_Types].xml", b"_rels/.rels",
             b"xl/workbook.xml", b"xl/_rels/workbook.xml.rels", b"xl/worksheets/sheet1.xml",
             b"xl/sharedStrings.xml", b"xl/styles.xml", b"C:\\", b"//server/share/", b"\x78\x9c"]
write_dict("zip.dict", zip_words)


def utf16(s):
    return s.encode("utf-16-le")
records = {  # record ids, little-endian
    "BOF8": 0x0809, "BOF2": 0x0009, "BOF3": 0x0209, "BOF4": 0x0409, "EOF": 0x000A, "SST": 0x00FC,
    "CONTINUE": 0x003C, "LABELSST": 0x00FD, "NUMBER": 0x0203, "RK": 0x027E, "MULRK": 0x00BD,
    "FORMULA": 0x0006, "STRING": 0x0207, "BOUNDSHEET": 0x0085, "FILEPASS": 0x002F, "EXTSST": 0x00FF,
    "SHRFMLA": 0x04BC, "ARRAY": 0x0221, "MSODRAWINGGROUP": 0x00EB, "LABEL": 0x0204, "BOOLERR": 0x0205,
    "XF": 0x00E0, "FONT": 0x0031, "FORMAT": 0x041E, "CODEPAGE": 0x0042, "DIMENSIONS": 0x0200, "ROW": 0x0208,
    "BLANK": 0x0201, "MULBLANK": 0x00BE, "RSTRING": 0x00D6, "CONTINUEFRT": 0x0866, "GELFRAME": 0x1066,
    "INTEGER2": 0x0002, "NUMBER2": 0x0003, "LABEL2": 0x0004, "FORMULA4": 0x0406, "FORMULA3": 0x0206,
}
cfb_words = [b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", b"\xFE\xFF", b"\x09\x00", b"\x0C\x00", b"\x06\x00",
             b"\xFE\xFF\xFF\xFF", b"\xFF\xFF\xFF\xFF", b"\xFD\xFF\xFF\xFF", b"\xFC\xFF\xFF\xFF", b"\xFA\xFF\xFF\xFF",
             b"\x00\x10\x00\x00", utf16("Workbook"), utf16("Book"), utf16("Root Entry"), utf16("_VBA_PROJECT_CUR"),
             b"\x01", b"\x02", b"\x05"] + [struct.pack("<H", v) for v in records.values()] + [
             b"\x00\x06\x05\x00", b"\x00\x06\x10\x00", b"\x20\x20", b"\xff\xff"]
write_dict("biff.dict", cfb_words)

decrypt_words = [b"\x01\x00\x01\x00\x01\x00", b"\x01\x00\x04\x00\x02\x00", b"\x04\x00\x04\x00\x40\x00\x00\x00",
                 b"\x03\x00\x02\x00\x24\x00\x00\x00", b"\x01\x68\x00\x00", b"\x04\x80\x00\x00",
                 b"\x0e\x66\x00\x00", b"\x0f\x66\x00\x00", b"\x10\x66\x00\x00", b"\x10\x00\x00\x00",
                 b"\x14\x00\x00\x00", b"\x28\x00\x00\x00", b"\x80\x00\x00\x00"] + [
                 w.encode() for w in ("<keyData ", "<dataIntegrity ", "<p:encryptedKey ", "<encryptedKey ",
                 'saltSize="16"', 'blockSize="16"', 'keyBits="256"', 'keyBits="128"', 'hashSize="64"',
                 'hashSize="20"', 'cipherAlgorithm="AES"', 'cipherChaining="ChainingModeCBC"',
                 'hashAlgorithm="SHA512"', 'hashAlgorithm="SHA1"', 'hashAlgorithm="SHA256"', 'spinCount="',
                 'saltValue="', 'encryptedVerifierHashInput="', 'encryptedVerifierHashValue="',
                 'encryptedKeyValue="', 'encryptedHmacKey="', 'encryptedHmacValue="', "==", "/>")]
write_dict("decrypt.dict", decrypt_words)
