#include "announce/site_origin.h"

#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::announce {

std::string SiteOrigin(std::string_view url) {
  const http::TURLParts parts = http::SplitURL(url);
  const std::string scheme = runtime::LowerCase(parts.Protocol);
  const bool defaultPort = (scheme == "http" && parts.Port == "80") || (scheme == "https" && parts.Port == "443");
  return scheme + "://" + http::BracketedHost(runtime::LowerCase(parts.Host)) + (defaultPort ? "" : ":" + parts.Port) +
         "/";
}

}  // namespace corvandel::announce
