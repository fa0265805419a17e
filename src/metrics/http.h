// The little HTTP/1.x the metrics endpoint speaks: a reader that takes one
// request's head from a connection's bytes as they arrive, and the writing of
// a response. One request per connection: every response says
// "Connection: close", and the endpoint closes the connection once it is
// written.
//
// The reader keeps at most its limit of bytes (the request line and the
// headers; 8 KiB by default): a head that does not end within it fails with
// 431, so a peer cannot grow the buffer. The request is complete at its blank
// line; a body is never read. A request that announces one (Content-Length
// other than 0, or Transfer-Encoding) is answered 400: neither GET nor HEAD
// has any use for a body, and reading one would only hold the connection.
//
// A reader belongs to one connection and is used on the loop thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tavin {

struct HttpRequest {
  std::string method;
  // The path of the target: as sent for the origin form ("/metrics"), the
  // part after the authority for the absolute form ("http://host:1/metrics"
  // gives "/metrics"), "*" for the asterisk form; never decoded.
  std::string path;
  std::string query;  // what followed "?", without it
  bool announcesBody = false;
};

class HttpRequestReader {
 public:
  static constexpr size_t kDefaultHeadLimit = 8 * 1024;

  enum class State { kReading, kComplete, kFailed };

  explicit HttpRequestReader(size_t headLimit = kDefaultHeadLimit) : headLimit_(headLimit) {}

  // Takes the next bytes of the connection. Once complete or failed, the
  // state stays and later bytes are ignored.
  State feed(std::string_view bytes);

  State state() const { return state_; }
  // When complete.
  const HttpRequest& request() const { return request_; }
  // When failed: 400 (malformed), 431 (head over the limit) or 505 (an HTTP
  // version other than 1.x).
  int failureStatus() const { return failureStatus_; }

 private:
  State fail(int status);
  State parseHead(std::string_view head);

  const size_t headLimit_;
  std::string head_;
  size_t scanned_ = 0;  // head_ holds no blank line before this offset
  State state_ = State::kReading;
  HttpRequest request_;
  int failureStatus_ = 0;
};

// What a complete request for the one resource at `resource` deserves: 0 when
// it is to be served (GET or HEAD of that path, without a body), otherwise the
// status of the error response: 400 for a body, 404 for another path, 405 for
// another method.
int checkRequest(const HttpRequest& request, std::string_view resource);

// The reason phrase of the statuses used here ("OK", "Not Found", ...).
std::string_view reasonPhrase(int status);

// A whole HTTP/1.1 response with Content-Type, Content-Length and
// "Connection: close"; extraHeaders (each line ending in CR LF) follow them.
// Without withBody (HEAD) the body is left out and Content-Length still gives
// its size.
std::string httpResponse(int status, std::string_view contentType, std::string_view body,
                         bool withBody, std::string_view extraHeaders = {});

// A short plain-text error response for status ("404 Not Found" and a line
// feed as its body); 405 also names the allowed methods.
std::string httpErrorResponse(int status, bool withBody);

}  // namespace tavin
