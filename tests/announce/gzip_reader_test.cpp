#include <gtest/gtest.h>

#include <zlib.h>

#include <string>

#include "announce/gzip_reader.h"

namespace corvandel::announce {
namespace {

// One gzip member holding text, made with zlib itself.
std::string Compress(const std::string& text) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY), Z_OK);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

TEST(GzipReaderTest, EveryMemberOfAStreamIsRead) {
  const std::string first = "<urlset>" + std::string(300000, ' ');
  const std::string second = "<url><loc>https://a.example/</loc></url></urlset>";
  const std::string both = Compress(first) + Compress(second);
  ASSERT_TRUE(LooksGzipped(both));
  std::string out, error;
  ASSERT_TRUE(Gunzip(both, 1u << 20, out, error)) << error;
  EXPECT_EQ(out, first + second);
  // Exactly at the bound is within it.
  ASSERT_TRUE(Gunzip(both, first.size() + second.size(), out, error)) << error;
  EXPECT_TRUE(Gunzip(Compress(""), 0, out, error)) << error;
  EXPECT_EQ(out, "");
  EXPECT_FALSE(LooksGzipped("<urlset"));
}

TEST(GzipReaderTest, ABombStopsAtTheBound) {
  // 64 MiB of zeros compress to some 64 KiB; the read stops at 1 MiB.
  const std::string bomb = Compress(std::string(64u << 20, '\0'));
  std::string out, error;
  EXPECT_FALSE(Gunzip(bomb, 1u << 20, out, error));
  EXPECT_EQ(error, "the gzip data decompresses to more than 1048576 bytes");
  EXPECT_LE(out.capacity(), (1u << 20) + 64);
  EXPECT_FALSE(Gunzip(Compress("ab"), 1, out, error));
}

TEST(GzipReaderTest, DamagedDataIsRefusedWithAReason) {
  const std::string good = Compress(std::string(10000, 'x') + "tail");
  std::string out, error;
  struct TCase {
    std::string Bytes;
    std::string Reason;
  };
  std::string corrupt = good;
  corrupt[12] = static_cast<char>(corrupt[12] ^ 0x55);
  std::string badCheck = good;
  badCheck[badCheck.size() - 6] = static_cast<char>(badCheck[badCheck.size() - 6] ^ 1);
  const TCase cases[] = {
      {good.substr(0, good.size() / 2), "the gzip data ends early"},
      {good.substr(0, good.size() - 1), "the gzip data ends early"},
      {good.substr(0, 2), "the gzip data ends early"},
      {corrupt, "the gzip data is corrupt: "},
      {badCheck, "the gzip data is corrupt: incorrect data check"},
      {good + "junk", "the gzip data has 4 bytes of trailing garbage after its end"},
      {"plain text", "not gzip data: it does not start with 1f 8b"},
  };
  for (const TCase& c : cases) {
    EXPECT_FALSE(Gunzip(c.Bytes, 1u << 20, out, error)) << c.Reason;
    EXPECT_EQ(error.substr(0, c.Reason.size()), c.Reason);
  }
}

}  // namespace
}  // namespace corvandel::announce
