#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialog>
#include <QHelpEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabBar>
#include <QTableView>
#include <QToolButton>
#include <QToolTip>

#include "app/call_records.h"
#include "app/log_memo.h"
#include "app/tab_control.h"
#include "app/qt_main_thread.h"
#include "app/up_down.h"
#include "window_fixture.h"

namespace corvandel::app::test {
namespace {

class RunTest : public WindowTest {
protected:
  // Services of the peer, the window opened on them, the sites added.
  void OpenOn(const TPingPeer& peer, const QStringList& paths, const QStringList& sites) {
    std::string services;
    for (const QString& path : paths) services += (path.isEmpty() ? std::string("abc") : peer.Address(path).toStdString()) + "\r\n";
    WriteFile(Path("PingServices.txt"), services);
    OpenWindow();
    for (const QString& site : sites) AddSite(site);
    ping_ = Find<QPushButton>("bbtnPing");
    log_ = Find<QPlainTextEdit>("memoLog");
    ASSERT_TRUE(ping_->isEnabled());
  }
  QStringList LogLines() const { return log_->toPlainText().split(u'\n', Qt::SkipEmptyParts); }

  QPushButton* ping_ = nullptr;
  QPlainTextEdit* log_ = nullptr;
};

#define REQUIRE_PEER(peer) \
  if (!(peer).Running()) GTEST_SKIP() << "needs Python 3 for the ping service"

TEST_F(RunTest, RunPingsEverySiteAtEveryServiceAndShowsEachResult) {
  TPingPeer peer(0);
  REQUIRE_PEER(peer);
  // The short line "abc" is skipped and not planned: 6 pings, 6 results.
  OpenOn(peer, {"/RPC2", "/refuse", "", "/other"}, {"first.example", "http://second.example"});
  SetWorkers(2);
  std::vector<int> progress;
  QObject::connect(Find<QProgressBar>("ProgressBar"), &QProgressBar::valueChanged,
                   [&](int value) { progress.push_back(value); });
  QTest::mouseClick(ping_, Qt::LeftButton);
  EXPECT_EQ(ping_->text(), QStringLiteral("Stop ping!"));
  EXPECT_FALSE(Find<QPushButton>("btnAddURL")->isEnabled());
  EXPECT_FALSE(Find<TUpDown>("updnThread")->isEnabled());
  EXPECT_FALSE(Find<QAction>("mmLoadURL")->isEnabled());
  WAIT_FOR(form_->Controller()->Idle());
  EXPECT_EQ(ping_->text(), QStringLiteral("Ping!"));
  EXPECT_TRUE(Find<QPushButton>("btnAddURL")->isEnabled());
  EXPECT_TRUE(Find<QAction>("mmLoadURL")->isEnabled());
  EXPECT_TRUE(form_->SiteChecked(0));
  EXPECT_TRUE(form_->SiteChecked(1));
  EXPECT_EQ(Text("lblNOK"), "4");
  EXPECT_EQ(Text("lblNError"), "2");
  EXPECT_EQ(progress, (std::vector<int>{17, 33, 50, 67, 83, 100, 0}));

  QStringList lines = LogLines();
  ASSERT_EQ(lines.size(), 6);
  for (QString& line : lines) line.replace(QRegularExpression(QStringLiteral(" Th:[12] ")), QStringLiteral(" Th:N "));
  lines.sort();
  const QString rpc = peer.Address("/RPC2"), refuse = peer.Address("/refuse"), other = peer.Address("/other");
  QStringList expected;
  for (const QString site : {"http://first.example", "http://second.example"}) {
    expected << rpc + " URL:" + site + " Code:200 Th:N Answer:Thanks for the ping."
             << refuse + " URL:" + site + " Code:200 Th:N Answer:Refused: /refuse"
             << other + " URL:" + site + " Code:200 Th:N Answer:Thanks for the ping.";
  }
  expected.sort();
  EXPECT_EQ(lines, expected) << lines.join("|").toStdString() << "\n" << expected.join("|").toStdString();
}

TEST_F(RunTest, StopPingEndsTheRunAtOnceAndLateResultsStillCount) {
  const QString record = Path("calls.txt");
  TPingPeer peer(1500, record);
  REQUIRE_PEER(peer);
  OpenOn(peer, {"/a", "/b", "/c"}, {"site.example"});
  SetWorkers(1);
  QTest::mouseClick(ping_, Qt::LeftButton);
  WAIT_FOR(ReadFile(record).find("/a") != std::string::npos);
  QTest::mouseClick(ping_, Qt::LeftButton);
  EXPECT_EQ(ping_->text(), QStringLiteral("Ping!"));
  EXPECT_EQ(Find<QProgressBar>("ProgressBar")->value(), 0);
  EXPECT_TRUE(Find<QPushButton>("btnAddURL")->isEnabled());
  EXPECT_TRUE(LogLines().isEmpty()) << "the call was still under way";
  WAIT_FOR(form_->Controller()->Idle());
  // The call in progress finished and was logged; nothing after it was called.
  ASSERT_EQ(LogLines().size(), 1);
  EXPECT_TRUE(LogLines()[0].startsWith(peer.Address("/a") + " URL:http://site.example Code:200 Th:1"));
  EXPECT_EQ(Text("lblNOK"), "1");
  EXPECT_EQ(Find<QProgressBar>("ProgressBar")->value(), 0);
  EXPECT_FALSE(form_->SiteChecked(0));
}

// A refused call tells why on its log line and in the details, which list
// the errors of the run and copy them whole. A service's line breaks stay
// inside its call's line.
TEST_F(RunTest, FailedCallsShowTheirReasonOnTheLogLineAndInTheDetails) {
  TPingPeer peer(0);
  REQUIRE_PEER(peer);
  OpenOn(peer, {"/RPC2", "/refuse", "/script/busy", "/script/forged"}, {"site.example"});
  SetWorkers(1);
  QTest::mouseClick(ping_, Qt::LeftButton);
  WAIT_FOR(form_->Controller()->Idle());
  const QStringList lines = LogLines();
  ASSERT_EQ(lines.size(), 4) << lines.join("|").toStdString();
  EXPECT_TRUE(lines[3].contains(QStringLiteral("Answer:Thanks\\r\\nhttp://forged/"))) << lines[3].toStdString();
  const QString busy = peer.Address("/script/busy");
  ASSERT_TRUE(lines[2].startsWith(busy + " URL:")) << lines[2].toStdString();

  auto* tabs = Find<TTabControl>("tbctrlMain");
  QTest::mouseClick(tabs->findChild<QTabBar*>(), Qt::LeftButton, {}, tabs->TabRect(1).center());
  auto* log = Find<TLogMemo>("memoLog");
  const QPoint busyLine = log->LinePosition(2) + QPoint(4, 3);
  QHelpEvent hover(QEvent::ToolTip, busyLine, log->viewport()->mapToGlobal(busyLine));
  QApplication::sendEvent(log->viewport(), &hover);
  WAIT_FOR(QToolTip::isVisible());
  EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("Code 503"))) << QToolTip::text().toStdString();
  EXPECT_TRUE(QToolTip::text().contains(QStringLiteral("Reason: Service Unavailable, Retry-After: 120")))
      << QToolTip::text().toStdString();

