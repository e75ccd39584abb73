// Reads arbitrary bytes as XML and, when they are a document, writes it and
// reads the text back. The writer's text must always read again, into the
// same tree: the same elements, attributes with the same values, comments,
// instructions and references, and the same text once whitespace is left
// out (indentation adds whitespace to mixed content, by design).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/memory_stream.h"
#include "xml/reader.h"
#include "xml/writer.h"

namespace {

using namespace corvandel;

std::string Written(xml::TXMLDocument& document) {
  runtime::TMemoryStream out;
  xml::WriteDocumentToStream(document, out);
  return out.ToString();
}

// The tree as one string, text without its whitespace; adjacent text and
// CDATA pieces run together, as a CDATA section holding "]]>" is written
// as two.
// Namespace declarations are left out: the writer adds those that the
// names need.
std::u16string Skeleton(xml::TDOMNode& root) {
  std::u16string out;
  auto text = [&](const std::u16string& data) {
    for (char16_t c : data)
      if (c != u' ' && c != u'\t' && c != u'\n' && c != u'\r') out += c;
  };
  auto mark = [&](std::u16string_view kind, const std::u16string& name, const std::u16string& value) {
    out.append(kind).append(name).append(u"\x02").append(value).append(u"\x03");
  };
  for (xml::TDOMNode* node = root.FirstChild(); node; node = xml::NextInTree(node, &root)) {
    switch (node->NodeType()) {
      case xml::TEXT_NODE:
      case xml::CDATA_SECTION_NODE:
        text(node->NodeValue());
        break;
      case xml::ELEMENT_NODE: {
        mark(u"<", node->NodeName(), {});
        auto* element = static_cast<xml::TDOMElement*>(node);
        if (element->HasAttributes()) {
          xml::TAttributeMap* attributes = element->AttributeMap();
          for (uint32_t i = 0; i < attributes->Length(); ++i) {
            const std::u16string& name = attributes->Item(i)->NodeName();
            if (name == u"xmlns" || name.starts_with(u"xmlns:")) continue;
            mark(u"@", name, attributes->Item(i)->NodeValue());
          }
        }
        break;
      }
      case xml::DOCUMENT_TYPE_NODE:
        mark(u"!", node->NodeName(), {});
        break;
      default:
        mark(u"?", node->NodeName(), node->NodeValue());
        break;
    }
    // Leaving elements shows in the string, so that depth counts.
    if (!node->FirstChild()) {
      for (xml::TDOMNode* up = node; up != &root && !up->NextSibling(); up = up->ParentNode())
        if (up->ParentNode() != &root) mark(u"/", {}, {});
    }
  }
  return out;
}

[[noreturn]] void Fault(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  xml::TXMLReaderSettings settings;
  if (size > 0) {
    const uint8_t flags = data[0];
    // A control byte cannot start a document: it is there for the flags
    // alone, and the document follows it.
    if (flags < 0x20) {
      ++data;
      --size;
    }
    settings.KeepWhitespaceText = flags & 2;
    settings.ExpandEntityRefs = flags & 4;
    settings.NamespaceAware = flags & 8;
    settings.CDataAsText = flags & 16;
    settings.DropComments = flags & 32;
  }
  std::unique_ptr<xml::TXMLDocument> first;
  try {
    runtime::TMemoryStream input(std::string_view(reinterpret_cast<const char*>(data), size));
    xml::ReadDocumentFromStream(first, input, u"stream:", settings);
  } catch (const xml::EXMLReadError&) {
    return 0;
  }
  std::string text;
  try {
    text = Written(*first);
  } catch (const xml::EConvertError&) {
    return 0;  // text the reader took that UTF-8 cannot carry
  }
  std::unique_ptr<xml::TXMLDocument> second;
  try {
    runtime::TMemoryStream again(text);
    xml::ReadDocumentFromStream(second, again, u"stream:", settings);
  } catch (const xml::EXMLReadError& e) {
    Fault("written text does not read again", std::string(e.what()) + "\n" + text);
  }
  if (Skeleton(*first) != Skeleton(*second)) Fault("the text read back is another tree", text);
  return 0;
}
