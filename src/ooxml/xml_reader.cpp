#include "ooxml/xml_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cellref.h"

namespace tabulon {

namespace {

constexpr std::array<std::string_view, kTagCount> kTagNames = {
    "alignment", "autoFilter", "b", "bgColor", "bookViews", "border", "borders", "bottom", "brk",
    "c", "calcPr", "cell", "cellStyle", "cellStyles", "cellStyleXfs", "cellWatches", "cellXfs",
    "cfRule", "cfvo", "charset", "col", "colBreaks", "color", "colors", "colorScale", "cols",
    "condense", "conditionalFormatting", "control", "controls", "customProperties",
    "customSheetView", "customSheetViews", "customWorkbookView", "customWorkbookViews",
    "dataConsolidate", "dataValidation", "dataValidations", "definedName", "definedNames",
    "diagonal", "dimension", "drawing", "dxf", "dxfs", "extend", "externalBook", "externalLink",
    "externalReference", "externalReferences", "extLst", "f", "family", "fgColor",
    "fileRecoveryPr", "fileSharing", "fileVersion", "fill", "fills", "filter", "filterColumn",
    "filters", "font", "fonts", "formula", "formula1", "formula2", "formula3", "formula4",
    "functionGroups", "gradientFill", "headerFooter", "horizontal", "hyperlink", "hyperlinks", "i",
    "ignoredError", "ignoredErrors", "indexedColors", "inputCells", "left", "legacyDrawing",
    "legacyDrawingHF", "mergeCell", "mergeCells", "mruColors", "name", "numFmt", "numFmts",
    "oddFooter", "oddHeader", "oleObject", "oleObjects", "oleSize", "outline", "pageMargins",
    "pageSetup", "pageSetUpPr", "pane", "patternFill", "phoneticPr", "picture", "pivotCaches",
    "printOptions", "protectedRanges", "protection", "r", "Relationship", "Relationships", "rFont",
    "rgbColor", "right", "row", "rowBreaks", "rPr", "scenario", "scenarios", "scheme", "selection",
    "shadow", "sheet", "sheetCalcPr", "sheetData", "sheetDataSet", "sheetFormatPr", "sheetPr",
    "sheetProtection", "sheets", "sheetName", "sheetNames", "sheetView", "sheetViews", "si",
    "smartTagPr", "smartTags", "smartTagTypes", "sortState", "sortCondition", "sst", "stop",
    "strike", "styleSheet", "sz", "t", "tabColor", "tablePart", "tableParts", "tableStyles", "top",
    "u", "v", "webPublishing", "webPublishItems", "webPublishObjects", "vertAlign", "vertical",
    "workbook", "workbookPr", "workbookProtection", "workbookView", "worksheet", "xf", "is",
};

constexpr std::array<std::string_view, kAttrCount> kAttrNames = {
    "aca", "activeCell", "activePane", "activeTab", "activeSheetId", "alignWithMargins",
    "allowBlank", "applyAlignment", "applyBorder", "applyFill", "applyFont", "applyNumberFormat",
    "applyProtection", "appName", "auto", "autoPageBreaks", "backupFile", "baseColWidth",
    "bestFit", "blackAndWhite", "blank", "borderId", "bottom", "builtinId", "bx", "ca", "calcId",
    "codeName", "colId", "collapsed", "colorId", "comment", "copies", "current", "count",
    "customBuiltin", "customFormat", "customHeight", "customMenu", "customWidth",
    "defaultColWidth", "defaultGridColor", "defaultPivotStyle", "defaultRowHeight",
    "defaultTableStyle", "defaultThemeVersion", "degree", "del1", "del2", "description",
    "diagonalDown", "diagonalUp", "dt2D", "dtr", "dxfId", "enableFormatConditionsCalculation",
    "error", "errorStyle", "errorTitle", "firstSheet", "fillId", "filterMode", "fitToHeight",
    "fitToPage", "fontId", "footer", "formatCode", "formulaRange", "fullCalcOnLoad", "function",
    "functionGroupId", "gridLinesSet", "guid", "header", "help", "hidden", "horizontal",
    "horizontalCentered", "horizontalDpi", "ht", "Id", "id", "indent", "indexed",
    "justifyLastLine", "lastEdited", "left", "iLevel", "localSheetId", "locked", "lowestEdited",
    "man", "manualBreakCount", "max", "maximized", "mergeInterval", "min", "minimized", "name",
    "numFmtId", "objects", "operator", "orientation", "outline", "outlineLevel", "outlineLevelRow",
    "pageOrder", "pane", "paperSize", "password", "patternType", "personalView", "ph",
    "pivotButton", "position", "priority", "progId", "prompt", "promptTitle", "publishToServer",
    "quotePrefix", "r", "r:id", "readingOrder", "ref", "refMode", "refreshError", "relativeIndent",
    "rgb", "right", "rupBuild", "s", "scale", "scenarios", "selectLockedCells", "shapeId", "sheet",
    "sheetId", "shortcutKey", "show", "showRowColHeaders", "showDropDown", "showErrorMessage",
    "showGridLines", "showInputMessage", "showRuler", "showZeros", "shrinkToFit", "si", "spans",
    "sqref", "state", "statusbar", "stopIfTrue", "style", "t", "tabRatio", "tabSelected", "Target",
    "TargetMode", "textRotation", "theme", "thickBot", "thickTop", "tint", "tooltip", "top",
    "topLeftCell", "type", "Type", "uniqueCount", "user", "val", "vbProcedure", "vertical",
    "verticalCentered", "verticalDpi", "view", "width", "windowHeight", "windowWidth",
    "workbookParameter", "workbookViewId", "wrapText", "xfId", "xlm", "xml:space", "xmlns",
    "xmlns:xm", "xmlns:r", "xSplit", "xWindow", "ySplit", "yWindow", "zeroHeight", "zoomScale",
    "zoomScaleNormal", "zoomScalePageLayoutView", "zoomScaleSheetLayoutView",
};

// ---- Name lookup ---------------------------------------------------------------
// Open addressing, built at compile time. A slot holds the first eight bytes
// of its name as one word, so that most names are compared at once.

constexpr uint64_t NameHead(std::string_view s) {
  uint64_t head = 0;
  const std::size_t n = s.size() < 8 ? s.size() : 8;
  for (std::size_t i = 0; i < n; ++i) head |= static_cast<uint64_t>(static_cast<uint8_t>(s[i])) << (8 * i);
  return head;
}

constexpr std::size_t NameSlot(uint64_t head, std::string_view s) {
  const uint64_t last = s.empty() ? 0 : static_cast<uint8_t>(s.back());
  const uint64_t middle = s.empty() ? 0 : static_cast<uint8_t>(s[s.size() / 2]);
  const uint64_t x = (head ^ (last << 53) ^ (middle << 40) ^ s.size()) * 0xBF58476D1CE4E5B9ull;
  return static_cast<std::size_t>(x >> 54);  // 10 bits
}

template <std::size_t N>
class TNameIndex {
 public:
  constexpr explicit TNameIndex(const std::array<std::string_view, N>& names) : names_(names) {
    for (std::size_t i = 0; i < N; ++i) {
      const uint64_t head = NameHead(names[i]);
      std::size_t h = NameSlot(head, names[i]) & kMask;
      while (slots_[h].index >= 0) h = (h + 1) & kMask;
      slots_[h] = {head, static_cast<uint32_t>(names[i].size()), static_cast<int32_t>(i)};
    }
  }

