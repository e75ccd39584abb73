#include "xml/writer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "xml/ns_support.h"

namespace corvandel::xml {

namespace {

constexpr std::string_view kLineBreak = "\r\n";

constexpr std::string_view kDeclarationStart = "<?xml version=\"";
constexpr DOMStringView kDefaultVersion = u"1.0";
constexpr std::string_view kStylesheetStart = "<?xml-stylesheet type=\"";
constexpr std::string_view kStylesheetHRef = "\" href=\"";
constexpr std::string_view kDeclarationEnd = "\"?>";
constexpr std::string_view kCDATAStart = "<![CDATA[";
constexpr std::string_view kCDATAEnd = "]]>";
constexpr std::string_view kCommentStart = "<!--";
constexpr std::string_view kCommentEnd = "-->";
constexpr std::string_view kPIStart = "<?";
constexpr std::string_view kPIEnd = "?>";
constexpr std::string_view kDoctypeStart = "<!DOCTYPE ";
constexpr std::string_view kPublic = "PUBLIC ";
constexpr std::string_view kSystem = "SYSTEM ";
constexpr std::string_view kXmlnsAttribute = " xmlns";

constexpr std::string_view kAmp = "&amp;";
constexpr std::string_view kLt = "&lt;";
constexpr std::string_view kGt = "&gt;";
constexpr std::string_view kQuot = "&quot;";
constexpr std::string_view kTabRef = "&#x9;";
constexpr std::string_view kLFRef = "&#xA;";
constexpr std::string_view kCRRef = "&#xD;";
// Ends the section after "]]" and opens a new one for the ">".
constexpr std::string_view kCDATASplit = "]]]]><![CDATA[>";

// Which ASCII characters an escaping hands to its replacement; characters
// from U+0080 up are never special.
using TSpecialTable = std::array<bool, 128>;

constexpr std::u16string_view SpecialCharacters(TEscape escape) {
  switch (escape) {
    case TEscape::None: return u"";
    case TEscape::Text: return u"\n\r&<>";
    case TEscape::Attribute: return u"\t\n\r\"&<";
    case TEscape::Comment: return u"\n\r";
    case TEscape::CDATA: return u"]";
  }
  return u"";
}

constexpr TSpecialTable MakeSpecialTable(TEscape escape) {
  TSpecialTable table{};
  for (DOMChar c : SpecialCharacters(escape)) table[c] = true;
  return table;
}

template <TEscape kEscape>
inline constexpr TSpecialTable kSpecial = MakeSpecialTable(kEscape);

// XML 1.1 lets text and attribute values carry its restricted characters
// (the C0 controls other than TAB, LF and CR, DEL, and the C1 controls but
// NEL) only as character references: written as they are, the document
// would no longer read. NEL and LINE SEPARATOR are line ends there, which
// a reader turns into LF, so they are written as references too.
constexpr bool IsRestricted11(DOMChar c) {
  return (c >= 0x01 && c <= 0x08) || c == 0x0B || c == 0x0C || (c >= 0x0E && c <= 0x1F) ||
         (c >= 0x7F && c <= 0x9F) || c == 0x2028;
}

constexpr bool EscapesRestricted(TEscape escape) { return escape == TEscape::Text || escape == TEscape::Attribute; }

constexpr TSpecialTable MakeSpecialTable11(TEscape escape) {
  TSpecialTable table = MakeSpecialTable(escape);
  if (EscapesRestricted(escape))
    for (DOMChar c = 0; c < 0x80; ++c) table[c] = table[c] || IsRestricted11(c);
  return table;
}

template <TEscape kEscape, bool kXML11>
inline constexpr TSpecialTable kSpecialFor = kXML11 ? MakeSpecialTable11(kEscape) : kSpecial<kEscape>;

char* Put(char* out, std::string_view bytes) {
  std::memcpy(out, bytes.data(), bytes.size());
  return out + bytes.size();
}

// "&#xN;" for c, in upper-case hex without leading zeros; at most 9 bytes.
char* PutReference(char* out, DOMChar c) {
  constexpr char kHex[] = "0123456789ABCDEF";
  out = Put(out, "&#x");
  bool digits = false;
  for (int shift = 12; shift > 0; shift -= 4) {
    const unsigned digit = (c >> shift) & 0xFu;
    if (digit != 0 || digits) *out++ = kHex[digit];
    digits = digits || digit != 0;
  }
  *out++ = kHex[c & 0xF];
  *out++ = ';';
  return out;
}

// Writes the replacement of the special character c, which stood just
// before p; consumes further characters by advancing p. At most
// kCDATASplit.size() bytes are written.
template <TEscape kEscape>
char* Replace(DOMChar c, const DOMChar*& p, const DOMChar* end, char* out) {
  if constexpr (kEscape == TEscape::Text || kEscape == TEscape::Comment) {
    switch (c) {
      case u'\r':
        // CR LF and a lone CR both become one line break.
        if (p != end && *p == u'\n') ++p;
        return Put(out, kLineBreak);
      case u'\n': return Put(out, kLineBreak);
      case u'&': return Put(out, kAmp);
      case u'<': return Put(out, kLt);
      default: return Put(out, kGt);
    }
  } else if constexpr (kEscape == TEscape::Attribute) {
    switch (c) {
      case u'\t': return Put(out, kTabRef);
      case u'\n': return Put(out, kLFRef);
      case u'\r': return Put(out, kCRRef);
      case u'"': return Put(out, kQuot);
      case u'&': return Put(out, kAmp);
      default: return Put(out, kLt);
    }
  } else if constexpr (kEscape == TEscape::CDATA) {
    if (end - p >= 2 && p[0] == u']' && p[1] == u'>') {
      p += 2;
      return Put(out, kCDATASplit);
    }
    *out++ = ']';
    return out;
  } else {
    static_cast<void>(c);
    static_cast<void>(p);
    static_cast<void>(end);
    return out;
  }
}

bool IsTextLike(const TDOMNode* node) {
  const uint16_t type = node->NodeType();
  return type == TEXT_NODE || type == CDATA_SECTION_NODE;
}

DOMStringView PrefixOf(const TDOMNode_NS& node) {
  const uint16_t colon = node.ColonPos();
  return colon > 1 ? DOMStringView(node.NodeName()).substr(0, colon - 1u) : DOMStringView();
}

const DOMString& NamespaceOf(const TDOMNode_NS& node) {
  return node.Document()->NamespaceAt(node.NamespaceIndex());
}

}  // namespace

TXMLWriter::TXMLWriter() {
  indent_.assign(kLineBreak);
  indent_.resize(kInitialIndentLength, ' ');
}

TXMLWriter::~TXMLWriter() = default;

void TXMLWriter::EmitBlock() {
  EmitBytes(buffer_.data(), kBlockSize);
  const std::size_t rest = position_ - kBlockSize;
  std::memmove(buffer_.data(), buffer_.data() + kBlockSize, rest);
  position_ = rest;
}

void TXMLWriter::Flush() {
  // Cleared first: bytes are handed over once, even to a sink that fails.
  const std::size_t count = position_;
  position_ = 0;
  if (count > 0) EmitBytes(buffer_.data(), count);
}

void TXMLWriter::WriteRaw(const char* bytes, std::size_t count) {
  if (position_ + count <= kBlockSize) {
    std::memcpy(buffer_.data() + position_, bytes, count);
    position_ += count;
    return;
  }
  while (count > 0) {
    if (position_ >= kBlockSize) EmitBlock();
    const std::size_t n = std::min(count, kBlockSize - position_);
    std::memcpy(buffer_.data() + position_, bytes, n);
    position_ += n;
    bytes += n;
    count -= n;
  }
}

// Every write below starts with the position inside the block and adds at
// most kBufferSlack bytes, so full blocks go out exactly kBlockSize long.
template <TEscape kEscape, bool kXML11>
void TXMLWriter::Encode(const DOMChar* p, const DOMChar* end) {
  const TSpecialTable& special = kSpecialFor<kEscape, kXML11>;
  char* const base = buffer_.data();
  char* const limit = base + kBlockSize;
  char* out = base + position_;
  while (p != end) {
    if (out >= limit) {
      position_ = static_cast<std::size_t>(out - base);
      EmitBlock();
      out = base + position_;
    }
    // Plain ASCII runs are copied without further checks, up to the block end.
    const DOMChar* const stop = p + std::min(end - p, limit - out);
    while (p != stop && *p < 0x80 && !special[*p]) *out++ = static_cast<char>(*p++);
    if (p == stop) continue;

    const DOMChar c = *p++;
    if (kXML11 && EscapesRestricted(kEscape) && IsRestricted11(c)) {
      out = PutReference(out, c);
    } else if (c < 0x80) {
      out = Replace<kEscape>(c, p, end, out);
    } else if (c < 0x800) {
      out[0] = static_cast<char>(0xC0 | (c >> 6));
      out[1] = static_cast<char>(0x80 | (c & 0x3F));
      out += 2;
    } else if (c >= 0xD800 && c <= 0xDBFF) {
      if (p == end || *p < 0xDC00 || *p > 0xDFFF) {
        position_ = static_cast<std::size_t>(out - base);
        throw EConvertError(kHighSurrogateWithoutLow);
      }
      const uint32_t code = 0x10000 + ((static_cast<uint32_t>(c) - 0xD800) << 10) + (*p++ - 0xDC00u);
      out[0] = static_cast<char>(0xF0 | (code >> 18));
      out[1] = static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (code & 0x3F));
      out += 4;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      position_ = static_cast<std::size_t>(out - base);
      throw EConvertError(kLowSurrogateWithoutHigh);
    } else {
      out[0] = static_cast<char>(0xE0 | (c >> 12));
      out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (c & 0x3F));
      out += 3;
    }
  }
  position_ = static_cast<std::size_t>(out - base);
}

