#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace corvandel::runtime {

enum class TSeekOrigin { Beginning, Current, End };

// Raised when a stream cannot do what was asked: a short exact read or write,
// a file that cannot be opened or created, an I/O failure.
class EStreamError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A sequence of bytes with a current position, read and written in place.
class TStream {
public:
  virtual ~TStream() = default;

  // Reads up to count bytes at the position; returns how many were read.
  virtual std::size_t Read(void* buffer, std::size_t count) = 0;
  // Writes count bytes at the position; returns how many were written.
  virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
  // Moves the position and returns the new one.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  virtual void SetSize(int64_t size) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::Current); }
  void SetPosition(int64_t position) { Seek(position, TSeekOrigin::Beginning); }

  // Exact forms: raise EStreamError unless all count bytes were moved.
  void ReadBuffer(void* buffer, std::size_t count);
  void WriteBuffer(const void* buffer, std::size_t count);
  void WriteText(const std::string& bytes) { WriteBuffer(bytes.data(), bytes.size()); }

  // Copies count bytes from source's position to this stream's position.
  // A count of 0 copies the whole of source from its beginning.
  int64_t CopyFrom(TStream& source, int64_t count);

protected:
  TStream() = default;
  TStream(const TStream&) = default;
  TStream& operator=(const TStream&) = default;
};

}  // namespace corvandel::runtime
