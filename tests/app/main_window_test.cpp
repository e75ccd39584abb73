#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabBar>
#include <QToolButton>

#include "app/check_list_box.h"
#include "app/lower_case_edit.h"
#include "app/tab_control.h"
#include "app/up_down.h"
#include "window_fixture.h"

namespace corvandel::app::test {
namespace {

TEST_F(WindowTest, StartUpWithoutServicesFileWarnsOnceAndKeepsPingDisabled) {
  OpenWindow();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].Kind, TMessageKind::Information);
  EXPECT_EQ(messages_[0].Title, QStringLiteral("Corvandel"));
  EXPECT_EQ(messages_[0].Text, QStringLiteral("ERROR: Services file not found\r"
                                               "Please, choose Menu: \"Configuration\" -> \"ReLoad Services\""));
  EXPECT_EQ(Text("lblNServCount"), "0");
  AddSite(QStringLiteral("example.com"));
  EXPECT_FALSE(Find<QPushButton>("bbtnPing")->isEnabled()) << "no services";
}

TEST_F(WindowTest, StartUpLoadsServicesFromTheCurrentDirectoryAndASiteEnablesPing) {
  WriteFile(Path("PingServices.txt"), "rpc.one.test/RPC2\r\nrpc.two.test\n\nrpc.three.test");
  OpenWindow();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(form_->Services(), (std::vector<std::string>{"rpc.one.test/RPC2", "rpc.two.test", "", "rpc.three.test"}));
  EXPECT_EQ(Text("lblNServCount"), "4");
  auto* ping = Find<QPushButton>("bbtnPing");
  EXPECT_FALSE(ping->isEnabled());
  AddSite(QStringLiteral("example.com"));
  EXPECT_TRUE(ping->isEnabled());
  // An empty site list loaded afterwards leaves it enabled.
  WriteFile(Path("empty.txt"), "");
  AnswerDialogs({Path("empty.txt")});
  Trigger("mmLoadURL");
  EXPECT_EQ(Text("lblNURLCount"), "0");
  EXPECT_TRUE(ping->isEnabled());
}

// Lines of four characters or fewer are never called: a list of nothing
// else counts as empty. Disabled, the button's navy caption turns grey.
TEST_F(WindowTest, OnlySkippedServiceLinesKeepPingDisabledAndGreyed) {
  WriteFile(Path("PingServices.txt"), "abcd\r\n\r\nrpc\r\n");
  OpenWindow();
  AddSite(QStringLiteral("example.com"));
  auto* ping = Find<QPushButton>("bbtnPing");
  EXPECT_FALSE(ping->isEnabled());
  const QPalette palette = ping->palette();
  const QColor navy(0x00, 0x00, 0x80);
  EXPECT_EQ(palette.color(QPalette::Active, QPalette::ButtonText), navy);
  EXPECT_EQ(palette.color(QPalette::Inactive, QPalette::ButtonText), navy);
  EXPECT_NE(palette.color(QPalette::Disabled, QPalette::ButtonText), navy);
  EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::ButtonText),
            QApplication::palette(ping).color(QPalette::Disabled, QPalette::ButtonText));

  WriteFile(Path("services.txt"), "rpc.example\r\n");
  AnswerDialogs({Path("services.txt")});
  Trigger("mmLoadServ");
  EXPECT_TRUE(ping->isEnabled());
}

TEST_F(WindowTest, AddURLLowerCasesWhatIsTypedDropsShortTextAndAlwaysEmptiesTheEdit) {
  OpenWindow();
  auto* edit = Find<TLowerCaseEdit>("edURL");
  edit->setFocus();
  QTest::keyClicks(edit, QStringLiteral("My-Blog.EXAMPLE.org"));
  EXPECT_EQ(edit->text(), QStringLiteral("my-blog.example.org"));
  QTest::mouseClick(Find<QPushButton>("btnAddURL"), Qt::LeftButton);
  AddSite(QStringLiteral("ABCD"));
  EXPECT_TRUE(edit->text().isEmpty()) << "four characters: dropped, edit emptied";
  AddSite(QStringLiteral("abcde"));
  QTest::keyClicks(edit, QStringLiteral("Enter.Example"));
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(Sites(), (std::vector<std::string>{"my-blog.example.org", "abcde", "enter.example"}));
  EXPECT_FALSE(form_->SiteChecked(0));
  EXPECT_EQ(Text("lblNURLCount"), "3");
}

TEST_F(WindowTest, TabsSwitchBetweenTheSiteListAndTheLog) {
  OpenWindow();
  auto* tabs = Find<TTabControl>("tbctrlMain");
  for (const int tab : {0, 1, 0}) {
    QTest::mouseClick(tabs->findChild<QTabBar*>(), Qt::LeftButton, {}, tabs->TabRect(tab).center());
    EXPECT_EQ(tabs->TabIndex(), tab);
    EXPECT_EQ(Find<QWidget>("panelPing")->isVisible(), tab == 0);
    EXPECT_EQ(Find<QWidget>("panelLog")->isVisible(), tab == 1);
  }
}

