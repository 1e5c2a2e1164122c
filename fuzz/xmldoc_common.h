// Walks a loaded document through the accessors the plug-in uses on
// configuration and request texts.
#pragma once

#include <string>

#include "platform/error.h"
#include "xmldoc/xml_document.h"

namespace tabulon::fuzz {

inline void WalkNode(const TXmlNode& node, int depth) {
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

inline void LoadAndWalk(std::string_view text) {
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

}  // namespace tabulon::fuzz
