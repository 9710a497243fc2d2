// Connecting a receiver: the bridge asks the firmware (here the simulator) to follow a sender by its
// stream name, and the firmware's next documents show the receiver subscribed to that sender.
#include "AES67FWClient.h"
#include "NMOSBridge.h"
#include "NMOSNodeData.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using namespace Qel_nmos_bridge;

namespace {

// The simulator as a child process on a free loopback port, ended by its PID.
class TSimulator {
public:
  TSimulator() {
    // A cross build runs the simulator behind the same emulator as this test (QEL_TARGET_RUNNER).
    std::vector<std::string> args;
    std::istringstream runner(getenv("QEL_TARGET_RUNNER") ? getenv("QEL_TARGET_RUNNER") : "");
    for (std::string word; runner >> word;)
      args.push_back(word);
    args.insert(args.end(), {AES67FW_SIM, "--listen", "127.0.0.1:0", "--streams", "4"});
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    int out[2];
    if (pipe(out) != 0) return;
    Pid = fork();
    if (Pid == 0) {
      dup2(out[1], STDOUT_FILENO);
      close(out[0]);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    if (f && fgets(line, sizeof line, f)) {
      const char* colon = strrchr(line, ':');
      Port = colon ? atoi(colon + 1) : 0;
    }
    Stdout = f;
  }
  ~TSimulator() {
    if (Pid > 0) {
      kill(Pid, SIGTERM);
      waitpid(Pid, nullptr, 0);
    }
    if (Stdout) fclose(Stdout);
  }
  pid_t Pid = -1;
  int Port = 0;
  FILE* Stdout = nullptr;
};

// One blocking HTTP GET on loopback; returns the body.
std::string HttpGet(int port, const std::string& path) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string response;
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
      char buf[4096];
      ssize_t n;
      while ((n = read(fd, buf, sizeof buf)) > 0)
        response.append(buf, static_cast<size_t>(n));
    }
  }
  close(fd);
  size_t body = response.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : response.substr(body + 4);
}

class BridgeConnect : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_GT(Sim.Port, 0) << "the simulator did not start";
    Box = "127.0.0.1:" + std::to_string(Sim.Port);
    char* argv[] = {const_cast<char*>("nmos-bridge"), const_cast<char*>("/box"), Box.data(),
                    const_cast<char*>("/port"), const_cast<char*>("0")};
    Config = std::make_unique<TQELNMOSConfig>(5, argv);
    Bridge = new TQELNMOSBridge(Config.get(), GetLWSSetup());
  }
  void TearDown() override {
    if (Bridge) Bridge->Destroy();
  }

  // Turns the worker's cycle on this thread until `done` holds (or a generous deadline passes).
  bool CycleUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      Bridge->ServiceHost().DoCycle();
      if (done()) return true;
    }
    return false;
  }

  json Receiver(const std::string& id) {
    TNodeDBReadLocker lock(Bridge->Data());
    return Bridge->Data().Get(("/receivers/" + id).c_str());
  }

  TSimulator Sim;
  std::string Box;
  std::unique_ptr<TQELNMOSConfig> Config;
  TQELNMOSBridge* Bridge = nullptr;
};

} // namespace

