#pragma once

// The site and service list files: plain 8-bit text, one entry per line.
// Bytes are taken as they are: no decoding, trimming or case change.
//
// Reading: a line ends at CR, LF or the pair CR LF (so LF CR ends two lines);
// a NUL byte ends the text; text after the last line end is a last line;
// empty lines inside the text are empty entries; duplicates are kept.
// Writing: every entry followed by CR LF, the last one included.

#include <string>
#include <string_view>
#include <vector>

namespace corvandel::engine {

inline constexpr std::string_view kListLineEnd = "\r\n";
// The service list that the window loads at start-up, from the current directory.
inline constexpr std::string_view kServicesFileName = "PingServices.txt";

std::vector<std::string> ParseListText(std::string_view text);
std::string FormatListText(const std::vector<std::string>& entries);

// Raise runtime::EStreamError with the file name and the system's reason
// when the file cannot be opened, read, created or written.
std::vector<std::string> ReadListFile(const std::string& fileName);
void WriteListFile(const std::string& fileName, const std::vector<std::string>& entries);

}  // namespace corvandel::engine
