// The tag reader: parse the input as two parts in a row with a handler that
// reads every node through the typed accessors when it ends and lets the
// reader discard cells, rows and shared strings, as the package reader does.
#include "targets.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ooxml/xml_reader.h"
#include "platform/error.h"

using namespace tabulon;

namespace {

class TProbe final : public TXLSReadExcelXMLStream {
 protected:
  bool TagEnded(int tag) override {
    TExXMLTag& node = *CurrentNode();
    static constexpr std::string_view kStates[] = {"visible", "hidden", "veryHidden"};
    for (int attr : node.Attributes()) {
      (void)node.HasValue(attr);
      (void)node.GetBoolean(attr, true);
      (void)node.GetInteger(attr, -1);
      (void)node.GetFloat(attr, 0.5);
      (void)node.GetString(attr);
      (void)node.GetEnum(attr, 0, kStates);
      (void)node.Value(attr).Text();
    }
    // The raising accessors only where they convert something: raising is
    // slow under the sanitizers, and a missing value raises trivially.
    if (node.HasValue(xaR)) Try([&] {
      int32_t c = 0, r = 0;
      node.GetCellRef(xaR, c, r);
    });
    if (node.HasValue(xaRef)) Try([&] {
      int32_t c1 = 0, r1 = 0, c2 = 0, r2 = 0;
      node.GetAreaRef(xaRef, c1, r1, c2, r2);
    });
    if (node.HasValue(xaS)) (void)node.RequireInteger(xaS);
    if (node.HasValue(xaHt)) (void)node.RequireFloat(xaHt);
    if (node.FindChild(xtV) != nullptr) Try([&] { (void)node.RequireChildString(xtV, xaT); });
    (void)node.FindChild(xtV);
    (void)node.GetChildString(xtF, xaT);
    (void)node.GetChildFloat(xtSz, xaVal, 11);
    (void)node.GetChildBoolean(xtB, xaVal, true);
    (void)node.TextAsBoolean();
    (void)node.TextAsInteger();
    (void)node.TextAsFloat();
    (void)node.DecodedText();
    (void)node.Name();
    (void)TagToXML(node);
    if (tag == xtRow || tag == xtSi) {
      Try([&] {
        node.IterateChildren(tag == xtRow ? xtC : -1);
        while (node.NextChild() != nullptr) {
        }
      });
    }
    return tag == xtC || tag == xtRow || tag == xtSi || tag == xtRelationship;
  }

 private:
  template <typename F>
  static void Try(F&& f) {
    try {
      f();
    } catch (const Exception&) {
    }
  }
};

}  // namespace

void tabulon::fuzz::Tags(const uint8_t* data, std::size_t size) {
  TMemoryStream part;
  part.WriteBuffer(data, size);
  TProbe reader;
  for (const char16_t* name : {u"xl/worksheets/sheet1.xml", u"xl/sharedStrings.xml"}) {
    part.SetPosition(0);
    reader.SetStream(part);
    try {
      reader.Parse(name);
    } catch (const Exception&) {
    }
  }
  (void)TagToXML(*reader.Root());
}
