// The agent's event loop as the program's entry runs it: until the loop
// quits, with a failure that escapes one of its events turned into one
// history line, after which the loop runs on. One fault never ends the agent.
// Loop thread.
#pragma once

#include "config/history.h"
#include "platform/event_loop.h"

namespace tavin {

void runLoop(platform::EventLoop& loop, History& history);

}  // namespace tavin
