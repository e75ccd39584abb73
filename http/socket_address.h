#pragma once

// A socket handle and the address record of either IP family, as the socket
// classes hold them. The record is plain storage here, so that including
// the client's headers does not bring in the system's socket headers;
// detail/socket_layer.h reads and fills it.

#include <cstdint>
#include <string>

struct sockaddr;

namespace corvandel::http {

using TSocket = int;
inline constexpr TSocket INVALID_SOCKET = -1;

// Holds either form of socket address. A cleared record has family 0.
class TSocketAddress {
public:
  TSocketAddress() { Clear(); }

  void Clear();
  // AF_INET, AF_INET6 or 0.
  int Family() const;
  // The length to pass to the system: that of the family's record, 0 when
  // the record is empty.
  uint32_t Length() const;
  sockaddr* Data();
  const sockaddr* Data() const;

private:
  // As large and as aligned as the system's IPv6 record, which the
  // implementation checks.
  alignas(8) unsigned char storage_[28];
};

// The numeric host text of the address ("" for an empty record).
std::string AddressToText(const TSocketAddress& address);
// The port in host order.
uint16_t AddressPort(const TSocketAddress& address);

}  // namespace corvandel::http
