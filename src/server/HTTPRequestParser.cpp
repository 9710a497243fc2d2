#include "HTTPRequestParser.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace Qel_proto_http {

namespace {

constexpr size_t MaxHeaders = 100;
constexpr size_t MaxRequestLine = 8 * 1024;
constexpr size_t MaxChunkLine = 1024;
constexpr size_t MaxMethod = 20;

// A control character that may not appear in a field value or a chunk extension (HTAB may).
bool IsForbiddenControl(unsigned char ch) {
  return (ch < 0x20 && ch != '\t') || ch == 0x7f;
}

bool HasForbiddenControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return IsForbiddenControl(c); });
}

bool IsToken(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return IsTokenChar(c); });
}

std::string Lower(std::string text) {
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// Calls f with each trimmed, lower-case element of a comma-separated list.
template <typename F> void ForEachListItem(const std::string& value, F f) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    std::string item = Lower(Trim(value.substr(start, comma - start)));
    if (!item.empty()) f(item);
    start = comma + 1;
  }
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

void StripCR(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
}

} // namespace

// The characters of a token, decided by value alone (no locale, and no C string whose terminating NUL
// would count as one of them).
bool IsTokenChar(unsigned char ch) {
  if ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z')) return true;
  switch (ch) {
  case '!':
  case '#':
  case '$':
  case '%':
  case '&':
  case '\'':
  case '*':
  case '+':
  case '-':
  case '.':
  case '^':
  case '_':
  case '`':
  case '|':
  case '~':
    return true;
  default:
    return false;
  }
}

bool PercentDecode(const std::string& in, std::string& out) {
  out.clear();
  out.reserve(in.size());
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '%') {
      out += in[i];
      continue;
    }
    if (i + 2 >= in.size()) return false;
    int high = HexValue(in[i + 1]), low = HexValue(in[i + 2]);
    if (high < 0 || low < 0) return false;
    char ch = static_cast<char>(high * 16 + low);
    if (ch == '\0') return false;
    out += ch;
    i += 2;
  }
  return true;
}

void THTTPRequestParser::Reset() {
  State = stHead;
  Head.clear();
  HeadScan = 0;
  Line.clear();
  Remaining = 0;
  HaveLength = Chunked = KeepAliveAsked = CRLFEnded = false;
  Headers = 0;
  TrailerBytes = 0;
  Req = THTTPRequest();
  Status = 0;
  Error.clear();
}

THTTPRequestParser::TStatus THTTPRequestParser::Fail(int status, const char* why) {
  State = stFailed;
  Status = status;
  Error = why;
  return psError;
}

// Collects one line up to its LF (CRLFEnded tells whether a CR came before it); false when it grows past
// the limit.
bool THTTPRequestParser::TakeLine(const char* data, size_t len, size_t* pos, std::string& line, size_t limit,
                                  bool* complete) {
  const char* start = data + *pos;
  const void* nl = memchr(start, '\n', len - *pos);
  size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) + 1 : len - *pos;
  if (line.size() + take > limit + 2) return false;
  line.append(start, take);
  *pos += take;
  *complete = nl != nullptr;
  if (*complete) {
    line.pop_back();
    CRLFEnded = !line.empty() && line.back() == '\r';
    StripCR(line);
  }
  return true;
}

THTTPRequestParser::TStatus THTTPRequestParser::Feed(const char* data, size_t len, size_t* used) {
  size_t pos = 0;
  TStatus result = State == stFailed ? psError : State == stDone ? psComplete : psNeedMore;
  while (result == psNeedMore && pos < len) {
    switch (State) {
    case stHead:
      result = FeedHead(data, len, &pos);
      break;
    case stBody:
      result = FeedBody(data, len, &pos, stDone);
      break;
    case stChunkSize:
      result = FeedChunkSize(data, len, &pos);
      break;
    case stChunkData:
      result = FeedBody(data, len, &pos, stChunkDataEnd);
      break;
    case stChunkDataEnd:
      result = FeedChunkEnd(data, len, &pos);
      break;
    case stTrailers:
      result = FeedTrailers(data, len, &pos);
      break;
    case stDone:
    case stFailed:
      break;
    }
  }
  *used = pos;
  return result;
}

