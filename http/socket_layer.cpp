#include "http/detail/socket_layer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kIPv4Any = "0.0.0.0";
constexpr std::string_view kIPv6Any = "::0";
constexpr std::string_view kIPv4Loopback = "127.0.0.1";
constexpr std::string_view kIPv6Loopback = "::1";
constexpr std::string_view kReservedInvalidDomain = "invalid";
constexpr std::size_t kHostTextSize = 1025;
constexpr std::size_t kServiceTextSize = 32;
constexpr std::size_t kHostNameSize = 255;

int loadCount = 0;  // guarded by SocketLibraryLock()

struct TAddrInfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using TAddrInfoList = std::unique_ptr<addrinfo, TAddrInfoDeleter>;

// Names under the reserved "invalid" domain never exist. Answering them here
// keeps a failing lookup instant on a machine whose name server is out of
// reach, instead of waiting for the resolver's retries.
bool IsReservedInvalidName(std::string_view name) {
  std::string lower = runtime::LowerCase(name);
  if (!lower.empty() && lower.back() == '.') lower.pop_back();
  if (lower == kReservedInvalidDomain) return true;
  const std::string suffix = std::string(".").append(kReservedInvalidDomain);
  return lower.size() > suffix.size() && lower.ends_with(suffix);
}

int32_t Resolve(const char* node, const char* service, const addrinfo& hints, TAddrInfoList& list,
                TErrorCause* cause = nullptr) {
  if (node != nullptr && IsReservedInvalidName(node)) {
    if (cause != nullptr) *cause = {TErrorOrigin::Resolver, EAI_NONAME};
    return WSAHOST_NOT_FOUND;
  }
  addrinfo* raw = nullptr;
  errno = 0;
  const int rc = getaddrinfo(node, service, &hints, &raw);
  const int systemError = errno;
  list.reset(raw);
  if (cause != nullptr) *cause = ResolverErrorCause(rc, systemError);
  return ResolverErrorToSocketError(rc, systemError);
}

// The module's own reference, held from start-up to exit.
struct TSocketModule {
  TSocketModule() { LoadSocketLibrary(); }
  ~TSocketModule() { UnloadSocketLibrary(); }
};
const TSocketModule socketModule;

}  // namespace

static_assert(sizeof(TSocketAddress) >= sizeof(sockaddr_in6) && alignof(TSocketAddress) >= alignof(sockaddr_in6));
static_assert(sizeof(sockaddr_in) <= sizeof(sockaddr_in6));

void TSocketAddress::Clear() { std::memset(storage_, 0, sizeof(storage_)); }

sockaddr* TSocketAddress::Data() { return reinterpret_cast<sockaddr*>(storage_); }
const sockaddr* TSocketAddress::Data() const { return reinterpret_cast<const sockaddr*>(storage_); }

int TSocketAddress::Family() const { return Data()->sa_family; }

uint32_t TSocketAddress::Length() const {
  switch (Family()) {
    case AF_INET: return sizeof(sockaddr_in);
    case AF_INET6: return sizeof(sockaddr_in6);
    default: return 0;
  }
}

std::mutex& SocketLibraryLock() {
  static std::mutex lock;
  return lock;
}

bool LoadSocketLibrary(std::string_view) {
  const std::lock_guard guard(SocketLibraryLock());
  ++loadCount;
  return true;
}

void UnloadSocketLibrary() {
  const std::lock_guard guard(SocketLibraryLock());
  if (loadCount > 0) --loadCount;
}

int SocketLibraryLoadCount() {
  const std::lock_guard guard(SocketLibraryLock());
  return loadCount;
}

int32_t LastSocketError() { return SystemErrorToSocketError(errno); }

