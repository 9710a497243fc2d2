// HTTP requests as the network brings them: the same bytes fed whole and in pieces whose sizes the input
// chooses. Whatever the pieces, the parser must tell the same requests (and the same error); a request
// it takes, written out again, must parse to the same request.
#include "HTTPRequestParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using Qel_proto_http::THTTPRequest;
using Qel_proto_http::THTTPRequestParser;

namespace {

// Small limits, so that the fuzzer reaches them.
constexpr size_t MaxHead = 2048, MaxBody = 4096;

struct TOutcome {
  THTTPRequestParser::TStatus Status;
  THTTPRequest Request;
  int ErrorStatus = 0;
};

bool Same(const THTTPRequest& a, const THTTPRequest& b) {
  return a.Method == b.Method && a.Path == b.Path && a.Query == b.Query &&
         a.HasAuthorization == b.HasAuthorization && a.Authorization == b.Authorization &&
         a.MinorVersion == b.MinorVersion && a.KeepAlive == b.KeepAlive && a.Upgrade == b.Upgrade &&
         a.ExpectContinue == b.ExpectContinue && a.Body == b.Body;
}

bool Same(const TOutcome& a, const TOutcome& b) {
  if (a.Status != b.Status) return false;
  if (a.Status == THTTPRequestParser::psError) return a.ErrorStatus == b.ErrorStatus;
  return Same(a.Request, b.Request);
}

[[noreturn]] void Broken(const char* why) {
  fprintf(stderr, "%s\n", why);
  abort();
}

// Feeds the pieces in turn as a connection would: complete requests are taken and the parser reset, the
// bytes it did not take stay for the next request. Ends at the first error.
std::vector<TOutcome> Parse(const std::vector<std::string>& pieces) {
  THTTPRequestParser parser(MaxHead, MaxBody);
  std::vector<TOutcome> outcomes;
  std::string in;
  for (const std::string& piece : pieces) {
    in += piece;
    size_t pos = 0;
    int idle = 0;
    while (true) {
      size_t used = 0;
      THTTPRequestParser::TStatus status = parser.Feed(in.data() + pos, in.size() - pos, &used);
      if (used > in.size() - pos) Broken("the parser took more than it was given");
      pos += used;
      if (status == THTTPRequestParser::psNeedMore) {
        if (pos != in.size()) Broken("the parser wants more but left bytes untaken");
        break;
      }
      if (status == THTTPRequestParser::psError) {
        if (parser.ErrorStatus() < 400 || parser.ErrorStatus() > 599)
          Broken("an error without a 4xx/5xx status");
        outcomes.push_back({status, {}, parser.ErrorStatus()});
        return outcomes;
      }
      outcomes.push_back({status, parser.Request(), 0});
      parser.Reset();
      // A request always takes bytes: two requests in a row from none would loop for ever.
      if (used == 0 && ++idle > 1) Broken("requests completed without taking bytes");
      if (used != 0) idle = 0;
      if (pos == in.size()) break;
    }
    in.erase(0, pos);
  }
  return outcomes;
}

std::string Encode(const std::string& path) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : path) {
    if (isalnum(c) || std::string("/-._~!$&'()*+,;=:@").find(static_cast<char>(c)) != std::string::npos) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

// The request as a client would send it, with what the parser keeps of it.
std::string Write(const THTTPRequest& r) {
  std::string out = r.Method + " " + Encode(r.Path);
  if (!r.Query.empty()) out += "?" + r.Query;
  out += " HTTP/1." + std::to_string(r.MinorVersion) + "\r\n";
  if (r.HasAuthorization) out += "Authorization: " + r.Authorization + "\r\n";
  if (!r.KeepAlive) out += "Connection: close\r\n";
  if (r.KeepAlive && r.MinorVersion == 0) out += "Connection: keep-alive\r\n";
  if (r.Upgrade) out += "Upgrade: x\r\n";
  if (r.ExpectContinue) out += "Expect: 100-continue\r\n";
  if (!r.Body.empty()) out += "Content-Length: " + std::to_string(r.Body.size()) + "\r\n";
  return out + "\r\n" + r.Body;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte seeds the sizes of the pieces (1 to 32 bytes each).
  unsigned seed = data[0];
  const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string> pieces;
  for (size_t pos = 0; pos < bytes.size();) {
    seed = seed * 1103515245u + 12345u;
    size_t len = 1 + (seed >> 16) % 32;
    pieces.push_back(bytes.substr(pos, len));
    pos += len;
  }
  const std::vector<TOutcome> whole = Parse({bytes}), split = Parse(pieces);
  if (whole.size() != split.size()) Broken("the pieces gave another number of requests");
  for (size_t i = 0; i < whole.size(); ++i)
    if (!Same(whole[i], split[i])) Broken("the pieces gave another request");

  for (const TOutcome& outcome : whole) {
    if (outcome.Status != THTTPRequestParser::psComplete) continue;
    const THTTPRequest& r = outcome.Request;
    if (r.Body.size() > MaxBody) Broken("a body beyond the limit was taken");
    if (r.Path.find('\0') != std::string::npos) Broken("a NUL in the path");
    if (r.Path.size() + r.Query.size() + r.Authorization.size() > 2 * MaxHead)
      Broken("a head beyond its limit");
    const std::vector<TOutcome> again = Parse({Write(r)});
    if (again.size() != 1 || again[0].Status != THTTPRequestParser::psComplete || !Same(again[0].Request, r))
      Broken("a request written out again parses differently");
  }
  return 0;
}
