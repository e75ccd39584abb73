#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "xml/dom_string.h"

namespace corvandel::xml {

// Checks of XML names. Every check takes the XML 1.1 flag of the document
// it works for; under XML 1.1 a supplementary character (a high surrogate
// U+D800-U+DB7F followed by a low surrogate) counts as one name character
// in any position. The colon is accepted wherever a name character is.

// A name: a name-start character followed by name characters. The empty
// name is refused.
bool IsValidName(DOMStringView name, bool xml11);
bool IsValidName(const DOMChar* chars, std::size_t length, bool xml11);

// A name token: name characters only, at least one.
bool IsValidNmtoken(DOMStringView value, bool xml11);

// Names (or name tokens) separated by spaces (U+0020). Leading and repeated
// spaces are accepted; a trailing space or an empty value is not.
bool IsValidNameList(DOMStringView value, bool xml11);
bool IsValidNmtokenList(DOMStringView value, bool xml11);

// Results of CheckQualifiedName besides the colon position; their absolute
// values are the DOM error codes to raise.
inline constexpr int kQualifiedNameNotAName = -5;
inline constexpr int kQualifiedNameNamespaceError = -14;

// Checks a qualified name against the namespace it is to live in, given as
// its index in the document's namespace table (0 none, 1 the xml namespace,
// 2 the xmlns namespace; a negative index skips the namespace rules). The
// result is the 1-based position of the colon (0 without one) when the name
// is acceptable, else kQualifiedNameNotAName or kQualifiedNameNamespaceError.
int CheckQualifiedName(DOMStringView qualifiedName, int namespaceIndex, bool xml11);

// Normalises the value of an attribute whose declared type is not CDATA in
// place: a value that begins or ends with a space loses every leading and
// trailing character up to U+0020, and runs of spaces become one space.
void NormalizeSpaces(DOMString& value);

// The name-character classes as two-level tables over the Basic Multilingual
// Plane, cheap enough to consult once per character while parsing. The
// first 256 page entries give, for each high byte, the bitmap of the units
// that may start a name; the second 256 the bitmap of those that may follow.
// Bitmap 0 is all clear and bitmap 1 all set. The colon and surrogates are
// not in the tables.
using TNameBitmap = std::array<uint32_t, 8>;

class TNameCharTables {
public:
  constexpr TNameCharTables(const uint8_t* pages, const TNameBitmap* bitmaps) : pages_(pages), bitmaps_(bitmaps) {}

  bool IsNameStartChar(DOMChar c) const { return Test(0, c); }
  bool IsNameChar(DOMChar c) const { return Test(kNameCharHalf, c); }

  const uint8_t* Pages() const { return pages_; }
  const TNameBitmap* Bitmaps() const { return bitmaps_; }

private:
  static constexpr unsigned kNameCharHalf = 256;

  bool Test(unsigned half, DOMChar c) const {
    const TNameBitmap& bits = bitmaps_[pages_[half + (c >> 8)]];
    return (bits[(c >> 5) & 7] >> (c & 31)) & 1u;
  }

  const uint8_t* pages_;
  const TNameBitmap* bitmaps_;
};

// The XML 1.0 tables (Letter, Digit, CombiningChar and Extender of XML 1.0
// editions one to four) and the XML 1.1 tables. The XML 1.1 tables are built
// on first use; any number of threads may ask for them at the same time.
const TNameCharTables& Xml10NameTables();
const TNameCharTables& Xml11NameTables();

inline const TNameCharTables& NameCharTables(bool xml11) { return xml11 ? Xml11NameTables() : Xml10NameTables(); }

inline bool IsNameStartChar(DOMChar c, bool xml11) { return NameCharTables(xml11).IsNameStartChar(c); }
inline bool IsNameChar(DOMChar c, bool xml11) { return NameCharTables(xml11).IsNameChar(c); }

// Surrogate pairs that XML 1.1 accepts in names: U+10000 to U+EFFFF.
inline bool IsNameHighSurrogate(DOMChar c) { return c >= 0xD800 && c <= 0xDB7F; }
inline bool IsLowSurrogate(DOMChar c) { return c >= 0xDC00 && c <= 0xDFFF; }

}  // namespace corvandel::xml
