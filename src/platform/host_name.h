// The host's name, as the operator knows it. Any thread.
#pragma once

#include <string>

namespace platform {

// The host name (GBK); empty when the system cannot tell.
std::string hostName();

}  // namespace platform
