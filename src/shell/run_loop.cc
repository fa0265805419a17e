#include "shell/run_loop.h"

#include <exception>
#include <string>

#include "codec/errors.h"

namespace tavin {

void runLoop(platform::EventLoop& loop, History& history) {
  for (;;) {
    try {
      loop.run();
      return;
    } catch (const AppError& e) {
      history.LogEvent("Exception: " + e.message());
    } catch (const std::exception& e) {
      history.LogEvent(std::string("Exception: ") + e.what());
    } catch (...) {
      history.LogEvent("Exception: unknown");
    }
  }
}

}  // namespace tavin
