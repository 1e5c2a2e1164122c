#include "ooxml/xml_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>
#include <random>

#include "platform/error.h"

namespace tabulon {
namespace {

std::string Message(const std::function<void()>& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

// Records what the tokenizer reports.
class TRecorder : public TXLSReadXMLStream {
 public:
  std::string Run(const std::string& xml) {
    stream_.Clear();
    stream_.WriteBuffer(xml.data(), xml.size());
    stream_.SetPosition(0);
    SetStream(stream_);
    log_.clear();
    while (ReadTag()) {
    }
    return log_;
  }

 protected:
  void StartTag(std::string_view name, std::string_view text, bool isEmpty) override {
    log_ += "<" + std::string(name) + (isEmpty ? "/" : "") + "|" + std::string(text) + "|";
  }
  void EndTag(std::string_view name, bool isEmpty) override {
    log_ += (isEmpty ? "" : "</" + std::string(name) + ">");
  }
  void AttributeRead(std::string_view name, std::string_view value) override {
    log_ += "[" + std::string(name) + "=" + std::string(value) + "]";
  }

 private:
  TMemoryStream stream_;
  std::string log_;
};

TEST(XmlTokenizer, Tags) {
  const struct {
    std::string xml;
    std::string log;
  } cases[] = {
      // declaration and bytes before the first "<" (a UTF-8 byte-order mark)
      {"\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<a>x</a>", "<a|x|</a>"},
      // text trimmed; text after an end tag dropped
      {"<a>  x y \n</a> tail <b/>", "<a|x y|</a><b/||"},
      // quoted values keep blanks, ">" and "/"; entities stay as written
      {"<c r=\"A 1>/\" t=\"x&amp;y\"/>", "[r=A 1>/][t=x&amp;y]<c/||"},
      // single quotes delimit like double quotes
      {"<c r='A 1>/' t='say \"hi\"'/>", "[r=A 1>/][t=say \"hi\"]<c/||"},
      // any whitespace separates the name and the attributes
      {"<c\nr=\"A1\"\ts=\"2\"\r\n/>", "[r=A1][s=2]<c/||"},
      // pieces without a value are skipped; two quotes give the empty text
      {"<c a b= c=\"\" d=x/>", "[c=][d=x]<c/||"},
      // "/" outside quotes is dropped from the tag text
      {"<a/b x=\"1\">t</a>", "[x=1]<ab|t|</a>"},
      // xml:space="preserve" governs the text of its own tag only
      {"<t xml:space=\"preserve\"> a </t><t> b </t>", "[xml:space=preserve]<t| a |</t><t|b|</t>"},
      // shapes outside the common one: values running together, blanks
      // around "=", a "/" apart from its ">"
      {"<c r=\"1\"s=\"2\"/>", "[r=1\"s=\"2]<c/||"},
      {"<c  r = \"1\" >x</c >", "<c|x|</c>"},
      {"<c r=\"1\" / >", "[r=1]<c||"},
      // truncated input just ends
      {"<a x=\"1", ""},
      {"<a>text", "<a|text|"},
      {"<", ""},
      {"", ""},
  };
  TRecorder r;
  for (const auto& c : cases) EXPECT_EQ(r.Run(c.xml), c.log) << c.xml;
}

TEST(XmlTokenizer, LevelErrors) {
  TRecorder r;
  EXPECT_EQ(Message([&] { r.Run("<a/></a>"); }), "XML level < 0");
  TRecorder deep;
  std::string ok;
  for (int i = 0; i < kMaxXMLLevel; ++i) ok += "<a>";
  EXPECT_EQ(Message([&] { deep.Run(ok + "<b/>"); }), "(no error)");
  EXPECT_EQ(deep.Level(), kMaxXMLLevel);
  TRecorder deeper;
  EXPECT_EQ(Message([&] { deeper.Run(ok + "<a>"); }), "XML nesting too deep");
}

// An Excel layer that logs the hooks and lets a test decide on consumption.
class TTestReader : public TXLSReadExcelXMLStream {
 public:
  std::vector<int> started;
  std::vector<int> ended;
  std::function<bool(TExXMLTag&)> onEnd;

  void Read(const std::string& xml, const std::u16string& part = u"part.xml") {
    stream_.Clear();
    stream_.WriteBuffer(xml.data(), xml.size());
    stream_.SetPosition(0);
    SetStream(stream_);
    Parse(part);
  }

 protected:
  void TagStarted(int tag) override { started.push_back(tag); }
  bool TagEnded(int tag) override {
    ended.push_back(tag);
    return onEnd ? onEnd(*CurrentNode()) : false;
  }

 private:
  TMemoryStream stream_;
};

TEST(XmlTables, NamesAndNumbers) {
  for (int i = 0; i < kTagCount; ++i) EXPECT_EQ(FindTag(TagName(i)), i);
  for (int i = 0; i < kAttrCount; ++i) EXPECT_EQ(FindAttribute(AttributeName(i)), i);
  EXPECT_EQ(FindTag("alignment"), 0);
  EXPECT_EQ(FindTag("c"), xtC);
  EXPECT_EQ(xtC, 9);
  EXPECT_EQ(FindTag("xf"), 161);
  EXPECT_EQ(FindTag("is"), 162);
  EXPECT_EQ(FindTag("C"), -1);
  EXPECT_EQ(FindTag("x:c"), -1);
  EXPECT_EQ(FindAttribute("Id"), 80);
  EXPECT_EQ(FindAttribute("id"), 81);
  EXPECT_EQ(FindAttribute("r:id"), 122);
  EXPECT_EQ(FindAttribute("type"), 168);
  EXPECT_EQ(FindAttribute("Type"), 169);
  EXPECT_EQ(FindAttribute("xml:space"), 186);
  EXPECT_EQ(FindAttribute("zoomScaleSheetLayoutView"), 198);
  EXPECT_EQ(FindAttribute("xmlns:x"), -1);
}

TEST(XmlReader, EmptyCellIsOneNodeWithItsValues) {
  TTestReader r;
  int32_t col = -1, row = -1;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() != xtC) return false;
    EXPECT_EQ(n.Attributes(), (std::vector<int>{xaR, xaS}));
    n.GetCellRef(xaR, col, row);
    EXPECT_EQ(n.GetInteger(xaS, -1), 3);
    EXPECT_EQ(n.Parent()->Tag(), xtRow);
    return true;
  };
  r.Read("<row r=\"2\"><c s=\"3\" r=\"B2\"/></row>");
  EXPECT_EQ(r.started, (std::vector<int>{xtRow, xtC}));
  EXPECT_EQ(r.ended, (std::vector<int>{xtC, xtRow}));
  EXPECT_EQ(col, 1);
  EXPECT_EQ(row, 1);
  EXPECT_EQ(r.CurrentNode(), r.Root());
  EXPECT_EQ(r.Level(), 0);
}

TEST(XmlReader, PrefixedNamesAndPendingValues) {
  const std::string main = "\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";
  const struct {
    std::string xml;
    std::vector<int> ended;
  } cases[] = {
      // an unbound prefix: x:c is unknown and keeps its r to itself
      {"<row><x:c r=\"A1\"/><c s=\"1\"/></row>", {kTagUnknown, xtC, xtRow}},
      {"<foo r=\"A1\"/><c/>", {kTagUnknown, xtC}},
      // a prefix bound to the main namespace counts by the local name
      {"<x:worksheet xmlns:x=" + main + "><x:row><x:c r=\"A1\"><x:v>1</x:v></x:c></x:row></x:worksheet>",
       {xtV, xtC, xtRow, xtWorksheet}},
      // other prefixes stay unknown
      {"<x:row xmlns:x=" + main + " xmlns:xdr=\"urn:drawing\"><xdr:col/><x14:c/><x:nothing/></x:row>",
       {kTagUnknown, kTagUnknown, kTagUnknown, xtRow}},
      // a binding ends with its element; an inner rebinding hides it
      {"<a xmlns:y=" + main + "><y:c/><g xmlns:y=\"urn:other\"><y:c/></g><y:c/></a><y:c/>",
       {xtC, kTagUnknown, kTagUnknown, xtC, kTagUnknown, kTagUnknown}},
  };
  for (const auto& c : cases) {
    TTestReader r;
    bool leaked = false;
    r.onEnd = [&](TExXMLTag& n) {
      if (n.Tag() == xtC && n.RawName() == "c" && n.HasValue(xaR) && n.Parent()->Tag() == xtRow) leaked = true;
      return false;
    };
    r.Read(c.xml);
    EXPECT_EQ(r.ended, c.ended) << c.xml;
    EXPECT_FALSE(leaked) << c.xml;
  }
}

TEST(XmlReader, PreserveAndNodeTexts) {
  TTestReader r;
  std::vector<std::string> texts;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() == xtT) texts.emplace_back(n.RawText());
    return false;
  };
  r.Read("<si><t xml:space=\"preserve\">  a b  </t><t>  c  </t><t xml:space=\"default\"> d </t></si>");
  EXPECT_EQ(texts, (std::vector<std::string>{"  a b  ", "c", "d"}));
}

