#include "runtime/memory_stream.h"

#include <algorithm>
#include <cstring>

#include "runtime/file_stream.h"

namespace corvandel::runtime {

TMemoryStream::TMemoryStream(std::string_view bytes) : data_(bytes.begin(), bytes.end()) {}

std::size_t TMemoryStream::Read(void* buffer, std::size_t count) {
  if (position_ >= data_.size()) return 0;
  const std::size_t n = std::min(count, data_.size() - position_);
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += n;
  return n;
}

std::size_t TMemoryStream::Write(const void* buffer, std::size_t count) {
  if (count == 0) return 0;
  const std::size_t end = position_ + count;
  if (end > data_.size()) {
    // Grow geometrically: many small appends must stay linear in total.
    if (end > data_.capacity()) data_.reserve(std::max(end, data_.capacity() * 2));
    data_.resize(end);
  }
  std::memcpy(data_.data() + position_, buffer, count);
  position_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = 0;
  switch (origin) {
    case TSeekOrigin::Beginning: base = 0; break;
    case TSeekOrigin::Current: base = static_cast<int64_t>(position_); break;
    case TSeekOrigin::End: base = static_cast<int64_t>(data_.size()); break;
  }
  const int64_t target = base + offset;
  if (target < 0) throw EStreamError("Seek before the start of a memory stream");
  position_ = static_cast<std::size_t>(target);
  return target;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Negative memory stream size");
  data_.resize(static_cast<std::size_t>(size));
  position_ = std::min(position_, data_.size());
}

void TMemoryStream::Clear() {
  data_.clear();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  SetSize(size);
  source.ReadBuffer(data_.data(), data_.size());
  position_ = 0;
}

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream file(fileName, TFileMode::OpenRead);
  LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& target) const { target.WriteBuffer(data_.data(), data_.size()); }

void TMemoryStream::SaveToFile(const std::string& fileName) const {
  TFileStream file(fileName, TFileMode::Create);
  SaveToStream(file);
}

}  // namespace corvandel::runtime
