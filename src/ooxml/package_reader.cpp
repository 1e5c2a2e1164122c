#include "ooxml/package_reader.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "ooxml/zip.h"
#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/cells.h"
#include "workbook/formats.h"
#include "workbook/sheet.h"
#include "workbook/workbook.h"

namespace tabulon {

namespace {

constexpr std::array<std::string_view, kWorkbookRelationTypeCount> kWorkbookRelationTypes = {
    "",
    "additionalCharacteristics",
    "bibliography",
    "calcChain",
    "sheetMetadata",
    "connections",
    "xmlMaps",
    "customXml",
    "sharedStrings",
    "revisionHeaders",
    "usernames",
    "styles",
    "theme",
    "thumbnail",
    "volatileDependencies",
    "chartsheet",
    "dialogsheet",
    "externalLink",
    "pivotCacheDefinition",
    "worksheet",
    "vbaProject",
    "attachedToolbars",
    "xlIntlMacrosheet",
};

// Relationship namespaces, with the number a relationship notes for each.
constexpr std::string_view kRelationNamespaces[2] = {
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/",
    "http://schemas.microsoft.com/office/2006/relationships/",
};

constexpr std::string_view kPatternTypes[] = {
    "none",       "solid",          "mediumGray",    "darkGray",  "lightGray",  "darkHorizontal",
    "darkVertical", "darkDown",     "darkUp",        "darkGrid",  "darkTrellis", "lightHorizontal",
    "lightVertical", "lightDown",   "lightUp",       "lightGrid", "lightTrellis", "gray125",
};

constexpr std::string_view kBorderStyles[] = {
    "none",   "thin", "medium",       "dashed",        "dotted",           "thick",           "double",
    "hair",   "mediumDashed", "dashDot", "mediumDashDot", "dashDotDot", "mediumDashDotDot",
};

constexpr std::string_view kHorizontalAlignments[] = {
    "general", "left", "center", "right", "fill", "justify", "centerContinuous", "distributed",
};

constexpr std::string_view kVerticalAlignments[] = {"top", "center", "bottom", "justify", "distributed"};

// The sheet's last column and row (the cell container's limits).
constexpr int32_t kLastColumn = 16383;
constexpr int32_t kLastRow = 1048575;

// Raises "Required value missing: " for an absent attribute; else its bytes.
std::string_view RequireRaw(const TExXMLTag& node, int attr) {
  if (!node.HasValue(attr)) node.RequireString(attr);  // raises
  return node.RawValue(attr);
}

// The first child with that tag number that carries the attribute.
const TExXMLTag* ChildWith(const TExXMLTag& node, int tag, int attr) {
  for (int i = 0; i < node.ChildCount(); ++i) {
    const TExXMLTag* child = node.Child(i);
    if (child->Tag() == tag && child->HasValue(attr)) return child;
  }
  return nullptr;
}

bool EqualsLower(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

double Clamp(double value, double low, double high) {
  if (!(value >= low)) return low;  // NaN too
  return value > high ? high : value;
}

template <typename T>
T ClampInt(int64_t value) {
  return static_cast<T>(std::clamp<int64_t>(value, std::numeric_limits<T>::min(), std::numeric_limits<T>::max()));
}

// A measure from the file scaled and rounded to the nearest integer (halves
// to even, the default rounding mode).
uint32_t ScaledMeasure(double value, double scale, double high) {
  return static_cast<uint32_t>(std::nearbyint(Clamp(value * scale, 0, high)));
}

TEx12Color ReadColor(const TExXMLTag* node) {
  TEx12Color color;
  if (node == nullptr) return color;
  if (node->HasValue(xaAuto)) {
    color.Kind = 4;
  } else if (node->HasValue(xaIndexed)) {
    color.Kind = 1;
    color.Value = static_cast<uint32_t>(node->GetInteger(xaIndexed, 0));
  } else if (node->HasValue(xaRgb)) {
    color.Kind = 2;
    const std::string_view rgb = node->RawValue(xaRgb);
    uint32_t value = 0;
    const auto [end, ec] = std::from_chars(rgb.data(), rgb.data() + rgb.size(), value, 16);
    color.Value = (ec == std::errc() && end == rgb.data() + rgb.size()) ? value : 0;
  } else if (node->HasValue(xaTheme)) {
    color.Kind = 3;
    color.Value = static_cast<uint32_t>(node->GetInteger(xaTheme, 0));
  }
  color.Tint = node->GetFloat(xaTint, 0);
  return color;
}

void PutU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

std::string_view WorkbookRelationTypeName(int number) {
  return number >= 0 && number < kWorkbookRelationTypeCount ? kWorkbookRelationTypes[static_cast<std::size_t>(number)]
                                                            : std::string_view();
}

// ---- Reading sequence ------------------------------------------------------------------------

TXLSRead2007XML::TXLSRead2007XML(TXLSWorkbook& workbook, TPartBuffer* partBuffer)
    : workbook_(workbook), part_(partBuffer != nullptr ? *partBuffer : ownPart_) {}

TXLSRead2007XML::~TXLSRead2007XML() = default;

void TXLSRead2007XML::Read(TStream& package, TStream* scratch) {
  sheetCounter_ = 0;
  scratch_ = scratch;
  partsRead_.clear();
  TXMLRelationsWorkbook& relations = workbook_.Relations();
  relations.Loading = true;
  struct TLoadingEnd {
    TXMLRelations& list;
    ~TLoadingEnd() { list.Loading = false; }
  } loadingEnd{relations};

  {
    TXLSZipArchive archive;
    archive.OpenStream(package);
    // No ZIP archive (an encrypted package is a compound file) or no
    // workbook part: nothing here to read cells from.
    const std::string workbookPart = FindWorkbookPart(archive);
    if (workbookPart.empty()) Throw("The file is not an Excel workbook");
    workbookFolder_ = PartFolder(workbookPart);

    partRelations_.Clear();
    workbookRelations_ = ReadPart(archive, RelationshipsPartOf(workbookPart), TPartKind::pkWorkbookRelations);
    relations.Sort();
    if (ReadPart(archive, WorkbookPartOf("styles", "styles.xml"), TPartKind::pkStyles)) {
      workbook_.Fonts().RebuildFontTrie();
      // The formats of the file stay put: a cell written over another must
      // not delete the format it used and move every later one down.
      workbook_.CellFormats().DeletableFrom = workbook_.CellFormats().Count();
    }
    ReadPart(archive, WorkbookPartOf("sharedStrings", "sharedStrings.xml"), TPartKind::pkSharedStrings);
    sheetParts_.clear();
    ReadPart(archive, workbookPart, TPartKind::pkWorkbook);
    if (workbookRelations_) ReadSheetsByRelationship(archive);
    else ReadSheetsByNumber(archive);
    sheet_ = nullptr;
  }

  if (scratch != nullptr) {
    scratch->CopyFrom(package, 0);
    TXLSZipArchive copy;
    copy.OpenStream(*scratch);
  }
}

std::string TXLSRead2007XML::FindWorkbookPart(TXLSZipArchive& archive) {
  officeDocument_.clear();
  ReadPart(archive, std::string_view("_rels/.rels"), TPartKind::pkPackageRelations);
  for (const std::string& name : {officeDocument_, std::string("xl/workbook.xml")}) {
    if (!name.empty() && archive.FindFile(platform::AnsiToWide(name)) >= 0) return name;
  }
  return {};
}

std::string TXLSRead2007XML::WorkbookPartOf(std::string_view kind, std::string_view fallbackName) const {
  const TPartRelations::Item* relation = partRelations_.FindKind(kind);
  if (relation != nullptr) return ResolveTarget(workbookFolder_, relation->Target);
  return workbookFolder_ + std::string(fallbackName);
}

void TXLSRead2007XML::ReadSheetsByRelationship(TXLSZipArchive& archive) {
  // Each sheet from the part its sheet element named; a sheet without one
  // (a missing relationship or part) stays empty.
  TSheets& sheets = workbook_.Sheets();
  for (std::size_t i = 0; i < sheetParts_.size() && i < static_cast<std::size_t>(sheets.Count()); ++i) {
    const std::string& part = sheetParts_[i];
    if (part.empty() || archive.FindFile(platform::AnsiToWide(part)) < 0) continue;
    sheet_ = &sheets[static_cast<int32_t>(i)];
    if (ReadPart(archive, RelationshipsPartOf(part), TPartKind::pkSheetRelations)) sheet_->Relations().Sort();
    ReadPart(archive, part, TPartKind::pkWorksheet);
  }
}

void TXLSRead2007XML::ReadSheetsByNumber(TXLSZipArchive& archive) {
  TSheets& sheets = workbook_.Sheets();
  const std::string folder = workbookFolder_ + "worksheets/";
  for (int32_t n = 1; n <= sheets.Count(); ++n) {
    sheet_ = &sheets[n - 1];
    if (ReadPart(archive, folder + Format("_rels/sheet%d.xml.rels", n), TPartKind::pkSheetRelations))
      sheet_->Relations().Sort();
  }
  // Worksheet parts go to the sheets by number, up to the first missing one.
  for (int32_t n = 1;; ++n) {
    const std::string name = folder + Format("sheet%d.xml", n);
    if (archive.FindFile(platform::AnsiToWide(name)) < 0) break;
    sheet_ = &sheets[n - 1];
    ReadPart(archive, name, TPartKind::pkWorksheet);
  }
}

bool TXLSRead2007XML::ReadPart(TXLSZipArchive& archive, std::string_view name, TPartKind kind) {
  return ReadPart(archive, platform::AnsiToWide(name), kind);
}

bool TXLSRead2007XML::ReadPart(TXLSZipArchive& archive, const std::u16string& name, TPartKind kind) {
  if (archive.FindFile(name) < 0) return false;
  if (scratch_ != nullptr) partsRead_.push_back(name);
  archive.ExtractFile(name, part_);
  kind_ = kind;
  lastRow_ = -1;
  currentRow_ = 0;
  lastCol_ = -1;
  pendingRows_.clear();
  pendingCols_.clear();
  SetBuffer(part_.Data(), part_.Size());
  SetWholeElementLead(kind == TPartKind::pkWorksheet ? 'c' : '\0');
  Parse(name);
  if (kind == TPartKind::pkWorksheet) {
    // A part cut short still gets the rows and columns it gave.
    ApplyRows();
    ApplyCols();
  }
  kind_ = TPartKind::pkNone;
  return true;
}

// ---- Tag hooks ---------------------------------------------------------------------------------

void TXLSRead2007XML::TagStarted(int tag) {
  if (kind_ == TPartKind::pkSharedStrings) {
    if (tag == xtSst) workbook_.SST().Clear();
  } else if (kind_ == TPartKind::pkWorksheet) {
    if (tag == xtRow) {
      // A row without r follows the previous one; its cells without r
      // count their columns from A.
      const TExXMLTag& node = *CurrentNode();
      currentRow_ = node.HasValue(xaR) ? ClampInt<int32_t>(int64_t{node.GetInteger(xaR, 0)} - 1) : lastRow_ + 1;
      lastRow_ = currentRow_;
      lastCol_ = -1;
    }
  }
}

bool TXLSRead2007XML::TagEnded(int tag) {
  if (tag == kTagUnknown) return false;
  TExXMLTag& node = *CurrentNode();
  switch (kind_) {
    case TPartKind::pkWorksheet: return WorksheetTagEnded(tag, node);
    case TPartKind::pkSharedStrings: return SharedStringsTagEnded(tag, node);
    case TPartKind::pkStyles: return StylesTagEnded(tag, node);
    case TPartKind::pkWorkbook: return WorkbookTagEnded(tag, node);
    case TPartKind::pkPackageRelations:
    case TPartKind::pkWorkbookRelations:
    case TPartKind::pkSheetRelations: return RelationsTagEnded(tag, node);
    case TPartKind::pkNone: break;
  }
  return false;
}

// ---- Relationships -----------------------------------------------------------------------------

bool TXLSRead2007XML::RelationsTagEnded(int tag, TExXMLTag& node) {
  if (tag == xtRelationship && kind_ == TPartKind::pkPackageRelations) {
    // Only the main part matters here; anything malformed is passed over.
    if (officeDocument_.empty() && IsOfficeDocumentRelationship(node.RawValue(xaRelType)) &&
        node.RawValue(xaTargetMode) != "External")
      officeDocument_ = ResolveTarget("", node.RawValue(xaTarget));
    return true;
  }
  if (tag == xtRelationship) {
    const bool workbook = kind_ == TPartKind::pkWorkbookRelations;
    if (workbook && node.HasValue(xaRelType) && node.HasValue(xaRelId) && node.HasValue(xaTarget))
      partRelations_.Add(node.RawValue(xaRelId), node.RawValue(xaRelType), node.RawValue(xaTarget),
                         node.RawValue(xaTargetMode) == "External");
    if (workbook)
      ReadRelationship(node, workbook_.Relations(), true);
    else
      ReadRelationship(node, sheet_->Relations(), false);
    return true;
  }
  return tag == xtRelationships;
}

void TXLSRead2007XML::ReadRelationship(TExXMLTag& node, TXMLRelations& list, bool workbook) {
  const std::string_view type = RequireRaw(node, xaRelType);
  const std::size_t slash = type.rfind('/');
  if (workbook) {
    // The parts the reader takes by their fixed names are not kept.
    if (slash == std::string_view::npos) return;
    const std::string_view last = type.substr(slash + 1);
    if (last == "worksheet" || last == "sharedStrings" || last == "styles" || last == "calcChain") return;
  }
  const std::string_view id = RequireRaw(node, xaRelId);
  TXMLRelation& relation = list.Add();
  relation.Id = id;
  int32_t number = 0;
  relation.Number = id.size() > 3 && XMLTextToInt(id.substr(3), number) ? number : 0;

  relation.TypeName = type;
  if (slash != std::string_view::npos && slash > 0) {
    const std::string_view prefix = type.substr(0, slash + 1);
    for (uint8_t i = 0; i < 2; ++i) {
      if (prefix == kRelationNamespaces[i]) {
        relation.Namespace = static_cast<uint8_t>(i + 1);
        relation.TypeName = type.substr(slash + 1);
        break;
      }
    }
  }
  if (workbook) {
    // Types outside the table (newer Office parts, other namespaces) are
    // kept with number 0: nothing the reader does depends on them.
    relation.TypeNumber = 0;
    if (relation.Namespace != 0) {
      for (int i = 1; i < kWorkbookRelationTypeCount; ++i) {
        if (kWorkbookRelationTypes[static_cast<std::size_t>(i)] == relation.TypeName) {
          relation.TypeNumber = i;
          break;
        }
      }
    }
  }
  relation.Target = RequireRaw(node, xaTarget);
  const std::string_view mode = node.RawValue(xaTargetMode);
  if (mode.empty())
    relation.TargetMode = 0;
  else if (mode == "Internal")
    relation.TargetMode = 1;
  else if (mode == "External")
    relation.TargetMode = 2;
  else
    Throw("Unknown Relation TargetMode");
}

// ---- Workbook part -----------------------------------------------------------------------------

bool TXLSRead2007XML::WorkbookTagEnded(int tag, TExXMLTag& node) {
  const bool topLevel = node.Parent() != nullptr && node.Parent()->Tag() == xtWorkbook;
  switch (tag) {
    case xtSheet: {
      // Through the relationships: the part the sheet's r:id names; chart
      // sheets make no sheet, as in legacy workbooks.
      std::string part;
      if (workbookRelations_ && node.HasValue(xaRId)) {
        if (const TPartRelations::Item* relation = partRelations_.Find(node.RawValue(xaRId))) {
          if (relation->Kind == "chartsheet") return true;
          if (!relation->External) part = ResolveTarget(workbookFolder_, relation->Target);
        }
      }
      TSheets& sheets = workbook_.Sheets();
      if (sheetCounter_ > 0) sheets.Add(skWorksheet);
      sheets[sheetCounter_].SetName(node.RequireString(xaName));
      ++sheetCounter_;
      sheetParts_.push_back(std::move(part));
      return true;
    }
    case xtDefinedName: {
      TDefinedName name;
      name.Name = node.RequireString(xaName);
      name.Comment = node.GetString(xaComment);
      name.CustomMenu = node.GetString(xaCustomMenu);
      name.Description = node.GetString(xaDescription);
      name.Help = node.GetString(xaHelp);
      name.StatusBar = node.GetString(xaStatusbar);
      name.ShortcutKey = node.GetString(xaShortcutKey);
      name.SheetIndex = node.GetInteger(xaLocalSheetId, 0);
      name.FunctionGroupId = node.GetInteger(xaFunctionGroupId, 0);
      constexpr std::pair<int, uint16_t> kOptions[] = {
          {xaHidden, noHidden}, {xaFunction, noFunction}, {xaVbProcedure, noVBProcedure},
          {xaXlm, noXlm},       {xaPublishToServer, noPublishToServer}, {xaWorkbookParameter, noWorkbookParameter},
      };
      for (const auto& [attr, bit] : kOptions)
        if (node.GetBoolean(attr, false)) name.Options |= bit;
      name.FormulaText = node.DecodedText();
      workbook_.FormulaHandler().Names().push_back(std::move(name));
      return true;
    }
    case xtExternalReference: {
      const std::string_view id = RequireRaw(node, xaRId);
      TXMLRelation* relation = workbook_.Relations().Find(id);
      if (relation == nullptr) Throw("Required relationship missing: " + std::string(id));
      workbook_.FormulaHandler().ExtRelations().push_back(relation);
      return true;
    }
    case xtCalcPr:
      workbook_.CalcId = static_cast<uint32_t>(node.GetInteger(xaCalcId, 0));
      return true;
    case xtDefinedNames:
    case xtExternalReferences:
    case xtSheets:
      workbook_.SavedTags().Add(tag, "<" + std::string(tabulon::TagName(tag)) + "/>", true);
      return true;
    case xtBookViews:
    case xtCustomWorkbookViews:
    case xtExtLst:
    case xtFileRecoveryPr:
    case xtFileSharing:
    case xtFileVersion:
    case xtFunctionGroups:
    case xtOleSize:
    case xtPivotCaches:
    case xtSmartTagPr:
    case xtSmartTagTypes:
    case xtWebPublishing:
    case xtWebPublishObjects:
    case xtWorkbookPr:
    case xtWorkbookProtection:
      if (!topLevel) return false;
      workbook_.SavedTags().Add(tag, TagToXMLText(node));
      return true;
    case xtWorkbook: return true;
    default: return false;
  }
}

// ---- Styles part -------------------------------------------------------------------------------

void TXLSRead2007XML::ReadFont(const TExXMLTag& node, TXFontEx12& font, bool runProperties) {
  font.Reset();
  std::memset(font.Ex12Data, 0, sizeof font.Ex12Data);
  uint8_t style = 0;
  if (node.GetChildBoolean(xtB, xaVal, true)) style |= kFontBold;
  if (node.GetChildBoolean(xtI, xaVal, true)) style |= kFontItalic;
  if (node.GetChildBoolean(xtStrike, xaVal, true)) style |= kFontStrikeOut;
  font.SetStyle(style);
  uint8_t flags = 0;
  if (node.GetChildBoolean(xtCondense, xaVal, true)) flags |= 0x01;
  if (node.GetChildBoolean(xtExtend, xaVal, true)) flags |= 0x02;
  if (node.GetChildBoolean(xtOutline, xaVal, true)) flags |= 0x04;
  if (node.GetChildBoolean(xtShadow, xaVal, true)) flags |= 0x08;
  font.SetHeight(ScaledMeasure(node.GetChildFloat(xtSz, xaVal, 8), 20, 0xFFFF));

  const TEx12Color color = ReadColor(node.FindChild(xtColor));
  uint32_t colorValue = 0;
  int32_t theme = -1;
  switch (color.Kind) {
    case 1:
      font.SetColor(static_cast<uint8_t>(std::min<uint32_t>(color.Value, 255)));
      colorValue = color.Value;
      flags |= 0x20;
      break;
    case 2:
      colorValue = color.Value;
      flags |= 0x10;
      break;
    case 3: theme = static_cast<int32_t>(color.Value); break;
    case 4: flags |= 0x40; break;
    default: break;
  }

  font.Name = runProperties ? node.RequireChildString(xtRFont, xaVal) : node.GetChildString(xtName, xaVal, u"Arial");
  if (const TExXMLTag* family = ChildWith(node, xtFamily, xaVal))
    font.SetFamily(ClampInt<uint8_t>(family->GetInteger(xaVal, 0)));
  if (const TExXMLTag* charset = ChildWith(node, xtCharset, xaVal))
    font.SetCharset(ClampInt<uint8_t>(charset->GetInteger(xaVal, 0)));
  uint8_t scheme = 0;
  if (const TExXMLTag* child = ChildWith(node, xtScheme, xaVal)) {
    const std::string_view v = child->RawValue(xaVal);
    scheme = EqualsLower(v, "minor") ? 1 : EqualsLower(v, "major") ? 2 : 0;
  }
  if (const TExXMLTag* u = node.FindChild(xtU)) {
    uint8_t underline = 1;
    if (u->HasValue(xaVal)) {
      const std::string_view v = u->RawValue(xaVal);
      if (EqualsLower(v, "double")) underline = 2;
      else if (EqualsLower(v, "singleaccounting")) underline = 3;
      else if (EqualsLower(v, "doubleaccounting")) underline = 4;
    }
    font.SetUnderline(underline);
  }
  uint8_t vertAlign = 0;
  if (const TExXMLTag* child = ChildWith(node, xtVertAlign, xaVal)) {
    const std::string_view v = child->RawValue(xaVal);
    vertAlign = EqualsLower(v, "superscript") ? 1 : EqualsLower(v, "subscript") ? 2 : 0;
  }
  font.SetSubSuperscript(vertAlign);

  PutU32(font.Ex12Data, colorValue);
  PutU32(font.Ex12Data + 4, static_cast<uint32_t>(theme));
  std::memcpy(font.Ex12Data + 8, &color.Tint, sizeof color.Tint);
  font.Ex12Data[16] = scheme;
  font.Ex12Data[17] = vertAlign;
  font.Ex12Data[18] = flags;
}

void TXLSRead2007XML::ReadFills(TExXMLTag& node) {
  TFills& fills = workbook_.CellFormats().Fills();
  node.IterateChildren(xtFill);
  while (TExXMLTag* child = node.NextChild()) {
    TFill& fill = *fills.Add();
    if (const TExXMLTag* pattern = child->FindChild(xtPatternFill)) {
      if (pattern->HasValue(xaPatternType))
        fill.PatternType = static_cast<uint8_t>(pattern->GetEnum(xaPatternType, 0, kPatternTypes));
      fill.Foreground = ReadColor(pattern->FindChild(xtFgColor));
      fill.Background = ReadColor(pattern->FindChild(xtBgColor));
    } else if (const TExXMLTag* gradient = child->FindChild(xtGradientFill)) {
      for (int i = 0; i < gradient->ChildCount(); ++i) {
        const TExXMLTag* stop = gradient->Child(i);
        if (stop->Tag() == xtStop) stop->RequireFloat(xaPosition);
      }
      fill.GradientXml = TagToXML(*gradient);
    } else if (child->ChildCount() != 0) {
      // An empty fill (its pattern is optional) is a fill without pattern.
      Throw("Unknown fill type");
    }
  }
}

void TXLSRead2007XML::ReadBorders(TExXMLTag& node) {
  TBorders& borders = workbook_.CellFormats().Borders();
  node.IterateChildren(xtBorder);
  while (TExXMLTag* child = node.NextChild()) {
    TBorder& border = *borders.Add();
    border.DiagonalDown = child->GetBoolean(xaDiagonalDown, false);
    border.DiagonalUp = child->GetBoolean(xaDiagonalUp, false);
    border.Outline = child->GetBoolean(xaOutline, border.Outline);
    const std::pair<int, TBorderLine*> lines[] = {
        {xtLeft, &border.Left},         {xtTop, &border.Top},
        {xtRight, &border.Right},       {xtBottom, &border.Bottom},
        {xtDiagonal, &border.Diagonal}, {xtHorizontal, &border.Horizontal},
        {xtVertical, &border.Vertical},
    };
    for (const auto& [tag, line] : lines) {
      if (const TExXMLTag* element = child->FindChild(tag)) {
        line->Style = static_cast<uint8_t>(element->GetEnum(xaStyle, 0, kBorderStyles));
        line->Color = ReadColor(element->FindChild(xtColor));
      }
    }
  }
}

void TXLSRead2007XML::ReadFormats(TExXMLTag& node, bool styleFormats) {
  TCellFormats& master = workbook_.CellFormats();
  TCellFormats& list = styleFormats ? workbook_.CellFormats2() : master;
  if (!list.NumberFormats().IsSorted) list.NumberFormats().SortNumberFormats();
  TXFonts& fonts = workbook_.Fonts();
  TFills& fills = master.Fills();
  TBorders& borders = master.Borders();
  const int32_t styleCount = workbook_.CellFormats2().Count();
  // A reference past its list resolves to the list's first entry (or none):
  // no cell value depends on styles.
  auto pick = [](auto& items, int32_t index) -> decltype(items.Items(0)) {
    if (items.Count() == 0) return nullptr;
    return items.Items(index >= 0 && index < items.Count() ? index : 0);
  };

  node.IterateChildren(xtXf);
  while (TExXMLTag* child = node.NextChild()) {
    TCellFormatEx12& format = *list.AddFormatEx12();
    constexpr std::pair<int, uint8_t> kApply[] = {
        {xaApplyNumberFormat, TCellFormatEx12::kApplyNumberFormat}, {xaApplyFont, TCellFormatEx12::kApplyFont},
        {xaApplyFill, TCellFormatEx12::kApplyFill},                 {xaApplyBorder, TCellFormatEx12::kApplyBorder},
        {xaApplyAlignment, TCellFormatEx12::kApplyAlignment},       {xaApplyProtection, TCellFormatEx12::kApplyProtection},
    };
    for (const auto& [attr, bit] : kApply)
      if (child->GetBoolean(attr, false)) format.ApplyFlags |= bit;

    format.FillRef = pick(fills, child->GetInteger(xaFillId, 0));
    format.BorderRef = pick(borders, child->GetInteger(xaBorderId, 0));
    format.FontRef = fonts.FontOrFirst(child->GetInteger(xaFontId, 0));
    format.SetFontIndex(format.FontRef != nullptr ? static_cast<uint16_t>(format.FontRef->ListIndex) : 0);
    const int32_t numberFormat = child->GetInteger(xaNumFmtId, 0);
    format.SetNumberFormatIndex(numberFormat >= 0 && numberFormat <= 0xFFFF ? static_cast<uint16_t>(numberFormat) : 0);
    if (!styleFormats) {
      const int32_t xfId = child->GetInteger(xaXfId, 0);
      format.XfId = styleCount == 0 ? -1 : (xfId >= 0 && xfId < styleCount ? xfId : 0);
    }
    format.QuotePrefix = child->GetBoolean(xaQuotePrefix, false);
    format.PivotButton = child->GetBoolean(xaPivotButton, false);

    if (const TExXMLTag* alignment = child->FindChild(xtAlignment)) {
      format.Horizontal = static_cast<uint8_t>(alignment->GetEnum(xaHorizontal, 0, kHorizontalAlignments));
      format.Vertical = static_cast<uint8_t>(alignment->GetEnum(xaVertical, 2, kVerticalAlignments));
      format.TextRotation = ClampInt<int16_t>(alignment->GetInteger(xaTextRotation, 0));
      format.WrapText = alignment->GetBoolean(xaWrapText, false);
      format.ShrinkToFit = alignment->GetBoolean(xaShrinkToFit, false);
      format.JustifyLastLine = alignment->GetBoolean(xaJustifyLastLine, false);
      format.IndentLevel = ClampInt<uint8_t>(alignment->GetInteger(xaIndent, 0));
      format.RelativeIndent = ClampInt<int8_t>(alignment->GetInteger(xaRelativeIndent, 0));
      format.ReadingOrder = ClampInt<uint8_t>(alignment->GetInteger(xaReadingOrder, 0));
    }
    if (const TExXMLTag* protection = child->FindChild(xtProtection)) {
      format.Locked = protection->GetBoolean(xaLocked, true);
      format.Hidden = protection->GetBoolean(xaHidden, false);
    }
  }
}

bool TXLSRead2007XML::StylesTagEnded(int tag, TExXMLTag& node) {
  switch (tag) {
    case xtNumFmts: {
      node.IterateChildren(xtNumFmt);
      while (TExXMLTag* child = node.NextChild()) {
        const int32_t id = child->RequireInteger(xaNumFmtId);
        const std::u16string code = DecodeText(RequireRaw(*child, xaFormatCode));
        if (id < 0 || id > 0xFFFF) continue;  // no cell format can name it
        // Style formats keep their own list of number formats.
        workbook_.CellFormats().NumberFormats().AddNumberFormat(code, id, 1);
        workbook_.CellFormats2().NumberFormats().AddNumberFormat(code, id, 1);
      }
      return true;
    }
    case xtFonts: {
      TXFonts& fonts = workbook_.Fonts();
      node.IterateChildren(xtFont);
      while (TExXMLTag* child = node.NextChild()) ReadFont(*child, *fonts.AddFontEx12(), false);
      return true;
    }
    case xtFills: ReadFills(node); return true;
    case xtBorders: ReadBorders(node); return true;
    case xtCellStyleXfs: ReadFormats(node, true); return true;
    case xtCellXfs: ReadFormats(node, false); return true;
    case xtCellStyles: {
      node.IterateChildren(xtCellStyle);
      while (TExXMLTag* child = node.NextChild()) {
        TEx12CellStyle& style = *workbook_.Ex12CellStyles().Add();
        style.BuiltinId = child->GetInteger(xaBuiltinId, -1);
        style.CustomBuiltin = child->GetBoolean(xaCustomBuiltin, false);
        style.Hidden = child->GetBoolean(xaHidden, false);
        style.ILevel = child->GetInteger(xaILevel, -1);
        style.XfId = child->RequireInteger(xaXfId);
        style.Name = child->GetString(xaName);
      }
      return true;
    }
    case xtColors:
    case xtDxfs:
    case xtTableStyles:
      if (node.Parent() == nullptr || node.Parent()->Tag() != xtStyleSheet) return false;
      workbook_.StyleTags().Add(tag, TagToXMLText(node));
      return true;
    case xtStyleSheet: return true;
    default: return false;
  }
}

// ---- Shared strings ------------------------------------------------------------------------------

bool TXLSRead2007XML::SharedStringsTagEnded(int tag, TExXMLTag& node) {
  if (tag == xtSst) return true;
  if (tag != xtSi) return false;
  TSST2& sst = workbook_.SST();
  if (node.FindChild(xtR) != nullptr) {
    TXFonts& fonts = workbook_.Fonts();
    runs_.clear();
    std::u16string text;
    for (int i = 0; i < node.ChildCount(); ++i) {
      const TExXMLTag& run = *node.Child(i);
      if (run.Tag() != xtR) continue;  // phonetic runs and properties
      TXFont* font;
      if (const TExXMLTag* properties = run.FindChild(xtRPr)) {
        ReadFont(*properties, workFont_, true);
        // Writers give runs fonts that no cell style uses: such a font
        // joins the list.
        font = fonts.FindOrAddFont(workFont_);
      } else {
        font = fonts.FontOrFirst(0);
      }
      const TExXMLTag* t = run.FindChild(xtT);
      if (t == nullptr) Throw("Excepcted tag missing: \"T\"");
      runs_.push_back(TXLSWideStringItem{t->DecodedText(), font});
      text += runs_.back().Text;
    }
    sst.AddRichString(text, runs_);
  } else if (const TExXMLTag* t = node.FindChild(xtT)) {
    sst.AddString(t->DecodedText());
  } else {
    sst.AddString(std::u16string_view());
  }
  return true;
}

// ---- Worksheet part ---------------------------------------------------------------------------

void TXLSRead2007XML::ReadRow(const TExXMLTag& node) {
  if (currentRow_ < 0 || currentRow_ > kLastRow) return;
  TPendingRow row{};
  row.Row = static_cast<uint32_t>(currentRow_);
  row.Height = ScaledMeasure(node.GetFloat(xaHt, 12.75), 20, 0xFFFF);
  const int32_t s = node.GetInteger(xaS, 0);
  row.FormatIndex = s > 0 ? ClampInt<int32_t>(int64_t{s} + kCellFormatOffset) : -1;
  constexpr std::pair<int, uint16_t> kFlags[] = {
      {xaHidden, rfHidden},           {xaCustomFormat, rfCustomFormat}, {xaCollapsed, rfCollapsed},
      {xaCustomHeight, rfCustomHeight}, {xaPh, rfPhonetic},             {xaThickTop, rfThickTop},
      {xaThickBot, rfThickBottom},
  };
  for (const auto& [attr, bit] : kFlags)
    if (node.GetBoolean(attr, false)) row.Flags |= bit;
  row.OutlineLevel = ClampInt<uint8_t>(node.GetInteger(xaOutlineLevel, 0));
  pendingRows_.push_back(row);
}

void TXLSRead2007XML::ApplyRows() {
  if (pendingRows_.empty()) return;
  auto byRow = [](const TPendingRow& a, const TPendingRow& b) { return a.Row < b.Row; };
  // In row order the records are appended, whatever order the file used.
  if (!std::is_sorted(pendingRows_.begin(), pendingRows_.end(), byRow))
    std::stable_sort(pendingRows_.begin(), pendingRows_.end(), byRow);
  TXLSRows& rows = sheet_->Rows();
  for (const TPendingRow& p : pendingRows_) {
    TXLSRow& row = rows.FindOrAdd(p.Row);
    row.Height = p.Height;
    if (p.FormatIndex >= 0) row.FormatIndex = p.FormatIndex;
    row.Flags = p.Flags;
    row.OutlineLevel = p.OutlineLevel;
  }
  pendingRows_.clear();
}

void TXLSRead2007XML::ReadCol(const TExXMLTag& node) {
  const int32_t first = node.RequireInteger(xaMin);
  const int32_t last = node.RequireInteger(xaMax);
  if (last < first) return;
  // Columns beyond the sheet's are not kept.
  const int32_t from = std::max(first, 1) - 1;
  const int32_t to = std::min(last, kLastColumn + 1) - 1;
  if (from > to) return;
  TPendingCols cols{};
  cols.First = from;
  cols.Last = to;
  cols.Width = ScaledMeasure(node.GetFloat(xaWidth, 9.765625), 256, 0xFFFFFFFF);
  constexpr std::pair<int, uint16_t> kFlags[] = {
      {xaCollapsed, rfCollapsed}, {xaHidden, rfHidden}, {xaBestFit, rfCustomHeight},
      {xaCustomWidth, rfThickTop}, {xaPh, rfPhonetic},
  };
  for (const auto& [attr, bit] : kFlags)
    if (node.GetBoolean(attr, false)) cols.Flags |= bit;
  cols.OutlineLevel = ClampInt<uint8_t>(node.GetInteger(xaOutlineLevel, 0));
  pendingCols_.push_back(cols);
}

// Every column takes the attributes of the last range that covers it. The
// ranges are walked from the last one back, skipping columns already set,
// so that overlapping ranges cost no more than the sheet's columns.
void TXLSRead2007XML::ApplyCols() {
  if (pendingCols_.empty()) return;
  constexpr std::size_t kColumns = kLastColumn + 1;
  colOwner_.assign(kColumns, -1);
  colNext_.resize(kColumns + 1);
  std::iota(colNext_.begin(), colNext_.end(), 0);
  auto nextFree = [this](int32_t c) {
    while (colNext_[static_cast<std::size_t>(c)] != c) {
      int32_t& link = colNext_[static_cast<std::size_t>(c)];
      link = colNext_[static_cast<std::size_t>(link)];
      c = link;
    }
    return c;
  };
  for (std::size_t i = pendingCols_.size(); i-- > 0;) {
    const TPendingCols& range = pendingCols_[i];
    for (int32_t c = nextFree(range.First); c <= range.Last; c = nextFree(c + 1)) {
      colOwner_[static_cast<std::size_t>(c)] = static_cast<int32_t>(i);
      colNext_[static_cast<std::size_t>(c)] = c + 1;
    }
  }
  TXLSColumns& columns = sheet_->Columns();
  for (std::size_t c = 0; c < kColumns; ++c) {
    const int32_t owner = colOwner_[c];
    if (owner < 0) continue;
    const TPendingCols& range = pendingCols_[static_cast<std::size_t>(owner)];
    TXLSColumn& column = columns.FindOrAdd(static_cast<uint32_t>(c));
    column.Width = range.Width;
    column.Flags = range.Flags;
    column.OutlineLevel = range.OutlineLevel;
  }
  pendingCols_.clear();
}

bool TXLSRead2007XML::WorksheetTagEnded(int tag, TExXMLTag& node) {
  TSheet& sheet = *sheet_;
  auto placeholder = [&] { sheet.SavedTags().Add(tag, "<" + std::string(tabulon::TagName(tag)) + "/>", true); };
  switch (tag) {
    case xtC: ReadCell(node); return true;
    case xtRow: ReadRow(node); return true;
    case xtSheetData:
      ApplyRows();
      placeholder();
      return true;
    case xtCol: ReadCol(node); return true;
    case xtCols:
      ApplyCols();
      placeholder();
      return true;
    case xtMergeCell: {
      TCellArea area;
      node.GetAreaRef(xaRef, area.Col1, area.Row1, area.Col2, area.Row2);
      sheet.MergedCells().push_back(area);
      return true;
    }
    case xtMergeCells: placeholder(); return true;
    case xtDimension:
      node.GetAreaRef(xaRef, sheet.Dimension.Col1, sheet.Dimension.Row1, sheet.Dimension.Col2, sheet.Dimension.Row2);
      sheet.HasDimension = true;
      sheet.SavedTags().Add(tag, TagToXMLText(node));
      return true;
    case xtAutoFilter:
    case xtCellWatches:
    case xtColBreaks:
    case xtConditionalFormatting:
    case xtControls:
    case xtCustomProperties:
    case xtCustomSheetViews:
    case xtDataConsolidate:
    case xtDataValidations:
    case xtDrawing:
    case xtExtLst:
    case xtHeaderFooter:
    case xtHyperlinks:
    case xtIgnoredErrors:
    case xtLegacyDrawing:
    case xtLegacyDrawingHF:
    case xtOleObjects:
    case xtPageMargins:
    case xtPageSetup:
    case xtPhoneticPr:
    case xtPicture:
    case xtPrintOptions:
    case xtProtectedRanges:
    case xtRowBreaks:
    case xtScenarios:
    case xtSheetCalcPr:
    case xtSheetFormatPr:
    case xtSheetPr:
    case xtSheetProtection:
    case xtSheetViews:
    case xtSmartTags:
    case xtSortState:
    case xtTableParts:
    case xtWebPublishItems:
      // The same names inside other elements (a custom view's page setup)
      // belong to those elements.
      if (node.Parent() == nullptr || node.Parent()->Tag() != xtWorksheet) return false;
      sheet.SavedTags().Add(tag, TagToXMLText(node));
      return true;
    case xtWorksheet: return true;
    default: return false;
  }
}

}  // namespace tabulon
