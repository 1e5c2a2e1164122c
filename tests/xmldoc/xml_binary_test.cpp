// The binary document form, built byte by byte: valid documents and hostile
// ones.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/error.h"
#include "support/host_text.h"
#include "xmldoc/xml_document.h"

namespace tabulon {
namespace {

const std::string kReadError = test::HostText("Ошибка чтения данных.");

// Writes the pieces of a binary document.
class Bin {
 public:
  explicit Bin(uint32_t flags = 0) : wide_((flags & 1) != 0) {
    out_ = "< binary-xml >";
    U32(flags);
  }
  Bin& Byte(uint8_t b) {
    out_ += static_cast<char>(b);
    return *this;
  }
  Bin& U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) Byte(static_cast<uint8_t>(v >> (8 * i)));
    return *this;
  }
  Bin& Compact(uint32_t v) {
    if (v < 128) return Byte(static_cast<uint8_t>(v));
    if (v <= 0x7EFF) return Byte(static_cast<uint8_t>(0x80 | (v >> 8))).Byte(static_cast<uint8_t>(v));
    return Byte(255).U32(v);
  }
  Bin& Text(std::string_view s) {
    Compact(static_cast<uint32_t>(s.size()));
    for (char c : s) {
      Byte(static_cast<uint8_t>(c));
      if (wide_) Byte(0);
    }
    return *this;
  }
  Bin& WideText(std::u16string_view s) {
    Compact(static_cast<uint32_t>(s.size()));
    for (char16_t c : s) Byte(static_cast<uint8_t>(c)).Byte(static_cast<uint8_t>(c >> 8));
    return *this;
  }
  // The name table with one bucket that lists every id.
  Bin& Names(const std::vector<std::string>& names) {
    Compact(static_cast<uint32_t>(names.size()));
    for (const auto& n : names) Text(n);
    Compact(4096).Compact(1).Compact(7).Compact(static_cast<uint32_t>(names.size()));
    for (uint32_t id = 0; id < names.size(); ++id) U32(id);
    return *this;
  }
  Bin& TextValue(std::string_view s) { return Byte(1).Text(s); }
  const std::string& Data() const { return out_; }

 private:
  bool wide_;
  std::string out_;
};

const std::vector<std::string> kNames = {"#text", "#cdata-section", "#comment", "#document", "xml", "root",
                                         "a",     "item",           "version"};
enum : uint32_t { kXml = 4, kRoot = 5, kA = 6, kItem = 7, kVersion = 8 };

// A document with every node type and every value type.
Bin Sample(uint32_t flags = 0) {
  Bin b(flags);
  b.Names(kNames);
  b.Compact(1).Compact(kA).Byte(2).U32(7);  // document attribute a = 7
  b.Compact(2);
  b.Byte(7).Compact(kXml).Text("").Compact(1).Compact(kVersion).TextValue("1.0").Compact(0);
  b.Byte(1).Compact(kRoot).Byte(0).Compact(1).Compact(kA).TextValue("v").Compact(6);
  {
    b.Byte(3).TextValue("hi");
    b.Byte(4).Text("<c>");
    b.Byte(8).Text("note");
    b.Byte(1).Compact(kItem).TextValue("own").Compact(2).Compact(kA).Byte(4).Byte(1).Compact(kVersion);
    b.Byte(3);
    uint64_t bits;
    const double number = 2.5;
    std::memcpy(&bits, &number, 8);
    for (int i = 0; i < 8; ++i) b.Byte(static_cast<uint8_t>(bits >> (8 * i)));
    b.Compact(0);
    b.Byte(7).Compact(kItem).Text("data").Compact(0).Compact(0);
    b.Byte(3).Byte(2).U32(static_cast<uint32_t>(-12));
  }
  return b;
}

std::string ErrorOf(const std::string& data) {
  auto document = CreateDocument();
  try {
    document->LoadFromText(data);
  } catch (const Exception& e) {
    return e.Message();
  }
  return "(no error)";
}

