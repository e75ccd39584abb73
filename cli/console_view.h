#pragma once

// The run controller's view for a terminal or a pipe: the lists in memory,
// the log on standard output, the timer on the event loop.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/run_controller.h"
#include "engine/run_view.h"
#include "runtime/event_loop.h"

namespace corvandel::cli {

class TConsoleView : public engine::TRunView {
public:
  // With sanitize, control characters from the network are not passed to
  // the output as they are (see SanitizeForTerminal).
  TConsoleView(runtime::TEventLoop& loop, std::FILE* out, bool sanitize, std::vector<std::string> sites,
               std::vector<std::string> services, int workers);
  // The controller whose timer handler the view's timer calls.
  void Attach(engine::TRunController& controller) { controller_ = &controller; }

  std::size_t SiteCount() const override { return sites_.size(); }
  std::string Site(std::size_t index) const override { return sites_.at(index).first; }
  bool SiteChecked(std::size_t index) const override { return sites_.at(index).second; }
  void SetSiteChecked(std::size_t index, bool checked) override { sites_.at(index).second = checked; }
  const std::vector<std::string>& Services() const override { return services_; }
  int WorkerCount() const override { return workers_; }
  void SetWorkerCountEnabled(bool) override {}
  void SetAddURLEnabled(bool) override {}
  void SetPingCaption(const std::string&) override {}
  std::string SuccessCaption() const override { return success_; }
  void SetSuccessCaption(const std::string& caption) override { success_ = caption; }
  std::string ErrorCaption() const override { return error_; }
  void SetErrorCaption(const std::string& caption) override { error_ = caption; }
  void ClearLog() override {}
  void AppendLog(const std::string& line) override;
  // A failed call's reason goes to standard error, beside its log line.
  void ShowResult(const engine::TPingResult& result) override;
  void SetProgress(int) override {}
  void SetTimerEnabled(bool enabled) override;

  // "Success: N Error: M".
  std::string Summary() const;
  bool AnyError() const;

private:
  runtime::TEventLoop& loop_;
  std::FILE* out_;
  bool sanitize_;
  engine::TRunController* controller_ = nullptr;
  std::vector<std::pair<std::string, bool>> sites_;
  std::vector<std::string> services_;
  int workers_;
  std::string success_ = "0";
  std::string error_ = "0";
  std::optional<runtime::TEventLoop::TTimerId> timer_;
};

// text with every control byte that a terminal would act on (C0 controls
// other than tab and line feed, DEL, and the UTF-8 form of the C1 controls)
// replaced by '?', so that an answer cannot move the cursor or send escape
// sequences to the user's terminal.
std::string SanitizeForTerminal(const std::string& text);

}  // namespace corvandel::cli
