#include "announce/source_dates.h"

#include <array>
#include <cstdint>

#include "runtime/ascii_case.h"

namespace corvandel::announce {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(int64_t year, unsigned month) {
  static constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads the text left to right; every reader consumes only on success.
class TCursor {
public:
  explicit TCursor(std::string_view text) : text_(text) {}

  bool AtEnd() const { return position_ == text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[position_]; }
  void Skip() { ++position_; }
  bool Take(char c) {
    if (Peek() != c) return false;
    ++position_;
    return true;
  }
  // Exactly count digits.
  bool Digits(std::size_t count, int& value) {
    if (text_.size() - position_ < count) return false;
    int v = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const char c = text_[position_ + i];
      if (!IsDigit(c)) return false;
      v = v * 10 + (c - '0');
    }
    value = v;
    position_ += count;
    return true;
  }
  // One to maxCount digits; the count read goes to count.
  bool SomeDigits(std::size_t maxCount, int& value, std::size_t& count) {
    std::size_t n = 0;
    int v = 0;
    while (n < maxCount && position_ + n < text_.size() && IsDigit(text_[position_ + n])) {
      v = v * 10 + (text_[position_ + n] - '0');
      ++n;
    }
    if (n == 0) return false;
    value = v;
    count = n;
    position_ += n;
    return true;
  }
  std::string_view Letters() {
    const std::size_t start = position_;
    while (!AtEnd()) {
      const char c = runtime::LowerCaseChar(Peek());
      if (c < 'a' || c > 'z') break;
      ++position_;
    }
    return text_.substr(start, position_ - start);
  }
  bool SkipBlanks() {
    const std::size_t start = position_;
    while (!AtEnd() && IsBlank(Peek())) ++position_;
    return position_ > start;
  }

private:
  std::string_view text_;
  std::size_t position_ = 0;
};

struct TFields {
  int64_t Year = 0;
  unsigned Month = 1;
  unsigned Day = 1;
  unsigned Hour = 0;
  unsigned Minute = 0;
  unsigned Second = 0;
  unsigned Millisecond = 0;
  int OffsetMinutes = 0;  // east of UTC
};

std::optional<TTime> ToTime(const TFields& f) {
  if (f.Month < 1 || f.Month > 12) return std::nullopt;
  if (f.Day < 1 || f.Day > DaysInMonth(f.Year, f.Month)) return std::nullopt;
  if (f.Hour > 23 || f.Minute > 59 || f.Second > 60) return std::nullopt;
  const int64_t days = DaysFromCivil(f.Year, f.Month, f.Day);
  int64_t ms = ((days * 24 + f.Hour) * 60 + f.Minute) * 60'000 - int64_t{f.OffsetMinutes} * 60'000;
  // A leap second is the minute's last millisecond, not the next minute.
  ms += f.Second == 60 ? 59'999 : int64_t{f.Second} * 1000 + f.Millisecond;
  return TTime(std::chrono::milliseconds(ms));
}

// "Z", "+hh:mm" or "-hh:mm".
bool ReadW3CZone(TCursor& in, int& offsetMinutes) {
  if (in.Take('Z') || in.Take('z')) {
    offsetMinutes = 0;
    return true;
  }
  const char sign = in.Peek();
  if (sign != '+' && sign != '-') return false;
  in.Skip();
  int hours = 0, minutes = 0;
  if (!in.Digits(2, hours) || !in.Take(':') || !in.Digits(2, minutes)) return false;
  if (hours > 23 || minutes > 59) return false;
  offsetMinutes = (hours * 60 + minutes) * (sign == '-' ? -1 : 1);
  return true;
}

}  // namespace

std::optional<TTime> ParseW3CDateTime(std::string_view text) {
  TCursor in(Trim(text));
  TFields f;
  int year = 0, month = 0, day = 0;
  if (!in.Digits(4, year)) return std::nullopt;
  f.Year = year;
  if (in.AtEnd()) return ToTime(f);
  if (!in.Take('-') || !in.Digits(2, month)) return std::nullopt;
  f.Month = static_cast<unsigned>(month);
  if (in.AtEnd()) return ToTime(f);
  if (!in.Take('-') || !in.Digits(2, day)) return std::nullopt;
  f.Day = static_cast<unsigned>(day);
  if (in.AtEnd()) return ToTime(f);
  if (!in.Take('T') && !in.Take('t') && !in.Take(' ')) return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (!in.Digits(2, hour) || !in.Take(':') || !in.Digits(2, minute)) return std::nullopt;
  f.Hour = static_cast<unsigned>(hour);
  f.Minute = static_cast<unsigned>(minute);
  if (in.Take(':')) {
    if (!in.Digits(2, second)) return std::nullopt;
    f.Second = static_cast<unsigned>(second);
    if (in.Take('.')) {
      // The first three digits make the millisecond; the rest only has to be digits.
      unsigned millisecond = 0;
      std::size_t digits = 0;
      while (IsDigit(in.Peek())) {
        if (digits < 3) millisecond = millisecond * 10 + static_cast<unsigned>(in.Peek() - '0');
        ++digits;
        in.Skip();
      }
      if (digits == 0) return std::nullopt;
      for (std::size_t i = digits; i < 3; ++i) millisecond *= 10;
      f.Millisecond = millisecond;
    }
  }
  if (!ReadW3CZone(in, f.OffsetMinutes) || !in.AtEnd()) return std::nullopt;
  return ToTime(f);
}

