// The websocket client contract: connection control, the hooks a user of the client overrides, and
// the outgoing message record. Shared by the firmware link and the registry query subscriptions.
#pragma once

#include <libwebsockets.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace Qel_websock_api {

// Events of the connection machine.
enum TFWAPIEvents { fweConnect = 1, fweConnectSucces = 2, fweConnectFailed = 3, fweError = 4, fweQuit = 5 };

// States of the connection machine.
enum TFWAPIStatus { fwsOffline = 1, fwsConnecting = 2, fwsConnected = 3, fwsQuit = 4 };

// One outgoing message. libwebsockets writes its frame header into the Pre bytes before the message,
// and a zero byte follows the message so that it can be logged as text. A message with a key
// supersedes the one of the same key that still waits in the queue (a newer command for the same
// target): only the last word for a target matters.
class TTxBufferItem {
public:
  static constexpr int Pre = LWS_PRE;

  TTxBufferItem() = default;
  TTxBufferItem(const void* data, int len, std::string key = std::string())
      : FData(new unsigned char[Size(len)]), FLen(len < 0 ? 0 : len), FKey(std::move(key)) {
    memset(FData.get(), 0, Size(FLen));
    if (FLen) memcpy(FData.get() + Pre, data, static_cast<size_t>(FLen));
  }
  explicit TTxBufferItem(const std::string& text, std::string key = std::string())
      : TTxBufferItem(text.data(), static_cast<int>(text.size()), std::move(key)) {}
  TTxBufferItem(const TTxBufferItem& other) : TTxBufferItem(other.Message(), other.FLen, other.FKey) {}
  TTxBufferItem(TTxBufferItem&& other) noexcept
      : FData(std::move(other.FData)), FLen(other.FLen), FKey(std::move(other.FKey)) {
    other.FLen = 0;
  }
  TTxBufferItem& operator=(const TTxBufferItem& other) {
    if (this != &other) *this = TTxBufferItem(other);
    return *this;
  }
  TTxBufferItem& operator=(TTxBufferItem&& other) noexcept {
    FData = std::move(other.FData);
    FLen = other.FLen;
    FKey = std::move(other.FKey);
    other.FLen = 0;
    return *this;
  }

  // Start of the whole array, padding included; null for an empty item.
  unsigned char* Data() const { return FData.get(); }
  // The message bytes, behind the padding.
  unsigned char* Message() const { return FData ? FData.get() + Pre : nullptr; }
  int Len() const { return FLen; }
  // What the message is about (empty: nothing another message could supersede).
  const std::string& Key() const { return FKey; }

private:
  static size_t Size(int len) { return static_cast<size_t>(len < 0 ? 0 : len) + Pre + 1; }

  std::unique_ptr<unsigned char[]> FData;
  int FLen = 0;
  std::string FKey;
};

class IWebSocketClient {
public:
  virtual void Destroy() = 0;
  virtual int DoLowCycle() = 0;
  virtual void Shutdown() = 0;
  // Used from the next connection attempt on.
  virtual void SetHost(const std::string& host, uint16_t port, const std::string& path,
                       const std::string& protocol) = 0;
  // Drops the live connection (or the attempt under way); safe to call from any thread, it takes
  // effect at the client's next cycle.
  virtual void ResetConnection() = 0;
  virtual ~IWebSocketClient() = default;

  // Hooks; each receives the client so that one handler can serve several clients.
  // False: no connection is attempted this time (the attempt then times out).
  virtual bool HandleBeginConnect(IWebSocketClient* cli) = 0;
  virtual void HandleConnected(IWebSocketClient* cli) = 0;
  virtual void HandleConnectFailed(IWebSocketClient* cli) = 0;
  virtual void HandleDisconnected(IWebSocketClient* cli) = 0;
  virtual int HandleReceivedBinary(IWebSocketClient* cli, const void* data, int len) = 0;
  virtual int HandleReceivedText(IWebSocketClient* cli, const void* data, int len) = 0;
  virtual int HandleCanWrite(IWebSocketClient* cli) = 0;

  // Writes one text frame now; `data` must have TTxBufferItem::Pre writable bytes before it.
  virtual int Send(const void* data, int len) = 0;
  // Queues a copy of the message; it goes out once the connection can take it. A queued message of
  // the same key that is not sent yet is replaced in place. False when the queue is full and the
  // message was not queued: the caller must not act as if it will be sent.
  virtual bool BufferMessage(const TTxBufferItem& item) = 0;
};

} // namespace Qel_websock_api
