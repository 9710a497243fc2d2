// The System API client's choice: the lowest priority first, past System APIs that refuse the connection,
// do not answer, answer with an error or serve a broken document, to one that serves the global
// configuration, whose heartbeat interval reaches the registration client. Servers on 127.0.0.1 only.
#include "NMOSNodeData.h"
#include "NMOSRegClient.h"
#include "SystemClient.h"
#include "Threaded_API.h"
#include "helpers.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

class TRegStub : public IQELNMOSRegClient {
public:
  IQELNMOSBaseClient& AsBC() override { throw "unused"; }
  void Destroy() override {}
  IQELNMOSBridge& Bridge() override { throw "unused"; }
  void RegisterNode() override {}
  void UnregisterNode() override {}
  bool PushNode(std::string) override { return false; }
  bool PushResource(std::string, std::string, std::string) override { return false; }
  void SetHeartbeatInterval(unsigned seconds) override { Interval = seconds; }
  unsigned HeartbeatInterval() const override { return Interval; }
  TRegistrationState RegistrationState() override { return TRegistrationState::Unregistered; }
  unsigned Interval = 5;
};

class TBridgeStub : public IQELNMOSBridge {
public:
  TBridgeStub() : Host(Qel_hosted::IServiceHost::Self()) {}
  ~TBridgeStub() override { Host->Destroy(); }
  IQELNMOSNodeData& Data() override { return Store; }
  bool DoCycle() override { return false; }
  void Destroy() override {}
  Qel_hosted::IServiceHost& ServiceHost() override { return *Host; }
  const IQELNMOSConfig* BoxConfig() const override { return nullptr; }
  IQELNMOSRegClient& RegClient() override { return Reg; }
  IQELNMOSQueryClient& QueryClient() override { throw "unused"; }
  IQELNMOSRestServer& RestSrv() override { throw "unused"; }
  IQELSystemClient& SystemClient() override { throw "unused"; }
  IQELConnectionActivations& Activations() override { throw "unused"; }
  bool Connect(const std::string&, const json&) override { return false; }
  bool ConnectStream(const std::string&, const std::string&, const std::string&, bool, const json&) override {
    return false;
  }
  bool SetSenderSubscription(const std::string&, const json&) override { return false; }
  void RefreshReceivers() override {}
  void UpdateStats() override {}
  json& GetStats() override { return Stats; }
  json StatusReport() override { return json::object(); }

  Qel_hosted::IServiceHost* Host;
  TQELNMOSNodeData Store;
  TRegStub Reg;
  json Stats;
};

int Listen(uint16_t& port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) return -1;
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

// Answers every request with one status and body, and notes the paths asked for.
class TServer {
public:
  TServer(int status, std::string body) : Status(status), Body(std::move(body)) {
    Fd = Listen(Port);
    Thread = std::thread([this] { Serve(); });
  }
  ~TServer() {
    shutdown(Fd, SHUT_RDWR);
    Thread.join();
    close(Fd);
  }
  std::vector<std::string> Paths() {
    std::lock_guard<std::mutex> g(Lock);
    return Asked;
  }
  uint16_t Port = 0;

private:
  void Serve() {
    for (;;) {
      const int c = accept(Fd, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char buf[1024];
      ssize_t n;
      while (request.find("\r\n\r\n") == std::string::npos && (n = read(c, buf, sizeof buf)) > 0)
        request.append(buf, static_cast<size_t>(n));
      {
        std::lock_guard<std::mutex> g(Lock);
        const size_t sp = request.find(' ');
        Asked.push_back(request.substr(sp + 1, request.find(' ', sp + 1) - sp - 1));
      }
      const std::string answer =
          "HTTP/1.1 " + std::to_string(Status) +
          " X\r\nContent-Type: application/json\r\nConnection: close\r\nContent-Length: " +
          std::to_string(Body.size()) + "\r\n\r\n" + Body;
      if (write(c, answer.data(), answer.size()) < 0) {
      }
      close(c);
    }
  }
  int Fd = -1;
  int Status;
  std::string Body;
  std::thread Thread;
  std::mutex Lock;
  std::vector<std::string> Asked;
};

std::string Global(int heartbeat) {
  return json{{"id", "3b8be755-08ff-452b-b217-c9151eb21193"},
              {"version", "1:0"},
              {"label", ""},
              {"description", ""},
              {"tags", json::object()},
              {"is04", {{"heartbeat_interval", heartbeat}}},
              {"ptp", {{"announce_receipt_timeout", 3}, {"domain_number", 1}}}}
      .dump();
}

TEST(SystemClient, PrefersTheLowestPriorityAndMovesOnPastFailures) {
  TBridgeStub bridge;
  std::unique_ptr<IQELSystemClient, void (*)(IQELSystemClient*)> client(
      IQELSystemClient::Create(&bridge), [](IQELSystemClient* c) { c->Destroy(); });
  uint16_t refused = 0, silent = 0;
  close(Listen(refused));              // nothing listens there any more
  const int silentFd = Listen(silent); // takes connections, never answers
  TServer failing(500, "{}"), broken(200, Global(0)), good(200, Global(7)), worse(200, Global(9));
  client->AddSystemAPI("worse", "127.0.0.1", worse.Port, "", 20);
  client->AddSystemAPI("good", "127.0.0.1", good.Port, "", 10);
  client->AddSystemAPI("broken", "127.0.0.1", broken.Port, "", 6);
  client->AddSystemAPI("failing", "127.0.0.1", failing.Port, "", 5);
  client->AddSystemAPI("silent", "127.0.0.1", silent, "", 1);
  client->AddSystemAPI("refused", "127.0.0.1", refused, "", 0);

  json stats;
  const int64_t deadline = MonotonicMilliseconds() + 20000;
  while (MonotonicMilliseconds() < deadline) {
    bridge.Host->DoCycle();
    client->UpdateStats("System", stats);
    if (stats["System"]["API"] == "good") break;
  }
  ASSERT_EQ(stats["System"]["API"], "good") << stats.dump(1);
  EXPECT_EQ(bridge.Reg.Interval, 7u);
  EXPECT_EQ(stats["System"]["HeartbeatInterval"], 7);
  EXPECT_TRUE(stats["System"]["LastError"].is_null());
  EXPECT_EQ(failing.Paths(), std::vector<std::string>{"/x-nmos/system/v1.0/global"});
  EXPECT_EQ(broken.Paths().size(), 1u);
  EXPECT_TRUE(worse.Paths().empty());
  EXPECT_EQ(stats["System"]["KnownAPIs"].size(), 6u);
  EXPECT_EQ(stats["System"]["KnownAPIs"][0],
            "http://127.0.0.1:" + std::to_string(refused) + "/x-nmos/system/v1.0/global");

  // The one in use goes: its settings stay until another answers.
  client->DelSystemAPI("good");
  client->UpdateStats("System", stats);
  EXPECT_EQ(stats["System"]["KnownAPIs"].size(), 5u);
  EXPECT_EQ(bridge.Reg.Interval, 7u);
  close(silentFd);
}

} // namespace
