#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

#include "announce/source_dates.h"

namespace corvandel::announce {
namespace {

struct TDateCase {
  const char* Text;
  std::optional<int64_t> Millis;  // since 1970 UTC; nothing: refused
};

void CheckAll(std::optional<TTime> (*parse)(std::string_view), std::initializer_list<TDateCase> cases) {
  for (const TDateCase& c : cases) {
    const std::optional<TTime> got = parse(c.Text);
    if (!c.Millis) {
      EXPECT_FALSE(got) << '"' << c.Text << "\" read as " << got->time_since_epoch().count();
    } else {
      ASSERT_TRUE(got) << '"' << c.Text << "\" refused";
      EXPECT_EQ(got->time_since_epoch().count(), *c.Millis) << c.Text;
    }
  }
}

TEST(SourceDatesTest, W3CDateTimes) {
  CheckAll(ParseW3CDateTime, {
      {"2024", 1704067200000},
      {"2024-02", 1706745600000},
      {" 2024-02-29\n", 1709164800000},
      {"2000-02-29", 951782400000},
      {"2024-03-05T08:15+01:00", 1709622900000},
      {"2024-03-05 08:15+01:00", 1709622900000},
      {"2024-03-05t07:15z", 1709622900000},
      {"1999-12-31T23:59:59Z", 946684799000},
      {"1969-12-31T23:59:59Z", -1000},
      {"2023-06-30T23:59:60Z", 1688169599999},
      {"2024-03-05T11:00:00.5+00:00", 1709636400500},
      {"2024-03-05T11:00:00.123456-05:30", 1709656200123},
      // Refused: wrong ranges, impossible days, missing or malformed parts.
      {"", std::nullopt},
      {"24-03-05", std::nullopt},
      {"2024-13", std::nullopt},
      {"2024-00-10", std::nullopt},
      {"2023-02-29", std::nullopt},
      {"1900-02-29", std::nullopt},
      {"2024-04-31", std::nullopt},
      {"2024-03-05T24:00Z", std::nullopt},
      {"2024-03-05T23:60Z", std::nullopt},
      {"2024-03-05T23:59:61Z", std::nullopt},
      {"2024-03-05T08:15", std::nullopt},
      {"2024-03-05T08:15:00.Z", std::nullopt},
      {"2024-03-05T08:15+0100", std::nullopt},
      {"2024-03-05T08:15+24:00", std::nullopt},
      {"2024-03-05T08:15Z trailing", std::nullopt},
      {"2024-3-5", std::nullopt},
      {"yesterday", std::nullopt},
  });
}

TEST(SourceDatesTest, RFC822DateTimes) {
  CheckAll(ParseRFC822DateTime, {
      {"Mon, 04 Mar 2024 09:00:00 GMT", 1709542800000},
      {"Tue, 5 Mar 2024 10:30:00 +0100", 1709631000000},
      // Slips real feeds make: no weekday, no seconds, two-digit year,
      // extra blanks, a weekday that does not match, full month names.
      {"5 Mar 24 10:30 EST", 1709652600000},
      {"  Sun,  05   Mar 2024   09:30:00   UT ", 1709631000000},
      {"monday, 05 march 2024 09:30:00 utc", 1709631000000},
      {"Fri, 05 Mar 99 10:30:00 PDT", 920655000000},
      {"Mon, 04 Mar 2024 09:00:00 Z", 1709542800000},
      {"Mon, 04 Mar 2024 04:00:00 -0500", 1709542800000},
      // Refused.
      {"", std::nullopt},
      {"Mon, 04 Foo 2024 09:00:00 GMT", std::nullopt},
      {"Mon, 30 Feb 2024 09:00:00 GMT", std::nullopt},
      {"Mon, 04 Mar 2024 25:00:00 GMT", std::nullopt},
      {"Mon, 04 Mar 2024 09:00:00", std::nullopt},
      {"Mon, 04 Mar 2024 09:00:00 A", std::nullopt},
      {"Mon, 04 Mar 2024 09:00:00 CEST", std::nullopt},
      {"Mon, 04 Mar 202 09:00:00 GMT", std::nullopt},
      {"Mon, 04 Mar 2024 09:00:00 +01", std::nullopt},
      {"Funday, 04 Mar 2024 09:00:00 GMT", std::nullopt},
      {"2024-03-04T09:00:00Z", std::nullopt},
  });
}

}  // namespace
}  // namespace corvandel::announce
