#include "engine/list_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>

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

// Closes a descriptor when it goes out of scope.
class TDescriptor {
public:
  explicit TDescriptor(int fd) : fd_(fd) {}
  ~TDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TDescriptor(const TDescriptor&) = delete;
  TDescriptor& operator=(const TDescriptor&) = delete;
  int Get() const { return fd_; }
  // Closes now, reporting what closing reported.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

private:
  int fd_;
};

// Splits text into entries as it arrives, so that a file is refused at its
// first overlong line without ever holding that line whole.
class TListSplitter {
public:
  TListSplitter(const std::string* fileName, std::size_t maxLine) : fileName_(fileName), maxLine_(maxLine) {}

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
      if (current_.size() > maxLine_) throw EListLineTooLong(fileName_ ? *fileName_ : std::string(), Lines() + 1);
      inLine_ = true;
      i = end - 1;
    }
    return true;
  }

  std::vector<std::string> Finish() {
    if (inLine_) EndLine();
    return std::move(entries_);
  }

private:
  std::size_t Lines() const { return entries_.size(); }
  void EndLine() {
    entries_.push_back(std::move(current_));
    current_.clear();
    inLine_ = false;
  }

  const std::string* fileName_;
  std::size_t maxLine_;
  std::vector<std::string> entries_;
  std::string current_;
  bool inLine_ = false;
  bool afterCR_ = false;
};

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
  TDescriptor file(::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
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

EListLineTooLong::EListLineTooLong(const std::string& fileName, std::size_t line)
    : runtime::EStreamError("Cannot read file \"" + fileName + "\". Line " + std::to_string(line) +
                            " is longer than " + std::to_string(kMaxListLineLength) + " bytes."),
      line_(line) {}

std::vector<std::string> ParseListText(std::string_view text) {
  TListSplitter splitter(nullptr, std::string::npos);
  splitter.Feed(text);
  return splitter.Finish();
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

std::vector<std::string> ReadListFile(const std::string& fileName) {
  // Without blocking: a FIFO or a kernel file that waits for data must not
  // hold the caller for ever.
  TDescriptor file(::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.Get() < 0) Fail("Cannot open", fileName, errno);
  struct stat status {};
  if (::fstat(file.Get(), &status) != 0) Fail("Cannot open", fileName, errno);
  if (!S_ISREG(status.st_mode)) Refuse("Cannot open", fileName, "It is not a regular file.");

  TListSplitter splitter(&fileName, kMaxListLineLength);
  std::array<char, kReadBlockSize> block;
  for (;;) {
    const ssize_t n = ::read(file.Get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail("Cannot read", fileName, errno);
    }
    if (n == 0 || !splitter.Feed(std::string_view(block.data(), static_cast<std::size_t>(n)))) break;
  }
  return splitter.Finish();
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
  TDescriptor file(CreateBeside(target, exists, temporary));
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
