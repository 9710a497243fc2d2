// The HTTP client contract of the registry clients: asynchronous requests whose one completion comes
// back on the loop's thread, as success (any HTTP status, with the body) or transport error.
#pragma once

#include <curl/curl.h>
#include <uv.h>

#include <cstdint>
#include <ctime>
#include <string>

namespace Qel_http {

// Class identifiers are compared by address, never by text.
using CLASSID = const char*;
extern const CLASSID CLSID_CURL_BASEREQUEST;
extern const CLASSID CLSID_CURL_HTTPREQUEST;

// How requests check the peers they reach over https.
struct TTLSClientSettings {
  // Plain http is refused: every request goes over https (a secure node).
  bool HTTPSOnly = false;
  // The CAs whose certificates peers must chain to; empty: the system's store.
  std::string CAFile;
};

// libcurl's connect-to entry sending host:port to address ("host:443:[fe80::1]:443" for IPv6).
std::string ConnectToEntry(const std::string& host, uint16_t port, const std::string& address);
// The lower-case host and the port (the scheme's default when the URL names none) of an http(s) URL;
// false when it is not one.
bool URLHostPort(const std::string& url, std::string& host, uint16_t& port);

// Whether a transfer failed in TLS: the handshake, or the peer's certificate or host name.
bool IsTLSFailure(int curlCode);

class IQELCurlWrapperClient {
public:
  virtual ~IQELCurlWrapperClient() = default;
  // The transfer completed; Result is the HTTP status (4xx and 5xx too), Response the whole body.
  virtual void OnCurlSuccess(void* Data, int Result, const char* Response) = 0;
  // The transfer failed before an answer: Result is libcurl's code, Message libcurl's reason (its
  // detailed one where it gives one, such as the certificate problem).
  virtual void OnCurlError(void* Data, int Result, const char* Message) = 0;
};

class IQELCurlWrapper {
public:
  virtual void Destroy() = 0;
  // Ends every running transfer without completion; no callback reaches the owner any more.
  virtual void Terminate() = 0;
  virtual bool Terminated() = 0;
  // Advances the transfers and dispatches completions; returns how many still run.
  virtual int DoCycle(int TimeoutMS) = 0;
  // Applies to the requests made from now on: TLS 1.2 at least, the peer's certificate checked against
  // the CAs and its host name against the URL's.
  virtual void SetTLS(const TTLSClientSettings& settings) = 0;
  // Requests to host:port made from now on connect to address instead (an IP address, found by other
  // means than the system's resolver): the URL, the Host header, SNI and the certificate's check keep
  // the host name. A pin of the same host and port is replaced; kept-alive connections to the former
  // address are not used for it.
  virtual void Pin(const std::string& host, uint16_t port, const std::string& address) = 0;
  virtual void Unpin(const std::string& host, uint16_t port) = 0;
  // Ends the running request with this user data without completion; false when there is none.
  virtual bool Cancel(void* Userdata) = 0;
  // Queues a request; every request carries the client's fixed headers, and Header, when not empty,
  // extra lines ("Name: value", separated by CRLF; a Content-Type there replaces the fixed one). Data,
  // when not empty, is the body. Userdata comes back with the completion and stays the caller's.
  virtual bool HTTP_Request(IQELCurlWrapperClient* Handler, const char* URL, const char* Method,
                            const char* Header, const char* Data, void* Userdata) = 0;

  // A client driven by its owner (DoCycle, or Serve on a thread of its own).
  static IQELCurlWrapper* Create(IQELCurlWrapperClient* client);
  // A client on a libuv loop: its sockets and timers are loop handles, it never blocks the loop.
  static IQELCurlWrapper* Create(IQELCurlWrapperClient* client, uv_loop_t* loop);

  static std::string Escape(const std::string& text);
  static std::string Unescape(const std::string& text);

protected:
  virtual ~IQELCurlWrapper() = default;
};

// One running request.
class ICURLRequestInfo {
public:
  virtual CURL* Handle() = 0;
  virtual ICURLRequestInfo& AsRI() = 0;
  virtual void* As(const CLASSID& id) = 0;
  virtual const void* As(const CLASSID& id) const = 0;
  virtual void Destroy() = 0;
  virtual const IQELCurlWrapperClient* Caller() = 0;
  virtual void* GetData() = 0;
  virtual void SetData(void* data) = 0;
  virtual time_t Age() = 0;
  virtual ~ICURLRequestInfo() = default;
};

} // namespace Qel_http
