// Reads and writes a document through the libraries' public headers only.
#include <cstdio>
#include <memory>
#include <string>

#include "runtime/memory_stream.h"
#include "xml/reader.h"
#include "xml/writer.h"

#if __has_include("app/main_window.h") || __has_include("cli/cli_options.h") || \
    __has_include("tests/support/piece_stream.h")
#error "the consumer sees more than the libraries' include roots"
#endif

int main() {
  using namespace corvandel;
  runtime::TMemoryStream input(std::string("<a b=\"1\">text</a>"));
  std::unique_ptr<xml::TXMLDocument> document;
  xml::ReadDocumentFromStream(document, input);
  runtime::TMemoryStream output;
  xml::WriteDocumentToStream(*document, output);
  const bool same = output.View().find("<a b=\"1\">text</a>") != std::string::npos;
  std::printf("%s\n", same ? "read and written" : "written differently");
  return same ? 0 : 1;
}
