// Finding the parts of an Open XML package through its relationships: the
// names relationship targets resolve to, and the relationships of a part
// (type, target) looked up by id.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tabulon {

// The folder of a part name, with its trailing "/" ("xl/" for
// "xl/workbook.xml", "" for a part at the package root).
std::string_view PartFolder(std::string_view part);
// The relationships part of a part: "<folder>/_rels/<name>.rels".
std::string RelationshipsPartOf(std::string_view part);
// The part that a relationship target names: resolved against the folder of
// the part that names it, or from the package root when it starts with "/";
// "." and ".." segments taken out, "%HH" escapes decoded, "\" read as "/".
std::string ResolveTarget(std::string_view folder, std::string_view target);

// True for the type of a package's main-part relationship ("officeDocument"
// in the transitional or the Strict relationship namespace).
bool IsOfficeDocumentRelationship(std::string_view type);
// The last segment of a relationship type ("worksheet" for
// ".../relationships/worksheet"); the whole type when it has no "/".
std::string_view RelationshipKind(std::string_view type);

// The relationships of one part, every type kept, found by id.
class TPartRelations {
 public:
  struct Item {
    std::string Id;
    std::string Kind;    // RelationshipKind of the type
    std::string Target;  // as written
    bool External = false;
  };
  void Clear() { items_.clear(); sorted_ = true; }
  void Add(std::string_view id, std::string_view type, std::string_view target, bool external);
  // The relationship with that id, or null.
  const Item* Find(std::string_view id);
  // The first relationship of that kind that names a part, or null.
  const Item* FindKind(std::string_view kind) const;

 private:
  std::vector<Item> items_;
  bool sorted_ = true;
};

}  // namespace tabulon