void TXMLWriter::WriteChars(const DOMChar* chars, std::size_t count) {
  Encode<TEscape::None, false>(chars, chars + count);
}

void TXMLWriter::WriteEscaped(DOMStringView text, TEscape escape) {
  const DOMChar* const begin = text.data();
  const DOMChar* const end = begin + text.size();
  switch (escape) {
    case TEscape::None: Encode<TEscape::None, false>(begin, end); break;
    case TEscape::Text:
      xml11_ ? Encode<TEscape::Text, true>(begin, end) : Encode<TEscape::Text, false>(begin, end);
      break;
    case TEscape::Attribute:
      xml11_ ? Encode<TEscape::Attribute, true>(begin, end) : Encode<TEscape::Attribute, false>(begin, end);
      break;
    case TEscape::Comment: Encode<TEscape::Comment, false>(begin, end); break;
    case TEscape::CDATA: Encode<TEscape::CDATA, false>(begin, end); break;
  }
}

bool TXMLWriter::IsXML11(const TDOMNode* node) {
  const TDOMNode* document = node->NodeType() == DOCUMENT_NODE ? node : node->Document();
  const auto* xmlDocument = dynamic_cast<const TXMLDocument*>(document);
  return xmlDocument && xmlDocument->XMLVersion() == u"1.1";
}

