#pragma once

// URI references as external identifiers use them (RFC 3986): split into
// their parts, resolved against the base of the entity that holds them,
// and turned into the local file a "file" URI names.

#include <string>

#include "xml/dom_string.h"

namespace corvandel::xml {

struct TUri {
  DOMString Scheme;
  bool HasAuthority = false;
  DOMString Authority;
  DOMString Path;
  bool HasQuery = false;
  DOMString Query;
};

// Splits a URI reference into its parts; the fragment is dropped.
TUri SplitUri(DOMStringView text);
// The path with its "." and ".." segments taken out.
DOMString RemoveDotSegments(DOMStringView input);
// Resolves reference against base; false when neither names a scheme.
bool ResolveUri(DOMStringView reference, DOMStringView base, TUri& result);
DOMString ComposeUri(const TUri& uri);
// The local file a resolved "file" URI on this host names, percent-decoded;
// empty when it names none (another host, a query, an encoded NUL).
std::string LocalFileName(const TUri& uri);

}  // namespace corvandel::xml
