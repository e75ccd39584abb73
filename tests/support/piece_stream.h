#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "runtime/memory_stream.h"

namespace corvandel::xml::testing {

// Hands out at most `piece` bytes per read (all of them for 0), so that
// every buffer boundary of the reader is met at every place of the input.
class TPieceStream : public runtime::TMemoryStream {
public:
  TPieceStream(std::string_view bytes, std::size_t piece) : TMemoryStream(bytes), piece_(piece) {}
  std::size_t Read(void* buffer, std::size_t count) override {
    return TMemoryStream::Read(buffer, piece_ ? std::min(count, piece_) : count);
  }

private:
  std::size_t piece_;
};

}  // namespace corvandel::xml::testing