void TXMLWriter::WriteIndent() { WriteRaw(indent_.data(), kLineBreak.size() + 2 * std::size_t(indentLevel_)); }

void TXMLWriter::RaiseIndentLevel() {
  ++indentLevel_;
  const std::size_t needed = kLineBreak.size() + 2 * std::size_t(indentLevel_);
  if (indent_.size() < needed) indent_.resize(std::max(needed, 4 * std::size_t(indentLevel_)), ' ');
}

void TXMLWriter::LowerIndentLevel() {
  if (indentLevel_ > 0) --indentLevel_;
}

void TXMLWriter::WriteNode(TDOMNode* root) {
  if (!root) return;
  const std::size_t base = open_.size();
  const bool savedInsideText = insideText_;
  const int32_t savedIndentLevel = indentLevel_;
  const uint32_t savedOpenElements = openElements_;
  const bool savedXML11 = xml11_;
  xml11_ = IsXML11(root);
  try {
    // Pre-order walk; open_ holds the nodes whose children are being written.
    TDOMNode* node = root;
    for (;;) {
      if (OpenNode(node)) {
        node = node->FirstChild();
        continue;
      }
      for (;;) {
        if (node == root) {
          xml11_ = savedXML11;
          return;
        }
        if (TDOMNode* next = node->NextSibling()) {
          node = next;
          break;
        }
        const TOpenNode parent = open_.back();
        open_.pop_back();
        CloseNode(parent);
        node = parent.Node;
      }
    }
  } catch (...) {
    if (namespaces_)
      while (namespaces_->Level() > savedOpenElements) namespaces_->EndElement();
    openElements_ = savedOpenElements;
    open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(base), open_.end());
    insideText_ = savedInsideText;
    indentLevel_ = savedIndentLevel;
    xml11_ = savedXML11;
    throw;
  }
}

