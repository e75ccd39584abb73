// Feeds arbitrary bytes to the XML reader, with the settings the ping call
// uses and, picked by the first byte, with the others switched on. Any
// outcome but a clean document or an EXMLReadError is a fault.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "runtime/memory_stream.h"
#include "xml/reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace corvandel;
  xml::TXMLReaderSettings settings;
  if (size > 0) {
    const uint8_t flags = data[0];
    // A control byte cannot start a document: it is there for the flags
    // alone, and the document follows it.
    if (flags < 0x20) {
      ++data;
      --size;
    }
    settings.Validate = flags & 1;
    settings.KeepWhitespaceText = flags & 2;
    settings.ExpandEntityRefs = flags & 4;
    settings.NamespaceAware = flags & 8;
    settings.CDataAsText = flags & 16;
  }
  runtime::TMemoryStream stream(std::string_view(reinterpret_cast<const char*>(data), size));
  std::unique_ptr<xml::TXMLDocument> document;
  try {
    xml::ReadDocumentFromStream(document, stream, u"stream:", settings);
  } catch (const xml::EXMLReadError&) {
  }
  return 0;
}
