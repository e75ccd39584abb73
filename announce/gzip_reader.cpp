#include "announce/gzip_reader.h"

#include <zlib.h>

#include <algorithm>
#include <string>

namespace corvandel::announce {
namespace {

// The output grows by doubling from here, so that a small file costs a
// small buffer and a large one a few reallocations.
constexpr std::size_t kFirstOutputStep = 64 * 1024;
// zlib counts in uInt; every call is handed at most this much either way.
constexpr std::size_t kMaxCallBytes = 1u << 30;

// Owns one inflate state; ends it whatever way the reading leaves.
class TInflater {
public:
  TInflater() = default;
  ~TInflater() {
    if (ready_) inflateEnd(&stream_);
  }
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  bool Start() {
    ready_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
    return ready_;
  }
  z_stream& Stream() { return stream_; }

private:
  z_stream stream_{};
  bool ready_ = false;
};

std::string ZlibMessage(const z_stream& stream, int code) {
  if (stream.msg) return stream.msg;
  switch (code) {
    case Z_MEM_ERROR: return "out of memory";
    case Z_BUF_ERROR: return "no progress possible";
    case Z_STREAM_ERROR: return "inconsistent stream state";
    default: return "error " + std::to_string(code);
  }
}

}  // namespace

bool LooksGzipped(std::string_view bytes) {
  return bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0x1f &&
         static_cast<unsigned char>(bytes[1]) == 0x8b;
}

bool Gunzip(std::string_view compressed, std::size_t maxBytes, std::string& out, std::string& error) {
  out.clear();
  error = "the gzip data ends early";
  if (!LooksGzipped(compressed)) {
    error = "not gzip data: it does not start with 1f 8b";
    return false;
  }
  TInflater inflater;
  if (!inflater.Start()) {
    error = "the gzip reader could not start";
    return false;
  }
  z_stream& z = inflater.Stream();
  const auto* input = reinterpret_cast<const Bytef*>(compressed.data());
  std::size_t inputLeft = compressed.size();
  std::size_t produced = 0;
  unsigned char probe = 0;
  for (;;) {
    if (produced == out.size()) {
      if (produced >= maxBytes) {
        // Full to the bound: one more byte would pass it. Ask for exactly
        // one to tell a stream that ends here from one that goes on.
      } else {
        const std::size_t step = std::max(kFirstOutputStep, out.size());
        out.resize(std::min(maxBytes, out.size() + std::min(step, kMaxCallBytes)));
      }
    }
    const bool probing = produced >= maxBytes;
    if (probing) {
      z.next_out = &probe;
      z.avail_out = 1;
    } else {
      z.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
      z.avail_out = static_cast<uInt>(std::min(out.size() - produced, kMaxCallBytes));
    }
    const uInt offered = static_cast<uInt>(std::min(inputLeft, kMaxCallBytes));
    z.next_in = const_cast<Bytef*>(input);
    z.avail_in = offered;
    const uInt roomBefore = z.avail_out;
    const int code = inflate(&z, Z_NO_FLUSH);
    const std::size_t consumed = offered - z.avail_in;
    const std::size_t written = roomBefore - z.avail_out;
    input += consumed;
    inputLeft -= consumed;
    if (probing && written > 0) {
      out.clear();
      error = "the gzip data decompresses to more than " + std::to_string(maxBytes) + " bytes";
      return false;
    }
    produced += probing ? 0 : written;
    if (code == Z_STREAM_END) {
      if (inputLeft == 0) break;
      // Another member may follow; anything else after a member is refused.
      if (!LooksGzipped(std::string_view(reinterpret_cast<const char*>(input), inputLeft))) {
        out.clear();
        error = "the gzip data has " + std::to_string(inputLeft) + " bytes of trailing garbage after its end";
        return false;
      }
      if (inflateReset(&z) != Z_OK) {
        out.clear();
        error = "the gzip reader could not start the next member";
        return false;
      }
      continue;
    }
    if (code == Z_NEED_DICT || code == Z_DATA_ERROR || code == Z_MEM_ERROR || code == Z_STREAM_ERROR) {
      error = "the gzip data is corrupt: " + ZlibMessage(z, code);
      out.clear();
      return false;
    }
    // Z_OK or Z_BUF_ERROR: with all input taken and room left, it ends early.
    if (inputLeft == 0 && z.avail_out > 0 && consumed == 0 && written == 0) {
      out.clear();
      error = "the gzip data ends early";
      return false;
    }
  }
  out.resize(produced);
  error.clear();
  return true;
}

}  // namespace corvandel::announce
