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
// billions of nodes. Each reference costs the entity's length in units
// plus this much per node copied (a node weighs far more than a unit)...
inline constexpr uint64_t kEntityExpansionNodeCost = 8;
// ...and the reader stops once the cost passes this allowance (some 8 MB of
// text or half a million nodes)...
inline constexpr uint64_t kEntityExpansionAllowance = 1u << 22;
// ...plus this much per unit of the document's own text.
inline constexpr uint64_t kEntityExpansionPerInputUnit = 16;
// Entity references nest through the reader's own call stack.
inline constexpr uint32_t kMaxEntityNesting = 64;

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
  // Lets the reader open the local files that external identifiers name.
  // Off by default: a document from elsewhere must not make the reader
  // read this machine's files.
  bool ResolveExternals = false;
  // Called with every error before a fatal one is raised or a validity
  // error is discarded; it may raise the error itself.
  std::function<void(const EXMLReadError&)> OnError;
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
