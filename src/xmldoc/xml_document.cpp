#include "xmldoc/xml_document.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/error.h"
#include "platform/platform.h"
#include "platform/stream.h"
#include "xmldoc/xml_messages.h"
#include "xmldoc/xml_reader.h"

namespace tabulon {

std::string xmlmsg::Msg(const char16_t* message) { return platform::WideToHost(message); }

namespace {

[[noreturn]] void ThrowConvertError(const char* from) { Throw(Format(xmlmsg::kConvertError, from, "Integer")); }
[[noreturn]] void ThrowOverflow(const char* from) { Throw(Format(xmlmsg::kOverflowError, from, "Integer")); }

// Plain decimal or hexadecimal text to integer: leading blanks, an optional
// sign, then decimal digits or "$", "0x", "0X" and hexadecimal digits; the
// whole text must be used. Hexadecimal takes up to 32 bits ("$FFFFFFFF" is
// -1). False when the text is no such number or out of range.
bool TryPlainTextToInt(std::string_view s, int32_t& value) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  bool hex = false;
  if (i < s.size() && s[i] == '$') {
    hex = true;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    hex = true;
    i += 2;
  }
  if (i >= s.size()) return false;
  uint64_t number = 0;
  const uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 0x80000000ull : 0x7FFFFFFFull);
  for (; i < s.size(); ++i) {
    const char c = s[i];
    unsigned digit;
    if (c >= '0' && c <= '9')
      digit = static_cast<unsigned>(c - '0');
    else if (hex && c >= 'a' && c <= 'f')
      digit = static_cast<unsigned>(c - 'a' + 10);
    else if (hex && c >= 'A' && c <= 'F')
      digit = static_cast<unsigned>(c - 'A' + 10);
    else
      return false;
    number = number * (hex ? 16 : 10) + digit;
    if (number > limit) return false;
  }
  uint32_t bits = static_cast<uint32_t>(number);
  if (negative) bits = 0u - bits;
  value = static_cast<int32_t>(bits);
  return true;
}

bool SameAsciiText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

int32_t TextToInteger(const std::string& text) {
  int32_t value = 0;
  switch (platform::LocaleTextToInt32(text, value)) {
    case platform::IntConversion::kOk:
      return value;
    case platform::IntConversion::kOverflow:
      ThrowOverflow("String");
    case platform::IntConversion::kTypeMismatch:
      break;
  }
  if (TryPlainTextToInt(text, value)) return value;
  if (SameAsciiText(text, "true")) return 1;
  if (SameAsciiText(text, "false")) return 0;
  ThrowConvertError("String");
}

}  // namespace

// ---- TXmlValue ---------------------------------------------------------------

std::string TXmlValue::AsText() const {
  struct Visitor {
    std::string operator()(std::monostate) const { return {}; }
    std::string operator()(const std::string& text) const { return text; }
    std::string operator()(int32_t number) const { return std::to_string(number); }
    std::string operator()(bool flag) const { return flag ? "True" : "False"; }
    std::string operator()(double number) const {
      char buffer[40];
      const int n = std::snprintf(buffer, sizeof buffer, "%.15g", number);
      std::string text(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
      const std::size_t point = text.find('.');
      if (point != std::string::npos) {
        const char16_t symbol[1] = {platform::DecimalSymbol()};
        text.replace(point, 1, platform::WideToHost(std::u16string_view(symbol, 1)));
      }
      return text;
    }
  };
  return std::visit(Visitor{}, value_);
}

int32_t TXmlValue::AsInteger() const {
  struct Visitor {
    int32_t operator()(std::monostate) const { return 0; }
    int32_t operator()(const std::string& text) const { return TextToInteger(text); }
    int32_t operator()(int32_t number) const { return number; }
    int32_t operator()(bool flag) const { return flag ? 1 : 0; }
    int32_t operator()(double number) const {
      // Rounds half to even, as the locale-aware text conversion does.
      const double rounded = std::nearbyint(number);
      if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) ThrowOverflow("Double");
      return static_cast<int32_t>(rounded);
    }
  };
  return std::visit(Visitor{}, value_);
}

// ---- TXmlNodeList --------------------------------------------------------------

TXmlNode* TXmlNodeList::Item(int32_t index) const {
  if (index < 0 || index >= Count()) Throw(xmlmsg::Msg(xmlmsg::kListIndex));
  return items_[static_cast<std::size_t>(index)].get();
}

TXmlNode* TXmlNodeList::Add(std::unique_ptr<TXmlNode> node) {
  items_.push_back(std::move(node));
  return items_.back().get();
}

void TXmlNodeList::Clear() { items_.clear(); }

// ---- TXmlNode ---------------------------------------------------------------------

TXmlNode::~TXmlNode() = default;

std::string_view TXmlNode::NodeName() const {
  switch (type_) {
    case xntElement:
    case xntProcessingInstruction:
      return names_->Name(name_id_);
    case xntText:
      return "#text";
    case xntCDATASection:
      return "#cdata-section";
    case xntComment:
      return "#comment";
    case xntDocument:
      return "#document";
  }
  return {};
}

const TXmlNode::TAttribute& TXmlNode::Attribute(int32_t index) const {
  if (index < 0 || index >= AttributeCount()) Throw(xmlmsg::Msg(xmlmsg::kListIndex));
  return attributes_[static_cast<std::size_t>(index)];
}

std::string_view TXmlNode::AttributeName(int32_t index) const { return names_->Name(Attribute(index).name_id); }

