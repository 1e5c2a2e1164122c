// Reader of the binary document form. Layout after the 14-byte signature
// "< binary-xml >" (all fixed-size numbers little-endian):
//
//   flags        32-bit word; bit 0 set: texts are UTF-16, else 8-bit
//   name table   count, then count texts (the names, ids 0, 1, ...);
//                bucket count (above 0); count of non-empty buckets, each
//                as bucket index, id count and that many 32-bit ids
//   document     attributes, then children (below)
//
//   attributes   count, each as name id and value
//   children     count, each as a type byte and then
//                  1 element:     name id, value (its own text), attributes, children
//                  3 text:        value
//                  4 CDATA:       text
//                  7 instruction: name id, text, attributes, children
//                  8 comment:     text
//
// Counts, ids and lengths are compact numbers: a byte 0-127 is the value;
// a byte 255 is followed by the 32-bit value; any other byte b is followed
// by a byte c and gives ((b << 8) & 0x7FFF) | c.
// A text is a compact length (in characters) and the characters: bytes, or
// 16-bit units converted to the ANSI code page.
// A value is a type byte and then:
//   0 nothing   1 text   2 32-bit integer   3 64-bit IEEE double
//   4 boolean (one byte, 0 false, anything else true)
//
// Every count, length, bucket index, name id and nesting level is checked
// against what the input really holds; a violation raises "Ошибка чтения
// данных.".
#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"
#include "xmldoc/xml_messages.h"
#include "xmldoc/xml_reader.h"

namespace tabulon::xmlread {

namespace {

class TXmlBinaryReader {
 public:
  TXmlBinaryReader(TXmlDocument& document, std::string_view data)
      : document_(document),
        names_(document.NameTable()),
        p_(reinterpret_cast<const uint8_t*>(data.data())),
        end_(p_ + data.size()) {}

  void Run() {
    wide_ = (ReadUInt32() & 1) != 0;
    ReadNameTable();
    ReadNodeBody(document_, 0);
  }

 private:
  [[noreturn]] static void Fail() { Throw(xmlmsg::Msg(xmlmsg::kReadError)); }

  std::size_t Left() const { return static_cast<std::size_t>(end_ - p_); }
  void Need(std::size_t count) const {
    if (count > Left()) Fail();
  }
  uint8_t ReadByte() {
    Need(1);
    return *p_++;
  }
  uint32_t ReadUInt32() {
    Need(4);
    const uint32_t value = static_cast<uint32_t>(p_[0]) | static_cast<uint32_t>(p_[1]) << 8 |
                           static_cast<uint32_t>(p_[2]) << 16 | static_cast<uint32_t>(p_[3]) << 24;
    p_ += 4;
    return value;
  }
  uint32_t ReadCompact() {
    const uint8_t first = ReadByte();
    if (first < 128) return first;
    if (first == 255) return ReadUInt32();
    return ((static_cast<uint32_t>(first) << 8) & 0x7FFF) | ReadByte();
  }
  // A count of items that take at least item_size bytes each.
  uint32_t ReadCount(std::size_t item_size) {
    const uint32_t count = ReadCompact();
    if (count > Left() / item_size) Fail();
    return count;
  }
  std::string ReadText() {
    if (!wide_) {
      const uint32_t length = ReadCount(1);
      std::string text(reinterpret_cast<const char*>(p_), length);
      p_ += length;
      return text;
    }
    const uint32_t length = ReadCount(2);
    std::u16string wide(length, u'\0');
    for (char16_t& c : wide) {
      c = static_cast<char16_t>(p_[0] | p_[1] << 8);
      p_ += 2;
    }
    return platform::WideToAnsi(wide);
  }
  int32_t ReadNameId() {
    const uint32_t id = ReadCompact();
    if (id >= static_cast<uint32_t>(name_count_)) Fail();
    return static_cast<int32_t>(id);
  }
  TXmlValue ReadValue() {
    switch (ReadByte()) {
      case 0:
        return TXmlValue();
      case 1:
        return TXmlValue(ReadText());
      case 2:
        return TXmlValue(static_cast<int32_t>(ReadUInt32()));
      case 3: {
        Need(8);
        uint64_t bits = 0;
        for (int i = 7; i >= 0; --i) bits = bits << 8 | p_[i];
        p_ += 8;
        double number;
        std::memcpy(&number, &bits, sizeof number);
        return TXmlValue(number);
      }
      case 4:
        return TXmlValue(ReadByte() != 0);
      default:
        Fail();
    }
  }

  void ReadNameTable() {
    names_.Clear();
    const uint32_t count = ReadCount(1);
    for (uint32_t i = 0; i < count; ++i) names_.Append(ReadText());
    name_count_ = names_.Count();
    // The stored buckets belong to the writer's hash; they are checked and
    // the table keeps its own.
    const uint32_t buckets = ReadCompact();
    if (buckets == 0) Fail();
    const uint32_t used = ReadCount(2);
    if (used > buckets) Fail();
    for (uint32_t i = 0; i < used; ++i) {
      if (ReadCompact() >= buckets) Fail();
      const uint32_t ids = ReadCount(4);
      for (uint32_t k = 0; k < ids; ++k) {
        if (ReadUInt32() >= static_cast<uint32_t>(name_count_)) Fail();
      }
    }
  }

  // Attributes and children of a node at the given nesting level.
  void ReadNodeBody(TXmlNode& node, int depth) {
    const uint32_t attributes = ReadCount(2);
    for (uint32_t i = 0; i < attributes; ++i) {
      const int32_t id = ReadNameId();
      node.SetAttributeById(id, ReadValue());
    }
    const uint32_t children = ReadCount(1);
    for (uint32_t i = 0; i < children; ++i) {
      switch (ReadByte()) {
        case xntElement: {
          if (depth >= kXmlMaxDepth) Fail();
          TXmlNode* element = node.AddChild(std::make_unique<TXmlElement>(names_, ReadNameId()));
          element->SetValue(ReadValue());
          ReadNodeBody(*element, depth + 1);
          break;
        }
        case xntText: {
          TXmlNode* text = node.AddChild(std::make_unique<TXmlText>(names_, std::string()));
          text->SetValue(ReadValue());
          break;
        }
        case xntCDATASection:
          node.AddChild(std::make_unique<TXmlCDATASection>(names_, ReadText()));
          break;
        case xntProcessingInstruction: {
          if (depth >= kXmlMaxDepth) Fail();
          const int32_t id = ReadNameId();
          TXmlNode* instruction = node.AddChild(std::make_unique<TXmlProcessingInstruction>(names_, id, ReadText()));
          ReadNodeBody(*instruction, depth + 1);
          break;
        }
        case xntComment:
          node.AddChild(std::make_unique<TXmlComment>(names_, ReadText()));
          break;
        default:
          Throw(xmlmsg::Msg(xmlmsg::kBinaryNodeType));
      }
    }
  }

  TXmlDocument& document_;
  TXmlNameTable& names_;
  const uint8_t* p_;
  const uint8_t* const end_;
  bool wide_ = false;
  int32_t name_count_ = 0;
};

}  // namespace

void ReadBinary(TXmlDocument& document, std::string_view data) { TXmlBinaryReader(document, data).Run(); }

}  // namespace tabulon::xmlread