// The head is collected line by line up to its blank line; empty lines (CRLF or LF) before a request
// are skipped, a bare CR there is a malformed request line.
THTTPRequestParser::TStatus THTTPRequestParser::FeedHead(const char* data, size_t len, size_t* pos) {
  if (Head.empty() && data[*pos] == '\n') {
    ++*pos;
    return psNeedMore;
  }
  const char* start = data + *pos;
  const void* nl = memchr(start, '\n', len - *pos);
  size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) + 1 : len - *pos;
  bool inRequestLine = Head.find('\n') == std::string::npos;
  if (inRequestLine && Head.size() + take > MaxRequestLine) return Fail(414, "request line too long");
  if (Head.size() + take > MaxHead) return Fail(431, "request head too large");
  Head.append(start, take);
  *pos += take;
  if (!nl) return psNeedMore;
  size_t lineLength = Head.size() - HeadScan;
  HeadScan = Head.size();
  bool blank = lineLength == 1 || (lineLength == 2 && Head[Head.size() - 2] == '\r');
  if (blank && inRequestLine) {
    Head.clear();
    HeadScan = 0;
    return psNeedMore;
  }
  return blank ? ParseHead() : psNeedMore;
}

// Body bytes of a Content-Length body or of one chunk; `next` follows once they are all in.
THTTPRequestParser::TStatus THTTPRequestParser::FeedBody(const char* data, size_t len, size_t* pos,
                                                         TState next) {
  size_t take = static_cast<size_t>(std::min<uint64_t>(Remaining, len - *pos));
  Req.Body.append(data + *pos, take);
  *pos += take;
  Remaining -= take;
  if (Remaining > 0) return psNeedMore;
  State = next;
  return next == stDone ? psComplete : psNeedMore;
}

// A chunk's size line: hex digits, then optional blanks and extensions (ignored), ended by CRLF. The
// framing of a body is read strictly: a bare LF, a sign, a blank before the digits or a control character
// would let another reader of the same bytes see other chunks.
THTTPRequestParser::TStatus THTTPRequestParser::FeedChunkSize(const char* data, size_t len, size_t* pos) {
  bool complete = false;
  if (!TakeLine(data, len, pos, Line, MaxChunkLine, &complete)) return Fail(400, "chunk size line too long");
  if (!complete) return psNeedMore;
  size_t digits = 0;
  uint64_t value = 0;
  for (; digits < Line.size() && HexValue(Line[digits]) >= 0; ++digits)
    value = value * 16 + static_cast<uint64_t>(HexValue(Line[digits]));
  const std::string rest = Line.substr(digits);
  const size_t ext = rest.find_first_not_of(" \t");
  Line.clear();
  if (digits == 0 || digits > 8 || !CRLFEnded || (ext != std::string::npos && rest[ext] != ';') ||
      HasForbiddenControl(rest))
    return Fail(400, "malformed chunk size");
  if (value == 0) {
    State = stTrailers;
  } else if (Req.Body.size() + value > MaxBody) {
    return Fail(413, "request body too large");
  } else {
    Remaining = value;
    State = stChunkData;
  }
  return psNeedMore;
}

THTTPRequestParser::TStatus THTTPRequestParser::FeedChunkEnd(const char* data, size_t len, size_t* pos) {
  bool complete = false;
  if (!TakeLine(data, len, pos, Line, 0, &complete) || (complete && (!Line.empty() || !CRLFEnded)))
    return Fail(400, "chunk data not followed by CRLF");
  if (complete) State = stChunkSize;
  return psNeedMore;
}

// Trailer fields are checked like header fields and dropped; a blank line ends the request.
THTTPRequestParser::TStatus THTTPRequestParser::FeedTrailers(const char* data, size_t len, size_t* pos) {
  bool complete = false;
  if (!TakeLine(data, len, pos, Line, MaxHead, &complete)) return Fail(431, "trailer too large");
  if (!complete) return psNeedMore;
  TrailerBytes += Line.size();
  bool last = Line.empty();
  std::string line;
  line.swap(Line);
  if (!last) {
    if (TrailerBytes > MaxHead) return Fail(431, "trailer too large");
    std::string name, value;
    return SplitField(line, name, value) ? psNeedMore : psError;
  }
  State = stDone;
  return psComplete;
}

THTTPRequestParser::TStatus THTTPRequestParser::ParseHead() {
  size_t start = 0;
  bool first = true;
  while (start < Head.size()) {
    size_t nl = Head.find('\n', start);
    std::string line = Head.substr(start, nl - start);
    start = nl + 1;
    StripCR(line);
    if (line.empty()) break;
    if (first) {
      if (!ParseRequestLine(line)) return psError;
      first = false;
    } else if (!ParseHeader(line)) {
      return psError;
    }
  }
  if (Chunked && HaveLength) return Fail(400, "both Content-Length and Transfer-Encoding");
  // HTTP/1.0 keeps a connection only when asked to.
  if (Req.MinorVersion == 0) Req.KeepAlive = Req.KeepAlive && KeepAliveAsked;
  if (Chunked) {
    State = stChunkSize;
    return psNeedMore;
  }
  if (HaveLength && Remaining > MaxBody) return Fail(413, "request body too large");
  if (HaveLength && Remaining > 0) {
    State = stBody;
    return psNeedMore;
  }
  State = stDone;
  return psComplete;
}