TEST(XmlReader, EndTagClosesCurrentElementWhateverItsName) {
  TTestReader r;
  std::vector<int> rowsUnderSheetData;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() == xtSheetData)
      for (int i = 0; i < n.ChildCount(); ++i) rowsUnderSheetData.push_back(n.Child(i)->GetInteger(xaR, 0));
    return false;
  };
  r.Read("<sheetData><row r=\"1\"></c><row r=\"2\"/></sheetData>");
  EXPECT_EQ(r.ended, (std::vector<int>{xtRow, xtRow, xtSheetData}));
  EXPECT_EQ(rowsUnderSheetData, (std::vector<int>{1, 2}));
}

TEST(XmlReader, ConsumptionDiscardsFinishedSiblings) {
  TTestReader r;
  std::vector<int> childrenAtRowEnd;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() == xtRow) childrenAtRowEnd.push_back(n.ChildCount());
    return n.Tag() == xtC || n.Tag() == xtRow;
  };
  std::string xml = "<sheetData>";
  for (int i = 1; i <= 3; ++i) xml += "<row r=\"" + std::to_string(i) + "\"><c r=\"A1\"><v>1</v></c><c r=\"B1\"/></row>";
  r.Read(xml + "</sheetData>");
  EXPECT_EQ(childrenAtRowEnd, (std::vector<int>{0, 0, 0}));
  // Without consumption every child is there when the element ends.
  TTestReader keep;
  keep.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() == xtRow) {
      EXPECT_EQ(n.ChildCount(), 2);
    }
    return false;
  };
  keep.Read(xml + "</sheetData>");
  EXPECT_EQ(keep.Root()->ChildCount(), 1);
}