namespace {

// 1-12 for an English month name, its three-letter form or a prefix of at
// least three letters of it ("Sept" is common); 0 otherwise.
unsigned MonthNumber(std::string_view name) {
  static constexpr std::array<std::string_view, 12> kMonths = {"january", "february", "march",     "april",
                                                               "may",     "june",     "july",      "august",
                                                               "september", "october", "november", "december"};
  if (name.size() < 3) return 0;
  const std::string lower = runtime::LowerCase(name);
  for (std::size_t i = 0; i < kMonths.size(); ++i)
    if (kMonths[i].starts_with(lower)) return static_cast<unsigned>(i + 1);
  return 0;
}

bool IsWeekday(std::string_view name) {
  static constexpr std::array<std::string_view, 7> kDays = {"monday", "tuesday",  "wednesday", "thursday",
                                                            "friday", "saturday", "sunday"};
  if (name.size() < 3) return false;
  const std::string lower = runtime::LowerCase(name);
  for (std::string_view day : kDays)
    if (day.starts_with(lower)) return true;
  return false;
}

// Minutes east of UTC for a named zone; nothing for an unknown name.
std::optional<int> NamedZoneOffset(std::string_view name) {
  struct TZone {
    std::string_view Name;
    int Hours;
  };
  static constexpr std::array<TZone, 12> kZones = {{{"gmt", 0},
                                                    {"ut", 0},
                                                    {"utc", 0},
                                                    {"z", 0},
                                                    {"est", -5},
                                                    {"edt", -4},
                                                    {"cst", -6},
                                                    {"cdt", -5},
                                                    {"mst", -7},
                                                    {"mdt", -6},
                                                    {"pst", -8},
                                                    {"pdt", -7}}};
  const std::string lower = runtime::LowerCase(name);
  for (const TZone& zone : kZones)
    if (zone.Name == lower) return zone.Hours * 60;
  return std::nullopt;
}

}  // namespace

std::optional<TTime> ParseRFC822DateTime(std::string_view text) {
  TCursor in(Trim(text));
  TFields f;
  // An optional weekday, with or without its comma.
  {
    TCursor probe = in;
    const std::string_view word = probe.Letters();
    if (!word.empty()) {
      if (!IsWeekday(word)) return std::nullopt;
      in = probe;
      in.SkipBlanks();
      in.Take(',');
      in.SkipBlanks();
    }
  }
  int day = 0;
  std::size_t count = 0;
  if (!in.SomeDigits(2, day, count)) return std::nullopt;
  f.Day = static_cast<unsigned>(day);
  // Day, month and year are parted by blanks; some feeds use dashes.
  const auto separator = [&in] { return in.SkipBlanks() || in.Take('-'); };
  if (!separator()) return std::nullopt;
  f.Month = MonthNumber(in.Letters());
  if (f.Month == 0) return std::nullopt;
  in.Take('.');
  if (!separator()) return std::nullopt;
  int year = 0;
  if (!in.SomeDigits(4, year, count) || (count != 2 && count != 4)) return std::nullopt;
  f.Year = count == 4 ? year : (year < 50 ? 2000 + year : 1900 + year);
  if (!in.SkipBlanks()) return std::nullopt;
  int hour = 0, minute = 0, second = 0;
  if (!in.SomeDigits(2, hour, count) || !in.Take(':') || !in.Digits(2, minute)) return std::nullopt;
  f.Hour = static_cast<unsigned>(hour);
  f.Minute = static_cast<unsigned>(minute);
  if (in.Take(':')) {
    if (!in.Digits(2, second)) return std::nullopt;
    f.Second = static_cast<unsigned>(second);
  }
  in.SkipBlanks();
  const char sign = in.Peek();
  if (sign == '+' || sign == '-') {
    in.Skip();
    int hours = 0, minutes = 0;
    if (!in.Digits(2, hours)) return std::nullopt;
    in.Take(':');
    if (!in.Digits(2, minutes) || hours > 23 || minutes > 59) return std::nullopt;
    f.OffsetMinutes = (hours * 60 + minutes) * (sign == '-' ? -1 : 1);
  } else {
    const std::optional<int> offset = NamedZoneOffset(in.Letters());
    if (!offset) return std::nullopt;
    f.OffsetMinutes = *offset;
  }
  in.SkipBlanks();
  if (!in.AtEnd()) return std::nullopt;
  return ToTime(f);
}

}  // namespace corvandel::announce
