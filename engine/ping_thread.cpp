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

TThreadPingService::TThreadPingService(runtime::TMainThread& mainThread, std::shared_ptr<TServiceTable> table,
                                       std::string siteURL, uint16_t threadNum, TResultHandler onResult,
                                       TPingCall call)
    : TThread(mainThread),
      ThreadNum_(threadNum),
      SiteURL_(std::move(siteURL)),
      table_(std::move(table)),
      onResult_(std::move(onResult)),
      call_(std::move(call)) {
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

    Pinger.ServiceURL = table_->Line(i);
    if (!IsPingedServiceLine(Pinger.ServiceURL)) continue;

    // Built once, for the first service this worker calls: the workers
    // that find nothing to call never hold a request.
    if (!Pinger.Request) Pinger.BuildRequest(WithScheme(SiteURL_));
    // An announcement line names its endpoint itself; only an XML-RPC
    // service gets the default scheme.
    result_.Kind = KindOf(Pinger.ServiceURL);
    const std::string url =
        result_.Kind == TServiceKind::XMLRPC ? WithScheme(Pinger.ServiceURL) : Pinger.ServiceURL;
    // The record is reused: a call that fills less than all of it, such as
    // a front-end's own, must not hand over the previous call's outcome.
    result_.Success = false;
    result_.Code = 0;
    result_.Answer = kNoAnswer;
    result_.Reason = kCallNotMadeReason;
    result_.Started = std::chrono::system_clock::now();
    const auto start = std::chrono::steady_clock::now();
    if (call_)
      call_(Pinger, url, result_);
    else
      Pinger.Call(url, result_);
    result_.Elapsed = std::chrono::steady_clock::now() - start;
    // A reason says why a call failed, so a success has none and a
    // failure always has one.
    if (result_.Success)
      result_.Reason.clear();
    else if (result_.Reason.empty())
      result_.Reason = kCallFailedReason;
    table_->MarkDone(i);

    result_.ServiceURL = Pinger.ServiceURL;
    result_.SiteURL = Pinger.SiteURL;
    result_.ThreadNum = ThreadNum_;
    if (onResult_) Synchronize([this] { onResult_(result_); });
  }
}

}  // namespace corvandel::engine
