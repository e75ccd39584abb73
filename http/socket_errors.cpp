#include "http/socket_errors.h"

#include <netdb.h>

#include <cerrno>
#include <utility>

namespace corvandel::http {

namespace {

constexpr std::string_view kOtherErrorPrefix = "Other Winsock error (";
constexpr std::string_view kOtherErrorSuffix = ")";

struct TErrorText {
  int32_t Code;
  const char* Text;
};

constexpr TErrorText kErrorTexts[] = {
    {WSAEINTR, "Interrupted system call"},
    {WSAEBADF, "Bad file number"},
    {WSAEACCES, "Permission denied"},
    {WSAEFAULT, "Bad address"},
    {WSAEINVAL, "Invalid argument"},
    {WSAEMFILE, "Too many open files"},
    {WSAEWOULDBLOCK, "Operation would block"},
    {WSAEINPROGRESS, "Operation now in progress"},
    {WSAEALREADY, "Operation already in progress"},
    {WSAENOTSOCK, "Socket operation on nonsocket"},
    {WSAEDESTADDRREQ, "Destination address required"},
    {WSAEMSGSIZE, "Message too long"},
    {WSAEPROTOTYPE, "Protocol wrong type for Socket"},
    {WSAENOPROTOOPT, "Protocol not available"},
    {WSAEPROTONOSUPPORT, "Protocol not supported"},
    {WSAESOCKTNOSUPPORT, "Socket not supported"},
    {WSAEOPNOTSUPP, "Operation not supported on Socket"},
    {WSAEPFNOSUPPORT, "Protocol family not supported"},
    {WSAEAFNOSUPPORT, "Address family not supported"},
    {WSAEADDRINUSE, "Address already in use"},
    {WSAEADDRNOTAVAIL, "Can't assign requested address"},
    {WSAENETDOWN, "Network is down"},
    {WSAENETUNREACH, "Network is unreachable"},
    {WSAENETRESET, "Network dropped connection on reset"},
    {WSAECONNABORTED, "Software caused connection abort"},
    {WSAECONNRESET, "Connection reset by peer"},
    {WSAENOBUFS, "No Buffer space available"},
    {WSAEISCONN, "Socket is already connected"},
    {WSAENOTCONN, "Socket is not connected"},
    {WSAESHUTDOWN, "Can't send after Socket shutdown"},
    {WSAETOOMANYREFS, "Too many references:can't splice"},
    {WSAETIMEDOUT, "Connection timed out"},
    {WSAECONNREFUSED, "Connection refused"},
    {WSAELOOP, "Too many levels of symbolic links"},
    {WSAENAMETOOLONG, "File name is too long"},
    {WSAEHOSTDOWN, "Host is down"},
    {WSAEHOSTUNREACH, "No route to host"},
    {WSAENOTEMPTY, "Directory is not empty"},
    {WSAEPROCLIM, "Too many processes"},
    {WSAEUSERS, "Too many users"},
    {WSAEDQUOT, "Disk quota exceeded"},
    {WSAESTALE, "Stale NFS file handle"},
    {WSAEREMOTE, "Too many levels of remote in path"},
    {WSASYSNOTREADY, "Network subsystem is unusable"},
    {WSAVERNOTSUPPORTED, "Winsock DLL cannot support this application"},
    {WSANOTINITIALISED, "Winsock not initialized"},
    {WSAEDISCON, "Disconnect"},
    {WSAHOST_NOT_FOUND, "Host not found"},
    {WSATRY_AGAIN, "Non authoritative - host not found"},
    {WSANO_RECOVERY, "Non recoverable error"},
    {WSANO_DATA, "Valid name, no data record of requested type"},
};

// Each errno value with its socket code and its name. A table rather than a
// switch: several errno names share a value on Linux (EAGAIN and
// EWOULDBLOCK, EOPNOTSUPP and ENOTSUP); such a value is named by its first
// entry. Values without a socket code of their own keep their errno value.
struct TSystemError {
  int Error;
  int32_t Code;
  std::string_view Name;
};
constexpr TSystemError kSystemErrors[] = {
    {EINTR, WSAEINTR, "EINTR"},
    {EBADF, WSAEBADF, "EBADF"},
    {EACCES, WSAEACCES, "EACCES"},
    {EPERM, WSAEACCES, "EPERM"},
    {EFAULT, WSAEFAULT, "EFAULT"},
    {EINVAL, WSAEINVAL, "EINVAL"},
    {EMFILE, WSAEMFILE, "EMFILE"},
    {ENFILE, WSAEMFILE, "ENFILE"},
    {EAGAIN, WSAEWOULDBLOCK, "EAGAIN"},
    {EWOULDBLOCK, WSAEWOULDBLOCK, "EWOULDBLOCK"},
    {EINPROGRESS, WSAEINPROGRESS, "EINPROGRESS"},
    {EALREADY, WSAEALREADY, "EALREADY"},
    {ENOTSOCK, WSAENOTSOCK, "ENOTSOCK"},
    {EDESTADDRREQ, WSAEDESTADDRREQ, "EDESTADDRREQ"},
    {EMSGSIZE, WSAEMSGSIZE, "EMSGSIZE"},
    {EPROTOTYPE, WSAEPROTOTYPE, "EPROTOTYPE"},
    {ENOPROTOOPT, WSAENOPROTOOPT, "ENOPROTOOPT"},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT, "EPROTONOSUPPORT"},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT, "ESOCKTNOSUPPORT"},
    {EOPNOTSUPP, WSAEOPNOTSUPP, "EOPNOTSUPP"},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT, "EPFNOSUPPORT"},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT, "EAFNOSUPPORT"},
    {EADDRINUSE, WSAEADDRINUSE, "EADDRINUSE"},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL, "EADDRNOTAVAIL"},
    {ENETDOWN, WSAENETDOWN, "ENETDOWN"},
    {ENETUNREACH, WSAENETUNREACH, "ENETUNREACH"},
    {ENETRESET, WSAENETRESET, "ENETRESET"},
    {ECONNABORTED, WSAECONNABORTED, "ECONNABORTED"},
    {ECONNRESET, WSAECONNRESET, "ECONNRESET"},
    // Writing to a connection the peer has torn down.
    {EPIPE, WSAECONNRESET, "EPIPE"},
    {ENOBUFS, WSAENOBUFS, "ENOBUFS"},
    {ENOMEM, WSAENOBUFS, "ENOMEM"},
    {EISCONN, WSAEISCONN, "EISCONN"},
    {ENOTCONN, WSAENOTCONN, "ENOTCONN"},
    {ESHUTDOWN, WSAESHUTDOWN, "ESHUTDOWN"},
    {ETOOMANYREFS, WSAETOOMANYREFS, "ETOOMANYREFS"},
    {ETIMEDOUT, WSAETIMEDOUT, "ETIMEDOUT"},
    {ECONNREFUSED, WSAECONNREFUSED, "ECONNREFUSED"},
    {ELOOP, WSAELOOP, "ELOOP"},
    {ENAMETOOLONG, WSAENAMETOOLONG, "ENAMETOOLONG"},
    {EHOSTDOWN, WSAEHOSTDOWN, "EHOSTDOWN"},
    {EHOSTUNREACH, WSAEHOSTUNREACH, "EHOSTUNREACH"},
    {ENOTEMPTY, WSAENOTEMPTY, "ENOTEMPTY"},
    {EUSERS, WSAEUSERS, "EUSERS"},
    {EDQUOT, WSAEDQUOT, "EDQUOT"},
    {ESTALE, WSAESTALE, "ESTALE"},
    {EREMOTE, WSAEREMOTE, "EREMOTE"},
    {ENOENT, ENOENT, "ENOENT"},
    {EIO, EIO, "EIO"},
};

