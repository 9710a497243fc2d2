#include "server.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace aes67fw_sim {
namespace {

constexpr const char* kWsProtocol = "WS-protocol";
constexpr const char* kWsPath = "/";
// A client that stops reading loses messages rather than growing the simulator without bound.
constexpr std::size_t kMaxQueued = 1024;
constexpr std::size_t kMaxMessage = 1 << 20;
constexpr std::size_t kHttpChunk = 16 * 1024;

Method MethodOf(lws* wsi) {
  char* uri = nullptr;
  int len = 0;
  switch (lws_http_get_uri_and_method(wsi, &uri, &len)) {
  case LWSHUMETH_GET:
    return Method::Get;
  case LWSHUMETH_PUT:
    return Method::Put;
  case LWSHUMETH_POST:
    return Method::Post;
  case LWSHUMETH_DELETE:
    return Method::Delete;
  default:
    return Method::Other;
  }
}

long long ContentLength(lws* wsi) {
  char text[32] = {};
  if (lws_hdr_copy(wsi, text, sizeof text, WSI_TOKEN_HTTP_CONTENT_LENGTH) <= 0) return 0;
  return std::atoll(text);
}

bool IsIpv4(const std::string& address) {
  return address.find(':') == std::string::npos;
}

} // namespace

Server::Server(Firmware& firmware, const ServerOptions& options) : firmware_(firmware), options_(options) {
  protocols_ = {
      {"http", &Server::HttpCallback, 0, 0, 0, nullptr, 0},
      {kWsProtocol, &Server::WsCallback, 0, 64 * 1024, 0, nullptr, 0},
      {nullptr, nullptr, 0, 0, 0, nullptr, 0},
  };
  heartbeat_.owner = this;
  resend_.owner = this;

  lws_context_creation_info info;
  std::memset(&info, 0, sizeof info);
  info.options = LWS_SERVER_OPTION_EXPLICIT_VHOSTS;
  info.port = CONTEXT_PORT_NO_LISTEN;
  info.gid = -1;
  info.uid = -1;
  info.user = this;
  context_.reset(lws_create_context(&info));
  if (!context_) throw std::runtime_error("cannot create the libwebsockets context");

  lws_context_creation_info vh;
  std::memset(&vh, 0, sizeof vh);
  vh.vhost_name = "aes67fw";
  vh.port = options_.port;
  vh.iface = options_.address == "0.0.0.0" ? nullptr : options_.address.c_str();
  vh.protocols = protocols_.data();
  vh.options = IsIpv4(options_.address) ? LWS_SERVER_OPTION_DISABLE_IPV6 : 0;
  vh.server_string = "aes67fw";
  lws_vhost* vhost = lws_create_vhost(context_.get(), &vh);
  if (vhost == nullptr)
    throw std::runtime_error("cannot listen on " + options_.address + ":" + std::to_string(options_.port));
  port_ = lws_get_vhost_listen_port(vhost);

  Schedule(heartbeat_, &Server::OnHeartbeat, options_.heartbeat_seconds);
  if (options_.resend_seconds > 0) Schedule(resend_, &Server::OnResend, options_.resend_seconds);
}

void Server::Run(const volatile std::sig_atomic_t& stop) {
  while (!stop)
    if (lws_service(context_.get(), 0) < 0) break;
}

void Server::Wake() {
  if (context_) lws_cancel_service(context_.get());
}

Server& Server::Of(lws* wsi) {
  return *static_cast<Server*>(lws_context_user(lws_get_context(wsi)));
}

void Server::Schedule(TimerSlot& slot, void (*cb)(lws_sorted_usec_list_t*), unsigned seconds) {
  lws_sul_schedule(context_.get(), 0, &slot.sul, cb, static_cast<lws_usec_t>(seconds) * LWS_US_PER_SEC);
}

void Server::OnHeartbeat(lws_sorted_usec_list_t* sul) {
  Server& self = *reinterpret_cast<TimerSlot*>(sul)->owner;
  static const auto heartbeat = std::make_shared<const std::string>(R"({"cmd":3})");
  self.PushToAll(heartbeat);
  self.Schedule(self.heartbeat_, &Server::OnHeartbeat, self.options_.heartbeat_seconds);
}