bool TXMLWriter::OpenNode(TDOMNode* node) {
  switch (node->NodeType()) {
    case ELEMENT_NODE: return OpenElement(static_cast<TDOMElement*>(node));
    case ATTRIBUTE_NODE: WriteAttributeNode(static_cast<TDOMAttr*>(node)); return false;
    case TEXT_NODE: WriteEscaped(static_cast<TDOMText*>(node)->Data(), TEscape::Text); return false;
    case CDATA_SECTION_NODE:
      if (!insideText_) WriteIndent();
      WriteRaw(kCDATAStart);
      WriteEscaped(static_cast<TDOMCDATASection*>(node)->Data(), TEscape::CDATA);
      WriteRaw(kCDATAEnd);
      return false;
    case ENTITY_REFERENCE_NODE:
      WriteRaw("&", 1);
      WriteChars(node->NodeName());
      WriteRaw(";", 1);
      return false;
    case PROCESSING_INSTRUCTION_NODE: {
      const auto* pi = static_cast<TDOMProcessingInstruction*>(node);
      if (!insideText_) WriteIndent();
      WriteRaw(kPIStart);
      WriteChars(pi->Target());
      if (!pi->Data().empty()) {
        WriteRaw(" ", 1);
        WriteEscaped(pi->Data(), TEscape::Comment);
      }
      WriteRaw(kPIEnd);
      return false;
    }
    case COMMENT_NODE:
      if (!insideText_) WriteIndent();
      WriteRaw(kCommentStart);
      WriteEscaped(static_cast<TDOMComment*>(node)->Data(), TEscape::Comment);
      WriteRaw(kCommentEnd);
      return false;
    case DOCUMENT_NODE: {
      const auto* xmlDocument = dynamic_cast<const TXMLDocument*>(node);
      WriteRaw(kDeclarationStart);
      WriteChars(xmlDocument && !xmlDocument->XMLVersion().empty() ? DOMStringView(xmlDocument->XMLVersion())
                                                                    : kDefaultVersion);
      WriteRaw(kDeclarationEnd);
      if (xmlDocument && !xmlDocument->StylesheetType.empty()) {
        WriteRaw(kLineBreak);
        WriteRaw(kStylesheetStart);
        WriteChars(xmlDocument->StylesheetType);
        WriteRaw(kStylesheetHRef);
        WriteChars(xmlDocument->StylesheetHRef);
        WriteRaw(kDeclarationEnd);
      }
      if (!node->FirstChild()) {
        WriteRaw(kLineBreak);
        return false;
      }
      open_.push_back({node, insideText_});
      return true;
    }
    case DOCUMENT_TYPE_NODE: WriteDocumentType(*static_cast<TDOMDocumentType*>(node)); return false;
    case ENTITY_NODE:
    case DOCUMENT_FRAGMENT_NODE:
      if (!node->FirstChild()) return false;
      open_.push_back({node, insideText_});
      return true;
    default: return false;
  }
}

