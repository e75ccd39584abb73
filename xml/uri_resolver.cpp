#include "xml/detail/uri_resolver.h"

#include <algorithm>

#include "runtime/ascii_case.h"
#include "runtime/code_page.h"

namespace corvandel::xml {

namespace {

bool IsAsciiLetter(DOMChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

}  // namespace

TUri SplitUri(DOMStringView text) {
  TUri uri;
  text = text.substr(0, std::min(text.find(u'#'), text.size()));
  if (!text.empty() && IsAsciiLetter(text[0])) {
    std::size_t i = 1;
    while (i < text.size() && (IsAsciiLetter(text[i]) || (text[i] >= u'0' && text[i] <= u'9') || text[i] == u'+' ||
                               text[i] == u'-' || text[i] == u'.'))
      ++i;
    if (i < text.size() && text[i] == u':') {
      uri.Scheme = DOMString(text.substr(0, i));
      text.remove_prefix(i + 1);
    }
  }
  if (text.starts_with(u"//")) {
    text.remove_prefix(2);
    const std::size_t end = std::min(text.find_first_of(u"/?"), text.size());
    uri.HasAuthority = true;
    uri.Authority = DOMString(text.substr(0, end));
    text.remove_prefix(end);
  }
  if (const std::size_t query = text.find(u'?'); query != DOMStringView::npos) {
    uri.HasQuery = true;
    uri.Query = DOMString(text.substr(query + 1));
    text = text.substr(0, query);
  }
  uri.Path = DOMString(text);
  return uri;
}

DOMString RemoveDotSegments(DOMStringView input) {
  DOMString output;
  while (!input.empty()) {
    if (input.starts_with(u"../")) {
      input.remove_prefix(3);
    } else if (input.starts_with(u"./")) {
      input.remove_prefix(2);
    } else if (input.starts_with(u"/./")) {
      input.remove_prefix(2);
    } else if (input == u"/.") {
      input = u"/";
    } else if (input.starts_with(u"/../") || input == u"/..") {
      input = input.size() == 3 ? DOMStringView(u"/") : input.substr(3);
      const std::size_t last = output.rfind(u'/');
      output.erase(last == DOMString::npos ? 0 : last);
    } else if (input == u"." || input == u"..") {
      input = {};
    } else {
      const std::size_t end = std::min(input.find(u'/', 1), input.size());
      output.append(input.substr(0, end));
      input.remove_prefix(end);
    }
  }
  return output;
}

bool ResolveUri(DOMStringView reference, DOMStringView base, TUri& result) {
  const TUri ref = SplitUri(reference);
  if (!ref.Scheme.empty()) {
    result = ref;
    result.Path = RemoveDotSegments(ref.Path);
    return true;
  }
  const TUri from = SplitUri(base);
  if (from.Scheme.empty()) return false;
  result.Scheme = from.Scheme;
  if (ref.HasAuthority) {
    result.HasAuthority = true;
    result.Authority = ref.Authority;
    result.Path = RemoveDotSegments(ref.Path);
    result.HasQuery = ref.HasQuery;
    result.Query = ref.Query;
    return true;
  }
  result.HasAuthority = from.HasAuthority;
  result.Authority = from.Authority;
  if (ref.Path.empty()) {
    result.Path = from.Path;
    result.HasQuery = ref.HasQuery || from.HasQuery;
    result.Query = ref.HasQuery ? ref.Query : from.Query;
    return true;
  }
  result.HasQuery = ref.HasQuery;
  result.Query = ref.Query;
  if (ref.Path.front() == u'/') {
    result.Path = RemoveDotSegments(ref.Path);
  } else if (from.HasAuthority && from.Path.empty()) {
    result.Path = RemoveDotSegments(u"/" + ref.Path);
  } else {
    const std::size_t slash = from.Path.rfind(u'/');
    const DOMString directory = slash == DOMString::npos ? DOMString() : from.Path.substr(0, slash + 1);
    result.Path = RemoveDotSegments(directory + ref.Path);
  }
  return true;
}

DOMString ComposeUri(const TUri& uri) {
  DOMString text = uri.Scheme + u":";
  if (uri.HasAuthority) text += u"//" + uri.Authority;
  text += uri.Path;
  if (uri.HasQuery) text += u"?" + uri.Query;
  return text;
}

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Narrow(DOMStringView text) { return runtime::UTF16ToSystem(text); }

}  // namespace

std::string LocalFileName(const TUri& uri) {
  if (runtime::LowerCase(Narrow(uri.Scheme)) != "file" || uri.HasQuery) return {};
  if (!uri.Authority.empty() && runtime::LowerCase(Narrow(uri.Authority)) != "localhost") return {};
  const std::string path = Narrow(uri.Path);
  if (path.empty() || path.front() != '/') return {};
  std::string name;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] != '%') {
      name += path[i];
      continue;
    }
    const int high = i + 2 < path.size() ? HexValue(path[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(path[i + 2]) : -1;
    if (low < 0 || (high == 0 && low == 0)) return {};
    name += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return name;
}

}  // namespace corvandel::xml
