#include "xml/detail/xml_reader.h"

#include <algorithm>

#include "runtime/ascii_case.h"
#include "runtime/code_page.h"
#include "xml/detail/reader_messages.h"

namespace corvandel::xml {

namespace {

constexpr TDelimiterSet kTextDelimiters{0, u'&', u'<', u'>'};
constexpr TDelimiterSet kCDATADelimiters{0, u'>'};
constexpr TDelimiterSet kAttributeDelimiters{0, u'\t', u'\n', u'\r', u'"', u'&', u'\'', u'<'};
constexpr TDelimiterSet kInstructionDelimiters{0, u'>'};
constexpr TDelimiterSet kCommentDelimiters{0, u'-'};

std::string Narrow(DOMStringView text) { return runtime::UTF16ToSystem(text); }

std::string CharText(DOMChar c) { return Narrow(DOMStringView(&c, 1)); }

int DigitValue(DOMChar c, bool hex) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (!hex) return -1;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool IsAllowedCharRef(uint32_t value, bool xml11) {
  if (value == 0x9 || value == 0xA || value == 0xD) return true;
  if (value >= 0x20 && value <= 0xD7FF) return true;
  if (value >= 0xE000 && value <= 0xFFFD) return true;
  if (value >= 0x10000 && value <= 0x10FFFF) return true;
  return xml11 && value >= 0x1 && value <= 0x1F;
}

void AppendCodePoint(DOMString& buffer, uint32_t value) {
  if (value < 0x10000) {
    buffer += static_cast<DOMChar>(value);
  } else {
    value -= 0x10000;
    buffer += static_cast<DOMChar>(0xD800 + (value >> 10));
    buffer += static_cast<DOMChar>(0xDC00 + (value & 0x3FF));
  }
}

TDOMNode_WithChildren* AsParent(TDOMNode* node) { return static_cast<TDOMNode_WithChildren*>(node); }

}  // namespace

TXMLReader::TXMLReader(const TXMLReaderSettings& settings)
    : settings_(settings),
      nameTables_(&Xml10NameTables()),
      asciiNames_(&TAsciiNameClasses::For(false)) {
  if (settings_.NamespaceAware) nsSupport_ = std::make_unique<TNSSupport>();
}

TXMLReader::~TXMLReader() {
  while (source_) {
    TXMLCharSource* source = source_;
    source_ = source->Parent;
    if (source->Entity) source->Entity->BeingExpanded = false;
    delete source;
  }
  // These belong to the document, which outlives the reader once taken.
  parameterEntities_.reset();
  if (ownsDoctype_ && docType_) docType_->Free();
}

// ------------------------------------------------------------------ sources

void TXMLReader::PushSource(std::unique_ptr<TXMLCharSource> source) {
  source->Parent = source_;
  source->Reader = this;
  source->StartDepth = depth_;
  source_ = source.release();
  source_->Initialize();
}

bool TXMLReader::PopSource() {
  if (!source_->Parent || source_->Kind != SOURCE_ORDINARY) return false;
  PopSourceExplicitly();
  return true;
}

void TXMLReader::PopSourceExplicitly() {
  TXMLCharSource* source = source_;
  source_ = source->Parent;
  if (TDOMEntityEx* entity = source->Entity) {
    entity->BeingExpanded = false;
    entity->CharLength = source->CharCount;
  }
  delete source;
}

void TXMLReader::SaveTokenStart() {
  tokenLine_ = source_->Line;
  tokenColumn_ = source_->Column();
}

void TXMLReader::CheckCharLimit() {
  if (settings_.CharLimit == 0) return;
  uint64_t total = 0;
  for (const TXMLCharSource* s = source_; s; s = s->Parent) total += s->CharCount;
  if (total > settings_.CharLimit) FatalError(kMsgCharLimit);
}

// ------------------------------------------------------------------- errors

namespace {

std::string SystemIdOf(const TXMLCharSource* source) {
  if (!source->SystemId.empty()) return runtime::UTF16ToSystem(source->SystemId);
  if (source->Entity) return runtime::UTF16ToSystem(source->Entity->BaseId);
  return {};
}

}  // namespace

void TXMLReader::FatalError(const std::string& reason, uint32_t offset) {
  if (!source_) FatalErrorAt(reason, 0, 0);
  const uint32_t column = source_->Column();
  FatalErrorAt(reason, source_->Line, column > offset ? column - offset : 0);
}

void TXMLReader::FatalErrorAt(const std::string& reason, uint32_t line, uint32_t column) {
  const EXMLReadError error = source_ ? EXMLReadError(SEVERITY_FATAL, reason, SystemIdOf(source_), line, column)
                                      : EXMLReadError(SEVERITY_FATAL, reason);
  if (settings_.OnError) settings_.OnError(error);
  throw error;
}

void TXMLReader::ValidationError(const std::string& reason, uint32_t offset) {
  if (!settings_.Validate) return;
  const uint32_t column = source_->Column();
  ValidationErrorAt(reason, source_->Line, column > offset ? column - offset : 0);
}

void TXMLReader::ValidationErrorAt(const std::string& reason, uint32_t line, uint32_t column) {
  if (!settings_.Validate) return;
  const EXMLReadError error = source_ ? EXMLReadError(SEVERITY_ERROR, reason, SystemIdOf(source_), line, column)
                                      : EXMLReadError(SEVERITY_ERROR, reason);
  if (settings_.OnError) settings_.OnError(error);
}

// ----------------------------------------------------------- lexical helpers

bool TXMLReader::SkipWhitespace() {
  bool skipped = false;
  for (;;) {
    const DOMChar c = Cur();
    if (c == u' ' || c == u'\t') {
      // Runs of spaces and tabs (indentation) go by straight over the
      // buffer; reaching its end reloads it, as Next would have.
      TXMLCharSource* const source = source_;
      DOMChar* p = source->Position + 1;
      while (*p == u' ' || *p == u'\t') ++p;
      source->Position = p;
      if (p == source->BufferEnd) source->Reload();
    } else if (c == u'\n' || c == u'\r' || (source_->XML11 && (c == 0x85 || c == 0x2028))) {
      source_->NewLine();
      Next();
    } else {
      return skipped;
    }
    skipped = true;
  }
}

void TXMLReader::ExpectWhitespace() {
  if (!SkipWhitespace()) FatalError(kMsgExpectedWhitespace);
}

void TXMLReader::ExpectChar(DOMChar c) {
  if (Cur() != c) FatalError(FormatMessage(kMsgExpectedChar, CharText(c)));
  Next();
}

void TXMLReader::ExpectLiteral(DOMStringView literal) {
  for (DOMChar c : literal) {
    if (Cur() != c) FatalError(FormatMessage(kMsgExpectedString, Narrow(literal)));
    Next();
  }
}

bool TXMLReader::CheckForChar(DOMChar c) {
  if (Cur() != c) return false;
  Next();
  return true;
}

DOMChar TXMLReader::ExpectQuote() {
  const DOMChar c = Cur();
  if (c != u'"' && c != u'\'') FatalError(kMsgExpectedQuote);
  Next();
  return c;
}

namespace {

}  // namespace

TAsciiNameClasses::TAsciiNameClasses(const TNameCharTables& tables) {
  for (DOMChar c = 0; c < 0x80; ++c)
    Classes[c] = static_cast<uint8_t>((tables.IsNameStartChar(c) ? kNameStart : 0) | (tables.IsNameChar(c) ? kName : 0));
}

const TAsciiNameClasses& TAsciiNameClasses::For(bool xml11) {
  if (xml11) {
    static const TAsciiNameClasses classes(Xml11NameTables());
    return classes;
  }
  static const TAsciiNameClasses classes(Xml10NameTables());
  return classes;
}

bool TXMLReader::ScanName(bool nameToken) {
  name_.clear();
  colonPos_ = -1;
  TXMLCharSource* const source = source_;
  const TNameCharTables& tables = *nameTables_;
  const uint8_t* const ascii = asciiNames_->Classes;
  const bool namespaces = settings_.NamespaceAware && !nameToken;
  bool first = !nameToken;
  // The name is taken from the buffer in runs; a run goes into name_ before
  // anything can reload the buffer under it.
  DOMChar* run = source->Position;
  auto flush = [&] { name_.append(run, static_cast<std::size_t>(source->Position - run)); };
  auto length = [&] { return name_.size() + static_cast<std::size_t>(source->Position - run); };
  // Steps over one unit, reloading at the end of the buffer like Advance.
  auto step = [&] {
    if (++source->Position == source->BufferEnd) {
      flush();
      source->Reload();
      run = source->Position;
    }
  };
  for (;;) {
    // Fast path: ASCII name characters, straight over the buffer. The 0 at
    // BufferEnd is no name character, so the loop ends there at the latest.
    DOMChar* p = source->Position;
    DOMChar* const start = p;
    if (first && *p < 0x80 && (ascii[*p] & TAsciiNameClasses::kNameStart)) {
      ++p;
      first = false;
    }
    if (!first)
      while (*p < 0x80 && (ascii[*p] & TAsciiNameClasses::kName)) ++p;
    source->Position = p;
    if (p != start && p == source->BufferEnd) {
      flush();
      const bool more = source->Reload();
      run = source->Position;
      if (!more) break;
      continue;
    }
    // Everything else, one unit at a time.
    DOMChar c = *p;
    if (c == u':') {
      if (namespaces) {
        if (colonPos_ >= 0 || length() == 0) break;
        colonPos_ = static_cast<int>(length());
        step();
        c = *source->Position;
        const bool localStarts = tables.IsNameStartChar(c) || (xml11_ && IsNameHighSurrogate(c));
        if (!localStarts) FatalError(kMsgLocalPartMissing);
        continue;
      }
    } else if (xml11_ && IsNameHighSurrogate(c)) {
      flush();
      source->Ensure(2);
      run = source->Position;
      if (!IsLowSurrogate(source->Position[1])) break;
      step();
      step();
      first = false;
      continue;
    } else if (!(first ? tables.IsNameStartChar(c) : tables.IsNameChar(c))) {
      break;
    }
    step();
    first = false;
  }
  flush();
  return !name_.empty();
}

TNameItem* TXMLReader::InternName() {
  // A document uses few names many times over. The cache slot is chosen
  // by a cheap hash of the name; names that share a slot only cost a look
  // in the name table, whose keyed hash keeps hostile names from piling up.
  const std::size_t length = name_.size();
  const std::size_t slot = (length * 7 + name_[0] * 31u + name_[length - 1]) % kNameCacheSlots;
  TNameItem* item = nameCache_[slot];
  if (item && DOMStringView(item->Key) == DOMStringView(name_)) return item;
  bool found = false;
  item = Build().Names().FindOrAdd(name_.data(), length, found);
  if (!found) nameBytes_ += sizeof(TNameItem) + sizeof(DOMChar) * length;
  nameCache_[slot] = item;
  return item;
}

void TXMLReader::NameError() {
  const DOMChar c = Cur();
  FatalError(c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' ? kMsgWhitespaceNotAllowed : kMsgNameStartInvalid);
}

void TXMLReader::ExpectName(bool nameToken) {
  if (!ScanName(nameToken)) NameError();
}

// ----------------------------------------------------------------- document

void TXMLReader::ProcessDocument(std::unique_ptr<TXMLCharSource> source) {
  document_ = std::make_unique<TXMLDocument>();
  document_->DocumentURI = source->GetSystemId();
  current_ = document_.get();
  state_ = STATE_START;
  depth_ = 0;
  documentSource_ = source.get();
  PushSource(std::move(source));
  ParseContent();
  if (state_ < STATE_IN_ROOT) FatalError(kMsgRootMissing);
  if (settings_.Validate && docType_) CheckIdReferences();
}

void TXMLReader::ParseXmlOrTextDecl(bool textDeclaration) {
  ExpectWhitespace();
  DOMString version;
  if (!textDeclaration || Cur() == u'v') {
    ExpectLiteral(u"version");
    SkipWhitespace();
    ExpectChar(u'=');
    SkipWhitespace();
    const DOMChar quote = ExpectQuote();
    SaveTokenStart();
    while (version.size() < 3 && Cur() != quote && Cur() != 0) {
      version += Cur();
      Next();
    }
    if (version != u"1.0" && version != u"1.1") FatalErrorAtToken(kMsgIllegalVersion);
    ExpectChar(quote);
    if (textDeclaration) {
      if (version == u"1.1" && !xml11_) FatalError(kMsgXml11Entity);
    } else {
      document_->SetXMLVersion(version);
    }
    if (textDeclaration || Cur() != u'?') ExpectWhitespace();
  }
  if (textDeclaration || Cur() == u'e') {
    ExpectLiteral(u"encoding");
    SkipWhitespace();
    ExpectChar(u'=');
    SkipWhitespace();
    const DOMChar quote = ExpectQuote();
    SaveTokenStart();
    static constexpr std::size_t kMaxEncodingName = 30;
    std::string encoding;
    for (DOMChar c = Cur(); encoding.size() < kMaxEncodingName && c < 127; c = Cur()) {
      const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
      const bool other = (c >= u'0' && c <= u'9') || c == u'.' || c == u'_' || c == u'-';
      if (!(letter || (!encoding.empty() && other))) break;
      encoding += static_cast<char>(c);
      Next();
    }
    if (Cur() != quote || encoding.empty()) FatalErrorAtToken(kMsgIllegalEncodingName);
    Next();
    if (!source_->SetEncoding(encoding)) FatalErrorAtToken(FormatMessage(kMsgEncodingNotSupported, encoding));
    if (Cur() != u'?') {
      if (textDeclaration) SkipWhitespace();
      else ExpectWhitespace();
    }
  }
  if (!textDeclaration && Cur() == u's') {
    ExpectLiteral(u"standalone");
    SkipWhitespace();
    ExpectChar(u'=');
    SkipWhitespace();
    const DOMChar quote = ExpectQuote();
    DOMString value;
    while (value.size() < 3 && Cur() != quote && Cur() != 0) {
      value += Cur();
      Next();
    }
    if (value == u"yes") standalone_ = true;
    else if (value != u"no") FatalError(kMsgStandaloneValue);
    ExpectChar(quote);
    SkipWhitespace();
  }
  ExpectLiteral(u"?>");
  if (!textDeclaration && version == u"1.1") {
    xml11_ = true;
    nameTables_ = &Xml11NameTables();
    asciiNames_ = &TAsciiNameClasses::For(true);
    source_->XML11 = true;
  }
}

// ------------------------------------------------------------------ content

void TXMLReader::ParseContent() {
  SaveTokenStart();
  for (;;) {
    const DOMChar c = source_->ScanUntil(value_, inCDATA_ ? kCDATADelimiters : kTextDelimiters, &nonWhitespace_);
    if (c == u'<') {
      Next();
      source_->Ensure(2);
      const DOMChar next = Cur();
      if (next == u'/') {
        FlushText();
        if (source_->StartDepth >= depth_) FatalError(kMsgEndTagNotAllowed);
        Next();
        ParseEndTag();
      } else if (nameTables_->IsNameStartChar(next) || next == u':' || (xml11_ && IsNameHighSurrogate(next))) {
        FlushText();
        ParseStartTag();
      } else if (next == u'!') {
        Next();
        if (Cur() == u'[') {
          ExpectLiteral(u"[CDATA[");
          if (state_ != STATE_IN_ROOT) FatalError(kMsgIllegalAtDocumentLevel);
          if (!settings_.CDataAsText) FlushText();
          SaveTokenStart();
          inCDATA_ = true;
          continue;
        }
        FlushText();
        if (Cur() == u'-') ParseComment();
        else ParseDoctype();
      } else if (next == u'?') {
        FlushText();
        Next();
        ParseInstruction();
      } else {
        NameError();
      }
    } else if (c == 0) {
      if (inCDATA_) FatalErrorAtToken(kMsgUnterminatedCDATA);
      if (source_->StartDepth < depth_) FatalError(FormatMessage(kMsgEndTagMissing, Narrow(current_->NodeName())));
      if (PopSource()) continue;
      break;
    } else if (c == u'>') {
      value_ += c;
      Next();
      const std::size_t n = value_.size();
      const bool cdataEnd = n >= 3 && value_[n - 2] == u']' && value_[n - 3] == u']';
      if (!cdataEnd) {
        nonWhitespace_ = true;
        continue;
      }
      if (!inCDATA_) FatalError(kMsgCDATAEndInText, 3);
      value_.resize(n - 3);
      inCDATA_ = false;
      if (settings_.CDataAsText) {
        nonWhitespace_ = true;
        continue;
      }
      if (contentType_ == CONTENT_ELEMENTS) ValidationError(kMsgCDATAInElementContent);
      TDOMBuilder::Append(AsParent(current_), Build().CDATASection(value_.data(), value_.size()));
      CountText(value_.size());
      value_.clear();
      nonWhitespace_ = false;
    } else if (c == u'&') {
      if (state_ != STATE_IN_ROOT) FatalError(kMsgIllegalAtDocumentLevel);
      if (contentType_ == CONTENT_EMPTY) ValidationError(kMsgReferenceInEmpty);
      Next();
      if (ParseReference(value_)) {
        nonWhitespace_ = true;
        continue;
      }
      TDOMEntityEx* entity = ResolveGeneralEntity(false);
      if (entity && settings_.ExpandEntityRefs) {
        ChargeExpansion(entity);
        if (PushEntity(entity)) continue;
      }
      FlushText();
      AppendEntityReference(current_, entity);
    }
    SaveTokenStart();
    value_.clear();
    nonWhitespace_ = false;
  }
  FlushText();
}

void TXMLReader::FlushText() {
  if (value_.empty()) return;
  if (state_ != STATE_IN_ROOT) {
    if (nonWhitespace_) FatalErrorAtToken(kMsgIllegalAtDocumentLevel);
  } else if (nonWhitespace_ || settings_.KeepWhitespaceText) {
    if (contentType_ == CONTENT_EMPTY) {
      ValidationError(kMsgTextInEmpty);
    } else if (contentType_ == CONTENT_ELEMENTS) {
      if (nonWhitespace_) ValidationError(kMsgTextInElementContent);
      else if (standaloneSensitive_) ValidationError(kMsgStandaloneValidity);
    }
    const bool ignorable = !nonWhitespace_ && contentType_ == CONTENT_ELEMENTS;
    TDOMBuilder::Append(AsParent(current_), Build().Text(value_.data(), value_.size(), ignorable));
    CountText(value_.size());
  }
  value_.clear();
  nonWhitespace_ = false;
}

void TXMLReader::ParseStartTag() {
  ExpectName();
  if (state_ == STATE_AFTER_ROOT) FatalError(kMsgOneTopLevelElement, static_cast<uint32_t>(name_.size()));
  if (state_ < STATE_IN_ROOT) {
    if (settings_.Validate) {
      if (!docType_) ValidationError(kMsgMissingDTD);
      else if (docType_->Name() != name_) ValidationError(kMsgRootNameMismatch);
    }
    state_ = STATE_IN_ROOT;
  }
  TDOMElement* element = Build().Element(InternName());
  TDOMBuilder::Append(AsParent(current_), element);
  ++elementCounter_;
  CheckDocumentMemory();

  auto* declaration = static_cast<TDOMElementDef*>(element->NameItem()->Data);
  if (settings_.Validate) {
    const std::string name = Narrow(element->NodeName());
    if (!declaration || declaration->ContentType == CONTENT_UNDECLARED)
      ValidationError(FormatMessage(kMsgUndeclaredElement, name));
    if (!ValidateChild(declaration)) ValidationError(FormatMessage(kMsgElementNotAllowed, name));
  }

  for (;;) {
    DOMChar c = Cur();
    if (c == u'>' || c == u'/') break;
    ExpectWhitespace();
    c = Cur();
    if (c == u'>' || c == u'/') break;
    ParseAttribute(element, declaration);
  }
  const bool empty = CheckForChar(u'/');
  ExpectChar(u'>');

  if (declaration && declaration->HasAttributes()) ApplyDefaults(element, declaration);
  PushValidationFrame(element, declaration);
  if (settings_.NamespaceAware) ProcessNamespaces(element);
  if (empty) {
    CloseElement(element);
  } else {
    current_ = element;
    if (!settings_.KeepWhitespaceText) SkipWhitespace();
  }
}

void TXMLReader::ParseAttribute(TDOMElement* element, TDOMElementDef* declaration) {
  ExpectName();
  TDOMAttr* attribute = Build().Attribute(InternName());
  TDOMAttrDef* attributeDeclaration = nullptr;
  if (declaration) {
    attributeDeclaration = static_cast<TDOMAttrDef*>(declaration->GetAttributeNode(name_));
    if (attributeDeclaration) {
      attributeDeclaration->ElementMark = elementCounter_;
    } else {
      ValidationError(FormatMessage(kMsgUndeclaredAttribute, Narrow(name_), Narrow(element->NodeName())));
    }
  }
  if (TDOMNode* replaced = element->Attributes()->SetNamedItem(attribute)) {
    replaced->Free();
    FatalError(kMsgDuplicateAttribute, static_cast<uint32_t>(name_.size()));
  }
  SkipWhitespace();
  if (Cur() != u'=') FatalError(kMsgExpectedEquals);
  Next();
  SkipWhitespace();
  ParseAttributeValue(attribute);
  if (attributeDeclaration &&
      (attributeDeclaration->DataType() != DATATYPE_CDATA || attributeDeclaration->Default() == DEFAULT_FIXED))
    CheckDeclaredAttribute(attribute, attributeDeclaration);
}

namespace {

// A unit that an attribute value takes as it is under every source and
// both XML versions: no delimiter, no line end, no unit that XML 1.0 or
// 1.1 rejects or treats specially (below U+0020, U+007F to U+009F, U+2028,
// U+FFFE and U+FFFF).
bool IsPlainValueUnit(DOMChar c) {
  if (c < 0x7F) return c >= 0x20 && c != u'"' && c != u'&' && c != u'\'' && c != u'<';
  return c >= 0xA0 && c != 0x2028 && c <= 0xFFFD;
}

}  // namespace

void TXMLReader::ParseAttributeValue(TDOMNode_WithChildren* target) {
  const DOMChar quote = ExpectQuote();
  SaveTokenStart();
  TXMLCharSource* const start = source_;
  {
    // Fast path: a value of plain units whose closing quote is in the
    // buffer, with more after it, becomes its text node straight from the
    // buffer, in the order of the general path: past the quote, then the
    // node. Anything else (references, whitespace to normalise, the other
    // quote, the end of the buffer) takes the general path below from the
    // value's start.
    DOMChar* const first = start->Position;
    DOMChar* p = first;
    while (IsPlainValueUnit(*p)) ++p;
    if (*p == quote && p + 1 < start->BufferEnd) {
      start->Position = p + 1;
      const auto length = static_cast<std::size_t>(p - first);
      if (length > 0) {
        TDOMBuilder::Append(target, Build().Text(first, length, false));
        CountText(length);
      }
      return;
    }
  }
  attributeValue_.clear();
  for (;;) {
    const DOMChar c = source_->ScanUntil(attributeValue_, kAttributeDelimiters, nullptr);
    if (c == u'<') {
      FatalError(kMsgLessThanInAttribute);
    } else if (c == u'&') {
      Next();
      if (ParseReference(attributeValue_)) continue;
      TDOMEntityEx* entity = ResolveGeneralEntity(true);
      if (entity && settings_.ExpandEntityRefs) {
        ChargeExpansion(entity);
        if (PushEntity(entity)) continue;
      }
      if (!attributeValue_.empty()) {
        TDOMBuilder::Append(target, 
            Build().Text(attributeValue_.data(), attributeValue_.size(), false));
        CountText(attributeValue_.size());
        attributeValue_.clear();
      }
      AppendEntityReference(target, entity);
    } else if (c == quote && source_ == start) {
      Next();
      break;
    } else if (c == u'\t' || c == u'\n' || c == u'\r') {
      attributeValue_ += u' ';
      Next();
    } else if (c == 0) {
      if (source_ == start || !PopSource()) FatalErrorAtToken(kMsgNoClosingQuote);
    } else {
      attributeValue_ += c;
      Next();
    }
  }
  if (!attributeValue_.empty()) {
    TDOMBuilder::Append(target, Build().Text(attributeValue_.data(), attributeValue_.size(), false));
    CountText(attributeValue_.size());
  }
}

void TXMLReader::ParseEndTag() {
  // Fast path: the open element's name followed directly by ">" in the
  // buffer. The open name was itself read as a name under the same rules,
  // and ">" ends every name, so scanning it again would find the same name.
  const DOMString& open = current_->NodeName();
  TXMLCharSource* const source = source_;
  const std::size_t length = open.size();
  if (static_cast<std::size_t>(source->BufferEnd - source->Position) > length &&
      source->Position[length] == u'>' && std::equal(open.begin(), open.end(), source->Position)) {
    source->Position += length + 1;
    if (source->Position == source->BufferEnd) source->Reload();
    CloseElement(current_);
    return;
  }
  ExpectName();
  if (name_ != current_->NodeName())
    FatalError(FormatMessage(kMsgUnmatchingEndTag, Narrow(current_->NodeName())), static_cast<uint32_t>(name_.size()));
  if (!CheckForChar(u'>')) {
    SkipWhitespace();
    ExpectChar(u'>');
  }
  CloseElement(current_);
}

void TXMLReader::CloseElement(TDOMNode* element) {
  current_ = element->ParentNode();
  if (current_ == document_.get()) state_ = STATE_AFTER_ROOT;
  if (settings_.Validate && ContentIncomplete())
    ValidationError(FormatMessage(kMsgMissingSubElements, Narrow(element->NodeName())));
  if (settings_.NamespaceAware) nsSupport_->EndElement();
  PopValidationFrame();
}

void TXMLReader::ParseComment() {
  ExpectLiteral(u"--");
  SaveTokenStart();
  DOMString& text = value_;
  text.clear();
  for (;;) {
    const DOMChar c = source_->ScanUntil(text, kCommentDelimiters, nullptr);
    if (c == 0) FatalErrorAtToken(kMsgUnterminatedComment);
    Next();
    if (!text.empty() && text.back() == u'-') {
      text.pop_back();
      break;
    }
    text += u'-';
  }
  ExpectChar(u'>');
  if (contentType_ == CONTENT_EMPTY) ValidationError(kMsgCommentInEmpty);
  if (!settings_.DropComments && current_) {
    TDOMBuilder::Append(AsParent(current_), Build().Comment(text.data(), text.size()));
    CountText(text.size());
  }
  text.clear();
}

void TXMLReader::ParseInstruction() {
  ExpectName();
  if (settings_.NamespaceAware && colonPos_ >= 0) FatalError(kMsgColonInName);
  const DOMString target = name_;
  if (target.size() == 3 && runtime::LowerCase(target) == u"xml")
    FatalError(target == u"xml" ? kMsgXmlDeclNotAllowed : kMsgXmlReserved, 3);
  if (Cur() != u'?') ExpectWhitespace();
  SaveTokenStart();
  DOMString& data = value_;
  data.clear();
  for (;;) {
    const DOMChar c = source_->ScanUntil(data, kInstructionDelimiters, nullptr);
    if (c == 0) FatalErrorAtToken(kMsgUnterminatedPI);
    Next();
    if (!data.empty() && data.back() == u'?') {
      data.pop_back();
      break;
    }
    data += u'>';
  }
  if (contentType_ == CONTENT_EMPTY) ValidationError(kMsgPIInEmpty);
  TDOMProcessingInstruction* instruction = Build().ProcessingInstruction(target, data);
  CountText(target.size() + data.size());
  data.clear();
  if (current_) TDOMBuilder::Append(AsParent(current_), instruction);
  else if (docType_ && docType_->ParentNode() == document_.get()) document_->InsertBefore(instruction, docType_);
  else document_->AppendChild(instruction);
}

void TXMLReader::ProcessNamespaces(TDOMElement* element) {
  nsSupport_->StartElement();
  prefixedAttributes_.clear();
  const DOMString xmlNamespace(kXmlNamespace);
  const DOMString xmlnsNamespace(kXmlnsNamespace);
  if (element->HasAttributes()) {
    TAttributeMap* attributes = element->AttributeMap();
    for (uint32_t i = 0; i < attributes->Length(); ++i) {
      TDOMAttr* attribute = attributes->Attr(i);
      const DOMString& name = attribute->NodeName();
      const std::size_t colon = name.find(u':');
      const bool isDefault = name == u"xmlns";
      const bool isPrefixed = colon == 5 && name.starts_with(u"xmlns");
      if (!isDefault && !isPrefixed) {
        if (colon != DOMString::npos) prefixedAttributes_.push_back(attribute);
        else Build().SetNamespaceInfo(attribute, u"", 0);
        continue;
      }
      const DOMString uri = attribute->NodeValue();
      const DOMString prefix = isDefault ? DOMString() : name.substr(6);
      if (prefix == u"xmlns") FatalError(FormatMessage(kMsgReservedPrefix, "xmlns"));
      if (prefix == u"xml") {
        if (uri != xmlNamespace) FatalError(FormatMessage(kMsgReservedPrefix, "xml"));
      } else if (uri == xmlNamespace) {
        FatalError(FormatMessage(kMsgReservedNamespace, Narrow(uri)));
      }
      if (uri == xmlnsNamespace) FatalError(FormatMessage(kMsgReservedNamespace, Narrow(uri)));
      if (isPrefixed && uri.empty() && !xml11_) FatalError(kMsgUndefiningNamespace);
      nsSupport_->DefineBinding(prefix, uri);
      Build().SetNamespaceInfo(attribute, kXmlnsNamespace, isDefault ? 0 : 6);
    }
  }

  const DOMString& elementName = element->NodeName();
  const std::size_t colon = elementName.find(u':');
  if (colon != DOMString::npos) {
    const DOMStringView prefix = DOMStringView(elementName).substr(0, colon);
    TPrefixItem* item = nsSupport_->GetPrefixItem(prefix);
    if (!item->Data || item->Data->URI.empty())
      FatalError(FormatMessage(kMsgUnboundPrefix, Narrow(prefix)));
    Build().SetNamespaceInfo(element, item->Data->URI, static_cast<uint16_t>(colon + 1));
  } else {
    const TBinding* binding = nsSupport_->DefaultNamespace();
    Build().SetNamespaceInfo(element, binding ? DOMStringView(binding->URI) : DOMStringView(), 0);
  }

  if (prefixedAttributes_.empty()) return;
  attributeKeys_.Init(static_cast<uint32_t>(prefixedAttributes_.size()));
  for (TDOMAttr* attribute : prefixedAttributes_) {
    const DOMString& name = attribute->NodeName();
    const std::size_t attributeColon = name.find(u':');
    const DOMStringView prefix = DOMStringView(name).substr(0, attributeColon);
    TPrefixItem* item = nsSupport_->GetPrefixItem(prefix);
    if (!item->Data || item->Data->URI.empty())
      FatalError(FormatMessage(kMsgUnboundPrefix, Narrow(prefix)));
    const DOMString& uri = item->Data->URI;
    Build().SetNamespaceInfo(attribute, uri, static_cast<uint16_t>(attributeColon + 1));
    if (attributeKeys_.Locate(uri, DOMStringView(name).substr(attributeColon + 1)))
      FatalError(kMsgDuplicatePrefixedAttribute);
  }
}

// --------------------------------------------------------------- references

void TXMLReader::ParseCharRef(DOMString& buffer) {
  const bool hex = CheckForChar(u'x');
  uint32_t value = 0;
  bool digits = false;
  for (int d = DigitValue(Cur(), hex); d >= 0; d = DigitValue(Cur(), hex)) {
    if (value <= 0x10FFFF) value = value * (hex ? 16 : 10) + static_cast<uint32_t>(d);
    digits = true;
    Next();
  }
  if (!digits) FatalError(kMsgInvalidCharRef);
  ExpectChar(u';');
  if (!IsAllowedCharRef(value, xml11_)) FatalError(kMsgInvalidCharRef);
  AppendCodePoint(buffer, value);
}

bool TXMLReader::ParseReference(DOMString& buffer) {
  if (CheckForChar(u'#')) {
    ParseCharRef(buffer);
    return true;
  }
  {
    // Fast path: a predefined entity with its ";" wholly in the buffer,
    // where scanning its name could neither reload nor fail.
    static constexpr struct {
      DOMStringView text;
      DOMChar value;
    } kPredefinedRefs[] = {{u"lt;", u'<'}, {u"gt;", u'>'}, {u"amp;", u'&'}, {u"apos;", u'\''}, {u"quot;", u'"'}};
    TXMLCharSource* const source = source_;
    const auto buffered = static_cast<std::size_t>(source->BufferEnd - source->Position);
    for (const auto& entity : kPredefinedRefs) {
      if (entity.text[0] != *source->Position || buffered < entity.text.size() ||
          !std::equal(entity.text.begin(), entity.text.end(), source->Position))
        continue;
      source->Position += entity.text.size();
      if (source->Position == source->BufferEnd) source->Reload();
      buffer += entity.value;
      return true;
    }
  }
  ExpectName();
  ExpectChar(u';');
  static constexpr struct {
    DOMStringView name;
    DOMChar value;
  } kPredefined[] = {{u"lt", u'<'}, {u"gt", u'>'}, {u"amp", u'&'}, {u"apos", u'\''}, {u"quot", u'"'}};
  for (const auto& entity : kPredefined) {
    if (name_ == entity.name) {
      buffer += entity.value;
      return true;
    }
  }
  return false;
}

TDOMEntityEx* TXMLReader::ResolveGeneralEntity(bool inAttribute) {
  const DOMString name = name_;
  const std::string narrowName = Narrow(name);
  const auto offset = static_cast<uint32_t>(name.size() + 2);
  TDOMEntityEx* entity = nullptr;
  if (docType_) entity = static_cast<TDOMEntityEx*>(docType_->Entities()->GetNamedItem(name));
  if (!entity) {
    if (standalone_ || !docType_ || (!peRefsSeen_ && docType_->SystemId.empty()))
      FatalError(FormatMessage(kMsgUndefinedEntity, narrowName), offset);
    ValidationError(FormatMessage(kMsgUndefinedEntityValidity, narrowName), offset);
    name_ = name;
    return nullptr;
  }
  if (standalone_ && entity->DeclaredOutside) FatalError(kMsgStandaloneFatal, offset);
  if (!entity->NotationName.empty()) FatalError(FormatMessage(kMsgUnparsedEntity, narrowName), offset);
  if (inAttribute && !entity->SystemId.empty()) FatalError(kMsgExternalInAttribute, offset);
  if (!entity->ContentParsed) ParseEntityContent(entity);
  const int64_t grown = static_cast<int64_t>(source_->CharCount) + entity->CharLength - offset;
  source_->CharCount = static_cast<uint32_t>(std::max<int64_t>(0, grown));
  CheckCharLimit();
  name_ = name;
  return entity;
}

bool TXMLReader::PushEntity(TDOMEntityEx* entity) {
  if (entity->BeingExpanded)
    FatalError(FormatMessage(kMsgRecursiveEntity, entity->IsParameterEntity ? "%" : "", Narrow(entity->NodeName())));
  std::unique_ptr<TXMLCharSource> source;
  if (entity->SystemId.empty() || entity->Prefetched) {
    source = std::make_unique<TXMLCharSource>(entity->ReplacementText);
    source->Line = entity->StartLine;
    source->LineStart = -static_cast<std::ptrdiff_t>(entity->StartColumn);
  } else {
    source = ResolveExternal(entity->SystemId, entity->PublicId, entity->BaseId);
    if (!source) {
      ValidationError(FormatMessage(kMsgUnresolvedEntity, Narrow(entity->NodeName())));
      return false;
    }
  }
  source->Entity = entity;
  entity->BeingExpanded = true;
  PushSource(std::move(source));
  return true;
}

void TXMLReader::ParseEntityContent(TDOMEntityEx* entity) {
  if (entityNesting_ >= settings_.MaxEntityNesting) FatalError(kMsgEntityNestingLimit);
  TDOMNode* const savedCurrent = current_;
  const uint8_t savedState = state_;
  const bool savedNonWhitespace = nonWhitespace_;
  if (frames_.size() <= depth_) frames_.resize(std::max(kInitialFrames, std::size_t{depth_} + 1));
  TValidationFrame& frame = frames_[depth_];
  TDOMElementDef* const savedDeclaration = frame.Declaration;
  DOMString savedValue;
  savedValue.swap(value_);
  value_.reserve(256);
  ++entityNesting_;
  auto restore = [&] {
    --entityNesting_;
    value_.swap(savedValue);
    nonWhitespace_ = savedNonWhitespace;
    current_ = savedCurrent;
    state_ = savedState;
    frames_[depth_].Declaration = savedDeclaration;
    UpdateContentType();
    entity->SetReadOnly(true);
  };
  if (!PushEntity(entity)) {
    restore();
    return;
  }
  TXMLCharSource* const source = source_;
  source->Kind = SOURCE_READ_TO_END;
  const uint64_t bytesBefore = document_->AllocatedNodeBytes();
  const uint64_t unitsBefore = textUnits_;
  entity->SetReadOnly(false);
  current_ = entity;
  state_ = STATE_IN_ROOT;
  frame.Declaration = nullptr;
  UpdateContentType();
  try {
    ParseContent();
    entity->ContentParsed = true;
  } catch (...) {
    restore();
    if (source_ == source) PopSourceExplicitly();
    throw;
  }
  restore();
  PopSourceExplicitly();
  entity->SubtreeBytes = document_->AllocatedNodeBytes() - bytesBefore;
  entity->SubtreeUnits = textUnits_ - unitsBefore;
}

void TXMLReader::ChargeExpansion(TDOMEntityEx* entity) {
  // A reference costs the text it brings, or the text its content holds
  // when nested references made that larger, and the nodes it copies.
  const uint64_t units = std::max<uint64_t>({entity->CharLength, entity->SubtreeUnits, 1});
  expansion_ += kEntityExpansionUnitCost * units + entity->SubtreeBytes;
  if (settings_.EntityExpansionAllowance != 0 && expansion_ > settings_.EntityExpansionAllowance)
    FatalError(kMsgEntityExpansionLimit);
}

void TXMLReader::CountText(std::size_t units) {
  textUnits_ += units;
  CheckDocumentMemory();
}

TDOMEntityReference* TXMLReader::AppendEntityReference(TDOMNode* parent, TDOMEntityEx* entity) {
  if (entity) {
    ChargeExpansion(entity);
    // The copy is made in one go: it must fit before it is made.
    CheckDocumentMemory(entity->SubtreeBytes + sizeof(DOMChar) * entity->SubtreeUnits);
  }
  TDOMEntityReference* reference = Build().EntityReference(name_);
  TDOMBuilder::Append(AsParent(parent), reference);
  if (entity) CountText(entity->SubtreeUnits);
  return reference;
}

}  // namespace corvandel::xml