TEST(XmlReader, NodesLeftInTheTreeOutliveTheirPart) {
  TTestReader r;
  r.Read("<sheets><sheet name=\"One\" x/y=\"1\">text</sheet><sheet name=\"Two\"/></sheets>", u"xl/workbook.xml");
  r.Read(std::string(200, ' ') + "<other name=\"XXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXXX\"/>", u"next.xml");
  ASSERT_EQ(r.Root()->ChildCount(), 2);
  const TExXMLTag* sheets = r.Root()->Child(0);
  EXPECT_EQ(sheets->Name(), u"sheets");
  ASSERT_EQ(sheets->ChildCount(), 2);
  EXPECT_EQ(sheets->Child(0)->GetString(xaName), u"One");
  EXPECT_EQ(sheets->Child(0)->Text(), u"text");
  EXPECT_EQ(sheets->Child(1)->GetString(xaName), u"Two");
}

TEST(XmlReader, BoundsTheElementsHeldAtOnce) {
  EXPECT_EQ(TTestReader().NodeLimit(), kMaxXMLNodes);
  // The root counts as one; kept elements fill the rest.
  const std::string part = "<a><b/><b/><b/></a>";
  TTestReader full;
  full.SetNodeLimit(5);
  full.Read(part);
  EXPECT_EQ(full.Root()->Child(0)->ChildCount(), 3);
  TTestReader over;
  over.SetNodeLimit(5);
  EXPECT_EQ(Message([&] { over.Read(part + "<c/>", u"xl/worksheets/sheet1.xml"); }),
            "Too many XML elements held at once in xl/worksheets/sheet1.xml");
  // Consumed elements are reused: far more of them pass.
  TTestReader consuming;
  consuming.SetNodeLimit(5);
  consuming.onEnd = [](TExXMLTag& node) { return node.RawName() == "b"; };
  std::string many = "<a>";
  for (int i = 0; i < 100; ++i) many += "<b><b/></b>";
  consuming.Read(many + "</a>");
  EXPECT_EQ(consuming.Root()->Child(0)->ChildCount(), 0);
}