TEST_F(BridgeConnect, ReceiverFollowsTheSenderWhoseNameTheTableKnows) {
  json config = json::parse(HttpGet(Sim.Port, "/scenario"))["config"];
  const std::string receiverId = config["rx-streams"][1]["id"];
  ASSERT_TRUE(CycleUntil([&] { return Receiver(receiverId).is_object(); }));

  // What a registry's Query API would tell: a sender of the network and its stream name.
  const std::string senderId = "5e7de700-0000-4000-8000-00000000abcd";
  Bridge->Data().SetNameFromUUID("senders", senderId, "239.69.77.1");
  ASSERT_TRUE(Bridge->Connect(receiverId, {{"id", senderId}, {"label", "far away"}}));

  ASSERT_TRUE(CycleUntil([&] {
    json received = json::parse(HttpGet(Sim.Port, "/received"), nullptr, false);
    for (const json& m : received)
      if (m.is_object() && m.value("cmd", 0) == 10) return true;
    return false;
  }));
  json received = json::parse(HttpGet(Sim.Port, "/received"));
  json message;
  for (const json& m : received)
    if (m.value("cmd", 0) == 10) message = m;
  EXPECT_EQ(message["id"], 1);
  EXPECT_EQ(message["data"]["source"], "239.69.77.1");
  EXPECT_EQ(message["data"]["enabled"], true);

  EXPECT_TRUE(CycleUntil([&] {
    json r = Receiver(receiverId);
    return r.is_object() && r["subscription"] == json{{"sender_id", senderId}, {"active", true}};
  })) << Receiver(receiverId).dump(2);
}

TEST_F(BridgeConnect, UnknownSenderChangesNothingAndUnknownReceiverIsRefused) {
  json config = json::parse(HttpGet(Sim.Port, "/scenario"))["config"];
  const std::string receiverId = config["rx-streams"][0]["id"];
  ASSERT_TRUE(CycleUntil([&] { return Receiver(receiverId).is_object(); }));
  // Accepted, but the firmware hears nothing: an unknown name must not disconnect the receiver.
  EXPECT_TRUE(Bridge->Connect(receiverId, {{"id", "5e7de700-0000-4000-8000-00000000ffff"}}));
  EXPECT_FALSE(Bridge->Connect("00000000-0000-4000-8000-000000000000", json::object()));
  EXPECT_EQ(Bridge->AESFWClient().QueueSize(), 0u);
  // An empty sender document is a disconnection: the slot is asked to follow nothing.
  EXPECT_TRUE(Bridge->Connect(receiverId, json::object()));
  EXPECT_EQ(Bridge->AESFWClient().QueueSize(), 1u);
}

TEST_F(BridgeConnect, AConnectionTheFirmwareQueueCannotTakeIsRefusedAndChangesNothing) {
  json config = json::parse(HttpGet(Sim.Port, "/scenario"))["config"];
  const std::string receiverId = config["rx-streams"][2]["id"];
  ASSERT_TRUE(CycleUntil([&] { return Receiver(receiverId).is_object(); }));
  const std::string senderId = "5e7de700-0000-4000-8000-00000000abce";
  Bridge->Data().SetNameFromUUID("senders", senderId, "239.69.77.2");
  const std::string intern = "/intern/receivers/" + receiverId;
  auto documents = [&] {
    TNodeDBReadLocker lock(Bridge->Data());
    return json::array({Receiver(receiverId), Bridge->Data().Get(intern.c_str())});
  };
  const json before = documents();

  // Log texts for the firmware fill the send queue before the worker gets to send any.
  auto& client = Bridge->AESFWClient();
  const Qel_websock_api::TTxBufferItem text(std::string(R"({"cmd": 14, "data": "x", "id": 0})"));
  for (size_t i = 0; i < client.MaxQueueSize; ++i)
    ASSERT_TRUE(client.BufferMessage(text));
  EXPECT_FALSE(Bridge->Connect(receiverId, {{"id", senderId}}));
  EXPECT_FALSE(Bridge->Connect(receiverId, json::object()));
  EXPECT_FALSE(
      Bridge->ConnectStream(receiverId, senderId, "239.69.77.2", true, json{{"master_enable", true}}));
  EXPECT_EQ(documents(), before);

  // Once the queue has drained the same connection is taken and reaches the firmware.
  ASSERT_TRUE(CycleUntil([&] { return client.QueueSize() == 0; }));
  EXPECT_TRUE(Bridge->Connect(receiverId, {{"id", senderId}}));
  EXPECT_TRUE(CycleUntil([&] {
    json r = Receiver(receiverId);
    return r.is_object() && r["subscription"] == json{{"sender_id", senderId}, {"active", true}};
  })) << Receiver(receiverId).dump(2);
}
