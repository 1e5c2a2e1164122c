// The tag reader of Open XML package parts: a small streaming reader that
// knows a fixed vocabulary of element and attribute names, turns each known
// element into a node with its attribute values stored by attribute number,
// keeps the nodes in a tree and reports the start and end of every element.
//
// Three layers: TXLSReadXML (the tokenizer), TXLSReadXMLStream (bytes from an
// in-memory stream) and TXLSReadExcelXMLStream (names, nodes, hooks).
//
// Text model: a part is read as bytes; names, values and texts are byte
// strings in the ANSI code page, widened byte for byte when asked for as wide
// strings. Element texts become their final characters through DecodeText.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ooxml/xml_text.h"
#include "platform/stream.h"

namespace tabulon {

inline constexpr int kTagCount = 163;
inline constexpr int kAttrCount = 199;
// Tag number of an element whose name is not in the tag table.
inline constexpr int kTagUnknown = 999;
// Deepest nesting of elements a part may have.
inline constexpr int kMaxXMLLevel = 1024;
// Most elements a reader holds at once: finished elements that no handler
// has let go of count until they are discarded.
inline constexpr std::size_t kMaxXMLNodes = std::size_t{1} << 20;

// Tag numbers (position in the tag table).
enum TXMLTagId : int {
    xtAlignment, xtAutoFilter, xtB, xtBgColor, xtBookViews, xtBorder, xtBorders, xtBottom, xtBrk,
    xtC, xtCalcPr, xtCell, xtCellStyle, xtCellStyles, xtCellStyleXfs, xtCellWatches, xtCellXfs,
    xtCfRule, xtCfvo, xtCharset, xtCol, xtColBreaks, xtColor, xtColors, xtColorScale, xtCols,
    xtCondense, xtConditionalFormatting, xtControl, xtControls, xtCustomProperties,
    xtCustomSheetView, xtCustomSheetViews, xtCustomWorkbookView, xtCustomWorkbookViews,
    xtDataConsolidate, xtDataValidation, xtDataValidations, xtDefinedName, xtDefinedNames,
    xtDiagonal, xtDimension, xtDrawing, xtDxf, xtDxfs, xtExtend, xtExternalBook, xtExternalLink,
    xtExternalReference, xtExternalReferences, xtExtLst, xtF, xtFamily, xtFgColor,
    xtFileRecoveryPr, xtFileSharing, xtFileVersion, xtFill, xtFills, xtFilter, xtFilterColumn,
    xtFilters, xtFont, xtFonts, xtFormula, xtFormula1, xtFormula2, xtFormula3, xtFormula4,
    xtFunctionGroups, xtGradientFill, xtHeaderFooter, xtHorizontal, xtHyperlink, xtHyperlinks, xtI,
    xtIgnoredError, xtIgnoredErrors, xtIndexedColors, xtInputCells, xtLeft, xtLegacyDrawing,
    xtLegacyDrawingHF, xtMergeCell, xtMergeCells, xtMruColors, xtName, xtNumFmt, xtNumFmts,
    xtOddFooter, xtOddHeader, xtOleObject, xtOleObjects, xtOleSize, xtOutline, xtPageMargins,
    xtPageSetup, xtPageSetUpPr, xtPane, xtPatternFill, xtPhoneticPr, xtPicture, xtPivotCaches,
    xtPrintOptions, xtProtectedRanges, xtProtection, xtR, xtRelationship, xtRelationships, xtRFont,
    xtRgbColor, xtRight, xtRow, xtRowBreaks, xtRPr, xtScenario, xtScenarios, xtScheme, xtSelection,
    xtShadow, xtSheet, xtSheetCalcPr, xtSheetData, xtSheetDataSet, xtSheetFormatPr, xtSheetPr,
    xtSheetProtection, xtSheets, xtSheetName, xtSheetNames, xtSheetView, xtSheetViews, xtSi,
    xtSmartTagPr, xtSmartTags, xtSmartTagTypes, xtSortState, xtSortCondition, xtSst, xtStop,
    xtStrike, xtStyleSheet, xtSz, xtT, xtTabColor, xtTablePart, xtTableParts, xtTableStyles, xtTop,
    xtU, xtV, xtWebPublishing, xtWebPublishItems, xtWebPublishObjects, xtVertAlign, xtVertical,
    xtWorkbook, xtWorkbookPr, xtWorkbookProtection, xtWorkbookView, xtWorksheet, xtXf, xtIs,
};

enum TXMLAttrId : int {
    xaAca, xaActiveCell, xaActivePane, xaActiveTab, xaActiveSheetId, xaAlignWithMargins,
    xaAllowBlank, xaApplyAlignment, xaApplyBorder, xaApplyFill, xaApplyFont, xaApplyNumberFormat,
    xaApplyProtection, xaAppName, xaAuto, xaAutoPageBreaks, xaBackupFile, xaBaseColWidth,
    xaBestFit, xaBlackAndWhite, xaBlank, xaBorderId, xaBottom, xaBuiltinId, xaBx, xaCa, xaCalcId,
    xaCodeName, xaColId, xaCollapsed, xaColorId, xaComment, xaCopies, xaCurrent, xaCount,
    xaCustomBuiltin, xaCustomFormat, xaCustomHeight, xaCustomMenu, xaCustomWidth,
    xaDefaultColWidth, xaDefaultGridColor, xaDefaultPivotStyle, xaDefaultRowHeight,
    xaDefaultTableStyle, xaDefaultThemeVersion, xaDegree, xaDel1, xaDel2, xaDescription,
    xaDiagonalDown, xaDiagonalUp, xaDt2D, xaDtr, xaDxfId, xaEnableFormatConditionsCalculation,
    xaError, xaErrorStyle, xaErrorTitle, xaFirstSheet, xaFillId, xaFilterMode, xaFitToHeight,
    xaFitToPage, xaFontId, xaFooter, xaFormatCode, xaFormulaRange, xaFullCalcOnLoad, xaFunction,
    xaFunctionGroupId, xaGridLinesSet, xaGuid, xaHeader, xaHelp, xaHidden, xaHorizontal,
    xaHorizontalCentered, xaHorizontalDpi, xaHt, xaRelId, xaId, xaIndent, xaIndexed,
    xaJustifyLastLine, xaLastEdited, xaLeft, xaILevel, xaLocalSheetId, xaLocked, xaLowestEdited,
    xaMan, xaManualBreakCount, xaMax, xaMaximized, xaMergeInterval, xaMin, xaMinimized, xaName,
    xaNumFmtId, xaObjects, xaOperator, xaOrientation, xaOutline, xaOutlineLevel, xaOutlineLevelRow,
    xaPageOrder, xaPane, xaPaperSize, xaPassword, xaPatternType, xaPersonalView, xaPh,
    xaPivotButton, xaPosition, xaPriority, xaProgId, xaPrompt, xaPromptTitle, xaPublishToServer,
    xaQuotePrefix, xaR, xaRId, xaReadingOrder, xaRef, xaRefMode, xaRefreshError, xaRelativeIndent,
    xaRgb, xaRight, xaRupBuild, xaS, xaScale, xaScenarios, xaSelectLockedCells, xaShapeId, xaSheet,
    xaSheetId, xaShortcutKey, xaShow, xaShowRowColHeaders, xaShowDropDown, xaShowErrorMessage,
    xaShowGridLines, xaShowInputMessage, xaShowRuler, xaShowZeros, xaShrinkToFit, xaSi, xaSpans,
    xaSqref, xaState, xaStatusbar, xaStopIfTrue, xaStyle, xaT, xaTabRatio, xaTabSelected, xaTarget,
    xaTargetMode, xaTextRotation, xaTheme, xaThickBot, xaThickTop, xaTint, xaTooltip, xaTop,
    xaTopLeftCell, xaType, xaRelType, xaUniqueCount, xaUser, xaVal, xaVbProcedure, xaVertical,
    xaVerticalCentered, xaVerticalDpi, xaView, xaWidth, xaWindowHeight, xaWindowWidth,
    xaWorkbookParameter, xaWorkbookViewId, xaWrapText, xaXfId, xaXlm, xaXmlSpace, xaXmlns,
    xaXmlnsXm, xaXmlnsR, xaXSplit, xaXWindow, xaYSplit, xaYWindow, xaZeroHeight, xaZoomScale,
    xaZoomScaleNormal, xaZoomScalePageLayoutView, xaZoomScaleSheetLayoutView,
};

// Table names; TagName gives "" for numbers outside the table.
std::string_view TagName(int tag);
std::string_view AttributeName(int attr);
// Exact, case-sensitive lookups; -1 when the name is not in the table.
int FindTag(std::string_view name);
int FindAttribute(std::string_view name);

// Number conversions of part texts: "." is the decimal point whatever the
// locale. False for a text that is no number.
bool XMLTextToInt(std::string_view text, int32_t& value);
bool XMLTextToFloat(std::string_view text, double& value);
// An element's text as the reader keeps it: bytes up to the blank (32) taken
// off both ends.
inline std::string_view TrimTagText(std::string_view text) {
  while (!text.empty() && static_cast<uint8_t>(text.front()) <= 32) text.remove_prefix(1);
  while (!text.empty() && static_cast<uint8_t>(text.back()) <= 32) text.remove_suffix(1);
  return text;
}

// ---- Tokenizer ---------------------------------------------------------------

enum class TXMLTagKind { xkNone, xkStart, xkEnd, xkEmpty, xkDeclaration };

// Reads one tag per ReadTag call from a byte range and reports it through the
// hooks. Names, values and texts handed to the hooks are views into the input
// (or into the reader's own buffer) that stay valid until the next ReadTag.
class TXLSReadXML {
 public:
  TXLSReadXML() = default;
  virtual ~TXLSReadXML() = default;
  TXLSReadXML(const TXLSReadXML&) = delete;
  TXLSReadXML& operator=(const TXLSReadXML&) = delete;

