#pragma once

// A file descriptor that is closed when it goes out of scope.

#include <unistd.h>

namespace corvandel::runtime {

class TFileDescriptor {
public:
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  // The descriptor; negative when opening failed or after Close.
  int Get() const { return fd_; }
  // Closes now, returning what closing returned, for callers that must know
  // that written data reached the file.
  int Close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

private:
  int fd_;
};

}  // namespace corvandel::runtime
