// errorText<E>(fn): the text of the exception of type E that fn raises, or a
// text that says what happened instead, so a test compares one string.
#pragma once

#include <exception>
#include <string>

namespace tavin::test {

template <typename E, typename Fn>
std::string errorText(Fn&& fn) {
  try {
    fn();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("wrong exception type: ") + e.what();
  }
  return "no exception";
}

}  // namespace tavin::test
