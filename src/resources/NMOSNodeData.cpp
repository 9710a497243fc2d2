#include "NMOSNodeData.h"

#include "JsonDocEdit.h"

#include "helpers.h"
#include <atomic>

#include <pthread.h>
#include <uuid/uuid.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

using TObjectNames = std::map<std::string, std::string>;
using TNamedTypes = std::map<std::string, TObjectNames>;
// The UUID/index bindings of one type, kept both ways so that a lookup by index costs no scan.
struct TIndexBindings {
  std::map<std::string, int32_t> ByUUID;
  std::map<int32_t, std::set<std::string>> ByIndex; // UUIDs in order: the first is the one found
  size_t size() const { return ByUUID.size(); }
  bool empty() const { return ByUUID.empty(); }
};
using TNamedIndices = std::map<std::string, TIndexBindings>;

const char* const InitialLayout[][2] = {{"/intern", "{}"},         {"/intern/tx-channels", "[]"},
                                        {"/intern/senders", "{}"}, {"/intern/receivers", "{}"},
                                        {"/devices", "{}"},        {"/senders", "{}"},
                                        {"/receivers", "{}"},      {"/sources", "{}"},
                                        {"/flows", "{}"}};

// The store's mutex with its attribute object: recursive, so that a thread holding a write section
// may call Get and Set inside it.
class TRecursiveMutex {
public:
  TRecursiveMutex() {
    pthread_mutexattr_init(&Attr);
    pthread_mutexattr_settype(&Attr, PTHREAD_MUTEX_RECURSIVE);
    if (const int rc = pthread_mutex_init(&Mutex, &Attr)) {
      pthread_mutexattr_destroy(&Attr);
      throw std::system_error(rc, std::generic_category(), "node data store mutex");
    }
  }
  ~TRecursiveMutex() {
    pthread_mutex_destroy(&Mutex);
    pthread_mutexattr_destroy(&Attr);
  }
  TRecursiveMutex(const TRecursiveMutex&) = delete;
  TRecursiveMutex& operator=(const TRecursiveMutex&) = delete;

  void lock() { pthread_mutex_lock(&Mutex); }
  void unlock() { pthread_mutex_unlock(&Mutex); }

private:
  pthread_mutexattr_t Attr;
  pthread_mutex_t Mutex;
};

json::json_pointer ToPointer(const char* Path) {
  if (!Path) throw std::invalid_argument("no path");
  return json::json_pointer(Path);
}

const char* PathText(const char* Path) {
  return Path ? Path : "(null)";
}

// The published collections: their members are resources with a version of their own.
const char* const Collections[] = {"devices", "senders", "receivers", "sources", "flows"};

// The published resource a path lies strictly inside ("/self" or "/<collection>/<id>"), or "" when
// the path is no part of one.
std::string EnclosingResource(const char* Path) {
  if (!Path || Path[0] != '/') return "";
  const std::string path(Path);
  const size_t second = path.find('/', 1);
  if (second == std::string::npos) return "";
  const std::string first = path.substr(1, second - 1);
  if (first == "self") return "/self";
  for (const char* collection : Collections) {
    if (first != collection) continue;
    const size_t third = path.find('/', second + 1);
    return third == std::string::npos ? "" : path.substr(0, third);
  }
  return "";
}

std::string Compact(const json& Value) {
  return Value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Removes Key when it is bound to Value: the partner entry of a pair that goes away.
void EraseIfBound(TObjectNames& Names, const std::string& Key, const std::string& Value) {
  const auto entry = Names.find(Key);
  if (entry != Names.end() && entry->second == Value) Names.erase(entry);
}

// Whether a member of kind Found can stand where Default's kind is expected: integers of either
// signedness when the value fits the expected one, any number for a floating point default.
bool KindAccepted(const json& Found, const json& Default) {
  if (Found.type() == Default.type()) return true;
  if (Default.is_number_float()) return Found.is_number();
  if (Default.is_number_unsigned()) return Found.is_number_integer() && Found.get<int64_t>() >= 0;
  if (Default.is_number_integer())
    return Found.is_number_unsigned() &&
           Found.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return false;
}

} // namespace

uint64_t NextGeneration() {
  static std::atomic<uint64_t> next{1};
  return next++;
}

struct TQELNMOSNodeDataData {
  json Root;
  TRecursiveMutex DBLock;
  int32_t LockCount = 0;
  // The last version stamp handed out; every new one is later, whatever the TAI clock does.
  int64_t StampSeconds = 0;
  int64_t StampNanos = 0;
  uint64_t Generation = NextGeneration();
  TNamedTypes ObjectNames;
  TNamedIndices ObjectIndices;
  TObjectNames FakeIDs;
  const std::string Empty;
};

