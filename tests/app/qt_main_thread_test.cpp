#include <gtest/gtest.h>

#include <QTest>
#include <memory>
#include <thread>

#include "app/qt_main_thread.h"

namespace corvandel::app::test {
namespace {

TEST(QtMainThreadTest, ClosingDropsQueuedAndLaterMessagesAndReleasesTheirSenders) {
  TQtMainThread mainThread;
  bool ran = false;
  auto witness = std::make_shared<int>(0);
  mainThread.Post([&ran, witness] { ran = true; });
  mainThread.Close();
  EXPECT_EQ(witness.use_count(), 1) << "the queued message was let go";
  bool refused = false;
  std::thread late([&] {
    try {
      mainThread.Send([&] { ran = true; });
    } catch (const std::exception&) {
      refused = true;
    }
  });
  late.join();
  QTest::qWait(0);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(refused);
  EXPECT_EQ(mainThread.Dropped(), 2u);
}

}  // namespace
}  // namespace corvandel::app::test
