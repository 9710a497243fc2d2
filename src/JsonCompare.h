// Turns the difference between two successive firmware documents into handler calls. A comparer is
// built from a constant table of (path pattern, handlers); each comparison computes the RFC 6902
// difference of the two documents and calls, per table entry, a handler for each element whose
// path matches the entry's pattern.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Qel_nmos_bridge {

enum NodeInfoType { nitSelf = 0, nitNamed = 1, nitIndexed = 2 };

// Where a change happened: the path of the element, and for a pattern with "*" the element's array
// position (nitIndexed) or member name (nitNamed). The texts live as long as the handler call.
struct TJsonNodeInfo {
  explicit TJsonNodeInfo(const char* APath) : Type(nitSelf), Path(APath), Index(0) {}
  TJsonNodeInfo(const char* APath, uint32_t AIndex) : Type(nitIndexed), Path(APath), Index(AIndex) {}
  TJsonNodeInfo(const char* APath, const char* AName) : Type(nitNamed), Path(APath), Name(AName) {}

  void SetIndex(uint32_t AIndex) {
    Type = nitIndexed;
    Index = AIndex;
  }
  void SetName(const char* AName) {
    Type = nitNamed;
    Name = AName;
  }

  NodeInfoType Type;
  const char* Path;
  union {
    const char* Name;
    uint32_t Index;
  };
};

// J1 is always null; J2 is the new value (see TJsonCompare::Compare), null after a removal.
typedef void (*TJSONDiffCallback)(void* Context, const TJsonNodeInfo& Info, const json& J1, const json& J2);

struct TJsonDiffActions {
  TJSONDiffCallback OnAdded;
  TJSONDiffCallback OnChanged;
  TJSONDiffCallback OnRemoved;
  TJSONDiffCallback OnTypeMismatch; // carried in the tables, never called
};

// One table entry; a table ends with an entry whose Path is null.
struct TJsonCompareDef {
  const char* Path;
  TJsonDiffActions Actions;
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

  // J1 is the previous document, J2 the new one; AContext goes unchanged to every handler. Info is
  // not consulted. Handlers run synchronously, entry by entry in table order.
  void Compare(void* AContext, const json& J1, const json& J2, const TJsonNodeInfo* Info) const;

  const std::vector<std::pair<std::string, TJsonDiffActions>>& Entries() const { return OrderedActions; }

private:
  void Handle(void* AContext, const TPathMatch& Match, const TJsonDiffActions& Actions, const json& Operation,
              const json& J2) const;

  std::vector<std::pair<std::string, TJsonDiffActions>> OrderedActions;
};

} // namespace Qel_nmos_bridge
