#pragma once

// The site a page belongs to, as an XML-RPC ping names it.

#include <string>
#include <string_view>

namespace corvandel::announce {

// scheme://host[:port]/ of url: scheme and host in lower case, the port
// only when it is not the scheme's default, user and password dropped, an
// IPv6 host in brackets.
std::string SiteOrigin(std::string_view url);

}  // namespace corvandel::announce
