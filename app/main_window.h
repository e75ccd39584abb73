#pragma once

// Corvandel's one window: the site list and the log on two tabs, the counts
// of services and sites, the worker count, "Ping!" with the counters and the
// progress bar, and the menu that loads and saves the lists. A run belongs to
// the run controller: the window is its view and hands it every click and
// timer tick. Each line of the log keeps its call's whole record: hovering
// the line tells why the call failed, and a double click on it, or "View" ->
// "Call details...", lists the run's calls (TCallDetails).
//
// Closing the window during a run stops the run. Workers that are still
// inside a network call after a short grace are left to end on their own:
// their messages are dropped from then on (TQtMainThread::Close), and the
// objects they can still reach are kept for as long as the process lives.

#include <QChar>
#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "engine/run_controller.h"
#include "engine/run_view.h"

class QAction;
class QFileDialog;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;

namespace corvandel::app {

class TCallDetails;
class TCallRecords;
class TCheckListBox;
class TLogMemo;
class TLowerCaseEdit;
class TQtMainThread;
class TTabControl;
class TUpDown;

class TfrmMain final : public QMainWindow, public engine::TRunView {
public:
  // Needs a QApplication; the constructing thread becomes the main thread.
  // callSettings are the proxies, trust and time-out of every call; the
  // defaults when null.
  explicit TfrmMain(QWidget* parent = nullptr, std::shared_ptr<const engine::TCallSettings> callSettings = {});
  ~TfrmMain() override;

  // Window event handlers, all on the main thread. Failures that a handler
  // does not deal with itself go to the standard error box.
  void FormCreate();
  // Loads "PingServices.txt" from the current directory; runs once, from the
  // event loop, after the window was first shown.
  void FormShow();
  void FormClose();
  void tbctrlMainChange(int index);
  void clboxURLsMouseDown(bool& cancel);
  void clboxURLsKeyPress(QChar& key);
  void btnAddURLClick();
  void bbtnPingClick();
  void pingTimerTimer();
  void mmExitClick();
  void mmLoadServClick();
  void mmLoadURLClick();
  void SaveURLs1Click();
  // Opens the details of the run's calls; with a row of the records, at
  // that call.
  void mmCallDetailsClick(int record = -1);

  // Enables "Ping!" once both lists hold entries; never disables it.
  void UpdatePingEnabled();
  // Replaces the service list with the file's lines. Raises, and keeps the
  // current list, when the file cannot be read.
  void LoadServiceFile(const std::string& path);

  // Null once the window has closed.
  const engine::TRunController* Controller() const { return controller_.get(); }
  TQtMainThread* MainThread() const { return mainThread_.get(); }

  // engine::TRunView
  std::size_t SiteCount() const override;
  std::string Site(std::size_t index) const override;
  bool SiteChecked(std::size_t index) const override;
  void SetSiteChecked(std::size_t index, bool checked) override;
  const std::vector<std::string>& Services() const override { return services_; }
  int WorkerCount() const override;
  void SetWorkerCountEnabled(bool enabled) override;
  void SetAddURLEnabled(bool enabled) override;
  void SetPingCaption(const std::string& caption) override;
  std::string SuccessCaption() const override;
  void SetSuccessCaption(const std::string& caption) override;
  std::string ErrorCaption() const override;
  void SetErrorCaption(const std::string& caption) override;
  void ClearLog() override;
  void AppendLog(const std::string& line) override;
  void ShowResult(const engine::TPingResult& result) override;
  void SetProgress(int position) override;
  void SetTimerEnabled(bool enabled) override;

protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void BuildControls();
  void BuildMenu();
  void CentreOnDesktop();
  QFileDialog& OpenDialog();
  QFileDialog& SaveDialog();
  // Runs a handler; what it raises goes to the standard error box.
  template <typename Handler>
  void Guarded(Handler&& handler);
  void ShowServicesCount();
  void ShowSitesCount();
  void ClearResults();

  std::unique_ptr<TQtMainThread> mainThread_;
  std::unique_ptr<engine::TRunController> controller_;
  // The service list as loaded; each run pings from a copy of its own.
  std::vector<std::string> services_;
  // The run's finished calls, one for each line of the log.
  TCallRecords* results_ = nullptr;
  // The row of the result shown last, until its log line is appended.
  int pendingResult_ = -1;
  bool shown_ = false;
  bool closed_ = false;

  TTabControl* tbctrlMain_ = nullptr;
  QFrame* panelPing_ = nullptr;
  QLabel* lblURLs_ = nullptr;
  TCheckListBox* clboxURLs_ = nullptr;
  TLowerCaseEdit* edURL_ = nullptr;
  QPushButton* btnAddURL_ = nullptr;
  QFrame* panelLog_ = nullptr;
  TLogMemo* memoLog_ = nullptr;
  QLabel* lblSC_ = nullptr;
  QLabel* lblNServCount_ = nullptr;
  QLabel* Label2_ = nullptr;
  QLabel* lblNURLCount_ = nullptr;
  QLabel* Label4_ = nullptr;
  QLineEdit* edNumThread_ = nullptr;
  TUpDown* updnThread_ = nullptr;
  QPushButton* bbtnPing_ = nullptr;
  QProgressBar* ProgressBar_ = nullptr;
  QFrame* pnlRes_ = nullptr;
  QLabel* Label1_ = nullptr;
  QLabel* lblNError_ = nullptr;
  QLabel* Label3_ = nullptr;
  QLabel* lblNOK_ = nullptr;
  QTimer* pingTimer_ = nullptr;
  QFileDialog* OpenDialog_ = nullptr;  // made when first needed
  QFileDialog* SaveDialog_ = nullptr;
  TCallDetails* CallDetails_ = nullptr;  // made when first needed
  QMenu* mmMain_ = nullptr;
  QMenu* mmConfig_ = nullptr;
  QAction* mmExit_ = nullptr;
  QAction* mmLoadServ_ = nullptr;
  QAction* N1_ = nullptr;
  QAction* mmLoadURL_ = nullptr;
  QAction* SaveURLs1_ = nullptr;
  QMenu* mmView_ = nullptr;
  QAction* mmCallDetails_ = nullptr;
};

// True once a window closed while workers were still inside calls. They end
// on their own, but the process must then end without running its static
// destructors under them (std::_Exit after the application object is gone).
bool WorkersLeftBehind();

}  // namespace corvandel::app
