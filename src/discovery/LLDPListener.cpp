#include "LLDPListener.h"

#include "Threaded_API.h"
#include "helpers.h"
#include "uv_unique_ptr.h"

#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace Qel_nmos_bridge {

namespace {

using json = nlohmann::json;
using uv_poll_ptr = std::unique_ptr<uv_poll_t, uv_delete<uv_poll_t>>;

// Frames read in one wakeup: a flood cannot hold the loop; the rest waits for the next turn.
constexpr int MaxFramesPerWakeup = 32;
// The largest frame read whole (a jumbo frame); a longer one is counted as rejected.
constexpr size_t FrameBufferSize = 9216;
constexpr uint64_t RetryMs = 10000;
constexpr uint64_t NotifyIntervalMs = 1000;
constexpr int64_t ComplainIntervalMs = 60000;

const Qel_hosted::TServiceInfo ServiceInfo{"LLDP", Qel_hosted::sdtEvents};

// Owns a file descriptor.
class TFd {
public:
  TFd() = default;
  explicit TFd(int fd) : Fd(fd) {}
  ~TFd() { Reset(); }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  TFd(TFd&& other) noexcept : Fd(other.Fd) { other.Fd = -1; }
  TFd& operator=(TFd&& other) noexcept {
    if (this != &other) {
      Reset();
      Fd = other.Fd;
      other.Fd = -1;
    }
    return *this;
  }
  int Get() const { return Fd; }
  void Reset() {
    if (Fd >= 0) close(Fd);
    Fd = -1;
  }

private:
  int Fd = -1;
};

uv_timer_ptr NewTimer(uv_loop_t* loop, void* owner) {
  uv_timer_ptr timer(new uv_timer_t);
  uv_timer_init(loop, timer.get());
  timer->data = owner;
  return timer;
}

// Lets through only LLDP frames to the nearest bridge address.
bool AttachFilter(int fd) {
  static sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, LLDPEthertype, 0, 5),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x0180c200, 0, 3),
      BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 4),  BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0x000e, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, 0x40000),     BPF_STMT(BPF_RET | BPF_K, 0),
  };
  sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0;
}

std::string Reason(const char* step) {
  return std::string(step) + ": " + strerror(errno);
}

} // namespace

// The listener's state, apart from its face.
struct TLLDPListenerData {
  TLLDPListenerData(Qel_hosted::IServiceHost& host, const std::string& ifname, std::function<void()> changed,
                    void* owner)
      : Host(host), Loop(host.Loop()), Name(ifname), Changed(std::move(changed)), Buffer(FrameBufferSize),
        Retry(NewTimer(Loop, owner)), Expiry(NewTimer(Loop, owner)), Notify(NewTimer(Loop, owner)) {}

  Qel_hosted::IServiceHost& Host;
  uv_loop_t* Loop;
  const std::string Name;
  const std::function<void()> Changed;
  std::vector<uint8_t> Buffer;
  std::string MAC;
  unsigned Index = 0; // the interface's index while the socket is open
  TFd Socket;
  uv_poll_ptr Poll; // after the socket: it goes first, so libuv lets go of the descriptor before it closes
  uv_timer_ptr Retry, Expiry, Notify;
  TLLDPNeighbour Current;
  bool Known = false;
  bool Warned = false;
  bool Told = false;
  uint64_t LastTold = 0;
  int64_t Complained = 0;
  uint64_t Frames = 0, Rejected = 0, Changes = 0;
  uint32_t CycleTime = 0;
};

class TLLDPListener final : public ILLDPListener, public Qel_hosted::IHostedService {
public:
  TLLDPListener(Qel_hosted::IServiceHost& host, const std::string& ifname, std::function<void()> changed)
      : FData(std::make_unique<TLLDPListenerData>(host, ifname, std::move(changed), this)) {
    FData->Host.Register(this);
    TryOpen();
  }
  ~TLLDPListener() override {
    FData->Host.Unregister(this);
    Close();
  }
  TLLDPListener(const TLLDPListener&) = delete;
  TLLDPListener& operator=(const TLLDPListener&) = delete;

  void Destroy() override { delete this; }
  const std::string& Interface() const override { return FData->Name; }
  const std::string& InterfaceMAC() const override { return FData->MAC; }
  const TLLDPNeighbour* Neighbour() const override { return FData->Known ? &FData->Current : nullptr; }

