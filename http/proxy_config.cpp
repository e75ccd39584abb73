#include "http/proxy_config.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "http/http_send.h"
#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kSchemeSeparator = "://";
constexpr std::string_view kHTTPScheme = "http";
constexpr std::string_view kHTTPSScheme = "https";

constexpr const char* kHTTPProxyVariable = "http_proxy";
constexpr std::array kHTTPSProxyVariables = {"https_proxy", "HTTPS_PROXY"};
constexpr std::array kAllProxyVariables = {"all_proxy", "ALL_PROXY"};
constexpr std::array kNoProxyVariables = {"no_proxy", "NO_PROXY"};

constexpr int kMaxPort = 65535;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Letters, digits, "-", "_" and dots: what a resolvable name is made of.
bool IsHostName(std::string_view host) {
  if (host.empty()) return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
  });
}

bool ParsePort(std::string_view text, std::string& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > kMaxPort) return false;
  port = std::to_string(value);
  return true;
}

// Brackets, a zone and trailing dots removed, lower-cased.
std::string NormalHost(std::string_view host) {
  std::string name(host);
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
  if (name.find(':') != std::string::npos) name = TextBefore(name, "%");
  while (!name.empty() && name.back() == '.') name.pop_back();
  return runtime::LowerCase(name);
}

// An address literal as bytes: 4 for IPv4, 16 for IPv6; empty for a name.
std::string AddressBytes(const std::string& host) { return IPLiteralBytes(host); }

// True when address lies in the range "base/bits".
bool InRange(const std::string& address, const std::string& range) {
  const std::string base = AddressBytes(TextBefore(range, "/"));
  const std::string bitsText = TextAfter(range, "/");
  if (base.empty() || address.size() != base.size() || bitsText.empty() || bitsText.size() > 3) return false;
  if (!std::all_of(bitsText.begin(), bitsText.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  const int bits = std::atoi(bitsText.c_str());
  if (bits > static_cast<int>(base.size() * 8)) return false;
  const int whole = bits / 8;
  if (address.compare(0, static_cast<std::size_t>(whole), base, 0, static_cast<std::size_t>(whole)) != 0) return false;
  const int rest = bits % 8;
  if (rest == 0) return true;
  const auto mask = static_cast<unsigned char>(0xFF << (8 - rest));
  return (static_cast<unsigned char>(address[static_cast<std::size_t>(whole)]) & mask) ==
         (static_cast<unsigned char>(base[static_cast<std::size_t>(whole)]) & mask);
}

// The value of the first of names that is set and not empty.
const std::string* FirstSet(const TProxyConfig::TVariables& variables, std::initializer_list<const char*> names,
                            const char*& which) {
  for (const char* name : names) {
    const auto found = variables.find(name);
    if (found != variables.end() && !found->second.empty()) {
      which = name;
      return &found->second;
    }
  }
  return nullptr;
}

bool ParseVariable(const TProxyConfig::TVariables& variables, std::initializer_list<const char*> names,
                   std::optional<TProxyServer>& server, std::string& error) {
  const char* which = nullptr;
  const std::string* value = FirstSet(variables, names, which);
  server.reset();
  if (value == nullptr) return true;
  TProxyServer parsed;
  std::string reason;
  if (!ParseProxyURL(*value, parsed, reason)) {
    error = std::string(which) + "=\"" + RedactProxyURL(*value) + "\" is not a usable proxy: " + reason;
    return false;
  }
  server = std::move(parsed);
  return true;
}

}  // namespace

std::string RedactProxyURL(std::string_view url) {
  const std::size_t separator = url.find(kSchemeSeparator);
  const std::size_t start = separator == std::string_view::npos ? 0 : separator + kSchemeSeparator.size();
  const std::size_t at = url.rfind('@');
  if (at == std::string_view::npos || at < start) return std::string(url);
  const std::size_t colon = url.find(':', start);
  if (colon == std::string_view::npos || colon > at) return std::string(url);
  std::string shown(url.substr(0, colon + 1));
  shown += kRedactedPassword;
  shown += url.substr(at);
  return shown;
}

bool ParseProxyURL(std::string_view text, TProxyServer& server, std::string& error) {
  std::string_view rest = text;
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  if (rest.empty()) {
    error = "the proxy address is empty";
    return false;
  }
  if (const auto separator = rest.find(kSchemeSeparator); separator != std::string_view::npos) {
    const std::string scheme = runtime::LowerCase(std::string(rest.substr(0, separator)));
    if (scheme != kHTTPScheme) {
      error = scheme.empty() ? "the proxy address has no scheme before \"://\""
                             : "proxies of the scheme \"" + scheme + "\" are not supported, only http://";
      return false;
    }
    rest.remove_prefix(separator + kSchemeSeparator.size());
  }
  // A path after the address means nothing to a proxy; "/" alone is common.
  const auto pathStart = rest.find_first_of("/?#");
  if (pathStart != std::string_view::npos) {
    if (rest.substr(pathStart) != "/") {
      error = "a proxy address takes no path";
      return false;
    }
    rest = rest.substr(0, pathStart);
  }
  if (std::any_of(rest.begin(), rest.end(), [](char c) { return IsBlank(c) || static_cast<unsigned char>(c) < 32; })) {
    error = "the proxy address contains blanks or control characters";
    return false;
  }
  TProxyServer parsed;
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) {
    const std::string_view userInfo = rest.substr(0, at);
    const auto colon = userInfo.find(':');
    if (!PercentDecode(userInfo.substr(0, colon), parsed.User) ||
        (colon != std::string_view::npos && !PercentDecode(userInfo.substr(colon + 1), parsed.Password))) {
      error = "the proxy credentials hold a \"%\" that is not followed by two hexadecimal digits";
      return false;
    }
    if (parsed.User.empty()) {
      error = "the proxy credentials have no user name";
      return false;
    }
    rest.remove_prefix(at + 1);
  }
  std::string_view portText;
  bool hasPort = false;
  if (!rest.empty() && rest.front() == '[') {
    const auto close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "the proxy's IPv6 address lacks its \"]\"";
      return false;
    }
    parsed.Host = std::string(rest.substr(1, close - 1));
    if (!IsIPv6Literal(parsed.Host)) {
      error = "\"" + parsed.Host + "\" in brackets is not an IPv6 address";
      return false;
    }
    const std::string_view after = rest.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') {
        error = "unexpected text after the proxy's IPv6 address";
        return false;
      }
      portText = after.substr(1);
      hasPort = true;
    }
  } else {
    const auto colon = rest.find(':');
    parsed.Host = std::string(rest.substr(0, colon));
    if (colon != std::string_view::npos) {
      portText = rest.substr(colon + 1);
      hasPort = true;
    }
    if (parsed.Host.empty()) {
      error = "the proxy address has no host";
      return false;
    }
    if (!IsHostName(parsed.Host)) {
      error = "\"" + parsed.Host + "\" is not a host name";
      return false;
    }
  }
  if (hasPort && !ParsePort(portText, parsed.Port)) {
    error = "\"" + std::string(portText) + "\" is not a port number from 1 to 65535";
    return false;
  }
  server = std::move(parsed);
  return true;
}

