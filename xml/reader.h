#pragma once

// Reading XML text into a document.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "runtime/stream.h"
#include "xml/dom.h"
#include "xml/dom_string.h"

namespace corvandel::xml {

// Error severities.
enum : uint8_t { SEVERITY_ERROR = 1, SEVERITY_FATAL = 2 };

// A reading error: the reason with the position it was found at. The
// message is "In '<system id>' (line L pos C): <reason>".
class EXMLReadError : public std::exception {
public:
  EXMLReadError(uint8_t severity, std::string reason, const std::string& systemId, uint32_t line, uint32_t column);
  // An error reported with no source to place it in.
  EXMLReadError(uint8_t severity, std::string reason);

  const char* what() const noexcept override { return message_.c_str(); }
  uint8_t Severity() const { return severity_; }
  const std::string& Reason() const { return reason_; }
  uint32_t Line() const { return line_; }
  uint32_t Column() const { return column_; }

private:
  uint8_t severity_;
  std::string reason_;
  uint32_t line_ = 0;
  uint32_t column_ = 0;
  std::string message_;
};

// Limits against hostile documents. Entity references copy the entity's
// content into the tree, so a few bytes of declarations can ask for
// billions of nodes. Each reference is charged what its copy really costs:
// the bytes of every node it copies, as measured when the entity's content
// was parsed, plus this much per code unit of text...
inline constexpr uint64_t kEntityExpansionUnitCost = sizeof(DOMChar);
// ...and the reader stops once the copies of one document have cost this
// many bytes in all.
inline constexpr uint64_t kEntityExpansionAllowance = 16u << 20;
// Entity references nest through the reader's own call stack.
inline constexpr uint32_t kMaxEntityNesting = 64;
// Content-model groups nest in the DTD reader and in every match against
// the model; no real document type needs a fraction of this.
inline constexpr uint32_t kMaxContentModelNesting = 128;
// Default of TXMLReaderSettings::MaxDocumentBytes: with answer bodies of at
// most 4 MiB, fourteen workers reading hostile answers at once stay well
// under 1 GiB together.
inline constexpr uint64_t kDefaultMaxDocumentBytes = 48u << 20;

// What OnElementEnd tells the reader to do with the element it was shown.
enum class TElementVerdict : uint8_t { Keep, Drop };

struct TXMLReaderSettings {
  bool Validate = false;            // report validity errors against the DTD
  bool KeepWhitespaceText = false;  // keep whitespace-only character data
  bool ExpandEntityRefs = false;    // replace references by the entity's content
  bool DropComments = false;
  bool CDataAsText = false;         // CDATA sections become ordinary text
  bool NamespaceAware = false;
  bool RejectDoctype = false;       // a document type declaration is fatal
  bool DetachDoctype = false;       // keep the document type node out of the tree
  uint32_t CharLimit = 0;           // most characters read; 0 for no limit
  // Most bytes of nodes and text that one document may take (0: no limit).
  // Markup as dense as "<a/>" costs some 30 bytes of tree per byte of text,
  // so the body limit alone does not bound a document.
  uint64_t MaxDocumentBytes = kDefaultMaxDocumentBytes;
  // The bytes that the entity copies of one document may cost in all (see
  // kEntityExpansionAllowance); 0 for no limit.
  uint64_t EntityExpansionAllowance = kEntityExpansionAllowance;
  // How deep entity references and content-model groups may nest. Both
  // nest on the reader's call stack, so raise them with care.
  uint32_t MaxEntityNesting = kMaxEntityNesting;
  uint32_t MaxContentModelNesting = kMaxContentModelNesting;
  // Lets the reader open the local files that external identifiers name.
  // Off by default: a document from elsewhere must not make the reader
  // read this machine's files.
  bool ResolveExternals = false;
  // Called with every error before a fatal one is raised or a validity
  // error is discarded; it may raise the error itself.
  std::function<void(const EXMLReadError&)> OnError;
  // Called once an element of the document has been read whole, its end
  // tag (or empty-element tag) included, with the element still in the
  // tree. Drop frees it with its subtree at once, which lets a caller read
  // a long list of records while only the one being read is in memory.
  // Node storage of a dropped element is reused and no longer counts
  // against MaxDocumentBytes; its text stays stored, and counted, until the
  // document goes. Elements inside entity declarations are not shown. The
  // callback must not change the tree; it may raise an exception of its
  // own to stop the reading, which ReadDocumentFromStream passes on. Off
  // (empty) by default: every element is kept.
  std::function<TElementVerdict(TDOMElement& element)> OnElementEnd;
};

// Builds a document from the text in stream, read from its current
// position. Raises EXMLReadError when the text is not well-formed; the
// document then holds what was built up to the error. The stream is never
// rewound or freed.
void ReadDocumentFromStream(std::unique_ptr<TXMLDocument>& document, runtime::TStream& stream,
                            const DOMString& systemId = u"stream:");
void ReadDocumentFromStream(std::unique_ptr<TXMLDocument>& document, runtime::TStream& stream,
                            const DOMString& systemId, const TXMLReaderSettings& settings);

}  // namespace corvandel::xml
