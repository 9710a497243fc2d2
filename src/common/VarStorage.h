// Chained text variables that expand placeholders such as "${ID}" and "${VERSION_IS04}" in URL
// templates. A storage resolves through its parent chain first, root first.
#pragma once

#include <map>
#include <set>
#include <string>

class IVarStorage;

struct TStorageData {
  IVarStorage* Parent = nullptr; // not owned
  std::map<std::string, std::string> Store;
  // Names asked for that no storage of the chain holds: Get returns them from here, so the reference
  // stays valid however the caller passed the name.
  mutable std::set<std::string> Unresolved;
};

class IVarStorage {
public:
  virtual ~IVarStorage() = default;
  virtual IVarStorage* Parent() = 0;
  virtual std::string ResolveVars(std::string Text) const = 0;
  virtual void Set(const std::string& Name, const std::string& Value) = 0;
  virtual const std::string& Get(const std::string& Name) const = 0;
  virtual void Clear() = 0;
  virtual const TStorageData& GetData() const = 0;

  // Replaces the first occurrence of each variable of the chain, the root's first.
  static std::string ResolveVars(const IVarStorage* VS, std::string Text);
};

class TVarStorage : public IVarStorage {
public:
  explicit TVarStorage(IVarStorage* Parent = nullptr);
  ~TVarStorage() override;
  TVarStorage(const TVarStorage&) = delete;
  TVarStorage& operator=(const TVarStorage&) = delete;

  IVarStorage* Parent() override { return Data->Parent; }
  std::string ResolveVars(std::string Text) const override {
    return IVarStorage::ResolveVars(this, std::move(Text));
  }
  void Set(const std::string& Name, const std::string& Value) override { Data->Store[Name] = Value; }
  // The value here, else the parent's; with no parent, the name itself (the placeholder stays).
  const std::string& Get(const std::string& Name) const override;
  void Clear() override { Data->Store.clear(); }
  const TStorageData& GetData() const override { return *Data; }

private:
  TStorageData* Data;
};
