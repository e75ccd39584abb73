#include "runtime/stream.h"

#include <algorithm>
#include <array>

namespace corvandel::runtime {

int64_t TStream::Size() {
  const int64_t position = Position();
  const int64_t size = Seek(0, TSeekOrigin::End);
  Seek(position, TSeekOrigin::Beginning);
  return size;
}

void TStream::ReadBuffer(void* buffer, std::size_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EStreamError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, std::size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EStreamError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  std::array<char, 64 * 1024> block;
  int64_t left = count;
  while (left > 0) {
    const auto n = static_cast<std::size_t>(std::min<int64_t>(left, block.size()));
    source.ReadBuffer(block.data(), n);
    WriteBuffer(block.data(), n);
    left -= static_cast<int64_t>(n);
  }
  return count;
}

}  // namespace corvandel::runtime
