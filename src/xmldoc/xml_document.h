// A small XML document object model with its own parser, used for the
// configuration file and the request texts. It works on 8-bit text and
// performs no character-set conversion.
//
// A document owns its nodes; every node owns its children. Pointers handed
// out stay valid until the document is loaded again or freed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "xmldoc/name_table.h"

namespace tabulon {

enum TXmlNodeType : int32_t {
  xntElement = 1,
  xntText = 3,
  xntCDATASection = 4,
  xntProcessingInstruction = 7,
  xntComment = 8,
  xntDocument = 9,
};

// The value of a node or an attribute. The text parser stores text; the
// binary form may also carry integers, floating-point numbers and booleans.
class TXmlValue {
 public:
  using Storage = std::variant<std::monostate, std::string, int32_t, double, bool>;

  TXmlValue() = default;
  explicit TXmlValue(std::string text) : value_(std::move(text)) {}
  explicit TXmlValue(int32_t number) : value_(number) {}
  explicit TXmlValue(double number) : value_(number) {}
  explicit TXmlValue(bool flag) : value_(flag) {}

  const Storage& Get() const { return value_; }
  bool IsEmpty() const { return std::holds_alternative<std::monostate>(value_); }
  // The value as text: text as it is, integers in decimal, floating-point
  // numbers with the locale's decimal symbol, booleans as "True"/"False",
  // nothing as the empty text.
  std::string AsText() const;
  // The value as a 32-bit integer (see TXmlNode::AttributeAsInteger).
  int32_t AsInteger() const;

 private:
  Storage value_;
};

class TXmlNode;

// The ordered, owning list of a node's children.
class TXmlNodeList {
 public:
  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // The child at a 0-based index; raises the list element error outside
  // 0 to Count() - 1.
  TXmlNode* Item(int32_t index) const;
  TXmlNode* Add(std::unique_ptr<TXmlNode> node);
  void Clear();

  auto begin() const { return items_.begin(); }
  auto end() const { return items_.end(); }

 private:
  std::vector<std::unique_ptr<TXmlNode>> items_;
};

class TXmlNode {
 public:
  struct TAttribute {
    int32_t name_id;
    TXmlValue value;
  };

  virtual ~TXmlNode();
  TXmlNode(const TXmlNode&) = delete;
  TXmlNode& operator=(const TXmlNode&) = delete;

  TXmlNodeType NodeType() const { return type_; }
  // The tag name of an element, the target of a processing instruction,
  // "#text", "#cdata-section", "#comment" or "#document" otherwise.
  std::string_view NodeName() const;
  // The node's own value as text: the text of a text, CDATA section,
  // comment or processing instruction (empty for elements made by the text
  // parser).
  std::string Text() const { return value_.AsText(); }
  const TXmlValue& Value() const { return value_; }
  void SetValue(TXmlValue value) { value_ = std::move(value); }

  TXmlNodeList& Children() { return children_; }
  const TXmlNodeList& Children() const { return children_; }
  int32_t ChildCount() const { return children_.Count(); }
  TXmlNode* AddChild(std::unique_ptr<TXmlNode> node) { return children_.Add(std::move(node)); }

  // Attributes, in the order in which they were first set.
  int32_t AttributeCount() const { return static_cast<int32_t>(attributes_.size()); }
  const TAttribute& Attribute(int32_t index) const;
  std::string_view AttributeName(int32_t index) const;
  bool HasAttribute(std::string_view name) const { return FindAttribute(name) != nullptr; }
  // The attribute's value as text, or def when the node has no such
  // attribute.
  std::string AttributeText(std::string_view name, std::string_view def = {}) const;
  // The attribute's value as a 32-bit integer, or def when absent. Text is
  // converted by the locale-aware conversion first, then as plain decimal
  // or hexadecimal ("$1F", "0x1F"), then as the words true (1) or false (0);
  // otherwise "Could not convert variant of type (String) into type
  // (Integer)"; a number out of range raises "Overflow while converting
  // variant of type (String) into type (Integer)".
  int32_t AttributeAsInteger(std::string_view name, int32_t def = 0) const;
  // Sets an attribute; an attribute of the same name keeps its place and
  // takes the new value.
  void SetAttribute(std::string_view name, TXmlValue value);
  void SetAttributeById(int32_t name_id, TXmlValue value);
  void ClearAttributes();

