#include "metrics/http.h"

#include <vector>

namespace tavin {
namespace {

constexpr std::string_view kHttpPrefix = "HTTP/1.";

// The characters of a token (a method, a header name).
bool isTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!isTokenChar(c)) return false;
  }
  return true;
}

// Control characters other than a tab never belong in a header or a target.
bool hasControl(std::string_view text, bool allowTab) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u < 0x20 && !(allowTab && c == '\t')) || u == 0x7F) return true;
  }
  return false;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The head's lines without their line ends (CR LF, or a bare LF as many
// clients typed by hand send).
std::vector<std::string_view> splitLines(std::string_view head) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < head.size()) {
    size_t end = head.find('\n', start);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

// Splits a target into path and query; false when it has none of the forms
// a server must take (origin, absolute, asterisk, authority).
bool splitTarget(std::string_view target, const std::string& method, HttpRequest* request) {
  if (target.empty() || hasControl(target, false)) return false;
  if (target == "*") {
    request->path = "*";
    return true;
  }
  if (target.front() != '/') {
    const size_t scheme = target.find("://");
    if (scheme != std::string_view::npos && (equalsIgnoreCase(target.substr(0, scheme), "http") ||
                                             equalsIgnoreCase(target.substr(0, scheme), "https"))) {
      target.remove_prefix(scheme + 3);
      const size_t pathStart = target.find_first_of("/?");
      target = pathStart == std::string_view::npos ? std::string_view("/")
                                                    : target.substr(pathStart);
      if (target.front() == '?') {
        request->path = "/";
        request->query = std::string(target.substr(1));
        return true;
      }
    } else if (method == "CONNECT") {
      request->path = std::string(target);  // host:port; refused by its method
      return true;
    } else {
      return false;
    }
  }
  const size_t question = target.find('?');
  request->path = std::string(target.substr(0, question));
  if (question != std::string_view::npos) request->query = std::string(target.substr(question + 1));
  return true;
}

}  // namespace

HttpRequestReader::State HttpRequestReader::fail(int status) {
  state_ = State::kFailed;
  failureStatus_ = status;
  head_.clear();
  return state_;
}

HttpRequestReader::State HttpRequestReader::feed(std::string_view bytes) {
  if (state_ != State::kReading) return state_;
  // Blank lines before the request line are skipped, as servers should.
  if (head_.empty()) {
    while (!bytes.empty() && (bytes.front() == '\r' || bytes.front() == '\n')) bytes.remove_prefix(1);
  }
  // Never more than the limit (and the few bytes that may end the head) is
  // kept.
  const size_t room = headLimit_ + 4 - head_.size();
  head_.append(bytes.substr(0, room));

  // The head ends at its first empty line: LF (CR) LF.
  size_t end = std::string::npos;
  for (size_t i = scanned_; i < head_.size(); ++i) {
    if (head_[i] != '\n') continue;
    size_t next = i + 1;
    if (next < head_.size() && head_[next] == '\r') ++next;
    if (next < head_.size() && head_[next] == '\n') {
      end = next + 1;
      break;
    }
  }
  if (end == std::string::npos) {
    if (head_.size() > headLimit_) return fail(431);
    // A line end split across reads is looked at again with the next bytes.
    scanned_ = head_.size() >= 2 ? head_.size() - 2 : 0;
    return state_;
  }
  if (end > headLimit_) return fail(431);
  return parseHead(std::string_view(head_).substr(0, end));
}

HttpRequestReader::State HttpRequestReader::parseHead(std::string_view head) {
  const std::vector<std::string_view> lines = splitLines(head);
  if (lines.empty()) return fail(400);

  // request-line = method SP request-target SP HTTP-version
  const std::string_view requestLine = lines[0];
  const size_t firstSpace = requestLine.find(' ');
  const size_t lastSpace = requestLine.rfind(' ');
  if (firstSpace == std::string_view::npos || firstSpace == lastSpace) return fail(400);
  const std::string_view method = requestLine.substr(0, firstSpace);
  const std::string_view target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
  const std::string_view version = requestLine.substr(lastSpace + 1);
  if (!isToken(method)) return fail(400);
  request_.method = std::string(method);
  if (!splitTarget(target, request_.method, &request_)) return fail(400);
  if (version.size() != kHttpPrefix.size() + 1 || version.substr(0, 5) != "HTTP/" ||
      version[5] < '0' || version[5] > '9' || version[6] != '.' || version[7] < '0' ||
      version[7] > '9') {
    return fail(400);
  }
  if (version.substr(0, kHttpPrefix.size()) != kHttpPrefix) return fail(505);

  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = lines[i];
    if (line.empty()) break;  // the blank line that ends the head
    // A continuation line (obsolete folding) is refused, as is a name with
    // blanks before its colon.
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return fail(400);
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimBlanks(line.substr(colon + 1));
    if (hasControl(value, true)) return fail(400);
    if (equalsIgnoreCase(name, "Transfer-Encoding")) request_.announcesBody = true;
    if (equalsIgnoreCase(name, "Content-Length")) {
      if (value.empty() || value.find_first_not_of("0123456789") != std::string_view::npos) {
        return fail(400);
      }
      if (value.find_first_not_of('0') != std::string_view::npos) request_.announcesBody = true;
    }
  }
  head_.clear();
  state_ = State::kComplete;
  return state_;
}

int checkRequest(const HttpRequest& request, std::string_view resource) {
  if (request.announcesBody) return 400;
  if (request.path != resource) return 404;
  if (request.method != "GET" && request.method != "HEAD") return 405;
  return 0;
}

std::string_view reasonPhrase(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

std::string httpResponse(int status, std::string_view contentType, std::string_view body,
                         bool withBody, std::string_view extraHeaders) {
  std::string response = "HTTP/1.1 " + std::to_string(status) + " ";
  response += reasonPhrase(status);
  response += "\r\nContent-Type: ";
  response += contentType;
  response += "\r\nContent-Length: " + std::to_string(body.size());
  response += "\r\nConnection: close\r\n";
  response += extraHeaders;
  response += "\r\n";
  if (withBody) response += body;
  return response;
}

std::string httpErrorResponse(int status, bool withBody) {
  const std::string body = std::to_string(status) + " " + std::string(reasonPhrase(status)) + "\n";
  return httpResponse(status, "text/plain; charset=utf-8", body, withBody,
                      status == 405 ? "Allow: GET, HEAD\r\n" : "");
}

}  // namespace tavin