  // The longest probe sequence of any table name.
  constexpr int MaxProbe() const {
    int worst = 0;
    for (std::size_t i = 0; i < N; ++i) {
      std::size_t h = NameSlot(NameHead(names_[i]), names_[i]) & kMask;
      int probes = 1;
      while (slots_[h].index != static_cast<int32_t>(i)) {
        h = (h + 1) & kMask;
        ++probes;
      }
      worst = std::max(worst, probes);
    }
    return worst;
  }

  int Find(std::string_view name) const {
    const uint64_t head = NameHead(name);
    std::size_t h = NameSlot(head, name) & kMask;
    for (;;) {
      const Slot& s = slots_[h];
      if (s.index < 0) return -1;
      if (s.head == head && s.length == name.size() &&
          (name.size() <= 8 || names_[static_cast<std::size_t>(s.index)].substr(8) == name.substr(8)))
        return s.index;
      h = (h + 1) & kMask;
    }
  }

 private:
  struct Slot {
    uint64_t head = 0;
    uint32_t length = 0;
    int32_t index = -1;
  };
  static constexpr std::size_t kSize = 1024;
  static constexpr std::size_t kMask = kSize - 1;
  static_assert(N * 2 < kSize);
  const std::array<std::string_view, N>& names_;
  std::array<Slot, kSize> slots_{};
};

constexpr TNameIndex<kTagCount> kTagIndex(kTagNames);
constexpr TNameIndex<kAttrCount> kAttrIndex(kAttrNames);
static_assert(kTagIndex.MaxProbe() <= 3 && kAttrIndex.MaxProbe() <= 3);

// Namespaces the reader understands (transitional and Strict forms), and the
// markup compatibility namespace of mc:AlternateContent.
constexpr std::string_view kMainNamespaces[] = {"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
                                                "http://purl.oclc.org/ooxml/spreadsheetml/main"};
constexpr std::string_view kRelationshipNamespaces[] = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships",
    "http://purl.oclc.org/ooxml/officeDocument/relationships"};
constexpr std::string_view kCompatibilityNamespace = "http://schemas.openxmlformats.org/markup-compatibility/2006";

// ---- Tokenizer helpers --------------------------------------------------------------

inline bool IsXMLSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }


inline bool IsQuote(char c) { return c == '"' || c == '\''; }

// Bytes that steer the scan of a tag.
enum : uint8_t { kPlain = 0, kClose = 1, kQuote = 2, kSlash = 3 };
constexpr std::array<uint8_t, 256> kTagByteClass = [] {
  std::array<uint8_t, 256> t{};
  t['>'] = kClose;
  t['"'] = kQuote;
  t['\''] = kQuote;
  t['/'] = kSlash;
  return t;
}();

// Bytes of the one-pass scan of plain tags.
enum : uint8_t { kNameByte = 0, kSpace = 1, kGreater = 2, kSlashByte = 3, kQuoteByte = 4, kEquals = 5, kControl = 6 };
constexpr std::array<uint8_t, 256> kPlainByteClass = [] {
  std::array<uint8_t, 256> t{};
  for (int c = 0; c <= 32; ++c) t[static_cast<std::size_t>(c)] = kControl;
  t[' '] = kSpace;
  t['\t'] = kSpace;
  t['\r'] = kSpace;
  t['\n'] = kSpace;
  t['>'] = kGreater;
  t['/'] = kSlashByte;
  t['"'] = kQuoteByte;
  t['\''] = kQuoteByte;
  t['='] = kEquals;
  return t;
}();

