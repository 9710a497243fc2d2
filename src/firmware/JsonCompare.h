// Finds what differs between two successive firmware documents. A comparer is built from a constant
// table of (path pattern, tag); each comparison computes the RFC 6902 difference of the two documents
// and returns, entry by entry in table order, one change for each element whose path matches the
// entry's pattern. What a change means is up to the caller: the tag says which entry it came from.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Qel_nmos_bridge {

// How the changed element is named: by its whole path, by a member name or by an array position.
enum NodeInfoType { nitSelf = 0, nitNamed = 1, nitIndexed = 2 };

enum TJsonChangeKind { jckAdded, jckChanged, jckRemoved };

// One element that differs between the two documents.
struct TJsonChange {
  int Tag = 0; // of the table entry whose pattern matched
  TJsonChangeKind Kind = jckChanged;
  NodeInfoType Type = nitSelf;
  // The element's path: the path of the difference, cut after the component that stands where the
  // pattern's "*" stands.
  std::string Path;
  std::string Name;   // nitNamed: that component, unescaped
  uint32_t Index = 0; // nitIndexed: that component as a number
  // The whole new element (for an addition, the value added); null after a removal.
  json Value;
};

using TJsonChanges = std::vector<TJsonChange>;

// One table entry; a table ends with an entry whose Path is null.
struct TJsonCompareDef {
  const char* Path;
  int Tag;
};

// A pattern without "*" matches exactly that path. A pattern with "*" matches every path that starts
// with the text before its last "*"; the path component standing where the "*" stands names the
// element that changed.
struct TPathMatch {
  explicit TPathMatch(const std::string& Pattern);

  bool operator()(const json& Operation) const;
  bool Matches(const std::string& OpPath) const;
  // The operation path cut after the component that stands where the "*" stands (the whole path
  // for a pattern without "*").
  std::string ElementPath(const std::string& OpPath) const;
  // That component as it stands in the path (still escaped).
  std::string Component(const std::string& OpPath) const;

  size_t Pos; // position of the last "*", std::string::npos when there is none
  std::string Path;
};

class TJsonCompare {
public:
  explicit TJsonCompare(const TJsonCompareDef* Def);

  // Before is the previous document, After the new one. Per entry, every element that differs is
  // reported once, with the first operation of the difference that touches it.
  TJsonChanges Compare(const json& Before, const json& After) const;

private:
  std::vector<std::pair<TPathMatch, int>> Table; // (pattern, tag) in table order, duplicates kept
};

} // namespace Qel_nmos_bridge
