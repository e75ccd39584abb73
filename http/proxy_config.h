#pragma once

// Which HTTP proxy, if any, carries the call to a URL, chosen the way curl
// and most Linux tools read the environment:
//   http_proxy                     for http URLs (lower case only: a web
//                                  server may set HTTP_PROXY from a request)
//   https_proxy, then HTTPS_PROXY  for https URLs, through a CONNECT tunnel
//   all_proxy, then ALL_PROXY      for either, when the one above is unset
//   no_proxy, then NO_PROXY        hosts reached directly
// An empty variable counts as unset. A proxy URL is
// [http://][user[:password]@]host[:port][/], with the port 1080 when it
// names none, as curl assumes; credentials are percent-decoded and sent as
// Basic. no_proxy is a list of host names, domain suffixes (".example.com"
// or "example.com" both cover www.example.com), IP literals, CIDR ranges and
// "*" for every host, separated by commas or blanks; ports are ignored.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvandel::http {

class THTTPSend;

inline constexpr const char* kDefaultProxyURLPort = "1080";

struct TProxyServer {
  std::string Host;  // without brackets
  std::string Port = kDefaultProxyURLPort;
  std::string User;  // decoded
  std::string Password;

  bool operator==(const TProxyServer&) const = default;
};

// The server a proxy URL names; false with the reason in error for anything
// that is not an http proxy URL. The reason never repeats the password.
bool ParseProxyURL(std::string_view text, TProxyServer& server, std::string& error);

// url as it may be shown: the password of its credentials, if any, replaced
// by "***", the user kept. Works on any text, whether it parses or not
// ("http://u:secret@[bad" gives "http://u:***@[bad"); everything up to the
// last "@" counts as credentials, so that a password holding "/" or "@"
// is hidden whole.
std::string RedactProxyURL(std::string_view url);
inline constexpr std::string_view kRedactedPassword = "***";

class TProxyConfig {
public:
  using TVariables = std::map<std::string, std::string>;

  // The configuration the variables describe. False, with a message naming
  // the variable, when a proxy URL in them is malformed; config is then
  // left unchanged.
  static bool FromVariables(const TVariables& variables, TProxyConfig& config, std::string& error);
  // FromVariables over this process's environment.
  static bool FromEnvironment(TProxyConfig& config, std::string& error);

  // One proxy for both schemes, or none at all; no_proxy still applies.
  void SetProxy(const std::optional<TProxyServer>& server);
  void SetNoProxy(std::string_view list);

  // True when host (a name or an IP literal, bracketed or not) is to be
  // reached directly.
  bool Bypasses(std::string_view host) const;
  // The proxy for a call to url, or none.
  std::optional<TProxyServer> Select(std::string_view url) const;
  // Sets (or clears) the proxy fields of http for a call to url.
  void Apply(THTTPSend& http, std::string_view url) const;

  std::optional<TProxyServer> HTTP;
  std::optional<TProxyServer> HTTPS;

private:
  std::vector<std::string> noProxy_;  // entries, lower-cased, port removed
  bool noProxyAll_ = false;
};

}  // namespace corvandel::http
