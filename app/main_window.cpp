#include "app/main_window.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QKeySequence>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "app/call_details.h"
#include "app/call_records.h"
#include "app/check_list_box.h"
#include "app/dialogs.h"
#include "app/log_memo.h"
#include "app/lower_case_edit.h"
#include "app/qt_main_thread.h"
#include "app/tab_control.h"
#include "app/up_down.h"
#include "app/window_texts.h"
#include "engine/list_file.h"

namespace corvandel::app {

namespace {

using namespace std::chrono_literals;

// How long closing the window waits for the workers of a stopped run: those
// between calls end at once, and a call that is about to finish may still be
// logged. Workers inside a long call are left behind after that.
constexpr std::chrono::milliseconds kCloseGrace = 500ms;
constexpr std::chrono::milliseconds kCloseWaitSlice = 50ms;

constexpr int kClientWidth = 471;
constexpr int kClientHeight = 376;
constexpr int kTabStripHeight = 21;
constexpr int kSiteItemHeight = 16;
// The site list's lock flag: while set, the user cannot change check marks.
constexpr int kLockedTag = 1;
// "Add URL" takes text longer than this.
constexpr qsizetype kMinURLLength = 4;

// The counts stand a little off the captions before them, which may run
// up to the counts' left edge in a wide desktop font.
constexpr int kCountIndent = 6;

constexpr int kDefaultFontPixels = 11;
constexpr int kCaptionFontPixels = 13;
constexpr int kPingFontPixels = 16;

const QColor kNavy(0x00, 0x00, 0x80);
const QColor kRed(0xFF, 0x00, 0x00);
const QColor kBlue(0x00, 0x00, 0xFF);

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string Bytes(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

std::string FileName(const QString& path) {
  const QByteArray bytes = QFile::encodeName(path);
  return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

QFont Font(const QFont& base, int pixels, bool bold, bool italic = false) {
  QFont font = base;
  font.setPixelSize(pixels);
  font.setBold(bold);
  font.setItalic(italic);
  return font;
}

// The colour of a caption while its control is enabled; disabled, the
// control keeps the style's grey, as every disabled control does.
void SetTextColour(QWidget& widget, const QColor& colour) {
  QPalette palette = widget.palette();
  for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
    palette.setColor(group, QPalette::WindowText, colour);
    palette.setColor(group, QPalette::ButtonText, colour);
  }
  widget.setPalette(palette);
}

template <typename W>
W* Make(QWidget* parent, const char* name) {
  auto* widget = new W(parent);
  widget->setObjectName(QString::fromLatin1(name));
  return widget;
}

// A label as wide as its caption, at the given place.
QLabel* AutoSizeLabel(QWidget* parent, const char* name, std::string_view caption, const QFont& font, int x,
                      int y) {
  auto* label = Make<QLabel>(parent, name);
  label->setFont(font);
  label->setText(Q(caption));
  label->adjustSize();
  label->move(x, y);
  return label;
}

QLabel* FixedWidthLabel(QWidget* parent, const char* name, const QFont& font, int x, int y, int width,
                        Qt::Alignment alignment = Qt::AlignLeft) {
  auto* label = Make<QLabel>(parent, name);
  label->setFont(font);
  label->setAlignment(alignment | Qt::AlignTop);
  label->setText(Q(engine::kZeroCount));
  label->setGeometry(x, y, width, label->sizeHint().height());
  return label;
}

QFrame* Panel(QWidget* parent, const char* name, int x, int y, int width, int height) {
  auto* panel = Make<QFrame>(parent, name);
  panel->setFrameShape(QFrame::NoFrame);
  panel->setAutoFillBackground(true);
  panel->setGeometry(x, y, width, height);
  return panel;
}

// The objects that workers left behind by a closed window still reach:
// never destroyed, since those workers end whenever their calls return.
struct TLeftBehind {
  std::unique_ptr<TQtMainThread> mainThread;
  std::unique_ptr<engine::TRunController> controller;
};

std::vector<TLeftBehind>& LeftBehind() {
  union TNeverDestroyed {
    std::vector<TLeftBehind> value;
    TNeverDestroyed() : value() {}
    ~TNeverDestroyed() {}
  };
  static TNeverDestroyed lot;
  return lot.value;
}

}  // namespace

bool WorkersLeftBehind() { return !LeftBehind().empty(); }

TfrmMain::TfrmMain(QWidget* parent, std::shared_ptr<const engine::TCallSettings> callSettings)
    : QMainWindow(parent), mainThread_(std::make_unique<TQtMainThread>()) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(Q(kAppTitle));
  // A fixed border: system menu, minimise and close, no maximise.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  mainThread_->SetOnError([this](std::exception_ptr failure) {
    Guarded([&] { std::rethrow_exception(failure); });
  });
  controller_ = std::make_unique<engine::TRunController>(*mainThread_, *this, engine::TPingCall{},
                                                        std::move(callSettings));
  results_ = new TCallRecords(this);
  BuildControls();
  BuildMenu();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  FormCreate();
  CentreOnDesktop();
}

