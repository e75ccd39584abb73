#include "window_fixture.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include "app/lower_case_edit.h"
#include "app/up_down.h"

namespace corvandel::app::test {

std::string ReadFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return "<unreadable>";
  return file.readAll().toStdString();
}

void WriteFile(const QString& path, const std::string& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  file.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

TPingPeer::TPingPeer(int delayMs, const QString& recordFile) {
#if defined(CORVANDEL_PYTHON) && defined(CORVANDEL_PING_PEER)
  std::vector<std::string> args{CORVANDEL_PYTHON, CORVANDEL_PEER_GUARD, CORVANDEL_PING_PEER, "--delay",
                                std::to_string(delayMs)};
  if (!recordFile.isEmpty()) args.insert(args.end(), {"--record", recordFile.toStdString()});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0) return;
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  const bool spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(in[0]);
  guard_ = in[1];
  std::string line;
  char c = 0;
  while (spawned && line.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) line += c;
  close(out[0]);
  if (!spawned) pid_ = 0;
  if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
#else
  static_cast<void>(delayMs);
  static_cast<void>(recordFile);
#endif
}

TPingPeer::~TPingPeer() { Stop(); }

void TPingPeer::Stop() {
  // Closing the guard's input ends the peer, then the guard.
  if (guard_ >= 0) close(guard_);
  guard_ = -1;
  if (pid_ > 0) waitpid(pid_, nullptr, 0);
  pid_ = 0;
}

QString TPingPeer::Address(const QString& path) const {
  return QStringLiteral("127.0.0.1:%1%2").arg(port_).arg(path);
}

void WindowTest::SetUp() {
  ASSERT_TRUE(dir_.isValid());
  previousDir_ = QDir::currentPath();
  QDir::setCurrent(dir_.path());
  SetMessageHook([this](const TMessage& message) { messages_.push_back(message); });
  SetFileDialogHook([this](QFileDialog& dialog) {
    dialogsShown_.push_back(dialog.objectName());
    if (dialogAnswers_.empty()) return false;
    const std::optional<QString> answer = dialogAnswers_.front();
    dialogAnswers_.pop_front();
    if (!answer) return false;
    dialog.selectFile(*answer);
    return true;
  });
}

void WindowTest::TearDown() {
  form_.reset();
  SetMessageHook({});
  SetFileDialogHook({});
  QDir::setCurrent(previousDir_);
}

void WindowTest::OpenWindow() {
  form_ = std::make_unique<TfrmMain>();
  form_->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form_.get()));
  // The start-up load has run once the services count was written, which it
  // is even when the file is missing; a message box comes before that.
  QTest::qWait(0);
  QCoreApplication::processEvents();
}

QString WindowTest::Text(const char* name) const {
  if (auto* label = form_->findChild<QLabel*>(QString::fromLatin1(name))) return label->text();
  if (auto* button = form_->findChild<QPushButton*>(QString::fromLatin1(name))) return button->text();
  ADD_FAILURE() << "no label or button " << name;
  return {};
}

std::vector<std::string> WindowTest::Sites() const {
  std::vector<std::string> sites;
  for (std::size_t i = 0; i < form_->SiteCount(); ++i) sites.push_back(form_->Site(i));
  return sites;
}

void WindowTest::AnswerDialogs(std::vector<std::optional<QString>> answers) {
  dialogAnswers_.assign(answers.begin(), answers.end());
}

void WindowTest::Trigger(const char* action) {
  auto* found = Find<QAction>(action);
  ASSERT_NE(found, nullptr);
  found->trigger();
}

void WindowTest::AddSite(const QString& typed) {
  auto* edit = Find<TLowerCaseEdit>("edURL");
  edit->setFocus();
  QTest::keyClicks(edit, typed);
  QTest::mouseClick(Find<QPushButton>("btnAddURL"), Qt::LeftButton);
}

void WindowTest::SetWorkers(int count) {
  auto* spin = Find<TUpDown>("updnThread");
  while (spin->Position() < count && spin->UpButton()->isEnabled()) QTest::mouseClick(spin->UpButton(), Qt::LeftButton);
  while (spin->Position() > count && spin->DownButton()->isEnabled())
    QTest::mouseClick(spin->DownButton(), Qt::LeftButton);
}

}  // namespace corvandel::app::test
