#include "engine/list_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <utility>

#include "runtime/code_page.h"
#include "runtime/file_descriptor.h"

namespace corvandel::engine {

namespace {

// Appended to the target's name for the file that a save writes first;
// when that name is taken, a number follows it.
constexpr const char* kSaveSuffix = ".saving";
constexpr int kSaveNameTries = 100;
// Symbolic links followed from the chosen name to the file saved, as the
// system allows for a path.
constexpr int kMaxLinkHops = 40;

constexpr char kCR = '\r';
constexpr char kLF = '\n';
constexpr char kNUL = '\0';
// Files are read in pieces of this size; reading stops at the first NUL.
constexpr std::size_t kReadBlockSize = 64 * 1024;

// File systems whose files are the kernel's controls and views: a list is
// never saved there.
constexpr std::array<unsigned long, 9> kKernelFileSystems = {
    0x9fa0,      // proc
    0x62656572,  // sysfs
    0x64626720,  // debugfs
    0x74726163,  // tracefs
    0x27e0eb,    // cgroup
    0x63677270,  // cgroup2
    0x73636673,  // securityfs
    0xcafe4a11,  // bpf
    0x1cd1,      // devpts
};

std::string Reason(int error) { return std::strerror(error); }

[[noreturn]] void Fail(const char* verb, const std::string& fileName, int error) {
  throw runtime::EStreamError(std::string(verb) + " file \"" + fileName + "\". " + Reason(error));
}

[[noreturn]] void Refuse(const char* verb, const std::string& fileName, const char* why) {
  throw runtime::EStreamError(std::string(verb) + " file \"" + fileName + "\". " + why);
}

// Splits text into entries as it arrives, so that a list is refused at its
// first overlong line without ever holding that line whole.
class TListSplitter {
public:
  TListSplitter(const std::string& source, std::size_t maxLine, const TListReadOptions& options)
      : source_(source), maxLine_(maxLine), options_(options) {}

  // False once a NUL ended the text.
  bool Feed(std::string_view piece) {
    for (std::size_t i = 0; i < piece.size(); ++i) {
      const char c = piece[i];
      if (afterCR_) {
        afterCR_ = false;
        if (c == kLF) continue;
      }
      if (c == kNUL) return false;
      if (c == kCR || c == kLF) {
        EndLine();
        afterCR_ = c == kCR;
        continue;
      }
      // Whole runs of ordinary bytes at once.
      std::size_t end = i;
      while (end < piece.size() && piece[end] != kCR && piece[end] != kLF && piece[end] != kNUL) ++end;
      current_.append(piece.substr(i, end - i));
      if (current_.size() > maxLine_) throw EListLineTooLong(source_, CurrentLine());
      inLine_ = true;
      i = end - 1;
    }
    return true;
  }

  // The number of the line being read, from 1.
  std::size_t CurrentLine() const { return lines_ + 1; }

  std::vector<std::string> Finish() {
    if (inLine_) EndLine();
    return std::move(entries_);
  }

private:
  void EndLine() {
    ++lines_;
    const bool skipped = (options_.SkipEmptyLines && current_.empty()) ||
                         (options_.SkipComments && !current_.empty() && current_.front() == kListCommentMark);
    if (!skipped) entries_.push_back(std::move(current_));
    current_.clear();
    inLine_ = false;
  }

  const std::string& source_;
  std::size_t maxLine_;
  TListReadOptions options_;
  std::vector<std::string> entries_;
  std::string current_;
  std::size_t lines_ = 0;
  bool inLine_ = false;
  bool afterCR_ = false;
};

// Takes the raw bytes of a list: finds its byte order mark, decodes UTF-16
// to UTF-8 as it arrives, and hands the text to the splitter.
class TListDecoder {
public:
  TListDecoder(std::string source, std::size_t maxLine, const TListReadOptions& options)
      : source_(std::move(source)), splitter_(source_, maxLine, options) {}

  // False once a NUL ended the text.
  bool Feed(std::string_view bytes) {
    if (ended_) return false;
    if (encoding_ == TEncoding::Unknown) {
      // The longest mark has three bytes.
      const std::size_t take = std::min(bytes.size(), kUTF8Mark.size() - head_.size());
      head_.append(bytes.substr(0, take));
      bytes.remove_prefix(take);
      if (head_.size() < kUTF8Mark.size()) return true;
      if (!FeedHead()) return false;
    }
    return FeedDecoded(bytes);
  }

  std::vector<std::string> Finish() {
    if (!ended_) {
      if (encoding_ == TEncoding::Unknown) FeedHead();
      if (!ended_ && encoding_ != TEncoding::Bytes) {
        if (pendingByte_) Refuse("It is UTF-16 text with an odd number of bytes.");
        if (highSurrogate_ != 0) RefuseSurrogate();
      }
    }
    return splitter_.Finish();
  }

  const std::string& Source() const { return source_; }

private:
  enum class TEncoding { Unknown, Bytes, UTF16LE, UTF16BE };