void Server::OnResend(lws_sorted_usec_list_t* sul) {
  Server& self = *reinterpret_cast<TimerSlot*>(sul)->owner;
  self.PushDocuments(true, true);
  self.Schedule(self.resend_, &Server::OnResend, self.options_.resend_seconds);
}

// ---- websocket ----

int Server::WsCallback(lws* wsi, lws_callback_reasons reason, void*, void* in, size_t len) {
  Server& self = Of(wsi);
  switch (reason) {
  case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION: {
    char path[64] = {};
    const bool root =
        lws_hdr_copy(wsi, path, sizeof path, WSI_TOKEN_GET_URI) > 0 && std::strcmp(path, kWsPath) == 0;
    return root ? 0 : 1;
  }
  case LWS_CALLBACK_ESTABLISHED:
    return self.WsEstablished(wsi);
  case LWS_CALLBACK_RECEIVE:
    return self.WsReceive(wsi, in, len);
  case LWS_CALLBACK_SERVER_WRITEABLE:
    return self.WsWriteable(wsi);
  case LWS_CALLBACK_CLOSED:
    self.sessions_.erase(wsi);
    return 0;
  default:
    return 0;
  }
}

int Server::WsEstablished(lws* wsi) {
  WsSession& session = sessions_[wsi];
  Enqueue(wsi, session, std::make_shared<const std::string>(Serialise(firmware_.Config())));
  Enqueue(wsi, session, std::make_shared<const std::string>(Serialise(firmware_.State())));
  return 0;
}

int Server::WsReceive(lws* wsi, const void* in, size_t len) {
  const auto it = sessions_.find(wsi);
  if (it == sessions_.end()) return -1;
  WsSession& session = it->second;
  if (!session.in_dropped) {
    if (session.in.size() + len > kMaxMessage) {
      session.in_dropped = true;
      session.in.clear();
      session.in.shrink_to_fit();
    } else {
      session.in.append(static_cast<const char*>(in), len);
    }
  }
  if (lws_is_final_fragment(wsi) && lws_remaining_packet_payload(wsi) == 0) Deliver(wsi, session);
  return 0;
}

void Server::Deliver(lws* wsi, WsSession& session) {
  Reaction reaction;
  if (session.in_dropped)
    reaction =
        firmware_.HandleUndecodable("(message over " + std::to_string(kMaxMessage) + " bytes dropped)");
  else if (lws_frame_is_binary(wsi))
    reaction =
        firmware_.HandleUndecodable("(binary message of " + std::to_string(session.in.size()) + " bytes)");
  else
    reaction = firmware_.HandleText(session.in);
  session.in.clear();
  session.in_dropped = false;
  if (!reaction.answer.empty()) Enqueue(wsi, session, std::make_shared<const std::string>(reaction.answer));
  PushDocuments(reaction.push_config, reaction.push_state);
}

int Server::WsWriteable(lws* wsi) {
  const auto it = sessions_.find(wsi);
  if (it == sessions_.end() || it->second.out.empty()) return 0;
  WsSession& session = it->second;
  const std::shared_ptr<const std::string> text = session.out.front();
  session.out.pop_front();
  // lws writes the frame header into the LWS_PRE bytes in front of the payload, so each write gets a copy.
  scratch_.resize(LWS_PRE + text->size());
  std::copy(text->begin(), text->end(), scratch_.begin() + LWS_PRE);
  if (lws_write(wsi, scratch_.data() + LWS_PRE, text->size(), LWS_WRITE_TEXT) <
      static_cast<int>(text->size()))
    return -1;
  if (!session.out.empty()) lws_callback_on_writable(wsi);
  return 0;
}

void Server::Enqueue(lws* wsi, WsSession& session, const std::shared_ptr<const std::string>& text) {
  if (session.out.size() >= kMaxQueued) return;
  session.out.push_back(text);
  lws_callback_on_writable(wsi);
}

void Server::PushToAll(const std::shared_ptr<const std::string>& text) {
  for (auto& [wsi, session] : sessions_)
    Enqueue(wsi, session, text);
}