TfrmMain::~TfrmMain() {
  FormClose();
  // Before the records it shows, which as children would go first.
  delete CallDetails_;
  CallDetails_ = nullptr;
  controller_.reset();
  mainThread_.reset();
}

template <typename Handler>
void TfrmMain::Guarded(Handler&& handler) {
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(this, QString::fromLocal8Bit(e.what()));
  } catch (...) {
    ShowError(this, QStringLiteral("Unknown failure"));
  }
}

void TfrmMain::BuildControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("client"));
  client->setFixedSize(kClientWidth, kClientHeight);
  setCentralWidget(client);

  QFont base = QGuiApplication::font();
  base.setPixelSize(kDefaultFontPixels);
  client->setFont(base);
  const QFont bold = Font(base, kDefaultFontPixels, true);
  const QFont caption = Font(base, kCaptionFontPixels, true);

  tbctrlMain_ = new TTabControl(client, kTabStripHeight);
  tbctrlMain_->setObjectName(QStringLiteral("tbctrlMain"));
  tbctrlMain_->setGeometry(0, 0, 307, 303);
  tbctrlMain_->AddTab(Q(kPingTabCaption));
  tbctrlMain_->AddTab(Q(kLogTabCaption));

  panelPing_ = Panel(tbctrlMain_, "panelPing", 0, 21, 304, 279);
  lblURLs_ = AutoSizeLabel(panelPing_, "lblURLs", kURLsCaption, caption, 3, 2);
  SetTextColour(*lblURLs_, kNavy);
  clboxURLs_ = Make<TCheckListBox>(panelPing_, "clboxURLs");
  clboxURLs_->setGeometry(3, 21, 297, 233);
  clboxURLs_->setFont(caption);
  clboxURLs_->SetItemHeight(kSiteItemHeight);
  clboxURLs_->SetTag(kLockedTag);
  clboxURLs_->SetOnMouseDown([this](bool& cancel) { clboxURLsMouseDown(cancel); });
  clboxURLs_->SetOnKeyPress([this](QChar& key) { clboxURLsKeyPress(key); });
  edURL_ = Make<TLowerCaseEdit>(panelPing_, "edURL");
  edURL_->setGeometry(3, 257, 209, 21);
  btnAddURL_ = Make<QPushButton>(panelPing_, "btnAddURL");
  btnAddURL_->setText(Q(kAddURLCaption));
  btnAddURL_->setFont(Font(base, kCaptionFontPixels, true, true));
  btnAddURL_->setGeometry(219, 257, 81, 21);

  panelLog_ = Panel(tbctrlMain_, "panelLog", 0, 21, 304, 279);
  memoLog_ = Make<TLogMemo>(panelLog_, "memoLog");
  memoLog_->setGeometry(3, 3, 298, 275);
  memoLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memoLog_->setReadOnly(true);
  memoLog_->OnToolTip = [this](int record) { return results_->LineToolTip(record); };
  memoLog_->OnOpen = [this](int record) { Guarded([&] { mmCallDetailsClick(record); }); };
  panelPing_->raise();

  lblSC_ = AutoSizeLabel(client, "lblSC", kServicesCountCaption, caption, 320, 30);
  lblNServCount_ = FixedWidthLabel(client, "lblNServCount", bold, 432, 30, 41);
  lblNServCount_->setContentsMargins(kCountIndent, 0, 0, 0);
  Label2_ = AutoSizeLabel(client, "Label2", kWebsitesCountCaption, bold, 318, 54);
  lblNURLCount_ = FixedWidthLabel(client, "lblNURLCount", bold, 432, 54, 41);
  lblNURLCount_->setContentsMargins(kCountIndent, 0, 0, 0);
  Label4_ = AutoSizeLabel(client, "Label4", kThreadNumberCaption, bold, 318, 86);
  edNumThread_ = Make<QLineEdit>(client, "edNumThread");
  edNumThread_->setFont(bold);
  edNumThread_->setReadOnly(true);
  edNumThread_->setGeometry(344, 104, 41, 24);
  updnThread_ = new TUpDown(client, *edNumThread_);
  updnThread_->setObjectName(QStringLiteral("updnThread"));
  updnThread_->setGeometry(385, 104, 24, 24);
  updnThread_->SetMin(engine::kMinWorkers);
  updnThread_->SetMax(engine::kMaxWorkers);
  updnThread_->SetPosition(engine::kDefaultWorkers);

  bbtnPing_ = Make<QPushButton>(client, "bbtnPing");
  bbtnPing_->setFont(Font(base, kPingFontPixels, true));
  SetTextColour(*bbtnPing_, kNavy);
  bbtnPing_->setGeometry(337, 178, 105, 32);

  ProgressBar_ = Make<QProgressBar>(client, "ProgressBar");
  ProgressBar_->setGeometry(4, 312, 300, 25);
  ProgressBar_->setRange(0, 100);
  ProgressBar_->setValue(0);
  ProgressBar_->setTextVisible(false);

  pnlRes_ = Panel(client, "pnlRes", 8, 341, 217, 28);
  Label1_ = AutoSizeLabel(pnlRes_, "Label1", kErrorCaption, bold, 5, 5);
  SetTextColour(*Label1_, kRed);
  lblNError_ = FixedWidthLabel(pnlRes_, "lblNError", bold, 47, 6, 35, Qt::AlignHCenter);
  SetTextColour(*lblNError_, kRed);
  Label3_ = AutoSizeLabel(pnlRes_, "Label3", kSuccessCaption, bold, 101, 6);
  SetTextColour(*Label3_, kBlue);
  lblNOK_ = FixedWidthLabel(pnlRes_, "lblNOK", bold, 168, 6, 40, Qt::AlignHCenter);
  SetTextColour(*lblNOK_, kBlue);

  pingTimer_ = new QTimer(this);
  pingTimer_->setObjectName(QStringLiteral("pingTimer"));
  pingTimer_->setInterval(engine::kPingTimerInterval);

  connect(tbctrlMain_, &TTabControl::Change, this, [this](int index) { Guarded([&] { tbctrlMainChange(index); }); });
  connect(btnAddURL_, &QPushButton::clicked, this, [this] { Guarded([&] { btnAddURLClick(); }); });
  // Enter in the edit adds the site, as long as "Add URL" could be pressed.
  connect(edURL_, &QLineEdit::returnPressed, this, [this] {
    if (btnAddURL_->isEnabled()) btnAddURL_->click();
  });
  connect(bbtnPing_, &QPushButton::clicked, this, [this] { Guarded([&] { bbtnPingClick(); }); });
  connect(pingTimer_, &QTimer::timeout, this, [this] { Guarded([&] { pingTimerTimer(); }); });
}

