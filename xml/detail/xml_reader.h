#pragma once

// The reader behind ReadDocumentFromStream. Internal to the XML library:
// xml_reader.cpp holds the document content, names, references and
// declarations of the XML text itself; dtd_reader.cpp holds the document
// type declaration, markup declarations, defaults and validation.

#include <array>
#include <cstdint>
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

// Document states.
enum : uint8_t { STATE_START = 0, STATE_AFTER_DOCTYPE = 1, STATE_IN_ROOT = 2, STATE_AFTER_ROOT = 3 };

class TXMLReader {
public:
  explicit TXMLReader(const TXMLReaderSettings& settings);
  ~TXMLReader();
  TXMLReader(const TXMLReader&) = delete;
  TXMLReader& operator=(const TXMLReader&) = delete;

  // Reads a whole document from source, which the reader takes over.
  void ProcessDocument(std::unique_ptr<TXMLCharSource> source);
  // The document built so far; the caller takes it over.
  std::unique_ptr<TXMLDocument> TakeDocument() { return std::move(document_); }

  // ---- services for the input sources
  bool XML11() const { return xml11_; }
  void CheckCharLimit();
  void CaptureSubset(TXMLCharSource& source);
  void ParseXmlOrTextDecl(bool textDeclaration);

  // ---- errors
  // Raises a fatal error at the current column minus offset.
  [[noreturn]] void FatalError(const std::string& reason, uint32_t offset = 0);
  [[noreturn]] void FatalErrorAt(const std::string& reason, uint32_t line, uint32_t column);
  // Raises at the saved token start.
  [[noreturn]] void FatalErrorAtToken(const std::string& reason) { FatalErrorAt(reason, tokenLine_, tokenColumn_); }
  // A validity error at the current position; reported only when validating.
  void ValidationError(const std::string& reason, uint32_t offset = 0);
  void ValidationErrorAt(const std::string& reason, uint32_t line, uint32_t column);

private:
  // ---- sources
  void PushSource(std::unique_ptr<TXMLCharSource> source);
  // Pops the current source; false when it cannot be popped (the document
  // itself, or a source that is read to its end and removed explicitly).
  bool PopSource();
  void PopSourceExplicitly();
  DOMChar Cur() const { return *source_->Position; }
  void Next() { source_->Advance(); }
  void SaveTokenStart();
  bool IsWhitespace(DOMChar c) const { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r'; }

  // ---- lexical helpers
  bool SkipWhitespace();
  void ExpectWhitespace();
  void ExpectChar(DOMChar c);
  // Consumes literal unit by unit; fatal "Expected "%s"" on a mismatch.
  void ExpectLiteral(DOMStringView literal);
  bool CheckForChar(DOMChar c);
  // Scans a name into name_; false (without error) when none starts here.
  bool ScanName(bool nameToken = false);
  // Scans a name or raises the name errors.
  void ExpectName(bool nameToken = false);
  [[noreturn]] void NameError();
  // The document's name table entry for the name in name_ (not empty).
  TNameItem* InternName();
  // The parser's access to the document being built.
  TDOMBuilder Build() const { return TDOMBuilder(*document_); }
  DOMChar ExpectQuote();

  // ---- content
  void ParseContent();
  void FlushText();
  void ParseStartTag();
  void ParseAttribute(TDOMElement* element, TDOMElementDef* declaration);
  // Reads a quoted value into target's children (text and entity reference
  // nodes); used for attributes and the default values of declarations.
  void ParseAttributeValue(TDOMNode_WithChildren* target);
  void ParseEndTag();
  void CloseElement(TDOMNode* element);
  void ParseComment();
  void ParseInstruction();
  void ProcessNamespaces(TDOMElement* element);

  // ---- references
  // After "&#": appends the referenced character(s) to buffer.
  void ParseCharRef(DOMString& buffer);
  // After "&": a character reference or predefined entity is appended to
  // buffer and true returned; otherwise the entity name is left in name_
  // and false returned.
  bool ParseReference(DOMString& buffer);
  // Looks up the general entity in name_ and applies the reference rules.
  // Returns the entity, or none when it is undeclared but tolerated.
  TDOMEntityEx* ResolveGeneralEntity(bool inAttribute);
  // Pushes the entity's text as a new source.
  bool PushEntity(TDOMEntityEx* entity);
  void ParseEntityContent(TDOMEntityEx* entity);
  // Counts what a reference to entity produces against the expansion limit.
  void ChargeExpansion(TDOMEntityEx* entity);
  // Memory of the document: node storage, stored text and interned names.
  uint64_t DocumentBytes() const {
    return document_->AllocatedNodeBytes() + sizeof(DOMChar) * textUnits_ + nameBytes_;
  }
  // Fatal once the document, with more bytes to come, would pass
  // MaxDocumentBytes.
  void CheckDocumentMemory(uint64_t more = 0) {
    if (settings_.MaxDocumentBytes != 0 && DocumentBytes() + more > settings_.MaxDocumentBytes)
      FatalError(kMsgDocumentMemoryLimit);
  }
  // Records units of text stored in the document and checks the bound.
  void CountText(std::size_t units);
  TDOMEntityReference* AppendEntityReference(TDOMNode* parent, TDOMEntityEx* entity);

  // ---- document type declarations (dtd_reader.cpp)
  void ParseDoctype();
  void ParseMarkupDecls();
  void ParseEntityDecl();
  void ParseElementDecl();
  void ParseAttlistDecl();
  void ParseNotationDecl();
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
  void PushValidationFrame(TDOMElement* element, TDOMElementDef* declaration);
  void PopValidationFrame();
  bool ValidateChild(TDOMElementDef* declaration);
  bool ContentIncomplete();
  void CheckIdReferences();
  void UpdateContentType();

  // ---- state
  const TXMLReaderSettings settings_;
  TXMLCharSource* source_ = nullptr;  // top of the stack; each links to its parent
  bool xml11_ = false;
  uint8_t state_ = STATE_START;
  bool peRefsAllowed_ = false;
  bool peRefsSeen_ = false;
  bool inMarkupDecl_ = false;
  uint64_t markupDecl_ = 0;  // numbers the markup declarations as they start
  DOMString value_;
  DOMString attributeValue_;
  DOMString entityValue_;
  DOMString name_;
  bool nonWhitespace_ = false;  // the value buffer holds more than whitespace
  bool inCDATA_ = false;
  uint32_t tokenLine_ = 1;
  uint32_t tokenColumn_ = 1;
  bool standalone_ = false;
  const TNameCharTables* nameTables_;
  const TAsciiNameClasses* asciiNames_;
  TDOMDocumentType* docType_ = nullptr;
  std::unique_ptr<TDOMNamedNodeMap> parameterEntities_;
  std::vector<TForwardRef> idRefs_;
  std::vector<TForwardRef> notationRefs_;
  uint8_t contentType_ = CONTENT_ANY;
  bool standaloneSensitive_ = false;
  DOMString internalSubset_;
  std::ptrdiff_t subsetCaptured_ = 0;  // index in the capturing source's buffer
  uint32_t elementCounter_ = 0;
  bool ownsDoctype_ = false;
  bool processDeclarations_ = true;
  // Namespace bindings, made only for a namespace-aware read.
  std::unique_ptr<TNSSupport> nsSupport_;
  std::vector<TDOMAttr*> prefixedAttributes_;
  TDblHashArray attributeKeys_;
  int colonPos_ = -1;  // of the name in name_
  static constexpr std::size_t kNameCacheSlots = 64;
  // Recently interned names; entries of the document's name table, which
  // keeps them for the document's life.
  std::array<TNameItem*, kNameCacheSlots> nameCache_{};
  TDOMNode* current_ = nullptr;
  uint32_t depth_ = 0;
  // frames_[depth_] is the innermost open element's frame; frames_[0]
  // stands for the document. PushValidationFrame grows the vector. Frames
  // are kept only while validating or once the document has a DTD: without
  // one no element has a declaration, and every frame would be empty.
  static constexpr std::size_t kInitialFrames = 16;
  std::vector<TValidationFrame> frames_;
  std::unique_ptr<TXMLDocument> document_;
  TXMLCharSource* documentSource_ = nullptr;  // the bottom of the stack
  uint32_t entityNesting_ = 0;
  uint64_t expansion_ = 0;  // bytes of content copied through entity references
  uint64_t textUnits_ = 0;  // code units of text stored in the document
  uint64_t nameBytes_ = 0;  // interned names
};

}  // namespace corvandel::xml
