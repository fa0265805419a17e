#include "tests/e2e/slow_link.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace tavin::e2e {
namespace {

// Runs a command of iproute2, its output discarded; true on success.
bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

}  // namespace

std::unique_ptr<SlowLink> SlowLink::create(int rateKbit, std::string* whyNot) {
  if (::geteuid() != 0) {
    *whyNot = "a slow link needs a network namespace, which needs root";
    return nullptr;
  }
  if (!run("command -v ip") || !run("command -v tc")) {
    *whyNot = "a slow link needs iproute2 (ip, tc)";
    return nullptr;
  }
  static int serial = 0;
  const std::string name =
      "tavin-slow-" + std::to_string(::getpid()) + "-" + std::to_string(++serial);
  std::unique_ptr<SlowLink> link(new SlowLink(name, rateKbit));
  if (!run("ip netns add " + name)) {
    *whyNot = "this machine cannot make a network namespace (ip netns add failed)";
    link->name_.clear();
    return nullptr;
  }
  // A burst of a few packets: the bucket then paces the link from the start.
  if (!run("ip -n " + name + " link set lo mtu 1500 up") ||
      !run("tc -n " + name + " qdisc add dev lo root tbf rate " + std::to_string(rateKbit) +
           "kbit burst 32kbit latency 400ms")) {
    *whyNot = "the namespace's loopback cannot be limited (ip link or tc qdisc failed)";
    return nullptr;
  }
  link->ownNamespace_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  const int target = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  const bool entered = link->ownNamespace_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
  if (target >= 0) ::close(target);
  if (!entered) {
    *whyNot = "the test cannot enter the namespace (setns failed)";
    return nullptr;
  }
  return link;
}

SlowLink::~SlowLink() {
  if (ownNamespace_ >= 0) {
    if (::setns(ownNamespace_, CLONE_NEWNET) != 0) std::abort();  // nothing else is safe
    ::close(ownNamespace_);
  }
  if (!name_.empty()) run("ip netns del " + name_);
}

}  // namespace tavin::e2e
