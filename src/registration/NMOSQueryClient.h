// The query client: follows a registry's Query API (at the newest IS-04 version both serve) so that
// receivers can be connected to the senders of the network by name. It subscribes to the registry's
// senders and receivers over websockets, keeps their names by UUID in the store's name table and has
// the receivers refreshed when a name changes. It also runs one-shot GET queries.
#pragma once

#include "NMOSBaseClient.h"
#include "NMOSQuerySubscription.h"
#include "QueryGrainReader.h"

#include <functional>
#include <memory>
#include <string>

namespace Qel_nmos_bridge {

class TNMOSQueryInfo;
struct TQryCliData;

using TQueryCallback = std::function<void(TNMOSQueryInfo*)>;

class IQELNMOSQueryClient {
public:
  static IQELNMOSQueryClient* Create(IQELNMOSBridge* bridge);

  virtual void Destroy() = 0;
  virtual IQELNMOSBaseClient& AsBC() = 0;
  virtual IQELNMOSBridge& Bridge() = 0;
  virtual void Startup() = 0;
  virtual void Shutdown() = 0;
  // Runs GET <Query API>/<path> at once; the callback gets the record when the registry answered 200
  // (its Result holds the body). A path already under way keeps its query.
  virtual bool PushQuery(std::string path, TQueryCallback callback) = 0;
  virtual void SubscribeAll() = 0;
  virtual void UnsubscribeAll() = 0;
  virtual ~IQELNMOSQueryClient() = default;
};

// Machine states of the client.
enum query_client_states {
  qcs_off = 1,
  qcs_searching = 2,
  qcs_reg_pending = 3,
  qcs_connected = 4,
  qcs_quit = 10
};

enum querystates { qry_ready = 1, qry_pending = 2, qry_processed = 3, qry_finished = NMOSSTATE_DELETABLE };

class TQELNMOSQueryClient : public TQELNMOSBaseClient,
                            public IQELNMOSQueryClient,
                            public IQuerySubscriptionOwner {
public:
  explicit TQELNMOSQueryClient(IQELNMOSBridge* bridge);
  ~TQELNMOSQueryClient() override;

  void Destroy() override { delete this; }
  IQELNMOSBaseClient& AsBC() override { return *this; }
  IQELNMOSBridge& Bridge() override { return *FBridge; }
  void Startup() override;
  void Shutdown() override;
  bool PushQuery(std::string path, TQueryCallback callback) override;
  void SubscribeAll() override;
  void UnsubscribeAll() override;
  void DoCycle() override;
  void HandleAPILost() override;
  void UpdateStats(const char* section, json& stats) override;

  // IQuerySubscriptionOwner
  const TNMOSAPIInfo* SubscriptionAPI() override { return GetActiveAPI(); }
  Qel_http::IQELCurlWrapper& SubscriptionHTTP() override { return HTTP(); }
  std::string SubscriptionAuthorization() override {
    uint64_t generation = 0;
    return AuthHeader(generation);
  }
  void SubscriptionUnauthorized() override { TokenRefused(); }
  Qel_hosted::IServiceHost& SubscriptionHost() override;
  const std::string& SubscriptionCAFile() override;
  // Reports of the subscriptions. Those of a subscription that is no longer current (dropped after a
  // failure, waiting for its destruction) are ignored.
  void QueryAPIConnectFailed(TWSSubscription* sub) override;
  void QueryAPITLSFailed(const char* reason) override;
  void QueryAPIConnectLost(TWSSubscription* sub) override;
  // One whole websocket message: an IS-04 grain. Always 0 (the connection stays).
  int QueryAPIReceivedText(TWSSubscription* sub, const void* data, int len) override;
  // A grain read as it arrives: each of its items, its end.
  void QueryAPIGrainItem(TWSSubscription* sub, const std::string& topic, const TGrainItem& item) override;
  void QueryAPIGrainEnd(TWSSubscription* sub, const TGrainReader& reader,
                        TGrainReader::TResult result) override;
  // A grain grew beyond MaxGrainBytes: it is dropped and the client subscribes afresh.
  void QueryAPIGrainTooBig(TWSSubscription* sub) override;

  static constexpr size_t MaxGrainBytes = MaxQueryGrainBytes;

  static const std::string& GetID();
  bool Subscribe(const json& spec);
  // The state of the client's machine (0 before Startup()).
  int GetState();

private:
  // Removes from the name table every name that a registry told and that still stands as told; true
  // when one went.
  bool ForgetLearntNames();
  // The receivers are refreshed from the firmware's last documents at the end of this loop turn.
  void RefreshReceivers();
  void RefreshNow();
  // Destroys the subscriptions given up (never inside a turn of the loop).
  void DestroyRetired();

  IQELNMOSBridge* FBridge;
  std::unique_ptr<TQryCliData> FData;
};

// The client's own machine record, ".qrycli".
class TNMOSQueryClientInfo : public TNMOSStated {
public:
  explicit TNMOSQueryClientInfo(TQELNMOSQueryClient& client);
  TQELNMOSQueryClient& Client;
  uint64_t LastAttempt = 0; // loop time (ms) the last endpoint was selected
};

// One GET query; its machine's name and key are the query path.
class TNMOSQueryInfo : public TNMOSStated {
public:
  TNMOSQueryInfo(TQELNMOSQueryClient& client, const std::string& path, TQueryCallback callback);
  TQELNMOSQueryClient& Client;
  TQueryCallback QueryCallback;
};

} // namespace Qel_nmos_bridge
