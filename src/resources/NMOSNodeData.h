// The node's resource store: one JSON document holding the IS-04 node, its devices, sources, flows,
// senders and receivers (each collection keyed by resource UUID) plus unpublished bookkeeping under
// "/intern", addressed by JSON Pointer paths (RFC 6901) and changed with RFC 6902 "add"/"remove"
// semantics. Beside the document it keeps a UUID/name table and a UUID/index table per resource type
// and the generated identifiers of flows the firmware does not name.
//
// Locking: one recursive mutex serialises every reader and writer. A reference returned by Get, Set,
// SetWithTimeStamp or Root stays valid until the next write; a thread other than the writer keeps a
// read section (TNodeDBReadLocker) open for as long as it uses one.
#pragma once

#include "Types.h"

#include <cstdint>
#include <memory>
#include <string>

namespace Qel_nmos_bridge {

class IQELNMOSNodeData {
public:
  virtual ~IQELNMOSNodeData() = default;

  virtual void Destroy() = 0;
  virtual const json& Root() const = 0;
  // A fresh version stamp "<seconds>:<nanoseconds>" of the TAI clock, later than every stamp before.
  virtual void FillNMOSTimestamp(json& Field) = 0;
  // Write section: nests; the generation changes when the outermost section ends.
  virtual uint32_t BeginUpdate() = 0;
  virtual uint32_t EndUpdate() = 0;
  virtual uint32_t BeginRead() = 0;
  virtual uint32_t EndRead() = 0;
  // The node at Path, or the shared null value when there is none (or Path is no JSON pointer).
  virtual const json& Get(const char* Path) = 0;
  // Writes and removals inside a published resource ("/self/...", "/senders/<id>/...") also give that
  // resource a new "version": every change of a served document is seen as one.
  // RFC 6902 "add" of Value at Path; the written node, or the shared null after a logged failure.
  virtual const json& Set(const char* Path, const json& Value) = 0;
  // As Set, and the written node's "version" member receives a fresh version stamp.
  virtual const json& SetWithTimeStamp(const char* Path, const json& Value) = 0;
  // RFC 6902 "remove" at Path; false after a logged failure.
  virtual bool Del(const char* Path) = 0;
  virtual void Dump() = 0;
  // A UUID that stays the same for Path and Index until DelFakeID releases it.
  virtual std::string FakeID(const char* Path, int Index) = 0;
  virtual bool DelFakeID(const char* Path, int Index) = 0;
  virtual const std::string& GetNameFromUUID(const std::string& Type, const std::string& UUID) = 0;
  virtual const std::string& GetUUIDFromName(const std::string& Type, const std::string& Name) = 0;
  // Binds UUID and Name both ways; an empty UUID or Name removes the binding of the other.
  virtual bool SetNameFromUUID(const std::string& Type, const std::string& UUID, const std::string& Name) = 0;
  // Binds UUID to a firmware index once; a negative Index removes the binding.
  virtual bool SetIndexFromUUID(const std::string& Type, const std::string& UUID, int Index) = 0;
  virtual int GetIndexFromUUID(const std::string& Type, const std::string& UUID) = 0;
  virtual bool GetUUIDFromIndex(const std::string& Type, int Index, std::string& UUID) = 0;
  virtual void UpdateStats(const std::string& Name, json& Stats) = 0;
  // Changes whenever a write section ends; never the same for two states of any store of the process,
  // so a reader may keep what it derived from the document for as long as the number stays.
  virtual uint64_t Generation() const = 0;

  // The value failed reads return; shared by all, never to be changed.
  static const json& GetEmptyJSON();
  // Member Name of Node when it holds a value of Default's kind, else Default (a member of another
  // kind is logged). Integer kinds accept each other when the value fits, a floating point default
  // accepts any number. Returned by value so that a temporary default cannot leave a dangling reference.
  static json JsonExtract(const json& Node, const std::string& Name, const json& Default);
};

struct TQELNMOSNodeDataData;

class TQELNMOSNodeData : public IQELNMOSNodeData {
public:
  TQELNMOSNodeData();
  ~TQELNMOSNodeData() override;
  TQELNMOSNodeData(const TQELNMOSNodeData&) = delete;
  TQELNMOSNodeData& operator=(const TQELNMOSNodeData&) = delete;

  void Destroy() override;
  const json& Root() const override;
  void FillNMOSTimestamp(json& Field) override;
  uint32_t BeginUpdate() override;
  uint32_t EndUpdate() override;
  uint32_t BeginRead() override;
  uint32_t EndRead() override;
  const json& Get(const char* Path) override;
  const json& Set(const char* Path, const json& Value) override;
  const json& SetWithTimeStamp(const char* Path, const json& Value) override;
  bool Del(const char* Path) override;
  void Dump() override;
  std::string FakeID(const char* Path, int Index) override;
  bool DelFakeID(const char* Path, int Index) override;
  const std::string& GetNameFromUUID(const std::string& Type, const std::string& UUID) override;
  const std::string& GetUUIDFromName(const std::string& Type, const std::string& Name) override;
  bool SetNameFromUUID(const std::string& Type, const std::string& UUID, const std::string& Name) override;
  bool SetIndexFromUUID(const std::string& Type, const std::string& UUID, int Index) override;
  int GetIndexFromUUID(const std::string& Type, const std::string& UUID) override;
  bool GetUUIDFromIndex(const std::string& Type, int Index, std::string& UUID) override;
  void UpdateStats(const std::string& Name, json& Stats) override;
  uint64_t Generation() const override;

private:
  const json& Write(const char* Path, const json& Value, bool UpdateVersion);
  // A change inside a published resource's document gives that resource a new version.
  void StampEnclosingResource(const char* Path);
  json* Find(const char* Path);

  std::unique_ptr<TQELNMOSNodeDataData> FData;
};

// Write section for the lifetime of the guard.
class TNodeDBWriteLocker {
public:
  explicit TNodeDBWriteLocker(IQELNMOSNodeData& ADB) : DB(ADB) { DB.BeginUpdate(); }
  ~TNodeDBWriteLocker() { DB.EndUpdate(); }
  TNodeDBWriteLocker(const TNodeDBWriteLocker&) = delete;
  TNodeDBWriteLocker& operator=(const TNodeDBWriteLocker&) = delete;

private:
  IQELNMOSNodeData& DB;
};

// Read section for the lifetime of the guard: references from the store stay valid inside it.
class TNodeDBReadLocker {
public:
  explicit TNodeDBReadLocker(IQELNMOSNodeData& ADB) : DB(ADB) { DB.BeginRead(); }
  ~TNodeDBReadLocker() { DB.EndRead(); }
  TNodeDBReadLocker(const TNodeDBReadLocker&) = delete;
  TNodeDBReadLocker& operator=(const TNodeDBReadLocker&) = delete;

private:
  IQELNMOSNodeData& DB;
};

} // namespace Qel_nmos_bridge
