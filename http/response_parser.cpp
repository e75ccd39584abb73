#include "http/response_parser.h"

#include <algorithm>

#include "http/text_utils.h"
#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr std::string_view kStatusLinePrefix = "HTTP/";

// Matched at the start of a line regardless of ASCII case.
constexpr std::string_view kContentLengthHeader = "CONTENT-LENGTH:";
constexpr std::string_view kContentTypeHeader = "CONTENT-TYPE:";
constexpr std::string_view kTransferEncodingHeader = "TRANSFER-ENCODING:";
constexpr std::string_view kChunkedCoding = "CHUNKED";
constexpr std::string_view kConnectionHeader = "CONNECTION:";
constexpr std::string_view kProxyConnectionHeader = "PROXY-CONNECTION:";
constexpr std::string_view kCloseToken = "CLOSE";
constexpr std::string_view kSetCookieHeader = "set-cookie:";

// The text after the first blank, or the whole line without one, trimmed.
std::string HeaderValue(const std::string& line) { return Trim(TextAfter(line, " ")); }

// Sets the value of the entry for name (matched regardless of ASCII case)
// in a list of name=value entries; an empty value removes the entry.
void SetNamedValue(std::vector<std::string>& list, const std::string& name, const std::string& value) {
  const std::string key = runtime::LowerCase(name);
  const auto entry = std::find_if(list.begin(), list.end(), [&key](const std::string& item) {
    return runtime::LowerCase(TextBefore(item, "=")) == key;
  });
  if (value.empty()) {
    if (entry != list.end()) list.erase(entry);
  } else if (entry != list.end()) {
    *entry = name + "=" + value;
  } else {
    list.push_back(name + "=" + value);
  }
}

}  // namespace

bool IsStatusLine(std::string_view line) {
  return runtime::StartsWithNoCase(line, kStatusLinePrefix);
}

TStatusLine ParseStatusLine(std::string_view line) {
  const std::string s = Trim(TextAfter(std::string(line), " "));
  TStatusLine status;
  status.Code = ParseIntDef(Trim(TextBefore(s, " ")), 0);
  std::string reason = Trim(TextAfter(s, " "));
  if (reason != s) status.Reason = std::move(reason);
  return status;
}

void InterpretHeaderLines(const std::vector<std::string>& received, bool usingProxy, TResponseHead& head) {
  for (std::size_t index = 0; index < received.size();) {
    std::string line = NextHeaderLine(received, index);
    const auto is = [&line](std::string_view name) { return runtime::StartsWithNoCase(line, name); };
    if (is(kContentLengthHeader)) {
      head.ContentLength = ParseIntDef(HeaderValue(line), -1);
      if (head.ContentLength != -1 && head.Framing == BF_UntilClose) head.Framing = BF_Length;
    } else if (is(kContentTypeHeader)) {
      head.MimeType = HeaderValue(line);
    } else if (is(kTransferEncodingHeader)) {
      // Chunked wins over a length in either order.
      if (runtime::UpperCase(HeaderValue(line)).find(kChunkedCoding) != std::string::npos) head.Framing = BF_Chunked;
    } else if (usingProxy ? is(kProxyConnectionHeader) : is(kConnectionHeader)) {
      if (runtime::UpperCase(line).find(kCloseToken) != std::string::npos) head.CloseAfter = true;
    }
    head.Lines.push_back(std::move(line));
  }
}

int32_t ParseChunkSize(std::string_view line) {
  const std::string sizeText = Trim(TextBefore(Trim(TextBefore(std::string(line), " ")), ";"));
  return ParseIntDef("$" + sizeText, 0);
}

void CollectCookies(const std::vector<std::string>& headers, std::vector<std::string>& cookies) {
  for (const std::string& line : headers) {
    if (!runtime::StartsWithNoCase(line, kSetCookieHeader)) continue;
    const std::string s = Trim(TextBefore(TextAfter(line, ":"), ";"));
    SetNamedValue(cookies, Trim(TextBefore(s, "=")), Trim(TextAfter(s, "=")));
  }
}

}  // namespace corvandel::http