TEST(XmlBinary, ReadsEveryNodeAndValueType) {
  for (uint32_t flags : {0u, 1u}) {
    auto document = CreateDocument();
    document->LoadFromText(Sample(flags).Data());
    EXPECT_EQ(document->AttributeAsInteger("a"), 7);
    ASSERT_EQ(document->ChildCount(), 2);
    const TXmlNode* declaration = document->Children().Item(0);
    EXPECT_EQ(declaration->NodeType(), xntProcessingInstruction);
    EXPECT_EQ(declaration->NodeName(), "xml");
    EXPECT_EQ(declaration->AttributeText("version"), "1.0");

    const TXmlNode* root = document->RootElement();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->NodeName(), "root");
    EXPECT_EQ(root->AttributeText("a"), "v");
    ASSERT_EQ(root->ChildCount(), 6);
    const TXmlNodeList& c = root->Children();
    EXPECT_EQ(c.Item(0)->NodeType(), xntText);
    EXPECT_EQ(c.Item(0)->Text(), "hi");
    EXPECT_EQ(c.Item(1)->NodeType(), xntCDATASection);
    EXPECT_EQ(c.Item(1)->Text(), "<c>");
    EXPECT_EQ(c.Item(2)->NodeType(), xntComment);
    EXPECT_EQ(c.Item(2)->Text(), "note");
    const TXmlNode* item = root->FindChildElement("item");
    ASSERT_EQ(item, c.Item(3));
    EXPECT_EQ(item->Text(), "own");
    EXPECT_EQ(item->AttributeText("a"), "True");
    EXPECT_EQ(item->AttributeAsInteger("a"), 1);
    EXPECT_EQ(item->AttributeAsInteger("version"), 2);  // 2.5 rounds half to even
    EXPECT_EQ(c.Item(4)->NodeType(), xntProcessingInstruction);
    EXPECT_EQ(c.Item(4)->NodeName(), "item");
    EXPECT_EQ(c.Item(4)->Text(), "data");
    EXPECT_EQ(c.Item(5)->Text(), "-12");
    EXPECT_EQ(c.Item(5)->Value().AsInteger(), -12);
  }
}

TEST(XmlBinary, WideTextsBecomeAnsi) {
  Bin b(1);
  b.Compact(1).WideText(u"\u00e9l\u00e8ve");
  b.Compact(1).Compact(1).Compact(0).Compact(0);
  b.Compact(0).Compact(1).Byte(1).Compact(0).Byte(1).WideText(u"\u03a9\u20ac").Compact(0).Compact(0);
  auto document = CreateDocument();
  document->LoadFromText(b.Data());
  ASSERT_NE(document->RootElement(), nullptr);
  EXPECT_EQ(document->RootElement()->NodeName(), "\xE9l\xE8ve");
  EXPECT_EQ(document->RootElement()->Text(), "?\x80");  // no omega in the code page; the euro sign is 0x80
}

TEST(XmlBinary, CompactNumbersOfAllWidths) {
  // 300 names (two-byte count), an element named by the one-byte-escape
  // form (255 + 32-bit id) and one by a two-byte id.
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) names.push_back("n" + std::to_string(i));
  Bin b;
  b.Names(names);
  b.Compact(0).Compact(2);
  b.Byte(1).Byte(255).U32(299).Byte(0).Compact(0).Compact(0);
  b.Byte(1).Byte(0x81).Byte(0x00).Byte(0).Compact(0).Compact(0);
  auto document = CreateDocument();
  document->LoadFromText(b.Data());
  ASSERT_EQ(document->ChildCount(), 2);
  EXPECT_EQ(document->Children().Item(0)->NodeName(), "n299");
  EXPECT_EQ(document->Children().Item(1)->NodeName(), "n256");
  // The stored table replaced the document's: ids are the stored positions.
  EXPECT_EQ(document->NameTable().Count(), 300);
  EXPECT_EQ(document->NameTable().Find("n7"), 7);
}