TEST(XmlReader, DuplicateKnownAttribute) {
  TTestReader r;
  EXPECT_EQ(Message([&] { r.Read("<sheetData><c r=\"A1\" foo=\"1\" foo=\"2\" r=\"A2\"/></sheetData>", u"xl/worksheets/sheet1.xml"); }),
            "Duplicate tag value: r; Doc=xl/worksheets/sheet1.xml; Tag=sheetData");
  TTestReader top;
  EXPECT_EQ(Message([&] { top.Read("<c s=\"1\" s=\"1\"/>"); }), "Duplicate tag value: s; Doc=part.xml; Tag=PARENT");
}

// The UTF-16 form of UTF-8 text (BMP characters and one pair).
std::string Utf16Bytes(const std::u16string& text, bool littleEndian, bool mark) {
  std::string out;
  if (mark) out = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (const char16_t c : text) {
    const char lo = static_cast<char>(c & 0xFF), hi = static_cast<char>(c >> 8);
    out += littleEndian ? std::string{lo, hi} : std::string{hi, lo};
  }
  return out;
}

TEST(XmlReader, Utf16PartsAreDecoded) {
  const std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><sst><si><t>Z\u00FCrich \u20AC \U0001F600 "
                              u"&amp;</t></si><si><t>_x0001_</t></si></sst>";
  for (const bool littleEndian : {true, false}) {
    for (const bool mark : {true, false}) {
      SCOPED_TRACE(std::string(littleEndian ? "LE" : "BE") + (mark ? " with mark" : ""));
      TTestReader r;
      std::vector<std::u16string> texts;
      r.onEnd = [&](TExXMLTag& node) {
        if (node.Tag() == xtT) texts.push_back(node.DecodedText());
        return false;
      };
      r.Read(Utf16Bytes(text, littleEndian, mark));
      EXPECT_EQ(r.started, (std::vector<int>{xtSst, xtSi, xtT, xtSi, xtT}));
      EXPECT_EQ(texts, (std::vector<std::u16string>{u"Z\u00FCrich \u20AC \U0001F600 &", u"\u0001"}));
    }
  }
  // An unpaired surrogate comes back as that unit; an odd last byte goes.
  TTestReader r;
  std::u16string decoded;
  r.onEnd = [&](TExXMLTag& node) {
    if (node.Tag() == xtT) decoded = node.DecodedText();
    return false;
  };
  r.Read(Utf16Bytes(u"<t>a" + std::u16string(1, char16_t(0xDC01)) + u"b</t>", true, true) + "x");
  EXPECT_EQ(decoded, u"a" + std::u16string(1, char16_t(0xDC01)) + u"b");
}

TEST(XmlReader, CDataSectionsAreTextAsWritten) {
  struct Case {
    const char* xml;
    std::u16string text;
  } const cases[] = {
      {"<t><![CDATA[Hello]]></t>", u"Hello"},
      {"<t><![CDATA[a &amp; <b> &lt;]]></t>", u"a &amp; <b> &lt;"},  // no references inside
      {"<t>x &amp; <![CDATA[ & ]]>y<![CDATA[z]]></t>", u"x &  & yz"},
      {"<t>\n  <![CDATA[ kept ]]>\n</t>", u" kept "},  // only the text around is trimmed
      {"<t xml:space=\"preserve\"> <![CDATA[a]]> </t>", u" a "},
      {"<t><![CDATA[]]></t>", u""},
      {"<t><![CDATA[_x0041_ ]]]]><![CDATA[>]]></t>", u"A ]]>"},
      {"<t><![CDATA[cut</t>", u"(none)"},  // an unterminated section runs to the end
  };
  for (const Case& c : cases) {
    TTestReader r;
    std::u16string text = u"(none)";
    r.onEnd = [&](TExXMLTag& node) {
      if (node.Tag() == xtT) text = node.DecodedText();
      return false;
    };
    r.Read(c.xml);
    EXPECT_EQ(text, c.text) << c.xml;
  }
  // Sections and comments between elements are no elements.
  TTestReader r;
  r.Read("<si><!-- <t>not</t> --><![CDATA[<t>nor</t>]]><t>yes</t></si>");
  EXPECT_EQ(r.started, (std::vector<int>{xtSi, xtT}));
  EXPECT_EQ(r.Level(), 0);
}

