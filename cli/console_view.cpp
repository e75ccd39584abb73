#include "cli/console_view.h"

#include "engine/ping_service.h"

namespace corvandel::cli {

TConsoleView::TConsoleView(runtime::TEventLoop& loop, std::vector<std::string> sites, std::vector<std::string> services,
                           int workers, TResultHandler onResult)
    : loop_(loop), services_(std::move(services)), workers_(workers), onResult_(std::move(onResult)) {
  sites_.reserve(sites.size());
  for (std::string& site : sites) sites_.emplace_back(std::move(site), false);
}

void TConsoleView::ShowResult(const engine::TPingResult& result) {
  ++(result.Success ? successes_ : errors_);
  if (onResult_) onResult_(result);
}

void TConsoleView::SetTimerEnabled(bool enabled) {
  if (enabled && !timer_) {
    timer_ = loop_.StartTimer(engine::kPingTimerInterval, [this] {
      if (controller_) controller_->pingTimerTimer();
    });
  } else if (!enabled && timer_) {
    loop_.StopTimer(*timer_);
    timer_.reset();
  }
}

}  // namespace corvandel::cli
