#pragma once

// Relative links in feeds, resolved as RFC 3986 (section 5) resolves a
// reference against its base: the reference's own parts where it has them,
// the base's otherwise, and "." and ".." segments removed from the path.
// Only what an announcement can use is resolved: a relative reference needs
// an absolute http or https base.

#include <optional>
#include <string>
#include <string_view>

namespace corvandel::announce {

// The target of reference against base. A reference with a scheme of its
// own stands alone (its dot segments removed); a relative one needs an
// http(s) base with a host, else nothing. Neither text is percent-decoded
// or otherwise normalised.
std::optional<std::string> ResolveReference(std::string_view base, std::string_view reference);

// Whether text is an absolute http or https URL with a host: the scheme in
// any case, "://", at least one character of authority, and no blank or
// control character anywhere.
bool IsHTTPURL(std::string_view text);

}  // namespace corvandel::announce