void TfrmMain::BuildMenu() {
  QMenuBar* menu = menuBar();
  menu->setObjectName(QStringLiteral("MainMenu1"));
  mmMain_ = menu->addMenu(Q(kMainMenuCaption));
  mmMain_->setObjectName(QStringLiteral("mmMain"));
  mmExit_ = mmMain_->addAction(Q(kExitCaption));
  mmExit_->setObjectName(QStringLiteral("mmExit"));

  mmConfig_ = menu->addMenu(Q(kConfigMenuCaption));
  mmConfig_->setObjectName(QStringLiteral("mmConfig"));
  mmLoadServ_ = mmConfig_->addAction(Q(kReloadServicesCaption));
  mmLoadServ_->setObjectName(QStringLiteral("mmLoadServ"));
  N1_ = mmConfig_->addSeparator();
  N1_->setObjectName(QStringLiteral("N1"));
  mmLoadURL_ = mmConfig_->addAction(Q(kLoadURLsCaption));
  mmLoadURL_->setObjectName(QStringLiteral("mmLoadURL"));
  SaveURLs1_ = mmConfig_->addAction(Q(kSaveURLsCaption));
  SaveURLs1_->setObjectName(QStringLiteral("SaveURLs1"));

  mmView_ = menu->addMenu(Q(kViewMenuCaption));
  mmView_->setObjectName(QStringLiteral("mmView"));
  mmCallDetails_ = mmView_->addAction(Q(kCallDetailsCaption));
  mmCallDetails_->setObjectName(QStringLiteral("mmCallDetails"));
  mmCallDetails_->setShortcut(QKeySequence(Q(kCallDetailsShortcut)));

  connect(mmExit_, &QAction::triggered, this, [this] { Guarded([&] { mmExitClick(); }); });
  connect(mmLoadServ_, &QAction::triggered, this, [this] { Guarded([&] { mmLoadServClick(); }); });
  connect(mmLoadURL_, &QAction::triggered, this, [this] { Guarded([&] { mmLoadURLClick(); }); });
  connect(SaveURLs1_, &QAction::triggered, this, [this] { Guarded([&] { SaveURLs1Click(); }); });
  connect(mmCallDetails_, &QAction::triggered, this, [this] { Guarded([&] { mmCallDetailsClick(); }); });
}