  static constexpr std::string_view kUTF8Mark = "\xEF\xBB\xBF";
  static constexpr std::string_view kUTF16LEMark = "\xFF\xFE";
  static constexpr std::string_view kUTF16BEMark = "\xFE\xFF";

  // Decides the encoding from the first bytes and feeds what follows the mark.
  bool FeedHead() {
    std::string_view head = head_;
    encoding_ = TEncoding::Bytes;
    if (head.substr(0, kUTF8Mark.size()) == kUTF8Mark) {
      head.remove_prefix(kUTF8Mark.size());
    } else if (head.substr(0, kUTF16LEMark.size()) == kUTF16LEMark) {
      encoding_ = TEncoding::UTF16LE;
      head.remove_prefix(kUTF16LEMark.size());
    } else if (head.substr(0, kUTF16BEMark.size()) == kUTF16BEMark) {
      encoding_ = TEncoding::UTF16BE;
      head.remove_prefix(kUTF16BEMark.size());
    }
    const std::string rest(head);
    head_.clear();
    return FeedDecoded(rest);
  }

  bool FeedDecoded(std::string_view bytes) {
    if (encoding_ == TEncoding::Bytes) {
      ended_ = !splitter_.Feed(bytes);
      return !ended_;
    }
    std::string text;
    text.reserve(bytes.size() * 3 / 2 + 4);
    for (const char byte : bytes) {
      if (!pendingByte_) {
        firstByte_ = static_cast<unsigned char>(byte);
        pendingByte_ = true;
        continue;
      }
      pendingByte_ = false;
      const auto second = static_cast<unsigned char>(byte);
      const char16_t unit = encoding_ == TEncoding::UTF16LE ? static_cast<char16_t>(firstByte_ | second << 8)
                                                            : static_cast<char16_t>(firstByte_ << 8 | second);
      if (unit == 0) {
        // The text ends here: what follows is never looked at.
        splitter_.Feed(text);
        ended_ = true;
        return false;
      }
      if (!Decode(unit, text)) {
        splitter_.Feed(text);
        RefuseSurrogate();
      }
    }
    splitter_.Feed(text);
    return true;
  }

  // Appends the UTF-8 form of a finished character; false for a lone surrogate.
  bool Decode(char16_t unit, std::string& text) {
    char32_t code = unit;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (highSurrogate_ != 0) return false;
      highSurrogate_ = unit;
      return true;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
      if (highSurrogate_ == 0) return false;
      code = 0x10000 + ((static_cast<char32_t>(highSurrogate_) - 0xD800) << 10) + (unit - 0xDC00);
      highSurrogate_ = 0;
    } else if (highSurrogate_ != 0) {
      return false;
    }
    runtime::AppendUTF8(text, code);
    return true;
  }

  [[noreturn]] void Refuse(const std::string& why) const {
    throw runtime::EStreamError("Cannot read " + source_ + ". " + why);
  }
  [[noreturn]] void RefuseSurrogate() const {
    Refuse("Line " + std::to_string(splitter_.CurrentLine()) + " holds a lone UTF-16 surrogate.");
  }

  std::string source_;
  TListSplitter splitter_;
  TEncoding encoding_ = TEncoding::Unknown;
  std::string head_;
  bool ended_ = false;
  bool pendingByte_ = false;
  unsigned char firstByte_ = 0;
  char16_t highSurrogate_ = 0;
};

std::string FileSource(const std::string& fileName) { return "file \"" + fileName + "\""; }

// Reads fd to its end, or to its NUL, within kMaxListInputSize.
std::vector<std::string> ReadAll(int fd, TListDecoder& decoder) {
  std::array<char, kReadBlockSize> block;
  std::size_t total = 0;
  for (;;) {
    const ssize_t n = ::read(fd, block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // A stream that another program left non-blocking: wait for it.
        pollfd wait{fd, POLLIN, 0};
        ::poll(&wait, 1, -1);
        continue;
      }
      throw runtime::EStreamError("Cannot read " + decoder.Source() + ". " + Reason(errno));
    }
    if (n == 0) break;
    const auto size = static_cast<std::size_t>(n);
    const std::size_t allowed = std::min(size, kMaxListInputSize - total);
    if (!decoder.Feed(std::string_view(block.data(), allowed))) break;
    total += allowed;
    if (allowed < size)
      throw runtime::EStreamError("Cannot read " + decoder.Source() + ". It is longer than " +
                                  std::to_string(kMaxListInputSize) + " bytes.");
  }
  return decoder.Finish();
}

bool OnKernelFileSystem(const std::string& path) {
  struct statfs info {};
  if (::statfs(path.c_str(), &info) != 0) return false;
  for (unsigned long type : kKernelFileSystems)
    if (static_cast<unsigned long>(info.f_type) == type) return true;
  return false;
}

