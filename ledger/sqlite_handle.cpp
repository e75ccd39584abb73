#include "ledger/sqlite_handle.h"

#include <cctype>
#include <cstring>

namespace corvandel::ledger::detail {

namespace {

// SQLite's reasons start in lower case; the store's sentences do not.
std::string Sentence(std::string text) {
  if (!text.empty()) text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return text;
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

TConnection::TConnection(const std::string& path, bool readOnly) : path_(path) {
  // The store serialises its callers, so the connection needs no mutex of
  // its own; URIs stay off so that a file name is only ever a file name.
  const int flags = (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                    SQLITE_OPEN_NOMUTEX;
  const int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (code != SQLITE_OK) {
    if (db_ == nullptr) throw ELedgerError("Cannot open the ledger " + Quoted(path) + ". " + Sentence(sqlite3_errstr(code)));
    try {
      Fail("open", code);
    } catch (...) {
      sqlite3_close_v2(db_);
      db_ = nullptr;
      throw;
    }
  }
  sqlite3_extended_result_codes(db_, 1);
}

TConnection::~TConnection() {
  // Statements are finalised by their owners first; close_v2 would wait
  // for any left over rather than fail.
  if (db_ != nullptr) sqlite3_close_v2(db_);
}

void TConnection::Execute(const std::string& sql, const char* doing) {
  const int code = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) Fail(doing, code);
}

void TConnection::Fail(const char* doing, int code) const {
  std::string reason = Sentence(db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
  // Where the system refused, its own words say why (a missing folder, a
  // full disk, a denied permission).
  const int primary = code & 0xff;
  if (db_ != nullptr && (primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR || primary == SQLITE_FULL)) {
    const int error = sqlite3_system_errno(db_);
    if (error != 0) reason += std::string(" (") + std::strerror(error) + ")";
  }
  throw ELedgerError(std::string("Cannot ") + doing + " the ledger " + Quoted(path_) + ". " + reason);
}

void TConnection::Refuse(const char* doing, std::string_view why) const {
  throw ELedgerError(std::string("Cannot ") + doing + " the ledger " + Quoted(path_) + ". " + std::string(why));
}

TStatement::TStatement(TConnection& db, const char* sql, const char* doing) : db_(db), doing_(doing) {
  const int code = sqlite3_prepare_v3(db.Handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
  if (code != SQLITE_OK) db.Fail(doing, code);
}

TStatement::~TStatement() { sqlite3_finalize(statement_); }

void TStatement::Bind(int index, int64_t value) {
  const int code = sqlite3_bind_int64(statement_, index, value);
  if (code != SQLITE_OK) db_.Fail(doing_, code);
}

void TStatement::Bind(int index, std::string_view text) {
  // An empty view may have no data; SQLite takes a null pointer for NULL.
  const char* data = text.data() != nullptr ? text.data() : "";
  const int code = sqlite3_bind_text64(statement_, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (code != SQLITE_OK) db_.Fail(doing_, code);
}

void TStatement::Bind(int index, std::optional<int64_t> value) {
  if (value) return Bind(index, *value);
  const int code = sqlite3_bind_null(statement_, index);
  if (code != SQLITE_OK) db_.Fail(doing_, code);
}

bool TStatement::Step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  db_.Fail(doing_, code);
}

void TStatement::Run() {
  while (Step()) {
  }
}

int64_t TStatement::Int(int column) const { return sqlite3_column_int64(statement_, column); }

std::optional<int64_t> TStatement::OptionalInt(int column) const {
  if (sqlite3_column_type(statement_, column) == SQLITE_NULL) return std::nullopt;
  return sqlite3_column_int64(statement_, column);
}

std::string TStatement::Text(int column) const {
  const auto* text = sqlite3_column_text(statement_, column);
  if (text == nullptr) {
    // NULL text is the empty string; a failed conversion is a failure.
    const int code = sqlite3_errcode(db_.Handle());
    if (code == SQLITE_NOMEM) db_.Fail(doing_, code);
    return {};
  }
  return std::string(reinterpret_cast<const char*>(text),
                     static_cast<std::size_t>(sqlite3_column_bytes(statement_, column)));
}

void TStatement::Reset() {
  // The error a reset reports is the one its last step raised already.
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

TTransaction::TTransaction(TConnection& db, TTransactionKind kind)
    : db_(db), doing_(kind == TTransactionKind::Write ? "write" : "read") {
  db.Execute(kind == TTransactionKind::Write ? "BEGIN IMMEDIATE" : "BEGIN", doing_);
}

TTransaction::~TTransaction() {
  // A failed step may have rolled the transaction back already (a full
  // disk, an I/O error); then there is nothing left to undo.
  if (!done_ && sqlite3_get_autocommit(db_.Handle()) == 0)
    sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void TTransaction::Commit() {
  db_.Execute("COMMIT", doing_);
  done_ = true;
}

}  // namespace corvandel::ledger::detail