void TfrmMain::CentreOnDesktop() {
  adjustSize();
  const QScreen* desktop = screen() ? screen() : QGuiApplication::primaryScreen();
  if (!desktop) return;
  const QRect area = desktop->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

QFileDialog& TfrmMain::OpenDialog() {
  if (!OpenDialog_) {
    OpenDialog_ = new QFileDialog(this);
    OpenDialog_->setObjectName(QStringLiteral("OpenDialog"));
    OpenDialog_->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog_->setFileMode(QFileDialog::ExistingFile);
    UseFileIconsWithoutReading(*OpenDialog_);
    OpenDialog_->setNameFilter(Q(kListFilterName) + QStringLiteral(" (") + Q(kListFilterPattern) + u')');
  }
  return *OpenDialog_;
}

QFileDialog& TfrmMain::SaveDialog() {
  if (!SaveDialog_) {
    SaveDialog_ = new QFileDialog(this);
    SaveDialog_->setObjectName(QStringLiteral("SaveDialog"));
    SaveDialog_->setAcceptMode(QFileDialog::AcceptSave);
    SaveDialog_->setFileMode(QFileDialog::AnyFile);
    UseFileIconsWithoutReading(*SaveDialog_);
    SaveDialog_->setNameFilter(Q(kListFilterName) + QStringLiteral(" (") + Q(kListFilterPattern) + u')');
  }
  return *SaveDialog_;
}

void TfrmMain::FormCreate() {
  SetTimerEnabled(false);
  memoLog_->clear();
  ClearResults();
  services_.clear();
  clboxURLs_->clear();
  for (QLabel* count : {lblNError_, lblNOK_, lblNServCount_, lblNURLCount_}) count->setText(Q(engine::kZeroCount));
  bbtnPing_->setText(Q(engine::kPingCaption));
  bbtnPing_->setEnabled(false);
  updnThread_->SetMax(engine::kMaxWorkers);
  tbctrlMain_->SetTabIndex(0);
  tbctrlMainChange(0);
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // From the event loop, so that the message box of a missing file stands
  // over a window that is already on the screen.
  QTimer::singleShot(0, this, [this] { Guarded([&] { FormShow(); }); });
}

void TfrmMain::FormShow() {
  if (closed_) return;
  services_.clear();
  const std::string path = FileName(QDir::currentPath()) + "/" + std::string(engine::kServicesFileName);
  try {
    LoadServiceFile(path);
  } catch (const std::exception&) {
    ShowMessage(this, Q(kServicesFileMissing));
  }
  ShowServicesCount();
  UpdatePingEnabled();
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  FormClose();
  event->accept();
}

void TfrmMain::FormClose() {
  if (closed_) return;
  closed_ = true;
  pingTimer_->stop();
  if (CallDetails_) CallDetails_->close();
  try {
    if (controller_->Pinging()) controller_->StopRun();
  } catch (...) {
    // Closing goes on: the workers have been asked to stop either way.
  }
  const auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
  while (controller_->AliveWorkers() > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    try {
      mainThread_->WaitAndProcess(std::min(left, kCloseWaitSlice));
    } catch (...) {
      // A result that cannot be shown any more does not matter now.
    }
  }
  if (controller_->AliveWorkers() == 0) return;
  // The rest are inside calls that may take up to the HTTP client's read
  // timeout. Nothing of them may reach this window from now on.
  mainThread_->Close();
  LeftBehind().push_back({std::move(mainThread_), std::move(controller_)});
}

void TfrmMain::tbctrlMainChange(int index) {
  if (index == 0) {
    panelPing_->show();
    panelLog_->hide();
  } else if (index == 1) {
    panelPing_->hide();
    panelLog_->show();
  }
}

void TfrmMain::clboxURLsMouseDown(bool& cancel) {
  if (clboxURLs_->Tag() != 0) cancel = true;
}

void TfrmMain::clboxURLsKeyPress(QChar& key) {
  if (clboxURLs_->Tag() != 0 && key == u' ') key = QChar();
}

void TfrmMain::btnAddURLClick() {
  const QString text = edURL_->text();
  if (text.toUcs4().size() > kMinURLLength) clboxURLs_->AddItem(Bytes(text));
  edURL_->clear();
  ShowSitesCount();
  UpdatePingEnabled();
}

void TfrmMain::bbtnPingClick() {
  if (controller_) controller_->bbtnPingClick();
}

void TfrmMain::pingTimerTimer() {
  if (controller_) controller_->pingTimerTimer();
}

void TfrmMain::mmExitClick() { close(); }

void TfrmMain::mmLoadServClick() {
  const auto file = ExecFileDialog(OpenDialog());
  if (!file) return;
  LoadServiceFile(FileName(*file));
  ShowServicesCount();
  UpdatePingEnabled();
}

void TfrmMain::mmLoadURLClick() {
  // The run's check marks record the sites it has finished: a new list
  // during a run would have them check off sites it never pinged.
  if (controller_ && controller_->Pinging()) return;
  const auto file = ExecFileDialog(OpenDialog());
  if (!file) return;
  // Read first: a file that cannot be read leaves the list as it was.
  // An empty line names no site: announced, it would be "http://".
  const std::vector<std::string> sites = engine::ReadListFile(FileName(*file), {.SkipEmptyLines = true});
  clboxURLs_->clear();
  for (const std::string& site : sites) clboxURLs_->AddItem(site);
  ShowSitesCount();
  UpdatePingEnabled();
}

void TfrmMain::SaveURLs1Click() {
  if (clboxURLs_->count() == 0) return;
  const auto file = ExecFileDialog(SaveDialog());
  if (!file) return;
  std::vector<std::string> sites;
  sites.reserve(static_cast<std::size_t>(clboxURLs_->count()));
  for (int i = 0; i < clboxURLs_->count(); ++i) sites.push_back(clboxURLs_->ItemText(i));
  engine::WriteListFile(FileName(*file), sites);
}

void TfrmMain::mmCallDetailsClick(int record) {
  if (!CallDetails_) CallDetails_ = new TCallDetails(*results_, this);
  CallDetails_->ShowCall(record);
}

void TfrmMain::UpdatePingEnabled() {
  // A service list whose lines are all skipped counts as empty.
  if (clboxURLs_->count() > 0 && engine::CountPingedServices(services_) > 0) bbtnPing_->setEnabled(true);
}

void TfrmMain::LoadServiceFile(const std::string& path) { services_ = engine::ReadListFile(path); }

void TfrmMain::ShowServicesCount() { lblNServCount_->setText(QString::number(services_.size())); }
void TfrmMain::ShowSitesCount() { lblNURLCount_->setText(QString::number(clboxURLs_->count())); }

std::size_t TfrmMain::SiteCount() const { return static_cast<std::size_t>(clboxURLs_->count()); }
std::string TfrmMain::Site(std::size_t index) const { return clboxURLs_->ItemText(static_cast<int>(index)); }
bool TfrmMain::SiteChecked(std::size_t index) const { return clboxURLs_->Checked(static_cast<int>(index)); }
void TfrmMain::SetSiteChecked(std::size_t index, bool checked) {
  clboxURLs_->SetChecked(static_cast<int>(index), checked);
}
int TfrmMain::WorkerCount() const { return updnThread_->Position(); }
void TfrmMain::SetWorkerCountEnabled(bool enabled) { updnThread_->setEnabled(enabled); }
// "Load URLs" replaces the site list as "Add URL" extends it: a run
// disables both.
void TfrmMain::SetAddURLEnabled(bool enabled) {
  btnAddURL_->setEnabled(enabled);
  mmLoadURL_->setEnabled(enabled);
}
void TfrmMain::SetPingCaption(const std::string& caption) { bbtnPing_->setText(QString::fromStdString(caption)); }
std::string TfrmMain::SuccessCaption() const { return lblNOK_->text().toStdString(); }
void TfrmMain::SetSuccessCaption(const std::string& caption) { lblNOK_->setText(QString::fromStdString(caption)); }
std::string TfrmMain::ErrorCaption() const { return lblNError_->text().toStdString(); }
void TfrmMain::SetErrorCaption(const std::string& caption) { lblNError_->setText(QString::fromStdString(caption)); }
void TfrmMain::ClearLog() {
  memoLog_->clear();
  ClearResults();
}

// A service's text with a line break in it would pass for more lines of
// the log: every call stays one line, its control characters written out.
void TfrmMain::AppendLog(const std::string& line) {
  memoLog_->AppendLine(VisibleText(QString::fromStdString(line)), pendingResult_);
  pendingResult_ = -1;
}

void TfrmMain::ShowResult(const engine::TPingResult& result) { pendingResult_ = results_->Append(result); }

void TfrmMain::ClearResults() {
  results_->Clear();
  pendingResult_ = -1;
}

void TfrmMain::SetProgress(int position) { ProgressBar_->setValue(position); }

void TfrmMain::SetTimerEnabled(bool enabled) {
  if (enabled)
    pingTimer_->start();
  else
    pingTimer_->stop();
}

}  // namespace corvandel::app
