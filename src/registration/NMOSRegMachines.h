// Registration records: one per NMOS resource the node publishes. Each owns a state machine that
// tracks the resource's registration at the active registry. The node's record finds a registry,
// registers and heartbeats, fails over, and tells its children when to register.
#pragma once

#include "NMOSBaseClient.h"

#include <set>

namespace Qel_nmos_bridge {

enum states {
  node_off = 1,
  node_searching = 2,
  node_reg_pending = 3,
  node_running = 4,
  node_updt_pending = 5,
  node_changereg = 6,
  node_del_pending = 7,
  node_reregister = 8,
  node_failover = 9,
  node_quit = 10,
  node_hb_pending = 11
};

enum resorce_states {
  res_off = 1,
  res_unregistered = 2,
  res_regpending = 3,
  res_registered = 4,
  res_updtpending = 5,
  res_delpending = 6,
  res_error = 7,
  res_readdpending = 8,
  res_delretry = 9,
  res_deleted = 65535
};

// Deadline of every pending registration action, in seconds.
constexpr time_t REG_ACTION_TIMEOUT = 2;
// Heartbeats of a registered node, in seconds.
constexpr time_t HEARTBEAT_INTERVAL = 5;
// Deregistrations that got no answer are tried this many times in all.
constexpr int DELETE_ATTEMPTS = 3;

// State ids name the targets of the transitions; the tables are checked where they are defined.
extern const Qel_machine::TState RegClientStates[];
extern const Qel_machine::TState ResourceStates[];

class TNMOSResourceInfo : public TNMOSStated {
public:
  TNMOSResourceInfo(IQELNMOSBaseClient& client, TNMOSResourceInfo* parent, const std::string& path,
                    const Qel_machine::TState* states = ResourceStates);
  ~TNMOSResourceInfo() override;

  void Dump() override;

  // Sends the event to every child that is not being deleted: a child's lifetime is the bridge's
  // business, its parent only tells it when to register and that its registration is gone.
  void SetChildEvent(int event);
  void AddChild(TNMOSResourceInfo* child) { Childs.insert(child); }
  void RemoveChild(TNMOSResourceInfo* child) { Childs.erase(child); }
  // Moves the record under another parent (or none).
  void SetParent(TNMOSResourceInfo* parent);
  bool operator<(const TNMOSResourceInfo& other) const { return Machine.Name() < other.Machine.Name(); }

  // Whether the registry holds the resource: its children may register.
  virtual bool IsRegistered() const;
  TNMOSResourceInfo* GetParent() const { return Parent; }
  // Deregistrations tried since the resource ended.
  int DeleteAttempts = 0;

  // The store path of the resource ("/self", "/senders/<id>", ...).
  const std::string& Path() const { return Machine.Name(); }
  IQELNMOSBaseClient& GetClient() const { return Client; }
  IQELNMOSBridge& GetBridge() const;

protected:
  struct TByName {
    bool operator()(const TNMOSResourceInfo* a, const TNMOSResourceInfo* b) const { return *a < *b; }
  };
  std::set<TNMOSResourceInfo*, TByName> Childs;
  IQELNMOSBaseClient& Client;
  TNMOSResourceInfo* Parent;
};

class TNMOSNodeInfo : public TNMOSResourceInfo {
public:
  explicit TNMOSNodeInfo(IQELNMOSBaseClient& client);
  void Dump() override;
  bool IsRegistered() const override;
  uint64_t NextHeartbeat = 0; // loop time (ms) of the next heartbeat
  uint64_t HeartbeatMs = HEARTBEAT_INTERVAL * 1000;
  uint64_t LastAttempt = 0; // loop time (ms) of the last registration
  // The IS-04 version the node was last registered at: another registry taking over at another
  // version gets the node and everything afresh.
  std::string Version;
};

} // namespace Qel_nmos_bridge
