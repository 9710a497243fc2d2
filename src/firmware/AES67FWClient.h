// The bridge's link to the device's AES67 firmware service: a websocket client that receives the
// firmware's configuration and state documents, compares each with the last copy and turns every
// difference into a bridge call or a store write; it sends receiver connections (message 10) and log
// texts (message 14) back.
#pragma once

#include "AES67FWBridgeOps.h"
#include "JsonText.h"
#include "NMOSBridgeConfig.h"
#include "NMOSNodeData.h"
#include "Threaded_API.h"
#include "Types.h"
#include "WebSocketClient.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace Qel_proto_aes67fw {

// Request path and subprotocol of the firmware's websocket; the configuration supplies its address
// and port.
extern const char* const FW67_API_URI;
extern const char* const FW67_API_PROTOCOL;

struct TAES67FWClientData;

class TAES67FWClient : public Qel_websock_api::TWebSocketClient {
public:
  // Documents nested deeper than this are rejected unparsed (the parser recurses per level).
  static constexpr int MaxJSONDepth = Qel_nmos_bridge::MaxJSONDepth;
  // Log texts for the firmware are cut to this many bytes.
  static constexpr size_t MaxLogText = 1000;

  // `bridge` must outlive the client.
  explicit TAES67FWClient(IAES67FWBridgeOps* bridge);
  ~TAES67FWClient() override;

  void Destroy() override;

  virtual const json& GetLastState() const;
  virtual const json& GetLastConfig() const;
  virtual int HandleStatus(const json& doc);
  virtual int HandleConfig(const json& doc);
  // Queues a log text for the firmware (message 14). Any thread may call it; the text goes into the
  // send queue at the client's next cycle.
  virtual void SendMessage(uint32_t id, uint32_t unused, const char* text);
  virtual int HandleJSON(const char* text);
  virtual int HandleHeartbeat(const json& doc);

  // Handles one received text of exactly `len` bytes; always 0 (errors are logged).
  int HandleJSON(const char* text, size_t len);
  // Connects firmware receive stream `index` to the stream named `source` (message 10). A connection
  // of the same stream still waiting to be sent is replaced by this one. False, and nothing queued,
  // when the firmware does not list the stream (or is away) or the send queue is full.
  bool Subscribe(int index, const std::string& source);
  // As Subscribe, with the stream's "enabled" as given: false stops receiving.
  bool Subscribe(int index, const std::string& source, bool enabled);

  bool HandleBeginConnect(Qel_websock_api::IWebSocketClient* cli) override;
  void HandleConnected(Qel_websock_api::IWebSocketClient* cli) override;
  void HandleDisconnected(Qel_websock_api::IWebSocketClient* cli) override;
  int HandleReceivedText(Qel_websock_api::IWebSocketClient* cli, const void* data, int len) override;
  void DoCycle() override;

  // The largest nesting depth of arrays and objects in a JSON text (strings skipped), counting
  // only up to `limit` + 1.
  static int NestingDepth(const char* text, size_t len, int limit);

private:
  void ResetLast();
  void Dispatch(const json& doc);
  void Compare(const char* member, const json& doc, bool config);
  void FlushLogMessages();

  IAES67FWBridgeOps* Bridge; // not owned
  std::unique_ptr<TAES67FWClientData> FData;
};

// Queues a log text for the firmware through the client that is the current log target; does nothing
// when there is none.
void SendMessage(uint32_t id, uint32_t unused, const char* text);

} // namespace Qel_proto_aes67fw
