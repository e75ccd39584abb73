#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ledger/memory_ledger.h"
#include "ledger/sqlite_ledger.h"

namespace corvandel::ledger {
namespace {

namespace fs = std::filesystem;

TTime At(int64_t ms) { return TTime(std::chrono::milliseconds(ms)); }

// A folder of the test's own, removed with everything in it.
class TTempFolder {
public:
  TTempFolder() {
    std::string pattern = (fs::temp_directory_path() / "corvandel-ledger-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TTempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  std::string File(const std::string& name) const { return (path_ / name).string(); }
  // The names in the folder, each with its size and a hash of its bytes.
  std::vector<std::string> Contents() const {
    std::vector<std::string> contents;
    for (const auto& entry : fs::directory_iterator(path_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      const std::string bytes(std::istreambuf_iterator<char>(in), {});
      contents.push_back(entry.path().filename().string() + " " + std::to_string(bytes.size()) + " " +
                         std::to_string(std::hash<std::string>{}(bytes)));
    }
    std::sort(contents.begin(), contents.end());
    return contents;
  }

private:
  fs::path path_;
};

void RawSQL(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
  sqlite3_close(db);
}

std::string RawText(const std::string& path, const char* sql) {
  sqlite3* db = nullptr;
  std::string text;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_exec(
        db, sql,
        [](void* out, int, char** values, char**) {
          *static_cast<std::string*>(out) += values[0] ? values[0] : "NULL";
          return 0;
        },
        &text, nullptr);
  }
  sqlite3_close(db);
  return text;
}

TCallRecord Call(std::string service, std::string site, bool success, int64_t started,
                 std::vector<TCarriedURL> urls = {}) {
  TCallRecord call;
  call.Run = 1;
  call.Service = std::move(service);
  call.Kind = "xmlrpc";
  call.Site = std::move(site);
  call.URLs = std::move(urls);
  call.Success = success;
  call.Code = success ? 200 : 503;
  call.Started = At(started);
  return call;
}

std::vector<TCallRecord> Calls(TLedger& ledger, const TCallFilter& filter = {}) {
  std::vector<TCallRecord> calls;
  ledger.ForEachCall(filter, [&](const TCallRecord& call) { calls.push_back(call); });
  return calls;
}

std::optional<TAnnouncement> Last(TLedger& ledger, std::string_view service, const std::string& url) {
  std::vector<std::optional<TAnnouncement>> found;
  ledger.LastAnnouncements(service, std::span(&url, 1), found);
  return found.at(0);
}

struct TMemoryStore {
  static std::unique_ptr<TLedger> Open(const TTempFolder&) { return std::make_unique<TMemoryLedger>(); }
  static std::unique_ptr<TLedger> Reopen(const TTempFolder&, std::unique_ptr<TLedger> ledger) { return ledger; }
};

struct TSQLiteStore {
  static std::unique_ptr<TLedger> Open(const TTempFolder& folder) {
    return OpenSQLiteLedger(folder.File("ledger.db"), TOpenMode::ReadWrite);
  }
  static std::unique_ptr<TLedger> Reopen(const TTempFolder& folder, std::unique_ptr<TLedger> ledger) {
    ledger.reset();
    return Open(folder);
  }
};

// The store's guarantees, read back after a reopen so that the SQLite
// store shows it kept them on disk.
template <class TStore>
class LedgerTest : public ::testing::Test {
protected:
  void Reopen() { ledger = TStore::Reopen(folder, std::move(ledger)); }

  TTempFolder folder;
  std::unique_ptr<TLedger> ledger = TStore::Open(folder);
};

using TStores = ::testing::Types<TMemoryStore, TSQLiteStore>;
TYPED_TEST_SUITE(LedgerTest, TStores);

TYPED_TEST(LedgerTest, SuccessSettlesSiteAndEachURLWithItsDate) {
  this->ledger->RecordCall(Call("rpc", "https://a.example/", true, 1000,
                                {{"https://a.example/p1", At(100)}, {"https://a.example/", At(200)},
                                 {"https://a.example/p2", std::nullopt}}));
  this->ledger->RecordCall(Call("rpc", "https://b.example/", true, 2000, {{"https://b.example/p", At(5)}}));
  this->Reopen();

  const std::vector<std::string> urls = {"https://a.example/",  "https://a.example/p1", "https://a.example/p2",
                                         "https://b.example/",  "https://b.example/p",  "https://c.example/"};
  const std::vector<std::optional<TAnnouncement>> expected = {
      TAnnouncement{At(1000), At(200)},      TAnnouncement{At(1000), At(100)}, TAnnouncement{At(1000), std::nullopt},
      TAnnouncement{At(2000), std::nullopt}, TAnnouncement{At(2000), At(5)},   std::nullopt};
  std::vector<std::optional<TAnnouncement>> found;
  this->ledger->LastAnnouncements("rpc", urls, found);
  EXPECT_EQ(found, expected);
  this->ledger->LastAnnouncements("rpc2", urls, found);  // another line, however alike
  EXPECT_EQ(found, std::vector<std::optional<TAnnouncement>>(urls.size()));
}

TYPED_TEST(LedgerTest, FailureIsRecordedAndSettlesNothing) {
  this->ledger->RecordCall(Call("rpc", "https://a.example/", true, 1000, {{"https://a.example/p", At(100)}}));
  this->ledger->RecordCall(Call("rpc", "https://a.example/", false, 2000,
                                {{"https://a.example/p", At(300)}, {"https://a.example/new", At(300)}}));
  this->Reopen();
  EXPECT_EQ(Last(*this->ledger, "rpc", "https://a.example/p"), (TAnnouncement{At(1000), At(100)}));
  EXPECT_EQ(Last(*this->ledger, "rpc", "https://a.example/"), (TAnnouncement{At(1000), std::nullopt}));
  EXPECT_EQ(Last(*this->ledger, "rpc", "https://a.example/new"), std::nullopt);
  const auto calls = Calls(*this->ledger);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_FALSE(calls[1].Success);
}

TYPED_TEST(LedgerTest, LaterSuccessReplacesButOneThatStartedEarlierDoesNot) {
  const std::string page = "https://a.example/p";
  this->ledger->RecordCall(Call("rpc", page, true, 2000, {{page, At(20)}}));
  this->ledger->RecordCall(Call("rpc", page, true, 3000, {{page, std::nullopt}}));
  EXPECT_EQ(Last(*this->ledger, "rpc", page), (TAnnouncement{At(3000), std::nullopt}));
  this->ledger->RecordCall(Call("rpc", page, true, 2500, {{page, At(25)}}));  // finished last, began before
  this->Reopen();
  EXPECT_EQ(Last(*this->ledger, "rpc", page), (TAnnouncement{At(3000), std::nullopt}));
}

TYPED_TEST(LedgerTest, ListsWholeCallsOldestFirstThenInRecordingOrder) {
  TCallRecord rich = Call("https://ping.example/RPC2", "https://a.example/", false, 100,
                          {{"https://a.example/z", At(9)}, {"https://a.example/a", std::nullopt}});
  rich.Run = 7;
  rich.Kind = "indexnow";
  rich.Code = -3;
  rich.Answer = std::string("caf\xc3\xa9\0tail", 10);
  rich.Reason = "The service answered 503.";
  rich.Elapsed = std::chrono::microseconds(1'234'567);
  this->ledger->RecordCall(Call("rpc", "c", true, 300));
  this->ledger->RecordCall(rich);
  this->ledger->RecordCall(Call("rpc", "b", true, 200));
  this->ledger->RecordCall(Call("rpc", "d", true, 100));
  this->Reopen();
  const auto calls = Calls(*this->ledger);
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0], rich);
  std::vector<std::string> sites;
  for (const auto& call : calls) sites.push_back(call.Site);
  EXPECT_EQ(sites, (std::vector<std::string>{"https://a.example/", "d", "b", "c"}));
}

TYPED_TEST(LedgerTest, FiltersBySinceAndByPlainServiceText) {
  this->ledger->RecordCall(Call("https://a.example/RPC2", "a", true, 100));
  this->ledger->RecordCall(Call("50%_off ping", "b", true, 200));
  this->ledger->RecordCall(Call("https://c.example/rpc", "c", true, 300));
  struct TCase {
    std::optional<int64_t> Since;
    std::string Service;
    std::string Sites;
  };
  const TCase cases[] = {
      {std::nullopt, "", "abc"}, {std::nullopt, "example", "ac"}, {std::nullopt, "%", "b"},
      {std::nullopt, "_", "b"},  {std::nullopt, "RPC", "a"},      {std::nullopt, "a%b", ""},
      {200, "", "bc"},           {201, "", "c"},                  {200, "example", "c"},
  };
  for (const TCase& c : cases) {
    TCallFilter filter;
    if (c.Since) filter.Since = At(*c.Since);
    filter.Service = c.Service;
    std::string sites;
    for (const auto& call : Calls(*this->ledger, filter)) sites += call.Site;
    EXPECT_EQ(sites, c.Sites) << "since " << c.Since.value_or(-1) << ", service \"" << c.Service << "\"";
  }
}

TYPED_TEST(LedgerTest, RunNumbersGrow) {
  const int64_t first = this->ledger->BeginRun(At(1));
  const int64_t second = this->ledger->BeginRun(At(2));
  EXPECT_LT(first, second);
  this->Reopen();
  EXPECT_LT(second, this->ledger->BeginRun(At(3)));
}

TYPED_TEST(LedgerTest, LaterHoldReplacesEarlierOne) {
  EXPECT_EQ(this->ledger->HeldUntil("https://x.example/"), std::nullopt);
  this->ledger->HoldUntil("https://x.example/", At(500));
  this->ledger->HoldUntil("https://y.example/", At(100));
  this->ledger->HoldUntil("https://x.example/", At(300));
  this->Reopen();
  EXPECT_EQ(this->ledger->HeldUntil("https://x.example/"), At(300));
  EXPECT_EQ(this->ledger->HeldUntil("https://y.example/"), At(100));
}

TYPED_TEST(LedgerTest, VisitorCallingBackIsRefused) {
  this->ledger->RecordCall(Call("rpc", "a", true, 100));
  EXPECT_THROW(this->ledger->ForEachCall({}, [&](const TCallRecord&) { this->ledger->RecordCall(Call("rpc", "b", true, 1)); }),
               ELedgerError);
  this->ledger->RecordCall(Call("rpc", "c", true, 200));
  EXPECT_EQ(Calls(*this->ledger).size(), 2u);
}

// Runs body in a child process; its exit status is body's result.
pid_t Spawn(const std::function<int()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    int status = 1;
    try {
      status = body();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "%s\n", error.what());
    }
    ::_exit(status);
  }
  return child;
}

