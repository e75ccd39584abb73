#include "engine/list_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

class ListFileSaveTest : public testing::Test {
protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("corvandel-save-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  static std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  static struct stat Status(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status;
  }
  std::filesystem::path dir_;
};

TEST_F(ListFileSaveTest, SaveKeepsWhatTheFileWas) {
  // Through a symbolic link (relative, two hops) to the real list.
  WriteListFile(Path("real.txt"), {"old.example"});
  std::filesystem::create_symlink("real.txt", Path("hop"));
  std::filesystem::create_symlink(Path("hop"), Path("link.txt"));
  WriteListFile(Path("link.txt"), {"new.example"});
  EXPECT_TRUE(S_ISLNK(Status(Path("link.txt")).st_mode));
  EXPECT_EQ(Contents(Path("real.txt")), "new.example\r\n");
  // A link to a missing file creates that file.
  std::filesystem::create_symlink("later.txt", Path("dangling"));
  WriteListFile(Path("dangling"), {"a"});
  EXPECT_EQ(Contents(Path("later.txt")), "a\r\n");

  // Permission bits, odd ones included.
  for (mode_t mode : {0600, 0640, 0604}) {
    ASSERT_EQ(::chmod(Path("real.txt").c_str(), mode), 0);
    WriteListFile(Path("real.txt"), {"m" + std::to_string(mode)});
    EXPECT_EQ(Status(Path("real.txt")).st_mode & 07777, mode);
  }

  // Hard links go on sharing the file.
  ASSERT_EQ(::link(Path("real.txt").c_str(), Path("other-name.txt").c_str()), 0);
  WriteListFile(Path("real.txt"), {"shared.example", "longer than before"});
  WriteListFile(Path("real.txt"), {"short"});
  EXPECT_EQ(Contents(Path("other-name.txt")), "short\r\n");
  EXPECT_EQ(Status(Path("other-name.txt")).st_nlink, 2u);

  // A file in the way of the temporary name is never touched.
  WriteListFile(Path("sites.txt"), {"first"});
  std::ofstream(Path("sites.txt.saving"), std::ios::binary) << "precious";
  std::filesystem::create_directory(Path("sites.txt.saving2"));
  WriteListFile(Path("sites.txt"), {"second"});
  EXPECT_EQ(Contents(Path("sites.txt")), "second\r\n");
  EXPECT_EQ(Contents(Path("sites.txt.saving")), "precious");
  EXPECT_TRUE(std::filesystem::is_directory(Path("sites.txt.saving2")));
  EXPECT_FALSE(std::filesystem::exists(Path("sites.txt.saving3")));

  // A new file gets the ordinary mode of new files.
  const mode_t mask = ::umask(0022);
  WriteListFile(Path("fresh.txt"), {"x"});
  ::umask(mask);
  EXPECT_EQ(Status(Path("fresh.txt")).st_mode & 07777, 0644u);
}

// Where no file can be made beside the list but the list is writable, the
// list is rewritten in place. Root may write any directory, so the save
// runs as another user then.
TEST_F(ListFileSaveTest, ReadOnlyDirectoryRewritesTheFileInPlace) {
  const std::string list = Path("sites.txt");
  WriteListFile(list, {"one.example", "two.example", "three.example"});
  const ino_t inode = Status(list).st_ino;
  const bool root = ::geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  if (root) {
    ASSERT_EQ(::chown(list.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(::chmod(dir_.c_str(), 0555), 0);

  auto save = [&] {
    try {
      WriteListFile(list, {"replaced.example"});
      return 0;
    } catch (const runtime::EStreamError&) {
      return 1;
    }
  };
  if (root) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
      ::_exit(save());
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
  } else {
    ASSERT_EQ(save(), 0);
  }
  EXPECT_EQ(Contents(list), "replaced.example\r\n");
  EXPECT_EQ(Status(list).st_ino, inode);
  EXPECT_EQ(std::filesystem::directory_iterator(dir_)->path().filename(), "sites.txt");
}

TEST_F(ListFileSaveTest, FilesThatAreNoListsAreRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo(Path("fifo").c_str(), 0600), 0);
  EXPECT_THROW(ReadListFile(Path("fifo")), runtime::EStreamError);
  EXPECT_THROW(WriteListFile(Path("fifo"), {"a"}), runtime::EStreamError);
  EXPECT_THROW(ReadListFile(dir_.string()), runtime::EStreamError);
  EXPECT_THROW(WriteListFile(dir_.string(), {"a"}), runtime::EStreamError);
  // The kernel's files are no lists, even where they are writable.
  const std::string comm = Contents("/proc/self/comm");
  EXPECT_THROW(WriteListFile("/proc/self/comm", {"renamed"}), runtime::EStreamError);
  EXPECT_EQ(Contents("/proc/self/comm"), comm);
  EXPECT_THROW(WriteListFile("/proc/corvandel-list.txt", {"a"}), runtime::EStreamError);
}

TEST_F(ListFileSaveTest, OverlongLineRefusesTheFile) {
  const std::string line(kMaxListLineLength, 'x');
  WriteListFile(Path("edge.txt"), {"first", line});
  EXPECT_EQ(ReadListFile(Path("edge.txt")), (TLines{"first", line}));
  // Past the limit, also where the line crosses read blocks or follows a CR.
  std::string blockFull;
  for (int i = 0; i < 655; ++i) blockFull += std::string(99, 's') + "\n";
  const struct {
    std::string text;
    std::size_t line;
  } cases[] = {{"first\r\n" + line + "x\r\n", 2}, {"a\r" + std::string(200000, 'y'), 2},
               {blockFull + line + "x", 656}};
  for (const auto& c : cases) {
    std::ofstream(Path("long.txt"), std::ios::binary | std::ios::trunc) << c.text;
    try {
      ReadListFile(Path("long.txt"));
      ADD_FAILURE() << "read whole";
    } catch (const EListLineTooLong& e) {
      EXPECT_EQ(e.Line(), c.line);
      const std::string expected =
          "\"" + Path("long.txt") + "\". Line " + std::to_string(c.line) + " is longer than 8192 bytes";
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
}

}  // namespace
}  // namespace corvandel::engine
