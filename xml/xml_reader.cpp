#include "xml/detail/xml_reader.h"

#include <algorithm>
#include <cassert>

#include "runtime/ascii_case.h"
#include "runtime/code_page.h"
#include "xml/detail/reader_messages.h"

namespace corvandel::xml {

namespace {

constexpr TDelimiterSet kTextDelimiters{0, u'&', u'<', u'>'};
constexpr TDelimiterSet kTextTakingReferences = kTextDelimiters.WithPredefinedReferences();
constexpr TDelimiterSet kCDATADelimiters{0, u'>'};
// The predefined references of a value are its characters wherever it is.
constexpr TDelimiterSet kAttributeDelimiters =
    TDelimiterSet{0, u'\t', u'\n', u'\r', u'"', u'&', u'\'', u'<'}.WithPredefinedReferences();
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

namespace {

// The scratch buffers of the thread's last reader, which the next one takes
// over with their capacity: a document of long names or texts would
// otherwise allocate them anew. Buffers that grew large are not kept. A
// reader that ends after the thread's spare is destroyed (see
// spareScratchGone) keeps its buffers to itself.
thread_local bool spareScratchGone = false;  // needs no destructor: readable to the thread's end

struct TSpareScratch {
  ~TSpareScratch() { spareScratchGone = true; }
  // Those of TXMLReader::ScratchTexts, in its order.
  std::array<DOMString, 4> Texts;
  std::vector<std::unique_ptr<TXMLCharSource>> Sources;
};

thread_local TSpareScratch spareScratch;

constexpr std::size_t kMaxSpareUnits = 4096;
// A string of no more units than this needs no storage of its own.
const std::size_t kLocalUnits = DOMString().capacity();

// Takes the spare's storage, if it has any: an empty string in place is
// not worth the exchange.
void TakeSpare(DOMString& text, DOMString& spare) {
  if (spare.capacity() > kLocalUnits) text.swap(spare);
}

// Empties text and hands its storage to the spare, unless the storage grew
// large or the spare holds some already (a nested reader handed it back).
void GiveSpare(DOMString& text, DOMString& spare) {
  if (text.capacity() > kMaxSpareUnits) {
    DOMString().swap(text);
    return;
  }
  text.clear();
  if (text.capacity() > kLocalUnits && spare.capacity() <= kLocalUnits) text.swap(spare);
}

}  // namespace

TXMLReader::TXMLReader(const TXMLReaderSettings& settings) : settings_(settings) {
  input_.NameTables = &Xml10NameTables();
  input_.AsciiNames = &TAsciiNameClasses::For(false);
  if (settings_.NamespaceAware) ns_.Support = std::make_unique<TNSSupport>();
  if (!spareScratchGone) {
    // A reader nested in another (a callback that reads a document) finds
    // the spares taken and starts without.
    TSpareScratch& spare = spareScratch;
    const auto texts = ScratchTexts();
    for (std::size_t i = 0; i < texts.size(); ++i) TakeSpare(*texts[i], spare.Texts[i]);
    if (spare.Sources.capacity() > 0) input_.Sources.swap(spare.Sources);
  }
}

TXMLReader::~TXMLReader() {
  // Top down; the entities an error left open are no longer being expanded.
  while (!input_.Sources.empty()) {
    if (TDOMEntityEx* entity = input_.Sources.back()->Entity) entity->BeingExpanded = false;
    input_.Sources.pop_back();
  }
  input_.Top = nullptr;
  // These belong to the document, which outlives the reader once taken.
  dtd_.ParameterEntities.reset();
  if (dtd_.TypeOwned && dtd_.Type) dtd_.Type->Free();
  if (!spareScratchGone) {
    TSpareScratch& spare = spareScratch;
    const auto texts = ScratchTexts();
    for (std::size_t i = 0; i < texts.size(); ++i) GiveSpare(*texts[i], spare.Texts[i]);
    if (spare.Sources.capacity() == 0) input_.Sources.swap(spare.Sources);
  }
}

// ------------------------------------------------------------------ sources

void TXMLReader::PushSource(std::unique_ptr<TXMLCharSource> source) {
  source->Parent = input_.Top;
  source->Reader = this;
  source->StartDepth = doc_.Depth;
  input_.Sources.push_back(std::move(source));
  input_.Top = input_.Sources.back().get();
  input_.Top->Initialize();
}

bool TXMLReader::PopSource() {
  if (!input_.Top->Parent || input_.Top->Kind != SOURCE_ORDINARY) return false;
  PopSourceExplicitly();
  return true;
}

void TXMLReader::PopSourceExplicitly() {
  TXMLCharSource* source = input_.Top;
  if (TDOMEntityEx* entity = source->Entity) {
    entity->BeingExpanded = false;
    entity->CharLength = source->CharCount;
  }
  input_.Top = source->Parent;
  input_.Sources.pop_back();
}

void TXMLReader::SaveTokenStart() {
  input_.TokenLine = input_.Top->Line;
  input_.TokenColumn = input_.Top->Column();
}

void TXMLReader::CheckCharLimit() {
  if (settings_.CharLimit == 0) return;
  uint64_t total = 0;
  for (const TXMLCharSource* s = input_.Top; s; s = s->Parent) total += s->CharCount;
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
  if (!input_.Top) FatalErrorAt(reason, 0, 0);
  const uint32_t column = input_.Top->Column();
  FatalErrorAt(reason, input_.Top->Line, column > offset ? column - offset : 0);
}

void TXMLReader::FatalErrorAt(const std::string& reason, uint32_t line, uint32_t column) {
  const EXMLReadError error = input_.Top ? EXMLReadError(SEVERITY_FATAL, reason, SystemIdOf(input_.Top), line, column)
                                      : EXMLReadError(SEVERITY_FATAL, reason);
  if (settings_.OnError) settings_.OnError(error);
  throw error;
}

void TXMLReader::ValidationError(const std::string& reason, uint32_t offset) {
  if (!settings_.Validate) return;
  const uint32_t column = input_.Top->Column();
  ValidationErrorAt(reason, input_.Top->Line, column > offset ? column - offset : 0);
}

void TXMLReader::ValidationErrorAt(const std::string& reason, uint32_t line, uint32_t column) {
  if (!settings_.Validate) return;
  const EXMLReadError error = input_.Top ? EXMLReadError(SEVERITY_ERROR, reason, SystemIdOf(input_.Top), line, column)
                                      : EXMLReadError(SEVERITY_ERROR, reason);
  if (settings_.OnError) settings_.OnError(error);
}

// ----------------------------------------------------------- lexical helpers

bool TXMLReader::SkipWhitespaceRun() {
  bool skipped = false;
  for (;;) {
    const DOMChar c = Cur();
    if (c == u' ' || c == u'\t') {
      // Runs of spaces and tabs (indentation) go by straight over the
      // buffer; reaching its end reloads it, as Next would have.
      TXMLCharSource* const source = input_.Top;
      DOMChar* const p = SkipBlanks(source->Position + 1, source->BufferEnd);
      source->Position = p;
      if (p == source->BufferEnd) source->Reload();
    } else if (c == u'\n') {
      // A LF is counted alike by every source, without the virtual call.
      input_.Top->CountLineFeed();
      Next();
    } else if (TXMLCharSource* const source = input_.Top;
               c == u'\r' && source->DecodedLineEnds && source->Position + 1 < source->BufferEnd &&
               source->Position[1] == u'\n') {
      // A CR LF of decoded text, wholly in the buffer, is one line end at
      // its LF, as NewLine counts it.
      ++source->Position;
      source->CountLineFeed();
      Next();
    } else if (c == u'\r' || (input_.Top->XML11 && (c == 0x85 || c == 0x2028))) {
      input_.Top->NewLine();
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

void TXMLReader::ExpectedCharError(DOMChar c) { FatalError(FormatMessage(kMsgExpectedChar, CharText(c))); }

void TXMLReader::ExpectLiteral(DOMStringView literal) {
  // Fast path: the literal and a unit after it in the buffer, which leaves
  // nothing to reload.
  TXMLCharSource* const source = input_.Top;
  if (static_cast<std::size_t>(source->BufferEnd - source->Position) > literal.size() &&
      SameUnits(literal.data(), source->Position, literal.size())) {
    source->Position += literal.size();
    return;
  }
  for (DOMChar c : literal) {
    if (Cur() != c) FatalError(FormatMessage(kMsgExpectedString, Narrow(literal)));
    Next();
  }
}

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

bool TXMLReader::ScanNameRun(bool nameToken) {
  TXMLCharSource* const source = input_.Top;
  const uint8_t* const ascii = input_.AsciiNames->Classes;
  scan_.Name.clear();
  const TNameCharTables& tables = *input_.NameTables;
  const bool namespaces = settings_.NamespaceAware && !nameToken;
  bool first = !nameToken;
  // The name is taken from the buffer in runs; a run goes into scan_.Name before
  // anything can reload the buffer under it.
  DOMChar* run = source->Position;
  auto flush = [&] { scan_.Name.append(run, static_cast<std::size_t>(source->Position - run)); };
  auto length = [&] { return scan_.Name.size() + static_cast<std::size_t>(source->Position - run); };
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
        if (scan_.ColonPos >= 0 || length() == 0) break;
        scan_.ColonPos = static_cast<int>(length());
        step();
        c = *source->Position;
        const bool localStarts = tables.IsNameStartChar(c) || (input_.XML11 && IsNameHighSurrogate(c));
        if (!localStarts) FatalError(kMsgLocalPartMissing);
        continue;
      }
    } else if (input_.XML11 && IsNameHighSurrogate(c)) {
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
  return !scan_.Name.empty();
}

namespace {

// The keyed hashes of the names this thread's documents used last, by name
// cache slot. Answers of one kind use the same few names, which each new
// document would otherwise hash again. A name that misses only costs its
// hash, as without the memo.
struct TNameHashMemo {
  static constexpr std::size_t kMaxUnits = 16;
  DOMChar Units[kMaxUnits];
  uint32_t Length;  // 0: empty
  uint32_t Hash;
};
thread_local TNameHashMemo nameHashMemo[64];

}  // namespace

uint32_t TXMLReader::NameHash(const DOMChar* name, std::size_t length, std::size_t slot) {
  static_assert(std::size(nameHashMemo) == kNameCacheSlots);
  TNameHashMemo& memo = nameHashMemo[slot];
  if (memo.Length == length && SameUnits(memo.Units, name, length)) return memo.Hash;
  const uint32_t hash = KeyedHashChars(name, length);
  if (length <= TNameHashMemo::kMaxUnits) {
    std::copy_n(name, length, memo.Units);
    memo.Length = static_cast<uint32_t>(length);
    memo.Hash = hash;
  }
  return hash;
}

TNameItem* TXMLReader::InternNewName(std::size_t slot) {
  static_assert(TNameTable::kRecentSlots == kNameCacheSlots);
  bool found = true;
  const std::size_t length = scan_.Name.size();
  const DOMChar* const name = scan_.Name.data();
  TNameTable& names = Build().Names();
  TNameItem* item = names.Recent[slot];
  if (!IsName(item, name, length)) {
    item = names.FindOrAdd(name, length, NameHash(name, length, slot), found);
    names.Recent[slot] = item;
  }
  // A name counts once for the document, as if it were new to its table:
  // the table may come from an earlier document, with names of its own.
  if (!found || item->Generation != names.Generation()) {
    item->Generation = names.Generation();
    limits_.NameBytes += sizeof(TNameItem) + sizeof(DOMChar) * length;
  }
  doc_.NameCache[slot] = item;
  return item;
}

void TXMLReader::NameError() {
  const DOMChar c = Cur();
  FatalError(c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' ? kMsgWhitespaceNotAllowed : kMsgNameStartInvalid);
}

// ----------------------------------------------------------------- document

void TXMLReader::ProcessDocument(std::unique_ptr<TXMLCharSource> source) {
  doc_.Document = std::make_unique<TXMLDocument>();
  doc_.Document->DocumentURI = source->GetSystemId();
  doc_.Current = doc_.Document.get();
  doc_.State = TDocumentState::Start;
  doc_.Depth = 0;
  PushSource(std::move(source));
  ParseContent();
  if (doc_.State < TDocumentState::InRoot) FatalError(kMsgRootMissing);
  if (settings_.Validate && dtd_.Type) CheckIdReferences();
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
      if (version == u"1.1" && !input_.XML11) FatalError(kMsgXml11Entity);
    } else {
      doc_.Document->SetXMLVersion(version);
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
    if (!input_.Top->SetEncoding(encoding)) FatalErrorAtToken(FormatMessage(kMsgEncodingNotSupported, encoding));
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
    if (value == u"yes") doc_.Standalone = true;
    else if (value != u"no") FatalError(kMsgStandaloneValue);
    ExpectChar(quote);
    SkipWhitespace();
  }
  ExpectLiteral(u"?>");
  if (!textDeclaration && version == u"1.1") {
    input_.XML11 = true;
    input_.NameTables = &Xml11NameTables();
    input_.AsciiNames = &TAsciiNameClasses::For(true);
    input_.Top->XML11 = true;
  }
}

// ------------------------------------------------------------------ content

// The content loop, for the document, an element's content and an entity's
// replacement text alike: character data collects in scan_.Value until
// markup or a reference ends it, and FlushText turns it into a text node.
// Entities being expanded are read through the same loop, as sources
// pushed on top of the current one; the loop ends when the source it
// started on (or one that must be read to its end) runs out.
bool TXMLReader::SkipWhitespaceBeforeMarkup() {
  TXMLCharSource* const source = input_.Top;
  DOMChar* p = source->Position;
  uint32_t line = source->Line;
  std::ptrdiff_t lineEnd = -1;  // index of the last line end's last unit, if any
  for (;; ++p) {
    const DOMChar c = *p;
    if (c == u' ' || c == u'\t') {
      p = SkipBlanks(p + 1, source->BufferEnd) - 1;
      continue;
    }
    if (c == u'\n') {
      ++line;
      lineEnd = source->IndexOf(p);
    } else if (c == u'\r') {
      // CR LF is one line end; a CR alone is one, too. A CR at the end of
      // the buffer might be followed by a LF still to come.
      if (p + 1 == source->BufferEnd) return false;
      if (p[1] == u'\n') ++p;
      ++line;
      lineEnd = source->IndexOf(p);
    } else {
      break;
    }
  }
  // Only markup that ends the text drops it: a CDATA section read as text
  // joins the text around it, and "<" at the end of the buffer is not yet
  // known to start any markup.
  if (*p != u'<' || p + 1 >= source->BufferEnd || (settings_.CDataAsText && p[1] == u'!')) return false;
  source->Position = p;
  source->Line = line;
  if (lineEnd >= 0) source->LineStart = lineEnd;
  return true;
}

void TXMLReader::ParseContent() {
  SaveTokenStart();
  const bool dropWhitespace = !settings_.KeepWhitespaceText;
  for (;;) {
    // Markup straight after markup leaves nothing to scan, and indentation
    // between tags is text that would only be dropped: it goes by without
    // being collected.
    DOMChar c = Cur();
    if (c != u'<' || scan_.InCDATA) {
      c = dropWhitespace && c <= u' ' && scan_.Value.empty() && !scan_.InCDATA && input_.Top->DecodedLineEnds &&
                  SkipWhitespaceBeforeMarkup()
              ? u'<'
              : input_.Top->ScanUntil(scan_.Value, TextDelimiters());
    }
    if (c == u'<') {
      Next();
      // Two units of lookahead: "<!" is told apart by the unit after it.
      input_.Top->Ensure(2);
      const DOMChar next = Cur();
      if (next == u'/') {
        FlushText();
        // An end tag must close an element opened in the same source: an
        // entity's text cannot end an element it did not start.
        if (input_.Top->StartDepth >= doc_.Depth) FatalError(kMsgEndTagNotAllowed);
        Next();
        ParseEndTag();
      } else if (input_.NameTables->IsNameStartChar(next) || next == u':' ||
                 (input_.XML11 && IsNameHighSurrogate(next))) {
        FlushText();
        ParseStartTag();
      } else if (next == u'!') {
        Next();
        if (Cur() == u'[') {
          ExpectLiteral(u"[CDATA[");
          if (doc_.State != TDocumentState::InRoot) FatalError(kMsgIllegalAtDocumentLevel);
          // With CDataAsText the section's text joins the text around it.
          if (!settings_.CDataAsText) FlushText();
          SaveTokenStart();
          scan_.InCDATA = true;
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
      // The current source has ended: elements it opened must be closed,
      // then reading goes on in the source below. The loop returns instead
      // at the bottom source and at one its caller pops itself (an entity
      // parsed for its nodes).
      if (scan_.InCDATA) FatalErrorAtToken(kMsgUnterminatedCDATA);
      if (input_.Top->StartDepth < doc_.Depth)
        FatalError(FormatMessage(kMsgEndTagMissing, Narrow(doc_.Current->NodeName())));
      if (PopSource()) continue;
      break;
    } else if (c == u'>') {
      // A ">" is text, except as the end of "]]>": that closes a CDATA
      // section and is an error anywhere else.
      scan_.Value += c;
      Next();
      const std::size_t n = scan_.Value.size();
      const bool cdataEnd = n >= 3 && scan_.Value[n - 2] == u']' && scan_.Value[n - 3] == u']';
      if (!cdataEnd) {
        scan_.NonWhitespace = true;
        continue;
      }
      if (!scan_.InCDATA) FatalError(kMsgCDATAEndInText, 3);
      scan_.Value.resize(n - 3);
      scan_.InCDATA = false;
      if (settings_.CDataAsText) {
        scan_.NonWhitespace = true;
        continue;
      }
      if (validation_.ContentType == CONTENT_ELEMENTS) ValidationError(kMsgCDATAInElementContent);
      TDOMBuilder::Append(AsParent(doc_.Current), Build().CDATASection(scan_.Value.data(), scan_.Value.size()));
      CountText(scan_.Value.size());
      scan_.Value.clear();
      scan_.NonWhitespace = false;
    } else if (c == u'&') {
      if (doc_.State != TDocumentState::InRoot) FatalError(kMsgIllegalAtDocumentLevel);
      if (validation_.ContentType == CONTENT_EMPTY) ValidationError(kMsgReferenceInEmpty);
      Next();
      // Character references and the predefined entities are text.
      if (ParseReference(scan_.Value)) {
        scan_.NonWhitespace = true;
        continue;
      }
      // Any other entity is either read in place, as a source pushed on
      // top, or kept as a reference node holding a copy of its content.
      // Its content, when parsed now, starts with the flag of the text
      // collected before the reference.
      if (!scan_.NonWhitespace) scan_.NonWhitespace = CollectedNonWhitespace();
      TDOMEntityEx* entity = ResolveGeneralEntity(false);
      if (entity && settings_.ExpandEntityRefs) {
        ChargeExpansion(entity);
        if (PushEntity(entity)) continue;
      }
      FlushText();
      AppendEntityReference(doc_.Current, entity);
    }
    // Markup or a reference was handled: the next text starts here.
    SaveTokenStart();
    scan_.Value.clear();
    scan_.NonWhitespace = false;
  }
  FlushText();
}

const TDelimiterSet& TXMLReader::TextDelimiters() const {
  // Inside a CDATA section only "]]>" ends the text, so only ">" stops the
  // scan there; "&" and "<" are text. In the root element's content the
  // source may take the predefined references itself, as the "&" branch of
  // ParseContent would.
  if (scan_.InCDATA) return kCDATADelimiters;
  if (doc_.State == TDocumentState::InRoot && validation_.ContentType != CONTENT_EMPTY) return kTextTakingReferences;
  return kTextDelimiters;
}

bool TXMLReader::CollectedNonWhitespace() const {
  // Mostly the first unit tells.
  return std::any_of(scan_.Value.begin(), scan_.Value.end(),
                     [](DOMChar c) { return c != u' ' && c != u'\t' && c != u'\n' && c != u'\r'; });
}

void TXMLReader::FlushCollectedText() {
  const bool nonWhitespace = scan_.NonWhitespace || CollectedNonWhitespace();
  if (doc_.State != TDocumentState::InRoot) {
    if (nonWhitespace) FatalErrorAtToken(kMsgIllegalAtDocumentLevel);
  } else if (nonWhitespace || settings_.KeepWhitespaceText) {
    if (validation_.ContentType == CONTENT_EMPTY) {
      ValidationError(kMsgTextInEmpty);
    } else if (validation_.ContentType == CONTENT_ELEMENTS) {
      if (nonWhitespace) ValidationError(kMsgTextInElementContent);
      else if (validation_.StandaloneSensitive) ValidationError(kMsgStandaloneValidity);
    }
    const bool ignorable = !nonWhitespace && validation_.ContentType == CONTENT_ELEMENTS;
    TDOMBuilder::Append(AsParent(doc_.Current), Build().Text(scan_.Value.data(), scan_.Value.size(), ignorable));
    CountText(scan_.Value.size());
  }
  scan_.Value.clear();
  scan_.NonWhitespace = false;
}

void TXMLReader::ParseStartTag() {
  TNameItem* const name = ExpectInternedName();
  if (doc_.State == TDocumentState::AfterRoot)
    FatalError(kMsgOneTopLevelElement, static_cast<uint32_t>(name->Key.size()));
  if (doc_.State < TDocumentState::InRoot) {
    if (settings_.Validate) {
      if (!dtd_.Type) ValidationError(kMsgMissingDTD);
      else if (dtd_.Type->Name() != name->Key) ValidationError(kMsgRootNameMismatch);
    }
    doc_.State = TDocumentState::InRoot;
  }
  if (settings_.OnElementEnd)
    elementMarks_.push_back({doc_.Document->AllocatedNodeBytes(), limits_.ReleasedNodeBytes});
  TDOMElement* element = Build().Element(name);
  TDOMBuilder::Append(AsParent(doc_.Current), element);
  ++doc_.ElementCounter;
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
    doc_.Current = element;
    if (!settings_.KeepWhitespaceText) SkipWhitespace();
  }
}

void TXMLReader::ParseAttribute(TDOMElement* element, TDOMElementDef* declaration) {
  TNameItem* const name = ExpectInternedName();
  TDOMAttr* attribute = Build().Attribute(name);
  TDOMAttrDef* attributeDeclaration = nullptr;
  if (declaration) {
    attributeDeclaration = static_cast<TDOMAttrDef*>(declaration->GetAttributeNode(name->Key));
    if (attributeDeclaration) {
      attributeDeclaration->ElementMark = doc_.ElementCounter;
    } else {
      ValidationError(FormatMessage(kMsgUndeclaredAttribute, Narrow(name->Key), Narrow(element->NodeName())));
    }
  }
  if (TDOMNode* replaced = TDOMBuilder::AddAttribute(element, attribute)) {
    replaced->Free();
    FatalError(kMsgDuplicateAttribute, static_cast<uint32_t>(name->Key.size()));
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
  TXMLCharSource* const start = input_.Top;
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
  scan_.AttributeValue.clear();
  for (;;) {
    const DOMChar c = input_.Top->ScanUntil(scan_.AttributeValue, kAttributeDelimiters);
    if (c == u'<') {
      FatalError(kMsgLessThanInAttribute);
    } else if (c == u'&') {
      Next();
      if (ParseReference(scan_.AttributeValue)) continue;
      TDOMEntityEx* entity = ResolveGeneralEntity(true);
      if (entity && settings_.ExpandEntityRefs) {
        ChargeExpansion(entity);
        if (PushEntity(entity)) continue;
      }
      if (!scan_.AttributeValue.empty()) {
        TDOMBuilder::Append(target, 
            Build().Text(scan_.AttributeValue.data(), scan_.AttributeValue.size(), false));
        CountText(scan_.AttributeValue.size());
        scan_.AttributeValue.clear();
      }
      AppendEntityReference(target, entity);
    } else if (c == quote && input_.Top == start) {
      Next();
      break;
    } else if (c == u'\t' || c == u'\n' || c == u'\r') {
      scan_.AttributeValue += u' ';
      Next();
    } else if (c == 0) {
      if (input_.Top == start || !PopSource()) FatalErrorAtToken(kMsgNoClosingQuote);
    } else {
      scan_.AttributeValue += c;
      Next();
    }
  }
  if (!scan_.AttributeValue.empty()) {
    TDOMBuilder::Append(target, Build().Text(scan_.AttributeValue.data(), scan_.AttributeValue.size(), false));
    CountText(scan_.AttributeValue.size());
  }
}

void TXMLReader::ParseEndTag() {
  // Fast path: the open element's name followed directly by ">" in the
  // buffer. The open name was itself read as a name under the same rules,
  // and ">" ends every name, so scanning it again would find the same name.
  // Only elements open at a depth that an end tag may close (see
  // ParseContent), so the open node is an element, whose name is its key.
  assert(doc_.Current->NodeType() == ELEMENT_NODE);
  const DOMString& open = static_cast<const TDOMElement*>(doc_.Current)->NameItem()->Key;
  TXMLCharSource* const source = input_.Top;
  const std::size_t length = open.size();
  if (static_cast<std::size_t>(source->BufferEnd - source->Position) > length &&
      source->Position[length] == u'>' && SameUnits(open.data(), source->Position, length)) {
    source->Position += length + 1;
    if (source->Position == source->BufferEnd) source->Reload();
    CloseElement(doc_.Current);
    return;
  }
  ExpectName();
  if (scan_.Name != open)
    FatalError(FormatMessage(kMsgUnmatchingEndTag, Narrow(open)),
               static_cast<uint32_t>(scan_.Name.size()));
  if (!CheckForChar(u'>')) {
    SkipWhitespace();
    ExpectChar(u'>');
  }
  CloseElement(doc_.Current);
}

void TXMLReader::FinishElement(TDOMNode* element) {
  if (settings_.Validate && ContentIncomplete())
    ValidationError(FormatMessage(kMsgMissingSubElements, Narrow(element->NodeName())));
  if (settings_.NamespaceAware) ns_.Support->EndElement();
  PopValidationFrame();
  if (settings_.OnElementEnd) EndOfElement(static_cast<TDOMElement*>(element));
}

void TXMLReader::EndOfElement(TDOMElement* element) {
  const TElementMark mark = elementMarks_.back();
  elementMarks_.pop_back();
  if (entityContentDepth_ > 0 || settings_.OnElementEnd(*element) != TElementVerdict::Drop) return;
  // Everything allocated since the element started is its subtree, less
  // what was dropped inside it and released already.
  const uint64_t allocated = doc_.Document->AllocatedNodeBytes() - mark.AllocatedNodeBytes;
  limits_.ReleasedNodeBytes += allocated - (limits_.ReleasedNodeBytes - mark.ReleasedNodeBytes);
  element->Free();
}

void TXMLReader::ParseComment() {
  ExpectLiteral(u"--");
  SaveTokenStart();
  DOMString& text = scan_.Value;
  text.clear();
  for (;;) {
    const DOMChar c = input_.Top->ScanUntil(text, kCommentDelimiters);
    if (c == 0) FatalErrorAtToken(kMsgUnterminatedComment);
    Next();
    if (!text.empty() && text.back() == u'-') {
      text.pop_back();
      break;
    }
    text += u'-';
  }
  ExpectChar(u'>');
  if (validation_.ContentType == CONTENT_EMPTY) ValidationError(kMsgCommentInEmpty);
  if (!settings_.DropComments && doc_.Current) {
    TDOMBuilder::Append(AsParent(doc_.Current), Build().Comment(text.data(), text.size()));
    CountText(text.size());
  }
  text.clear();
}

void TXMLReader::ParseInstruction() {
  ExpectName();
  if (settings_.NamespaceAware && scan_.ColonPos >= 0) FatalError(kMsgColonInName);
  const DOMString target = scan_.Name;
  if (target.size() == 3 && runtime::LowerCase(target) == u"xml")
    FatalError(target == u"xml" ? kMsgXmlDeclNotAllowed : kMsgXmlReserved, 3);
  if (Cur() != u'?') ExpectWhitespace();
  SaveTokenStart();
  DOMString& data = scan_.Value;
  data.clear();
  for (;;) {
    const DOMChar c = input_.Top->ScanUntil(data, kInstructionDelimiters);
    if (c == 0) FatalErrorAtToken(kMsgUnterminatedPI);
    Next();
    if (!data.empty() && data.back() == u'?') {
      data.pop_back();
      break;
    }
    data += u'>';
  }
  if (validation_.ContentType == CONTENT_EMPTY) ValidationError(kMsgPIInEmpty);
  TDOMProcessingInstruction* instruction = Build().ProcessingInstruction(target, data);
  CountText(target.size() + data.size());
  data.clear();
  if (doc_.Current) TDOMBuilder::Append(AsParent(doc_.Current), instruction);
  else if (dtd_.Type && dtd_.Type->ParentNode() == doc_.Document.get())
    doc_.Document->InsertBefore(instruction, dtd_.Type);
  else doc_.Document->AppendChild(instruction);
}

void TXMLReader::ProcessNamespaces(TDOMElement* element) {
  ns_.Support->StartElement();
  ns_.PrefixedAttributes.clear();
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
        if (colon != DOMString::npos) ns_.PrefixedAttributes.push_back(attribute);
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
      if (isPrefixed && uri.empty() && !input_.XML11) FatalError(kMsgUndefiningNamespace);
      ns_.Support->DefineBinding(prefix, uri);
      Build().SetNamespaceInfo(attribute, kXmlnsNamespace, isDefault ? 0 : 6);
    }
  }

  const DOMString& elementName = element->NodeName();
  const std::size_t colon = elementName.find(u':');
  if (colon != DOMString::npos) {
    const DOMStringView prefix = DOMStringView(elementName).substr(0, colon);
    TPrefixItem* item = ns_.Support->GetPrefixItem(prefix);
    if (!item->Data || item->Data->URI.empty())
      FatalError(FormatMessage(kMsgUnboundPrefix, Narrow(prefix)));
    Build().SetNamespaceInfo(element, item->Data->URI, static_cast<uint16_t>(colon + 1));
  } else {
    const TBinding* binding = ns_.Support->DefaultNamespace();
    Build().SetNamespaceInfo(element, binding ? DOMStringView(binding->URI) : DOMStringView(), 0);
  }

  if (ns_.PrefixedAttributes.empty()) return;
  ns_.AttributeKeys.Init(static_cast<uint32_t>(ns_.PrefixedAttributes.size()));
  for (TDOMAttr* attribute : ns_.PrefixedAttributes) {
    const DOMString& name = attribute->NodeName();
    const std::size_t attributeColon = name.find(u':');
    const DOMStringView prefix = DOMStringView(name).substr(0, attributeColon);
    TPrefixItem* item = ns_.Support->GetPrefixItem(prefix);
    if (!item->Data || item->Data->URI.empty())
      FatalError(FormatMessage(kMsgUnboundPrefix, Narrow(prefix)));
    const DOMString& uri = item->Data->URI;
    Build().SetNamespaceInfo(attribute, uri, static_cast<uint16_t>(attributeColon + 1));
    if (ns_.AttributeKeys.Locate(uri, DOMStringView(name).substr(attributeColon + 1)))
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
  if (!IsAllowedCharRef(value, input_.XML11)) FatalError(kMsgInvalidCharRef);
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
    TXMLCharSource* const source = input_.Top;
    std::size_t length = 0;
    if (const DOMChar value = PredefinedEntityAt(source->Position, source->BufferEnd, length)) {
      source->Position += length;
      if (source->Position == source->BufferEnd) source->Reload();
      buffer += value;
      return true;
    }
  }
  ExpectName();
  ExpectChar(u';');
  // A predefined entity cut by the buffer's end, or any other entity.
  const DOMString reference = scan_.Name + u';';
  std::size_t length = 0;
  const DOMChar value = PredefinedEntityAt(reference.data(), reference.data() + reference.size(), length);
  if (!value || length != reference.size()) return false;
  buffer += value;
  return true;
}

TDOMEntityEx* TXMLReader::ResolveGeneralEntity(bool inAttribute) {
  const DOMString name = scan_.Name;
  const std::string narrowName = Narrow(name);
  const auto offset = static_cast<uint32_t>(name.size() + 2);
  TDOMEntityEx* entity = nullptr;
  if (dtd_.Type) entity = static_cast<TDOMEntityEx*>(dtd_.Type->Entities()->GetNamedItem(name));
  if (!entity) {
    if (doc_.Standalone || !dtd_.Type || (!dtd_.PERefsSeen && dtd_.Type->SystemId.empty()))
      FatalError(FormatMessage(kMsgUndefinedEntity, narrowName), offset);
    ValidationError(FormatMessage(kMsgUndefinedEntityValidity, narrowName), offset);
    scan_.Name = name;
    return nullptr;
  }
  if (doc_.Standalone && entity->DeclaredOutside) FatalError(kMsgStandaloneFatal, offset);
  if (!entity->NotationName.empty()) FatalError(FormatMessage(kMsgUnparsedEntity, narrowName), offset);
  if (inAttribute && !entity->SystemId.empty()) FatalError(kMsgExternalInAttribute, offset);
  if (!entity->ContentParsed) ParseEntityContent(entity);
  const int64_t grown = static_cast<int64_t>(input_.Top->CharCount) + entity->CharLength - offset;
  input_.Top->CharCount = static_cast<uint32_t>(std::max<int64_t>(0, grown));
  CheckCharLimit();
  scan_.Name = name;
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

// What parsing an entity's replacement text changes of the reader, saved
// when the parse begins and put back when it ends, however it ends: the
// node content goes into, the document state, the collected text, the
// declaration of the innermost element and the nesting count. At the end
// the entity is read-only again and its source, if still on top, is popped.
class TXMLReader::TEntityContentScope {
public:
  TEntityContentScope(TXMLReader& reader, TDOMEntityEx* entity)
      : reader_(reader),
        entity_(entity),
        current_(reader.doc_.Current),
        state_(reader.doc_.State),
        nonWhitespace_(reader.scan_.NonWhitespace) {
    std::vector<TValidationFrame>& frames = reader.validation_.Frames;
    const std::size_t depth = reader.doc_.Depth;
    if (frames.size() <= depth) frames.resize(std::max(kInitialFrames, depth + 1));
    declaration_ = frames[depth].Declaration;
    value_.reserve(256);
    value_.swap(reader.scan_.Value);
    ++reader.limits_.EntityNesting;
  }
  TEntityContentScope(const TEntityContentScope&) = delete;
  TEntityContentScope& operator=(const TEntityContentScope&) = delete;

  ~TEntityContentScope() {
    if (!armed_) return;
    --reader_.limits_.EntityNesting;
    reader_.scan_.Value.swap(value_);
    reader_.scan_.NonWhitespace = nonWhitespace_;
    reader_.doc_.Current = current_;
    reader_.doc_.State = state_;
    reader_.validation_.Frames[reader_.doc_.Depth].Declaration = declaration_;
    reader_.UpdateContentType();
    entity_->SetReadOnly(true);
    // After an error, sources opened above the entity's stay for the reader
    // to close.
    if (source_ && reader_.input_.Top == source_) reader_.PopSourceExplicitly();
  }

  // Restoring starts once the entity's source is open, or known not to
  // open (none): an error while opening it ends the read as it stands.
  void Arm(TXMLCharSource* source) {
    armed_ = true;
    source_ = source;
  }

private:
  TXMLReader& reader_;
  TDOMEntityEx* const entity_;
  TDOMNode* const current_;
  const TDocumentState state_;
  const bool nonWhitespace_;
  TDOMElementDef* declaration_ = nullptr;
  DOMString value_;
  bool armed_ = false;
  TXMLCharSource* source_ = nullptr;
};

void TXMLReader::ParseEntityContent(TDOMEntityEx* entity) {
  if (limits_.EntityNesting >= settings_.MaxEntityNesting) FatalError(kMsgEntityNestingLimit);
  TEntityContentScope scope(*this, entity);
  const bool pushed = PushEntity(entity);
  scope.Arm(pushed ? input_.Top : nullptr);
  if (!pushed) return;
  // Read to its end, the source is not popped by ParseContent, which
  // returns there instead; the scope pops it.
  input_.Top->Kind = SOURCE_READ_TO_END;
  const uint64_t bytesBefore = doc_.Document->AllocatedNodeBytes();
  const uint64_t unitsBefore = limits_.TextUnits;
  entity->SetReadOnly(false);
  ++entityContentDepth_;
  doc_.Current = entity;
  doc_.State = TDocumentState::InRoot;
  validation_.Frames[doc_.Depth].Declaration = nullptr;
  UpdateContentType();
  ParseContent();
  --entityContentDepth_;
  entity->ContentParsed = true;
  entity->SubtreeBytes = doc_.Document->AllocatedNodeBytes() - bytesBefore;
  entity->SubtreeUnits = limits_.TextUnits - unitsBefore;
}

void TXMLReader::ChargeExpansion(TDOMEntityEx* entity) {
  // A reference costs the text it brings, or the text its content holds
  // when nested references made that larger, and the nodes it copies.
  const uint64_t units = std::max<uint64_t>({entity->CharLength, entity->SubtreeUnits, 1});
  limits_.Expansion += kEntityExpansionUnitCost * units + entity->SubtreeBytes;
  if (settings_.EntityExpansionAllowance != 0 && limits_.Expansion > settings_.EntityExpansionAllowance)
    FatalError(kMsgEntityExpansionLimit);
}

TDOMEntityReference* TXMLReader::AppendEntityReference(TDOMNode* parent, TDOMEntityEx* entity) {
  if (entity) {
    ChargeExpansion(entity);
    // The copy is made in one go: it must fit before it is made.
    CheckDocumentMemory(entity->SubtreeBytes + sizeof(DOMChar) * entity->SubtreeUnits);
  }
  TDOMEntityReference* reference = Build().EntityReference(scan_.Name);
  TDOMBuilder::Append(AsParent(parent), reference);
  if (entity) CountText(entity->SubtreeUnits);
  return reference;
}

}  // namespace corvandel::xml
