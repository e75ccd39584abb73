#pragma once

// The ping worker: one of a batch of threads that ping one site at every
// service of a shared table. Each worker walks the whole table in order,
// claims the entries nobody has taken, calls them outside the lock, and
// hands every result to the main thread synchronously.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/ping_service.h"
#include "engine/service_table.h"
#include "runtime/main_thread.h"
#include "runtime/thread.h"

namespace corvandel::engine {

// A site or service without this text anywhere in it (case-sensitive) is
// called with kDefaultScheme in front.
inline constexpr std::string_view kSchemeMarker = "http";
inline constexpr std::string_view kDefaultScheme = "http://";
// Lines this short cannot name a service: they are claimed and skipped,
// and a run does not count them.
inline constexpr std::size_t kMaxSkippedLineLength = 4;

// Whether a service line is called (longer than kMaxSkippedLineLength).
bool IsPingedServiceLine(const std::string& line);
// How many of the lines are called; a list without any counts as empty.
std::size_t CountPingedServices(const std::vector<std::string>& lines);

// text as called: unchanged when it contains kSchemeMarker, otherwise with
// kDefaultScheme in front.
std::string WithScheme(const std::string& text);

// The window's WM_PINGRESULT: runs on the main thread, once per finished
// call, while the worker waits. The result is valid until it returns.
using TResultHandler = std::function<void(const TPingResult& result)>;

// One ping call: fills result.Success, Code and Answer for the full url.
// The worker's default is pinger.Post; the seam lets a front-end or a test
// put something else in its place.
using TPingCall = std::function<bool(TPingService& pinger, const std::string& url, TPingResult& result)>;

// One call as every worker makes it, into result: the pinger's request
// built for site (with its prefix) unless it already holds it, the record
// reset so that nothing of an earlier call survives, the call made through
// call (or the pinger's own), timed, and its reason settled: none for a
// success, always one for a failure. The caller sets ThreadNum. pages are
// the pages of the site an IndexNow line takes in one bulk submission; none
// for a call about the site alone.
void MakeCall(TPingService& pinger, const std::string& serviceLine, const std::string& site, const TPingCall& call,
              TPingResult& result, std::vector<std::string> pages = {});

class TThreadPingService : public runtime::TThread {
public:
  // Created suspended and set to free itself; attach the end notification,
  // then start it with TThread::Launch.
  // settings are the front-end's for every call; the defaults when null.
  TThreadPingService(runtime::TMainThread& mainThread, std::shared_ptr<TServiceTable> table,
                     std::string siteURL, uint16_t threadNum, TResultHandler onResult,
                     TPingCall call = {}, std::shared_ptr<const TCallSettings> settings = {});

  uint16_t ThreadNum() const { return ThreadNum_; }
  // The site as taken from the site list, before any prefix.
  const std::string& SiteURL() const { return SiteURL_; }
  // Whether the worker has built its request, which it does on its first
  // call.
  bool RequestBuilt() const { return Pinger.Request != nullptr; }

protected:
  void Execute() override;

private:
  uint16_t ThreadNum_;
  TPingService Pinger;
  std::string SiteURL_;
  std::shared_ptr<TServiceTable> table_;
  TResultHandler onResult_;
  TPingCall call_;
  TPingResult result_;  // one record for the whole run, refilled before each hand-over
};

}  // namespace corvandel::engine
