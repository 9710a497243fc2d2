// The websocket client against a small websocket server in this process. Both run on one service
// host's loop, so every test drives them by cycling the host. The client's clock is a fake one that the
// tests move on, so timeouts need no waiting.
#include "Threaded_API.h"
#include "WebSocketClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

using namespace Qel_websock_api;
using namespace std::chrono_literals;

namespace {

// A websocket server on 127.0.0.1 that records what it receives and pushes messages in given pieces.
class TTestServer {
public:
  explicit TTestServer(uv_loop_t* loop) : Loop(loop) {}
  ~TTestServer() { Stop(); }

  bool Start(int port = 0) {
    void* loops[] = {Loop};
    lws_context_creation_info info;
    memset(&info, 0, sizeof info);
    info.port = port;
    info.iface = "127.0.0.1";
    info.protocols = Protocols;
    info.options = LWS_SERVER_OPTION_LIBUV;
    info.foreign_loops = loops;
    info.pcontext = &Context;
    info.user = this;
    info.uid = -1;
    info.gid = -1;
    Context = lws_create_context(&info);
    if (!Context) return false;
    Port = lws_get_vhost_listen_port(lws_get_vhost_by_name(Context, "default"));
    return Port > 0;
  }

  void Stop() {
    if (!Context) return;
    // A context on a foreign loop is freed by a second destroy once its handles have closed.
    for (int round = 0; Context && round < 2; ++round) {
      lws_context_destroy(Context);
      for (int i = 0; Context && i < 1000; ++i)
        uv_run(Loop, UV_RUN_NOWAIT);
    }
    Context = nullptr;
    Client = nullptr;
  }

  // Sends one message to the connected client as the given pieces (one frame each).
  void Push(const std::vector<std::string>& pieces) {
    for (size_t i = 0; i < pieces.size(); ++i) {
      int flags = i == 0 ? LWS_WRITE_TEXT : LWS_WRITE_CONTINUATION;
      if (i + 1 < pieces.size()) flags |= LWS_WRITE_NO_FIN;
      Out.push_back({pieces[i], flags});
    }
    if (Client) lws_callback_on_writable(Client);
  }

  uv_loop_t* Loop;
  lws_context* Context = nullptr;
  lws* Client = nullptr;
  int Port = 0;
  int Connections = 0;
  int Closed = 0;
  std::vector<std::string> Received;

private:
  struct TPiece {
    std::string Text;
    int Flags;
  };

  static int Callback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
    auto* self = static_cast<TTestServer*>(lws_context_user(lws_get_context(wsi)));
    return self ? self->Handle(wsi, reason, in, len) : 0;
  }

  int Handle(lws* wsi, lws_callback_reasons reason, void* in, size_t len) {
    switch (reason) {
    case LWS_CALLBACK_ESTABLISHED:
      Client = wsi;
      ++Connections;
      if (!Out.empty()) lws_callback_on_writable(wsi);
      return 0;
    case LWS_CALLBACK_CLOSED:
      if (Client == wsi) Client = nullptr;
      ++Closed;
      return 0;
    case LWS_CALLBACK_RECEIVE:
      Input.append(static_cast<const char*>(in), len);
      if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) {
        Received.push_back(Input);
        Input.clear();
      }
      return 0;
    case LWS_CALLBACK_SERVER_WRITEABLE: {
      if (Out.empty() || wsi != Client) return 0;
      TPiece piece = Out.front();
      Out.pop_front();
      std::vector<unsigned char> buf(LWS_PRE + piece.Text.size());
      memcpy(buf.data() + LWS_PRE, piece.Text.data(), piece.Text.size());
      lws_write(wsi, buf.data() + LWS_PRE, piece.Text.size(), static_cast<lws_write_protocol>(piece.Flags));
      if (!Out.empty()) lws_callback_on_writable(wsi);
      return 0;
    }
    default:
      return 0;
    }
  }

  static const lws_protocols Protocols[];
  std::deque<TPiece> Out;
  std::string Input;
};

