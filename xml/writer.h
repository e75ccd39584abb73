#pragma once

// Turns a document, or any node of one, into indented XML text encoded as
// UTF-8. This is what puts a ping request on the wire, so its bytes are
// fixed: CR LF line breaks, two spaces of indentation per level, no
// indentation inside content that begins with text.

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/stream.h"
#include "xml/dom.h"
#include "xml/dom_string.h"

namespace corvandel::xml {

class TNSSupport;
struct TBinding;

// Messages of EConvertError.
inline constexpr const char* kHighSurrogateWithoutLow = "High surrogate without low one";
inline constexpr const char* kLowSurrogateWithoutHigh = "Low surrogate without high one";

// Raised when UTF-16 text holds an unpaired surrogate, which UTF-8 cannot
// express.
class EConvertError : public std::exception {
public:
  explicit EConvertError(const char* message) noexcept : message_(message) {}
  const char* what() const noexcept override { return message_; }

private:
  const char* message_;
};

// Writes document (normally the document node) as UTF-8 XML text at the
// stream's position and leaves the position after it. When writing fails
// (EConvertError, or the stream's own error), the stream has received every
// byte produced before the failure and the exception is passed on.
void WriteDocumentToStream(TDOMNode& document, runtime::TStream& stream);

// The escaping that WriteEscaped applies.
enum class TEscape {
  None,       // nothing is replaced
  Text,       // text node data: line ends become CR LF, & < > become references
  Attribute,  // attribute values and namespace URIs: TAB LF CR " & < become references
              // (both also write XML 1.1's restricted characters as references)
  Comment,    // comments, PI data, internal subsets, quoted identifiers: line ends only
  CDATA,      // CDATA section data: "]]>" is split over two sections
};

// Serialises nodes into a 512-byte block buffer and hands every full block
// to EmitBytes. Sinks therefore see blocks of exactly kBlockSize bytes, then
// whatever Flush finds left. One writer serves one document on one thread.
class TXMLWriter {
public:
  static constexpr std::size_t kBlockSize = 512;

  virtual ~TXMLWriter();
  TXMLWriter(const TXMLWriter&) = delete;
  TXMLWriter& operator=(const TXMLWriter&) = delete;

  // Writes node and everything below it. The tree is walked without
  // recursion, so its depth is bounded by memory only. On an exception the
  // writer's indentation, text and namespace state are put back as they
  // were before the call.
  void WriteNode(TDOMNode* node);

  // Encodes UTF-16 code units as UTF-8; raises EConvertError for an unpaired
  // surrogate (a pair is never split between two calls).
  void WriteChars(const DOMChar* chars, std::size_t count);
  void WriteChars(DOMStringView text) { WriteChars(text.data(), text.size()); }
  void WriteEscaped(DOMStringView text, TEscape escape);

  // The line break, then two spaces per IndentLevel.
  void WriteIndent();

  // Hands every buffered byte to EmitBytes.
  void Flush();

  bool InsideText() const { return insideText_; }
  int32_t IndentLevel() const { return indentLevel_; }

protected:
  TXMLWriter();

  // Receives the output: full blocks while writing, the rest from Flush.
  virtual void EmitBytes(const char* buffer, std::size_t count) = 0;

private:
  // Room past the block for the few bytes written after one capacity check
  // (an encoded character or a short replacement text).
  static constexpr std::size_t kBufferSlack = 32;
  static constexpr std::size_t kInitialIndentLength = 100;

  struct TOpenNode {
    TDOMNode* Node;
    bool SavedInsideText;
  };
  // An attribute of a namespace-aware element, with the binding whose prefix
  // replaces its own, or none.
  struct TAttributeRecord {
    TDOMAttr* Attribute;
    const TBinding* PrefixBinding;
  };

  // kXML11: the node being written belongs to an XML 1.1 document, whose
  // restricted characters text and attribute values write as references.
  template <TEscape kEscape, bool kXML11>
  void Encode(const DOMChar* p, const DOMChar* end);
  static bool IsXML11(const TDOMNode* node);
  void WriteRaw(const char* bytes, std::size_t count);
  void WriteRaw(std::string_view bytes) { WriteRaw(bytes.data(), bytes.size()); }
  void EmitBlock();

  // Writes what comes before a node's children; true when the node was
  // opened and its children follow, to be closed by CloseNode.
  bool OpenNode(TDOMNode* node);
  void CloseNode(const TOpenNode& open);
  bool OpenElement(TDOMElement* element);
  void WritePlainAttributes(TDOMElement* element);
  void WriteNamespaceAttributes(TDOMElement* element);
  void WriteAttributeNode(TDOMAttr* attribute);
  void WriteDocumentType(const TDOMDocumentType& doctype);
  void WriteQuoted(const DOMString& value);
  TNSSupport& Namespaces();
  // Open and close the namespace scope of one element.
  void StartScope();
  void EndScope();
  void RaiseIndentLevel();
  void LowerIndentLevel();

  bool insideText_ = false;
  bool xml11_ = false;  // set by WriteNode for the tree it writes
  std::string indent_;  // the line break followed by spaces
  int32_t indentLevel_ = 0;
  std::array<char, kBlockSize + kBufferSlack> buffer_{};
  std::size_t position_ = 0;
  uint32_t openElements_ = 0;
  std::unique_ptr<TNSSupport> namespaces_;  // made on first use
  std::vector<TAttributeRecord> attributeRecords_;
  std::vector<const TBinding*> newBindings_;
  std::vector<TOpenNode> open_;
};

// A writer whose output goes to a stream it does not own.
class TStreamXMLWriter : public TXMLWriter {
public:
  explicit TStreamXMLWriter(runtime::TStream& stream) : stream_(stream) {}
  // Flushes what is left. A destructor cannot report a failing stream, so
  // callers that need to know call Flush first.
  ~TStreamXMLWriter() override;

protected:
  void EmitBytes(const char* buffer, std::size_t count) override;

private:
  runtime::TStream& stream_;
};

}  // namespace corvandel::xml
