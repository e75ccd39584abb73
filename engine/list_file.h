#pragma once

// The site and service list files: text, one entry per line.
//
// Reading: a UTF-8 byte order mark at the start is not part of the first
// line. A file that starts with a UTF-16 byte order mark (either byte
// order) is decoded to UTF-8 first; one with an odd number of bytes or a
// lone surrogate is refused, never read as garbage. Any other text is taken
// byte for byte: no decoding, trimming or case change. A line ends at CR,
// LF or the pair CR LF (so LF CR ends two lines); a NUL ends the text; text
// after the last line end is a last line; empty lines inside the text are
// empty entries unless SkipEmptyLines drops them, and with SkipComments a
// line that starts with '#' is dropped too; duplicates are kept.
// Writing: every entry followed by CR LF, the last one included, with no
// byte order mark.
//
// A decoded line may hold at most kMaxListLineLength bytes, and a file or
// stream at most kMaxListInputSize; past either, it is refused as a whole.

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

// The most bytes a list is read from. A file is bounded by its size, but
// standard input may never end; far above any real list (65536 sites of
// 1 KiB each).
inline constexpr std::size_t kMaxListInputSize = 64 * 1024 * 1024;

// A line that starts with this is a comment, where comments are read.
inline constexpr char kListCommentMark = '#';
// What messages call standard input.
inline constexpr std::string_view kStandardInputName = "standard input";

struct TListReadOptions {
  bool SkipEmptyLines = false;  // the sites file: an empty line names no site
  bool SkipComments = false;    // corvandel-ping: a line starting with '#' is a comment
};

// A list with a line longer than kMaxListLineLength. source is what the
// message names: 'file "NAME"' or "standard input".
class EListLineTooLong : public runtime::EStreamError {
public:
  EListLineTooLong(const std::string& source, std::size_t line);
  std::size_t Line() const { return line_; }

private:
  std::size_t line_;
};

// Text already in memory: lines of any length. Raises runtime::EStreamError
// for malformed UTF-16.
std::vector<std::string> ParseListText(std::string_view text, const TListReadOptions& options = {});
std::string FormatListText(const std::vector<std::string>& entries);

// Reads a regular file; raises runtime::EStreamError with the file name and
// the reason when it cannot be opened or read, is not a regular file (a
// FIFO or a device could block for ever), is malformed UTF-16 or longer
// than kMaxListInputSize, or EListLineTooLong.
std::vector<std::string> ReadListFile(const std::string& fileName, const TListReadOptions& options = {});
// Reads an open descriptor to its end (standard input: a pipe, a terminal
// or a redirected file), waiting for it, with the rules and limits of a
// file; messages name it kStandardInputName. The descriptor stays open.
std::vector<std::string> ReadListStream(int fd, const TListReadOptions& options = {});

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
