#pragma once

// The site and service list files: plain 8-bit text, one entry per line.
// Bytes are taken as they are: no decoding, trimming or case change.
//
// Reading: a line ends at CR, LF or the pair CR LF (so LF CR ends two lines);
// a NUL byte ends the text; text after the last line end is a last line;
// empty lines inside the text are empty entries; duplicates are kept.
// Writing: every entry followed by CR LF, the last one included.
//
// A line may hold at most kMaxListLineLength bytes; a file with a longer one
// is refused as a whole.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/stream.h"

namespace corvandel::engine {

inline constexpr std::string_view kListLineEnd = "\r\n";
// The service list that the window loads at start-up, from the current directory.
inline constexpr std::string_view kServicesFileName = "PingServices.txt";

// The longest line a list file may hold: far above any real URL. Each
// worker builds its request from a site, so one line of hundreds of
// megabytes would otherwise cost gigabytes once per worker.
inline constexpr std::size_t kMaxListLineLength = 8 * 1024;

// A list file with a line longer than kMaxListLineLength.
class EListLineTooLong : public runtime::EStreamError {
public:
  EListLineTooLong(const std::string& fileName, std::size_t line);
  std::size_t Line() const { return line_; }

private:
  std::size_t line_;
};

// Without a file name: lines of any length.
std::vector<std::string> ParseListText(std::string_view text);
std::string FormatListText(const std::vector<std::string>& entries);

// Reads a regular file; raises runtime::EStreamError with the file name and
// the system's reason when it cannot be opened or read, is not a regular
// file (a FIFO or a device could block for ever), or EListLineTooLong.
std::vector<std::string> ReadListFile(const std::string& fileName);

// Saves the entries so that a failure leaves the old file as it was:
// 1. the whole text is made in memory;
// 2. a symbolic link is followed to the file it names, which is the one
//    that is saved (a link to a missing file creates that file);
// 3. a target that exists must be a regular file, and none on the kernel's
//    own file systems (/proc, /sys) is written;
// 4. a new file, created exclusively beside the target and never over an
//    existing one, receives the text, the target's permission bits and,
//    where the system allows it, its owner and group; it is flushed to the
//    device and then renamed over the target in one step;
// 5. where no file can be created beside the target (a directory that is
//    not writable) but the target itself is writable, and where the target
//    has further hard links that a rename would break, the target is
//    rewritten in place instead: written from its start, then cut to the
//    new length and flushed.
// Raises runtime::EStreamError with the file name and the reason.
void WriteListFile(const std::string& fileName, const std::vector<std::string>& entries);

}  // namespace corvandel::engine
