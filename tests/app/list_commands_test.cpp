#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractFileIconProvider>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <csignal>

#include "window_fixture.h"

namespace corvandel::app::test {
namespace {

// Both lists: any line end, a NUL ends the text, a UTF-8 byte order mark
// is not part of the first line. An empty line names no site, while the
// service list keeps it (lines of 4 characters or fewer are never called).
TEST_F(WindowTest, ListFilesReadWithAnyLineEndUpToANul) {
  const struct {
    std::string bytes;
    std::vector<std::string> services;
    std::vector<std::string> sites;
  } cases[] = {
      {"a.test\r\nb.test\r\nc.test\r\n", {"a.test", "b.test", "c.test"}, {"a.test", "b.test", "c.test"}},
      {"a.test\nb.test\nc.test", {"a.test", "b.test", "c.test"}, {"a.test", "b.test", "c.test"}},
      {"a.test\rb.test\rc.test\r", {"a.test", "b.test", "c.test"}, {"a.test", "b.test", "c.test"}},
      {"a.test\r\n\r\nc.test\n\r", {"a.test", "", "c.test", ""}, {"a.test", "c.test"}},
      {std::string("a.test\nb.te\0st\nc.test\n", 22), {"a.test", "b.te"}, {"a.test", "b.te"}},
      {" Spaced.Test \xE9\n", {" Spaced.Test \xE9"}, {" Spaced.Test \xE9"}},
      {"\xEF\xBB\xBF# a.test\n", {"# a.test"}, {"# a.test"}},
  };
  OpenWindow();
  for (const auto& c : cases) {
    WriteFile(Path("list.txt"), c.bytes);
    AnswerDialogs({Path("list.txt"), Path("list.txt")});
    Trigger("mmLoadServ");
    Trigger("mmLoadURL");
    EXPECT_EQ(form_->Services(), c.services);
    EXPECT_EQ(Sites(), c.sites);
    EXPECT_EQ(Text("lblNServCount"), QString::number(c.services.size()));
    EXPECT_EQ(Text("lblNURLCount"), QString::number(c.sites.size()));
  }
}

TEST_F(WindowTest, SaveURLsWritesEverySiteWithCrLfAndOneOpenDialogServesBothLoads) {
  OpenWindow();
  Trigger("SaveURLs1");
  EXPECT_TRUE(dialogsShown_.empty()) << "no dialog for an empty list";
  WriteFile(Path("sites.txt"), "one.example\r\nTwo.Example \xE9\r\nthree.example");
  AnswerDialogs({Path("sites.txt"), Path("saved")});
  Trigger("mmLoadURL");
  form_->SetSiteChecked(0, true);
  Trigger("SaveURLs1");
  EXPECT_EQ(ReadFile(Path("saved")), "one.example\r\nTwo.Example \xE9\r\nthree.example\r\n");

  // "ReLoad Services" opens on the file that "Load URLs" chose last.
  SetFileDialogHook([&](QFileDialog& dialog) {
    dialogsShown_.push_back(dialog.objectName());
    EXPECT_EQ(dialog.selectedFiles(), QStringList{Path("sites.txt")});
    EXPECT_EQ(dialog.nameFilters(), QStringList{"Services & URLs (*.txt)"});
    dialog.selectFile(Path("saved"));
    return true;
  });
  Trigger("mmLoadServ");
  EXPECT_EQ(form_->Services(), Sites());
  EXPECT_EQ(dialogsShown_, (std::vector<QString>{"OpenDialog", "SaveDialog", "OpenDialog"}));
}

TEST_F(WindowTest, CancelledOrFailedCommandsKeepTheListsAndReportTheReason) {
  WriteFile(Path("PingServices.txt"), "rpc.example\n");
  OpenWindow();
  AddSite(QStringLiteral("typed.example"));
  AnswerDialogs({std::nullopt, std::nullopt, std::nullopt, Path("missing.txt"), Path("missing.txt")});
  for (const char* command : {"SaveURLs1", "mmLoadURL", "mmLoadServ", "mmLoadServ", "mmLoadURL"}) Trigger(command);
  EXPECT_EQ(dialogsShown_.size(), 5u);
  ASSERT_EQ(messages_.size(), 2u);
  for (const TMessage& message : messages_) {
    EXPECT_EQ(message.Kind, TMessageKind::Error);
    EXPECT_TRUE(message.Text.contains(QStringLiteral("missing.txt\". No such file or directory")))
        << message.Text.toStdString();
  }
  EXPECT_EQ(form_->Services(), std::vector<std::string>{"rpc.example"});
  EXPECT_EQ(Sites(), std::vector<std::string>{"typed.example"});
  EXPECT_EQ(Text("lblNServCount"), "1");
  EXPECT_EQ(Text("lblNURLCount"), "1");
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files), QStringList{"PingServices.txt"});
}

