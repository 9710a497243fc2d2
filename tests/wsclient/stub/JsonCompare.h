// Stand-in for the store's JSON comparison, used by the firmware-link test program until the real
// one is part of this branch. Same interface and behaviour: one handler call per table entry for the
// first difference whose path matches the entry's pattern.
#pragma once

#include "Types.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace Qel_nmos_bridge {

enum NodeInfoType { nitSelf = 0, nitNamed = 1, nitIndexed = 2 };

struct TJsonNodeInfo {
  explicit TJsonNodeInfo(const char* APath) : Type(nitSelf), Path(APath), Name(nullptr) {}
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

typedef void (*TJSONDiffCallback)(void* Context, const TJsonNodeInfo& Info, const json& J1, const json& J2);

struct TJsonDiffActions {
  TJSONDiffCallback OnAdded;
  TJSONDiffCallback OnChanged;
  TJSONDiffCallback OnRemoved;
  TJSONDiffCallback OnTypeMismatch;
};

struct TJsonCompareDef {
  const char* Path;
  TJsonDiffActions Actions;
};

class TJsonCompare {
public:
  explicit TJsonCompare(const TJsonCompareDef* Def);
  void Compare(void* AContext, const json& J1, const json& J2, const TJsonNodeInfo* Info) const;

private:
  std::vector<std::pair<std::string, TJsonDiffActions>> OrderedActions;
};

} // namespace Qel_nmos_bridge