const lws_protocols TTestServer::Protocols[] = {
    {"WS-protocol", TTestServer::Callback, 0, 4096, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

// A client whose hooks record what happens and whose clock the test moves.
class TTestClient : public TWebSocketClient {
public:
  TTestClient(Qel_hosted::IServiceHost& host, uint32_t watchdog = 0)
      : TWebSocketClient(host, "TestClient", watchdog, true) {}
  ~TTestClient() override { Shutdown(); }

  bool HandleBeginConnect(IWebSocketClient* cli) override {
    ++BeginConnects;
    if (AllowConnect) cli->SetHost("127.0.0.1", Port, "/", "WS-protocol");
    return AllowConnect;
  }
  void HandleConnected(IWebSocketClient*) override { ++Connects; }
  void HandleConnectFailed(IWebSocketClient*) override { ++ConnectFailures; }
  void HandleDisconnected(IWebSocketClient*) override {
    ++Disconnects;
    if (OnDisconnected) OnDisconnected();
  }
  int HandleReceivedText(IWebSocketClient*, const void* data, int len) override {
    Texts.emplace_back(static_cast<const char*>(data), static_cast<size_t>(len));
    return 0;
  }

  void Advance(std::chrono::milliseconds step) { Clock += step; }

  uint16_t Port = 0;
  bool AllowConnect = true;
  int BeginConnects = 0, Connects = 0, ConnectFailures = 0, Disconnects = 0;
  std::vector<std::string> Texts;
  std::function<void()> OnDisconnected;

protected:
  TClock::time_point Now() const override { return Clock; }

private:
  TClock::time_point Clock = TClock::now();
};

struct THostHolder {
  Qel_hosted::IServiceHost* Host = Qel_hosted::IServiceHost::Self();
  ~THostHolder() { Host->Destroy(); }
};

class WebSocketClientTest : public ::testing::Test {
protected:
  // Cycles the host until `done` holds; false when it still does not after a generous deadline.
  bool CycleUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Host->DoCycle();
    }
    return true;
  }
  size_t HandlesOnLoop() {
    size_t count = 0;
    uv_walk(
        Host->Loop(), [](uv_handle_t*, void* n) { ++*static_cast<size_t*>(n); }, &count);
    return count;
  }
  void Cycles(int n) {
    for (int i = 0; i < n; ++i)
      Host->DoCycle();
  }
  json Stats(TTestClient& client) {
    json stats;
    client.UpdateStats("c", stats);
    return stats["c"];
  }
  std::unique_ptr<TTestClient> ConnectedClient(uint32_t watchdog = 0) {
    auto client = std::make_unique<TTestClient>(*Host, watchdog);
    client->Port = static_cast<uint16_t>(Server.Port);
    EXPECT_TRUE(CycleUntil([&] { return client->GetStatus() == fwsConnected && Server.Client; }));
    return client;
  }

  THostHolder Holder;
  Qel_hosted::IServiceHost* Host = Holder.Host;
  TTestServer Server{Host->Loop()};
};

// A port on 127.0.0.1 where nobody listens.
uint16_t UnusedPort(uv_loop_t* loop) {
  TTestServer probe(loop);
  if (!probe.Start()) return 0;
  uint16_t port = static_cast<uint16_t>(probe.Port);
  probe.Stop();
  return port;
}

} // namespace

TEST_F(WebSocketClientTest, ConnectsAndReportsTheConnectionOnce) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient();
  EXPECT_EQ(client->Connects, 1);
  EXPECT_EQ(client->BeginConnects, 1);
  EXPECT_EQ(Server.Connections, 1);
}

TEST_F(WebSocketClientTest, MessageSentAsSeveralFramesArrivesOnceAndWhole) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient();
  Server.Push({"{\"cmd\": 1, ", "\"name\": \"dev", "ice\"}"});
  ASSERT_TRUE(CycleUntil([&] { return !client->Texts.empty(); }));
  Cycles(5);
  ASSERT_EQ(client->Texts.size(), 1u);
  EXPECT_EQ(client->Texts[0], "{\"cmd\": 1, \"name\": \"device\"}");
}

TEST_F(WebSocketClientTest, FrameLargerThanTheReceiveBufferArrivesOnceAndWhole) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient();
  std::string big(200000, 'x');
  for (size_t i = 0; i < big.size(); i += 1000)
    big[i] = static_cast<char>('a' + (i / 1000) % 26);
  Server.Push({big});
  ASSERT_TRUE(CycleUntil([&] { return !client->Texts.empty(); }));
  Cycles(5);
  ASSERT_EQ(client->Texts.size(), 1u);
  EXPECT_EQ(client->Texts[0], big);
}

