#include "announce/source_document.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "runtime/code_page.h"
#include "runtime/stream.h"

namespace corvandel::announce::detail {
namespace {

// A read-only stream over bytes the caller keeps: the reader decodes from
// it block by block, so the source's bytes are never copied whole.
class TViewStream final : public runtime::TStream {
public:
  explicit TViewStream(std::string_view bytes) : bytes_(bytes) {}

  std::size_t Read(void* buffer, std::size_t count) override {
    const std::size_t n = std::min(count, bytes_.size() - position_);
    if (n > 0) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  std::size_t Write(const void*, std::size_t) override { return 0; }
  int64_t Seek(int64_t offset, runtime::TSeekOrigin origin) override {
    const int64_t from = origin == runtime::TSeekOrigin::Beginning ? 0
                         : origin == runtime::TSeekOrigin::Current ? static_cast<int64_t>(position_)
                                                                   : static_cast<int64_t>(bytes_.size());
    const int64_t to = std::clamp<int64_t>(from + offset, 0, static_cast<int64_t>(bytes_.size()));
    position_ = static_cast<std::size_t>(to);
    return to;
  }
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }
  void SetSize(int64_t) override { throw runtime::EStreamError("the source's bytes cannot be resized"); }

private:
  std::string_view bytes_;
  std::size_t position_ = 0;
};

// The tree may hold every byte of text as a UTF-16 unit, which the reader
// keeps until the document goes, and one record's nodes at a time; a
// record's nodes may cost up to some 30 bytes a byte of its markup, which
// this slack allows for a record far larger than any real one.
constexpr uint64_t kRecordNodeSlack = 16u << 20;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

bool ReadSourceXML(std::string_view bytes, const std::function<xml::TElementVerdict(xml::TDOMElement&)>& onElement,
                   std::string& error) {
  error = "the document could not be read";
  xml::TXMLReaderSettings settings;
  settings.RejectDoctype = true;
  settings.DropComments = true;
  settings.CDataAsText = true;
  settings.MaxDocumentBytes = 2 * static_cast<uint64_t>(bytes.size()) + kRecordNodeSlack;
  settings.OnElementEnd = onElement;
  TViewStream stream(bytes);
  std::unique_ptr<xml::TXMLDocument> document;
  try {
    xml::ReadDocumentFromStream(document, stream, u"source", settings);
  } catch (const TStopReading& stop) {
    error = stop.Reason;
    return false;
  } catch (const xml::EXMLReadError& e) {
    error = e.what();
    return false;
  }
  error.clear();
  return true;
}

std::string DoctypeRefusal(std::string_view what) {
  return "the " + std::string(what) +
         " has a document type declaration, which none needs and which is refused: its entities could expand "
         "without bound or read other files";
}

TFirstMarkup SniffFirstMarkup(std::string_view bytes) {
  TFirstMarkup found;
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  std::size_t i = 0;
  const auto skipPast = [&](std::string_view end) {
    const std::size_t at = bytes.find(end, i);
    i = at == std::string_view::npos ? bytes.size() : at + end.size();
  };
  for (;;) {
    while (i < bytes.size() && IsBlank(bytes[i])) ++i;
    if (i >= bytes.size() || bytes[i] != '<') return found;
    const std::string_view rest = bytes.substr(i);
    if (rest.starts_with("<?")) {
      skipPast("?>");
    } else if (rest.starts_with("<!--")) {
      skipPast("-->");
    } else if (rest.starts_with("<!")) {
      // A declaration, with an internal subset in brackets perhaps.
      found.Doctype = found.Doctype || rest.starts_with("<!DOCTYPE");
      int brackets = 0;
      for (++i; i < bytes.size(); ++i) {
        if (bytes[i] == '[') ++brackets;
        else if (bytes[i] == ']') --brackets;
        else if (bytes[i] == '>' && brackets <= 0) break;
      }
      ++i;
    } else {
      std::size_t end = i + 1;
      while (end < bytes.size() && !IsBlank(bytes[end]) && bytes[end] != '>' && bytes[end] != '/') ++end;
      if (end > i + 1) found.Element = std::string(bytes.substr(i + 1, end - i - 1));
      return found;
    }
  }
}

std::u16string_view LocalName(const xml::TDOMNode& node) {
  const std::u16string_view name = node.NodeName();
  const std::size_t colon = name.rfind(u':');
  return colon == std::u16string_view::npos ? name : name.substr(colon + 1);
}

std::string_view LocalName(std::string_view qualifiedName) {
  const std::size_t colon = qualifiedName.rfind(':');
  return colon == std::string_view::npos ? qualifiedName : qualifiedName.substr(colon + 1);
}

std::u16string NamespaceOf(xml::TDOMElement& element) {
  const std::u16string_view name = element.NodeName();
  const std::size_t colon = name.find(u':');
  std::u16string attribute = u"xmlns";
  if (colon != std::u16string_view::npos) attribute.append(u":").append(name.substr(0, colon));
  return element.GetAttribute(attribute);
}

std::optional<std::string> Attribute(const xml::TDOMElement& element, std::u16string_view name) {
  if (!element.HasAttribute(name)) return std::nullopt;
  return runtime::UTF16ToSystem(element.GetAttribute(name));
}

std::string TrimmedText(const xml::TDOMNode& node) {
  std::string text = runtime::UTF16ToSystem(node.TextContent());
  std::size_t begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

xml::TDOMElement* ChildNamed(const xml::TDOMNode& parent, std::u16string_view localName) {
  for (xml::TDOMNode* child = parent.FirstChild(); child; child = child->NextSibling())
    if (child->NodeType() == xml::ELEMENT_NODE && LocalName(*child) == localName)
      return static_cast<xml::TDOMElement*>(child);
  return nullptr;
}

std::string Quoted(std::string_view text) {
  static constexpr std::size_t kMaxQuoted = 200;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  std::size_t i = 0;
  for (; i < text.size() && out.size() < kMaxQuoted; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f || c == '"' || c == '\\') {
      out += '\\';
      if (c == '"' || c == '\\') {
        out += static_cast<char>(c);
      } else {
        out += 'x';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    } else {
      out += static_cast<char>(c);
    }
  }
  if (i < text.size()) {
    // Back to the start of a UTF-8 character, so the cut leaves none half;
    // bytes above 7f were copied as they are, one for one.
    while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) {
      --i;
      out.pop_back();
    }
    out += "...";
  }
  return out + "\"";
}

}  // namespace corvandel::announce::detail
