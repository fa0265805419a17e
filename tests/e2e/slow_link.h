// A slow link for end-to-end tests: a network namespace of the test's own
// whose loopback (MTU 1500) passes through a token bucket of a given rate.
// While a SlowLink lives, the thread that made it is inside the namespace:
// the sockets it opens and the processes it starts (the agent) use that
// loopback, so everything between agent and console crosses the slow link.
//
// Needs root and iproute2 (ip, tc). Where the namespace cannot be made,
// create() says why and the test skips. The namespace is deleted, and the
// thread returns to its own, when the SlowLink goes. Test thread only.
#pragma once

#include <memory>
#include <string>

namespace tavin::e2e {

class SlowLink {
 public:
  // rateKbit is the link's rate in kilobits per second. Null, with *whyNot
  // set, when the namespace cannot be made or entered.
  static std::unique_ptr<SlowLink> create(int rateKbit, std::string* whyNot);
  ~SlowLink();
  SlowLink(const SlowLink&) = delete;
  SlowLink& operator=(const SlowLink&) = delete;

  // The link's rate in bytes per second, as the token bucket counts them
  // (IP and TCP headers included).
  double bytesPerSecond() const { return rateKbit_ * 1000.0 / 8; }

 private:
  SlowLink(std::string name, int rateKbit) : name_(std::move(name)), rateKbit_(rateKbit) {}

  std::string name_;
  int rateKbit_;
  int ownNamespace_ = -1;  // the thread's namespace before, to return to
};

}  // namespace tavin::e2e
