#include "cli/ledger_path.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace corvandel::cli {

namespace {

bool IsAbsoluteFolder(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace

std::string DefaultLedgerPath(const char* stateHome, const char* home) {
  std::string folder;
  if (IsAbsoluteFolder(stateHome))
    folder = stateHome;
  else if (IsAbsoluteFolder(home))
    folder = std::string(home) + "/.local/state";
  else
    return {};
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/" + kLedgerFolderName + "/" + kLedgerFileName;
}

bool MakeLedgerFolders(const std::string& path, std::string& error) {
  for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST) continue;
    error = "cannot make the folder \"" + folder + "\": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace corvandel::cli