std::string HostText(std::string_view ansi) { return platform::WideToHost(platform::AnsiToWide(ansi)); }

}  // namespace

// ---- Tables and conversions ------------------------------------------------------------

std::string_view TagName(int tag) {
  return (tag >= 0 && tag < kTagCount) ? kTagNames[static_cast<std::size_t>(tag)] : std::string_view();
}

std::string_view AttributeName(int attr) {
  return (attr >= 0 && attr < kAttrCount) ? kAttrNames[static_cast<std::size_t>(attr)] : std::string_view();
}

namespace {

// One-byte names (c, v, f, r, s, t, ...) are the most frequent by far: a
// table by their byte answers them without hashing.
template <std::size_t N>
constexpr std::array<int16_t, 256> OneByteNames(const std::array<std::string_view, N>& names) {
  std::array<int16_t, 256> table{};
  for (int16_t& t : table) t = -1;
  for (std::size_t i = 0; i < N; ++i)
    if (names[i].size() == 1) table[static_cast<uint8_t>(names[i][0])] = static_cast<int16_t>(i);
  return table;
}

constexpr std::array<int16_t, 256> kOneByteTags = OneByteNames(kTagNames);
constexpr std::array<int16_t, 256> kOneByteAttrs = OneByteNames(kAttrNames);

}  // namespace

int FindTag(std::string_view name) {
  if (name.size() == 1) return kOneByteTags[static_cast<uint8_t>(name[0])];
  return kTagIndex.Find(name);
}

int FindAttribute(std::string_view name) {
  if (name.size() == 1) return kOneByteAttrs[static_cast<uint8_t>(name[0])];
  return kAttrIndex.Find(name);
}

bool XMLTextToInt(std::string_view text, int32_t& value) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  int64_t v = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > int64_t{2147483648}) return false;
  }
  if (negative) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return false;
  value = static_cast<int32_t>(v);
  return true;
}

namespace {

// Digits with at most one "." inside them, 15 digits at most: the digits
// form an integer below 2^53 and the scale a power of ten up to 1e15, both
// exact, so one division rounds to the same double as the general
// conversion. False for any other text, which takes the general way.
bool PlainDecimalToFloat(std::string_view digits, bool negative, double& value) {
  constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (digits.empty() || digits.size() > 16) return false;
  const char* const first = digits.data();
  const char* const end = first + digits.size();
  const char* p = first;
  uint64_t mantissa = 0;
  auto digitsRun = [&] {
    for (unsigned d; p < end && (d = static_cast<unsigned>(*p - '0')) < 10; ++p) mantissa = mantissa * 10 + d;
  };
  digitsRun();
  std::size_t scale = 0;  // digits after the point
  if (p < end) {
    // One point, with digits before and after it.
    if (*p != '.' || p == first || p + 1 == end) return false;
    const char* const fraction = ++p;
    digitsRun();
    if (p != end) return false;
    scale = static_cast<std::size_t>(end - fraction);
  }
  if (digits.size() - (scale > 0 ? 1 : 0) > 15) return false;
  double v = static_cast<double>(mantissa);
  if (scale > 0) v /= kPowers[scale];
  value = negative ? -v : v;
  return true;
}

}  // namespace