TEST(XmlReader, MarkupCompatibilityTakesOneBranch) {
  const std::string ns = R"( xmlns:mc="http://schemas.openxmlformats.org/markup-compatibility/2006")"
                         R"( xmlns:x14="http://schemas.microsoft.com/office/spreadsheetml/2009/9/main")"
                         R"( xmlns:s="http://schemas.openxmlformats.org/spreadsheetml/2006/main")";
  struct Case {
    std::string body;  // inside <fonts>
    std::vector<int> children;
  } const cases[] = {
      // A choice this reader cannot take: the fallback.
      {"<mc:AlternateContent><mc:Choice Requires=\"x14\"><font><b/></font><b/></mc:Choice>"
       "<mc:Fallback><font/><font/></mc:Fallback></mc:AlternateContent>",
       {xtFont, xtFont}},
      // The first choice it can take; the fallback is passed over.
      {"<mc:AlternateContent><mc:Choice Requires=\"x14 s\"><b/></mc:Choice><mc:Choice Requires=\"s\"><font/></mc:Choice>"
       "<mc:Choice Requires=\"s\"><i/></mc:Choice><mc:Fallback><b/></mc:Fallback></mc:AlternateContent><font/>",
       {xtFont, xtFont}},
      // Nothing to take; a choice requiring an unbound prefix is none.
      {"<font/><mc:AlternateContent><mc:Choice Requires=\"zz\"><font/></mc:Choice></mc:AlternateContent>", {xtFont}},
      {"<mc:AlternateContent/><font/>", {xtFont}},
      // Nested, and with the namespace declared on the element itself.
      {"<m:AlternateContent xmlns:m=\"http://schemas.openxmlformats.org/markup-compatibility/2006\">"
       "<m:Fallback><m:AlternateContent><m:Choice Requires=\"s\"><s:font/></m:Choice></m:AlternateContent>"
       "</m:Fallback></m:AlternateContent>",
       {xtFont}},
  };
  // The tag numbers of the fonts element's children when it ends.
  auto fontsChildren = [](const std::string& xml) {
    TTestReader r;
    std::vector<int> children;
    r.onEnd = [&](TExXMLTag& node) {
      if (node.Tag() == xtFonts)
        for (int i = 0; i < node.ChildCount(); ++i) children.push_back(node.Child(i)->Tag());
      return false;
    };
    r.Read(xml);
    EXPECT_EQ(r.Level(), 0);
    EXPECT_EQ(r.CurrentNode(), r.Root());
    return children;
  };
  for (const Case& c : cases)
    EXPECT_EQ(fontsChildren("<styleSheet" + ns + "><fonts>" + c.body + "</fonts></styleSheet>"), c.children) << c.body;
  // A prefix bound to another namespace is no markup compatibility.
  EXPECT_EQ(fontsChildren("<fonts xmlns:mc=\"urn:other\"><mc:AlternateContent><font/></mc:AlternateContent></fonts>"),
            (std::vector<int>{kTagUnknown}));
}

TEST(XmlReader, InlineStringElementIsKnown) {
  TTestReader r;
  std::u16string text;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Tag() == xtC) {
      TExXMLTag* is = n.FindChild(xtIs);
      EXPECT_NE(is, nullptr);
      if (is != nullptr && is->FindChild(xtT) != nullptr) text = is->FindChild(xtT)->DecodedText();
    }
    return false;
  };
  r.Read("<c r=\"A1\" t=\"inlineStr\"><is><t>hi &amp; bye</t></is></c>");
  EXPECT_EQ(xtIs, 162);
  EXPECT_EQ(text, u"hi & bye");
}

// Parses one element and runs checks on its node when it ends.
void WithNode(const std::string& xml, const std::function<void(TExXMLTag&)>& check) {
  TTestReader r;
  bool seen = false;
  r.onEnd = [&](TExXMLTag& n) {
    if (n.Parent() == r.Root()) {
      check(n);
      seen = true;
    }
    return false;
  };
  r.Read(xml);
  EXPECT_TRUE(seen);
}