bool THTTPRequestParser::ParseRequestLine(const std::string& line) {
  size_t sp1 = line.find(' ');
  size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos)
    return Fail(400, "malformed request line"), false;
  Req.Method = line.substr(0, sp1);
  std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string version = line.substr(sp2 + 1);
  if (Req.Method.size() > MaxMethod || !IsToken(Req.Method)) return Fail(400, "malformed method"), false;
  if (version.size() != 8 || version.compare(0, 5, "HTTP/") != 0 ||
      !std::isdigit(static_cast<unsigned char>(version[5])) || version[6] != '.' ||
      !std::isdigit(static_cast<unsigned char>(version[7])))
    return Fail(400, "malformed protocol version"), false;
  if (version[5] != '1') return Fail(505, "HTTP version not supported"), false;
  Req.MinorVersion = version[7] - '0';
  if (target.empty()) return Fail(400, "empty request target"), false;
  for (char ch : target)
    if (static_cast<unsigned char>(ch) <= 0x20 || static_cast<unsigned char>(ch) >= 0x7f)
      return Fail(400, "invalid character in request target"), false;
  // Absolute form (as sent to proxies): keep the path.
  std::string lowered = Lower(target.substr(0, 8));
  if (lowered.compare(0, 7, "http://") == 0 || lowered.compare(0, 8, "https://") == 0) {
    size_t slash = target.find('/', target.find("//") + 2);
    target = slash == std::string::npos ? "/" : target.substr(slash);
  }
  if (target != "*" && target[0] != '/') return Fail(400, "malformed request target"), false;
  const size_t pathEnd = target.find_first_of("?#");
  std::string path = target.substr(0, pathEnd);
  if (pathEnd != std::string::npos && target[pathEnd] == '?')
    Req.Query = target.substr(pathEnd + 1, target.find('#', pathEnd) - pathEnd - 1);
  if (!PercentDecode(path, Req.Path)) return Fail(400, "malformed escape in request target"), false;
  return true;
}

// One field line: a token, a colon and a value without control characters (other than HTAB); a line
// that continues the one before (obs-fold) is refused.
bool THTTPRequestParser::SplitField(const std::string& line, std::string& name, std::string& value) {
  if (++Headers > MaxHeaders) return Fail(431, "too many header fields"), false;
  if (line[0] == ' ' || line[0] == '\t') return Fail(400, "folded header field"), false;
  size_t colon = line.find(':');
  if (colon == std::string::npos || !IsToken(line.substr(0, colon)))
    return Fail(400, "malformed header field"), false;
  value = Trim(line.substr(colon + 1));
  if (HasForbiddenControl(value)) return Fail(400, "control character in header field"), false;
  name = Lower(line.substr(0, colon));
  return true;
}

bool THTTPRequestParser::ParseHeader(const std::string& line) {
  std::string name, value;
  if (!SplitField(line, name, value)) return false;
  if (name == "content-length") {
    if (value.empty() || value.size() > 18 ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
      return Fail(400, "malformed Content-Length"), false;
    uint64_t length = std::stoull(value);
    if (HaveLength && length != Remaining) return Fail(400, "conflicting Content-Length"), false;
    HaveLength = true;
    Remaining = length;
  } else if (name == "transfer-encoding") {
    bool ok = true;
    ForEachListItem(value, [&](const std::string& coding) {
      if (coding != "chunked" || Chunked) ok = false;
      Chunked = true;
    });
    if (!ok || !Chunked) return Fail(501, "transfer coding not supported"), false;
  } else if (name == "connection") {
    ForEachListItem(value, [&](const std::string& option) {
      if (option == "close") Req.KeepAlive = false;
      if (option == "keep-alive") KeepAliveAsked = true;
    });
  } else if (name == "authorization") {
    if (Req.HasAuthorization) return Fail(400, "more than one Authorization header"), false;
    Req.HasAuthorization = true;
    Req.Authorization = value;
  } else if (name == "upgrade") {
    Req.Upgrade = !value.empty();
  } else if (name == "expect") {
    if (Lower(value) != "100-continue") return Fail(417, "expectation not supported"), false;
    Req.ExpectContinue = true;
  }
  return true;
}

} // namespace Qel_proto_http
