#pragma once

// Where corvandel-ping keeps its ledger when --ledger names none: the XDG
// state folder, $XDG_STATE_HOME/corvandel/ledger.sqlite3, with
// ~/.local/state when the variable is unset, empty or not absolute.

#include <string>

namespace corvandel::cli {

inline constexpr const char* kLedgerFolderName = "corvandel";
inline constexpr const char* kLedgerFileName = "ledger.sqlite3";

// The default ledger for these values of XDG_STATE_HOME and HOME (either
// may be null); empty when neither gives an absolute folder.
std::string DefaultLedgerPath(const char* stateHome, const char* home);

// Makes the folders above path that are missing, readable by their owner
// only; false with the reason in error.
bool MakeLedgerFolders(const std::string& path, std::string& error);

}  // namespace corvandel::cli
