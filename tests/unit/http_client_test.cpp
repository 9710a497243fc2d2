// The registry clients' HTTP client on a libuv loop, against a scripted loopback server: what a
// request carries, one completion per request (statuses as success, transport failures as errors),
// a loop that keeps turning while a peer hangs, and silence after Terminate().
#include "HTTP_API.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace Qel_http;

namespace {

// Accepts connections on a loopback port and answers each request with `reply` (or nothing when
// the reply is empty: the peer hangs until the test ends). `atOnce`: answers whatever comes first, as
// a plain HTTP peer answers a TLS handshake.
class TScriptedServer {
public:
  explicit TScriptedServer(std::string reply, bool atOnce = false) : Reply(std::move(reply)), AtOnce(atOnce) {
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
  ~TScriptedServer() {
    Stop = true;
    shutdown(Listener, SHUT_RDWR);
    close(Listener);
    Thread.join();
    for (int fd : Open)
      close(fd);
  }
  std::string Request() {
    std::lock_guard<std::mutex> lock(Lock);
    return Received;
  }
  int Port = 0;

private:
  void Run() {
    while (!Stop) {
      int fd = accept(Listener, nullptr, nullptr);
      if (fd < 0) return;
      std::string request;
      char buf[4096];
      // Headers, then as much body as Content-Length announces.
      while (request.find("\r\n\r\n") == std::string::npos || !BodyComplete(request)) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<size_t>(n));
        if (AtOnce) break;
      }
      {
        std::lock_guard<std::mutex> lock(Lock);
        Received = request;
      }
      if (Reply.empty()) {
        Open.push_back(fd); // never answered
        continue;
      }
      send(fd, Reply.data(), Reply.size(), MSG_NOSIGNAL);
      close(fd);
    }
  }
  static bool BodyComplete(const std::string& request) {
    size_t pos = request.find("Content-Length: ");
    if (pos == std::string::npos) return true;
    size_t length = std::stoul(request.substr(pos + 16));
    return request.size() >= request.find("\r\n\r\n") + 4 + length;
  }
  const std::string Reply;
  const bool AtOnce;
  int Listener = -1;
  std::atomic<bool> Stop{false};
  std::thread Thread;
  std::mutex Lock;
  std::string Received;
  std::vector<int> Open;
};

struct TCompletion {
  bool Success = false;
  int Result = 0;
  std::string Text;
  void* Data = nullptr;
};

class TRecorder : public IQELCurlWrapperClient {
public:
  void OnCurlSuccess(void* data, int result, const char* response) override {
    Done.push_back({true, result, response, data});
  }
  void OnCurlError(void* data, int result, const char* message) override {
    Done.push_back({false, result, message, data});
  }
  std::vector<TCompletion> Done;
};

class HTTPClientTest : public ::testing::Test {
protected:
  void SetUp() override {
    uv_loop_init(&Loop);
    Client = IQELCurlWrapper::Create(&Recorder, &Loop);
  }
  void TearDown() override {
    if (Client) Client->Destroy();
    uv_run(&Loop, UV_RUN_NOWAIT); // handles given back close here
    EXPECT_EQ(uv_loop_close(&Loop), 0) << "a handle of the client was left open";
  }
  // Turns the loop until `done` holds; a guard against hanging, not a timing check.
  bool RunUntil(const std::function<bool()>& done, int guardMs = 15000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(guardMs);
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
  std::string Url(int port, const char* path = "/x-nmos/registration/v1.2/resource") {
    return "http://127.0.0.1:" + std::to_string(port) + path;
  }

  uv_loop_t Loop;
  TRecorder Recorder;
  IQELCurlWrapper* Client = nullptr;
};

} // namespace

TEST_F(HTTPClientTest, StatusesAreSuccessesWithTheBodyAndRequestsCarryTheFixedAndExtraHeaders) {
  TScriptedServer server("HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\nConnection: close\r\n\r\nnope!");
  int tag = 0;
  ASSERT_TRUE(Client->HTTP_Request(&Recorder, Url(server.Port).c_str(), "DELETE",
                                   "Authorization: Bearer abc\r\nX-Bad: 1\nX-Injected: 2\r\n", "", &tag));
  ASSERT_TRUE(RunUntil([&] { return !Recorder.Done.empty(); }));
  ASSERT_EQ(Recorder.Done.size(), 1u);
  EXPECT_TRUE(Recorder.Done[0].Success);
  EXPECT_EQ(Recorder.Done[0].Result, 404);
  EXPECT_EQ(Recorder.Done[0].Text, "nope!");
  EXPECT_EQ(Recorder.Done[0].Data, &tag);
  const std::string request = server.Request();
  EXPECT_EQ(request.rfind("DELETE /x-nmos/registration/v1.2/resource HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Accept: application/json\r\n"), std::string::npos);
  EXPECT_NE(request.find("User-Agent: qel-nmos-node\r\n"), std::string::npos);
  EXPECT_EQ(request.find("Content-Type"), std::string::npos) << "no body, no content type";
  EXPECT_NE(request.find("\r\nAuthorization: Bearer abc\r\n"), std::string::npos) << request;
  EXPECT_EQ(request.find("X-Injected"), std::string::npos) << "a line with a bare LF is dropped";

  TScriptedServer created("HTTP/1.1 201 Created\r\nContent-Length: 2\r\nConnection: close\r\n\r\n{}");
  ASSERT_TRUE(
      Client->HTTP_Request(&Recorder, Url(created.Port).c_str(), "POST", "", "{\"type\":\"node\"}", nullptr));
  ASSERT_TRUE(RunUntil([&] { return Recorder.Done.size() == 2; }));
  EXPECT_EQ(Recorder.Done[1].Result, 201);
  const std::string post = created.Request();
  EXPECT_NE(post.find("Content-Type: application/json\r\n"), std::string::npos) << post;
  EXPECT_EQ(post.substr(post.size() - 15), "{\"type\":\"node\"}");
  EXPECT_EQ(post.find("Expect:"), std::string::npos) << "no 100-continue round trip";
}

