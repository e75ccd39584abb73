#pragma once

// What the window's tests share: a window made in a fresh working directory,
// message boxes and file dialogs answered by hooks, helpers to find and
// drive controls, and a local XML-RPC ping service.

#include <gtest/gtest.h>

#include <QDir>
#include <QFileDialog>
#include <sys/types.h>

#include <QString>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialogs.h"
#include "app/main_window.h"

namespace corvandel::app::test {

// Bound for every wait on the window; reached only when something is wrong.
inline constexpr int kWaitLimitMs = 30000;

#define WAIT_FOR(condition) \
  ASSERT_TRUE(QTest::qWaitFor([&] { return static_cast<bool>(condition); }, kWaitLimitMs)) << #condition

std::string ReadFile(const QString& path);
void WriteFile(const QString& path, const std::string& bytes);

// Python's XML-RPC server on 127.0.0.1 (ping_peer.py): thanks on every path,
// refuses on paths with "refuse", after delayMs; records each call's path in
// recordFile. Spawned without fork, which the race detector does not allow
// once Qt's threads run, and ended with the test even when the test dies.
class TPingPeer {
public:
  explicit TPingPeer(int delayMs, const QString& recordFile = {});
  ~TPingPeer();
  bool Running() const { return port_ != 0; }
  QString Address(const QString& path) const;  // "127.0.0.1:<port><path>"
  void Stop();

private:
  pid_t pid_ = 0;   // peer_guard.py, which runs the peer
  int guard_ = -1;  // its standard input
  int port_ = 0;
};

class WindowTest : public testing::Test {
protected:
  void SetUp() override;
  void TearDown() override;

  // Makes the window in the working directory, shows it and waits for its
  // start-up load.
  void OpenWindow();
  QString Path(const QString& name) const { return dir_.filePath(name); }

  template <typename T>
  T* Find(const char* name) const {
    T* found = form_->findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
  }
  QString Text(const char* labelOrButton) const;
  std::vector<std::string> Sites() const;

  // The next file dialogs choose these files, in order; nullopt cancels.
  void AnswerDialogs(std::vector<std::optional<QString>> answers);
  void Trigger(const char* action);
  void AddSite(const QString& typed);
  void SetWorkers(int count);  // by the spin buttons

  QTemporaryDir dir_;
  QString previousDir_;
  std::unique_ptr<TfrmMain> form_;
  std::vector<TMessage> messages_;
  std::deque<std::optional<QString>> dialogAnswers_;
  std::vector<QString> dialogsShown_;  // the object name of each dialog run
};

}  // namespace corvandel::app::test