int ExitStatus(pid_t child) {
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class SQLiteLedgerTest : public ::testing::Test {
protected:
  // Every call is whole: it has the URLs it was recorded with.
  void ExpectWholeCalls(std::size_t atLeast, std::size_t urlsEach) {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
    const auto calls = Calls(*ledger);
    EXPECT_GE(calls.size(), atLeast);
    for (const auto& call : calls) EXPECT_EQ(call.URLs.size(), urlsEach) << call.Site;
    EXPECT_EQ(RawText(path, "PRAGMA integrity_check"), "ok");
  }

  TTempFolder folder;
  std::string path = folder.File("ledger.db");
};

TCallRecord Numbered(int i) {
  return Call("rpc", "https://a.example/" + std::to_string(i), true, i,
              {{"https://a.example/" + std::to_string(i) + "/1", At(i)}, {"https://a.example/shared", std::nullopt}});
}

TEST_F(SQLiteLedgerTest, KilledWriterKeepsEveryAcknowledgedCall) {
  int acks[2];
  ASSERT_EQ(::pipe(acks), 0);
  const pid_t child = Spawn([&] {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
    for (int i = 0;; ++i) {
      ledger->RecordCall(Numbered(i));
      if (::write(acks[1], "+", 1) != 1) return 1;
    }
  });
  ::close(acks[1]);
  constexpr std::size_t kAcksBeforeKill = 50;
  std::size_t acknowledged = 0;
  char byte = 0;
  while (acknowledged < kAcksBeforeKill && ::read(acks[0], &byte, 1) == 1) ++acknowledged;
  ::kill(child, SIGKILL);
  ExitStatus(child);
  while (::read(acks[0], &byte, 1) == 1) ++acknowledged;
  ::close(acks[0]);
  ASSERT_GE(acknowledged, kAcksBeforeKill);

  ExpectWholeCalls(acknowledged, 2);
  auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadOnly);
  for (std::size_t i = 0; i < acknowledged; ++i)
    EXPECT_EQ(Last(*ledger, "rpc", "https://a.example/" + std::to_string(i)),
              (TAnnouncement{At(static_cast<int64_t>(i)), std::nullopt}));
}