// A save that fails part-way (here: past the file size limit, which holds
// even for root) reports the failure and leaves the old file as it was.
TEST_F(WindowTest, FailedSaveReportsTheReasonAndKeepsTheExistingFile) {
  OpenWindow();
  const std::string old = "old.example\r\n";
  WriteFile(Path("sites.txt"), old);
  for (int i = 0; i < 50; ++i) {
    Find<QLineEdit>("edURL")->setText(QString(200, u'x'));
    form_->btnAddURLClick();
  }
  rlimit previous{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
  rlimit small = previous;
  small.rlim_cur = 4096;
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  AnswerDialogs({Path("sites.txt")});
  Trigger("SaveURLs1");
  setrlimit(RLIMIT_FSIZE, &previous);
  std::signal(SIGXFSZ, previousHandler);
  ASSERT_EQ(messages_.size(), 2u);
  EXPECT_TRUE(messages_[1].Text.contains(QStringLiteral("too large"))) << messages_[1].Text.toStdString();
  const std::string kept = ReadFile(Path("sites.txt"));
  EXPECT_TRUE(kept == old) << "the old list was overwritten: " << kept.size() << " bytes now";
}

TEST_F(WindowTest, OverlongLineIsRefusedWithFileAndLineAndTheListsStay) {
  WriteFile(Path("PingServices.txt"), "rpc.example\n");
  OpenWindow();
  AddSite(QStringLiteral("typed.example"));
  WriteFile(Path("long.txt"), "ok.example\n" + std::string(20000, 'x') + "\n");
  AnswerDialogs({Path("long.txt"), Path("long.txt")});
  Trigger("mmLoadURL");
  Trigger("mmLoadServ");
  ASSERT_EQ(messages_.size(), 2u);
  for (const TMessage& message : messages_) {
    EXPECT_EQ(message.Kind, TMessageKind::Error);
    EXPECT_TRUE(message.Text.contains(Path("long.txt") + QStringLiteral("\". Line 2 is longer than 8192 bytes")))
        << message.Text.toStdString();
  }
  EXPECT_EQ(Sites(), std::vector<std::string>{"typed.example"});
  EXPECT_EQ(form_->Services(), std::vector<std::string>{"rpc.example"});
  EXPECT_EQ(Text("lblNURLCount"), "1");
}

// The dialogs learn an entry's icon and type without opening it: reading
// a file to find its type blocks for ever on some files of /proc, which
// froze the save dialog once such a folder was typed in.
TEST_F(WindowTest, FileDialogsNeverOpenTheFilesTheyShow) {
  OpenWindow();
  AddSite(QStringLiteral("typed.example"));
  WriteFile(Path("notes.unknownkind"), "#!/bin/sh\necho plain\n");
  const QFileInfo file(Path("notes.unknownkind"));
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(inotify_add_watch(watch, file.filePath().toLocal8Bit().constData(), IN_OPEN | IN_ACCESS), 0);
  auto opened = [watch] {
    char events[4096];
    return ::read(watch, events, sizeof events) > 0;
  };
  // The check can tell: the standard provider does open the file.
  QAbstractFileIconProvider standard;
  (void)standard.type(file);
  ASSERT_TRUE(opened());

  std::vector<QString> types;
  SetFileDialogHook([&](QFileDialog& dialog) {
    dialogsShown_.push_back(dialog.objectName());
    const QAbstractFileIconProvider* provider = dialog.iconProvider();
    types.push_back(provider->type(file));
    (void)provider->icon(file);
    types.push_back(provider->type(QFileInfo(dir_.path())));
    return false;
  });
  Trigger("mmLoadURL");
  Trigger("SaveURLs1");
  EXPECT_EQ(dialogsShown_, (std::vector<QString>{"OpenDialog", "SaveDialog"}));
  EXPECT_EQ(types, (std::vector<QString>{"File", "Folder", "File", "Folder"}));
  EXPECT_FALSE(opened());
  ::close(watch);
}

}  // namespace
}  // namespace corvandel::app::test