bool XMLTextToFloat(std::string_view text, double& value) {
  text = TrimTagText(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::size_t first = (!text.empty() && text.front() == '-') ? 1 : 0;
  if (first >= text.size() || !((text[first] >= '0' && text[first] <= '9') || text[first] == '.')) return false;
  if (PlainDecimalToFloat(text.substr(first), first == 1, value)) return true;
  double v = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  value = v;
  return true;
}

// ---- TXLSReadXML -------------------------------------------------------------------------

void TXLSReadXML::StartTag(std::string_view, std::string_view, bool) {}
void TXLSReadXML::EndTag(std::string_view, bool) {}

void TXLSReadXML::AttributeRead(std::string_view name, std::string_view value) {
  std::string line(name);
  line += '=';
  line += value;
  valueList_.push_back(std::move(line));
}

void TXLSReadXML::SetInput(const uint8_t* begin, const uint8_t* end) {
  if (Utf16PartToUtf8(begin, static_cast<std::size_t>(end - begin), utf8Part_)) {
    begin = reinterpret_cast<const uint8_t*>(utf8Part_.data());
    end = begin + utf8Part_.size();
  }
  cur_ = begin;
  end_ = end;
}

bool TXLSReadXML::SkipMarkup(const uint8_t* lt) {
  struct TMarkup {
    std::string_view open, close;
  };
  static constexpr TMarkup kMarkups[] = {{"<![CDATA[", "]]>"}, {"<!--", "-->"}};
  const std::string_view rest(reinterpret_cast<const char*>(lt), static_cast<std::size_t>(end_ - lt));
  for (const TMarkup& m : kMarkups) {
    if (rest.substr(0, m.open.size()) != m.open) continue;
    const std::size_t close = rest.find(m.close, m.open.size());
    cur_ = close == std::string_view::npos ? end_ : lt + close + m.close.size();
    return true;
  }
  return false;
}

std::string_view TXLSReadXML::JoinCData(const uint8_t* textStart, const uint8_t* textEnd) {
  constexpr std::string_view kOpen = "<![CDATA[";
  constexpr std::string_view kClose = "]]>";
  auto view = [](const uint8_t* from, const uint8_t* to) {
    return std::string_view(reinterpret_cast<const char*>(from), static_cast<std::size_t>(to - from));
  };
  textBuffer_.clear();
  std::string_view raw = view(textStart, textEnd);
  if (!preserve_) {
    while (!raw.empty() && static_cast<uint8_t>(raw.front()) <= 32) raw.remove_prefix(1);
  }
  textBuffer_ += raw;
  std::size_t lastRaw = textBuffer_.size();  // where the text after the last section starts
  const uint8_t* p = textEnd;
  while (end_ - p >= static_cast<std::ptrdiff_t>(kOpen.size()) && view(p, p + kOpen.size()) == kOpen) {
    const std::string_view rest = view(p + kOpen.size(), end_);
    const std::size_t close = rest.find(kClose);
    const std::string_view content = rest.substr(0, close);
    AppendCDataAsText(textBuffer_, content);
    p = close == std::string_view::npos ? end_ : p + kOpen.size() + close + kClose.size();
    const uint8_t* next = p;
    while (next < end_ && *next != '<') ++next;
    lastRaw = textBuffer_.size();
    textBuffer_ += view(p, next);
    p = next;
  }
  if (!preserve_) {
    while (textBuffer_.size() > lastRaw && static_cast<uint8_t>(textBuffer_.back()) <= 32) textBuffer_.pop_back();
  }
  cur_ = p;
  buffered_ = true;
  return textBuffer_;
}

bool TXLSReadXML::ReadTag() {
  kind_ = TXMLTagKind::xkNone;
  name_ = {};
  text_ = {};
  preserve_ = false;
  buffered_ = false;
  attrCount_ = 0;
  if (!valueList_.empty()) valueList_.clear();

  const uint8_t* lt;
  do {
    if (cur_ == end_) return false;
    lt = cur_;
    if (*lt != '<') {
      lt = static_cast<const uint8_t*>(std::memchr(cur_, '<', static_cast<std::size_t>(end_ - cur_)));
      if (lt == nullptr) {
        cur_ = end_;
        return false;
      }
    }
    if (lt + 1 == end_) {
      cur_ = end_;
      return false;
    }
    // CDATA sections and comments between elements are no tags.
  } while (lt[1] == '!' && SkipMarkup(lt));
  const uint8_t* p = lt + 1;
  const bool isEnd = *p == '/';
  if (isEnd) ++p;

  const uint8_t* gt = nullptr;
  bool emptyElement = false;
  if (!ScanPlainTag(p, isEnd, gt, emptyElement)) {
    attrCount_ = 0;
    std::string_view tag;
    if (!ScanTag(p, isEnd, gt, emptyElement, tag)) {
      cur_ = end_;
      return false;
    }
    if (!tag.empty() && tag[0] == '?' && tag.substr(0, 4) == "?xml") {
      kind_ = TXMLTagKind::xkDeclaration;
      cur_ = gt + 1;
      return true;
    }
    std::size_t space = 0;
    while (space < tag.size() && !IsXMLSpace(tag[space])) ++space;
    name_ = TrimTagText(tag.substr(0, space));
    if (!isEnd && space < tag.size()) SplitAttributes(TrimTagText(tag.substr(space + 1)));
  }

  if (isEnd) {
    if (level_ == 0) Throw("XML level < 0");
    --level_;
    kind_ = TXMLTagKind::xkEnd;
    // Attributes and text after an end tag are of no use.
    cur_ = gt + 1;
    EndTag(name_, false);
    return true;
  }
  if (emptyElement) {
    kind_ = TXMLTagKind::xkEmpty;
  } else {
    if (level_ >= kMaxXMLLevel) Throw("XML nesting too deep");
    ++level_;
    kind_ = TXMLTagKind::xkStart;
  }

  for (std::size_t i = 0; i < attrCount_; ++i) {
    const auto& [name, value] = attrs_[i];
    if (name == "xml:space" && value == "preserve") preserve_ = true;
    AttributeRead(name, value);
  }

  const uint8_t* const textStart = gt + 1;
  const uint8_t* textEnd = textStart;
  // Texts are mostly short: look at a few bytes before calling memchr.
  const uint8_t* const nearEnd = end_ - textStart > 16 ? textStart + 16 : end_;
  while (textEnd < nearEnd && *textEnd != '<') ++textEnd;
  if (textEnd == nearEnd && textEnd < end_) {
    const void* next = std::memchr(textEnd, '<', static_cast<std::size_t>(end_ - textEnd));
    textEnd = next != nullptr ? static_cast<const uint8_t*>(next) : end_;
  }
  if (end_ - textEnd > 9 && textEnd[1] == '!' && std::memcmp(textEnd, "<![CDATA[", 9) == 0) {
    text_ = JoinCData(textStart, textEnd);
  } else {
    text_ = std::string_view(reinterpret_cast<const char*>(textStart), static_cast<std::size_t>(textEnd - textStart));
    if (!preserve_) text_ = TrimTagText(text_);
    cur_ = textEnd;
  }

  StartTag(name_, text_, kind_ == TXMLTagKind::xkEmpty);
  if (kind_ == TXMLTagKind::xkEmpty) EndTag(name_, true);
  return true;
}

// The common shape of a tag in one pass: a name, then attributes
// name="value" or name='value' each after whitespace, then ">" or "/>".
// Anything else (and any declaration or "<!" construct) is left to the
// general scan, which gives the same result for the tags accepted here.
bool TXLSReadXML::ScanPlainTag(const uint8_t* p, bool isEnd, const uint8_t*& gt, bool& emptyElement) {
  const uint8_t* q = p;
  while (q < end_ && kPlainByteClass[*q] == kNameByte) ++q;
  if (q == p || q == end_ || *p == '?' || *p == '!') return false;
  name_ = std::string_view(reinterpret_cast<const char*>(p), static_cast<std::size_t>(q - p));
  for (;;) {
    uint8_t cls = kPlainByteClass[*q];
    if (cls == kGreater) {
      gt = q;
      emptyElement = false;
      return true;
    }
    if (cls == kSlashByte) {
      if (isEnd || q + 1 == end_ || q[1] != '>') return false;
      gt = q + 1;
      emptyElement = true;
      return true;
    }
    if (cls != kSpace) return false;
    do ++q;
    while (q < end_ && kPlainByteClass[*q] == kSpace);
    if (q == end_) return false;
    cls = kPlainByteClass[*q];
    if (cls == kGreater || cls == kSlashByte) continue;
    if (cls != kNameByte || isEnd) return false;
    const uint8_t* const name = q;
    while (q < end_ && kPlainByteClass[*q] == kNameByte) ++q;
    if (q == end_ || *q != '=') return false;
    const uint8_t* const nameEnd = q++;
    if (q == end_ || kPlainByteClass[*q] != kQuoteByte) return false;
    const uint8_t quote = *q++;
    const uint8_t* const value = q;
    while (q < end_ && *q != quote) ++q;
    if (q == end_) return false;
    AddAttribute(std::string_view(reinterpret_cast<const char*>(name), static_cast<std::size_t>(nameEnd - name)),
                 std::string_view(reinterpret_cast<const char*>(value), static_cast<std::size_t>(q - value)));
    if (++q == end_) return false;
  }
}

// The general scan: the tag runs to the first ">" outside quotes; "/"
// outside quotes is dropped from the tag text. False at the end of input.
bool TXLSReadXML::ScanTag(const uint8_t* p, bool isEnd, const uint8_t*& gt, bool& emptyElement, std::string_view& tag) {
  const uint8_t* const start = p;
  std::size_t slashes = 0;
  const uint8_t* lastSlash = nullptr;
  for (;;) {
    while (p < end_ && kTagByteClass[*p] == kPlain) ++p;
    if (p == end_) return false;
    const uint8_t cls = kTagByteClass[*p];
    if (cls == kClose) break;
    if (cls == kQuote) {
      const uint8_t quote = *p++;
      while (p < end_ && *p != quote) ++p;
      if (p == end_) return false;
      ++p;
      continue;
    }
    ++slashes;
    lastSlash = p++;
  }
  gt = p;
  emptyElement = !isEnd && gt > start && gt[-1] == '/';
  tag = std::string_view(reinterpret_cast<const char*>(start), static_cast<std::size_t>(gt - start));
  if (slashes == 1 && lastSlash == gt - 1) {
    tag.remove_suffix(1);
  } else if (slashes > 0) {
    tagBuffer_.clear();
    char q = 0;
    for (const char c : tag) {
      if (q != 0) {
        if (c == q) q = 0;
      } else if (IsQuote(c)) {
        q = c;
      } else if (c == '/') {
        continue;
      }
      tagBuffer_.push_back(c);
    }
    tag = tagBuffer_;
    buffered_ = true;
  }
  return true;
}

// Attributes are separated by whitespace outside quotes; each is name=value
// with the value's quotes taken off. Pieces without a value are skipped.
void TXLSReadXML::SplitAttributes(std::string_view rest) {
  const std::size_t n = rest.size();
  std::size_t i = 0;
  while (i < n) {
    while (i < n && IsXMLSpace(rest[i])) ++i;
    if (i >= n) break;
    std::size_t j = i;
    char quote = 0;
    for (; j < n; ++j) {
      const char c = rest[j];
      if (quote != 0) {
        if (c == quote) quote = 0;
      } else if (IsXMLSpace(c)) {
        break;
      } else if (IsQuote(c)) {
        quote = c;
      }
    }
    const std::string_view piece = TrimTagText(rest.substr(i, j - i));
    i = j;
    const std::size_t eq = piece.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view name = TrimTagText(piece.substr(0, eq));
    std::string_view value = TrimTagText(piece.substr(eq + 1));
    if (value.empty()) continue;
    if (IsQuote(value.front())) value.remove_prefix(1);
    if (!value.empty() && IsQuote(value.back())) value.remove_suffix(1);
    AddAttribute(name, value);
  }
}

// ---- TXLSReadXMLStream ------------------------------------------------------------------

void TXLSReadXMLStream::SetStream(TMemoryStream& stream) {
  const std::size_t size = static_cast<std::size_t>(stream.Size());
  const std::size_t position = std::min(static_cast<std::size_t>(stream.Position()), size);
  const uint8_t* base = stream.Memory();
  SetInput(base + position, base + size);
  ClearValueList();
}

// ---- TExXMLValue / TExXMLTag -------------------------------------------------------------

std::u16string TExXMLValue::Text() const { return platform::AnsiToWide(raw_); }

std::u16string TExXMLTag::Name() const { return platform::AnsiToWide(RawName()); }
std::u16string TExXMLTag::Text() const { return platform::AnsiToWide(RawText()); }

TExXMLTag* TExXMLTag::Child(int index) const {
  if (index < 0 || index >= ChildCount()) ThrowListIndexError(index);
  return children_[static_cast<std::size_t>(index)];
}


TExXMLValue TExXMLTag::Value(int attr) const {
  const Slot* s = FindSlot(attr);
  return s != nullptr ? TExXMLValue(attr, s->value) : TExXMLValue(-1, std::string_view());
}

std::vector<int> TExXMLTag::Attributes() const {
  std::vector<int> attrs;
  attrs.reserve(slots_.size());
  for (const Slot& s : slots_) attrs.push_back(s.attr);
  std::sort(attrs.begin(), attrs.end());
  return attrs;
}

void TExXMLTag::ThrowMissing(int attr) const {
  Throw("Required value missing: " + std::string(AttributeName(attr)));
}

bool TExXMLTag::GetBoolean(int attr, bool defaultValue) const {
  return HasValue(attr) ? RawValue(attr) == "1" : defaultValue;
}

int32_t TExXMLTag::GetInteger(int attr, int32_t defaultValue) const {
  if (!HasValue(attr)) return defaultValue;
  int32_t v = 0;
  return XMLTextToInt(RawValue(attr), v) ? v : 0;
}

double TExXMLTag::GetFloat(int attr, double defaultValue) const {
  if (!HasValue(attr)) return defaultValue;
  double v = 0;
  return XMLTextToFloat(RawValue(attr), v) ? v : 0.0;
}

std::u16string TExXMLTag::GetString(int attr, std::u16string_view defaultValue) const {
  return HasValue(attr) ? platform::AnsiToWide(RawValue(attr)) : std::u16string(defaultValue);
}

int TExXMLTag::GetEnum(int attr, int defaultValue, std::span<const std::string_view> names) const {
  if (!HasValue(attr)) return defaultValue;
  const std::string_view v = RawValue(attr);
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == v) return static_cast<int>(i);
  return defaultValue;
}

