// The vanishing relay on Windows: it cannot be had (see vanishing_relay.h).
#include "support/vanishing_relay.h"

namespace testsupport {

VanishingRelay::VanishingRelay() = default;
VanishingRelay::~VanishingRelay() = default;

const char* VanishingRelay::Unsupported() {
  return "Windows has no socket filter to make a connection fall silent";
}

bool VanishingRelay::Serve(const std::string&, int) { return false; }
bool VanishingRelay::Vanish(int) { return false; }

}  // namespace testsupport