TEST(XmlNode, ValueAccessors) {
  WithNode("<c r=\"B3:D5\" s=\" 12\" t=\"true\" ht=\"1E-3\" width=\"abc\" ca=\"1\" ref=\"C7\" name=\"A&amp;B\" "
           "type=\"solid\" val=\"x\" sheet=\"AB\" customHeight=\"1.5\" min=\"99999999999\">2.5</c>",
           [](TExXMLTag& n) {
             EXPECT_TRUE(n.GetBoolean(xaCa, false));
             EXPECT_FALSE(n.GetBoolean(xaT, true));  // "true" is not "1"
             EXPECT_TRUE(n.GetBoolean(xaHidden, true));
             EXPECT_EQ(n.GetInteger(xaS, -1), 12);
             EXPECT_EQ(n.GetInteger(xaVal, -1), 0);
             EXPECT_EQ(n.GetInteger(xaMin, -1), 0);
             EXPECT_EQ(n.GetInteger(xaMax, -1), -1);
             EXPECT_EQ(n.GetFloat(xaHt, -1), 0.001);
             EXPECT_EQ(n.GetFloat(xaCustomHeight, -1), 1.5);
             EXPECT_EQ(n.GetFloat(xaWidth, -1), 0);
             EXPECT_EQ(n.GetFloat(xaMax, 8.5), 8.5);
             EXPECT_EQ(n.GetString(xaName), u"A&amp;B");
             EXPECT_EQ(n.GetString(xaStyle, u"dflt"), u"dflt");
             const std::string_view patterns[] = {"none", "solid", "gray125"};
             EXPECT_EQ(n.GetEnum(xaType, 7, patterns), 1);
             EXPECT_EQ(n.GetEnum(xaVal, 7, patterns), 7);
             EXPECT_EQ(n.GetEnum(xaStyle, 6, patterns), 6);
             EXPECT_EQ(n.RequireInteger(xaS), 12);
             EXPECT_EQ(n.RequireFloat(xaHt), 0.001);
             EXPECT_EQ(n.RequireString(xaVal), u"x");
             EXPECT_EQ(Message([&] { n.RequireString(xaRId); }), "Required value missing: r:id");
             EXPECT_EQ(Message([&] { n.RequireInteger(xaNumFmtId); }), "Required value missing: numFmtId");
             int32_t c1, r1, c2, r2;
             n.GetAreaRef(xaR, c1, r1, c2, r2);
             EXPECT_EQ((std::vector<int32_t>{c1, r1, c2, r2}), (std::vector<int32_t>{1, 2, 3, 4}));
             n.GetAreaRef(xaRef, c1, r1, c2, r2);
             EXPECT_EQ((std::vector<int32_t>{c1, r1, c2, r2}), (std::vector<int32_t>{2, 6, 2, 6}));
             EXPECT_EQ(Message([&] { n.GetCellRef(xaSqref, c1, r1); }), "Required value missing: sqref");
             // an address without row digits ends the read with the conversion error
             EXPECT_NE(Message([&] { n.GetCellRef(xaSheet, c1, r1); }).find("is not a valid integer value"), std::string::npos);
             EXPECT_EQ(Message([&] { n.GetAreaRef(xaSqref, c1, r1, c2, r2); }), "Required value missing: sqref");
             EXPECT_EQ(n.TextAsFloat(), 2.5);
             EXPECT_EQ(n.TextAsInteger(), 0);
             EXPECT_FALSE(n.TextAsBoolean());
           });
}