TEST_F(WebSocketClientTest, QueuedMessagesReachTheServerInOrderAndAreCounted) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient();
  // A keyed message not sent yet is replaced in place by the next one of its key.
  EXPECT_TRUE(client->BufferMessage(TTxBufferItem(std::string("first"), "a")));
  EXPECT_TRUE(client->BufferMessage(TTxBufferItem(std::string("second message"))));
  EXPECT_TRUE(client->BufferMessage(TTxBufferItem(std::string("third"), "b")));
  EXPECT_TRUE(client->BufferMessage(TTxBufferItem(std::string("fourth"), "a")));
  ASSERT_TRUE(CycleUntil([&] { return Server.Received.size() == 3; }));
  EXPECT_EQ(Server.Received, (std::vector<std::string>{"fourth", "second message", "third"}));
  EXPECT_EQ(Stats(*client)["TXSuperseded"], 1);
  // Once sent, a message is no longer replaced: the next one of its key goes out too.
  EXPECT_TRUE(client->BufferMessage(TTxBufferItem(std::string("first"), "a")));
  ASSERT_TRUE(CycleUntil([&] { return Server.Received.size() == 4; }));
  EXPECT_EQ(Server.Received.back(), "first");

  Server.Push({"abc"});
  ASSERT_TRUE(CycleUntil([&] { return client->Texts.size() == 1; }));
  json stats = Stats(*client);
  EXPECT_EQ(stats["MsgsSent"], 4);
  EXPECT_EQ(stats["BytesSent"], 6 + 14 + 5 + 5);
  EXPECT_EQ(stats["MsgsReceived"], 1);
  EXPECT_EQ(stats["BytesReceived"], 3);
  EXPECT_EQ(stats["TXQueueSize"], 0);
}

TEST_F(WebSocketClientTest, StatisticsReportTheCycleTimeScaledDownAndTheQueueLimit) {
  TTestClient client(*Host);
  client.CycleTime = 6400;
  json stats = Stats(client);
  EXPECT_EQ(stats["Cycletime"], 100);
  EXPECT_EQ(stats["TXQueueSizeMax"], 1024);
  for (const char* counter :
       {"BytesReceived", "BytesSent", "MsgsReceived", "MsgsSent", "TXQueueSizeReached", "TXSuperseded"})
    EXPECT_EQ(stats[counter], 0) << counter;
}

TEST_F(WebSocketClientTest, QueueKeeps1024MessagesAndRefusesTheNextButStillTakesASuperseding) {
  TTestClient client(*Host);
  for (int i = 0; i < 1024; ++i)
    ASSERT_TRUE(client.BufferMessage(TTxBufferItem(std::to_string(i), i == 7 ? "seven" : "")));
  EXPECT_FALSE(client.BufferMessage(TTxBufferItem(std::string("1024"))));
  EXPECT_FALSE(client.BufferMessage(TTxBufferItem(std::string("1025"), "other")));
  EXPECT_TRUE(client.BufferMessage(TTxBufferItem(std::string("7 again"), "seven")));
  json stats = Stats(client);
  EXPECT_EQ(stats["TXQueueSize"], 1024);
  EXPECT_EQ(stats["TXQueueSizeReached"], 2);
  EXPECT_EQ(stats["TXSuperseded"], 1);
}

TEST_F(WebSocketClientTest, RefusedConnectAttemptTimesOutAfterThreeSeconds) {
  TTestClient client(*Host);
  client.AllowConnect = false;
  Cycles(1);
  EXPECT_EQ(client.GetStatus(), fwsConnecting);
  EXPECT_EQ(client.BeginConnects, 1);

  client.Advance(2900ms);
  Cycles(3);
  EXPECT_EQ(client.GetStatus(), fwsConnecting);
  EXPECT_EQ(client.ConnectFailures, 0);

  client.Advance(200ms);
  Cycles(1);
  EXPECT_EQ(client.ConnectFailures, 1);
  EXPECT_EQ(client.GetStatus(), fwsOffline);
}

TEST_F(WebSocketClientTest, WatchdogReportsSilenceOnEveryCycleUntilTheOwnerResets) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient(1);
  client->Advance(5s);
  Cycles(3);
  EXPECT_EQ(client->Disconnects, 0);

  client->Advance(1500ms);
  Cycles(3);
  EXPECT_EQ(client->Disconnects, 3);
  EXPECT_EQ(client->GetStatus(), fwsConnected);

  client->ResetConnection();
  ASSERT_TRUE(CycleUntil([&] { return Server.Closed == 1; }));
  ASSERT_TRUE(CycleUntil([&] { return Server.Connections == 2 && client->GetStatus() == fwsConnected; }));
  EXPECT_EQ(client->Connects, 2);
}

TEST_F(WebSocketClientTest, NoWatchdogWhenItIsSwitchedOff) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient(0);
  client->Advance(60s);
  Cycles(3);
  EXPECT_EQ(client->Disconnects, 0);
  EXPECT_EQ(client->GetStatus(), fwsConnected);
}

TEST_F(WebSocketClientTest, ReceivedMessageRestartsTheWatchdog) {
  ASSERT_TRUE(Server.Start());
  auto client = ConnectedClient(1);
  client->Advance(5s);
  Server.Push({"ping"});
  ASSERT_TRUE(CycleUntil([&] { return client->Texts.size() == 1; }));
  client->Advance(5s);
  Cycles(3);
  EXPECT_EQ(client->Disconnects, 0);
}

