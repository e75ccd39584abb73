#pragma once

// What the sitemap and feed readers share: reading a source's bytes as XML
// with the settings every source gets, one record at a time, and the small
// text helpers their reasons and fields need. Internal to the readers.
//
// Every source is read without a document type declaration (so entity
// payloads fail at once), without namespace processing (real files leave
// extension prefixes undeclared often enough, and only local names are
// compared), and without keeping whitespace, comments or the records
// already handled: the record callback drops each one once it is read, so
// a file of the protocol's largest size costs the tree of one record.

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "xml/dom.h"
#include "xml/reader.h"

namespace corvandel::announce::detail {

// Raised by a record callback to stop reading with a reason of its own.
struct TStopReading {
  std::string Reason;
};

// The reason for refusing a document type declaration in a source of the
// kind named by what ("sitemap", "feed").
std::string DoctypeRefusal(std::string_view what);

// Reads bytes, handing every element to onElement as it ends (see
// TXMLReaderSettings::OnElementEnd). False with the reason in error when the
// text is not well-formed XML (the reader's message, with line and column),
// when onElement raised TStopReading (its reason), or when the tree would
// take more memory than bytes of this size can need.
bool ReadSourceXML(std::string_view bytes, const std::function<xml::TElementVerdict(xml::TDOMElement&)>& onElement,
                   std::string& error);

// What the bytes start with, skipping the XML declaration, instructions,
// comments and blanks: the name of the first element start tag (none when
// the bytes do not start as UTF-8 markup), and whether a document type
// declaration comes before it. For refusing a wrong kind of document by its
// element, and a declaration by name, before any of it is read.
struct TFirstMarkup {
  std::optional<std::string> Element;
  bool Doctype = false;
};
TFirstMarkup SniffFirstMarkup(std::string_view bytes);

// The part of a qualified name after its colon.
std::u16string_view LocalName(const xml::TDOMNode& node);
std::string_view LocalName(std::string_view qualifiedName);
// The namespace the element's own prefix (or the default) is bound to by
// the xmlns attributes on it; empty when none is.
std::u16string NamespaceOf(xml::TDOMElement& element);
// The value of an attribute, UTF-8; nothing when it is absent.
std::optional<std::string> Attribute(const xml::TDOMElement& element, std::u16string_view name);
// The text content of a node in UTF-8, blanks trimmed from both ends.
std::string TrimmedText(const xml::TDOMNode& node);
// The first child element with that local name, or none.
xml::TDOMElement* ChildNamed(const xml::TDOMNode& parent, std::u16string_view localName);
// text as a reason quotes it: control bytes escaped, cut to about 200
// bytes with "..." after a cut, never inside a UTF-8 character.
std::string Quoted(std::string_view text);

}  // namespace corvandel::announce::detail
