#pragma once

// The reader behind ReadDocumentFromStream. Internal to the XML library:
// xml_reader.cpp holds the document content, names, references and
// declarations of the XML text itself; dtd_reader.cpp holds the document
// type declaration, markup declarations, defaults and validation.

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "xml/dbl_hash_array.h"
#include "xml/detail/dom_builder.h"
#include "xml/dom.h"
#include "xml/detail/dtd_nodes.h"
#include "xml/detail/input_source.h"
#include "xml/ns_support.h"
#include "xml/reader.h"
#include "xml/detail/reader_messages.h"
#include "xml/xml_names.h"

namespace corvandel::xml {

// A name met in an attribute value or declaration, checked after the fact.
struct TForwardRef {
  DOMString Name;
  uint32_t Line = 0;
  uint32_t Column = 0;
};

// One open element, for validation.
struct TValidationFrame {
  TDOMElement* Element = nullptr;
  TDOMElementDef* Declaration = nullptr;
  TContentParticle* Particle = nullptr;  // the last particle matched
  bool Failed = false;
};

// The ASCII part of a name-character table, one byte per unit below 80h,
// for the reader's fast path over names. Made from the tables themselves,
// once per process.
struct TAsciiNameClasses {
  static constexpr uint8_t kNameStart = 1;
  static constexpr uint8_t kName = 2;  // the colon is in neither class
  explicit TAsciiNameClasses(const TNameCharTables& tables);
  static const TAsciiNameClasses& For(bool xml11);
  uint8_t Classes[0x80] = {};
};

class TXMLReader {
public:
  explicit TXMLReader(const TXMLReaderSettings& settings);
  ~TXMLReader();
  TXMLReader(const TXMLReader&) = delete;
  TXMLReader& operator=(const TXMLReader&) = delete;

  // Reads a whole document from source, which the reader takes over.
  void ProcessDocument(std::unique_ptr<TXMLCharSource> source);
  // The document built so far; the caller takes it over.
  std::unique_ptr<TXMLDocument> TakeDocument() { return std::move(doc_.Document); }

  // ---- services for the input sources
  bool XML11() const { return input_.XML11; }
  void CheckCharLimit();
  bool HasCharLimit() const { return settings_.CharLimit != 0; }
  void CaptureSubset(TXMLCharSource& source);
  void ParseXmlOrTextDecl(bool textDeclaration);

  // ---- errors
  // Raises a fatal error at the current column minus offset.
  [[noreturn]] void FatalError(const std::string& reason, uint32_t offset = 0);
  [[noreturn]] void FatalErrorAt(const std::string& reason, uint32_t line, uint32_t column);
  // Raises at the saved token start.
  [[noreturn]] void FatalErrorAtToken(const std::string& reason) {
    FatalErrorAt(reason, input_.TokenLine, input_.TokenColumn);
  }
  // A validity error at the current position; reported only when validating.
  void ValidationError(const std::string& reason, uint32_t offset = 0);
  void ValidationErrorAt(const std::string& reason, uint32_t line, uint32_t column);

private:
  // The scan buffers that the thread's next reader may take over.
  std::array<DOMString*, 4> ScratchTexts() {
    return {&scan_.Name, &scan_.Value, &scan_.AttributeValue, &scan_.EntityValue};
  }