TEST(XmlNode, ChildAccessorsAndIteration) {
  const std::string font =
      "<font><b/><i val=\"0\"/><u val=\"1\"/><sz val=\"11\"/><color theme=\"1\"/><color rgb=\"FF0000\"/>"
      "<name val=\"Calibri\"/><rFont/></font>";
  WithNode(font, [](TExXMLTag& n) {
    EXPECT_EQ(n.FindChild(xtSz)->GetFloat(xaVal, 0), 11);
    EXPECT_EQ(n.FindChild(xtStrike), nullptr);
    EXPECT_EQ(n.GetChildString(xtColor, xaRgb, u"none"), u"FF0000");  // first color carrying rgb
    EXPECT_EQ(n.GetChildString(xtScheme, xaVal, u"none"), u"none");
    EXPECT_EQ(n.GetChildFloat(xtSz, xaVal, 8), 11);
    EXPECT_EQ(n.GetChildFloat(xtFamily, xaVal, 8), 8);
    EXPECT_EQ(n.RequireChildString(xtName, xaVal), u"Calibri");
    EXPECT_EQ(Message([&] { n.RequireChildString(xtRFont, xaVal); }), "Tag value rFont:val missing");
    EXPECT_TRUE(n.GetChildBoolean(xtB, xaVal, true));    // present without val
    EXPECT_FALSE(n.GetChildBoolean(xtI, xaVal, true));   // val="0"
    EXPECT_TRUE(n.GetChildBoolean(xtU, xaVal, false));   // val="1"
    EXPECT_FALSE(n.GetChildBoolean(xtStrike, xaVal, true));  // no such child
  });
  WithNode("<numFmts><numFmt numFmtId=\"164\"/><numFmt numFmtId=\"165\"/></numFmts>", [](TExXMLTag& n) {
    std::vector<int> ids;
    n.IterateChildren(xtNumFmt);
    while (TExXMLTag* c = n.NextChild()) ids.push_back(c->RequireInteger(xaNumFmtId));
    EXPECT_EQ(ids, (std::vector<int>{164, 165}));
    EXPECT_EQ(n.ChildCount(), 0);  // discarded after the last one
  });
  WithNode("<fonts><font/><fill/></fonts>", [](TExXMLTag& n) {
    n.IterateChildren(xtFont);
    EXPECT_NE(n.NextChild(), nullptr);
    EXPECT_EQ(Message([&] { n.NextChild(); }), "Unexpected tag 57, fill");
  });
  WithNode("<fonts><x:font/></fonts>", [](TExXMLTag& n) {
    n.IterateChildren(xtFont);
    EXPECT_EQ(Message([&] { n.NextChild(); }), "Unexpected tag 999, x:font");
  });
  WithNode("<fonts><font/><fill/></fonts>", [](TExXMLTag& n) {
    n.IterateChildren(-1);
    int count = 0;
    while (n.NextChild() != nullptr) ++count;
    EXPECT_EQ(count, 2);
  });
}

TEST(XmlNode, TagToXML) {
  WithNode("<sheetView tabSelected=\"1\" zoomScale=\"90\" workbookViewId=\"0\" unknown=\"u\">"
           "<selection sqref=\"A1\" activeCell=\"A1\"/><pane>text</pane></sheetView>",
           [](TExXMLTag& n) {
             EXPECT_EQ(TagToXML(n),
                       u"<sheetView tabSelected=\"1\" workbookViewId=\"0\" zoomScale=\"90\">"
                       u"<selection activeCell=\"A1\" sqref=\"A1\"/><pane>text</pane></sheetView>");
           });
  WithNode("<v>&amp;</v>", [](TExXMLTag& n) { EXPECT_EQ(TagToXML(n), u"<v>&amp;</v>"); });
  // The deepest tree the nesting limit allows can be written out.
  std::string deep;
  for (int i = 0; i < kMaxXMLLevel; ++i) deep += "<a>";
  deep += "<b/>";
  for (int i = 0; i < kMaxXMLLevel; ++i) deep += "</a>";
  WithNode(deep, [](TExXMLTag& n) { EXPECT_EQ(TagToXML(n).size(), kMaxXMLLevel * 7u + 4); });
}

