// Endpoint kinds of the route tables: a fixed text answers every method, handlers get the request and,
// for list endpoints, the path the route was built with.
#include "RestEndPoints.h"

#include <gtest/gtest.h>

using namespace Qel_rest_srv;

namespace {

std::string SeenPath;

bool AnswerTeapot(const Qel_nmos_bridge::TNMOSResourceInfo*, TRESTRequestData& request) {
  request.Result.HTTPResult = 418;
  return request.Method == HTTP_GET_URI;
}

bool RememberPath(const Qel_nmos_bridge::TNMOSResourceInfo*, TRESTRequestData& request,
                  const std::string& path) {
  SeenPath = path;
  request.Result.HTTPResult = 200;
  return true;
}

} // namespace

TEST(RestEndPoints, StaticTextAnswersGetWith200AndJSONAndNoOtherMethod) {
  auto endpoint = MakeEndPointHandler("[\"x-nmos\", \"stats\"]");
  TRESTRequestData get;
  EXPECT_TRUE(endpoint->Handle(nullptr, get));
  EXPECT_EQ(get.Result.HTTPResult, 200);
  EXPECT_EQ(get.Result.MimeType, "application/json");
  EXPECT_EQ(get.Result.Body, "[\"x-nmos\", \"stats\"]");
  EXPECT_TRUE(get.Result.Headers.empty());
  for (THTTPMethod method : {HTTP_POST_URI, HTTP_PUT_URI, HTTP_DELETE_URI, HTTP_PATCH_URI}) {
    TRESTRequestData request;
    request.Method = method;
    EXPECT_FALSE(endpoint->Handle(nullptr, request));
  }
}

TEST(RestEndPoints, FunctionEndpointReturnsWhatTheHandlerReturns) {
  auto endpoint = MakeEndPointHandler(AnswerTeapot);
  TRESTRequestData get, put;
  put.Method = HTTP_PUT_URI;
  EXPECT_TRUE(endpoint->Handle(nullptr, get));
  EXPECT_FALSE(endpoint->Handle(nullptr, put));
  EXPECT_EQ(get.Result.HTTPResult, 418);
}

TEST(RestEndPoints, ListEndpointPassesItsPathUnresolved) {
  auto endpoint = MakeEndPointHandler(RememberPath, "${ID}");
  TRESTRequestData request;
  EXPECT_TRUE(endpoint->Handle(nullptr, request));
  EXPECT_EQ(SeenPath, "${ID}");
}
