// The XML document module, text and binary form: load, then walk the
// document through the accessors the plug-in uses on configuration and
// request texts.
#include "targets.h"

#include <string>

#include "platform/error.h"
#include "xmldoc/xml_document.h"

namespace tabulon::fuzz {

namespace {

void WalkNode(const TXmlNode& node, int depth) {
  (void)node.NodeName();
  (void)node.Text();
  for (int32_t i = 0; i < node.AttributeCount(); ++i) {
    (void)node.AttributeName(i);
    (void)node.Attribute(i).value.AsText();
    try {
      (void)node.Attribute(i).value.AsInteger();
    } catch (const Exception&) {
    }
  }
  (void)node.AttributeText("cell", "none");
  try {
    (void)node.AttributeAsInteger("sheet", 0);
  } catch (const Exception&) {
  }
  try {
    (void)node.FindChildElement("read");
  } catch (const Exception&) {
  }
  for (const auto& child : node.Children()) WalkNode(*child, depth + 1);
}

void LoadAndWalk(std::string_view text) {
  std::unique_ptr<TXmlDocument> document = CreateDocument();
  try {
    document->LoadFromText(text);
  } catch (const Exception& e) {
    (void)e.Message();
  }
  // A failed load leaves what was built so far; it must be as usable.
  WalkNode(*document, 0);
  (void)document->RootElement();
  try {
    (void)document->Children().Item(document->ChildCount());
  } catch (const Exception&) {
  }
}

}  // namespace

void XmldocText(const uint8_t* data, std::size_t size) {
  LoadAndWalk(std::string_view(reinterpret_cast<const char*>(data), size));
}

void XmldocBinary(const uint8_t* data, std::size_t size) {
  std::string text = "< binary-xml >";
  text.append(reinterpret_cast<const char*>(data), size);
  LoadAndWalk(text);
}

}  // namespace tabulon::fuzz