  // Reads the next tag and the text after it and calls the hooks; false at
  // the end of the input.
  bool ReadTag();

  int Level() const { return level_; }
  TXMLTagKind Kind() const { return kind_; }
  std::string_view TagName() const { return name_; }
  std::string_view Text() const { return text_; }
  bool Preserve() const { return preserve_; }
  // True while the last tag's name and values lie in the reader's own buffer
  // rather than in the input.
  bool TagBuffered() const { return buffered_; }
  // "name=value" lines of the last tag, filled by the default AttributeRead.
  const std::vector<std::string>& ValueList() const { return valueList_; }

 protected:
  // A part stored as UTF-16 is read from a UTF-8 copy the reader keeps.
  void SetInput(const uint8_t* begin, const uint8_t* end);
  void ClearValueList() { valueList_.clear(); }
  bool ReadByte(uint8_t& b) {
    if (cur_ == end_) return false;
    b = *cur_++;
    return true;
  }
  void UnreadByte() { --cur_; }
  // Where the next tag is looked for (after a tag, at its text's end), and
  // the input's end; a subclass that reads an element by itself moves the
  // cursor past it.
  const uint8_t* Cursor() const { return cur_; }
  const uint8_t* InputEnd() const { return end_; }
  void SetCursor(const uint8_t* at) { cur_ = at; }

