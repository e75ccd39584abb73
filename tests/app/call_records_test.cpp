#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <string>

#include "app/call_records.h"

namespace corvandel::app::test {
namespace {

// What a service sends never becomes markup or more lines: control
// characters are written out, long texts are cut for display, and a copy
// takes every field whole.
TEST(CallRecordsTest, ServiceTextsShowAsPlainTextCutForDisplayAndCopyWhole) {
  const struct {
    QString text;
    QString shown;
  } cases[] = {
      {QStringLiteral("a\r\nb\tc"), QStringLiteral("a\\r\\nb\\tc")},
      {QString(QChar(0x1B)) + QStringLiteral("[2J") + QChar(0x7F) + QChar(0x00), QStringLiteral("\\x1b[2J\\x7f\\x00")},
      {QString(QChar(0x85)) + QChar(0x9B) + QChar(0x2028) + QChar(0x2029),
       QStringLiteral("\\xc2\\x85\\xc2\\x9b\\xe2\\x80\\xa8\\xe2\\x80\\xa9")},
      {QStringLiteral("abc") + QChar(0x202E) + QStringLiteral("fed") + QChar(0x2066),
       QStringLiteral("abc\\xe2\\x80\\xaefed\\xe2\\x81\\xa6")},
      {QStringLiteral("<b>caf\u00e9</b> \\ \U0001F600"), QStringLiteral("<b>caf\u00e9</b> \\ \U0001F600")},
  };
  for (const auto& c : cases) EXPECT_EQ(VisibleText(c.text), c.shown) << c.text.toStdString();
  // A cut never splits a surrogate pair.
  EXPECT_EQ(CutText(QStringLiteral("ab\U0001F600cd"), 4), QStringLiteral("ab\u2026"));
  EXPECT_EQ(CutText(QStringLiteral("abcd"), 4), QStringLiteral("abcd"));

  engine::TPingResult result;
  result.ServiceURL = "rpc.example/RPC2";
  result.SiteURL = "http://site.example";
  result.ThreadNum = 3;
  result.Code = 0;
  result.Answer = "<img src=x>" + std::string(5000, 'a');
  result.Reason = "connect failed (10061 Connection refused)\r\n<i>";
  TCallRecords records;
  ASSERT_EQ(records.Append(result), 0);

  const QString tip = records.LineToolTip(0);
  EXPECT_FALSE(tip.contains(QStringLiteral("<img"))) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QStringLiteral("Code 0 (no HTTP exchange)")));
  EXPECT_TRUE(tip.contains(QStringLiteral("Reason: connect failed (10061 Connection refused)\\r\\n&lt;i&gt;")));
  EXPECT_LT(tip.size(), 2500) << "cut";
  const QModelIndex answer = records.index(0, TCallRecords::AnswerColumn);
  EXPECT_TRUE(answer.data(Qt::ToolTipRole).toString().contains(QStringLiteral("&lt;img src=x&gt;")));
  const QString cell = answer.data().toString();
  EXPECT_LE(cell.size(), 240);
  EXPECT_TRUE(cell.startsWith(QStringLiteral("<img src=x>aaa")) && cell.endsWith(QChar(0x2026)));

  EXPECT_EQ(records.CopyText(0),
            QStringLiteral("rpc.example/RPC2\thttp://site.example\t3\tError\t0\t") + QString::fromStdString(result.Answer) +
                QStringLiteral("\tconnect failed (10061 Connection refused)\\r\\n<i>"));
  records.Clear();
  EXPECT_EQ(records.rowCount(), 0);
}

}  // namespace
}  // namespace corvandel::app::test
