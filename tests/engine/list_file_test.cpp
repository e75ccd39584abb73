#include "engine/list_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "runtime/stream.h"

namespace corvandel::engine {
namespace {

using namespace std::string_literals;
using TLines = std::vector<std::string>;

TEST(ListFileTest, LinesAsUsersWriteThem) {
  constexpr TListReadOptions kAsIs{};
  constexpr TListReadOptions kSites{true, false};
  constexpr TListReadOptions kCommented{true, true};
  constexpr TListReadOptions kCommentsOnly{false, true};
  struct Case {
    std::string text;
    TListReadOptions options;
    TLines entries;
  };
  const Case cases[] = {
      {"", kAsIs, {}},
      {"a\r\nb\r\n", kAsIs, {"a", "b"}},
      {"a\nb\n", kAsIs, {"a", "b"}},
      {"a\rb\r", kAsIs, {"a", "b"}},
      {"a\r\nb", kAsIs, {"a", "b"}},                   // last line without an end
      {"a\n\r\nb", kAsIs, {"a", "", "b"}},            // an empty line inside
      {"a\n\rb", kAsIs, {"a", "", "b"}},              // LF CR ends two lines
      {"\r\n", kAsIs, {""}},
      {"\n\n", kAsIs, {"", ""}},
      {"a\r\r\nb", kAsIs, {"a", "", "b"}},
      {"a\r\nb\0c\r\nd"s, kAsIs, {"a", "b"}},         // NUL ends the text
      {"\0a"s, kAsIs, {}},
      {" a \tb\r\n a \r\n", kAsIs, {" a \tb", " a "}},  // no trimming
      {"dup\ndup\n", kAsIs, {"dup", "dup"}},
      {"\xC3\xA9t\xE9\n", kAsIs, {"\xC3\xA9t\xE9"}},  // bytes as they are
      {"#a\n", kAsIs, {"#a"}},
      // A UTF-8 byte order mark is no part of the first line, and only there.
      {"\xEF\xBB\xBF" "a\nb", kAsIs, {"a", "b"}},
      {"\xEF\xBB\xBF", kAsIs, {}},
      {"\xEF\xBB", kAsIs, {"\xEF\xBB"}},
      {"a\n\xEF\xBB\xBF" "b", kAsIs, {"a", "\xEF\xBB\xBF" "b"}},
      {"\xEF\xBB\xBF#c\nd", kCommentsOnly, {"d"}},
      // Empty lines and comments, where asked for.
      {"a\n\n\r\nb\n", kSites, {"a", "b"}},
      {"#c\n a\n\n#\n# x\nb#\n", kCommented, {" a", "b#"}},
      {"#c\n\nb\n", kCommentsOnly, {"", "b"}},
      // UTF-16 in both byte orders, decoded; a NUL still ends the text.
      {"\xFF\xFE" "a\0\r\0\n\0\xE9\0=\xD8\x00\xDE\n\0"s, kAsIs, {"a", "\xC3\xA9\xF0\x9F\x98\x80"}},
      {"\xFE\xFF\0a\0\n\0\n\0b"s, kAsIs, {"a", "", "b"}},
      {"\xFE\xFF\0a\0\n\0\n\0b"s, kSites, {"a", "b"}},
      {"\xFE\xFF\0#\0\n\0b"s, kCommented, {"b"}},
      {"\xFF\xFE" "a\0\0\0\x00\xD8"s, kAsIs, {"a"}},  // nothing after the NUL is looked at
      {"\xFF\xFE", kAsIs, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ParseListText(c.text, c.options), c.entries) << testing::PrintToString(c.text);
}

TEST(ListFileTest, MalformedUTF16IsRefusedWithItsReason) {
  const struct {
    std::string text;
    std::string reason;
  } cases[] = {
      {"\xFF\xFE" "a\0b"s, "odd number of bytes"},
      {"\xFF\xFE" "a\0\n\0\x00\xD8" "b\0"s, "Line 2 holds a lone UTF-16 surrogate"},   // high, then no low
      {"\xFF\xFE\x00\xDC"s, "Line 1 holds a lone UTF-16 surrogate"},                  // low alone
      {"\xFE\xFF\xD8\x00"s, "Line 1 holds a lone UTF-16 surrogate"},                  // high at the end
      {"\xFE\xFF\xD8\x00\xD8\x00\xDC\x00"s, "Line 1 holds a lone UTF-16 surrogate"},  // two highs
  };
  for (const auto& c : cases) {
    try {
      ParseListText(c.text);
      ADD_FAILURE() << "read: " << testing::PrintToString(c.text);
    } catch (const runtime::EStreamError& e) {
      EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
    }
  }
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

TEST_F(ListFileOnDiskTest, UTF16FileIsDecodedAcrossReadBlocks) {
  // Lines of 100 characters, then a surrogate pair whose halves fall into
  // two read blocks, and a refused file that names itself.
  std::u16string text = u"\uFEFF";
  std::string decoded;
  while (text.size() < 64 * 1024 / 2 - 1) {
    const char c = text.size() % 100 == 99 ? '\n' : 'x';
    text += static_cast<char16_t>(c);
    decoded += c;
  }
  text += u"\U0001F600\r\nlast";
  decoded += "\xF0\x9F\x98\x80\r\nlast";
  std::string bytes;
  for (const char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  std::ofstream(path_, std::ios::binary) << bytes;
  EXPECT_EQ(ReadListFile(path_, {true, true}), ParseListText(decoded));
  std::ofstream(path_, std::ios::binary | std::ios::app) << "x";
  try {
    ReadListFile(path_);
    FAIL() << "read";
  } catch (const runtime::EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + path_ + "\". It is UTF-16 text with an odd number of bytes."),
              std::string::npos)
        << e.what();
  }
}

TEST_F(ListFileOnDiskTest, ListsLongerThanTheBoundAreRefused) {
  const std::string line = std::string(kMaxListLineLength - 1, 'x') + "\n";
  std::string text;
  text.reserve(kMaxListInputSize + 1);
  while (text.size() < kMaxListInputSize) text += line;
  ASSERT_EQ(text.size(), kMaxListInputSize);
  std::ofstream(path_, std::ios::binary) << text;
  EXPECT_EQ(ReadListFile(path_).size(), kMaxListInputSize / line.size());
  std::ofstream(path_, std::ios::binary | std::ios::app) << "y";
  try {
    ReadListFile(path_);
    FAIL() << "read";
  } catch (const runtime::EStreamError& e) {
    EXPECT_NE(std::string(e.what()).find("It is longer than 67108864 bytes."), std::string::npos) << e.what();
  }
}

TEST(ListFileTest, StreamIsReadToItsEndAndNamedInMessages) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = "\xEF\xBB\xBF#list\nb.example\n\nc.example\n" + std::string(kMaxListLineLength + 1, 'z');
  std::thread writer([&] {
    for (std::size_t at = 0; at < text.size();) {
      const ssize_t n = ::write(fds[1], text.data() + at, std::min<std::size_t>(7, text.size() - at));
      if (n <= 0) break;
      at += static_cast<std::size_t>(n);
    }
    ::close(fds[1]);
  });
  try {
    ReadListStream(fds[0], {true, true});
    ADD_FAILURE() << "read";
  } catch (const EListLineTooLong& e) {
    EXPECT_EQ(e.Line(), 5u);
    EXPECT_EQ(std::string(e.what()), "Cannot read standard input. Line 5 is longer than 8192 bytes.");
  }
  ::close(fds[0]);
  writer.join();

  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], "\xEF\xBB\xBF" "a\n#b\n\nc", 10), 10);
  ::close(fds[1]);
  EXPECT_EQ(ReadListStream(fds[0], {true, true}), (TLines{"a", "c"}));
  ::close(fds[0]);
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