  // The first child element of the given name, or nullptr. The name must be
  // a plain name (no path expression), else the lookup is refused as not
  // supported.
  TXmlNode* FindChildElement(std::string_view name) const;

  TXmlNameTable& NameTable() const { return *names_; }

 protected:
  TXmlNode(TXmlNodeType type, TXmlNameTable* names, int32_t name_id = -1)
      : type_(type), name_id_(name_id), names_(names) {}
  void SetNameTable(TXmlNameTable* names) { names_ = names; }

 private:
  const TAttribute* FindAttribute(std::string_view name) const;
  // The position of the attribute with this name id, or -1.
  int32_t AttributePosition(int32_t name_id) const;

  TXmlNodeType type_;
  int32_t name_id_;  // elements and processing instructions only
  TXmlNameTable* names_;
  TXmlValue value_;
  std::vector<TAttribute> attributes_;
  // Name id -> position, made once the list outgrows a short scan, so that
  // setting and finding attributes stays constant-time on elements with
  // very many of them.
  std::unique_ptr<std::unordered_map<int32_t, int32_t>> attribute_index_;
  TXmlNodeList children_;
};

class TXmlElement final : public TXmlNode {
 public:
  TXmlElement(TXmlNameTable& names, int32_t name_id) : TXmlNode(xntElement, &names, name_id) {}
};

class TXmlCharacterData : public TXmlNode {
 protected:
  TXmlCharacterData(TXmlNodeType type, TXmlNameTable& names, std::string text) : TXmlNode(type, &names) {
    SetValue(TXmlValue(std::move(text)));
  }
};

class TXmlText final : public TXmlCharacterData {
 public:
  TXmlText(TXmlNameTable& names, std::string text) : TXmlCharacterData(xntText, names, std::move(text)) {}
};

class TXmlCDATASection final : public TXmlCharacterData {
 public:
  TXmlCDATASection(TXmlNameTable& names, std::string text)
      : TXmlCharacterData(xntCDATASection, names, std::move(text)) {}
};

class TXmlComment final : public TXmlCharacterData {
 public:
  TXmlComment(TXmlNameTable& names, std::string text) : TXmlCharacterData(xntComment, names, std::move(text)) {}
};

class TXmlProcessingInstruction final : public TXmlNode {
 public:
  TXmlProcessingInstruction(TXmlNameTable& names, int32_t target_id, std::string text)
      : TXmlNode(xntProcessingInstruction, &names, target_id) {
    SetValue(TXmlValue(std::move(text)));
  }
};

// Elements may nest this deep; deeper input is refused.
inline constexpr int kXmlMaxDepth = 512;

class TXmlDocument final : public TXmlNode {
 public:
  TXmlDocument();
  ~TXmlDocument() override;

  // Replaces the document's children and attributes by the content of the
  // text: the binary form when the text starts with "< binary-xml >",
  // otherwise XML text.
  void LoadFromText(std::string_view text);
  // The same from a file; every error message gets " (<file name>)" added.
  void LoadFromFile(const std::u16string& file_name);

  // The first child of type element, or nullptr.
  TXmlNode* RootElement() const;

  // Keep text nodes that hold only blanks and control characters (off by
  // default).
  bool PreserveWhiteSpace() const { return preserve_white_space_; }
  void SetPreserveWhiteSpace(bool preserve) { preserve_white_space_ = preserve; }

 private:
  void Load(std::string_view data, bool binary);

  std::unique_ptr<TXmlNameTable> own_names_;
  bool preserve_white_space_ = false;
};

// A new, empty document with its own name table.
std::unique_ptr<TXmlDocument> CreateDocument();

// Whether the text is a valid name: "_" or a letter, then letters, digits,
// "-", ".", ":" or "_".
bool IsXmlName(std::string_view name);

}  // namespace tabulon
