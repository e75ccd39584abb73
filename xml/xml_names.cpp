#include "xml/xml_names.h"

#include <map>
#include <vector>

namespace corvandel::xml {

namespace {

#include "xml/xml10_name_tables.inc"

constexpr TNameCharTables kXml10Tables(kXml10Pages, kXml10Bitmaps);

constexpr DOMChar kColon = u':';
constexpr DOMChar kSpace = u' ';
constexpr DOMStringView kXmlnsName = u"xmlns";
constexpr DOMStringView kXmlnsPrefix = u"xmlns:";
constexpr DOMStringView kXmlPrefix = u"xml:";

constexpr int kNoNamespace = 0;
constexpr int kXmlNamespace = 1;
constexpr int kXmlnsNamespace = 2;

struct TCharRange {
  char16_t First;
  char16_t Last;
};

// XML 1.1 NameStartChar without the colon.
constexpr TCharRange kXml11NameStart[] = {
    {u'A', u'Z'},       {u'_', u'_'},       {u'a', u'z'},       {0x00C0, 0x00D6}, {0x00D8, 0x00F6},
    {0x00F8, 0x02FF},   {0x0370, 0x037D},   {0x037F, 0x1FFF},   {0x200C, 0x200D}, {0x2070, 0x218F},
    {0x2C00, 0x2FEF},   {0x3001, 0xD7FF},   {0xF900, 0xFDCF},   {0xFDF0, 0xFFFD},
};

// What XML 1.1 NameChar adds to NameStartChar.
constexpr TCharRange kXml11NameCharExtra[] = {
    {u'-', u'.'}, {u'0', u'9'}, {0x00B7, 0x00B7}, {0x0300, 0x036F}, {0x203F, 0x2040},
};

constexpr unsigned kPageCount = 256;
constexpr unsigned kAllClearBitmap = 0;
constexpr unsigned kAllSetBitmap = 1;

// The XML 1.1 tables, built from the ranges above. Pages that lie wholly
// inside or outside a class map to the shared all-set or all-clear bitmap;
// each distinct mixed page gets a bitmap of its own.
class TXml11Tables {
public:
  TXml11Tables() {
    TNameBitmap allSet;
    allSet.fill(0xFFFFFFFFu);
    bitmaps_ = {TNameBitmap{}, allSet};
    std::map<TNameBitmap, uint8_t> known{{bitmaps_[kAllClearBitmap], kAllClearBitmap},
                                         {bitmaps_[kAllSetBitmap], kAllSetBitmap}};

    std::vector<TNameBitmap> startPages(kPageCount), namePages(kPageCount);
    for (const TCharRange& range : kXml11NameStart) {
      Mark(startPages, range);
      Mark(namePages, range);
    }
    for (const TCharRange& range : kXml11NameCharExtra) Mark(namePages, range);

    for (unsigned page = 0; page < kPageCount; ++page) {
      pages_[page] = Intern(known, startPages[page]);
      pages_[kPageCount + page] = Intern(known, namePages[page]);
    }
  }

  TNameCharTables Tables() const { return TNameCharTables(pages_.data(), bitmaps_.data()); }

private:
  static void Mark(std::vector<TNameBitmap>& pages, TCharRange range) {
    for (unsigned c = range.First; c <= range.Last; ++c) pages[c >> 8][(c >> 5) & 7] |= 1u << (c & 31);
  }

  uint8_t Intern(std::map<TNameBitmap, uint8_t>& known, const TNameBitmap& bits) {
    auto [it, added] = known.try_emplace(bits, static_cast<uint8_t>(bitmaps_.size()));
    if (added) bitmaps_.push_back(bits);
    return it->second;
  }