// Lists up to this length are scanned; longer ones keep an index.
constexpr std::size_t kScannedAttributes = 16;

int32_t TXmlNode::AttributePosition(int32_t name_id) const {
  if (attribute_index_ != nullptr) {
    const auto it = attribute_index_->find(name_id);
    return it != attribute_index_->end() ? it->second : -1;
  }
  for (std::size_t i = 0; i < attributes_.size(); ++i) {
    if (attributes_[i].name_id == name_id) return static_cast<int32_t>(i);
  }
  return -1;
}

const TXmlNode::TAttribute* TXmlNode::FindAttribute(std::string_view name) const {
  // A name the table does not hold belongs to no attribute.
  const int32_t id = names_->Find(name);
  if (id < 0) return nullptr;
  const int32_t at = AttributePosition(id);
  return at >= 0 ? &attributes_[static_cast<std::size_t>(at)] : nullptr;
}

std::string TXmlNode::AttributeText(std::string_view name, std::string_view def) const {
  const TAttribute* attribute = FindAttribute(name);
  return attribute != nullptr ? attribute->value.AsText() : std::string(def);
}

int32_t TXmlNode::AttributeAsInteger(std::string_view name, int32_t def) const {
  const TAttribute* attribute = FindAttribute(name);
  return attribute != nullptr ? attribute->value.AsInteger() : def;
}

void TXmlNode::SetAttribute(std::string_view name, TXmlValue value) {
  SetAttributeById(names_->Add(name), std::move(value));
}

void TXmlNode::SetAttributeById(int32_t name_id, TXmlValue value) {
  const int32_t at = AttributePosition(name_id);
  if (at >= 0) {
    attributes_[static_cast<std::size_t>(at)].value = std::move(value);
    return;
  }
  // Grow by 4 while small, by 16 up to 64 entries, then by a quarter.
  const std::size_t size = attributes_.size();
  if (size == attributes_.capacity()) attributes_.reserve(size + (size < 9 ? 4 : size <= 64 ? 16 : size / 4));
  attributes_.push_back(TAttribute{name_id, std::move(value)});
  if (attribute_index_ != nullptr) {
    attribute_index_->emplace(name_id, static_cast<int32_t>(size));
  } else if (attributes_.size() > kScannedAttributes) {
    attribute_index_ = std::make_unique<std::unordered_map<int32_t, int32_t>>();
    for (std::size_t i = 0; i < attributes_.size(); ++i)
      attribute_index_->emplace(attributes_[i].name_id, static_cast<int32_t>(i));
  }
}

void TXmlNode::ClearAttributes() {
  attributes_.clear();
  attribute_index_.reset();
}

TXmlNode* TXmlNode::FindChildElement(std::string_view name) const {
  if (!IsXmlName(name)) Throw(Format(xmlmsg::Msg(xmlmsg::kNotSupported).c_str(), std::string(name).c_str()));
  const int32_t id = names_->Find(name);
  if (id < 0) return nullptr;
  for (const auto& child : children_) {
    if (child->type_ == xntElement && child->name_id_ == id) return child.get();
  }
  return nullptr;
}

// ---- TXmlDocument -------------------------------------------------------------------

TXmlDocument::TXmlDocument() : TXmlNode(xntDocument, nullptr), own_names_(std::make_unique<TXmlNameTable>()) {
  SetNameTable(own_names_.get());
}

// Children go before the name table they refer to.
TXmlDocument::~TXmlDocument() { Children().Clear(); }

void TXmlDocument::Load(std::string_view data, bool binary) {
  Children().Clear();
  ClearAttributes();
  if (binary) {
    xmlread::ReadBinary(*this, data.substr(xmlread::kBinarySignature.size()));
  } else {
    xmlread::ParseText(*this, data);
  }
}

void TXmlDocument::LoadFromText(std::string_view text) {
  Load(text, text.substr(0, xmlread::kBinarySignature.size()) == xmlread::kBinarySignature);
}

void TXmlDocument::LoadFromFile(const std::u16string& file_name) {
  try {
    std::unique_ptr<TFileStream> file = TFileStream::OpenRead(file_name);
    std::string data;
    constexpr std::size_t kChunk = 64 * 1024;
    for (;;) {
      const std::size_t have = data.size();
      data.resize(have + kChunk);
      const std::size_t got = file->Read(data.data() + have, kChunk);
      data.resize(have + got);
      if (got == 0) break;
    }
    file.reset();
    Load(data, data.size() > xmlread::kBinarySignature.size() &&
                   std::string_view(data).substr(0, xmlread::kBinarySignature.size()) == xmlread::kBinarySignature);
  } catch (const Exception& e) {
    Throw(Format("%s (%s)", e.Message().c_str(), platform::WideToHost(file_name).c_str()));
  }
}

TXmlNode* TXmlDocument::RootElement() const {
  for (const auto& child : Children()) {
    if (child->NodeType() == xntElement) return child.get();
  }
  return nullptr;
}

std::unique_ptr<TXmlDocument> CreateDocument() { return std::make_unique<TXmlDocument>(); }

bool IsXmlName(std::string_view name) {
  if (name.empty()) return false;
  const auto first = static_cast<unsigned char>(name[0]);
  if (first != '_' && !platform::IsAnsiAlpha(first)) return false;
  for (char c : name.substr(1)) {
    if (c != '_' && c != '-' && c != '.' && c != ':' && !platform::IsAnsiAlphaNumeric(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

}  // namespace tabulon
