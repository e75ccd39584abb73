#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "runtime/file_stream.h"
#include "runtime/memory_stream.h"

namespace corvandel::runtime {
namespace {

TEST(MemoryStreamTest, ReadsWritesSeeksAndGrows) {
  TMemoryStream stream;
  stream.WriteText("hello");
  EXPECT_EQ(stream.Position(), 5);
  EXPECT_EQ(stream.Size(), 5);
  stream.SetPosition(1);
  stream.WriteText("EL");
  EXPECT_EQ(stream.ToString(), "hELlo");

  stream.Seek(2, TSeekOrigin::End);  // writing past the end fills with zeros
  stream.WriteText("!");
  EXPECT_EQ(stream.ToString(), std::string("hELlo\0\0!", 8));

  char buffer[16];
  stream.SetPosition(6);
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 2u);
  EXPECT_EQ(stream.Read(buffer, sizeof buffer), 0u);
  stream.SetPosition(0);
  EXPECT_THROW(stream.ReadBuffer(buffer, 9), EStreamError);
  EXPECT_THROW(stream.Seek(-1, TSeekOrigin::Beginning), EStreamError);

  stream.SetSize(2);
  EXPECT_EQ(stream.ToString(), "hE");
  EXPECT_LE(stream.Position(), 2);
  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Position(), 0);
}

TEST(MemoryStreamTest, CopyFromTakesCountOrWholeSource) {
  TMemoryStream source("0123456789");
  TMemoryStream target;
  source.SetPosition(3);
  EXPECT_EQ(target.CopyFrom(source, 4), 4);
  EXPECT_EQ(target.ToString(), "3456");
  EXPECT_EQ(target.CopyFrom(source, 0), 10);  // whole source, from its start
  EXPECT_EQ(target.ToString(), "34560123456789");
  source.SetPosition(8);
  EXPECT_THROW(target.CopyFrom(source, 5), EStreamError);
}

class FileStreamTest : public ::testing::Test {
protected:
  void SetUp() override {
    path = std::filesystem::temp_directory_path() /
           ("corvandel-stream-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
  }
  void TearDown() override { std::filesystem::remove(path); }
  std::filesystem::path path;
};

TEST_F(FileStreamTest, CreatesReadsAndRoundTripsThroughMemory) {
  {
    TFileStream file(path.string(), TFileMode::Create);
    file.WriteText("line 1\r\nline 2\r\n");
    EXPECT_EQ(file.Size(), 16);
  }
  TMemoryStream memory;
  memory.LoadFromFile(path.string());
  EXPECT_EQ(memory.ToString(), "line 1\r\nline 2\r\n");
  EXPECT_EQ(memory.Position(), 0);

  memory.SetSize(6);
  memory.SaveToFile(path.string());
  TFileStream file(path.string(), TFileMode::OpenRead);
  char buffer[8] = {};
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 6u);
  EXPECT_EQ(std::string(buffer, 6), "line 1");
  EXPECT_THROW(file.WriteText("x"), EStreamError);
}

TEST_F(FileStreamTest, OpeningAMissingFileNamesFileAndReason) {
  try {
    TFileStream file(path.string(), TFileMode::OpenRead);
    FAIL() << "opened a missing file";
  } catch (const EStreamError& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + path.string() + "\". No such file or directory");
  }
}

}  // namespace
}  // namespace corvandel::runtime