std::string DirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The file that a save to fileName writes: symbolic links followed to
// their end, which may not exist yet.
std::string SaveTarget(const std::string& fileName) {
  std::string path = fileName;
  for (int hop = 0;; ++hop) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return path;
    if (hop == kMaxLinkHops) Fail("Cannot create", fileName, ELOOP);
    std::string link(static_cast<std::size_t>(status.st_size > 0 ? status.st_size : 255) + 1, '\0');
    const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
    if (length < 0) Fail("Cannot create", fileName, errno);
    link.resize(static_cast<std::size_t>(length));
    path = !link.empty() && link.front() == '/' ? link : DirectoryOf(path) + "/" + link;
  }
}

void WriteAll(int fd, std::string_view text, const std::string& fileName) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot write", fileName, errno);
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// The target rewritten through its own descriptor: for a target whose
// directory takes no new file, or that has further hard links.
void RewriteInPlace(const std::string& target, const std::string& fileName, std::string_view text) {
  runtime::TFileDescriptor file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (file.Get() < 0) Fail("Cannot create", fileName, errno);
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) Fail("Cannot create", fileName, errno);
  if (!S_ISREG(status.st_mode)) Refuse("Cannot create", fileName, "It is not a regular file.");
  WriteAll(file.Get(), text, fileName);
  if (::ftruncate(file.Get(), static_cast<off_t>(text.size())) != 0 || ::fsync(file.Get()) != 0)
    Fail("Cannot write", fileName, errno);
  if (file.Close() != 0) Fail("Cannot write", fileName, errno);
}

// A new file beside the target, created exclusively under the first free
// name; its name goes to temporary. -1 with errno set when none can be made.
int CreateBeside(const std::string& target, bool privateMode, std::string& temporary) {
  for (int attempt = 1; attempt <= kSaveNameTries; ++attempt) {
    temporary = target + kSaveSuffix + (attempt > 1 ? std::to_string(attempt) : std::string());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                          privateMode ? 0600 : 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

}  // namespace

EListLineTooLong::EListLineTooLong(const std::string& source, std::size_t line)
    : runtime::EStreamError("Cannot read " + source + ". Line " + std::to_string(line) +
                            " is longer than " + std::to_string(kMaxListLineLength) + " bytes."),
      line_(line) {}

std::vector<std::string> ParseListText(std::string_view text, const TListReadOptions& options) {
  TListDecoder decoder("the list", std::string::npos, options);
  decoder.Feed(text);
  return decoder.Finish();
}

std::string FormatListText(const std::vector<std::string>& entries) {
  std::size_t size = 0;
  for (const std::string& entry : entries) size += entry.size() + kListLineEnd.size();
  std::string text;
  text.reserve(size);
  for (const std::string& entry : entries) {
    text += entry;
    text += kListLineEnd;
  }
  return text;
}

std::vector<std::string> ReadListFile(const std::string& fileName, const TListReadOptions& options) {
  // Without blocking: a FIFO or a kernel file that waits for data must not
  // hold the caller for ever.
  runtime::TFileDescriptor file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) Fail("Cannot open", fileName, errno);
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) Fail("Cannot open", fileName, errno);
  if (!S_ISREG(status.st_mode)) Refuse("Cannot open", fileName, "It is not a regular file.");
  TListDecoder decoder(FileSource(fileName), kMaxListLineLength, options);
  return ReadAll(file.Get(), decoder);
}

std::vector<std::string> ReadListStream(int fd, const TListReadOptions& options) {
  TListDecoder decoder(std::string(kStandardInputName), kMaxListLineLength, options);
  return ReadAll(fd, decoder);
}

void WriteListFile(const std::string& fileName, const std::vector<std::string>& entries) {
  const std::string text = FormatListText(entries);
  const std::string target = SaveTarget(fileName);

  struct stat status {};
  const bool exists = ::stat(target.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) Refuse("Cannot create", fileName, "It is not a regular file.");
  if (OnKernelFileSystem(exists ? target : DirectoryOf(target)))
    Refuse("Cannot create", fileName, "It is a file of the system, not a list.");
  if (exists && status.st_nlink > 1) {
    RewriteInPlace(target, fileName, text);
    return;
  }

  std::string temporary;
  runtime::TFileDescriptor file(CreateBeside(target, exists, temporary));
  if (file.Get() < 0) {
    const int error = errno;
    if (exists && (error == EACCES || error == EPERM || error == EROFS) && ::access(target.c_str(), W_OK) == 0) {
      RewriteInPlace(target, fileName, text);
      return;
    }
    Fail("Cannot create", fileName, error);
  }
  try {
    if (exists) {
      // The owner first: changing it may clear the set-user-ID bits.
      if (status.st_uid != ::geteuid() || status.st_gid != ::getegid()) {
        if (::fchown(file.Get(), status.st_uid, status.st_gid) != 0)
          (void)!::fchown(file.Get(), static_cast<uid_t>(-1), status.st_gid);
      }
      if (::fchmod(file.Get(), status.st_mode & 07777) != 0) Fail("Cannot create", fileName, errno);
    }
    WriteAll(file.Get(), text, fileName);
    if (::fsync(file.Get()) != 0 || file.Close() != 0) Fail("Cannot write", fileName, errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) Fail("Cannot create", fileName, errno);
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

}  // namespace corvandel::engine
