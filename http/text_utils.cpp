#include "http/text_utils.h"

#include <algorithm>
#include <limits>

#include "runtime/ascii_case.h"

namespace corvandel::http {

namespace {

constexpr char kBlank = ' ';
constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kHexPrefix = '$';
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Pad = '=';

constexpr std::string_view kDefaultHost = "localhost";
constexpr std::string_view kHttpsPort = "443";
constexpr std::string_view kFtpPort = "21";

constexpr int32_t kMaxIPv4Field = 255;
constexpr int32_t kMaxIPv6Group = 0xFFFF;
constexpr std::size_t kIPv6MaxGroups = 8;

bool IsControlOrBlank(char c) { return static_cast<unsigned char>(c) <= 32; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Accumulates digits of the given base into a 64-bit value, failing as soon
// as the value leaves the 32-bit range so that long inputs cannot overflow.
bool AccumulateDigits(std::string_view digits, int base, bool negative, int32_t& out) {
  if (digits.empty()) return false;
  const int64_t limit = negative ? -static_cast<int64_t>(std::numeric_limits<int32_t>::min())
                                 : static_cast<int64_t>(std::numeric_limits<int32_t>::max());
  int64_t value = 0;
  for (char c : digits) {
    const int digit = base == 16 ? HexValue(c) : (IsDigit(c) ? c - '0' : -1);
    if (digit < 0) return false;
    value = value * base + digit;
    // Hexadecimal text may spell any 32-bit pattern, as the "$FFFFFFFF" form does.
    if (base == 16 ? value > 0xFFFFFFFFll : value > limit) return false;
  }
  if (base == 16) {
    out = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (negative) out = static_cast<int32_t>(0u - static_cast<uint32_t>(out));
    return true;
  }
  out = static_cast<int32_t>(negative ? -value : value);
  return true;
}

bool IsHexWord(std::string_view text) {
  if (text.empty()) return false;
  const int32_t value = ParseIntDef(std::string(1, kHexPrefix).append(text), -1);
  return value >= 0 && value <= kMaxIPv6Group;
}

// Splits text at every occurrence of separator, keeping empty pieces, so a
// trailing separator yields a trailing empty piece.
std::vector<std::string> SplitAll(std::string_view text, char separator) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.emplace_back(text.substr(start));
      return pieces;
    }
    pieces.emplace_back(text.substr(start, at - start));
    start = at + 1;
  }
}

}  // namespace

std::string TextBefore(std::string_view text, std::string_view delimiter) {
  const std::size_t at = text.find(delimiter);
  return std::string(at == std::string_view::npos ? text : text.substr(0, at));
}

std::string TextAfter(std::string_view text, std::string_view delimiter) {
  const std::size_t at = text.find(delimiter);
  return std::string(at == std::string_view::npos ? text : text.substr(at + delimiter.size()));
}

std::string TakeField(std::string& text, std::string_view delimiter) {
  const std::size_t at = text.find(delimiter);
  if (at == std::string::npos) {
    std::string field = std::move(text);
    text.clear();
    return field;
  }
  std::string field = text.substr(0, at);
  text.erase(0, at + delimiter.size());
  return field;
}

std::string TakeFieldTrimmed(std::string& text, std::string_view delimiter) {
  std::string field = TrimBlanks(TakeField(text, delimiter));
  text = TrimBlanks(text);
  return field;
}

std::string TrimBlanksLeft(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlank);
  return first == std::string_view::npos ? std::string() : std::string(text.substr(first));
}

std::string TrimBlanksRight(std::string_view text) {
  const std::size_t last = text.find_last_not_of(kBlank);
  return last == std::string_view::npos ? std::string() : std::string(text.substr(0, last + 1));
}

std::string TrimBlanks(std::string_view text) { return TrimBlanksLeft(TrimBlanksRight(text)); }

std::string TrimLeft(std::string_view text) {
  const auto first = std::find_if_not(text.begin(), text.end(), IsControlOrBlank);
  return std::string(first, text.end());
}

std::string TrimRight(std::string_view text) {
  const auto last = std::find_if_not(text.rbegin(), text.rend(), IsControlOrBlank);
  return std::string(text.begin(), last.base());
}

std::string Trim(std::string_view text) { return TrimLeft(TrimRight(text)); }

int32_t ParseIntDef(std::string_view text, int32_t defaultValue) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == kHexPrefix) {
    base = 16;
    text.remove_prefix(1);
  }
  int32_t value = 0;
  return AccumulateDigits(text, base, negative, value) ? value : defaultValue;
}

TLineEnd FindLineEnd(std::string_view text) {
  TLineEnd result;
  // A plain loop: looking each character up in a set costs a call per character.
  std::size_t at = 0;
  while (at < text.size() && text[at] != kCR && text[at] != kLF) ++at;
  if (at == text.size()) return result;
  result.Position = static_cast<int32_t>(at + 1);
  result.Terminator.assign(1, text[at]);
  if (at + 1 < text.size()) {
    const char next = text[at + 1];
    if ((text[at] == kLF && next == kCR) || (text[at] == kCR && next == kLF))
      result.Terminator.push_back(next);
  }
  return result;
}

