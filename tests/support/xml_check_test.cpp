#include "support/xml_check.h"

#include <gtest/gtest.h>

#include <string>

namespace tabulon::test {
namespace {

TEST(XmlCheck, AcceptsWellFormedTexts) {
  const std::string cases[] = {
      "<a/>",
      "<result state=\"ok\"><xls sheet=\"1\" cell=\"B3\"><![CDATA[2.5]]></xls></result>",
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- c --><a x='1' y=\"&lt;&amp;&#x41;&#9;\">t<?pi data?></a> ",
      "\xEF\xBB\xBF<a>\xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80 ]] > &quot;&apos;</a>",
      "<a><![CDATA[]]]]><![CDATA[>]]><b/></a>",
      "<ns:a xmlns:ns=\"u\"><ns:b-c.d_e/></ns:a>",
  };
  for (const std::string& text : cases) EXPECT_EQ(CheckXmlWellFormed(text), "") << text;
}

TEST(XmlCheck, RefusesWhatXmlForbids) {
  struct Case {
    std::string text;
    const char* error;
  } const cases[] = {
      {"", "byte 0: no root element"},
      {"text", "byte 0: no root element"},
      {"<a>", "byte 3: end tag </a> missing"},
      {"<a></b>", "byte 3: end tag </b> closes <a>"},
      {"<a/><b/>", "byte 4: content after the root element"},
      {"<a/>x", "byte 4: content after the root element"},
      {"<a x=1/>", "byte 5: quoted value expected for x"},
      {"<a x='1' x='2'/>", "byte 9: attribute x given twice"},
      {"<a x='<'/>", "byte 6: \"<\" in the value of x"},
      {"<a x='1'y='2'/>", "byte 8: space expected before an attribute"},
      {"<a>&nbsp;</a>", "byte 3: undeclared entity &nbsp;"},
      {"<a>& b</a>", "byte 4: a name is expected"},
      {"<a>&#1;</a>", "byte 3: character reference to a character XML does not allow"},
      {"<a>&#xFFFE;</a>", "byte 3: character reference to a character XML does not allow"},
      {"<a>&#;</a>", "byte 3: malformed character reference"},
      {std::string("<a>\0</a>", 8), "byte 3: character U+00 is not allowed in XML"},
      {"<a>\x01</a>", "byte 3: character U+01 is not allowed in XML"},
      {"<a>\xEF\xBF\xBF</a>", "byte 3: character U+FFFF is not allowed in XML"},
      {"<a>\xFF</a>", "byte 3: invalid UTF-8 byte FF"},
      {"<a>\xC3</a>", "byte 3: invalid UTF-8 byte C3"},
      {"<a>\xC0\x80</a>", "byte 3: invalid UTF-8 byte C0"},
      {"<a>\xED\xA0\x80</a>", "byte 3: invalid UTF-8 byte ED"},
      {"<a>]]></a>", "byte 3: \"]]>\" in text"},
      {"<a><![CDATA[x</a>", "byte 3: unterminated CDATA section"},
      {"<a><!-- a -- b --></a>", "byte 10: \"--\" inside a comment"},
      {"<a><?xml version='1.0'?></a>", "byte 3: processing instruction named xml (a declaration not at the start)"},
      {"<?xml encoding='UTF-8'?><a/>", "byte 0: declaration without version"},
      {"<!DOCTYPE a><a/>", "byte 0: document type declarations are not checked"},
      {"<1a/>", "byte 1: a name is expected"},
      {"</a>", "byte 0: no root element"},
  };
  for (const Case& c : cases) EXPECT_EQ(CheckXmlWellFormed(c.text), c.error) << c.text;
}

}  // namespace
}  // namespace tabulon::test