// Each writer opens the ledger itself (the first may create it under the
// other), begins a run and records its calls.
constexpr int kCallsEach = 200;
void WriteNumbered(const std::string& path) {
  auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
  const int64_t run = ledger->BeginRun(Now());
  for (int i = 0; i < kCallsEach; ++i) {
    TCallRecord call = Numbered(i);
    call.Run = run;
    ledger->RecordCall(call);
  }
}

void ExpectBothWritersKept(const std::string& path) {
  auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadOnly);
  std::multiset<int64_t> runs;
  for (const auto& call : Calls(*ledger)) runs.insert(call.Run);
  EXPECT_EQ(runs.size(), 2u * kCallsEach);
  EXPECT_EQ(std::set<int64_t>(runs.begin(), runs.end()).size(), 2u);
}

TEST_F(SQLiteLedgerTest, TwoProcessesWriteAtOnceAndLoseNothing) {
  int start[2];
  ASSERT_EQ(::pipe(start), 0);
  auto writer = [&] {
    ::close(start[1]);
    char byte;
    while (::read(start[0], &byte, 1) > 0) {
    }  // both begin when the parent closes its end
    WriteNumbered(path);
    return 0;
  };
  const pid_t one = Spawn(writer);
  const pid_t two = Spawn(writer);
  ::close(start[0]);
  ::close(start[1]);
  EXPECT_EQ(ExitStatus(one), 0);
  EXPECT_EQ(ExitStatus(two), 0);
  ExpectWholeCalls(2 * kCallsEach, 2);
  ExpectBothWritersKept(path);
}

