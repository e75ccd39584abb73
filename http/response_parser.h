#pragma once

// How the lines of a response are understood: the status line, the header
// block and chunk-size lines. Pure functions over text with no I/O, so
// every case can be tried in memory; THTTPSend's reading loop calls them.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvandel::http {

enum TBodyFraming { BF_UntilClose = 0, BF_Length = 1, BF_Chunked = 2 };

struct TStatusLine {
  int32_t Code = 0;    // 0 when it does not parse
  std::string Reason;  // "" when there is none
};

// True when the line begins with "HTTP/" in any case.
bool IsStatusLine(std::string_view line);
// "HTTP/1.1 200 OK" gives 200 and "OK"; "HTTP/1.0 404" gives 404 and "".
TStatusLine ParseStatusLine(std::string_view line);

// What the header block says about the body and the connection.
struct TResponseHead {
  TBodyFraming Framing = BF_UntilClose;
  int64_t ContentLength = -1;  // -1 when none parses
  bool CloseAfter = false;     // the caller's starting value stands unless a header asks to close
  std::string MimeType;        // the caller's starting value stands unless a header names one
  std::vector<std::string> Lines;  // the unfolded lines, the final empty one included
};

// Unfolds the lines as received (continuation lines joined to the line
// before) and reads framing, length, content type and the request to
// close. Behind a proxy its "Proxy-Connection" header decides the close.
void InterpretHeaderLines(const std::vector<std::string>& received, bool usingProxy, TResponseHead& head);

// The size on a chunk-size line: hexadecimal, before any blank or ";";
// 0 when it does not parse.
int32_t ParseChunkSize(std::string_view line);

// Takes every "Set-Cookie:" line of headers into cookies (entries
// name=value, names matched regardless of ASCII case); an empty value
// removes the entry.
void CollectCookies(const std::vector<std::string>& headers, std::vector<std::string>& cookies);

}  // namespace corvandel::http