  // A double click opens the details at that call, errors only.
  QTest::mouseDClick(log->viewport(), Qt::LeftButton, {}, busyLine);
  auto* details = form_->findChild<QDialog*>(QStringLiteral("dlgCallDetails"));
  ASSERT_NE(details, nullptr);
  WAIT_FOR(details->isVisible());
  auto* table = details->findChild<QTableView*>(QStringLiteral("tvCalls"));
  auto* shown = details->findChild<QLabel*>(QStringLiteral("lblShownCalls"));
  ASSERT_TRUE(table && shown);
  EXPECT_EQ(shown->text(), QStringLiteral("Calls shown: 2 of 4"));
  const QModelIndexList selected = table->selectionModel()->selectedRows(TCallRecords::ReasonColumn);
  ASSERT_EQ(selected.size(), 1);
  EXPECT_EQ(selected[0].data().toString(), QStringLiteral("Service Unavailable, Retry-After: 120"));
  QTest::keyClick(table, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(),
            busy + "\thttp://site.example\t1\tError\t503\t?\tService Unavailable, Retry-After: 120\n");

  // With every call shown and none selected, Copy takes them all.
  details->findChild<QCheckBox*>(QStringLiteral("cbErrorsOnly"))->setChecked(false);
  EXPECT_EQ(table->model()->rowCount(), 4);
  table->clearSelection();
  QTest::mouseClick(details->findChild<QPushButton*>(QStringLiteral("btnCopy")), Qt::LeftButton);
  const QStringList copied = QGuiApplication::clipboard()->text().split(u'\n', Qt::SkipEmptyParts);
  ASSERT_EQ(copied.size(), 4);
  EXPECT_EQ(copied[1], peer.Address("/refuse") + "\thttp://site.example\t1\tError\t200\tRefused: /refuse\tflerror 1");

  // The open details follow the next run, which starts them afresh.
  QTest::mouseClick(ping_, Qt::LeftButton);
  WAIT_FOR(form_->Controller()->Idle());
  EXPECT_EQ(shown->text(), QStringLiteral("Calls shown: 4 of 4"));
  QTest::mouseClick(details->findChild<QPushButton*>(QStringLiteral("btnClose")), Qt::LeftButton);
  EXPECT_FALSE(details->isVisible());
}

// Workers sit in calls that the service never answers while the window
// closes: the window goes at once, and the workers end by themselves when
// their calls fail, without touching it.
TEST_F(RunTest, ExitDuringARunClosesAtOnceWithoutWaitingForCalls) {
  const QString record = Path("calls.txt");
  TPingPeer peer(600000, record);
  REQUIRE_PEER(peer);
  OpenOn(peer, {"/a", "/b"}, {"site.example"});
  SetWorkers(4);
  QTest::mouseClick(ping_, Qt::LeftButton);
  WAIT_FOR(ReadFile(record).find("/b") != std::string::npos && ReadFile(record).find("/a") != std::string::npos);
  // A new site list cannot come in during the run: its check marks record
  // the sites the run has finished.
  WriteFile(Path("other.txt"), "other.example\r\n");
  AnswerDialogs({Path("other.txt")});
  EXPECT_FALSE(Find<QAction>("mmLoadURL")->isEnabled());
  Trigger("mmLoadURL");
  EXPECT_TRUE(dialogsShown_.empty());
  EXPECT_EQ(Sites(), std::vector<std::string>{"site.example"});
  TQtMainThread* mainThread = form_->MainThread();
  // The service never answers while the test runs, so returning from the
  // close at all shows that it did not wait for the calls.
  Trigger("mmExit");
  EXPECT_FALSE(form_->isVisible());
  EXPECT_TRUE(WorkersLeftBehind());
  EXPECT_TRUE(mainThread->Closed());
  form_.reset();
  // The two workers in calls end once the service goes; each drops its
  // result and its end notification.
  peer.Stop();
  WAIT_FOR(mainThread->Dropped() == 4);
}

}  // namespace
}  // namespace corvandel::app::test
