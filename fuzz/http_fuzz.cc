// The metrics endpoint's HTTP request reader on the bytes of a connection,
// whatever they are and however they are cut into reads: the reader must end
// in the same state, with the same request or the same failure status, as
// when it gets them in one read; later bytes change nothing; a complete
// request has a method that is a token and a path; and the answer the
// endpoint would write is a whole response whose Content-Length is its
// body's size.
//
// An input is the connection's bytes followed by the choices, which
// FuzzedDataProvider takes from the end: a byte for the head limit and four
// for the cuts.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "metrics/http.h"

namespace {

void check(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "fuzz_http: %s\n", what);
  std::abort();
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum && std::string_view("!#$%&'*+-.^_`|~").find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// The response the endpoint writes for what the reader ended with.
std::string answerOf(const tavin::HttpRequestReader& reader) {
  if (reader.state() == tavin::HttpRequestReader::State::kFailed) {
    return tavin::httpErrorResponse(reader.failureStatus(), true);
  }
  const tavin::HttpRequest& request = reader.request();
  const int status = tavin::checkRequest(request, "/metrics");
  check(status == 0 || status == 400 || status == 404 || status == 405, "unexpected status");
  if (status != 0) return tavin::httpErrorResponse(status, request.method != "HEAD");
  return tavin::httpResponse(200, "text/plain", "tavin_up 1\n", request.method != "HEAD");
}

void checkResponse(const std::string& response) {
  check(response.rfind("HTTP/1.1 ", 0) == 0, "a response without its status line");
  const size_t headEnd = response.find("\r\n\r\n");
  check(headEnd != std::string::npos, "a response without the end of its head");
  const std::string lengthName = "\r\nContent-Length: ";
  const size_t at = response.find(lengthName);
  check(at != std::string::npos && at < headEnd, "a response without Content-Length");
  const size_t length = std::strtoul(response.c_str() + at + lengthName.size(), nullptr, 10);
  const size_t body = response.size() - headEnd - 4;
  check(body == length || body == 0, "Content-Length is not the body's size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const size_t limit = 16 + 32 * static_cast<size_t>(in.ConsumeIntegral<uint8_t>());
  uint32_t cuts = in.ConsumeIntegral<uint32_t>() | 1;
  const std::string bytes = in.ConsumeRemainingBytesAsString();

  tavin::HttpRequestReader whole(limit);
  whole.feed(bytes);

  tavin::HttpRequestReader pieces(limit);
  size_t pos = 0;
  while (pos < bytes.size()) {
    // xorshift32: reads of 1 to 64 bytes.
    cuts ^= cuts << 13;
    cuts ^= cuts >> 17;
    cuts ^= cuts << 5;
    const size_t n = 1 + cuts % 64;
    pieces.feed(std::string_view(bytes).substr(pos, n));
    pos += n;
  }

  check(whole.state() == pieces.state(), "the cuts changed the outcome");
  if (whole.state() == tavin::HttpRequestReader::State::kReading) return 0;
  if (whole.state() == tavin::HttpRequestReader::State::kFailed) {
    check(whole.failureStatus() == pieces.failureStatus(), "the cuts changed the failure");
    const int status = whole.failureStatus();
    check(status == 400 || status == 431 || status == 505, "unexpected failure status");
  } else {
    const tavin::HttpRequest& a = whole.request();
    const tavin::HttpRequest& b = pieces.request();
    check(a.method == b.method && a.path == b.path && a.query == b.query &&
              a.announcesBody == b.announcesBody,
          "the cuts changed the request");
    check(isToken(a.method), "a method that is not a token");
    check(!a.path.empty(), "a request without a path");
  }
  // Whatever follows changes nothing.
  const auto state = whole.state();
  const int failure = whole.failureStatus();
  whole.feed("\r\n\r\nGET / HTTP/1.1\r\n\r\n");
  check(whole.state() == state && whole.failureStatus() == failure, "later bytes changed it");
  checkResponse(answerOf(whole));
  return 0;
}