const json& IQELNMOSNodeData::GetEmptyJSON() {
  static const json empty;
  return empty;
}

json IQELNMOSNodeData::JsonExtract(const json& Node, const std::string& Name, const json& Default) {
  if (!Node.is_object()) return Default;
  const auto member = Node.find(Name);
  if (member == Node.end()) return Default;
  if (KindAccepted(*member, Default)) return *member;
  lws_log(QLLL_ERR, "JSON Node Type mismatch: expected(%u) vs is(%u)", static_cast<unsigned>(Default.type()),
          static_cast<unsigned>(member->type()));
  return Default;
}

TQELNMOSNodeData::TQELNMOSNodeData() : FData(std::make_unique<TQELNMOSNodeDataData>()) {
  FData->Root["self"]["version"] = nullptr;
  for (const auto& entry : InitialLayout)
    Set(entry[0], json::parse(entry[1]));
}

TQELNMOSNodeData::~TQELNMOSNodeData() = default;

void TQELNMOSNodeData::Destroy() {
  delete this;
}

const json& TQELNMOSNodeData::Root() const {
  return FData->Root;
}

// Stamps are the TAI time, but never earlier than or equal to the last one: when the clock steps back
// (PTP taking over, for instance) the stamps go on one nanosecond apart until it has caught up, so
// that the versions of every resource keep increasing. Seconds are held in 64 bits on every platform.
void TQELNMOSNodeData::FillNMOSTimestamp(json& Field) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  timespec now{};
  clock_gettime(CLOCK_TAI, &now);
  int64_t seconds = static_cast<int64_t>(now.tv_sec), nanos = static_cast<int64_t>(now.tv_nsec);
  if (seconds < FData->StampSeconds || (seconds == FData->StampSeconds && nanos <= FData->StampNanos)) {
    seconds = FData->StampSeconds;
    nanos = FData->StampNanos + 1;
    if (nanos >= 1000000000) {
      ++seconds;
      nanos = 0;
    }
  }
  FData->StampSeconds = seconds;
  FData->StampNanos = nanos;
  char text[48];
  snprintf(text, sizeof text, "%" PRId64 ":%" PRId64, seconds, nanos);
  Field = text;
}

void TQELNMOSNodeData::StampEnclosingResource(const char* Path) {
  const std::string resource = EnclosingResource(Path);
  if (resource.empty()) return;
  json* node = Find(resource.c_str());
  if (node && node->is_object()) FillNMOSTimestamp((*node)["version"]);
}

uint32_t TQELNMOSNodeData::BeginUpdate() {
  FData->DBLock.lock();
  return static_cast<uint32_t>(++FData->LockCount);
}

uint32_t TQELNMOSNodeData::EndUpdate() {
  // An unmatched end would unlock a mutex this thread does not hold and drive the depth negative.
  if (FData->LockCount <= 0) {
    lws_log(QLLL_ERR, "NodeData EndUpdate without BeginUpdate");
    return 0;
  }
  if (--FData->LockCount == 0) FData->Generation = NextGeneration();
  const auto depth = static_cast<uint32_t>(FData->LockCount);
  FData->DBLock.unlock();
  return depth;
}

uint32_t TQELNMOSNodeData::BeginRead() {
  FData->DBLock.lock();
  return 0;
}

uint32_t TQELNMOSNodeData::EndRead() {
  FData->DBLock.unlock();
  return 0;
}

// The value a JSON pointer (RFC 6901) leads to, or null. A path that leads nowhere is an everyday answer
// (every new resource is looked up first), so it is found out by walking the path, not by the exception
// of a pointer lookup, which costs far more than the walk. Paths that a pointer lookup refuses (no
// leading "/", a bad escape, "-" or a malformed index of an array) lead nowhere as well.
json* TQELNMOSNodeData::Find(const char* Path) {
  if (!Path || (*Path != '\0' && *Path != '/')) {
    lws_log(QLLL_DEBUG, "READ failed: no such path %s", PathText(Path));
    return nullptr;
  }
  json* node = &FData->Root;
  std::string token;
  for (const char* p = Path; *p == '/';) {
    token.clear();
    for (++p; *p != '\0' && *p != '/'; ++p) {
      if (*p != '~') {
        token += *p;
      } else if (p[1] == '0' || p[1] == '1') {
        token += p[1] == '0' ? '~' : '/';
        ++p;
      } else {
        return nullptr;
      }
    }
    if (node->is_object()) {
      auto it = node->find(token);
      if (it == node->end()) return nullptr;
      node = &*it;
    } else if (node->is_array()) {
      if (token.empty() || (token.size() > 1 && token[0] == '0')) return nullptr;
      size_t index = 0;
      for (char digit : token) {
        if (digit < '0' || digit > '9') return nullptr;
        index = index * 10 + static_cast<size_t>(digit - '0');
        if (index >= node->size()) return nullptr;
      }
      node = &(*node)[index];
    } else {
      return nullptr;
    }
  }
  return node;
}

