#pragma once

// What the run controller needs of its window: the site list with its check
// marks, the loaded service list, the worker-count spin box, the counters'
// captions, the log, the progress bar, the controls a run disables, and the
// 200 ms timer. The window implements it over its widgets; the headless
// front-end and the tests over plain values.
//
// Every call comes from the main thread.

#include <cstddef>
#include <string>
#include <vector>

namespace corvandel::engine {

struct TPingResult;

class TRunView {
public:
  virtual ~TRunView() = default;

  // The site list. Its check marks belong to the controller: they record
  // the sites whose batch has finished. A grayed mark counts as unchecked.
  virtual std::size_t SiteCount() const = 0;
  virtual std::string Site(std::size_t index) const = 0;
  virtual bool SiteChecked(std::size_t index) const = 0;
  virtual void SetSiteChecked(std::size_t index, bool checked) = 0;

  // The service list as loaded. A run copies it when it starts.
  virtual const std::vector<std::string>& Services() const = 0;

  // The worker-count spin box: its position (1 to 14) and whether it can
  // be changed.
  virtual int WorkerCount() const = 0;
  virtual void SetWorkerCountEnabled(bool enabled) = 0;

  virtual void SetAddURLEnabled(bool enabled) = 0;
  // "Ping!" when idle, "Stop ping!" during a run.
  virtual void SetPingCaption(const std::string& caption) = 0;

  // The success and error counters; their captions hold the counts in decimal.
  virtual std::string SuccessCaption() const = 0;
  virtual void SetSuccessCaption(const std::string& caption) = 0;
  virtual std::string ErrorCaption() const = 0;
  virtual void SetErrorCaption(const std::string& caption) = 0;

  virtual void ClearLog() = 0;
  virtual void AppendLog(const std::string& line) = 0;
  // Each finished call's whole record, just before its log line; for views
  // that show more than the line.
  virtual void ShowResult(const TPingResult&) {}

  // The progress bar, 0 to 100.
  virtual void SetProgress(int position) = 0;

  // While enabled, the timer calls TRunController::pingTimerTimer every
  // kPingTimerInterval.
  virtual void SetTimerEnabled(bool enabled) = 0;
};

}  // namespace corvandel::engine
