#include "announce/url_reference.h"

#include "runtime/ascii_case.h"

namespace corvandel::announce {
namespace {

// The five parts of a URI reference; "defined" matters apart from empty
// (an empty query "?" is not an absent one).
struct TParts {
  std::optional<std::string_view> Scheme;
  std::optional<std::string_view> Authority;
  std::string_view Path;
  std::optional<std::string_view> Query;
  std::optional<std::string_view> Fragment;
};

bool IsSchemeChar(char c, bool first) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

TParts Split(std::string_view text) {
  TParts parts;
  if (const std::size_t hash = text.find('#'); hash != std::string_view::npos) {
    parts.Fragment = text.substr(hash + 1);
    text = text.substr(0, hash);
  }
  if (const std::size_t question = text.find('?'); question != std::string_view::npos) {
    parts.Query = text.substr(question + 1);
    text = text.substr(0, question);
  }
  const std::size_t colon = text.find(':');
  if (colon != std::string_view::npos && colon > 0) {
    bool scheme = true;
    for (std::size_t i = 0; i < colon && scheme; ++i) scheme = IsSchemeChar(text[i], i == 0);
    if (scheme) {
      parts.Scheme = text.substr(0, colon);
      text = text.substr(colon + 1);
    }
  }
  if (text.starts_with("//")) {
    const std::size_t end = text.find('/', 2);
    parts.Authority = text.substr(2, end == std::string_view::npos ? std::string_view::npos : end - 2);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end);
  }
  parts.Path = text;
  return parts;
}

// RFC 3986 5.2.4.
std::string RemoveDotSegments(std::string_view input) {
  std::string output;
  while (!input.empty()) {
    if (input.starts_with("../")) {
      input.remove_prefix(3);
    } else if (input.starts_with("./")) {
      input.remove_prefix(2);
    } else if (input.starts_with("/./")) {
      input.remove_prefix(2);
    } else if (input == "/.") {
      input = "/";
    } else if (input.starts_with("/../") || input == "/..") {
      input = input.size() == 3 ? std::string_view("/") : input.substr(3);
      const std::size_t slash = output.rfind('/');
      output.erase(slash == std::string::npos ? 0 : slash);
    } else if (input == "." || input == "..") {
      input = {};
    } else {
      const std::size_t next = input.find('/', input.front() == '/' ? 1 : 0);
      const std::size_t length = next == std::string_view::npos ? input.size() : next;
      output.append(input.substr(0, length));
      input.remove_prefix(length);
    }
  }
  return output;
}

// RFC 3986 5.2.3.
std::string Merge(const TParts& base, std::string_view path) {
  if (base.Authority && base.Path.empty()) return "/" + std::string(path);
  const std::size_t slash = base.Path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  return std::string(base.Path.substr(0, slash + 1)) + std::string(path);
}

bool IsHTTPScheme(std::string_view scheme) {
  const std::string lower = runtime::LowerCase(scheme);
  return lower == "http" || lower == "https";
}

}  // namespace

bool IsHTTPURL(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  const TParts parts = Split(text);
  return parts.Scheme && IsHTTPScheme(*parts.Scheme) && parts.Authority && !parts.Authority->empty();
}

std::optional<std::string> ResolveReference(std::string_view base, std::string_view reference) {
  const TParts r = Split(reference);
  std::string target;
  auto finish = [&target](const std::optional<std::string_view>& query,
                          const std::optional<std::string_view>& fragment) {
    if (query) target.append("?").append(*query);
    if (fragment) target.append("#").append(*fragment);
    return target;
  };
  if (r.Scheme) {
    target.append(*r.Scheme).append(":");
    if (r.Authority) target.append("//").append(*r.Authority);
    target += RemoveDotSegments(r.Path);
    return finish(r.Query, r.Fragment);
  }
  if (!IsHTTPURL(base)) return std::nullopt;
  const TParts b = Split(base);
  target.append(*b.Scheme).append(":");
  if (r.Authority) {
    target.append("//").append(*r.Authority).append(RemoveDotSegments(r.Path));
    return finish(r.Query, r.Fragment);
  }
  target.append("//").append(*b.Authority);
  if (r.Path.empty()) {
    target.append(b.Path);
    return finish(r.Query ? r.Query : b.Query, r.Fragment);
  }
  const std::string merged = r.Path.front() == '/' ? std::string(r.Path) : Merge(b, r.Path);
  target += RemoveDotSegments(merged);
  return finish(r.Query, r.Fragment);
}

}  // namespace corvandel::announce