int32_t TExXMLTag::RequireInteger(int attr) const {
  if (!HasValue(attr)) ThrowMissing(attr);
  return GetInteger(attr, 0);
}

double TExXMLTag::RequireFloat(int attr) const {
  if (!HasValue(attr)) ThrowMissing(attr);
  return GetFloat(attr, 0);
}

std::u16string TExXMLTag::RequireString(int attr) const {
  if (!HasValue(attr)) ThrowMissing(attr);
  return GetString(attr);
}

void TExXMLTag::GetCellRef(int attr, int32_t& col, int32_t& row) const {
  if (!HasValue(attr)) ThrowMissing(attr);
  ParsePlainCellRef(RawValue(attr), col, row);
}

void TExXMLTag::GetAreaRef(int attr, int32_t& col1, int32_t& row1, int32_t& col2, int32_t& row2) const {
  if (!HasValue(attr)) ThrowMissing(attr);
  const std::string_view text = RawValue(attr);
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    ParsePlainCellRef(text, col1, row1);
    col2 = col1;
    row2 = row1;
    return;
  }
  ParsePlainCellRef(text.substr(0, colon), col1, row1);
  ParsePlainCellRef(text.substr(colon + 1), col2, row2);
}

TExXMLTag* TExXMLTag::FindChild(int tag) const {
  for (TExXMLTag* c : children_)
    if (c->tag_ == tag) return c;
  return nullptr;
}