  // The service host's face: statistics only, the loop drives the rest.
  bool Enabled() override { return true; }
  void DoCycle() override {}
  const Qel_hosted::TServiceInfo& GetInfo() override { return ServiceInfo; }
  uint32_t& GetCycleTime() override { return FData->CycleTime; }
  void UpdateStats(const char* name, json& out) override {
    const TLLDPListenerData& d = *FData;
    json& stats = out[name];
    stats["Interface"] = d.Name;
    stats["State"] = d.Poll ? 1 : 0;
    stats["Frames"] = d.Frames;
    stats["Rejected"] = d.Rejected;
    stats["Changes"] = d.Changes;
    stats["Neighbour"] =
        d.Known
            ? json{{"chassis_id", d.Current.ChassisId}, {"port_id", d.Current.PortId}, {"ttl", d.Current.TTL}}
            : json();
  }

private:
  void TryOpen() {
    std::string why;
    if (Open(why)) {
      if (FData->Warned) lws_log(QLLL_NOTICE, "LLDP: listening on %s", FData->Name.c_str());
      FData->Warned = false;
      return;
    }
    Close();
    if (!FData->Warned)
      lws_log(QLLL_WARN, "LLDP: cannot listen on %s (%s): the switch port it is attached to stays unknown",
              FData->Name.c_str(), why.c_str());
    FData->Warned = true;
    RetryLater();
  }

  void RetryLater() {
    uv_timer_start(
        FData->Retry.get(), [](uv_timer_t* t) { static_cast<TLLDPListener*>(t->data)->TryOpen(); }, RetryMs,
        0);
  }

