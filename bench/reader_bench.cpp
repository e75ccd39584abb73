// Reading XML: a ping answer and 5 MB documents in UTF-8 and UTF-16LE,
// side by side with peers reading the same bytes.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "runtime/memory_stream.h"
#include "xml/reader.h"

#ifdef CORVANDEL_HAVE_LIBXML2
#include <libxml/parser.h>
#endif
#ifdef CORVANDEL_HAVE_PUGIXML
#include <pugixml.hpp>
#endif
#ifdef CORVANDEL_HAVE_EXPAT
#include <expat.h>
#endif

namespace {

using namespace corvandel;

const std::string kAnswer =
    "<?xml version=\"1.0\"?>\r\n<methodResponse>\r\n  <params>\r\n    <param>\r\n      <value>\r\n"
    "        <struct>\r\n          <member>\r\n            <name>flerror</name>\r\n"
    "            <value><boolean>0</boolean></value>\r\n          </member>\r\n          <member>\r\n"
    "            <name>message</name>\r\n            <value>Thanks for the ping.</value>\r\n"
    "          </member>\r\n        </struct>\r\n      </value>\r\n    </param>\r\n  </params>\r\n"
    "</methodResponse>\r\n";

// About 5 MB of records with attributes, text, entities and some non-ASCII.
std::string MakeDocument() {
  std::string text = "<?xml version=\"1.0\"?>\n<catalogue>\n";
  for (int i = 0; text.size() < 5u << 20; ++i) {
    text += "  <item id=\"i" + std::to_string(i) + "\" kind=\"book\" price=\"" + std::to_string(i % 97) +
            ".50\">\n    <title>Caf\xC3\xA9 &amp; co, volume " + std::to_string(i) +
            "</title>\n    <note>Plain text that runs for a while, as notes do &lt;ok&gt;.</note>\n  </item>\n";
  }
  return text + "</catalogue>\n";
}

std::string ToUTF16LE(const std::string& utf8) {
  std::string out = "\xFF\xFE";
  // The document's only non-ASCII characters are two-byte forms from C3.
  std::u16string wide;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c == 0xC3) {
      wide += static_cast<char16_t>(0xC0 | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
    } else {
      wide += static_cast<char16_t>(c);
    }
  }
  for (char16_t c : wide) {
    out += static_cast<char>(c & 0xFF);
    out += static_cast<char>(c >> 8);
  }
  return out;
}

const std::string& Document() {
  static const std::string text = MakeDocument();
  return text;
}

const std::string& DocumentUTF16() {
  static const std::string text = ToUTF16LE(Document());
  return text;
}

void ReadOurs(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    runtime::TMemoryStream stream(text);
    std::unique_ptr<xml::TXMLDocument> doc;
    xml::ReadDocumentFromStream(doc, stream);
    benchmark::DoNotOptimize(doc.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_Read_Answer(benchmark::State& state) { ReadOurs(state, kAnswer); }
void BM_Read_5MB_UTF8(benchmark::State& state) { ReadOurs(state, Document()); }
void BM_Read_5MB_UTF16LE(benchmark::State& state) { ReadOurs(state, DocumentUTF16()); }
BENCHMARK(BM_Read_Answer);
BENCHMARK(BM_Read_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read_5MB_UTF16LE)->Unit(benchmark::kMillisecond);

#ifdef CORVANDEL_HAVE_LIBXML2
void ReadLibxml2(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "stream:", nullptr, XML_PARSE_NOBLANKS);
    benchmark::DoNotOptimize(doc);
    xmlFreeDoc(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
void BM_Peer_libxml2_Answer(benchmark::State& state) { ReadLibxml2(state, kAnswer); }
void BM_Peer_libxml2_5MB_UTF8(benchmark::State& state) { ReadLibxml2(state, Document()); }
void BM_Peer_libxml2_5MB_UTF16LE(benchmark::State& state) { ReadLibxml2(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_libxml2_Answer);
BENCHMARK(BM_Peer_libxml2_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_libxml2_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

#ifdef CORVANDEL_HAVE_EXPAT
void ReadExpat(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    const auto status = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1);
    benchmark::DoNotOptimize(status);
    XML_ParserFree(parser);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
void BM_Peer_expat_Answer(benchmark::State& state) { ReadExpat(state, kAnswer); }
void BM_Peer_expat_5MB_UTF8(benchmark::State& state) { ReadExpat(state, Document()); }
void BM_Peer_expat_5MB_UTF16LE(benchmark::State& state) { ReadExpat(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_expat_Answer);
BENCHMARK(BM_Peer_expat_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_expat_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

#ifdef CORVANDEL_HAVE_PUGIXML
void ReadPugixml(benchmark::State& state, const std::string& text) {
  for (auto _ : state) {
    pugi::xml_document doc;
    benchmark::DoNotOptimize(doc.load_buffer(text.data(), text.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
void BM_Peer_pugixml_Answer(benchmark::State& state) { ReadPugixml(state, kAnswer); }
void BM_Peer_pugixml_5MB_UTF8(benchmark::State& state) { ReadPugixml(state, Document()); }
void BM_Peer_pugixml_5MB_UTF16LE(benchmark::State& state) { ReadPugixml(state, DocumentUTF16()); }
BENCHMARK(BM_Peer_pugixml_Answer);
BENCHMARK(BM_Peer_pugixml_5MB_UTF8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Peer_pugixml_5MB_UTF16LE)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
