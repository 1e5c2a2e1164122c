// The text parser: what it accepts and builds, and the messages (with line
// and position) of what it refuses.
#include <gtest/gtest.h>

#include <string>

#include "platform/error.h"
#include "support/host_text.h"
#include "xmldoc/xml_document.h"

namespace tabulon {
namespace {

std::string Escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 32) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// A compact picture of a node list: element name[attr=value,...](children),
// "text", C:cdata, !comment, ?target:text[attributes].
std::string Dump(const TXmlNode& node) {
  std::string out;
  for (const auto& child : node.Children()) {
    if (!out.empty()) out += ',';
    switch (child->NodeType()) {
      case xntText:
        out += '"' + Escaped(child->Text()) + '"';
        continue;
      case xntCDATASection:
        out += "C:" + Escaped(child->Text());
        continue;
      case xntComment:
        out += "!" + Escaped(child->Text());
        continue;
      case xntProcessingInstruction:
        out += "?" + std::string(child->NodeName());
        if (!child->Text().empty()) out += ":" + child->Text();
        break;
      default:
        out += std::string(child->NodeName());
        break;
    }
    if (child->AttributeCount() > 0) {
      out += '[';
      for (int32_t i = 0; i < child->AttributeCount(); ++i) {
        if (i > 0) out += ',';
        out += std::string(child->AttributeName(i)) + "=" + Escaped(child->Attribute(i).value.AsText());
      }
      out += ']';
    }
    if (child->ChildCount() > 0) out += "(" + Dump(*child) + ")";
  }
  return out;
}

std::string Parse(std::string_view text) {
  auto document = CreateDocument();
  document->LoadFromText(text);
  return Dump(*document);
}

std::string ParseError(std::string_view text) {
  auto document = CreateDocument();
  try {
    document->LoadFromText(text);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

struct AcceptCase {
  const char* text;
  const char* tree;
};

TEST(XmlParser, BuildsTheTree) {
  const AcceptCase cases[] = {
      {"", ""},
      {"<r>  <item a='1'/>  </r>", "r(item[a=1])"},
      {"<r>x<item/></r>", "r(\"x\",item)"},
      {"<r a=\"1\" b='2' a=\"3\"/>", "r[a=3,b=2]"},
      {"<r a = 'say \"hi\"'\tb=\"it's\"/>", "r[a=say \"hi\",b=it's]"},
      {"<r a=\"x&lt;y&#65;\"/>", "r[a=x<yA]"},
      {"<r a=\"&#1040;\"/>", "r[a=\\x10]"},
      {"<r>&amp;&quot;&apos;&gt;&#x41;&#x4a;</r>", "r(\"&\"'>AJ\")"},
      // Long digit runs keep only the low 8 bits.
      {"<r>&#1234567890123456789012345;&#x1234567890ABCDEF42;</r>", "r(\"yB\")"},
      // Texts of blanks and control characters only are dropped, also when
      // they come from references.
      {"<r>\r\n\t<a/> &#9;&#32; </r>", "r(a)"},
      {"<r> x </r>", "r(\" x \")"},
      {"<?xml version=\"1.0\" encoding=\"windows-1251\"?>\r\n<r/>", "?xml[version=1.0,encoding=windows-1251],r"},
      {"<?pi some data?><r/>", "?pi: some data,r"},
      {"<!DOCTYPE r SYSTEM \"r.dtd\"><r/>", "r"},
      {"<r><!-- c -- d --><![CDATA[<a>&amp;]]></r>", "r(! c -- d ,C:<a>&amp;)"},
      {"<r></r  ><!----><![CDATA[]]>", "r,!,C:"},
      {"<_a-b.c:d \xE9t\xE9='1'/>", "_a-b.c:d[\xE9t\xE9=1]"},
      // Several nodes at document level; an end tag there ends the input.
      {"<a/>text<b/></zz>garbage<", "a,\"text\",b"},
  };
  for (const auto& c : cases) EXPECT_EQ(Parse(c.text), c.tree) << c.text;
}

struct ErrorCase {
  const char* text;
  const char* message;
};

TEST(XmlParser, RefusesWithMessages) {
  const ErrorCase cases[] = {
      {"<r><item></d></r>", "Ожидается \"item\" (стр. 0, поз. 11)"},
      {"<r><item></itex></r>", "Ожидается \"item\" (стр. 0, поз. 14)"},
      {"<r></rr>", "Ожидается \">\" (стр. 0, поз. 6)"},
      {"<r>", "Ожидается \"/\" (стр. 0, поз. 3)"},
      {"<1r/>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 1)"},
      {"< r/>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 1)"},
      {"<", "Не завершено определение элемента"},
      {"<r", "Не завершено определение элемента"},
      {"<r%/>", "Некорретный символ в имени элемента"},
      {"<r/x", "Ожидается \"/>\" (стр. 0, поз. 3)"},
      {"<r a=\"1\" b>", "Ожидается \"=\" (стр. 0, поз. 10)"},
      {"<r 1a=\"1\">", "Ожидается \">\" (стр. 0, поз. 3)"},
      {"<r a=", "Ожидается значение атрибута (стр. 0, поз. 5)"},
      {"<r a=1/>", "Ожидается строковая константа (стр. 0, поз. 5)"},
      {"<r a=\"x<y\"/>", "Символ \"<\" не может использоваться в значениях атрибутов (стр. 0, поз. 7)"},
      {"<r a=\"x&amp;<\"/>", "Символ \"<\" не может использоваться в значениях атрибутов (стр. 0, поз. 12)"},
      {"<r a=\"xy", "Ожидается \"\"\" (стр. 0, поз. 8)"},
      {"<r a='x&amp;y", "Ожидается \"'\" (стр. 0, поз. 13)"},
      {"<r>&#;</r>", "Ожидается число (стр. 0, поз. 5)"},
      {"<r>&#", "Ожидается число (стр. 0, поз. 5)"},
      {"<r>&#xg;</r>", "Ожидается шестнадцатеричное число (стр. 0, поз. 6)"},
      {"<r>&#65</r>", "Ожидается \";\" (стр. 0, поз. 7)"},
      {"<r>&foo;</r>", "Некорректное имя управляющего символа (стр. 0, поз. 4)"},
      {"<r>&AMP;</r>", "Некорректное имя управляющего символа (стр. 0, поз. 4)"},
      {"<r>&amp</r>", "Ожидается \";\" (стр. 0, поз. 7)"},
      {"<r>&", "Ожидается \"#\" или имя упрамляющего символа (стр. 0, поз. 4)"},
      {"<r>& </r>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 4)"},
      {"<r a='&'/>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 7)"},
      {"<!-- x", "Ожидается \"-->\" (стр. 0, поз. 6)"},
      {"<!-x-->", "Ожидается \"--\" (стр. 0, поз. 3)"},
      {"<![CDATA x]]>", "Ожидается \"[CDATA[\" (стр. 0, поз. 8)"},
      {"<![CDATA[x]>", "Ожидается \"]]>\" (стр. 0, поз. 12)"},
      {"<!ELEMENT r>", "Ожидается \"DOCTYPE\" (стр. 0, поз. 2)"},
      {"<!DOCTYPE r", "Ожидается \">\" (стр. 0, поз. 11)"},
      {"<?xml version=\"1.0\"", "Ожидается \"?>\" (стр. 0, поз. 19)"},
      {"<?pi data", "Ожидается \"?>\" (стр. 0, поз. 9)"},
      {"<?1?>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 2)"},
  };
  // Messages are host text: the ANSI code page on Windows.
  for (const auto& c : cases) EXPECT_EQ(ParseError(c.text), test::HostText(c.message)) << c.text;
}

TEST(XmlParser, CountsLinesAndPositions) {
  // A carriage return, or a line feed that follows neither a carriage
  // return nor a line feed, starts a line; other line feeds count nothing.
  const ErrorCase cases[] = {
      {"<r>\r\n<1/>", "Имя должно начинаться с буквы или \"_\" (стр. 1, поз. 1)"},
      {"<r>\n\n<1/>", "Имя должно начинаться с буквы или \"_\" (стр. 1, поз. 1)"},
      {"<r>\r\r<1/>", "Имя должно начинаться с буквы или \"_\" (стр. 2, поз. 1)"},
      {"<r>\n  x\n <1/>", "Имя должно начинаться с буквы или \"_\" (стр. 2, поз. 2)"},
      {"\n<r a='x'\r\n  b='<'/>", "Символ \"<\" не может использоваться в значениях атрибутов (стр. 2, поз. 5)"},
      {"<r>\t\xE9<1/>", "Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 6)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseError(c.text), test::HostText(c.message)) << Escaped(c.text);
}

TEST(XmlParser, NeverReadsPastTheEnd) {
  // Every prefix of a text that uses each construct either parses or fails
  // with a message; the sanitizers watch the reads. The prefixes are copied
  // so that nothing follows them in memory.
  const std::string full =
      "<?xml version=\"1.0\"?><!DOCTYPE r><r a='x&amp;&#65;&#x42;'><!-- c --><![CDATA[d]]>"
      "t&lt;<?pi x?><e b=\"2\"/></r >";
  for (std::size_t n = 0; n <= full.size(); ++n) {
    const std::string prefix = full.substr(0, n);
    auto document = CreateDocument();
    try {
      document->LoadFromText(prefix);
    } catch (const Exception& e) {
      EXPECT_FALSE(e.Message().empty());
    }
  }
}

TEST(XmlParser, BoundsTheNestingDepth) {
  auto nested = [](int depth) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += "<a>";
    for (int i = 0; i < depth; ++i) text += "</a>";
    return text;
  };
  auto document = CreateDocument();
  document->LoadFromText(nested(kXmlMaxDepth));
  int depth = 0;
  for (const TXmlNode* node = document->RootElement(); node != nullptr;
       node = node->ChildCount() > 0 ? node->Children().Item(0) : nullptr) {
    ++depth;
  }
  EXPECT_EQ(depth, kXmlMaxDepth);

  // The 513th "<a" starts at byte 512 * 3; its name one byte later.
  const std::string tooDeep = test::HostText("Слишком глубокая вложенность элементов (стр. 0, поз. 1537)");
  EXPECT_EQ(ParseError(nested(kXmlMaxDepth + 1)), tooDeep);
  const std::string deep = nested(100000);
  EXPECT_EQ(ParseError(deep), tooDeep);
}

TEST(XmlParser, ParsesLargeTexts) {
  std::string text = "<cells>";
  for (int i = 0; i < 20000; ++i) text += "<c sheet=\"1\" cell=\"A" + std::to_string(i + 1) + "\"/>\n";
  text += "</cells>";
  auto document = CreateDocument();
  document->LoadFromText(text);
  const TXmlNode* root = document->RootElement();
  ASSERT_NE(root, nullptr);
  ASSERT_EQ(root->ChildCount(), 20000);
  EXPECT_EQ(root->Children().Item(19999)->AttributeText("cell"), "A20000");
  EXPECT_EQ(root->Children().Item(123)->AttributeAsInteger("sheet"), 1);
}

}  // namespace
}  // namespace tabulon
