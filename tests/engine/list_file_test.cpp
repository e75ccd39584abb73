#include "engine/list_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "runtime/stream.h"

namespace corvandel::engine {
namespace {

using namespace std::string_literals;
using TLines = std::vector<std::string>;

TEST(ListFileTest, LineEndsNulAndEmptyLines) {
  struct Case {
    std::string text;
    TLines entries;
  };
  const Case cases[] = {
      {"", {}},
      {"a\r\nb\r\n", {"a", "b"}},
      {"a\nb\n", {"a", "b"}},
      {"a\rb\r", {"a", "b"}},
      {"a\r\nb", {"a", "b"}},                   // last line without an end
      {"a\n\r\nb", {"a", "", "b"}},            // an empty line inside
      {"a\n\rb", {"a", "", "b"}},              // LF CR ends two lines
      {"\r\n", {""}},
      {"\n\n", {"", ""}},
      {"a\r\r\nb", {"a", "", "b"}},
      {"a\r\nb\0c\r\nd"s, {"a", "b"}},         // NUL ends the text
      {"\0a"s, {}},
      {" a \tb\r\n a \r\n", {" a \tb", " a "}},  // no trimming
      {"dup\ndup\n", {"dup", "dup"}},
      {"\xC3\xA9t\xE9\n", {"\xC3\xA9t\xE9"}},  // bytes as they are
  };
  for (const Case& c : cases) EXPECT_EQ(ParseListText(c.text), c.entries) << testing::PrintToString(c.text);
}

class ListFileOnDiskTest : public testing::Test {
protected:
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  const std::string path_ =
      (std::filesystem::temp_directory_path() / ("corvandel-list-" + std::to_string(::getpid()) + ".txt")).string();
};

TEST_F(ListFileOnDiskTest, WrittenListEndsEveryLineWithCRLFAndReadsBack) {
  const TLines sites = {"one.example", "", "three.example"};
  WriteListFile(path_, sites);
  std::ifstream in(path_, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, "one.example\r\n\r\nthree.example\r\n");
  EXPECT_EQ(ReadListFile(path_), sites);
  WriteListFile(path_, {});
  EXPECT_EQ(ReadListFile(path_), TLines{});
}

TEST_F(ListFileOnDiskTest, LongFileStopsAtItsNulAcrossReadBlocks) {
  // Past the reader's block size, with the NUL well after the first block.
  std::string text;
  TLines expected;
  for (int i = 0; text.size() < 200 * 1024; ++i) {
    expected.push_back("service" + std::to_string(i) + ".example/rpc");
    text += expected.back() + "\n";
  }
  text += "\0after.example\n"s;
  std::ofstream(path_, std::ios::binary) << text;
  EXPECT_EQ(ReadListFile(path_), expected);
}

TEST(ListFileTest, MissingFileRaisesWithItsName) {
  try {
    ReadListFile("/nonexistent/corvandel/PingServices.txt");
    FAIL() << "no error";
  } catch (const runtime::EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find("/nonexistent/corvandel/PingServices.txt"), std::string::npos);
  }
  EXPECT_THROW(WriteListFile("/nonexistent/corvandel/sites.txt", {"a"}), runtime::EStreamError);
}

}  // namespace
}  // namespace corvandel::engine

namespace corvandel::engine {
namespace {

TEST(ListFileSaveTest, FailedSaveKeepsTheExistingFile) {
  const std::filesystem::path directory =
      std::filesystem::temp_directory_path() / ("corvandel-save-" + std::to_string(::getpid()));
  std::filesystem::create_directories(directory);
  const std::string target = (directory / "sites.txt").string();
  WriteListFile(target, {"first.example", "second.example"});
  EXPECT_EQ(ReadListFile(target), (std::vector<std::string>{"first.example", "second.example"}));

  // A directory in the way of the temporary file makes the save fail.
  std::filesystem::create_directory(target + ".saving");
  EXPECT_THROW(WriteListFile(target, {"replacement"}), runtime::EStreamError);
  EXPECT_EQ(ReadListFile(target), (std::vector<std::string>{"first.example", "second.example"}));
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace corvandel::engine