TEST_F(HTTPClientTest, AnUnreachableRegistryIsATransportError) {
  int port;
  {
    TScriptedServer gone("x");
    port = gone.Port;
  }
  ASSERT_TRUE(Client->HTTP_Request(&Recorder, Url(port).c_str(), "POST", "", "{}", nullptr));
  ASSERT_TRUE(RunUntil([&] { return !Recorder.Done.empty(); }));
  ASSERT_EQ(Recorder.Done.size(), 1u);
  EXPECT_FALSE(Recorder.Done[0].Success);
  EXPECT_EQ(Recorder.Done[0].Result, CURLE_COULDNT_CONNECT);
  EXPECT_FALSE(Recorder.Done[0].Text.empty());
}

// A secure client sends nothing in clear: a plain http URL is refused before any connection, and a peer
// that answers in plain HTTP fails the handshake, which counts as a TLS failure and never sees the request.
TEST_F(HTTPClientTest, ASecureClientSpeaksTLSOnly) {
  TTLSClientSettings tls;
  tls.HTTPSOnly = true;
  Client->SetTLS(tls);
  TScriptedServer plain("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", true);
  ASSERT_TRUE(Client->HTTP_Request(&Recorder, Url(plain.Port).c_str(), "POST", "", "{}", nullptr));
  ASSERT_TRUE(RunUntil([&] { return Recorder.Done.size() == 1; }));
  EXPECT_FALSE(Recorder.Done[0].Success);
  EXPECT_EQ(Recorder.Done[0].Result, CURLE_UNSUPPORTED_PROTOCOL);
  EXPECT_FALSE(IsTLSFailure(Recorder.Done[0].Result));
  const std::string https = "https://127.0.0.1:" + std::to_string(plain.Port) + "/x-nmos/registration/";
  ASSERT_TRUE(Client->HTTP_Request(&Recorder, https.c_str(), "POST", "", "{\"secret\":1}", nullptr));
  ASSERT_TRUE(RunUntil([&] { return Recorder.Done.size() == 2; }));
  EXPECT_FALSE(Recorder.Done[1].Success);
  EXPECT_TRUE(IsTLSFailure(Recorder.Done[1].Result))
      << Recorder.Done[1].Result << " " << Recorder.Done[1].Text;
  EXPECT_FALSE(Recorder.Done[1].Text.empty());
  EXPECT_EQ(plain.Request().find("secret"), std::string::npos);
  EXPECT_EQ(plain.Request().find("POST"), std::string::npos);
}

TEST_F(HTTPClientTest, TheLoopKeepsTurningWhileAPeerHangsAndTerminateSilencesAndEndsTransfers) {
  TScriptedServer hanging("");
  ASSERT_TRUE(Client->HTTP_Request(&Recorder, Url(hanging.Port).c_str(), "POST", "", "{}", nullptr));
  // Other work of the loop goes on while the request waits for its answer.
  int ticks = 0;
  uv_timer_t other;
  uv_timer_init(&Loop, &other);
  other.data = &ticks;
  uv_timer_start(
      &other, [](uv_timer_t* t) { ++*static_cast<int*>(t->data); }, 1, 1);
  ASSERT_TRUE(RunUntil([&] { return ticks >= 50 && !hanging.Request().empty(); }));
  uv_close(reinterpret_cast<uv_handle_t*>(&other), nullptr);
  EXPECT_TRUE(Recorder.Done.empty());

  Client->Terminate();
  EXPECT_TRUE(Client->Terminated());
  EXPECT_FALSE(Client->HTTP_Request(&Recorder, Url(hanging.Port).c_str(), "GET", "", "", nullptr));
  // Nothing of the client is left running on the loop: it ends at once, and no completion came.
  uv_run(&Loop, UV_RUN_DEFAULT);
  EXPECT_TRUE(Recorder.Done.empty());
  EXPECT_EQ(Client->DoCycle(0), 0);
}

TEST(HTTPClientEscape, EscapesAndUnescapesWithPercentCodes) {
  EXPECT_EQ(IQELCurlWrapper::Escape("a b/c"), "a%20b%2Fc");
  EXPECT_EQ(IQELCurlWrapper::Unescape("a%20b%2Fc"), "a b/c");
}

// A pinned host keeps its name in the URL and is reached at the pinned address.
TEST(HTTPPin, ConnectToEntries) {
  std::string host;
  uint16_t port = 0;
  ASSERT_TRUE(Qel_http::URLHostPort("https://NMOS-Mocks.local:8443/x-nmos/", host, port));
  EXPECT_EQ(host, "nmos-mocks.local");
  EXPECT_EQ(port, 8443);
  ASSERT_TRUE(Qel_http::URLHostPort("https://reg.local/x", host, port));
  EXPECT_EQ(port, 443);
  EXPECT_FALSE(Qel_http::URLHostPort("ftp://reg.local/x", host, port));
  EXPECT_EQ(Qel_http::ConnectToEntry("reg.local", 443, "10.1.2.3"), "reg.local:443:10.1.2.3:443");
  EXPECT_EQ(Qel_http::ConnectToEntry("reg.local", 80, "fe80::1"), "reg.local:80:[fe80::1]:80");
}
