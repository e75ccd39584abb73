#include <QDialog>
#include <QImage>
#include <QPixmap>
#include <QPushButton>
#include <QTabBar>

#include "app/tab_control.h"
#include "window_fixture.h"

namespace corvandel::app::test {
namespace {

QString ShotPath(const char* name) {
  return QStringLiteral(CORVANDEL_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
}

// The window as a person sees it at start-up and after a short run, and the
// details of that run's failed calls.
TEST_F(WindowTest, ScreenshotsAtStartUpAndAfterARun) {
  TPingPeer peer(0);
  if (!peer.Running()) GTEST_SKIP() << "needs Python 3 for the ping service";
  WriteFile(Path("PingServices.txt"), peer.Address("/RPC2").toStdString() + "\r\n" +
                                          peer.Address("/refuse").toStdString() + "\r\n" +
                                          peer.Address("/script/busy").toStdString() + "\r\n" +
                                          peer.Address("/script/fault").toStdString() + "\r\n" +
                                          peer.Address("/blog/ping").toStdString() + "\r\n");
  OpenWindow();
  for (const char* site : {"my-blog.example.org", "photos.example.net", "news.example.com"})
    AddSite(QString::fromLatin1(site));
  ASSERT_TRUE(form_->grab().save(ShotPath("corvandel-startup.png")));

  QTest::mouseClick(Find<QPushButton>("bbtnPing"), Qt::LeftButton);
  WAIT_FOR(form_->Controller()->Idle());
  EXPECT_EQ(Text("lblNOK"), "6");
  EXPECT_EQ(Text("lblNError"), "9");
  ASSERT_TRUE(form_->grab().save(ShotPath("corvandel-after-run.png")));
  auto* tabs = Find<TTabControl>("tbctrlMain");
  QTest::mouseClick(tabs->findChild<QTabBar*>(), Qt::LeftButton, {}, tabs->TabRect(1).center());
  ASSERT_TRUE(form_->grab().save(ShotPath("corvandel-after-run-log.png")));
  Trigger("mmCallDetails");
  auto* details = Find<QDialog>("dlgCallDetails");
  ASSERT_TRUE(QTest::qWaitForWindowExposed(details));
  ASSERT_TRUE(details->grab().save(ShotPath("corvandel-details.png")));
  std::cout << "screenshots in " CORVANDEL_SCREENSHOT_DIR "\n";
}

}  // namespace
}  // namespace corvandel::app::test