const TExXMLTag* TExXMLTag::FindChildWith(int tag, int attr) const {
  for (const TExXMLTag* c : children_)
    if (c->tag_ == tag && c->HasValue(attr)) return c;
  return nullptr;
}

std::u16string TExXMLTag::GetChildString(int tag, int attr, std::u16string_view defaultValue) const {
  const TExXMLTag* c = FindChildWith(tag, attr);
  return c != nullptr ? c->GetString(attr) : std::u16string(defaultValue);
}

double TExXMLTag::GetChildFloat(int tag, int attr, double defaultValue) const {
  const TExXMLTag* c = FindChildWith(tag, attr);
  return c != nullptr ? c->GetFloat(attr, defaultValue) : defaultValue;
}

std::u16string TExXMLTag::RequireChildString(int tag, int attr) const {
  const TExXMLTag* c = FindChildWith(tag, attr);
  if (c == nullptr)
    Throw(Format("Tag value %s:%s missing", std::string(TagName(tag)).c_str(), std::string(AttributeName(attr)).c_str()));
  return c->GetString(attr);
}

bool TExXMLTag::GetChildBoolean(int tag, int attr, bool defaultValue) const {
  const TExXMLTag* c = FindChild(tag);
  if (c == nullptr) return false;
  return c->GetBoolean(attr, defaultValue);
}

void TExXMLTag::IterateChildren(int tag) {
  expected_ = tag;
  next_ = 0;
}

TExXMLTag* TExXMLTag::NextChild() {
  if (next_ < children_.size()) {
    TExXMLTag* child = children_[next_++];
    if (expected_ != -1 && child->tag_ != expected_)
      Throw(Format("Unexpected tag %d, %s", child->tag_, HostText(child->RawName()).c_str()));
    return child;
  }
  expected_ = -1;
  next_ = 0;
  owner_->DiscardChildren(this);
  return nullptr;
}

int32_t TExXMLTag::TextAsInteger() const {
  int32_t v = 0;
  return XMLTextToInt(RawText(), v) ? v : 0;
}

double TExXMLTag::TextAsFloat() const {
  double v = 0;
  return XMLTextToFloat(RawText(), v) ? v : 0.0;
}

void TExXMLTag::Own() {
  if (owned_) return;
  std::size_t total = name_.size() + text_.size();
  for (const Slot& s : slots_) total += s.value.size();
  bytes_.clear();
  bytes_.reserve(total);  // no reallocation below, so the views stay valid
  auto keep = [this](std::string_view& v) {
    const std::size_t at = bytes_.size();
    bytes_.append(v);
    v = std::string_view(bytes_.data() + at, v.size());
  };
  keep(name_);
  keep(text_);
  for (Slot& s : slots_) keep(s.value);
  owned_ = true;
}

