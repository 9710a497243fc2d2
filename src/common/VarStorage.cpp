#include "VarStorage.h"

std::string IVarStorage::ResolveVars(const IVarStorage* VS, std::string Text) {
  if (!VS) return Text;
  const TStorageData& data = VS->GetData();
  if (data.Parent) Text = data.Parent->ResolveVars(std::move(Text));
  for (const auto& [name, value] : data.Store) {
    size_t pos = Text.find(name);
    if (pos != std::string::npos) Text.replace(pos, name.size(), value);
  }
  return Text;
}

TVarStorage::TVarStorage(IVarStorage* Parent) : Data(new TStorageData) {
  Data->Parent = Parent;
}

TVarStorage::~TVarStorage() {
  delete Data;
}

const std::string& TVarStorage::Get(const std::string& Name) const {
  auto it = Data->Store.find(Name);
  if (it != Data->Store.end()) return it->second;
  if (Data->Parent) return Data->Parent->Get(Name);
  return *Data->Unresolved.insert(Name).first;
}
