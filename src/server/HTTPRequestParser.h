// An incremental HTTP/1.x request parser for the node's server: request line, the few headers the
// server acts on, and the body (by Content-Length or chunked), with hard limits on every part. Bytes
// are fed as they arrive; the parser takes only what belongs to the current request, so pipelined
// requests stay in the caller's buffer for the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Qel_proto_http {

struct THTTPRequest {
  std::string Method; // as sent, for example "GET"
  std::string Path;   // percent-decoded path, without query and fragment
  std::string Query;  // the query as sent (not decoded), without its '?'
  bool HasAuthorization = false;
  std::string Authorization; // the Authorization header's value
  int MinorVersion = 1;
  bool KeepAlive = true; // the connection may serve further requests
  bool Upgrade = false;  // the client asked for another protocol (never granted)
  bool ExpectContinue = false;
  std::string Body;
};

class THTTPRequestParser {
public:
  enum TStatus { psNeedMore, psComplete, psError };

  static constexpr size_t DefaultMaxHead = 16 * 1024;
  static constexpr size_t DefaultMaxBody = 1024 * 1024;

  explicit THTTPRequestParser(size_t maxHead = DefaultMaxHead, size_t maxBody = DefaultMaxBody)
      : MaxHead(maxHead), MaxBody(maxBody) {}

  // Consumes bytes of the current request from data; *used tells how many. After psComplete the
  // request is in Request() until Reset(); after psError, ErrorStatus() and ErrorText() say why and the
  // connection cannot be used any more.
  TStatus Feed(const char* data, size_t len, size_t* used);
  void Reset();

  const THTTPRequest& Request() const { return Req; }
  THTTPRequest& Request() { return Req; }
  // Nothing of a next request has come yet (between requests on a kept connection).
  bool Idle() const { return State == stHead && Head.empty(); }
  // The head has been read and a body is still to come.
  bool AwaitingBody() const {
    return State == stBody || State == stChunkSize || State == stChunkData || State == stChunkDataEnd ||
           State == stTrailers;
  }
  int ErrorStatus() const { return Status; }
  const std::string& ErrorText() const { return Error; }

private:
  enum TState { stHead, stBody, stChunkSize, stChunkData, stChunkDataEnd, stTrailers, stDone, stFailed };

  TStatus Fail(int status, const char* why);
  TStatus FeedHead(const char* data, size_t len, size_t* pos);
  TStatus FeedBody(const char* data, size_t len, size_t* pos, TState next);
  TStatus FeedChunkSize(const char* data, size_t len, size_t* pos);
  TStatus FeedChunkEnd(const char* data, size_t len, size_t* pos);
  TStatus FeedTrailers(const char* data, size_t len, size_t* pos);
  TStatus ParseHead();
  bool ParseRequestLine(const std::string& line);
  bool ParseHeader(const std::string& line);
  bool SplitField(const std::string& line, std::string& name, std::string& value);
  bool TakeLine(const char* data, size_t len, size_t* pos, std::string& line, size_t limit, bool* complete);

  const size_t MaxHead;
  const size_t MaxBody;
  TState State = stHead;
  std::string Head;       // the head as received, up to its blank line
  size_t HeadScan = 0;    // where the search for the blank line goes on
  std::string Line;       // a chunk-size or trailer line being collected
  uint64_t Remaining = 0; // body or chunk bytes still to come
  bool HaveLength = false, Chunked = false, KeepAliveAsked = false;
  bool CRLFEnded = false; // the last line taken ended in CRLF, not in a bare LF
  size_t Headers = 0;
  size_t TrailerBytes = 0;
  THTTPRequest Req;
  int Status = 0;
  std::string Error;
};

// Whether a byte may appear in a token (a method or a header field name).
bool IsTokenChar(unsigned char ch);

// Decodes %XX escapes; false for a malformed escape or a decoded NUL.
bool PercentDecode(const std::string& in, std::string& out);

} // namespace Qel_proto_http