void TExXMLTag::Reset() {
  parent_ = nullptr;
  tag_ = kTagUnknown;
  name_ = {};
  text_ = {};
  owned_ = false;
  slots_.clear();
  mask_ = {};
  children_.clear();
  expected_ = -1;
  next_ = 0;
}

namespace {

void WriteTag(const TExXMLTag& node, std::string& out) {
  out += '<';
  out += node.RawName();
  for (const int attr : node.Attributes()) {
    out += ' ';
    out += AttributeName(attr);
    out += "=\"";
    out += node.RawValue(attr);
    out += '"';
  }
  if (node.RawText().empty() && node.ChildCount() == 0) {
    out += "/>";
    return;
  }
  out += '>';
  out += node.RawText();
  for (int i = 0; i < node.ChildCount(); ++i) WriteTag(*node.Child(i), out);
  out += "</";
  out += node.RawName();
  out += '>';
}

}  // namespace

std::u16string TagToXML(const TExXMLTag& node) { return platform::AnsiToWide(TagToXMLText(node)); }

std::string TagToXMLText(const TExXMLTag& node) {
  std::string out;
  WriteTag(node, out);  // depth is bounded by the nesting limit
  return out;
}

// ---- TXLSReadExcelXMLStream ------------------------------------------------------------------

TXLSReadExcelXMLStream::TXLSReadExcelXMLStream() {
  root_ = NewNode();
  root_->name_ = "PARENT";
  root_->owned_ = true;
  current_ = root_;
  pending_.reserve(16);
}

TXLSReadExcelXMLStream::~TXLSReadExcelXMLStream() = default;

void TXLSReadExcelXMLStream::TagStarted(int) {}
bool TXLSReadExcelXMLStream::TagEnded(int) { return false; }

void TXLSReadExcelXMLStream::Parse(const std::u16string& partName) {
  partName_ = partName;
  bindings_.clear();
  pendingBindings_.clear();
  compatibility_.clear();
  skipDepth_ = 0;
  try {
    for (;;) {
      if (wholeLead_ != 0 && AtWholeElement() && ReadWholeElement()) {
        if (!current_->children_.empty()) DiscardChildren(current_);
        continue;
      }
      if (!ReadTag()) break;
    }
  } catch (...) {
    OwnTree();
    throw;
  }
  OwnTree();
}

void TXLSReadExcelXMLStream::OwnTree() {
  discardStack_.assign(1, root_);
  while (!discardStack_.empty()) {
    TExXMLTag* n = discardStack_.back();
    discardStack_.pop_back();
    n->Own();
    discardStack_.insert(discardStack_.end(), n->children_.begin(), n->children_.end());
  }
}

TExXMLTag* TXLSReadExcelXMLStream::NewNode() {
  if (!free_.empty()) {
    TExXMLTag* node = free_.back();
    free_.pop_back();
    return node;
  }
  // Elements nobody consumes (unknown ones, say) stay in the tree until
  // their parent goes; a part made of nothing else must not take memory
  // without bound.
  if (nodes_.size() >= nodeLimit_)
    Throw(Format("Too many XML elements held at once in %s", platform::WideToHost(partName_).c_str()));
  nodes_.push_back(std::unique_ptr<TExXMLTag>(new TExXMLTag(*this)));
  return nodes_.back().get();
}

void TXLSReadExcelXMLStream::DiscardChildren(TExXMLTag* node) {
  // Children and grandchildren without children of their own (a cell with
  // its v and f) go straight back; deeper subtrees go through the stack.
  for (TExXMLTag* child : node->children_) {
    for (TExXMLTag* grandchild : child->children_) {
      if (grandchild->children_.empty()) {
        grandchild->Reset();
        free_.push_back(grandchild);
      } else {
        discardStack_.push_back(grandchild);
      }
    }
    child->Reset();
    free_.push_back(child);
  }
  node->children_.clear();
  while (!discardStack_.empty()) {
    TExXMLTag* n = discardStack_.back();
    discardStack_.pop_back();
    discardStack_.insert(discardStack_.end(), n->children_.begin(), n->children_.end());
    n->Reset();
    free_.push_back(n);
  }
}

void TXLSReadExcelXMLStream::AttributeRead(std::string_view name, std::string_view value) {
  if (skipDepth_ > 0) return;  // inside a markup-compatibility branch not taken
  if (name.size() > 6 && name[0] == 'x' && name.substr(0, 6) == "xmlns:") {
    TNamespace ns = TNamespace::nsOther;
    if (value == kMainNamespaces[0] || value == kMainNamespaces[1]) ns = TNamespace::nsMain;
    else if (value == kRelationshipNamespaces[0] || value == kRelationshipNamespaces[1]) ns = TNamespace::nsRelationships;
    else if (value == kCompatibilityNamespace) ns = TNamespace::nsCompatibility;
    pendingBindings_.push_back({std::string(name.substr(6)), ns, 0});
  }
  if (name == "Requires") pendingRequires_ = value;
  const int attr = FindAttribute(name);
  if (attr < 0) return;
  const auto a = static_cast<unsigned>(attr);
  uint64_t& word = pendingMask_[a >> 6];
  const uint64_t bit = uint64_t{1} << (a & 63);
  if ((word & bit) != 0)
    Throw(Format("Duplicate tag value: %s; Doc=%s; Tag=%s", std::string(name).c_str(),
                 platform::WideToHost(partName_).c_str(), HostText(current_->RawName()).c_str()));
  word |= bit;
  pending_.push_back({attr, value});
}

