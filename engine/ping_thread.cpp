#include "engine/ping_thread.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "engine/announce_call.h"
#include "engine/ping_texts.h"

namespace corvandel::engine {

std::string WithScheme(const std::string& text) {
  if (text.find(kSchemeMarker) != std::string::npos) return text;
  return std::string(kDefaultScheme) + text;
}

bool IsPingedServiceLine(const std::string& line) { return line.size() > kMaxSkippedLineLength; }

std::size_t CountPingedServices(const std::vector<std::string>& lines) {
  return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), IsPingedServiceLine));
}

void MakeCall(TPingService& pinger, const std::string& serviceLine, const std::string& site, const TPingCall& call,
              TPingResult& result, std::vector<std::string> pages) {
  pinger.ServiceURL = serviceLine;
  pinger.PageURLs = std::move(pages);
  if (!pinger.Request || pinger.SiteURL != site) pinger.BuildRequest(site);
  // An announcement line names its endpoint itself; only an XML-RPC
  // service gets the default scheme.
  result.Kind = KindOf(serviceLine);
  const std::string url = result.Kind == TServiceKind::XMLRPC ? WithScheme(serviceLine) : serviceLine;
  // The record is reused: a call that fills less than all of it, such as a
  // front-end's own, must not hand over the previous call's outcome.
  result.Success = false;
  result.Code = 0;
  result.Answer = kNoAnswer;
  result.Reason = kCallNotMadeReason;
  result.Outcome = TCallOutcome::Refused;
  result.Failure = http::TExchangeFailure::None;
  result.RetryAfter.clear();
  result.Started = std::chrono::system_clock::now();
  const auto start = std::chrono::steady_clock::now();
  if (call)
    call(pinger, url, result);
  else
    pinger.Call(url, result);
  result.Elapsed = std::chrono::steady_clock::now() - start;
  if (result.Success)
    result.Reason.clear();
  else if (result.Reason.empty())
    result.Reason = kCallFailedReason;
  if (result.Success) result.Outcome = TCallOutcome::Accepted;
  result.ServiceURL = pinger.ServiceURL;
  result.SiteURL = pinger.SiteURL;
}

TThreadPingService::TThreadPingService(runtime::TMainThread& mainThread, std::shared_ptr<TServiceTable> table,
                                       std::string siteURL, uint16_t threadNum, TResultHandler onResult,
                                       TPingCall call, std::shared_ptr<const TCallSettings> settings)
    : TThread(mainThread),
      ThreadNum_(threadNum),
      SiteURL_(std::move(siteURL)),
      table_(std::move(table)),
      onResult_(std::move(onResult)),
      call_(std::move(call)) {
  if (settings) Pinger.Settings = std::move(settings);
  SetFreeOnTerminate(true);
}

void TThreadPingService::Execute() {
  if (!table_ || table_->Empty()) return;

  const std::size_t count = table_->Count();
  for (std::size_t i = 0; i < count; ++i) {
    if (!table_->IsPending(i)) continue;
    // Looked at only here: a worker asked to stop finishes the call it is
    // in, hands its result over, and stops at the next pending entry.
    if (Terminated()) return;
    if (!table_->Claim(i)) continue;

    const std::string& line = table_->Line(i);
    if (!IsPingedServiceLine(line)) continue;
    // The request is built for the first service this worker calls: the
    // workers that find nothing to call never hold one.
    MakeCall(Pinger, line, WithScheme(SiteURL_), call_, result_);
    table_->MarkDone(i);

    result_.ThreadNum = ThreadNum_;
    if (onResult_) Synchronize([this] { onResult_(result_); });
  }
}

}  // namespace corvandel::engine
