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

// A table rather than a switch: several errno names share a value on Linux
// (EAGAIN and EWOULDBLOCK, EOPNOTSUPP and ENOTSUP).
constexpr std::pair<int, int32_t> kSystemErrors[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAEBADF},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EAGAIN, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEINPROGRESS},
    {EALREADY, WSAEALREADY},
    {ENOTSOCK, WSAENOTSOCK},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {EPFNOSUPPORT, WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    // Writing to a connection the peer has torn down.
    {EPIPE, WSAECONNRESET},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ETOOMANYREFS, WSAETOOMANYREFS},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {ELOOP, WSAELOOP},
    {ENAMETOOLONG, WSAENAMETOOLONG},
    {EHOSTDOWN, WSAEHOSTDOWN},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {ENOTEMPTY, WSAENOTEMPTY},
    {EUSERS, WSAEUSERS},
    {EDQUOT, WSAEDQUOT},
    {ESTALE, WSAESTALE},
    {EREMOTE, WSAEREMOTE},
};

// The names of the errno values above, and of the resolver's results. A
// value that two names share (EAGAIN, EWOULDBLOCK) is named by its first.
constexpr std::pair<int, std::string_view> kSystemErrorNames[] = {
    {EINTR, "EINTR"},
    {EBADF, "EBADF"},
    {EACCES, "EACCES"},
    {EPERM, "EPERM"},
    {EFAULT, "EFAULT"},
    {EINVAL, "EINVAL"},
    {EMFILE, "EMFILE"},
    {ENFILE, "ENFILE"},
    {EAGAIN, "EAGAIN"},
    {EWOULDBLOCK, "EWOULDBLOCK"},
    {EINPROGRESS, "EINPROGRESS"},
    {EALREADY, "EALREADY"},
    {ENOTSOCK, "ENOTSOCK"},
    {EDESTADDRREQ, "EDESTADDRREQ"},
    {EMSGSIZE, "EMSGSIZE"},
    {EPROTOTYPE, "EPROTOTYPE"},
    {ENOPROTOOPT, "ENOPROTOOPT"},
    {EPROTONOSUPPORT, "EPROTONOSUPPORT"},
    {ESOCKTNOSUPPORT, "ESOCKTNOSUPPORT"},
    {EOPNOTSUPP, "EOPNOTSUPP"},
    {EPFNOSUPPORT, "EPFNOSUPPORT"},
    {EAFNOSUPPORT, "EAFNOSUPPORT"},
    {EADDRINUSE, "EADDRINUSE"},
    {EADDRNOTAVAIL, "EADDRNOTAVAIL"},
    {ENETDOWN, "ENETDOWN"},
    {ENETUNREACH, "ENETUNREACH"},
    {ENETRESET, "ENETRESET"},
    {ECONNABORTED, "ECONNABORTED"},
    {ECONNRESET, "ECONNRESET"},
    {EPIPE, "EPIPE"},
    {ENOBUFS, "ENOBUFS"},
    {ENOMEM, "ENOMEM"},
    {EISCONN, "EISCONN"},
    {ENOTCONN, "ENOTCONN"},
    {ESHUTDOWN, "ESHUTDOWN"},
    {ETOOMANYREFS, "ETOOMANYREFS"},
    {ETIMEDOUT, "ETIMEDOUT"},
    {ECONNREFUSED, "ECONNREFUSED"},
    {ELOOP, "ELOOP"},
    {ENAMETOOLONG, "ENAMETOOLONG"},
    {EHOSTDOWN, "EHOSTDOWN"},
    {EHOSTUNREACH, "EHOSTUNREACH"},
    {ENOTEMPTY, "ENOTEMPTY"},
    {EUSERS, "EUSERS"},
    {EDQUOT, "EDQUOT"},
    {ESTALE, "ESTALE"},
    {EREMOTE, "EREMOTE"},
    {ENOENT, "ENOENT"},
    {EIO, "EIO"},
};

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

template <std::size_t N>
std::string_view NameIn(const std::pair<int, std::string_view> (&names)[N], int value) {
  for (const auto& [known, name] : names)
    if (known == value) return name;
  return {};
}

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
  for (const auto& [error, code] : kSystemErrors)
    if (error == systemError) return code;
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

}  // namespace corvandel::http

namespace corvandel::http {

TErrorCause ResolverErrorCause(int resolverError, int systemError) {
  if (resolverError == 0) return {};
  if (resolverError == EAI_SYSTEM && systemError != 0) return {TErrorOrigin::System, systemError};
  return {TErrorOrigin::Resolver, resolverError};
}

std::string_view ErrorCauseName(const TErrorCause& cause) {
  switch (cause.Origin) {
    case TErrorOrigin::System: return NameIn(kSystemErrorNames, cause.Value);
    case TErrorOrigin::Resolver: return NameIn(kResolverErrorNames, cause.Value);
    case TErrorOrigin::None:
    case TErrorOrigin::PeerClosed: break;
  }
  return {};
}

}  // namespace corvandel::http
