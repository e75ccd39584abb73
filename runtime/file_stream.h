#pragma once

#include <cstdint>
#include <string>

#include "runtime/stream.h"

namespace corvandel::runtime {

enum class TFileMode {
  OpenRead,       // existing file, read only
  OpenReadWrite,  // existing file, read and write
  Create,         // new or truncated file, read and write
};

// A stream over a file. Opening failures raise EStreamError with the file
// name and the system's reason.
class TFileStream : public TStream {
public:
  TFileStream(const std::string& fileName, TFileMode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  void SetSize(int64_t size) override;
  // Makes sure what was written has reached the storage device.
  void Flush();

  const std::string& FileName() const { return fileName_; }

private:
  std::string fileName_;
  int fd_ = -1;
};

}  // namespace corvandel::runtime