void TXMLWriter::CloseNode(const TOpenNode& open) {
  switch (open.Node->NodeType()) {
    case ELEMENT_NODE: {
      LowerIndentLevel();
      if (!IsTextLike(open.Node->LastChild())) WriteIndent();
      insideText_ = open.SavedInsideText;
      WriteRaw("</", 2);
      WriteChars(open.Node->NodeName());
      WriteRaw(">", 1);
      EndScope();
      break;
    }
    case DOCUMENT_NODE: WriteRaw(kLineBreak); break;
    default: break;
  }
}

bool TXMLWriter::OpenElement(TDOMElement* element) {
  if (!insideText_) WriteIndent();
  StartScope();
  WriteRaw("<", 1);
  WriteChars(element->NodeName());
  if (element->Flags() & NODE_NAMESPACE_AWARE) WriteNamespaceAttributes(element);
  else WritePlainAttributes(element);

  TDOMNode* first = element->FirstChild();
  if (!first) {
    WriteRaw("/>", 2);
    EndScope();
    return false;
  }
  WriteRaw(">", 1);
  open_.push_back({element, insideText_});
  insideText_ = IsTextLike(first);
  RaiseIndentLevel();
  return true;
}

void TXMLWriter::WritePlainAttributes(TDOMElement* element) {
  if (!element->HasAttributes()) return;
  const TAttributeMap* map = element->AttributeMap();
  for (uint32_t i = 0, n = map->Length(); i < n; ++i) {
    // Declared defaults that were not given explicitly stay out.
    TDOMAttr* attribute = map->Attr(i);
    if (attribute->Specified()) WriteAttributeNode(attribute);
  }
}

void TXMLWriter::WriteAttributeNode(TDOMAttr* attribute) {
  WriteRaw(" ", 1);
  WriteChars(attribute->NodeName());
  WriteRaw("=\"", 2);
  for (TDOMNode* child = attribute->FirstChild(); child; child = child->NextSibling()) {
    switch (child->NodeType()) {
      case TEXT_NODE: WriteEscaped(static_cast<TDOMText*>(child)->Data(), TEscape::Attribute); break;
      case ENTITY_REFERENCE_NODE:
        WriteRaw("&", 1);
        WriteChars(child->NodeName());
        WriteRaw(";", 1);
        break;
      default: break;
    }
  }
  WriteRaw("\"", 1);
}

// Documents without namespace-aware elements, such as every ping request,
// never pay for the namespace support: it is made when first needed, with
// one scope for each element open at that moment.
TNSSupport& TXMLWriter::Namespaces() {
  if (!namespaces_) {
    namespaces_ = std::make_unique<TNSSupport>();
    for (uint32_t i = 0; i < openElements_; ++i) namespaces_->StartElement();
  }
  return *namespaces_;
}

void TXMLWriter::StartScope() {
  ++openElements_;
  if (namespaces_) namespaces_->StartElement();
}

void TXMLWriter::EndScope() {
  if (openElements_ > 0) --openElements_;
  if (namespaces_) namespaces_->EndElement();
}