void Server::PushDocuments(bool config, bool state) {
  if (sessions_.empty()) return;
  if (config) PushToAll(std::make_shared<const std::string>(Serialise(firmware_.Config())));
  if (state) PushToAll(std::make_shared<const std::string>(Serialise(firmware_.State())));
}

// ---- HTTP ----

int Server::HttpCallback(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
  switch (reason) {
  case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
    return 1; // a websocket upgrade without the firmware's subprotocol
  case LWS_CALLBACK_HTTP:
    return Of(wsi).HttpRequest(wsi, static_cast<const char*>(in));
  case LWS_CALLBACK_HTTP_BODY:
    return Of(wsi).HttpBody(wsi, in, len);
  case LWS_CALLBACK_HTTP_BODY_COMPLETION:
    return Of(wsi).HttpRespond(wsi);
  case LWS_CALLBACK_HTTP_WRITEABLE:
    return Of(wsi).HttpWriteable(wsi);
  case LWS_CALLBACK_CLOSED_HTTP:
    Of(wsi).exchanges_.erase(wsi);
    return 0;
  default:
    return lws_callback_http_dummy(wsi, reason, user, in, len);
  }
}

int Server::HttpRequest(lws* wsi, const char* uri) {
  HttpExchange& exchange = exchanges_[wsi];
  exchange = HttpExchange{};
  exchange.method = MethodOf(wsi);
  exchange.path = uri != nullptr ? uri : "";
  if (ContentLength(wsi) > 0) return 0; // answered at LWS_CALLBACK_HTTP_BODY_COMPLETION
  return HttpRespond(wsi);
}

int Server::HttpBody(lws* wsi, const void* in, size_t len) {
  const auto it = exchanges_.find(wsi);
  if (it == exchanges_.end()) return -1;
  HttpExchange& exchange = it->second;
  // The rest of an oversized body is read and thrown away so that the answer can still be sent.
  if (exchange.body_too_large || exchange.body.size() + len > kMaxBody) {
    exchange.body_too_large = true;
    exchange.body.clear();
    return 0;
  }
  exchange.body.append(static_cast<const char*>(in), len);
  return 0;
}

int Server::HttpRespond(lws* wsi) {
  const auto it = exchanges_.find(wsi);
  if (it == exchanges_.end()) return -1;
  HttpExchange& exchange = it->second;
  HttpResponse response;
  if (exchange.body_too_large) {
    response.status = 413;
    response.body = Serialise(json{{"code", 413}, {"error", "the body is larger than 1 MiB"}});
  } else {
    response = Route(firmware_, exchange.method, exchange.path, exchange.body);
  }
  exchange.body.clear();
  exchange.response = std::move(response.body);
  exchange.sent = 0;

  unsigned char headers[LWS_PRE + 1024];
  unsigned char* start = headers + LWS_PRE;
  unsigned char* p = start;
  unsigned char* end = headers + sizeof headers - 1;
  if (lws_add_http_common_headers(wsi, response.status, response.content_type.c_str(),
                                  exchange.response.size(), &p, end) ||
      lws_finalize_write_http_header(wsi, start, &p, end))
    return 1;
  lws_callback_on_writable(wsi);
  PushDocuments(response.push_config, response.push_state);
  return 0;
}

int Server::HttpWriteable(lws* wsi) {
  const auto it = exchanges_.find(wsi);
  if (it == exchanges_.end()) return 0;
  HttpExchange& exchange = it->second;
  const std::size_t n = std::min(kHttpChunk, exchange.response.size() - exchange.sent);
  const bool last = exchange.sent + n == exchange.response.size();
  scratch_.resize(LWS_PRE + n);
  std::copy_n(exchange.response.begin() + exchange.sent, n, scratch_.begin() + LWS_PRE);
  if (lws_write(wsi, scratch_.data() + LWS_PRE, n, last ? LWS_WRITE_HTTP_FINAL : LWS_WRITE_HTTP) <
      static_cast<int>(n))
    return 1;
  exchange.sent += n;
  if (!last) {
    lws_callback_on_writable(wsi);
    return 0;
  }
  exchanges_.erase(it);
  return lws_http_transaction_completed(wsi) ? -1 : 0;
}

} // namespace aes67fw_sim
