#include "runtime/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace corvandel::runtime {

namespace {

std::string SystemReason(int error) { return std::strerror(error); }

}  // namespace

TFileStream::TFileStream(const std::string& fileName, TFileMode mode) : fileName_(fileName) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case TFileMode::OpenRead: flags |= O_RDONLY; break;
    case TFileMode::OpenReadWrite: flags |= O_RDWR; break;
    case TFileMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  do {
    fd_ = ::open(fileName.c_str(), flags, 0666);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    const int error = errno;
    const char* verb = mode == TFileMode::Create ? "Cannot create file \"" : "Cannot open file \"";
    throw EStreamError(verb + fileName + "\". " + SystemReason(error));
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t TFileStream::Read(void* buffer, std::size_t count) {
  auto* out = static_cast<char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Cannot read file \"" + fileName_ + "\". " + SystemReason(errno));
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

std::size_t TFileStream::Write(const void* buffer, std::size_t count) {
  const auto* in = static_cast<const char*>(buffer);
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd_, in + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw EStreamError("Cannot write file \"" + fileName_ + "\". " + SystemReason(errno));
    }
    done += static_cast<std::size_t>(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == TSeekOrigin::Current) whence = SEEK_CUR;
  if (origin == TSeekOrigin::End) whence = SEEK_END;
  const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (result < 0) throw EStreamError("Cannot seek in file \"" + fileName_ + "\". " + SystemReason(errno));
  return result;
}

void TFileStream::Flush() {
  if (::fsync(fd_) != 0) throw EStreamError("Cannot write file \"" + fileName_ + "\". " + SystemReason(errno));
}

void TFileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, static_cast<off_t>(size)) != 0)
    throw EStreamError("Cannot resize file \"" + fileName_ + "\". " + SystemReason(errno));
  if (Position() > size) Seek(size, TSeekOrigin::Beginning);
}

}  // namespace corvandel::runtime
