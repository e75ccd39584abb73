#pragma once

// The key checks of a run: before an IndexNow line submits a site, the key
// file that vouches for it is fetched and must hold the line's key. Each
// file is fetched once per line and run, however many sites share it, by
// the first worker that needs it; the others wait for its finding. Fetches
// go like a source's: with the calls' settings, through redirects, gzip
// unpacked.

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "engine/ping_service.h"

namespace corvandel::announce {

// A key file holds one short line; anything longer is not one.
inline constexpr std::size_t kMaxKeyFileBytes = 64 * 1024;

class TKeyChecks {
public:
  // Told on the fetching worker's thread what each fetch found: the line,
  // the site it was fetched for, and "" or why the file does not do.
  using TNoteHandler = std::function<void(const std::string& line, const std::string& site, const std::string& reason)>;

  TKeyChecks(std::shared_ptr<const engine::TCallSettings> settings, TNoteHandler onNote);

  // "" when the key file for site holds the key of the indexnow line, or
  // when the line or the site is one the call itself refuses (it says why
  // then); otherwise why not. Safe from any thread.
  std::string Check(const std::string& line, const std::string& site);

private:
  struct TFinding {
    bool Done = false;
    std::string Reason;
  };

  std::string Fetch(const std::string& line, const std::string& url) const;

  const std::shared_ptr<const engine::TCallSettings> settings_;
  const TNoteHandler onNote_;
  std::mutex lock_;
  std::condition_variable found_;
  // Per line and key file URL.
  std::map<std::pair<std::string, std::string>, TFinding> findings_;
};

}  // namespace corvandel::announce