const json& TQELNMOSNodeData::Get(const char* Path) {
  TNodeDBReadLocker lock(*this);
  const json* node = Find(Path);
  return node ? *node : GetEmptyJSON();
}

const json& TQELNMOSNodeData::Set(const char* Path, const json& Value) {
  return Write(Path, Value, false);
}

const json& TQELNMOSNodeData::SetWithTimeStamp(const char* Path, const json& Value) {
  return Write(Path, Value, true);
}

// The value is completed (stamped, checked) before the document is touched, and JsonAddAt validates
// the whole operation first: a failed write leaves the document as it was.
const json& TQELNMOSNodeData::Write(const char* Path, const json& Value, bool UpdateVersion) {
  TNodeDBWriteLocker lock(*this);
  try {
    const json::json_pointer pointer = ToPointer(Path);
    JsonCheckUTF8(Value);
    json node = Value;
    if (UpdateVersion) {
      if (!node.is_object() && !node.is_null()) throw std::invalid_argument("a version needs an object");
      FillNMOSTimestamp(node["version"]);
    }
    json& stored = JsonAddAt(FData->Root, pointer, std::move(node));
    StampEnclosingResource(Path);
    return stored;
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "WRITE failed: %s, Path : %s, Value %s", e.what(), PathText(Path),
            Compact(Value).c_str());
    return GetEmptyJSON();
  }
}

bool TQELNMOSNodeData::Del(const char* Path) {
  TNodeDBWriteLocker lock(*this);
  // The operation's text is not built as a document: most removals are never logged.
  lws_log(QLLL_DEBUG, "NMOS Bridge Update : [{\"op\":\"remove\",\"path\":\"%s\"}]", PathText(Path));
  try {
    JsonRemoveAt(FData->Root, ToPointer(Path));
    StampEnclosingResource(Path);
    return true;
  } catch (const std::exception& e) {
    lws_log(QLLL_ERR, "DEL failed: %s, Path : %s", e.what(), PathText(Path));
    return false;
  }
}

void TQELNMOSNodeData::Dump() {
  TNodeDBReadLocker lock(*this);
  printf("DUMP *****\n%s\n*****\n", FData->Root.dump(2, ' ', false, json::error_handler_t::replace).c_str());
}

std::string TQELNMOSNodeData::FakeID(const char* Path, int Index) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  const std::string key =
      std::string(PathText(Path)) + "/" + std::to_string(static_cast<unsigned>(Index)) + "/id";
  auto entry = FData->FakeIDs.find(key);
  if (entry == FData->FakeIDs.end()) {
    uuid_t uuid;
    char text[37];
    uuid_generate(uuid);
    uuid_unparse_lower(uuid, text);
    entry = FData->FakeIDs.emplace(key, text).first;
  }
  return entry->second;
}

bool TQELNMOSNodeData::DelFakeID(const char* Path, int Index) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  const std::string key =
      std::string(PathText(Path)) + "/" + std::to_string(static_cast<unsigned>(Index)) + "/id";
  return FData->FakeIDs.erase(key) > 0;
}

const std::string& TQELNMOSNodeData::GetNameFromUUID(const std::string& Type, const std::string& UUID) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  const auto type = FData->ObjectNames.find(Type);
  if (type == FData->ObjectNames.end()) return FData->Empty;
  const auto entry = type->second.find(UUID);
  return entry == type->second.end() ? FData->Empty : entry->second;
}

const std::string& TQELNMOSNodeData::GetUUIDFromName(const std::string& Type, const std::string& Name) {
  return GetNameFromUUID(Type, Name);
}

