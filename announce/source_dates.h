#pragma once

// The dates that sitemaps and feeds give their pages, read into the ledger's
// time (milliseconds, UTC). Both readers are strict about the fields
// (every field is range-checked, a day must exist in its month) and lenient
// about the layout real files use; text they cannot read gives nothing,
// never a guess. The arithmetic is their own: no locale, no time zone
// database and no C library conversion is consulted.

#include <cstdint>
#include <optional>
#include <string_view>

#include "ledger/ledger.h"

namespace corvandel::announce {

using ledger::TTime;

// The W3C Datetime profile of sitemaps and Atom's RFC 3339 form: YYYY,
// YYYY-MM, YYYY-MM-DD, or a date with "Thh:mm", "Thh:mm:ss" or
// "Thh:mm:ss.fraction" and a zone ("Z", "+hh:mm", "-hh:mm"). "t", "z" and a
// space for "T" are accepted; a date alone stands for 00:00 UTC; fraction
// digits past the millisecond are dropped; blanks around the text are
// ignored. A leap second (:60) is taken as the last millisecond of its
// minute, so the date still orders before the next minute.
std::optional<TTime> ParseW3CDateTime(std::string_view text);

// RSS dates (RFC 822 with the RFC 1123 four-digit year): an optional
// weekday ("Mon,"), the day, the month's English name or its three-letter
// form, a year of four digits or of two (00-49 for 20xx, 50-99 for 19xx),
// "hh:mm" or "hh:mm:ss", and a zone: GMT, UT, UTC, Z, the North American
// EST/EDT/CST/CDT/MST/MDT/PST/PDT, or +hhmm/-hhmm. Names are read without
// case; a weekday that does not match the date is ignored, since feeds get
// it wrong far more often than the date; military zone letters other than Z
// are refused, having been defined with the wrong sign.
std::optional<TTime> ParseRFC822DateTime(std::string_view text);

// Days from 1970-01-01 to the given day of the proleptic Gregorian
// calendar; month 1-12, day as given (not checked).
constexpr int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<int64_t>(dayOfEra) - 719468;
}

}  // namespace corvandel::announce
