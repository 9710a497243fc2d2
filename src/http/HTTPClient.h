// The HTTP client on libcurl's multi interface: requests with the registry clients' fixed headers and
// a 10 s limit, completions dispatched once each, and a plain variant that its owner drives.
#pragma once

#include "HTTP_API.h"

#include <memory>
#include <string>

namespace Qel_http {

struct THTTPClientData;
class TQELCurlWrapper;

class TCurlRequestInfo : public ICURLRequestInfo {
public:
  TCurlRequestInfo(TQELCurlWrapper* owner, IQELCurlWrapperClient* caller);
  ~TCurlRequestInfo() override;
  TCurlRequestInfo(const TCurlRequestInfo&) = delete;
  TCurlRequestInfo& operator=(const TCurlRequestInfo&) = delete;

  CURL* Handle() override { return FHandle; }
  ICURLRequestInfo& AsRI() override { return *this; }
  void* As(const CLASSID& id) override;
  const void* As(const CLASSID& id) const override;
  void Destroy() override { delete this; }
  const IQELCurlWrapperClient* Caller() override { return FCaller; }
  IQELCurlWrapperClient* Handler() { return FCaller; }
  void* GetData() override { return UserData; }
  void SetData(void* data) override;
  time_t Age() override;
  virtual bool Aborted();

private:
  TQELCurlWrapper* Owner;
  CURL* FHandle;
  IQELCurlWrapperClient* FCaller;
  void* UserData = nullptr;
  time_t StartTime;
};

class THTTPRequest : public TCurlRequestInfo {
public:
  // header: extra header lines ("Name: value", separated by CRLF), may be null.
  THTTPRequest(TQELCurlWrapper* owner, IQELCurlWrapperClient* caller, const char* url, const char* method,
               const char* header, const char* data);
  ~THTTPRequest() override;

  void* As(const CLASSID& id) override;
  const void* As(const CLASSID& id) const override;
  const std::string& Body() const { return Result; }
  // Sets the transfer's options; false when libcurl refuses one. connectTo, when not empty, is the
  // address the URL's host:port is reached at (a libcurl connect-to entry).
  bool Prepare(const TTLSClientSettings& tls, const std::string& connectTo = std::string());
  // libcurl's reason of a failure: the detailed one when it gave one, else the code's text.
  std::string Reason(CURLcode code);

private:
  static size_t Write(char* ptr, size_t size, size_t nmemb, void* userdata);
  static int Progress(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t);

  const std::string URL, Method, Data;
  std::string Result;
  curl_slist* HeaderInfo = nullptr;
  curl_slist* ConnectTo = nullptr;
  char ErrorText[CURL_ERROR_SIZE] = {};
};

class TQELCurlWrapper : public IQELCurlWrapper {
public:
  // Whole-transfer limit of every request.
  static constexpr long RequestTimeoutSeconds = 10;
  // Largest answer taken in; a larger one fails the transfer (a write error).
  static constexpr size_t MaxResponseSize = 4 * 1024 * 1024;

  explicit TQELCurlWrapper(IQELCurlWrapperClient* owner);
  TQELCurlWrapper(const TQELCurlWrapper&) = delete;
  TQELCurlWrapper& operator=(const TQELCurlWrapper&) = delete;

  void Destroy() override { delete this; }
  void Terminate() override;
  bool Terminated() override;
  int DoCycle(int TimeoutMS) override;
  bool Cancel(void* Userdata) override;
  void SetTLS(const TTLSClientSettings& settings) override;
  void Pin(const std::string& host, uint16_t port, const std::string& address) override;
  void Unpin(const std::string& host, uint16_t port) override;
  bool HTTP_Request(IQELCurlWrapperClient* Handler, const char* URL, const char* Method, const char* Header,
                    const char* Data, void* Userdata) override;

  // Runs DoCycle(5) until terminated (the plain variant on a thread of its own).
  void Serve();
  static void* ThreadWrapper(void* client);

protected:
  ~TQELCurlWrapper() override;
  CURLM* Multi();
  // Dispatches the completions of finished transfers and destroys their requests.
  void DrainFinished();
  // Ends every running transfer without completion.
  void AbortAll();
  // Frees the multi handle (libcurl may still call the socket hooks while it closes connections).
  void CleanupMulti();

private:
  void PostProcessGeneric(TCurlRequestInfo& request, CURLcode result);

  THTTPClientData* FData;
};

} // namespace Qel_http
