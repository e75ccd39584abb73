#include "cli/console_view.h"

#include "engine/ping_service.h"

namespace corvandel::cli {

namespace {

constexpr std::string_view kSuccessLabel = "Success: ";
constexpr std::string_view kErrorLabel = " Error: ";
constexpr char kReplacement = '?';

}  // namespace

TConsoleView::TConsoleView(runtime::TEventLoop& loop, std::FILE* out, bool sanitize, std::vector<std::string> sites,
                           std::vector<std::string> services, int workers)
    : loop_(loop), out_(out), sanitize_(sanitize), services_(std::move(services)), workers_(workers) {
  sites_.reserve(sites.size());
  for (std::string& site : sites) sites_.emplace_back(std::move(site), false);
}

void TConsoleView::AppendLog(const std::string& line) {
  const std::string shown = sanitize_ ? SanitizeForTerminal(line) : line;
  std::fwrite(shown.data(), 1, shown.size(), out_);
  std::fputc('\n', out_);
  // Line by line, so that a script reading the pipe sees each call as it ends.
  std::fflush(out_);
}

void TConsoleView::ShowResult(const engine::TPingResult& result) {
  if (result.Success || result.Reason.empty()) return;
  const std::string line = SanitizeForTerminal(result.ServiceURL + " URL:" + result.SiteURL + " reason: " + result.Reason);
  std::fprintf(stderr, "%s\n", line.c_str());
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

std::string TConsoleView::Summary() const {
  return std::string(kSuccessLabel) + success_ + std::string(kErrorLabel) + error_;
}

bool TConsoleView::AnyError() const { return error_ != "0"; }

std::string SanitizeForTerminal(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte < 0x20 && byte != '\t' && byte != '\n') || byte == 0x7F) {
      shown += kReplacement;
    } else if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      shown += kReplacement;
      ++i;
    } else {
      shown += text[i];
    }
  }
  return shown;
}

}  // namespace corvandel::cli