TXLSReadExcelXMLStream::TNamespace TXLSReadExcelXMLStream::PrefixNamespace(std::string_view prefix) const {
  for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it)
    if (it->prefix == prefix) return it->ns;
  return TNamespace::nsOther;
}

// A name whose prefix is bound to the SpreadsheetML main namespace counts by
// its local name; other prefixed names are not in the table.
int TXLSReadExcelXMLStream::ResolveTag(std::string_view name) const {
  const int tag = FindTag(name);
  if (tag >= 0) return tag;
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos || bindings_.empty()) return kTagUnknown;
  if (PrefixNamespace(name.substr(0, colon)) != TNamespace::nsMain) return kTagUnknown;
  const int local = FindTag(name.substr(colon + 1));
  return local >= 0 ? local : kTagUnknown;
}

std::string_view TXLSReadExcelXMLStream::CompatibilityName(std::string_view name) const {
  const std::size_t colon = name.find(':');
  if (colon == std::string_view::npos || PrefixNamespace(name.substr(0, colon)) != TNamespace::nsCompatibility)
    return {};
  return name.substr(colon + 1);
}

bool TXLSReadExcelXMLStream::Understood(std::string_view prefixes) const {
  bool any = false;
  for (std::size_t i = 0; i < prefixes.size();) {
    while (i < prefixes.size() && static_cast<uint8_t>(prefixes[i]) <= 32) ++i;
    std::size_t j = i;
    while (j < prefixes.size() && static_cast<uint8_t>(prefixes[j]) > 32) ++j;
    if (j > i) {
      const TNamespace ns = PrefixNamespace(prefixes.substr(i, j - i));
      if (ns != TNamespace::nsMain && ns != TNamespace::nsRelationships) return false;
      any = true;
    }
    i = j;
  }
  return any;
}

void TXLSReadExcelXMLStream::ClearPending() {
  pendingMask_ = {};
  pending_.clear();
  pendingBindings_.clear();
  pendingRequires_ = {};
}

// mc:AlternateContent takes the first mc:Choice whose Requires prefixes are
// all namespaces this reader understands, else its mc:Fallback, else
// nothing; the elements of the branch taken count as children of the
// AlternateContent's parent, every other child is passed over whole.
bool TXLSReadExcelXMLStream::CompatibilityStart(std::string_view name) {
  const bool insideAlternate =
      !compatibility_.empty() && !compatibility_.back().branch && compatibility_.back().depth == depth_ - 1;
  const std::string_view local = CompatibilityName(name);
  if (local == "AlternateContent") {
    compatibility_.push_back({depth_, false, false});
    return true;
  }
  if (!insideAlternate) return false;
  TCompatibilityFrame& alternate = compatibility_.back();
  const bool take = !alternate.chosen && ((local == "Choice" && Understood(pendingRequires_)) || local == "Fallback");
  if (take) {
    alternate.chosen = true;
    compatibility_.push_back({depth_, true, false});
    return true;
  }
  // A branch not taken, or anything else inside AlternateContent.
  while (!bindings_.empty() && bindings_.back().depth >= depth_) bindings_.pop_back();
  --depth_;
  skipDepth_ = 1;
  return true;
}

void TXLSReadExcelXMLStream::StartTag(std::string_view name, std::string_view text, bool /*isEmpty*/) {
  if (skipDepth_ > 0) {
    ++skipDepth_;
    ClearPending();
    return;
  }
  ++depth_;
  if (!pendingBindings_.empty()) {
    for (Binding& b : pendingBindings_) {
      b.depth = depth_;
      bindings_.push_back(std::move(b));
    }
    pendingBindings_.clear();
  }
  const int tag = ResolveTag(name);
  if ((!compatibility_.empty() || (tag == kTagUnknown && name.find(':') != std::string_view::npos)) &&
      CompatibilityStart(name)) {
    ClearPending();
    return;
  }
  pendingRequires_ = {};

  TExXMLTag* node = NewNode();
  node->parent_ = current_;
  node->tag_ = tag;
  node->name_ = name;
  node->text_ = text;
  for (const Pending& p : pending_) node->slots_.push_back({p.attr, p.value});
  node->mask_ = pendingMask_;
  if (TagBuffered()) node->Own();  // the buffer is reused by the next tag
  pendingMask_ = {};
  pending_.clear();

  current_->children_.push_back(node);
  current_ = node;
  if (node->tag_ != kTagUnknown) TagStarted(node->tag_);
}

void TXLSReadExcelXMLStream::EndTag(std::string_view /*name*/, bool /*isEmpty*/) {
  if (skipDepth_ > 0) {
    --skipDepth_;
    return;
  }
  if (!compatibility_.empty() && compatibility_.back().depth == depth_) {
    // The end of an AlternateContent element or of the branch taken.
    compatibility_.pop_back();
    while (!bindings_.empty() && bindings_.back().depth >= depth_) bindings_.pop_back();
    --depth_;
    return;
  }
  if (current_ == root_) return;  // the level check keeps end tags balanced
  TExXMLTag* node = current_;
  const bool consumed = TagEnded(node->tag_);
  while (!bindings_.empty() && bindings_.back().depth >= depth_) bindings_.pop_back();
  --depth_;
  current_ = node->parent_;
  if (consumed) DiscardChildren(current_);
}

}  // namespace tabulon
