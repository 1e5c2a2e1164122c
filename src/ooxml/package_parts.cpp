#include "ooxml/package_parts.h"

#include <algorithm>

namespace tabulon {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view PartFolder(std::string_view part) {
  const std::size_t slash = part.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : part.substr(0, slash + 1);
}

std::string RelationshipsPartOf(std::string_view part) {
  const std::string_view folder = PartFolder(part);
  std::string name(folder);
  name += "_rels/";
  name += part.substr(folder.size());
  name += ".rels";
  return name;
}

std::string ResolveTarget(std::string_view folder, std::string_view target) {
  std::string path;
  if (target.empty() || (target.front() != '/' && target.front() != '\\')) path = folder;
  for (std::size_t i = 0; i < target.size(); ++i) {
    const char c = target[i];
    if (c == '%' && i + 2 < target.size() && HexValue(target[i + 1]) >= 0 && HexValue(target[i + 2]) >= 0) {
      path.push_back(static_cast<char>(HexValue(target[i + 1]) * 16 + HexValue(target[i + 2])));
      i += 2;
    } else {
      path.push_back(c == '\\' ? '/' : c);
    }
  }
  // Segments, with "." and ".." taken out; ".." above the root stays at it.
  std::vector<std::string_view> segments;
  const std::string_view all = path;
  for (std::size_t start = 0; start <= all.size();) {
    std::size_t end = all.find('/', start);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view segment = all.substr(start, end - start);
    if (segment == "..") {
      if (!segments.empty()) segments.pop_back();
    } else if (!segment.empty() && segment != ".") {
      segments.push_back(segment);
    }
    start = end + 1;
  }
  std::string name;
  for (const std::string_view segment : segments) {
    if (!name.empty()) name += '/';
    name += segment;
  }
  return name;
}

bool IsOfficeDocumentRelationship(std::string_view type) {
  return type == "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" ||
         type == "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
}

std::string_view RelationshipKind(std::string_view type) {
  const std::size_t slash = type.rfind('/');
  return slash == std::string_view::npos ? type : type.substr(slash + 1);
}

void TPartRelations::Add(std::string_view id, std::string_view type, std::string_view target, bool external) {
  items_.push_back(Item{std::string(id), std::string(RelationshipKind(type)), std::string(target), external});
  sorted_ = false;
}

const TPartRelations::Item* TPartRelations::Find(std::string_view id) {
  if (!sorted_) {
    // The first of several with one id is the one found.
    std::stable_sort(items_.begin(), items_.end(), [](const Item& a, const Item& b) { return a.Id < b.Id; });
    sorted_ = true;
  }
  const auto it = std::lower_bound(items_.begin(), items_.end(), id,
                                   [](const Item& item, std::string_view key) { return item.Id < key; });
  return it != items_.end() && it->Id == id ? &*it : nullptr;
}

const TPartRelations::Item* TPartRelations::FindKind(std::string_view kind) const {
  for (const Item& item : items_)
    if (item.Kind == kind && !item.External) return &item;
  return nullptr;
}

}  // namespace tabulon
