// Documents, node lists, attribute conversions, child lookup and loading
// from files.
#include "xmldoc/xml_document.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"
#include "support/host_text.h"

namespace tabulon {
namespace {

std::unique_ptr<TXmlDocument> Load(std::string_view text) {
  auto document = CreateDocument();
  document->LoadFromText(text);
  return document;
}

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(XmlDocument, NodesAndLists) {
  auto document = Load("<?xml version=\"1.0\"?><!-- c --><r>t<![CDATA[d]]><!-- x --><?pi y?><e/></r><s/>");
  EXPECT_EQ(document->NodeType(), xntDocument);
  EXPECT_EQ(document->NodeName(), "#document");
  ASSERT_EQ(document->ChildCount(), 4);

  TXmlNode* root = document->RootElement();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(root->NodeName(), "r");
  // A comment inside the document element counts as a child.
  const TXmlNodeList& children = root->Children();
  ASSERT_EQ(children.Count(), 5);
  const struct {
    TXmlNodeType type;
    const char* name;
    const char* text;
  } expected[] = {{xntText, "#text", "t"},
                  {xntCDATASection, "#cdata-section", "d"},
                  {xntComment, "#comment", " x "},
                  {xntProcessingInstruction, "pi", " y"},
                  {xntElement, "e", ""}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(children.Item(i)->NodeType(), expected[i].type) << i;
    EXPECT_EQ(children.Item(i)->NodeName(), expected[i].name) << i;
    EXPECT_EQ(children.Item(i)->Text(), expected[i].text) << i;
  }

  const std::string index_error = test::HostText("Ошибка получения элемента списка: индекс выходит за пределы");
  EXPECT_EQ(ErrorOf([&] { children.Item(5); }), index_error);
  EXPECT_EQ(ErrorOf([&] { children.Item(-1); }), index_error);
  EXPECT_EQ(ErrorOf([&] { Load("<r/>")->RootElement()->Children().Item(0); }), index_error);

  EXPECT_EQ(Load("<!-- only -->text")->RootElement(), nullptr);
  EXPECT_EQ(Load("")->RootElement(), nullptr);
}

TEST(XmlDocument, LoadReplacesContentAndKeepsPartialTreeOnFailure) {
  auto document = CreateDocument();
  document->LoadFromText("<a/><b/>");
  document->LoadFromText("<c x='1'/>");
  ASSERT_EQ(document->ChildCount(), 1);
  EXPECT_EQ(document->RootElement()->NodeName(), "c");

  EXPECT_THROW(document->LoadFromText("<a><b/>text<c"), Exception);
  ASSERT_EQ(document->ChildCount(), 1);
  const TXmlNode* a = document->RootElement();
  ASSERT_EQ(a->ChildCount(), 2);
  EXPECT_EQ(a->Children().Item(1)->Text(), "text");
}

TEST(XmlDocument, PreservesWhiteSpaceOnRequest) {
  auto document = CreateDocument();
  EXPECT_FALSE(document->PreserveWhiteSpace());
  document->SetPreserveWhiteSpace(true);
  document->LoadFromText("<r> <a/>\r\n</r>");
  ASSERT_EQ(document->RootElement()->ChildCount(), 3);
  EXPECT_EQ(document->RootElement()->Children().Item(2)->Text(), "\r\n");
}

TEST(XmlDocument, AttributeText) {
  auto document = Load("<c sheet=\"1\" cell=\"b&amp;3\" empty=''/>");
  const TXmlNode* c = document->RootElement();
  EXPECT_EQ(c->AttributeText("cell", ""), "b&3");
  EXPECT_EQ(c->AttributeText("empty", "def"), "");
  EXPECT_EQ(c->AttributeText("missing", "def"), "def");
  EXPECT_EQ(c->AttributeText("Cell", "def"), "def");  // names are case-sensitive
  EXPECT_EQ(c->AttributeText("never-seen-name"), "");
}

TEST(XmlDocument, AttributeAsInteger) {
  const struct {
    const char* text;
    int32_t value;
  } good[] = {
      {"42", 42},   {" -7 ", -7}, {"+5", 5},      {"-2147483648", INT32_MIN}, {"2147483647", INT32_MAX},
      {"$1F", 31},  {"0x10", 16}, {"-0X1f", -31}, {"$FFFFFFFF", -1},          {"true", 1},
      {"FALSE", 0}, {"True", 1},
  };
  for (const auto& c : good) {
    auto document = CreateDocument();
    document->SetAttribute("v", TXmlValue(std::string(c.text)));
    EXPECT_EQ(document->AttributeAsInteger("v", 99), c.value) << c.text;
  }

  const std::string convert = "Could not convert variant of type (String) into type (Integer)";
  const std::string overflow = "Overflow while converting variant of type (String) into type (Integer)";
  const struct {
    const char* text;
    const std::string& message;
  } bad[] = {
      {"abc", convert},          {"", convert},
      {"yes", convert},          {"$", convert},
      {"$1G", convert},
      {"1 2", convert},          {"2147483648", overflow},
      {"-2147483649", overflow}, {"99999999999999999999", overflow},
  };
  for (const auto& c : bad) {
    auto document = CreateDocument();
    document->SetAttribute("v", TXmlValue(std::string(c.text)));
    EXPECT_EQ(ErrorOf([&] { document->AttributeAsInteger("v"); }), c.message) << c.text;
  }
#ifndef _WIN32
  // Nine hex digits are too many. (Windows' own conversion reads the "$" as
  // the currency sign of a US locale and the rest as a decimal amount.)
  {
    auto document = CreateDocument();
    document->SetAttribute("v", TXmlValue(std::string("$100000000")));
    EXPECT_EQ(ErrorOf([&] { document->AttributeAsInteger("v"); }), convert);
  }
#endif

  auto document = Load("<c sheet='3'/>");
  EXPECT_EQ(document->RootElement()->AttributeAsInteger("sheet", 0), 3);
  EXPECT_EQ(document->RootElement()->AttributeAsInteger("row", -5), -5);
}

TEST(XmlDocument, FindChildElement) {
  auto document = Load("<config><read/>data<!--data--><data file='a'/><data file='b'/></config>");
  const TXmlNode* config = document->RootElement();
  const TXmlNode* data = config->FindChildElement("data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->AttributeText("file"), "a");
  EXPECT_EQ(config->FindChildElement("write"), nullptr);   // a name the document never used
  EXPECT_EQ(config->FindChildElement("config"), nullptr);  // only children count
  EXPECT_EQ(config->FindChildElement("Data"), nullptr);

  for (const char* invalid : {"", "data/read", "1data", "*", "data[1]", "#text"}) {
    const std::string message = ErrorOf([&] { config->FindChildElement(invalid); });
    EXPECT_NE(message.find(test::HostText("не поддерживается")), std::string::npos) << invalid << ": " << message;
  }
}

TEST(XmlDocument, EachDocumentHasItsOwnNameTable) {
  auto first = Load("<alpha beta='1'/>");
  auto second = CreateDocument();
  EXPECT_NE(&first->NameTable(), &second->NameTable());
  EXPECT_GE(first->NameTable().Find("beta"), 0);
  EXPECT_EQ(second->NameTable().Find("beta"), -1);
  const char* initial[] = {"#text", "#cdata-section", "#comment", "#document", "xml"};
  for (int32_t id = 0; id < 5; ++id) {
    EXPECT_EQ(second->NameTable().Find(initial[id]), id);
    EXPECT_EQ(second->NameTable().Name(id), initial[id]);
  }
  EXPECT_EQ(second->NameTable().Count(), 5);
  // Looking names up in a query does not grow the table.
  second->AttributeText("anything");
  EXPECT_EQ(second->NameTable().Count(), 5);
}

// Long attribute lists and name tables of many names go through indexes;
// they must behave as the short ones: first-set order, last value wins,
// every name found under its first id.
TEST(XmlDocument, ManyAttributesAndNames) {
  constexpr int kCount = 20000;
  std::string text = "<r";
  for (int i = 0; i < kCount; ++i) text += " a" + std::to_string(i) + "='" + std::to_string(i) + "'";
  // Repeats, both of a name from the scanned start and of a late one.
  text += " a3='x' a19999='y' a5='z'/>";
  auto document = Load(text);
  const TXmlNode* r = document->RootElement();
  ASSERT_EQ(r->AttributeCount(), kCount);
  for (int i : {0, 3, 5, 16, 17, 12345, kCount - 1}) EXPECT_EQ(r->AttributeName(i), "a" + std::to_string(i)) << i;
  EXPECT_EQ(r->AttributeText("a3"), "x");
  EXPECT_EQ(r->AttributeText("a5"), "z");
  EXPECT_EQ(r->AttributeText("a19999"), "y");
  EXPECT_EQ(r->AttributeText("a17"), "17");
  EXPECT_EQ(r->AttributeAsInteger("a12345"), 12345);
  EXPECT_EQ(r->AttributeText("a20000", "none"), "none");

  // Setting and clearing by hand keeps the index in step.
  auto other = CreateDocument();
  TXmlNode& node = *other;
  for (int i = 0; i < 40; ++i) node.SetAttribute("n" + std::to_string(i % 30), TXmlValue(std::to_string(i)));
  EXPECT_EQ(node.AttributeCount(), 30);
  EXPECT_EQ(node.AttributeText("n5"), "35");
  node.ClearAttributes();
  EXPECT_EQ(node.AttributeText("n5", "gone"), "gone");
  node.SetAttribute("n5", TXmlValue(std::string("again")));
  EXPECT_EQ(node.AttributeCount(), 1);
  EXPECT_EQ(node.AttributeText("n5"), "again");

  TXmlNameTable& names = document->NameTable();
  ASSERT_EQ(names.Count(), 5 + 1 + kCount);
  for (int i = 0; i < kCount; i += 997) EXPECT_EQ(names.Find("a" + std::to_string(i)), 6 + i) << i;
  // An appended duplicate gets its own id but is never what Find answers,
  // also after the table has grown again.
  const int32_t duplicate = names.Append("a42");
  EXPECT_EQ(names.Name(duplicate), "a42");
  for (int i = 0; i < kCount; ++i) names.Add("b" + std::to_string(i));
  EXPECT_EQ(names.Find("a42"), 6 + 42);
  EXPECT_EQ(names.Find("b19999"), duplicate + kCount);
  names.Clear();
  EXPECT_EQ(names.Find("a42"), -1);
  EXPECT_EQ(names.Add("c"), 0);
}

class XmlFile : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = platform::TempDirectory() +
            platform::HostToWide("tabulon-xmldoc-" + std::to_string(platform::TickCount()) + "-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".xml");
  }
  void TearDown() override { platform::DeleteFile(name_); }
  void Write(const std::string& content) {
    platform::DeleteFile(name_);
    auto file = TFileStream::CreateExclusive(name_);
    ASSERT_NE(file, nullptr);
    file->WriteBuffer(content.data(), content.size());
  }
  std::string HostName() const { return platform::WideToHost(name_); }

  std::u16string name_;
};

TEST_F(XmlFile, LoadsTextLargerThanOneBuffer) {
  const std::string big(200000, 'x');
  Write("<config>\r\n<data file='" + big + "'/></config>");
  auto document = CreateDocument();
  document->LoadFromFile(name_);
  EXPECT_EQ(document->RootElement()->FindChildElement("data")->AttributeText("file"), big);
}

TEST_F(XmlFile, AddsTheFileNameToErrors) {
  Write("<config>\n<data file='x'></config>");
  auto document = CreateDocument();
  EXPECT_EQ(ErrorOf([&] { document->LoadFromFile(name_); }),
            test::HostText("Ожидается \"data\" (стр. 1, поз. 17) (") + HostName() + ")");

  // A file of just the signature is no binary document: it is parsed as text.
  Write("< binary-xml >");
  EXPECT_EQ(ErrorOf([&] { document->LoadFromFile(name_); }),
            test::HostText("Имя должно начинаться с буквы или \"_\" (стр. 0, поз. 1) (") + HostName() + ")");

  platform::DeleteFile(name_);
  const std::string message = ErrorOf([&] { document->LoadFromFile(name_); });
  EXPECT_EQ(message.rfind("Cannot open file", 0), 0u) << message;
  EXPECT_EQ(message.substr(message.size() - HostName().size() - 3), " (" + HostName() + ")");
}

}  // namespace
}  // namespace tabulon
