#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/stream.h"

namespace corvandel::runtime {

// A stream held in memory. Writing past the end grows it; the bytes between
// the old end and a position moved beyond it read as zero.
class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::string_view bytes);

  std::size_t Read(void* buffer, std::size_t count) override;
  std::size_t Write(const void* buffer, std::size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;

  // The whole content; valid until the next change of the stream.
  const char* Memory() const { return data_.data(); }
  char* Memory() { return data_.data(); }
  std::string_view View() const { return {data_.data(), data_.size()}; }
  std::string ToString() const { return std::string(View()); }

  // Empties the stream and rewinds it.
  void Clear();
  // Replaces the content with the whole of source; the position ends at 0.
  void LoadFromStream(TStream& source);
  void LoadFromFile(const std::string& fileName);
  void SaveToStream(TStream& target) const;
  void SaveToFile(const std::string& fileName) const;

private:
  std::vector<char> data_;
  std::size_t position_ = 0;
};

}  // namespace corvandel::runtime