std::string NextHeaderLine(const std::vector<std::string>& lines, std::size_t& index) {
  if (index >= lines.size()) {
    ++index;
    return {};
  }
  std::string line = lines[index++];
  if (!line.empty()) {
    while (index + 1 < lines.size()) {
      std::string next = lines[index];
      if (next.empty()) break;
      std::replace(next.begin(), next.end(), '\t', kBlank);
      const char first = next.front();
      if (first != kBlank && first != '"' && first != ':' && first != '=') break;
      line += kBlank;
      line += Trim(next);
      ++index;
    }
  }
  return TrimRight(line);
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t triple = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                            static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                            static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64Alphabet[(triple >> 18) & 63];
    out += kBase64Alphabet[(triple >> 12) & 63];
    out += kBase64Alphabet[(triple >> 6) & 63];
    out += kBase64Alphabet[triple & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t triple = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) triple |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out += kBase64Alphabet[(triple >> 18) & 63];
    out += kBase64Alphabet[(triple >> 12) & 63];
    out += rest == 2 ? kBase64Alphabet[(triple >> 6) & 63] : kBase64Pad;
    out += kBase64Pad;
  }
  return out;
}

void AppendTextToStream(runtime::TStream& stream, std::string_view bytes) {
  if (!bytes.empty()) stream.WriteBuffer(bytes.data(), bytes.size());
}

std::string ReadTextFromStream(runtime::TStream& stream, std::size_t count) {
  std::string bytes(count, '\0');
  bytes.resize(count == 0 ? 0 : stream.Read(bytes.data(), count));
  return bytes;
}

namespace {

constexpr int kIPv4Fields = 4;
constexpr std::size_t kIPv4Bytes = 4;
constexpr std::size_t kIPv6Bytes = 16;

// The four fields of plain dotted digits, read in one pass: true when
// text is such a literal, with its bytes set; decided is false when text
// holds blanks, so that only the full reading can tell.
bool ParsePlainIPv4(std::string_view text, unsigned char (&bytes)[kIPv4Bytes], bool& decided) {
  decided = true;
  int field = 0;
  int32_t value = 0;
  bool digits = false;
  for (const char c : text) {
    if (IsDigit(c)) {
      value = value * 10 + (c - '0');
      if (value > kMaxIPv4Field) return false;
      digits = true;
    } else if (c == '.') {
      if (!digits || field == kIPv4Fields - 1) return false;
      bytes[field++] = static_cast<unsigned char>(value);
      value = 0;
      digits = false;
    } else {
      // Blanks around a field are allowed; every other character rules a literal out.
      decided = c != kBlank;
      return false;
    }
  }
  if (!digits || field != kIPv4Fields - 1) return false;
  bytes[field] = static_cast<unsigned char>(value);
  return true;
}

// The four fields of an IPv4 literal; false for any other text.
bool ParseIPv4(std::string_view text, unsigned char (&bytes)[kIPv4Bytes]) {
  bool decided = false;
  const bool plain = ParsePlainIPv4(text, bytes, decided);
  if (decided) return plain;
  std::string rest(text);
  for (int field = 0; field < kIPv4Fields; ++field) {
    const std::string digits = field < kIPv4Fields - 1 ? TakeFieldTrimmed(rest, ".") : rest;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit)) return false;
    const int32_t value = ParseIntDef(digits, -1);
    if (value < 0 || value > kMaxIPv4Field) return false;
    bytes[field] = static_cast<unsigned char>(value);
  }
  return true;
}