  virtual void StartTag(std::string_view name, std::string_view text, bool isEmpty);
  virtual void EndTag(std::string_view name, bool isEmpty);
  virtual void AttributeRead(std::string_view name, std::string_view value);

 private:
  bool ScanPlainTag(const uint8_t* p, bool isEnd, const uint8_t*& gt, bool& emptyElement);
  bool ScanTag(const uint8_t* p, bool isEnd, const uint8_t*& gt, bool& emptyElement, std::string_view& tag);
  void SplitAttributes(std::string_view rest);
  // Element text that runs into CDATA sections: the text with each
  // section's content joined in, into textBuffer_; cur_ ends after it.
  std::string_view JoinCData(const uint8_t* textStart, const uint8_t* textEnd);
  // Passes over a CDATA section, comment or processing instruction that
  // stands between elements; false when there is none at lt.
  bool SkipMarkup(const uint8_t* lt);

  const uint8_t* cur_ = nullptr;
  const uint8_t* end_ = nullptr;
  int level_ = 0;
  TXMLTagKind kind_ = TXMLTagKind::xkNone;
  std::string_view name_;
  std::string_view text_;
  bool preserve_ = false;
  bool buffered_ = false;
  void AddAttribute(std::string_view name, std::string_view value) {
    if (attrCount_ == attrs_.size()) attrs_.resize(attrs_.size() * 2 + 8);
    attrs_[attrCount_++] = {name, value};
  }
  std::vector<std::pair<std::string_view, std::string_view>> attrs_;  // of the tag being read
  std::size_t attrCount_ = 0;
  std::string tagBuffer_;  // tag text with "/" taken out, when it held one inside
  std::string textBuffer_;  // element text joined with CDATA sections
  std::string utf8Part_;    // a UTF-16 part in UTF-8
  std::vector<std::string> valueList_;
};

// The tokenizer over an in-memory stream, from the stream's position on.
class TXLSReadXMLStream : public TXLSReadXML {
 public:
  // The stream's bytes must stay unchanged while they are read.
  void SetStream(TMemoryStream& stream);
  // The same over size bytes at data, which must stay unchanged while read.
  void SetBuffer(const uint8_t* data, std::size_t size) {
    SetInput(data, data + size);
    ClearValueList();
  }
};

// ---- Nodes -------------------------------------------------------------------

class TXLSReadExcelXMLStream;

// One attribute value of a node.
class TExXMLValue {
 public:
  int Attr() const { return attr_; }
  std::string_view Raw() const { return raw_; }
  std::u16string Text() const;