TEST_F(WebSocketClientTest, ReconnectsAtMostOncePerSecondWhileTheServerIsAway) {
  ASSERT_TRUE(Server.Start());
  const int port = Server.Port;
  auto client = ConnectedClient();
  client->OnDisconnected = [&] { client->ResetConnection(); };

  Server.Stop();
  ASSERT_TRUE(CycleUntil([&] { return client->GetStatus() == fwsOffline; }));
  EXPECT_EQ(client->Disconnects, 1);

  // The clock stands still: no new attempt however many cycles pass.
  Cycles(20);
  EXPECT_EQ(client->BeginConnects, 1);

  client->Advance(1s);
  ASSERT_TRUE(CycleUntil([&] { return client->BeginConnects == 2; }));
  ASSERT_TRUE(CycleUntil([&] { return client->GetStatus() == fwsOffline; })); // refused
  Cycles(20);
  EXPECT_EQ(client->BeginConnects, 2);

  ASSERT_TRUE(Server.Start(port));
  client->Advance(1s);
  ASSERT_TRUE(CycleUntil([&] { return client->GetStatus() == fwsConnected && Server.Client; }));
  EXPECT_EQ(client->BeginConnects, 3);
  EXPECT_EQ(client->Connects, 2);

  Server.Push({"back"});
  ASSERT_TRUE(CycleUntil([&] { return client->Texts.size() == 1; }));
  EXPECT_EQ(client->Texts[0], "back");
}

TEST_F(WebSocketClientTest, UnreachableServerIsRetriedAfterThePause) {
  TTestClient client(*Host);
  client.Port = UnusedPort(Host->Loop());
  ASSERT_NE(client.Port, 0);
  ASSERT_TRUE(CycleUntil([&] { return client.BeginConnects == 1 && client.GetStatus() == fwsOffline; }));
  EXPECT_EQ(client.ConnectFailures, 0); // a refused connection is an error, not a timeout
  Cycles(10);
  EXPECT_EQ(client.BeginConnects, 1);
  client.Advance(1s);
  ASSERT_TRUE(CycleUntil([&] { return client.BeginConnects == 2; }));
}

TEST_F(WebSocketClientTest, SendWithoutConnectionFails) {
  TTestClient client(*Host);
  TTxBufferItem item(std::string("x"));
  EXPECT_EQ(client.Send(item.Message(), item.Len()), -1);
}

// Shutting down never turns the loop itself (a callback run inside it could open a descriptor while the
// context's are being closed, or reach objects in the middle of a change); the client may go at once,
// and its context's handles leave the loop within a few cycles.
TEST_F(WebSocketClientTest, ShutdownEndsTheConnectionAndTheMachineWithoutTurningTheLoop) {
  ASSERT_TRUE(Server.Start());
  const size_t before = HandlesOnLoop();
  auto client = ConnectedClient();
  ASSERT_GT(HandlesOnLoop(), before);
  uv_timer_t due;
  uv_timer_init(Host->Loop(), &due);
  bool fired = false;
  due.data = &fired;
  uv_timer_start(
      &due, [](uv_timer_t* t) { *static_cast<bool*>(t->data) = true; }, 0, 0);
  client->Shutdown();
  EXPECT_FALSE(fired);
  EXPECT_EQ(client->GetStatus(), fwsQuit);
  client.reset();
  ASSERT_TRUE(CycleUntil([&] { return Server.Closed == 1; }));
  EXPECT_TRUE(fired);
  uv_close(reinterpret_cast<uv_handle_t*>(&due), nullptr);
  EXPECT_TRUE(CycleUntil([&] { return HandlesOnLoop() == before; })) << HandlesOnLoop() << " " << before;
  EXPECT_EQ(Server.Connections, 1);
}

TEST(TxBufferItem, KeepsRoomBeforeTheMessageAndAZeroAfterIt) {
  TTxBufferItem item(std::string("hello"));
  ASSERT_EQ(item.Len(), 5);
  EXPECT_EQ(item.Message(), item.Data() + TTxBufferItem::Pre);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(item.Message())), "hello");

  TTxBufferItem copy(item);
  EXPECT_NE(copy.Data(), item.Data());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(copy.Message())), "hello");

  TTxBufferItem moved(std::move(copy));
  EXPECT_EQ(moved.Len(), 5);
  EXPECT_EQ(copy.Len(), 0);
  EXPECT_EQ(copy.Data(), nullptr);
}
