// The request parser of the node's HTTP server: requests split anywhere arrive the same, pipelined
// requests stay apart, and every limit and malformation ends in the right status.
#include "HTTPRequestParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using Qel_proto_http::THTTPRequest;
using Qel_proto_http::THTTPRequestParser;

namespace {

struct TParsed {
  std::vector<THTTPRequest> Requests;
  int ErrorStatus = 0;
};

// Feeds the input in pieces of `step` bytes, as reads of a socket would bring it.
TParsed Parse(const std::string& input, size_t step, size_t maxBody = THTTPRequestParser::DefaultMaxBody) {
  THTTPRequestParser parser(THTTPRequestParser::DefaultMaxHead, maxBody);
  TParsed parsed;
  std::string pending;
  for (size_t pos = 0; pos < input.size() && !parsed.ErrorStatus; pos += step) {
    pending += input.substr(pos, step);
    size_t offset = 0;
    while (offset < pending.size()) {
      size_t used = 0;
      auto status = parser.Feed(pending.data() + offset, pending.size() - offset, &used);
      offset += used;
      if (status == THTTPRequestParser::psError) {
        parsed.ErrorStatus = parser.ErrorStatus();
        break;
      }
      if (status == THTTPRequestParser::psNeedMore) break;
      parsed.Requests.push_back(parser.Request());
      parser.Reset();
    }
    pending.erase(0, offset);
  }
  return parsed;
}

const std::string Pipelined = "\r\nGET /x-nmos/node/v1.2/self/?x=%2F#f HTTP/1.1\r\nHost: a\r\n\r\n"
                              "PUT /a%20b HTTP/1.1\r\nContent-Length: 2\r\nExpect: 100-continue\r\n\r\n{}"
                              "PATCH /c HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                              "3;name=v\r\n{\"a\r\nA\r\n\": 123456}\r\n0\r\nTrailer: x\r\n\r\n"
                              "GET http://host:80/d HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"
                              "GET /e HTTP/1.0\r\n\r\n"
                              "GET /f HTTP/1.1\nConnection: close\nUpgrade: websocket\n\n";

} // namespace

TEST(HTTPRequestParser, RequestsSplitAnywhereArriveWholeAndApart) {
  for (size_t step : {size_t(1), size_t(2), size_t(7), Pipelined.size()}) {
    TParsed parsed = Parse(Pipelined, step);
    ASSERT_EQ(parsed.ErrorStatus, 0) << step;
    ASSERT_EQ(parsed.Requests.size(), 6u) << step;
    const auto& r = parsed.Requests;
    EXPECT_EQ(r[0].Method, "GET");
    EXPECT_EQ(r[0].Path, "/x-nmos/node/v1.2/self/");
    EXPECT_TRUE(r[0].KeepAlive);
    EXPECT_EQ(r[1].Path, "/a b");
    EXPECT_EQ(r[1].Body, "{}");
    EXPECT_TRUE(r[1].ExpectContinue);
    EXPECT_EQ(r[2].Method, "PATCH");
    EXPECT_EQ(r[2].Body, "{\"a\": 123456}");
    EXPECT_EQ(r[3].Path, "/d");
    EXPECT_TRUE(r[3].KeepAlive);
    EXPECT_FALSE(r[4].KeepAlive) << "HTTP/1.0 closes unless asked to keep the connection";
    EXPECT_FALSE(r[5].KeepAlive);
    EXPECT_TRUE(r[5].Upgrade);
  }
}

TEST(HTTPRequestParser, MalformedRequestsEndInTheirStatus) {
  const std::vector<std::pair<std::string, int>> cases = {
      {"GET\r\n\r\n", 400},
      {"GET  / HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1 x\r\n\r\n", 400},
      {"G@T / HTTP/1.1\r\n\r\n", 400},
      {"GET x HTTP/1.1\r\n\r\n", 400},
      {"GET /\x01 HTTP/1.1\r\n\r\n", 400},
      {"GET /%zz HTTP/1.1\r\n\r\n", 400},
      {"GET /%00 HTTP/1.1\r\n\r\n", 400},
      {"GET / HTTP/2.0\r\n\r\n", 505},
      {"GET / HTTX/1.1\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n folded\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nNo colon\r\n\r\n", 400},
      {"PUT / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
      {"PUT / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
      {"PUT / HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
      {"PUT / HTTP/1.1\r\nTransfer-Encoding: gzip, chunked\r\n\r\n", 501},
      {"PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400},
      {"PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n", 400},
      {"PUT / HTTP/1.1\r\nExpect: magic\r\n\r\n", 417},
      {"PUT / HTTP/1.1\r\nContent-Length: 11\r\n\r\n", 413},
      {"PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n6\r\n123456\r\n5\r\n", 413},
      {"GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"GET / HTTP/1.1\r\nX: " + std::string(17000, 'a') + "\r\n\r\n", 431},
  };
  for (const auto& [input, status] : cases)
    for (size_t step : {size_t(1), input.size()})
      EXPECT_EQ(Parse(input, step, 10).ErrorStatus, status) << input.substr(0, 60) << " step " << step;
  std::string many = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 101; ++i)
    many += "X: y\r\n";
  EXPECT_EQ(Parse(many + "\r\n", many.size() + 2).ErrorStatus, 431);
}

// Every byte value in a method, a header field name, a field value and the request target: only what
// the grammar allows there is taken, anything else ends in 400 with nothing behind it served.
TEST(HTTPRequestParser, EveryByteValueIsJudgedByTheGrammar) {
  const std::string tchar = "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int b = 0; b < 256; ++b) {
    const unsigned char u = static_cast<unsigned char>(b);
    const char c = static_cast<char>(b);
    const bool token = tchar.find(c) != std::string::npos;
    EXPECT_EQ(Qel_proto_http::IsTokenChar(u), token) << b;

    const std::string ahead = "GET /next HTTP/1.1\r\n\r\n";
    struct {
      std::string request;
      bool taken;
    } cases[] = {
        {std::string("G") + c + "T / HTTP/1.1\r\n\r\n", token},
        // ':' ends the name early, which leaves a valid field ("Content" with the value "-Length: 5").
        {"PUT /s HTTP/1.1\r\nHost: x\r\nContent" + std::string(1, c) + "-Length: 5\r\n\r\n",
         token || c == ':'},
        {"GET / HTTP/1.1\r\nX-A: a" + std::string(1, c) + "b\r\n\r\n", (u >= 0x20 && u != 0x7f) || c == '\t'},
        {"GET /a" + std::string(1, c) + "b HTTP/1.1\r\n\r\n", u > 0x20 && u < 0x7f && c != '%'},
    };
    for (const auto& [request, taken] : cases) {
      for (size_t step : {size_t(1), request.size() + ahead.size()}) {
        TParsed parsed = Parse(request + ahead, step);
        if (taken) {
          EXPECT_EQ(parsed.ErrorStatus, 0) << "byte " << b << ": " << request;
          EXPECT_EQ(parsed.Requests.size(), 2u) << "byte " << b << ": " << request;
        } else {
          EXPECT_EQ(parsed.ErrorStatus, 400) << "byte " << b << ": " << request;
          EXPECT_EQ(parsed.Requests.size(), 0u) << "byte " << b << ": " << request;
        }
      }
    }
  }
  // The request that slipped through before: a NUL inside the name hid the Content-Length, and the body
  // was read as the next request.
  TParsed smuggled = Parse(std::string("PUT /s HTTP/1.1\r\nHost: x\r\nContent") + '\0' +
                               "-Length: 5\r\n\r\n" + "GET /hidden HTTP/1.1\r\n\r\n",
                           1);
  EXPECT_EQ(smuggled.ErrorStatus, 400);
  EXPECT_TRUE(smuggled.Requests.empty());
}

// Line ends, chunk sizes and trailers: lenient only where the framing cannot be read two ways.
TEST(HTTPRequestParser, FramingIsReadOneWayOnly) {
  const std::string chunked = "PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  const std::vector<std::pair<std::string, int>> cases = {
      {"\r\n\n\r\nGET / HTTP/1.1\r\n\r\n", 0}, // empty lines before a request
      {"\rGET / HTTP/1.1\r\n\r\n", 400},       // a bare CR is no empty line
      {"GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: a\r\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\n: a\r\n\r\n", 400},
      {"GET / HTTP/1.1\r\nHost: a\r\n\tb\r\n\r\n", 400}, // obs-fold
      {chunked + "5\r\nhello\r\n0\r\n\r\n", 0},
      {chunked + "5 ;a=b\t\r\nhello\r\n0;x\r\nX-T: t\r\n\r\n", 0},
      {chunked + "005\r\nhello\r\n0\r\n\r\n", 0},
      {chunked + " 5\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "+5\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "0x5\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5x\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5\r\nhello\n0\r\n\r\n", 400},
      {chunked + "5\rx\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5" + '\0' + "\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5;a=\x01\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "000000005\r\nhello\r\n0\r\n\r\n", 400},
      {chunked + "5\r\nhello\r\n0\r\nno colon\r\n\r\n", 400},
      {chunked + "5\r\nhello\r\n0\r\nX: " + '\0' + "\r\n\r\n", 400},
      {chunked + "5\r\nhello\r\n0\r\n folded\r\n\r\n", 400},
  };
  for (const auto& [input, status] : cases)
    for (size_t step : {size_t(1), input.size()}) {
      TParsed parsed = Parse(input, step);
      EXPECT_EQ(parsed.ErrorStatus, status) << input << " step " << step;
      if (status == 0) {
        ASSERT_EQ(parsed.Requests.size(), 1u) << input;
        if (parsed.Requests[0].Method == "PUT") {
          EXPECT_EQ(parsed.Requests[0].Body, "hello") << input;
        }
      }
    }
}

TEST(HTTPRequestParser, BodiesUpToTheLimitAreTakenWhole) {
  std::string body(10, 'x');
  TParsed plain = Parse("PUT / HTTP/1.1\r\nContent-Length: 10\r\n\r\n" + body, 3, 10);
  ASSERT_EQ(plain.Requests.size(), 1u);
  EXPECT_EQ(plain.Requests[0].Body, body);
  TParsed chunked = Parse(
      "PUT / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nxxxxx\r\n5\r\nxxxxx\r\n0\r\n\r\n", 4, 10);
  ASSERT_EQ(chunked.Requests.size(), 1u);
  EXPECT_EQ(chunked.Requests[0].Body, body);
}