 private:
  friend class TExXMLTag;
  TExXMLValue(int attr, std::string_view raw) : attr_(attr), raw_(raw) {}
  int attr_;
  std::string_view raw_;
};

// A node of the tree: an element with its attribute values and children.
// Nodes belong to the reader, which reuses them once they are discarded.
class TExXMLTag {
 public:
  TExXMLTag(const TExXMLTag&) = delete;
  TExXMLTag& operator=(const TExXMLTag&) = delete;

  TExXMLTag* Parent() const { return parent_; }
  // Tag number, kTagUnknown for a name outside the table.
  int Tag() const { return tag_; }
  std::string_view RawName() const { return name_; }
  std::u16string Name() const;
  // The element's text as read (trimmed unless xml:space="preserve").
  std::string_view RawText() const { return text_; }
  std::u16string Text() const;

  int ChildCount() const { return static_cast<int>(children_.size()); }
  // Raises the list index error for an index out of range.
  TExXMLTag* Child(int index) const;

  // ---- attribute values ----
  bool HasValue(int attr) const { return FindSlot(attr) != nullptr; }
  // The value's bytes; empty when absent.
  std::string_view RawValue(int attr) const {
    const Slot* s = FindSlot(attr);
    return s != nullptr ? s->value : std::string_view();
  }
  // The value, or an object whose Attr() is -1 when absent.
  TExXMLValue Value(int attr) const;
  // Attribute numbers of the filled slots, in number order.
  std::vector<int> Attributes() const;