TEST_F(SQLiteLedgerTest, TwoConnectionsInThreadsWriteAtOnceAndLoseNothing) {
  std::vector<std::string> failures(2);
  std::vector<std::thread> writers;
  for (std::string& failure : failures)
    writers.emplace_back([&] {
      try {
        WriteNumbered(path);
      } catch (const std::exception& error) {
        failure = error.what();
      }
    });
  for (std::thread& writer : writers) writer.join();
  EXPECT_EQ(failures, std::vector<std::string>(2));
  ExpectWholeCalls(2 * kCallsEach, 2);
  ExpectBothWritersKept(path);
}

TEST_F(SQLiteLedgerTest, FullDiskFailsTheCallWholeAndNamesTheFile) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = Spawn([&] {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
    ledger->RecordCall(Numbered(0));
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{256 * 1024, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
    std::string text;
    try {
      for (int i = 1; i < 10'000; ++i) {
        TCallRecord call = Numbered(i);
        call.Answer.assign(4096, 'x');
        ledger->RecordCall(call);
        text += '+';
      }
    } catch (const ELedgerError& error) {
      text += error.what();
    }
    return ::write(report[1], text.data(), text.size()) == static_cast<ssize_t>(text.size()) ? 0 : 1;
  });
  ::close(report[1]);
  std::string text;
  char buffer[4096];
  for (ssize_t n; (n = ::read(report[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  ::close(report[0]);
  ASSERT_EQ(ExitStatus(child), 0);
  const std::size_t acknowledged = 1 + text.find_first_not_of('+');
  EXPECT_NE(text.find("Cannot write the ledger \"" + path + "\". "), std::string::npos) << text;

  ExpectWholeCalls(acknowledged, 2);
  auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadOnly);
  EXPECT_EQ(Calls(*ledger).size(), acknowledged);
}

TEST_F(SQLiteLedgerTest, RefusesFilesNotItsOwnAndLeavesThemUntouched) {
  struct TCase {
    const char* Name;
    std::function<void(const std::string&)> Make;
    std::string Reason;
  };
  const TCase cases[] = {
      {"text", [](const std::string& file) { std::ofstream(file) << std::string(5000, 'x'); },
       "is not a ledger: it is not an SQLite database."},
      {"foreign", [](const std::string& file) { RawSQL(file, "CREATE TABLE notes (x); INSERT INTO notes VALUES (1);"); },
       "is not a ledger: it is an SQLite database of another program (tables notes)."},
      {"foreign with many tables",
       [](const std::string& file) { RawSQL(file, "CREATE TABLE a (x); CREATE TABLE b (x); CREATE TABLE c (x); CREATE TABLE d (x);"); },
       "is not a ledger: it is an SQLite database of another program (tables a, b, c, ...)."},
      {"numbered foreign", [](const std::string& file) { RawSQL(file, "CREATE TABLE notes (x); PRAGMA user_version = 1;"); },
       "is not a ledger: it has no table runs."},
      {"newer",
       [](const std::string& file) {
         OpenSQLiteLedger(file, TOpenMode::ReadWrite)->RecordCall(Numbered(1));
         RawSQL(file, "PRAGMA user_version = 3");
       },
       "was written by a newer version of corvandel-ping (schema 3, this one reads up to 2)."},
  };
  for (const TCase& c : cases) {
    TTempFolder own;
    const std::string file = own.File("ledger.db");
    c.Make(file);
    const auto before = own.Contents();
    for (const TOpenMode mode : {TOpenMode::ReadWrite, TOpenMode::ReadOnly}) {
      try {
        OpenSQLiteLedger(file, mode);
        ADD_FAILURE() << c.Name << " was opened";
      } catch (const ELedgerError& error) {
        EXPECT_EQ(error.what(), "\"" + file + "\" " + c.Reason) << c.Name;
      }
      EXPECT_EQ(own.Contents(), before) << c.Name;
    }
  }
}

TEST_F(SQLiteLedgerTest, MissingFolderIsNamedWithTheSystemReason) {
  const std::string file = folder.File("missing/ledger.db");
  for (const TOpenMode mode : {TOpenMode::ReadWrite, TOpenMode::ReadOnly}) {
    try {
      OpenSQLiteLedger(file, mode);
      ADD_FAILURE() << "opened";
    } catch (const ELedgerError& error) {
      EXPECT_EQ(std::string(error.what()),
                "Cannot open the ledger \"" + file + "\". Unable to open database file (No such file or directory)");
    }
  }
}

TEST_F(SQLiteLedgerTest, ReadOnlyNeverCreatesNorWrites) {
  EXPECT_THROW(OpenSQLiteLedger(path, TOpenMode::ReadOnly), ELedgerError);
  EXPECT_TRUE(folder.Contents().empty());

  std::ofstream{path};  // an empty file is a fresh ledger, empty when read
  EXPECT_TRUE(Calls(*OpenSQLiteLedger(path, TOpenMode::ReadOnly)).empty());
  EXPECT_EQ(fs::file_size(path), 0u);

  {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
    ledger->RecordCall(Numbered(1));
    ledger->HoldUntil("https://x.example/", At(5));
  }
  const auto before = folder.Contents().at(0);
  {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadOnly);
    EXPECT_EQ(Calls(*ledger).size(), 1u);
    EXPECT_TRUE(Last(*ledger, "rpc", "https://a.example/1"));
    EXPECT_EQ(ledger->HeldUntil("https://x.example/"), At(5));
    EXPECT_THROW(ledger->RecordCall(Numbered(2)), ELedgerError);
    EXPECT_THROW(ledger->BeginRun(At(1)), ELedgerError);
    EXPECT_THROW(ledger->HoldUntil("https://x.example/", At(9)), ELedgerError);
  }
  EXPECT_EQ(folder.Contents().at(0), before);  // the ledger itself, whatever SQLite's companions
}

// The first schema, as the first version wrote it.
constexpr const char* kVersion1 = R"sql(
CREATE TABLE runs (id INTEGER PRIMARY KEY AUTOINCREMENT, started INTEGER NOT NULL);
CREATE TABLE services (id INTEGER PRIMARY KEY, line TEXT NOT NULL UNIQUE);
CREATE TABLE calls (id INTEGER PRIMARY KEY, run INTEGER NOT NULL, service_id INTEGER NOT NULL REFERENCES services (id),
  kind TEXT NOT NULL, site TEXT NOT NULL, success INTEGER NOT NULL, code INTEGER NOT NULL, answer TEXT NOT NULL,
  reason TEXT NOT NULL, started INTEGER NOT NULL, elapsed_us INTEGER NOT NULL);
CREATE INDEX calls_by_start ON calls (started);
CREATE TABLE call_urls (call_id INTEGER NOT NULL REFERENCES calls (id), position INTEGER NOT NULL, url TEXT NOT NULL,
  dated INTEGER, PRIMARY KEY (call_id, position)) WITHOUT ROWID;
CREATE TABLE announcements (service_id INTEGER NOT NULL REFERENCES services (id), url TEXT NOT NULL,
  announced_at INTEGER NOT NULL, dated INTEGER, PRIMARY KEY (service_id, url)) WITHOUT ROWID;
INSERT INTO runs VALUES (4, 10);
INSERT INTO services VALUES (1, 'rpc');
INSERT INTO calls VALUES (1, 4, 1, 'xmlrpc', 'https://a.example/', 1, 200, 'ok', '', 1000, 5);
INSERT INTO call_urls VALUES (1, 0, 'https://a.example/p', 500);
INSERT INTO announcements VALUES (1, 'https://a.example/', 1000, NULL), (1, 'https://a.example/p', 1000, 500);
PRAGMA user_version = 1;
)sql";

TEST_F(SQLiteLedgerTest, MigratesVersion1KeepingItsRows) {
  RawSQL(path, kVersion1);
  TCallRecord recorded = Call("rpc", "https://a.example/", true, 1000, {{"https://a.example/p", At(500)}});
  recorded.Run = 4;
  recorded.Answer = "ok";
  recorded.Elapsed = std::chrono::microseconds(5);

  const auto before = folder.Contents();
  {
    auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadOnly);  // read as it is
    EXPECT_EQ(Calls(*ledger), std::vector<TCallRecord>{recorded});
    EXPECT_EQ(ledger->HeldUntil("https://x.example/"), std::nullopt);
  }
  EXPECT_EQ(folder.Contents(), before);

  auto ledger = OpenSQLiteLedger(path, TOpenMode::ReadWrite);
  EXPECT_EQ(RawText(path, "PRAGMA user_version"), "2");
  EXPECT_EQ(Calls(*ledger), std::vector<TCallRecord>{recorded});
  EXPECT_EQ(Last(*ledger, "rpc", "https://a.example/p"), (TAnnouncement{At(1000), At(500)}));
  EXPECT_GT(ledger->BeginRun(At(20)), 4);
  ledger->HoldUntil("https://x.example/", At(7));
  EXPECT_EQ(ledger->HeldUntil("https://x.example/"), At(7));
}

}  // namespace
}  // namespace corvandel::ledger