// The names of the resolver's results.
constexpr std::pair<int, std::string_view> kResolverErrorNames[] = {
    {EAI_NONAME, "EAI_NONAME"},
    {EAI_AGAIN, "EAI_AGAIN"},
    {EAI_FAIL, "EAI_FAIL"},
#ifdef EAI_NODATA
    {EAI_NODATA, "EAI_NODATA"},
#endif
#ifdef EAI_ADDRFAMILY
    {EAI_ADDRFAMILY, "EAI_ADDRFAMILY"},
#endif
    {EAI_FAMILY, "EAI_FAMILY"},
    {EAI_SOCKTYPE, "EAI_SOCKTYPE"},
    {EAI_SERVICE, "EAI_SERVICE"},
    {EAI_BADFLAGS, "EAI_BADFLAGS"},
    {EAI_MEMORY, "EAI_MEMORY"},
    {EAI_OVERFLOW, "EAI_OVERFLOW"},
    {EAI_SYSTEM, "EAI_SYSTEM"},
};

}  // namespace

std::string GetErrorDesc(int32_t code) {
  if (code == 0) return {};
  for (const TErrorText& entry : kErrorTexts)
    if (entry.Code == code) return entry.Text;
  std::string text(kOtherErrorPrefix);
  text += std::to_string(code);
  text += kOtherErrorSuffix;
  return text;
}

int32_t SystemErrorToSocketError(int systemError) {
  for (const TSystemError& entry : kSystemErrors)
    if (entry.Error == systemError) return entry.Code;
  return systemError;
}

int32_t ResolverErrorToSocketError(int resolverError, int systemError) {
  switch (resolverError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_FAMILY: return WSAEAFNOSUPPORT;
    case EAI_SOCKTYPE: return WSAESOCKTNOSUPPORT;
    case EAI_SERVICE: return WSATYPE_NOT_FOUND;
    case EAI_BADFLAGS: return WSAEINVAL;
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_OVERFLOW: return WSAEFAULT;
    case EAI_SYSTEM: {
      const int32_t code = SystemErrorToSocketError(systemError);
      return code != 0 ? code : WSANO_RECOVERY;
    }
    default: return WSANO_RECOVERY;
  }
}

TErrorCause ResolverErrorCause(int resolverError, int systemError) {
  if (resolverError == 0) return {};
  if (resolverError == EAI_SYSTEM && systemError != 0) return {TErrorOrigin::System, systemError};
  return {TErrorOrigin::Resolver, resolverError};
}

std::string_view ErrorCauseName(const TErrorCause& cause) {
  switch (cause.Origin) {
    case TErrorOrigin::System:
      for (const TSystemError& entry : kSystemErrors)
        if (entry.Error == cause.Value) return entry.Name;
      break;
    case TErrorOrigin::Resolver:
      for (const auto& [value, name] : kResolverErrorNames)
        if (value == cause.Value) return name;
      break;
    case TErrorOrigin::None:
    case TErrorOrigin::PeerClosed: break;
  }
  return {};
}

}  // namespace corvandel::http