// The sixteen bytes of an IPv6 literal; false for any other text.
bool ParseIPv6(std::string_view text, unsigned char (&bytes)[kIPv6Bytes]) {
  std::fill(std::begin(bytes), std::end(bytes), 0);
  if (text == "::") return true;
  // Without a colon there are fewer than the groups any literal has.
  if (text.find(':') == std::string_view::npos) return false;
  if (const std::size_t percent = text.find('%'); percent != std::string_view::npos) {
    if (!IsHexWord(TrimBlanks(text.substr(percent + 1)))) return false;
    text = text.substr(0, percent);
  }
  std::vector<std::string> groups = SplitAll(text, ':');
  for (std::string& group : groups) group = TrimBlanks(group);
  // Only a gap may close the text: "1::" is a literal, "1:" is not.
  if (groups.back().empty()) {
    if (groups.size() < 3 || !groups[groups.size() - 2].empty()) return false;
    groups.pop_back();
  }
  std::size_t first = 0;
  if (groups.front().empty()) {
    // Only a gap may open the text: ":1" is no literal, "::1" is.
    if (groups.size() < 2 || !groups[1].empty()) return false;
    first = 1;
  }
  std::vector<uint16_t> head;
  std::vector<uint16_t> tail;
  bool gap = false;
  for (std::size_t i = first; i < groups.size(); ++i) {
    const std::string& group = groups[i];
    if (group.empty()) {
      if (gap) return false;
      gap = true;
      continue;
    }
    std::vector<uint16_t>& words = gap ? tail : head;
    if (i + 1 == groups.size() && group.find('.') != std::string::npos) {
      unsigned char v4[kIPv4Bytes];
      if (!ParseIPv4(group, v4)) return false;
      words.push_back(static_cast<uint16_t>(v4[0] << 8 | v4[1]));
      words.push_back(static_cast<uint16_t>(v4[2] << 8 | v4[3]));
      continue;
    }
    if (!IsHexWord(group)) return false;
    words.push_back(static_cast<uint16_t>(ParseIntDef("$" + group, 0)));
  }
  const std::size_t count = head.size() + tail.size();
  if (gap ? count >= kIPv6MaxGroups : count != kIPv6MaxGroups) return false;
  std::size_t at = 0;
  for (const uint16_t word : head) {
    bytes[at++] = static_cast<unsigned char>(word >> 8);
    bytes[at++] = static_cast<unsigned char>(word & 0xFF);
  }
  at = kIPv6Bytes - tail.size() * 2;
  for (const uint16_t word : tail) {
    bytes[at++] = static_cast<unsigned char>(word >> 8);
    bytes[at++] = static_cast<unsigned char>(word & 0xFF);
  }
  return true;
}

}  // namespace

bool IsIPv4Literal(std::string_view text) {
  unsigned char bytes[kIPv4Bytes];
  return ParseIPv4(text, bytes);
}

bool IsIPv6Literal(std::string_view text) {
  unsigned char bytes[kIPv6Bytes];
  return ParseIPv6(text, bytes);
}

std::string BracketedHost(std::string_view host) {
  return IsIPv6Literal(host) ? "[" + std::string(host) + "]" : std::string(host);
}

std::string IPLiteralBytes(std::string_view text) {
  unsigned char v4[kIPv4Bytes];
  if (ParseIPv4(text, v4)) return std::string(reinterpret_cast<const char*>(v4), kIPv4Bytes);
  unsigned char v6[kIPv6Bytes];
  if (ParseIPv6(text, v6)) return std::string(reinterpret_cast<const char*>(v6), kIPv6Bytes);
  return {};
}

TURLParts SplitURL(std::string_view url) {
  TURLParts parts;
  std::string rest(url);
  if (const std::size_t at = rest.find("://"); at != std::string::npos) {
    parts.Protocol = rest.substr(0, at);
    rest.erase(0, at + 3);
  }
  const std::string protocol = runtime::UpperCase(parts.Protocol);
  if (protocol == "HTTPS") parts.Port = kHttpsPort;
  if (protocol == "FTP") parts.Port = kFtpPort;

  const std::size_t atSign = rest.find('@');
  if (atSign != std::string::npos && atSign < rest.find('/')) {
    const std::string userInfo = rest.substr(0, atSign);
    rest.erase(0, atSign + 1);
    if (const std::size_t colon = userInfo.find(':'); colon != std::string::npos) {
      parts.User = userInfo.substr(0, colon);
      parts.Password = userInfo.substr(colon + 1);
    } else {
      parts.User = userInfo;
    }
  }

  std::string authority = rest;
  std::string tail;
  if (const std::size_t slash = rest.find('/'); slash != std::string::npos) {
    authority = rest.substr(0, slash);
    tail = rest.substr(slash + 1);
  }

  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    parts.Host = authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    if (close != std::string::npos && close + 1 < authority.size() && authority[close + 1] == ':')
      parts.Port = authority.substr(close + 2);
  } else if (const std::size_t colon = authority.find(':'); colon != std::string::npos) {
    parts.Host = authority.substr(0, colon);
    parts.Port = authority.substr(colon + 1);
  } else {
    parts.Host = authority;
  }

  parts.RequestURI = std::string("/").append(tail);
  if (const std::size_t question = tail.find('?'); question != std::string::npos) {
    parts.Path = std::string("/").append(tail, 0, question);
    parts.Parameters = tail.substr(question + 1);
  } else {
    parts.Path = parts.RequestURI;
  }
  if (parts.Host.empty()) parts.Host = kDefaultHost;
  return parts;
}

std::string SplitURL(std::string_view url, std::string& protocol, std::string& user,
                     std::string& password, std::string& host, std::string& port,
                     std::string& path, std::string& parameters) {
  TURLParts parts = SplitURL(url);
  protocol = std::move(parts.Protocol);
  user = std::move(parts.User);
  password = std::move(parts.Password);
  host = std::move(parts.Host);
  port = std::move(parts.Port);
  path = std::move(parts.Path);
  parameters = std::move(parts.Parameters);
  return std::move(parts.RequestURI);
}

bool PercentDecode(std::string_view text, std::string& decoded) {
  decoded.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      decoded += text[i];
      continue;
    }
    const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
    const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
    if (high < 0 || low < 0) return false;
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

}  // namespace corvandel::http