  bool GetBoolean(int attr, bool defaultValue) const;
  int32_t GetInteger(int attr, int32_t defaultValue) const;
  double GetFloat(int attr, double defaultValue) const;
  std::u16string GetString(int attr, std::u16string_view defaultValue = {}) const;
  // Position of the value in names (exact match), defaultValue when absent or
  // not listed.
  int GetEnum(int attr, int defaultValue, std::span<const std::string_view> names) const;
  int32_t RequireInteger(int attr) const;
  double RequireFloat(int attr) const;
  std::u16string RequireString(int attr) const;
  // The value as a cell address (0-based column and row).
  void GetCellRef(int attr, int32_t& col, int32_t& row) const;
  // The value as an area ("A1:C3"; one cell without ":").
  void GetAreaRef(int attr, int32_t& col1, int32_t& row1, int32_t& col2, int32_t& row2) const;

  // ---- children ----
  TExXMLTag* FindChild(int tag) const;
  std::u16string GetChildString(int tag, int attr, std::u16string_view defaultValue = {}) const;
  double GetChildFloat(int tag, int attr, double defaultValue) const;
  std::u16string RequireChildString(int tag, int attr) const;
  bool GetChildBoolean(int tag, int attr, bool defaultValue) const;
  // Starts an iteration over the children; tag -1 accepts any child.
  void IterateChildren(int tag);
  // The next child; raises "Unexpected tag %d, %s" for a child of another
  // number than the expected one. After the last child it discards all
  // children and returns nullptr.
  TExXMLTag* NextChild();

  // ---- text ----
  bool TextAsBoolean() const { return RawText() == "1"; }
  int32_t TextAsInteger() const;
  double TextAsFloat() const;
  std::u16string DecodedText() const { return DecodeText(RawText()); }

 private:
  friend class TXLSReadExcelXMLStream;
  struct Slot {
    int attr;
    std::string_view value;
  };

  explicit TExXMLTag(TXLSReadExcelXMLStream& owner) : owner_(&owner) {}
  const Slot* FindSlot(int attr) const {
    if (attr < 0 || attr >= kAttrCount) return nullptr;
    const auto a = static_cast<unsigned>(attr);
    if ((mask_[a >> 6] & (uint64_t{1} << (a & 63))) == 0) return nullptr;
    for (const Slot& s : slots_)
      if (s.attr == attr) return &s;
    return nullptr;
  }
  [[noreturn]] void ThrowMissing(int attr) const;
  const TExXMLTag* FindChildWith(int tag, int attr) const;
  void Reset();
  // Copies the name, text and values into the node's own buffer (they point
  // into the part while it is read).
  void Own();

  TXLSReadExcelXMLStream* owner_;
  TExXMLTag* parent_ = nullptr;
  int tag_ = kTagUnknown;
  std::string_view name_;
  std::string_view text_;
  std::string bytes_;  // name, text and values once the node owns them
  bool owned_ = false;
  std::vector<Slot> slots_;
  std::array<uint64_t, (kAttrCount + 63) / 64> mask_{};
  std::vector<TExXMLTag*> children_;
  int expected_ = -1;
  std::size_t next_ = 0;
};

// Writes a node back out as XML text: attributes in number order, values and
// texts as stored.
std::u16string TagToXML(const TExXMLTag& node);
// The same text as bytes in the ANSI code page, as the part held them.
std::string TagToXMLText(const TExXMLTag& node);

// ---- Excel layer -------------------------------------------------------------

// Recognises names and builds the node tree. Subclasses handle elements in
// TagStarted / TagEnded; returning true from TagEnded discards the finished
// element together with its earlier siblings.
class TXLSReadExcelXMLStream : public TXLSReadXMLStream {
 public:
  TXLSReadExcelXMLStream();
  ~TXLSReadExcelXMLStream() override;

  // Reads the whole stream set by SetStream; partName names it in messages.
  // While it runs, node texts point into the stream; nodes still in the tree
  // when it returns get copies of their own.
  void Parse(const std::u16string& partName);

