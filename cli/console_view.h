#pragma once

// The run controller's view without a window: the lists in memory, the
// timer on the event loop, the counts, and every finished call handed to
// whoever writes it out.

#include <cstddef>
#include <cstdint>
#include <functional>
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
  using TResultHandler = std::function<void(const engine::TPingResult& result)>;

  // onResult receives every finished call, counted already.
  TConsoleView(runtime::TEventLoop& loop, std::vector<std::string> sites, std::vector<std::string> services,
               int workers, TResultHandler onResult = {});
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
  // The whole record goes out instead, from ShowResult.
  void AppendLog(const std::string&) override {}
  void ShowResult(const engine::TPingResult& result) override;
  void SetProgress(int) override {}
  void SetTimerEnabled(bool enabled) override;

  bool AnyError() const { return errors_ != 0; }
  int64_t Successes() const { return successes_; }
  int64_t Errors() const { return errors_; }

private:
  runtime::TEventLoop& loop_;
  engine::TRunController* controller_ = nullptr;
  std::vector<std::pair<std::string, bool>> sites_;
  std::vector<std::string> services_;
  int workers_;
  std::string success_ = "0";
  std::string error_ = "0";
  int64_t successes_ = 0;
  int64_t errors_ = 0;
  TResultHandler onResult_;
  std::optional<runtime::TEventLoop::TTimerId> timer_;
};

}  // namespace corvandel::cli
