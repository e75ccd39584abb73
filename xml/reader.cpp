#include "xml/reader.h"

#include "runtime/code_page.h"
#include "xml/detail/reader_messages.h"
#include "xml/detail/xml_reader.h"

namespace corvandel::xml {

std::string FormatMessage(const char* pattern, std::string_view argument, std::string_view argument2) {
  std::string out;
  int filled = 0;
  for (const char* p = pattern; *p; ++p) {
    if (p[0] == '%' && filled < 2 && (p[1] == 's' || (p[1] == '1' && p[2] == 's'))) {
      out += filled++ == 0 ? argument : argument2;
      p += p[1] == 's' ? 1 : 2;
    } else {
      out += *p;
    }
  }
  return out;
}

EXMLReadError::EXMLReadError(uint8_t severity, std::string reason, const std::string& systemId, uint32_t line,
                             uint32_t column)
    : severity_(severity), reason_(std::move(reason)), line_(line), column_(column) {
  message_ = "In '" + systemId + "' (line " + std::to_string(line) + " pos " + std::to_string(column) + "): " + reason_;
}

EXMLReadError::EXMLReadError(uint8_t severity, std::string reason)
    : severity_(severity), reason_(std::move(reason)), message_(reason_) {}

void ReadDocumentFromStream(std::unique_ptr<TXMLDocument>& document, runtime::TStream& stream,
                            const DOMString& systemId) {
  ReadDocumentFromStream(document, stream, systemId, TXMLReaderSettings());
}

void ReadDocumentFromStream(std::unique_ptr<TXMLDocument>& document, runtime::TStream& stream,
                            const DOMString& systemId, const TXMLReaderSettings& settings) {
  document.reset();
  TXMLReader reader(settings);
  auto source = std::make_unique<TXMLStreamInputSource>(stream);
  source->SystemId = systemId;
  try {
    reader.ProcessDocument(std::move(source));
  } catch (...) {
    document = reader.TakeDocument();
    throw;
  }
  document = reader.TakeDocument();
}

}  // namespace corvandel::xml
