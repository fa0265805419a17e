// The application's own error class.
//
// Errors come in two families: the standard library's exceptions (the codec's
// logic_error, runtime_error and length_error) and AppError, raised for failed
// conversions of input text and for start-up failures. The receive path and
// the processor write different history prefixes for the two, so every catch
// site that tells them apart catches AppError first.
#pragma once

#include <exception>
#include <string>

namespace tavin {

class AppError : public std::exception {
 public:
  explicit AppError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// A text that should hold a number does not.
class ConversionError : public AppError {
 public:
  using AppError::AppError;
};

}  // namespace tavin
