// Transport files at multicast DNS names: the fetcher looks such a host up through the node's resolver
// and fetches at the address found, under the host's name; other hosts go to libcurl as they are. A
// failed lookup ends the fetch without its callback, as does the fetcher's going with a lookup running.
#include "HostNameResolver.h"
#include "SenderSDP.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

using namespace Qel_nmos_bridge;

namespace {

// A loopback peer that answers every request with one SDP text and remembers the Host headers.
class TSDPServer {
public:
  TSDPServer() {
    Listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(Listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(Listener, reinterpret_cast<sockaddr*>(&addr), &len);
    Port = ntohs(addr.sin_port);
    listen(Listener, 8);
    Thread = std::thread([this] { Run(); });
  }
  ~TSDPServer() {
    shutdown(Listener, SHUT_RDWR);
    close(Listener);
    Thread.join();
  }
  std::vector<std::string> Hosts() {
    std::lock_guard<std::mutex> lock(Lock);
    return Seen;
  }
  static constexpr const char* SDP = "v=0\r\ns=Far Away\r\nm=audio 5004 RTP/AVP 96\r\n";
  uint16_t Port = 0;

private:
  void Run() {
    for (;;) {
      const int fd = accept(Listener, nullptr, nullptr);
      if (fd < 0) return;
      std::string request;
      char buf[2048];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
      }
      const size_t host = request.find("Host: ");
      {
        std::lock_guard<std::mutex> lock(Lock);
        Seen.push_back(
            host == std::string::npos ? "" : request.substr(host + 6, request.find('\r', host) - host - 6));
      }
      const std::string body = SDP;
      const std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: application/sdp\r\nConnection: close\r\n"
                                "Content-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
      send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }
  int Listener = -1;
  std::thread Thread;
  std::mutex Lock;
  std::vector<std::string> Seen;
};

// Looks names up as the test says: the test answers each lookup itself.
class TFakeNames : public IQELHostNameResolver {
public:
  uint64_t ResolveHostName(const std::string& name, TDone done) override {
    Asked.push_back(name);
    if (!Available) return 0;
    Running[Next] = std::move(done);
    return Next++;
  }
  void CancelHostName(uint64_t id) override { Cancelled += Running.erase(id); }
  void Answer(const std::string& address) {
    ASSERT_FALSE(Running.empty());
    TDone done = std::move(Running.begin()->second);
    Running.erase(Running.begin());
    done(address);
  }
  bool Available = true;
  std::vector<std::string> Asked;
  std::map<uint64_t, TDone> Running;
  uint64_t Next = 1;
  int Cancelled = 0;
};

class SDPFetcherTest : public ::testing::Test {
protected:
  SDPFetcherTest() {
    uv_loop_init(&Loop);
    Fetcher = std::make_unique<TSenderSDPFetcher>(&Loop, Qel_http::TTLSClientSettings(), &Names);
  }
  ~SDPFetcherTest() override {
    Fetcher.reset();
    uv_run(&Loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_close(&Loop), 0) << "a handle of the fetcher was left open";
  }
  bool RunUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20); // against hanging
    uv_timer_t tick;
    uv_timer_init(&Loop, &tick);
    uv_timer_start(
        &tick, [](uv_timer_t*) {}, 5, 5);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      uv_run(&Loop, UV_RUN_ONCE);
    uv_close(reinterpret_cast<uv_handle_t*>(&tick), nullptr);
    uv_run(&Loop, UV_RUN_NOWAIT);
    return done();
  }
  std::string URL(const std::string& host) {
    return "http://" + host + ":" + std::to_string(Server.Port) + "/x.sdp";
  }

  uv_loop_t Loop;
  TSDPServer Server;
  TFakeNames Names;
  std::unique_ptr<TSenderSDPFetcher> Fetcher;
};

} // namespace

TEST(MulticastDNSHost, NamesEndingInLocalOnly) {
  for (const char* host : {"sender-host.local", "Sender-Host.LOCAL", "sender-host.local.", "a.b.local"})
    EXPECT_TRUE(IsMulticastDNSHost(host)) << host;
  for (const char* host : {"local", ".local", "..local", "local.", "sender-host.localhost", "sender-host.lan",
                           "sender-host.local..", "sender-hostlocal", "127.0.0.1", "[::1]", ""})
    EXPECT_FALSE(IsMulticastDNSHost(host)) << host;
}

TEST_F(SDPFetcherTest, ALocalHostIsFetchedAtTheAddressFoundUnderItsName) {
  std::vector<std::string> bodies;
  auto keep = [&bodies](const std::string& sdp) { bodies.push_back(sdp); };
  ASSERT_TRUE(Fetcher->Fetch(URL("Sender-Host.local"), keep));
  ASSERT_TRUE(Fetcher->Fetch(URL("sender-host.local."), keep));
  // An address goes to libcurl at once.
  ASSERT_TRUE(Fetcher->Fetch(URL("127.0.0.1"), keep));
  EXPECT_EQ(Names.Asked, (std::vector<std::string>{"sender-host.local", "sender-host.local."}));
  ASSERT_TRUE(RunUntil([&] { return bodies.size() == 1; }));
  Names.Answer("127.0.0.1");
  Names.Answer("127.0.0.1");
  ASSERT_TRUE(RunUntil([&] { return bodies.size() == 3; }));
  EXPECT_EQ(bodies, std::vector<std::string>(3, TSDPServer::SDP));
  const std::string port = ":" + std::to_string(Server.Port);
  EXPECT_EQ(Server.Hosts(), (std::vector<std::string>{"127.0.0.1" + port, "Sender-Host.local" + port,
                                                      "sender-host.local." + port}));
  EXPECT_EQ(Fetcher->Running(), 0u);
}

TEST_F(SDPFetcherTest, AFailedLookupOrAFetcherGoneEndsTheFetchWithoutItsCallback) {
  bool called = false;
  ASSERT_TRUE(Fetcher->Fetch(URL("nowhere.local"), [&called](const std::string&) { called = true; }));
  Names.Answer("");
  EXPECT_EQ(Fetcher->Running(), 0u);
  ASSERT_TRUE(Fetcher->Fetch(URL("later.local"), [&called](const std::string&) { called = true; }));
  EXPECT_EQ(Names.Running.size(), 1u);
  Fetcher.reset();
  EXPECT_EQ(Names.Cancelled, 1);
  EXPECT_TRUE(Names.Running.empty());
  uv_run(&Loop, UV_RUN_NOWAIT);
  EXPECT_FALSE(called);
  EXPECT_TRUE(Server.Hosts().empty());
}