TEST(XmlText, DecodeText) {
  const struct {
    std::string raw;
    std::u16string decoded;
  } cases[] = {
      {"", u""},
      {"plain text", u"plain text"},
      {"a&amp;b", u"a&b"},
      {"&lt;&gt;&quot;&nbsp;x", u"<>\" x"},
      {"&amp;lt;", u"<"},  // an escaped ampersand followed by lt;
      {"&amp;amp;", u"&amp;"},
      {"&amp;quot;", u"&quot;"},
      {"&amp;&lt;", u"&<"},
      {"a & b &foo; &", u"a & b &foo; &"},
      {"&apos;", u"'"},
      {"&Ucircv;&Ucirc;", u"\u00DB&Ucirc;"},
      {"caf&eacute; &iexcl;&yuml;", u"caf\u00E9 \u00A1\u00FF"},
      {"caf\xC3\xA9 \xE2\x82\xAC", u"caf\u00E9 \u20AC"},
      {"\xF0\x9F\x98\x80!", u"\U0001F600!"},
      {"abc\x80", u""},
      {"\xC3", u""},
      {"\xC3(", u""},
      {"\xE2\x82", u""},
      // numeric references, any number of digits, decimal or hexadecimal
      {"caf&#233;", u"caf\u00E9"},
      {"&#xE9;&#XE9;&#0065;", u"\u00E9\u00E9A"},
      {"&#39;&#34;&#xA;", u"'\"\n"},
      {"&#128512;&#x1F600;", u"\U0001F600\U0001F600"},
      {"&#32;x&#10;", u" x\n"},
      {"&amp;#x26;", u"&#x26;"},
      {"&#38;lt;", u"&lt;"},
      {"&#;&#x;&#12&#x110000;&#0;", u"&#;&#x;&#12&#x110000;&#0;"},
      {"&#233;\xC3\xA9", u"\u00E9\u00E9"},
      {"\xC3&#169;", u""},  // a reference cannot complete a UTF-8 sequence
      // "_xHHHH_" escapes of characters XML cannot hold; "_x005F_" is the underscore
      {"cr_x000D_\nlf", u"cr\r\nlf"},
      {"ctl_x0001__x001f_end", u"ctl\x01\x1F" u"end"},
      {"_x005F_x0041_ lit", u"_x0041_ lit"},
      {"caf\xC3\xA9_x0041_", u"caf\u00E9A"},
      {"_x41_ _x004G_ _x0041 x0041_ _X0041_", u"_x41_ _x004G_ _x0041 x0041_ _X0041_"},
      {"_x_x0042__", u"_xB_"},
      // line breaks as XML reads them: CR LF and a lone CR are LF, "&#13;" stays CR
      {"a\r\nb\rc&#13;\n", u"a\nb\nc\r\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeText(c.raw), c.decoded) << c.raw;
}

// Plain decimals, as writers store most numbers, convert to the very double
// the C library gives for them, up to 17 significant digits and at every
// position of the point.
TEST(XmlText, PlainDecimalsRoundLikeTheLibrary) {
  std::mt19937_64 random(12345);
  for (int i = 0; i < 200000; ++i) {
    const int digits = 1 + static_cast<int>(random() % 17);
    std::string text = random() % 4 == 0 ? "-" : "";
    for (int d = 0; d < digits; ++d) text += static_cast<char>('0' + random() % 10);
    const int point = static_cast<int>(random() % (digits + 1));
    if (point > 0 && point < digits) text.insert(text.size() - static_cast<std::size_t>(point), ".");
    double v = 0;
    ASSERT_TRUE(XMLTextToFloat(text, v)) << text;
    const double expected = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(v, expected) << text;
    ASSERT_EQ(std::signbit(v), std::signbit(expected)) << text;
  }
  const char* const edges[] = {"-0", "-0.000", "999999999999999", "9999999999999999", "0.000000000000001",
                               "123456789012345.6", "1.", "00000000000000000001.5"};
  for (const char* text : edges) {
    double v = 0;
    ASSERT_TRUE(XMLTextToFloat(text, v)) << text;
    const double expected = std::strtod(text, nullptr);
    EXPECT_EQ(v, expected) << text;
    EXPECT_EQ(std::signbit(v), std::signbit(expected)) << text;
  }
}

TEST(XmlText, Numbers) {
  const struct {
    const char* text;
    bool ok;
    double value;
  } floats[] = {{"1.5", true, 1.5},   {"-0.25", true, -0.25}, {"1E-3", true, 0.001}, {" 2 ", true, 2},
                {"+3", true, 3},      {".5", true, 0.5},      {"abc", false, 0},     {"1,5", false, 0},
                {"inf", false, 0},    {"nan", false, 0},      {"", false, 0},        {"1e999", false, 0},
                {"0x10", false, 0}};
  for (const auto& f : floats) {
    double v = -1;
    EXPECT_EQ(XMLTextToFloat(f.text, v), f.ok) << f.text;
    if (f.ok) {
      EXPECT_EQ(v, f.value) << f.text;
    }
  }
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } ints[] = {{"12", true, 12},           {"-7", true, -7},         {" 3", true, 3},    {"2147483647", true, INT32_MAX},
              {"-2147483648", true, INT32_MIN}, {"2147483648", false, 0}, {"1.0", false, 0}, {"", false, 0},
              {"-", false, 0},            {"1 ", false, 0}};
  for (const auto& i : ints) {
    int32_t v = -1;
    EXPECT_EQ(XMLTextToInt(i.text, v), i.ok) << i.text;
    if (i.ok) {
      EXPECT_EQ(v, i.value) << i.text;
    }
  }
}

}  // namespace
}  // namespace tabulon