TEST(XmlBinary, RefusesHostileInput) {
  auto table_then = [](auto&& build) {
    Bin b;
    build(b);
    return b.Data();
  };
  const struct {
    const char* what;
    std::string data;
  } cases[] = {
      {"signature only", "< binary-xml >"},
      {"short flags", std::string("< binary-xml >\x01\x00", 16)},
      {"huge name count", table_then([](Bin& b) { b.Byte(255).U32(0xFFFFFFFF); })},
      {"name longer than the data", table_then([](Bin& b) { b.Compact(1).Compact(50).Byte('a'); })},
      {"odd wide name",
       [] {
         Bin b(1);
         b.Compact(1).Compact(2).Byte('a').Byte(0).Byte('b');
         return b.Data();
       }()},
      {"no buckets", table_then([](Bin& b) { b.Compact(1).Text("a").Compact(0).Compact(0); })},
      {"more used buckets than buckets", table_then([](Bin& b) {
         b.Compact(1).Text("a").Compact(1).Compact(2).Compact(0).Compact(0).Compact(0).Compact(0);
       })},
      {"bucket index out of range",
       table_then([](Bin& b) { b.Compact(1).Text("a").Compact(16).Compact(1).Compact(16).Compact(1).U32(0); })},
      {"huge id count", table_then([](Bin& b) {
         b.Compact(1).Text("a").Compact(16).Compact(1).Compact(3).Byte(255).U32(0x40000000).U32(0);
       })},
      {"bucket id out of range",
       table_then([](Bin& b) { b.Compact(1).Text("a").Compact(16).Compact(1).Compact(3).Compact(1).U32(1); })},
      {"attribute name id out of range", table_then([](Bin& b) { b.Names(kNames).Compact(1).Compact(9).Byte(0); })},
      {"huge attribute count",
       table_then([](Bin& b) { b.Names(kNames).Byte(255).U32(0x7FFFFFFF).Compact(kA).Byte(0); })},
      {"unknown value type", table_then([](Bin& b) { b.Names(kNames).Compact(1).Compact(kA).Byte(9); })},
      {"short integer value", table_then([](Bin& b) { b.Names(kNames).Compact(1).Compact(kA).Byte(2).Byte(1); })},
      {"short double value", table_then([](Bin& b) { b.Names(kNames).Compact(1).Compact(kA).Byte(3).U32(0); })},
      {"huge child count",
       table_then([](Bin& b) { b.Names(kNames).Compact(0).Byte(255).U32(0xFFFFFFFF).Byte(8).Text(""); })},
      {"missing children", table_then([](Bin& b) { b.Names(kNames).Compact(0).Compact(3).Byte(8).Text(""); })},
      {"element name id out of range", table_then([](Bin& b) {
         b.Names(kNames).Compact(0).Compact(1).Byte(1).Compact(200).Byte(0).Compact(0).Compact(0);
       })},
      {"instruction name id out of range", table_then([](Bin& b) {
         b.Names(kNames).Compact(0).Compact(1).Byte(7).Compact(9).Text("").Compact(0).Compact(0);
       })},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.data), kReadError) << c.what;

  Bin b;
  b.Names(kNames).Compact(0).Compact(1).Byte(2);
  EXPECT_EQ(ErrorOf(b.Data()), test::HostText("Ошибка чтения двоичного XML: некорректный тип узла"));
}

TEST(XmlBinary, EveryTruncationFailsCleanly) {
  const std::string full = Sample(1).Data();
  for (std::size_t n = 14; n < full.size(); ++n) {
    // A copy, so that nothing follows the prefix in memory.
    const std::string prefix = full.substr(0, n);
    EXPECT_EQ(ErrorOf(prefix), kReadError) << n;
  }
  EXPECT_EQ(ErrorOf(full), "(no error)");
}

TEST(XmlBinary, BoundsTheNestingDepth) {
  auto nested = [](int depth) {
    Bin b;
    b.Names(kNames).Compact(0);
    for (int i = 0; i < depth; ++i) b.Compact(1).Byte(1).Compact(kItem).Byte(0).Compact(0);
    b.Compact(0);
    return b.Data();
  };
  auto document = CreateDocument();
  document->LoadFromText(nested(kXmlMaxDepth));
  int depth = 0;
  for (const TXmlNode* node = document->RootElement(); node != nullptr;
       node = node->ChildCount() > 0 ? node->Children().Item(0) : nullptr) {
    ++depth;
  }
  EXPECT_EQ(depth, kXmlMaxDepth);
  EXPECT_EQ(ErrorOf(nested(kXmlMaxDepth + 1)), kReadError);
  EXPECT_EQ(ErrorOf(nested(100000)), kReadError);
}

}  // namespace
}  // namespace tabulon
