#pragma once

// The listening socket that the tests' and benchmarks' local servers start
// from.

#include <cstdint>

namespace corvandel::testing {

// A listening TCP socket on the family's loopback address (AF_INET or
// AF_INET6) with a free port, which port receives. flags (SOCK_NONBLOCK,
// say) come on top of SOCK_CLOEXEC. -1 when the family is not available.
int OpenLoopbackListener(int family, uint16_t& port, int backlog = 16, int flags = 0);

}  // namespace corvandel::testing