bool TProxyConfig::FromVariables(const TVariables& variables, TProxyConfig& config, std::string& error) {
  TProxyConfig result;
  std::optional<TProxyServer> all;
  if (!ParseVariable(variables, {kAllProxyVariables[0], kAllProxyVariables[1]}, all, error)) return false;
  if (!ParseVariable(variables, {kHTTPProxyVariable}, result.HTTP, error)) return false;
  if (!ParseVariable(variables, {kHTTPSProxyVariables[0], kHTTPSProxyVariables[1]}, result.HTTPS, error))
    return false;
  if (!result.HTTP) result.HTTP = all;
  if (!result.HTTPS) result.HTTPS = all;
  const char* which = nullptr;
  if (const std::string* list = FirstSet(variables, {kNoProxyVariables[0], kNoProxyVariables[1]}, which))
    result.SetNoProxy(*list);
  config = std::move(result);
  return true;
}

bool TProxyConfig::FromEnvironment(TProxyConfig& config, std::string& error) {
  TVariables variables;
  const auto take = [&variables](const char* name) {
    if (const char* value = std::getenv(name)) variables.emplace(name, value);
  };
  take(kHTTPProxyVariable);
  for (const char* name : kHTTPSProxyVariables) take(name);
  for (const char* name : kAllProxyVariables) take(name);
  for (const char* name : kNoProxyVariables) take(name);
  return FromVariables(variables, config, error);
}

void TProxyConfig::SetProxy(const std::optional<TProxyServer>& server) {
  HTTP = server;
  HTTPS = server;
}

void TProxyConfig::SetNoProxy(std::string_view list) {
  noProxy_.clear();
  noProxyAll_ = false;
  std::string entry;
  const auto finish = [this, &entry] {
    if (entry.empty()) return;
    std::string host = entry;
    entry.clear();
    if (host == "*") {
      noProxyAll_ = true;
      return;
    }
    if (host.starts_with("*.")) host.erase(0, 1);
    // Ports are ignored: "[::1]:8080" and "example.com:8080" name hosts.
    if (host.front() == '[') {
      const auto close = host.find(']');
      host = close == std::string::npos ? host.substr(1) : host.substr(1, close - 1);
    } else if (std::count(host.begin(), host.end(), ':') == 1) {
      host = TextBefore(host, ":");
    }
    if (host.find('/') == std::string::npos) {
      while (!host.empty() && host.front() == '.') host.erase(0, 1);
      host = NormalHost(host);
    } else {
      host = runtime::LowerCase(host);
    }
    if (!host.empty()) noProxy_.push_back(std::move(host));
  };
  for (char c : list) {
    if (c == ',' || IsBlank(c)) finish();
    else entry += c;
  }
  finish();
}

bool TProxyConfig::Bypasses(std::string_view host) const {
  if (noProxyAll_) return true;
  const std::string name = NormalHost(host);
  if (name.empty()) return false;
  const std::string address = AddressBytes(name);
  for (const std::string& entry : noProxy_) {
    if (entry.find('/') != std::string::npos) {
      if (!address.empty() && InRange(address, entry)) return true;
      continue;
    }
    if (!address.empty()) {
      if (AddressBytes(entry) == address) return true;
      continue;
    }
    if (name == entry) return true;
    if (name.size() > entry.size() && name.ends_with(entry) && name[name.size() - entry.size() - 1] == '.')
      return true;
  }
  return false;
}

std::optional<TProxyServer> TProxyConfig::Select(std::string_view url) const {
  const TURLParts parts = SplitURL(url);
  const bool secure = runtime::LowerCase(parts.Protocol) == kHTTPSScheme;
  const std::optional<TProxyServer>& server = secure ? HTTPS : HTTP;
  if (!server || Bypasses(parts.Host)) return std::nullopt;
  return server;
}

void TProxyConfig::Apply(THTTPSend& http, std::string_view url) const {
  const std::optional<TProxyServer> server = Select(url);
  http.SetProxyHost(server ? server->Host : std::string());
  http.SetProxyPort(server ? server->Port : std::string(kDefaultProxyPort));
  http.SetProxyUser(server ? server->User : std::string());
  http.SetProxyPass(server ? server->Password : std::string());
}

}  // namespace corvandel::http