  std::array<uint8_t, 2 * kPageCount> pages_{};
  std::vector<TNameBitmap> bitmaps_;
};

// Code units taken by the name character at chars[i]: 1 for a unit of the
// class asked for or the colon, 2 for a surrogate pair under XML 1.1, and 0
// when there is no name character there.
inline std::size_t NameUnitsAt(const TNameCharTables& tables, const DOMChar* chars, std::size_t i,
                               std::size_t length, bool start, bool xml11) {
  const DOMChar c = chars[i];
  if ((start ? tables.IsNameStartChar(c) : tables.IsNameChar(c)) || c == kColon) return 1;
  if (xml11 && IsNameHighSurrogate(c) && i + 1 < length && IsLowSurrogate(chars[i + 1])) return 2;
  return 0;
}

bool AllNameChars(const TNameCharTables& tables, const DOMChar* chars, std::size_t from, std::size_t length,
                  bool xml11) {
  for (std::size_t i = from; i < length;) {
    const std::size_t units = NameUnitsAt(tables, chars, i, length, false, xml11);
    if (units == 0) return false;
    i += units;
  }
  return true;
}

}  // namespace

const TNameCharTables& Xml10NameTables() { return kXml10Tables; }

const TNameCharTables& Xml11NameTables() {
  // A function-local static: its first construction is serialised by the
  // language, so parsers on several workers may race to it safely.
  static const TXml11Tables built;
  static const TNameCharTables tables = built.Tables();
  return tables;
}

bool IsValidName(const DOMChar* chars, std::size_t length, bool xml11) {
  if (length == 0) return false;
  const TNameCharTables& tables = NameCharTables(xml11);
  const std::size_t first = NameUnitsAt(tables, chars, 0, length, true, xml11);
  return first != 0 && AllNameChars(tables, chars, first, length, xml11);
}

bool IsValidName(DOMStringView name, bool xml11) { return IsValidName(name.data(), name.size(), xml11); }

bool IsValidNmtoken(DOMStringView value, bool xml11) {
  return !value.empty() && AllNameChars(NameCharTables(xml11), value.data(), 0, value.size(), xml11);
}

bool IsValidNameList(DOMStringView value, bool xml11) {
  if (value.empty()) return false;
  const TNameCharTables& tables = NameCharTables(xml11);
  const std::size_t length = value.size();
  bool atNameStart = true;
  for (std::size_t i = 0; i < length;) {
    const std::size_t units = NameUnitsAt(tables, value.data(), i, length, atNameStart, xml11);
    if (units != 0) {
      atNameStart = false;
      i += units;
      continue;
    }
    if (i + 1 == length || value[i] != kSpace) return false;
    atNameStart = true;
    ++i;
  }
  return true;
}

bool IsValidNmtokenList(DOMStringView value, bool xml11) {
  if (value.empty()) return false;
  const TNameCharTables& tables = NameCharTables(xml11);
  const std::size_t length = value.size();
  for (std::size_t i = 0; i < length;) {
    const std::size_t units = NameUnitsAt(tables, value.data(), i, length, false, xml11);
    if (units != 0) {
      i += units;
      continue;
    }
    if (i + 1 == length || value[i] != kSpace) return false;
    ++i;
  }
  return true;
}

int CheckQualifiedName(DOMStringView qualifiedName, int namespaceIndex, bool xml11) {
  if (!IsValidName(qualifiedName, xml11)) return kQualifiedNameNotAName;

  const std::size_t length = qualifiedName.size();
  const std::size_t colonAt = qualifiedName.find(kColon);
  const std::size_t colonPos = colonAt == DOMStringView::npos ? 0 : colonAt + 1;
  if (colonPos > 0) {
    if (colonPos == 1 || colonPos == length || qualifiedName.find(kColon, colonPos) != DOMStringView::npos)
      return kQualifiedNameNamespaceError;
    // The local part must start with a name-start character; under XML 1.1
    // that character may be a surrogate pair.
    const DOMChar* local = qualifiedName.data() + colonPos;
    const std::size_t localFirst =
        xml11 && IsNameHighSurrogate(local[0]) && colonPos + 1 < length && IsLowSurrogate(local[1]) ? 2 : 1;
    if (!IsValidName(local, localFirst, xml11)) return kQualifiedNameNamespaceError;
  }
  const int result = static_cast<int>(colonPos);
  if (namespaceIndex < 0) return result;

  if (namespaceIndex == kNoNamespace && colonPos > 0) return kQualifiedNameNamespaceError;
  const bool xmlnsName = qualifiedName == kXmlnsName || qualifiedName.starts_with(kXmlnsPrefix);
  if (xmlnsName != (namespaceIndex == kXmlnsNamespace)) return kQualifiedNameNamespaceError;
  if (qualifiedName.starts_with(kXmlPrefix) && namespaceIndex != kXmlNamespace) return kQualifiedNameNamespaceError;
  return result;
}

void NormalizeSpaces(DOMString& value) {
  if (value.empty()) return;
  if (value.front() == kSpace || value.back() == kSpace) {
    std::size_t first = 0;
    std::size_t end = value.size();
    while (first < end && value[first] <= kSpace) ++first;
    while (end > first && value[end - 1] <= kSpace) --end;
    value.erase(end);
    value.erase(0, first);
  }
  std::size_t out = 0;
  for (std::size_t in = 0; in < value.size(); ++in) {
    if (value[in] == kSpace && out > 0 && value[out - 1] == kSpace) continue;
    value[out++] = value[in];
  }
  value.resize(out);
}

}  // namespace corvandel::xml
