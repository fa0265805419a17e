#include "metrics/http.h"

#include <gtest/gtest.h>

namespace tavin {
namespace {

using State = HttpRequestReader::State;

struct Outcome {
  State state;
  int status;        // failure status, or checkRequest's verdict when complete
  std::string path;  // when complete
  std::string query;
};

Outcome read(const std::string& bytes, size_t limit = HttpRequestReader::kDefaultHeadLimit) {
  HttpRequestReader reader(limit);
  const State state = reader.feed(bytes);
  if (state == State::kComplete) {
    return {state, checkRequest(reader.request(), "/metrics"), reader.request().path,
            reader.request().query};
  }
  return {state, reader.failureStatus(), "", ""};
}

TEST(HttpRequestReader, RequestsAndTheirVerdicts) {
  struct Case {
    const char* name;
    std::string bytes;
    State state;
    int status;
    const char* path;
    const char* query;
  };
  const Case cases[] = {
      {"scrape", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\n\r\n",
       State::kComplete, 0, "/metrics", ""},
      {"HEAD, HTTP/1.0", "HEAD /metrics HTTP/1.0\r\n\r\n", State::kComplete, 0, "/metrics", ""},
      {"bare line feeds", "GET /metrics HTTP/1.1\nHost: x\n\n", State::kComplete, 0, "/metrics",
       ""},
      {"blank lines first", "\r\n\r\nGET /metrics HTTP/1.1\r\n\r\n", State::kComplete, 0,
       "/metrics", ""},
      {"query string", "GET /metrics?x=1&y HTTP/1.1\r\n\r\n", State::kComplete, 0, "/metrics",
       "x=1&y"},
      {"absolute form", "GET http://127.0.0.1:10013/metrics?x=1 HTTP/1.1\r\n\r\n",
       State::kComplete, 0, "/metrics", "x=1"},
      {"absolute form without a path", "GET HTTP://127.0.0.1:10013 HTTP/1.1\r\n\r\n",
       State::kComplete, 404, "/", ""},
      {"Content-Length 0", "GET /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
       State::kComplete, 0, "/metrics", ""},
      {"other path", "GET /metrics/ HTTP/1.1\r\n\r\n", State::kComplete, 404, "/metrics/", ""},
      {"other path, other method", "DELETE / HTTP/1.1\r\n\r\n", State::kComplete, 404, "/", ""},
      {"other method", "POST /metrics HTTP/1.1\r\n\r\n", State::kComplete, 405, "/metrics", ""},
      {"methods are case-sensitive", "get /metrics HTTP/1.1\r\n\r\n", State::kComplete, 405,
       "/metrics", ""},
      {"asterisk form", "OPTIONS * HTTP/1.1\r\n\r\n", State::kComplete, 404, "*", ""},
      {"announced body", "GET /metrics HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
       State::kComplete, 400, "/metrics", ""},
      {"chunked body", "GET /metrics HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
       State::kComplete, 400, "/metrics", ""},
      {"method not a token", "GE(T /metrics HTTP/1.1\r\n\r\n", State::kFailed, 400, "", ""},
      {"two blanks", "GET  /metrics HTTP/1.1\r\n\r\n", State::kFailed, 400, "", ""},
      {"no version", "GET /metrics\r\n\r\n", State::kFailed, 400, "", ""},
      {"not HTTP", "GET /metrics SPDY/3.1\r\n\r\n", State::kFailed, 400, "", ""},
      {"HTTP/2.0", "GET /metrics HTTP/2.0\r\n\r\n", State::kFailed, 505, "", ""},
      {"relative target", "GET metrics HTTP/1.1\r\n\r\n", State::kFailed, 400, "", ""},
      {"header without colon", "GET /metrics HTTP/1.1\r\nHost\r\n\r\n", State::kFailed, 400, "",
       ""},
      {"blank before colon", "GET /metrics HTTP/1.1\r\nHost : x\r\n\r\n", State::kFailed, 400, "",
       ""},
      {"folded header", "GET /metrics HTTP/1.1\r\nA: b\r\n c\r\n\r\n", State::kFailed, 400, "", ""},
      {"control byte in a value", std::string("GET /metrics HTTP/1.1\r\nA: b\0c\r\n\r\n", 33),
       State::kFailed, 400, "", ""},
      {"bad Content-Length", "GET /metrics HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
       State::kFailed, 400, "", ""},
      {"not finished", "GET /metrics HTTP/1.1\r\nHost: x\r\n", State::kReading, 0, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome outcome = read(c.bytes);
    EXPECT_EQ(outcome.state, c.state);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_EQ(outcome.path, c.path);
    EXPECT_EQ(outcome.query, c.query);
  }
}

// Every split of a request into two reads, and one byte per read, give the
// same request, complete only with its last byte.
TEST(HttpRequestReader, SplitRequestsCompleteWithTheirLastByte) {
  const std::string request = "GET /metrics?a=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (size_t cut = 1; cut < request.size(); ++cut) {
    SCOPED_TRACE(cut);
    HttpRequestReader reader;
    EXPECT_EQ(reader.feed(request.substr(0, cut)), State::kReading);
    ASSERT_EQ(reader.feed(request.substr(cut)), State::kComplete);
    EXPECT_EQ(reader.request().path, "/metrics");
    EXPECT_EQ(reader.request().query, "a=1");
  }
  HttpRequestReader reader;
  for (size_t i = 0; i + 1 < request.size(); ++i) {
    ASSERT_EQ(reader.feed(request.substr(i, 1)), State::kReading) << i;
  }
  EXPECT_EQ(reader.feed(request.substr(request.size() - 1)), State::kComplete);
  // Later bytes (a pipelined request) change nothing.
  EXPECT_EQ(reader.feed("POST / HTTP/1.1\r\n\r\n"), State::kComplete);
  EXPECT_EQ(reader.request().method, "GET");
}

TEST(HttpRequestReader, HeadsOverTheLimitFailWith431AtOnce) {
  const std::string line = "GET /metrics HTTP/1.1\r\n";
  const std::string header = "X-Filler: " + std::string(100, 'a') + "\r\n";
  std::string fits = line;
  while (fits.size() + header.size() + 2 <= 1024) fits += header;
  fits += "\r\n";
  EXPECT_EQ(read(fits, 1024).state, State::kComplete);

  // One more header passes the limit: refused before any blank line.
  HttpRequestReader reader(1024);
  const std::string over = fits.substr(0, fits.size() - 2) + header;
  EXPECT_EQ(reader.feed(over), State::kFailed);
  EXPECT_EQ(reader.failureStatus(), 431);
  // A peer that never ends its head is refused once it passes the limit,
  // however it sends.
  HttpRequestReader endless(1024);
  State state = State::kReading;
  for (int i = 0; i < 2000 && state == State::kReading; ++i) state = endless.feed("a");
  EXPECT_EQ(state, State::kFailed);
  EXPECT_EQ(endless.failureStatus(), 431);
}

TEST(HttpResponse, StatusLineHeadersAndBody) {
  EXPECT_EQ(httpResponse(200, "text/plain", "abc\n", true),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
            "Connection: close\r\n\r\nabc\n");
  // HEAD: the same head, no body.
  EXPECT_EQ(httpResponse(200, "text/plain", "abc\n", false),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 4\r\n"
            "Connection: close\r\n\r\n");
  EXPECT_EQ(httpErrorResponse(405, true),
            "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
            "Content-Length: 23\r\nConnection: close\r\nAllow: GET, HEAD\r\n\r\n"
            "405 Method Not Allowed\n");
}

}  // namespace
}  // namespace tavin