int32_t LookupAddress(const std::string& ip, const std::string& port, const addrinfo& hints,
                      TSocketAddress& address, TErrorCause* cause) {
  address.Clear();
  addrinfo query = hints;
  const char* node = ip.c_str();
  // Without a host the service must name something, or there is nothing to ask.
  const char* service = port.empty() ? "0" : port.c_str();
  if (query.ai_socktype == SOCK_RAW) {
    query.ai_socktype = 0;
    query.ai_protocol = 0;
    service = nullptr;
  } else if (ip == kIPv4Any || ip == kIPv6Any) {
    query.ai_flags |= AI_PASSIVE;
    node = nullptr;
  } else if (ip == kIPv4Loopback || ip == kIPv6Loopback) {
    node = nullptr;
  }
  TAddrInfoList list;
  const int32_t result = Resolve(node, service, query, list, cause);
  if (result == 0 && list) {
    const std::size_t length = std::min<std::size_t>(list->ai_addrlen, sizeof(address));
    std::memcpy(static_cast<void*>(&address), list->ai_addr, length);
  }
  return result;
}

int32_t FillAddress(TSocketAddress& address, const std::string& ip, const std::string& port,
                    int family, int socketType, int protocol, bool preferIP4, TErrorCause* cause) {
  address.Clear();
  addrinfo hints{};
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  int first = family;
  int second = AF_UNSPEC;
  if (family == AF_UNSPEC) {
    // A literal is asked in its own family first: the loopback and "any"
    // shortcuts would otherwise turn "::1" into 127.0.0.1 and vice versa.
    bool ip4First = preferIP4;
    if (IsIPv4Literal(ip)) ip4First = true;
    else if (IsIPv6Literal(ip)) ip4First = false;
    first = ip4First ? AF_INET : AF_INET6;
    second = ip4First ? AF_INET6 : AF_INET;
  }
  hints.ai_family = first;
  int32_t result = LookupAddress(ip, port, hints, address, cause);
  if (result != 0 && second != AF_UNSPEC) {
    hints.ai_family = second;
    result = LookupAddress(ip, port, hints, address, cause);
  }
  return result;
}

std::string AddressToText(const TSocketAddress& address) {
  if (address.Length() == 0) return {};
  char host[kHostTextSize] = {};
  char service[kServiceTextSize] = {};
  if (getnameinfo(address.Data(), address.Length(), host, sizeof(host), service, sizeof(service),
                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
    return {};
  return host;
}

uint16_t AddressPort(const TSocketAddress& address) {
  switch (address.Family()) {
    case AF_INET: return ntohs(reinterpret_cast<const sockaddr_in*>(address.Data())->sin_port);
    case AF_INET6: return ntohs(reinterpret_cast<const sockaddr_in6*>(address.Data())->sin6_port);
    default: return 0;
  }
}

std::vector<std::string> ResolveNameList(const std::string& name, int family, int socketType,
                                         int protocol) {
  std::vector<std::string> list;
  addrinfo hints{};
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  TAddrInfoList results;
  if (Resolve(name.c_str(), nullptr, hints, results) == 0) {
    for (const addrinfo* entry = results.get(); entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET && entry->ai_family != AF_INET6) continue;
      if (family == AF_INET6 && entry->ai_family == AF_INET) continue;
      if (family == AF_INET && entry->ai_family == AF_INET6) continue;
      TSocketAddress address;
      std::memcpy(static_cast<void*>(&address), entry->ai_addr,
                  std::min<std::size_t>(entry->ai_addrlen, sizeof(address)));
      std::string text = AddressToText(address);
      // A query without a socket type lists each address once per type.
      if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(std::move(text));
    }
  }
  if (list.empty()) list.emplace_back(kIPv4Any);
  return list;
}

uint16_t ResolvePortNumber(const std::string& port, int family, int socketType, int protocol) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = family;
  hints.ai_socktype = socketType;
  hints.ai_protocol = protocol;
  TAddrInfoList results;
  if (Resolve(nullptr, port.c_str(), hints, results) != 0) return 0;
  for (const addrinfo* entry = results.get(); entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET)
      return ntohs(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_port);
    if (entry->ai_family == AF_INET6)
      return ntohs(reinterpret_cast<const sockaddr_in6*>(entry->ai_addr)->sin6_port);
  }
  return 0;
}

std::string LocalHostName() {
  char name[kHostNameSize + 1] = {};
  if (gethostname(name, kHostNameSize) != 0) return {};
  return name;
}

}  // namespace corvandel::http