// Both directions live in one map per type. A pair that is replaced or removed takes its partner
// entry with it, so that a name never keeps leading to a UUID that no longer carries it.
bool TQELNMOSNodeData::SetNameFromUUID(const std::string& Type, const std::string& UUID,
                                       const std::string& Name) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  if (UUID.empty() || Name.empty()) {
    const auto type = FData->ObjectNames.find(Type);
    if (type == FData->ObjectNames.end()) return false;
    TObjectNames& names = type->second;
    bool erased = false;
    if (const auto entry = names.find(UUID); !UUID.empty() && entry != names.end()) {
      const std::string oldName = entry->second;
      lws_log(QLLL_NOTICE, "NameTable Delete %s: %s, %s", Type.c_str(), UUID.c_str(), oldName.c_str());
      names.erase(entry);
      EraseIfBound(names, oldName, UUID);
      erased = true;
    }
    if (const auto entry = names.find(Name); !Name.empty() && entry != names.end()) {
      const std::string oldUUID = entry->second;
      names.erase(entry);
      EraseIfBound(names, oldUUID, Name);
      erased = true;
    }
    if (names.empty()) FData->ObjectNames.erase(type);
    return erased;
  }
  TObjectNames& names = FData->ObjectNames[Type];
  bool changed = false;
  const auto forward = names.find(UUID);
  if (forward == names.end()) {
    names.emplace(UUID, Name);
    lws_log(QLLL_NOTICE, "NameTable Insert %s: %s = %s", Type.c_str(), UUID.c_str(), Name.c_str());
    changed = true;
  } else if (forward->second != Name) {
    if (forward->second != UUID) EraseIfBound(names, forward->second, UUID);
    forward->second = Name;
    lws_log(QLLL_NOTICE, "NameTable Update %s: %s, %s", Type.c_str(), UUID.c_str(), Name.c_str());
    changed = true;
  }
  std::string& reverse = names[Name];
  if (reverse != UUID) {
    reverse = UUID;
    changed = true;
  }
  return changed;
}

// An existing binding keeps its index: moving a UUID to another index takes a removal first.
bool TQELNMOSNodeData::SetIndexFromUUID(const std::string& Type, const std::string& UUID, int Index) {
  if (UUID.empty()) return false;
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  auto& indices = FData->ObjectIndices[Type];
  if (Index >= 0) {
    const bool inserted = indices.ByUUID.emplace(UUID, Index).second;
    if (inserted) {
      indices.ByIndex[Index].insert(UUID);
      lws_log(QLLL_DEBUG, "IndexTable Insert %s: %s = %d", Type.c_str(), UUID.c_str(), Index);
    }
    return inserted;
  }
  const auto bound = indices.ByUUID.find(UUID);
  const bool erased = bound != indices.ByUUID.end();
  if (erased) {
    const auto slot = indices.ByIndex.find(bound->second);
    if (slot != indices.ByIndex.end() && slot->second.erase(UUID) && slot->second.empty())
      indices.ByIndex.erase(slot);
    indices.ByUUID.erase(bound);
  }
  if (erased) lws_log(QLLL_NOTICE, "IndexTable Remove %s: %s = %d", Type.c_str(), UUID.c_str(), Index);
  if (indices.empty()) FData->ObjectIndices.erase(Type);
  return erased;
}

int TQELNMOSNodeData::GetIndexFromUUID(const std::string& Type, const std::string& UUID) {
  if (UUID.empty()) return -1;
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  // An unknown type is created on purpose: it then shows in the statistics with no entries.
  const auto& indices = FData->ObjectIndices[Type].ByUUID;
  const auto entry = indices.find(UUID);
  return entry == indices.end() ? -1 : entry->second;
}

bool TQELNMOSNodeData::GetUUIDFromIndex(const std::string& Type, int Index, std::string& UUID) {
  if (Index < 0) return false;
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  const auto type = FData->ObjectIndices.find(Type);
  if (type == FData->ObjectIndices.end()) return false;
  const auto slot = type->second.ByIndex.find(Index);
  if (slot == type->second.ByIndex.end() || slot->second.empty()) return false;
  UUID = *slot->second.begin();
  return true;
}

void TQELNMOSNodeData::UpdateStats(const std::string& Name, json& Stats) {
  std::lock_guard<TRecursiveMutex> lock(FData->DBLock);
  json stats = {
      {"ObjectNames", json::object()}, {"ObjectIndices", json::object()}, {"Database", json::object()}};
  for (const auto& type : FData->ObjectNames)
    stats["ObjectNames"][type.first] = type.second.size();
  for (const auto& type : FData->ObjectIndices)
    stats["ObjectIndices"][type.first] = type.second.size();
  if (FData->Root.is_object())
    for (auto it = FData->Root.begin(); it != FData->Root.end(); ++it)
      stats["Database"][it.key()] = it->size();
  Stats[Name] = std::move(stats);
}

uint64_t TQELNMOSNodeData::Generation() const {
  return FData->Generation;
}

} // namespace Qel_nmos_bridge