  bool Open(std::string& why) {
    const std::string& name = FData->Name;
    if (name.empty() || name.size() >= IFNAMSIZ) {
      why = "no such interface name";
      return false;
    }
    // No protocol yet: nothing is queued before the filter is in place and the socket is bound.
    TFd fd(socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
      why = Reason("socket");
      return false;
    }
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
      why = Reason("interface");
      return false;
    }
    // Without the filter the frames are still checked one by one.
    if (!AttachFilter(fd.Get()))
      lws_log(QLLL_NOTICE, "LLDP: no packet filter on %s (%s)", name.c_str(), strerror(errno));
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(LLDPEthertype);
    where.sll_ifindex = static_cast<int>(index);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
      why = Reason("bind");
      return false;
    }
    packet_mreq member{};
    member.mr_ifindex = static_cast<int>(index);
    member.mr_type = PACKET_MR_MULTICAST;
    member.mr_alen = sizeof LLDPNearestBridge;
    memcpy(member.mr_address, LLDPNearestBridge, sizeof LLDPNearestBridge);
    if (setsockopt(fd.Get(), SOL_PACKET, PACKET_ADD_MEMBERSHIP, &member, sizeof member) != 0)
      lws_log(QLLL_WARN,
              "LLDP: %s does not join 01-80-c2-00-00-0e (%s): the switch's frames may not reach it",
              name.c_str(), strerror(errno));
    ifreq request{};
    memcpy(request.ifr_name, name.c_str(), name.size());
    if (ioctl(fd.Get(), SIOCGIFHWADDR, &request) == 0)
      FData->MAC = LLDPIdText(false, 3, reinterpret_cast<const uint8_t*>(request.ifr_hwaddr.sa_data), 6);
    uv_poll_ptr poll(new uv_poll_t);
    if (uv_poll_init(FData->Loop, poll.get(), fd.Get()) != 0) {
      delete poll.release(); // never initialised: nothing to close
      why = "the loop refused the socket";
      return false;
    }
    poll->data = this;
    uv_poll_start(poll.get(), UV_READABLE, [](uv_poll_t* p, int status, int) {
      if (p->data) static_cast<TLLDPListener*>(p->data)->OnReadable(status);
    });
    FData->Index = index;
    FData->Socket = std::move(fd);
    FData->Poll = std::move(poll);
    return true;
  }

  // The poll handle goes first: libuv lets go of the descriptor before it is closed.
  void Close() {
    FData->Poll.reset();
    FData->Socket.Reset();
    FData->Index = 0;
  }

  void OnReadable(int status) {
    if (status < 0) return Lost(-status);
    TLLDPListenerData& d = *FData;
    for (int n = 0; n < MaxFramesPerWakeup; ++n) {
      sockaddr_ll from{};
      socklen_t fromSize = sizeof from;
      const ssize_t got = recvfrom(d.Socket.Get(), d.Buffer.data(), d.Buffer.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (got < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;
        return Lost(errno);
      }
      if (from.sll_pkttype == PACKET_OUTGOING) continue; // what this host sends itself
      ++d.Frames;
      TLLDPNeighbour neighbour;
      const TLLDPParse parsed = static_cast<size_t>(got) > d.Buffer.size()
                                    ? TLLDPParse::Malformed
                                    : ParseLLDPFrame(d.Buffer.data(), static_cast<size_t>(got), neighbour);
      if (parsed == TLLDPParse::Ok)
        Learn(neighbour);
      else if (parsed == TLLDPParse::Malformed)
        Reject();
    }
  }

  // The socket reported an error: what was learnt no longer holds. An interface that only went down
  // keeps its socket, which follows it up again; one that went away (or came back under another index)
  // is opened again later.
  void Lost(int error) {
    Withdraw();
    if (error == ENETDOWN && if_nametoindex(FData->Name.c_str()) == FData->Index) {
      lws_log(QLLL_NOTICE, "LLDP: %s is down", FData->Name.c_str());
      return;
    }
    lws_log(QLLL_NOTICE, "LLDP: the socket on %s failed (%s); opening it again in %u s", FData->Name.c_str(),
            strerror(error), static_cast<unsigned>(RetryMs / 1000));
    Close();
    RetryLater();
  }

  void Reject() {
    TLLDPListenerData& d = *FData;
    ++d.Rejected;
    const int64_t now = MonotonicMilliseconds();
    if (d.Complained != 0 && now - d.Complained < ComplainIntervalMs) return;
    d.Complained = now;
    lws_log(QLLL_WARN, "LLDP: a malformed frame on %s was ignored (%llu so far)", d.Name.c_str(),
            static_cast<unsigned long long>(d.Rejected));
  }

  void Learn(const TLLDPNeighbour& neighbour) {
    TLLDPListenerData& d = *FData;
    if (neighbour.TTL == 0) {
      // A neighbour withdraws only what it told itself.
      if (d.Known && d.Current.SameAs(neighbour)) Withdraw();
      return;
    }
    uv_timer_start(
        d.Expiry.get(),
        [](uv_timer_t* t) {
          auto* self = static_cast<TLLDPListener*>(t->data);
          lws_log(QLLL_NOTICE, "LLDP: the neighbour on %s went silent", self->FData->Name.c_str());
          self->Withdraw();
        },
        static_cast<uint64_t>(neighbour.TTL) * 1000, 0);
    const bool same = d.Known && d.Current.SameAs(neighbour);
    d.Current = neighbour;
    d.Known = true;
    if (same) return;
    lws_log(QLLL_NOTICE, "LLDP: %s is attached to chassis %s port %s", d.Name.c_str(),
            d.Current.ChassisId.c_str(), d.Current.PortId.c_str());
    Change();
  }

  void Withdraw() {
    uv_timer_stop(FData->Expiry.get());
    if (!FData->Known) return;
    FData->Known = false;
    FData->Current = TLLDPNeighbour();
    Change();
  }

  // Tells the owner at once, or a second after it was last told.
  void Change() {
    TLLDPListenerData& d = *FData;
    ++d.Changes;
    if (uv_is_active(reinterpret_cast<uv_handle_t*>(d.Notify.get()))) return;
    const uint64_t now = uv_now(d.Loop);
    const uint64_t due = d.Told ? d.LastTold + NotifyIntervalMs : now;
    uv_timer_start(
        d.Notify.get(),
        [](uv_timer_t* t) {
          auto* self = static_cast<TLLDPListener*>(t->data);
          self->FData->Told = true;
          self->FData->LastTold = uv_now(self->FData->Loop);
          if (self->FData->Changed) self->FData->Changed();
        },
        due > now ? due - now : 0, 0);
  }

  std::unique_ptr<TLLDPListenerData> FData;
};

ILLDPListener* ILLDPListener::Create(Qel_hosted::IServiceHost& host, const std::string& ifname,
                                     std::function<void()> changed) {
  return new TLLDPListener(host, ifname, std::move(changed));
}

} // namespace Qel_nmos_bridge
