#include <algorithm>
#include <utility>
// std::chrono's clocks come from <thread> (<chrono> does not compile under
// -fexec-charset=GBK).
#include <thread>

#include "platform/cancellation.h"
#include "platform/pending_connects.h"
#include "platform/tcp_client.h"

namespace platform {

std::vector<bool> probeTcpAll(const std::vector<ProbeLink>& links, uint16_t port, int timeoutMs,
                              const Cancellation* cancellation, int maxInFlight) {
  using Clock = std::chrono::steady_clock;
  const auto limit = std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0);
  const size_t bound = static_cast<size_t>(std::clamp(maxInFlight, 1, kProbeMaxInFlight));

  std::vector<bool> opened(links.size(), false);
  PendingConnects pending;  // closes whatever is still in flight on return
  // The connects in flight with their deadlines, in the order they started;
  // as every one has the same limit, the first is the next to run out.
  std::vector<std::pair<size_t, Clock::time_point>> inFlight;
  std::vector<PendingConnects::Finished> finished;
  size_t next = 0;
  while (next < links.size() || !inFlight.empty()) {
    // A cancel abandons what is in flight and what is still to come.
    if (cancellation != nullptr && cancellation->isCancelled()) break;
    // Each connect gets the whole time limit from its own start, so one
    // that waits for a free place is judged as fairly as the first.
    while (next < links.size() && inFlight.size() < bound) {
      const size_t key = next++;
      const PendingConnects::Outcome outcome = pending.start(key, links[key], port);
      if (outcome == PendingConnects::Outcome::kPending) {
        inFlight.emplace_back(key, Clock::now() + limit);
      } else {
        opened[key] = outcome == PendingConnects::Outcome::kOpened;
      }
    }
    if (inFlight.empty()) continue;

    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        inFlight.front().second - Clock::now());
    int waitMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    // Nothing wakes the system's wait on a cancel: it waits in short slices.
    if (cancellation != nullptr) waitMs = std::min(waitMs, kCancellationCheckMs);
    finished.clear();
    pending.wait(waitMs, &finished);
    for (const PendingConnects::Finished& done : finished) {
      opened[done.key] = done.opened;
      std::erase_if(inFlight, [&](const auto& entry) { return entry.first == done.key; });
    }
    const Clock::time_point now = Clock::now();
    while (!inFlight.empty() && inFlight.front().second <= now) {
      pending.abandon(inFlight.front().first);
      inFlight.erase(inFlight.begin());
    }
  }
  return opened;
}

bool probeTcp(const std::string& remoteDottedIp, const std::string& localDottedIp, uint16_t port,
              int timeoutMs, const Cancellation* cancellation) {
  return probeTcpAll({{remoteDottedIp, localDottedIp}}, port, timeoutMs, cancellation)[0];
}

}  // namespace platform