  // ---- sources
  void PushSource(std::unique_ptr<TXMLCharSource> source);
  // Pops the current source; false when it cannot be popped (the document
  // itself, or a source that is read to its end and removed explicitly).
  bool PopSource();
  void PopSourceExplicitly();
  DOMChar Cur() const { return *input_.Top->Position; }
  void Next() { input_.Top->Advance(); }
  void SaveTokenStart();
  bool IsWhitespace(DOMChar c) const { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

  // ---- lexical helpers
  // Inline up to the first unit: most calls find no whitespace at all.
  bool SkipWhitespace() {
    const DOMChar c = Cur();
    if (c > u' ' && !input_.XML11) return false;
    return SkipWhitespaceRun();
  }
  bool SkipWhitespaceRun();
  void ExpectWhitespace();
  void ExpectChar(DOMChar c) {
    if (Cur() != c) ExpectedCharError(c);
    Next();
  }
  [[noreturn]] void ExpectedCharError(DOMChar c);
  // Consumes literal unit by unit; fatal "Expected "%s"" on a mismatch.
  void ExpectLiteral(DOMStringView literal);
  bool CheckForChar(DOMChar c) {
    if (Cur() != c) return false;
    Next();
    return true;
  }
  // The units of the name at the current position, when it is an ASCII
  // name that ends inside the buffer at an ASCII unit other than the colon
  // (where ScanNameRun would end it too); 0 for any other name.
  std::size_t PlainNameLength(bool nameToken) const {
    const TXMLCharSource* const source = input_.Top;
    const uint8_t* const ascii = input_.AsciiNames->Classes;
    const DOMChar* const start = source->Position;
    const DOMChar* p = start;
    const uint8_t firstClass = nameToken ? TAsciiNameClasses::kName : TAsciiNameClasses::kNameStart;
    if (*p >= 0x80 || !(ascii[*p] & firstClass)) return 0;
    ++p;
    while (*p < 0x80 && (ascii[*p] & TAsciiNameClasses::kName)) ++p;
    if (*p >= 0x80 || *p == u':' || p == source->BufferEnd) return 0;
    return static_cast<std::size_t>(p - start);
  }
  // Scans a name into scan_.Name; false (without error) when none starts here.
  bool ScanName(bool nameToken = false) {
    scan_.ColonPos = -1;
    // Fast path, inline: a plain name.
    if (const std::size_t length = PlainNameLength(nameToken)) {
      TXMLCharSource* const source = input_.Top;
      scan_.Name.assign(source->Position, length);
      source->Position += length;
      return true;
    }
    return ScanNameRun(nameToken);
  }
  // Every other name, from the start: other characters, colons, and names
  // that run up to the end of the buffer.
  bool ScanNameRun(bool nameToken);
  // Scans a name or raises the name errors.
  void ExpectName(bool nameToken = false) {
    if (!ScanName(nameToken)) NameError();
  }
  [[noreturn]] void NameError();
  // The document's name table entry for the name in scan_.Name (not empty).
  TNameItem* InternName() {
    const std::size_t length = scan_.Name.size();
    const DOMChar* const name = scan_.Name.data();
    const std::size_t slot = NameCacheSlot(name, length);
    TNameItem* item = doc_.NameCache[slot];
    if (IsName(item, name, length)) return item;
    return InternNewName(slot);
  }
  // ExpectName and InternName in one, for start tags and attributes. A
  // plain name found in the cache is not copied to scan_.Name: the callers
  // take the name from the entry's Key.
  TNameItem* ExpectInternedName() {
    if (const std::size_t length = PlainNameLength(false)) {
      TXMLCharSource* const source = input_.Top;
      const DOMChar* const name = source->Position;
      const std::size_t slot = NameCacheSlot(name, length);
      TNameItem* item = doc_.NameCache[slot];
      source->Position += length;
      if (IsName(item, name, length)) return item;
      scan_.ColonPos = -1;
      scan_.Name.assign(name, length);
      return InternNewName(slot);
    }
    ExpectName();
    return InternName();
  }
  // A document uses few names many times over. The cache slot is chosen by
  // a cheap hash of the name; names that share a slot only cost a look in
  // the name table, whose keyed hash keeps hostile names from piling up.
  static std::size_t NameCacheSlot(const DOMChar* name, std::size_t length) {
    return (length * 7 + name[0] * 31u + name[length - 1]) % kNameCacheSlots;
  }
  // Equal runs of units, compared four at a time in place: the names and
  // keywords compared are short, and a call of the library's memcmp costs
  // more than its work on them.
  static bool SameUnits(const DOMChar* a, const DOMChar* b, std::size_t length) {
    std::size_t i = 0;
    for (; i + 4 <= length; i += 4) {
      uint64_t x, y;
      std::memcpy(&x, a + i, sizeof x);
      std::memcpy(&y, b + i, sizeof y);
      if (x != y) return false;
    }
    for (; i < length; ++i)
      if (a[i] != b[i]) return false;
    return true;
  }
  // Whether the entry, if any, holds exactly this name.
  static bool IsName(const TNameItem* item, const DOMChar* name, std::size_t length) {
    return item && item->Key.size() == length && SameUnits(item->Key.data(), name, length);
  }
  // Looks the name up in the table, adds it when new, and caches it in slot.
  TNameItem* InternNewName(std::size_t slot);
  // The name's keyed hash, remembered per thread by cache slot.
  static uint32_t NameHash(const DOMChar* name, std::size_t length, std::size_t slot);
  // The parser's access to the document being built.
  TDOMBuilder Build() const { return TDOMBuilder(*doc_.Document); }
  DOMChar ExpectQuote() {
    const DOMChar c = Cur();
    if (c != u'"' && c != u'\'') FatalError(kMsgExpectedQuote);
    Next();
    return c;
  }

  // ---- content
  void ParseContent();
  // What ends a run of character data where the content loop is now.
  const TDelimiterSet& TextDelimiters() const;
  // Steps over whitespace that runs up to markup in the buffer, as the
  // text that the content loop would collect and then drop; false, with
  // nothing consumed, when the run ends anywhere else.
  bool SkipWhitespaceBeforeMarkup();
  // Turns the character data collected into a text node, if there is any.
  void FlushText() {
    if (!scan_.Value.empty()) FlushCollectedText();
  }
  void FlushCollectedText();
  // Whether the units collected hold more than whitespace; references that
  // stand for whitespace count, too, through scan_.NonWhitespace.
  bool CollectedNonWhitespace() const;
  void ParseStartTag();
  void ParseAttribute(TDOMElement* element, TDOMElementDef* declaration);
  // Reads a quoted value into target's children (text and entity reference
  // nodes); used for attributes and the default values of declarations.
  void ParseAttributeValue(TDOMNode_WithChildren* target);
  void ParseEndTag();
  // Content goes back to the element's parent. Without validation,
  // namespaces or a callback, nothing else happens at an end tag.
  void CloseElement(TDOMNode* element) {
    doc_.Current = element->ParentNode();
    if (doc_.Current == doc_.Document.get()) doc_.State = TDocumentState::AfterRoot;
    if (settings_.Validate || settings_.NamespaceAware || settings_.OnElementEnd) FinishElement(element);
    else PopValidationFrame();
  }
  void FinishElement(TDOMNode* element);
  void ParseComment();
  void ParseInstruction();
  void ProcessNamespaces(TDOMElement* element);

  // ---- references
  // After "&#": appends the referenced character(s) to buffer.
  void ParseCharRef(DOMString& buffer);
  // After "&": a character reference or predefined entity is appended to
  // buffer and true returned; otherwise the entity name is left in scan_.Name
  // and false returned.
  bool ParseReference(DOMString& buffer);
  // Looks up the general entity in scan_.Name and applies the reference rules.
  // Returns the entity, or none when it is undeclared but tolerated.
  TDOMEntityEx* ResolveGeneralEntity(bool inAttribute);
  // Pushes the entity's text as a new source.
  bool PushEntity(TDOMEntityEx* entity);
  void ParseEntityContent(TDOMEntityEx* entity);
  class TEntityContentScope;
  // Counts what a reference to entity produces against the expansion limit.
  void ChargeExpansion(TDOMEntityEx* entity);
  // Memory of the document: node storage, stored text and interned names.
  uint64_t DocumentBytes() const {
    return doc_.Document->AllocatedNodeBytes() - limits_.ReleasedNodeBytes + sizeof(DOMChar) * limits_.TextUnits +
           limits_.NameBytes;
  }
  // Fatal once the document, with more bytes to come, would pass
  // MaxDocumentBytes.
  void CheckDocumentMemory(uint64_t more = 0) {
    if (settings_.MaxDocumentBytes != 0 && DocumentBytes() + more > settings_.MaxDocumentBytes)
      FatalError(kMsgDocumentMemoryLimit);
  }
  // Records units of text stored in the document and checks the bound.
  void CountText(std::size_t units) {
    limits_.TextUnits += units;
    CheckDocumentMemory();
  }
  TDOMEntityReference* AppendEntityReference(TDOMNode* parent, TDOMEntityEx* entity);

  // ---- document type declarations (dtd_reader.cpp)
  void ParseDoctype();
  void ParseMarkupDecls();
  void ParseEntityDecl();
  void ParseElementDecl();
  void ParseAttlistDecl();
  void ParseNotationDecl();
  // The name an entity or notation declaration declares, which namespaces
  // forbid to hold a colon, and the whitespace after it.
  DOMString ExpectDeclaredName();
  // After "<![": true when an INCLUDE section opens; an IGNORE section is skipped whole.
  bool ParseConditionalSection();
  void ParseEntityValue(TDOMEntityEx* entity);
  bool ParseExternalId(DOMString& systemId, DOMString& publicId, bool publicIdOnlyAllowed);
  void ParsePEReference();
  bool SkipWhitespaceInDTD();
  TDOMElementDef* FindOrCreateElementDef(DOMStringView name);
  // A stream source over the file that systemId names, or none.
  std::unique_ptr<TXMLCharSource> ResolveExternal(const DOMString& systemId, const DOMString& publicId,
                                                  const DOMString& baseId);
  void ApplyDefaults(TDOMElement* element, TDOMElementDef* declaration);
  void CheckDeclaredAttribute(TDOMAttr* attribute, TDOMAttrDef* declaration);
  // An element opens or closes. Without a DTD and validation the frames
  // only count the depth: the content type stays "any" throughout.
  void PushValidationFrame(TDOMElement* element, TDOMElementDef* declaration) {
    ++doc_.Depth;
    if (settings_.Validate || dtd_.Type) PushDeclaredFrame(element, declaration);
  }
  void PushDeclaredFrame(TDOMElement* element, TDOMElementDef* declaration);
  void PopValidationFrame() {
    if (doc_.Depth > 0) --doc_.Depth;
    if (settings_.Validate) UpdateContentType();
  }
  bool ValidateChild(TDOMElementDef* declaration);
  bool ContentIncomplete();
  void CheckIdReferences();
  void UpdateContentType();

  // ---- state
  static constexpr std::size_t kNameCacheSlots = 64;
  static constexpr std::size_t kInitialFrames = 16;
  const TXMLReaderSettings settings_;

  // The text being read.
  struct TInput {
    // The open sources, the document's own first: entities and external
    // subsets are pushed on top while they are read. Each source also links
    // to the one below through Parent; Top is the last, where every read goes.
    std::vector<std::unique_ptr<TXMLCharSource>> Sources;
    TXMLCharSource* Top = nullptr;
    // The name rules in force: XML 1.1 once the declaration says so.
    bool XML11 = false;
    const TNameCharTables* NameTables = nullptr;
    const TAsciiNameClasses* AsciiNames = nullptr;
    // Where the token being read began, for the errors that point there.
    uint32_t TokenLine = 1;
    uint32_t TokenColumn = 1;
  };

  // What the scanners leave behind; the buffers keep their capacity.
  struct TScan {
    DOMString Name;
    int ColonPos = -1;  // of the name in Name
    // Character data being collected: text, a CDATA section, a comment's
    // or an instruction's data.
    DOMString Value;
    // Value holds more than whitespace, by what its units cannot tell: a
    // character reference to a space counts, too.
    bool NonWhitespace = false;
    bool InCDATA = false;
    DOMString AttributeValue;
    DOMString EntityValue;
  };

  // Where the reader is in the document: before the root element (first
  // before, then after the document type declaration), inside it, after it.
  enum class TDocumentState : uint8_t { Start, AfterDoctype, InRoot, AfterRoot };

  // The document being built.
  struct TDocument {
    std::unique_ptr<TXMLDocument> Document;
    // Where content goes: the document, an open element or an entity whose
    // replacement text is being parsed; none inside the DTD.
    TDOMNode* Current = nullptr;
    uint32_t Depth = 0;  // open elements
    TDocumentState State = TDocumentState::Start;
    bool Standalone = false;
    uint32_t ElementCounter = 0;  // start tags so far
    // Recently interned names; entries of the document's name table, which
    // keeps them for the document's life.
    std::array<TNameItem*, kNameCacheSlots> NameCache{};
  };

  // The document type declaration.
  struct TDoctype {
    TDOMDocumentType* Type = nullptr;
    bool TypeOwned = false;  // not yet in the document, so the reader frees it
    std::unique_ptr<TDOMNamedNodeMap> ParameterEntities;
    bool PERefsAllowed = false;
    bool PERefsSeen = false;
    bool InMarkupDecl = false;
    uint64_t MarkupDecl = 0;  // numbers the markup declarations as they start
    bool ProcessDeclarations = true;
    DOMString InternalSubset;
    std::ptrdiff_t SubsetCaptured = 0;  // index in the capturing source's buffer
  };

  struct TValidation {
    // Frames[Depth] is the innermost open element's frame; Frames[0]
    // stands for the document. PushValidationFrame grows the vector. Frames
    // are kept only while validating or once the document has a DTD:
    // without one no element has a declaration, and every frame would be
    // empty.
    std::vector<TValidationFrame> Frames;
    uint8_t ContentType = CONTENT_ANY;  // of the innermost open element
    bool StandaloneSensitive = false;
    std::vector<TForwardRef> IdRefs;
    std::vector<TForwardRef> NotationRefs;
  };

  // Namespace bindings, made only for a namespace-aware read.
  struct TNamespaces {
    std::unique_ptr<TNSSupport> Support;
    std::vector<TDOMAttr*> PrefixedAttributes;
    TDblHashArray AttributeKeys;
  };

  // What the reader's limits are checked against.
  struct TLimits {
    uint32_t EntityNesting = 0;
    uint64_t Expansion = 0;  // bytes of content copied through entity references
    uint64_t TextUnits = 0;  // code units of text stored in the document
    uint64_t NameBytes = 0;  // interned names
    // Node storage of the elements that OnElementEnd dropped, handed back
    // to the pools for the nodes that follow.
    uint64_t ReleasedNodeBytes = 0;
  };

  // For OnElementEnd: what the document had allocated and released when
  // each open element started, so that a dropped element's own storage is
  // known without a walk over it. Kept only while the callback is set.
  struct TElementMark {
    uint64_t AllocatedNodeBytes = 0;
    uint64_t ReleasedNodeBytes = 0;
  };
  void EndOfElement(TDOMElement* element);
  std::vector<TElementMark> elementMarks_;
  // Entity replacement texts being parsed into their declarations; their
  // elements are not the document's and are never shown to OnElementEnd.
  uint32_t entityContentDepth_ = 0;

  TInput input_;
  TScan scan_;
  TDocument doc_;
  TDoctype dtd_;
  TValidation validation_;
  TNamespaces ns_;
  TLimits limits_;
};

}  // namespace corvandel::xml
