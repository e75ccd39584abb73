#pragma once

// Socket error codes. Every layer of the HTTP client reports errors in the
// Windows Sockets numbering, which is what the ping log shows, so the
// system's errno and resolver codes are translated into it here.

#include <cstdint>
#include <string>
#include <string_view>

namespace corvandel::http {

inline constexpr int32_t WSAEINTR = 10004;
inline constexpr int32_t WSAEBADF = 10009;
inline constexpr int32_t WSAEACCES = 10013;
inline constexpr int32_t WSAEFAULT = 10014;
inline constexpr int32_t WSAEINVAL = 10022;
inline constexpr int32_t WSAEMFILE = 10024;
inline constexpr int32_t WSAEWOULDBLOCK = 10035;
inline constexpr int32_t WSAEINPROGRESS = 10036;
inline constexpr int32_t WSAEALREADY = 10037;
inline constexpr int32_t WSAENOTSOCK = 10038;
inline constexpr int32_t WSAEDESTADDRREQ = 10039;
inline constexpr int32_t WSAEMSGSIZE = 10040;
inline constexpr int32_t WSAEPROTOTYPE = 10041;
inline constexpr int32_t WSAENOPROTOOPT = 10042;
inline constexpr int32_t WSAEPROTONOSUPPORT = 10043;
inline constexpr int32_t WSAESOCKTNOSUPPORT = 10044;
inline constexpr int32_t WSAEOPNOTSUPP = 10045;
inline constexpr int32_t WSAEPFNOSUPPORT = 10046;
inline constexpr int32_t WSAEAFNOSUPPORT = 10047;
inline constexpr int32_t WSAEADDRINUSE = 10048;
inline constexpr int32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr int32_t WSAENETDOWN = 10050;
inline constexpr int32_t WSAENETUNREACH = 10051;
inline constexpr int32_t WSAENETRESET = 10052;
inline constexpr int32_t WSAECONNABORTED = 10053;
inline constexpr int32_t WSAECONNRESET = 10054;
inline constexpr int32_t WSAENOBUFS = 10055;
inline constexpr int32_t WSAEISCONN = 10056;
inline constexpr int32_t WSAENOTCONN = 10057;
inline constexpr int32_t WSAESHUTDOWN = 10058;
inline constexpr int32_t WSAETOOMANYREFS = 10059;
inline constexpr int32_t WSAETIMEDOUT = 10060;
inline constexpr int32_t WSAECONNREFUSED = 10061;
inline constexpr int32_t WSAELOOP = 10062;
inline constexpr int32_t WSAENAMETOOLONG = 10063;
inline constexpr int32_t WSAEHOSTDOWN = 10064;
inline constexpr int32_t WSAEHOSTUNREACH = 10065;
inline constexpr int32_t WSAENOTEMPTY = 10066;
inline constexpr int32_t WSAEPROCLIM = 10067;
inline constexpr int32_t WSAEUSERS = 10068;
inline constexpr int32_t WSAEDQUOT = 10069;
inline constexpr int32_t WSAESTALE = 10070;
inline constexpr int32_t WSAEREMOTE = 10071;
inline constexpr int32_t WSASYSNOTREADY = 10091;
inline constexpr int32_t WSAVERNOTSUPPORTED = 10092;
inline constexpr int32_t WSANOTINITIALISED = 10093;
inline constexpr int32_t WSAEDISCON = 10101;
inline constexpr int32_t WSATYPE_NOT_FOUND = 10109;
inline constexpr int32_t WSAHOST_NOT_FOUND = 11001;
inline constexpr int32_t WSATRY_AGAIN = 11002;
inline constexpr int32_t WSANO_RECOVERY = 11003;
inline constexpr int32_t WSANO_DATA = 11004;

// The text for a code: "" for 0, the table's text for a known code and
// "Other Winsock error (N)" for any other.
std::string GetErrorDesc(int32_t code);

// Translates an errno value; 0 stays 0 and values with no counterpart are
// passed through unchanged.
int32_t SystemErrorToSocketError(int systemError);

// Translates a getaddrinfo/getnameinfo result; systemError is errno as it
// was right after the call, used when the resolver reports a system error.
int32_t ResolverErrorToSocketError(int resolverError, int systemError);

// Where a socket code came from. Several system errors share one code (EPIPE
// and ECONNRESET are both 10054, so is an orderly close), so a reason that
// names the system's own error needs the origin kept beside the code.
enum class TErrorOrigin : uint8_t {
  None,        // set by the socket itself: a time-out, a limit, a stop
  System,      // Value is an errno value
  Resolver,    // Value is a getaddrinfo result
  PeerClosed,  // the peer ended the stream in order; the code is WSAECONNRESET
};

struct TErrorCause {
  TErrorOrigin Origin = TErrorOrigin::None;
  int Value = 0;

  bool operator==(const TErrorCause&) const = default;
};

// The cause of a resolver result: its EAI_ value, or the errno behind EAI_SYSTEM.
TErrorCause ResolverErrorCause(int resolverError, int systemError);

// The system's symbolic name for the cause: "ECONNREFUSED", "EAI_NONAME";
// "" when it has none (an orderly close, a code of the socket's own).
std::string_view ErrorCauseName(const TErrorCause& cause);

}  // namespace corvandel::http