void TXMLWriter::WriteNamespaceAttributes(TDOMElement* element) {
  TNSSupport& ns = Namespaces();
  attributeRecords_.clear();
  newBindings_.clear();

  // Declarations among the attributes come first, then the element's own
  // namespace, then whatever the other attributes still need.
  if (element->HasAttributes()) {
    const TAttributeMap* map = element->AttributeMap();
    for (uint32_t i = 0, n = map->Length(); i < n; ++i) {
      TDOMAttr* attribute = map->Attr(i);
      if (attribute->NamespaceIndex() == NS_INDEX_XMLNS) {
        const DOMStringView prefix = attribute->ColonPos() > 0 ? attribute->LocalNameView() : DOMStringView();
        if (TBinding* binding = ns.DefineBinding(prefix, attribute->NodeValue())) newBindings_.push_back(binding);
      } else if (attribute->Specified()) {
        attributeRecords_.push_back({attribute, nullptr});
      }
    }
  }
  if (TBinding* binding = ns.DefineBinding(PrefixOf(*element), NamespaceOf(*element))) newBindings_.push_back(binding);
  for (TAttributeRecord& record : attributeRecords_) {
    TBinding* binding = nullptr;
    const int result = ns.CheckAttribute(PrefixOf(*record.Attribute), NamespaceOf(*record.Attribute), binding);
    if (result == TNSSupport::kNewBinding) newBindings_.push_back(binding);
    if (result != TNSSupport::kNothingNeeded) record.PrefixBinding = binding;
  }

  for (const TBinding* binding : newBindings_) {
    WriteRaw(kXmlnsAttribute);
    if (!binding->Prefix().empty()) {
      WriteRaw(":", 1);
      WriteChars(binding->Prefix());
    }
    WriteRaw("=\"", 2);
    WriteEscaped(binding->URI, TEscape::Attribute);
    WriteRaw("\"", 1);
  }
  for (const TAttributeRecord& record : attributeRecords_) {
    WriteRaw(" ", 1);
    if (record.PrefixBinding) {
      WriteChars(record.PrefixBinding->Prefix());
      WriteRaw(":", 1);
      WriteChars(record.Attribute->LocalNameView());
    } else {
      WriteChars(record.Attribute->NodeName());
    }
    WriteRaw("=\"", 2);
    WriteEscaped(record.Attribute->NodeValue(), TEscape::Attribute);
    WriteRaw("\"", 1);
  }
}

void TXMLWriter::WriteDocumentType(const TDOMDocumentType& doctype) {
  WriteRaw(kLineBreak);
  WriteRaw(kDoctypeStart);
  WriteChars(doctype.Name());
  WriteRaw(" ", 1);
  if (!doctype.PublicId.empty()) {
    WriteRaw(kPublic);
    WriteQuoted(doctype.PublicId);
    WriteRaw(" ", 1);
    WriteQuoted(doctype.SystemId);
  } else if (!doctype.SystemId.empty()) {
    WriteRaw(kSystem);
    WriteQuoted(doctype.SystemId);
  }
  if (!doctype.InternalSubset.empty()) {
    WriteRaw("[", 1);
    WriteEscaped(doctype.InternalSubset, TEscape::Comment);
    WriteRaw("]", 1);
  }
  WriteRaw(">", 1);
}

void TXMLWriter::WriteQuoted(const DOMString& value) {
  const char quote = value.find(u'"') == DOMString::npos ? '"' : '\'';
  WriteRaw(&quote, 1);
  WriteEscaped(value, TEscape::Comment);
  WriteRaw(&quote, 1);
}

TStreamXMLWriter::~TStreamXMLWriter() {
  try {
    Flush();
  } catch (...) {
    // Nothing can be reported from here; see the declaration.
  }
}

void TStreamXMLWriter::EmitBytes(const char* buffer, std::size_t count) {
  // The exact form: a stream that takes fewer bytes raises instead of
  // silently cutting the text short.
  if (count > 0) stream_.WriteBuffer(buffer, count);
}

void WriteDocumentToStream(TDOMNode& document, runtime::TStream& stream) {
  TStreamXMLWriter writer(stream);
  try {
    writer.WriteNode(&document);
  } catch (...) {
    // The stream still gets what was written before the failure; the first
    // exception is the one worth reporting.
    try {
      writer.Flush();
    } catch (...) {
    }
    throw;
  }
  writer.Flush();
}

}  // namespace corvandel::xml
