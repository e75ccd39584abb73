#pragma once

// The lowest layer of the HTTP client, for its own sources: the system's
// view of the socket address record, name and port resolution with an IPv4-first preference, and the
// process-wide lock for whatever in the system's socket interface is not
// thread-safe. Errors come back in the Windows Sockets numbering.

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "http/socket_address.h"
#include "http/socket_errors.h"

namespace corvandel::http {

// Counts the users of the socket interface; the module itself holds one
// reference for the life of the program. Always succeeds on this platform,
// whose socket interface is part of the C library; the name is kept for the
// callers' logs only.
bool LoadSocketLibrary(std::string_view name = {});
// Drops one reference, never below zero.
void UnloadSocketLibrary();
int SocketLibraryLoadCount();

// Serialises loading and unloading and every call into the system that keeps
// its results in per-process storage.
std::mutex& SocketLibraryLock();

// The calling thread's last socket error (errno) in the Windows Sockets numbering.
int32_t LastSocketError();

// Fills address for IP and Port. family AF_INET or AF_INET6 asks for that
// family only; AF_UNSPEC tries IPv4 then IPv6 (the other way round without
// preferIP4) and keeps the first that resolves. Returns 0 or the error of
// the last query, e.g. WSAHOST_NOT_FOUND, with its cause in cause when given.
int32_t FillAddress(TSocketAddress& address, const std::string& ip, const std::string& port,
                    int family, int socketType, int protocol, bool preferIP4, TErrorCause* cause = nullptr);

// One query with the given hints; the first result is copied into address.
// "0.0.0.0" and "::0" give the family's "any" address, "127.0.0.1" and "::1"
// its loopback address, so neither depends on the hosts file.
int32_t LookupAddress(const std::string& ip, const std::string& port, const addrinfo& hints,
                      TSocketAddress& address, TErrorCause* cause = nullptr);


// Every address of name as numeric text, skipping the other family when
// family is AF_INET or AF_INET6; "0.0.0.0" when nothing resolves.
std::vector<std::string> ResolveNameList(const std::string& name, int family, int socketType,
                                         int protocol);

// The number of a port given by number or service name, in host order;
// 0 when it does not resolve.
uint16_t ResolvePortNumber(const std::string& port, int family, int socketType, int protocol);

// The system's host name.
std::string LocalHostName();

}  // namespace corvandel::http