TEST_F(WindowTest, CheckMarksCannotBeChangedByClicksDoubleClicksOrSpace) {
  OpenWindow();
  AddSite(QStringLiteral("first.example"));
  AddSite(QStringLiteral("second.example"));
  auto* list = Find<TCheckListBox>("clboxURLs");
  ASSERT_EQ(list->Tag(), 1);
  list->setFocus();
  const QRect row = list->visualItemRect(list->item(1));
  const QPoint checkBox(row.left() + row.height() / 2 + 1, row.center().y());
  const auto clickAndPressSpace = [&] {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, checkBox);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, checkBox);
    QTest::keyClick(list, Qt::Key_Space);
  };
  clickAndPressSpace();
  EXPECT_FALSE(list->Checked(1));
  EXPECT_EQ(list->currentRow(), 1) << "the press still selects";
  form_->SetSiteChecked(1, true);
  clickAndPressSpace();
  EXPECT_TRUE(list->Checked(1));
  // Without the lock the same click and key do toggle: they hit the box.
  list->SetTag(0);
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, checkBox);
  EXPECT_FALSE(list->Checked(1));
  QTest::keyClick(list, Qt::Key_Space);
  EXPECT_TRUE(list->Checked(1));
}

TEST_F(WindowTest, WorkerCountRunsFromOneToFourteenOnlyByItsButtons) {
  OpenWindow();
  auto* spin = Find<TUpDown>("updnThread");
  auto* edit = Find<QLineEdit>("edNumThread");
  EXPECT_EQ(edit->text(), QStringLiteral("10"));
  EXPECT_TRUE(edit->isReadOnly());
  edit->setFocus();
  for (const Qt::Key key : {Qt::Key_Up, Qt::Key_Down, Qt::Key_PageUp, Qt::Key_7}) QTest::keyClick(edit, key);
  EXPECT_EQ(spin->Position(), 10);
  SetWorkers(20);
  EXPECT_EQ(edit->text(), QStringLiteral("14"));
  SetWorkers(0);
  EXPECT_EQ(edit->text(), QStringLiteral("1"));
  EXPECT_EQ(form_->WorkerCount(), 1);
}

// In the desktop's own font, no caption is clipped and no two controls
// overlap; the window has a fixed size and its menu exactly its items.
TEST_F(WindowTest, CaptionsFitControlsDoNotOverlapAndTheMenuHasItsItems) {
  OpenWindow();
  AddSite(QStringLiteral("example.com"));
  const auto area = [](QWidget* widget) {  // what a control covers; for a label, its text
    auto* label = qobject_cast<QLabel*>(widget);
    if (!label) return widget->geometry();
    const QString text = label->text().trimmed();
    const int width = label->fontMetrics().horizontalAdvance(text);
    const int left = label->alignment() & Qt::AlignHCenter ? (label->width() - width) / 2 : label->contentsMargins().left();
    return QRect(label->x() + left, label->y(), width, label->height());
  };
  for (const char* parent : {"client", "panelPing", "pnlRes"}) {
    const QWidgetList controls = Find<QWidget>(parent)->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    for (QWidget* control : controls) {
      if (auto* label = qobject_cast<QLabel*>(control)) {
        EXPECT_GE(label->width(), label->fontMetrics().horizontalAdvance(label->text())) << "clipped";
      }
      if (auto* button = qobject_cast<QPushButton*>(control)) {
        EXPECT_GT(button->width(), button->fontMetrics().horizontalAdvance(button->text()) + 8) << "clipped";
      }
      for (QWidget* other : controls) {
        if (other != control && control->isVisible() && other->isVisible()) {
          EXPECT_FALSE(area(control).intersects(area(other)))
              << control->objectName().toStdString() << " overlaps " << other->objectName().toStdString();
        }
      }
    }
  }
  EXPECT_EQ(form_->centralWidget()->size(), QSize(471, 376));
  EXPECT_EQ(form_->minimumSize(), form_->maximumSize()) << "fixed size";
  EXPECT_FALSE(form_->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));

  const auto captionsOf = [](const QList<QAction*>& actions) {
    QStringList texts;
    for (const QAction* action : actions) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return texts;
  };
  EXPECT_EQ(captionsOf(Find<QMenuBar>("MainMenu1")->actions()), QStringList({"Main", "Configuration", "View"}));
  EXPECT_EQ(captionsOf(Find<QMenu>("mmMain")->actions()), QStringList{"Exit"});
  EXPECT_EQ(captionsOf(Find<QMenu>("mmConfig")->actions()), QStringList({"ReLoad Services", "-", "Load URLs", "Save URLs"}));
  EXPECT_EQ(captionsOf(Find<QMenu>("mmView")->actions()), QStringList{"Call details..."});
  Trigger("mmExit");
  EXPECT_FALSE(form_->isVisible());
  EXPECT_FALSE(WorkersLeftBehind());
}

}  // namespace
}  // namespace corvandel::app::test
