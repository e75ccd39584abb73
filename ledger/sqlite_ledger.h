#pragma once

// The ledger in an SQLite database file, in WAL mode so that readers and a
// writer never wait for each other. Every write is one BEGIN IMMEDIATE
// transaction: writers queue on the file's lock (up to kBusyTimeout) instead
// of failing or deadlocking on a lock upgrade, so several processes may write
// one file at once. A call acknowledged by RecordCall survives the process
// being killed; synchronous=NORMAL lets only a power loss take back the last
// calls, which then are announced again by the next run.
//
// Opening checks the file before anything is written to it, and refuses
// (ELedgerError naming the file and the reason; the file left as it was)
// one that is not an SQLite database, an SQLite database of another program,
// and a ledger of a newer schema. An older ledger is brought up to date in
// one transaction when opened for writing, and read as it is otherwise.
// Reading never changes the file; like any reader of a database in WAL mode,
// it may leave SQLite's -wal and -shm companions beside it.

#include <chrono>
#include <memory>
#include <string>

#include "ledger/ledger.h"

namespace corvandel::ledger {

// The schema this version writes, in PRAGMA user_version.
inline constexpr int kSchemaVersion = 2;
// How long a writer waits for another process's transaction; far above any
// one call's write, so that only a stuck process makes it fail.
inline constexpr std::chrono::milliseconds kBusyTimeout{60'000};

enum class TOpenMode {
  ReadWrite,  // creates the file when missing (not its folder), migrates an older schema
  ReadOnly,   // never creates or changes anything: a missing file raises
};

std::unique_ptr<TLedger> OpenSQLiteLedger(const std::string& path, TOpenMode mode);

}  // namespace corvandel::ledger
