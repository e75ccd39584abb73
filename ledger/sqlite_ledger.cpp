#include "ledger/sqlite_ledger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ledger/sqlite_handle.h"

namespace corvandel::ledger {

namespace {

using detail::TConnection;
using detail::TStatement;
using detail::TStatementUse;
using detail::TTransaction;
using detail::TTransactionKind;

// Each step brings the schema from the version before it to To, and names
// the tables it adds (a ledger of version To has the tables of every step up
// to it). A fresh ledger runs them all; a new version is one more entry.
struct TMigration {
  int To;
  std::span<const std::string_view> Tables;
  const char* SQL;
};

constexpr std::string_view kTablesOf1[] = {"runs", "services", "calls", "call_urls", "announcements"};
constexpr std::string_view kTablesOf2[] = {"endpoint_holds"};

constexpr std::array<TMigration, 2> kMigrations = {{
    {1,
     kTablesOf1,
     R"sql(
CREATE TABLE runs (
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  started INTEGER NOT NULL);
CREATE TABLE services (
  id INTEGER PRIMARY KEY,
  line TEXT NOT NULL UNIQUE);
CREATE TABLE calls (
  id INTEGER PRIMARY KEY,
  run INTEGER NOT NULL,
  service_id INTEGER NOT NULL REFERENCES services (id),
  kind TEXT NOT NULL,
  site TEXT NOT NULL,
  success INTEGER NOT NULL,
  code INTEGER NOT NULL,
  answer TEXT NOT NULL,
  reason TEXT NOT NULL,
  started INTEGER NOT NULL,
  elapsed_us INTEGER NOT NULL);
CREATE INDEX calls_by_start ON calls (started);
CREATE TABLE call_urls (
  call_id INTEGER NOT NULL REFERENCES calls (id),
  position INTEGER NOT NULL,
  url TEXT NOT NULL,
  dated INTEGER,
  PRIMARY KEY (call_id, position)) WITHOUT ROWID;
CREATE TABLE announcements (
  service_id INTEGER NOT NULL REFERENCES services (id),
  url TEXT NOT NULL,
  announced_at INTEGER NOT NULL,
  dated INTEGER,
  PRIMARY KEY (service_id, url)) WITHOUT ROWID;
)sql"},
    {2,
     kTablesOf2,
     R"sql(
CREATE TABLE endpoint_holds (
  endpoint TEXT PRIMARY KEY,
  until INTEGER NOT NULL) WITHOUT ROWID;
)sql"},
}};
static_assert(kMigrations.back().To == kSchemaVersion);

// How long an open waits before it tries again to put a fresh ledger in WAL
// mode; the lock it waits for is held for one short transaction.
constexpr std::chrono::milliseconds kWALSwitchRetry{5};

// A refusal names at most this many of a foreign database's tables.
constexpr std::size_t kNamedForeignTables = 3;

enum TQuery : std::size_t {
  kFindService,
  kAddService,
  kAddRun,
  kAddCall,
  kAddCallURL,
  kSettle,
  kFindAnnouncement,
  kListCalls,
  kCallURLs,
  kSetHold,
  kFindHold,
  kQueryCount,
};

struct TQueryText {
  const char* SQL;
  const char* Doing;
};

// A success that started before the one kept (calls finish out of order)
// leaves the later one in place.
const std::array<TQueryText, kQueryCount> kQueries = {{
    {"SELECT id FROM services WHERE line = ?1", "read"},
    {"INSERT INTO services (line) VALUES (?1)", "write"},
    {"INSERT INTO runs (started) VALUES (?1)", "write"},
    {"INSERT INTO calls (run, service_id, kind, site, success, code, answer, reason, started, elapsed_us) "
     "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)",
     "write"},
    {"INSERT INTO call_urls (call_id, position, url, dated) VALUES (?1, ?2, ?3, ?4)", "write"},
    {"INSERT INTO announcements (service_id, url, announced_at, dated) VALUES (?1, ?2, ?3, ?4) "
     "ON CONFLICT (service_id, url) DO UPDATE SET announced_at = excluded.announced_at, dated = excluded.dated "
     "WHERE excluded.announced_at >= announcements.announced_at",
     "write"},
    {"SELECT announced_at, dated FROM announcements WHERE service_id = ?1 AND url = ?2", "read"},
    // instr, not LIKE: the filter is plain text, and '%' or '_' in it are
    // themselves.
    {"SELECT c.id, c.run, s.line, c.kind, c.site, c.success, c.code, c.answer, c.reason, c.started, c.elapsed_us "
     "FROM calls c JOIN services s ON s.id = c.service_id "
     "WHERE (?1 IS NULL OR c.started >= ?1) AND (?2 = '' OR instr(s.line, ?2) > 0) "
     "ORDER BY c.started, c.id",
     "read"},
    {"SELECT url, dated FROM call_urls WHERE call_id = ?1 ORDER BY position", "read"},
    {"INSERT INTO endpoint_holds (endpoint, until) VALUES (?1, ?2) "
     "ON CONFLICT (endpoint) DO UPDATE SET until = excluded.until",
     "write"},
    {"SELECT until FROM endpoint_holds WHERE endpoint = ?1", "read"},
}};

int64_t Stored(TTime time) { return time.time_since_epoch().count(); }
TTime Loaded(int64_t stored) { return TTime(std::chrono::milliseconds(stored)); }
std::optional<int64_t> Stored(std::optional<TTime> time) {
  if (!time) return std::nullopt;
  return Stored(*time);
}
std::optional<TTime> Loaded(std::optional<int64_t> stored) {
  if (!stored) return std::nullopt;
  return Loaded(*stored);
}

// Every SQLite database file begins with this header.
constexpr std::size_t kHeaderSize = 100;
constexpr std::string_view kHeaderMagic{"SQLite format 3\0", 16};
constexpr std::size_t kUserVersionAt = 60;  // big-endian, 4 bytes

[[noreturn]] void NotOurs(const std::string& path, const std::string& why) {
  throw ELedgerError("\"" + path + "\" " + why + ".");
}

std::string NewerReason(int version) {
  return "was written by a newer version of corvandel-ping (schema " + std::to_string(version) +
         ", this one reads up to " + std::to_string(kSchemaVersion) + ")";
}

// Refuses what the file's header alone shows is not for this store, before
// SQLite opens it: a reader of a ledger in WAL mode makes SQLite's index
// files beside it, which a refused file must not get. A file that cannot be
// read here is left for SQLite to report.
void CheckHeader(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string header(kHeaderSize, '\0');
  std::size_t got = 0;
  while (got < kHeaderSize) {
    const ssize_t n = ::read(fd, header.data() + got, kHeaderSize - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  ::close(fd);
  if (got == 0) return;  // an empty file is a fresh ledger
  if (got < kHeaderSize || header.compare(0, kHeaderMagic.size(), kHeaderMagic) != 0)
    NotOurs(path, "is not a ledger: it is not an SQLite database");
  // The header's number is the latest unless a write-ahead log holds a newer
  // one; then SQLite's own reading decides.
  struct stat log {};
  if (::stat((path + "-wal").c_str(), &log) == 0 && log.st_size > 0) return;
  int32_t version = 0;
  for (std::size_t i = 0; i < 4; ++i)
    version = static_cast<int32_t>(static_cast<uint32_t>(version) << 8 |
                                   static_cast<unsigned char>(header[kUserVersionAt + i]));
  if (version > kSchemaVersion) NotOurs(path, NewerReason(version));
}

// What a file holds, as read before anything is written to it.
struct TShape {
  int Version = 0;
  std::vector<std::string> Tables;  // the tables that are not SQLite's own
  std::size_t Objects = 0;          // schema objects of any kind that are not SQLite's own
};

class TSQLiteLedger final : public TLedger {
public:
  TSQLiteLedger(const std::string& path, TOpenMode mode)
      : db_(path, mode == TOpenMode::ReadOnly), readOnly_(mode == TOpenMode::ReadOnly) {
    sqlite3_busy_timeout(db_.Handle(), static_cast<int>(kBusyTimeout.count()));
    if (!readOnly_ && sqlite3_db_readonly(db_.Handle(), "main") == 1)
      db_.Refuse("write", "Attempt to write a readonly database.");
    // The first read of the file tells an SQLite database from anything else.
    const int probe = sqlite3_exec(db_.Handle(), "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    if ((probe & 0xff) == SQLITE_NOTADB) NotOurs("is not a ledger: it is not an SQLite database");
    if (probe != SQLITE_OK) db_.Fail("read", probe);
    TShape shape;
    {
      TTransaction read(db_, TTransactionKind::Read);
      shape = ReadShape();
      read.Commit();
    }
    Check(shape);
    version_ = shape.Version;
    if (readOnly_) return;
    // Only now, with the file known to be a ledger or empty, is it written.
    SwitchToWAL();
    db_.Execute("PRAGMA synchronous = NORMAL", "write");
    if (version_ < kSchemaVersion) Migrate();
  }

  int64_t BeginRun(TTime started) override {
    std::lock_guard lock(mutex_);
    RequireWritable();
    TTransaction write(db_, TTransactionKind::Write);
    {
      TStatementUse add(Query(kAddRun));
      add->Bind(1, Stored(started));
      add->Run();
    }
    const int64_t run = sqlite3_last_insert_rowid(db_.Handle());
    write.Commit();
    return run;
  }

  void LastAnnouncements(std::string_view service, std::span<const std::string> urls,
                         std::vector<std::optional<TAnnouncement>>& found) override {
    std::lock_guard lock(mutex_);
    RequireNotVisiting();
    found.assign(urls.size(), std::nullopt);
    if (version_ < 1 || urls.empty()) return;
    TTransaction read(db_, TTransactionKind::Read);
    if (const auto id = FindService(service)) {
      TStatement& find = Query(kFindAnnouncement);
      for (std::size_t i = 0; i < urls.size(); ++i) {
        TStatementUse use(find);
        find.Bind(1, *id);
        find.Bind(2, std::string_view(urls[i]));
        if (find.Step()) found[i] = TAnnouncement{Loaded(find.Int(0)), Loaded(find.OptionalInt(1))};
      }
    }
    read.Commit();
  }

  void RecordCall(const TCallRecord& call) override {
    std::lock_guard lock(mutex_);
    RequireWritable();
    TTransaction write(db_, TTransactionKind::Write);
    const int64_t service = AddService(call.Service);
    {
      TStatementUse add(Query(kAddCall));
      add->Bind(1, call.Run);
      add->Bind(2, service);
      add->Bind(3, std::string_view(call.Kind));
      add->Bind(4, std::string_view(call.Site));
      add->Bind(5, int64_t{call.Success ? 1 : 0});
      add->Bind(6, int64_t{call.Code});
      add->Bind(7, std::string_view(call.Answer));
      add->Bind(8, std::string_view(call.Reason));
      add->Bind(9, Stored(call.Started));
      add->Bind(10, static_cast<int64_t>(call.Elapsed.count()));
      add->Run();
    }
    const int64_t id = sqlite3_last_insert_rowid(db_.Handle());
    TStatement& addURL = Query(kAddCallURL);
    for (std::size_t i = 0; i < call.URLs.size(); ++i) {
      TStatementUse use(addURL);
      addURL.Bind(1, id);
      addURL.Bind(2, static_cast<int64_t>(i));
      addURL.Bind(3, std::string_view(call.URLs[i].URL));
      addURL.Bind(4, Stored(call.URLs[i].Dated));
      addURL.Run();
    }
    if (call.Success) {
      std::optional<TTime> siteDate;
      const auto same = std::find_if(call.URLs.begin(), call.URLs.end(),
                                     [&](const TCarriedURL& url) { return url.URL == call.Site; });
      if (same != call.URLs.end()) siteDate = same->Dated;
      Settle(service, call.Site, call.Started, siteDate);
      for (const TCarriedURL& url : call.URLs) Settle(service, url.URL, call.Started, url.Dated);
    }
    write.Commit();
  }

  void ForEachCall(const TCallFilter& filter, const std::function<void(const TCallRecord&)>& visit) override {
    std::lock_guard lock(mutex_);
    RequireNotVisiting();
    if (version_ < 1) return;
    TTransaction read(db_, TTransactionKind::Read);
    {
      visiting_ = true;
      struct TDone {
        bool& Flag;
        ~TDone() { Flag = false; }
      } done{visiting_};
      TStatement& list = Query(kListCalls);
      TStatement& urls = Query(kCallURLs);
      TStatementUse use(list);
      list.Bind(1, Stored(filter.Since));
      list.Bind(2, std::string_view(filter.Service));
      TCallRecord call;
      while (list.Step()) {
        call.Run = list.Int(1);
        call.Service = list.Text(2);
        call.Kind = list.Text(3);
        call.Site = list.Text(4);
        call.Success = list.Int(5) != 0;
        call.Code = static_cast<int32_t>(list.Int(6));
        call.Answer = list.Text(7);
        call.Reason = list.Text(8);
        call.Started = Loaded(list.Int(9));
        call.Elapsed = std::chrono::microseconds(list.Int(10));
        call.URLs.clear();
        {
          TStatementUse carried(urls);
          urls.Bind(1, list.Int(0));
          while (urls.Step()) call.URLs.push_back(TCarriedURL{urls.Text(0), Loaded(urls.OptionalInt(1))});
        }
        visit(call);
      }
    }
    read.Commit();
  }

  void HoldUntil(std::string_view endpoint, TTime until) override {
    std::lock_guard lock(mutex_);
    RequireWritable();
    TTransaction write(db_, TTransactionKind::Write);
    {
      TStatementUse set(Query(kSetHold));
      set->Bind(1, endpoint);
      set->Bind(2, Stored(until));
      set->Run();
    }
    write.Commit();
  }

  std::optional<TTime> HeldUntil(std::string_view endpoint) override {
    std::lock_guard lock(mutex_);
    RequireNotVisiting();
    if (version_ < 2) return std::nullopt;  // an older ledger read as it is knows no holds
    TTransaction read(db_, TTransactionKind::Read);
    std::optional<TTime> until;
    {
      TStatementUse find(Query(kFindHold));
      find->Bind(1, endpoint);
      if (find->Step()) until = Loaded(find->Int(0));
    }
    read.Commit();
    return until;
  }

private:
  TShape ReadShape() {
    TShape shape;
    {
      TStatement version(db_, "PRAGMA user_version", "read");
      if (version.Step()) shape.Version = static_cast<int>(version.Int(0));
    }
    TStatement objects(db_, "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite\\_%' ESCAPE '\\'",
                       "read");
    while (objects.Step()) {
      ++shape.Objects;
      if (objects.Text(0) == "table") shape.Tables.push_back(objects.Text(1));
    }
    return shape;
  }

  // Switching a database into WAL mode takes its exclusive lock without
  // SQLite's busy handler, so a process opening a fresh ledger while another
  // does would fail at once; it waits here as a writer waits for a write.
  void SwitchToWAL() {
    const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
    for (;;) {
      const int code = sqlite3_exec(db_.Handle(), "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
      if (code == SQLITE_OK) return;
      if ((code & 0xff) != SQLITE_BUSY || std::chrono::steady_clock::now() >= deadline) db_.Fail("write", code);
      sqlite3_sleep(static_cast<int>(kWALSwitchRetry.count()));
    }
  }

  // Raises the refusal of a file this store must not touch.
  void Check(const TShape& shape) const {
    if (shape.Version > kSchemaVersion) NotOurs(NewerReason(shape.Version));
    if (shape.Version < 0) NotOurs("is not a ledger: its schema number is " + std::to_string(shape.Version));
    if (shape.Version == 0) {
      if (shape.Objects == 0) return;  // an empty database: a fresh ledger
      std::string names;
      for (std::size_t i = 0; i < shape.Tables.size() && i < kNamedForeignTables; ++i)
        names += (i == 0 ? "" : ", ") + shape.Tables[i];
      if (shape.Tables.size() > kNamedForeignTables) names += ", ...";
      NotOurs("is not a ledger: it is an SQLite database of another program" +
              (names.empty() ? std::string() : " (tables " + names + ")"));
    }
    for (const TMigration& step : kMigrations) {
      if (step.To > shape.Version) break;
      for (const std::string_view table : step.Tables)
        if (std::find(shape.Tables.begin(), shape.Tables.end(), table) == shape.Tables.end())
          NotOurs("is not a ledger: it has no table " + std::string(table));
    }
  }

  [[noreturn]] void NotOurs(const std::string& why) const { corvandel::ledger::NotOurs(db_.Path(), why); }

  // One transaction brings the file to this version, whatever another
  // process did since it was first read.
  void Migrate() {
    TTransaction write(db_, TTransactionKind::Write);
    const TShape shape = ReadShape();
    Check(shape);
    for (const TMigration& step : kMigrations)
      if (step.To > shape.Version) db_.Execute(step.SQL, "update");
    db_.Execute("PRAGMA user_version = " + std::to_string(kSchemaVersion), "update");
    write.Commit();
    version_ = kSchemaVersion;
  }

  TStatement& Query(TQuery query) {
    std::unique_ptr<TStatement>& kept = queries_[query];
    if (!kept) kept = std::make_unique<TStatement>(db_, kQueries[query].SQL, kQueries[query].Doing);
    return *kept;
  }

  std::optional<int64_t> FindService(std::string_view line) {
    TStatementUse find(Query(kFindService));
    find->Bind(1, line);
    if (!find->Step()) return std::nullopt;
    return find->Int(0);
  }

  // Inside a write transaction.
  int64_t AddService(std::string_view line) {
    if (const auto id = FindService(line)) return *id;
    TStatementUse add(Query(kAddService));
    add->Bind(1, line);
    add->Run();
    return sqlite3_last_insert_rowid(db_.Handle());
  }

  void Settle(int64_t service, std::string_view url, TTime started, std::optional<TTime> dated) {
    TStatementUse settle(Query(kSettle));
    settle->Bind(1, service);
    settle->Bind(2, url);
    settle->Bind(3, Stored(started));
    settle->Bind(4, Stored(dated));
    settle->Run();
  }

  void RequireNotVisiting() const {
    if (visiting_) db_.Refuse("use", "Its calls are being listed.");
  }

  void RequireWritable() const {
    RequireNotVisiting();
    if (readOnly_) db_.Refuse("write", "It is open for reading only.");
  }

  TConnection db_;  // first, so that it outlives the statements
  std::array<std::unique_ptr<TStatement>, kQueryCount> queries_;
  const bool readOnly_;
  int version_ = 0;
  // Recursive so that a visitor calling back in is refused, not deadlocked.
  std::recursive_mutex mutex_;
  bool visiting_ = false;
};

}  // namespace

std::unique_ptr<TLedger> OpenSQLiteLedger(const std::string& path, TOpenMode mode) {
  CheckHeader(path);
  return std::make_unique<TSQLiteLedger>(path, mode);
}

}  // namespace corvandel::ledger
