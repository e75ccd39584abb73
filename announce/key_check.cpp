#include "announce/key_check.h"

#include "announce/source_fetch.h"
#include "engine/announce_call.h"
#include "engine/call_setup.h"
#include "engine/ping_texts.h"

namespace corvandel::announce {

TKeyChecks::TKeyChecks(std::shared_ptr<const engine::TCallSettings> settings, TNoteHandler onNote)
    : settings_(settings ? std::move(settings) : engine::DefaultCallSettings()), onNote_(std::move(onNote)) {}

std::string TKeyChecks::Check(const std::string& line, const std::string& site) {
  engine::TIndexNowService service;
  std::string error;
  if (!engine::ParseIndexNowLine(line, service, error)) return {};
  if (!service.KeyLocation.empty() && !engine::InKeyScope(service.KeyLocation, site)) return {};
  const std::string url = engine::KeyFileURL(service, site);
  const auto file = std::make_pair(line, url);
  {
    std::unique_lock guard(lock_);
    const auto emplaced = findings_.try_emplace(file);
    if (!emplaced.second) {
      const TFinding& finding = emplaced.first->second;
      found_.wait(guard, [&finding] { return finding.Done; });
      return finding.Reason;
    }
  }
  std::string reason;
  {
    // However the fetch ends, the checks waiting for it learn its finding.
    struct TSettle {
      TKeyChecks& Checks;
      const std::pair<std::string, std::string>& File;
      std::string& Reason;
      ~TSettle() {
        {
          std::lock_guard guard(Checks.lock_);
          TFinding& finding = Checks.findings_.find(File)->second;
          try {
            finding.Reason = Reason;
          } catch (...) {
            finding.Reason = engine::kOutOfMemoryReason;  // short: no allocation
          }
          finding.Done = true;
        }
        Checks.found_.notify_all();
      }
    } settle{*this, file, reason};
    reason = Fetch(line, url);
  }
  if (onNote_) onNote_(line, site, reason);
  return reason;
}

std::string TKeyChecks::Fetch(const std::string& line, const std::string& url) const {
  try {
    engine::TIndexNowService service;
    std::string error;
    engine::ParseIndexNowLine(line, service, error);
    std::string text;
    if (!FetchURL(url, *settings_, kMaxKeyFileBytes, text, error)) return "key file " + url + ": " + error;
    if (!engine::KeyFileHolds(text, service.Key)) return "key file " + url + " does not hold the key";
    return {};
  } catch (...) {
    std::string reason;
    engine::DescribeCurrentException(reason);
    return "key file " + url + ": " + reason;
  }
}

}  // namespace corvandel::announce