  TExXMLTag* CurrentNode() const { return current_; }
  TExXMLTag* Root() const { return root_; }
  // Most elements held at once (the root included); kMaxXMLNodes by default.
  std::size_t NodeLimit() const { return nodeLimit_; }
  void SetNodeLimit(std::size_t limit) { nodeLimit_ = limit; }
  const std::u16string& PartName() const { return partName_; }

 protected:
  virtual void TagStarted(int tag);
  virtual bool TagEnded(int tag);
  // Elements read whole: while a lead byte is set, Parse offers every start
  // tag "<" + lead (followed by a blank, "/" or ">") outside markup
  // compatibility to ReadWholeElement first. An element it takes (and moves
  // the cursor past) counts as one whose TagEnded returned true; one it
  // declines is read tag by tag as usual.
  void SetWholeElementLead(char lead) { wholeLead_ = static_cast<uint8_t>(lead); }
  virtual bool ReadWholeElement() { return false; }

  void StartTag(std::string_view name, std::string_view text, bool isEmpty) override;
  void EndTag(std::string_view name, bool isEmpty) override;
  void AttributeRead(std::string_view name, std::string_view value) override;

 private:
  friend class TExXMLTag;
  struct Pending {
    int attr;
    std::string_view value;
  };
  // Namespaces a prefix may be bound to, as far as the reader tells them apart.
  enum class TNamespace : uint8_t { nsOther, nsMain, nsRelationships, nsCompatibility };
  struct Binding {
    std::string prefix;
    TNamespace ns;
    int depth;  // depth of the declaring element
  };
  // An open mc:AlternateContent element, or the branch of it being read.
  struct TCompatibilityFrame {
    int depth;
    bool branch;  // an mc:Choice or mc:Fallback (else the AlternateContent)
    bool chosen;  // AlternateContent: a branch was taken
  };

  TExXMLTag* NewNode();
  void OwnTree();
  // The cursor is at a start tag an element read whole may begin with, in a
  // place where the element would make a node, nested shallow enough that
  // it and a child could open.
  bool AtWholeElement() const {
    const uint8_t* p = Cursor();
    if (InputEnd() - p < 3 || p[0] != '<' || p[1] != wholeLead_) return false;
    const uint8_t after = p[2];
    return (after == ' ' || after == '>' || after == '/') && skipDepth_ == 0 && compatibility_.empty() &&
           Level() + 1 < kMaxXMLLevel;
  }
  void DiscardChildren(TExXMLTag* node);
  int ResolveTag(std::string_view name) const;
  TNamespace PrefixNamespace(std::string_view prefix) const;
  // The local name of a name whose prefix is bound to the markup
  // compatibility namespace, else "".
  std::string_view CompatibilityName(std::string_view name) const;
  // True when every prefix of an mc:Choice's Requires names a namespace this
  // reader understands.
  bool Understood(std::string_view prefixes) const;
  // Markup compatibility at a start tag: true when the element is no node
  // (an mc element, or one inside a branch not taken).
  bool CompatibilityStart(std::string_view name);
  void ClearPending();

  std::vector<std::unique_ptr<TExXMLTag>> nodes_;  // every node ever made
  std::size_t nodeLimit_ = kMaxXMLNodes;
  std::vector<TExXMLTag*> free_;
  std::vector<TExXMLTag*> discardStack_;
  TExXMLTag* root_;
  TExXMLTag* current_;
  int depth_ = 0;
  std::u16string partName_;
  std::vector<Pending> pending_;
  std::array<uint64_t, (kAttrCount + 63) / 64> pendingMask_{};
  std::vector<Binding> pendingBindings_;
  std::vector<Binding> bindings_;
  // Markup compatibility: the open AlternateContent elements and branches,
  // the nesting inside a passed-over element (0 when none), and the
  // Requires value of the tag being read.
  std::vector<TCompatibilityFrame> compatibility_;
  int skipDepth_ = 0;
  std::string_view pendingRequires_;
  uint8_t wholeLead_ = 0;
};

}  // namespace tabulon
