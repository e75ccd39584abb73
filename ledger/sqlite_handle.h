#pragma once

// Owners of SQLite's C handles for the ledger's store: a connection, a
// prepared statement and a transaction that rolls back unless committed.
// Every failure raises ELedgerError as "Cannot <doing> the ledger "<file>".
// <SQLite's reason>". None of them may be used by two threads at once; the
// store serialises its callers.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ledger/ledger.h"

namespace corvandel::ledger::detail {

class TConnection {
public:
  // Opens path; readOnly never creates the file nor writes to it.
  TConnection(const std::string& path, bool readOnly);
  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  sqlite3* Handle() const { return db_; }
  const std::string& Path() const { return path_; }

  // Runs SQL that returns no rows, one statement or several.
  void Execute(const std::string& sql, const char* doing);
  // Raises code (the connection's last error) as the failure to do doing
  // ("open", "read", "write").
  [[noreturn]] void Fail(const char* doing, int code) const;
  // Raises a failure of this store's own finding.
  [[noreturn]] void Refuse(const char* doing, std::string_view why) const;

private:
  std::string path_;
  sqlite3* db_ = nullptr;
};

class TStatement {
public:
  // doing names what a failure of this statement keeps from being done.
  TStatement(TConnection& db, const char* sql, const char* doing);
  ~TStatement();
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  // Parameters count from 1. Text is not copied: it must outlive the
  // statement's use, up to Reset.
  void Bind(int index, int64_t value);
  void Bind(int index, std::string_view text);
  void Bind(int index, std::optional<int64_t> value);

  // True while there is a row to read; false once done.
  bool Step();
  // Steps a statement that returns no rows.
  void Run();

  int64_t Int(int column) const;
  std::optional<int64_t> OptionalInt(int column) const;
  std::string Text(int column) const;

  // Ends the statement's use (so that it holds no read open) and clears its
  // parameters.
  void Reset();

private:
  TConnection& db_;
  const char* doing_;
  sqlite3_stmt* statement_ = nullptr;
};

// Resets a statement when the scope ends, however it ends.
class TStatementUse {
public:
  explicit TStatementUse(TStatement& statement) : statement_(statement) {}
  ~TStatementUse() { statement_.Reset(); }
  TStatementUse(const TStatementUse&) = delete;
  TStatementUse& operator=(const TStatementUse&) = delete;

  TStatement* operator->() const { return &statement_; }

private:
  TStatement& statement_;
};

enum class TTransactionKind {
  Read,   // BEGIN: a consistent view, taking no write lock
  Write,  // BEGIN IMMEDIATE: the write lock up front, so that no upgrade can deadlock
};

class TTransaction {
public:
  TTransaction(TConnection& db, TTransactionKind kind);
  // Rolls back unless committed.
  ~TTransaction();
  TTransaction(const TTransaction&) = delete;
  TTransaction& operator=(const TTransaction&) = delete;

  void Commit();

private:
  TConnection& db_;
  const char* doing_;
  bool done_ = false;
};

}  // namespace corvandel::ledger::detail
